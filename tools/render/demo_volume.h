// The built-in demo: a head-like phantom of nested ellipsoids, written as a
// 12-bit block file with a leading header and as a colour BMP series.
#pragma once

#include <string>

namespace render {

// A volume on disk and the shader parameters that load it.
struct VolumeFiles {
    std::string file; // the block file, or the series' first slice, in the folder
    int filetype;
    int slices, width, height;
};

// The library numbers the slices of a series at the first '.' of the whole
// name, so the demo is loaded by bare file names from within its folder: a
// cache path such as .cache/nimbrel would otherwise be numbered instead.
struct DemoFiles {
    std::string folder;
    VolumeFiles block; // u12-block, 128 x 128 x 128, little-endian
    VolumeFiles bmp;   // bmp-series, 126 x 126 x 126
};

// The cache folder used when none is given: $XDG_CACHE_HOME/nimbrel, else
// .cache/nimbrel in the working directory.
std::string default_cache_folder();

// Writes the demo volumes into `folder` (created if need be) unless files of
// the right size are already there. Each file is written under a temporary
// name and renamed, so a concurrent run never reads half a file. Throws
// std::runtime_error with a one-line reason.
DemoFiles write_demo(const std::string &folder);

// Phantom value (0 to 4095) and colour (blue, green, red) at normalised
// coordinates u, v, w in -1..1 (v grows downwards, w away from the face),
// with each surface blurred over `edge`, in the same units.
int phantom_value(float u, float v, float w, float edge);
void phantom_colour(float u, float v, float w, float edge, unsigned char bgr[3]);

} // namespace render
