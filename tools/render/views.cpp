#include "tools/render/views.h"

#include <algorithm>
#include <atomic>
#include <cmath>
#include <thread>
#include <vector>

#include "sample/sample_exchange.h"

namespace render {
namespace {

using Rgb = std::array<float, 3>;

// One thread's calling shader: its own shading state and exchange record.
class Sampler {
  public:
    explicit Sampler(standin::Instance &instance) : instance_(instance) {}

    // The normalised value at `point` (r, g, b).
    Rgb at(miVector point) {
        ++lookups;
        const miColor c = instance_.lookup(state_, point, &exchange);
        return {c.r, c.g, c.b};
    }

    SampleExchange exchange = {};
    uint64_t lookups = 0;

  private:
    standin::Instance &instance_;
    standin::State state_;
};

float clamp01(float x) {
    return x > 0.0f ? (x < 1.0f ? x : 1.0f) : 0.0f;
}

uint8_t to_byte(float x) {
    return static_cast<uint8_t>(std::lround(clamp01(x) * 255.0f));
}

// The one value a colour sample is windowed and differentiated by.
float scalar(const Rgb &c, bool colour) {
    return colour ? (c[0] + c[1] + c[2]) / 3.0f : c[0];
}

Rgb palette(Palette palette, float t) {
    if (palette == Palette::grey) return {t, t, t};
    return {clamp01(3.0f * t), clamp01(3.0f * t - 1.0f), clamp01(3.0f * t - 2.0f)}; // warm
}

struct Vec {
    float x, y, z;
};
float dot(Vec a, Vec b) {
    return a.x * b.x + a.y * b.y + a.z * b.z;
}
Vec normalised(Vec a) {
    const float length = std::sqrt(dot(a, a));
    return {a.x / length, a.y / length, a.z / length};
}

class ViewRenderer {
  public:
    ViewRenderer(const Frame &frame, const ViewSettings &settings)
        : frame_(frame), settings_(settings) {
        Vec across{}, down{}, ahead{};
        set(across, frame.across, 1.0f);
        set(down, frame.down, 1.0f);
        set(ahead, frame.axis, 1.0f);
        // Light from the upper left, on the viewer's side.
        light_ = normalised({-0.5f * across.x - 0.6f * down.x - 0.65f * ahead.x,
                             -0.5f * across.y - 0.6f * down.y - 0.65f * ahead.y,
                             -0.5f * across.z - 0.6f * down.z - 0.65f * ahead.z});
        halfway_ = normalised({light_.x - ahead.x, light_.y - ahead.y, light_.z - ahead.z});
        const float extent = float(frame.extent[frame.axis] - 1);
        samples_ = static_cast<int>(std::floor(extent / settings.step)) + 1;
    }

    int channels() const { return settings_.colour || settings_.palette != Palette::grey ? 3 : 1; }

    void draw_row(Sampler &sampler, int row, uint8_t *pixels) const {
        for (int column = 0; column < frame_.columns(); ++column) {
            const Rgb c = settings_.view == View::slice ? slice(sampler, column, row)
                          : settings_.view == View::mip ? mip(sampler, column, row)
                                                        : shaded(sampler, column, row);
            if (channels() == 1) {
                pixels[column] = to_byte(c[0]);
            } else {
                for (int i = 0; i < 3; ++i)
                    pixels[3 * column + i] = to_byte(c[i]);
            }
        }
    }

  private:
    static void set(Vec &v, int axis, float value) {
        (axis == 0 ? v.x : axis == 1 ? v.y : v.z) = value;
    }

    float window(float value) const {
        return (value - settings_.window_low) / (settings_.window_high - settings_.window_low);
    }

    // Display colour of a normalised sample: windowed per channel for a
    // colour volume, through the palette for a scalar one.
    Rgb display(const Rgb &c) const {
        if (settings_.colour) return {window(c[0]), window(c[1]), window(c[2])};
        return palette(settings_.palette, clamp01(window(c[0])));
    }

