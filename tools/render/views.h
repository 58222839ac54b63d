// The views: slice, maximum-intensity projection and shaded ray march, each
// drawn with lookups through the loaded instance, one shading state and one
// SampleExchange per thread.
//
// The image covers the grid in the tool's own space, where the current point
// is in voxel units under the default `coord` mapping: pixel (column, row)
// is the point column / scale across the image and row / scale down it, and
// the image is (extent - 1) * scale + 1 pixels along each of its two axes.
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
    int axis;      // looked along
    int across;    // image columns follow this axis
    int down;      // image rows follow this one
    int extent[3]; // width, height, depth of the grid
    int scale;     // pixels per voxel

    Frame(int axis, const Extent &volume, int scale);
    int columns() const { return (extent[across] - 1) * scale + 1; }
    int rows() const { return (extent[down] - 1) * scale + 1; }
    // The point of pixel (column, row) at `depth` along the axis.
    miVector point(int column, int row, float depth) const;
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
