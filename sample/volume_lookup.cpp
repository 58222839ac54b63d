// The lookup's plan, made once per instance, and the exact scaling for widths
// whose last index is no float.
#include "sample/volume_lookup.h"

#include <math.h>
#include <string.h>

namespace nimbrel {
namespace {

// The largest float at most `value`: a float x is at most `value` exactly when
// it is at most this.
float round_down(int64_t value) {
    const float nearest = static_cast<float>(value);
    return static_cast<double>(nearest) > static_cast<double>(value)
               ? nextafterf(nearest, -INFINITY)
               : nearest;
}

} // namespace

// The double product of a 32-bit integer and a float is exact while
// |width - 1| < 2^29 (at most 53 significant bits). Beyond that it is rounded
// to odd (the exact error, from fma, decides the last bit) before the rounding
// to float, which makes the two roundings equal one.
[[gnu::noinline]] float scale_exactly(int64_t scale, float c) {
    double product = double(scale) * c;
    const int64_t exact_limit = int64_t(1) << 29;
    if ((scale < exact_limit && scale > -exact_limit) || !isfinite(product)) return float(product);
    const double error = fma(double(scale), double(c), -product);
    uint64_t bits;
    memcpy(&bits, &product, sizeof bits);
    if (error != 0.0 && (bits & 1) == 0)
        product = nextafter(product, error > 0 ? INFINITY : -INFINITY);
    return float(product);
}

LookupPlan plan_lookup(const VolumeView &view) {
    LookupPlan plan;
    memset(&plan, 0, sizeof plan);
    plan.table = slice_table(view);
    plan.format = view.format != FORMAT_NONE && !view.slices ? FORMAT_ZERO : view.format;
    plan.divisor = view.divisor;
    plan.scale = int64_t(view.width) - 1;
    const float scale = static_cast<float>(plan.scale);
    plan.scale_in_float = static_cast<double>(scale) == static_cast<double>(plan.scale);
    const int64_t last[3] = {int64_t(view.width) - 1, int64_t(view.height) - 1,
                             int64_t(view.depth) - 1};
    for (int axis = 0; axis < 3; ++axis) {
        plan.scale_float[axis] = scale;
        plan.last[axis] = round_down(last[axis]);
        for (int margin = 0; margin < 3; ++margin) {
            plan.edge[margin].low[axis] = static_cast<float>(margin + 1);
            plan.edge[margin].high[axis] = round_down(last[axis] - 1 - margin);
        }
    }
    return plan;
}

} // namespace nimbrel