    Rgb slice(Sampler &sampler, int column, int row) const {
        const float depth = settings_.at * float(frame_.extent[frame_.axis] - 1);
        return display(sampler.at(frame_.point(column, row, depth)));
    }

    // Per channel for a colour volume.
    Rgb mip(Sampler &sampler, int column, int row) const {
        Rgb most = sampler.at(frame_.point(column, row, 0.0f));
        for (int k = 1; k < samples_; ++k) {
            const Rgb c = sampler.at(frame_.point(column, row, k * settings_.step));
            for (int i = 0; i < 3; ++i)
                most[i] = std::max(most[i], c[i]);
        }
        return display(most);
    }

    // Emission and absorption front to back, lit from the gradient.
    Rgb shaded(Sampler &sampler, int column, int row) const {
        sampler.exchange.stencil = STENCIL_MARGIN_1;
        Rgb sum = {0.0f, 0.0f, 0.0f};
        float opacity = 0.0f;
        for (int k = 0; k < samples_ && opacity < 0.996f; ++k) {
            const miVector point = frame_.point(column, row, k * settings_.step);
            const Rgb c = sampler.at(point);
            const float t = clamp01(window(scalar(c, settings_.colour)));
            if (t <= 0.0f) continue;
            const float alpha = 1.0f - std::exp(-settings_.density * t * settings_.step);
            const Rgb emitted = settings_.colour ? c : palette(settings_.palette, t);
            const Rgb lit = light(emitted, gradient(sampler, point, sampler.exchange.edge));
            for (int i = 0; i < 3; ++i)
                sum[i] += (1.0f - opacity) * alpha * lit[i];
            opacity += (1.0f - opacity) * alpha;
        }
        return sum;
    }

    Rgb light(const Rgb &colour, Vec gradient) const {
        const float length = std::sqrt(dot(gradient, gradient));
        if (!(length > 1e-6f)) return colour; // flat: unlit
        // The normal points from dense to thin, against the gradient.
        const Vec normal = {-gradient.x / length, -gradient.y / length, -gradient.z / length};
        const float diffuse = std::max(0.0f, dot(normal, light_));
        const float specular = std::pow(std::max(0.0f, dot(normal, halfway_)), 24.0f);
        Rgb lit;
        for (int i = 0; i < 3; ++i)
            lit[i] = colour[i] * (0.3f + diffuse) + 0.3f * specular;
        return lit;
    }

    enum Side { BOTH, LOW_FACE, HIGH_FACE, UNKNOWN };

    // For each axis, whether the sample's cell lies within the stencil's
    // margin of a face, from the edge code of the lookup at `point`. The code
    // names the first face found (x before y before z), so each later axis is
    // asked again at a point moved to the middle of the grid on the other
    // axes; the tool's coord shader treats the axes apart.
    std::array<Side, 3> sides(Sampler &sampler, miVector point, int edge) const {
        std::array<Side, 3> side = {BOTH, BOTH, BOTH};
        if (edge == EDGE_NONE) return side;
        const auto face = [](int code) { return code % 2 == 1 ? LOW_FACE : HIGH_FACE; };
        const int first = (edge - 1) / 2;
        side[first] = face(edge);
        for (int axis = first + 1; axis < 3; ++axis) {
            miVector probe = {0.5f * (frame_.extent[0] - 1), 0.5f * (frame_.extent[1] - 1),
                              0.5f * (frame_.extent[2] - 1)};
            if (axis == 1) probe.y = point.y;
            if (axis == 2) probe.z = point.z;
            sampler.at(probe);
            const int code = sampler.exchange.edge;
            side[axis] = code == EDGE_NONE ? BOTH : (code - 1) / 2 == axis ? face(code) : UNKNOWN;
        }
        return side;
    }

