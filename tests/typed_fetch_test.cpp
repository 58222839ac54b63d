// The lookup's fetches and blend specialised by file type (sample/typed_fetch.h)
// against the generic fetch_voxel_* and trilinear_* they replace: the same
// bits for every format, byte order and coordinate, inside the grid or not,
// with slices or tables missing. And the lookup's own floor of -0.
#include <cmath>
#include <cstring>
#include <random>
#include <vector>

#include "sample/trilinear.h"
#include "sample/typed_fetch.h"
#include "test_support.h"

using namespace nimbrel;

namespace {

bool same_bits(float a, float b) {
    return std::memcmp(&a, &b, sizeof a) == 0;
}

// A volume record built by hand: `depth` slices of random bytes, the slices
// listed in `missing` left null.
struct HandVolume {
    VolumeData data;
    std::vector<std::vector<uint16_t>> buffers; // 16-bit aligned storage for every type
    std::vector<void *> table;

    HandVolume(int filetype, int little_endian, int width, int height, int depth,
               std::vector<int> missing = {}, uint32_t seed = 1) {
        std::memset(&data, 0, sizeof data);
        data.width = width;
        data.height = height;
        data.depth = depth;
        data.filetype = filetype;
        data.little_endian = little_endian;
        const int bytes_per_voxel = filetype == BMP_SERIES ? 3 : filetype == U8_BLOCK ? 1 : 2;
        std::mt19937 random(seed);
        for (int z = 0; z < depth; ++z) {
            buffers.emplace_back((size_t(width) * height * bytes_per_voxel + 1) / 2);
            for (uint16_t &word : buffers.back())
                word = uint16_t(random());
            table.push_back(buffers.back().data());
        }
        for (int z : missing)
            table[z] = nullptr;
        if (bytes_per_voxel == 2)
            data.slices16 = reinterpret_cast<uint16_t **>(table.data());
        else
            data.slices8 = reinterpret_cast<uint8_t **>(table.data());
    }

