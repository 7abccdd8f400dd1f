// The miner file as found on the device, and a save of what was read: reading the
// saved file back gives the same record and the same pool texts.
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
    miner_pools_as_read texts;
    if (miner_config_load(paths::kMinerConfig, &read, &texts) != 0)
        return 0;

    if (miner_config_save(paths::kMinerConfig, &read, &texts) != 0)
        mismatch("a record that was read cannot be saved: it");
    miner_config again{};
    miner_pools_as_read texts_again;
    if (miner_config_load(paths::kMinerConfig, &again, &texts_again) != 0)
        mismatch("the saved file does not load: it");
    for (size_t i = 0; i < texts.size(); ++i) {
        if (texts_again[i].url != texts[i].url || texts_again[i].user != texts[i].user ||
            texts_again[i].pass != texts[i].pass)
            mismatch("pool text");
    }
    if (!chip_list_fits(read))
        memcpy(again.chip_freq, read.chip_freq, sizeof read.chip_freq);
    if (memcmp(&again, &read, sizeof read) != 0)
        mismatch("record");
    return 0;
}
