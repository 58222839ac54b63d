// The BMP slice reader called directly (the library's objects are linked into
// this program, which also provides the renderer): it reads the file from its
// start wherever the stream stands, and leaves the stream to its caller.
#include <climits>

#include "input/volume_input.h"
#include "support/bmp_writer.h"
#include "support/test_support.h"

using bmp_writer::Bytes;
using bmp_writer::Header;

namespace fs = std::filesystem;

namespace {

class BmpReader : public ::testing::Test {
  protected:
    void SetUp() override {
        renderer.log().set_echo(false);
        miSetModuleHandle(standin::Renderer::program_handle());
        folder = testing_support::scratch_folder();
    }
    void TearDown() override {
        EXPECT_EQ(renderer.allocator().live_blocks(), 0u) << renderer.allocator().describe_live();
        std::error_code ignored;
        fs::remove_all(folder, ignored);
    }

    // Calls the reader on `bytes` as slice `index` of a two-slice load that
    // holds `width` x `height`, with the stream at `position` (-1: the end).
    bool read(const Bytes &bytes, int index, long position = 0, int32_t width = 0,
              int32_t height = 0) {
        const fs::path path = folder / "slice.bmp";
        testing_support::write_file(path, bytes);
        FILE *stream = fopen(path.string().c_str(), "rb");
        EXPECT_NE(stream, nullptr);
        if (!stream) return false;
        if (position < 0)
            fseek(stream, 0, SEEK_END);
        else
            fseek(stream, position, SEEK_SET);
        table[0] = table[1] = nullptr;
        slices = nimbrel::LoadedSlices{table, width, height};
        const bool loaded = nimbrel::read_bmp_slice(stream, int64_t(bytes.size()), &slices, index,
                                                    path.string().c_str());
        fclose(stream);
        return loaded;
    }

    void release_slices() {
        for (void *&slice : table) {
            renderer.allocator().release(__FILE__, __LINE__, slice);
            slice = nullptr;
        }
    }

    standin::Renderer renderer;
    fs::path folder;
    nimbrel::LoadedSlices slices{};
    void *table[2] = {nullptr, nullptr};
};

// The series loop may hand over a stream it has measured by seeking to its
// end; the reader still reads the file from byte 0.
TEST_F(BmpReader, ReadsFromTheStartWhereverTheStreamStands) {
    std::vector<Bytes> rows;
    const Bytes file = bmp_writer::numbered_file(2, 2, 1, &rows);
    for (long position : {0L, 1L, 30L, -1L}) {
        renderer.log().clear();
        EXPECT_TRUE(read(file, 0, position)) << position;
        EXPECT_TRUE(renderer.log().errors().empty()) << position;
        ASSERT_NE(table[0], nullptr);
        const uint8_t *slice = static_cast<const uint8_t *>(table[0]);
        EXPECT_EQ(Bytes(slice, slice + 12), bmp_writer::reversed_rows(rows)) << position;
        release_slices();
    }
}

// Every way of failing leaves nothing allocated and the entry null, and
// reports once; slice 1 keeps the load's shape.
TEST_F(BmpReader, EveryRejectionLeavesNothingAndReportsOnce) {
    std::vector<Bytes> rows;
    const Bytes good = bmp_writer::numbered_file(2, 2, 1, &rows);
    Bytes bad_signature = good, bad_bits = good, too_large = good, bad_shape = good,
          other_shape = bmp_writer::numbered_file(3, 2, 1, &rows), small_area = good;
    bad_signature[1] = 'A';
    bmp_writer::put_le(bad_bits, 28, 32, 2);
    bmp_writer::put_le(too_large, 34, 17, 4);
    bmp_writer::put_le(bad_shape, 18, uint32_t(INT_MIN), 4);
    bmp_writer::put_le(small_area, 34, 13, 4);
    const struct {
        Bytes bytes;
        const char *why;
    } cases[] = {
        {Bytes(), "empty"},
        {Bytes(good.begin(), good.begin() + 20), "cut in the header"},
        {bad_signature, "signature"},
        {bad_bits, "bit count"},
        {too_large, "image size too large"},
        {bad_shape, "shape"},
        {small_area, "image size below the span"},
        {other_shape, "shape unlike slice 0's"},
    };
    for (const auto &c : cases) {
        for (int index : {0, 1}) {
            if (index == 0 && std::string(c.why) == "shape unlike slice 0's") continue;
            renderer.log().clear();
            EXPECT_FALSE(read(c.bytes, index, 0, index ? 2 : 0, index ? 2 : 0)) << c.why;
            EXPECT_EQ(renderer.log().errors().size(), 1u) << c.why;
            EXPECT_EQ(table[0], nullptr) << c.why;
            EXPECT_EQ(table[1], nullptr) << c.why;
            if (index == 1) {
                EXPECT_EQ(slices.width, 2) << c.why;
                EXPECT_EQ(slices.height, 2) << c.why;
            }
            EXPECT_EQ(renderer.allocator().live_blocks(), 0u) << c.why;
        }
    }
}

} // namespace
