#include "host/platform.h"

#if defined(_WIN32)
#include <sys/stat.h>
#include <sys/types.h>
#include <windows.h>
#else
#include <dlfcn.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <unistd.h>
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

static bool is_regular(const struct _stati64 &status) {
    return (status.st_mode & _S_IFMT) == _S_IFREG;
}

// Windows opens no FIFO by a file name, and fopen refuses directories; the
// status of the open descriptor settles the rest.
FILE *platform_open_regular(const char *name, int64_t *size, OpenFailure *failure) {
    struct _stati64 status;
    FILE *stream = fopen(name, "rb");
    if (!stream) {
        const bool exists = _stati64(name, &status) == 0;
        *failure = exists && !is_regular(status) ? OPEN_NOT_REGULAR : OPEN_REFUSED;
        return nullptr;
    }
    if (_fstati64(_fileno(stream), &status) != 0) {
        fclose(stream);
        *failure = OPEN_UNMEASURED;
        return nullptr;
    }
    if (!is_regular(status)) {
        fclose(stream);
        *failure = OPEN_NOT_REGULAR;
        return nullptr;
    }
    *size = status.st_size;
    return stream;
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

// O_NONBLOCK keeps the open of a FIFO from waiting for a writer; it is
// cleared again before the descriptor becomes a stream, so that reads of a
// regular file behave as usual.
FILE *platform_open_regular(const char *name, int64_t *size, OpenFailure *failure) {
    struct stat status;
    const int descriptor = open(name, O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (descriptor < 0) {
        const bool exists = stat(name, &status) == 0;
        *failure = exists && !S_ISREG(status.st_mode) ? OPEN_NOT_REGULAR : OPEN_REFUSED;
        return nullptr;
    }
    *failure = OPEN_REFUSED;
    if (fstat(descriptor, &status) != 0) {
        *failure = OPEN_UNMEASURED;
    } else if (!S_ISREG(status.st_mode)) {
        *failure = OPEN_NOT_REGULAR;
    } else {
        const int flags = fcntl(descriptor, F_GETFL);
        FILE *stream = flags == -1 || fcntl(descriptor, F_SETFL, flags & ~O_NONBLOCK) == -1
                           ? nullptr
                           : fdopen(descriptor, "rb");
        if (stream) {
            *size = static_cast<int64_t>(status.st_size);
            return stream;
        }
    }
    close(descriptor);
    return nullptr;
}

bool platform_seek(FILE *stream, int64_t position) {
    if (position < 0) return false;
    return fseeko(stream, static_cast<off_t>(position), SEEK_SET) == 0;
}

#endif

} // namespace nimbrel
