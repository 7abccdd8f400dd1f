// The network and pool sections: the same object forms as the "config_network" and
// "config_pools" requests.
#include <cstring>
#include <mutex>
#include <string>

#include "agent_msgs/agent_msgs.h"
#include "config.h"
#include "log.h"
#include "norix/miner_support/settings.h"
#include "util.h"

namespace {

const char *const kDefaultDns[2] = {"8.8.8.8", "8.8.4.4"};

// network.conf is read by a shell script: an address is a non-empty run of letters,
// digits, '.', ':' and '-', nothing else.
bool valid_address(const char *value) {
    if (value[0] == '\0')
        return false;
    for (const char *p = value; *p != '\0'; ++p) {
        const char c = *p;
        const bool ok = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') ||
                        (c >= '0' && c <= '9') || c == '.' || c == ':' || c == '-';
        if (!ok)
            return false;
    }
    return true;
}

}  // namespace

int config_network(json_t *root) {
    agent_config *live = agent_config_get();
    network_config net;
    memset(&net, 0, sizeof net);
    copy_cut(net.hostname, live->network.hostname);

    const char *mode = nullptr;
    const char *ip = nullptr;
    const char *netmask = nullptr;
    const char *gateway = nullptr;
    json_t *dnsservers = nullptr;
    json_error_t error;
    if (json_unpack_ex(root, &error, 0, "{ss,s?s,s?s,s?s,s?o}", "mode", &mode, "ip", &ip, "netmask",
                       &netmask, "gateway", &gateway, "dnsservers", &dnsservers) != 0) {
        LOG_ERROR("Failed to parse config network message - %s\n", error.text);
        return -1;
    }

    if (strcmp(mode, "static") == 0) {
        if (ip == nullptr || netmask == nullptr || gateway == nullptr || dnsservers == nullptr) {
            LOG_ERROR("Static network mode requires ALL parameters!\n");
            return -1;
        }
        const char *dns[2] = {kDefaultDns[0], kDefaultDns[1]};
        if (json_is_array(dnsservers)) {
            for (size_t i = 0; i < 2 && i < json_array_size(dnsservers); ++i) {
                const char *server = json_string_value(json_array_get(dnsservers, i));
                if (server != nullptr)
                    dns[i] = server;
            }
        }
        const struct {
            const char *key;
            const char *value;
        } addresses[] = {{"ip", ip},
                         {"netmask", netmask},
                         {"gateway", gateway},
                         {"dnsservers", dns[0]},
                         {"dnsservers", dns[1]}};
        for (const auto &address : addresses) {
            if (!valid_address(address.value)) {
                LOG_ERROR("Failed to parse config network message - %s\n",
                          (std::string("Invalid value of ") + address.key).c_str());
                return -1;
            }
        }
        net.mode = 1;
        copy_cut(net.ip, ip);
        copy_cut(net.netmask, netmask);
        copy_cut(net.gateway, gateway);
        copy_cut(net.dns[0], dns[0]);
        copy_cut(net.dns[1], dns[1]);
        net.dns_count = 2;
    } else {
        net.mode = 0;
    }

    if (memcmp(&net, &live->network, sizeof net) == 0)
        return 0;
    {
        // Readers of the record hold the lock.
        std::lock_guard lock(agent_config_lock);
        live->network = net;
    }
    if (agent_config_save() != 0) {
        LOG_ERROR("Failed to save miner configuration file\n");
        return -1;
    }
    return 1;
}

int config_pools(json_t *root) {
    static const char *const kSlots[] = {"main", "reserved", "reserved2"};
    if (json_object_get(root, kSlots[0]) == nullptr) {
        LOG_ERROR("Pools configuration failed, at least the main pool must be specified\n");
        return -1;
    }
    for (int slot = 0; slot < 3; ++slot) {
        json_t *pool = json_object_get(root, kSlots[slot]);
        if (pool == nullptr) {
            cgminer_pool(slot, "", "", "");
            continue;
        }
        const char *url = nullptr;
        const char *worker = nullptr;
        const char *password = nullptr;
        json_error_t error;
        if (json_unpack_ex(pool, &error, 0, "{ss,ss,s?s}", "stratum_url", &url, "worker", &worker,
                           "password", &password) != 0) {
            LOG_ERROR("Failed to parse pool params - %s\n", error.text);
            return -1;
        }
        if (cgminer_pool(slot, url, worker, password) < 0)
            return -1;
    }
    return 0;
}
