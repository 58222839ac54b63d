// Real BMP files through the stand-in renderer: fixtures written by Pillow
// and ImageMagick (tests/fixtures/bmp, see its README), and the public BMP
// conformance suite in the shared test data folder, where present.
#include <cstring>
#include <map>
#include <set>

#include "support/test_support.h"

using testing_support::Bytes;

namespace fs = std::filesystem;

namespace {

// The picture the fixtures hold (make_fixtures.sh): pixel (column c, row r
// counted from the top) of slice k, as red, green, blue.
void picture_rgb(int k, int c, int r, int rgb[3]) {
    rgb[0] = (37 * c + 11 * r + 50 * k) % 256;
    rgb[1] = (23 * r + 7 * c + 90 * k + 5) % 256;
    rgb[2] = (13 * c * r + 3 + 70 * k) % 256;
}

using BmpFiles = testing_support::RendererTest;

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
        // Copied into the scratch folder as s099.bmp, s100.bmp: the series
        // runs on through the carry.
        std::string name = c.first;
        for (int z = 0; z < c.slices; ++z) {
            const Bytes bytes = testing_support::read_file(fixtures / name);
            ASSERT_FALSE(bytes.empty()) << fixtures / name;
            write("s" + std::to_string(99 + z + 1000).substr(1) + ".bmp", bytes);
            name[name.size() - 5] = char('1' + z);
        }
        const std::string first = (folder / "s099.bmp").string();
        auto instance = load_bmp(first, c.slices);
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
        expect_name_restored(*instance, first);
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
    const uint64_t picture_digest = 0x02b2eb409fb10057ull; // FNV-1a of the slice

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
                const Bytes bytes = testing_support::read_file(entry.path());
                ASSERT_GE(bytes.size(), 30u) << relative;
                const int16_t bit_count = int16_t(bytes[28] | bytes[29] << 8);
                ASSERT_NE(bit_count, 24) << relative;
                expected = "?bitcount= " + std::to_string(bit_count);
            }
            const size_t at = expected.find("%s");
            if (at != std::string::npos) expected.replace(at, 2, path);

            auto instance = load_bmp(path, 1);
            EXPECT_STREQ(instance->filename_text(), path.c_str()) << relative;
            EXPECT_EQ(renderer.log().infos().size(), 1u) << relative;
            const VolumeData *volume = instance->volume();
            if (expected.empty()) {
                ++loaded;
                EXPECT_TRUE(renderer.log().errors().empty()) << relative;
                EXPECT_EQ(volume->width, 127) << relative;
                EXPECT_EQ(volume->height, 64) << relative;
                EXPECT_EQ(testing_support::fnv1a(slice(*instance, 0)), picture_digest) << relative;
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
