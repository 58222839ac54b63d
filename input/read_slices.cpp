// The loading loop: a series of slice files named by a running number (BMP or
// raw 16-bit), or one raw block file holding every slice.
#include <limits.h>
#include <string.h>

#include "host/platform.h"
#include "input/volume_input.h"

namespace nimbrel {
namespace {

bool is_series(int filetype) {
    return filetype == BMP_SERIES || filetype == U16_SERIES || filetype == U12_SERIES;
}
bool is_block(int filetype) {
    return filetype == U8_BLOCK || filetype == U12_BLOCK || filetype == S16_BLOCK;
}
bool uses_slices8(int filetype) {
    return filetype == BMP_SERIES || filetype == U8_BLOCK;
}

// Bytes of one raw slice, or -1 when the shape is bad or does not fit an int.
// Only the raw types take their shape from the parameters.
int raw_slice_bytes(const VolumeData *volume) {
    const int width = volume->width, height = volume->height;
    const int sample_bytes = volume->filetype == U8_BLOCK ? 1 : 2;
    if (width <= 0 || height <= 0) return -1;
    if (width > INT_MAX / height) return -1;
    if (width * height > INT_MAX / sample_bytes) return -1;
    return width * height * sample_bytes;
}

// Opens a volume file for reading and measures it. Null, after one message,
// when it is not a regular file, cannot be opened or cannot be measured.
// Files that are not regular are refused before opening: opening a FIFO
// would wait for a writer.
FILE *open_volume_file(const char *name, int64_t *size) {
    const FileStatus status = platform_file_status(name);
    if (status.known && !status.regular) {
        mi_error("file %s is not a regular file", name);
        return nullptr;
    }
    FILE *stream = fopen(name, "rb");
    if (!stream) {
        mi_error("could not open file %s", name);
        return nullptr;
    }
    *size = status.known ? status.size : platform_stream_size(stream);
    if (*size < 0) {
        fclose(stream);
        mi_error("could not measure file %s", name);
        return nullptr;
    }
    return stream;
}

bool file_too_short(FILE *stream, const char *name, int64_t size, int64_t need) {
    if (size >= need) return false;
    fclose(stream);
    mi_error("file %s is too short: %lld bytes, need %lld", name, static_cast<long long>(size),
             static_cast<long long>(need));
    return true;
}

void *allocate_or_report(int64_t bytes) {
    void *block = NIMBREL_ALLOCATE(static_cast<int>(bytes));
    if (!block && bytes > 0) mi_error("couldn't allocate memory");
    return block;
}

// Reads the last `slice_bytes` bytes of the raw file `name` into a new buffer
// stored in table[index]. Leading bytes are skipped by size alone.
bool read_raw_slice_file(const char *name, int slice_bytes, void **table, int index) {
    int64_t size = 0;
    FILE *stream = open_volume_file(name, &size);
    if (!stream) return false;
    if (file_too_short(stream, name, size, slice_bytes)) return false;
    void *slice = NIMBREL_ALLOCATE(slice_bytes);
    if (!slice) {
        fclose(stream);
        mi_error("couldn't allocate memory");
        return false;
    }
    table[index] = slice;
    // A read cut short (the file shrank since it was measured) leaves the
    // rest of the slice zero, as allocated.
    if (platform_seek(stream, size - slice_bytes)) fread(slice, 1, slice_bytes, stream);
    fclose(stream);
    return true;
}

bool read_series(VolumeData *volume, char *name, int slice_bytes, void **table) {
    const char *dot = strchr(name, '.');
    for (int index = 0; index < volume->depth; ++index) {
        if (volume->filetype == BMP_SERIES) {
            int64_t size = 0;
            FILE *stream = open_volume_file(name, &size);
            if (!stream || !read_bmp_slice(stream, volume, index, name)) return false;
        } else if (!read_raw_slice_file(name, slice_bytes, table, index)) {
            return false;
        }
        if (dot) advance_slice_name(name, static_cast<size_t>(dot - name));
    }
    return true;
}

// Slice i of a block file begins at (file size - slice bytes * depth) + i *
// slice bytes; each slice is read after its own seek.
bool read_block(VolumeData *volume, const char *name, int slice_bytes, void **table) {
    int64_t size = 0;
    FILE *stream = open_volume_file(name, &size);
    if (!stream) return false;
    const int64_t volume_bytes = static_cast<int64_t>(slice_bytes) * volume->depth;
    if (file_too_short(stream, name, size, volume_bytes)) return false;
    int64_t position = size - volume_bytes;
    for (int index = 0; index < volume->depth; ++index) {
        void *slice = NIMBREL_ALLOCATE(slice_bytes);
        if (!slice) {
            fclose(stream);
            mi_error("couldn't allocate memory");
            return false;
        }
        table[index] = slice;
        if (platform_seek(stream, position)) fread(slice, 1, slice_bytes, stream);
        position += slice_bytes;
    }
    fclose(stream);
    return true;
}

// Allocates the type's slice table and loads every slice into it.
bool load_volume(VolumeData *volume, char *name) {
    const int filetype = volume->filetype;
    const int depth = volume->depth;
    int slice_bytes = 0;
    if (filetype != BMP_SERIES) slice_bytes = raw_slice_bytes(volume);
    if (depth < 0 || depth > INT_MAX / static_cast<int>(sizeof(void *)) || slice_bytes < 0) {
        mi_error("bad volume shape %d x %d x %d for %s", volume->width, volume->height, depth,
                 name);
        return false;
    }

    void **table =
        static_cast<void **>(allocate_or_report(static_cast<int64_t>(depth) * sizeof(void *)));
    if (!table && depth > 0) return false;
    if (uses_slices8(filetype))
        volume->slices8 = reinterpret_cast<uint8_t **>(table);
    else
        volume->slices16 = reinterpret_cast<uint16_t **>(table);

    if (is_series(filetype)) return read_series(volume, name, slice_bytes, table);
    return read_block(volume, name, slice_bytes, table);
}

} // namespace

bool read_slices(miState *state, const VolumeParams *params, VolumeData *volume) {
    const miTag tag = eval_tag(state, &params->filename);
    char *name = tag ? static_cast<char *>(mi_db_access(tag)) : nullptr;
    if (!name) {
        mi_error("no file name given");
        return false;
    }
    // The series loop writes the next slice's name into the renderer's text;
    // this copy, taken before anything else, puts the text back on every way out.
    const size_t length = strlen(name);
    if (length >= INT_MAX) {
        mi_error("file name too long");
        return false;
    }
    char *saved = static_cast<char *>(NIMBREL_ALLOCATE(static_cast<int>(length + 1)));
    if (!saved) {
        mi_error("couldn't allocate memory");
        return false;
    }
    memcpy(saved, name, length + 1);
    mi_info("filename = %s ", name);
    // Any other code loads nothing, and that is not a failure.
    const bool known = is_series(volume->filetype) || is_block(volume->filetype);
    const bool loaded = !known || load_volume(volume, name);
    memcpy(name, saved, length + 1);
    NIMBREL_RELEASE(saved);
    return loaded;
}

} // namespace nimbrel
