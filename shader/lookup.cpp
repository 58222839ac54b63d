// The lookup entry point: the instance's volume, the two parameters, the
// caller's record. Everything but the renderer's calls is inline here.
#include <string.h>

#include "sample/volume_lookup.h"
#include "shader/volume_records.h"

using namespace nimbrel;

namespace {

// The lookup for a state that carries no record: it reads zeros, and its
// writes go nowhere. Out of line, so that the common lookup keeps no record
// of its own on its stack.
[[gnu::noinline, gnu::cold]] void look_up_without_record(const VolumeData *volume, int mode,
                                                         const float *coord, miColor *result) {
    SampleExchange none;
    memset(&none, 0, sizeof none);
    look_up(volume->plan, mode, coord, &none, result);
}

} // namespace

// One lookup at the state's current point. Writes r, g and b of `result`,
// and frac (inside the grid only), edge and matrix of the caller's record
// when the state carries one. Always returns 1; reports nothing.
NIMBREL_EXPORT miBoolean Nimbrel(miColor *result, miState *state, VolumeParams *params) {
    SampleExchange *exchange = static_cast<SampleExchange *>(state->exchange);
    void **slot = query_user_pointer(state);
    const VolumeData *volume = slot ? static_cast<const VolumeData *>(*slot) : nullptr;
    if (!volume) return 1;

    mi_flush_cache(state);
    const int mode = eval_int(state, &params->interpolation);
    const float *coord = static_cast<const float *>(eval_param(state, &params->coord));
    if (!exchange) {
        look_up_without_record(volume, mode, coord, result);
        return 1;
    }
    look_up(volume->plan, mode, coord, exchange, result);
    memcpy(exchange->matrix, volume->mapping, sizeof exchange->matrix);
    return 1;
}
