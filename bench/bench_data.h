// Volumes and sample points for the benchmarks: generated files in the shapes
// the loaders read, the same samples decoded into one contiguous array for the
// bare baseline, and point sets shared by every lookup method.
#pragma once

#include "renderer/standin.h"

#include <cstdint>
#include <string>
#include <vector>

#include "host/host_api.h"

namespace bench {

enum class Kind {
    S16_BE,  // signed 16-bit block file, big-endian (little_endian = 0)
    S16_LE,  // signed 16-bit block file, little-endian
    U8,      // 8-bit block file
    U16_SER, // unsigned 16-bit raw slice series
    BMP,     // 24-bit BMP slice series
};

struct VolumeSpec {
    Kind kind;
    int width, height, depth;

    int filetype() const;
    int little_endian() const;
    // The shader parameters that load this volume from `filename`, with
    // coord to be connected by the caller.
    standin::Params params(const std::string &filename) const {
        return standin::Params{filename,   {0, 0, 0}, depth,  standin::NEAREST_MODE,
                               filetype(), width,     height, little_endian()};
    }
    int channels() const { return kind == Kind::BMP ? 3 : 1; }
    // Bytes the loaded volume holds (the sum of its slice buffers).
    int64_t volume_bytes() const;
    int64_t slice_bytes() const;
    // "s16be 256^3", "bmp 256^2x64", ...
    std::string label() const;
};

// The samples of a volume in voxel order (x fastest, then y, then z), decoded
// to their native values, with a zero tail of one slice plus one row plus one
// voxel so that the bare trilinear read may step one voxel past any point
// inside the grid.
struct BareVolume {
    int width = 0, height = 0, depth = 0, channels = 1;
    std::vector<int16_t> s16; // the 16-bit kinds
    std::vector<uint8_t> u8;  // U8 and BMP (blue, green, red per voxel)
};

// Files of one generated volume: the name handed to the shader (the first
// slice's for a series) and every file written.
struct VolumeFiles {
    std::string filename;
    std::vector<std::string> written;
};

// The folder for generated data: $NIMBREL_BENCH_DATA, else a fresh folder
// under /tmp. Its path holds no '.', which the slice numbering would take.
std::string data_folder();

// Deterministic samples for `shape`, in voxel order.
BareVolume make_samples(const VolumeSpec &shape);

// Writes the files of `shape` holding `samples` under `folder`.
VolumeFiles write_volume(const VolumeSpec &shape, const BareVolume &samples,
                         const std::string &folder);
void remove_files(const VolumeFiles &files);

// Consecutive points of a point set: the coordinate handed to the lookup and
// the voxel-space position the lookup computes from it.
struct PointSpan {
    const miVector *coord;
    const miVector *position;
    size_t count;
};

// The lookup points: the coordinate handed to the lookup and the voxel-space
// position the lookup computes from it ((width - 1) * coord rounded to float).
struct PointSet {
    std::vector<miVector> coord;
    std::vector<miVector> position;

    PointSpan all() const { return {coord.data(), position.data(), coord.size()}; }
    // Points first .. first + count - 1.
    PointSpan span(size_t first, size_t count) const {
        return {coord.data() + first, position.data() + first, count};
    }
};

// `count` uniformly random points inside the grid.
PointSet random_points(const VolumeSpec &shape, size_t count, uint64_t seed);
// Rays along z in scanline order, half a voxel per step, `count` points in all.
PointSet ray_points(const VolumeSpec &shape, size_t count);

} // namespace bench
