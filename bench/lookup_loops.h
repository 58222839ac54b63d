// The three ways of answering a set of lookup points that the benchmarks set
// side by side: the full lookup through the library as a renderer calls it,
// the host floor (only the renderer calls the lookup makes), and a bare read
// of one contiguous array of the same samples.
#pragma once

#include <memory>
#include <string>

#include "bench/bench_data.h"
#include "renderer/standin.h"

namespace bench {

struct NanoPeer;

// A loaded instance with its samples and point sets, ready for lookups, and
// the same samples in a NanoVDB grid (null for colour volumes).
struct LookupVolume {
    VolumeSpec shape;
    BareVolume bare;
    std::unique_ptr<standin::Instance> instance;
    PointSet random, rays;
    std::unique_ptr<NanoPeer, void (*)(NanoPeer *)> nanovdb{nullptr, nullptr};
    size_t next_random = 0; // the first random point the next timed pass takes
};

// Writes the volume's files under `folder`, loads them into a new instance
// with `coord` connected to the current point, removes the files, and checks
// that NEAREST lookups answer the generated samples. `random_points` random
// points, `ray_points` points along rays; with `nanovdb`, the NanoVDB grid of
// the samples too. Throws on failure.
std::unique_ptr<LookupVolume> load_lookup_volume(standin::Renderer &renderer,
                                                 const VolumeSpec &shape, const std::string &folder,
                                                 size_t random_points, size_t ray_points,
                                                 bool nanovdb = false);
void release_lookup_volume(LookupVolume &volume);

// Each returns a sum of the answers, so that no work can be dropped. The
// state and exchange are the calling thread's own; `mode` is one of NEAREST,
// TRILINEAR and OFFSET, set in the instance's parameters by the caller for
// the full lookup.
float run_full(standin::Instance &instance, standin::State &state, SampleExchange *exchange,
               PointSpan points);
float run_floor(standin::Instance &instance, standin::State &state, SampleExchange *exchange,
                PointSpan points);
// `serial`: each point's reads wait for the previous point's answer, so that
// no two points' memory accesses overlap (the latency of one read at a time).
float run_bare(const BareVolume &bare, int mode, PointSpan points, bool serial = false);
// NanoVDB's samplers with their accessor, as a renderer would use them:
// nearest (order 0) for NEAREST, trilinear (order 1) for TRILINEAR, and the
// accessor's read at the truncated position for OFFSET.
float run_nanovdb(const NanoPeer &peer, int mode, PointSpan points);

// A dense NanoVDB float grid of the samples of a single-channel volume, each
// divided by `divisor` as the lookup divides it: the values the lookup answers.
std::unique_ptr<NanoPeer, void (*)(NanoPeer *)> build_nanovdb(const BareVolume &bare,
                                                              float divisor);

} // namespace bench
