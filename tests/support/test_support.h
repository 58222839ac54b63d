// Shared pieces of the test programs: a loaded stand-in renderer per test, a
// scratch folder of this process's own, file writers and readers, and a count
// of open descriptors.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#if defined(_WIN32)
#include <process.h>
#else
#include <unistd.h>
#endif

#include "renderer/standin.h"
#include "shader/volume_records.h"

namespace testing_support {

namespace fs = std::filesystem;
using Bytes = std::vector<unsigned char>;

// This process's scratch folder, made under the system's temporary folder on
// first use and removed at exit, so that runs from other checkouts or builds
// at the same time never share one. No '.' may stand in its path: a series
// is numbered at the first '.' of its whole name.
inline const fs::path &scratch_root() {
    static const struct Root {
        fs::path path;
        Root() {
#if defined(_WIN32)
            const int id = _getpid();
#else
            const int id = int(getpid());
#endif
            path = fs::temp_directory_path() / ("nimbrel-tests-" + std::to_string(id));
            fs::remove_all(path);
            fs::create_directories(path);
        }
        ~Root() {
            std::error_code ignored;
            fs::remove_all(path, ignored);
        }
    } root;
    return root.path;
}

// A fresh scratch folder for the running test, inside this process's own.
inline fs::path scratch_folder() {
    const ::testing::TestInfo *info = ::testing::UnitTest::GetInstance()->current_test_info();
    const fs::path folder =
        scratch_root() / (std::string(info->test_suite_name()) + "_" + info->name());
    fs::remove_all(folder);
    fs::create_directories(folder);
    EXPECT_EQ(folder.string().find('.'), std::string::npos) << folder;
    return folder;
}

// The file at `path` opened with `mode`; names outside ASCII open on Windows too.
inline FILE *open_file(const fs::path &path, const char *mode) {
#if defined(_WIN32)
    const std::wstring wide_mode(mode, mode + strlen(mode));
    return _wfopen(path.wstring().c_str(), wide_mode.c_str());
#else
    return fopen(path.string().c_str(), mode);
#endif
}

inline void write_file(const fs::path &path, const Bytes &bytes) {
    FILE *file = open_file(path, "wb");
    ASSERT_NE(file, nullptr) << path;
    if (!bytes.empty()) {
        ASSERT_EQ(fwrite(bytes.data(), 1, bytes.size(), file), bytes.size());
    }
    fclose(file);
}

// The whole file, or nothing when it cannot be read.
inline Bytes read_file(const fs::path &path) {
    Bytes bytes;
    FILE *file = open_file(path, "rb");
    if (!file) return bytes;
    unsigned char buffer[4096];
    for (size_t got; (got = fread(buffer, 1, sizeof buffer, file)) > 0;)
        bytes.insert(bytes.end(), buffer, buffer + got);
    fclose(file);
    return bytes;
}

// The whole file as text, Windows line ends read as '\n'; empty when it cannot be read.
inline std::string read_text(const fs::path &path) {
    const Bytes bytes = read_file(path);
    std::string text(bytes.begin(), bytes.end());
    text.erase(std::remove(text.begin(), text.end(), '\r'), text.end());
    return text;
}

// Bytes first, first + 1, ... (mod 256).
inline Bytes counting(size_t count, int first = 0) {
    Bytes bytes(count);
    for (size_t i = 0; i < count; ++i)
        bytes[i] = static_cast<unsigned char>(first + int(i));
    return bytes;
}

// FNV-1a of `bytes`, continuing from `hash`.
inline uint64_t fnv1a(const Bytes &bytes, uint64_t hash = 14695981039346656037ull) {
    for (unsigned char byte : bytes)
        hash = (hash ^ byte) * 1099511628211ull;
    return hash;
}

// Descriptors this process holds open (every open stream holds one), or -1
// where the system does not list them in /proc/self/fd (under Wine that path
// would list the emulator's own descriptors). Compare counts taken before and
// after a load to see that it left no file open.
inline int open_descriptors() {
#if defined(__linux__)
    std::error_code error;
    int count = 0;
    for (fs::directory_iterator entry("/proc/self/fd", error), end; !error && entry != end;
         entry.increment(error))
        ++count;
    return error ? -1 : count;
#else
    return -1;
#endif
}

using Coord = std::function<miVector(miVector)>;

// A renderer with the library loaded and messages kept quiet on stderr.
class RendererTest : public ::testing::Test {
  protected:
    void SetUp() override {
        renderer.log().set_echo(false);
        ASSERT_TRUE(renderer.load(standin::default_library_path())) << renderer.load_error();
        folder = scratch_folder();
        descriptors = open_descriptors();
    }
    // Every test ends with its instances released and no file left open.
    void TearDown() override {
        EXPECT_EQ(renderer.allocator().live_blocks(), 0u) << renderer.allocator().describe_live();
        EXPECT_EQ(open_descriptors(), descriptors) << "a file was left open";
        renderer.unload();
        std::error_code ignored;
        fs::remove_all(folder, ignored);
    }

    // Writes `bytes` as `name` in the scratch folder, making its folders; the path.
    fs::path write(const std::string &name, const Bytes &bytes) {
        const fs::path path = folder / name;
        fs::create_directories(path.parent_path());
        write_file(path, bytes);
        return path;
    }

    // An instance of `params` whose coord follows the current point through
    // `coord`, initialised with the log cleared first, on a state with
    // nothing cached, as a renderer hands it over.
    std::unique_ptr<standin::Instance> load(
        const standin::Params &params, Coord coord = [](miVector p) { return p; }) {
        auto instance = std::make_unique<standin::Instance>(renderer, params);
        instance->connect_coord(coord);
        renderer.log().clear();
        standin::State init_state;
        instance->init(init_state);
        return instance;
    }

    // A colour volume of `slices` BMP files from `first` on.
    std::unique_ptr<standin::Instance> load_bmp(const std::string &first, int slices,
                                                int interpolation = standin::NEAREST_MODE) {
        return load({first, {0, 0, 0}, slices, interpolation, BMP_SERIES, 0, 0, 1});
    }

    // Slice z as loaded (width x height samples of the volume's type), or
    // empty when its entry or the table is null.
    static Bytes slice(const standin::Instance &instance, int z) {
        const VolumeData *volume = instance.volume();
        const FileTypeFacts *facts = volume ? file_type_facts(volume->filetype) : nullptr;
        if (!facts) return {};
        const void *const *table = facts->sample_bytes == 2
                                       ? reinterpret_cast<const void *const *>(volume->slices16)
                                       : reinterpret_cast<const void *const *>(volume->slices8);
        if (!table || !table[z]) return {};
        const auto *start = static_cast<const unsigned char *>(table[z]);
        return Bytes(start, start + size_t(volume->width) * size_t(volume->height) *
                                        size_t(facts->sample_bytes * facts->channels));
    }

    // True while no mapping was captured: the load failed (or never ran).
    static bool mapping_is_zero(const standin::Instance &instance) {
        for (float element : instance.volume()->mapping)
            if (element != 0.0f) return false;
        return true;
    }

    // The renderer's name text, terminator included, is `name` byte for byte.
    static void expect_name_restored(standin::Instance &instance, const std::string &name) {
        EXPECT_EQ(std::memcmp(instance.filename_text(), name.c_str(), name.size() + 1), 0)
            << "name text now reads " << instance.filename_text();
    }

    standin::Renderer renderer;
    standin::State state;
    fs::path folder;
    int descriptors = -1; // open when the test began
};

} // namespace testing_support
