#include "tools/convert/plan.h"

#include <algorithm>
#include <climits>
#include <cmath>
#include <cstring>

namespace convert {

namespace {

// File type `code` as the library describes it, holding values lowest..highest.
SourceFacts source(int code, int lowest, int highest) {
    const FileTypeFacts &facts = file_type_table[code];
    SourceFacts source;
    source.name = facts.name;
    source.lowest = lowest;
    source.highest = highest;
    source.divisor = facts.divisor;
    source.series = facts.series != 0;
    source.sample_bytes = facts.sample_bytes * facts.channels;
    return source;
}

} // namespace

const SourceFacts sources[source_count] = {
    source(BMP_SERIES, 0, 255), source(U16_SERIES, 0, 65535), source(U12_SERIES, 0, 4095),
    source(U8_BLOCK, 0, 255),   source(U12_BLOCK, 0, 4095),   source(S16_BLOCK, -32768, 32767),
};

int source_code(const std::string &name) {
    for (int code = 0; code < source_count; ++code)
        if (name == sources[code].name || name == std::to_string(code)) return code;
    return -1;
}

namespace {

// Calls visit(T{}) with the C++ type of `type`.
template <typename Visit> void with_type(SampleType type, Visit visit) {
    switch (type) {
    case SampleType::u8:
        return visit(uint8_t{});
    case SampleType::i8:
        return visit(int8_t{});
    case SampleType::u16:
        return visit(uint16_t{});
    case SampleType::i16:
        return visit(int16_t{});
    case SampleType::u32:
        return visit(uint32_t{});
    case SampleType::i32:
        return visit(int32_t{});
    case SampleType::u64:
        return visit(uint64_t{});
    case SampleType::i64:
        return visit(int64_t{});
    case SampleType::f32:
        return visit(float{});
    case SampleType::f64:
        return visit(double{});
    }
}

// Calls each(index, value) for every component of every sample from `first`
// on, `count` samples in all.
template <typename Each>
void for_values(const Volume &volume, size_t first, size_t count, Each each) {
    with_type(volume.type, [&](auto tag) {
        using T = decltype(tag);
        const unsigned char *bytes = volume.samples.data() + first * sizeof(T);
        for (size_t i = 0; i < count; ++i) {
            T value;
            memcpy(&value, bytes + i * sizeof(T), sizeof(T));
            each(i, double(value));
        }
    });
}

std::string number(double value) {
    char text[32];
    snprintf(text, sizeof text, "%.6g", value);
    return text;
}

bool is_colour(const Volume &volume) {
    return volume.type == SampleType::u8 && (volume.pixel == "RGB" || volume.pixel == "RGBA");
}

// The window of the 0.5 and 99.5 percentiles of the finite values.
void percentiles(const Volume &volume, double *low, double *high) {
    std::vector<double> values;
    values.reserve(volume.samples.size() / sample_size(volume.type));
    for_values(volume, 0, volume.samples.size() / sample_size(volume.type), [&](size_t, double v) {
        if (std::isfinite(v)) values.push_back(v);
    });
    const auto at = [&](double fraction) {
        const size_t k = size_t(std::llround(fraction * double(values.size() - 1)));
        std::nth_element(values.begin(), values.begin() + ptrdiff_t(k), values.end());
        return values[k];
    };
    *low = at(0.005);
    *high = at(0.995);
}

} // namespace

ValueRange value_range(const Volume &volume) {
    ValueRange range;
    range.min = INFINITY, range.max = -INFINITY;
    for_values(volume, 0, volume.samples.size() / sample_size(volume.type), [&](size_t, double v) {
        if (v < range.min) range.min = v;
        if (v > range.max) range.max = v;
    });
    if (range.empty()) range = ValueRange{};
    return range;
}

std::string refusal(const Volume &volume) {
    if (volume.components > 1 && !is_colour(volume))
        return std::string("its samples are ") + volume.pixel + " of " +
               sample_type_name(volume.type) +
               "; only grey samples and 8-bit RGB or RGBA become a volume";
    if (volume.dimensions < 3)
        return "it is a 2D image (" + std::to_string(volume.size[0]) + " x " +
               std::to_string(volume.size[1]) + "); a volume needs x, y and z";
    for (int d = 0; d < 3; ++d)
        if (volume.size[d] == 0) return "it holds no voxels";
    for (int d = 0; d < 3; ++d)
        if (volume.size[d] == 1)
            return "it is a 2D image (" + std::to_string(volume.size[0]) + " x " +
                   std::to_string(volume.size[1]) + " x " + std::to_string(volume.size[2]) +
                   "); a volume needs at least 2 voxels along x, y and z";
    return {};
}

Plan choose_plan(const Volume &volume, const ValueRange &range, int to,
                 const WindowChoice &window) {
    Plan plan;
    if (is_colour(volume)) {
        if (to >= 0 && to != BMP_SOURCE)
            throw Failure(EXIT_BAD_ARGUMENT,
                          std::string("colour samples go only into bmp-series, not ") +
                              sources[to].name);
        if (window.kind != WindowChoice::data_range)
            throw Failure(EXIT_BAD_ARGUMENT, "--window applies to grey samples, not to colour");
        plan.source = BMP_SOURCE;
        plan.how = "colours as they are";
        if (volume.pixel == "RGBA") plan.note = "the alpha channel is dropped";
        return plan;
    }
    // Integer samples of the three types the library holds are copied;
    // anything else, or any sample with --window, is rescaled.
    const bool copies = window.kind == WindowChoice::data_range &&
                        (is_integer(volume.type) &&
                         (to >= 0 || volume.type == SampleType::u8 ||
                          volume.type == SampleType::u16 || volume.type == SampleType::i16));
    if (copies) {
        plan.source = to >= 0                                            ? to
                      : volume.type == SampleType::u8                    ? 3
                      : volume.type == SampleType::i16                   ? S16_SOURCE
                      : range.empty() || range.max <= sources[4].highest ? U12_BLOCK_SOURCE
                                                                         : U16_SERIES_SOURCE;
        const SourceFacts &s = sources[plan.source];
        if (!range.empty() && (range.min < s.lowest || range.max > s.highest))
            throw Failure(EXIT_BAD_ARGUMENT,
                          std::string(s.name) + " holds values from " + std::to_string(s.lowest) +
                              " to " + std::to_string(s.highest) + ", but the values run from " +
                              number(range.min) + " to " + number(range.max) +
                              (range.min < 0 && s.lowest == 0
                                   ? " (negative values need a signed source)"
                                   : "") +
                              "; rescale them with --window");
        plan.how = "values as they are";
        return plan;
    }
    plan.source = to >= 0 ? to : U12_BLOCK_SOURCE;
    if (plan.source == S16_SOURCE)
        throw Failure(
            EXIT_BAD_ARGUMENT,
            "rescaled values go into an unsigned source (u8-block, u12-block, u12-series, "
            "u16-series or bmp-series), not s16-block");
    plan.rescale = true;
    if (window.kind == WindowChoice::given) {
        plan.low = window.low, plan.high = window.high;
    } else if (range.empty()) {
        plan.low = 0, plan.high = 1;
        plan.note = "no value is a finite number: every voxel becomes 0";
    } else {
        if (window.kind == WindowChoice::percentiles)
            percentiles(volume, &plan.low, &plan.high);
        else
            plan.low = range.min, plan.high = range.max;
        if (!(plan.low < plan.high)) {
            plan.note =
                "every value in the window is " + number(plan.low) + ": every voxel becomes 0";
            plan.high = plan.low + 1;
        }
    }
    plan.how = "rescaled from the window " + number(plan.low) + " to " + number(plan.high) +
               " onto 0 to " + std::to_string(sources[plan.source].highest);
    return plan;
}

double output_value(const Plan &plan, double value) {
    if (!plan.rescale) return value;
    const double top = sources[plan.source].highest;
    if (std::isnan(value)) return 0;
    const double scaled = std::floor((value - plan.low) / (plan.high - plan.low) * top + 0.5);
    return scaled < 0 ? 0 : scaled > top ? top : scaled;
}

std::vector<unsigned char> slice_bytes(const Volume &volume, const Plan &plan, int64_t z) {
    const int width = int(volume.size[0]), height = int(volume.size[1]);
    const size_t voxels = size_t(width) * size_t(height);
    const int components = volume.components;
    const size_t first = size_t(z) * voxels * size_t(components);
    std::vector<unsigned char> out;
    if (plan.source == BMP_SOURCE) {
        // A usual bottom-up 24-bit BMP: the picture's top row is row 0.
        const int row_bytes = 3 * width, pad = (4 - row_bytes % 4) % 4;
        const uint32_t image = uint32_t(row_bytes + pad) * uint32_t(height);
        out.assign(54 + size_t(image), 0);
        const auto put = [&](size_t at, uint32_t value, int size) {
            for (int i = 0; i < size; ++i)
                out[at + i] = static_cast<unsigned char>(value >> (8 * i));
        };
        out[0] = 'B', out[1] = 'M';
        put(2, uint32_t(out.size()), 4), put(10, 54, 4), put(14, 40, 4),
            put(18, uint32_t(width), 4);
        put(22, uint32_t(height), 4), put(26, 1, 2), put(28, 24, 2), put(34, image, 4);
        put(38, 2835, 4), put(42, 2835, 4);
        for_values(volume, first, voxels * size_t(components), [&](size_t i, double v) {
            const size_t voxel = i / size_t(components);
            const int channel = int(i % size_t(components));
            if (channel > 2) return;
            const size_t x = voxel % size_t(width), y = voxel / size_t(width);
            const size_t at = 54 + (size_t(height) - 1 - y) * size_t(row_bytes + pad) + 3 * x;
            const auto byte = static_cast<unsigned char>(output_value(plan, v));
            if (components == 1)
                out[at] = out[at + 1] = out[at + 2] = byte;
            else
                out[at + 2 - size_t(channel)] = byte; // stored blue, green, red
        });
        return out;
    }
    const int bytes = sources[plan.source].sample_bytes;
    out.resize(voxels * size_t(bytes));
    for_values(volume, first, voxels, [&](size_t i, double v) {
        const auto word = static_cast<uint16_t>(static_cast<int32_t>(output_value(plan, v)));
        out[i * size_t(bytes)] = static_cast<unsigned char>(word & 0xff);
        if (bytes == 2) out[i * 2 + 1] = static_cast<unsigned char>(word >> 8);
    });
    return out;
}

} // namespace convert
