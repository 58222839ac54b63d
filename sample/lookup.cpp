// The volume lookup: `coord` into voxel space, the edge code for the caller,
// the sample by mode, normalised by file type. What does not change between
// lookups is decided once per instance (plan_lookup), and a lookup makes no
// call but the renderer's.
//
// The three axes travel together in the lanes 0..2 of one SSE register (lane 3
// is 0 and never tested): every step is the same float operation the rules
// name, made on three coordinates at once. Every build of the library is x86
// with SSE2, which the exact float rounding needs anyway.
#include <emmintrin.h>
#include <math.h>
#include <string.h>

#include "sample/lookup_plan.h"
#include "sample/sample_exchange.h"
#include "shader/volume_records.h"

using namespace nimbrel;

namespace {

// ---- Decided once per instance ----------------------------------------------

// The largest float at most `value`: a float x is at most `value` exactly when
// it is at most this.
float round_down(int64_t value) {
    const float nearest = static_cast<float>(value);
    return static_cast<double>(nearest) > static_cast<double>(value) ? nextafterf(nearest, -INFINITY)
                                                                      : nearest;
}

SampleFormat sample_format(int32_t filetype, int32_t little_endian, const void *const *slices) {
    if (filetype < BMP_SERIES || filetype > S16_BLOCK) return FORMAT_NONE;
    if (!slices) return FORMAT_ZERO;
    const bool little = little_endian != 0;
    switch (filetype) {
    case BMP_SERIES:
        return FORMAT_BGR8;
    case U8_BLOCK:
        return FORMAT_U8;
    case S16_BLOCK:
        return little ? FORMAT_S16_LE : FORMAT_S16_BE;
    default: // U16_SERIES, U12_SERIES, U12_BLOCK
        return little ? FORMAT_U16_LE : FORMAT_U16_BE;
    }
}

float divisor_of(int32_t filetype) {
    switch (filetype) {
    case U16_SERIES:
        return 65535.0f;
    case U12_SERIES:
    case U12_BLOCK:
        return 4095.0f;
    default: // BMP_SERIES, U8_BLOCK, S16_BLOCK
        return 255.0f;
    }
}

// ---- Scaling ----------------------------------------------------------------

// (width - 1) * c rounded once to float, for a width - 1 that is no float
// (|width - 1| > 2^24). The double product of a 32-bit integer and a float is
// exact while |width - 1| < 2^29 (at most 53 significant bits). Beyond that
// it is rounded to odd (the exact error, from fma, decides the last bit)
// before the rounding to float, which makes the two roundings equal one.
[[gnu::noinline, gnu::cold]] float scale_exactly(int64_t scale, float c) {
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

// ---- Three axes in one register ---------------------------------------------

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

// Lanes 0..2 as three integers.
struct Whole3 {
    int32_t x, y, z;
};
inline Whole3 lanes(__m128i v) {
    return Whole3{_mm_cvtsi128_si32(v), _mm_cvtsi128_si32(_mm_shuffle_epi32(v, 1)),
                  _mm_cvtsi128_si32(_mm_shuffle_epi32(v, 2))};
}

// ---- Edge code --------------------------------------------------------------

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

// ---- The sample by mode -------------------------------------------------------

alignas(16) constexpr float halves[4] = {0.5f, 0.5f, 0.5f, 0.5f};

// Writes the sample, divided by the file type's divisor, into r, g and b.
template <typename Format>
inline void normalise(const int32_t value[], float divisor, miColor *result) {
    if (Format::channels == 3) {
        result->r = static_cast<float>(value[2]) / 255.0f;
        result->g = static_cast<float>(value[1]) / 255.0f;
        result->b = static_cast<float>(value[0]) / 255.0f;
    } else {
        result->r = result->g = result->b = static_cast<float>(value[0]) / divisor;
    }
}

// The sample by mode for a position inside the grid, given its floors and
// fractions, as fetch_voxel_* and trilinear_* answer it, normalised into the
// colour. Inside the grid the NEAREST voxel and the trilinear corners pass
// every bound test; OFFSET coordinates are the caller's and are tested.
template <typename Format>
inline void answer(int mode, __m128i floors, __m128 frac, __m128 offset, const LookupPlan &plan,
                   miColor *result) {
    const SliceTable &table = plan.table;
    if (mode == NEAREST) {
        // The floor, or the ceiling (floor + 1) from a fraction of 0.5 up.
        const __m128i up = _mm_castps_si128(_mm_cmpge_ps(frac, _mm_load_ps(halves)));
        const Whole3 at = lanes(_mm_sub_epi32(floors, up));
        const uint8_t *slice = static_cast<const uint8_t *>(table.slices[at.z]);
        const Voxel<Format> voxel = voxel_in<Format>(slice, at.x + at.y * table.width);
        normalise<Format>(voxel.channel, plan.divisor, result);
    } else if (mode == OFFSET) {
        // Floor plus offset, rounded to float, truncated; no 32-bit value
        // (or not a number) reads nothing and answers 0.
        const __m128 sum = _mm_add_ps(_mm_cvtepi32_ps(floors), offset);
        const __m128 in = _mm_and_ps(_mm_cmpge_ps(sum, _mm_set1_ps(-2147483648.0f)),
                                     _mm_cmplt_ps(sum, _mm_set1_ps(2147483648.0f)));
        Voxel<Format> voxel = {};
        if ((_mm_movemask_ps(in) & 7) == 7) {
            const Whole3 at = lanes(_mm_cvttps_epi32(sum));
            voxel = fetch_typed<Format>(table, at.x, at.y, at.z);
        }
        normalise<Format>(voxel.channel, plan.divisor, result);
    } else if (mode == TRILINEAR) {
        float sum[Format::channels];
        blend_typed<Format>(table, cell_inside(floors, frac), sum);
        if (Format::channels == 3) {
            result->r = sum[2] / 255.0f;
            result->g = sum[1] / 255.0f;
            result->b = sum[0] / 255.0f;
        } else {
            result->r = result->g = result->b = sum[0] / plan.divisor;
        }
    } else {
        result->r = result->g = result->b = 0.0f; // an unknown mode answers 0
    }
}

} // namespace

namespace nimbrel {

LookupPlan plan_lookup(int32_t width, int32_t height, int32_t depth, int32_t filetype,
                       int32_t little_endian, const void *const *slices) {
    LookupPlan plan;
    memset(&plan, 0, sizeof plan);
    plan.table = slice_table(width, height, depth, slices);
    plan.format = sample_format(filetype, little_endian, slices);
    plan.divisor = divisor_of(filetype);
    plan.scale = int64_t(width) - 1;
    const float scale = static_cast<float>(plan.scale);
    plan.scale_in_float = static_cast<double>(scale) == static_cast<double>(plan.scale);
    const int64_t last[3] = {int64_t(width) - 1, int64_t(height) - 1, int64_t(depth) - 1};
    for (int axis = 0; axis < 3; ++axis) {
        plan.scale_float[axis] = scale;
        plan.last[axis] = round_down(last[axis]);
        for (int margin = 0; margin < 3; ++margin) {
            plan.edge[margin].low[axis] = static_cast<float>(margin + 1);
            plan.edge[margin].high[axis] = round_down(last[axis] - 1 - margin);
        }
    }
    return plan;
}

} // namespace nimbrel

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
    const float *coord = static_cast<const float *>(eval_param(state, &params->coord));
    const LookupPlan &plan = volume->plan;