    // The voxels around one cell, floor - 1 to floor + 2 on each axis, read
    // on first use with OFFSET lookups at the cell's point (force_offset 1).
    class Neighbourhood {
      public:
        Neighbourhood(Sampler &sampler, miVector point, bool colour)
            : sampler_(sampler), point_(point), colour_(colour) {
            sampler.exchange.force_offset = 1;
        }
        ~Neighbourhood() {
            sampler_.exchange.force_offset = 0;
            for (float &o : sampler_.exchange.offset)
                o = 0.0f;
        }
        float operator()(const int at[3]) {
            const int index = (at[0] + 1) * 16 + (at[1] + 1) * 4 + (at[2] + 1);
            if (!read_[index]) {
                for (int i = 0; i < 3; ++i)
                    sampler_.exchange.offset[i] = float(at[i]);
                value_[index] = scalar(sampler_.at(point_), colour_);
                read_[index] = true;
            }
            return value_[index];
        }

      private:
        Sampler &sampler_;
        miVector point_;
        bool colour_;
        float value_[64];
        bool read_[64] = {};
    };

    // The gradient of the scalar value in the caller's space. In voxel space
    // it is the trilinear blend, by the lookup's frac, of differences at the
    // cell's eight corners: central (one voxel either side, which the margin
    // of stencil 4 keeps inside the grid), forward or backward next to a
    // face the edge code names, and the cell's own difference on an axis it
    // cannot tell. The position in voxels is (width - 1) * matrix * point, so
    // the instance's matrix turns the gradient by its transpose.
    Vec gradient(Sampler &sampler, miVector point, int edge) const {
        const float frac[3] = {sampler.exchange.frac[0], sampler.exchange.frac[1],
                               sampler.exchange.frac[2]};
        const std::array<Side, 3> side = sides(sampler, point, edge);
        Neighbourhood voxel(sampler, point, settings_.colour);
        float in_voxels[3] = {0.0f, 0.0f, 0.0f};
        for (int corner = 0; corner < 8; ++corner) {
            const int at[3] = {corner & 1, corner >> 1 & 1, corner >> 2 & 1};
            float weight = 1.0f;
            for (int i = 0; i < 3; ++i)
                weight *= at[i] ? frac[i] : 1.0f - frac[i];
            if (weight == 0.0f) continue;
            for (int axis = 0; axis < 3; ++axis) {
                int before[3] = {at[0], at[1], at[2]}, after[3] = {at[0], at[1], at[2]};
                float span = 2.0f;
                switch (side[axis]) {
                case BOTH:
                    --before[axis], ++after[axis];
                    break;
                case LOW_FACE:
                    ++after[axis], span = 1.0f;
                    break;
                case HIGH_FACE:
                    --before[axis], span = 1.0f;
                    break;
                case UNKNOWN:
                    before[axis] = 0, after[axis] = 1, span = 1.0f;
                    break;
                }
                in_voxels[axis] += weight * (voxel(after) - voxel(before)) / span;
            }
        }
        const float *m = sampler.exchange.matrix; // row * 4 + column
        const float voxels_per_unit = float(frame_.extent[0] - 1);
        float caller[3];
        for (int j = 0; j < 3; ++j)
            caller[j] =
                voxels_per_unit * (m[0 * 4 + j] * in_voxels[0] + m[1 * 4 + j] * in_voxels[1] +
                                   m[2 * 4 + j] * in_voxels[2]);
        return {caller[0], caller[1], caller[2]};
    }

