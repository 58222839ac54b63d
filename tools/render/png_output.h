// Images as the views draw them, written as PNG files.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace render {

// 8-bit pixels, row after row from the top, `channels` bytes each: 1 grey,
// 3 red, green, blue.
struct Image {
    int width = 0, height = 0, channels = 1;
    std::vector<uint8_t> pixels;

    Image() = default;
    Image(int width, int height, int channels)
        : width(width), height(height), channels(channels),
          pixels(size_t(width) * height * channels, 0) {}
    uint8_t *row(int y) { return pixels.data() + size_t(y) * width * channels; }
};

// Writes `image` to `path` (UTF-8), whole or not at all. False, with `error`
// set to the reason, when the file cannot be written.
bool write_png(const std::string &path, const Image &image, std::string *error);

} // namespace render
