// Whether the input file loads into the library as it is, with no
// conversion: found by loading it through the stand-in renderer and reading
// every voxel back.
#pragma once

#include <functional>
#include <string>

#include "tools/convert/scene.h"
#include "tools/convert/volume.h"

namespace convert {

struct InPlace {
    bool loads = false;
    ShaderParams params; // when it loads
    std::string reason;  // why not, when it does not
};

// Checks `volume` (its samples read) against what the library loads from its
// file, or from a file beside it with the same name before the first '.'
// (the data file of a .hdr, .mhd or .nhdr header). Throws Failure (1) when
// the library at `library` cannot be loaded.
InPlace check_in_place(const Volume &volume, const std::string &library,
                       const std::function<void(double)> &progress);

} // namespace convert
