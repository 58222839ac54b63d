// Colour volumes from 24-bit BMP slice series (file type 0), through the
// stand-in renderer: header fields, padding, row order, every rejection, and
// the state a failed load leaves.
#include <climits>
#include <cstring>
#include <memory>

#include "support/bmp_writer.h"
#include "support/test_support.h"

using bmp_writer::Bytes;
using bmp_writer::Header;

namespace fs = std::filesystem;

namespace {

// The 2 x 2 example: stored rows 1..6 and 7..12, each padded by 2; loaded,
// the last stored row comes first and the padding is gone.
const Bytes example_area = {1, 2, 3, 4, 5, 6, 0, 0, 7, 8, 9, 10, 11, 12, 0, 0};
const Bytes example_slice = {7, 8, 9, 10, 11, 12, 1, 2, 3, 4, 5, 6};
Header example_header() {
    Header header;
    header.width = 2;
    header.height = 2;
    header.image_size = 16;
    return header;
}

class BmpSlices : public testing_support::RendererTest {
  protected:
    // A rejected single file: exactly one error, the entry null, the name
    // text restored, no mapping, no stream left open, nothing left after
    // exit; with `width` given, the record keeps that shape of the file's.
    void expect_rejected(const fs::path &path, const std::string &message,
                         const std::string &context, int width = -1, int height = -1) {
        const int descriptors = testing_support::open_descriptors();
        auto instance = load_bmp(path.string(), 1);
        EXPECT_EQ(testing_support::open_descriptors(), descriptors) << context;
        EXPECT_EQ(renderer.log().errors(), std::vector<std::string>{message}) << context;
        ASSERT_NE(instance->volume(), nullptr);
        EXPECT_EQ(slice(*instance, 0), Bytes{}) << context;
        expect_name_restored(*instance, path.string());
        EXPECT_TRUE(mapping_is_zero(*instance)) << context;
        if (width >= 0) {
            EXPECT_EQ(instance->volume()->width, width) << context;
            EXPECT_EQ(instance->volume()->height, height) << context;
        }
        instance->exit(state);
        EXPECT_EQ(renderer.allocator().live_blocks(), 0u) << context;
    }
};

// The example loads, rows reversed and padding dropped, with either sign of
// height, from its data offset whatever lies between the header and it (a
// 124-byte information header, a palette, a gap), and with an image size
// beyond what the rows need (read and ignored). Voxel (0, 0, 0) is the
// slice's first three bytes: blue 7, green 8, red 9.
TEST_F(BmpSlices, ExampleLoadsWhereverItsPixelAreaLies) {
    const struct {
        int32_t height;
        uint32_t data_offset, header_size, surplus;
    } cases[] = {{2, 54, 40, 0},  {-2, 54, 40, 0}, {2, 138, 124, 0},
                 {2, 200, 40, 0}, {2, 54, 40, 7},  {2, 138, 124, 100}};
    int n = 0;
    for (const auto &c : cases) {
        SCOPED_TRACE("height " + std::to_string(c.height) + " offset " +
                     std::to_string(c.data_offset) + " surplus " + std::to_string(c.surplus));
        Header header = example_header();
        header.height = c.height;
        header.data_offset = c.data_offset;
        header.header_size = c.header_size;
        header.image_size = 16 + c.surplus;
        Bytes area = example_area;
        area.insert(area.end(), c.surplus, 0xCC);
        const fs::path path =
            write("e" + std::to_string(n++) + ".bmp", bmp_writer::file(header, area));
        auto instance = load_bmp(path.string(), 1);
        EXPECT_TRUE(renderer.log().errors().empty());
        EXPECT_EQ(renderer.log().infos(),
                  std::vector<std::string>{"filename = " + path.string() + " "});
        EXPECT_EQ(instance->volume()->width, 2);
        EXPECT_EQ(instance->volume()->height, 2);
        EXPECT_EQ(slice(*instance, 0), example_slice);
        expect_name_restored(*instance, path.string());
        const miColor colour = instance->lookup(state, {0, 0, 0});
        EXPECT_EQ(colour.b, 7.0f / 255.0f);
        EXPECT_EQ(colour.g, 8.0f / 255.0f);
        EXPECT_EQ(colour.r, 9.0f / 255.0f);
        instance->exit(state);
    }
}

// Widths 1 to 4 pad their rows by 1, 2, 3 and 0 bytes. The rows need
// height * (3 * width + pad) - pad bytes: exactly that is enough, one fewer
// is rejected before anything is read. The rows land reversed at any height
// (they are read in batches of falling size, the last one or two alone).
TEST_F(BmpSlices, RowsArePaddedByTheTableAndTheSpanIsChecked) {
    const int expected_pad[] = {1, 2, 3, 0};
    for (int width = 1; width <= 4; ++width) {
        for (int height : {1, 2, 3, 4, 7, 15}) {
            const int pad = expected_pad[width - 1];
            ASSERT_EQ(bmp_writer::row_pad(width), pad);
            std::vector<Bytes> rows;
            bmp_writer::numbered_file(width, height, 1, &rows);
            const Bytes area = bmp_writer::pixel_area(rows, width, 0xEE);
            const int span = height * (3 * width + pad) - pad;
            ASSERT_EQ(area.size(), size_t(span + pad));
            for (int image_size : {span + pad, span, span - 1}) {
                const std::string context = std::to_string(width) + " x " + std::to_string(height) +
                                            ", image size " + std::to_string(image_size);
                Header header;
                header.width = width;
                header.height = height;
                header.image_size = uint32_t(image_size);
                const Bytes stored(area.begin(), area.begin() + image_size);
                const fs::path path =
                    write("pad" + std::to_string(width) + "x" + std::to_string(height) + "_" +
                              std::to_string(image_size) + ".bmp",
                          bmp_writer::file(header, stored));
                if (image_size < span) {
                    expect_rejected(path,
                                    "pixel area of " + path.string() +
                                        " too small: " + std::to_string(image_size) +
                                        " bytes, need " + std::to_string(span),
                                    context);
                    continue;
                }
                auto instance = load_bmp(path.string(), 1);
                EXPECT_TRUE(renderer.log().errors().empty()) << context;
                EXPECT_EQ(slice(*instance, 0), bmp_writer::reversed_rows(rows)) << context;
                instance->exit(state);
            }
        }
    }
}

// One header field of the example at a time set to a value the reader
// refuses: a signature other than "BM", a bit count other than 24 (a signed
// 16-bit field), an image size the file cannot deliver or none at all, a
// data offset past the end. Past the signature the record keeps the file's
// shape, and no buffer is ever taken for what the header claims.
TEST_F(BmpSlices, RefusedHeaderFieldsGiveTheirMessage) {
    const struct {
        size_t at;
        int size;
        uint32_t value;
        const char *message;
    } cases[] = {
        {0, 2, 0x4142, "file doesn't have bitmap ID code"}, // "BA"
        {0, 2, 0x424D, "file doesn't have bitmap ID code"}, // "MB"
        {0, 2, 0x0000, "file doesn't have bitmap ID code"},
        {0, 2, 0x6D62, "file doesn't have bitmap ID code"}, // "bm"
        {28, 2, 32, "?bitcount= 32"},
        {28, 2, 8, "?bitcount= 8"},
        {28, 2, 1, "?bitcount= 1"},
        {28, 2, 0, "?bitcount= 0"},
        {28, 2, 16, "?bitcount= 16"},
        {28, 2, 30000, "?bitcount= 30000"},
        {28, 2, 0xFFFF, "?bitcount= -1"},
        {28, 2, 0x8000, "?bitcount= -32768"},
        {34, 4, 0, "bitsize mismatch"},
        {34, 4, 17, "bitsize mismatch"}, // one byte more than the file holds
        {34, 4, 0x7fffffff, "bitsize mismatch"},
        {34, 4, 0x80000000u, "bitsize mismatch"}, // negative as a signed size
        {34, 4, 0xffffffffu, "bitsize mismatch"},
        {10, 4, 1000, "bitsize mismatch"}, // the data offset
        {10, 4, 0xffffffffu, "bitsize mismatch"},
    };
    int n = 0;
    for (const auto &c : cases) {
        const std::string context =
            "byte " + std::to_string(c.at) + " = " + std::to_string(c.value);
        Bytes bytes = bmp_writer::file(example_header(), example_area);
        bmp_writer::put_le(bytes, c.at, c.value, c.size);
        const fs::path path = write("h" + std::to_string(n++) + ".bmp", bytes);
        if (c.at == 0)
            expect_rejected(path, c.message, context);
        else
            expect_rejected(path, c.message, context, 2, 2);
    }
    EXPECT_LT(renderer.allocator().peak_bytes(), 4096);
}

// Every cut of a usual and of a 124-byte-header file is rejected at the first
// read that comes up short: inside the signature as a missing signature,
// anywhere else as a bitsize mismatch.
TEST_F(BmpSlices, FileCutShortAnywhereIsRejected) {
    Header wide = example_header();
    wide.data_offset = 138;
    wide.header_size = 124;
    const Bytes files[] = {bmp_writer::file(example_header(), example_area),
                           bmp_writer::file(wide, example_area)};
    for (const Bytes &whole : files) {
        for (size_t cut = 0; cut < whole.size(); ++cut) {
            const fs::path path = write("cut.bmp", Bytes(whole.begin(), whole.begin() + cut));
            expect_rejected(path, cut < 2 ? "file doesn't have bitmap ID code" : "bitsize mismatch",
                            "cut at " + std::to_string(cut) + " of " +
                                std::to_string(whole.size()));
        }
    }
}

// Shapes with no voxels, with an absolute height that does not exist, or
// whose byte counts do not fit a signed 32-bit integer are rejected before
// anything is allocated; lookups on what is left answer zero.
TEST_F(BmpSlices, BadShapesAreRejectedBeforeAnyAllocation) {
    // Allocations of a load that fails at the signature: the record, the
    // saved name and the slice table.
    Header bad_signature = example_header();
    bad_signature.signature[1] = 'A';
    const fs::path baseline_path = write("base.bmp", bmp_writer::file(bad_signature, {}));
    size_t before = renderer.allocator().allocations();
    load_bmp(baseline_path.string(), 1)->exit(state);
    const size_t baseline = renderer.allocator().allocations() - before;

    const struct {
        int32_t width, height;
        const char *shape; // as reported
    } cases[] = {
        {0, 2, "0 x 2"},
        {2, 0, "2 x 0"},
        {-2, 2, "-2 x 2"},
        {-2, -2, "-2 x 2"},
        {2, INT_MIN, "2 x -2147483648"},
        {INT_MIN, 2, "-2147483648 x 2"},
        {1, -INT_MAX, "1 x 2147483647"},
        {INT_MAX, INT_MAX, "2147483647 x 2147483647"},
        {65536, 65536, "65536 x 65536"},
        {0x2AAAAAAB, 1, "715827883 x 1"}, // 3 * width is 2^31 + 1
        {3000000, -2000000, "3000000 x 2000000"},
    };
    int n = 0;
    for (const auto &c : cases) {
        Header header = example_header();
        header.width = c.width;
        header.height = c.height;
        const fs::path path =
            write("shape" + std::to_string(n++) + ".bmp", bmp_writer::file(header, example_area));
        before = renderer.allocator().allocations();
        auto instance = load_bmp(path.string(), 2, standin::TRILINEAR_MODE);
        EXPECT_EQ(renderer.allocator().allocations() - before, baseline) << c.shape;
        EXPECT_EQ(renderer.log().errors(),
                  std::vector<std::string>{std::string("bad bitmap shape ") + c.shape + " in " +
                                           path.string()});
        EXPECT_EQ(slice(*instance, 0), Bytes{});
        for (int mode : {standin::NEAREST_MODE, standin::TRILINEAR_MODE, standin::OFFSET_MODE}) {
            instance->param<int32_t>("interpolation") = mode;
            for (miVector p : {miVector{0, 0, 0}, miVector{0.5f, 0.5f, 0}, miVector{0.25f, 1, 0}}) {
                const miColor colour = instance->lookup(state, p);
                EXPECT_EQ(colour.r + colour.g + colour.b, 0.0f) << c.shape << " mode " << mode;
            }
        }
        instance->exit(state);
        EXPECT_EQ(renderer.allocator().live_blocks(), 0u);
    }
}

// Every slice is looked up with the record's one shape, so a slice of
// another shape is refused; whatever rejects slice 1, the record keeps slice
// 0's shape and every lookup stays inside slice 0's buffer.
TEST_F(BmpSlices, SliceRejectedAfterTheFirstKeepsTheFirstShape) {
    std::vector<Bytes> rows0, rows;
    const Bytes first = bmp_writer::numbered_file(2, 2, 1, &rows0);
    Header thirty_two;
    thirty_two.width = 4;
    thirty_two.height = 4;
    thirty_two.bit_count = 32;
    thirty_two.image_size = 64;
    Header no_voxels = example_header();
    no_voxels.width = 0;
    Bytes cut = bmp_writer::numbered_file(9, 9, 5, &rows);
    cut.resize(30); // width and height read, the image size missing
    Bytes unsigned_file = first, too_large = first, too_small = first;
    unsigned_file[1] = 'A';
    bmp_writer::put_le(too_large, 34, 17, 4); // one byte more than the file holds
    bmp_writer::put_le(too_small, 34, 13, 4); // one byte less than the rows need
    const struct {
        Bytes second;
        const char *message; // %s stands for slice 1's path
    } cases[] = {
        {bmp_writer::numbered_file(3, 2, 5, &rows),
         "slice %s is 3 x 2, unlike the first slice's 2 x 2"},
        {bmp_writer::numbered_file(2, 3, 5, &rows),
         "slice %s is 2 x 3, unlike the first slice's 2 x 2"},
        {bmp_writer::numbered_file(1, 1, 5, &rows),
         "slice %s is 1 x 1, unlike the first slice's 2 x 2"},
        {bmp_writer::numbered_file(40, 40, 5, &rows),
         "slice %s is 40 x 40, unlike the first slice's 2 x 2"},
        {bmp_writer::file(thirty_two, Bytes(64, 7)), "?bitcount= 32"},
        {bmp_writer::file(no_voxels, example_area), "bad bitmap shape 0 x 2 in %s"},
        {cut, "bitsize mismatch"},
        {unsigned_file, "file doesn't have bitmap ID code"},
        {too_large, "bitsize mismatch"},
        {too_small, "pixel area of %s too small: 13 bytes, need 14"},
    };
    for (const auto &c : cases) {
        write("mixed0.bmp", first);
        const fs::path second = write("mixed1.bmp", c.second);
        write("mixed2.bmp", first);
        std::string message = c.message;
        const size_t at = message.find("%s");
        if (at != std::string::npos) message.replace(at, 2, second.string());
        auto instance = load_bmp((folder / "mixed0.bmp").string(), 3);
        EXPECT_EQ(renderer.log().errors(), std::vector<std::string>{message});
        EXPECT_EQ(instance->volume()->width, 2) << message;
        EXPECT_EQ(instance->volume()->height, 2) << message;
        EXPECT_EQ(slice(*instance, 0), bmp_writer::reversed_rows(rows0)) << message;
        EXPECT_EQ(slice(*instance, 1), Bytes{}) << message;
        EXPECT_EQ(slice(*instance, 2), Bytes{}) << message;
        // Slice 0 answers from its own bytes; slice 1 was never loaded.
        const miColor c0 = instance->lookup(state, {1, 1, 0});
        EXPECT_EQ(c0.b, float(rows0[0][3]) / 255.0f) << message;
        const miColor c1 = instance->lookup(state, {1, 1, 1});
        EXPECT_EQ(c1.r + c1.g + c1.b, 0.0f) << message;
        for (int mode : {standin::NEAREST_MODE, standin::TRILINEAR_MODE})
            for (float x = 0; x <= 1; x += 0.125f)
                for (float z = 0; z <= 1; z += 0.25f) {
                    instance->param<int32_t>("interpolation") = mode;
                    instance->lookup(state, {x, 1 - x, z});
                }
        instance->exit(state);
        EXPECT_EQ(renderer.allocator().live_blocks(), 0u);
    }
}

} // namespace
