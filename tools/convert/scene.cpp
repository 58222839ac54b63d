#include "tools/convert/scene.h"

#include <algorithm>
#include <cmath>
#include <cstdio>

#include "tools/convert/plan.h"

namespace convert {
namespace {

std::string number(double value) {
    char text[32];
    snprintf(text, sizeof text, "%.6g", value);
    return text;
}

std::string triple(const std::array<double, 3> &v, const char *separator) {
    return number(v[0]) + separator + number(v[1]) + separator + number(v[2]);
}

// A word for the shell: quoted unless plain.
std::string shell_word(const std::string &word) {
    if (!word.empty() &&
        word.find_first_not_of("abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ"
                               "0123456789_-+=/.,:@%") == std::string::npos)
        return word;
    std::string quoted = "'";
    for (char c : word)
        quoted += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return quoted + "'";
}

} // namespace

ShaderParams shader_params(const Volume &volume, const std::string &filename, int filetype,
                           int little_endian) {
    ShaderParams params;
    params.filename = filename;
    params.slices = int(volume.size[2]);
    params.filetype = filetype;
    params.width = int(volume.size[0]);
    params.height = int(volume.size[1]);
    params.little_endian = little_endian;
    return params;
}

CoordScale coord_scale(const Volume &volume) {
    CoordScale scale;
    double spacing[3], extent[3];
    for (int d = 0; d < 3; ++d) {
        spacing[d] =
            std::isfinite(volume.spacing[d]) && volume.spacing[d] > 0 ? volume.spacing[d] : 1.0;
        extent[d] = double(volume.size[d] - 1) * spacing[d];
    }
    const double longest = std::max({extent[0], extent[1], extent[2]});
    const double finest = std::min({spacing[0], spacing[1], spacing[2]});
    const double grid = double(volume.size[0] - 1); // the library's scale on every axis
    for (int d = 0; d < 3; ++d) {
        scale.box[d] = longest / (spacing[d] * grid);
        scale.box_sides[d] = extent[d] / longest;
        scale.preview[d] = finest / (spacing[d] * grid);
    }
    return scale;
}

std::string scene_text(const ShaderParams &p, const Volume &volume, const std::string &input,
                       const std::string &name) {
    const CoordScale scale = coord_scale(volume);
    const std::array<double, 3> spacing = {volume.spacing[0], volume.spacing[1], volume.spacing[2]};
    std::string text;
    text += "# Nimbrel volume converted by nimbrel-convert from " + input + "\n";
    text += "# (declare the shader first: $include \"Nimbrel.mi\").\n#\n";
    text += "# " + std::to_string(p.width) + " x " + std::to_string(p.height) + " x " +
            std::to_string(p.slices) + " voxels, spacing " + triple(spacing, " x ") +
            " (x, y, z, in the input's units).\n";
    text += "# The library scales every coord axis by width - 1 = " + std::to_string(p.width - 1) +
            ", so coord 0..1 spans\n# the width. For the true proportions, with the volume in a "
            "box of " +
            triple(scale.box_sides, " x ") +
            "\n# from the origin, connect a shader that gives coord = point * (" +
            triple(scale.box, ", ") + ").\n";
    text += "shader \"" + name + "\" \"Nimbrel\" (\n";
    text += "    \"filename\" \"" + p.filename + "\",\n";
    text +=
        "    # \"coord\" = \"your_coord_shader\",   connect: 0..1 across the grid (see above)\n";
    text += "    \"slices\" " + std::to_string(p.slices) + ",\n";
    text += "    \"interpolation\" " + std::to_string(p.interpolation) + ",   # trilinear\n";
    text += "    \"filetype\" " + std::to_string(p.filetype) + ",   # " + sources[p.filetype].name +
            "\n";
    text += "    \"width\" " + std::to_string(p.width) + ",\n";
    text += "    \"height\" " + std::to_string(p.height) + ",\n";
    text += "    \"little_endian\" " + std::to_string(p.little_endian) + "\n";
    text += ")\n";
    return text;
}

std::string preview_command(const ShaderParams &p, const Volume &volume) {
    std::string command = "nimbrel-render --filetype " + std::string(sources[p.filetype].name) +
                          " --slices " + std::to_string(p.slices);
    if (p.filetype != BMP_SOURCE)
        command += " --width " + std::to_string(p.width) + " --height " + std::to_string(p.height);
    if (!p.little_endian) command += " --big-endian";
    command += " --coord-scale " + triple(coord_scale(volume).preview, ",");
    return command + " " + shell_word(p.filename);
}

} // namespace convert
