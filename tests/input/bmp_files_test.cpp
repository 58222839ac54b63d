// Real BMP files through the stand-in renderer: fixtures written by Pillow
// and ImageMagick (tests/fixtures/bmp, see its README), and the public BMP
// conformance suite in the shared test data folder, where present.
#include <cmath>
#include <cstdio>
#include <cstring>
#include <map>
#include <set>

#include "support/bmp_test.h"

using bmp_writer::Bytes;

namespace fs = std::filesystem;

namespace {

// The picture the fixtures hold (make_fixtures.sh): pixel (column c, row r
// counted from the top) of slice k, as red, green, blue.
void picture_rgb(int k, int c, int r, int rgb[3]) {
    rgb[0] = (37 * c + 11 * r + 50 * k) % 256;
    rgb[1] = (23 * r + 7 * c + 90 * k + 5) % 256;
    rgb[2] = (13 * c * r + 3 + 70 * k) % 256;
}

Bytes read_whole(const fs::path &path) {
    Bytes bytes;
    FILE *file = fopen(path.string().c_str(), "rb");
    if (!file) return bytes;
    unsigned char buffer[4096];
    size_t got;
    while ((got = fread(buffer, 1, sizeof buffer, file)) > 0)
        bytes.insert(bytes.end(), buffer, buffer + got);
    fclose(file);
    return bytes;
}

// SHA-256 (FIPS 180-4) of `data`, as lower-case hex.
std::string sha256(const Bytes &data) {
    static const uint32_t k[64] = {
        0x428a2f98, 0x71374491, 0xb5c0fbcf, 0xe9b5dba5, 0x3956c25b, 0x59f111f1, 0x923f82a4,
        0xab1c5ed5, 0xd807aa98, 0x12835b01, 0x243185be, 0x550c7dc3, 0x72be5d74, 0x80deb1fe,
        0x9bdc06a7, 0xc19bf174, 0xe49b69c1, 0xefbe4786, 0x0fc19dc6, 0x240ca1cc, 0x2de92c6f,
        0x4a7484aa, 0x5cb0a9dc, 0x76f988da, 0x983e5152, 0xa831c66d, 0xb00327c8, 0xbf597fc7,
        0xc6e00bf3, 0xd5a79147, 0x06ca6351, 0x14292967, 0x27b70a85, 0x2e1b2138, 0x4d2c6dfc,
        0x53380d13, 0x650a7354, 0x766a0abb, 0x81c2c92e, 0x92722c85, 0xa2bfe8a1, 0xa81a664b,
        0xc24b8b70, 0xc76c51a3, 0xd192e819, 0xd6990624, 0xf40e3585, 0x106aa070, 0x19a4c116,
        0x1e376c08, 0x2748774c, 0x34b0bcb5, 0x391c0cb3, 0x4ed8aa4a, 0x5b9cca4f, 0x682e6ff3,
        0x748f82ee, 0x78a5636f, 0x84c87814, 0x8cc70208, 0x90befffa, 0xa4506ceb, 0xbef9a3f7,
        0xc67178f2};
    uint32_t h[8] = {0x6a09e667, 0xbb67ae85, 0x3c6ef372, 0xa54ff53a,
                     0x510e527f, 0x9b05688c, 0x1f83d9ab, 0x5be0cd19};
    Bytes message = data;
    const uint64_t bits = uint64_t(data.size()) * 8;
    message.push_back(0x80);
    while (message.size() % 64 != 56)
        message.push_back(0);
    for (int i = 7; i >= 0; --i)
        message.push_back(static_cast<unsigned char>(bits >> (8 * i)));
    auto rotr = [](uint32_t x, int n) { return (x >> n) | (x << (32 - n)); };
    for (size_t block = 0; block < message.size(); block += 64) {
        uint32_t w[64];
        for (int i = 0; i < 16; ++i)
            w[i] = uint32_t(message[block + 4 * i]) << 24 |
                   uint32_t(message[block + 4 * i + 1]) << 16 |
                   uint32_t(message[block + 4 * i + 2]) << 8 | message[block + 4 * i + 3];
        for (int i = 16; i < 64; ++i) {
            const uint32_t s0 = rotr(w[i - 15], 7) ^ rotr(w[i - 15], 18) ^ (w[i - 15] >> 3);
            const uint32_t s1 = rotr(w[i - 2], 17) ^ rotr(w[i - 2], 19) ^ (w[i - 2] >> 10);
            w[i] = w[i - 16] + s0 + w[i - 7] + s1;
        }
        uint32_t a = h[0], b = h[1], c = h[2], d = h[3], e = h[4], f = h[5], g = h[6], hh = h[7];
        for (int i = 0; i < 64; ++i) {
            const uint32_t t1 =
                hh + (rotr(e, 6) ^ rotr(e, 11) ^ rotr(e, 25)) + ((e & f) ^ (~e & g)) + k[i] + w[i];
            const uint32_t t2 =
                (rotr(a, 2) ^ rotr(a, 13) ^ rotr(a, 22)) + ((a & b) ^ (a & c) ^ (b & c));
            hh = g;
            g = f;
            f = e;
            e = d + t1;
            d = c;
            c = b;
            b = a;
            a = t1 + t2;
        }
        h[0] += a, h[1] += b, h[2] += c, h[3] += d, h[4] += e, h[5] += f, h[6] += g, h[7] += hh;
    }
    char hex[65];
    for (int i = 0; i < 8; ++i)
        snprintf(hex + 8 * i, 9, "%08x", h[i]);
    return hex;
}

TEST(Sha256, KnownDigests) {
    EXPECT_EQ(sha256({}), "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855");
    EXPECT_EQ(sha256({'a', 'b', 'c'}),
              "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
}

class BmpFiles : public bmp_writer::BmpTest {};

// Every voxel of each fixture is the picture's pixel at the same column and
// row, rows counted from the top, bytes blue, green, red; lookups answer it.
TEST_F(BmpFiles, PillowAndImageMagickFilesLoadAsThePicture) {
    const struct {
        const char *first;
        int slices, width, height;
    } cases[] = {
        {"pillow7x4_0000.bmp", 2, 7, 4},
        {"pillow5x3_0000.bmp", 1, 5, 3},
        {"magick7x4_0000.bmp", 2, 7, 4},
        {"magick6x5_0000.bmp", 1, 6, 5},
    };
    const fs::path fixtures = fs::path(NIMBREL_FIXTURES) / "bmp";
    for (const auto &c : cases) {
        // Copied beside each other into the scratch folder, whose path has no '.'.
        std::string name = c.first;
        for (int z = 0; z < c.slices; ++z) {
            const Bytes bytes = read_whole(fixtures / name);
            ASSERT_FALSE(bytes.empty()) << fixtures / name;
            write(name, bytes);
            name[name.size() - 5] = char('1' + z);
        }
        renderer.log().clear();
        auto instance = load((folder / c.first).string(), c.slices);
        ASSERT_TRUE(renderer.log().errors().empty())
            << c.first << ": " << renderer.log().errors()[0];
        const VolumeData *volume = instance->volume();
        EXPECT_EQ(volume->width, c.width) << c.first;
        EXPECT_EQ(volume->height, c.height) << c.first;
        for (int z = 0; z < c.slices; ++z) {
            const Bytes voxels = slice(*instance, z);
            ASSERT_EQ(voxels.size(), size_t(3 * c.width * c.height)) << c.first << " slice " << z;
            const float scale = float(c.width - 1);
            for (int y = 0; y < c.height; ++y)
                for (int x = 0; x < c.width; ++x) {
                    int rgb[3];
                    picture_rgb(z, x, y, rgb);
                    const size_t at = 3 * (size_t(y) * c.width + x);
                    EXPECT_EQ(voxels[at], rgb[2]) << c.first << " " << x << "," << y << "," << z;
                    EXPECT_EQ(voxels[at + 1], rgb[1])
                        << c.first << " " << x << "," << y << "," << z;
                    EXPECT_EQ(voxels[at + 2], rgb[0])
                        << c.first << " " << x << "," << y << "," << z;
                    const miColor colour =
                        instance->lookup(state, {x / scale, y / scale, z / scale});
                    EXPECT_EQ(colour.r, float(rgb[0]) / 255.0f) << c.first << " " << x << "," << y;
                    EXPECT_EQ(colour.g, float(rgb[1]) / 255.0f) << c.first << " " << x << "," << y;
                    EXPECT_EQ(colour.b, float(rgb[2]) / 255.0f) << c.first << " " << x << "," << y;
                }
        }
        instance->exit(state);
    }
}

// The public BMP conformance suite: every file loads or is rejected cleanly
// (one message, nothing left after exit, the name text restored), as its
// README says a reader that accepts only uncompressed 24-bit files should;
// the loadable ones hold the README's picture.
TEST_F(BmpFiles, ConformanceSuiteLoadsOrIsRejectedCleanly) {
    const fs::path suite = fs::path(NIMBREL_TESTDATA) / "bmpsuite";
    if (!fs::is_directory(suite))
        GTEST_SKIP() << "the BMP conformance suite is not at " << suite
                     << " (the shared test data folder beside the clone); nothing checked";
    const fs::path root = fs::canonical(suite);

    const std::set<std::string> loadable = {"g/rgb24.bmp", "g/rgb24pal.bmp", "q/rgb24largepal.bmp",
                                            "q/rgb24lprof.bmp"};
    std::map<std::string, std::string> messages = {
        {"q/rgb24rle24.bmp", "pixel area of %s too small: 21354 bytes, need 24573"},
        {"b/reallybig.bmp", "bad bitmap shape 3000000 x 2000000 in %s"},
        {"b/ba-bm.bmp", "file doesn't have bitmap ID code"},
    };
    const std::string picture_sha256 =
        "c575530182b4c57c91aa26d3bf143eb3ee3722ab2085290e93bcba9c3ad44909";

    int files = 0, loaded = 0;
    for (const char *group : {"g", "q", "b"}) {
        for (const auto &entry : fs::directory_iterator(root / group)) {
            const std::string relative =
                std::string(group) + "/" + entry.path().filename().string();
            const std::string path = entry.path().string();
            ++files;
            std::string expected;
            if (messages.count(relative)) {
                expected = messages[relative];
            } else if (!loadable.count(relative)) {
                // Every other file is rejected on its bit count, read here
                // as the signed 16-bit field at byte 28.
                const Bytes bytes = read_whole(entry.path());
                ASSERT_GE(bytes.size(), 30u) << relative;
                const int16_t bit_count = int16_t(bytes[28] | bytes[29] << 8);
                ASSERT_NE(bit_count, 24) << relative;
                expected = "?bitcount= " + std::to_string(bit_count);
            }
            const size_t at = expected.find("%s");
            if (at != std::string::npos) expected.replace(at, 2, path);

            renderer.log().clear();
            auto instance = load(path, 1);
            EXPECT_STREQ(instance->filename_text(), path.c_str()) << relative;
            EXPECT_EQ(renderer.log().infos().size(), 1u) << relative;
            const VolumeData *volume = instance->volume();
            if (expected.empty()) {
                ++loaded;
                EXPECT_TRUE(renderer.log().errors().empty()) << relative;
                EXPECT_EQ(volume->width, 127) << relative;
                EXPECT_EQ(volume->height, 64) << relative;
                EXPECT_EQ(sha256(slice(*instance, 0)), picture_sha256) << relative;
                // Corners as the README gives them (red, green, blue); the
                // top of the picture is row 0. Coordinates scale by 126.
                const struct {
                    float x, y;
                    float r, g, b;
                } corners[] = {{0, 0, 255, 0, 0},
                               {1, 0, 159, 159, 189},
                               {0, 63.0f / 126.0f, 0, 0, 0},
                               {1, 63.0f / 126.0f, 96, 96, 126}};
                for (const auto &corner : corners) {
                    const miColor c = instance->lookup(state, {corner.x, corner.y, 0});
                    EXPECT_EQ(c.r, corner.r / 255.0f)
                        << relative << " " << corner.x << "," << corner.y;
                    EXPECT_EQ(c.g, corner.g / 255.0f)
                        << relative << " " << corner.x << "," << corner.y;
                    EXPECT_EQ(c.b, corner.b / 255.0f)
                        << relative << " " << corner.x << "," << corner.y;
                }
            } else {
                EXPECT_EQ(renderer.log().errors(), std::vector<std::string>{expected}) << relative;
                EXPECT_EQ(slice(*instance, 0), Bytes{}) << relative;
                for (float element : volume->mapping)
                    EXPECT_EQ(element, 0.0f) << relative;
            }
            instance->exit(state);
            EXPECT_EQ(renderer.allocator().live_blocks(), 0u) << relative;
        }
    }
    EXPECT_EQ(files, 89); // as the suite's README counts them
    EXPECT_EQ(loaded, 4);
}

} // namespace
