// The small layer between the library and the operating system: looking up a
// symbol in a module, and the status and 64-bit positioning of files.
#pragma once

#include <stdint.h>
#include <stdio.h>

namespace nimbrel {

// Address of `name` in `module`, or null. A null module is never searched
// (on Linux that would search the whole process). On failure *error holds the
// system's error number (0 where there is none) and *detail a text or null.
void *platform_find_symbol(void *module, const char *name, int *error, const char **detail);

struct FileStatus {
    bool known;   // the file system answered
    bool regular; // a regular file (not a directory, device, FIFO, ...)
    int64_t size; // bytes, when known
};

// Status of the file `name` without opening it; `known` is false when the file
// system cannot tell (for example, the file does not exist).
FileStatus platform_file_status(const char *name);

// Size of an open stream in bytes, or -1. Leaves the position undefined.
int64_t platform_stream_size(FILE *stream);

// Moves to an absolute 64-bit byte position; false when refused.
bool platform_seek(FILE *stream, int64_t position);

} // namespace nimbrel
