// Single voxels at whole-number grid coordinates, as raw sample values.
// Inline: the lookup and the interpolation call these once per corner.
#pragma once

#include <stdint.h>

#include "shader/volume_records.h"

// The three bytes of a colour voxel in buffer order (blue, green, red).
struct VoxelRgb {
    float channel[3];
};

typedef VoxelRgb FetchRgb(int32_t x, int32_t y, int32_t z, const VolumeData *volume);
typedef float FetchScalar(int32_t x, int32_t y, int32_t z, const VolumeData *volume);

namespace nimbrel {

// The 16 bits of sample `index`, in the volume's byte order.
inline uint16_t sample_bits(const uint16_t *slice, int64_t index, int32_t little_endian) {
    const uint8_t *bytes = reinterpret_cast<const uint8_t *>(slice + index);
    return little_endian ? static_cast<uint16_t>(bytes[0] | bytes[1] << 8)
                         : static_cast<uint16_t>(bytes[0] << 8 | bytes[1]);
}

} // namespace nimbrel

// Colour voxel (file type 0). Bounds are tested on the linear index, so a
// column just outside a row reads the neighbouring row; (0, 0, 0) before the
// first voxel, past the last, outside 0..depth-1, and for a slice never loaded.
inline VoxelRgb fetch_voxel_rgb(int32_t x, int32_t y, int32_t z, const VolumeData *volume) {
    const VoxelRgb none = {{0.0f, 0.0f, 0.0f}};
    if (z < 0 || z >= volume->depth || !volume->slices8) return none;
    // The slice is tested first: a record whose load stopped may keep a shape
    // from a rejected header too large for the arithmetic below, while a
    // loaded slice guarantees 3 * width * height fits an int.
    const uint8_t *slice = volume->slices8[z];
    if (!slice) return none;
    const int64_t index = x + static_cast<int64_t>(y) * volume->width;
    if (index < 0 || index >= static_cast<int64_t>(volume->width) * volume->height) return none;
    const int64_t position = 3 * index;
    return VoxelRgb{
        {float(slice[position]), float(slice[position + 1]), float(slice[position + 2])}};
}

// Scalar voxel (file types 1 to 5): unsigned, or signed for S16_BLOCK, with
// the byte order applied to 16-bit samples; the 12-bit types are not masked.
// 0 where fetch_voxel_rgb answers (0, 0, 0), and for any other file type.
inline float fetch_voxel_scalar(int32_t x, int32_t y, int32_t z, const VolumeData *volume) {
    if (z < 0 || z >= volume->depth) return 0.0f;
    const int64_t index = x + static_cast<int64_t>(y) * volume->width;
    if (index < 0 || index >= static_cast<int64_t>(volume->width) * volume->height) return 0.0f;
    const int filetype = volume->filetype;
    if (filetype == U8_BLOCK) {
        const uint8_t *slice = volume->slices8 ? volume->slices8[z] : nullptr;
        return slice ? float(slice[index]) : 0.0f;
    }
    if (filetype < U16_SERIES || filetype > S16_BLOCK) return 0.0f;
    const uint16_t *slice = volume->slices16 ? volume->slices16[z] : nullptr;
    if (!slice) return 0.0f;
    const uint16_t bits = nimbrel::sample_bits(slice, index, volume->little_endian);
    return filetype == S16_BLOCK ? float(static_cast<int16_t>(bits)) : float(bits);
}
