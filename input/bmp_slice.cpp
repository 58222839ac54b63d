// One 24-bit BMP file as one colour slice: rows without their padding, the
// file's first stored row last.
#include <limits.h>
#include <stdarg.h>
#include <string.h>

#include "host/platform.h"
#include "input/volume_input.h"

namespace nimbrel {
namespace {

// Byte offsets of the header fields the reader uses; all little-endian.
enum {
    BMP_SIGNATURE = 0,
    BMP_DATA_OFFSET = 10,
    BMP_WIDTH = 18,
    BMP_HEIGHT = 22,
    BMP_BIT_COUNT = 28,
    BMP_IMAGE_SIZE = 34,
};

// "BM" read as a little-endian 16-bit value.
const int32_t BMP_ID_CODE = 0x4D42;

// Padding that brings a row of 3 * width bytes to a multiple of 4.
const int row_pad_by_remainder[4] = {0, 3, 2, 1};

struct SliceRead {
    FILE *stream;
    VolumeData *volume;
    int index;
    uint8_t *image;                  // the whole pixel area as read, released on every path
    int32_t kept_width, kept_height; // shape of the slices already loaded
};

// Reads `bytes` (2 or 4) little-endian bytes at `position`, sign-extended.
bool read_field(FILE *stream, int position, int bytes, int32_t *value) {
    uint8_t field[4] = {0, 0, 0, 0};
    if (fseek(stream, position, SEEK_SET) != 0) return false;
    if (fread(field, 1, bytes, stream) != static_cast<size_t>(bytes)) return false;
    const uint32_t bits = field[0] | field[1] << 8 | static_cast<uint32_t>(field[2]) << 16 |
                          static_cast<uint32_t>(field[3]) << 24;
    *value = bytes == 2 ? static_cast<int16_t>(bits) : static_cast<int32_t>(bits);
    return true;
}

// Ends the slice after a rejection: closes the stream, releases the pixel
// area, keeps the record's shape that of the loaded slices, then reports.
#if defined(__GNUC__)
__attribute__((format(printf, 2, 3)))
#endif
bool reject(SliceRead &read, const char *format, ...) {
    char text[1024];
    va_list arguments;
    va_start(arguments, format);
    vsnprintf(text, sizeof text, format, arguments);
    va_end(arguments);
    fclose(read.stream);
    NIMBREL_RELEASE(read.image);
    if (read.index > 0) {
        read.volume->width = read.kept_width;
        read.volume->height = read.kept_height;
    }
    mi_error("%s", text);
    return false;
}

} // namespace

bool read_bmp_slice(FILE *stream, VolumeData *volume, int index, const char *name) {
    SliceRead read = {stream, volume, index, nullptr, volume->width, volume->height};

    // Every field, the signature too, is read at its offset from the start:
    // the caller may have measured the stream by seeking to its end.
    int32_t signature;
    if (!read_field(stream, BMP_SIGNATURE, 2, &signature) || signature != BMP_ID_CODE)
        return reject(read, "file doesn't have bitmap ID code");

    // A header cut short fails at its first missing field.
    int32_t data_offset, width, height, bit_count, image_size;
    if (!read_field(stream, BMP_DATA_OFFSET, 4, &data_offset) ||
        !read_field(stream, BMP_WIDTH, 4, &width) || !read_field(stream, BMP_HEIGHT, 4, &height))
        return reject(read, "bitsize mismatch");
    volume->width = width;
    volume->height = height < 0 && height != INT_MIN ? -height : height;
    if (!read_field(stream, BMP_BIT_COUNT, 2, &bit_count)) return reject(read, "bitsize mismatch");
    if (bit_count != 24) return reject(read, "?bitcount= %d", bit_count);
    if (!read_field(stream, BMP_IMAGE_SIZE, 4, &image_size))
        return reject(read, "bitsize mismatch");

    // Every size below is checked before anything is allocated.
    width = volume->width;
    height = volume->height;
    if (width <= 0 || height <= 0 || width > INT_MAX / 3 / height)
        return reject(read, "bad bitmap shape %d x %d in %s", width, height, name);
    if (index > 0 && (width != read.kept_width || height != read.kept_height))
        return reject(read, "slice %s is %d x %d, unlike the first slice's %d x %d", name, width,
                      height, read.kept_width, read.kept_height);
    const int row_bytes = 3 * width;
    const int pad = row_pad_by_remainder[row_bytes % 4];
    const int64_t span =
        static_cast<int64_t>(height) * (static_cast<int64_t>(row_bytes) + pad) - pad;
    if (image_size < 0) return reject(read, "bitsize mismatch");
    if (image_size > 0 && image_size < span)
        return reject(read, "pixel area of %s too small: %d bytes, need %lld", name, image_size,
                      static_cast<long long>(span));

    // The pixel area must lie in the file before a buffer is taken for it: a
    // header alone must not make the renderer zero-fill up to 2 GB.
    const int64_t pixel_end = static_cast<int64_t>(static_cast<uint32_t>(data_offset)) + image_size;
    const int64_t file_size = platform_stream_size(stream);
    if (file_size >= 0 && pixel_end > file_size) return reject(read, "bitsize mismatch");

    // The data offset is unsigned in the file; an offset past the end leaves
    // nothing to read, which the read below reports.
    if (!platform_seek(stream, static_cast<uint32_t>(data_offset)))
        return reject(read, "bitsize mismatch");
    read.image = static_cast<uint8_t *>(NIMBREL_ALLOCATE(image_size));
    if (!read.image) return reject(read, "couldn't allocate memory");
    const size_t got = fread(read.image, 1, static_cast<size_t>(image_size), stream);
    if (got != static_cast<size_t>(image_size) || got == 0) return reject(read, "bitsize mismatch");

    uint8_t *slice = static_cast<uint8_t *>(NIMBREL_ALLOCATE(row_bytes * height));
    if (!slice) return reject(read, "couldn't allocate memory");
    size_t from = 0; // the span check above keeps every row inside the pixel area
    for (int r = height - 1; r >= 0; --r) {
        memcpy(slice + static_cast<size_t>(r) * row_bytes, read.image + from, row_bytes);
        from += static_cast<size_t>(row_bytes) + pad;
    }
    volume->slices8[index] = slice;
    NIMBREL_RELEASE(read.image);
    fclose(stream);
    return true;
}

} // namespace nimbrel
