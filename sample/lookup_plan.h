// What a lookup needs of its instance, decided once when the instance is
// initialised: the sample format, the divisor, the scale into voxel space and
// the bounds of the edge and bounds tests as floats.
#pragma once

#include <stdint.h>

#include "sample/typed_fetch.h"

namespace nimbrel {

// The fetch specialisation of a volume: file type and byte order together.
enum SampleFormat : int32_t {
    FORMAT_NONE = 0,  // file type outside 0..5: nothing is fetched, the colour is left
    FORMAT_ZERO,      // no slice table (a load that stopped early): every sample is 0
    FORMAT_BGR8,      // BMP_SERIES
    FORMAT_U8,        // U8_BLOCK
    FORMAT_U16_LE,    // U16_SERIES, U12_SERIES, U12_BLOCK
    FORMAT_U16_BE,
    FORMAT_S16_LE,    // S16_BLOCK
    FORMAT_S16_BE,
};

// Bounds are held as floats rounded so that a float coordinate compares with
// them exactly as with the integer bound: x <= B holds for a float x exactly
// when x <= (B rounded down to a float), and x < 1, 2 or 3 needs no rounding.
// Lane 3 of each is 0, so that a position whose lane 3 is 0 never fails there.
struct LookupPlan {
    SliceTable table;     // the format's slice table and the shape for the fetches
    int32_t format;       // SampleFormat
    float divisor;        // of the file type
    int64_t scale;        // width - 1, every axis
    int32_t scale_in_float; // width - 1 is a float: the float product is the exact one rounded once
    float scale_float[4]; // width - 1 on lanes 0..2
    float last[4];        // width - 1, height - 1, depth - 1, rounded down: the inside test
    struct {
        float low[4];     // m + 1 on lanes 0..2
        float high[4];    // width - 2 - m, height - 2 - m, depth - 2 - m, rounded down
    } edge[3];            // by margin m (0, 1, 2)
};

// The plan of a volume of this shape and type whose slices are in `slices`
// (the file type's table, null when never allocated). Any shape, even
// negative; a file type outside 0..5 gives FORMAT_NONE.
LookupPlan plan_lookup(int32_t width, int32_t height, int32_t depth, int32_t filetype,
                       int32_t little_endian, const void *const *slices);

} // namespace nimbrel
