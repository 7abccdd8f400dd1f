// One line from the miner's event pipe.
#include <cstdint>

#include "detached_link.h"
#include "events.h"

namespace {
DetachedLink *captured;
}

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
    captured = new DetachedLink;
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    int rc = handle_miner_event_bytes(reinterpret_cast<const char *>(data), size);
    // A handled line with a known reason is one "event" message; a refused one none.
    if (captured->take_sendable("event") > (rc == 0 ? 1u : 0u))
        abort();
    return 0;
}
