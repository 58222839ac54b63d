// Command-line options of nimbrel-render: the shader's eight parameters, the
// view, and the output.
#pragma once

#include <array>
#include <optional>
#include <stdexcept>
#include <string>

namespace render {

enum class View { slice, mip, shaded };
enum class Palette { grey, warm };
enum class DemoVolume { block, bmp };

using Vec3 = std::array<float, 3>;

struct Options {
    // The shader's parameters. An empty file means the built-in demo, which
    // sets filetype, slices, width, height and byte order itself.
    std::string file;
    int filetype = -1; // -1: not given
    int slices = 0;    // 0: not given
    int width = 0;
    int height = 0;
    bool big_endian = false;
    int interpolation = 1;           // trilinear
    std::optional<Vec3> coord_scale; // default 1 / (width - 1) on every axis
    Vec3 coord_offset = {0.0f, 0.0f, 0.0f};
    std::string library; // empty: beside the program

    View view = View::shaded;
    int axis = 2; // 0 x, 1 y, 2 z
    float at = 0.5f;
    float window_low = 0.0f, window_high = 1.0f;
    Palette palette = Palette::grey;
    int scale = 2; // pixels per voxel
    float step = 0.5f;
    float density = 1.0f;

    std::string output; // empty: nimbrel-demo.png or nimbrel-render.png
    bool info = false;
    int threads = 0; // 0: every core
    bool quiet = false;
    bool help = false;
    DemoVolume demo = DemoVolume::bmp;
    std::string cache; // empty: $XDG_CACHE_HOME/nimbrel or .cache/nimbrel
};

// A bad argument; the message is one line, without the program's name.
struct BadArgument : std::runtime_error {
    using std::runtime_error::runtime_error;
};

// The options of argv[1..argc-1], checked for consistency. Throws BadArgument.
Options parse_options(int argc, const char *const *argv);

// The --help text: every option with its default.
std::string help_text();

const char *filetype_name(int filetype);
const char *view_name(View view);

} // namespace render
