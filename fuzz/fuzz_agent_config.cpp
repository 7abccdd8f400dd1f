// The agent's own file: loaded (and completed when it has no device identifier),
// then loaded again, which must give the same record and write nothing new.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string_view>

#include "common/paths.h"
#include "config.h"
#include "device_root.h"

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
    enter_device_root();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    put_file(paths::kAgentConfig, std::string_view(reinterpret_cast<const char *>(data), size));
    put_file(paths::kNetworkConfig, "hostname=antMiner\ndhcp=true\n");
    agent_config first{};
    if (config_load(paths::kAgentConfig, &first) != 0)
        return 0;
    if (strnlen(first.api_key, sizeof first.api_key) == sizeof first.api_key ||
        strnlen(first.dev_id, sizeof first.dev_id) == sizeof first.dev_id ||
        is_factory_config(&first))
        abort();
    agent_config second{};
    if (config_load(paths::kAgentConfig, &second) != 0 ||
        memcmp(&first, &second, sizeof first) != 0)
        abort();
    return 0;
}
