// nimbrel-render as a program. ctest runs it (tests/CMakeLists.txt, through
// run_render_tool.cmake: under Wine on Windows) in one folder, where
// `render_tool_test --write-volumes` has written the volumes first; each run
// NAME leaves NAME.args, NAME.out, NAME.err and its image there. These tests
// then check the images against the library's own lookups, the demo, --info,
// and that the thread count and the build change no pixel.
#include <algorithm>
#include <cmath>
#include <cstring>
#include <functional>
#include <sstream>

#define STB_IMAGE_STATIC
#define STB_IMAGE_IMPLEMENTATION
#define STBI_ONLY_PNG
#include <stb_image.h>

#include "support/bmp_writer.h"
#include "support/test_support.h"
#include "tools/render/options.h"

namespace {

namespace fs = std::filesystem;
using testing_support::Bytes;
using testing_support::read_text;
using testing_support::write_file;

// Sample (x, y, z) of the small volumes: distinct, and spread over 0..top.
int sample(int x, int y, int z, int top) {
    return (x * 37 + y * 101 + z * 211) % (top + 1);
}

// ---- The volumes, written before any run -------------------------------------

// A width x height x depth grid of samples value(x, y, z) in file order:
// bytes, or 16-bit samples in the byte order asked for.
Bytes grid(int width, int height, int depth, int sample_bytes, bool big_endian,
           const std::function<int(int x, int y, int z)> &value) {
    Bytes bytes;
    for (int z = 0; z < depth; ++z)
        for (int y = 0; y < height; ++y)
            for (int x = 0; x < width; ++x) {
                const int s = value(x, y, z);
                if (sample_bytes == 2 && big_endian) bytes.push_back(uint8_t((s >> 8) & 0xff));
                bytes.push_back(uint8_t(s & 0xff));
                if (sample_bytes == 2 && !big_endian) bytes.push_back(uint8_t((s >> 8) & 0xff));
            }
    return bytes;
}

struct BlockVolume {
    const char *file;
    int type, width, height, slices;
};
// The block volumes of the slice runs: a 4-byte header, then little-endian
// 16-bit samples (s16: from -300), or bytes.
constexpr BlockVolume blocks[] = {
    {"u12.raw", 4, 7, 5, 6}, {"u8.raw", 3, 5, 6, 4}, {"s16.raw", 5, 5, 5, 5}};

void write_volumes() {
    for (const BlockVolume &b : blocks) {
        const int top = b.type == 4 ? 4095 : b.type == 3 ? 255 : 1000;
        Bytes bytes =
            grid(b.width, b.height, b.slices, b.type == 3 ? 1 : 2, false, [&](int x, int y, int z) {
                return sample(x, y, z, top) - (b.type == 5 ? 300 : 0);
            });
        bytes.insert(bytes.begin(), {'h', 'e', 'a', 'd'});
        write_file(b.file, bytes);
    }
    for (int z = 0; z < 3; ++z) {
        char name[32];
        snprintf(name, sizeof name, "series%04d.raw", z); // u16 series, 6 x 4
        write_file(name, grid(6, 4, 1, 2, true, [z](int x, int y, int) {
                       return sample(x, y, z, 65535) * 61 % 65536;
                   }));
        std::vector<bmp_writer::Bytes> rows; // colour series, 5 x 4
        snprintf(name, sizeof name, "colour%04d.bmp", z);
        write_file(name, bmp_writer::numbered_file(5, 4, 40 * z, &rows));
    }
    // u8, 6 x 4 x 5, no header
    write_file("block.raw",
               grid(6, 4, 5, 1, false, [](int x, int y, int z) { return sample(x, y, z, 255); }));
    // The same volume under a name with a space and letters outside ASCII,
    // in a folder named alike.
    const fs::path named = fs::u8path(u8"Köpfe und Bäuche/kopf é.raw");
    fs::create_directories(named.parent_path());
    fs::remove(named); // mingw's copy_file does not overwrite
    fs::copy_file("block.raw", named);
    const fs::path greek = fs::u8path(u8"κεφάλι.raw"); // outside Windows-1252
    fs::remove(greek);
    fs::copy_file("block.raw", greek);
    for (int axis = 0; axis < 3; ++axis) // 9^3 ramps along each axis
        write_file(std::string("ramp") + "xyz"[axis] + ".raw",
                   grid(9, 9, 9, 1, false, [axis](int x, int y, int z) {
                       return 30 + 25 * (axis == 0 ? x : axis == 1 ? y : z);
                   }));
    // One field of the current point: every slice at 10 a slice, and every
    // second slice at 20 (read with a coord mapping that doubles z).
    write_file("fine.raw",
               grid(9, 9, 9, 1, false, [](int x, int, int z) { return 10 * x + 10 * z; }));
    write_file("coarse.raw",
               grid(9, 9, 5, 1, false, [](int x, int, int z) { return 10 * x + 20 * z; }));
    write_file("s0000.raw", Bytes(8, 1)); // a series without slice 1
}

// ---- What a run left --------------------------------------------------------------

struct Image {
    int width = 0, height = 0, channels = 0;
    std::vector<uint8_t> pixels;
    uint8_t at(int x, int y, int c) const { return pixels[(size_t(y) * width + x) * channels + c]; }
};

// The PNG file's pixels, grey or RGB as stored; empty when it cannot be read.
Image decode_png(const fs::path &path) {
    const Bytes bytes = testing_support::read_file(path);
    Image image;
    int stored = 0;
    if (bytes.empty() || !stbi_info_from_memory(bytes.data(), int(bytes.size()), &image.width,
                                                &image.height, &stored))
        return image;
    unsigned char *pixels = stbi_load_from_memory(bytes.data(), int(bytes.size()), &image.width,
                                                  &image.height, &stored, stored);
    if (!pixels) return image;
    image.channels = stored;
    image.pixels.assign(pixels, pixels + size_t(image.width) * image.height * stored);
    stbi_image_free(pixels);
    return image;
}

// The run's arguments (one a line), its options as the tool parses them, its
// output and its image.
struct ToolRun {
    std::vector<std::string> args;
    render::Options options;
    std::string out, err;
    Image image;
};

ToolRun read_run(const std::string &name) {
    ToolRun run;
    std::istringstream lines(read_text(name + ".args"));
    std::vector<const char *> argv = {"nimbrel-render"};
    for (std::string line; std::getline(lines, line);)
        run.args.push_back(line);
    for (const std::string &arg : run.args)
        argv.push_back(arg.c_str());
    run.options = render::parse_options(int(argv.size()), argv.data());
    run.out = read_text(name + ".out");
    run.err = read_text(name + ".err");
    if (!run.options.output.empty()) run.image = decode_png(fs::u8path(run.options.output));
    return run;
}

// FNV-1a of the shape and the pixels.
uint64_t digest(const Image &image) {
    Bytes shape;
    for (int v : {image.width, image.height, image.channels})
        for (int i = 0; i < 4; ++i)
            shape.push_back(uint8_t(v >> (8 * i)));
    return testing_support::fnv1a(image.pixels, testing_support::fnv1a(shape));
}

// The runs' folder is the working folder (set by ctest).
using RenderTool = testing_support::RendererTest;

// ---- Slice views equal the lookups -------------------------------------------

TEST_F(RenderTool, SliceViewEqualsTheLookupsPixelByPixel) {
    for (const char *name : {"slice-u12-nearest-z", "slice-u12-trilinear-x", "slice-u12-windowed-y",
                             "slice-u16-series-big-endian", "slice-u8-offset",
                             "slice-s16-wide-window", "slice-bmp-colour"}) {
        SCOPED_TRACE(name);
        const ToolRun run = read_run(name);
        const render::Options &o = run.options;
        ASSERT_FALSE(run.image.pixels.empty());
        // The same lookups in this process, with the tool's coord shader:
        // the point / (width - 1).
        standin::Instance instance(renderer, standin::Params{o.file,
                                                             {0, 0, 0},
                                                             o.slices,
                                                             o.interpolation,
                                                             o.filetype,
                                                             o.width,
                                                             o.height,
                                                             o.big_endian ? 0 : 1});
        instance.connect_coord([&instance](miVector p) {
            const float s = 1.0f / float(instance.volume()->width - 1);
            return miVector{p.x * s, p.y * s, p.z * s};
        });
        instance.init(state);
        ASSERT_TRUE(renderer.log().errors().empty()) << renderer.log().errors()[0];
        const int extent[3] = {instance.volume()->width, instance.volume()->height, o.slices};
        const int across = o.axis == 0 ? 2 : 0, down = o.axis == 1 ? 2 : 1;
        const Image &image = run.image;
        ASSERT_EQ(image.width, (extent[across] - 1) * o.scale + 1);
        ASSERT_EQ(image.height, (extent[down] - 1) * o.scale + 1);
        ASSERT_EQ(image.channels, o.filetype == 0 ? 3 : 1);
        int mismatches = 0;
        for (int row = 0; row < image.height; ++row)
            for (int column = 0; column < image.width; ++column) {
                float p[3];
                p[across] = float(column) / float(o.scale);
                p[down] = float(row) / float(o.scale);
                p[o.axis] = o.at * float(extent[o.axis] - 1);
                SampleExchange exchange = {};
                const miColor v = instance.lookup(state, {p[0], p[1], p[2]}, &exchange);
                const float channel[3] = {v.r, v.g, v.b};
                for (int i = 0; i < image.channels; ++i) {
                    const float t = std::clamp(
                        (channel[i] - o.window_low) / (o.window_high - o.window_low), 0.0f, 1.0f);
                    const int expected = int(std::lround(t * 255.0f));
                    if (image.at(column, row, i) != expected && ++mismatches <= 5)
                        ADD_FAILURE() << "pixel " << column << "," << row << " channel " << i
                                      << ": " << int(image.at(column, row, i)) << ", lookup "
                                      << channel[i] << " gives " << expected;
                }
            }
        EXPECT_EQ(mismatches, 0);
        instance.exit(state);
        renderer.log().clear();
    }
}

// Nearest lookups at whole voxels show the file's own samples: the slice is
// the one named, rows and columns follow the documented axes, and a volume
// named outside ASCII, in a folder named alike, is read as any other.
TEST_F(RenderTool, NearestSliceShowsTheFilesSamples) {
    const int h = 4;
    const struct {
        const char *run;
        int columns, rows;
        std::function<int(int column, int row)> voxel;
    } cases[] = {
        {"nearest-z", 6, 4, [](int c, int r) { return sample(c, r, 3, 255); }},
        {"nearest-y", 6, 5, [](int c, int r) { return sample(c, h - 1, r, 255); }},
        {"nearest-x", 5, 4, [](int c, int r) { return sample(1, r, c, 255); }},
        {"nearest-z-named-outside-ascii", 6, 4, [](int c, int r) { return sample(c, r, 3, 255); }},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.run);
        const Image image = read_run(c.run).image;
        ASSERT_EQ(image.width, c.columns);
        ASSERT_EQ(image.height, c.rows);
        for (int row = 0; row < c.rows; ++row)
            for (int column = 0; column < c.columns; ++column)
                EXPECT_EQ(image.at(column, row, 0), c.voxel(column, row))
                    << "pixel " << column << "," << row;
    }
}

