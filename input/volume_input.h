// Loading a volume's slices from its files: a series of files named by a
// running number (BMP or raw 16-bit), or one raw block file holding every
// slice. Knows files, never samples, and nothing of the shader's records.
#pragma once

#include <stddef.h>
#include <stdint.h>
#include <stdio.h>

#include "host/host_api.h"

namespace nimbrel {

// How a volume's slices are stored on disk.
enum SliceLayout {
    LAYOUT_NONE = 0,   // nothing to load; not a failure
    LAYOUT_BMP_SERIES, // one 24-bit BMP per slice, 3 bytes a voxel, shape from the files
    LAYOUT_RAW_SERIES, // one raw file per slice, its last slice bytes
    LAYOUT_RAW_BLOCK,  // one raw file, the last depth slices back to back
};

// What the loader is told.
struct SliceSource {
    char *name;            // the renderer's text of the file name, never null; edited in
                           // place while a series loads, unedited again on every return
    int32_t layout;        // SliceLayout
    int32_t sample_bytes;  // raw layouts: 1 or 2; ignored for BMP (3 bytes a voxel)
    int32_t width, height; // raw layouts: from the parameters; ignored for BMP
    int32_t depth;
};

// What the loader fills. Zero on entry; the caller owns everything in it.
struct LoadedSlices {
    void **slices;         // table of depth buffers (null entries for slices not loaded), or null
    int32_t width, height; // BMP: the shape the volume record holds afterwards; raw: as given
};

// Reports the name with mi_info ("filename = %s "), then loads every slice.
// True when the load finished; false after one mi_error message, with what
// was loaded kept in *slices.
bool load_slices(const SliceSource *source, LoadedSlices *slices);

// Raises by one, in place, the running number that ends just before name[dot]:
// at most four characters, '9' carries to the left, a carry beyond the fourth
// place or the start of the name is dropped. Other characters are not checked
// to be digits.
void advance_slice_name(char *name, size_t dot);

// Reads one 24-bit BMP file of `file_size` bytes from `stream` (positioned
// anywhere) into a new buffer at slices->slices[index]. False after one
// message; the entry then stays null. The caller owns the stream. `name` is
// for messages. The shape in *slices is written only for index 0, once the
// header's shape has been read (also when the file is then rejected); later
// slices must have slice 0's shape.
bool read_bmp_slice(FILE *stream, int64_t file_size, LoadedSlices *slices, int index,
                    const char *name);

} // namespace nimbrel
