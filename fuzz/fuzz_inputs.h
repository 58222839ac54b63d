// Small volume files for seeds and fixtures: 24-bit BMP slices and raw
// sample bytes with a recognisable pattern.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace fuzz {

inline void put_le(std::vector<uint8_t> &bytes, size_t at, uint32_t value, int count) {
    for (int i = 0; i < count; ++i)
        bytes[at + i] = uint8_t(value >> (8 * i));
}

// A 24-bit BMP file, 54-byte header, rows padded to 4 bytes; pixel bytes
// follow (x * 7 + y * 13 + seed * 31 + channel) modulo 256.
inline std::vector<uint8_t> bmp_file(int width, int height, int seed = 0) {
    const int row = 3 * width, pad = (4 - row % 4) % 4;
    const int image = height * (row + pad);
    std::vector<uint8_t> bytes(54 + size_t(image), 0);
    bytes[0] = 'B';
    bytes[1] = 'M';
    put_le(bytes, 2, uint32_t(bytes.size()), 4);
    put_le(bytes, 10, 54, 4);
    put_le(bytes, 14, 40, 4);
    put_le(bytes, 18, uint32_t(width), 4);
    put_le(bytes, 22, uint32_t(height), 4);
    put_le(bytes, 26, 1, 2);
    put_le(bytes, 28, 24, 2);
    put_le(bytes, 34, uint32_t(image), 4);
    for (int y = 0; y < height; ++y)
        for (int x = 0; x < width; ++x)
            for (int c = 0; c < 3; ++c)
                bytes[54 + size_t(y) * (row + pad) + 3 * x + c] =
                    uint8_t(x * 7 + y * 13 + seed * 31 + c);
    return bytes;
}

// `count` raw bytes following (i * 37 + seed) modulo 256.
inline std::vector<uint8_t> raw_bytes(size_t count, int seed = 0) {
    std::vector<uint8_t> bytes(count);
    for (size_t i = 0; i < count; ++i)
        bytes[i] = uint8_t(i * 37 + size_t(seed));
    return bytes;
}

} // namespace fuzz
