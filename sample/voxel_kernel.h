// The voxel fetch and the trilinear blend, specialised by sample format so
// that the format is chosen once per lookup instead of once per corner.
// A fetch answers the raw value of the voxel at whole-number coordinates, 0
// outside the slice (by linear index), outside 0..depth-1 and for a slice
// never loaded. The blend weighs the eight corners with double products, each
// term and each running sum rounded to float in corner order.
#pragma once

#include <stdint.h>

#include "sample/volume_view.h"

#if defined(__GNUC__)
#define NIMBREL_ALWAYS_INLINE inline __attribute__((always_inline))
#define NIMBREL_ALWAYS_INLINE_LAMBDA __attribute__((always_inline))
#else
#define NIMBREL_ALWAYS_INLINE inline
#define NIMBREL_ALWAYS_INLINE_LAMBDA
#endif

namespace nimbrel {

// What a fetch reads from the view, loaded once per lookup. Each two-sided
// bound test becomes one unsigned comparison: a negative depth or area is
// held as 0, which every coordinate fails, as it fails the signed tests.
struct SliceTable {
    int64_t width;
    uint64_t area;             // width * height
    uint32_t depth;            // slices
    const void *const *slices; // null when never allocated
};

inline SliceTable slice_table(const VolumeView &view) {
    const int64_t area = static_cast<int64_t>(view.width) * view.height;
    SliceTable table;
    table.width = view.width;
    table.area = area > 0 ? static_cast<uint64_t>(area) : 0;
    table.depth = view.depth > 0 ? static_cast<uint32_t>(view.depth) : 0;
    table.slices = view.slices;
    return table;
}

// Slice z of the table, or null where the fetches answer zero for every voxel
// of it: z outside 0..depth-1, no table, or a slice never loaded.
NIMBREL_ALWAYS_INLINE const uint8_t *slice_of(const SliceTable &table, int32_t z) {
    if (static_cast<uint32_t>(z) >= table.depth || !table.slices) return nullptr;
    return static_cast<const uint8_t *>(table.slices[z]);
}

// The linear index of column x, row y in a slice, or -1 where it lies outside
// 0..area-1 (the fetches answer zero there).
NIMBREL_ALWAYS_INLINE int64_t index_of(const SliceTable &table, int32_t x, int32_t y) {
    const int64_t linear = x + static_cast<int64_t>(y) * table.width;
    return static_cast<uint64_t>(linear) < table.area ? linear : -1;
}

// Sample formats: the raw value of the element at `index` of a slice, as a
// double (exactly the integer value, as the fetches' floats hold it).
struct U8Samples {
    static const int channels = 1;
    NIMBREL_ALWAYS_INLINE static double value(const uint8_t *slice, int64_t index, int) {
        return slice[index];
    }
};

template <bool Little, bool Signed> struct U16Samples {
    static const int channels = 1;
    NIMBREL_ALWAYS_INLINE static double value(const uint8_t *slice, int64_t index, int) {
        const uint8_t *bytes = slice + 2 * index;
        const uint16_t bits = Little ? static_cast<uint16_t>(bytes[0] | bytes[1] << 8)
                                     : static_cast<uint16_t>(bytes[0] << 8 | bytes[1]);
        return Signed ? static_cast<int16_t>(bits) : bits;
    }
};

// Colour: channel 0, 1, 2 are the voxel's three bytes in buffer order.
struct BgrSamples {
    static const int channels = 3;
    NIMBREL_ALWAYS_INLINE static double value(const uint8_t *slice, int64_t index, int channel) {
        return slice[3 * index + channel];
    }
};

// Calls `use` with the format type of view format `format` (an empty value of
// BgrSamples, U8Samples or U16Samples<...>); false, without a call, for
// FORMAT_NONE or an unknown format.
template <typename Use> NIMBREL_ALWAYS_INLINE bool with_format(int32_t format, Use &&use) {
    switch (format) {
    case FORMAT_BGR8:
        use(BgrSamples());
        return true;
    case FORMAT_U8:
        use(U8Samples());
        return true;
    case FORMAT_U16_LITTLE:
        use(U16Samples<true, false>());
        return true;
    case FORMAT_U16_BIG:
        use(U16Samples<false, false>());
        return true;
    case FORMAT_S16_LITTLE:
        use(U16Samples<true, true>());
        return true;
    case FORMAT_S16_BIG:
        use(U16Samples<false, true>());
        return true;
    default:
        return false;
    }
}

// One voxel, channel by channel.
template <typename Format> struct Voxel { double channel[Format::channels]; };

// The voxel at `index` of `slice`, or zero when either is the mark of a
// failed test (null, -1).
template <typename Format>
NIMBREL_ALWAYS_INLINE Voxel<Format> voxel_at(const uint8_t *slice, int64_t index) {
    Voxel<Format> voxel;
    const bool found = slice && index >= 0;
    for (int c = 0; c < Format::channels; ++c)
        voxel.channel[c] = found ? Format::value(slice, index, c) : 0.0;
    return voxel;
}

// The voxel at whole-number coordinates (x, y, z): the one fetch.
template <typename Format>
NIMBREL_ALWAYS_INLINE Voxel<Format> fetch_voxel(const SliceTable &table, int32_t x, int32_t y,
                                                int32_t z) {
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

// The blend of the eight corners in corner order: each weighted term rounded
// to float, the float running sum per channel starting from 0. The corners
// share two slices and four indices; each is tested once, as each corner's
// fetch would test it.
template <typename Format>
NIMBREL_ALWAYS_INLINE void trilinear_blend(const SliceTable &table, const Cell &cell, float sum[]) {
    const uint8_t *const s0 = slice_of(table, cell.z0), *const s1 = slice_of(table, cell.z1);
    const int64_t i00 = index_of(table, cell.x0, cell.y0), i10 = index_of(table, cell.x1, cell.y0);
    const int64_t i01 = index_of(table, cell.x0, cell.y1), i11 = index_of(table, cell.x1, cell.y1);
    const Voxel<Format> v[8] = {voxel_at<Format>(s0, i00), voxel_at<Format>(s0, i10),
                                voxel_at<Format>(s0, i01), voxel_at<Format>(s1, i00),
                                voxel_at<Format>(s1, i10), voxel_at<Format>(s1, i01),
                                voxel_at<Format>(s0, i11), voxel_at<Format>(s1, i11)};
    for (int c = 0; c < Format::channels; ++c) {
        float s = 0.0f;
        for (int corner = 0; corner < 8; ++corner)
            s += static_cast<float>(cell.weight[corner] * v[corner].channel[c]);
        sum[c] = s;
    }
}

} // namespace nimbrel
