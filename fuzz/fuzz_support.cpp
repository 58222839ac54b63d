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

// The lookup's reference, written from the file formats' definition rather
// than from the library: voxel reads by linear index, zero outside the slice,
// outside 0..depth-1 and for slices never loaded.
struct Expected {
    float value[3];
};

Expected fetch(const VolumeData &v, int64_t x, int64_t y, int64_t z) {
    Expected none = {{0, 0, 0}};
    if (z < 0 || z >= v.depth) return none;
    const int64_t index = x + y * v.width;
    if (index < 0 || index >= int64_t(v.width) * v.height) return none;
    if (v.filetype == BMP_SERIES) {
        if (!v.slices8 || !v.slices8[z]) return none;
        const uint8_t *p = v.slices8[z] + 3 * index;
        return Expected{{float(p[0]), float(p[1]), float(p[2])}};
    }
    if (v.filetype == U8_BLOCK) {
        if (!v.slices8 || !v.slices8[z]) return none;
        return Expected{{float(v.slices8[z][index]), 0, 0}};
    }
    if (!v.slices16 || !v.slices16[z]) return none;
    const uint8_t *p = reinterpret_cast<const uint8_t *>(v.slices16[z] + index);
    const unsigned bits = v.little_endian ? p[0] | p[1] << 8 : p[0] << 8 | p[1];
    return Expected{{v.filetype == S16_BLOCK ? float(int16_t(bits)) : float(bits), 0, 0}};
}

Expected trilinear(const VolumeData &v, const float position[3]) {
    double lo[3], hi[3], f[3]; // each fraction a float, widened: factors multiply in double
    for (int a = 0; a < 3; ++a) {
        lo[a] = std::floor(double(position[a]));
        hi[a] = std::ceil(double(position[a]));
        f[a] = float(position[a] - lo[a]);
    }
    const double gx = 1.0 - f[0], gy = 1.0 - f[1], gz = 1.0 - f[2];
    const struct {
        bool x, y, z;
        double weight;
    } corners[8] = {
        {0, 0, 0, gx * gy * gz},     {1, 0, 0, gy * f[0] * gz},     {0, 1, 0, gx * f[1] * gz},
        {0, 0, 1, gx * gy * f[2]},   {1, 0, 1, gy * f[0] * f[2]},   {0, 1, 1, gx * f[1] * f[2]},
        {1, 1, 0, f[0] * f[1] * gz}, {1, 1, 1, f[0] * f[1] * f[2]},
    };
    Expected sum = {{0, 0, 0}};
    for (const auto &c : corners) {
        const Expected value = fetch(v, int64_t(c.x ? hi[0] : lo[0]), int64_t(c.y ? hi[1] : lo[1]),
                                     int64_t(c.z ? hi[2] : lo[2]));
        for (int k = 0; k < 3; ++k)
            sum.value[k] += float(c.weight * value.value[k]);
    }
    return sum;
}

int expected_edge(const VolumeData &v, const float p[3], int32_t stencil) {
    const int64_t m = stencil == 4 ? 1 : stencil == 5 ? 2 : 0;
    const int64_t upper[3] = {int64_t(v.width) - 2 - m, int64_t(v.height) - 2 - m,
                              int64_t(v.depth) - 2 - m};
    for (int a = 0; a < 3; ++a) {
        if (double(p[a]) < double(m + 1)) return 1 + 2 * a;
        if (!(double(p[a]) <= double(upper[a]))) return 2 + 2 * a;
    }
    return 0;
}

bool same(float a, float b) {
    return a == b || (std::isnan(a) && std::isnan(b));
}

