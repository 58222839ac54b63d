// The voxel fetch and the trilinear blend, specialised by sample format so
// that the format is chosen once per lookup instead of once per corner.
// A fetch answers the raw value of the voxel at whole-number coordinates, 0
// outside the slice (by linear index), outside 0..depth-1 and for a slice
// never loaded. The blend weighs the eight corners of a cell inside the grid
// (whose corners pass every bound test) with double products, each term and
// each running sum rounded to float in corner order. Both are SSE2 code, as
// every build of the library is x86 with SSE2, which its exact float
// rounding needs anyway.
#pragma once

#include <emmintrin.h>
#include <stdint.h>
#include <string.h>

#include "sample/volume_view.h"

#if defined(__GNUC__)
#define NIMBREL_ALWAYS_INLINE inline __attribute__((always_inline))
#define NIMBREL_INLINE_LAMBDA __attribute__((always_inline)) // after a lambda's parameters
#else
#define NIMBREL_ALWAYS_INLINE inline
#define NIMBREL_INLINE_LAMBDA
#endif

namespace nimbrel {

// What a fetch reads from the view, loaded once per lookup. Each two-sided
// bound test becomes one unsigned comparison: a negative depth or area is
// held as 0, which every coordinate fails, as it fails the signed tests.
struct SliceTable {
    int32_t width;
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
    return static_cast<const uint8_t *>(table.slices[static_cast<uint32_t>(z)]);
}

// The eight corners of a trilinear cell as offsets in their slices (in
// voxels), corners x0y0, x1y0, x0y1 and x1y1 of slices z0 and z1.
struct CornerOffsets {
    uint32_t x0y0, x1y0, x0y1, x1y1;
};

// Eight 16-bit lanes, `read(slice, offset)` of each corner, in the pair order
// of the blend's weights: corners 0, 1, 2, 6 (slice z0) and 3, 4, 5, 7 (z1).
template <typename Read>
NIMBREL_ALWAYS_INLINE __m128i corner_lanes(const uint8_t *s0, const uint8_t *s1,
                                           const CornerOffsets &at, Read read) {
    __m128i v = _mm_cvtsi32_si128(read(s0, at.x0y0));
    v = _mm_insert_epi16(v, read(s0, at.x1y0), 1);
    v = _mm_insert_epi16(v, read(s0, at.x0y1), 2);
    v = _mm_insert_epi16(v, read(s0, at.x1y1), 3);
    v = _mm_insert_epi16(v, read(s1, at.x0y0), 4);
    v = _mm_insert_epi16(v, read(s1, at.x1y0), 5);
    v = _mm_insert_epi16(v, read(s1, at.x0y1), 6);
    v = _mm_insert_epi16(v, read(s1, at.x1y1), 7);
    return v;
}

// Two bytes at `p` as one little-endian (x86) 16-bit value.
NIMBREL_ALWAYS_INLINE int bytes_16(const uint8_t *p) {
    uint16_t bits;
    memcpy(&bits, p, sizeof bits);
    return bits;
}

// Sample formats: the raw integer value of the element at `index` of a slice
// (value); for the blend, each channel of a cell's eight corners as 16-bit
// lanes (corners), widened to 32-bit integers, lanes 0..3 or 4..7.
struct UnsignedLanes {
    NIMBREL_ALWAYS_INLINE static __m128i widen_low(__m128i v) {
        return _mm_unpacklo_epi16(v, _mm_setzero_si128());
    }
    NIMBREL_ALWAYS_INLINE static __m128i widen_high(__m128i v) {
        return _mm_unpackhi_epi16(v, _mm_setzero_si128());
    }
};

struct U8Samples : UnsignedLanes {
    static const int channels = 1;
    NIMBREL_ALWAYS_INLINE static int32_t value(const uint8_t *slice, int64_t index, int) {
        return slice[index];
    }
    NIMBREL_ALWAYS_INLINE static void corners(const uint8_t *s0, const uint8_t *s1,
                                              const CornerOffsets &at, __m128i lanes[1]) {
        lanes[0] = corner_lanes(
            s0, s1, at, [](const uint8_t *slice, uint32_t offset) -> int { return slice[offset]; });
    }
};

template <bool Little, bool Signed> struct U16Samples : UnsignedLanes {
    static const int channels = 1;
    NIMBREL_ALWAYS_INLINE static int32_t value(const uint8_t *slice, int64_t index, int) {
        const uint8_t *bytes = slice + 2 * index;
        const uint16_t bits = Little ? static_cast<uint16_t>(bytes[0] | bytes[1] << 8)
                                     : static_cast<uint16_t>(bytes[0] << 8 | bytes[1]);
        return Signed ? static_cast<int16_t>(bits) : bits;
    }
    // Read little-endian (x86's order): big-endian samples swap their bytes.
    NIMBREL_ALWAYS_INLINE static void corners(const uint8_t *s0, const uint8_t *s1,
                                              const CornerOffsets &at, __m128i lanes[1]) {
        const __m128i v = corner_lanes(s0, s1, at, [](const uint8_t *slice, uint32_t offset) {
            return bytes_16(slice + 2 * size_t(offset));
        });
        lanes[0] = Little ? v : _mm_or_si128(_mm_slli_epi16(v, 8), _mm_srli_epi16(v, 8));
    }
    NIMBREL_ALWAYS_INLINE static __m128i widen_low(__m128i v) {
        return Signed ? _mm_srai_epi32(_mm_unpacklo_epi16(v, v), 16) : UnsignedLanes::widen_low(v);
    }
    NIMBREL_ALWAYS_INLINE static __m128i widen_high(__m128i v) {
        return Signed ? _mm_srai_epi32(_mm_unpackhi_epi16(v, v), 16) : UnsignedLanes::widen_high(v);
    }
};

// Colour: channel 0, 1, 2 are the voxel's three bytes in buffer order.
struct BgrSamples : UnsignedLanes {
    static const int channels = 3;
    NIMBREL_ALWAYS_INLINE static int32_t value(const uint8_t *slice, int64_t index, int channel) {
        return slice[3 * index + channel];
    }
    // Blue and green of each corner in one 16-bit read, red in another.
    NIMBREL_ALWAYS_INLINE static void corners(const uint8_t *s0, const uint8_t *s1,
                                              const CornerOffsets &at, __m128i lanes[3]) {
        const __m128i blue_green =
            corner_lanes(s0, s1, at, [](const uint8_t *slice, uint32_t offset) {
                return bytes_16(slice + 3 * size_t(offset));
            });
        lanes[0] = _mm_and_si128(blue_green, _mm_set1_epi16(0xFF));
        lanes[1] = _mm_srli_epi16(blue_green, 8);
        lanes[2] = corner_lanes(s0, s1, at, [](const uint8_t *slice, uint32_t offset) -> int {
            return slice[3 * size_t(offset) + 2];
        });
    }
};

// Calls `use` with the format type of `format`, a SampleFormat (an empty value
// of BgrSamples, U8Samples or U16Samples<...>); false, without a call, for
// FORMAT_NONE and FORMAT_ZERO, which have no samples. One jump.
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
    case FORMAT_NONE:
    case FORMAT_ZERO:
        return false;
    default:
        __builtin_unreachable();
    }
}

