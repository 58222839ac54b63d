// The coordinate mapping that instance initialisation captures from `coord`,
// and its copy into the caller's record on every lookup, through the
// stand-in renderer.
#include <cmath>
#include <cstddef>
#include <cstring>
#include <functional>

#include "support/bmp_writer.h"
#include "support/test_support.h"

using standin::Instance;
using standin::Params;

namespace fs = std::filesystem;

namespace {

// The capture's first evaluation follows no flush, so every instance here is
// initialised on a state with nothing cached yet, as a renderer hands it over.
class MappingCapture : public testing_support::RendererTest {
  protected:
    // An instance that loads nothing (file type 6) and so captures the
    // mapping without touching any file.
    std::unique_ptr<Instance> no_load(int filetype = 6) {
        return std::make_unique<Instance>(renderer,
                                          Params{"none.raw", {3, 4, 5}, 2, 0, filetype, 4, 4, 1});
    }

    static std::vector<float> matrix(std::initializer_list<float> elements) { return elements; }
    static std::vector<float> mapping(const Instance &instance) {
        const float *m = instance.volume()->mapping;
        return std::vector<float>(m, m + 16);
    }
};

TEST_F(MappingCapture, ColumnsAreTheChangesAlongEachAxis) {
    const struct {
        const char *name;
        std::function<miVector(miVector)> coord;
        std::vector<float> expected;
    } cases[] = {
        {"identity", [](miVector p) { return p; },
         matrix({1, 0, 0, 0, 0, 1, 0, 0, 0, 0, 1, 0, 0, 0, 0, 1})},
        {"2p + 5",
         [](miVector p) {
             return miVector{2 * p.x + 5, 2 * p.y + 5, 2 * p.z + 5};
         },
         matrix({2, 0, 0, 0, 0, 2, 0, 0, 0, 0, 2, 0, 0, 0, 0, 1})},
        {"x + 2y",
         [](miVector p) {
             return miVector{p.x + 2 * p.y, p.y, p.z};
         },
         matrix({1, 2, 0, 0, 0, 1, 0, 0, 0, 0, 1, 0, 0, 0, 0, 1})},
        {"swapped",
         [](miVector p) {
             return miVector{p.y, p.x, p.z};
         },
         matrix({0, 1, 0, 0, 1, 0, 0, 0, 0, 0, 1, 0, 0, 0, 0, 1})},
        {"general",
         [](miVector p) {
             return miVector{3 * p.x - p.z + 1, -2 * p.y + 0.5f * p.x, 4 * p.z + p.y - 7};
         },
         matrix({3, 0, -1, 0, 0.5f, -2, 0, 0, 0, 1, 4, 0, 0, 0, 0, 1})},
    };
    for (const auto &c : cases) {
        standin::State fresh; // nothing cached for `coord` yet
        auto instance = no_load();
        instance->connect_coord(c.coord);
        instance->init(fresh);
        EXPECT_EQ(mapping(*instance), c.expected) << c.name;
        instance->exit(fresh);
    }
}

// With `coord` not connected, or connected while the renderer gives no
// value, every evaluation yields the block's constant: no change at all.
TEST_F(MappingCapture, ConstantCoordGivesOnlyTheIdentitysCorner) {
    const std::vector<float> corner = matrix({0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1});
    for (bool connected_without_value : {false, true}) {
        standin::State fresh;
        auto instance = no_load();
        if (connected_without_value) instance->connect(offsetof(VolumeParams, coord), nullptr);
        instance->init(fresh);
        EXPECT_EQ(mapping(*instance), corner) << connected_without_value;
        instance->exit(fresh);
    }
}

// `coord` is evaluated at the origin without a flush, then at one unit
// along x, y and z, each after a flush: three flushes in all, and the
// current point is what it was on entry once init returns.
TEST_F(MappingCapture, FourEvaluationsAndThreeFlushes) {
    struct Evaluation {
        miVector point;
        uint64_t flushes;
    };
    std::vector<Evaluation> seen;
    auto instance = no_load();
    instance->connect(offsetof(VolumeParams, coord), [&](const miState &raw, void *out) {
        seen.push_back({raw.point, state.flushes});
        memcpy(out, &raw.point, sizeof raw.point);
    });
    state.point() = {-1.5f, 2.25f, 1e30f};
    const uint64_t flushes = state.flushes;
    instance->init(state);
    EXPECT_EQ(state.flushes - flushes, 3u);
    EXPECT_EQ(state.point().x, -1.5f);
    EXPECT_EQ(state.point().y, 2.25f);
    EXPECT_EQ(state.point().z, 1e30f);
    ASSERT_EQ(seen.size(), 4u);
    const miVector points[] = {{0, 0, 0}, {1, 0, 0}, {0, 1, 0}, {0, 0, 1}};
    for (size_t i = 0; i < 4; ++i) {
        EXPECT_EQ(seen[i].point.x, points[i].x) << i;
        EXPECT_EQ(seen[i].point.y, points[i].y) << i;
        EXPECT_EQ(seen[i].point.z, points[i].z) << i;
        EXPECT_EQ(seen[i].flushes - flushes, i) << i;
    }
    instance->exit(state);
}

// The capture runs for file types outside 0..5 (which load nothing without
// failing) and never after a failed load, whose mapping stays all zero and
// whose current point is never touched.
TEST_F(MappingCapture, RunsUnlessTheLoadFailed) {
    const struct {
        int filetype;
        const char *filename;
        bool captured;
    } cases[] = {
        {6, "none.raw", true},
        {-1, "none.raw", true},
        {1000, "none.raw", true},
        {0, "missing_0000.bmp", false},
        {0, "zero_slices_0000.bmp", true},
    };
    for (const auto &c : cases) {
        const std::string name = (folder / c.filename).string();
        const int slices = std::string(c.filename).rfind("zero", 0) == 0 ? 0 : 2;
        Instance instance(renderer, Params{name, {3, 4, 5}, slices, 0, c.filetype, 4, 4, 1});
        int evaluations = 0;
        instance.connect_coord([&evaluations](miVector p) {
            ++evaluations;
            return miVector{p.z, p.y, p.x};
        });
        standin::State fresh;
        fresh.point() = {7, 8, 9};
        instance.init(fresh);
        EXPECT_EQ(evaluations, c.captured ? 4 : 0) << c.filetype << " " << c.filename;
        EXPECT_EQ(fresh.flushes, c.captured ? 3u : 0u) << c.filename;
        EXPECT_EQ(fresh.point().x, 7.0f);
        EXPECT_EQ(fresh.point().y, 8.0f);
        EXPECT_EQ(fresh.point().z, 9.0f);
        const std::vector<float> expected =
            c.captured ? matrix({0, 0, 1, 0, 0, 1, 0, 0, 1, 0, 0, 0, 0, 0, 0, 1})
                       : std::vector<float>(16, 0.0f);
        EXPECT_EQ(mapping(instance), expected) << c.filetype << " " << c.filename;
        instance.exit(fresh);
    }
}

// A colour volume that loads captures its mapping like any other, and every
// lookup copies it into the caller's record, for a position inside or outside
// the grid, in every mode, and for a failed load (zeros).
TEST_F(MappingCapture, MatrixEqualsMappingAfterEveryLookup) {
    std::vector<bmp_writer::Bytes> rows;
    write("l0.bmp", bmp_writer::numbered_file(3, 3, 1, &rows));
    write("l1.bmp", bmp_writer::numbered_file(3, 3, 2, &rows));
    const std::string loaded = (folder / "l0.bmp").string();
    const std::string failing = (folder / "absent0.bmp").string();
    const miVector points[] = {{0.5f, 0.5f, 0.5f}, {0, 0, 0},         {1, 1, 0.5f}, {2, 0, 0},
                               {-1, 0.5f, 0},      {NAN, 0.5f, 0.5f}, {0.5f, 9, 0}};
    for (const std::string &name : {loaded, failing}) {
        Instance instance(renderer, Params{name, {0, 0, 0}, 2, 0, 0, 0, 0, 1});
        instance.connect_coord([](miVector p) {
            return miVector{0.5f * p.x + 0.25f * p.y, p.y - p.z, 0.75f * p.z};
        });
        instance.init(state);
        for (int mode : {0, 1, 2, 7}) {
            instance.param<int32_t>("interpolation") = mode;
            for (const miVector &p : points) {
                SampleExchange exchange;
                memset(&exchange, 0x7F, sizeof exchange);
                exchange.force_offset = 0;
                exchange.stencil = 0;
                exchange.offset[0] = exchange.offset[1] = exchange.offset[2] = 0;
                instance.lookup(state, p, &exchange);
                EXPECT_EQ(
                    memcmp(exchange.matrix, instance.volume()->mapping, sizeof exchange.matrix), 0)
                    << name << " mode " << mode << " at " << p.x << ", " << p.y << ", " << p.z;
            }
        }
        if (name == loaded) {
            EXPECT_EQ(mapping(instance),
                      matrix({0.5f, 0.25f, 0, 0, 0, 1, -1, 0, 0, 0, 0.75f, 0, 0, 0, 0, 1}));
        }
        instance.exit(state);
    }
}

} // namespace
