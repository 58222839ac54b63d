#include "fuzz/fuzz_support.h"

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <unistd.h>

#include "sample/sample_exchange.h"

namespace fuzz {

void check(bool ok, const char *what) {
    if (ok) return;
    fprintf(stderr, "nimbrel fuzz: violated: %s\n", what);
    abort();
}

namespace {

std::string scratch_path;

void remove_scratch() {
    std::error_code ignored;
    std::filesystem::remove_all(scratch_path, ignored);
}

bool same(float a, float b) {
    return a == b || (std::isnan(a) && std::isnan(b));
}

} // namespace

const std::string &scratch() {
    if (scratch_path.empty()) {
        scratch_path = "/tmp/nimbrel-fuzz-" + std::to_string(getpid());
        std::filesystem::create_directories(scratch_path);
        atexit(remove_scratch);
    }
    return scratch_path;
}

standin::Renderer &renderer() {
    static standin::Renderer *loaded = [] {
        auto *r = new standin::Renderer;
        r->log().set_echo(false);
        if (!r->load(standin::default_library_path())) {
            fprintf(stderr, "nimbrel fuzz: cannot load the library: %s\n", r->load_error().c_str());
            abort();
        }
        return r;
    }();
    return *loaded;
}

void write_bytes(const std::string &path, const uint8_t *data, size_t size) {
    // A new file each time: ext4 flushes a file truncated and written again
    // to disk on close, which costs milliseconds.
    unlink(path.c_str());
    FILE *file = fopen(path.c_str(), "wb");
    check(file != nullptr, "scratch file can be written");
    if (size > 0) check(fwrite(data, 1, size, file) == size, "scratch file written whole");
    fclose(file);
}

void remove_file(const std::string &path) {
    unlink(path.c_str());
}

uint8_t Reader::byte() {
    return at < size ? data[at++] : 0;
}

uint32_t Reader::u32() {
    uint32_t value = 0;
    for (int i = 0; i < 4; ++i)
        value |= uint32_t(byte()) << (8 * i);
    return value;
}

float Reader::f32() {
    const uint32_t bits = u32();
    float value;
    memcpy(&value, &bits, sizeof value);
    return value;
}

bool init_and_check(standin::Instance &instance) {
    standin::Renderer &r = renderer();
    // A state of its own, as a renderer gives: nothing cached from lookups.
    standin::State state;
    const char *text = instance.filename_text();
    const std::string name = text ? std::string(text) : std::string();
    r.log().clear();
    const miVector entry = {0.25f, -3.5f, 1e30f};
    state.point() = entry;
    instance.init(state);

    if (text) FUZZ_CHECK(memcmp(instance.filename_text(), name.c_str(), name.size() + 1) == 0);
    FUZZ_CHECK(memcmp(&state.point(), &entry, sizeof entry) == 0);
    FUZZ_CHECK(instance.user_pointer() != nullptr);
    const std::vector<std::string> errors = r.log().errors();
    const std::vector<std::string> infos = r.log().infos();
    // The identity `coord` leaves the identity mapping once the load
    // finished; every lookup hands it to its caller.
    const std::array<float, 16> mapping = instance.looked_up_mapping(state);
    const bool loaded = mapping[0] == 1.0f && mapping[15] == 1.0f;
    FUZZ_CHECK(loaded || mapping[15] == 0.0f);
    FUZZ_CHECK(errors.size() == (loaded ? 0u : 1u));
    for (const std::string &error : errors)
        FUZZ_CHECK(!error.empty() && error.size() < 1024);
    if (text)
        FUZZ_CHECK(infos.size() == 1 && infos[0] == ("filename = " + name + " ").substr(0, 1023));
    return loaded;
}

miColor lookup_and_check(standin::Instance &instance, standin::State &state, const Lookup &l,
                         const Model &model) {
    // The record sits between guard bytes: nothing before byte 28 or past
    // byte 127 may change.
    struct Guarded {
        uint8_t before[32];
        SampleExchange exchange;
        uint8_t after[32];
    } record, original;
    memset(&record, 0xA5, sizeof record);
    record.exchange.force_offset = l.force_offset;
    memcpy(record.exchange.offset, l.offset, sizeof l.offset);
    record.exchange.stencil = l.stencil;
    const float frac_mark = -7.0f;
    for (float &f : record.exchange.frac)
        f = frac_mark;
    record.exchange.edge = -99;
    original = record;

    instance.param<int32_t>("interpolation") = l.interpolation;
    const miColor incoming = {-11.0f, -12.0f, -13.0f, 0.625f};
    state.point() = l.point;
    state.set_exchange(l.with_exchange ? &record.exchange : nullptr);
    miColor result = incoming;
    FUZZ_CHECK(instance.call_lookup(state, &result) == 1);
    state.set_exchange(nullptr);

    FUZZ_CHECK(memcmp(&result.a, &incoming.a, sizeof result.a) == 0);
    const reference::Volume &v = model.volume;
    const int64_t scale = v.width - 1;
    const float p[3] = {reference::scaled(scale, l.point.x), reference::scaled(scale, l.point.y),
                        reference::scaled(scale, l.point.z)};
    const bool inside = p[0] >= 0 && double(p[0]) <= double(v.width - 1) && p[1] >= 0 &&
                        double(p[1]) <= double(v.height - 1) && p[2] >= 0 &&
                        double(p[2]) <= double(v.depth - 1);
    float mapping[16] = {};
    if (model.loaded)
        for (int i = 0; i < 16; i += 5)
            mapping[i] = 1.0f;

    const SampleExchange &e = record.exchange;
    if (l.with_exchange) {
        FUZZ_CHECK(memcmp(record.before, original.before, sizeof record.before) == 0);
        FUZZ_CHECK(memcmp(e.caller_owned, original.exchange.caller_owned, sizeof e.caller_owned) ==
                   0);
        FUZZ_CHECK(memcmp(record.after, original.after, sizeof record.after) == 0);
        FUZZ_CHECK(e.force_offset == l.force_offset && e.stencil == l.stencil);
        FUZZ_CHECK(memcmp(e.offset, l.offset, sizeof l.offset) == 0);
        FUZZ_CHECK(e.edge >= 0 && e.edge <= 6);
        FUZZ_CHECK(memcmp(e.matrix, mapping, sizeof e.matrix) == 0);
        if (!model.shape_known) return result;
        FUZZ_CHECK(e.edge == reference::edge(v, p, l.stencil));
        for (int a = 0; a < 3; ++a) {
            if (inside)
                FUZZ_CHECK(e.frac[a] == float(p[a] - std::floor(double(p[a]))) &&
                           e.frac[a] >= 0.0f && e.frac[a] < 1.0f);
            else
                FUZZ_CHECK(e.frac[a] == frac_mark);
        }
    }

    if (!model.shape_known) return result;
    if (!inside) {
        FUZZ_CHECK(result.r == 0.0f && result.g == 0.0f && result.b == 0.0f);
        return result;
    }
    const FileTypeFacts *facts = file_type_facts(v.filetype);
    if (!facts) {
        FUZZ_CHECK(memcmp(&result, &incoming, sizeof result) == 0);
        return result;
    }
    if (!model.values_known) return result;
    int mode = l.interpolation;
    if (l.with_exchange && l.force_offset == 1) mode = standin::OFFSET_MODE;
    reference::Value sample = {0, 0, 0};
    if (mode == standin::NEAREST_MODE) {
        int64_t at[3];
        for (int a = 0; a < 3; ++a) {
            const double lo = std::floor(double(p[a]));
            at[a] = int64_t(float(p[a] - lo) >= 0.5f ? std::ceil(double(p[a])) : lo);
        }
        sample = reference::fetch(v, at[0], at[1], at[2]);
    } else if (mode == standin::OFFSET_MODE) {
        // A sum with no 32-bit integer value answers 0, like a voxel outside.
        const float zero[3] = {0, 0, 0};
        const float *offset = l.with_exchange ? l.offset : zero;
        int64_t at[3];
        bool representable = true;
        for (int a = 0; a < 3; ++a) {
            const float sum = float(std::floor(double(p[a]))) + offset[a];
            representable = representable && sum >= -2147483648.0f && sum < 2147483648.0f;
            at[a] = representable ? int64_t(int32_t(sum)) : 0;
        }
        if (representable) sample = reference::fetch(v, at[0], at[1], at[2]);
    } else if (mode == standin::TRILINEAR_MODE) {
        sample = reference::trilinear(v, p);
    }
    float expected[3];
    for (int c = 0; c < 3; ++c)
        expected[c] = sample[facts->channels == 3 ? size_t(2 - c) : 0] / facts->divisor;
    if (!same(result.r, expected[0]) || !same(result.g, expected[1]) ||
        !same(result.b, expected[2])) {
        fprintf(stderr,
                "lookup at (%a, %a, %a), position (%a, %a, %a), mode %d, force_offset %d, "
                "offset (%a, %a, %a), %s exchange, file type %d, %d x %d x %d:\n"
                "  got (%a, %a, %a), expected (%a, %a, %a)\n",
                l.point.x, l.point.y, l.point.z, p[0], p[1], p[2], l.interpolation, l.force_offset,
                l.offset[0], l.offset[1], l.offset[2], l.with_exchange ? "with" : "no", v.filetype,
                int(v.width), int(v.height), int(v.depth), result.r, result.g, result.b,
                expected[0], expected[1], expected[2]);
        check(false, "the lookup's colour is the sample at the position, normalised");
    }
    return result;
}

void sweep_lookups(standin::Instance &instance, standin::State &state, const Model &model) {
    // Inside, on the faces, just outside, far off, and the corners of the
    // widest grids (where index arithmetic is largest).
    static const miVector points[] = {
        {0.0f, 0.0f, 0.0f},   {0.5f, 0.5f, 0.5f},    {1.0f, 1.0f, 1.0f},   {0.37f, 0.81f, 0.05f},
        {0.99f, 0.99f, 0.0f}, {0.75f, 0.999f, 0.0f}, {-0.01f, 0.5f, 0.5f}, {1.01f, 0.2f, 0.2f},
        {0.3f, 0.3f, 0.999f}, {1e-7f, 1e-7f, 1e-7f},
    };
    static const int32_t modes[] = {standin::NEAREST_MODE, standin::TRILINEAR_MODE,
                                    standin::OFFSET_MODE, 7};
    for (const miVector &point : points)
        for (int32_t mode : modes)
            lookup_and_check(instance, state, Lookup{point, mode, true, 0, {0, 0, 0}, 0}, model);
    // Forced offsets reach beyond the grid on every side.
    static const float offsets[][3] = {
        {1.0f, 1.0f, 1.0f}, {-1.0f, -1.0f, 0.0f}, {0.5f, -0.5f, 0.0f},
        {2e9f, 2e9f, 0.0f}, {-3e9f, 0.0f, 0.0f},  {1e6f, -1e6f, 1.0f},
    };
    for (const auto &offset : offsets)
        lookup_and_check(instance, state,
                         Lookup{{0.5f, 0.5f, 0.0f},
                                standin::NEAREST_MODE,
                                true,
                                1,
                                {offset[0], offset[1], offset[2]},
                                4},
                         model);
    lookup_and_check(instance, state,
                     Lookup{{0.5f, 0.5f, 0.5f}, standin::TRILINEAR_MODE, false, 0, {0, 0, 0}, 0},
                     model);
    lookup_and_check(instance, state,
                     Lookup{{0.5f, 0.5f, 0.5f}, standin::OFFSET_MODE, false, 0, {0, 0, 0}, 0},
                     model);
}

void check_every_voxel(standin::Instance &instance, standin::State &state, const Model &model) {
    const reference::Volume &v = model.volume;
    for (int64_t z = 0; z < v.depth; ++z)
        for (int64_t y = 0; y < v.height; ++y)
            for (int64_t x = 0; x < v.width; ++x)
                lookup_and_check(instance, state,
                                 Lookup{{0, 0, 0},
                                        standin::NEAREST_MODE,
                                        true,
                                        1,
                                        {float(x), float(y), float(z)},
                                        0},
                                 model);
}

void exit_and_check(standin::Instance &instance, standin::State &state) {
    instance.exit(state);
    FUZZ_CHECK(instance.user_pointer() == nullptr);
    standin::Allocator &allocator = renderer().allocator();
    if (allocator.live_blocks() != 0)
        fprintf(stderr, "live blocks after exit:\n%s", allocator.describe_live().c_str());
    FUZZ_CHECK(allocator.live_blocks() == 0);
}

} // namespace fuzz
