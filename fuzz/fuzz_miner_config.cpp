// The miner file as found on the device, and a save of what was read: reading the
// saved file back gives the same record (pool texts whole), or the save is refused
// when a pool text was too long to keep.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string_view>

#include "common/paths.h"
#include "device_root.h"
#include "norix/miner_config.h"

namespace {

// The list's text on the device is held to 1023 characters; a record whose list
// is longer cannot come back whole, by design.
bool chip_list_fits(const miner_config &cfg) {
    size_t len = 0;
    for (const auto &chain : cfg.chip_freq) {
        for (uint16_t freq : chain)
            len += static_cast<size_t>(snprintf(nullptr, 0, "%u:", freq));
    }
    return len - 1 <= 1023;
}

[[noreturn]] void mismatch(const char *what) {
    fprintf(stderr, "miner file round trip: %s differs\n", what);
    abort();
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
    enter_device_root();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    put_file(paths::kMinerConfig, std::string_view(reinterpret_cast<const char *>(data), size));
    miner_config read{};
    if (miner_config_load(paths::kMinerConfig, &read) != 0)
        return 0;

    bool cut = false;
    for (int i = 0; i < read.pool_count; ++i)
        cut |= read.pools[i].cut;
    if ((miner_config_save(paths::kMinerConfig, &read) != 0) != cut)
        mismatch("the save's result (refused exactly when a pool text was cut)");
    if (cut)
        return 0;
    miner_config again{};
    if (miner_config_load(paths::kMinerConfig, &again) != 0)
        mismatch("the saved file does not load: it");
    if (!chip_list_fits(read))
        memcpy(again.chip_freq, read.chip_freq, sizeof read.chip_freq);
    if (memcmp(&again, &read, sizeof read) != 0)
        mismatch("record");
    return 0;
}
