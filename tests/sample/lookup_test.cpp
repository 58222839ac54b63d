// The volume lookup through the stand-in renderer: edge codes, the three
// modes, normalisation, and what it writes into the caller's record.
#include <algorithm>
#include <atomic>
#include <climits>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <memory>
#include <random>
#include <thread>
#include <vector>

#include "support/hand_volume.h"
#include "support/test_support.h"

using standin::Instance;
using standin::NEAREST_MODE;
using standin::OFFSET_MODE;
using standin::Params;
using standin::TRILINEAR_MODE;
using testing_support::RendererTest;
using testing_support::write_file;
namespace fs = std::filesystem;

namespace {

using testing_support::Bytes;
const float kNaN = std::numeric_limits<float>::quiet_NaN();
const float kInf = std::numeric_limits<float>::infinity();
const miColor kIncoming = {0.125f, 0.25f, 0.5f, 0.375f};

// A coord c for which the lookup's position float((width - 1) * c) is p.
float coord_for(float p, int width) {
    const double scale = width - 1;
    float c = float(p / scale);
    if (!std::isfinite(c)) return c;
    for (int step = 0; step < 64 && float(scale * c) != p; ++step)
        c = std::nextafter(c, float(scale * c) < p ? kInf : -kInf);
    return c;
}

bool same_bits(const void *a, const void *b, size_t size) {
    return std::memcmp(a, b, size) == 0;
}

// A caller's record with sentinels in every field the lookup may write.
SampleExchange fresh_exchange(int stencil = 0) {
    SampleExchange exchange;
    std::memset(&exchange, 0xAB, sizeof exchange);
    exchange.force_offset = 0;
    exchange.offset[0] = exchange.offset[1] = exchange.offset[2] = 0.0f;
    exchange.frac[0] = exchange.frac[1] = exchange.frac[2] = -7.0f;
    exchange.edge = -99;
    exchange.stencil = stencil;
    for (float &element : exchange.matrix)
        element = 99.0f;
    return exchange;
}

bool frac_untouched(const SampleExchange &exchange) {
    return exchange.frac[0] == -7.0f && exchange.frac[1] == -7.0f && exchange.frac[2] == -7.0f;
}

// Voxel (x, y, z) of a type 3 test volume: never 0, unique below 255 voxels.
int u8_value(int x, int y, int z, int width, int height) {
    return 1 + (x + width * y + width * height * z) % 255;
}

Bytes u8_volume(int width, int height, int depth) {
    Bytes bytes;
    for (int z = 0; z < depth; ++z)
        for (int y = 0; y < height; ++y)
            for (int x = 0; x < width; ++x)
                bytes.push_back(uint8_t(u8_value(x, y, z, width, height)));
    return bytes;
}

class Lookup : public RendererTest {
  protected:
    using RendererTest::load;
    // A volume of `filetype` written from `bytes` (a block file, or a file a
    // slice for a series) whose coord maps the state's point to the same
    // voxel-space position (or, with `identity`, passes the point through).
    std::unique_ptr<Instance> load(int filetype, int width, int height, int depth,
                                   const Bytes &bytes, int interpolation = NEAREST_MODE,
                                   int little_endian = 1, bool identity = false) {
        const std::string stem = (folder / ("v" + std::to_string(files_++) + "_")).string();
        std::string name = stem + "block.raw";
        if (filetype == U16_SERIES || filetype == U12_SERIES) {
            const size_t slice_bytes = bytes.size() / size_t(depth > 0 ? depth : 1);
            for (int z = 0; z < depth; ++z)
                write_file(
                    stem + std::to_string(10000 + z).substr(1) + ".raw",
                    Bytes(bytes.begin() + z * slice_bytes, bytes.begin() + (z + 1) * slice_bytes));
            name = stem + "0000.raw";
        } else {
            write_file(name, bytes);
        }
        const testing_support::Coord to_position = [width](miVector p) {
            return miVector{coord_for(p.x, width), coord_for(p.y, width), coord_for(p.z, width)};
        };
        auto instance =
            load({name, {0, 0, 0}, depth, interpolation, filetype, width, height, little_endian},
                 identity ? [](miVector p) { return p; } : to_position);
        EXPECT_EQ(renderer.log().errors(), std::vector<std::string>()) << name;
        return instance;
    }

    std::unique_ptr<Instance> load_u8(int width, int height, int depth,
                                      int interpolation = NEAREST_MODE) {
        return load(U8_BLOCK, width, height, depth, u8_volume(width, height, depth), interpolation);
    }

