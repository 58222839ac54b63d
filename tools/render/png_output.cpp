#include "tools/render/png_output.h"

#include "tools/render/files.h"

// stb_image_write's PNG encoder, compiled into this file alone: the same
// source and its own deflate on every build, so every build writes the same
// bytes, and the Windows program needs no library beyond the system's.
#define STB_IMAGE_WRITE_STATIC
#define STB_IMAGE_WRITE_IMPLEMENTATION
#define STBI_WRITE_NO_STDIO
#include <stb_image_write.h>

namespace render {

bool write_png(const std::string &path, const Image &image, std::string *error) {
    std::vector<unsigned char> bytes;
    const auto append = [](void *context, void *data, int size) {
        auto *out = static_cast<std::vector<unsigned char> *>(context);
        out->insert(out->end(), static_cast<unsigned char *>(data),
                    static_cast<unsigned char *>(data) + size);
    };
    if (!stbi_write_png_to_func(append, &bytes, image.width, image.height, image.channels,
                                image.pixels.data(), image.width * image.channels)) {
        *error = "the image could not be encoded";
        return false;
    }
    return write_whole_file(path_of(path), bytes, error);
}

} // namespace render
