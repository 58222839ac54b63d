// The voxel fetches, the trilinear blend and the slice-name counter, called
// directly on records built by hand.
#include <gtest/gtest.h>

#include <climits>
#include <cmath>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "input/volume_input.h"
#include "sample/sample_exchange.h"
#include "sample/trilinear.h"
#include "sample/voxel_fetch.h"

extern "C" void sample_exchange_layout_in_c(size_t layout[7]);

namespace {

// ---- The caller's record -------------------------------------------------------

TEST(SampleExchangeRecord, CAndCppSeeTheSameLayout) {
    size_t layout[7];
    sample_exchange_layout_in_c(layout);
    const size_t expected[7] = {128, 28, 32, 44, 56, 60, 64};
    for (int i = 0; i < 7; ++i)
        EXPECT_EQ(layout[i], expected[i]) << "entry " << i;
}

// A VolumeData with its slice buffers, built by hand. Slices are given as
// bytes in buffer order; a slice given as empty stays null.
class HandVolume {
  public:
    HandVolume(int filetype, int little_endian, int width, int height,
               const std::vector<std::vector<uint8_t>> &slices) {
        std::memset(&volume_, 0, sizeof volume_);
        volume_.width = width;
        volume_.height = height;
        volume_.depth = int(slices.size());
        volume_.filetype = filetype;
        volume_.little_endian = little_endian;
        const bool eight_bit = filetype == BMP_SERIES || filetype == U8_BLOCK;
        for (const auto &bytes : slices) {
            // uint16_t storage keeps 16-bit samples aligned.
            words_.emplace_back((bytes.size() + 1) / 2);
            if (!bytes.empty()) std::memcpy(words_.back().data(), bytes.data(), bytes.size());
        }
        for (size_t z = 0; z < slices.size(); ++z) {
            void *buffer = slices[z].empty() ? nullptr : words_[z].data();
            table8_.push_back(static_cast<uint8_t *>(buffer));
            table16_.push_back(static_cast<uint16_t *>(buffer));
        }
        if (eight_bit)
            volume_.slices8 = table8_.data();
        else
            volume_.slices16 = table16_.data();
    }
    HandVolume(const HandVolume &) = delete; // the record points into its own buffers
    HandVolume &operator=(const HandVolume &) = delete;
    const VolumeData *get() const { return &volume_; }
    VolumeData *edit() { return &volume_; }

