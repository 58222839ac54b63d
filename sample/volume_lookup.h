// One lookup in a viewed volume: `coord` into voxel space, the edge code for
// the caller, the sample by mode, normalised into the colour.
#pragma once

#include "host/host_api.h"
#include "sample/sample_exchange.h"
#include "sample/volume_view.h"

namespace nimbrel {

// The raw sample, before normalisation: colour in blue, green, red order, a
// single value in value[0].
struct Sample {
    float value[3];
};

// The sample of a position inside the grid, given per axis as its floor and
// fraction, by mode: NEAREST and OFFSET fetch one voxel (OFFSET at floor +
// offset), TRILINEAR blends the cell, any other mode answers 0.
Sample sample_by_mode(const VolumeView &view, int mode, const int32_t floors[3],
                      const float frac[3], const float offset[3]);

// Looks `coord` up in `view` with mode `mode`. Writes r, g and b of `result`
// (0 outside the grid; untouched for FORMAT_NONE), and frac (inside the grid
// only) and edge of `exchange` when given. Reads nothing else of the caller.
void look_up(const VolumeView &view, int mode, miVector coord, SampleExchange *exchange,
             miColor *result);

} // namespace nimbrel
