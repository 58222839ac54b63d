// What the sampling room reads of a loaded volume, and nothing else: the slice
// table, the shape, how a sample is stored and what it is divided by.
#pragma once

#include <stdint.h>

namespace nimbrel {

// Interpolation modes: the `interpolation` parameter.
enum Interpolation {
    NEAREST = 0,
    TRILINEAR = 1,
    OFFSET = 2, // floor of the position plus the caller's offset
};

// How one voxel lies in its slice buffer.
enum SampleFormat {
    FORMAT_NONE = 0,   // nothing is sampled; the colour is left as it was
    FORMAT_BGR8,       // three bytes, blue, green, red
    FORMAT_U8,         // one unsigned byte
    FORMAT_U16_LITTLE, // one unsigned 16-bit sample, low byte first
    FORMAT_U16_BIG,    // the same, high byte first
    FORMAT_S16_LITTLE, // one two's-complement 16-bit sample, low byte first
    FORMAT_S16_BIG,
    FORMAT_ZERO, // no slice table (a load that stopped early): every sample is 0
};

// A loaded volume as the lookup sees it. Borrowed: the slices belong to the
// volume's owner and do not change while it is viewed.
struct VolumeView {
    const void *const *slices; // depth slice buffers (a null entry reads as 0), or null
    int32_t width, height, depth;
    int32_t format; // SampleFormat
    float divisor;  // the sample is divided by it into the colour
};

} // namespace nimbrel
