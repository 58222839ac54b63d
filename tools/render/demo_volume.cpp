#include "tools/render/demo_volume.h"

#include "tools/render/files.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <functional>
#include <stdexcept>
#include <system_error>
#include <vector>

namespace render {
namespace {

namespace fs = std::filesystem;

// One ellipsoid of the phantom; later ones are painted over earlier ones.
struct Ellipsoid {
    float centre[3];
    float radii[3];
    int value;            // 12-bit sample
    unsigned char rgb[3]; // colour in the BMP series
};

// A head seen from the front along +w: scalp, skull, grey and white matter,
// ventricles, two lesions brighter than bone (they stand out in a maximum-
// intensity projection), eye sockets, eyes, nose, ears and a neck.
const Ellipsoid phantom[] = {
    {{0.00f, 0.02f, 0.00f}, {0.70f, 0.92f, 0.80f}, 1100, {225, 172, 140}}, // scalp and face
    {{0.00f, 0.95f, 0.10f}, {0.36f, 0.30f, 0.36f}, 1100, {225, 172, 140}}, // neck
    {{0.71f, 0.00f, 0.05f}, {0.05f, 0.14f, 0.08f}, 1100, {225, 172, 140}}, // ears
    {{-0.71f, 0.00f, 0.05f}, {0.05f, 0.14f, 0.08f}, 1100, {225, 172, 140}},
    {{0.00f, 0.17f, -0.80f}, {0.07f, 0.17f, 0.12f}, 1100, {225, 172, 140}}, // nose
    {{0.00f, -0.05f, 0.02f}, {0.64f, 0.82f, 0.74f}, 3500, {240, 235, 215}}, // skull
    {{0.00f, -0.07f, 0.03f}, {0.58f, 0.75f, 0.68f}, 1800, {190, 120, 130}}, // grey matter
    {{0.00f, -0.07f, 0.03f}, {0.48f, 0.63f, 0.56f}, 2100, {230, 190, 190}}, // white matter
    {{0.10f, -0.15f, 0.05f}, {0.07f, 0.20f, 0.25f}, 600, {80, 130, 220}},   // ventricles
    {{-0.10f, -0.15f, 0.05f}, {0.07f, 0.20f, 0.25f}, 600, {80, 130, 220}},
    {{0.22f, -0.35f, 0.25f}, {0.07f, 0.07f, 0.07f}, 3900, {250, 200, 40}}, // lesions
    {{-0.25f, -0.45f, -0.20f}, {0.05f, 0.05f, 0.05f}, 4000, {250, 120, 30}},
    {{0.25f, -0.02f, -0.76f}, {0.14f, 0.10f, 0.15f}, 0, {0, 0, 0}}, // eye sockets
    {{-0.25f, -0.02f, -0.76f}, {0.14f, 0.10f, 0.15f}, 0, {0, 0, 0}},
    {{0.25f, -0.02f, -0.68f}, {0.09f, 0.09f, 0.09f}, 1500, {245, 245, 245}}, // eyes
    {{-0.25f, -0.02f, -0.68f}, {0.09f, 0.09f, 0.09f}, 1500, {245, 245, 245}},
};

// How far (u, v, w) lies inside `e`: 1 well inside, 0 well outside, and a
// smooth step `edge` wide across the surface, which keeps the surface free of
// the voxel grid's steps when it is interpolated and lit.
float coverage(const Ellipsoid &e, float u, float v, float w, float edge) {
    const float du = (u - e.centre[0]) / e.radii[0];
    const float dv = (v - e.centre[1]) / e.radii[1];
    const float dw = (w - e.centre[2]) / e.radii[2];
    const float distance = std::sqrt(du * du + dv * dv + dw * dw);
    const float radius = (e.radii[0] + e.radii[1] + e.radii[2]) / 3.0f;
    const float t = std::clamp((1.0f - distance) * radius / edge + 0.5f, 0.0f, 1.0f);
    return t * t * (3.0f - 2.0f * t);
}

constexpr int block_size = 128;
constexpr int header_bytes = 64;
constexpr int bmp_width = 126, bmp_height = 126, bmp_slices = 126; // rows padded by 2 bytes

// Normalised coordinate of voxel i of n along an axis: -1 to 1.
float normalised(int i, int n) {
    return n > 1 ? 2.0f * i / (n - 1) - 1.0f : 0.0f;
}

void put32(std::vector<unsigned char> &bytes, size_t at, uint32_t value) {
    for (int i = 0; i < 4; ++i)
        bytes[at + i] = static_cast<unsigned char>(value >> (8 * i));
}

std::vector<unsigned char> block_file() {
    std::vector<unsigned char> bytes(
        header_bytes + 2 * size_t(block_size) * block_size * block_size, 0);
    char header[header_bytes + 1];
    snprintf(header, sizeof header, "nimbrel demo head, u12 block %dx%dx%d, little-endian",
             block_size, block_size, block_size);
    std::fill(bytes.begin(), bytes.begin() + header_bytes, ' ');
    std::copy(header, header + strlen(header), bytes.begin());
    bytes[header_bytes - 1] = '\n';
    const float edge = 3.0f * 2.0f / (block_size - 1); // three voxels
    size_t at = header_bytes;
    for (int z = 0; z < block_size; ++z)
        for (int y = 0; y < block_size; ++y)
            for (int x = 0; x < block_size; ++x, at += 2) {
                const int value =
                    phantom_value(normalised(x, block_size), normalised(y, block_size),
                                  normalised(z, block_size), edge);
                bytes[at] = static_cast<unsigned char>(value & 0xff);
                bytes[at + 1] = static_cast<unsigned char>(value >> 8);
            }
    return bytes;
}

constexpr size_t bmp_file_bytes =
    54 + size_t(3 * bmp_width + (4 - 3 * bmp_width % 4) % 4) * bmp_height;

// One 24-bit BMP slice: rows padded to 4 bytes, stored bottom row first, so
// that the library's slice row 0 is the top of the picture.
std::vector<unsigned char> bmp_file(int z) {
    const int row_bytes = 3 * bmp_width, pad = (4 - row_bytes % 4) % 4;
    const uint32_t image_size = uint32_t(row_bytes + pad) * bmp_height;
    std::vector<unsigned char> bytes(54 + image_size, 0);
    bytes[0] = 'B';
    bytes[1] = 'M';
    put32(bytes, 2, uint32_t(bytes.size()));
    put32(bytes, 10, 54);
    put32(bytes, 14, 40);
    put32(bytes, 18, bmp_width);
    put32(bytes, 22, bmp_height);
    bytes[26] = 1;  // planes
    bytes[28] = 24; // bits per pixel
    put32(bytes, 34, image_size);
    const float edge = 3.0f * 2.0f / (bmp_slices - 1); // three voxels
    for (int stored = 0; stored < bmp_height; ++stored) {
        const int y = bmp_height - 1 - stored;
        unsigned char *row = &bytes[54 + size_t(stored) * (row_bytes + pad)];
        for (int x = 0; x < bmp_width; ++x)
            phantom_colour(normalised(x, bmp_width), normalised(y, bmp_height),
                           normalised(z, bmp_slices), edge, row + 3 * x);
    }
    return bytes;
}

// Writes the bytes that `make` returns to `path`, whole or not at all,
// unless a file of `size` bytes is there already. A run beside this one may
// write the same file at the same time (and on Windows hold it open, so
// that it cannot be replaced): its whole file serves as well.
void write_cached(const fs::path &path, size_t size,
                  const std::function<std::vector<unsigned char>()> &make) {
    const auto cached = [&] {
        std::error_code error;
        return fs::file_size(path, error) == size && !error;
    };
    if (cached()) return;
    std::string error;
    if (!write_whole_file(path, make(), &error) && !cached())
        throw std::runtime_error("cannot write " + name_of(path) + ": " + error);
}

} // namespace

int phantom_value(float u, float v, float w, float edge) {
    float value = 0.0f;
    for (const Ellipsoid &e : phantom) {
        const float c = coverage(e, u, v, w, edge);
        value += c * (e.value - value);
    }
    return static_cast<int>(std::lround(value));
}

void phantom_colour(float u, float v, float w, float edge, unsigned char bgr[3]) {
    float rgb[3] = {0.0f, 0.0f, 0.0f};
    for (const Ellipsoid &e : phantom) {
        const float c = coverage(e, u, v, w, edge);
        for (int i = 0; i < 3; ++i)
            rgb[i] += c * (e.rgb[i] - rgb[i]);
    }
    for (int i = 0; i < 3; ++i)
        bgr[2 - i] = static_cast<unsigned char>(std::lround(rgb[i]));
}

std::string default_cache_folder() {
    const char *xdg = getenv("XDG_CACHE_HOME");
    if (xdg && *xdg) return name_of(path_of(xdg) / "nimbrel");
    return name_of(fs::path(".cache") / "nimbrel");
}

DemoFiles write_demo(const std::string &folder) {
    std::error_code error;
    const fs::path base = path_of(folder);
    fs::create_directories(base, error);
    if (error) throw std::runtime_error("cannot create the cache folder " + folder);
    DemoFiles files;
    files.folder = folder;
    files.block = {"head-u12-128.raw", 4, block_size, block_size, block_size};
    write_cached(base / files.block.file,
                 header_bytes + 2 * size_t(block_size) * block_size * block_size, block_file);
    for (int z = 0; z < bmp_slices; ++z) {
        char name[32];
        snprintf(name, sizeof name, "head-colour-%04d.bmp", z);
        write_cached(base / name, bmp_file_bytes, [z] { return bmp_file(z); });
    }
    files.bmp = {"head-colour-0000.bmp", 0, bmp_slices, bmp_width, bmp_height};
    return files;
}

} // namespace render
