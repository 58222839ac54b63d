// Small volume files for seeds and fixtures: 24-bit BMP slices and raw
// sample bytes with a recognisable pattern.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "tests/support/bmp_writer.h"

namespace fuzz {

using bmp_writer::put_le;

// A 24-bit BMP file, 54-byte header, rows padded to 4 bytes; pixel bytes
// follow (x * 7 + y * 13 + seed * 31 + channel) modulo 256.
inline std::vector<uint8_t> bmp_file(int width, int height, int seed = 0) {
    return bmp_writer::pattern_file(width, height, seed);
}

// `count` raw bytes following (i * 37 + seed) modulo 256.
inline std::vector<uint8_t> raw_bytes(size_t count, int seed = 0) {
    std::vector<uint8_t> bytes(count);
    for (size_t i = 0; i < count; ++i)
        bytes[i] = uint8_t(i * 37 + size_t(seed));
    return bytes;
}

} // namespace fuzz
