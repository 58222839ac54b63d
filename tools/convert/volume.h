// What nimbrel-convert knows of an input volume once ITK has read it, in
// terms free of ITK: shape, geometry, sample type and the samples themselves.
#pragma once

#include <cstdint>
#include <functional>
#include <stdexcept>
#include <string>
#include <vector>

namespace convert {

constexpr int EXIT_FAILED = 1, EXIT_BAD_ARGUMENT = 2;

// A failure to report as "nimbrel-convert: MESSAGE" with an exit status.
struct Failure : std::runtime_error {
    Failure(int status, const std::string &message) : std::runtime_error(message), status(status) {}
    int status;
};

enum class SampleType { u8, i8, u16, i16, u32, i32, u64, i64, f32, f64 };
inline const char *sample_type_name(SampleType type) {
    static const char *const names[] = {"uint8", "int8",   "uint16", "int16",   "uint32",
                                        "int32", "uint64", "int64",  "float32", "float64"};
    return names[int(type)];
}
inline int sample_size(SampleType type) {
    static const int sizes[] = {1, 1, 2, 2, 4, 4, 8, 8, 4, 8};
    return sizes[int(type)];
}
inline bool is_integer(SampleType type) {
    return type != SampleType::f32 && type != SampleType::f64;
}

enum class ByteOrder { little, big, none };

// INPUT as the command line gave it: a file, a folder (a DICOM series or a
// stack of images), or with --stack a printf pattern of numbered images.
struct InputSpec {
    std::string path;
    bool pattern = false;
    std::string series_uid; // --series: one of several DICOM series
};

struct Volume {
    std::string format;             // "NIfTI", "DICOM series", "PNG stack", ...
    std::vector<std::string> files; // every file read, in slice order for series and stacks
    int dimensions = 0;             // of the image as stored
    int64_t size[4] = {1, 1, 1, 1}; // x, y, z, frames
    double spacing[3] = {1, 1, 1};
    double origin[3] = {0, 0, 0};
    double direction[9] = {1, 0, 0, 0, 1, 0, 0, 0, 1}; // of axis x, then y, then z
    SampleType type = SampleType::u8;
    int components = 1; // 3: RGB, 4: RGBA
    std::string pixel;  // "scalar", "RGB", "RGBA", "vector of 2", ...
    ByteOrder order = ByteOrder::none;
    // The samples of one frame, or of every frame, in index order (x fastest,
    // then y, z, frame), components interleaved, in this machine's byte order.
    std::vector<unsigned char> samples;

    int64_t frames() const { return size[3]; }
    int64_t voxels_per_frame() const { return size[0] * size[1] * size[2]; }
};

// Registers with ITK the formats the tool reads (ITK finds a reader by asking
// each registered format); done once, by the first call.
void register_formats();

// The header of the input (the file list of a series or stack included);
// throws Failure.
Volume open_volume(const InputSpec &input);

// Reads the samples of `frame` (-1: every frame) into volume.samples,
// reporting through `progress(fraction)`; throws Failure.
void read_samples(Volume &volume, const InputSpec &input, int frame,
                  const std::function<void(double)> &progress);

} // namespace convert
