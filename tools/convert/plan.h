// Which of the library's six sources a volume becomes, and the samples it is
// written with: copied as they are, or rescaled from a window.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "sample/sample_exchange.h"
#include "tools/convert/volume.h"

namespace convert {

// The sources by file type code (the `filetype` parameter): the library's
// facts of each file type, and the values the converter writes into it.
struct SourceFacts {
    const char *name;
    int lowest, highest; // the sample values the source holds
    float divisor;       // the lookup returns the sample divided by this
    bool series;         // one file per slice
    int sample_bytes;    // in the file
};
constexpr int source_count = FILE_TYPE_COUNT;
extern const SourceFacts sources[source_count];
enum { BMP_SOURCE = 0, U16_SERIES_SOURCE = 1, U12_BLOCK_SOURCE = 4, S16_SOURCE = 5 };
// The code of a source name ("u12-block") or number ("4"), or -1.
int source_code(const std::string &name);

// --window: none (the data's own minimum and maximum), LOW,HIGH, or auto
// (the 0.5 and 99.5 percentiles).
struct WindowChoice {
    enum Kind { data_range, given, percentiles } kind = data_range;
    double low = 0, high = 0;
};

// The finite values of every component (none: min > max).
struct ValueRange {
    double min = 1, max = 0;
    bool empty() const { return min > max; }
};
ValueRange value_range(const Volume &volume);

struct Plan {
    int source = -1;
    bool rescale = false; // values mapped from [low, high] onto the source's 0..highest
    double low = 0, high = 1;
    std::string how;  // "values as they are", "rescaled from -10 to 30"
    std::string note; // said to the user, or empty
};

// The plan for `volume`, whose values span `range`; `to` is the forced
// source code or -1. Throws Failure: 2 where the arguments do not fit the
// data, 1 where the data cannot become a volume at all.
Plan choose_plan(const Volume &volume, const ValueRange &range, int to, const WindowChoice &window);

// Why `volume` cannot become a volume (2D, vector samples, no voxels), or empty.
std::string refusal(const Volume &volume);

// Slice z of the output as its file holds it: 8-bit samples, 16-bit
// little-endian samples, or a 24-bit BMP file whose top row is row 0.
std::vector<unsigned char> slice_bytes(const Volume &volume, const Plan &plan, int64_t z);

// A sample value as the plan writes it (rescaled values rounded and clamped).
double output_value(const Plan &plan, double value);

} // namespace convert