// One voxel, channel by channel: the integer values, which floats and doubles
// hold exactly.
template <typename Format> struct Voxel { int32_t channel[Format::channels]; };

// The voxel at `index` of `slice`, an index inside the slice; zero when the
// slice was never loaded (null).
template <typename Format>
NIMBREL_ALWAYS_INLINE Voxel<Format> voxel_in(const uint8_t *slice, int64_t index) {
    Voxel<Format> voxel;
    for (int c = 0; c < Format::channels; ++c)
        voxel.channel[c] = slice ? Format::value(slice, index, c) : 0;
    return voxel;
}

// The voxel at whole-number coordinates (x, y, z): the one fetch. The bound
// test is on the linear index x + y * width, in 64 bits.
template <typename Format>
NIMBREL_ALWAYS_INLINE Voxel<Format> fetch_voxel(const SliceTable &table, int32_t x, int32_t y,
                                                int32_t z) {
    const int64_t linear = x + static_cast<int64_t>(y) * table.width;
    const uint8_t *slice =
        static_cast<uint64_t>(linear) < table.area ? slice_of(table, z) : nullptr;
    return voxel_in<Format>(slice, linear);
}

// Lanes 0..2 of an integer register (x, y, z) as three integers.
struct Whole3 {
    int32_t x, y, z;
};
NIMBREL_ALWAYS_INLINE Whole3 lanes(__m128i v) {
    return Whole3{_mm_cvtsi128_si32(v), _mm_cvtsi128_si32(_mm_shuffle_epi32(v, 1)),
                  _mm_cvtsi128_si32(_mm_shuffle_epi32(v, 2))};
}

