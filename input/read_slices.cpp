// The loading loop: a series of slice files named by a running number (BMP or
// raw 16-bit), or one raw block file holding every slice.
#include <limits.h>
#include <string.h>

#include "host/platform.h"
#include "input/sized_blocks.h"
#include "input/volume_input.h"

namespace nimbrel {
namespace {

// Opens a volume file for reading and measures it. Null, after one message,
// when it cannot be opened, is not a regular file or cannot be measured.
FILE *open_volume_file(const char *name, int64_t *size) {
    OpenFailure failure = OPEN_REFUSED;
    FILE *stream = platform_open_regular(name, size, &failure);
    if (stream) return stream;
    if (failure == OPEN_NOT_REGULAR)
        mi_error("file %s is not a regular file", name);
    else if (failure == OPEN_UNMEASURED)
        mi_error("could not measure file %s", name);
    else
        mi_error("could not open file %s", name);
    return nullptr;
}

// Reads the last count * slice_bytes bytes of the file into `count` new
// buffers stored in table[0..count-1], slice by slice, each after its own
// seek. Leading bytes are skipped by size alone. False after one message.
bool read_raw_slices(FILE *stream, int64_t file_size, const char *name, int slice_bytes, int count,
                     void **table) {
    const int64_t need = static_cast<int64_t>(slice_bytes) * count;
    if (file_size < need) {
        mi_error("file %s is too short: %lld bytes, need %lld", name,
                 static_cast<long long>(file_size), static_cast<long long>(need));
        return false;
    }
    int64_t position = file_size - need;
    for (int index = 0; index < count; ++index, position += slice_bytes) {
        void *slice = allocate_items(1, slice_bytes);
        if (!slice) return false;
        table[index] = slice;
        // A read cut short (the file shrank since it was measured) leaves the
        // rest of the slice zero, as allocated.
        if (platform_seek(stream, position)) fread(slice, 1, slice_bytes, stream);
    }
    return true;
}

// Opens the file `name`, reads `count` slices from it into the table from
// entry `first` on, and closes it: the one owner of every stream of a load.
bool load_file(const SliceSource *source, const char *name, int first, int count, int slice_bytes,
               LoadedSlices *slices) {
    int64_t size = 0;
    FILE *stream = open_volume_file(name, &size);
    if (!stream) return false;
    const bool read =
        source->layout == LAYOUT_BMP_SERIES
            ? read_bmp_slice(stream, size, slices, first, name)
            : read_raw_slices(stream, size, name, slice_bytes, count, slices->slices + first);
    fclose(stream);
    return read;
}

// Allocates the slice table and loads every slice into it; stops at the
// first failure.
bool load_volume(const SliceSource *source, char *name, LoadedSlices *slices) {
    const int depth = source->depth;
    int slice_bytes = 0; // BMP slices take their shape from their files
    if (source->layout != LAYOUT_BMP_SERIES) {
        slices->width = source->width;
        slices->height = source->height;
        slice_bytes =
            source->width <= 0 || source->height <= 0
                ? -1
                : size_product(size_product(source->width, source->height), source->sample_bytes);
    }
    if (size_product(depth, sizeof(void *)) < 0 || slice_bytes < 0) {
        mi_error("bad volume shape %d x %d x %d for %s", slices->width, slices->height, depth,
                 name);
        return false;
    }
    slices->slices = static_cast<void **>(allocate_items(depth, sizeof(void *)));
    if (!slices->slices && depth > 0) return false;

    if (source->layout == LAYOUT_RAW_BLOCK)
        return load_file(source, name, 0, depth, slice_bytes, slices);
    const char *dot = strchr(name, '.');
    for (int index = 0; index < depth; ++index) {
        if (!load_file(source, name, index, 1, slice_bytes, slices)) return false;
        if (dot) advance_slice_name(name, static_cast<size_t>(dot - name));
    }
    return true;
}

} // namespace

bool load_slices(const SliceSource *source, LoadedSlices *slices) {
    char *name = source->name;
    // The series loop writes the next slice's name into the renderer's text;
    // this copy, taken before anything else, puts the text back on every way out.
    const size_t length = strlen(name);
    if (length >= INT_MAX) {
        mi_error("file name too long");
        return false;
    }
    char *saved = static_cast<char *>(allocate_items(1, static_cast<int32_t>(length + 1)));
    if (!saved) return false;
    memcpy(saved, name, length + 1);
    mi_info("filename = %s ", name);
    const int layout = source->layout;
    const bool known =
        layout == LAYOUT_BMP_SERIES || layout == LAYOUT_RAW_SERIES || layout == LAYOUT_RAW_BLOCK;
    const bool loaded = !known || load_volume(source, name, slices);
    memcpy(name, saved, length + 1);
    NIMBREL_RELEASE(saved);
    return loaded;
}

} // namespace nimbrel
