/* The `filetype` parameter: each file type's code and its facts, in one table.
 *
 * Shared with renderers and tools, like sample_exchange.h: plain C, installed
 * as a public header. The library loads, fetches and normalises by these
 * facts; a tool names the types and sizes its volumes by them. */
#ifndef NIMBREL_FILE_TYPES_H
#define NIMBREL_FILE_TYPES_H

#include <stdint.h>

/* File type codes: the values of the `filetype` parameter. */
enum FileType {
    BMP_SERIES = 0, /* one 24-bit BMP per slice; voxels are blue, green, red bytes */
    U16_SERIES = 1, /* one raw file per slice, unsigned 16-bit samples */
    U12_SERIES = 2, /* as U16_SERIES, normalised by 4095 */
    U8_BLOCK = 3,   /* one raw file for the volume, unsigned 8-bit samples */
    U12_BLOCK = 4,  /* one raw file, unsigned 16-bit samples normalised by 4095 */
    S16_BLOCK = 5,  /* one raw file, signed 16-bit samples normalised by 255 */
    FILE_TYPE_COUNT = 6
};

typedef struct FileTypeFacts {
    const char *name;     /* the tools' name for it */
    int32_t sample_bytes; /* bytes of one channel: 1 (slices8) or 2 (slices16) */
    int32_t channels;     /* 3: blue, green, red; 1: one value */
    int32_t is_signed;    /* two's-complement samples */
    int32_t series;       /* one file per slice; 0: one block file */
    float divisor;        /* the lookup's normalising divisor */
} FileTypeFacts;

static const FileTypeFacts file_type_table[FILE_TYPE_COUNT] = {
    {"bmp-series", 1, 3, 0, 1, 255.0f},  {"u16-series", 2, 1, 0, 1, 65535.0f},
    {"u12-series", 2, 1, 0, 1, 4095.0f}, {"u8-block", 1, 1, 0, 0, 255.0f},
    {"u12-block", 2, 1, 0, 0, 4095.0f},  {"s16-block", 2, 1, 1, 0, 255.0f},
};

/* The facts of file type `code`, or null for a code outside 0..5 (which loads
 * nothing and is never sampled). */
static inline const FileTypeFacts *file_type_facts(int32_t code) {
    return code >= 0 && code < FILE_TYPE_COUNT ? &file_type_table[code] : 0;
}

#endif
