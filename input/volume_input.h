// Loading an instance's volume from its files, and capturing how `coord`
// follows the shading state's current point.
#pragma once

#include <stddef.h>
#include <stdio.h>

#include "shader/volume_records.h"

namespace nimbrel {

// Fills the slice tables of `volume` (shape and type already set) from the
// files that `filename` names, reporting the name with mi_info. True when the
// load finished; false after one message through mi_error, with the slices
// loaded so far kept. The renderer's name text is edited in place while a
// series loads and is the unedited text again on every return.
bool read_slices(miState *state, const VolumeParams *params, VolumeData *volume);

// Raises by one, in place, the running number that ends just before name[dot]:
// at most four characters, '9' carries to the left, a carry beyond the fourth
// place or the start of the name is dropped. Other characters are not checked
// to be digits.
void advance_slice_name(char *name, size_t dot);

// Reads one 24-bit BMP file into volume->slices8[index] and sets the record's
// width and height from its header. Owns `stream` and closes it on every path;
// reads the file from its start wherever the stream stands.
// False after one message; the entry then stays null and, for index > 0, the
// record keeps the shape of the slices already loaded. `name` is for messages.
bool read_bmp_slice(FILE *stream, VolumeData *volume, int index, const char *name);

// Stores in volume->mapping how `coord` changes when the current point moves
// one unit along each axis (as columns of the upper-left 3x3 block). Moves the
// state's current point and restores it before returning.
void capture_mapping(miState *state, const VolumeParams *params, VolumeData *volume);

} // namespace nimbrel
