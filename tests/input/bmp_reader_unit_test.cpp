// The BMP slice reader called directly (the library's objects are linked into
// this program, which also provides the renderer).
#include "input/volume_input.h"
#include "support/bmp_writer.h"
#include "support/test_support.h"

using bmp_writer::Bytes;

namespace fs = std::filesystem;

namespace {

// The series loop may hand over a stream it has measured by seeking to its
// end; the reader still reads the file from byte 0.
TEST(BmpReader, ReadsFromTheStartWhereverTheStreamStands) {
    standin::Renderer renderer;
    renderer.log().set_echo(false);
    miSetModuleHandle(standin::Renderer::program_handle());
    const fs::path path = testing_support::scratch_folder() / "slice.bmp";
    std::vector<Bytes> rows;
    testing_support::write_file(path, bmp_writer::numbered_file(2, 2, 1, &rows));
    for (long position : {0L, 1L, 30L, -1L}) {
        FILE *stream = testing_support::open_file(path, "rb");
        ASSERT_NE(stream, nullptr);
        fseek(stream, position < 0 ? 0 : position, position < 0 ? SEEK_END : SEEK_SET);
        void *table[1] = {nullptr};
        nimbrel::LoadedSlices slices{table, 0, 0};
        EXPECT_TRUE(nimbrel::read_bmp_slice(stream, int64_t(fs::file_size(path)), &slices, 0,
                                            path.string().c_str()))
            << position;
        fclose(stream);
        EXPECT_TRUE(renderer.log().errors().empty()) << position;
        ASSERT_NE(table[0], nullptr);
        const auto *slice = static_cast<const uint8_t *>(table[0]);
        EXPECT_EQ(Bytes(slice, slice + 12), bmp_writer::reversed_rows(rows)) << position;
        renderer.allocator().release(__FILE__, __LINE__, table[0]);
    }
    EXPECT_EQ(renderer.allocator().live_blocks(), 0u) << renderer.allocator().describe_live();
}

} // namespace
