// The peer a renderer author would reach for instead of the library: a dense
// NanoVDB grid of the same samples, read through its accessor and samplers.
#include <stdexcept>

#include <nanovdb/NanoVDB.h>
#include <nanovdb/util/GridBuilder.h>
#include <nanovdb/util/SampleFromVoxels.h>

#include "bench/lookup_loops.h"

namespace bench {

struct NanoPeer {
    nanovdb::GridHandle<nanovdb::HostBuffer> handle;
    const nanovdb::FloatGrid *grid = nullptr;
};

std::unique_ptr<NanoPeer, void (*)(NanoPeer *)> build_nanovdb(const BareVolume &bare,
                                                              float divisor) {
    std::unique_ptr<NanoPeer, void (*)(NanoPeer *)> peer(new NanoPeer,
                                                         [](NanoPeer *p) { delete p; });
    // Background 0: a voxel whose value is 0 stays inactive and reads 0 all
    // the same; with random samples no leaf is left out.
    nanovdb::GridBuilder<float> builder(0.0f);
    builder.setStats(nanovdb::StatsMode::Disable);
    builder.setChecksum(nanovdb::ChecksumMode::Disable);
    const size_t w = size_t(bare.width), wh = w * size_t(bare.height);
    const bool words = !bare.s16.empty();
    builder(
        [&](const nanovdb::Coord &ijk) -> float {
            const size_t i = size_t(ijk[2]) * wh + size_t(ijk[1]) * w + size_t(ijk[0]);
            return (words ? float(bare.s16[i]) : float(bare.u8[i])) / divisor;
        },
        nanovdb::CoordBBox(nanovdb::Coord(0),
                           nanovdb::Coord(bare.width - 1, bare.height - 1, bare.depth - 1)));
    peer->handle = builder.getHandle<>();
    peer->grid = peer->handle.grid<float>();
    if (!peer->grid) throw std::runtime_error("NanoVDB grid not built");
    return peer;
}

float run_nanovdb(const NanoPeer &peer, int mode, PointSpan points) {
    const auto accessor = peer.grid->getAccessor();
    float sum = 0.0f;
    if (mode == standin::NEAREST_MODE) {
        const auto sampler = nanovdb::createSampler<0>(accessor);
        for (size_t i = 0; i < points.count; ++i) {
            const miVector p = points.position[i];
            sum += sampler(nanovdb::Vec3f(p.x, p.y, p.z));
        }
    } else if (mode == standin::TRILINEAR_MODE) {
        const auto sampler = nanovdb::createSampler<1>(accessor);
        for (size_t i = 0; i < points.count; ++i) {
            const miVector p = points.position[i];
            sum += sampler(nanovdb::Vec3f(p.x, p.y, p.z));
        }
    } else {
        for (size_t i = 0; i < points.count; ++i) {
            const miVector p = points.position[i];
            sum += accessor.getValue(nanovdb::Coord(int32_t(p.x), int32_t(p.y), int32_t(p.z)));
        }
    }
    return sum;
}

} // namespace bench
