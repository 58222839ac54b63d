// The views: slice, maximum-intensity projection and shaded ray march, each
// drawn with lookups through the loaded instance, one shading state and one
// SampleExchange per thread.
//
// The image covers the grid in the tool's own space, where the current point
// is in voxel units under the default `coord` mapping. The slice view takes
// point samples: pixel (column, row) is the point column / scale across the
// image and row / scale down it, so that whole voxels fall on pixels, and the
// image is (extent - 1) * scale + 1 pixels along each axis. The views that
// march rays (mip, shaded) send them through pixel centres instead, (column +
// 0.5) / scale, over (extent - 1) * scale pixels: every ray then lies alike
// between two voxel planes (a quarter voxel from one at scale 2), where rays
// on the planes and between them would sample the interpolated field
// differently and draw a pattern at the voxel spacing. Under another mapping
// the extents follow it, so that the image still covers the grid (a per-axis
// scale draws the volume in its true proportions).
// Looking along z the columns follow x and the rows y; along y, x and z;
// along x, z and y.
#pragma once

#include <cstdint>

#include "renderer/standin.h"
#include "tools/render/options.h"
#include "tools/render/png_output.h"
#include "tools/render/progress.h"

namespace render {

// The grid's extent in voxels, as the tool learned it through lookups.
struct Extent {
    int width, height, depth;
};

// How image pixels and march steps map to points.
struct Frame {
    int axis;             // looked along
    int across;           // image columns follow this axis
    int down;             // image rows follow this one
    int extent[3];        // points spanned along x, y, z: the grid's width, height, depth by default
    int width;            // of the grid: the library scales coord by width - 1
    int scale;            // pixels per voxel
    bool centred = false; // rays through pixel centres

    // `voxels_per_point`: grid voxels per unit of the current point on each
    // axis under the coord mapping (1 by default).
    Frame(int axis, const Extent &volume, int scale, const Vec3 &voxels_per_point = {1, 1, 1});
    int columns() const { return pixels(extent[across]); }
    int rows() const { return pixels(extent[down]); }
    // The point of pixel (column, row) at `depth` along the axis.
    miVector point(int column, int row, float depth) const;

  private:
    // Pixels along an axis of `voxels`, and the position of pixel `i` on it.
    int pixels(int voxels) const;
    float position(int i, int voxels) const;
};

// Everything a view needs besides the frame.
struct ViewSettings {
    View view;
    float at, window_low, window_high, step, density;
    Palette palette;
    bool colour; // a BMP series: the volume's own colours, no palette
};

struct RenderResult {
    Image image;
    uint64_t lookups = 0;
    double seconds = 0;
};

// Draws the view with `threads` threads; shows progress by rows.
RenderResult render_view(standin::Instance &instance, const Frame &frame,
                         const ViewSettings &settings, int threads, Progress &progress);

// The minimum, maximum and mean of the normalised values of every voxel, per
// channel (r, g, b; all three equal for a scalar volume), read with OFFSET
// lookups from one point in the grid's first cell.
struct ValueRange {
    double min[3], max[3], mean[3];
    uint64_t voxels = 0, lookups = 0;
};
ValueRange value_range(standin::Instance &instance, const Extent &volume, miVector anchor,
                       int threads);

} // namespace render