// ---- The shaded view's gradient -----------------------------------------------

// A volume that changes only along the axis looked along gives every ray the
// same samples, so every pixel must come out alike, also next to the faces,
// where the gradient's neighbourhood would reach outside the grid.
TEST_F(RenderTool, ShadedViewIsUniformOverARampAlongTheAxis) {
    for (const char *name : {"ramp-x", "ramp-y", "ramp-z"}) {
        SCOPED_TRACE(name);
        const Image image = read_run(name).image;
        ASSERT_EQ(image.width, 16); // rays through the centres of 8 voxels x 2 pixels
        const auto [low, high] = std::minmax_element(image.pixels.begin(), image.pixels.end());
        EXPECT_LE(*high - *low, 1) << "pixels from " << int(*low) << " to " << int(*high);
        EXPECT_GT(*low, 20); // lit, not black
    }
}

// The same field of the current point, stored once with half the slices and
// once with every slice but read through a coord mapping that doubles z,
// must be lit alike: the lookups' voxel-space gradients differ, and only the
// instance's matrix turns them into the same gradient in the caller's space.
TEST_F(RenderTool, ShadedViewTurnsTheGradientByTheMatrix) {
    const Image a = read_run("matrix-fine").image, b = read_run("matrix-coarse").image;
    ASSERT_EQ(a.width, b.width);
    ASSERT_EQ(a.pixels.size(), b.pixels.size());
    int worst = 0;
    for (size_t i = 0; i < a.pixels.size(); ++i)
        worst = std::max(worst, std::abs(int(a.pixels[i]) - int(b.pixels[i])));
    EXPECT_LE(worst, 2);
}

