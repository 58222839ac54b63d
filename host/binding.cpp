// Late binding of the renderer's functions: one slot per function, filled by
// name from the renderer's module on first use, emptied when the renderer
// hands over a new module.
#include <atomic>
#include <stdarg.h>
#include <stdio.h>

#include "host/host_api.h"
#include "host/platform.h"

namespace nimbrel {
namespace {

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
// look the name up and store the same address.
struct Binding {
    const char *name;
    std::atomic<void *> address;
};

Binding bindings[SLOT_COUNT] = {
#define NIMBREL_BINDING(name, type, parameters, arguments) {#name, {nullptr}},
    NIMBREL_RENDERER_FUNCTIONS(NIMBREL_BINDING)
#undef NIMBREL_BINDING
};

// Query code that yields the address of the running instance's user-pointer slot.
const int QUERY_USER_POINTER = 51;

std::atomic<void *> module_handle{nullptr};

// Looks the slot's function up in the renderer's module and fills the slot;
// null (after a report on standard error) when the module does not provide
// it. Standard error is the only channel here: the missing function may be
// the renderer's own message function. Kept out of line, so that the wrappers
// below are a load, a test and a jump.
[[gnu::noinline, gnu::cold]] void *bind_slot(Slot slot) {
    Binding &binding = bindings[slot];
    void *module = module_handle.load(std::memory_order_relaxed);
    if (!module) fputs("DYNLOAD: dl_handle null\n", stderr);
    int error = 0;
    const char *detail = nullptr;
    void *address = platform_find_symbol(module, binding.name, &error, &detail);
    if (!address) {
        fprintf(stderr, "dlsym failed on \"%s\" (handle: %08llx error: %d)\n", binding.name,
                static_cast<unsigned long long>(reinterpret_cast<uintptr_t>(module)), error);
        if (detail) fprintf(stderr, "%s\n", detail);
        return nullptr;
    }
    binding.address.store(address, std::memory_order_relaxed);
    return address;
}

// Address of the slot's function, looked up now if the slot is empty.
inline void *bound(Slot slot) {
    void *address = bindings[slot].address.load(std::memory_order_relaxed);
    return address ? address : bind_slot(slot);
}

template <typename Function> Function *bound_as(Slot slot) {
    return reinterpret_cast<Function *>(bound(slot));
}

// Formats into the 1024-byte message buffer (longer texts are cut to 1023
// characters) and hands the text over as the argument of "%s".
void report(Slot slot, const char *format, va_list arguments) {
    mi_error_fn *function = bound_as<mi_error_fn>(slot);
    if (!function) return;
    char text[1024];
    vsnprintf(text, sizeof text, format, arguments);
    function("%s", text);
}

// What a wrapper answers when its function cannot be found.
template <typename T> T nothing() {
    return T();
}

} // namespace

#define NIMBREL_WRAPPER(name, type, parameters, arguments)                                         \
    type name parameters {                                                                         \
        name##_fn *function = bound_as<name##_fn>(SLOT_##name);                                    \
        return function ? function arguments : nothing<type>();                                    \
    }
NIMBREL_PLAIN_FUNCTIONS(NIMBREL_WRAPPER)
#undef NIMBREL_WRAPPER

miBoolean mi_query(int code, miState *state, miTag tag, void *result, ...) {
    mi_query_fn *function = bound_as<mi_query_fn>(SLOT_mi_query);
    if (!function) return 0;
    if (code != 15 && code != 127) return function(code, state, tag, result);
    va_list arguments;
    va_start(arguments, result);
    void *extra = va_arg(arguments, void *);
    va_end(arguments);
    return function(code, state, tag, result, extra);
}

void **query_user_pointer(miState *state) {
    mi_query_fn *function = bound_as<mi_query_fn>(SLOT_mi_query);
    void **slot = nullptr;
    if (function) function(QUERY_USER_POINTER, state, 0, &slot);
    return slot;
}

void mi_error(const char *format, ...) {
    va_list arguments;
    va_start(arguments, format);
    report(SLOT_mi_error, format, arguments);
    va_end(arguments);
}

void mi_info(const char *format, ...) {
    va_list arguments;
    va_start(arguments, format);
    report(SLOT_mi_info, format, arguments);
    va_end(arguments);
}

} // namespace nimbrel

// Stores the renderer's module and empties every slot, so that each function
// is looked up again in that module on its next call. Returns 0.
NIMBREL_EXPORT int miSetModuleHandle(void *handle) {
    nimbrel::module_handle.store(handle, std::memory_order_relaxed);
    for (nimbrel::Binding &binding : nimbrel::bindings)
        binding.address.store(nullptr, std::memory_order_relaxed);
    return 0;
}
