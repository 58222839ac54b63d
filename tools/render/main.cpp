// nimbrel-render: loads a volume through the Nimbrel shader library exactly as
// the renderer does, and draws what was loaded to a PNG file.
#include <array>
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <memory>
#include <stdexcept>
#include <thread>
#include <vector>

#include "renderer/standin.h"
#include "sample/sample_exchange.h"
#include "tools/render/demo_volume.h"
#include "tools/render/files.h"
#include "tools/render/options.h"
#include "tools/render/png_output.h"
#include "tools/render/progress.h"
#include "tools/render/views.h"

#if defined(_WIN32)
#include <windows.h>
#else
#include <unistd.h>
#endif

namespace {

using namespace render;

constexpr int EXIT_FAILED = 1, EXIT_BAD_ARGUMENT = 2;
constexpr long long max_image_pixels = 64ll << 20;
constexpr int max_view_depth = 1 << 16; // points marched along the view's axis

#if defined(_WIN32)
const char *const library_name = "Nimbrel.dll";
#else
const char *const library_name = "Nimbrel.so";
#endif

// The folder this program was started from, or empty when unknown.
std::filesystem::path program_folder() {
#if defined(_WIN32)
    std::vector<wchar_t> path(32768);
    const DWORD length = GetModuleFileNameW(nullptr, path.data(), DWORD(path.size()));
    if (length == 0 || length == path.size()) return {};
    return std::filesystem::path(std::wstring(path.data(), length)).parent_path();
#else
    std::error_code error;
    const std::filesystem::path self = std::filesystem::read_symlink("/proc/self/exe", error);
    return error ? std::filesystem::path() : self.parent_path();
#endif
}

// --library, else $NIMBREL_LIBRARY, else the library beside this program,
// else the one built with this tree (UTF-8).
std::string library_path(const Options &options) {
    if (!options.library.empty()) return options.library;
    const char *variable = getenv("NIMBREL_LIBRARY");
    if (variable && *variable) return variable;
    const std::filesystem::path folder = program_folder();
    std::error_code error;
    if (!folder.empty() && std::filesystem::exists(folder / library_name, error))
        return name_of(folder / library_name);
    return standin::default_library_path();
}

// The width of the loaded grid, learned through one lookup: with `coord` at
// (2^-31, 0, 0) the position is (width - 1) * 2^-31, below 1, and the lookup
// hands its fraction to the caller (exact while width - 1 < 2^24). 0 when no
// position is inside the grid.
int looked_up_width(standin::Instance &instance) {
    standin::State state;
    SampleExchange exchange = {};
    exchange.frac[0] = -1.0f; // written only for a position inside
    instance.lookup_coord(state, {std::ldexp(1.0f, -31), 0.0f, 0.0f}, standin::NEAREST_MODE,
                          &exchange);
    return exchange.frac[0] < 0.0f ? 0 : int(std::ldexp(double(exchange.frac[0]), 31)) + 1;
}

// The last whole-number position inside the grid along `axis` (1 or 2), for a
// grid `width` voxels wide (at least 2): positions are (width - 1) * c, so the
// largest c whose position is inside is found by bisection on its bits (those
// of non-negative floats order as their values), and the last index is the
// ceiling of its position, as long as positions lie closer than one voxel.
int looked_up_last(standin::Instance &instance, int axis, int width) {
    standin::State state;
    uint32_t inside = 0, outside = 0x7f800000; // 0 and infinity
    while (outside - inside > 1) {
        const uint32_t middle = inside + (outside - inside) / 2;
        float c[3] = {0.0f, 0.0f, 0.0f};
        memcpy(&c[axis], &middle, sizeof middle);
        SampleExchange exchange = {};
        exchange.frac[0] = -1.0f;
        instance.lookup_coord(state, {c[0], c[1], c[2]}, standin::NEAREST_MODE, &exchange);
        (exchange.frac[0] < 0.0f ? outside : inside) = middle;
    }
    float c;
    memcpy(&c, &inside, sizeof c);
    return int(std::ceil(float(double(width - 1) * c)));
}

// The tool's shader connected to `coord`: the current point times the scale,
// plus the offset. The default scale 1 / (width - 1) needs the grid's width:
// a raw volume's is a parameter; a BMP series has one only once its first
// slice has been read, so it is learned through a lookup on the first
// evaluation (in the mapping capture, which follows the load).
struct CoordShader {
    std::optional<Vec3> scale;
    Vec3 offset;
    standin::Instance *instance;
    std::shared_ptr<std::atomic<int>> width; // -1 until known