// Lit smooth surfaces show no pattern at the voxel spacing (two pixels): on
// the grey demo's right cheek, where light glances, differences blended
// trilinearly and rays alternately on and between the voxel planes drew
// stripes of about 1 grey level along x there.
TEST_F(RenderTool, ShadedSurfacesShowNoPatternAtTheVoxelSpacing) {
    const Image image = read_run("no-pattern").image;
    ASSERT_EQ(image.width, 254);
    // The mean of (-1)^x times each pixel less the mean of its neighbours
    // is twice the amplitude of a pattern of period 2 along x (y likewise);
    // smooth shading adds next to nothing.
    for (const auto &[left, top] : {std::pair{150, 130}, std::pair{60, 130}, std::pair{100, 40}}) {
        double along_x = 0, along_y = 0;
        const auto p = [&](int x, int y) { return double(image.at(x, y, 0)); };
        for (int y = top; y < top + 32; ++y)
            for (int x = left; x < left + 32; ++x) {
                const double sign_x = x % 2 ? -1 : 1, sign_y = y % 2 ? -1 : 1;
                along_x += sign_x * (p(x, y) - (p(x - 1, y) + p(x + 1, y)) / 2);
                along_y += sign_y * (p(x, y) - (p(x, y - 1) + p(x, y + 1)) / 2);
            }
        EXPECT_LT(std::abs(along_x) / (2 * 32 * 32), 0.3) << left << "," << top;
        EXPECT_LT(std::abs(along_y) / (2 * 32 * 32), 0.3) << left << "," << top;
    }
}

