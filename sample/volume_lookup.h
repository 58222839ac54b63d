// One lookup in a viewed volume: `coord` into voxel space, the edge code for
// the caller, the sample by mode, normalised into the colour.
//
// Inline, so that the lookup entry point compiles as one function with the
// fetch and the blend of every format: a call between them costs nanoseconds
// on every lookup.
#pragma once

#include <math.h>
#include <string.h>

#include "host/host_api.h"
#include "sample/sample_exchange.h"
#include "sample/volume_view.h"
#include "sample/voxel_kernel.h"

namespace nimbrel {

// Pieces of the lookup, in the order it uses them.
namespace lookup_steps {

// The last index along each axis (width - 1, height - 1, depth - 1), formed
// in 64 bits and held as doubles, where they are exact: the bounds of the
// edge and bounds tests, compared with the coordinates in double precision.
struct Last {
    double x, y, z;
};

inline Last last_index(const VolumeView &view) {
    return Last{double(int64_t(view.width) - 1), double(int64_t(view.height) - 1),
                double(int64_t(view.depth) - 1)};
}

// The six tests are all made and the first that holds is picked from their
// bits, without a branch per test: near the faces the branches were
// mispredicted. Each upper bound, last - 1 - margin, is exact in double.
inline int edge_code(double x, double y, double z, const Last &last, int margin) {
    const double low = margin + 1;
    const unsigned held = unsigned(x < low) | unsigned(!(x <= last.x - low)) << 1 |
                          unsigned(y < low) << 2 | unsigned(!(y <= last.y - low)) << 3 |
                          unsigned(z < low) << 4 | unsigned(!(z <= last.z - low)) << 5;
    // Codes 1 to 6 follow the bits in test order; held & -held keeps the first.
    static const int8_t code_of_bit[33] = {0, 1, 2, 0, 3, 0, 0, 0, 4, 0, 0, 0, 0, 0, 0, 0, 5,
                                           0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 6};
    return code_of_bit[held & (0u - held)];
}

// (width - 1) * c rounded once to float. The double product of a 32-bit
// integer and a float is exact while |width - 1| < 2^29 (at most 53
// significant bits). Beyond that it is rounded to odd (the exact error, from
// fma, decides the last bit) before the rounding to float, which makes the
// two roundings equal one.
inline float scale_coordinate(int64_t scale, float c) {
    double product = double(scale) * c;
    const int64_t exact_limit = int64_t(1) << 29;
    if ((scale < exact_limit && scale > -exact_limit) || !isfinite(product)) return float(product);
    const double error = fma(double(scale), double(c), -product);
    uint64_t bits;
    memcpy(&bits, &product, sizeof bits);
    if (error != 0.0 && (bits & 1) == 0)
        product = nextafter(product, error > 0 ? INFINITY : -INFINITY);
    return float(product);
}

// The floor and the fraction of a coordinate inside the grid (at least -0,
// below 2^31). The floor is the truncation; v - floor(v) is exact in float, as
// in double; adding +0 gives the fraction of -0 as +0, as -0 - floor(-0) is.
inline void split_inside(float v, int32_t *whole, float *fraction) {
    *whole = int32_t(v);
    *fraction = (v - float(*whole)) + 0.0f;
}

// Both ends included; NaN is outside.
inline bool inside_grid(double x, double y, double z, const Last &last) {
    return x >= 0 && x <= last.x && y >= 0 && y <= last.y && z >= 0 && z <= last.z;
}

// NEAREST: the floor, or the ceiling from a fraction of 0.5 up. Chosen
// without a branch: floor + 1 is the ceiling whenever the fraction is not 0.
inline int32_t nearest(int32_t floor_value, float fraction) {
    return floor_value + (fraction >= 0.5f);
}

// OFFSET: floor plus the caller's offset, rounded to float, truncated toward
// zero. False when the truncation has no 32-bit value (the sample is then 0).
// (The floor of -0 is -0; as +0 it gives the same truncated sum.)
inline bool offset_coordinate(int32_t floor_value, float offset, int32_t *coordinate) {
    const float sum = float(floor_value) + offset;
    if (!(sum >= -2147483648.0f && sum < 2147483648.0f)) return false;
    *coordinate = int32_t(sum);
    return true;
}

// The raw sample, before normalisation: colour in blue, green, red order, a
// single value in value[0].
struct Sample {
    float value[3];
};

// The sample by mode through the fetch and the blend of one format.
template <typename Format>
NIMBREL_ALWAYS_INLINE Sample sample_in(int mode, const int32_t floors[3], const float frac[3],
                                       const float offset[3], const SliceTable &table) {
    Sample sample = {{0.0f, 0.0f, 0.0f}};
    int32_t x, y, z;
    if (mode == NEAREST) {
        x = nearest(floors[0], frac[0]);
        y = nearest(floors[1], frac[1]);
        z = nearest(floors[2], frac[2]);
    } else if (mode == OFFSET) {
        if (!offset_coordinate(floors[0], offset[0], &x) ||
            !offset_coordinate(floors[1], offset[1], &y) ||
            !offset_coordinate(floors[2], offset[2], &z))
            return sample;
    } else if (mode == TRILINEAR) {
        trilinear_blend<Format>(table, cell_inside(floors, frac), sample.value);
        return sample;
    } else {
        return sample; // an unknown mode answers 0
    }
    const Voxel<Format> voxel = fetch_voxel<Format>(table, x, y, z);
    for (int c = 0; c < Format::channels; ++c)
        sample.value[c] = static_cast<float>(voxel.channel[c]);
    return sample;
}

// The normalised sample into r, g and b; alpha is never written.
inline void normalise(const Sample &sample, const VolumeView &view, miColor *result) {
    if (view.format == FORMAT_BGR8) {
        result->r = sample.value[2] / view.divisor;
        result->g = sample.value[1] / view.divisor;
        result->b = sample.value[0] / view.divisor;
        return;
    }
    result->r = result->g = result->b = sample.value[0] / view.divisor;
}

// The sample of a position inside the grid, given per axis as its floor and
// fraction, by mode: NEAREST and OFFSET fetch one voxel (OFFSET at floor +
// offset), TRILINEAR blends the cell, any other mode answers 0. Inlined into
// the lookup with the format's fetch and blend.
NIMBREL_ALWAYS_INLINE Sample sample_by_mode(const VolumeView &view, int mode,
                                            const int32_t floors[3], const float frac[3],
                                            const float offset[3]) {
    const SliceTable table = slice_table(view);
    Sample sample = {{0.0f, 0.0f, 0.0f}};
    with_format(view.format, [&](auto format) NIMBREL_ALWAYS_INLINE_LAMBDA {
        sample = sample_in<decltype(format)>(mode, floors, frac, offset, table);
    });
    return sample;
}

} // namespace lookup_steps

// Looks `coord` up in `view` with mode `mode`. Writes r, g and b of `result`
// (0 outside the grid; untouched for FORMAT_NONE), and frac (inside the grid
// only) and edge of `exchange` when given. Reads nothing else of the caller.
NIMBREL_ALWAYS_INLINE void look_up(const VolumeView &view, int mode, miVector coord,
                                   SampleExchange *exchange, miColor *result) {
    using namespace lookup_steps;
    // Every axis is scaled by width - 1, the product rounded once to float.
    const int64_t scale = int64_t(view.width) - 1;
    const float position[3] = {scale_coordinate(scale, coord.x), scale_coordinate(scale, coord.y),
                               scale_coordinate(scale, coord.z)};
    const double x = position[0], y = position[1], z = position[2];

    const int stencil = exchange ? exchange->stencil : 0;
    const int margin = stencil == STENCIL_MARGIN_1 ? 1 : stencil == STENCIL_MARGIN_2 ? 2 : 0;
    const Last last = last_index(view);
    const int edge = edge_code(x, y, z, last, margin);
    if (exchange) exchange->edge = edge;

    if (!inside_grid(x, y, z, last)) {
        result->r = result->g = result->b = 0.0f;
        return;
    }
    if (exchange && exchange->force_offset == 1) mode = OFFSET;
    int32_t floors[3];
    float frac[3];
    split_inside(position[0], &floors[0], &frac[0]);
    split_inside(position[1], &floors[1], &frac[1]);
    split_inside(position[2], &floors[2], &frac[2]);
    if (exchange) {
        exchange->frac[0] = frac[0];
        exchange->frac[1] = frac[1];
        exchange->frac[2] = frac[2];
    }
    if (view.format == FORMAT_NONE) return;
    const float no_offset[3] = {0.0f, 0.0f, 0.0f};
    const float *offset = exchange ? exchange->offset : no_offset;
    normalise(sample_by_mode(view, mode, floors, frac, offset), view, result);
}

} // namespace nimbrel
