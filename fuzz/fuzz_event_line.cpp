// One line from the miner's event pipe.
#include <cstdint>

#include "captured_link.h"
#include "events.h"

namespace {
CapturedLink *captured;
}

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
    captured = new CapturedLink;
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    int rc = handle_miner_event_bytes(reinterpret_cast<const char *>(data), size);
    // A handled line with a known reason is one "event" message; a refused one none.
    if (captured->drain("event") > (rc == 0 ? 1 : 0))
        abort();
    return 0;
}
