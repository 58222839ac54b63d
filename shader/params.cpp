#include <string.h>

#include "shader/volume_records.h"

namespace nimbrel {

const void *eval_param(miState *state, const void *param) {
    const miShaderRecord *shader = state->shader;
    int32_t offset = shader ? shader->connection_offset : 0;
    if (offset == 0) return param;
    int32_t connected;
    memcpy(&connected, static_cast<const char *>(param) + offset, sizeof connected);
    if (connected == 0) return param;
    const void *value = mi_phen_eval(state, const_cast<void *>(param));
    return value ? value : param;
}

int32_t eval_int(miState *state, const int32_t *param) {
    int32_t value;
    memcpy(&value, eval_param(state, param), sizeof value);
    return value;
}

miTag eval_tag(miState *state, const miTag *param) {
    miTag value;
    memcpy(&value, eval_param(state, param), sizeof value);
    return value;
}

miVector eval_vector(miState *state, const miVector *param) {
    miVector value;
    memcpy(&value, eval_param(state, param), sizeof value);
    return value;
}

} // namespace nimbrel
