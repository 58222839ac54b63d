#include "bench/bench_data.h"

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <stdexcept>
#include <unistd.h>

#include "sample/sample_exchange.h"
#include "tests/support/bmp_writer.h"

namespace bench {

namespace fs = std::filesystem;

namespace {

uint64_t splitmix(uint64_t &seed) {
    uint64_t z = (seed += 0x9e3779b97f4a7c15ull);
    z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9ull;
    z = (z ^ (z >> 27)) * 0x94d049bb133111ebull;
    return z ^ (z >> 31);
}

void write_all(const std::string &name, const void *data, size_t bytes, FILE *file) {
    if (fwrite(data, 1, bytes, file) != bytes) throw std::runtime_error("cannot write " + name);
}

FILE *open_for_writing(const std::string &name) {
    FILE *file = fopen(name.c_str(), "wb");
    if (!file) throw std::runtime_error("cannot create " + name);
    return file;
}

std::string numbered(const std::string &folder, const char *stem, int index, const char *ext) {
    char name[64];
    snprintf(name, sizeof name, "/%s_%04d.%s", stem, index, ext);
    return folder + name;
}

// One 24-bit BMP slice: rows stored bottom-up, so slice row height-1-k is the
// file's stored row k, each row padded to a multiple of 4 bytes.
void write_bmp(const std::string &name, const uint8_t *slice, int width, int height) {
    const size_t row_bytes = 3 * size_t(width);
    std::vector<bmp_writer::Bytes> rows;
    for (int k = 0; k < height; ++k) {
        const uint8_t *row = slice + size_t(height - 1 - k) * row_bytes;
        rows.emplace_back(row, row + row_bytes);
    }
    bmp_writer::Header header;
    header.width = width;
    header.height = height;
    const bmp_writer::Bytes pixels = bmp_writer::pixel_area(rows, width);
    header.image_size = uint32_t(pixels.size());
    const bmp_writer::Bytes bytes = bmp_writer::file(header, pixels);
    FILE *file = open_for_writing(name);
    write_all(name, bytes.data(), bytes.size(), file);
    fclose(file);
}

} // namespace

int VolumeSpec::filetype() const {
    switch (kind) {
    case Kind::S16_BE:
    case Kind::S16_LE:
        return S16_BLOCK;
    case Kind::U8:
        return U8_BLOCK;
    case Kind::U16_SER:
        return U16_SERIES;
    case Kind::BMP:
        return BMP_SERIES;
    }
    return -1;
}

int VolumeSpec::little_endian() const {
    return kind == Kind::S16_BE ? 0 : 1;
}

int64_t VolumeSpec::slice_bytes() const {
    const int sample = kind == Kind::U8 ? 1 : kind == Kind::BMP ? 3 : 2;
    return int64_t(width) * height * sample;
}

int64_t VolumeSpec::volume_bytes() const {
    return slice_bytes() * depth;
}

std::string VolumeSpec::label() const {
    static const char *const names[] = {"s16be", "s16le", "u8", "u16ser", "bmp"};
    char text[64];
    if (width == height && height == depth)
        snprintf(text, sizeof text, "%s %d^3", names[int(kind)], width);
    else
        snprintf(text, sizeof text, "%s %d^2x%d", names[int(kind)], width, depth);
    return text;
}

std::string data_folder() {
    std::string folder;
    if (const char *chosen = getenv("NIMBREL_BENCH_DATA"))
        folder = chosen;
    else
        folder = "/tmp/nimbrel-bench-" + std::to_string(getpid());
    if (folder.find('.') != std::string::npos)
        throw std::runtime_error("data folder " + folder + " holds a '.'");
    fs::create_directories(folder);
    return folder;
}

BareVolume make_samples(const VolumeSpec &shape) {
    BareVolume bare;
    bare.width = shape.width;
    bare.height = shape.height;
    bare.depth = shape.depth;
    bare.channels = shape.channels();
    const size_t voxels = size_t(shape.width) * shape.height * shape.depth;
    const size_t tail = size_t(shape.width) * shape.height + shape.width + 1;
    uint64_t seed = 12345 + uint64_t(shape.kind) * 7 + uint64_t(shape.width);
    if (shape.kind == Kind::U8 || shape.kind == Kind::BMP) {
        const size_t count = voxels * bare.channels;
        bare.u8.assign(count + tail * bare.channels, 0);
        for (size_t i = 0; i + 8 <= count; i += 8) {
            const uint64_t bits = splitmix(seed);
            memcpy(&bare.u8[i], &bits, 8);
        }
    } else {
        bare.s16.assign(voxels + tail, 0);
        for (size_t i = 0; i + 4 <= voxels; i += 4) {
            const uint64_t bits = splitmix(seed);
            memcpy(&bare.s16[i], &bits, 8);
        }
        if (shape.kind == Kind::U16_SER) // unsigned samples, kept below 32768
            for (size_t i = 0; i < voxels; ++i)
                bare.s16[i] &= 0x7fff;
    }
    return bare;
}

VolumeFiles write_volume(const VolumeSpec &shape, const BareVolume &samples,
                         const std::string &folder) {
    VolumeFiles files;
    const size_t slice_voxels = size_t(shape.width) * shape.height;
    switch (shape.kind) {
    case Kind::S16_BE:
    case Kind::S16_LE:
    case Kind::U8: {
        files.filename = folder + "/block_" + std::to_string(shape.width) + "_" +
                         std::to_string(shape.depth) + "_" + std::to_string(int(shape.kind)) +
                         ".raw";
        FILE *file = open_for_writing(files.filename);
        std::vector<uint8_t> bytes(shape.slice_bytes());
        for (int z = 0; z < shape.depth; ++z) {
            if (shape.kind == Kind::U8) {
                memcpy(bytes.data(), &samples.u8[z * slice_voxels], slice_voxels);
            } else {
                const int16_t *slice = &samples.s16[z * slice_voxels];
                const bool little = shape.kind == Kind::S16_LE;
                for (size_t i = 0; i < slice_voxels; ++i) {
                    const uint16_t bits = uint16_t(slice[i]);
                    bytes[2 * i] = little ? uint8_t(bits) : uint8_t(bits >> 8);
                    bytes[2 * i + 1] = little ? uint8_t(bits >> 8) : uint8_t(bits);
                }
            }
            write_all(files.filename, bytes.data(), bytes.size(), file);
        }
        fclose(file);
        files.written.push_back(files.filename);
        break;
    }
    case Kind::U16_SER:
        for (int z = 0; z < shape.depth; ++z) {
            const std::string name = numbered(folder, "raw", z, "raw");
            FILE *file = open_for_writing(name);
            write_all(name, &samples.s16[z * slice_voxels], 2 * slice_voxels, file);
            fclose(file);
            files.written.push_back(name);
        }
        files.filename = files.written.front();
        break;
    case Kind::BMP:
        for (int z = 0; z < shape.depth; ++z) {
            const std::string name = numbered(folder, "colour", z, "bmp");
            write_bmp(name, &samples.u8[z * slice_voxels * 3], shape.width, shape.height);
            files.written.push_back(name);
        }
        files.filename = files.written.front();
        break;
    }
    return files;
}

void remove_files(const VolumeFiles &files) {
    for (const std::string &name : files.written)
        remove(name.c_str());
}

namespace {

// The position the lookup computes from `coord`, for a volume of this width.
float voxel_position(int width, float coord) {
    return float(double(int64_t(width) - 1) * coord);
}

// The coordinate whose voxel-space position is `position` or the nearest
// float below it that stays inside 0..limit.
float coord_for(int width, double position, double limit, float *placed) {
    float coord = float(position / double(width - 1));
    while (voxel_position(width, coord) > limit)
        coord = std::nextafter(coord, 0.0f);
    *placed = voxel_position(width, coord);
    return coord;
}

void add_point(PointSet &set, const VolumeSpec &shape, double x, double y, double z) {
    miVector coord, position;
    coord.x = coord_for(shape.width, x, shape.width - 1, &position.x);
    coord.y = coord_for(shape.width, y, shape.height - 1, &position.y);
    coord.z = coord_for(shape.width, z, shape.depth - 1, &position.z);
    set.coord.push_back(coord);
    set.position.push_back(position);
}

} // namespace

PointSet random_points(const VolumeSpec &shape, size_t count, uint64_t seed) {
    PointSet set;
    const auto unit = [&seed] { return double(splitmix(seed) >> 11) / double(1ull << 53); };
    while (set.coord.size() < count) {
        const double x = unit() * (shape.width - 1), y = unit() * (shape.height - 1);
        const double z = unit() * (shape.depth - 1);
        add_point(set, shape, x, y, z);
    }
    return set;
}

PointSet ray_points(const VolumeSpec &shape, size_t count) {
    PointSet set;
    const int steps = 2 * (shape.depth - 1) + 1;
    for (int row = shape.height / 4; set.coord.size() < count; ++row) {
        for (int column = 0; column + 1 < shape.width && set.coord.size() < count; ++column) {
            for (int step = 0; step < steps && set.coord.size() < count; ++step)
                add_point(set, shape, column + 0.37, (row % (shape.height - 1)) + 0.62, 0.5 * step);
        }
    }
    return set;
}

} // namespace bench
