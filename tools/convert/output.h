// The files of a converted volume: their names, and writing them so that a
// failed or interrupted conversion leaves none of them behind.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace convert {

struct OutputNames {
    std::vector<std::string> volume_files; // the block file, or one file per slice
    std::string scene;                     // OUTPUT.mi
};

// The names for OUTPUT (a trailing .raw, .bmp or .mi is dropped): OUTPUT.raw
// for a block, OUTPUT_0000.raw (or .bmp) on for a series, the running number
// just before the first '.' of the name, and OUTPUT.mi. Throws Failure (2)
// when a folder of OUTPUT has a '.' in its name, since the library numbers
// a series at the first '.' of the whole path.
OutputNames output_names(const std::string &output, bool series, const char *extension,
                         int64_t slices);

// Writes file i of `names.volume_files` with the bytes `volume_file(i)`
// gives, then the scene text, each under a temporary name; renames them all
// once every one is written. On failure, or on SIGINT or SIGTERM, removes
// what it wrote and throws Failure (1).
void write_outputs(const OutputNames &names,
                   const std::function<std::vector<unsigned char>(size_t file)> &volume_file,
                   const std::string &scene_text, const std::function<void(double)> &progress);

} // namespace convert
