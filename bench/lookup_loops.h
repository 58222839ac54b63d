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

// A loaded instance with its samples and point sets, ready for lookups.
struct LookupVolume {
    VolumeSpec shape;
    BareVolume bare;
    std::unique_ptr<standin::Instance> instance;
    PointSet random, rays;
};

// Writes the volume's files under `folder`, loads them into a new instance
// with `coord` connected to the current point, removes the files, and checks
// that NEAREST lookups answer the generated samples. Throws on failure.
std::unique_ptr<LookupVolume> load_lookup_volume(standin::Renderer &renderer,
                                                 const VolumeSpec &shape, const std::string &folder,
                                                 size_t points);
void release_lookup_volume(LookupVolume &volume);

// Each returns a sum of the answers, so that no work can be dropped. The
// state and exchange are the calling thread's own; `mode` is one of NEAREST,
// TRILINEAR and OFFSET, set in the instance's parameters by the caller for
// the full lookup.
float run_full(standin::Instance &instance, standin::State &state, SampleExchange *exchange,
               const PointSet &points);
float run_floor(standin::Instance &instance, standin::State &state, SampleExchange *exchange,
                const PointSet &points);
// `serial`: each point's reads wait for the previous point's answer, so that
// no two points' memory accesses overlap (the latency of one read at a time).
float run_bare(const BareVolume &bare, int mode, const PointSet &points, bool serial = false);

} // namespace bench