    int width_now() const {
        int known = width->load();
        if (known < 0) {
            known = looked_up_width(*instance);
            width->store(known);
        }
        return known;
    }
    Vec3 scale_now() const {
        if (scale) return *scale;
        const int w = width_now();
        const float s = w > 1 ? 1.0f / float(w - 1) : 1.0f;
        return {s, s, s};
    }
    // Grid voxels per unit of the point on each axis (the lookup multiplies
    // coord by width - 1).
    Vec3 voxels_per_point() const {
        const Vec3 s = scale_now();
        const int w = width_now();
        const float grid = w > 1 ? float(w - 1) : 1.0f;
        return {s[0] * grid, s[1] * grid, s[2] * grid};
    }
    miVector operator()(miVector p) const {
        const Vec3 s = scale_now();
        return {p.x * s[0] + offset[0], p.y * s[1] + offset[1], p.z * s[2] + offset[2]};
    }
    // The point at which `coord` puts the lookup at voxel position `target`
    // (the lookup multiplies every coordinate by width - 1).
    miVector point_for(const float target[3], int width) const {
        const Vec3 s = scale_now();
        float p[3];
        for (int i = 0; i < 3; ++i)
            p[i] = ((width > 1 ? target[i] / float(width - 1) : 0.0f) - offset[i]) / s[i];
        return {p[0], p[1], p[2]};
    }
};

int bytes_per_voxel(int filetype) {
    const FileTypeFacts *facts = file_type_facts(filetype);
    return facts ? facts->sample_bytes * facts->channels : 2;
}

// The grid as the loaded instance answers lookups: a raw volume has the shape
// of its parameters; a BMP series has the width and height of its files,
// learned through lookups (one voxel wide, no row past the first can be
// looked up, and the height is taken as 1).
Extent looked_up_extent(standin::Instance &instance, const standin::Params &params, int width) {
    if (params.filetype != BMP_SERIES) return {params.width, params.height, params.slices};
    const int height = width > 1 ? looked_up_last(instance, 1, width) + 1 : 1;
    return {width, height, params.slices};
}

// Changes the working folder for its lifetime, unless given none.
class WorkingFolder {
  public:
    explicit WorkingFolder(const std::string &folder) {
        if (folder.empty()) return;
        previous_ = std::filesystem::current_path();
        std::filesystem::current_path(path_of(folder));
    }
    ~WorkingFolder() {
        std::error_code ignored;
        if (!previous_.empty()) std::filesystem::current_path(previous_, ignored);
    }

