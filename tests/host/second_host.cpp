// A second module that provides the renderer's functions, so that a test can
// hand the library another module and see every function looked up there.
// It counts calls and gives no user-pointer slot.
#include <cstdarg>
#include <cstdlib>

#include "host/host_api.h"

#if defined(_WIN32)
#define SECOND_EXPORT extern "C" __declspec(dllexport)
#else
#define SECOND_EXPORT extern "C" __attribute__((visibility("default")))
#endif

static int calls = 0;

SECOND_EXPORT int second_host_calls() {
    return calls;
}
SECOND_EXPORT void *mi_phen_eval(miState *, void *) {
    return ++calls, nullptr;
}
SECOND_EXPORT void mi_flush_cache(miState *) {
    ++calls;
}
SECOND_EXPORT void *mi_mem_int_allocate(const char *, int, int size) {
    return ++calls, calloc(1, size);
}
SECOND_EXPORT void mi_mem_int_release(const char *, int, void *block) {
    ++calls, free(block);
}
SECOND_EXPORT miBoolean mi_query(int, miState *, miTag, void *, ...) {
    return ++calls, 0;
}
SECOND_EXPORT void mi_matrix_ident(float *) {
    ++calls;
}
SECOND_EXPORT void mi_error(const char *, ...) {
    ++calls;
}
SECOND_EXPORT void mi_info(const char *, ...) {
    ++calls;
}
SECOND_EXPORT void *mi_db_access(miTag) {
    return ++calls, nullptr;
}
