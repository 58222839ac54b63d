// The sampling room's kernel, called directly: the one voxel fetch and the one
// trilinear blend, for every sample format, against the documented values and
// the reference; and the caller's record as C sees it.
#include <gtest/gtest.h>

#include <climits>
#include <cmath>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "sample/voxel_kernel.h"
#include "support/hand_volume.h"

extern "C" void sample_exchange_layout_in_c(size_t layout[7]);

using namespace nimbrel;

namespace {

TEST(SampleExchangeRecord, CAndCppSeeTheSameLayout) {
    size_t layout[7];
    sample_exchange_layout_in_c(layout);
    const size_t expected[7] = {128, 28, 32, 44, 56, 60, 64};
    for (int i = 0; i < 7; ++i)
        EXPECT_EQ(layout[i], expected[i]) << "entry " << i;
}

// The fetch the lookup runs for the volume's format, channel by channel.
reference::Value fetch(const HandVolume &volume, int32_t x, int32_t y, int32_t z) {
    const VolumeView view = volume.view();
    reference::Value value = {0, 0, 0};
    with_format(view.format, [&](auto format) {
        const auto voxel = fetch_voxel<decltype(format)>(slice_table(view), x, y, z);
        for (int c = 0; c < decltype(format)::channels; ++c)
            value[size_t(c)] = float(voxel.channel[c]);
    });
    return value;
}

// The blend the lookup runs for a point inside the grid, its floors and
// fractions formed as the lookup forms them.
reference::Value blend(const HandVolume &volume, miVector point) {
    const float p[3] = {point.x, point.y, point.z};
    int32_t floors[3];
    float frac[3];
    for (int a = 0; a < 3; ++a) {
        floors[a] = int32_t(std::floor(double(p[a])));
        frac[a] = float(p[a] - std::floor(double(p[a])));
    }
    const VolumeView view = volume.view();
    reference::Value value = {0, 0, 0};
    with_format(view.format, [&](auto format) {
        trilinear_blend<decltype(format)>(slice_table(view), cell_inside(floors, frac),
                                          value.data());
    });
    return value;
}

bool same_bits(const reference::Value &a, const reference::Value &b) {
    return std::memcmp(a.data(), b.data(), sizeof(float) * 3) == 0;
}

// ---- Voxel fetch -------------------------------------------------------------

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
            EXPECT_EQ(fetch(volume, c.at.x, c.at.y, c.at.z)[0], expected)
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
        const reference::Value rgb = fetch(volume, c.at.x, c.at.y, c.at.z);
        for (int channel = 0; channel < 3; ++channel) {
            const int p = 3 * (c.voxel.x + kW * c.voxel.y) + channel;
            const float expected = c.reads ? float(p + 1 + 40 * c.voxel.z) : 0.0f;
            EXPECT_EQ(rgb[size_t(channel)], expected)
                << "at " << c.at.x << ", " << c.at.y << ", " << c.at.z << " channel " << channel;
        }
    }
}

// Every sample format, around and far outside a 5 x 4 x 3 grid, with a slice
// or the whole table missing, and with the shapes of a load that stopped.
TEST(VoxelFetch, AnswersAsTheReferenceForEveryFormatAndRecord) {
    const struct {
        int filetype, little_endian;
    } formats[] = {{BMP_SERIES, 1}, {U16_SERIES, 1}, {U16_SERIES, 0}, {U12_SERIES, 0},
                   {U8_BLOCK, 0},   {U12_BLOCK, 1},  {S16_BLOCK, 1},  {S16_BLOCK, 0}};
    const struct {
        int width, height, depth;
        bool table;
        std::vector<int> missing;
    } records[] = {{5, 4, 3, true, {}},  {5, 4, 3, true, {1}},  {5, 4, 3, false, {}},
                   {5, 4, 0, true, {}},  {5, 4, -3, false, {}}, {-5, 4, 3, true, {}},
                   {5, -4, 3, true, {}}, {0, 4, 3, true, {}}};
    const int32_t far[] = {INT32_MIN, -100000, 100000, INT32_MAX};
    for (const auto &f : formats)
        for (const auto &r : records) {
            HandVolume volume(f.filetype, f.little_endian, 5, 4, 3, r.missing);
            volume.record().width = r.width;
            volume.record().height = r.height;
            volume.record().depth = r.depth;
            if (!r.table) volume.drop_tables();
            const reference::Volume expected = volume.reference();
            const std::string where = "type " + std::to_string(f.filetype) + " little " +
                                      std::to_string(f.little_endian) + " shape " +
                                      std::to_string(r.width) + "x" + std::to_string(r.height) +
                                      "x" + std::to_string(r.depth);
            for (int32_t z = -2; z <= 4; ++z)
                for (int32_t y = -3; y <= 6; ++y)
                    for (int32_t x = -7; x <= 11; ++x)
                        ASSERT_TRUE(
                            same_bits(fetch(volume, x, y, z), reference::fetch(expected, x, y, z)))
                            << where << " at " << x << "," << y << "," << z;
            for (int32_t a : far)
                for (int32_t b : far) {
                    ASSERT_TRUE(
                        same_bits(fetch(volume, a, b, 1), reference::fetch(expected, a, b, 1)))
                        << where;
                    ASSERT_TRUE(
                        same_bits(fetch(volume, 1, 1, a), reference::fetch(expected, 1, 1, a)))
                        << where;
                }
        }
}

