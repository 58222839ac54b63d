#include "bench/lookup_loops.h"

#include <cmath>
#include <cstring>
#include <stdexcept>

#include "sample/sample_exchange.h"

// The renderer functions as this program exports them (renderer/standin.cpp),
// called directly for the host floor.
extern "C" {
void *mi_phen_eval(miState *state, void *param);
void mi_flush_cache(miState *state);
miBoolean mi_query(int code, miState *state, miTag tag, void *result, ...);
}

namespace bench {

namespace {

// A parameter's value as the renderer gives it: from its connection when the
// renderer connected it, else in place.
inline const void *evaluate(miState *state, void *param, bool connected) {
    const void *value = connected ? mi_phen_eval(state, param) : nullptr;
    return value ? value : param;
}

// One voxel's sample (the sum of the channels for colour).
template <typename T, int C> inline float voxel(const T *data, size_t index) {
    if (C == 1) return float(data[index]);
    return float(data[C * index]) + float(data[C * index + 1]) + float(data[C * index + 2]);
}

// Zero, computed from `sum` so that the processor must wait for it: in a
// serial run each point's reads wait for the previous point's answer.
template <bool Serial> inline size_t zero_after(float sum) {
#if defined(__x86_64__) && defined(__GNUC__)
    if (Serial) {
        uint32_t bits;
        memcpy(&bits, &sum, sizeof bits);
        asm("andl $0, %0" : "+r"(bits));
        return bits;
    }
#endif
    (void)sum;
    return 0;
}

template <typename T, int C, bool Serial>
float bare_loop(const T *data, int width, int height, int mode, PointSpan points) {
    const size_t w = size_t(width), wh = size_t(width) * size_t(height);
    const miVector *position = points.position;
    const size_t count = points.count;
    float sum = 0.0f;
    if (mode == standin::NEAREST_MODE) {
        for (size_t i = 0; i < count; ++i) {
            const miVector p = position[i + zero_after<Serial>(sum)];
            int x = int(p.x), y = int(p.y), z = int(p.z);
            x += (p.x - float(x)) >= 0.5f;
            y += (p.y - float(y)) >= 0.5f;
            z += (p.z - float(z)) >= 0.5f;
            sum += voxel<T, C>(data, size_t(z) * wh + size_t(y) * w + size_t(x));
        }
    } else if (mode == standin::OFFSET_MODE) {
        for (size_t i = 0; i < count; ++i) {
            const miVector p = position[i + zero_after<Serial>(sum)];
            const size_t index = size_t(int(p.z)) * wh + size_t(int(p.y)) * w + size_t(int(p.x));
            sum += voxel<T, C>(data, index);
        }
    } else {
        for (size_t i = 0; i < count; ++i) {
            const miVector p = position[i + zero_after<Serial>(sum)];
            const int x = int(p.x), y = int(p.y), z = int(p.z);
            const float fx = p.x - float(x), fy = p.y - float(y), fz = p.z - float(z);
            const T *cell = data + C * (size_t(z) * wh + size_t(y) * w + size_t(x));
            for (int c = 0; c < C; ++c) {
                const T *v = cell + c;
                const size_t row = C * w, slice = C * wh;
                const float c00 = v[0] + fx * (float(v[C]) - float(v[0]));
                const float c10 = v[row] + fx * (float(v[row + C]) - float(v[row]));
                const float c01 = v[slice] + fx * (float(v[slice + C]) - float(v[slice]));
                const float c11 =
                    v[slice + row] + fx * (float(v[slice + row + C]) - float(v[slice + row]));
                const float c0 = c00 + fy * (c10 - c00), c1 = c01 + fy * (c11 - c01);
                sum += c0 + fz * (c1 - c0);
            }
        }
    }
    return sum;
}

float divisor(int filetype) {
    return file_type_facts(filetype)->divisor;
}

} // namespace

std::unique_ptr<LookupVolume> load_lookup_volume(standin::Renderer &renderer,
                                                 const VolumeSpec &shape, const std::string &folder,
                                                 size_t random_count, size_t ray_count,
                                                 bool nanovdb) {
    auto volume = std::make_unique<LookupVolume>();
    volume->shape = shape;
    volume->bare = make_samples(shape);
    const VolumeFiles files = write_volume(shape, volume->bare, folder);
    volume->instance = std::make_unique<standin::Instance>(renderer, shape.params(files.filename));
    volume->instance->connect_coord([](miVector point) { return point; });
    standin::State state;
    volume->instance->init(state);
    remove_files(files);
    if (!volume->instance->user_pointer() || volume->instance->looked_up_mapping(state)[15] != 1.0f)
        throw std::runtime_error("cannot load " + shape.label());
    volume->random = random_points(shape, random_count, 1000 + shape.width);
    volume->rays = ray_points(shape, ray_count);
    if (nanovdb && shape.channels() == 1)
        volume->nanovdb = build_nanovdb(volume->bare, divisor(shape.filetype()));

    // standin::NEAREST_MODE answers the generated samples, divided as the file type says.
    const size_t w = size_t(shape.width), wh = w * size_t(shape.height);
    for (size_t i = 0; i < volume->random.coord.size();
         i += 97 + volume->random.coord.size() / 4096) {
        const miVector p = volume->random.position[i];
        size_t x = size_t(p.x), y = size_t(p.y), z = size_t(p.z);
        x += p.x - float(x) >= 0.5f;
        y += p.y - float(y) >= 0.5f;
        z += p.z - float(z) >= 0.5f;
        const size_t index = z * wh + y * w + x;
        const miColor got = volume->instance->lookup(state, volume->random.coord[i]);
        float want;
        if (shape.kind == Kind::BMP)
            want = volume->bare.u8[3 * index + 2] / 255.0f; // red
        else if (shape.kind == Kind::U8)
            want = volume->bare.u8[index] / 255.0f;
        else if (shape.kind == Kind::U16_SER)
            want = float(uint16_t(volume->bare.s16[index])) / divisor(shape.filetype());
        else
            want = float(volume->bare.s16[index]) / divisor(shape.filetype());
        if (got.r != want)
            throw std::runtime_error(shape.label() + ": lookup answers " + std::to_string(got.r) +
                                     ", sample is " + std::to_string(want));
    }
    return volume;
}

void release_lookup_volume(LookupVolume &volume) {
    standin::State state;
    if (volume.instance) volume.instance->exit(state);
    volume.instance.reset();
}

float run_full(standin::Instance &instance, standin::State &state, SampleExchange *exchange,
               PointSpan points) {
    standin::Renderer &renderer = *standin::Renderer::current();
    miBoolean (*const lookup)(miColor *, miState *, VolumeParams *) = renderer.shader_lookup;
    VolumeParams *params = instance.params();
    miShaderRecord *record = &instance.record();
    miState *raw = state.raw();
    state.set_exchange(exchange);
    float sum = 0.0f;
    for (const miVector *coord = points.coord; coord != points.coord + points.count; ++coord) {
        state.point() = *coord;
        state.set_shader(record);
        miColor result = {0.0f, 0.0f, 0.0f, 0.0f};
        lookup(&result, raw, params);
        sum += result.r;
    }
    return sum;
}

float run_floor(standin::Instance &instance, standin::State &state, SampleExchange *exchange,
                PointSpan points) {
    void *interpolation = &instance.param<int32_t>("interpolation");
    void *coord_param = &instance.param<miVector>("coord");
    const bool mode_connected = instance.connected("interpolation");
    const bool coord_connected = instance.connected("coord");
    miShaderRecord *record = &instance.record();
    miState *raw = state.raw();
    state.set_exchange(exchange);
    float sum = 0.0f;
    for (const miVector *coord = points.coord; coord != points.coord + points.count; ++coord) {
        state.point() = *coord;
        state.set_shader(record);
        void **slot = nullptr;
        mi_query(standin::QUERY_USER_POINTER, raw, 0, &slot);
        mi_flush_cache(raw);
        int32_t mode;
        memcpy(&mode, evaluate(raw, interpolation, mode_connected), sizeof mode);
        miVector at;
        memcpy(&at, evaluate(raw, coord_param, coord_connected), sizeof at);
        asm volatile("" : : "r"(slot), "r"(mode)); // both are used, as by the lookup
        sum += at.x;
    }
    return sum;
}

float run_bare(const BareVolume &bare, int mode, PointSpan points, bool serial) {
    if (serial) {
        if (!bare.s16.empty())
            return bare_loop<int16_t, 1, true>(bare.s16.data(), bare.width, bare.height, mode,
                                               points);
        if (bare.channels == 3)
            return bare_loop<uint8_t, 3, true>(bare.u8.data(), bare.width, bare.height, mode,
                                               points);
        return bare_loop<uint8_t, 1, true>(bare.u8.data(), bare.width, bare.height, mode, points);
    }
    if (!bare.s16.empty())
        return bare_loop<int16_t, 1, false>(bare.s16.data(), bare.width, bare.height, mode, points);
    if (bare.channels == 3)
        return bare_loop<uint8_t, 3, false>(bare.u8.data(), bare.width, bare.height, mode, points);
    return bare_loop<uint8_t, 1, false>(bare.u8.data(), bare.width, bare.height, mode, points);
}

} // namespace bench