// The trilinear cell of a point inside the grid, from the floor and the
// fraction of each coordinate as the lookup computed them (lanes 0..2: x, y,
// z; the floor as an integer, the fraction as a float). Inside the grid a
// coordinate is at least 0 and below 2^31, so its ceiling is the floor plus
// one exactly when the fraction is not 0.
//
// The weights are double products of the factors left to right, as the
// blend's table gives them: first (1 - fx)(1 - fy), (1 - fy) fx, (1 - fx) fy
// and fx fy, each then times (1 - fz) and times fz. They are held in pairs,
// corners (0, 1), (2, 6), (3, 4) and (5, 7), in SSE2 registers.
struct Cell {
    Whole3 floor, ceiling;
    __m128d weight01, weight26, weight34, weight57;
};

NIMBREL_ALWAYS_INLINE Cell cell_inside(__m128i floors, __m128 frac) {
    const __m128i ceilings =
        _mm_sub_epi32(floors, _mm_castps_si128(_mm_cmpneq_ps(frac, _mm_setzero_ps())));
    Cell cell;
    cell.floor = lanes(floors);
    cell.ceiling = lanes(ceilings);
    const __m128d u = _mm_cvtps_pd(frac);                       // fx, fy
    const __m128d g = _mm_sub_pd(_mm_set1_pd(1.0), u);          // 1 - fx, 1 - fy
    const __m128d uz = _mm_cvtps_pd(_mm_movehl_ps(frac, frac)); // fz (lane 0)
    const __m128d gz = _mm_sub_pd(_mm_set1_pd(1.0), uz);
    const __m128d first = _mm_unpacklo_pd(g, u); // 1 - fx, fx
    // (1 - fx)(1 - fy), fx (1 - fy), then (1 - fx) fy, fx fy: the products
    // commute, (1 - fy) fx is fx (1 - fy).
    const __m128d across_y0 = _mm_mul_pd(first, _mm_unpackhi_pd(g, g));
    const __m128d across_y1 = _mm_mul_pd(first, _mm_unpackhi_pd(u, u));
    const __m128d below = _mm_unpacklo_pd(gz, gz), above = _mm_unpacklo_pd(uz, uz);
    cell.weight01 = _mm_mul_pd(across_y0, below);
    cell.weight26 = _mm_mul_pd(across_y1, below);
    cell.weight34 = _mm_mul_pd(across_y0, above);
    cell.weight57 = _mm_mul_pd(across_y1, above);
    return cell;
}

// The same from the floors and fractions as arrays.
inline Cell cell_inside(const int32_t floors[3], const float frac[3]) {
    return cell_inside(_mm_setr_epi32(floors[0], floors[1], floors[2], 0),
                       _mm_setr_ps(frac[0], frac[1], frac[2], 0.0f));
}

