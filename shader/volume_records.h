// The shader's parameter block and the per-instance volume record; the codes
// and their facts are in sample_exchange.h, the interpolation modes in the view.
#pragma once

#include <stddef.h>
#include <stdint.h>
#include <string.h>

#include "host/host_api.h"
#include "host/param_rule.h"
#include "sample/volume_lookup.h"
#include "sample/volume_view.h"
#include "sample/sample_exchange.h"

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
    float mapping[16];        // coordinate mapping, element = row * 4 + column
    nimbrel::LookupPlan plan; // the lookup's, set when loading has ended (prepare_lookup)
};

namespace nimbrel {

// The volume as the lookup sees it, by the facts of its file type; a file
// type outside 0..5 is viewed as FORMAT_NONE, with no slices.
inline VolumeView volume_view(const VolumeData *volume) {
    VolumeView view = {nullptr, volume->width, volume->height, volume->depth, FORMAT_NONE, 1.0f};
    const FileTypeFacts *facts = file_type_facts(volume->filetype);
    if (!facts) return view;
    const bool little = volume->little_endian != 0;
    if (facts->sample_bytes == 1) {
        view.slices = reinterpret_cast<const void *const *>(volume->slices8);
        view.format = facts->channels == 3 ? FORMAT_BGR8 : FORMAT_U8;
    } else {
        view.slices = reinterpret_cast<const void *const *>(volume->slices16);
        view.format = facts->is_signed ? (little ? FORMAT_S16_LITTLE : FORMAT_S16_BIG)
                                       : (little ? FORMAT_U16_LITTLE : FORMAT_U16_BIG);
    }
    view.divisor = facts->divisor;
    return view;
}

// Sets the record's lookup plan from what the record holds now: its shape,
// file type, byte order and slice tables. Called when loading has ended, also
// after a failure (the lookup answers from whatever was loaded).
inline void prepare_lookup(VolumeData *volume) {
    volume->plan = plan_lookup(volume_view(volume));
}

// Stores in volume->mapping how `coord` changes when the current point moves
// one unit along each axis (as columns of the upper-left 3x3 block). Moves the
// state's current point and restores it before returning.
void capture_mapping(miState *state, const VolumeParams *params, VolumeData *volume);

} // namespace nimbrel