// A colour record whose load stopped at slice 0 keeps the rejected header's
// shape; the fetch must not form 3 * (x + y * width) from it (a signed
// overflow, which the sanitizer build reports) before seeing the null slice.
TEST(VoxelFetch, ColourFetchOfAStoppedLoadDoesNoArithmeticOnTheShape) {
    HandVolume volume(BMP_SERIES, 1, 1, 1, std::vector<std::vector<uint8_t>>{{}});
    volume.record().width = INT_MAX;
    volume.record().height = INT_MAX;
    for (const Voxel &at : {Voxel{INT_MIN, INT_MIN, 0}, Voxel{INT_MAX, INT_MAX, 0}})
        EXPECT_EQ(fetch(volume, at.x, at.y, at.z), (reference::Value{0, 0, 0}));
}

// ---- Trilinear interpolation ------------------------------------------------

// X + 10 Y + 100 Z on a 5 x 5 x 5 grid, unsigned 16-bit little-endian; or, with
// `only` set, 0 everywhere but `value` at that voxel.
std::vector<std::vector<uint8_t>> grid_5(const Voxel *only = nullptr, int value = 0) {
    std::vector<std::vector<uint8_t>> slices(5);
    for (int z = 0; z < 5; ++z)
        for (int y = 0; y < 5; ++y)
            for (int x = 0; x < 5; ++x) {
                int v = x + 10 * y + 100 * z;
                if (only) v = only->x == x && only->y == y && only->z == z ? value : 0;
                slices[z].push_back(uint8_t(v & 0xFF));
                slices[z].push_back(uint8_t(v >> 8));
            }
    return slices;
}

TEST(Trilinear, CornersComeWithTheirWeights) {
    const double weights[8] = {0.09375, 0.03125, 0.09375, 0.28125,
                               0.09375, 0.28125, 0.03125, 0.09375};
    const Voxel corners[8] = {{1, 2, 3}, {2, 2, 3}, {1, 3, 3}, {1, 2, 4},
                              {2, 2, 4}, {1, 3, 4}, {2, 3, 3}, {2, 3, 4}};
    for (int k = 0; k < 8; ++k) {
        HandVolume volume(U16_SERIES, 1, 5, 5, grid_5(&corners[k], 1));
        EXPECT_EQ(blend(volume, {1.25f, 2.5f, 3.75f})[0], float(weights[k])) << "corner " << k;
    }
}

TEST(Trilinear, ReproducesALinearVolume) {
    HandVolume volume(U16_SERIES, 1, 5, 5, grid_5());
    const struct {
        miVector point;
        float expected;
    } cases[] = {
        {{1.25f, 2.5f, 3.75f}, 401.25f},
        {{2.5f, 3.0f, 4.0f}, 432.5f},
        {{2, 3, 4}, 432.0f},
        {{4, 4, 4}, 444.0f}, // the upper faces need no voxel beyond the grid
        {{0, 0, 0}, 0.0f},
        {{4, 0.5f, 4}, 409.0f},
    };
    for (const auto &c : cases)
        EXPECT_EQ(blend(volume, c.point)[0], c.expected) << c.point.x << ", " << c.point.y;
    std::mt19937 random(7);
    std::uniform_real_distribution<float> inside(0.0f, 4.0f);
    for (int i = 0; i < 2000; ++i) {
        const miVector p = {inside(random), inside(random), inside(random)};
        const double exact = double(p.x) + 10.0 * p.y + 100.0 * p.z;
        EXPECT_NEAR(blend(volume, p)[0], exact, 444 * 4e-7) << p.x << ", " << p.y << ", " << p.z;
    }
}

