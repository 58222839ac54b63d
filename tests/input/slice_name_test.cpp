// The running number of a slice series' file names, raised in place.
#include <gtest/gtest.h>

#include <string>

#include "input/volume_input.h"

namespace {

std::string advanced(std::string name) {
    const size_t dot = name.find('.');
    if (dot != std::string::npos) nimbrel::advance_slice_name(&name[0], dot);
    return name;
}

TEST(SliceName, RaisesTheFourCharactersBeforeTheFirstDot) {
    const struct {
        const char *from, *to;
    } cases[] = {
        {"head_0098.raw", "head_0099.raw"},
        {"head_0099.raw", "head_0100.raw"},
        {"a9.bmp", "b0.bmp"},
        {"x9999.raw", "x0000.raw"}, // the carry stops after four places
        {"9.raw", "0.raw"},         // and at the start of the name
        {"99.raw", "00.raw"},
        {"vol19999.raw", "vol10000.raw"},
        {"slice.bmp", "slicf.bmp"}, // not checked to be a digit
        {"run.7/s001.raw", "ruo.7/s001.raw"},
        {"a9/x9999/9/slice.bmp", "a9/x9999/9/slicf.bmp"},
        {"ab/9.raw", "ab00.raw"}, // '/' is raised like any character
        {".raw", ".raw"},         // nothing before the dot
    };
    for (const auto &c : cases)
        EXPECT_EQ(advanced(c.from), c.to) << c.from;
}

} // namespace
