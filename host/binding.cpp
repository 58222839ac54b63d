// Late binding of the renderer's functions: one slot per function, filled by
// name from the renderer's module on first use, emptied when the renderer
// hands over a new module.
#include <atomic>
#include <stdarg.h>
#include <stdio.h>

#include "host/host_api.h"
#include "host/platform.h"

namespace nimbrel {

Binding bindings[SLOT_COUNT] = {
#define NIMBREL_BINDING(name, type, parameters, arguments) {#name, nullptr},
    NIMBREL_RENDERER_FUNCTIONS(NIMBREL_BINDING)
#undef NIMBREL_BINDING
};

namespace {
std::atomic<void *> module_handle{nullptr};
} // namespace

// Standard error is the only channel here: the missing function may be the
// renderer's own message function. Kept out of line and cold, so that the
// wrappers are a load, a test and the call.
[[gnu::noinline]] void *bind_slot(Slot slot) {
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
    __atomic_store_n(&binding.address, address, __ATOMIC_RELAXED);
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
        __atomic_store_n(&binding.address, nullptr, __ATOMIC_RELAXED);
    return 0;
}