// The blend of the eight corners of a cell inside the grid of a volume with a
// slice table, in corner order: each weighted term rounded to float, the
// float running sum per channel starting from 0. Inside the grid every
// corner passes the fetches' bound tests, and its offset in the slice fits 32
// bits (a slice's bytes fit an int), so only a slice never loaded is tested
// for: it reads as zero, as the fetch answers.
template <typename Format>
NIMBREL_ALWAYS_INLINE void trilinear_blend(const SliceTable &table, Cell cell, float sum[]) {
    const uint8_t *s0 =
        static_cast<const uint8_t *>(table.slices[static_cast<uint32_t>(cell.floor.z)]);
    const uint8_t *s1 =
        static_cast<const uint8_t *>(table.slices[static_cast<uint32_t>(cell.ceiling.z)]);
    if (__builtin_expect(!s0 || !s1, 0)) {
        // The terms of a slice never loaded are +0. Its corners are read from
        // the other slice instead, with weight 0: a term of +0 or -0 added to
        // the running sum (never -0, as it starts from 0 + a term) leaves it
        // as it was, just as the +0 would.
        if (!s0 && !s1) {
            for (int c = 0; c < Format::channels; ++c)
                sum[c] = 0.0f;
            return;
        }
        if (!s0) {
            s0 = s1;
            cell.weight01 = cell.weight26 = _mm_setzero_pd();
        } else {
            s1 = s0;
            cell.weight34 = cell.weight57 = _mm_setzero_pd();
        }
    }
    const uint32_t width = static_cast<uint32_t>(table.width);
    const uint32_t dx = static_cast<uint32_t>(cell.ceiling.x - cell.floor.x);
    CornerOffsets at;
    at.x0y0 = static_cast<uint32_t>(cell.floor.x) + static_cast<uint32_t>(cell.floor.y) * width;
    at.x0y1 = static_cast<uint32_t>(cell.floor.x) + static_cast<uint32_t>(cell.ceiling.y) * width;
    at.x1y0 = at.x0y0 + dx;
    at.x1y1 = at.x0y1 + dx;
    __m128i lanes[Format::channels];
    Format::corners(s0, s1, at, lanes);
    for (int c = 0; c < Format::channels; ++c) {
        // Two 32-bit halves: corners 0, 1, 2, 6 and 3, 4, 5, 7.
        const __m128i low = Format::widen_low(lanes[c]), high = Format::widen_high(lanes[c]);
        const __m128d v01 = _mm_cvtepi32_pd(low),
                      v26 = _mm_cvtepi32_pd(_mm_shuffle_epi32(low, 0xEE));
        const __m128d v34 = _mm_cvtepi32_pd(high),
                      v57 = _mm_cvtepi32_pd(_mm_shuffle_epi32(high, 0xEE));
        // Terms rounded to float, two at a time, in the corner pairs.
        const __m128 t01 = _mm_cvtpd_ps(_mm_mul_pd(cell.weight01, v01));
        const __m128 t26 = _mm_cvtpd_ps(_mm_mul_pd(cell.weight26, v26));
        const __m128 t34 = _mm_cvtpd_ps(_mm_mul_pd(cell.weight34, v34));
        const __m128 t57 = _mm_cvtpd_ps(_mm_mul_pd(cell.weight57, v57));
        const auto second = [](__m128 pair) {
            return _mm_castsi128_ps(_mm_shuffle_epi32(_mm_castps_si128(pair), 1));
        };
        // The running sum in corner order 0 to 7, from 0.
        __m128 s = _mm_add_ss(_mm_setzero_ps(), t01);
        s = _mm_add_ss(s, second(t01));
        s = _mm_add_ss(s, t26);
        s = _mm_add_ss(s, t34);
        s = _mm_add_ss(s, second(t34));
        s = _mm_add_ss(s, t57);
        s = _mm_add_ss(s, second(t26));
        s = _mm_add_ss(s, second(t57));
        sum[c] = _mm_cvtss_f32(s);
    }
}

} // namespace nimbrel
