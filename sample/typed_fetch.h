// Voxel fetches and trilinear blends specialised by file type and byte order,
// for the lookup: the type is chosen once per instance instead of once per
// corner. Each answers bit for bit what fetch_voxel_scalar, fetch_voxel_rgb,
// trilinear_scalar and trilinear_rgb answer for the same volume and point:
// every fetch keeps its bound tests (the blend's corners, inside the grid,
// pass them all) and its test for a slice never loaded, the weights are the same double products, and each weighted term and each
// running sum is rounded to float in the same order.
#pragma once

#include <stdint.h>

#if defined(__GNUC__)
#define NIMBREL_ALWAYS_INLINE inline __attribute__((always_inline))
#else
#define NIMBREL_ALWAYS_INLINE inline
#endif

namespace nimbrel {

// What a fetch reads from the volume record, loaded once per lookup. Each
// two-sided bound test becomes one unsigned comparison: a negative depth or
// area is held as 0, which every coordinate fails, as it fails the signed
// tests.
struct SliceTable {
    int64_t width;
    uint64_t area;             // width * height
    uint32_t depth;            // slices
    const void *const *slices; // the file type's table; null when never allocated
};

// The fetch view of a volume of this shape through `slices`, its slices8 or
// slices16 table.
inline SliceTable slice_table(int32_t width, int32_t height, int32_t depth,
                              const void *const *slices) {
    const int64_t area = static_cast<int64_t>(width) * height;
    SliceTable table;
    table.width = width;
    table.area = area > 0 ? static_cast<uint64_t>(area) : 0;
    table.depth = depth > 0 ? static_cast<uint32_t>(depth) : 0;
    table.slices = slices;
    return table;
}

// Slice z of the table, or null where the fetches answer zero for every voxel
// of it: z outside 0..depth-1, no table, or a slice never loaded.
inline const uint8_t *slice_of(const SliceTable &table, int32_t z) {
    if (static_cast<uint32_t>(z) >= table.depth || !table.slices) return nullptr;
    return static_cast<const uint8_t *>(table.slices[z]);
}

// The linear index of column x, row y in a slice, or -1 where it lies outside
// 0..area-1 (the fetches answer zero there).
inline int64_t index_of(const SliceTable &table, int32_t x, int32_t y) {
    const int64_t linear = x + static_cast<int64_t>(y) * table.width;
    return static_cast<uint64_t>(linear) < table.area ? linear : -1;
}

// Sample formats: the raw integer value of the element at `index` of a slice.
struct U8Samples {
    static const int channels = 1;
    static int32_t value(const uint8_t *slice, int64_t index, int) { return slice[index]; }
};

template <bool Little, bool Signed> struct U16Samples {
    static const int channels = 1;
    static int32_t value(const uint8_t *slice, int64_t index, int) {
        const uint8_t *bytes = slice + 2 * index;
        const uint16_t bits = Little ? static_cast<uint16_t>(bytes[0] | bytes[1] << 8)
                                     : static_cast<uint16_t>(bytes[0] << 8 | bytes[1]);
        return Signed ? static_cast<int16_t>(bits) : bits;
    }
};

// Colour: channel 0, 1, 2 are the voxel's three bytes in buffer order.
struct BgrSamples {
    static const int channels = 3;
    static int32_t value(const uint8_t *slice, int64_t index, int channel) {
        return slice[3 * index + channel];
    }
};

// One voxel, channel by channel: the integer values, which floats and doubles
// hold exactly.
template <typename Format> struct Voxel { int32_t channel[Format::channels]; };

// The voxel at `index` of `slice`, an index inside the slice; zero when the
// slice was never loaded (null).
template <typename Format> inline Voxel<Format> voxel_in(const uint8_t *slice, int64_t index) {
    Voxel<Format> voxel;
    for (int c = 0; c < Format::channels; ++c)
        voxel.channel[c] = slice ? Format::value(slice, index, c) : 0;
    return voxel;
}

// As voxel_in, and zero also for the index -1, the mark of a failed test.
template <typename Format> inline Voxel<Format> voxel_at(const uint8_t *slice, int64_t index) {
    return voxel_in<Format>(index >= 0 ? slice : nullptr, index);
}

// fetch_voxel_scalar / fetch_voxel_rgb for this format.
template <typename Format>
inline Voxel<Format> fetch_typed(const SliceTable &table, int32_t x, int32_t y, int32_t z) {
    return voxel_at<Format>(slice_of(table, z), index_of(table, x, y));
}

// The trilinear cell of a point inside the grid, from the floor and the
// fraction of each coordinate as the lookup computed them (the floor as an
// integer, the fraction as a float). Inside the grid a coordinate is at least
// 0 and below 2^31, so its ceiling is the floor plus one exactly when the
// fraction is not 0.
struct Cell {
    int32_t x0, x1, y0, y1, z0, z1;
    double weight[8]; // corners 0 to 7, factors multiplied left to right
};

NIMBREL_ALWAYS_INLINE Cell cell_inside(const int32_t floors[3], const float frac[3]) {
    Cell cell;
    cell.x0 = floors[0];
    cell.y0 = floors[1];
    cell.z0 = floors[2];
    cell.x1 = cell.x0 + (frac[0] != 0.0f);
    cell.y1 = cell.y0 + (frac[1] != 0.0f);
    cell.z1 = cell.z0 + (frac[2] != 0.0f);
    const double ux = frac[0], uy = frac[1], uz = frac[2];
    const double gx = 1.0 - ux, gy = 1.0 - uy, gz = 1.0 - uz;
    cell.weight[0] = gx * gy * gz;
    cell.weight[1] = gy * ux * gz;
    cell.weight[2] = gx * uy * gz;
    cell.weight[3] = gx * gy * uz;
    cell.weight[4] = gy * ux * uz;
    cell.weight[5] = gx * uy * uz;
    cell.weight[6] = ux * uy * gz;
    cell.weight[7] = ux * uy * uz;
    return cell;
}

// The blend of the eight corners of a cell inside the grid of a volume with a
// slice table, in corner order: each weighted term rounded to float, the
// float running sum per channel starting from 0. Inside the grid every
// corner passes the fetches' bound tests, so only a slice never loaded is
// tested for (it reads as zero, as the fetch answers).
template <typename Format>
NIMBREL_ALWAYS_INLINE void blend_typed(const SliceTable &table, const Cell &cell, float sum[]) {
    const uint8_t *const s0 = static_cast<const uint8_t *>(table.slices[cell.z0]);
    const uint8_t *const s1 = static_cast<const uint8_t *>(table.slices[cell.z1]);
    const int64_t i00 = cell.x0 + cell.y0 * table.width, i10 = i00 + (cell.x1 - cell.x0);
    const int64_t i01 = cell.x0 + cell.y1 * table.width, i11 = i01 + (cell.x1 - cell.x0);
    const Voxel<Format> v[8] = {voxel_in<Format>(s0, i00), voxel_in<Format>(s0, i10),
                                voxel_in<Format>(s0, i01), voxel_in<Format>(s1, i00),
                                voxel_in<Format>(s1, i10), voxel_in<Format>(s1, i01),
                                voxel_in<Format>(s0, i11), voxel_in<Format>(s1, i11)};
    for (int c = 0; c < Format::channels; ++c) {
        float s = 0.0f;
        for (int corner = 0; corner < 8; ++corner)
            s += static_cast<float>(cell.weight[corner] * v[corner].channel[c]);
        sum[c] = s;
    }
}

} // namespace nimbrel
