// What the fuzz targets share: one stand-in renderer per process with the
// library loaded, a scratch folder, the life cycle of one instance with the
// checks that must hold after every input, and an abort on any violation.
//
// Each target defines LLVMFuzzerTestOneInput. Built with NIMBREL_FUZZ it is a
// libFuzzer program; otherwise replay_main.cpp runs the files it is given.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "renderer/standin.h"
#include "tests/support/reference.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size);
extern "C" int LLVMFuzzerInitialize(int *argc, char ***argv);

namespace fuzz {

// Prints `what` and aborts when `ok` is false: the fuzzer keeps the input.
void check(bool ok, const char *what);
#define FUZZ_CHECK(condition) ::fuzz::check((condition), #condition " (" __FILE__ ")")

// The process's renderer, loaded with the library on first use; its message
// log is kept quiet.
standin::Renderer &renderer();

// This process's scratch folder (/tmp/nimbrel-fuzz-<pid>, no '.' in it, so
// the running number of a series is the file name's), removed at exit.
const std::string &scratch();

void write_bytes(const std::string &path, const uint8_t *data, size_t size);
void remove_file(const std::string &path);

// Reads a little-endian value from the input; zero past its end.
struct Reader {
    const uint8_t *data;
    size_t size;
    size_t at = 0;
    uint8_t byte();
    uint32_t u32();
    float f32();
    size_t left() const { return size - at; }
};

// Initialises `instance` (its `coord` follows the current point) with a fresh
// shading state and checks what must hold however the load went: the name
// text restored byte for byte, the current point restored, the name reported
// once, and exactly one error exactly when the mapping handed to lookups was
// not captured. Returns true when the load finished.
bool init_and_check(standin::Instance &instance);

// What a target knows of the volume an instance holds: its shape, file type,
// byte order and slices, as the reference sees them. A load that failed part
// way leaves the values (and for BMP the shape) unknown to the target.
struct Model {
    reference::Volume volume;
    bool shape_known = true;
    bool values_known = true;
    bool loaded = true; // the mapping was captured: identity, else zero
};

// One lookup at `point`, through a record with guard bytes around it (or
// none), checking what every lookup must keep: the return value 1, the
// alpha and the caller's own bytes untouched, an edge code 0..6, the mapping
// copied; where the model knows the shape, the edge code, frac written only
// inside the grid and black outside it; where it knows the values, the colour.
struct Lookup {
    miVector point;
    int32_t interpolation;
    bool with_exchange;
    int32_t force_offset;
    float offset[3];
    int32_t stencil;
};
miColor lookup_and_check(standin::Instance &instance, standin::State &state, const Lookup &lookup,
                         const Model &model);

// A few lookups in every mode (and an unknown one), inside, on the faces,
// outside, with and without the exchange record.
void sweep_lookups(standin::Instance &instance, standin::State &state, const Model &model);

// Every voxel of the model, read with OFFSET lookups from the grid's origin,
// is the model's (the model's shape at least one voxel on every axis).
void check_every_voxel(standin::Instance &instance, standin::State &state, const Model &model);

// Exit, then: the user-pointer slot empty and no block of the renderer's
// allocator live.
void exit_and_check(standin::Instance &instance, standin::State &state);

} // namespace fuzz
