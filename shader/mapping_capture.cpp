// The coordinate mapping: `coord` evaluated at the origin and one unit along
// each axis of the current point.
#include <string.h>

#include "shader/volume_records.h"

namespace nimbrel {

void capture_mapping(miState *state, const VolumeParams *params, VolumeData *volume) {
    const miVector entry_point = state->point;

    // The first evaluation needs no flush: nothing was cached at this point
    // by the capture. Every later one follows a move of the point.
    state->point = miVector{0.0f, 0.0f, 0.0f};
    const miVector origin = eval_vector(state, &params->coord);
    state->point.x = 1.0f;
    mi_flush_cache(state);
    const miVector along_x = eval_vector(state, &params->coord);
    state->point.x = 0.0f;
    state->point.y = 1.0f;
    mi_flush_cache(state);
    const miVector along_y = eval_vector(state, &params->coord);
    state->point.y = 0.0f;
    state->point.z = 1.0f;
    mi_flush_cache(state);
    const miVector along_z = eval_vector(state, &params->coord);

    float matrix[16] = {0.0f};
    mi_matrix_ident(matrix);
    matrix[0] = along_x.x - origin.x; // X, Y, Z are the columns
    matrix[4] = along_x.y - origin.y;
    matrix[8] = along_x.z - origin.z;
    matrix[1] = along_y.x - origin.x;
    matrix[5] = along_y.y - origin.y;
    matrix[9] = along_y.z - origin.z;
    matrix[2] = along_z.x - origin.x;
    matrix[6] = along_z.y - origin.y;
    matrix[10] = along_z.z - origin.z;
    memcpy(volume->mapping, matrix, sizeof matrix);

    state->point = entry_point;
}

} // namespace nimbrel
