// The parameter evaluation rule is inline in volume_records.h; the tag reader,
// used once per load, stays here.
#include "shader/volume_records.h"

namespace nimbrel {

miTag eval_tag(miState *state, const miTag *param) {
    miTag value;
    memcpy(&value, eval_param(state, param), sizeof value);
    return value;
}

} // namespace nimbrel
