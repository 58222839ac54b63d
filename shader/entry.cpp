// The shader's life cycle: version, instance initialisation and exit.
#include "input/volume_input.h"
#include "shader/volume_records.h"

using namespace nimbrel;

namespace {

// Releases every slice of the file type's table, both tables and the record.
// Null entries (slices never loaded) and null tables are skipped by the
// allocator; a file type outside 0..5 has no slices.
void release_volume(VolumeData *volume) {
    const FileTypeFacts *facts = file_type_facts(volume->filetype);
    void **slices = nullptr;
    if (facts)
        slices = facts->sample_bytes == 1 ? reinterpret_cast<void **>(volume->slices8)
                                          : reinterpret_cast<void **>(volume->slices16);
    for (int i = 0; slices && i < volume->depth; ++i) {
        NIMBREL_RELEASE(slices[i]);
        slices[i] = nullptr;
    }
    NIMBREL_RELEASE(volume->slices16);
    volume->slices16 = nullptr;
    NIMBREL_RELEASE(volume->slices8);
    volume->slices8 = nullptr;
    NIMBREL_RELEASE(volume);
}

// Loads the slices that `filename` names into `volume`, whose shape and type
// are set. True when the load finished; false after one message, with what
// was loaded kept in the record.
bool load_volume_slices(miState *state, const VolumeParams *params, VolumeData *volume) {
    const miTag tag = eval_tag(state, &params->filename);
    char *name = tag ? static_cast<char *>(mi_db_access(tag)) : nullptr;
    if (!name) {
        mi_error("no file name given");
        return false;
    }
    // The file type's facts say how its slices lie on disk and which table
    // holds them; an unknown type loads nothing.
    const FileTypeFacts *facts = file_type_facts(volume->filetype);
    SliceSource source = {name, LAYOUT_NONE, 0, volume->width, volume->height, volume->depth};
    if (facts) {
        source.layout = facts->channels == 3 ? LAYOUT_BMP_SERIES
                        : facts->series      ? LAYOUT_RAW_SERIES
                                             : LAYOUT_RAW_BLOCK;
        source.sample_bytes = facts->sample_bytes;
    }
    LoadedSlices loaded = {};
    const bool complete = load_slices(&source, &loaded);
    if (facts && facts->sample_bytes == 1)
        volume->slices8 = reinterpret_cast<uint8_t **>(loaded.slices);
    else
        volume->slices16 = reinterpret_cast<uint16_t **>(loaded.slices);
    if (source.layout == LAYOUT_BMP_SERIES) { // the shape of the files, whatever the outcome
        volume->width = loaded.width;
        volume->height = loaded.height;
    }
    return complete;
}

} // namespace

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
    void **slot = query_user_pointer(state);
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
    const bool loaded = load_volume_slices(state, params, volume);
    // Before the capture, which evaluates `coord`: a connected shader may
    // look the instance up. After a failed load the lookup answers from
    // whatever was loaded.
    prepare_lookup(volume);
    if (loaded) capture_mapping(state, params, volume);
}

// With null parameters does nothing. Otherwise releases the instance's volume
// and empties its user-pointer slot.
NIMBREL_EXPORT void Nimbrel_exit(miState *state, VolumeParams *params) {
    if (!params) return;
    void **slot = query_user_pointer(state);
    if (!slot || !*slot) return;
    release_volume(static_cast<VolumeData *>(*slot));
    *slot = nullptr;
}
