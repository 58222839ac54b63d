// The one BMP writer of the tests and the fuzz targets: files written field by
// field at their byte offsets (little-endian), every field settable, so that a
// test can write a sound file or any broken one.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace bmp_writer {

using Bytes = std::vector<unsigned char>;

// The header fields the library reads, plus the ones a real file carries.
struct Header {
    unsigned char signature[2] = {'B', 'M'};
    uint32_t data_offset = 54;
    uint32_t header_size = 40;
    int32_t width = 0;
    int32_t height = 0;
    uint16_t planes = 1;
    int16_t bit_count = 24;
    uint32_t compression = 0;
    uint32_t image_size = 0;
};

inline void put_le(Bytes &bytes, size_t at, uint32_t value, int size) {
    for (int i = 0; i < size; ++i)
        bytes[at + i] = static_cast<unsigned char>(value >> (8 * i));
}

// A whole file: the 54-byte header, `filler` up to the data offset, then the
// pixel area exactly as given (so it may be shorter or longer than the
// header's image size). The data offset must be at least 54.
inline Bytes file(const Header &header, const Bytes &pixel_area, unsigned char filler = 0xAB) {
    const size_t start = header.data_offset;
    Bytes bytes(start, filler);
    bytes.insert(bytes.end(), pixel_area.begin(), pixel_area.end());
    bytes[0] = header.signature[0];
    bytes[1] = header.signature[1];
    put_le(bytes, 2, static_cast<uint32_t>(bytes.size()), 4);
    put_le(bytes, 6, 0, 4);
    put_le(bytes, 10, header.data_offset, 4);
    put_le(bytes, 14, header.header_size, 4);
    put_le(bytes, 18, static_cast<uint32_t>(header.width), 4);
    put_le(bytes, 22, static_cast<uint32_t>(header.height), 4);
    put_le(bytes, 26, header.planes, 2);
    put_le(bytes, 28, static_cast<uint16_t>(header.bit_count), 2);
    put_le(bytes, 30, header.compression, 4);
    put_le(bytes, 34, header.image_size, 4);
    put_le(bytes, 38, 2835, 4); // 72 dpi, as writers usually put
    put_le(bytes, 42, 2835, 4);
    put_le(bytes, 46, 0, 4);
    put_le(bytes, 50, 0, 4);
    return bytes;
}

// Padding bytes after a row of `width` pixels (rows are multiples of 4 bytes).
inline int row_pad(int width) {
    return (4 - (3 * width) % 4) % 4;
}

// A pixel area from rows in file order (each 3 * width bytes), every row
// followed by its padding, filled with `pad_byte`.
inline Bytes pixel_area(const std::vector<Bytes> &stored_rows, int width,
                        unsigned char pad_byte = 0) {
    Bytes area;
    for (const Bytes &row : stored_rows) {
        area.insert(area.end(), row.begin(), row.end());
        area.insert(area.end(), row_pad(width), pad_byte);
    }
    return area;
}

// The slice the library should make of those rows: no padding, the last
// stored row first.
inline Bytes reversed_rows(const std::vector<Bytes> &stored_rows) {
    Bytes slice;
    for (auto row = stored_rows.rbegin(); row != stored_rows.rend(); ++row)
        slice.insert(slice.end(), row->begin(), row->end());
    return slice;
}

// A usual 24-bit file of `width` x `height` whose stored row k, byte j holds
// seed + 16 * k + j (mod 256); `stored_rows` receives the rows.
inline Bytes numbered_file(int width, int height, int seed, std::vector<Bytes> *stored_rows) {
    stored_rows->clear();
    for (int k = 0; k < height; ++k) {
        Bytes row(3 * width);
        for (int j = 0; j < 3 * width; ++j)
            row[j] = static_cast<unsigned char>(seed + 16 * k + j);
        stored_rows->push_back(row);
    }
    Header header;
    header.width = width;
    header.height = height;
    const Bytes area = pixel_area(*stored_rows, width);
    header.image_size = static_cast<uint32_t>(area.size());
    return file(header, area);
}

// A usual 24-bit file whose pixel (x, y) of stored row y, channel c holds
// x * 7 + y * 13 + seed * 31 + c (mod 256): a recognisable pattern.
inline Bytes pattern_file(int width, int height, int seed = 0) {
    std::vector<Bytes> rows(size_t(height > 0 ? height : 0),
                            Bytes(3 * size_t(width > 0 ? width : 0)));
    for (size_t y = 0; y < rows.size(); ++y)
        for (size_t i = 0; i < rows[y].size(); ++i)
            rows[y][i] =
                static_cast<unsigned char>((i / 3) * 7 + y * 13 + size_t(seed) * 31 + i % 3);
    Header header;
    header.width = width;
    header.height = height;
    const Bytes area = pixel_area(rows, width);
    header.image_size = static_cast<uint32_t>(area.size());
    return file(header, area);
}

} // namespace bmp_writer
