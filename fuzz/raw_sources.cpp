// Fuzz target: raw slice series and raw block files. A 5-byte head chooses
// the source, the rest of the input is the file bytes:
//   byte 0  file type: 1, 2, 3, 4, 5, 6 or -1 (by the byte modulo 7)
//   byte 1  width: 1..16, or with bit 7 set one of a few extreme values
//   byte 2  height: as the width
//   byte 3  slices: 0..7, or with bit 7 set 0, -1, -100 or INT_MIN
//   byte 4  bit 0 little_endian; bit 1 the series' last file missing;
//           bits 2-3 the name: r_0000.raw, r_0998.raw (carries), rnodot (no
//           running number: every slice from one file), r9.raw (the carry
//           runs off the start of the name)
// A series cuts the body into equal parts, one per file; a block file is the
// body. Then initialise, check every voxel of a finished load against its
// file through lookups, look up in every mode, and exit.
#include <climits>
#include <cstring>
#include <set>

#include "fuzz/fuzz_support.h"

namespace {

const int32_t extremes[8] = {0, -1, -5, INT_MAX, INT_MIN, 65536, 46341, 1 << 30};
const int32_t depth_extremes[4] = {0, -1, -100, INT_MIN};
const int32_t filetypes[7] = {U16_SERIES, U12_SERIES, U8_BLOCK, U12_BLOCK, S16_BLOCK, 6, -1};
const char *const series_names[4] = {"r_0000.raw", "r_0998.raw", "rnodot", "r9.raw"};

int32_t dimension(uint8_t byte) {
    return (byte & 0x80) ? extremes[byte & 7] : 1 + (byte & 15);
}

// The next slice file's name: the running number before the first '.' goes
// up by one, at most four places, the carry dropped at the start.
std::string next_name(std::string name) {
    const size_t dot = name.find('.');
    if (dot == std::string::npos) return name;
    for (size_t place = 1; place <= 4 && place <= dot; ++place) {
        char &digit = name[dot - place];
        if (digit != '9') {
            ++digit;
            break;
        }
        digit = '0';
    }
    return name;
}

struct File {
    std::string path;
    const uint8_t *bytes;
    size_t size;
};

std::set<std::string> written; // the last input's files, removed before the next

void write(const File &file) {
    fuzz::write_bytes(file.path, file.bytes, file.size);
    written.insert(file.path);
}

standin::Instance &instance_named(const std::string &name) {
    // Kept for the life of the process, like the renderer: never destroyed.
    static auto &instances = *new std::vector<std::pair<std::string, standin::Instance *>>;
    for (auto &entry : instances)
        if (entry.first == name) return *entry.second;
    auto *created =
        new standin::Instance(fuzz::renderer(), standin::Params{fuzz::scratch() + "/" + name});
    created->connect_coord([](miVector point) { return point; });
    instances.emplace_back(name, created);
    return *created;
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
    fuzz::renderer();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size < 5) return 0;
    const int32_t filetype = filetypes[data[0] % 7];
    const int32_t width = dimension(data[1]);
    const int32_t height = dimension(data[2]);
    const int32_t depth = (data[3] & 0x80) ? depth_extremes[data[3] & 3] : data[3] & 7;
    const int32_t little_endian = data[4] & 1;
    const bool last_missing = (data[4] & 2) != 0;
    const uint8_t *body = data + 5;
    const size_t body_size = size - 5;
    const bool series = filetype == U16_SERIES || filetype == U12_SERIES;

    for (const std::string &path : written)
        fuzz::remove_file(path);
    written.clear();

    const std::string first = series ? series_names[(data[4] >> 2) & 3] : "block.raw";
    std::vector<File> files; // a series: slice i's file; a block: the one file
    if (series) {
        const bool one_file = first.find('.') == std::string::npos;
        const int slices = std::max(0, depth);
        const int count = one_file ? std::min(1, slices) : slices - (last_missing && slices > 0);
        const size_t share = count > 0 ? body_size / size_t(count) : 0;
        std::string name = first;
        for (int i = 0; i < slices; ++i) {
            const int part = one_file ? 0 : i;
            File file{fuzz::scratch() + "/" + name, nullptr, 0};
            if (part < count) {
                file.bytes = body + size_t(part) * share;
                file.size = part == count - 1 ? body_size - size_t(part) * share : share;
                if (part == i) write(file);
            }
            files.push_back(file);
            name = next_name(name);
        }
    } else {
        files.push_back(File{fuzz::scratch() + "/" + first, body, body_size});
        write(files.back());
    }

    standin::Instance &instance = instance_named(first);
    static standin::State state;
    instance.param<int32_t>("filetype") = filetype;
    instance.param<int32_t>("width") = width;
    instance.param<int32_t>("height") = height;
    instance.param<int32_t>("slices") = depth;
    instance.param<int32_t>("little_endian") = little_endian;

    // No more memory than the slices the files hold, the table, the name
    // and the record.
    fuzz::renderer().allocator().reset_peak();
    const bool loaded = fuzz::init_and_check(instance);
    FUZZ_CHECK(fuzz::renderer().allocator().peak_bytes() <=
               int64_t(size_t(std::max(depth, 1)) * body_size + 4096));
    // The shape is the parameters'; a finished load holds the last slice
    // bytes of each file (a block: the file's last slices back to back);
    // what a failed one holds is not known here.
    const FileTypeFacts *facts = file_type_facts(filetype);
    fuzz::Model model;
    model.loaded = loaded;
    model.values_known = loaded;
    model.volume = {width, height, depth, filetype, little_endian != 0, {}};
    if (!facts) {
        FUZZ_CHECK(loaded);
    } else if (loaded && depth > 0) {
        const size_t slice_bytes = size_t(width) * size_t(height) * size_t(facts->sample_bytes);
        for (int i = 0; i < depth; ++i) {
            const File &file = series ? files[size_t(i)] : files[0];
            const size_t end = series ? file.size : file.size - slice_bytes * size_t(depth - 1 - i);
            FUZZ_CHECK(file.bytes != nullptr && end <= file.size && end >= slice_bytes);
            model.volume.slices.push_back(file.bytes + (end - slice_bytes));
        }
        if (width > 0 && height > 0) fuzz::check_every_voxel(instance, state, model);
    }

    fuzz::sweep_lookups(instance, state, model);
    fuzz::exit_and_check(instance, state);
    return 0;
}
