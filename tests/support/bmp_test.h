// A fixture that loads BMP slice series through the stand-in renderer from a
// scratch folder whose path has no '.' (the series counter works on the
// characters before the first '.' of the whole path).
#pragma once

#include <cstring>
#include <memory>
#include <string>

#include "support/bmp_writer.h"
#include "support/test_support.h"

namespace bmp_writer {

namespace fs = std::filesystem;

// Loads BMP series (file type 0) through the stand-in renderer from a
// scratch folder without a '.' in its path.
class BmpTest : public testing_support::RendererTest {
  protected:
    void SetUp() override {
        testing_support::RendererTest::SetUp();
        std::error_code ignored;
        fs::remove_all(folder, ignored);
        const ::testing::TestInfo *info = ::testing::UnitTest::GetInstance()->current_test_info();
        folder = fs::temp_directory_path() / "nimbrel-bmp-tests" /
                 (std::string(info->test_suite_name()) + "_" + info->name());
        fs::remove_all(folder, ignored);
        fs::create_directories(folder);
        ASSERT_EQ(folder.string().find('.'), std::string::npos) << folder;
    }

    fs::path write(const std::string &name, const Bytes &bytes) {
        const fs::path path = folder / name;
        testing_support::write_file(path, bytes);
        return path;
    }

    // A file type 0 instance over `slices` files from `first` on, with
    // `coord` following the current point, initialised on `state`.
    std::unique_ptr<standin::Instance> load(const std::string &first, int slices,
                                            int interpolation = standin::NEAREST_MODE) {
        auto instance = std::make_unique<standin::Instance>(
            renderer, standin::Params{first, {0, 0, 0}, slices, interpolation, 0, 0, 0, 1});
        instance->connect_coord([](miVector p) { return p; });
        instance->init(state);
        return instance;
    }

    // Slice z as loaded (3 * width * height bytes), or empty when its entry
    // or the table is null.
    static Bytes slice(const standin::Instance &instance, int z) {
        const VolumeData *volume = instance.volume();
        if (!volume || !volume->slices8 || !volume->slices8[z]) return {};
        const uint8_t *bytes = volume->slices8[z];
        return Bytes(bytes, bytes + 3 * size_t(volume->width) * size_t(volume->height));
    }

    static bool mapping_is_zero(const standin::Instance &instance) {
        for (float element : instance.volume()->mapping)
            if (element != 0.0f) return false;
        return true;
    }
};

} // namespace bmp_writer