// (width - 1) * c rounded once to float, by integer arithmetic: c is m * 2^e
// with a 24-bit m, so the product is an exact 56-bit integer times 2^e,
// rounded here to the float's precision (fewer bits below its normal range).
float scaled(int64_t scale, float c) {
    if (!std::isfinite(c) || scale == 0 || c == 0.0f) return float(double(scale) * c);
    int e;
    const float m = std::frexp(c, &e); // c = m * 2^e, 0.5 <= |m| < 1
    int64_t product = scale * int64_t(std::ldexp(m, 24));
    e -= 24;
    const bool negative = product < 0;
    uint64_t magnitude = uint64_t(negative ? -product : product);
    int bits = 64 - __builtin_clzll(magnitude);
    int keep = 24;
    const int exponent = bits - 1 + e; // of the leading bit
    if (exponent < -126) keep -= -126 - exponent;
    if (keep < 0) keep = 0;
    const int drop = bits - keep;
    if (drop > 0) {
        const uint64_t rest = magnitude & ((uint64_t(1) << drop) - 1);
        const uint64_t half = uint64_t(1) << (drop - 1);
        magnitude >>= drop;
        if (rest > half || (rest == half && (magnitude & 1))) ++magnitude;
        e += drop;
    }
    const double exact = std::ldexp(double(magnitude), e); // at most 25 bits: exact
    return float(negative ? -exact : exact);
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
    const VolumeData *volume = instance.volume();
    FUZZ_CHECK(volume != nullptr);
    const std::vector<std::string> errors = r.log().errors();
    const std::vector<std::string> infos = r.log().infos();
    // The identity `coord` leaves the identity mapping once the load finished.
    const bool loaded = volume->mapping[0] == 1.0f && volume->mapping[15] == 1.0f;
    FUZZ_CHECK(loaded || volume->mapping[15] == 0.0f);
    FUZZ_CHECK(errors.size() == (loaded ? 0u : 1u));
    for (const std::string &error : errors)
        FUZZ_CHECK(!error.empty() && error.size() < 1024);
    if (text)
        FUZZ_CHECK(infos.size() == 1 && infos[0] == ("filename = " + name + " ").substr(0, 1023));
    return loaded;
}

miColor lookup_and_check(standin::Instance &instance, standin::State &state, const Lookup &l) {
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

    instance.params().interpolation = l.interpolation;
    const miColor incoming = {-11.0f, -12.0f, -13.0f, 0.625f};
    state.point() = l.point;
    state.raw()->exchange = l.with_exchange ? &record.exchange : nullptr;
    miColor result = incoming;
    FUZZ_CHECK(instance.call_lookup(state, &result) == 1);
    state.raw()->exchange = nullptr;

    FUZZ_CHECK(memcmp(&result.a, &incoming.a, sizeof result.a) == 0);
    const VolumeData *v = instance.volume();
    FUZZ_CHECK(v != nullptr);
    const int64_t scale = int64_t(v->width) - 1;
    const float p[3] = {scaled(scale, l.point.x), scaled(scale, l.point.y),
                        scaled(scale, l.point.z)};
    const bool inside = p[0] >= 0 && double(p[0]) <= double(int64_t(v->width) - 1) && p[1] >= 0 &&
                        double(p[1]) <= double(int64_t(v->height) - 1) && p[2] >= 0 &&
                        double(p[2]) <= double(int64_t(v->depth) - 1);

    const SampleExchange &e = record.exchange;
    if (l.with_exchange) {
        FUZZ_CHECK(memcmp(record.before, original.before, sizeof record.before) == 0);
        FUZZ_CHECK(memcmp(e.caller_owned, original.exchange.caller_owned, sizeof e.caller_owned) ==
                   0);
        FUZZ_CHECK(memcmp(record.after, original.after, sizeof record.after) == 0);
        FUZZ_CHECK(e.force_offset == l.force_offset && e.stencil == l.stencil);
        FUZZ_CHECK(memcmp(e.offset, l.offset, sizeof l.offset) == 0);
        FUZZ_CHECK(e.edge == expected_edge(*v, p, l.stencil));
        FUZZ_CHECK(memcmp(e.matrix, v->mapping, sizeof e.matrix) == 0);
        for (int a = 0; a < 3; ++a) {
            if (inside)
                FUZZ_CHECK(e.frac[a] == float(p[a] - std::floor(double(p[a]))) &&
                           e.frac[a] >= 0.0f && e.frac[a] < 1.0f);
            else
                FUZZ_CHECK(e.frac[a] == frac_mark);
        }
    }

    if (!inside) {
        FUZZ_CHECK(result.r == 0.0f && result.g == 0.0f && result.b == 0.0f);
        return result;
    }
    if (v->filetype < BMP_SERIES || v->filetype > S16_BLOCK) {
        FUZZ_CHECK(memcmp(&result, &incoming, sizeof result) == 0);
        return result;
    }
    int mode = l.interpolation;
    if (l.with_exchange && l.force_offset == 1) mode = OFFSET;
    Expected sample = {{0, 0, 0}};
    if (mode == NEAREST) {
        int64_t at[3];
        for (int a = 0; a < 3; ++a) {
            const double lo = std::floor(double(p[a]));
            at[a] = int64_t(float(p[a] - lo) >= 0.5f ? std::ceil(double(p[a])) : lo);
        }
        sample = fetch(*v, at[0], at[1], at[2]);
    } else if (mode == OFFSET) {
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
        if (representable) sample = fetch(*v, at[0], at[1], at[2]);
    } else if (mode == TRILINEAR) {
        sample = trilinear(*v, p);
    }
    float expected[3];
    if (v->filetype == BMP_SERIES) {
        for (int c = 0; c < 3; ++c)
            expected[c] = sample.value[2 - c] / 255.0f;
    } else {
        const float divisor = v->filetype == U16_SERIES                               ? 65535.0f
                              : v->filetype == U12_SERIES || v->filetype == U12_BLOCK ? 4095.0f
                                                                                      : 255.0f;
        for (float &c : expected)
            c = sample.value[0] / divisor;
    }
    if (!same(result.r, expected[0]) || !same(result.g, expected[1]) ||
        !same(result.b, expected[2])) {
        fprintf(stderr,
                "lookup at (%a, %a, %a), position (%a, %a, %a), mode %d, force_offset %d, "
                "offset (%a, %a, %a), %s exchange, file type %d, %d x %d x %d:\n"
                "  got (%a, %a, %a), expected (%a, %a, %a)\n",
                l.point.x, l.point.y, l.point.z, p[0], p[1], p[2], l.interpolation, l.force_offset,
                l.offset[0], l.offset[1], l.offset[2], l.with_exchange ? "with" : "no", v->filetype,
                v->width, v->height, v->depth, result.r, result.g, result.b, expected[0],
                expected[1], expected[2]);
        check(false, "the lookup's colour is the sample at the position, normalised");
    }
    return result;
}

