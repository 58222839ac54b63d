#include "host/platform.h"

#if defined(_WIN32)
#include <sys/stat.h>
#include <sys/types.h>
#include <windows.h>
#else
#include <dlfcn.h>
#include <sys/stat.h>
#include <sys/types.h>
#endif

namespace nimbrel {

#if defined(_WIN32)

void *platform_find_symbol(void *module, const char *name, int *error, const char **detail) {
    *detail = nullptr;
    if (!module) {
        *error = ERROR_INVALID_HANDLE;
        return nullptr;
    }
    FARPROC address = GetProcAddress(static_cast<HMODULE>(module), name);
    *error = address ? 0 : static_cast<int>(GetLastError());
    return reinterpret_cast<void *>(address);
}

FileStatus platform_file_status(const char *name) {
    struct _stati64 status;
    if (_stati64(name, &status) != 0) return FileStatus{false, false, 0};
    return FileStatus{true, (status.st_mode & _S_IFMT) == _S_IFREG, status.st_size};
}

int64_t platform_stream_size(FILE *stream) {
    if (_fseeki64(stream, 0, SEEK_END) != 0) return -1;
    return _ftelli64(stream);
}

bool platform_seek(FILE *stream, int64_t position) {
    return _fseeki64(stream, position, SEEK_SET) == 0;
}

#else

void *platform_find_symbol(void *module, const char *name, int *error, const char **detail) {
    *error = 0; // dlsym sets no error number
    *detail = nullptr;
    if (!module) return nullptr;
    dlerror();
    void *address = dlsym(module, name);
    if (!address) *detail = dlerror();
    return address;
}

FileStatus platform_file_status(const char *name) {
    struct stat status;
    if (stat(name, &status) != 0) return FileStatus{false, false, 0};
    return FileStatus{true, S_ISREG(status.st_mode), static_cast<int64_t>(status.st_size)};
}

int64_t platform_stream_size(FILE *stream) {
    if (fseeko(stream, 0, SEEK_END) != 0) return -1;
    return static_cast<int64_t>(ftello(stream));
}

bool platform_seek(FILE *stream, int64_t position) {
    if (position < 0) return false;
    return fseeko(stream, static_cast<off_t>(position), SEEK_SET) == 0;
}

#endif

} // namespace nimbrel
