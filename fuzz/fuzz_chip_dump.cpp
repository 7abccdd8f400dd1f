// The chip hash-rate dump read together with the miner file, for each chain.
// Input: the miner file, a NUL byte, the dump.
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "common/paths.h"
#include "device_root.h"
#include "norix/miner_support/stats.h"

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
    enter_device_root();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    std::string_view input(reinterpret_cast<const char *>(data), size);
    const size_t split = input.find('\0');
    put_file(paths::kMinerConfig, input.substr(0, split));
    put_file(paths::kChipHashrates,
             split == std::string_view::npos ? std::string_view{} : input.substr(split + 1));
    for (uint32_t chain = 6; chain <= 8; ++chain) {
        auto stats = cgminer_chips_stats(chain);
        if (!stats)
            continue;  // no usable miner file
        for (uint32_t i = 0; i < kMinerChainChips; ++i) {
            const chip_stats &chip = stats->chips[i];
            if (stats->chain != chain || chip.id != i + 1 || chip.state > CHIP_STATE_UNSTABLE ||
                (chip.hashrate == 0) != (chip.state == CHIP_STATE_UNKNOWN))
                abort();
        }
    }
    return 0;
}
