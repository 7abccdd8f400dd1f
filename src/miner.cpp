#include "miner.h"

#include <cstdlib>

#include "agent.h"
#include "common/spawn.h"
#include "config.h"
#include "log.h"

namespace {
void print_goodbye() {
    LOG_INFO("Goodbye!\n");
}
}  // namespace

int miner_init(const char *config_path, const char *server_url) {
    atexit(print_goodbye);
    // A miner left over from an earlier run would hold the API port and the chains.
    // Its result is not looked at: there may be no miner at all.
    (void)run_shell("killall -9 bmminer > /dev/null 2>&1");

    agent_config_set_path(config_path);
    agent_config *cfg = agent_config_get();
    if (config_load(config_path, cfg) != 0)
        return -1;
    LOG_INFO("Api Key: %s\n", cfg->api_key);
    LOG_INFO("Dev Id: %s\n", cfg->dev_id);

    // Next, in this order: the miner configuration watch and mining_start(), each
    // wired here by the module that provides it.

    // Without a usable URL the daemon keeps mining without a link.
    (void)agent_connect(server_url);
    return 0;
}
