// The renderer's side of the shader interface: its types, the members of the
// shading state that Nimbrel uses, and the wrappers through which the library
// calls the renderer's functions (bound by name on first use, see binding.cpp).
#pragma once

#include <stddef.h>
#include <stdint.h>

// ---- Renderer types -------------------------------------------------------

typedef int miBoolean; // 1 is true
typedef uint32_t miTag;

struct miVector {
    float x, y, z;
};

struct miColor {
    float r, g, b, a;
};

typedef float miMatrix[16];

static_assert(sizeof(miBoolean) == 4, "miBoolean is a 32-bit int");
static_assert(sizeof(miVector) == 12, "miVector is three floats");
static_assert(sizeof(miColor) == 16, "miColor is four floats");

// Record of the shader that is running, as the renderer keeps it. Only the
// connection offset is read: when non-zero, the 32-bit word that lies that
// many bytes past a parameter's address tells whether it is connected.
struct miShaderRecord {
    char renderer_owned[96];   //  0  not touched
    int32_t connection_offset; // 96  bytes from a parameter to its connection word
};
static_assert(offsetof(miShaderRecord, connection_offset) == 96, "miShaderRecord layout");

// The shading state. The library reads and writes only the three named
// members; the rest belongs to the renderer. The layout is the renderer's
// binary interface: the point lies at byte 168 and the running shader at byte
// 256 on every build, the exchange pointer at 268 with 4-byte pointers and at
// 272 with 8-byte pointers (8-aligned).
struct miState {
    char renderer_owned0[168];
    miVector point; // 168  current point
    char renderer_owned1[256 - 180];
    miShaderRecord *shader; // 256  running shader's record
#if UINTPTR_MAX == 0xffffffffu
    char renderer_owned2[268 - 260];
#else
    char renderer_owned2[272 - 264];
#endif
    void *exchange; // 268 / 272  the calling shader's SampleExchange
    char renderer_owned3[16];
};
static_assert(offsetof(miState, point) == 168, "miState layout: point");
static_assert(offsetof(miState, shader) == 256, "miState layout: shader");
static_assert(offsetof(miState, exchange) == (sizeof(void *) == 4 ? 268 : 272),
              "miState layout: exchange");

// ---- Renderer functions, as the library calls them ------------------------

// Signatures of the renderer's functions, exactly as they are looked up.
extern "C" {
typedef void *mi_phen_eval_fn(miState *state, void *param);
typedef void mi_flush_cache_fn(miState *state);
typedef void *mi_mem_int_allocate_fn(const char *file, int line, int size);
typedef void mi_mem_int_release_fn(const char *file, int line, void *block);
typedef miBoolean mi_query_fn(int code, miState *state, miTag tag, void *result, ...);
typedef void mi_matrix_ident_fn(float *matrix);
typedef void mi_error_fn(const char *format, ...);
typedef void mi_info_fn(const char *format, ...);
typedef void *mi_db_access_fn(miTag tag);
}

