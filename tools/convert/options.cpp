#include "tools/convert/options.h"

#include <cerrno>
#include <climits>
#include <cmath>
#include <cstdlib>
#include <vector>

namespace convert {
namespace {

const char *const help = R"(usage: nimbrel-convert [options] INPUT OUTPUT
       nimbrel-convert --info [options] INPUT

Converts a scan into a volume the Nimbrel shader library loads, writes the
scene snippet OUTPUT.mi with the shader's parameters, and prints the
nimbrel-render command that previews it.

INPUT is a 3D image (.nii, .nii.gz, .nrrd, .nhdr, .mha, .mhd, .hdr/.img,
multi-page .tif, .vtk), a folder holding a DICOM series, a folder of PNG,
TIFF or BMP slices (in name order), or with --stack a numbered pattern.

The source is chosen from the samples:
  uint8                       u8-block    OUTPUT.raw
  uint16, every value <= 4095 u12-block   OUTPUT.raw
  other uint16                u16-series  OUTPUT_0000.raw, OUTPUT_0001.raw, ...
  int16                       s16-block   OUTPUT.raw
  8-bit RGB or RGBA           bmp-series  OUTPUT_0000.bmp, ... (alpha dropped)
  anything else               rescaled from --window onto u12-block 0..4095
16-bit samples are written little-endian. A series is numbered just before
the first '.' of the whole path, as the library counts, so OUTPUT may not lie
in a folder with a '.' in its name. Every file is written under a temporary
name and renamed at the end: a failed or interrupted conversion leaves none.

Voxel (i, j, k) of INPUT becomes voxel (i, j, k) of the volume: samples are
written x fastest, then rows along y, then slices along z. The library reads
a BMP slice's rows top to bottom as the picture shows them, so row j = 0 is
the top row of each BMP picture: a slice that a viewer draws with y upward
shows upside down in an image viewer, and is the right way up in the volume.

Options:
  --info                 describe INPUT: size, spacing, origin, direction,
                         pixel type, byte order, value range, frames; the
                         source and parameters a conversion gives; and whether
                         the file loads as it is, checked by loading it
  --stack PATTERN        INPUT is the numbered images PATTERN names, such as
                         'slice_%03d.png', numbered from 0 or 1 (no INPUT then)
  --series UID           the DICOM series to read where the folder holds several
  --frame N              the frame of a 4D input, from 0 (required for 4D)
  --window LOW,HIGH      rescale the values from LOW..HIGH (clamped) onto the
                         source's range; any grey input (default: the data's
                         minimum and maximum, for inputs that are rescaled)
  --window auto          the 0.5 and 99.5 percentiles of the values
  --to SOURCE            u8-block, u12-block, s16-block, u12-series, u16-series,
                         bmp-series or the code 0 to 5: write this source; an
                         error where the values do not fit it
  --library PATH         the shader library for --info's check (default
                         Nimbrel.so beside the program, or $NIMBREL_LIBRARY)
  --quiet                no progress on standard error
  -h, --help             this text

Exit status: 0 done, 1 the input could not be read or the output written,
2 a bad argument.
)";

[[noreturn]] void bad(const std::string &message) {
    throw Failure(EXIT_BAD_ARGUMENT, message);
}

double parse_number(const std::string &name, const std::string &text) {
    char *end = nullptr;
    const double value = text.empty() ? NAN : std::strtod(text.c_str(), &end);
    if (!std::isfinite(value) || *end != '\0') bad(name + " must be a number, not '" + text + "'");
    return value;
}

WindowChoice parse_window(const std::string &text) {
    WindowChoice window;
    if (text == "auto") {
        window.kind = WindowChoice::percentiles;
        return window;
    }
    const size_t comma = text.find(',');
    if (comma == std::string::npos) bad("--window must be LOW,HIGH or auto, not '" + text + "'");
    window.kind = WindowChoice::given;
    window.low = parse_number("--window LOW", text.substr(0, comma));
    window.high = parse_number("--window HIGH", text.substr(comma + 1));
    if (!(window.low < window.high))
        bad("--window LOW,HIGH needs LOW below HIGH, not '" + text + "'");
    return window;
}

} // namespace

Options parse_options(int argc, const char *const *argv) {
    Options o;
    std::vector<std::string> positional, given;
    for (int i = 1; i < argc; ++i) {
        std::string arg = argv[i];
        if (arg == "-h") arg = "--help";
        if (arg.size() < 2 || arg[0] != '-') {
            positional.push_back(arg);
            continue;
        }
        std::string value;
        bool has_value = false;
        const size_t equals = arg.find('=');
        if (arg.rfind("--", 0) == 0 && equals != std::string::npos) {
            value = arg.substr(equals + 1), arg = arg.substr(0, equals), has_value = true;
        }
        for (const std::string &seen : given)
            if (seen == arg) bad(arg + " is given twice");
        given.push_back(arg);
        if (arg == "--info" || arg == "--quiet" || arg == "--help") {
            if (has_value) bad(arg + " takes no value");
            (arg == "--info" ? o.info : arg == "--quiet" ? o.quiet : o.help) = true;
            continue;
        }
        if (arg != "--stack" && arg != "--series" && arg != "--frame" && arg != "--window" &&
            arg != "--to" && arg != "--library")
            bad("unknown option '" + arg + "' (see --help)");
        if (!has_value) {
            if (i + 1 == argc) bad(arg + " needs a value");
            value = argv[++i];
        }
        if (value.empty()) bad(arg + " needs a value");
        if (arg == "--stack") {
            o.input.path = value, o.input.pattern = true;
        } else if (arg == "--series") {
            o.input.series_uid = value;
        } else if (arg == "--frame") {
            errno = 0;
            char *end = nullptr;
            const long long frame = std::strtoll(value.c_str(), &end, 10);
            if (*end != '\0' || errno == ERANGE || frame < 0 || frame > INT_MAX)
                bad("--frame must be a whole number from 0, not '" + value + "'");
            o.frame = int(frame);
        } else if (arg == "--window") {
            o.window = parse_window(value);
        } else if (arg == "--to") {
            o.to = source_code(value);
            if (o.to < 0)
                bad("--to must be u8-block, u12-block, s16-block, u12-series, u16-series, "
                    "bmp-series or 0 to 5, not '" +
                    value + "'");
        } else {
            o.library = value;
        }
    }
    if (o.help) return o;
    const size_t wanted = (o.input.pattern ? 0 : 1) + (o.info ? 0 : 1);
    if (positional.size() != wanted)
        bad(std::string(o.info ? "--info takes " : "give ") +
            (o.input.pattern
                 ? (o.info ? "no INPUT besides --stack" : "OUTPUT after --stack PATTERN")
                 : (o.info ? "one INPUT" : "INPUT and OUTPUT")) +
            " (see --help)");
    if (!o.input.pattern) o.input.path = positional.front();
    if (!o.info) o.output = positional.back();
    return o;
}

const char *help_text() {
    return help;
}

} // namespace convert