// Each weight is a product of three doubles, ((first * second) * third),
// times the sample, rounded to float; the sum is a float, in corner order.
// fx * fy formed in float gives a different term for about a quarter of all
// fractions (corners 6 and 7); this point is one.
TEST(Trilinear, WeightProductsAreDoublesRoundedOnce) {
    const Voxel corner6 = {1, 1, 0};
    HandVolume volume(U16_SERIES, 1, 5, 5, grid_5(&corner6, 65535));
    EXPECT_EQ(blend(volume, {0x1.ab07dp-2f, 0x1.fe8f02p-1f, 0x1.70ce6p-1f})[0], 0x1.dc5e24p+12f);
}

// Every format, inside a 7 x 6 x 5 grid with a slice missing or not, at
// random points, whole numbers on some axes, the faces and -0.
TEST(Trilinear, AnswersAsTheReferenceForEveryFormat) {
    const int w = 7, h = 6, d = 5;
    std::mt19937 random(7);
    std::uniform_real_distribution<float> along_x(0, w - 1), along_y(0, h - 1), along_z(0, d - 1);
    std::vector<miVector> points = {{0, 0, 0},
                                    {-0.0f, -0.0f, -0.0f},
                                    {w - 1, h - 1, d - 1},
                                    {2, 3, 4},
                                    {2.5f, 3, 4},
                                    {0.5f, 0.5f, 0.5f},
                                    {w - 1, 0.25f, 2.75f},
                                    {1.25f, 2.5f, 3.75f},
                                    {5.999999f, 4.999999f, 3.999999f}};
    for (int i = 0; i < 3000; ++i)
        points.push_back({along_x(random), along_y(random), along_z(random)});
    for (int i = 0; i < 300; ++i)
        points.push_back(
            {float(int(along_x(random))), along_y(random), float(int(along_z(random)))});
    for (int filetype = BMP_SERIES; filetype <= S16_BLOCK; ++filetype)
        for (int little_endian : {0, 1})
            for (const std::vector<int> &missing : {std::vector<int>{}, std::vector<int>{2}}) {
                HandVolume volume(filetype, little_endian, w, h, d, missing, 3);
                const reference::Volume expected = volume.reference();
                for (const miVector &p : points) {
                    const float at[3] = {p.x, p.y, p.z};
                    ASSERT_TRUE(same_bits(blend(volume, p), reference::trilinear(expected, at)))
                        << "type " << filetype << " little " << little_endian << " at "
                        << std::hexfloat << p.x << "," << p.y << "," << p.z;
                }
            }
}

TEST(Trilinear, WhereFloatsAreWholeNumbersTheCellHasOneVoxelPerAxis) {
    // From 2^23 up every float is a whole number and from 2^24 floats are 2
    // apart: the ceiling is the floor.
    const int w = (1 << 24) + 4;
    HandVolume volume(U8_BLOCK, 0, w, 1, 1);
    const reference::Volume expected = volume.reference();
    for (float x : {8388607.5f, 8388608.0f, 8388609.0f, 16777216.0f, 16777218.0f, float(w - 4)}) {
        const float at[3] = {x, 0, 0};
        EXPECT_TRUE(same_bits(blend(volume, {x, 0, 0}), reference::trilinear(expected, at))) << x;
    }
}

TEST(Trilinear, SignedSamplesBlendLikeAnyOther) {
    // -300 and 100, little-endian signed 16-bit.
    HandVolume volume(S16_BLOCK, 1, 2, 1, {{0xD4, 0xFE, 0x64, 0x00}});
    EXPECT_EQ(blend(volume, {0.5f, 0.0f, 0.0f})[0], -100.0f);
}

} // namespace
