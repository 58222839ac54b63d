// What a converted (or loadable) volume gives the renderer: the shader's
// parameters, the scene snippet OUTPUT.mi, and the nimbrel-render command
// that previews it in its true proportions.
#pragma once

#include <array>
#include <string>

#include "tools/convert/volume.h"

namespace convert {

// The parameters of the shader declaration Nimbrel.mi, except `coord`.
struct ShaderParams {
    std::string filename; // as written: the block file or the first slice
    int slices = 0, filetype = 0, width = 0, height = 0;
    int little_endian = 1;
    int interpolation = 1; // trilinear
};

ShaderParams shader_params(const Volume &volume, const std::string &filename, int filetype,
                           int little_endian);

// `coord` per unit of the point along x, y and z that keeps the volume's true
// proportions (the library scales every axis by width - 1): with a point in
// a box whose longest side is 1 (`box`, from the volume's spacing), or in
// units of the finest spacing, as nimbrel-render's view takes it (`preview`).
struct CoordScale {
    std::array<double, 3> box, box_sides, preview;
};
CoordScale coord_scale(const Volume &volume);

// The shader instance `name` in the renderer's scene syntax, with the
// spacing comment, `coord` left for the user to connect.
std::string scene_text(const ShaderParams &params, const Volume &volume, const std::string &input,
                       const std::string &name);

// The nimbrel-render command line that previews the volume.
std::string preview_command(const ShaderParams &params, const Volume &volume);

} // namespace convert
