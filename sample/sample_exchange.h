/* The record a calling shader shares with the Nimbrel volume lookup, and the
 * codes of the `filetype` parameter with their facts.
 *
 * The calling shader owns it, points the shading state's exchange pointer at
 * it, and calls the lookup. The lookup reads force_offset, offset and stencil,
 * and writes frac (when the position is inside the grid), edge and matrix. It
 * touches nothing before byte 28 or past byte 127. Byte offsets are the
 * interface and hold on every build; the fields are in native byte order. */
#ifndef NIMBREL_SAMPLE_EXCHANGE_H
#define NIMBREL_SAMPLE_EXCHANGE_H

#include <stddef.h>
#include <stdint.h>

/* Edge codes: the first face of the grid the position lies near. */
enum {
    EDGE_NONE = 0,
    EDGE_X_LOW = 1,  /* x < m + 1 */
    EDGE_X_HIGH = 2, /* x not <= width - 2 - m */
    EDGE_Y_LOW = 3,
    EDGE_Y_HIGH = 4,
    EDGE_Z_LOW = 5,
    EDGE_Z_HIGH = 6
};

/* stencil values that widen the edge margin m (any other value: m = 0) */
enum { STENCIL_MARGIN_1 = 4, STENCIL_MARGIN_2 = 5 };

typedef struct SampleExchange {
    char caller_owned[28]; /*  0  the calling shader's own, never touched */
    int32_t force_offset;  /* 28  exactly 1: OFFSET mode whatever interpolation says */
    float offset[3];       /* 32  voxels added to the floor of the position in OFFSET mode */
    float frac[3];         /* 44  fractional position; written when inside the grid */
    int32_t edge;          /* 56  EDGE_* code; written on every call */
    int32_t stencil;       /* 60  4: margin 1, 5: margin 2 */
    float matrix[16];      /* 64  the instance's coordinate mapping, row * 4 + column */
} SampleExchange;

#ifdef __cplusplus
#define NIMBREL_STATIC_ASSERT static_assert
#else
#define NIMBREL_STATIC_ASSERT _Static_assert
#endif
NIMBREL_STATIC_ASSERT(offsetof(SampleExchange, force_offset) == 28, "SampleExchange layout");
NIMBREL_STATIC_ASSERT(offsetof(SampleExchange, offset) == 32, "SampleExchange layout");
NIMBREL_STATIC_ASSERT(offsetof(SampleExchange, frac) == 44, "SampleExchange layout");
NIMBREL_STATIC_ASSERT(offsetof(SampleExchange, edge) == 56, "SampleExchange layout");
NIMBREL_STATIC_ASSERT(offsetof(SampleExchange, stencil) == 60, "SampleExchange layout");
NIMBREL_STATIC_ASSERT(offsetof(SampleExchange, matrix) == 64, "SampleExchange layout");
NIMBREL_STATIC_ASSERT(sizeof(SampleExchange) == 128, "SampleExchange layout");
#undef NIMBREL_STATIC_ASSERT

/* ---- The `filetype` parameter: each file type's code and its facts, in one
 * table. The library loads, fetches and normalises by these facts; a tool names
 * the types and sizes its volumes by them. */
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
