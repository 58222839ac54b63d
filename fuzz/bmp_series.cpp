// Fuzz target: a series of BMP slice files. The input's last byte chooses the
// series: bits 0-1 the number of slice files less one, bit 2 one slice more
// than there are files (the last is missing), bit 3 every file a copy of the
// whole body (otherwise the body is cut into equal parts, one per file).
// Then initialise, check every voxel of a finished load against its file
// through lookups, look up in every mode, and exit.
#include <cstring>

#include "fuzz/fuzz_support.h"

namespace {

const int max_files = 4;

std::string slice_path(int index) {
    char name[32];
    snprintf(name, sizeof name, "/s_%04d.bmp", index);
    return fuzz::scratch() + name;
}

uint32_t le32(const uint8_t *p) {
    return p[0] | p[1] << 8 | p[2] << 16 | uint32_t(p[3]) << 24;
}

// The slice a loaded file holds: the file's rows, without padding, the first
// stored row last. `width` and `height` are the header's, as loaded.
std::vector<uint8_t> slice_of(const uint8_t *file, size_t size, int64_t width, int64_t height) {
    FUZZ_CHECK(size >= 38); // the header fields the reader needs
    const int64_t row = 3 * width, pad = (4 - row % 4) % 4;
    const uint64_t offset = le32(file + 10);
    std::vector<uint8_t> slice(size_t(row * height));
    for (int64_t k = 0; k < height; ++k) {
        const uint64_t from = offset + uint64_t(k * (row + pad));
        FUZZ_CHECK(from + uint64_t(row) <= size);
        memcpy(slice.data() + (height - 1 - k) * row, file + from, size_t(row));
    }
    return slice;
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
    fuzz::renderer();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size < 1) return 0;
    const uint8_t shape = data[size - 1];
    const size_t body = size - 1;
    const int files = 1 + (shape & 3);
    const int depth = files + ((shape & 4) ? 1 : 0);
    const bool copies = (shape & 8) != 0;

    // Each file's bytes; files beyond this input's series are removed.
    std::vector<std::pair<const uint8_t *, size_t>> parts;
    const size_t part = body / files;
    for (int i = 0; i < files; ++i) {
        const uint8_t *from = copies ? data : data + i * part;
        const size_t length = copies ? body : (i == files - 1 ? body - i * part : part);
        parts.emplace_back(from, length);
        fuzz::write_bytes(slice_path(i), from, length);
    }
    for (int i = files; i <= max_files; ++i)
        fuzz::remove_file(slice_path(i));

    static standin::Instance *instance = [] {
        auto *created = new standin::Instance(fuzz::renderer(), standin::Params{slice_path(0)});
        created->connect_coord([](miVector point) { return point; });
        return created;
    }();
    static standin::State state;
    instance->param<int32_t>("slices") = depth;
    instance->param<int32_t>("filetype") = BMP_SERIES;

    // No more memory than the files hold: every loaded slice plus the pixel
    // area being read, the table, the name and the record.
    fuzz::renderer().allocator().reset_peak();
    const bool loaded = fuzz::init_and_check(*instance);
    FUZZ_CHECK(fuzz::renderer().allocator().peak_bytes() <= int64_t(2 * files * body + 4096));
    // A finished load holds every file with the first file's shape (its
    // header's, the height's sign dropped); what a failed one holds is not
    // known here.
    fuzz::Model model;
    model.loaded = loaded;
    model.shape_known = model.values_known = loaded;
    model.volume.filetype = BMP_SERIES;
    std::vector<std::vector<uint8_t>> slices;
    if (loaded) {
        const int32_t height = int32_t(le32(parts[0].first + 22));
        model.volume.width = int32_t(le32(parts[0].first + 18));
        model.volume.height = height < 0 ? -int64_t(height) : height;
        model.volume.depth = depth;
        for (int i = 0; i < depth; ++i)
            slices.push_back(slice_of(parts[size_t(i)].first, parts[size_t(i)].second,
                                      model.volume.width, model.volume.height));
        for (const auto &slice : slices)
            model.volume.slices.push_back(slice.data());
        fuzz::check_every_voxel(*instance, state, model);
    }

    fuzz::sweep_lookups(*instance, state, model);
    fuzz::exit_and_check(*instance, state);
    return 0;
}