    // Every axis is scaled by width - 1, the product rounded once to float.
    __m128 position;
    if (plan.scale_in_float) {
        position = _mm_mul_ps(load3(coord), _mm_loadu_ps(plan.scale_float));
    } else {
        position = _mm_setr_ps(scale_exactly(plan.scale, coord[0]), scale_exactly(plan.scale, coord[1]),
                               scale_exactly(plan.scale, coord[2]), 0.0f);
    }

    // Without a record the lookup reads zeros and its writes go nowhere.
    SampleExchange none;
    if (!exchange) {
        memset(&none, 0, sizeof none);
        exchange = &none;
    }

    // The margin: 1 for STENCIL_MARGIN_1 (4), 2 for STENCIL_MARGIN_2 (5), else
    // 0 (stencil 3 too, counted from 3).
    static_assert(STENCIL_MARGIN_1 == 4 && STENCIL_MARGIN_2 == 5, "margins counted from 3");
    const unsigned from_three = static_cast<unsigned>(exchange->stencil) - 3u;
    const unsigned margin = from_three < 3u ? from_three : 0u;
    const int low = _mm_movemask_ps(_mm_cmplt_ps(position, _mm_loadu_ps(plan.edge[margin].low)));
    const int high =
        _mm_movemask_ps(_mm_cmpnle_ps(position, _mm_loadu_ps(plan.edge[margin].high)));
    exchange->edge = edge_codes.code[low | high << 3];

    // Inside: 0 <= v <= last on every axis, both ends included; NaN is outside.
    const __m128 zero = _mm_setzero_ps();
    const __m128 out = _mm_or_ps(_mm_cmplt_ps(position, zero),
                                 _mm_cmpnle_ps(position, _mm_loadu_ps(plan.last)));
    if (_mm_movemask_ps(out) != 0) {
        result->r = result->g = result->b = 0.0f;
    } else {
        if (exchange->force_offset == 1) mode = OFFSET;
        // Inside the grid a coordinate is at least -0 and below 2^31: its floor
        // is the truncation, and v - floor(v) is exact in float. Adding +0
        // gives the fraction of -0 as +0, as -0 - floor(-0) is.
        const __m128i floors = _mm_cvttps_epi32(position);
        const __m128 frac = _mm_add_ps(_mm_sub_ps(position, _mm_cvtepi32_ps(floors)), zero);
        const __m128 offset = _mm_loadu_ps(exchange->offset); // lane 3 (frac[0]) unused
        store3(exchange->frac, frac);
        switch (plan.format) {
        case FORMAT_BGR8:
            answer<BgrSamples>(mode, floors, frac, offset, plan, result);
            break;
        case FORMAT_U8:
            answer<U8Samples>(mode, floors, frac, offset, plan, result);
            break;
        case FORMAT_U16_LE:
            answer<U16Samples<true, false>>(mode, floors, frac, offset, plan, result);
            break;
        case FORMAT_U16_BE:
            answer<U16Samples<false, false>>(mode, floors, frac, offset, plan, result);
            break;
        case FORMAT_S16_LE:
            answer<U16Samples<true, true>>(mode, floors, frac, offset, plan, result);
            break;
        case FORMAT_S16_BE:
            answer<U16Samples<false, true>>(mode, floors, frac, offset, plan, result);
            break;
        case FORMAT_ZERO: // every sample is 0, in every mode
            result->r = result->g = result->b = 0.0f;
            break;
        case FORMAT_NONE: // the colour is left as it was
            break;
        default:
            __builtin_unreachable(); // plan_lookup gives no other format
        }
    }

    memcpy(exchange->matrix, volume->mapping, sizeof exchange->matrix);
    return 1;
}
