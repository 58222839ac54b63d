// One lookup in a viewed volume: `coord` into voxel space, the edge code for
// the caller, the sample by mode, normalised into the colour.
//
// What does not change between lookups is decided once, when the instance is
// initialised (plan_lookup): the format, the scale, the bounds. The lookup
// itself is inline, so that the entry point makes no call but the renderer's.
// Its three axes travel together in lanes 0..2 of one SSE register (lane 3 is
// 0 and never decides anything): every step is the float operation the rules
// name, made on three coordinates at once.
#pragma once

#include <emmintrin.h>

#include "host/host_api.h"
#include "sample/sample_exchange.h"
#include "sample/volume_view.h"
#include "sample/voxel_kernel.h"

namespace nimbrel {

// The lookup's view of a volume. Bounds are held as floats rounded so that a
// float coordinate compares with them exactly as with the integer bound: x <=
// B holds for a float x exactly when x <= (B rounded down to a float); the
// low edge bounds 1, 2 and 3 need no rounding. Lane 3 of each is 0.
struct LookupPlan {
    SliceTable table;       // the fetches' view of the slices and the shape
    int32_t format;         // SampleFormat; FORMAT_ZERO for a format without slices
    float divisor;          // of the file type
    int64_t scale;          // width - 1, for every axis
    int32_t scale_in_float; // width - 1 is a float: the float product is the exact one rounded once
    float scale_float[4];   // width - 1 on lanes 0..2
    float last[4];          // width - 1, height - 1, depth - 1 rounded down: the inside test
    struct {
        float low[4];  // m + 1
        float high[4]; // width - 2 - m, height - 2 - m, depth - 2 - m rounded down
    } edge[3];         // by margin m (0, 1, 2)
};

// The plan of a viewed volume; any shape, even negative.
LookupPlan plan_lookup(const VolumeView &view);

// (width - 1) * c rounded once to float, for any width (the slow way, for a
// width - 1 that is no float).
float scale_exactly(int64_t scale, float c);

namespace lookup_detail {

// x, y, z from three floats in memory (12 bytes read, no more); lane 3 is 0.
inline __m128 load3(const float *v) {
    const __m128 xy = _mm_loadl_pi(_mm_setzero_ps(), reinterpret_cast<const __m64 *>(v));
    return _mm_movelh_ps(xy, _mm_load_ss(v + 2));
}

// Writes lanes 0..2 to three floats in memory (12 bytes written, no more).
inline void store3(float *to, __m128 v) {
    _mm_storel_pi(reinterpret_cast<__m64 *>(to), v);
    _mm_store_ss(to + 2, _mm_movehl_ps(v, v));
}

// The edge code of the six tests' results, bit a for axis a's low test and
// bit 3 + a for its high test: the first test that holds in the order x low,
// x high, y low, y high, z low, z high, or EDGE_NONE.
struct EdgeCodes {
    int8_t code[64];
};
constexpr EdgeCodes make_edge_codes() {
    EdgeCodes codes{};
    for (int held = 0; held < 64; ++held)
        for (int axis = 2; axis >= 0; --axis) { // the earliest test is written last
            if (held >> (3 + axis) & 1) codes.code[held] = int8_t(2 + 2 * axis);
            if (held >> axis & 1) codes.code[held] = int8_t(1 + 2 * axis);
        }
    return codes;
}
constexpr EdgeCodes edge_codes = make_edge_codes();

// Constants of lanes 0..2. Lane 3 differs so that the compiler keeps each as
// one 16-byte operand instead of building it from one float with a shuffle;
// the OFFSET range holds lane 3's 0, so that all four lanes pass together.
alignas(16) constexpr float halves[4] = {0.5f, 0.5f, 0.5f, 0.0f};
alignas(16) constexpr float int32_low[4] = {-0x1p31f, -0x1p31f, -0x1p31f, 0.0f};
alignas(16) constexpr float int32_end[4] = {0x1p31f, 0x1p31f, 0x1p31f, 1.0f};

// Divides the sample by the divisor into r, g and b (colour: r is channel 2).
template <typename Format>
NIMBREL_ALWAYS_INLINE void normalise(const float sample[], float divisor, miColor *result) {
    if (Format::channels == 3) {
        result->r = sample[2] / divisor;
        result->g = sample[1] / divisor;
        result->b = sample[0] / divisor;
    } else {
        result->r = result->g = result->b = sample[0] / divisor;
    }
}

// The sample by mode of a position inside the grid, given its floors and
// fractions, normalised into the colour: NEAREST and OFFSET fetch one voxel
// (OFFSET at floor + offset), TRILINEAR blends the cell, any other mode
// answers 0. Inside the grid the NEAREST voxel and the cell's corners pass
// every bound test of the fetch; OFFSET coordinates are the caller's and are
// tested.
template <typename Format>
NIMBREL_ALWAYS_INLINE void answer(const LookupPlan &plan, int mode, __m128i floors, __m128 frac,
                                  const float offset[3], miColor *result) {
    const SliceTable &table = plan.table;
    float sample[Format::channels];
    if (mode == NEAREST) {
        // The floor, or the ceiling (floor + 1) from a fraction of 0.5 up.
        const __m128i up = _mm_castps_si128(_mm_cmpge_ps(frac, _mm_load_ps(halves)));
        const Whole3 at = lanes(_mm_sub_epi32(floors, up));
        const uint8_t *slice = static_cast<const uint8_t *>(table.slices[uint32_t(at.z)]);
        const uint32_t offset = uint32_t(at.x) + uint32_t(at.y) * uint32_t(table.width);
        const Voxel<Format> voxel = voxel_in<Format>(slice, offset);
        for (int c = 0; c < Format::channels; ++c)
            sample[c] = static_cast<float>(voxel.channel[c]);
    } else if (mode == TRILINEAR) {
        trilinear_blend<Format>(table, cell_inside(floors, frac), sample);
    } else if (mode == OFFSET) {
        // Floor plus offset, rounded to float, truncated toward zero; a sum
        // with no 32-bit value (or not a number) reads nothing and answers 0.
        const __m128 sum = _mm_add_ps(_mm_cvtepi32_ps(floors), load3(offset));
        const __m128 in = _mm_and_ps(_mm_cmpge_ps(sum, _mm_load_ps(int32_low)),
                                     _mm_cmplt_ps(sum, _mm_load_ps(int32_end)));
        Voxel<Format> voxel = {};
        if (_mm_movemask_ps(in) == 15) {
            const Whole3 at = lanes(_mm_cvttps_epi32(sum));
            voxel = fetch_voxel<Format>(table, at.x, at.y, at.z);
        }
        for (int c = 0; c < Format::channels; ++c)
            sample[c] = static_cast<float>(voxel.channel[c]);
    } else {
        for (int c = 0; c < Format::channels; ++c)
            sample[c] = 0.0f; // an unknown mode answers 0
    }
    normalise<Format>(sample, plan.divisor, result);
}

} // namespace lookup_detail

// Looks up the position `coord` (three floats) in the planned volume with mode
// `mode`. Writes r, g and b of `result` (0 outside the grid; untouched for
// FORMAT_NONE), and frac (inside the grid only) and edge of `exchange`, whose
// force_offset, offset and stencil it reads.
NIMBREL_ALWAYS_INLINE void look_up(const LookupPlan &plan, int mode, const float coord[3],
                                   SampleExchange *exchange, miColor *result) {
    using namespace lookup_detail;
    // Every axis is scaled by width - 1, the product rounded once to float.
    __m128 position;
    if (plan.scale_in_float) {
        position = _mm_mul_ps(load3(coord), _mm_loadu_ps(plan.scale_float));
    } else {
        position =
            _mm_setr_ps(scale_exactly(plan.scale, coord[0]), scale_exactly(plan.scale, coord[1]),
                        scale_exactly(plan.scale, coord[2]), 0.0f);
    }

    // The margin: 1 for STENCIL_MARGIN_1 (4), 2 for STENCIL_MARGIN_2 (5), else
    // 0 (stencil 3 too, counted from 3).
    static_assert(STENCIL_MARGIN_1 == 4 && STENCIL_MARGIN_2 == 5, "margins counted from 3");
    const unsigned from_three = static_cast<unsigned>(exchange->stencil) - 3u;
    const unsigned margin = from_three & -static_cast<unsigned>(from_three < 3u); // no branch
    const int low = _mm_movemask_ps(_mm_cmplt_ps(position, _mm_loadu_ps(plan.edge[margin].low)));
    const int high = _mm_movemask_ps(_mm_cmpnle_ps(position, _mm_loadu_ps(plan.edge[margin].high)));

    // Inside the grid a coordinate is at least -0 and below 2^31: its floor is
    // the truncation, and v - floor(v) is exact in float. Adding +0 gives the
    // fraction of -0 as +0, as -0 - floor(-0) is. (Outside, both are unused.)
    const __m128 zero = _mm_setzero_ps();
    const __m128i floors = _mm_cvttps_epi32(position);
    const __m128 frac = _mm_add_ps(_mm_sub_ps(position, _mm_cvtepi32_ps(floors)), zero);
    if (__builtin_expect((low | high) == 0, 1)) {
        // Near no face: inside the grid, since every face's band lies within
        // it. One store writes frac and the edge code 0 (lane 3 is +0).
        static_assert(offsetof(SampleExchange, edge) == offsetof(SampleExchange, frac) + 12,
                      "edge follows frac");
        _mm_storeu_ps(exchange->frac, frac);
    } else {
        exchange->edge = edge_codes.code[low | high << 3];
        // Inside: 0 <= v <= last on every axis, both ends included; NaN is outside.
        const __m128 out = _mm_or_ps(_mm_cmplt_ps(position, zero),
                                     _mm_cmpnle_ps(position, _mm_loadu_ps(plan.last)));
        if (_mm_movemask_ps(out) != 0) {
            result->r = result->g = result->b = 0.0f;
            return;
        }
        store3(exchange->frac, frac);
    }
    if (exchange->force_offset == 1) mode = OFFSET;
    // One jump on the format; FORMAT_ZERO answers 0 in every mode, and
    // FORMAT_NONE leaves the colour as it was.
    const bool sampled = with_format(plan.format, [&](auto format) NIMBREL_INLINE_LAMBDA {
        answer<decltype(format)>(plan, mode, floors, frac, exchange->offset, result);
    });
    if (!sampled && plan.format == FORMAT_ZERO) result->r = result->g = result->b = 0.0f;
}

} // namespace nimbrel