  private:
    std::filesystem::path previous_;
};

// A series is numbered at the first '.' of the whole name (the library's
// rule): say so when that is not the file's own extension.
void check_series_name(const std::string &file, int filetype) {
    if (filetype > 2) return;
    const size_t dot = file.find('.');
    const size_t folder_end = file.find_last_of(
#if defined(_WIN32)
        "/\\"
#else
        "/"
#endif
    );
    if (dot == std::string::npos)
        fprintf(stderr, "nimbrel-render: note: %s has no '.', so every slice is read from it\n",
                file.c_str());
    else if (folder_end != std::string::npos && dot < folder_end)
        fprintf(stderr,
                "nimbrel-render: note: the first '.' of %s is in a folder name; the library "
                "numbers the slices just before it\n",
                file.c_str());
}

// Initialises the instance from within `folder` (none: the working folder),
// showing the bytes held so far while the library loads; the library lets
// nothing else be seen until it returns.
double load(standin::Renderer &renderer, standin::Instance &instance, standin::State &state,
            const std::string &folder, long long expected_bytes, Progress &progress) {
    const WorkingFolder within(folder);
    std::atomic<bool> loading{true};
    std::thread monitor([&] {
        while (loading) {
            const double held = double(renderer.allocator().live_bytes());
            progress.update(expected_bytes > 0 ? held / expected_bytes : -1.0, format_bytes(held));
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
    });
    const auto started = std::chrono::steady_clock::now();
    instance.init(state);
    const double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
    loading = false;
    monitor.join();
    return seconds;
}

// Bytes held in the slices of a volume whose load finished.
long long loaded_bytes(const Extent &volume, int filetype) {
    return (long long)volume.width * volume.height * volume.depth * bytes_per_voxel(filetype);
}

void print_info(const std::string &file, const standin::Params &params, const Extent &volume,
                const std::array<float, 16> &mapping, double load_seconds,
                const ValueRange &range) {
    const FileTypeFacts *facts = file_type_facts(params.filetype);
    printf("volume      %s\n", file.c_str());
    printf("file type   %s (%d), %s\n", filetype_name(params.filetype), params.filetype,
           facts && facts->sample_bytes == 1 ? "8-bit samples"
           : params.little_endian            ? "little-endian"
                                             : "big-endian");
    printf("shape       %d x %d x %d voxels (width x height x slices)\n", volume.width,
           volume.height, volume.depth);
    printf("loaded      %lld bytes in %.3f s\n", loaded_bytes(volume, params.filetype),
           load_seconds);
    printf("mapping     coord per unit step of the current point (columns x, y, z):\n");
    for (int row = 0; row < 4; ++row) {
        printf("           ");
        for (int column = 0; column < 4; ++column)
            printf(" %12.6g", double(mapping[row * 4 + column]));
        printf("\n");
    }
    const bool colour = params.filetype == BMP_SERIES;
    const char *const channels[] = {"red   ", "green ", "blue  "};
    for (int i = 0; i < (colour ? 3 : 1); ++i)
        printf("%-11s %smin %.6g  max %.6g  mean %.6g  (normalised, %llu voxels)\n",
               i == 0 ? "values" : "", colour ? channels[i] : "", range.min[i], range.max[i],
               range.mean[i], static_cast<unsigned long long>(range.voxels));
}

int run(const Options &options) {
    std::string file = options.file, folder;
    standin::Params params;
    if (file.empty()) {
        const DemoFiles demo =
            write_demo(options.cache.empty() ? default_cache_folder() : options.cache);
        const VolumeFiles &chosen = options.demo == DemoVolume::bmp ? demo.bmp : demo.block;
        folder = demo.folder;
        file = name_of(path_of(folder) / chosen.file);
        params = {chosen.file,     {0, 0, 0},    chosen.slices, options.interpolation,
                  chosen.filetype, chosen.width, chosen.height, 1};
    } else {
        check_series_name(file, options.filetype);
        std::string narrow;
        if (!library_file_name(file, &narrow)) {
            fprintf(stderr,
                    "nimbrel-render: the library cannot open %s: its name has characters "
                    "outside the system's ANSI code page\n",
                    file.c_str());
            return EXIT_FAILED;
        }
        params = {narrow,           {0, 0, 0},     options.slices, options.interpolation,
                  options.filetype, options.width, options.height, options.big_endian ? 0 : 1};
    }

    standin::Renderer renderer;
    const std::string library = library_path(options);
    std::string narrow_library;
    const bool nameable = library_file_name(library, &narrow_library);
    if (!nameable || !renderer.load(narrow_library)) {
        fprintf(stderr, "nimbrel-render: cannot load the shader library %s: %s\n", library.c_str(),
                nameable ? renderer.load_error().c_str()
                         : "its name has characters outside the system's ANSI code page");
        return EXIT_FAILED;
    }
    standin::Instance instance(renderer, params);
    // A raw volume's width is its parameter; a BMP series' is learned once loaded.
    const auto width = std::make_shared<std::atomic<int>>(
        params.filetype == BMP_SERIES ? -1 : std::max(params.width, 0));
    const CoordShader coord{options.coord_scale, options.coord_offset, &instance, width};
    instance.connect_coord(coord);
    standin::State state;

    const long long expected = params.filetype == 0
                                   ? -1
                                   : (long long)params.width * params.height * params.slices *
                                         bytes_per_voxel(params.filetype);
    Progress loading("load", options.quiet);
    const double load_seconds = load(renderer, instance, state, folder, expected, loading);
    const std::array<float, 16> mapping = instance.looked_up_mapping(state);
    if (!instance.user_pointer() || !renderer.log().errors().empty() || mapping[15] != 1.0f) {
        loading.abandon();
        instance.exit(state);
        return EXIT_FAILED; // the library has said why
    }
    const Extent extent = looked_up_extent(instance, params, coord.width_now());
    loading.finish(1.0, format_bytes(double(loaded_bytes(extent, params.filetype))));

    const int threads = options.threads > 0
                            ? options.threads
                            : std::max(1, static_cast<int>(std::thread::hardware_concurrency()));
    int status = 0;
    if (options.info) {
        const float target[3] = {extent.width > 1 ? 0.5f : 0.0f, extent.height > 1 ? 0.5f : 0.0f,
                                 extent.depth > 1 ? 0.5f : 0.0f};
        const ValueRange range =
            value_range(instance, extent, coord.point_for(target, extent.width), threads);
        print_info(file, params, extent, mapping, load_seconds, range);
    } else {
        Frame frame(options.axis, extent, options.scale, coord.voxels_per_point());
        frame.centred = options.view != View::slice;
        if (frame.extent[frame.axis] > max_view_depth) {
            fprintf(stderr,
                    "nimbrel-render: --coord-scale makes the grid %d points deep; at most %d\n",
                    frame.extent[frame.axis], max_view_depth);
            instance.exit(state);
            return EXIT_BAD_ARGUMENT;
        }
        if ((long long)frame.columns() * frame.rows() > max_image_pixels) {
            fprintf(stderr, "nimbrel-render: the image would be %d x %d pixels; lower --scale\n",
                    frame.columns(), frame.rows());
            instance.exit(state);
            return EXIT_BAD_ARGUMENT;
        }
        const ViewSettings settings{
            options.view, options.at,      options.window_low, options.window_high,
            options.step, options.density, options.palette,    params.filetype == BMP_SERIES};
        Progress drawing("render", options.quiet);
        const RenderResult result = render_view(instance, frame, settings, threads, drawing);
        const std::string output = !options.output.empty() ? options.output
                                   : options.file.empty()  ? "nimbrel-demo.png"
                                                           : "nimbrel-render.png";
        std::string error;
        if (!write_png(output, result.image, &error)) {
            fprintf(stderr, "nimbrel-render: cannot write %s: %s\n", output.c_str(), error.c_str());
            status = EXIT_FAILED;
        } else {
            printf("%s: %s view %d x %d, %llu lookups, %.2f M lookups/s, %.3f s, %d thread%s\n",
                   output.c_str(), view_name(options.view), result.image.width, result.image.height,
                   static_cast<unsigned long long>(result.lookups),
                   result.seconds > 0 ? result.lookups / result.seconds / 1e6 : 0.0, result.seconds,
                   threads, threads == 1 ? "" : "s");
        }
    }
    instance.exit(state);
    return status;
}

int run_program(int argc, const char *const *argv) {
    Options options;
    try {
        options = parse_options(argc, argv);
    } catch (const BadArgument &bad) {
        fprintf(stderr, "nimbrel-render: %s\n", bad.what());
        return EXIT_BAD_ARGUMENT;
    }
    if (options.help) {
        fputs(help_text().c_str(), stdout);
        return 0;
    }
    try {
        return run(options);
    } catch (const std::exception &failure) {
        fprintf(stderr, "nimbrel-render: %s\n", failure.what());
        return EXIT_FAILED;
    }
}

} // namespace

#if defined(_WIN32)
// The arguments as UTF-16, so that names outside the ANSI code page arrive
// whole; the tool carries them as UTF-8.
int wmain(int argc, wchar_t **argv) {
    const std::vector<std::string> arguments = utf8_arguments(argc, argv);
    std::vector<const char *> pointers;
    for (const std::string &argument : arguments)
        pointers.push_back(argument.c_str());
    return run_program(argc, pointers.data());
}
#else
int main(int argc, char **argv) {
    return run_program(argc, argv);
}
#endif
