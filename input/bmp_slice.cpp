// One 24-bit BMP file as one colour slice: rows without their padding, the
// file's first stored row last.
#include <limits.h>
#include <string.h>

#include "host/platform.h"
#include "input/sized_blocks.h"
#include "input/volume_input.h"

namespace nimbrel {
namespace {

// The file header and a 40-byte information header; longer information
// headers keep the fields below at the same offsets.
const int BMP_HEADER_BYTES = 54;

// "BM" read as a little-endian 16-bit value.
const int32_t BMP_ID_CODE = 0x4D42;

// Padding that brings a row of 3 * width bytes to a multiple of 4.
const int row_pad_by_remainder[4] = {0, 3, 2, 1};

// The header fields the reader uses, as far as the file holds them. Header
// byte offsets on the right; all fields little-endian.
struct BmpHeader {
    size_t bytes;         // header bytes the file holds, at most BMP_HEADER_BYTES
    int32_t signature;    //  0  2 bytes
    uint32_t data_offset; // 10  where the pixel area starts
    int32_t width;        // 18
    int32_t height;       // 22  stored signed; kept here as its absolute value
    int32_t bit_count;    // 28  2 bytes, signed
    int32_t image_size;   // 34  bytes of the pixel area
};

// Stored header bytes that hold each field, counted from byte 0.
enum {
    HOLDS_SIGNATURE = 2,
    HOLDS_SHAPE = 26,
    HOLDS_BIT_COUNT = 30,
    HOLDS_IMAGE_SIZE = 38,
};

// The `size` (2 or 4) little-endian bytes at `offset`, sign-extended; 0 for
// bytes the file does not hold.
int32_t header_field(const uint8_t *bytes, size_t held, int offset, int size) {
    if (held < static_cast<size_t>(offset + size)) return 0;
    const uint8_t *field = bytes + offset;
    uint32_t bits = field[0] | field[1] << 8;
    if (size == 2) return static_cast<int16_t>(bits);
    bits |= static_cast<uint32_t>(field[2]) << 16 | static_cast<uint32_t>(field[3]) << 24;
    return static_cast<int32_t>(bits);
}

// Reads the header from the start of the file in one read.
BmpHeader read_header(FILE *stream) {
    uint8_t bytes[BMP_HEADER_BYTES];
    const size_t held = platform_seek(stream, 0) ? fread(bytes, 1, sizeof bytes, stream) : 0;
    BmpHeader header;
    header.bytes = held;
    header.signature = header_field(bytes, held, 0, 2);
    header.data_offset = static_cast<uint32_t>(header_field(bytes, held, 10, 4));
    header.width = header_field(bytes, held, 18, 4);
    const int32_t height = header_field(bytes, held, 22, 4);
    header.height = height < 0 && height != INT_MIN ? -height : height;
    header.bit_count = header_field(bytes, held, 28, 2);
    header.image_size = header_field(bytes, held, 34, 4);
    return header;
}

// True when slice `index` can be read as `header` describes it from a file of
// `file_size` bytes; false after one message. `shape` holds slice 0's shape.
bool valid_header(const BmpHeader &header, int64_t file_size, const LoadedSlices *shape, int index,
                  const char *name) {
    if (header.bytes < HOLDS_SIGNATURE || header.signature != BMP_ID_CODE) {
        mi_error("file doesn't have bitmap ID code");
        return false;
    }
    // A header cut short fails at its first missing field.
    if (header.bytes < HOLDS_BIT_COUNT) {
        mi_error("bitsize mismatch");
        return false;
    }
    if (header.bit_count != 24) {
        mi_error("?bitcount= %d", header.bit_count);
        return false;
    }
    if (header.bytes < HOLDS_IMAGE_SIZE) {
        mi_error("bitsize mismatch");
        return false;
    }
    const int32_t width = header.width, height = header.height;
    if (width <= 0 || height <= 0 || size_product(size_product(width, height), 3) < 0) {
        mi_error("bad bitmap shape %d x %d in %s", width, height, name);
        return false;
    }
    if (index > 0 && (width != shape->width || height != shape->height)) {
        mi_error("slice %s is %d x %d, unlike the first slice's %d x %d", name, width, height,
                 shape->width, shape->height);
        return false;
    }
    // The rows span every stored row but the last one's padding.
    const int row_bytes = 3 * width;
    const int pad = row_pad_by_remainder[row_bytes % 4];
    const int64_t span = static_cast<int64_t>(height) * (static_cast<int64_t>(row_bytes) + pad) - pad;
    if (header.image_size > 0 && header.image_size < span) {
        mi_error("pixel area of %s too small: %d bytes, need %lld", name, header.image_size,
                 static_cast<long long>(span));
        return false;
    }
    // The pixel area must lie in the file before a buffer is taken for it: a
    // header alone must not make the renderer zero-fill up to 2 GB. An image
    // size of 0 leaves nothing to read.
    if (header.image_size <= 0 ||
        static_cast<int64_t>(header.data_offset) + header.image_size > file_size) {
        mi_error("bitsize mismatch");
        return false;
    }
    return true;
}

// Reads the `height` stored rows at the stream's position into `slice`, the
// first stored row as the slice's last; false when the file ends first.
// Stored rows come in batches of whole rows, read into the start of the part
// of the slice still to fill (clear of the batch's places: batch * (stride +
// row) <= unfilled * row), then copied to their places: a few large reads and
// no second buffer. The last row or two are read straight to their places.
bool read_rows(FILE *stream, uint8_t *slice, size_t row, size_t pad, size_t height) {
    const size_t stride = row + pad;
    uint8_t padding[3];
    for (size_t unfilled = height; unfilled > 0;) {
        const size_t batch = unfilled * row / (stride + row);
        if (batch == 0) {
            --unfilled;
            if (fread(slice + unfilled * row, 1, row, stream) != row) return false;
            if (unfilled > 0 && fread(padding, 1, pad, stream) != pad) return false;
            continue;
        }
        if (fread(slice, 1, batch * stride, stream) != batch * stride) return false;
        for (size_t k = 0; k < batch; ++k)
            memcpy(slice + (unfilled - 1 - k) * row, slice + k * stride, row);
        unfilled -= batch;
    }
    return true;
}

} // namespace

bool read_bmp_slice(FILE *stream, int64_t file_size, LoadedSlices *slices, int index,
                    const char *name) {
    const BmpHeader header = read_header(stream);
    const bool valid = valid_header(header, file_size, slices, index, name);
    // Slice 0 sets the shape that the later slices must have, as soon as its
    // header holds one, even when the file is rejected afterwards.
    if (index == 0 && header.signature == BMP_ID_CODE && header.bytes >= HOLDS_SHAPE) {
        slices->width = header.width;
        slices->height = header.height;
    }
    if (!valid) return false;
    const int row_bytes = 3 * header.width;
    const int pad = row_pad_by_remainder[row_bytes % 4];
    if (!platform_seek(stream, header.data_offset)) {
        mi_error("bitsize mismatch");
        return false;
    }
    uint8_t *slice = static_cast<uint8_t *>(allocate_items(header.height, row_bytes));
    if (!slice) return false;
    if (!read_rows(stream, slice, row_bytes, pad, header.height)) {
        // The file shrank since it was measured.
        NIMBREL_RELEASE(slice);
        mi_error("bitsize mismatch");
        return false;
    }
    slices->slices[index] = slice;
    return true;
}

} // namespace nimbrel
