// The parameter evaluation rule: every shader parameter is read through it,
// at the moment of use. Inline: the lookup evaluates two parameters per call.
#pragma once

#include <string.h>

#include "host/host_api.h"

namespace nimbrel {

// Address of the parameter's current value: the result of the connected
// shader when the parameter is connected and the renderer gives one, else the
// parameter's own place in the block.
inline const void *eval_param(miState *state, const void *param) {
    const miShaderRecord *shader = state->shader;
    int32_t offset = shader ? shader->connection_offset : 0;
    if (offset == 0) return param;
    int32_t connected;
    memcpy(&connected, static_cast<const char *>(param) + offset, sizeof connected);
    if (connected == 0) return param;
    const void *value = mi_phen_eval(state, const_cast<void *>(param));
    return value ? value : param;
}

// The current value of a parameter of type T (an integer, a vector, a tag).
template <typename T> inline T eval(miState *state, const T *param) {
    T value;
    memcpy(&value, eval_param(state, param), sizeof value);
    return value;
}

inline int32_t eval_int(miState *state, const int32_t *param) {
    return eval(state, param);
}
inline miVector eval_vector(miState *state, const miVector *param) {
    return eval(state, param);
}
inline miTag eval_tag(miState *state, const miTag *param) {
    return eval(state, param);
}

} // namespace nimbrel
