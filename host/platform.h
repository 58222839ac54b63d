// The small layer between the library and the operating system: looking up a
// symbol in a module, and opening, measuring and positioning volume files.
#pragma once

#include <stdint.h>
#include <stdio.h>

namespace nimbrel {

// Address of `name` in `module`, or null. A null module is never searched
// (on Linux that would search the whole process). On failure *error holds the
// system's error number (0 where there is none) and *detail a text or null.
void *platform_find_symbol(void *module, const char *name, int *error, const char **detail);

// Why platform_open_regular returned no stream.
enum OpenFailure {
    OPEN_REFUSED = 1, // the file cannot be opened for reading (missing, no permission, ...)
    OPEN_NOT_REGULAR, // a directory, device, FIFO, ...
    OPEN_UNMEASURED,  // opened, but its size cannot be had
};

// Opens `name` for binary reading and measures it, both through the one open
// descriptor: a file swapped for a FIFO after a check by name can neither
// block the caller nor be read. Where the platform allows, the open itself
// does not wait for a FIFO's writer. Null, with *failure set, unless `name` is
// a regular file that could be opened; a file that cannot be opened and exists
// as something else than a regular file counts as not regular.
FILE *platform_open_regular(const char *name, int64_t *size, OpenFailure *failure);

// Moves to an absolute 64-bit byte position; false when refused.
bool platform_seek(FILE *stream, int64_t position);

} // namespace nimbrel
