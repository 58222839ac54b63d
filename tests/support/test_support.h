// Shared pieces of the test programs: a loaded stand-in renderer per test, a
// scratch folder, file writers, and a count of open descriptors.
#pragma once

#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

#include "renderer/standin.h"
#include "shader/volume_records.h"

namespace testing_support {

namespace fs = std::filesystem;

// A fresh scratch folder per test, removed afterwards.
inline fs::path scratch_folder() {
    const ::testing::TestInfo *info = ::testing::UnitTest::GetInstance()->current_test_info();
    fs::path folder = fs::temp_directory_path() / "nimbrel-tests" /
                      (std::string(info->test_suite_name()) + "." + info->name());
    fs::remove_all(folder);
    fs::create_directories(folder);
    return folder;
}

inline void write_file(const fs::path &path, const std::vector<unsigned char> &bytes) {
    FILE *file = fopen(path.string().c_str(), "wb");
    ASSERT_NE(file, nullptr) << path;
    if (!bytes.empty()) {
        ASSERT_EQ(fwrite(bytes.data(), 1, bytes.size(), file), bytes.size());
    }
    fclose(file);
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

    standin::Renderer renderer;
    standin::State state;
    fs::path folder;
    int descriptors = -1; // open when the test began
};

} // namespace testing_support