    miColor at(Instance &instance, miVector p, SampleExchange *exchange = nullptr,
               miColor incoming = kIncoming) {
        return instance.lookup(state, p, exchange, incoming);
    }

    // An instance of `mode` whose coord passes the point through, answering
    // from a record built by hand, prepared as a load prepares it; the test
    // sets the slot back to null before the instance goes.
    std::unique_ptr<Instance> attached(HandVolume &hand, int mode = NEAREST_MODE) {
        auto instance = std::make_unique<Instance>(
            renderer, Params{"unused", {0, 0, 0}, 1, mode, hand.record().filetype, 0, 0, 1});
        instance->connect_coord([](miVector p) { return p; });
        nimbrel::prepare_lookup(&hand.record());
        instance->user_pointer() = &hand.record();
        return instance;
    }

    int files_ = 0;
};

// ---- Edge codes and the bounds ---------------------------------------------

// Examples on a 10 x 5 x 3 grid, in every mode: the code names the first
// axis out of bounds or on the edge; a coordinate that is not a number is
// outside with the high code. Outside, no fraction is written and the colour
// is zero; alpha is kept as for any lookup.
TEST_F(Lookup, EdgeCodesOfTheExamples) {
    auto volume = load_u8(10, 5, 3);
    const struct {
        miVector p;
        int edge;
        bool inside;
    } cases[] = {
        {{9, 9, 9}, EDGE_X_HIGH, false}, // coord (1, 1, 1): y = 9 > 4
        {{-1, 7, 1}, EDGE_X_LOW, false}, // x is tested first
        {{9, 2, 1}, EDGE_X_HIGH, true},  // x = width - 1 is inside
        {{std::nextafter(9.0f, kInf), 2, 1}, EDGE_X_HIGH, false},
        {{0, 2, 1}, EDGE_X_LOW, true},
        {{4, 3, 1}, EDGE_NONE, true}, // y = height - 2, z = depth - 2: not on the edge
        {{4, 0.5f, 1}, EDGE_Y_LOW, true},
        {{4, 4, 0}, EDGE_Y_HIGH, true},
        {{4, 2, 2}, EDGE_Z_HIGH, true},
        {{4, 2, -0.5f}, EDGE_Z_LOW, false},
        {{4, 2, 2.5f}, EDGE_Z_HIGH, false},
        {{kNaN, 2, 1}, EDGE_X_HIGH, false},
        {{4, kNaN, 1}, EDGE_Y_HIGH, false},
        {{4, 2, kNaN}, EDGE_Z_HIGH, false},
        {{kNaN, -1, 1}, EDGE_X_HIGH, false},
        {{0.5f, kNaN, 1}, EDGE_X_LOW, false},
        {{-kInf, 2, 1}, EDGE_X_LOW, false},
        {{kInf, 2, 1}, EDGE_X_HIGH, false},
        {{4, -kInf, 1}, EDGE_Y_LOW, false},
        {{4, 2, kInf}, EDGE_Z_HIGH, false},
    };
    for (int mode : {NEAREST_MODE, TRILINEAR_MODE, OFFSET_MODE}) {
        volume->param<int32_t>("interpolation") = mode;
        for (const auto &c : cases) {
            SCOPED_TRACE(::testing::Message()
                         << "mode " << mode << " at " << c.p.x << ", " << c.p.y << ", " << c.p.z);
            SampleExchange exchange = fresh_exchange();
            const miColor color = at(*volume, c.p, &exchange);
            EXPECT_EQ(exchange.edge, c.edge);
            EXPECT_EQ(!frac_untouched(exchange), c.inside);
            if (!c.inside) {
                EXPECT_TRUE(color.r == 0.0f && color.g == 0.0f && color.b == 0.0f);
            }
            EXPECT_EQ(color.a, kIncoming.a);
        }
    }
    volume->exit(state);
}

TEST_F(Lookup, CoordIsScaledByWidthOnEveryAxis) {
    auto volume = load(U8_BLOCK, 10, 10, 10, u8_volume(10, 10, 10), NEAREST_MODE, 1, true);
    SampleExchange exchange = fresh_exchange();
    const miColor color = at(*volume, {0.5f, 0.25f, 0.1f}, &exchange); // position (4.5, 2.25, 0.9)
    EXPECT_FLOAT_EQ(exchange.frac[0], 0.5f);
    EXPECT_FLOAT_EQ(exchange.frac[1], 0.25f);
    EXPECT_NEAR(exchange.frac[2], 0.9f, 1e-6);
    EXPECT_EQ(exchange.edge, EDGE_Z_LOW);
    EXPECT_EQ(color.r, u8_value(5, 2, 1, 10, 10) / 255.0f);
    volume->exit(state);
}

// Along each axis: m + 1 and the upper bound are not on the edge; anything
// below or above them is. The other two axes sit in the middle.
TEST_F(Lookup, EdgeComparisonsAreStrictWithTheStencilMargin) {
    const struct {
        int width;
        float step; // "slightly": reachable exactly through coord for this width
    } grids[] = {{10, 1.0f / 1024}, {9, 0.0f}};
    for (const auto &grid : grids) {
        const int n = grid.width;
        auto volume = load_u8(n, n, n);
        for (int stencil : {0, 3, 6, -1, 4, 5}) {
            const int m = stencil == 4 ? 1 : stencil == 5 ? 2 : 0;
            const float low = float(m + 1), high = float(n - 2 - m);
            const float below = grid.step ? low - grid.step : std::nextafter(low, -kInf);
            const float above = grid.step ? high + grid.step : std::nextafter(high, kInf);
            const float middle = float(n - 1) / 2;
            for (int axis = 0; axis < 3; ++axis) {
                const struct {
                    float value;
                    int edge; // codes for x; y and z add 2 and 4
                } cases[] = {
                    {low, EDGE_NONE}, {below, EDGE_X_LOW}, {high, EDGE_NONE}, {above, EDGE_X_HIGH}};
                for (const auto &c : cases) {
                    float p[3] = {middle, middle, middle};
                    p[axis] = c.value;
                    SampleExchange exchange = fresh_exchange(stencil);
                    at(*volume, {p[0], p[1], p[2]}, &exchange);
                    ASSERT_EQ(exchange.frac[axis], c.value - std::floor(c.value))
                        << "position " << c.value << " is not reachable with width " << n;
                    const int expected = c.edge == EDGE_NONE ? EDGE_NONE : c.edge + 2 * axis;
                    EXPECT_EQ(exchange.edge, expected) << "width " << n << " stencil " << stencil
                                                       << " axis " << axis << " at " << c.value;
                }
            }
        }
        // x = 1.5 with width 10: on the edge with margin 1 only.
        if (n == 10) {
            for (int stencil : {4, 0, 3, 6}) {
                SampleExchange exchange = fresh_exchange(stencil);
                at(*volume, {1.5f, 4.5f, 4.5f}, &exchange);
                EXPECT_EQ(exchange.edge, stencil == 4 ? EDGE_X_LOW : EDGE_NONE) << stencil;
            }
        }
        volume->exit(state);
    }
}

// Shapes no file is needed for, built by hand without slices (samples read
// 0), coord passed through. A width of 2^29 or more: (width - 1) * coord
// needs more than a double's 53 bits, and rounding it first to double then to
// float lands on the other side of height - 2 in the first case. Past 2^24 a
// bound may be no float: a coordinate is compared with the whole number
// itself, never with the bound rounded to the nearest float (2^24 + 3 rounds
// up to 2^24 + 4). With width 5, positions are 4 * coord exactly. Depth 0
// is outside everywhere, -0 included.
TEST_F(Lookup, HugeAndEmptyShapesRoundOnceAndCompareWholeNumbers) {
    const int big = 1 << 24;
    const struct {
        int width, height, depth;
        miVector coord;
        int stencil, edge;
        bool inside;
    } cases[] = {
        // y rounds once to 1549096064, past height - 1; twice to 1549095936
        {1549096278, 1549095938, 1, {0.5f, 0x1.fffffap-1f, 0}, 0, EDGE_Y_HIGH, false},
        {5, big + 4, big + 6, {0.5f, (big + 4) / 4.0f, 0.5f}, 0, EDGE_Y_HIGH, false}, // height - 1
        {5, big + 4, big + 6, {0.5f, (big + 2) / 4.0f, 0.5f}, 0, EDGE_NONE, true},    // height - 2
        {5, big + 4, big + 6, {0.5f, 0.5f, (big + 4) / 4.0f}, 4, EDGE_Z_HIGH, true},  // depth - 3
        {5, big + 4, big + 6, {0.5f, 0.5f, (big + 4) / 4.0f}, 0, EDGE_NONE, true},    // depth - 2
        {5, 5, 0, {0.5f, 0.5f, 0}, 0, EDGE_Z_LOW, false},
        {5, 5, 0, {0, 0, 0}, 0, EDGE_X_LOW, false},
        {5, 5, 0, {0.5f, 0.5f, -0.0f}, 0, EDGE_Z_LOW, false},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(std::to_string(c.height) + " at " + std::to_string(c.coord.y) + ", " +
                     std::to_string(c.coord.z));
        HandVolume hand(U8_BLOCK, 1, c.width, c.height, std::vector<std::vector<uint8_t>>{{}});
        hand.record().depth = c.depth;
        hand.drop_tables();
        auto instance = attached(hand);
        SampleExchange exchange = fresh_exchange(c.stencil);
        const miColor color = at(*instance, c.coord, &exchange);
        EXPECT_EQ(exchange.edge, c.edge);
        EXPECT_EQ(!frac_untouched(exchange), c.inside);
        EXPECT_TRUE(color.r == 0.0f && color.g == 0.0f && color.b == 0.0f);
        instance->user_pointer() = nullptr;
    }
}

// ---- Modes ---------------------------------------------------------------------

// On a volume of distinct voxels: NEAREST rounds ties up; OFFSET adds the
// offset to the floor, rounds the sum to float and truncates it, then reads
// by linear index within the slice, and nothing past it or outside the
// slices; force_offset exactly 1 selects OFFSET in any mode, and is only read.
TEST_F(Lookup, ModesReadTheVoxelsTheyName) {
    const int w = 9, h = 5, d = 5;
    const auto raw = [&](int x, int y, int z) { return float(u8_value(x, y, z, w, h)); };
    const auto v = [&](int x, int y, int z) { return raw(x, y, z) / 255.0f; };
    const float almost_one = std::nextafter(1.0f, 0.0f); // 1 - 2^-24
    const int N = NEAREST_MODE, T = TRILINEAR_MODE, O = OFFSET_MODE;
    const struct {
        int mode, force;
        miVector p, offset;
        float expected;
    } cases[] = {
        {N, 0, {2.5f, 1, 1}, {0, 0, 0}, v(3, 1, 1)},
        {N, 0, {std::nextafter(2.5f, 0.0f), 1, 1}, {0, 0, 0}, v(2, 1, 1)},
        {N, 0, {2, 1.5f, 1}, {0, 0, 0}, v(2, 2, 1)},
        {N, 0, {2, 1, 3.5f}, {0, 0, 0}, v(2, 1, 4)},
        {N, 0, {0.5f, 0.5f, 0.5f}, {0, 0, 0}, v(1, 1, 1)},
        {N, 0, {7.75f, 3.25f, 3.5f}, {0, 0, 0}, v(8, 3, 4)},
        {N, 0, {8, 4, 4}, {0, 0, 0}, v(8, 4, 4)},
        {N, 0, {0, 0, 0}, {0, 0, 0}, v(0, 0, 0)},
        {O, 0, {4.75f, 2, 2}, {0, 0, 0}, v(4, 2, 2)}, // the floor, not the nearest
        {O, 0, {4.75f, 2, 2}, {0.5f, 0, 0}, v(4, 2, 2)},
        {O, 0, {4.75f, 2, 2}, {1, 0, 0}, v(5, 2, 2)},
        {O, 0, {4.75f, 2, 2}, {-4.5f, 0, 0}, v(0, 2, 2)}, // -0.5 truncates to 0
        {O, 0, {0.25f, 2, 2}, {-0.5f, 0, 0}, v(0, 2, 2)},
        {O, 0, {0.25f, 2, 2}, {-1, 0, 0}, v(8, 1, 2)},        // x = -1: the row before
        {O, 0, {4.75f, 2, 2}, {5, 0, 0}, v(0, 3, 2)},         // x = 9: the row after
        {O, 0, {1.5f, 2, 2}, {almost_one, 0, 0}, v(2, 2, 2)}, // 1 + (1 - 2^-24) is 2 in float
        {O, 0, {0.5f, 2, 2}, {almost_one, 0, 0}, v(0, 2, 2)},
        {O, 0, {4.75f, 2, 2}, {0, 2.5f, -1.5f}, v(4, 4, 0)}, // z = 0.5 truncates to 0
        {O, 0, {4.75f, 2, 2}, {0, 0, -3}, 0.0f},
        {O, 0, {4.75f, 2, 2}, {0, 0, 3}, 0.0f},
        {O, 0, {4.75f, 4, 2}, {4.5f, 0, 0}, v(8, 4, 2)}, // the slice's last voxel
        {O, 0, {4.75f, 4, 2}, {5, 0, 0}, 0.0f},          // and one past it
        {N, 1, {4.75f, 2, 2}, {2, 0, 0}, v(6, 2, 2)},
        {T, 1, {4.75f, 2, 2}, {2, 0, 0}, v(6, 2, 2)},
        {7, 1, {4.75f, 2, 2}, {2, 0, 0}, v(6, 2, 2)},
        {N, 2, {4.75f, 2, 2}, {2, 0, 0}, v(5, 2, 2)},
        {N, -1, {4.75f, 2, 2}, {2, 0, 0}, v(5, 2, 2)},
        {T, 2, {4.75f, 2, 2}, {2, 0, 0}, (0.25f * raw(4, 2, 2) + 0.75f * raw(5, 2, 2)) / 255.0f},
    };
    auto volume = load_u8(w, h, d);
    for (const auto &c : cases) {
        SCOPED_TRACE(::testing::Message()
                     << "mode " << c.mode << " force_offset " << c.force << " at " << c.p.x << " + "
                     << c.offset.x << ", " << c.p.y << " + " << c.offset.y << ", " << c.p.z << " + "
                     << c.offset.z);
        volume->param<int32_t>("interpolation") = c.mode;
        SampleExchange exchange = fresh_exchange();
        exchange.force_offset = c.force;
        std::memcpy(exchange.offset, &c.offset, sizeof exchange.offset);
        EXPECT_EQ(at(*volume, c.p, &exchange).r, c.expected);
        EXPECT_EQ(exchange.force_offset, c.force);
    }
    volume->exit(state);
}

// Every voxel is non-zero, so a zero answer means nothing was read.
TEST_F(Lookup, OffsetsFarOutsideTheGridReadNothing) {
    auto volume = load_u8(4, 4, 2, OFFSET_MODE);
    const float far[] = {1e9f,  -1e9f,  3e9f, -3e9f, 2147483648.0f, -2147483904.0f,
                         1e30f, -1e30f, kInf, -kInf, kNaN};
    for (const float offset : far)
        for (int axis = 0; axis < 3; ++axis) {
            SampleExchange exchange = fresh_exchange();
            exchange.offset[axis] = offset;
            const miColor color = at(*volume, {1, 1, 0}, &exchange);
            EXPECT_EQ(color.r, 0.0f) << "offset " << offset << " on axis " << axis;
            EXPECT_EQ(color.a, kIncoming.a);
        }
    // y = 2^30 in a row of 4 voxels: 32-bit index arithmetic would wrap to
    // voxel (1, 0, 0).
    SampleExchange exchange = fresh_exchange();
    exchange.offset[1] = 1073741824.0f;
    EXPECT_EQ(at(*volume, {1, 1, 0}, &exchange).r, 0.0f);
    volume->exit(state);
}

// ---- Normalisation ---------------------------------------------------------------

// One-voxel volumes of each type and byte order (width 1 maps every finite
// coord to (0, 0, 0), which each mode reads): samples are read in the file's
// byte order and sign, never masked or clamped, and divided by the type's
// divisor.
TEST_F(Lookup, SamplesAreDividedByTheirTypesDivisor) {
    const struct {
        int filetype, little_endian;
        Bytes bytes;
        float expected;
    } cases[] = {
        {U16_SERIES, 1, {0xFF, 0xFF}, 1.0f},
        {U16_SERIES, 1, {0x01, 0x00}, 1.0f / 65535.0f},
        {U16_SERIES, 0, {0x01, 0x00}, 256.0f / 65535.0f},
        {U12_SERIES, 1, {0xFF, 0x0F}, 1.0f},
        {U12_SERIES, 0, {0x0F, 0xFF}, 1.0f},
        {U12_SERIES, 1, {0xFE, 0x1F}, 2.0f}, // 8190: nothing is clamped
        {U12_BLOCK, 1, {0xFF, 0x0F}, 1.0f},
        {U12_BLOCK, 0, {0xFF, 0xFF}, 65535.0f / 4095.0f},
        {U8_BLOCK, 1, {0xFF}, 1.0f},
        {U8_BLOCK, 0, {51}, 51.0f / 255.0f},
        {S16_BLOCK, 1, {0xFE, 0x01}, 2.0f},  // 510
        {S16_BLOCK, 1, {0x01, 0xFF}, -1.0f}, // -255
        {S16_BLOCK, 0, {0xFF, 0x01}, -1.0f},
        {S16_BLOCK, 1, {0x00, 0x80}, -32768.0f / 255.0f},
        {S16_BLOCK, 1, {0xFF, 0x7F}, 32767.0f / 255.0f},
        {S16_BLOCK, 0, {0x80, 0x00}, -32768.0f / 255.0f},
        {S16_BLOCK, 0, {0x01, 0xFF}, 511.0f / 255.0f},
        {S16_BLOCK, -1, {0x02, 0x01}, 258.0f / 255.0f}, // any value but 0 is little-endian
        {U16_SERIES, 7, {0x00, 0x80}, 32768.0f / 65535.0f},
    };
    for (const auto &c : cases) {
        for (int mode : {NEAREST_MODE, TRILINEAR_MODE, OFFSET_MODE}) {
            auto volume = load(c.filetype, 1, 1, 1, c.bytes, mode, c.little_endian, true);
            SampleExchange exchange = fresh_exchange();
            const miColor color = at(*volume, {0.3f, 0.6f, 0.9f}, &exchange);
            EXPECT_EQ(color.r, c.expected) << "type " << c.filetype << " mode " << mode;
            EXPECT_TRUE(same_bits(&color.g, &color.r, 4) && same_bits(&color.b, &color.r, 4));
            EXPECT_EQ(color.a, kIncoming.a);
            EXPECT_EQ(exchange.edge, EDGE_X_LOW);
            volume->exit(state);
        }
    }
}

// A colour record built by hand (BMP loading is tested with its reader):
// blue, green, red in the buffer; red, green, blue in the result.
TEST_F(Lookup, ColourVoxelsAreReorderedAndDividedBy255) {
    HandVolume hand(BMP_SERIES, 0, 2, 1, {{10, 20, 30, 0, 255, 128}}); // byte order ignored
    for (int mode : {NEAREST_MODE, TRILINEAR_MODE, OFFSET_MODE}) {
        auto instance = attached(hand, mode);
        const miColor color = at(*instance, {0, 0, 0});
        EXPECT_EQ(color.r, 30.0f / 255.0f) << "mode " << mode;
        EXPECT_EQ(color.g, 20.0f / 255.0f);
        EXPECT_EQ(color.b, 10.0f / 255.0f);
        EXPECT_EQ(color.a, kIncoming.a);
        if (mode == TRILINEAR_MODE) {
            const miColor mid = at(*instance, {0.5f, 0, 0});
            EXPECT_EQ(mid.r, 79.0f / 255.0f);
            EXPECT_EQ(mid.g, 137.5f / 255.0f);
            EXPECT_EQ(mid.b, 5.0f / 255.0f);
        }
        instance->user_pointer() = nullptr;
    }
}

// ---- The caller's record and the result colour -----------------------------------

// Alpha keeps the caller's value whatever the codes. Inside the grid a file
// type outside 0..5 fetches nothing and leaves the colour as it came, a mode
// outside the three answers zero; the record is written either way. With no
// record the lookup answers as with one whose read fields are zeros.
TEST_F(Lookup, UnknownTypesAndModesWriteTheRecordAndNoValue) {
    enum Colour { READ, INCOMING, ZERO };
    const struct {
        int filetype, mode;
        Colour inside;
    } cases[] = {
        {U8_BLOCK, NEAREST_MODE, READ}, {U8_BLOCK, TRILINEAR_MODE, READ},
        {U8_BLOCK, OFFSET_MODE, READ},  {U8_BLOCK, 3, ZERO},
        {U8_BLOCK, -1, ZERO},           {U8_BLOCK, 100, ZERO},
        {6, NEAREST_MODE, INCOMING},    {6, TRILINEAR_MODE, INCOMING},
        {6, OFFSET_MODE, INCOMING},     {6, 3, INCOMING},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE("type " + std::to_string(c.filetype) + " mode " + std::to_string(c.mode));
        auto volume = load(c.filetype, 9, 5, 5, u8_volume(9, 5, 5), c.mode);
        for (const miVector p : {miVector{4.25f, 2.5f, 2}, miVector{1.5f, 2.75f, 3.5f},
                                 miVector{-1, 2, 2}, miVector{kNaN, 1, 1}}) {
            SampleExchange exchange = fresh_exchange(); // its read fields are zeros
            const miColor color = at(*volume, p, &exchange);
            const miColor without = at(*volume, p, nullptr);
            EXPECT_TRUE(same_bits(&without, &color, sizeof color)) << "no record reads as zeros";
            EXPECT_EQ(color.a, kIncoming.a);
            const Colour expected = p.x >= 0 ? c.inside : ZERO;
            if (expected == INCOMING) {
                EXPECT_TRUE(same_bits(&color, &kIncoming, sizeof color));
            }
            if (expected == ZERO) {
                EXPECT_TRUE(color.r == 0 && color.g == 0 && color.b == 0);
            }
            EXPECT_TRUE(
                same_bits(exchange.matrix, volume->volume()->mapping, sizeof exchange.matrix));
            if (p.x != 4.25f) continue;
            EXPECT_EQ(exchange.frac[0], 0.25f);
            EXPECT_EQ(exchange.frac[1], 0.5f);
            EXPECT_EQ(exchange.frac[2], 0.0f);
            EXPECT_EQ(exchange.edge, EDGE_NONE);
        }
        volume->exit(state);
    }
}

// The lookup writes frac, edge and matrix, reads force_offset, offset and
// stencil, and touches nothing else around the record.
TEST_F(Lookup, MatrixIsCopiedOnEveryCallAndNothingElseIsTouched) {
    struct Guarded {
        unsigned char before[32];
        SampleExchange exchange;
        unsigned char after[32];
    };
    for (int mode : {int(NEAREST_MODE), int(TRILINEAR_MODE), int(OFFSET_MODE), 3}) {
        auto volume = load_u8(9, 5, 5, mode);
        const float *mapping = volume->volume()->mapping;
        for (const miVector p : {miVector{4.25f, 2.5f, 2}, miVector{-1, 2, 2}, miVector{kNaN, 0, 0},
                                 miVector{8, 4, 4}}) {
            Guarded guarded;
            std::memset(&guarded, 0x5A, sizeof guarded);
            guarded.exchange.force_offset = 3;
            guarded.exchange.stencil = 5;
            for (float &f : guarded.exchange.offset)
                f = 0.5f;
            const Guarded original = guarded;
            at(*volume, p, &guarded.exchange);
            EXPECT_TRUE(
                same_bits(guarded.exchange.matrix, mapping, sizeof guarded.exchange.matrix));
            EXPECT_TRUE(same_bits(guarded.before, original.before, sizeof guarded.before));
            EXPECT_TRUE(same_bits(guarded.after, original.after, sizeof guarded.after));
            EXPECT_TRUE(same_bits(&guarded.exchange, &original.exchange, 44)); // bytes 0 to 43
            EXPECT_EQ(guarded.exchange.stencil, 5);
        }
        volume->exit(state);
    }
}

TEST_F(Lookup, AFailedLoadAnswersZeroAndSixteenZeros) {
    // The block's slice 1 gets no memory: slice 0 loads, 1 and 2 stay null.
    write_file(folder / "block.raw", u8_volume(9, 5, 3));
    Instance instance(
        renderer,
        Params{(folder / "block.raw").string(), {0, 0, 0}, 3, NEAREST_MODE, U8_BLOCK, 9, 5, 1});
    instance.connect_coord([](miVector p) {
        return miVector{coord_for(p.x, 9), coord_for(p.y, 9), coord_for(p.z, 9)};
    });
    renderer.allocator().fail_nth(5); // record, saved name, table, slice 0, slice 1
    instance.init(state);
    renderer.allocator().fail_nth(0);
    ASSERT_EQ(renderer.log().errors(), std::vector<std::string>{"couldn't allocate memory"});
    for (int mode : {NEAREST_MODE, TRILINEAR_MODE, OFFSET_MODE}) {
        instance.param<int32_t>("interpolation") = mode;
        for (int z = 0; z < 3; ++z) {
            SampleExchange exchange = fresh_exchange();
            const miColor color = instance.lookup(state, {3, 2, float(z)}, &exchange, kIncoming);
            EXPECT_EQ(color.r, z == 0 ? u8_value(3, 2, 0, 9, 5) / 255.0f : 0.0f)
                << "mode " << mode << " slice " << z;
            for (float element : exchange.matrix)
                EXPECT_EQ(element, 0.0f);
        }
    }
    instance.exit(state);
}

// Width 1 maps every finite coord to the position (0, 0, 0), or -0 on an
// axis whose coord is negative: each mode reads the first voxel, and the
// fraction is +0 on every axis, as floor(-0) = -0 gives, though the floor
// is taken by truncation.
TEST_F(Lookup, WidthOneMapsEveryFiniteCoordToTheFirstVoxelWithFractionPlusZero) {
    Bytes bytes(9, 5);
    bytes[0] = 77;
    const float zero = 0.0f;
    for (int mode : {NEAREST_MODE, TRILINEAR_MODE, OFFSET_MODE}) {
        auto volume = load(U8_BLOCK, 1, 3, 3, bytes, mode, 1, true);
        for (const miVector coord :
             {miVector{0.3f, 5, -7}, miVector{1e30f, -1e30f, 2}, miVector{0, 0, 0},
              miVector{-0.0f, -1, 1}, miVector{-0.0f, -0.0f, -0.0f}}) {
            SCOPED_TRACE(::testing::Message() << "mode " << mode << " at " << coord.x << ", "
                                              << coord.y << ", " << coord.z);
            SampleExchange exchange = fresh_exchange();
            const miColor color = at(*volume, coord, &exchange);
            EXPECT_EQ(color.r, 77.0f / 255.0f);
            EXPECT_EQ(exchange.edge, EDGE_X_LOW);
            for (int axis = 0; axis < 3; ++axis)
                EXPECT_TRUE(same_bits(&exchange.frac[axis], &zero, sizeof zero)) << "axis " << axis;
        }
        volume->exit(state);
    }
}

TEST_F(Lookup, EachLookupFlushesAndEvaluatesCoordAfresh) {
    auto volume = load_u8(9, 5, 5);
    const uint64_t flushes = state.flushes, evaluations = state.evaluations;
    for (int i = 0; i < 3; ++i)
        at(*volume, {1, 1, 1});
    EXPECT_EQ(state.flushes - flushes, 3u);
    EXPECT_EQ(state.evaluations - evaluations, 3u);
    volume->exit(state);
}

// ---- Against the reference -------------------------------------------------------

// Trilinear lookups are bit for bit the reference's blend of the file's
// samples, divided by the type's divisor.
TEST_F(Lookup, TrilinearAnswersAreExactlyTheReferencesBlendDivided) {
    std::mt19937 random(5);
    const int size[3] = {9, 5, 4};
    for (int filetype : {U16_SERIES, U12_SERIES, U8_BLOCK, U12_BLOCK, S16_BLOCK})
        for (int little_endian : {0, 1}) {
            Bytes file(size_t(size[0]) * size[1] * size[2] * (filetype == U8_BLOCK ? 1 : 2));
            for (auto &byte : file)
                byte = uint8_t(random());
            auto volume =
                load(filetype, size[0], size[1], size[2], file, TRILINEAR_MODE, little_endian);
            reference::Volume record;
            record.width = size[0], record.height = size[1], record.depth = size[2];
            record.filetype = filetype, record.little_endian = little_endian != 0;
            const size_t slice_bytes = file.size() / size_t(size[2]);
            for (int z = 0; z < size[2]; ++z)
                record.slices.push_back(file.data() + z * slice_bytes);
            for (int i = 0; i < 2000; ++i) {
                const float p[3] = {std::uniform_real_distribution<float>(0, 8)(random),
                                    std::uniform_real_distribution<float>(0, 4)(random),
                                    std::uniform_real_distribution<float>(0, 3)(random)};
                const miColor color = at(*volume, {p[0], p[1], p[2]});
                const float expected =
                    reference::trilinear(record, p)[0] / file_type_facts(filetype)->divisor;
                ASSERT_TRUE(same_bits(&color.r, &expected, sizeof expected))
                    << "type " << filetype << " at " << std::hexfloat << p[0] << ", " << p[1]
                    << ", " << p[2] << ": " << color.r << " for " << expected;
            }
            volume->exit(state);
        }
}

// ---- Threads -------------------------------------------------------------------------

TEST_F(Lookup, ConcurrentLookupsOnOneInstanceMatchOneThread) {
    const int w = 9, h = 7, d = 6;
    std::mt19937 random(99);
    Bytes file(size_t(w) * h * d * 2);
    for (auto &byte : file)
        byte = uint8_t(random());
    auto volume = load(S16_BLOCK, w, h, d, file, TRILINEAR_MODE, 0);

    // Each query's point and record, and the answer one thread gave it.
    struct Query {
        miVector p;
        SampleExchange exchange, answered;
        miColor color;
    };
    std::vector<Query> queries(3000);
    std::uniform_real_distribution<float> around(-1.0f, 9.0f), offset(-3.0f, 3.0f);
    for (size_t i = 0; i < queries.size(); ++i) {
        Query &q = queries[i];
        q.p = {around(random), around(random), around(random)};
        q.exchange = fresh_exchange(int(i % 6));
        q.exchange.force_offset = int(i % 3 == 0);
        for (float &o : q.exchange.offset)
            o = offset(random);
        q.answered = q.exchange;
        q.color = at(*volume, q.p, &q.answered);
    }
    std::atomic<int> mismatches{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t)
        threads.emplace_back([&, t] {
            standin::State own_state;
            for (int round = 0; round < 5; ++round)
                for (size_t k = 0; k < queries.size(); ++k) {
                    const size_t i = (k + size_t(t) * 733) % queries.size();
                    SampleExchange exchange = queries[i].exchange;
                    const miColor color =
                        volume->lookup(own_state, queries[i].p, &exchange, kIncoming);
                    if (!same_bits(&color, &queries[i].color, sizeof color) ||
                        !same_bits(&exchange, &queries[i].answered, sizeof exchange))
                        ++mismatches;
                }
        });
    for (auto &thread : threads)
        thread.join();
    EXPECT_EQ(mismatches.load(), 0);
    volume->exit(state);
}

} // namespace
