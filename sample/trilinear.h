// Trilinear blend of the eight voxels around a fractional grid position,
// through a fetch function handed in by the caller. Inline, so that a fetch
// known at the call is inlined into the corner loop.
#pragma once

#include <math.h>

#include "sample/voxel_fetch.h"

namespace nimbrel {

// The eight corners of the cell around `point`, in blending order, with
// their weights. The upper corner is the ceiling, so a whole-number
// coordinate uses one voxel twice, the upper one with weight 0.
struct TrilinearCell {
    int32_t x[8], y[8], z[8];
    double weight[8];
};

inline TrilinearCell trilinear_cell(miVector point) {
    const double floor_x = floor(double(point.x)), floor_y = floor(double(point.y)),
                 floor_z = floor(double(point.z));
    const float fx = float(point.x - floor_x), fy = float(point.y - floor_y),
                fz = float(point.z - floor_z);
    const int32_t x0 = int32_t(floor_x), x1 = int32_t(ceil(double(point.x)));
    const int32_t y0 = int32_t(floor_y), y1 = int32_t(ceil(double(point.y)));
    const int32_t z0 = int32_t(floor_z), z1 = int32_t(ceil(double(point.z)));
    // Factors multiplied left to right, in double precision: every factor is
    // a double, so that fx * fy is not formed in float.
    const double ux = fx, uy = fy, uz = fz;
    const double gx = 1.0 - ux, gy = 1.0 - uy, gz = 1.0 - uz;
    return TrilinearCell{
        {x0, x1, x0, x0, x1, x0, x1, x1},
        {y0, y0, y1, y0, y0, y1, y1, y1},
        {z0, z0, z0, z1, z1, z1, z0, z1},
        {gx * gy * gz, gy * ux * gz, gx * uy * gz, gx * gy * uz, gy * ux * uz, gx * uy * uz,
         ux * uy * gz, ux * uy * uz},
    };
}

} // namespace nimbrel

// Blends the eight corners of a point inside the grid: each weighted term is
// rounded to float, and the float running sum is kept in corner order.
inline float trilinear_scalar(miVector point, const VolumeData *volume, FetchScalar *fetch) {
    const nimbrel::TrilinearCell cell = nimbrel::trilinear_cell(point);
    float sum = 0.0f;
    for (int corner = 0; corner < 8; ++corner) {
        const float value = fetch(cell.x[corner], cell.y[corner], cell.z[corner], volume);
        sum += float(cell.weight[corner] * value);
    }
    return sum;
}

// As trilinear_scalar, channel by channel, in the fetch's channel order.
inline VoxelRgb trilinear_rgb(miVector point, const VolumeData *volume, FetchRgb *fetch) {
    const nimbrel::TrilinearCell cell = nimbrel::trilinear_cell(point);
    VoxelRgb sum = {{0.0f, 0.0f, 0.0f}};
    for (int corner = 0; corner < 8; ++corner) {
        const VoxelRgb value = fetch(cell.x[corner], cell.y[corner], cell.z[corner], volume);
        for (int c = 0; c < 3; ++c)
            sum.channel[c] += float(cell.weight[corner] * value.channel[c]);
    }
    return sum;
}
