/* A calling shader written in C includes the record's header and nothing else. */
#include "sample/sample_exchange.h"

/* The layout as a C compiler sees it: size, then the offsets of force_offset,
 * offset, frac, edge, stencil and matrix. */
void sample_exchange_layout_in_c(size_t layout[7]) {
    layout[0] = sizeof(SampleExchange);
    layout[1] = offsetof(SampleExchange, force_offset);
    layout[2] = offsetof(SampleExchange, offset);
    layout[3] = offsetof(SampleExchange, frac);
    layout[4] = offsetof(SampleExchange, edge);
    layout[5] = offsetof(SampleExchange, stencil);
    layout[6] = offsetof(SampleExchange, matrix);
}