  private:
    VolumeData volume_;
    std::vector<std::vector<uint16_t>> words_;
    std::vector<uint8_t *> table8_;
    std::vector<uint16_t *> table16_;
};

// ---- Voxel fetch -------------------------------------------------------------

TEST(VoxelFetch, SixteenBitSamplesFollowTheByteOrderAndSign) {
    const struct {
        int filetype, little_endian;
        uint8_t b0, b1;
        float expected;
    } cases[] = {
        {U16_SERIES, 1, 0x02, 0x01, 258.0f},   {U16_SERIES, 0, 0x02, 0x01, 513.0f},
        {U12_SERIES, 1, 0x02, 0x01, 258.0f},   {U12_SERIES, 0, 0x02, 0x01, 513.0f},
        {U12_BLOCK, 1, 0x02, 0x01, 258.0f},    {U12_BLOCK, 0, 0x02, 0x01, 513.0f},
        {U12_SERIES, 1, 0xFF, 0xFF, 65535.0f}, // not masked to 12 bits
        {U12_BLOCK, 0, 0xFF, 0xFF, 65535.0f},  {U16_SERIES, 7, 0x00, 0x80, 32768.0f},
        {S16_BLOCK, 1, 0xFF, 0xFF, -1.0f},     {S16_BLOCK, 1, 0x00, 0x80, -32768.0f},
        {S16_BLOCK, 1, 0xFF, 0x7F, 32767.0f},  {S16_BLOCK, 0, 0x00, 0x80, 128.0f},
        {S16_BLOCK, 0, 0xFF, 0xFF, -1.0f},     {S16_BLOCK, 0, 0x80, 0x00, -32768.0f},
        {S16_BLOCK, 0, 0x01, 0xFF, 511.0f},    {S16_BLOCK, -1, 0x02, 0x01, 258.0f},
    };
    for (const auto &c : cases) {
        // The sample sits at linear index 1 of slice 1, behind other bytes.
        HandVolume volume(c.filetype, c.little_endian, 2, 1,
                          {{0x11, 0x22, 0x33, 0x44}, {0x55, 0x66, c.b0, c.b1}});
        EXPECT_EQ(fetch_voxel_scalar(1, 0, 1, volume.get()), c.expected)
            << "type " << c.filetype << " little_endian " << c.little_endian << " bytes "
            << int(c.b0) << " " << int(c.b1);
    }
}

TEST(VoxelFetch, EightBitSamplesIgnoreTheByteOrder) {
    for (int little_endian : {0, 1}) {
        HandVolume volume(U8_BLOCK, little_endian, 2, 1, {{7, 255}});
        EXPECT_EQ(fetch_voxel_scalar(0, 0, 0, volume.get()), 7.0f);
        EXPECT_EQ(fetch_voxel_scalar(1, 0, 0, volume.get()), 255.0f);
        HandVolume colour(BMP_SERIES, little_endian, 1, 1, {{1, 2, 3}});
        const VoxelRgb rgb = fetch_voxel_rgb(0, 0, 0, colour.get());
        EXPECT_EQ(rgb.channel[0], 1.0f);
        EXPECT_EQ(rgb.channel[2], 3.0f);
    }
}

// Width 4, height 3, depth 2: voxel (x, y, z) holds 1 + x + 4y + 12z.
struct Voxel {
    int x, y, z;
};
const int kW = 4, kH = 3, kD = 2;
int voxel_value(int x, int y, int z) {
    return 1 + x + kW * y + kW * kH * z;
}

// Fetch coordinates and the voxel they read (by the linear index), or none.
const struct {
    Voxel at;
    bool reads;
    Voxel voxel;
} kBoundCases[] = {
    {{0, 0, 0}, true, {0, 0, 0}},
    {{4, 0, 0}, true, {0, 1, 0}},  // a column past the row reads the next row
    {{-1, 1, 0}, true, {3, 0, 0}}, // and before the row, the previous one
    {{-1, 0, 0}, false, {}},       // before the first voxel
    {{3, 2, 1}, true, {3, 2, 1}},  // the last voxel
    {{4, 2, 1}, false, {}},        // past the last voxel
    {{8, 0, 1}, true, {0, 2, 1}},
    {{-4, 2, 0}, true, {0, 1, 0}},
    {{0, -1, 0}, false, {}},
    {{11, 0, 0}, true, {3, 2, 0}},
    {{12, 0, 0}, false, {}},
    {{0, 0, -1}, false, {}},
    {{0, 0, 2}, false, {}},
    {{0, 0, INT_MAX}, false, {}},
    {{0, 0, INT_MIN}, false, {}},
    // Index arithmetic in 32 bits would wrap these onto voxels of the slice.
    {{0, 1 << 30, 0}, false, {}},
    {{1, 1 << 30, 0}, false, {}},
    {{INT_MIN, 1 << 29, 0}, true, {0, 0, 0}}, // exactly index 0
    {{INT_MAX, INT_MAX, 0}, false, {}},
    {{INT_MIN, INT_MIN, 1}, false, {}},
    {{INT_MAX, 0, 0}, false, {}},
    {{INT_MIN, 0, 0}, false, {}},
};

TEST(VoxelFetch, ScalarBoundsAreOnTheLinearIndex) {
    for (int filetype : {U8_BLOCK, U16_SERIES}) {
        std::vector<std::vector<uint8_t>> slices(kD);
        for (int z = 0; z < kD; ++z)
            for (int y = 0; y < kH; ++y)
                for (int x = 0; x < kW; ++x) {
                    slices[z].push_back(uint8_t(voxel_value(x, y, z)));
                    if (filetype == U16_SERIES) slices[z].push_back(0);
                }
        HandVolume volume(filetype, 1, kW, kH, slices);
        for (const auto &c : kBoundCases) {
            const float expected =
                c.reads ? float(voxel_value(c.voxel.x, c.voxel.y, c.voxel.z)) : 0;
            EXPECT_EQ(fetch_voxel_scalar(c.at.x, c.at.y, c.at.z, volume.get()), expected)
                << "type " << filetype << " at " << c.at.x << ", " << c.at.y << ", " << c.at.z;
        }
    }
}

TEST(VoxelFetch, ColourBoundsAreOnTheLinearIndex) {
    // Byte p of slice z holds p + 1 + 40 z, so voxel bytes name their place.
    std::vector<std::vector<uint8_t>> slices(kD);
    for (int z = 0; z < kD; ++z)
        for (int p = 0; p < 3 * kW * kH; ++p)
            slices[z].push_back(uint8_t(p + 1 + 40 * z));
    HandVolume volume(BMP_SERIES, 1, kW, kH, slices);
    for (const auto &c : kBoundCases) {
        const VoxelRgb rgb = fetch_voxel_rgb(c.at.x, c.at.y, c.at.z, volume.get());
        for (int channel = 0; channel < 3; ++channel) {
            const int p = 3 * (c.voxel.x + kW * c.voxel.y) + channel;
            const float expected = c.reads ? float(p + 1 + 40 * c.voxel.z) : 0.0f;
            EXPECT_EQ(rgb.channel[channel], expected)
                << "at " << c.at.x << ", " << c.at.y << ", " << c.at.z << " channel " << channel;
        }
    }
}

TEST(VoxelFetch, SlicesNeverLoadedAnswerZero) {
    for (int filetype : {BMP_SERIES, U16_SERIES, U12_SERIES, U8_BLOCK, U12_BLOCK, S16_BLOCK}) {
        const std::vector<uint8_t> full(12, 9);
        HandVolume volume(filetype, 1, 2, 2, {full, {}}); // slice 1's entry is null
        HandVolume no_table(filetype, 1, 2, 2, {full, full});
        no_table.edit()->slices8 = nullptr;
        no_table.edit()->slices16 = nullptr;
        if (filetype == BMP_SERIES) {
            EXPECT_EQ(fetch_voxel_rgb(1, 1, 0, volume.get()).channel[2], 9.0f);
            EXPECT_EQ(fetch_voxel_rgb(1, 1, 1, volume.get()).channel[2], 0.0f);
            EXPECT_EQ(fetch_voxel_rgb(0, 0, 0, no_table.get()).channel[0], 0.0f);
        } else {
            EXPECT_NE(fetch_voxel_scalar(1, 1, 0, volume.get()), 0.0f) << "type " << filetype;
            EXPECT_EQ(fetch_voxel_scalar(1, 1, 1, volume.get()), 0.0f) << "type " << filetype;
            EXPECT_EQ(fetch_voxel_scalar(0, 0, 0, no_table.get()), 0.0f) << "type " << filetype;
        }
    }
}

// A colour record whose load stopped at slice 0 keeps the rejected header's
// shape; the fetch must not form 3 * (x + y * width) from it (a signed
// overflow, which the sanitizer build reports) before seeing the null slice.
TEST(VoxelFetch, ColourFetchOfAStoppedLoadDoesNoArithmeticOnTheShape) {
    HandVolume volume(BMP_SERIES, 1, 1, 1, {{}});
    volume.edit()->width = INT_MAX;
    volume.edit()->height = INT_MAX;
    for (const Voxel &at : {Voxel{INT_MIN, INT_MIN, 0}, Voxel{INT_MAX, INT_MAX, 0}}) {
        const VoxelRgb rgb = fetch_voxel_rgb(at.x, at.y, at.z, volume.get());
        EXPECT_EQ(rgb.channel[0], 0.0f);
        EXPECT_EQ(fetch_voxel_scalar(at.x, at.y, at.z, volume.get()), 0.0f);
    }
}

// ---- Trilinear interpolation ------------------------------------------------

// A fetch that records what it is asked for and answers from a table of
// corner values (by call number) or from the real fetch.
struct FetchLog {
    std::vector<Voxel> asked;
    std::vector<float> answers; // by call number; empty: forward to the fetch
};
thread_local FetchLog fetch_log;

float logging_fetch(int32_t x, int32_t y, int32_t z, const VolumeData *volume) {
    const size_t call = fetch_log.asked.size();
    fetch_log.asked.push_back({x, y, z});
    if (!fetch_log.answers.empty()) return call < 8 ? fetch_log.answers[call] : 0.0f;
    return fetch_voxel_scalar(x, y, z, volume);
}

// X + 10 Y + 100 Z on a 5 x 5 x 5 grid, unsigned 16-bit little-endian.
HandVolume linear_volume() {
    std::vector<std::vector<uint8_t>> slices(5);
    for (int z = 0; z < 5; ++z)
        for (int y = 0; y < 5; ++y)
            for (int x = 0; x < 5; ++x) {
                const int v = x + 10 * y + 100 * z;
                slices[z].push_back(uint8_t(v & 0xFF));
                slices[z].push_back(uint8_t(v >> 8));
            }
    return HandVolume(U16_SERIES, 1, 5, 5, slices);
}

TEST(Trilinear, CornersComeInOrderWithTheirWeights) {
    const HandVolume volume = linear_volume();
    const double weights[8] = {0.09375, 0.03125, 0.09375, 0.28125,
                               0.09375, 0.28125, 0.03125, 0.09375};
    const Voxel corners[8] = {{1, 2, 3}, {2, 2, 3}, {1, 3, 3}, {1, 2, 4},
                              {2, 2, 4}, {1, 3, 4}, {2, 3, 3}, {2, 3, 4}};
    for (int k = 0; k < 8; ++k) {
        fetch_log = FetchLog{};
        fetch_log.answers.assign(8, 0.0f);
        fetch_log.answers[k] = 1.0f;
        EXPECT_EQ(trilinear_scalar({1.25f, 2.5f, 3.75f}, volume.get(), logging_fetch),
                  float(weights[k]))
            << "corner " << k;
        ASSERT_EQ(fetch_log.asked.size(), 8u);
        for (int c = 0; c < 8; ++c) {
            EXPECT_EQ(fetch_log.asked[c].x, corners[c].x) << "corner " << c;
            EXPECT_EQ(fetch_log.asked[c].y, corners[c].y) << "corner " << c;
            EXPECT_EQ(fetch_log.asked[c].z, corners[c].z) << "corner " << c;
        }
    }
}

TEST(Trilinear, ReproducesALinearVolume) {
    const HandVolume volume = linear_volume();
    EXPECT_EQ(trilinear_scalar({1.25f, 2.5f, 3.75f}, volume.get(), fetch_voxel_scalar), 401.25f);
    EXPECT_EQ(trilinear_scalar({2.5f, 3.0f, 4.0f}, volume.get(), fetch_voxel_scalar), 432.5f);
    std::mt19937 random(7);
    std::uniform_real_distribution<float> inside(0.0f, 4.0f);
    for (int i = 0; i < 2000; ++i) {
        const miVector p = {inside(random), inside(random), inside(random)};
        const double exact = double(p.x) + 10.0 * p.y + 100.0 * p.z;
        EXPECT_NEAR(trilinear_scalar(p, volume.get(), fetch_voxel_scalar), exact, 444 * 4e-7)
            << p.x << ", " << p.y << ", " << p.z;
    }
}

TEST(Trilinear, WholeNumbersAndTheUpperFacesStayOnTheGrid) {
    const HandVolume volume = linear_volume();
    const struct {
        miVector point;
        float expected;
    } cases[] = {
        {{2, 3, 4}, 432.0f},
        {{4, 4, 4}, 444.0f},
        {{0, 0, 0}, 0.0f},
        {{4, 0.5f, 4}, 409.0f},
    };
    for (const auto &c : cases) {
        fetch_log = FetchLog{};
        EXPECT_EQ(trilinear_scalar(c.point, volume.get(), logging_fetch), c.expected);
        ASSERT_EQ(fetch_log.asked.size(), 8u); // eight fetches, also when corners coincide
        for (const Voxel &v : fetch_log.asked) {
            EXPECT_TRUE(v.x >= 0 && v.x <= 4 && v.y >= 0 && v.y <= 4 && v.z >= 0 && v.z <= 4)
                << v.x << ", " << v.y << ", " << v.z;
            if (c.point.x == 2) {
                EXPECT_TRUE(v.x == 2 && v.y == 3 && v.z == 4);
            }
        }
    }
}

// Each weight is a product of three doubles, ((first * second) * third),
// times the sample, rounded to float; the sum is a float, in corner order.
// fx * fy formed in float gives a different term for about a quarter of all
// fractions (corners 6 and 7); this point is one.
TEST(Trilinear, WeightProductsAreDoublesRoundedOnce) {
    const HandVolume volume = linear_volume();
    const float fx = 0x1.ab07dp-2f, fy = 0x1.fe8f02p-1f, fz = 0x1.70ce6p-1f;
    fetch_log = FetchLog{};
    fetch_log.answers.assign(8, 0.0f);
    fetch_log.answers[6] = 65535.0f;
    EXPECT_EQ(trilinear_scalar({fx, fy, fz}, volume.get(), logging_fetch), 0x1.dc5e24p+12f);

    std::mt19937 random(11);
    std::uniform_real_distribution<float> inside(0.0f, 3.0f);
    std::uniform_int_distribution<int> sample(-32768, 65535);
    for (int i = 0; i < 20000; ++i) {
        const miVector p = {inside(random), inside(random), inside(random)};
        fetch_log = FetchLog{};
        for (int k = 0; k < 8; ++k)
            fetch_log.answers.push_back(float(sample(random)));
        const double ux = p.x - std::floor(double(p.x)), uy = p.y - std::floor(double(p.y)),
                     uz = p.z - std::floor(double(p.z));
        const double weights[8] = {(1 - ux) * (1 - uy) * (1 - uz),
                                   (1 - uy) * ux * (1 - uz),
                                   (1 - ux) * uy * (1 - uz),
                                   (1 - ux) * (1 - uy) * uz,
                                   (1 - uy) * ux * uz,
                                   (1 - ux) * uy * uz,
                                   ux * uy * (1 - uz),
                                   ux * uy * uz};
        float expected = 0.0f;
        for (int k = 0; k < 8; ++k)
            expected += float(weights[k] * fetch_log.answers[k]);
        ASSERT_EQ(trilinear_scalar(p, volume.get(), logging_fetch), expected)
            << std::hexfloat << p.x << ", " << p.y << ", " << p.z;
    }
}

TEST(Trilinear, ColourChannelsBlendSeparatelyInFetchOrder) {
    HandVolume volume(BMP_SERIES, 1, 2, 1, {{10, 20, 30, 110, 0, 255}});
    const VoxelRgb rgb = trilinear_rgb({0.25f, 0.0f, 0.0f}, volume.get(), fetch_voxel_rgb);
    EXPECT_EQ(rgb.channel[0], 35.0f);
    EXPECT_EQ(rgb.channel[1], 15.0f);
    EXPECT_EQ(rgb.channel[2], 86.25f);
}

TEST(Trilinear, SignedSamplesBlendLikeAnyOther) {
    // -300 and 100, little-endian signed 16-bit.
    HandVolume volume(S16_BLOCK, 1, 2, 1, {{0xD4, 0xFE, 0x64, 0x00}});
    EXPECT_EQ(trilinear_scalar({0.5f, 0.0f, 0.0f}, volume.get(), fetch_voxel_scalar), -100.0f);
}

// ---- Slice names -------------------------------------------------------------

std::string advanced(std::string name) {
    const size_t dot = name.find('.');
    if (dot != std::string::npos) nimbrel::advance_slice_name(&name[0], dot);
    return name;
}

TEST(SliceName, RaisesTheFourCharactersBeforeTheFirstDot) {
    const struct {
        const char *from, *to;
    } cases[] = {
        {"head_0098.raw", "head_0099.raw"},
        {"head_0099.raw", "head_0100.raw"},
        {"a9.bmp", "b0.bmp"},
        {"x9999.raw", "x0000.raw"}, // the carry stops after four places
        {"9.raw", "0.raw"},         // and at the start of the name
        {"99.raw", "00.raw"},
        {"vol19999.raw", "vol10000.raw"},
        {"slice.bmp", "slicf.bmp"}, // not checked to be a digit
        {"run.7/s001.raw", "ruo.7/s001.raw"},
        {"a9/x9999/9/slice.bmp", "a9/x9999/9/slicf.bmp"},
        {"ab/9.raw", "ab00.raw"}, // '/' is raised like any character
        {".raw", ".raw"},         // nothing before the dot
    };
    for (const auto &c : cases)
        EXPECT_EQ(advanced(c.from), c.to) << c.from;
}

} // namespace
