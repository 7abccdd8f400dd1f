#include "miner.h"

#include <unistd.h>

#include <cstdlib>
#include <ctime>

#include "config.h"
#include "log.h"

namespace {
void print_goodbye() {
    LOG_INFO("Goodbye!\n");
}
}  // namespace

int miner_init(const char *config_path, const char *server_url) {
    (void)server_url;  // used by the server link once it is wired in
    srand(static_cast<unsigned>(time(nullptr) + getpid()));
    atexit(print_goodbye);
    // A miner left over from an earlier run would hold the API port and the chains.
    if (system("killall -9 bmminer > /dev/null 2>&1") == -1) {
        // the result is not looked at: there may be no miner at all
    }

    agent_config_set_path(config_path);
    agent_config *cfg = agent_config_get();
    if (config_load(config_path, cfg) != 0)
        return -1;
    LOG_INFO("Api Key: %s\n", cfg->api_key);
    LOG_INFO("Dev Id: %s\n", cfg->dev_id);

    // Next, in this order: the miner configuration watch, mining_start() and
    // agent_connect(server_url). Each is wired here by the module that provides it.
    return 0;
}
