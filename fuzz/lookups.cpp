// Fuzz target: lookups on small volumes of every file type, and on volumes
// whose load stopped part way or loaded nothing. Byte 0 chooses the volume;
// then each 41-byte record is one lookup:
//   byte 0      bit 0 no exchange record; bits 1-2 the mode: NEAREST,
//               TRILINEAR, OFFSET, or the raw value below; bit 3
//               force_offset 1; bits 4-5 stencil 4, 5 or the raw value
//   bytes 1-12  coord x, y, z (floats: NaN, infinities, huge values occur)
//   bytes 13-16 interpolation (raw)
//   bytes 17-20 force_offset (raw)
//   bytes 21-32 offset x, y, z
//   bytes 33-36 stencil (raw)
//   bytes 37-40 unused
// The volume is initialised and released around the lookups of each input.
#include <climits>
#include <cstring>

#include "fuzz/fuzz_inputs.h"
#include "fuzz/fuzz_support.h"

namespace {

struct Kind {
    int filetype, width, height, depth;
    enum Damage { NONE, SLICE_1_MISSING, HUGE_BMP_HEADER } damage;
};

// Every file type in four shapes (one voxel, non-cubic, deeper than wide,
// cubic), then damaged and empty volumes.
std::vector<Kind> kinds() {
    std::vector<Kind> all;
    const int shapes[4][3] = {{1, 1, 1}, {4, 3, 2}, {3, 5, 6}, {5, 5, 5}};
    for (int filetype = BMP_SERIES; filetype <= S16_BLOCK; ++filetype)
        for (const auto &s : shapes)
            all.push_back({filetype, s[0], s[1], s[2], Kind::NONE});
    all.push_back({BMP_SERIES, 4, 3, 3, Kind::SLICE_1_MISSING});
    all.push_back({U16_SERIES, 4, 3, 3, Kind::SLICE_1_MISSING});
    all.push_back({BMP_SERIES, INT_MAX, INT_MAX, 2, Kind::HUGE_BMP_HEADER});
    all.push_back({U12_BLOCK, -3, 4, 2, Kind::NONE});    // refused shape: nothing loaded
    all.push_back({U8_BLOCK, 100000, 3, 2, Kind::NONE}); // the file is far too short
    all.push_back({9, 4, 4, 4, Kind::NONE});             // unknown type: nothing loaded
    return all;
}

struct Volume {
    Kind kind;
    standin::Instance *instance;
    std::vector<std::vector<uint8_t>> slices; // what a load holds: slice z, or empty
    fuzz::Model model;
};

// Slice `z` as a loaded series or block holds it: a BMP file's rows without
// padding, the first stored row last; a raw file's last slice bytes.
std::vector<uint8_t> loaded_slice(const Kind &kind, const std::vector<uint8_t> &file, int z) {
    if (kind.filetype == BMP_SERIES) {
        const size_t row = 3 * size_t(kind.width), pad = (4 - row % 4) % 4;
        std::vector<uint8_t> slice(row * size_t(kind.height));
        for (size_t k = 0; k < size_t(kind.height); ++k)
            memcpy(slice.data() + (size_t(kind.height) - 1 - k) * row,
                   file.data() + 54 + k * (row + pad), row);
        return slice;
    }
    const size_t bytes = size_t(kind.width) * size_t(kind.height) *
                         size_t(file_type_facts(kind.filetype)->sample_bytes);
    const size_t end = kind.filetype <= U12_SERIES
                           ? file.size()
                           : file.size() - bytes * size_t(kind.depth - 1 - z);
    return std::vector<uint8_t>(file.end() - std::ptrdiff_t(file.size() - end) -
                                    std::ptrdiff_t(bytes),
                                file.end() - std::ptrdiff_t(file.size() - end));
}

// Writes each volume's files into the scratch folder and creates its instance.
std::vector<Volume> &volumes() {
    // Kept for the life of the process, like the renderer: never destroyed.
    static std::vector<Volume> &all = *[] {
        auto *created = new std::vector<Volume>;
        int number = 0;
        for (const Kind &kind : kinds()) {
            const std::string base = fuzz::scratch() + "/v" + std::to_string(number++);
            const bool series = kind.filetype <= U12_SERIES;
            const std::string first = base + (series ? "_0000" : "") + ".raw";
            Volume volume{kind,
                          nullptr,
                          std::vector<std::vector<uint8_t>>(size_t(std::max(kind.depth, 0))),
                          {}};
            // A sound volume loads whole; a missing slice 1 stops a series after
            // slice 0; the other damaged volumes load nothing.
            const bool loads = kind.damage == Kind::NONE && kind.width > 0 && kind.width < 1000 &&
                               kind.filetype <= S16_BLOCK;
            for (int i = 0; i < (series ? kind.depth : 1); ++i) {
                if (kind.damage == Kind::SLICE_1_MISSING && i == 1) continue;
                char suffix[16];
                snprintf(suffix, sizeof suffix, "_%04d.raw", i);
                const std::string path = series ? base + suffix : first;
                std::vector<uint8_t> bytes;
                if (kind.filetype == BMP_SERIES) {
                    bytes =
                        fuzz::bmp_file(kind.damage == Kind::HUGE_BMP_HEADER ? 1 : kind.width,
                                       kind.damage == Kind::HUGE_BMP_HEADER ? 1 : kind.height, i);
                    if (kind.damage == Kind::HUGE_BMP_HEADER) {
                        fuzz::put_le(bytes, 18, uint32_t(kind.width), 4);
                        fuzz::put_le(bytes, 22, uint32_t(kind.height), 4);
                    }
                } else if (kind.width > 0 && kind.width < 1000) {
                    const size_t sample = kind.filetype == U8_BLOCK ? 1 : 2;
                    const size_t slice = size_t(kind.width) * size_t(kind.height) * sample;
                    bytes = fuzz::raw_bytes(series ? slice + 3 : slice * size_t(kind.depth) + 5, i);
                } else {
                    bytes = fuzz::raw_bytes(64);
                }
                fuzz::write_bytes(path, bytes.data(), bytes.size());
                for (int z = series ? i : 0; z < (series ? i + 1 : kind.depth); ++z)
                    if (loads || (kind.damage == Kind::SLICE_1_MISSING && z == 0))
                        volume.slices[size_t(z)] = loaded_slice(kind, bytes, z);
            }
            standin::Params params{first};
            params.filetype = kind.filetype;
            params.width = kind.width;
            params.height = kind.height;
            params.slices = kind.depth;
            params.little_endian = number % 2;
            volume.instance = new standin::Instance(fuzz::renderer(), params);
            volume.instance->connect_coord([](miVector point) { return point; });
            fuzz::Model &model = volume.model;
            model.loaded = kind.damage == Kind::NONE && kind.width > 0 && kind.width < 1000;
            model.volume = {
                kind.width, kind.height, kind.depth, kind.filetype, params.little_endian != 0, {}};
            created->push_back(std::move(volume));
        }
        for (Volume &volume : *created) // the slices' addresses, once the list stands
            for (const auto &slice : volume.slices)
                volume.model.volume.slices.push_back(slice.empty() ? nullptr : slice.data());
        return created;
    }();
    return all;
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
    fuzz::renderer();
    volumes();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size < 1) return 0;
    Volume &volume = volumes()[data[0] % volumes().size()];
    static standin::State state;
    const bool loaded = fuzz::init_and_check(*volume.instance);
    FUZZ_CHECK(loaded == volume.model.loaded);

    fuzz::Reader in{data + 1, size - 1};
    for (int count = 0; count < 256 && in.left() > 0; ++count) {
        const uint8_t flags = in.byte();
        fuzz::Lookup lookup;
        lookup.with_exchange = !(flags & 1);
        lookup.point.x = in.f32();
        lookup.point.y = in.f32();
        lookup.point.z = in.f32();
        const int32_t interpolation = int32_t(in.u32());
        const int mode = (flags >> 1) & 3;
        lookup.interpolation = mode == 3 ? interpolation : mode;
        const int32_t force_offset = int32_t(in.u32());
        lookup.force_offset = (flags & 8) ? 1 : force_offset;
        for (float &offset : lookup.offset)
            offset = in.f32();
        const int32_t stencil = int32_t(in.u32());
        const int stencil_choice = (flags >> 4) & 3;
        lookup.stencil = stencil_choice == 1 ? 4 : stencil_choice == 2 ? 5 : stencil;
        in.u32();
        fuzz::lookup_and_check(*volume.instance, state, lookup, volume.model);
    }
    fuzz::exit_and_check(*volume.instance, state);
    return 0;
}