// ---- The demo -------------------------------------------------------------------

TEST_F(RenderTool, DemoRendersAPictureWithManyLevels) {
    const ToolRun run = read_run("demo");
    EXPECT_EQ(run.out.find("demo.png: shaded view 125 x 125, "), 0u) << run.out;
    EXPECT_NE(run.out.find(" M lookups/s, "), std::string::npos) << run.out;
    EXPECT_EQ(std::count(run.out.begin(), run.out.end(), '\n'), 1) << run.out;
    // Standard error is no terminal: the library's message and one final
    // line for each stage, no bar drawn over itself.
    EXPECT_NE(run.err.find("info: filename = head-colour-0000.bmp"), std::string::npos) << run.err;
    EXPECT_EQ(run.err.find('\r'), std::string::npos) << run.err;
    EXPECT_NE(run.err.find("\nload   [##############################] 100%  6.0 MB  "),
              std::string::npos)
        << run.err;
    EXPECT_NE(run.err.find("\nrender [##############################] 100%  125/125 rows  "),
              std::string::npos)
        << run.err;

    const Image &image = run.image;
    ASSERT_EQ(image.width, 125);
    ASSERT_EQ(image.height, 125);
    ASSERT_EQ(image.channels, 3);
    std::vector<int> histogram(256, 0);
    for (uint8_t p : image.pixels)
        ++histogram[p];
    const int levels =
        int(std::count_if(histogram.begin(), histogram.end(), [](int n) { return n > 0; }));
    EXPECT_GE(levels, 64);
    EXPECT_LT(*std::max_element(histogram.begin(), histogram.end()),
              int(image.pixels.size()) * 3 / 4);

    // The cache, in a folder named with a space and a letter outside ASCII,
    // holds the block file with its header and the whole series.
    const fs::path cache = fs::u8path(u8"demo cache é");
    EXPECT_EQ(fs::file_size(cache / "head-u12-128.raw"), 64u + 2u * 128 * 128 * 128);
    for (int z = 0; z < 126; ++z) {
        char name[32];
        snprintf(name, sizeof name, "head-colour-%04d.bmp", z);
        EXPECT_TRUE(fs::exists(cache / name)) << name;
    }
    EXPECT_FALSE(fs::exists("nimbrel-render.png"));       // no failed run wrote its default
    for (const fs::path &folder : {fs::path("."), cache}) // every file written whole
        for (const fs::directory_entry &entry : fs::directory_iterator(folder))
            EXPECT_EQ(entry.path().filename().u8string().find(".part"), std::string::npos)
                << entry.path();
}

