// Writes the seed corpora of the three fuzz targets into FOLDER/bmp_series,
// FOLDER/raw_sources and FOLDER/lookups: small generated volumes and, when a
// BMP suite folder is given, each of its files as a one-slice series (read
// from there; nothing of it is kept elsewhere).
//
//     nimbrel-fuzz-seeds FOLDER [BMP_SUITE_FOLDER]
#include <cmath>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <limits>
#include <string>

#include "fuzz/fuzz_inputs.h"

namespace fs = std::filesystem;
using Bytes = std::vector<uint8_t>;

namespace {

int written = 0;

void save(const fs::path &folder, const std::string &name, const Bytes &bytes) {
    fs::create_directories(folder);
    std::ofstream(folder / name, std::ios::binary)
        .write(reinterpret_cast<const char *>(bytes.data()), std::streamsize(bytes.size()));
    ++written;
}

Bytes concat(std::initializer_list<Bytes> parts, uint8_t last) {
    Bytes all;
    for (const Bytes &part : parts)
        all.insert(all.end(), part.begin(), part.end());
    all.push_back(last);
    return all;
}

void bmp_seeds(const fs::path &folder, const char *suite) {
    const int shapes[][2] = {{1, 1}, {2, 2}, {3, 2}, {4, 1}, {5, 3}, {7, 4}};
    for (const auto &s : shapes) {
        const std::string shape = std::to_string(s[0]) + "x" + std::to_string(s[1]);
        const Bytes one = fuzz::bmp_file(s[0], s[1]);
        save(folder, "one-" + shape, concat({one}, 0x00));
        save(folder, "copies3-" + shape, concat({one}, 0x0a));
        save(folder, "split2-" + shape, concat({one, fuzz::bmp_file(s[0], s[1], 1)}, 0x01));
        save(folder, "missing-" + shape, concat({one}, 0x04));
    }
    Bytes top_down = fuzz::bmp_file(3, 2);
    fuzz::put_le(top_down, 22, uint32_t(-2), 4);
    save(folder, "top-down", concat({top_down}, 0x00));
    // A 124-byte information header: the pixel area starts at byte 138.
    Bytes v5 = fuzz::bmp_file(3, 2);
    v5.insert(v5.begin() + 54, 84, 0);
    fuzz::put_le(v5, 10, 138, 4);
    fuzz::put_le(v5, 14, 124, 4);
    save(folder, "header124", concat({v5}, 0x00));
    Bytes unlike = concat({fuzz::bmp_file(2, 2), fuzz::bmp_file(3, 1)}, 0x01);
    save(folder, "unlike-shapes", unlike);

    if (!suite || !fs::is_directory(suite)) return;
    for (const auto &entry : fs::recursive_directory_iterator(suite)) {
        if (!entry.is_regular_file() || entry.path().extension() != ".bmp") continue;
        std::ifstream in(entry.path(), std::ios::binary);
        Bytes bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
        bytes.push_back(0x00);
        save(folder,
             "suite-" + entry.path().parent_path().filename().string() + "-" +
                 entry.path().filename().string(),
             bytes);
    }
}

void raw_seeds(const fs::path &folder) {
    // Head: type index (0..4 = types 1..5), width 1 + (b & 15), height, slices, flags.
    for (uint8_t type = 0; type < 7; ++type) {
        for (uint8_t flags : {0x00, 0x01, 0x04, 0x08, 0x0c, 0x02}) {
            const int width = 4, height = 3, depth = 3;
            const size_t sample = type == 2 ? 1 : 2;
            const Bytes body = fuzz::raw_bytes(size_t(width * height * depth) * sample + 7, type);
            Bytes input = {type, uint8_t(width - 1), uint8_t(height - 1), uint8_t(depth), flags};
            input.insert(input.end(), body.begin(), body.end());
            char name[32];
            snprintf(name, sizeof name, "type%d-flags%02x", type, flags);
            save(folder, name, input);
        }
    }
    save(folder, "extreme-width", Bytes{3, 0x83, 2, 2, 0, 1, 2, 3, 4, 5, 6, 7, 8});
    save(folder, "negative-slices", Bytes{4, 3, 3, 0x81, 0, 9, 9, 9});
    save(folder, "empty-body", Bytes{0, 3, 3, 2, 0});
}

void put_float(Bytes &bytes, float value) {
    uint32_t bits;
    memcpy(&bits, &value, sizeof bits);
    for (int i = 0; i < 4; ++i)
        bytes.push_back(uint8_t(bits >> (8 * i)));
}

void put_int(Bytes &bytes, int32_t value) {
    for (int i = 0; i < 4; ++i)
        bytes.push_back(uint8_t(uint32_t(value) >> (8 * i)));
}

void lookup_seeds(const fs::path &folder) {
    const float inf = std::numeric_limits<float>::infinity();
    const float nan = std::numeric_limits<float>::quiet_NaN();
    const float coords[][3] = {{0.5f, 0.5f, 0.5f},  {0.0f, 0.0f, 0.0f},   {1.0f, 1.0f, 1.0f},
                               {0.25f, 0.4f, 0.9f}, {nan, 0.5f, 0.5f},    {inf, -inf, 0.0f},
                               {1e30f, 0.5f, 0.5f}, {0.75f, 0.999f, 0.0f}};
    const int kinds = 30;
    for (int kind = 0; kind < kinds; ++kind) {
        Bytes input = {uint8_t(kind)};
        for (int i = 0; i < 8; ++i) {
            const float *c = coords[i];
            // Modes in turn; every fourth lookup forced to OFFSET with stencil 4.
            input.push_back(uint8_t((i % 3) << 1 | (i % 4 == 3 ? 0x18 : 0)));
            for (int a = 0; a < 3; ++a)
                put_float(input, c[a]);
            put_int(input, 0);
            put_int(input, 0);
            for (float v : {1.0f, -1.0f, 0.5f})
                put_float(input, v);
            put_int(input, 0);
            put_int(input, 0);
        }
        save(folder, "kind" + std::to_string(kind), input);
    }
}

} // namespace

int main(int argc, char **argv) {
    if (argc < 2) {
        fprintf(stderr, "usage: %s FOLDER [BMP_SUITE_FOLDER]\n", argv[0]);
        return 2;
    }
    const fs::path folder = argv[1];
    bmp_seeds(folder / "bmp_series", argc > 2 ? argv[2] : nullptr);
    raw_seeds(folder / "raw_sources");
    lookup_seeds(folder / "lookups");
    printf("%d seeds written to %s\n", written, folder.c_str());
    return 0;
}
