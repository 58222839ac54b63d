// Late binding of the renderer's functions: one slot per function, filled by
// name from the renderer's module on first use, emptied when the renderer
// hands over a new module.
#include <stdarg.h>
#include <stdio.h>

#include "host/host_api.h"
#include "host/platform.h"

namespace nimbrel {

// Slots are filled without a lock: two threads that race on a first call both
// look the name up and store the same address.
Binding bindings[SLOT_COUNT] = {
    {"mi_phen_eval", {nullptr}},
    {"mi_flush_cache", {nullptr}},
    {"mi_mem_int_allocate", {nullptr}},
    {"mi_mem_int_release", {nullptr}},
    {"mi_query", {nullptr}},
    {"mi_matrix_ident", {nullptr}},
    {"mi_error", {nullptr}},
    {"mi_info", {nullptr}},
    {"mi_db_access", {nullptr}},
};

namespace {
std::atomic<void *> module_handle{nullptr};
} // namespace

// Standard error is the only channel here: the missing function may be the
// renderer's own message function.
void *bind_slot(Slot slot) {
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

namespace {

// Formats into the 1024-byte message buffer (longer texts are cut to 1023
// characters) and hands the text over as the argument of "%s".
void report(Slot slot, const char *format, va_list arguments) {
    mi_error_fn *function = bound_as<mi_error_fn>(slot);
    if (!function) return;
    char text[1024];
    vsnprintf(text, sizeof text, format, arguments);
    function("%s", text);
}

} // namespace

void *mi_mem_int_allocate(const char *file, int line, int size) {
    mi_mem_int_allocate_fn *function = bound_as<mi_mem_int_allocate_fn>(SLOT_ALLOCATE);
    return function ? function(file, line, size) : nullptr;
}

void mi_mem_int_release(const char *file, int line, void *block) {
    if (mi_mem_int_release_fn *function = bound_as<mi_mem_int_release_fn>(SLOT_RELEASE))
        function(file, line, block);
}

miBoolean mi_query(int code, miState *state, miTag tag, void *result, ...) {
    mi_query_fn *function = bound_as<mi_query_fn>(SLOT_QUERY);
    if (!function) return 0;
    if (code != 15 && code != 127) return function(code, state, tag, result);
    va_list arguments;
    va_start(arguments, result);
    void *extra = va_arg(arguments, void *);
    va_end(arguments);
    return function(code, state, tag, result, extra);
}

void mi_matrix_ident(float *matrix) {
    if (mi_matrix_ident_fn *function = bound_as<mi_matrix_ident_fn>(SLOT_MATRIX_IDENT))
        function(matrix);
}

void mi_error(const char *format, ...) {
    va_list arguments;
    va_start(arguments, format);
    report(SLOT_ERROR, format, arguments);
    va_end(arguments);
}

void mi_info(const char *format, ...) {
    va_list arguments;
    va_start(arguments, format);
    report(SLOT_INFO, format, arguments);
    va_end(arguments);
}

void *mi_db_access(miTag tag) {
    mi_db_access_fn *function = bound_as<mi_db_access_fn>(SLOT_DB_ACCESS);
    return function ? function(tag) : nullptr;
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