    const Frame &frame_;
    const ViewSettings &settings_;
    Vec light_, halfway_;
    int samples_;
};

// Runs `work(sampler, item)` for items 0..count-1 on `threads` threads, each
// with its own Sampler, calling `tick(done)` on this thread while they run.
// Returns the lookups made.
template <typename Work, typename Tick>
uint64_t run_parallel(standin::Instance &instance, int count, int threads, Work work, Tick tick) {
    std::atomic<int> next{0}, done{0};
    std::vector<uint64_t> lookups(threads, 0);
    std::vector<std::thread> workers;
    for (int t = 0; t < threads; ++t)
        workers.emplace_back([&, t] {
            Sampler sampler(instance);
            for (int item; (item = next++) < count;) {
                work(sampler, item);
                ++done;
            }
            lookups[t] = sampler.lookups;
        });
    while (done < count) {
        tick(done.load());
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    for (std::thread &worker : workers)
        worker.join();
    uint64_t total = 0;
    for (uint64_t n : lookups)
        total += n;
    return total;
}

} // namespace

Frame::Frame(int axis, const Extent &volume, int scale)
    : axis(axis), across(axis == 0 ? 2 : 0),
      down(axis == 1 ? 2 : 1), extent{std::max(volume.width, 1), std::max(volume.height, 1),
                                      std::max(volume.depth, 1)},
      scale(scale) {}

miVector Frame::point(int column, int row, float depth) const {
    float p[3];
    p[across] = float(column) / float(scale);
    p[down] = float(row) / float(scale);
    p[axis] = depth;
    return {p[0], p[1], p[2]};
}

RenderResult render_view(standin::Instance &instance, const Frame &frame,
                         const ViewSettings &settings, int threads, Progress &progress) {
    const ViewRenderer view(frame, settings);
    RenderResult result;
    result.image = Image(frame.columns(), frame.rows(), view.channels());
    const int rows = frame.rows();
    const auto started = std::chrono::steady_clock::now();
    const auto rows_text = [rows](int done) {
        return std::to_string(done) + "/" + std::to_string(rows) + " rows";
    };
    result.lookups = run_parallel(
        instance, rows, threads,
        [&](Sampler &sampler, int row) { view.draw_row(sampler, row, result.image.row(row)); },
        [&](int done) { progress.update(double(done) / rows, rows_text(done)); });
    result.seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
    progress.finish(1.0, rows_text(rows));
    return result;
}

ValueRange value_range(standin::Instance &instance, const Extent &volume, miVector anchor,
                       int threads) {
    struct Partial {
        double min[3], max[3], sum[3];
        bool any = false;
    };
    std::vector<Partial> slices(std::max(volume.depth, 0));
    const auto read_slice = [&](Sampler &sampler, int z) {
        Partial &p = slices[z];
        sampler.exchange.force_offset = 1;
        sampler.exchange.offset[2] = float(z);
        for (int y = 0; y < volume.height; ++y)
            for (int x = 0; x < volume.width; ++x) {
                sampler.exchange.offset[0] = float(x);
                sampler.exchange.offset[1] = float(y);
                const Rgb c = sampler.at(anchor);
                for (int i = 0; i < 3; ++i) {
                    p.min[i] = p.any ? std::min(p.min[i], double(c[i])) : c[i];
                    p.max[i] = p.any ? std::max(p.max[i], double(c[i])) : c[i];
                    p.sum[i] = (p.any ? p.sum[i] : 0.0) + c[i];
                }
                p.any = true;
            }
    };
    ValueRange range = {};
    range.lookups = run_parallel(instance, volume.depth, threads, read_slice, [](int) {});
    double sum[3] = {0, 0, 0};
    bool any = false;
    for (const Partial &p : slices) { // in slice order, so every run adds alike
        if (!p.any) continue;
        for (int i = 0; i < 3; ++i) {
            range.min[i] = any ? std::min(range.min[i], p.min[i]) : p.min[i];
            range.max[i] = any ? std::max(range.max[i], p.max[i]) : p.max[i];
            sum[i] += p.sum[i];
        }
        any = true;
    }
    range.voxels = uint64_t(std::max(volume.width, 0)) * std::max(volume.height, 0) *
                   std::max(volume.depth, 0);
    for (int i = 0; i < 3; ++i)
        range.mean[i] = range.voxels ? sum[i] / double(range.voxels) : 0;
    return range;
}

} // namespace render
