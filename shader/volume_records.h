// The shader's parameter block, the per-instance volume record, and the codes
// that the loaders and the lookup switch on.
#pragma once

#include <stddef.h>
#include <stdint.h>
#include <string.h>

#include "host/host_api.h"
#include "sample/lookup_plan.h"

// File type codes: the `filetype` parameter.
enum FileType {
    BMP_SERIES = 0, // one 24-bit BMP per slice; voxels are blue, green, red bytes
    U16_SERIES = 1, // one raw file per slice, unsigned 16-bit samples
    U12_SERIES = 2, // as U16_SERIES, normalised by 4095
    U8_BLOCK = 3,   // one raw file for the volume, unsigned 8-bit samples
    U12_BLOCK = 4,  // one raw file, unsigned 16-bit samples normalised by 4095
    S16_BLOCK = 5,  // one raw file, signed 16-bit samples normalised by 255
};

// Interpolation modes: the `interpolation` parameter.
enum Interpolation {
    NEAREST = 0,
    TRILINEAR = 1,
    OFFSET = 2, // floor of the position plus the caller's offset
};

// The parameter block, in the order of the shader's declaration. The renderer
// owns it; the library never writes to it. Every field is read through
// eval_int / eval_vector / eval_tag, never directly.
struct VolumeParams {
    miTag filename;        //  0  string: tag of the name of the file or first slice
    miVector coord;        //  4  lookup coordinates, normally connected
    int32_t slices;        // 16  depth
    int32_t interpolation; // 20  Interpolation
    int32_t filetype;      // 24  FileType
    int32_t width;         // 28  not read for BMP_SERIES
    int32_t height;        // 32  not read for BMP_SERIES
    int32_t little_endian; // 36  zero: 16-bit samples are byte-swapped when fetched
};
static_assert(offsetof(VolumeParams, filename) == 0, "VolumeParams layout");
static_assert(offsetof(VolumeParams, coord) == 4, "VolumeParams layout");
static_assert(offsetof(VolumeParams, slices) == 16, "VolumeParams layout");
static_assert(offsetof(VolumeParams, interpolation) == 20, "VolumeParams layout");
static_assert(offsetof(VolumeParams, filetype) == 24, "VolumeParams layout");
static_assert(offsetof(VolumeParams, width) == 28, "VolumeParams layout");
static_assert(offsetof(VolumeParams, height) == 32, "VolumeParams layout");
static_assert(offsetof(VolumeParams, little_endian) == 36, "VolumeParams layout");
static_assert(sizeof(VolumeParams) == 40, "VolumeParams layout");

// One instance's volume. Zero-filled when allocated; read-only once
// initialisation has returned. Owns its two tables and every slice buffer.
struct VolumeData {
    int32_t width;       // voxels per row
    int32_t height;      // rows per slice
    int32_t depth;       // slices
    uint8_t **slices8;   // depth slice buffers for BMP_SERIES and U8_BLOCK, else null
    uint16_t **slices16; // depth slice buffers for the 16-bit types, else null
    int32_t filetype;
    int32_t little_endian;
    float mapping[16]; // coordinate mapping, element = row * 4 + column
    nimbrel::LookupPlan plan; // the lookup's view, set once loading has ended
};

namespace nimbrel {

// Address of the parameter's current value: the result of the connected
// shader when the parameter is connected and the renderer gives one, else the
// parameter's own place in the block. Inline with the two readers below: the
// lookup evaluates two parameters on every call.
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

inline int32_t eval_int(miState *state, const int32_t *param) {
    int32_t value;
    memcpy(&value, eval_param(state, param), sizeof value);
    return value;
}

inline miVector eval_vector(miState *state, const miVector *param) {
    miVector value;
    memcpy(&value, eval_param(state, param), sizeof value);
    return value;
}

miTag eval_tag(miState *state, const miTag *param);

// Sets the record's lookup plan from its shape, file type, byte order and
// slice tables, as they stand when loading has ended.
void plan_volume(VolumeData *volume);

} // namespace nimbrel
