#include "tools/render/options.h"

#include <cerrno>
#include <climits>
#include <cmath>
#include <cstdlib>
#include <functional>
#include <map>
#include <vector>

#include "sample/sample_exchange.h"

namespace render {
namespace {

const char *const help = R"(usage: nimbrel-render [options] [FILE]

Loads a volume through the Nimbrel shader library, as the renderer does, and
draws it to a PNG file. Without FILE it writes and renders its built-in demo.

The shader's parameters (FILE is `filename`):
  --filetype TYPE        bmp-series, u16-series, u12-series, u8-block, u12-block,
                         s16-block, or the code 0 to 5 (required with FILE)
  --slices N             number of slices (required with FILE)
  --width N              slice width in voxels (required with FILE, except bmp-series)
  --height N             slice height in voxels (required with FILE, except bmp-series)
  --big-endian           16-bit samples are big-endian: little_endian = 0
                         (default: little-endian, little_endian = 1)
  --interpolation MODE   nearest, trilinear or offset (default trilinear)
  --coord-scale S|X,Y,Z  `coord` is the current point times this, plus the offset
                         (default 1/(width - 1): the point in voxel units); the
                         view spans the grid under it, so per-axis values show
                         an anisotropic volume in its true proportions
  --coord-offset X,Y,Z   added to `coord` (default 0,0,0)
  --library PATH         the shader library (default Nimbrel.so beside the program,
                         or $NIMBREL_LIBRARY when set)

The view (the image covers the grid, one voxel every --scale pixels):
  --view VIEW            slice, mip or shaded (default shaded)
  --axis AXIS            x, y or z: the axis looked along (default z)
  --at F                 slice: where along the axis, 0 to 1 (default 0.5)
  --window LOW,HIGH      normalised values from black to white; shaded: the
                         values that absorb and emit (default 0,1)
  --palette NAME         grey or warm, for scalar volumes (default grey)
  --scale N              pixels per voxel, 1 to 16 (default 2)
  --step F               mip, shaded: march step in voxels, 0.05 to 16 (default 0.5)
  --density F            shaded: absorption per voxel at the top of the window,
                         0.001 to 1000 (default 1)

Output:
  -o, --output FILE      the PNG file (default nimbrel-demo.png for the demo,
                         nimbrel-render.png otherwise)
  --info                 print shape, file type, bytes loaded, load time, the
                         captured mapping and the value range; draw nothing
  --threads N            rendering threads, 1 to 1024 (default: every core)
  --quiet                no progress on standard error
  --demo VOLUME          without FILE: bmp (the colour BMP series) or block (the
                         12-bit block file) (default bmp)
  --cache DIR            where the demo volumes are written (default
                         $XDG_CACHE_HOME/nimbrel, or .cache/nimbrel without it)
  -h, --help             this text

Exit status: 0 done, 1 the library or a volume failed to load or the image
could not be written, 2 a bad argument.
)";

// "NAME must be ..., not VALUE".
[[noreturn]] void reject(const std::string &name, const std::string &wanted,
                         const std::string &value) {
    throw BadArgument(name + " must be " + wanted + ", not '" + value + "'");
}

int parse_int(const std::string &name, const std::string &text, int low, int high) {
    const std::string wanted =
        "a whole number from " + std::to_string(low) + " to " + std::to_string(high);
    if (text.empty()) reject(name, wanted, text);
    errno = 0;
    char *end = nullptr;
    const long long value = std::strtoll(text.c_str(), &end, 10);
    if (*end != '\0' || errno == ERANGE || value < low || value > high) reject(name, wanted, text);
    return static_cast<int>(value);
}

float parse_float(const std::string &name, const std::string &text) {
    if (text.empty()) reject(name, "a number", text);
    char *end = nullptr;
    const float value = std::strtof(text.c_str(), &end);
    if (*end != '\0' || !std::isfinite(value)) reject(name, "a number", text);
    return value;
}

float parse_float(const std::string &name, const std::string &text, float low, float high) {
    const float value = parse_float(name, text);
    if (value < low || value > high) {
        char wanted[96];
        snprintf(wanted, sizeof wanted, "a number from %g to %g", low, high);
        reject(name, wanted, text);
    }
    return value;
}

std::vector<std::string> split(const std::string &text) {
    std::vector<std::string> parts;
    size_t start = 0;
    for (;;) {
        const size_t comma = text.find(',', start);
        parts.push_back(text.substr(start, comma - start));
        if (comma == std::string::npos) return parts;
        start = comma + 1;
    }
}

// One index into `names`, or a bad argument listing them.
int choose(const std::string &name, const std::string &text,
           const std::vector<std::string> &names) {
    for (size_t i = 0; i < names.size(); ++i)
        if (text == names[i]) return static_cast<int>(i);
    std::string wanted;
    for (size_t i = 0; i < names.size(); ++i)
        wanted += (i == 0 ? "" : i + 1 == names.size() ? " or " : ", ") + names[i];
    reject(name, wanted, text);
}

int parse_filetype(const std::string &text) {
    for (int code = 0; code < FILE_TYPE_COUNT; ++code)
        if (text == file_type_table[code].name || text == std::to_string(code)) return code;
    reject("--filetype",
           "bmp-series, u16-series, u12-series, u8-block, u12-block, s16-block or 0 to 5", text);
}

Vec3 parse_vector(const std::string &name, const std::string &text, bool allow_one) {
    const std::vector<std::string> parts = split(text);
    const char *wanted =
        allow_one ? "one number or three separated by commas" : "three numbers separated by commas";
    if (parts.size() != 3 && !(allow_one && parts.size() == 1)) reject(name, wanted, text);
    Vec3 vector;
    for (int i = 0; i < 3; ++i)
        vector[i] = parse_float(name, parts[parts.size() == 1 ? 0 : i]);
    return vector;
}

// Whether the shape options given fit the file, or the demo.
void check_consistency(const Options &o, const std::map<std::string, bool> &given) {
    const auto was = [&](const char *name) { return given.count(name) != 0; };
    if (o.file.empty()) {
        for (const char *name : {"--filetype", "--slices", "--width", "--height", "--big-endian"})
            if (was(name))
                throw BadArgument(std::string(name) +
                                  " needs a volume FILE; the demo sets its own shape");
    } else {
        if (o.filetype < 0) throw BadArgument("--filetype is required with a volume file");
        if (!was("--slices")) throw BadArgument("--slices is required with a volume file");
        if (o.filetype != 0 && !was("--width"))
            throw BadArgument("--width is required with a volume file of type " +
                              std::string(file_type_table[o.filetype].name));
        if (o.filetype != 0 && !was("--height"))
            throw BadArgument("--height is required with a volume file of type " +
                              std::string(file_type_table[o.filetype].name));
        if (was("--demo") || was("--cache"))
            throw BadArgument(std::string(was("--demo") ? "--demo" : "--cache") +
                              " applies only without a volume FILE");
    }
    if (!(o.window_low < o.window_high))
        throw BadArgument("--window LOW,HIGH needs LOW below HIGH");
    if (o.coord_scale)
        for (float s : *o.coord_scale)
            if (s == 0.0f) throw BadArgument("--coord-scale must not be 0 on any axis");
}

} // namespace

