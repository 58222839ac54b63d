// nimbrel-convert: reads a scan with ITK and writes it as a volume the
// Nimbrel library loads, with the scene snippet and the preview command.
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <thread>

#include "renderer/standin.h"
#include "tools/convert/in_place.h"
#include "tools/convert/options.h"
#include "tools/convert/output.h"
#include "tools/convert/plan.h"
#include "tools/convert/scene.h"
#include "tools/render/progress.h"

namespace {

using namespace convert;
namespace fs = std::filesystem;

fs::path program_folder() {
    std::error_code error;
    const fs::path self = fs::read_symlink("/proc/self/exe", error);
    return error ? fs::path() : self.parent_path();
}

// --library, else $NIMBREL_LIBRARY, else beside the program or in the
// install tree's lib/, else the library built with this tree.
std::string library_path(const Options &options) {
    if (!options.library.empty()) return options.library;
    const char *variable = getenv("NIMBREL_LIBRARY");
    if (variable && *variable) return variable;
    const fs::path folder = program_folder();
    std::error_code error;
    for (const fs::path &candidate : {folder / "Nimbrel.so", folder / ".." / "lib" / "Nimbrel.so"})
        if (!folder.empty() && fs::exists(candidate, error)) return candidate.string();
    return standin::default_library_path();
}

// nimbrel-render beside this program (as a path from the working folder
// where it is short), else its bare name.
std::string render_program() {
    std::error_code error;
    const fs::path beside = program_folder() / "nimbrel-render";
    if (!fs::exists(beside, error)) return "nimbrel-render";
    const fs::path relative = fs::relative(beside, error);
    if (!error && !relative.empty() && relative.begin()->string() != "..") return relative.string();
    return beside.string();
}

std::string preview(const ShaderParams &params, const Volume &volume) {
    const std::string command = preview_command(params, volume);
    return render_program() + command.substr(std::string("nimbrel-render").size());
}

std::string shape(const Volume &v) {
    std::string text = std::to_string(v.size[0]) + " x " + std::to_string(v.size[1]);
    if (v.dimensions >= 3) text += " x " + std::to_string(v.size[2]);
    return text;
}

// Reads the samples with a progress line, redrawn while ITK reads (a single
// file, read in one call, shows the time it has taken so far).
void read_with_progress(Volume &volume, const Options &options, int frame) {
    render::Progress progress("read", options.quiet);
    std::atomic<double> done{-1.0};
    std::atomic<bool> reading{true};
    std::thread monitor([&] {
        for (; reading; std::this_thread::sleep_for(std::chrono::milliseconds(50)))
            progress.update(done, volume.files.size() > 1
                                      ? std::to_string(volume.files.size()) + " files"
                                      : "");
    });
    try {
        read_samples(volume, options.input, frame, [&](double fraction) { done = fraction; });
    } catch (...) {
        reading = false;
        monitor.join();
        progress.abandon();
        throw;
    }
    reading = false;
    monitor.join();
    progress.finish(1.0, render::format_bytes(double(volume.samples.size())));
}

void print_info(const Options &options, Volume &volume) {
    const char *orders[] = {"little-endian", "big-endian", "no byte order"};
    printf("input       %s (%s%s)\n", options.input.path.c_str(), volume.format.c_str(),
           volume.files.size() > 1 ? (", " + std::to_string(volume.files.size()) + " files").c_str()
                                   : "");
    printf("size        %s voxels, %lld frame%s\n", shape(volume).c_str(),
           (long long)volume.frames(), volume.frames() == 1 ? "" : "s");
    printf("spacing     %g x %g x %g\n", volume.spacing[0], volume.spacing[1], volume.spacing[2]);
    printf("origin      %g, %g, %g\n", volume.origin[0], volume.origin[1], volume.origin[2]);
    printf("direction  ");
    for (int axis = 0; axis < 3; ++axis) { // + 0.0: no "-0"
        const double *d = &volume.direction[3 * axis];
        printf(" %c (%g, %g, %g)", "xyz"[axis], d[0] + 0.0, d[1] + 0.0, d[2] + 0.0);
    }
    printf("\n");
    printf("pixel type  %s %s, %s\n", sample_type_name(volume.type), volume.pixel.c_str(),
           sample_size(volume.type) == 1 ? "bytes" : orders[int(volume.order)]);
    const std::string refused = refusal(volume);
    if (!refused.empty()) {
        printf("convert     no: %s\n", refused.c_str());
        return;
    }
    const int frame = volume.frames() > 1 ? options.frame : -1;
    read_with_progress(volume, options, frame);
    const ValueRange range = value_range(volume);
    printf("values      %s%g to %g\n",
           frame >= 0 ? ("frame " + std::to_string(frame) + ": ").c_str() : "", range.min,
           range.max);
    if (volume.frames() > 1 && frame < 0) {
        printf("convert     choose a frame with --frame N (0 to %lld)\n",
               (long long)volume.frames() - 1);
        return;
    }
    const Plan plan = choose_plan(volume, range, options.to, options.window);
    const ShaderParams converted =
        shader_params(volume,
                      output_names("OUTPUT", sources[plan.source].series,
                                   plan.source == BMP_SOURCE ? ".bmp" : ".raw", volume.size[2])
                          .volume_files.front(),
                      plan.source, 1);
    printf("convert     %s (%d), %s%s%s\n", sources[plan.source].name, plan.source,
           plan.how.c_str(), plan.note.empty() ? "" : "; ", plan.note.c_str());
    printf(
        "parameters  filename %s, slices %d, filetype %d, width %d, height %d, little_endian %d\n",
        converted.filename.c_str(), converted.slices, converted.filetype, converted.width,
        converted.height, converted.little_endian);

    render::Progress checking("check", options.quiet);
    const InPlace in_place = check_in_place(volume, library_path(options),
                                            [&](double done) { checking.update(done, "loading"); });
    checking.finish(1.0, in_place.loads ? "loads as it is" : "needs conversion");
    if (!in_place.loads) {
        printf("in place    no: %s\n", in_place.reason.c_str());
        return;
    }
    const ShaderParams &p = in_place.params;
    printf("in place    yes: filename %s, slices %d, filetype %d, width %d, height %d, "
           "little_endian %d\n",
           p.filename.c_str(), p.slices, p.filetype, p.width, p.height, p.little_endian);
    printf("preview     %s\n", preview(p, volume).c_str());
}

int convert_input(const Options &options, Volume &volume) {
    // The output's folder is checked before the input is read.
    output_names(options.output, false, ".raw", 1);
    const std::string refused = refusal(volume);
    if (!refused.empty())
        throw Failure(EXIT_FAILED, options.input.path + " cannot become a volume: " + refused);
    if (volume.frames() > 1 && options.frame < 0)
        throw Failure(EXIT_BAD_ARGUMENT, options.input.path + " holds " +
                                             std::to_string(volume.frames()) +
                                             " frames: choose one with --frame N (0 to " +
                                             std::to_string(volume.frames() - 1) + ")");
    read_with_progress(volume, options, volume.frames() > 1 ? options.frame : -1);
    const Plan plan = choose_plan(volume, value_range(volume), options.to, options.window);
    if (!plan.note.empty() && !options.quiet)
        fprintf(stderr, "nimbrel-convert: note: %s\n", plan.note.c_str());
    const SourceFacts &source = sources[plan.source];
    const OutputNames names = output_names(
        options.output, source.series, plan.source == BMP_SOURCE ? ".bmp" : ".raw", volume.size[2]);
    const uint64_t slice_bytes_count =
        uint64_t(volume.size[0]) * uint64_t(volume.size[1]) * uint64_t(source.sample_bytes);
    const uint64_t file_bytes =
        source.series ? slice_bytes_count : slice_bytes_count * uint64_t(volume.size[2]);
    if (file_bytes > uint64_t(INT32_MAX) - 54)
        throw Failure(EXIT_FAILED, "the volume would need files of " + std::to_string(file_bytes) +
                                       " bytes; the library reads files under 2 GiB");
    const ShaderParams params = shader_params(volume, names.volume_files.front(), plan.source, 1);

    render::Progress writing("write", options.quiet);
    write_outputs(
        names,
        [&](size_t file) {
            if (source.series) return slice_bytes(volume, plan, int64_t(file));
            std::vector<unsigned char> block;
            block.reserve(size_t(file_bytes));
            for (int64_t z = 0; z < volume.size[2]; ++z) {
                const std::vector<unsigned char> slice = slice_bytes(volume, plan, z);
                block.insert(block.end(), slice.begin(), slice.end());
                writing.update(double(z + 1) / double(volume.size[2] + 1), "block");
            }
            return block;
        },
        scene_text(params, volume, options.input.path, fs::path(names.scene).stem().string()),
        [&](double done) {
            writing.update(done, std::to_string(names.volume_files.size()) + " files");
        });
    writing.finish(1.0, std::to_string(names.volume_files.size() + 1) + " files");

    printf("%s: %s voxels of %s %s -> %s, %s\n", options.input.path.c_str(), shape(volume).c_str(),
           sample_type_name(volume.type), volume.pixel.c_str(), source.name, plan.how.c_str());
    if (source.series)
        printf("wrote %s to %s (%lld files) and %s\n", names.volume_files.front().c_str(),
               names.volume_files.back().c_str(), (long long)names.volume_files.size(),
               names.scene.c_str());
    else
        printf("wrote %s and %s\n", names.volume_files.front().c_str(), names.scene.c_str());
    printf("preview: %s\n", preview(params, volume).c_str());
    return 0;
}

} // namespace

