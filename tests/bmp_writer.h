// BMP files for the tests, written field by field at their byte offsets
// (little-endian), and a fixture that loads BMP slice series through the
// stand-in renderer from a scratch folder whose path has no '.' (the series
// counter works on the characters before the first '.' of the whole path).
#pragma once

#include <cstdint>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "test_support.h"

namespace bmp_writer {

namespace fs = std::filesystem;
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

// Loads BMP series (file type 0) through the stand-in renderer from a
// scratch folder without a '.' in its path.
class BmpTest : public testing_support::RendererTest {
  protected:
    void SetUp() override {
        testing_support::RendererTest::SetUp();
        std::error_code ignored;
        fs::remove_all(folder, ignored);
        const ::testing::TestInfo *info = ::testing::UnitTest::GetInstance()->current_test_info();
        folder = fs::temp_directory_path() / "nimbrel-bmp-tests" /
                 (std::string(info->test_suite_name()) + "_" + info->name());
        fs::remove_all(folder, ignored);
        fs::create_directories(folder);
        ASSERT_EQ(folder.string().find('.'), std::string::npos) << folder;
    }

    fs::path write(const std::string &name, const Bytes &bytes) {
        const fs::path path = folder / name;
        testing_support::write_file(path, bytes);
        return path;
    }

    // A file type 0 instance over `slices` files from `first` on, with
    // `coord` following the current point, initialised on `state`.
    std::unique_ptr<standin::Instance> load(const std::string &first, int slices,
                                            int interpolation = standin::NEAREST_MODE) {
        auto instance = std::make_unique<standin::Instance>(
            renderer, standin::Params{first, {0, 0, 0}, slices, interpolation, 0, 0, 0, 1});
        instance->connect_coord([](miVector p) { return p; });
        instance->init(state);
        return instance;
    }

    // Slice z as loaded (3 * width * height bytes), or empty when its entry
    // or the table is null.
    static Bytes slice(const standin::Instance &instance, int z) {
        const VolumeData *volume = instance.volume();
        if (!volume || !volume->slices8 || !volume->slices8[z]) return {};
        const uint8_t *bytes = volume->slices8[z];
        return Bytes(bytes, bytes + 3 * size_t(volume->width) * size_t(volume->height));
    }

    static bool mapping_is_zero(const standin::Instance &instance) {
        for (float element : instance.volume()->mapping)
            if (element != 0.0f) return false;
        return true;
    }
};

} // namespace bmp_writer
