/* A calling shader's use of the shared record, compiled as C. The header's
 * own layout checks run with this compiler. */
#include <string.h>

#include "sample_exchange.h"

_Static_assert(sizeof(SampleExchange) == 128, "SampleExchange as a C caller sees it");

/* Asks for an offset lookup one voxel along x with a one-voxel border. */
void calling_shader_prepare(SampleExchange *exchange) {
    memset(exchange, 0, sizeof *exchange);
    exchange->force_offset = 1;
    exchange->offset[0] = 1.0f;
    exchange->stencil = STENCIL_MARGIN_1;
}

/* True when the last lookup's position lay near no face of the grid. */
int calling_shader_inside(const SampleExchange *exchange) { return exchange->edge == EDGE_NONE; }

/* The divisor a lookup of `filetype` normalises by, or 0 for a type that loads nothing. */
float calling_shader_divisor(int filetype) {
    const FileTypeFacts *facts = file_type_facts(filetype);
    return facts ? facts->divisor : 0.0f;
}