TEST_F(RenderTool, ColourDemoKeepsItsColours) {
    const Image image = read_run("demo-colour-slice").image;
    ASSERT_EQ(image.channels, 3);
    EXPECT_EQ(image.width, 251); // 126 slices across, two pixels a voxel
    EXPECT_EQ(image.height, 251);
    int coloured = 0;
    for (int y = 0; y < image.height; ++y)
        for (int x = 0; x < image.width; ++x)
            if (std::abs(image.at(x, y, 0) - image.at(x, y, 2)) > 40) ++coloured;
    EXPECT_GT(coloured, image.width * image.height / 10);
}

TEST_F(RenderTool, InfoPrintsShapeMappingAndRange) {
    const std::string out = read_run("info").out;
    EXPECT_NE(out.find("file type   u12-block (4), little-endian"), std::string::npos) << out;
    EXPECT_NE(out.find("shape       128 x 128 x 128 voxels"), std::string::npos);
    EXPECT_NE(out.find("loaded      4194304 bytes in "), std::string::npos);
    // The captured mapping is the coord shader's scale, as columns.
    std::string squeezed;
    for (char ch : out)
        if (ch != ' ' || (!squeezed.empty() && squeezed.back() != ' ')) squeezed += ch;
    EXPECT_NE(squeezed.find("(columns x, y, z):\n 0.5 0 0 0\n 0 0.25 0 0\n 0 0 2 0\n 0 0 0 1\n"),
              std::string::npos)
        << out;
    // Read voxel by voxel with OFFSET lookups: up to the brighter lesion, 4000 / 4095.
    EXPECT_NE(out.find("values      min 0  max 0.9768"), std::string::npos) << out;
    EXPECT_NE(out.find("(normalised, 2097152 voxels)"), std::string::npos) << out;
}

TEST_F(RenderTool, HelpListsEveryOptionWithItsDefault) {
    const std::string out = read_run("help").out;
    for (const char *option :
         {"--filetype",      "--slices",      "--width",        "--height",  "--big-endian",
          "--interpolation", "--coord-scale", "--coord-offset", "--library", "--view",
          "--axis",          "--at",          "--window",       "--palette", "--scale",
          "--step",          "--density",     "--output",       "--info",    "--threads",
          "--quiet",         "--demo",        "--cache",        "--help"})
        EXPECT_NE(out.find(std::string(" ") + option + " "), std::string::npos) << option;
    for (const char *fallback :
         {"(default trilinear)", "(default 0,0,0)", "(default shaded)", "(default z)",
          "(default 0.5)", "(default 0,1)", "(default grey)", "(default 1)",
          "(default: every core)", "(default bmp)", "default nimbrel-demo.png"})
        EXPECT_NE(out.find(fallback), std::string::npos) << fallback;
}

// ---- The same pixels with any thread count and on every build --------------------

// Each picture drawn with 1 and with 3 threads; the pixels' digest is the
// same on every build (x86-64, 32-bit Linux, Windows under Wine, with or
// without sanitizers), which no C library function may change.
TEST_F(RenderTool, ThreadsAndBuildsDrawTheSamePixels) {
    const struct {
        const char *run;
        uint64_t digest;
    } cases[] = {
        {"threads-block-shaded", 0xe1bd0d9398ff8624ull},
        {"threads-colour-shaded", 0x98479b19999401ddull},
        {"threads-block-mip", 0xd628262ff2dc9af7ull},
        {"threads-colour-slice", 0x6f60b873788aa826ull},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.run);
        const ToolRun one = read_run(std::string(c.run) + "-1"),
                      three = read_run(std::string(c.run) + "-3");
        ASSERT_FALSE(one.image.pixels.empty());
        EXPECT_TRUE(one.image.pixels == three.image.pixels);
        const auto lookups = [](const std::string &out) { // "NAME: VIEW view W x H, N lookups"
            return out.substr(out.find(": "), out.find(" lookups") - out.find(": "));
        };
        EXPECT_EQ(lookups(one.out), lookups(three.out));
        EXPECT_EQ(digest(one.image), c.digest) << std::hex << "0x" << digest(one.image);
    }
}

} // namespace

// `--write-volumes` writes the runs' volumes into the working folder;
// otherwise the tests run.
int main(int argc, char **argv) {
    if (argc == 2 && strcmp(argv[1], "--write-volumes") == 0) {
        write_volumes();
        return ::testing::Test::HasFailure() ? 1 : 0;
    }
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
