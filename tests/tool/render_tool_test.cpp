// nimbrel-render driven as a program: its images against the library's own
// lookups, the demo, its exit codes and messages, and thread independence.
#include <png.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <sys/wait.h>

#include "support/test_support.h"

namespace {

namespace fs = std::filesystem;

struct ToolRun {
    int status = -1;
    std::string out, err;
};

std::string read_text(const fs::path &path) {
    std::ifstream in(path);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

// Runs the tool in `folder` with `args`.
ToolRun run_tool(const fs::path &folder, const std::vector<std::string> &args) {
    std::string command = "cd '" + folder.string() + "' && '" NIMBREL_RENDER "'";
    for (const std::string &arg : args)
        command += " '" + arg + "'";
    command += " >stdout.txt 2>stderr.txt";
    ToolRun run;
    const int status = std::system(command.c_str());
    run.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    run.out = read_text(folder / "stdout.txt");
    run.err = read_text(folder / "stderr.txt");
    return run;
}

struct Decoded {
    int width = 0, height = 0, channels = 0;
    std::vector<uint8_t> pixels;
    uint8_t at(int x, int y, int c) const { return pixels[(size_t(y) * width + x) * channels + c]; }
};

// The PNG file as grey or RGB bytes, in its own format; empty when libpng
// cannot read it.
Decoded decode_png(const fs::path &path) {
    png_image png = {};
    png.version = PNG_IMAGE_VERSION;
    Decoded d;
    if (!png_image_begin_read_from_file(&png, path.string().c_str())) return d;
    png.format = (png.format & PNG_FORMAT_FLAG_COLOR) ? PNG_FORMAT_RGB : PNG_FORMAT_GRAY;
    std::vector<uint8_t> pixels(PNG_IMAGE_SIZE(png));
    if (!png_image_finish_read(&png, nullptr, pixels.data(), 0, nullptr)) return d;
    d.width = int(png.width);
    d.height = int(png.height);
    d.channels = PNG_IMAGE_PIXEL_CHANNELS(png.format);
    d.pixels = std::move(pixels);
    return d;
}

std::vector<unsigned char> little_endian_16(const std::vector<int> &samples) {
    std::vector<unsigned char> bytes;
    for (int s : samples) {
        bytes.push_back(static_cast<unsigned char>(s & 0xff));
        bytes.push_back(static_cast<unsigned char>((s >> 8) & 0xff));
    }
    return bytes;
}

// A 24-bit BMP of width x height pixels, bottom row first, rows padded.
std::vector<unsigned char>
bmp_file(int width, int height, const std::function<void(int x, int y, uint8_t bgr[3])> &pixel) {
    const int row = 3 * width, pad = (4 - row % 4) % 4;
    const uint32_t image = uint32_t(row + pad) * height;
    std::vector<unsigned char> bytes(54 + image, 0);
    const auto put = [&](size_t at, uint32_t v) {
        for (int i = 0; i < 4; ++i)
            bytes[at + i] = static_cast<unsigned char>(v >> (8 * i));
    };
    bytes[0] = 'B', bytes[1] = 'M';
    put(2, uint32_t(bytes.size())), put(10, 54), put(14, 40), put(18, width), put(22, height);
    bytes[26] = 1, bytes[28] = 24;
    put(34, image);
    for (int stored = 0; stored < height; ++stored)
        for (int x = 0; x < width; ++x)
            pixel(x, height - 1 - stored, &bytes[54 + size_t(stored) * (row + pad) + 3 * x]);
    return bytes;
}

// The scratch folder has no '.' in it: the library numbers a series at the
// first '.' of the whole file name.
class RenderTool : public testing_support::RendererTest {
  protected:
    void SetUp() override {
        RendererTest::SetUp();
        fs::remove_all(folder);
        std::string name = ::testing::UnitTest::GetInstance()->current_test_info()->name();
        std::replace_if(
            name.begin(), name.end(), [](char c) { return !isalnum(c); }, '-');
        folder = fs::temp_directory_path() / "nimbrel-render-tests" / name;
        fs::remove_all(folder);
        fs::create_directories(folder);
    }
};

// ---- Slice views equal the lookups -------------------------------------------

struct SliceCase {
    const char *name;
    const char *filetype;
    int width, height, slices;
    bool big_endian;
    int interpolation;
    float low, high; // the window
    int axis;
    float at;
    int scale;
};

// Sample (x, y, z) of the small volumes: distinct, and spread over the range.
int sample(int x, int y, int z, int top) {
    return (x * 37 + y * 101 + z * 211) % (top + 1);
}

TEST_F(RenderTool, SliceViewEqualsTheLookupsPixelByPixel) {
    const SliceCase cases[] = {
        {"u12 nearest z", "u12-block", 7, 5, 6, false, 0, 0, 1, 2, 0.6f, 1},
        {"u12 trilinear x", "u12-block", 7, 5, 6, false, 1, 0, 1, 0, 0.5f, 2},
        {"u12 trilinear y windowed", "u12-block", 7, 5, 6, false, 1, 0.2f, 0.7f, 1, 0.3f, 3},
        {"u16 series big-endian", "u16-series", 6, 4, 3, true, 1, 0, 1, 2, 0.5f, 2},
        {"u8 block offset mode", "u8-block", 5, 6, 4, false, 2, 0, 1, 2, 0.4f, 2},
        {"s16 block wide window", "s16-block", 5, 5, 5, false, 1, -1, 3, 0, 0.75f, 2},
        {"bmp series colour", "bmp-series", 5, 4, 3, false, 1, 0, 1, 2, 0.5f, 3},
    };
    for (const SliceCase &c : cases) {
        SCOPED_TRACE(c.name);
        const int type = std::string(c.filetype) == "bmp-series"   ? 0
                         : std::string(c.filetype) == "u16-series" ? 1
                         : std::string(c.filetype) == "u8-block"   ? 3
                         : std::string(c.filetype) == "u12-block"  ? 4
                                                                   : 5;
        const int top = type == 4 ? 4095 : type == 3 ? 255 : type == 5 ? 1000 : 65535;
        std::string file;
        if (type == 0 || type == 1) {
            for (int z = 0; z < c.slices; ++z) {
                char name[32];
                snprintf(name, sizeof name, "slice%04d.%s", z, type == 0 ? "bmp" : "raw");
                if (type == 0) {
                    testing_support::write_file(
                        folder / name, bmp_file(c.width, c.height, [&](int x, int y, uint8_t *bgr) {
                            for (int i = 0; i < 3; ++i)
                                bgr[i] = uint8_t(sample(x, y, z + 7 * i, 255));
                        }));
                } else {
                    std::vector<unsigned char> bytes;
                    for (int y = 0; y < c.height; ++y)
                        for (int x = 0; x < c.width; ++x) {
                            const int s = sample(x, y, z, top) * 61 % 65536;
                            bytes.push_back(uint8_t(s >> 8)); // big-endian
                            bytes.push_back(uint8_t(s & 0xff));
                        }
                    testing_support::write_file(folder / name, bytes);
                }
                if (z == 0) file = name;
            }
        } else {
            std::vector<int> samples;
            for (int z = 0; z < c.slices; ++z)
                for (int y = 0; y < c.height; ++y)
                    for (int x = 0; x < c.width; ++x)
                        samples.push_back(type == 5 ? sample(x, y, z, top) - 300
                                                    : sample(x, y, z, top));
            std::vector<unsigned char> bytes = {'h', 'e', 'a', 'd'}; // a leading header
            if (type == 3)
                for (int s : samples)
                    bytes.push_back(uint8_t(s));
            else
                for (unsigned char b : little_endian_16(samples))
                    bytes.push_back(b);
            file = "volume.raw";
            testing_support::write_file(folder / file, bytes);
        }

        const char *const axes[] = {"x", "y", "z"};
        const char *const modes[] = {"nearest", "trilinear", "offset"};
        std::vector<std::string> args = {"--view",
                                         "slice",
                                         "--axis",
                                         axes[c.axis],
                                         "--at",
                                         std::to_string(c.at),
                                         "--scale",
                                         std::to_string(c.scale),
                                         "--interpolation",
                                         modes[c.interpolation],
                                         "--window",
                                         std::to_string(c.low) + "," + std::to_string(c.high),
                                         "--filetype",
                                         c.filetype,
                                         "--slices",
                                         std::to_string(c.slices),
                                         "--threads",
                                         "2",
                                         "-o",
                                         "slice.png",
                                         file};
        if (type != 0) {
            const std::vector<std::string> shape = {"--width", std::to_string(c.width), "--height",
                                                    std::to_string(c.height)};
            args.insert(args.end(), shape.begin(), shape.end());
        }
        if (c.big_endian) args.push_back("--big-endian");
        const ToolRun run = run_tool(folder, args);
        ASSERT_EQ(run.status, 0) << run.err;
        const Decoded image = decode_png(folder / "slice.png");
        ASSERT_FALSE(image.pixels.empty());

        // The same lookups in this process, with the tool's coord shader: the
        // point / (width - 1). Loaded from within the folder, by the same name.
        standin::Instance instance(renderer, standin::Params{file,
                                                             {0, 0, 0},
                                                             c.slices,
                                                             c.interpolation,
                                                             type,
                                                             c.width,
                                                             c.height,
                                                             c.big_endian ? 0 : 1});
        const float s = 1.0f / float(c.width - 1);
        instance.connect_coord([s](miVector p) { return miVector{p.x * s, p.y * s, p.z * s}; });
        const fs::path previous = fs::current_path();
        fs::current_path(folder);
        instance.init(state);
        fs::current_path(previous);
        ASSERT_TRUE(renderer.log().errors().empty()) << renderer.log().errors()[0];
        const int extent[3] = {instance.volume()->width, instance.volume()->height, c.slices};
        const int across = c.axis == 0 ? 2 : 0, down = c.axis == 1 ? 2 : 1;
        ASSERT_EQ(image.width, (extent[across] - 1) * c.scale + 1);
        ASSERT_EQ(image.height, (extent[down] - 1) * c.scale + 1);
        ASSERT_EQ(image.channels, type == 0 ? 3 : 1);
        int mismatches = 0;
        for (int row = 0; row < image.height; ++row)
            for (int column = 0; column < image.width; ++column) {
                float p[3];
                p[across] = float(column) / float(c.scale);
                p[down] = float(row) / float(c.scale);
                p[c.axis] = c.at * float(extent[c.axis] - 1);
                SampleExchange exchange = {};
                const miColor v = instance.lookup(state, {p[0], p[1], p[2]}, &exchange);
                const float channel[3] = {v.r, v.g, v.b};
                for (int i = 0; i < image.channels; ++i) {
                    const float t = std::clamp((channel[i] - c.low) / (c.high - c.low), 0.0f, 1.0f);
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
// the one named, and rows and columns follow the documented axes.
TEST_F(RenderTool, NearestSliceShowsTheFilesSamples) {
    const int w = 6, h = 4, d = 5;
    std::vector<int> samples;
    for (int z = 0; z < d; ++z)
        for (int y = 0; y < h; ++y)
            for (int x = 0; x < w; ++x)
                samples.push_back(sample(x, y, z, 255));
    std::vector<unsigned char> bytes(samples.begin(), samples.end());
    testing_support::write_file(folder / "block.raw", bytes);
    const struct {
        const char *axis;
        const char *at;
        int columns, rows;
        std::function<int(int column, int row)> voxel;
    } cases[] = {
        {"z", "0.75", w, h, [&](int c, int r) { return sample(c, r, 3, 255); }},
        {"y", "1", w, d, [&](int c, int r) { return sample(c, h - 1, r, 255); }},
        {"x", "0.2", d, h, [&](int c, int r) { return sample(1, r, c, 255); }},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.axis);
        const ToolRun run = run_tool(
            folder, {"--view",   "slice", "--axis",          c.axis,    "--at",       c.at,
                     "--scale",  "1",     "--interpolation", "nearest", "--filetype", "u8-block",
                     "--slices", "5",     "--width",         "6",       "--height",   "4",
                     "-o",       "n.png", "block.raw"});
        ASSERT_EQ(run.status, 0) << run.err;
        const Decoded image = decode_png(folder / "n.png");
        ASSERT_EQ(image.width, c.columns);
        ASSERT_EQ(image.height, c.rows);
        for (int row = 0; row < c.rows; ++row)
            for (int column = 0; column < c.columns; ++column)
                EXPECT_EQ(image.at(column, row, 0), c.voxel(column, row))
                    << "pixel " << column << "," << row;
    }
}

// ---- The shaded view's gradient at the faces of the grid ----------------------

// A volume that changes only along the axis looked along gives every ray the
// same samples, so every pixel must come out alike, also next to the faces,
// where a central difference would read outside the grid (the fetch answers
// zero there, or wraps to the neighbouring row).
TEST_F(RenderTool, ShadedViewIsUniformOverARampAlongTheAxis) {
    const int n = 9;
    for (int axis = 0; axis < 3; ++axis) {
        const char *const names[] = {"x", "y", "z"};
        SCOPED_TRACE(names[axis]);
        std::vector<unsigned char> bytes;
        for (int z = 0; z < n; ++z)
            for (int y = 0; y < n; ++y)
                for (int x = 0; x < n; ++x)
                    bytes.push_back(uint8_t(30 + 25 * (axis == 0 ? x : axis == 1 ? y : z)));
        testing_support::write_file(folder / "ramp.raw", bytes);
        const ToolRun run = run_tool(folder, {"--axis", names[axis], "--density", "0.5",
                                              "--filetype", "u8-block", "--slices", "9", "--width",
                                              "9", "--height", "9", "-o", "ramp.png", "ramp.raw"});
        ASSERT_EQ(run.status, 0) << run.err;
        const Decoded image = decode_png(folder / "ramp.png");
        ASSERT_EQ(image.width, 17);
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
    const int n = 9;
    const auto write_ramp = [&](const char *name, int depth, int per_slice) {
        std::vector<unsigned char> bytes;
        for (int z = 0; z < depth; ++z)
            for (int y = 0; y < n; ++y)
                for (int x = 0; x < n; ++x)
                    bytes.push_back(uint8_t(10 * x + per_slice * z));
        testing_support::write_file(folder / name, bytes);
    };
    write_ramp("fine.raw", 9, 10);   // z in voxels = 2 z of the point
    write_ramp("coarse.raw", 5, 20); // z in voxels = z of the point
    const std::vector<std::string> common = {"--density", "0.3", "--filetype", "u8-block",
                                             "--width",   "9",   "--height",   "9"};
    std::vector<std::string> fine = common, coarse = common;
    for (const char *a :
         {"--slices", "9", "--coord-scale", "0.125,0.125,0.25", "-o", "fine.png", "fine.raw"})
        fine.push_back(a);
    for (const char *a : {"--slices", "5", "-o", "coarse.png", "coarse.raw"})
        coarse.push_back(a);
    ASSERT_EQ(run_tool(folder, fine).status, 0);
    ASSERT_EQ(run_tool(folder, coarse).status, 0);
    const Decoded a = decode_png(folder / "fine.png"), b = decode_png(folder / "coarse.png");
    ASSERT_EQ(a.width, b.width);
    ASSERT_EQ(a.pixels.size(), b.pixels.size());
    int worst = 0;
    for (size_t i = 0; i < a.pixels.size(); ++i)
        worst = std::max(worst, std::abs(int(a.pixels[i]) - int(b.pixels[i])));
    EXPECT_LE(worst, 2);
}

// ---- The demo -------------------------------------------------------------------

TEST_F(RenderTool, DemoRendersAPictureWithManyLevels) {
    const ToolRun run =
        run_tool(folder, {"--cache", "cache", "--scale", "1", "--step", "1", "--threads", "2"});
    ASSERT_EQ(run.status, 0) << run.err;
    EXPECT_NE(run.out.find("nimbrel-demo.png: shaded view 128 x 128, "), std::string::npos)
        << run.out;
    EXPECT_NE(run.out.find(" M lookups/s, "), std::string::npos) << run.out;
    EXPECT_EQ(std::count(run.out.begin(), run.out.end(), '\n'), 1) << run.out;
    EXPECT_NE(run.err.find("info: filename = head-u12-128.raw"), std::string::npos) << run.err;

    const Decoded image = decode_png(folder / "nimbrel-demo.png");
    ASSERT_EQ(image.width, 128);
    ASSERT_EQ(image.height, 128);
    std::vector<int> histogram(256, 0);
    for (uint8_t p : image.pixels)
        ++histogram[p];
    const int levels =
        int(std::count_if(histogram.begin(), histogram.end(), [](int n) { return n > 0; }));
    EXPECT_GE(levels, 64);
    EXPECT_LT(*std::max_element(histogram.begin(), histogram.end()),
              int(image.pixels.size()) * 3 / 4);

    // The cache holds the block file with its header and the whole series.
    EXPECT_EQ(fs::file_size(folder / "cache" / "head-u12-128.raw"), 64u + 2u * 128 * 128 * 128);
    for (int z = 0; z < 48; ++z) {
        char name[32];
        snprintf(name, sizeof name, "head-colour-%04d.bmp", z);
        EXPECT_TRUE(fs::exists(folder / "cache" / name)) << name;
    }
}

TEST_F(RenderTool, ColourDemoKeepsItsColours) {
    const ToolRun run = run_tool(folder, {"--cache", "cache", "--demo", "bmp", "--view", "slice",
                                          "--axis", "x", "-o", "colour.png"});
    ASSERT_EQ(run.status, 0) << run.err;
    const Decoded image = decode_png(folder / "colour.png");
    ASSERT_EQ(image.channels, 3);
    EXPECT_EQ(image.width, 95); // 48 slices across, two pixels a voxel
    EXPECT_EQ(image.height, 123);
    int coloured = 0;
    for (int y = 0; y < image.height; ++y)
        for (int x = 0; x < image.width; ++x)
            if (std::abs(image.at(x, y, 0) - image.at(x, y, 2)) > 40) ++coloured;
    EXPECT_GT(coloured, image.width * image.height / 10);
}

TEST_F(RenderTool, InfoPrintsShapeMappingAndRange) {
    const ToolRun run =
        run_tool(folder, {"--cache", "cache", "--info", "--coord-scale", "0.5,0.25,2"});
    ASSERT_EQ(run.status, 0) << run.err;
    EXPECT_NE(run.out.find("file type   u12-block (4), little-endian"), std::string::npos)
        << run.out;
    EXPECT_NE(run.out.find("shape       128 x 128 x 128 voxels"), std::string::npos);
    EXPECT_NE(run.out.find("loaded      4194304 bytes in "), std::string::npos);
    // The captured mapping is the coord shader's scale, as columns.
    std::string squeezed;
    for (char ch : run.out)
        if (ch != ' ' || (!squeezed.empty() && squeezed.back() != ' ')) squeezed += ch;
    EXPECT_NE(squeezed.find("(columns x, y, z):\n 0.5 0 0 0\n 0 0.25 0 0\n 0 0 2 0\n 0 0 0 1\n"),
              std::string::npos)
        << run.out;
    // Read voxel by voxel with OFFSET lookups: up to the brighter lesion, 4000 / 4095.
    EXPECT_NE(run.out.find("values      min 0  max 0.9768"), std::string::npos) << run.out;
    EXPECT_NE(run.out.find("(normalised, 2097152 voxels)"), std::string::npos) << run.out;
}

// ---- Exit codes and messages ----------------------------------------------------

TEST_F(RenderTool, BadArgumentsGiveOneLineAndStatus2) {
    const struct {
        std::vector<std::string> args;
        const char *message;
    } cases[] = {
        {{"--view", "cube"}, "--view must be slice, mip or shaded, not 'cube'"},
        {{"--axis", "w"}, "--axis must be x, y or z, not 'w'"},
        {{"--threads", "0"}, "--threads must be a whole number from 1 to 1024, not '0'"},
        {{"--threads", "2x"}, "--threads must be a whole number from 1 to 1024, not '2x'"},
        {{"--at", "1.5"}, "--at must be a number from 0 to 1, not '1.5'"},
        {{"--step", "nan"}, "--step must be a number, not 'nan'"},
        {{"--window", "0.8,0.2"}, "--window LOW,HIGH needs LOW below HIGH"},
        {{"--window", "0.5"}, "--window must be two numbers LOW,HIGH, not '0.5'"},
        {{"--scale", "17"}, "--scale must be a whole number from 1 to 16, not '17'"},
        {{"--scale"}, "--scale needs a value"},
        {{"--frobnicate"}, "unknown option '--frobnicate' (see --help)"},
        {{"--quiet=yes"}, "--quiet takes no value"},
        {{"--view", "mip", "--view=slice"}, "--view is given twice"},
        {{"--coord-scale", "0"}, "--coord-scale must not be 0 on any axis"},
        {{"--coord-offset", "1,2"},
         "--coord-offset must be three numbers separated by commas, not '1,2'"},
        {{"--width", "4"}, "--width needs a volume FILE; the demo sets its own shape"},
        {{"a.raw", "b.raw"}, "one volume FILE only, not 'a.raw' and 'b.raw'"},
        {{"vol.raw"}, "--filetype is required with a volume file"},
        {{"--filetype", "7", "vol.raw"},
         "--filetype must be bmp-series, u16-series, u12-series, u8-block, u12-block, "
         "s16-block or 0 to 5, not '7'"},
        {{"--filetype", "u8-block", "vol.raw"}, "--slices is required with a volume file"},
        {{"--filetype", "3", "--slices", "2", "vol.raw"},
         "--width is required with a volume file of type u8-block"},
        {{"--filetype", "bmp-series", "--slices", "0", "s0000.bmp"},
         "--slices must be a whole number from 1 to 2147483647, not '0'"},
        {{"--demo", "bmp", "--filetype", "bmp-series", "--slices", "2", "s0000.bmp"},
         "--demo applies only without a volume FILE"},
        {{"--interpolation", "cubic"},
         "--interpolation must be nearest, trilinear or offset, not 'cubic'"},
        {{"--palette", "jet"}, "--palette must be grey or warm, not 'jet'"},
    };
    for (const auto &c : cases) {
        const ToolRun run = run_tool(folder, c.args);
        EXPECT_EQ(run.status, 2) << c.message;
        EXPECT_EQ(run.err, "nimbrel-render: " + std::string(c.message) + "\n");
        EXPECT_EQ(run.out, "");
    }
    EXPECT_FALSE(fs::exists(folder / "nimbrel-demo.png"));
    EXPECT_FALSE(fs::exists(folder / ".cache"));
}

TEST_F(RenderTool, AVolumeThatFailsToLoadGivesTheLibrarysMessageAndStatus1) {
    // Slice 1 of the series is missing.
    testing_support::write_file(folder / "s0000.raw", std::vector<unsigned char>(8, 1));
    const struct {
        std::vector<std::string> args;
        const char *message;
    } cases[] = {
        {{"--filetype", "u12-block", "--slices", "4", "--width", "4", "--height", "4",
          "missing.raw"},
         "error: could not open file missing.raw\n"},
        {{"--filetype", "u16-series", "--slices", "3", "--width", "2", "--height", "2",
          "s0000.raw"},
         "error: could not open file s0001.raw\n"},
        {{"--library", "no-such-library.so"},
         "nimbrel-render: cannot load the shader library "
         "no-such-library.so: "},
    };
    for (const auto &c : cases) {
        const ToolRun run = run_tool(folder, c.args);
        EXPECT_EQ(run.status, 1) << run.err;
        EXPECT_NE(run.err.find(c.message), std::string::npos) << run.err;
        EXPECT_EQ(run.out, "");
        EXPECT_FALSE(fs::exists(folder / "nimbrel-render.png"));
    }
}

TEST_F(RenderTool, HelpListsEveryOptionWithItsDefault) {
    const ToolRun run = run_tool(folder, {"--help"});
    ASSERT_EQ(run.status, 0);
    for (const char *option :
         {"--filetype",      "--slices",      "--width",        "--height",  "--big-endian",
          "--interpolation", "--coord-scale", "--coord-offset", "--library", "--view",
          "--axis",          "--at",          "--window",       "--palette", "--scale",
          "--step",          "--density",     "--output",       "--info",    "--threads",
          "--quiet",         "--demo",        "--cache",        "--help"})
        EXPECT_NE(run.out.find(std::string(" ") + option + " "), std::string::npos) << option;
    for (const char *fallback :
         {"(default trilinear)", "(default 0,0,0)", "(default shaded)", "(default z)",
          "(default 0.5)", "(default 0,1)", "(default grey)", "(default 2)", "(default 1)",
          "(default: every core)", "(default block)", "default nimbrel-demo.png"})
        EXPECT_NE(run.out.find(fallback), std::string::npos) << fallback;
}

// ---- Threads --------------------------------------------------------------------

TEST_F(RenderTool, OneThreadAndSeveralDrawTheSameImage) {
    const struct {
        const char *demo, *view;
    } cases[] = {{"block", "shaded"}, {"bmp", "shaded"}, {"block", "mip"}, {"bmp", "slice"}};
    for (const auto &c : cases) {
        SCOPED_TRACE(std::string(c.demo) + " " + c.view);
        Decoded images[2];
        std::string lookups[2];
        const char *const threads[2] = {"1", "3"};
        for (int i = 0; i < 2; ++i) {
            const ToolRun run =
                run_tool(folder, {"--cache", "cache", "--demo", c.demo, "--view", c.view, "--scale",
                                  "1", "--step", "1", "--threads", threads[i], "-o", "t.png"});
            ASSERT_EQ(run.status, 0) << run.err;
            images[i] = decode_png(folder / "t.png");
            lookups[i] = run.out.substr(0, run.out.find(" lookups"));
        }
        EXPECT_EQ(lookups[0], lookups[1]);
        ASSERT_FALSE(images[0].pixels.empty());
        EXPECT_TRUE(images[0].pixels == images[1].pixels);
    }
}

} // namespace
