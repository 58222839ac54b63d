/* The record a calling shader shares with the Nimbrel volume lookup.
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

#endif
