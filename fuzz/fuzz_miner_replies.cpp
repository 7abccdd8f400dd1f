// The miner's "stats" and "pools" replies as they come off the API socket, into the
// records the reports are built from.
#include <cstdint>
#include <cstdlib>
#include <string>

#include "cgminer_api.h"
#include "norix/miner_support/stats.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    // The socket reader hands over NUL-terminated text.
    const std::string text(reinterpret_cast<const char *>(data), size);
    json_ptr reply = cgminer_api_parse_reply(text.c_str());
    if (!reply)
        return 0;
    if (auto stats = miner_stats_from_reply(reply.get())) {
        if (stats->chain_count < 0 || stats->chain_count > kStatsChainSlots ||
            stats->fan_count < 0 || stats->fan_count > kStatsMaxFans)
            abort();
        for (int i = 0; i < stats->chain_count; ++i) {
            if (stats->chains[i].id < 1 || stats->chains[i].id > kStatsChainSlots)
                abort();
        }
    }
    if (auto pools = pools_stats_from_reply(reply.get())) {
        if (pools->svc_fee_count > kStatsMaxSvcFeePools)
            abort();
    }
    return 0;
}