void sweep_lookups(standin::Instance &instance, standin::State &state) {
    // Inside, on the faces, just outside, far off, and the corners of the
    // widest grids (where index arithmetic is largest).
    static const miVector points[] = {
        {0.0f, 0.0f, 0.0f},   {0.5f, 0.5f, 0.5f},    {1.0f, 1.0f, 1.0f},   {0.37f, 0.81f, 0.05f},
        {0.99f, 0.99f, 0.0f}, {0.75f, 0.999f, 0.0f}, {-0.01f, 0.5f, 0.5f}, {1.01f, 0.2f, 0.2f},
        {0.3f, 0.3f, 0.999f}, {1e-7f, 1e-7f, 1e-7f},
    };
    static const int32_t modes[] = {NEAREST, TRILINEAR, OFFSET, 7};
    for (const miVector &point : points)
        for (int32_t mode : modes)
            lookup_and_check(instance, state, Lookup{point, mode, true, 0, {0, 0, 0}, 0});
    // Forced offsets reach beyond the grid on every side.
    static const float offsets[][3] = {
        {1.0f, 1.0f, 1.0f}, {-1.0f, -1.0f, 0.0f}, {0.5f, -0.5f, 0.0f},
        {2e9f, 2e9f, 0.0f}, {-3e9f, 0.0f, 0.0f},  {1e6f, -1e6f, 1.0f},
    };
    for (const auto &offset : offsets)
        lookup_and_check(
            instance, state,
            Lookup{{0.5f, 0.5f, 0.0f}, NEAREST, true, 1, {offset[0], offset[1], offset[2]}, 4});
    lookup_and_check(instance, state,
                     Lookup{{0.5f, 0.5f, 0.5f}, TRILINEAR, false, 0, {0, 0, 0}, 0});
    lookup_and_check(instance, state, Lookup{{0.5f, 0.5f, 0.5f}, OFFSET, false, 0, {0, 0, 0}, 0});
}

void exit_and_check(standin::Instance &instance, standin::State &state) {
    instance.exit(state);
    FUZZ_CHECK(instance.volume() == nullptr);
    standin::Allocator &allocator = renderer().allocator();
    if (allocator.live_blocks() != 0)
        fprintf(stderr, "live blocks after exit:\n%s", allocator.describe_live().c_str());
    FUZZ_CHECK(allocator.live_blocks() == 0);
}

} // namespace fuzz
