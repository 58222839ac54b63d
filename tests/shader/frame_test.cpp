// The shader's life cycle and the parameter evaluation rule, through the
// stand-in renderer.
#include <cstddef>
#include <memory>

#include "support/bmp_writer.h"
#include "support/test_support.h"

using standin::Instance;
using standin::Params;
using testing_support::counting;
using testing_support::RendererTest;
using testing_support::write_file;

namespace {

class Frame : public RendererTest {};

// A parameter connected to a shader that answers `value` and counts calls.
void connect_int(Instance &instance, size_t field, int value, int *calls = nullptr) {
    instance.connect(field, [value, calls](const miState &, void *out) {
        if (calls) ++*calls;
        memcpy(out, &value, sizeof value);
    });
}

// The shader-level init (run as the library was loaded) only asks for
// instance init; the shader-level exit does nothing at all.
TEST_F(Frame, ShaderLevelInitAndExitDoNothingElse) {
    EXPECT_EQ(renderer.instance_init_requested(), 1);
    renderer.shader_exit(state.raw(), nullptr);
    EXPECT_EQ(renderer.allocator().allocations(), 0u);
    EXPECT_TRUE(renderer.log().all().empty());
}

TEST_F(Frame, ParametersFollowTheEvaluationRule) {
    enum Wiring { UNCONNECTED, CONNECTED, CONNECTED_WITHOUT_VALUE, NO_CONNECTION_OFFSET };
    const struct {
        Wiring wiring;
        int expected_depth;
    } cases[] = {
        {UNCONNECTED, 7},             // the block's own value
        {CONNECTED, 3},               // the connected shader's result
        {CONNECTED_WITHOUT_VALUE, 7}, // the renderer gives no value: the block's
        {NO_CONNECTION_OFFSET, 7},    // a zero offset means nothing is connected
    };
    for (const auto &c : cases) {
        Instance instance(renderer, Params{"volume.raw", {0, 0, 0}, 7, 0, 6, 2, 2, 1});
        if (c.wiring == CONNECTED || c.wiring == NO_CONNECTION_OFFSET)
            connect_int(instance, offsetof(VolumeParams, slices), 3);
        if (c.wiring == CONNECTED_WITHOUT_VALUE)
            instance.connect(offsetof(VolumeParams, slices), nullptr);
        if (c.wiring == NO_CONNECTION_OFFSET) instance.record().connection_offset = 0;
        instance.init(state);
        ASSERT_NE(instance.volume(), nullptr);
        EXPECT_EQ(instance.volume()->depth, c.expected_depth) << "wiring " << c.wiring;
        instance.exit(state);
    }
    EXPECT_EQ(renderer.allocator().live_blocks(), 0u) << renderer.allocator().describe_live();
}

// `filename` too is read through the rule: connected, its value is the tag of
// another text, and that file is loaded.
TEST_F(Frame, AConnectedFileNameNamesTheFileLoaded) {
    write_file(folder / "connected.raw", {1, 2, 3, 4});
    const std::string connected = (folder / "connected.raw").string();
    Instance instance(
        renderer, Params{(folder / "in-place.raw").string(), {0, 0, 0}, 1, 0, U8_BLOCK, 2, 2, 1});
    const miTag tag = renderer.add_string(connected);
    instance.connect(offsetof(VolumeParams, filename),
                     [tag](const miState &, void *out) { memcpy(out, &tag, sizeof tag); });
    instance.init(state);
    EXPECT_TRUE(renderer.log().errors().empty()) << renderer.log().errors()[0];
    EXPECT_EQ(renderer.log().infos(), std::vector<std::string>{"filename = " + connected + " "});
    ASSERT_NE(instance.volume()->slices8, nullptr);
    EXPECT_EQ(instance.volume()->slices8[0][3], 4);
    instance.exit(state);
}

TEST_F(Frame, InitCopiesTheShapeAndTypeParameters) {
    Instance instance(renderer, Params{"volume.raw", {0, 0, 0}, 4, 1, 9, 5, 6, 0});
    instance.init(state);
    const VolumeData *volume = instance.volume();
    ASSERT_NE(volume, nullptr);
    EXPECT_EQ(volume->depth, 4);
    EXPECT_EQ(volume->filetype, 9);
    EXPECT_EQ(volume->width, 5);
    EXPECT_EQ(volume->height, 6);
    EXPECT_EQ(volume->little_endian, 0);
    EXPECT_EQ(volume->slices8, nullptr);
    EXPECT_EQ(volume->slices16, nullptr);
    instance.exit(state);
    EXPECT_EQ(instance.volume(), nullptr);
    EXPECT_EQ(renderer.allocator().live_blocks(), 0u);
}

TEST_F(Frame, WidthAndHeightAreNotReadForBmpSeries) {
    for (int filetype : {0, 6}) {
        Instance instance(renderer, Params{"slice.bmp", {0, 0, 0}, 0, 0, filetype, 0, 0, 1});
        int width_calls = 0, height_calls = 0;
        connect_int(instance, offsetof(VolumeParams, width), 8, &width_calls);
        connect_int(instance, offsetof(VolumeParams, height), 9, &height_calls);
        instance.init(state);
        ASSERT_NE(instance.volume(), nullptr);
        const int expected_reads = filetype == 0 ? 0 : 1;
        EXPECT_EQ(width_calls, expected_reads) << "file type " << filetype;
        EXPECT_EQ(height_calls, expected_reads) << "file type " << filetype;
        EXPECT_EQ(instance.volume()->width, filetype == 0 ? 0 : 8);
        instance.exit(state);
    }
    EXPECT_EQ(renderer.allocator().live_blocks(), 0u);
}

TEST_F(Frame, InitSurvivesNoBlockForTheRecord) {
    Instance instance(renderer, Params{"volume.raw", {0, 0, 0}, 1, 0, 6, 1, 1, 1});
    instance.user_pointer() = &instance; // the slot's old value must survive
    renderer.allocator().fail_nth(1);
    instance.init(state);
    EXPECT_EQ(instance.user_pointer(), static_cast<void *>(&instance));
    EXPECT_EQ(renderer.log().errors(), std::vector<std::string>{"couldn't allocate memory"});
    EXPECT_EQ(renderer.allocator().live_blocks(), 0u);
}

// Every allocation of a load fails in turn, for each kind of source: one
// message (and no other when the record or the saved name gets no block),
// the name text restored, no mapping, the slices read before the failure
// intact, no file left open, nothing left after exit.
TEST_F(Frame, EveryAllocationFailingInTurnEndsCleanly) {
    for (int z = 0; z < 2; ++z) {
        write("c_000" + std::to_string(z) + ".bmp", bmp_writer::pattern_file(2, 2, z));
        write("s_000" + std::to_string(z) + ".raw", counting(2 * 2 * 2 + 5, 40 * z));
    }
    write("block.raw", counting(2 * 2 * 2 * 2 + 3));
    const struct {
        const char *name;
        int filetype;
        size_t allocations; // of a clean load
    } cases[] = {
        {"c_0000.bmp", BMP_SERIES, 5}, // the record, the saved name, the table, two slices
        {"s_0000.raw", U16_SERIES, 5}, {"block.raw", U8_BLOCK, 5}, {"block.raw", U12_BLOCK, 5},
        {"block.raw", S16_BLOCK, 5},   {"block.raw", 6, 2}, // loads nothing
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(std::string(c.name) + " type " + std::to_string(c.filetype));
        const Params params{(folder / c.name).string(), {0, 0, 0}, 2, 0, c.filetype, 2, 2, 1};
        const size_t before = renderer.allocator().allocations();
        auto clean = load(params);
        ASSERT_TRUE(renderer.log().errors().empty());
        ASSERT_EQ(renderer.allocator().allocations() - before, c.allocations);
        const std::vector<testing_support::Bytes> slices = {slice(*clean, 0), slice(*clean, 1)};
        clean->exit(state);
        for (size_t nth = 1; nth <= c.allocations; ++nth) {
            SCOPED_TRACE("allocation " + std::to_string(nth) + " failing");
            renderer.allocator().fail_nth(nth);
            auto instance = load(params);
            renderer.allocator().fail_nth(0);
            EXPECT_EQ(renderer.log().errors(),
                      std::vector<std::string>{"couldn't allocate memory"});
            if (nth <= 2) {
                EXPECT_EQ(renderer.log().all().size(), 1u);
            }
            expect_name_restored(*instance, params.filename);
            EXPECT_EQ(instance->volume() == nullptr, nth == 1);
            if (instance->volume()) {
                EXPECT_TRUE(mapping_is_zero(*instance));
                for (int z = 0; z < 2; ++z)
                    if (!slice(*instance, z).empty()) {
                        EXPECT_EQ(slice(*instance, z), slices[z]);
                    }
            }
            for (int mode :
                 {standin::NEAREST_MODE, standin::TRILINEAR_MODE, standin::OFFSET_MODE}) {
                instance->param<int32_t>("interpolation") = mode;
                instance->lookup(state, {0.5f, 0.5f, 0.5f});
            }
            instance->exit(state);
            EXPECT_EQ(renderer.allocator().live_blocks(), 0u)
                << renderer.allocator().describe_live();
            EXPECT_EQ(testing_support::open_descriptors(), descriptors);
        }
    }
}

TEST_F(Frame, LookupWithoutAVolumeLeavesTheColour) {
    Instance instance(renderer, Params{"volume.raw", {0.5f, 0.5f, 0.5f}, 1, 0, 6, 1, 1, 1});
    const miColor incoming = {0.25f, 0.5f, 0.75f, 1.0f};
    const miColor result = instance.lookup(state, {0, 0, 0}, nullptr, incoming);
    EXPECT_EQ(memcmp(&result, &incoming, sizeof result), 0);
}

TEST_F(Frame, StateCacheNeverCarriesOneInstanceIntoTheNext) {
    // Instances built one after another in one place of memory share their
    // parameter addresses; a state that ran the first must not answer the
    // second's capture from the first's cached `coord`.
    for (float shift : {1.0f, 7.0f}) {
        auto instance =
            std::make_unique<Instance>(renderer, Params{"volume.raw", {0, 0, 0}, 1, 0, 6, 2, 2, 1});
        instance->connect_coord([shift](miVector p) { return miVector{p.x + shift, p.y, p.z}; });
        instance->init(state);
        ASSERT_NE(instance->volume(), nullptr);
        EXPECT_EQ(instance->volume()->mapping[0], 1.0f) << "shift " << shift;
        const miColor ignored = instance->lookup(state, {0.5f, 0, 0});
        (void)ignored;
        instance->exit(state);
    }
}

} // namespace
