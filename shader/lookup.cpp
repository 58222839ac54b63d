// The lookup entry point: the instance's volume, the two parameters, the
// caller's record. Everything but the renderer's calls is inline here.
#include <string.h>

#include "sample/volume_lookup.h"
#include "shader/volume_records.h"

using namespace nimbrel;

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

    // Without a record the lookup reads zeros and its writes go nowhere.
    SampleExchange none;
    if (!exchange) {
        memset(&none, 0, sizeof none);
        exchange = &none;
    }
    look_up(volume->plan, mode, coord, exchange, result);
    memcpy(exchange->matrix, volume->mapping, sizeof exchange->matrix);
    return 1;
}
