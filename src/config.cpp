#include "config.h"

#include <cassert>
#include <cstdlib>
#include <cstring>

#include "common/atomic_file.h"
#include "common/json_file.h"
#include "common/json_ptr.h"
#include "common/paths.h"
#include "common/random.h"
#include "fpga.h"
#include "log.h"
#include "util.h"

std::mutex agent_config_lock;

namespace {
// Trivially destructible on purpose: threads may read it while the process exits.
agent_config g_agent_config;
const char *g_agent_config_path = paths::kAgentConfig;
}  // namespace

agent_config *agent_config_get() {
    return &g_agent_config;
}

void agent_config_set_path(const char *path) {
    g_agent_config_path = path;
}

int agent_config_save() {
    return config_save(g_agent_config_path, &g_agent_config);
}

bool is_factory_config(const agent_config *config) {
    return config->api_key[0] != '\0' && config->dev_id[0] == '\0';
}

void generate_device_id(char *buf) {
    if (fpga_open() == 0) {
        uint32_t word60 = fpga_axi_read(60);
        uint32_t word61 = fpga_axi_read(61);
        fpga_close();

        netinfo info;
        memset(&info, 0, sizeof info);
        if (util_netinfo("eth0", &info) == 0) {
            snprintf(buf, 33, "%08X%08X-%02X%02X%02X%02X%02X%02X", word61, word60, info.mac[0],
                     info.mac[1], info.mac[2], info.mac[3], info.mac[4], info.mac[5]);
            return;
        }
    }
    static const char digits[] = "0123456789ABCDEF";
    for (int i = 0; i < 32; ++i)
        buf[i] = digits[random_below(16)];
    buf[32] = '\0';
}

void config_set_defaults(agent_config *config) {
    generate_device_id(config->dev_id);
}

int parse_config(json_t *root, agent_config *config) {
    assert(root && config);
    if (!json_is_object(root)) {
        LOG_ERROR("Root element must be an object\n");
        return -1;
    }
    const char *api_key = nullptr;
    const char *dev_id = nullptr;
    json_error_t error;
    int rc = json_unpack_ex(root, &error, 0, "{ss,s?s}", "api_key", &api_key, "dev_id", &dev_id);
    if (rc != 0) {
        LOG_ERROR("Failed to parse config file, code: %d\n", rc);
        return -1;
    }
    if (api_key == nullptr) {
        LOG_ERROR("'api_key' not found\n");
        return -1;
    }
    memset(config, 0, sizeof *config);
    copy_cut(config->api_key, api_key);
    if (dev_id)
        copy_cut(config->dev_id, dev_id);

    if (parse_network_config(&config->network) != 0) {
        LOG_ERROR("Failed to load network config file: %s\n", paths::kNetworkConfig);
        LOG_INFO("Fallback to dhcp mode\n");
        memset(&config->network, 0, sizeof config->network);
        copy_cut(config->network.hostname, "antMiner");
        config->network.mode = 0;
    }
    return 0;
}

int config_load(const char *path, agent_config *config) {
    assert(path && config);
    json_ptr root = load_json_file(path, agent_config_lock);
    if (!root)
        return -1;
    if (parse_config(root.get(), config) != 0)
        return -1;
    if (is_factory_config(config)) {
        config_set_defaults(config);
        if (config_save(path, config) != 0) {
            LOG_ERROR("Failed to save %s file\n", path);
            return -1;
        }
    }
    return 0;
}

namespace {
int write_agent_file(const char *path, const agent_config *cfg) {
    json_ptr root(json_pack("{ss,ss}", "api_key", cfg->api_key, "dev_id", cfg->dev_id));
    c_str_ptr text(root ? json_dumps(root.get(), JSON_INDENT(2)) : nullptr);
    if (!text) {
        LOG_ERROR("Failed to save config file: %s\n", path);
        return -1;
    }
    return save_config_file(path, text.get());
}
}  // namespace

int config_save(const char *path, const agent_config *cfg) {
    assert(path && cfg);
    std::lock_guard lock(agent_config_lock);
    if (write_agent_file(path, cfg) != 0)
        return -1;
    return save_network_config(&cfg->network);
}