    SliceTable slices() const {
        const void *const *list = table.empty() ? nullptr : table.data();
        return slice_table(data.width, data.height, data.depth, list);
    }
};

// Every sample format with the file types and byte orders it stands for.
struct Case {
    int filetype, little_endian;
};
const Case kCases[] = {{BMP_SERIES, 1}, {U16_SERIES, 1}, {U16_SERIES, 0}, {U12_SERIES, 0},
                       {U8_BLOCK, 0},   {U12_BLOCK, 1},  {S16_BLOCK, 1},  {S16_BLOCK, 0}};

// The specialised fetch for the record's format, as floats in channel order.
std::vector<float> typed_fetch(const HandVolume &volume, int32_t x, int32_t y, int32_t z) {
    const SliceTable table = volume.slices();
    const bool little = volume.data.little_endian != 0;
    std::vector<float> value;
    auto keep = [&value](const auto &voxel) {
        for (double channel : voxel.channel)
            value.push_back(float(channel));
    };
    switch (volume.data.filetype) {
    case BMP_SERIES:
        keep(fetch_typed<BgrSamples>(table, x, y, z));
        break;
    case U8_BLOCK:
        keep(fetch_typed<U8Samples>(table, x, y, z));
        break;
    case S16_BLOCK:
        little ? keep(fetch_typed<U16Samples<true, true>>(table, x, y, z))
               : keep(fetch_typed<U16Samples<false, true>>(table, x, y, z));
        break;
    default:
        little ? keep(fetch_typed<U16Samples<true, false>>(table, x, y, z))
               : keep(fetch_typed<U16Samples<false, false>>(table, x, y, z));
    }
    return value;
}

std::vector<float> generic_fetch(const HandVolume &volume, int32_t x, int32_t y, int32_t z) {
    if (volume.data.filetype == BMP_SERIES) {
        const VoxelRgb rgb = fetch_voxel_rgb(x, y, z, &volume.data);
        return {rgb.channel[0], rgb.channel[1], rgb.channel[2]};
    }
    return {fetch_voxel_scalar(x, y, z, &volume.data)};
}

// The specialised blend for a point inside the grid, its floors and
// fractions formed as the lookup forms them.
std::vector<float> typed_blend(const HandVolume &volume, miVector point) {
    const double floors[3] = {std::floor(double(point.x)), std::floor(double(point.y)),
                              std::floor(double(point.z))};
    const float frac[3] = {float(point.x - floors[0]), float(point.y - floors[1]),
                           float(point.z - floors[2])};
    const int32_t whole[3] = {int32_t(floors[0]), int32_t(floors[1]), int32_t(floors[2])};
    const Cell cell = cell_inside(_mm_setr_epi32(whole[0], whole[1], whole[2], 0),
                                  _mm_setr_ps(frac[0], frac[1], frac[2], 0.0f));
    const SliceTable table = volume.slices();
    const bool little = volume.data.little_endian != 0;
    float sum[3];
    switch (volume.data.filetype) {
    case BMP_SERIES:
        blend_typed<BgrSamples>(table, cell, sum);
        return {sum[0], sum[1], sum[2]};
    case U8_BLOCK:
        blend_typed<U8Samples>(table, cell, sum);
        break;
    case S16_BLOCK:
        little ? blend_typed<U16Samples<true, true>>(table, cell, sum)
               : blend_typed<U16Samples<false, true>>(table, cell, sum);
        break;
    default:
        little ? blend_typed<U16Samples<true, false>>(table, cell, sum)
               : blend_typed<U16Samples<false, false>>(table, cell, sum);
    }
    return {sum[0]};
}

std::vector<float> generic_blend(const HandVolume &volume, miVector point) {
    if (volume.data.filetype == BMP_SERIES) {
        const VoxelRgb rgb = trilinear_rgb(point, &volume.data, fetch_voxel_rgb);
        return {rgb.channel[0], rgb.channel[1], rgb.channel[2]};
    }
    return {trilinear_scalar(point, &volume.data, fetch_voxel_scalar)};
}

void expect_same(const std::vector<float> &got, const std::vector<float> &want,
                 const std::string &where) {
    ASSERT_EQ(got.size(), want.size()) << where;
    for (size_t c = 0; c < got.size(); ++c)
        EXPECT_TRUE(same_bits(got[c], want[c]))
            << where << " channel " << c << ": " << got[c] << " against " << want[c];
}

TEST(TypedFetch, AnswersAsTheGenericFetchAtEveryCoordinate) {
    // Around and far outside a 5 x 4 x 3 grid: neighbouring rows and slices,
    // negative indices, coordinates whose 64-bit index is huge.
    const int32_t far[] = {INT32_MIN, -100000, 100000, INT32_MAX};
    for (const Case &c : kCases)
        for (const std::vector<int> &missing : {std::vector<int>{}, std::vector<int>{1}}) {
            HandVolume volume(c.filetype, c.little_endian, 5, 4, 3, missing);
            const std::string where = "type " + std::to_string(c.filetype) + " little " +
                                      std::to_string(c.little_endian) +
                                      (missing.empty() ? "" : " slice 1 missing");
            for (int32_t z = -2; z <= 4; ++z)
                for (int32_t y = -3; y <= 6; ++y)
                    for (int32_t x = -7; x <= 11; ++x)
                        expect_same(typed_fetch(volume, x, y, z), generic_fetch(volume, x, y, z),
                                    where + " at " + std::to_string(x) + "," + std::to_string(y) +
                                        "," + std::to_string(z));
            for (int32_t a : far)
                for (int32_t b : far) {
                    expect_same(typed_fetch(volume, a, b, 1), generic_fetch(volume, a, b, 1),
                                where);
                    expect_same(typed_fetch(volume, 1, 1, a), generic_fetch(volume, 1, 1, a),
                                where);
                }
        }
}

TEST(TypedFetch, AnswersZeroAsTheGenericFetchForBrokenRecords) {
    // A load that stopped early: no table, negative or zero shapes.
    const struct {
        int width, height, depth;
        bool table;
    } records[] = {{5, 4, 3, false}, {5, 4, 0, true},  {5, 4, -3, false},
                   {-5, 4, 3, true}, {5, -4, 3, true}, {0, 4, 3, true}};
    for (const Case &c : kCases)
        for (const auto &r : records) {
            HandVolume volume(c.filetype, c.little_endian, std::abs(r.width), std::abs(r.height),
                              std::max(r.depth, 0));
            volume.data.width = r.width;
            volume.data.height = r.height;
            volume.data.depth = r.depth;
            if (!r.table) {
                volume.table.clear();
                volume.data.slices8 = nullptr;
                volume.data.slices16 = nullptr;
            }
            for (int32_t z = -1; z <= 3; ++z)
                for (int32_t y = -1; y <= 4; ++y)
                    for (int32_t x = -6; x <= 6; ++x)
                        expect_same(typed_fetch(volume, x, y, z), generic_fetch(volume, x, y, z),
                                    "type " + std::to_string(c.filetype) + " shape " +
                                        std::to_string(r.width) + "x" + std::to_string(r.height) +
                                        "x" + std::to_string(r.depth));
        }
}

TEST(TypedBlend, AnswersAsTheGenericBlendInsideTheGrid) {
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
    for (int i = 0; i < 300; ++i) // whole numbers on some axes
        points.push_back(
            {float(int(along_x(random))), along_y(random), float(int(along_z(random)))});
    for (const Case &c : kCases)
        for (const std::vector<int> &missing : {std::vector<int>{}, std::vector<int>{2}}) {
            HandVolume volume(c.filetype, c.little_endian, w, h, d, missing, 3);
            for (const miVector &p : points)
                expect_same(typed_blend(volume, p), generic_blend(volume, p),
                            "type " + std::to_string(c.filetype) + " little " +
                                std::to_string(c.little_endian) + " at " + std::to_string(p.x) +
                                "," + std::to_string(p.y) + "," + std::to_string(p.z));
        }
}

TEST(TypedBlend, AnswersAsTheGenericBlendWhereFloatsAreWholeNumbers) {
    // From 2^23 up every float is a whole number and from 2^24 floats are 2
    // apart: the ceiling is the floor, and the cell has one voxel per axis.
    const int w = (1 << 24) + 4;
    HandVolume volume(U8_BLOCK, 0, w, 1, 1);
    const float xs[] = {8388607.5f, 8388608.0f, 8388609.0f, 16777216.0f, 16777218.0f, float(w - 4)};
    for (float x : xs)
        expect_same(typed_blend(volume, {x, 0, 0}), generic_blend(volume, {x, 0, 0}),
                    "x " + std::to_string(x));
}

class LookupFloor : public testing_support::RendererTest {};

// The lookup takes the floor of a coordinate inside the grid by truncation;
// -0 must still give the fraction +0 that floor(-0) = -0 gives.
TEST_F(LookupFloor, MinusZeroGivesFractionPlusZero) {
    const int w = 4;
    std::vector<unsigned char> bytes(w * w * w);
    for (size_t i = 0; i < bytes.size(); ++i)
        bytes[i] = static_cast<unsigned char>(7 * i + 1);
    testing_support::write_file(folder / "volume.raw", bytes);
    for (int mode : {standin::NEAREST_MODE, standin::TRILINEAR_MODE, standin::OFFSET_MODE}) {
        standin::Instance volume(
            renderer, standin::Params{
                          (folder / "volume.raw").string(), {0, 0, 0}, w, mode, U8_BLOCK, w, w, 1});
        volume.connect_coord([](miVector p) { return p; });
        volume.init(state);
        SampleExchange minus, plus;
        std::memset(&minus, 0, sizeof minus);
        std::memset(&plus, 0, sizeof plus);
        const miColor a = volume.lookup(state, {-0.0f, -0.0f, -0.0f}, &minus);
        const miColor b = volume.lookup(state, {0.0f, 0.0f, 0.0f}, &plus);
        for (int axis = 0; axis < 3; ++axis)
            EXPECT_TRUE(same_bits(minus.frac[axis], 0.0f)) << "mode " << mode << " axis " << axis;
        EXPECT_TRUE(same_bits(a.r, b.r)) << "mode " << mode;
        EXPECT_EQ(a.r, 1.0f / 255.0f) << "mode " << mode;
        EXPECT_EQ(minus.edge, EDGE_X_LOW);
        volume.exit(state);
    }
}

} // namespace
