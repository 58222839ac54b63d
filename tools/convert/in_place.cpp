#include "tools/convert/in_place.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <climits>
#include <cstring>
#include <filesystem>
#include <thread>

#include "renderer/standin.h"
#include "tools/convert/plan.h"

namespace convert {
namespace {

namespace fs = std::filesystem;

// The block source that holds the samples as they are, or -1 with `why`.
int block_source(const Volume &volume, std::string *why) {
    if (volume.format == "DICOM series" || volume.format == "image stack") {
        *why = "a " + volume.format +
               " is one file per slice, which the library reads only as raw "
               "16-bit or BMP slices";
        return -1;
    }
    if (volume.frames() > 1) {
        *why = "the file holds " + std::to_string(volume.frames()) + " frames";
        return -1;
    }
    if (volume.components != 1) {
        *why = "colour volumes load only as BMP slices";
        return -1;
    }
    switch (volume.type) {
    case SampleType::u8:
        return 3;
    case SampleType::i16:
        return S16_SOURCE;
    case SampleType::u16:
        if (value_range(volume).max <= 4095) return U12_BLOCK_SOURCE;
        *why = "uint16 samples above 4095 load only as a u16 series, one file per slice";
        return -1;
    default:
        *why = std::string(sample_type_name(volume.type)) + " samples need rescaling";
        return -1;
    }
}

// The files that may hold the samples as their last bytes.
std::vector<std::string> candidates(const std::string &file, uintmax_t bytes) {
    std::vector<std::string> found;
    std::error_code error;
    const auto fits = [&](const fs::path &path) {
        const uintmax_t size = fs::file_size(path, error);
        return !error && size >= bytes && size <= uintmax_t(INT_MAX);
    };
    if (fits(file)) found.push_back(file);
    const fs::path path(file);
    const std::string name = path.filename().string();
    const std::string stem = name.substr(0, name.find('.')) + ".";
    const fs::path folder = path.has_parent_path() ? path.parent_path() : fs::path(".");
    for (const fs::directory_entry &entry : fs::directory_iterator(folder, error)) {
        const std::string other = entry.path().filename().string();
        if (other != name && other.rfind(stem, 0) == 0 && entry.is_regular_file(error) &&
            fits(entry.path()))
            found.push_back((path.parent_path() / other).string());
    }
    return found;
}

// The first voxel of slice z whose lookup differs from the sample, or empty.
std::string slice_difference(const Volume &volume, const ShaderParams &params,
                             standin::Instance &instance, standin::State &state, int64_t z) {
    const float divisor = sources[params.filetype].divisor;
    const int64_t width = volume.size[0], height = volume.size[1];
    for (int64_t y = 0; y < height; ++y)
        for (int64_t x = 0; x < width; ++x) {
            const size_t i = size_t((z * height + y) * width + x);
            float sample;
            if (volume.type == SampleType::u8) {
                sample = float(volume.samples[i]);
            } else {
                uint16_t bits;
                memcpy(&bits, &volume.samples[2 * i], 2);
                sample = volume.type == SampleType::i16 ? float(int16_t(bits)) : float(bits);
            }
            const miColor got = instance.lookup(state, {float(x), float(y), float(z)});
            if (got.r != sample / divisor) {
                char text[160];
                snprintf(text, sizeof text, "voxel (%lld, %lld, %lld) loads as %g, not %g",
                         (long long)x, (long long)y, (long long)z, double(got.r) * divisor,
                         double(sample));
                return text;
            }
        }
    return {};
}

// The first voxel whose lookup differs from the sample (or the library's
// message when the load fails), or empty when every voxel reads right. The
// slices are read on every core, each thread with its own shading state.
std::string first_difference(const Volume &volume, const ShaderParams &params,
                             standin::Renderer &renderer,
                             const std::function<void(double)> &progress) {
    standin::Instance instance(renderer, {params.filename,
                                          {0, 0, 0},
                                          params.slices,
                                          standin::NEAREST_MODE,
                                          params.filetype,
                                          params.width,
                                          params.height,
                                          params.little_endian});
    const float per_voxel = 1.0f / float(params.width - 1);
    instance.connect_coord([per_voxel](miVector p) {
        return miVector{p.x * per_voxel, p.y * per_voxel, p.z * per_voxel};
    });
    standin::State state;
    renderer.log().clear();
    instance.init(state);
    if (!renderer.log().errors().empty()) {
        instance.exit(state);
        return "the library says " + renderer.log().errors()[0];
    }
    const int64_t depth = volume.size[2];
    std::vector<std::string> differences(static_cast<size_t>(depth));
    std::atomic<int64_t> next{0}, done{0};
    std::atomic<bool> found{false};
    std::vector<std::thread> workers;
    const unsigned threads = std::max(1u, std::min(16u, std::thread::hardware_concurrency()));
    for (unsigned t = 0; t < threads; ++t)
        workers.emplace_back([&] {
            standin::State own;
            for (int64_t z; !found && (z = next++) < depth; ++done) {
                differences[size_t(z)] = slice_difference(volume, params, instance, own, z);
                if (!differences[size_t(z)].empty()) found = true;
            }
        });
    while (done < depth && !found) {
        progress(double(done) / double(depth));
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    for (std::thread &worker : workers)
        worker.join();
    progress(1.0);
    instance.exit(state);
    for (const std::string &difference : differences)
        if (!difference.empty()) return difference;
    return {};
}

} // namespace

InPlace check_in_place(const Volume &volume, const std::string &library,
                       const std::function<void(double)> &progress) {
    InPlace result;
    const int source = block_source(volume, &result.reason);
    if (source < 0) return result;
    const uintmax_t bytes =
        uintmax_t(volume.voxels_per_frame()) * uintmax_t(sources[source].sample_bytes);
    const std::vector<std::string> files = candidates(volume.files.front(), bytes);
    if (files.empty()) {
        result.reason = "no file of at least " + std::to_string(bytes) +
                        " bytes (and under 2 GiB) holds the samples";
        return result;
    }
    standin::Renderer renderer;
    renderer.log().set_echo(false);
    if (!renderer.load(library))
        throw Failure(EXIT_FAILED,
                      "cannot load the shader library " + library + ": " + renderer.load_error());
    // Both byte orders, the one the reader gives first: not every reader
    // tells the file's own.
    std::vector<int> orders = {volume.order == ByteOrder::big ? 0 : 1};
    if (sources[source].sample_bytes == 2) orders.push_back(1 - orders[0]);
    for (const std::string &file : files)
        for (int little_endian : orders) {
            const ShaderParams params = shader_params(volume, file, source, little_endian);
            const std::string difference = first_difference(volume, params, renderer, progress);
            if (difference.empty()) {
                result.loads = true;
                result.params = params;
                return result;
            }
            result.reason += (result.reason.empty() ? "" : "; ") + file + " as " +
                             sources[source].name + (little_endian ? "" : " big-endian") + ": " +
                             difference;
        }
    return result;
}

} // namespace convert
