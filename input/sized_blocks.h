// Blocks from the renderer's allocator whose size is a product of two counts,
// checked before anything is asked for.
#pragma once

#include <limits.h>
#include <stdint.h>

#include "host/host_api.h"

namespace nimbrel {

// count * item_bytes, or -1 when either is negative or the product does not fit an int.
inline int32_t size_product(int32_t count, int32_t item_bytes) {
    if (count < 0 || item_bytes < 0) return -1;
    if (item_bytes > 0 && count > INT_MAX / item_bytes) return -1;
    return count * item_bytes;
}

// A zero-filled block of count * item_bytes bytes from the renderer's
// allocator, or null after "couldn't allocate memory" when the product does
// not fit an int or the allocator refuses. A request of 0 bytes may yield
// null without a message.
inline void *allocate_items(int32_t count, int32_t item_bytes) {
    const int32_t bytes = size_product(count, item_bytes);
    void *block = bytes < 0 ? nullptr : NIMBREL_ALLOCATE(bytes);
    if (!block && bytes != 0) mi_error("couldn't allocate memory");
    return block;
}

} // namespace nimbrel
