// An independent reference of the lookup's arithmetic, written from the file
// formats and the documented rules rather than from the library. Tests and the
// fuzz targets compare the library's answers with it bit for bit.
#pragma once

#include <array>
#include <cmath>
#include <cstdint>
#include <vector>

#include "sample/sample_exchange.h"

namespace reference {

// A volume as the documented rules see it.
struct Volume {
    int64_t width = 0, height = 0, depth = 0;
    int filetype = 0;
    bool little_endian = true;
    std::vector<const uint8_t *> slices; // depth entries (null: never loaded), or none at all
};

using Value = std::array<float, 3>; // colour: buffer order (blue, green, red); else value[0]

// The voxel at whole-number coordinates by its linear index: zero before the
// first voxel, past the last, outside 0..depth-1 and in a slice never loaded.
inline Value fetch(const Volume &v, int64_t x, int64_t y, int64_t z) {
    const Value none = {0, 0, 0};
    if (z < 0 || z >= v.depth || size_t(z) >= v.slices.size() || !v.slices[size_t(z)]) return none;
    const int64_t index = x + y * v.width;
    if (index < 0 || index >= v.width * v.height) return none;
    const uint8_t *slice = v.slices[size_t(z)];
    if (v.filetype == BMP_SERIES) {
        const uint8_t *p = slice + 3 * index;
        return {float(p[0]), float(p[1]), float(p[2])};
    }
    if (v.filetype == U8_BLOCK) return {float(slice[index]), 0, 0};
    const uint8_t *p = slice + 2 * index;
    const unsigned bits = v.little_endian ? p[0] | p[1] << 8 : p[0] << 8 | p[1];
    return {v.filetype == S16_BLOCK ? float(int16_t(bits)) : float(bits), 0, 0};
}

// The eight corners of floor and ceiling, weighted by products of three
// doubles from the float fractions, each term and the running sum in float.
inline Value trilinear(const Volume &v, const float position[3]) {
    double lo[3], hi[3], f[3];
    for (int a = 0; a < 3; ++a) {
        lo[a] = std::floor(double(position[a]));
        hi[a] = std::ceil(double(position[a]));
        f[a] = float(position[a] - lo[a]);
    }
    const double gx = 1.0 - f[0], gy = 1.0 - f[1], gz = 1.0 - f[2];
    const struct {
        bool x, y, z;
        double weight;
    } corners[8] = {
        {0, 0, 0, gx * gy * gz},     {1, 0, 0, gy * f[0] * gz},     {0, 1, 0, gx * f[1] * gz},
        {0, 0, 1, gx * gy * f[2]},   {1, 0, 1, gy * f[0] * f[2]},   {0, 1, 1, gx * f[1] * f[2]},
        {1, 1, 0, f[0] * f[1] * gz}, {1, 1, 1, f[0] * f[1] * f[2]},
    };
    Value sum = {0, 0, 0};
    for (const auto &c : corners) {
        const Value value = fetch(v, int64_t(c.x ? hi[0] : lo[0]), int64_t(c.y ? hi[1] : lo[1]),
                                  int64_t(c.z ? hi[2] : lo[2]));
        for (int k = 0; k < 3; ++k)
            sum[size_t(k)] += float(c.weight * value[size_t(k)]);
    }
    return sum;
}

// The edge code of a voxel-space position for a stencil.
inline int edge(const Volume &v, const float p[3], int32_t stencil) {
    const int64_t m = stencil == 4 ? 1 : stencil == 5 ? 2 : 0;
    const int64_t upper[3] = {v.width - 2 - m, v.height - 2 - m, v.depth - 2 - m};
    for (int a = 0; a < 3; ++a) {
        if (double(p[a]) < double(m + 1)) return 1 + 2 * a;
        if (!(double(p[a]) <= double(upper[a]))) return 2 + 2 * a;
    }
    return 0;
}

// (width - 1) * c rounded once to float, by integer arithmetic: c is m * 2^e
// with a 24-bit m, so the product is an exact 56-bit integer times 2^e,
// rounded here to the float's precision (fewer bits below its normal range).
inline float scaled(int64_t scale, float c) {
    if (!std::isfinite(c) || scale == 0 || c == 0.0f) return float(double(scale) * c);
    int e;
    const float m = std::frexp(c, &e); // c = m * 2^e, 0.5 <= |m| < 1
    int64_t product = scale * int64_t(std::ldexp(m, 24));
    e -= 24;
    const bool negative = product < 0;
    uint64_t magnitude = uint64_t(negative ? -product : product);
    int bits = 64 - __builtin_clzll(magnitude);
    int keep = 24;
    const int exponent = bits - 1 + e; // of the leading bit
    if (exponent < -126) keep -= -126 - exponent;
    if (keep < 0) keep = 0;
    const int drop = bits - keep;
    if (drop > 0) {
        const uint64_t rest = magnitude & ((uint64_t(1) << drop) - 1);
        const uint64_t half = uint64_t(1) << (drop - 1);
        magnitude >>= drop;
        if (rest > half || (rest == half && (magnitude & 1))) ++magnitude;
        e += drop;
    }
    const double exact = std::ldexp(double(magnitude), e); // at most 25 bits: exact
    return float(negative ? -exact : exact);
}

} // namespace reference
