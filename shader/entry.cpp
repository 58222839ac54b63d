// The shader's life cycle: version, instance initialisation and exit.
#include "input/volume_input.h"
#include "shader/volume_records.h"

using namespace nimbrel;

namespace {

// Address of the running instance's user-pointer slot, or null when the
// renderer gives none.
void **user_pointer_slot(miState *state) {
    void **slot = nullptr;
    mi_query(MI_QUERY_USER_POINTER, state, 0, &slot);
    return slot;
}

// Releases every slice, both tables and the record. Null entries (slices
// never loaded) and null tables are skipped by the allocator.
void release_volume(VolumeData *volume) {
    const int filetype = volume->filetype;
    if (filetype == BMP_SERIES || filetype == U8_BLOCK) {
        for (int i = 0; volume->slices8 && i < volume->depth; ++i) {
            NIMBREL_RELEASE(volume->slices8[i]);
            volume->slices8[i] = nullptr;
        }
    } else if (filetype >= U16_SERIES && filetype <= S16_BLOCK) {
        for (int i = 0; volume->slices16 && i < volume->depth; ++i) {
            NIMBREL_RELEASE(volume->slices16[i]);
            volume->slices16[i] = nullptr;
        }
    }
    NIMBREL_RELEASE(volume->slices16);
    volume->slices16 = nullptr;
    NIMBREL_RELEASE(volume->slices8);
    volume->slices8 = nullptr;
    NIMBREL_RELEASE(volume);
}

} // namespace

namespace nimbrel {

void plan_volume(VolumeData *volume) {
    const bool bytes = volume->filetype == BMP_SERIES || volume->filetype == U8_BLOCK;
    const void *const *slices = bytes ? reinterpret_cast<const void *const *>(volume->slices8)
                                      : reinterpret_cast<const void *const *>(volume->slices16);
    volume->plan = plan_lookup(volume->width, volume->height, volume->depth, volume->filetype,
                               volume->little_endian, slices);
}

} // namespace nimbrel

NIMBREL_EXPORT int Nimbrel_version(void) {
    return 1;
}

// With null parameters only asks for per-instance initialisation. Otherwise
// creates the instance's volume record in its user-pointer slot, loads the
// volume and captures the coordinate mapping; a failed load keeps what was
// loaded and leaves the mapping zero.
NIMBREL_EXPORT void Nimbrel_init(miState *state, VolumeParams *params,
                                 miBoolean *instance_init_request) {
    if (!params) {
        if (instance_init_request) *instance_init_request = 1;
        return;
    }
    void **slot = user_pointer_slot(state);
    if (!slot) return;
    VolumeData *volume = static_cast<VolumeData *>(NIMBREL_ALLOCATE(sizeof(VolumeData)));
    if (!volume) {
        mi_error("couldn't allocate memory");
        return;
    }
    *slot = volume;

    volume->depth = eval_int(state, &params->slices);
    volume->filetype = eval_int(state, &params->filetype);
    volume->little_endian = eval_int(state, &params->little_endian);
    if (volume->filetype != BMP_SERIES) { // BMP slices take their shape from the files
        volume->width = eval_int(state, &params->width);
        volume->height = eval_int(state, &params->height);
    }
    if (read_slices(state, params, volume)) capture_mapping(state, params, volume);
    plan_volume(volume); // lookups answer from whatever was loaded, also after a failure
}

// With null parameters does nothing. Otherwise releases the instance's volume
// and empties its user-pointer slot.
NIMBREL_EXPORT void Nimbrel_exit(miState *state, VolumeParams *params) {
    if (!params) return;
    void **slot = user_pointer_slot(state);
    if (!slot || !*slot) return;
    release_volume(static_cast<VolumeData *>(*slot));
    *slot = nullptr;
}
