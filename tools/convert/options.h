// Command-line options of nimbrel-convert.
#pragma once

#include <string>

#include "tools/convert/plan.h"
#include "tools/convert/volume.h"

namespace convert {

struct Options {
    InputSpec input;
    std::string output; // empty with --info
    bool info = false;
    int frame = -1; // -1: not given
    int to = -1;    // forced source code, -1: chosen from the data
    WindowChoice window;
    std::string library; // empty: beside the program, or the build's
    bool quiet = false;
    bool help = false;
};

// The options of argv[1..argc-1]. Throws Failure (2) on a bad argument.
Options parse_options(int argc, const char *const *argv);

// The --help text.
const char *help_text();

} // namespace convert
