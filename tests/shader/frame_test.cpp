// The shader's life cycle and the parameter evaluation rule, through the
// stand-in renderer.
#include <cstddef>
#include <memory>

#include "support/test_support.h"

using standin::Instance;
using standin::Params;
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

TEST_F(Frame, ShaderLevelInitOnlyAsksForInstanceInit) {
    EXPECT_EQ(renderer.instance_init_requested(), 1);
    EXPECT_EQ(renderer.allocator().allocations(), 0u);
    EXPECT_TRUE(renderer.log().all().empty());
}

TEST_F(Frame, ShaderLevelExitDoesNothing) {
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

TEST_F(Frame, ExitReleasesPartlyAndWhollyEmptyRecords) {
    write_file(folder / "s000.raw", std::vector<unsigned char>(8, 1));
    const struct {
        const char *name;
        int slices, filetype;
    } cases[] = {
        {"s000.raw", 3, 1},  // slice 0 loads, slice 1 is missing: a partial table
        {"block.raw", 2, 3}, // the block file is missing: a table of null entries
        {"s000.raw", 2, 42}, // unknown type: no table at all
        {"s000.raw", -1, 4}, // a rejected shape: no table at all
    };
    for (const auto &c : cases) {
        Instance instance(
            renderer,
            Params{(folder / c.name).string(), {0, 0, 0}, c.slices, 0, c.filetype, 2, 2, 1});
        instance.init(state);
        ASSERT_NE(instance.volume(), nullptr);
        instance.exit(state);
        EXPECT_EQ(instance.volume(), nullptr);
        EXPECT_EQ(renderer.allocator().live_blocks(), 0u)
            << c.name << " type " << c.filetype << "\n"
            << renderer.allocator().describe_live();
    }
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