Options parse_options(int argc, const char *const *argv) {
    Options o;
    std::map<std::string, bool> given;
    using Handler = std::function<void(const std::string &)>;
    // Options that take a value.
    const std::map<std::string, Handler> valued = {
        {"--filetype", [&](const std::string &v) { o.filetype = parse_filetype(v); }},
        {"--slices",
         [&](const std::string &v) { o.slices = parse_int("--slices", v, 1, INT_MAX); }},
        {"--width", [&](const std::string &v) { o.width = parse_int("--width", v, 1, INT_MAX); }},
        {"--height",
         [&](const std::string &v) { o.height = parse_int("--height", v, 1, INT_MAX); }},
        {"--interpolation",
         [&](const std::string &v) {
             o.interpolation = choose("--interpolation", v, {"nearest", "trilinear", "offset"});
         }},
        {"--coord-scale",
         [&](const std::string &v) { o.coord_scale = parse_vector("--coord-scale", v, true); }},
        {"--coord-offset",
         [&](const std::string &v) { o.coord_offset = parse_vector("--coord-offset", v, false); }},
        {"--library",
         [&](const std::string &v) {
             if (v.empty()) throw BadArgument("--library must name a file");
             o.library = v;
         }},
        {"--view",
         [&](const std::string &v) {
             o.view = static_cast<View>(choose("--view", v, {"slice", "mip", "shaded"}));
         }},
        {"--axis",
         [&](const std::string &v) {
             o.axis = choose("--axis", v, {"x", "y", "z"});
         }},
        {"--at", [&](const std::string &v) { o.at = parse_float("--at", v, 0.0f, 1.0f); }},
        {"--window",
         [&](const std::string &v) {
             const std::vector<std::string> parts = split(v);
             if (parts.size() != 2) reject("--window", "two numbers LOW,HIGH", v);
             o.window_low = parse_float("--window", parts[0]);
             o.window_high = parse_float("--window", parts[1]);
         }},
        {"--palette",
         [&](const std::string &v) {
             o.palette = static_cast<Palette>(choose("--palette", v, {"grey", "warm"}));
         }},
        {"--scale", [&](const std::string &v) { o.scale = parse_int("--scale", v, 1, 16); }},
        {"--step", [&](const std::string &v) { o.step = parse_float("--step", v, 0.05f, 16.0f); }},
        {"--density",
         [&](const std::string &v) { o.density = parse_float("--density", v, 0.001f, 1000.0f); }},
        {"--output",
         [&](const std::string &v) {
             if (v.empty()) throw BadArgument("--output must name a file");
             o.output = v;
         }},
        {"--threads",
         [&](const std::string &v) { o.threads = parse_int("--threads", v, 1, 1024); }},
        {"--demo",
         [&](const std::string &v) {
             o.demo = static_cast<DemoVolume>(choose("--demo", v, {"block", "bmp"}));
         }},
        {"--cache",
         [&](const std::string &v) {
             if (v.empty()) throw BadArgument("--cache must name a folder");
             o.cache = v;
         }},
    };
    const std::map<std::string, bool *> flags = {
        {"--big-endian", &o.big_endian},
        {"--info", &o.info},
        {"--quiet", &o.quiet},
        {"--help", &o.help},
    };

    for (int i = 1; i < argc; ++i) {
        std::string arg = argv[i];
        if (arg == "-o") arg = "--output";
        if (arg == "-h") arg = "--help";
        if (arg.size() < 2 || arg[0] != '-') {
            if (!o.file.empty())
                throw BadArgument("one volume FILE only, not '" + o.file + "' and '" + arg + "'");
            o.file = arg;
            continue;
        }
        std::optional<std::string> value;
        const size_t equals = arg.find('=');
        if (arg.rfind("--", 0) == 0 && equals != std::string::npos) {
            value = arg.substr(equals + 1);
            arg = arg.substr(0, equals);
        }
        if (given.count(arg)) throw BadArgument(arg + " is given twice");
        if (const auto flag = flags.find(arg); flag != flags.end()) {
            if (value) throw BadArgument(arg + " takes no value");
            *flag->second = true;
        } else if (const auto option = valued.find(arg); option != valued.end()) {
            if (!value) {
                if (i + 1 == argc) throw BadArgument(arg + " needs a value");
                value = argv[++i];
            }
            option->second(*value);
        } else {
            throw BadArgument("unknown option '" + arg + "' (see --help)");
        }
        given[arg] = true;
    }
    if (!o.help) check_consistency(o, given);
    return o;
}

std::string help_text() {
    std::string text = help;
#if defined(_WIN32)
    const std::string so = "Nimbrel.so";
    text.replace(text.find(so), so.size(), "Nimbrel.dll");
#endif
    return text;
}

const char *filetype_name(int filetype) {
    const FileTypeFacts *facts = file_type_facts(filetype);
    return facts ? facts->name : "unknown";
}

const char *view_name(View view) {
    switch (view) {
    case View::slice:
        return "slice";
    case View::mip:
        return "mip";
    case View::shaded:
        return "shaded";
    }
    return "?";
}

} // namespace render
