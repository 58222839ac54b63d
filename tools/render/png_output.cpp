#include "tools/render/png_output.h"

#include <png.h>

namespace render {

bool write_png(const std::string &path, const Image &image, std::string *error) {
    png_image png = {};
    png.version = PNG_IMAGE_VERSION;
    png.width = static_cast<png_uint_32>(image.width);
    png.height = static_cast<png_uint_32>(image.height);
    png.format = image.channels == 3 ? PNG_FORMAT_RGB : PNG_FORMAT_GRAY;
    const png_int_32 stride = image.width * image.channels;
    if (png_image_write_to_file(&png, path.c_str(), 0, image.pixels.data(), stride, nullptr))
        return true;
    *error = png.message;
    png_image_free(&png);
    return false;
}

} // namespace render
