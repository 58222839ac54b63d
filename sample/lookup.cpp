// The volume lookup: `coord` into voxel space, the edge code for the caller,
// the sample by mode, normalised by file type.
#include <math.h>
#include <string.h>

#include "sample/sample_exchange.h"
#include "sample/typed_fetch.h"
#include "shader/volume_records.h"

using namespace nimbrel;

namespace {

// The last index along each axis (width - 1, height - 1, depth - 1), formed
// in 64 bits and held as doubles, where they are exact: the bounds of the
// edge and bounds tests, compared with the coordinates in double precision.
struct Last {
    double x, y, z;
};

Last last_index(const VolumeData *volume) {
    return Last{double(int64_t(volume->width) - 1), double(int64_t(volume->height) - 1),
                double(int64_t(volume->depth) - 1)};
}

// The six tests are all made and the first that holds is picked from their
// bits, without a branch per test: near the faces the branches were
// mispredicted. Each upper bound, last - 1 - margin, is exact in double.
int edge_code(double x, double y, double z, const Last &last, int margin) {
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
float scale_coordinate(int64_t scale, float c) {
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
void split_inside(float v, int32_t *whole, float *fraction) {
    *whole = int32_t(v);
    *fraction = (v - float(*whole)) + 0.0f;
}

// Both ends included; NaN is outside.
bool inside_grid(double x, double y, double z, const Last &last) {
    return x >= 0 && x <= last.x && y >= 0 && y <= last.y && z >= 0 && z <= last.z;
}

// NEAREST: the floor, or the ceiling from a fraction of 0.5 up. Chosen
// without a branch: floor + 1 is the ceiling whenever the fraction is not 0.
int32_t nearest(int32_t floor_value, float fraction) {
    return floor_value + (fraction >= 0.5f);
}

// OFFSET: floor plus the caller's offset, rounded to float, truncated toward
// zero. False when the truncation has no 32-bit value (the sample is then 0).
// (The floor of -0 is -0; as +0 it gives the same truncated sum.)
bool offset_coordinate(int32_t floor_value, float offset, int32_t *coordinate) {
    const float sum = float(floor_value) + offset;
    if (!(sum >= -2147483648.0f && sum < 2147483648.0f)) return false;
    *coordinate = int32_t(sum);
    return true;
}

struct Sample {
    float value[3]; // colour: blue, green, red; scalar: value[0]
};

// The sample by mode, through the fetches and the blend specialised for the
// volume's format: what fetch_voxel_rgb / fetch_voxel_scalar and
// trilinear_rgb / trilinear_scalar answer, with the format chosen once.
template <typename Format>
Sample fetch_typed_sample(int mode, const int32_t floors[3], const float frac[3],
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
        blend_typed<Format>(table, cell_inside(floors, frac), sample.value);
        return sample;
    } else {
        return sample; // an unknown mode answers 0
    }
    const Voxel<Format> voxel = fetch_typed<Format>(table, x, y, z);
    for (int c = 0; c < Format::channels; ++c)
        sample.value[c] = static_cast<float>(voxel.channel[c]);
    return sample;
}

// For a position inside the grid, with its floors and fractions; a file type
// from BMP_SERIES to S16_BLOCK.
Sample fetch_sample(int mode, const int32_t floors[3], const float frac[3], const float offset[3],
                    const VolumeData *volume) {
    const void *const *bytes = reinterpret_cast<const void *const *>(volume->slices8);
    const void *const *words = reinterpret_cast<const void *const *>(volume->slices16);
    const bool little = volume->little_endian != 0;
    switch (volume->filetype) {
    case BMP_SERIES:
        return fetch_typed_sample<BgrSamples>(mode, floors, frac, offset,
                                              slice_table(volume, bytes));
    case U8_BLOCK:
        return fetch_typed_sample<U8Samples>(mode, floors, frac, offset,
                                             slice_table(volume, bytes));
    case S16_BLOCK:
        return little ? fetch_typed_sample<U16Samples<true, true>>(mode, floors, frac, offset,
                                                                   slice_table(volume, words))
                      : fetch_typed_sample<U16Samples<false, true>>(mode, floors, frac, offset,
                                                                    slice_table(volume, words));
    default: // U16_SERIES, U12_SERIES, U12_BLOCK
        return little ? fetch_typed_sample<U16Samples<true, false>>(mode, floors, frac, offset,
                                                                    slice_table(volume, words))
                      : fetch_typed_sample<U16Samples<false, false>>(mode, floors, frac, offset,
                                                                     slice_table(volume, words));
    }
}

// Divides by the file type's divisor into r, g and b; other file types leave
// the colour as it was. Alpha is never written.
void normalise(const Sample &sample, int filetype, miColor *result) {
    if (filetype == BMP_SERIES) {
        result->r = sample.value[2] / 255.0f;
        result->g = sample.value[1] / 255.0f;
        result->b = sample.value[0] / 255.0f;
        return;
    }
    float divisor;
    switch (filetype) {
    case U16_SERIES:
        divisor = 65535.0f;
        break;
    case U12_SERIES:
    case U12_BLOCK:
        divisor = 4095.0f;
        break;
    case U8_BLOCK:
    case S16_BLOCK:
        divisor = 255.0f;
        break;
    default:
        return;
    }
    result->r = result->g = result->b = sample.value[0] / divisor;
}

} // namespace

// One lookup at the state's current point. Writes r, g and b of `result`,
// and frac (inside the grid only), edge and matrix of the caller's record
// when the state carries one. Always returns 1; reports nothing.
NIMBREL_EXPORT miBoolean Nimbrel(miColor *result, miState *state, VolumeParams *params) {
    SampleExchange *exchange = static_cast<SampleExchange *>(state->exchange);
    void **slot = query_user_pointer(state); // mi_query, code 51
    const VolumeData *volume = slot ? static_cast<const VolumeData *>(*slot) : nullptr;
    if (!volume) return 1;

    mi_flush_cache(state);
    int mode = eval_int(state, &params->interpolation);
    const miVector coord = eval_vector(state, &params->coord);

    // Every axis is scaled by width - 1, the product rounded once to float.
    const int64_t scale = int64_t(volume->width) - 1;
    const float position[3] = {scale_coordinate(scale, coord.x), scale_coordinate(scale, coord.y),
                               scale_coordinate(scale, coord.z)};
    const double x = position[0], y = position[1], z = position[2];

    const int stencil = exchange ? exchange->stencil : 0;
    const int margin = stencil == STENCIL_MARGIN_1 ? 1 : stencil == STENCIL_MARGIN_2 ? 2 : 0;
    const Last last = last_index(volume);
    const int edge = edge_code(x, y, z, last, margin);
    if (exchange) exchange->edge = edge;

    if (!inside_grid(x, y, z, last)) {
        result->r = result->g = result->b = 0.0f;
    } else {
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
        const float no_offset[3] = {0.0f, 0.0f, 0.0f};
        const float *offset = exchange ? exchange->offset : no_offset;
        const int filetype = volume->filetype;
        if (filetype >= BMP_SERIES && filetype <= S16_BLOCK)
            normalise(fetch_sample(mode, floors, frac, offset, volume), filetype, result);
    }

    if (exchange) memcpy(exchange->matrix, volume->mapping, sizeof exchange->matrix);
    return 1;
}