int main(int argc, char **argv) {
    try {
        const Options options = parse_options(argc, argv);
        if (options.help) {
            fputs(help_text(), stdout);
            return 0;
        }
        if (options.frame >= 0 && options.input.pattern)
            throw Failure(EXIT_BAD_ARGUMENT, "--frame applies to a 4D input file");
        Volume volume = open_volume(options.input);
        if (options.frame >= 0 && options.frame >= volume.frames())
            throw Failure(EXIT_BAD_ARGUMENT, "--frame " + std::to_string(options.frame) + ": " +
                                                 options.input.path + " holds " +
                                                 std::to_string(volume.frames()) + " frame" +
                                                 (volume.frames() == 1 ? "" : "s"));
        if (options.info) {
            print_info(options, volume);
            return 0;
        }
        return convert_input(options, volume);
    } catch (const Failure &failure) {
        fflush(stdout);
        fprintf(stderr, "nimbrel-convert: %s\n", failure.what());
        return failure.status;
    } catch (const std::bad_alloc &) {
        fprintf(stderr, "nimbrel-convert: not enough memory\n");
        return EXIT_FAILED;
    } catch (const std::exception &failure) {
        fprintf(stderr, "nimbrel-convert: %s\n", failure.what());
        return EXIT_FAILED;
    }
}
