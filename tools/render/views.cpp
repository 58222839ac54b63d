#include "tools/render/views.h"

#include <algorithm>
#include <atomic>
#include <cmath>
#include <optional>
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

// exp(-x) for x >= 0 from additions and multiplications alone, so that every
// build (and every C library) draws the same bytes: 2^-k exp(-r) with r below
// ln 2 and its Taylor series to r^8, relative error below 3e-7.
float exp_negative(float x) {
    if (!(x < 87.0f)) return 0.0f;
    const int k = static_cast<int>(x * 1.44269504f); // x / ln 2, truncated
    const float r = x - float(k) * 0.693147182f;
    float sum = 1.0f;
    for (int n = 8; n >= 1; --n)
        sum = 1.0f - r * sum / float(n);
    return std::ldexp(sum, -k);
}

// x^24 by squaring, exact to float rounding on every build.
float power24(float x) {
    const float x2 = x * x, x4 = x2 * x2, x8 = x4 * x4, x16 = x8 * x8;
    return x16 * x8;
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
    // The neighbourhood of a lit sample's cell is read once and kept while
    // the ray stays in that cell.
    Rgb shaded(Sampler &sampler, int column, int row) const {
        sampler.exchange.stencil = STENCIL_MARGIN_1;
        Rgb sum = {0.0f, 0.0f, 0.0f};
        float opacity = 0.0f;
        std::optional<Neighbourhood> voxels;
        int read_at = 0;         // the sample that read `voxels`
        float read_along = 0.0f; // and its frac along the ray
        for (int k = 0; k < samples_ && opacity < 0.996f; ++k) {
            const miVector point = frame_.point(column, row, k * settings_.step);
            const Rgb c = sampler.at(point);
            const float t = clamp01(window(scalar(c, settings_.colour)));
            if (t <= 0.0f) continue;
            const float alpha = 1.0f - exp_negative(settings_.density * t * settings_.step);
            const Rgb emitted = settings_.colour ? c : palette(settings_.palette, t);
            const float frac[3] = {sampler.exchange.frac[0], sampler.exchange.frac[1],
                                   sampler.exchange.frac[2]};
            const float along = frac[frame_.axis];
            if (!voxels || !(along > read_along) ||
                !(float(k - read_at) * step_in_voxels(sampler.exchange.matrix) < 1.0f)) {
                voxels.emplace(sampler, point, sides(sampler, point, sampler.exchange.edge),
                               settings_.colour);
                read_at = k;
            }
            read_along = along;
            const Rgb lit = light(emitted, gradient(frac, *voxels, sampler.exchange.matrix));
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
        const float specular = power24(std::max(0.0f, dot(normal, halfway_)));
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

    // The scalar values of the 4 x 4 x 4 voxels floor - 1 to floor + 2 around
    // the sample's cell, read with OFFSET lookups at the sample's point
    // (force_offset 1). A layer the edge code puts outside the grid is
    // extrapolated linearly from the two layers of the cell itself, so that
    // a linear field keeps its exact gradient up to the faces.
    struct Neighbourhood {
        float value[4][4][4]; // [x][y][z], index = offset + 1

        Neighbourhood(Sampler &sampler, miVector point, const std::array<Side, 3> &side,
                      bool colour) {
            int first[3], last[3];
            for (int i = 0; i < 3; ++i) {
                first[i] = side[i] == BOTH || side[i] == HIGH_FACE ? 0 : 1;
                last[i] = side[i] == BOTH || side[i] == LOW_FACE ? 3 : 2;
            }
            SampleExchange &exchange = sampler.exchange;
            exchange.force_offset = 1;
            for (int x = first[0]; x <= last[0]; ++x)
                for (int y = first[1]; y <= last[1]; ++y)
                    for (int z = first[2]; z <= last[2]; ++z) {
                        exchange.offset[0] = float(x - 1);
                        exchange.offset[1] = float(y - 1);
                        exchange.offset[2] = float(z - 1);
                        value[x][y][z] = scalar(sampler.at(point), colour);
                    }
            exchange.force_offset = 0;
            for (float &o : exchange.offset)
                o = 0.0f;
            // Along x over the layers read, then y, then z over everything.
            for (int axis = 0; axis < 3; ++axis)
                for (int a = 0; a < 4; ++a)
                    for (int b = 0; b < 4; ++b) {
                        if (axis == 0 &&
                            (a < first[1] || a > last[1] || b < first[2] || b > last[2]))
                            continue;
                        if (axis == 1 && (b < first[2] || b > last[2])) continue;
                        const auto at = [&](int i) -> float & {
                            return axis == 0   ? value[i][a][b]
                                   : axis == 1 ? value[a][i][b]
                                               : value[a][b][i];
                        };
                        if (first[axis] == 1) at(0) = 2.0f * at(1) - at(2);
                        if (last[axis] == 2) at(3) = 2.0f * at(2) - at(1);
                    }
        }
    };

    // Weights of the uniform cubic B-spline for the four voxels floor - 1 to
    // floor + 2 at fraction t, and of its derivative.
    struct CubicWeights {
        float value[4], slope[4];
    };
    static CubicWeights cubic_bspline(float t) {
        const float s = 1.0f - t, t2 = t * t, t3 = t2 * t;
        return {{s * s * s / 6.0f, (3.0f * t3 - 6.0f * t2 + 4.0f) / 6.0f,
                 (-3.0f * t3 + 3.0f * t2 + 3.0f * t + 1.0f) / 6.0f, t3 / 6.0f},
                {-0.5f * s * s, 1.5f * t2 - 2.0f * t, -1.5f * t2 + t + 0.5f, 0.5f * t2}};
    }

    // The gradient of the scalar value in the caller's space. In voxel space
    // it is the derivative of the cubic B-spline over the 4 x 4 x 4
    // neighbourhood at the lookup's frac: unlike differences blended
    // trilinearly, it changes smoothly across the faces of the cells, so
    // lit surfaces show no pattern at the voxel spacing. The position in
    // voxels is (width - 1) * matrix * point, so the instance's matrix turns
    // the gradient by its transpose.
    Vec gradient(const float frac[3], const Neighbourhood &voxels, const float matrix[16]) const {
        const CubicWeights w[3] = {cubic_bspline(frac[0]), cubic_bspline(frac[1]),
                                   cubic_bspline(frac[2])};
        float in_voxels[3] = {0.0f, 0.0f, 0.0f};
        for (int x = 0; x < 4; ++x)
            for (int y = 0; y < 4; ++y)
                for (int z = 0; z < 4; ++z) {
                    const float v = voxels.value[x][y][z];
                    in_voxels[0] += w[0].slope[x] * w[1].value[y] * w[2].value[z] * v;
                    in_voxels[1] += w[0].value[x] * w[1].slope[y] * w[2].value[z] * v;
                    in_voxels[2] += w[0].value[x] * w[1].value[y] * w[2].slope[z] * v;
                }
        const float *m = matrix; // row * 4 + column
        const float voxels_per_unit = float(frame_.width - 1);
        float caller[3];
        for (int j = 0; j < 3; ++j)
            caller[j] =
                voxels_per_unit * (m[0 * 4 + j] * in_voxels[0] + m[1 * 4 + j] * in_voxels[1] +
                                   m[2 * 4 + j] * in_voxels[2]);
        return {caller[0], caller[1], caller[2]};
    }

    // How far, in voxels, one step along the ray moves the lookup along the
    // same axis of the grid; infinite when the instance's matrix moves it
    // along another axis too, or backwards, so that no cell is kept.
    float step_in_voxels(const float matrix[16]) const {
        const float voxels_per_unit = float(frame_.width - 1);
        for (int i = 0; i < 3; ++i)
            if (i != frame_.axis && matrix[i * 4 + frame_.axis] != 0.0f) return INFINITY;
        const float moved =
            voxels_per_unit * settings_.step * matrix[frame_.axis * 4 + frame_.axis];
        return moved > 0.0f ? moved : INFINITY;
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

Frame::Frame(int axis, const Extent &volume, int scale, const Vec3 &voxels_per_point)
    : axis(axis), across(axis == 0 ? 2 : 0), down(axis == 1 ? 2 : 1), width(volume.width),
      scale(scale) {
    const int voxels[3] = {volume.width, volume.height, volume.depth};
    for (int i = 0; i < 3; ++i) {
        const double points = double(std::max(voxels[i], 1) - 1) / std::fabs(voxels_per_point[i]);
        extent[i] = static_cast<int>(std::lround(std::min(points, 1e9))) + 1;
    }
}

int Frame::pixels(int voxels) const {
    if (!centred) return (voxels - 1) * scale + 1;
    return voxels > 1 ? (voxels - 1) * scale : 1;
}

float Frame::position(int i, int voxels) const {
    if (!centred) return float(i) / float(scale);
    return voxels > 1 ? (float(i) + 0.5f) / float(scale) : 0.0f;
}

miVector Frame::point(int column, int row, float depth) const {
    float p[3];
    p[across] = position(column, extent[across]);
    p[down] = position(row, extent[down]);
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
