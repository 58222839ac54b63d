// Raw volumes (file types 1 to 5, and codes outside 0..5) loaded through the
// stand-in renderer, as a renderer initialises an instance, and how any
// series, raw or BMP, stops at a file it cannot load.
#include <climits>
#include <cstring>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#if !defined(_WIN32)
#include <sys/stat.h>
#endif

#include "support/bmp_writer.h"
#include "support/test_support.h"

using standin::Instance;
using standin::Params;
using testing_support::Bytes;
using testing_support::counting;
namespace fs = std::filesystem;

namespace {

Bytes part(const Bytes &bytes, size_t from, size_t count) {
    return Bytes(bytes.begin() + from, bytes.begin() + from + count);
}

// Names are relative to the scratch folder, which is the working folder.
class RawLoading : public testing_support::RendererTest {
  protected:
    void SetUp() override {
        RendererTest::SetUp();
        previous_ = fs::current_path();
        fs::current_path(folder);
    }
    void TearDown() override {
        fs::current_path(previous_);
        RendererTest::TearDown();
    }

    std::unique_ptr<Instance> load_raw(const std::string &name, int filetype, int width, int height,
                                       int slices, int little_endian = 1) {
        return load({name, {0, 0, 0}, slices, 0, filetype, width, height, little_endian});
    }