namespace nimbrel {

// The renderer's functions, in slot order: name, return type, parameters,
// arguments. The slots, the names looked up and the wrappers all come from
// this one list; the three variadic functions get hand-written wrappers.
#define NIMBREL_PLAIN_FUNCTIONS(X)                                                                 \
    X(mi_phen_eval, void *, (miState * state, void *param), (state, param))                        \
    X(mi_flush_cache, void, (miState * state), (state))                                            \
    X(mi_mem_int_allocate, void *, (const char *file, int line, int size), (file, line, size))     \
    X(mi_mem_int_release, void, (const char *file, int line, void *block), (file, line, block))    \
    X(mi_matrix_ident, void, (float *matrix), (matrix))                                            \
    X(mi_db_access, void *, (miTag tag), (tag))
#define NIMBREL_RENDERER_FUNCTIONS(X)                                                              \
    NIMBREL_PLAIN_FUNCTIONS(X)                                                                     \
    X(mi_query, miBoolean, (int code, miState *state, miTag tag, void *result, ...), ())           \
    X(mi_error, void, (const char *format, ...), ())                                               \
    X(mi_info, void, (const char *format, ...), ())

enum Slot {
#define NIMBREL_SLOT(name, type, parameters, arguments) SLOT_##name,
    NIMBREL_RENDERER_FUNCTIONS(NIMBREL_SLOT)
#undef NIMBREL_SLOT
        SLOT_COUNT
};

// Slots are filled without a lock: two threads that race on a first call both
// look the name up and store the same address (binding.cpp). The address is
// read and written with relaxed atomic operations.
struct Binding {
    const char *name;
    void *address;
};
#if defined(__GNUC__) && !defined(_WIN32)
// Hidden, so that the wrappers load a slot directly instead of through the
// global offset table.
extern __attribute__((visibility("hidden"))) Binding bindings[SLOT_COUNT];
#else
extern Binding bindings[SLOT_COUNT];
#endif

// Looks the slot's function up in the renderer's module and fills the slot;
// null (after a report on standard error) when the module does not provide it.
[[gnu::cold]] void *bind_slot(Slot slot);

// The slot's address as it is now: null before the first lookup.
inline void *slot_address(Slot slot) {
    return __atomic_load_n(&bindings[slot].address, __ATOMIC_RELAXED);
}

// The slot's function, looked up now if the slot is empty; null when the
// renderer does not provide it.
template <typename Function> inline Function *bound_as(Slot slot) {
    void *address = slot_address(slot);
    return reinterpret_cast<Function *>(address ? address : bind_slot(slot));
}

// What a wrapper answers when its function cannot be found.
template <typename T> inline T nothing() {
    return T();
}

// Each wrapper looks its function up on first use. When the function cannot
// be found it reports on standard error and returns the zero value of its
// type (null, false, or nothing), so every caller must cope with that. Once
// bound, a wrapper is a load, a test and the renderer's call (the lookup
// calls two of them on every sample).
#define NIMBREL_WRAPPER(name, type, parameters, arguments)                                         \
    inline type name parameters {                                                                  \
        name##_fn *function = reinterpret_cast<name##_fn *>(slot_address(SLOT_##name));            \
        if (__builtin_expect(!function, 0)) {                                                      \
            function = bound_as<name##_fn>(SLOT_##name);                                           \
            if (!function) return nothing<type>();                                                 \
        }                                                                                          \
        return function arguments;                                                                 \
    }
NIMBREL_PLAIN_FUNCTIONS(NIMBREL_WRAPPER)
#undef NIMBREL_WRAPPER

// Query code that yields the address of the running instance's user-pointer slot.
const int QUERY_USER_POINTER = 51;

// The running instance's user-pointer slot: mi_query with the user-pointer
// query code, tag 0 and the address of a pointer, without the variable
// argument list. Null when the renderer gives none. The one way to the slot.
inline void **query_user_pointer(miState *state) {
    mi_query_fn *function = reinterpret_cast<mi_query_fn *>(slot_address(SLOT_mi_query));
    if (__builtin_expect(!function, 0)) {
        function = bound_as<mi_query_fn>(SLOT_mi_query);
        if (!function) return nullptr;
    }
    void **slot = nullptr;
    function(QUERY_USER_POINTER, state, 0, &slot);
    return slot;
}

// Passes the fifth argument on for codes 15 and 127 only.
miBoolean mi_query(int code, miState *state, miTag tag, void *result, ...);
// printf-style; the finished text (cut to 1023 characters) reaches the
// renderer as the argument of a "%s" format, never as a format itself.
void mi_error(const char *format, ...)
#if defined(__GNUC__)
    __attribute__((format(printf, 1, 2)))
#endif
    ;
void mi_info(const char *format, ...)
#if defined(__GNUC__)
    __attribute__((format(printf, 1, 2)))
#endif
    ;

} // namespace nimbrel

// Allocation with this source position, for the renderer's diagnostics.
#define NIMBREL_ALLOCATE(size) nimbrel::mi_mem_int_allocate(__FILE__, __LINE__, (size))
#define NIMBREL_RELEASE(block) nimbrel::mi_mem_int_release(__FILE__, __LINE__, (block))

// Exported entry points carry this mark; everything else is hidden.
#if defined(_WIN32)
#define NIMBREL_EXPORT extern "C" __declspec(dllexport)
#else
#define NIMBREL_EXPORT extern "C" __attribute__((visibility("default")))
#endif

NIMBREL_EXPORT int miSetModuleHandle(void *handle);