    fs::path previous_;
};

// ---- Series and their names ------------------------------------------------

TEST_F(RawLoading, SeriesNamesFollowTheRunningNumber) {
    const struct {
        std::string first;
        std::vector<std::string> files; // slice 0 first; repeated names: one file
    } cases[] = {
        {"head_0098.raw", {"head_0098.raw", "head_0099.raw", "head_0100.raw"}},
        {"run.7/s001.raw", {"run.7/s001.raw", "ruo.7/s001.raw", "rup.7/s001.raw"}},
        {"nodot_volume", {"nodot_volume", "nodot_volume", "nodot_volume"}},
        {"a9/x9999/9/slice.raw", {"a9/x9999/9/slice.raw", "a9/x9999/9/slicf.raw"}},
        {"a9.raw", {"a9.raw", "b0.raw"}},
        {"x9999.raw", {"x9999.raw", "x0000.raw"}},
        {"9.raw", {"9.raw", "0.raw"}},
    };
    int filetype = U16_SERIES;
    for (const auto &c : cases) {
        // Each file's bytes start at 10 k + 1, k the first slice read from it.
        std::vector<int> first_use;
        for (size_t i = 0; i < c.files.size(); ++i) {
            size_t k = 0;
            while (c.files[k] != c.files[i])
                ++k;
            if (k == i) write(c.files[i], counting(4, 10 * int(i) + 1));
            first_use.push_back(int(k));
        }
        auto instance = load_raw(c.first, filetype, 2, 1, int(c.files.size()));
        EXPECT_TRUE(renderer.log().errors().empty()) << c.first;
        EXPECT_EQ(renderer.log().infos(), std::vector<std::string>{"filename = " + c.first + " "});
        for (size_t i = 0; i < c.files.size(); ++i)
            EXPECT_EQ(slice(*instance, int(i)), counting(4, 10 * first_use[i] + 1))
                << c.first << " slice " << i;
        expect_name_restored(*instance, c.first);
        EXPECT_FALSE(mapping_is_zero(*instance));
        instance->exit(state);
        filetype = filetype == U16_SERIES ? U12_SERIES : U16_SERIES; // loaded alike
    }
}

TEST_F(RawLoading, SliceFilesSkipTheirOwnLeadingBytes) {
    const Bytes first = counting(100), second = counting(40, 100), third = counting(32, 200);
    write("s000.raw", first);
    write("s001.raw", second);
    write("s002.raw", third);
    auto instance = load_raw("s000.raw", U16_SERIES, 4, 4, 3);
    EXPECT_TRUE(renderer.log().errors().empty());
    EXPECT_EQ(slice(*instance, 0), part(first, 68, 32)); // bytes 68 to 99
    EXPECT_EQ(slice(*instance, 1), part(second, 8, 32));
    EXPECT_EQ(slice(*instance, 2), third); // no leading bytes at all
    instance->exit(state);
}

// ---- Block files ---------------------------------------------------------------

// A block file's slices are its last bytes, whatever comes before them, in
// file order; 16-bit samples stay as stored whatever the byte order.
TEST_F(RawLoading, BlockSlicesAreTheFilesLastBytesAsStored) {
    const Bytes file = counting(30, 0xF0);
    write("block.raw", file);
    for (int filetype : {U8_BLOCK, U12_BLOCK, S16_BLOCK})
        for (int little_endian : {0, 1, 7}) {
            SCOPED_TRACE("type " + std::to_string(filetype) + " little_endian " +
                         std::to_string(little_endian));
            const size_t slice_bytes = filetype == U8_BLOCK ? 4 : 8; // 2 x 2 samples
            auto instance = load_raw("block.raw", filetype, 2, 2, 3, little_endian);
            EXPECT_TRUE(renderer.log().errors().empty());
            EXPECT_EQ(renderer.log().infos(), std::vector<std::string>{"filename = block.raw "});
            for (int z = 0; z < 3; ++z)
                EXPECT_EQ(slice(*instance, z),
                          part(file, file.size() - (3 - z) * slice_bytes, slice_bytes));
            expect_name_restored(*instance, "block.raw");
            instance->exit(state);
        }
}

TEST_F(RawLoading, BlockFileWithNoSlicesIsOpenedAndNothingIsRead) {
    write("block.raw", {});
    auto instance = load_raw("block.raw", U8_BLOCK, 2, 2, 0);
    EXPECT_TRUE(renderer.log().errors().empty());
    EXPECT_FALSE(mapping_is_zero(*instance)); // a finished load
    instance->exit(state);
}

// ---- Failures ----------------------------------------------------------------

// A series stops at its first missing or rejected file: the slices before it
// stay, the rest stay null, the name text is restored, no mapping is
// captured, and exit leaves nothing.
TEST_F(RawLoading, FailureInTheMiddleOfASeriesKeepsTheSlicesBefore) {
    const struct {
        int filetype;
        bool missing; // else slice 2's file is spoilt: one byte short, or not "BM"
        std::string message;
    } cases[] = {
        {U16_SERIES, true, "could not open file head_0002.raw"},
        {U16_SERIES, false, "file head_0002.raw is too short: 31 bytes, need 32"},
        {BMP_SERIES, true, "could not open file head_0002.bmp"},
        {BMP_SERIES, false, "file doesn't have bitmap ID code"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.message);
        const bool bmp = c.filetype == BMP_SERIES;
        const std::string first = bmp ? "head_0000.bmp" : "head_0000.raw";
        std::vector<Bytes> slices; // as each file loads
        for (int i = 0; i < 5; ++i) {
            std::vector<Bytes> rows;
            Bytes file = bmp ? bmp_writer::numbered_file(4, 4, i, &rows) : counting(32, i);
            slices.push_back(bmp ? bmp_writer::reversed_rows(rows) : file);
            if (i == 2 && bmp) file[1] = 'A';
            if (i == 2 && !bmp) file.pop_back();
            std::string name = first;
            name[8] = char('0' + i);
            if (i == 2 && c.missing)
                fs::remove(name);
            else
                write(name, file);
        }
        const size_t blocks_before = renderer.allocator().live_blocks();
        auto instance = load_raw(first, c.filetype, 4, 4, 5);
        EXPECT_EQ(renderer.log().errors(), std::vector<std::string>{c.message});
        EXPECT_EQ(renderer.log().infos(), std::vector<std::string>{"filename = " + first + " "});
        EXPECT_EQ(slice(*instance, 0), slices[0]);
        EXPECT_EQ(slice(*instance, 1), slices[1]);
        for (int z = 2; z < 5; ++z)
            EXPECT_TRUE(slice(*instance, z).empty()) << z;
        // The record, its table and two slices: nothing for slice 2.
        EXPECT_EQ(renderer.allocator().live_blocks() - blocks_before, 4u);
        expect_name_restored(*instance, first);
        EXPECT_TRUE(mapping_is_zero(*instance));
        instance->exit(state);
        EXPECT_EQ(renderer.allocator().live_blocks(), blocks_before);
    }
}

// A file that cannot give its slices (too short, a folder, missing) is
// refused with one message: the record keeps a table of the type's sample
// size with every entry null and no slice buffer, the name text is restored
// and no mapping is captured.
TEST_F(RawLoading, FilesThatCannotGiveTheirSlicesLeaveATableOfNullEntries) {
    enum File { SHORT, FOLDER, MISSING };
    const struct {
        File file;
        size_t file_bytes;
        int filetype, width, height, slices;
        std::string message;
    } cases[] = {
        {SHORT, 31, U16_SERIES, 4, 4, 1, "file vol.raw is too short: 31 bytes, need 32"},
        {SHORT, 0, U12_SERIES, 4, 4, 2, "file vol.raw is too short: 0 bytes, need 32"},
        {SHORT, 11, U8_BLOCK, 2, 2, 3, "file vol.raw is too short: 11 bytes, need 12"},
        {SHORT, 23, U12_BLOCK, 2, 2, 3, "file vol.raw is too short: 23 bytes, need 24"},
        {SHORT, 0, S16_BLOCK, 2, 2, 3, "file vol.raw is too short: 0 bytes, need 24"},
        // A slice that just fits an int; the volume's size needs 64 bits.
        {SHORT, 10, U8_BLOCK, 65535, 32768, 2,
         "file vol.raw is too short: 10 bytes, need 4294901760"},
        {FOLDER, 0, BMP_SERIES, 2, 2, 2, "file vol.raw is not a regular file"},
        {FOLDER, 0, U16_SERIES, 2, 2, 2, "file vol.raw is not a regular file"},
        {FOLDER, 0, U8_BLOCK, 2, 2, 2, "file vol.raw is not a regular file"},
        {FOLDER, 0, S16_BLOCK, 2, 2, 2, "file vol.raw is not a regular file"},
        {MISSING, 0, U8_BLOCK, 2, 2, 3, "could not open file vol.raw"},
        {MISSING, 0, U12_BLOCK, 2, 2, 3, "could not open file vol.raw"},
        {MISSING, 0, S16_BLOCK, 2, 2, 3, "could not open file vol.raw"},
        {MISSING, 0, U8_BLOCK, 2, 2, 0, "could not open file vol.raw"},
        {MISSING, 0, U12_BLOCK, 2, 2, 0, "could not open file vol.raw"},
        {MISSING, 0, S16_BLOCK, 2, 2, 0, "could not open file vol.raw"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.message + ", type " + std::to_string(c.filetype) + ", " +
                     std::to_string(c.slices) + " slices");
        fs::remove_all("vol.raw");
        if (c.file == SHORT) write("vol.raw", counting(c.file_bytes));
        if (c.file == FOLDER) fs::create_directories("vol.raw");
        const size_t blocks_before = renderer.allocator().live_blocks();
        auto instance = load_raw("vol.raw", c.filetype, c.width, c.height, c.slices);
        EXPECT_EQ(renderer.log().errors(), std::vector<std::string>{c.message});
        const VolumeData *volume = instance->volume();
        const bool wide = file_type_facts(c.filetype)->sample_bytes == 2;
        const void *table = wide ? (void *)volume->slices16 : (void *)volume->slices8;
        const void *other = wide ? (void *)volume->slices8 : (void *)volume->slices16;
        EXPECT_TRUE(table || c.slices == 0);
        EXPECT_EQ(other, nullptr);
        for (int z = 0; z < c.slices; ++z)
            EXPECT_TRUE(slice(*instance, z).empty()) << z;
        // The record and the table; no slice buffer.
        EXPECT_EQ(renderer.allocator().live_blocks() - blocks_before, 2u);
        expect_name_restored(*instance, "vol.raw");
        EXPECT_TRUE(mapping_is_zero(*instance));
        instance->exit(state);
    }
}

TEST_F(RawLoading, BadShapesAreRejectedBeforeAnythingIsAllocated) {
    const struct {
        int filetype, width, height, slices;
    } cases[] = {
        {U16_SERIES, 4, 4, -1},        {U8_BLOCK, 0, 4, 2},    {U12_BLOCK, 4, 0, 2},
        {S16_BLOCK, -2, 4, 1},         {U12_SERIES, 4, -7, 1}, {U8_BLOCK, 5, 5, INT_MIN},
        {U16_SERIES, 46341, 46341, 1}, // width x height overflows an int
        {U12_BLOCK, 65536, 16384, 1},  // 2^31 bytes in one slice
        {U8_BLOCK, 65536, 32768, 1},   // likewise, one byte per sample
        {U16_SERIES, 2, 2, INT_MAX},   // the slice table does not fit an int
    };
    write("vol.raw", counting(64)); // present, but never opened
    for (const auto &c : cases) {
        const size_t allocations_before = renderer.allocator().allocations();
        auto instance = load_raw("vol.raw", c.filetype, c.width, c.height, c.slices);
        const std::string message = "bad volume shape " + std::to_string(c.width) + " x " +
                                    std::to_string(c.height) + " x " + std::to_string(c.slices) +
                                    " for vol.raw";
        EXPECT_EQ(renderer.log().errors(), std::vector<std::string>{message});
        EXPECT_EQ(instance->volume()->slices8, nullptr) << message;
        EXPECT_EQ(instance->volume()->slices16, nullptr) << message;
        // The record and the saved name, nothing sized from the shape.
        EXPECT_EQ(renderer.allocator().allocations() - allocations_before, 2u) << message;
        EXPECT_EQ(renderer.allocator().live_blocks(), 1u) << message;
        expect_name_restored(*instance, "vol.raw");
        EXPECT_TRUE(mapping_is_zero(*instance));
        instance->exit(state);
    }
}

TEST_F(RawLoading, NoFileNameFailsTheLoad) {
    for (bool tag_zero : {true, false}) {
        auto instance = std::make_unique<Instance>(
            renderer, Params{tag_zero ? "" : "vol.raw", {0, 0, 0}, 1, 0, U8_BLOCK, 1, 1, 1});
        if (!tag_zero) instance->param<miTag>("filename") = 999; // the database has no such text
        instance->connect_coord([](miVector p) { return p; });
        renderer.log().clear();
        instance->init(state);
        EXPECT_EQ(renderer.log().errors(), std::vector<std::string>{"no file name given"});
        EXPECT_TRUE(renderer.log().infos().empty());
        EXPECT_EQ(instance->volume()->slices8, nullptr);
        EXPECT_TRUE(mapping_is_zero(*instance));
        instance->exit(state);
    }
}

TEST_F(RawLoading, CodesOutsideTheRangeLoadNothingAndSucceed) {
    for (int filetype : {6, -1, 100}) {
        auto instance = load_raw("missing.raw", filetype, 4, 4, 3);
        EXPECT_EQ(renderer.log().infos(), std::vector<std::string>{"filename = missing.raw "});
        EXPECT_TRUE(renderer.log().errors().empty()) << "type " << filetype;
        EXPECT_EQ(instance->volume()->slices8, nullptr);
        EXPECT_EQ(instance->volume()->slices16, nullptr);
        EXPECT_FALSE(mapping_is_zero(*instance)); // the load counted as a success
        expect_name_restored(*instance, "missing.raw");
        instance->exit(state);
    }
}

// ---- Large block files -------------------------------------------------------

// A sparse file of `size` bytes with `data` at its end; false when the file
// system cannot make one cheaply.
bool make_sparse_file(const fs::path &path, uint64_t size, const Bytes &data, std::string *why) {
    { std::ofstream create(path, std::ios::binary); }
    std::error_code error;
    fs::resize_file(path, size, error);
    if (error) {
        *why = "resize_file: " + error.message();
        return false;
    }
#if !defined(_WIN32)
    struct stat status;
    if (stat(path.string().c_str(), &status) != 0 ||
        uint64_t(status.st_blocks) * 512 > (1u << 24)) {
        *why = "the file system does not keep files sparse";
        return false;
    }
#endif
    std::fstream stream(path, std::ios::binary | std::ios::in | std::ios::out);
    stream.seekp(std::streamoff(size - data.size()));
    stream.write(reinterpret_cast<const char *>(data.data()), std::streamsize(data.size()));
    stream.close();
    if (!stream) {
        *why = "writing past 2 GiB failed";
        return false;
    }
    return true;
}

TEST_F(RawLoading, BlockFilesOfTwoGibibytesAndMore) {
    const uint64_t two_gib = uint64_t(1) << 31, four_gib = uint64_t(1) << 32;
    const struct {
        int filetype, width, height, slices;
        uint64_t size; // the slices are the file's last bytes
    } cases[] = {
        {U8_BLOCK, 2, 2, 4, two_gib + 8},              // slices around 2 GiB
        {S16_BLOCK, 2, 1, 3, four_gib + 6},            // around 4 GiB
        {U12_BLOCK, 2, 2, 3, four_gib + two_gib + 37}, // every slice past 6 GiB
    };
    for (const auto &c : cases) {
        const size_t slice_bytes = size_t(c.width) * c.height * (c.filetype == U8_BLOCK ? 1 : 2);
        const Bytes data = counting(slice_bytes * c.slices, 1);
        std::string why;
        if (!make_sparse_file("big.raw", c.size, data, &why)) {
            fs::remove("big.raw");
            GTEST_SKIP() << "no sparse file of " << c.size << " bytes here: " << why;
        }
        auto instance = load_raw("big.raw", c.filetype, c.width, c.height, c.slices);
        EXPECT_TRUE(renderer.log().errors().empty()) << c.size;
        for (int z = 0; z < c.slices; ++z)
            EXPECT_EQ(slice(*instance, z), part(data, z * slice_bytes, slice_bytes))
                << c.size << " slice " << z;
        instance->exit(state);
        fs::remove("big.raw");
    }
}

} // namespace
