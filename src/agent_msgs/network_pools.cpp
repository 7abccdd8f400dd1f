// Requests that change how the device reaches the world: its own addresses and its
// mining pools.
#include <cstring>
#include <mutex>
#include <string>

#include "agent_msgs/agent_msgs.h"
#include "agent_msgs/settings_request.h"
#include "agent_protocol/agent_protocol.h"
#include "config.h"
#include "log.h"
#include "util.h"

namespace {

constexpr const char *kDefaultNameServers[2] = {"8.8.8.8", "8.8.4.4"};
constexpr const char *kPoolKeys[kMinerPoolSlots] = {"main", "reserved", "reserved2"};

// network.conf is read by a shell script: an address is letters, digits, '.', ':'
// and '-', and never empty.
bool is_address_text(const char *text) {
    if (*text == '\0')
        return false;
    for (const char *p = text; *p != '\0'; ++p) {
        const char c = *p;
        const bool ok = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') ||
                        (c >= '0' && c <= '9') || c == '.' || c == ':' || c == '-';
        if (!ok)
            return false;
    }
    return true;
}

// Fills net for static mode from the request's values; -1 (logged) when one of them
// is not an address.
int fill_static_network(network_config *net, const char *ip, const char *netmask,
                        const char *gateway, json_t *dns) {
    const char *servers[2] = {kDefaultNameServers[0], kDefaultNameServers[1]};
    if (json_is_array(dns)) {
        for (size_t i = 0; i < 2 && i < json_array_size(dns); ++i) {
            if (const char *server = json_string_value(json_array_get(dns, i)))
                servers[i] = server;
        }
    }
    const struct {
        const char *key;
        const char *value;
    } values[] = {{"ip", ip},
                  {"netmask", netmask},
                  {"gateway", gateway},
                  {"dnsservers", servers[0]},
                  {"dnsservers", servers[1]}};
    for (const auto &v : values) {
        if (!is_address_text(v.value)) {
            LOG_ERROR("Failed to parse config network message - %s\n",
                      (std::string("Invalid address in '") + v.key + "'").c_str());
            return -1;
        }
    }
    net->mode = 1;
    copy_cut(net->ip, ip);
    copy_cut(net->netmask, netmask);
    copy_cut(net->gateway, gateway);
    copy_cut(net->dns[0], servers[0]);
    copy_cut(net->dns[1], servers[1]);
    net->dns_count = 2;
    return 0;
}

int apply_pool(int slot, json_t *pool) {
    const char *url = nullptr;
    const char *worker = nullptr;
    const char *password = nullptr;
    json_error_t error;
    if (json_unpack_ex(pool, &error, 0, "{ss,ss,s?s}", "stratum_url", &url, "worker", &worker,
                       "password", &password) != 0) {
        LOG_ERROR("Failed to parse pool params - %s\n", error.text);
        return -1;
    }
    // Kept whole or refused: a cut worker name is another (or no) payout address.
    for (const char *text : {url, worker, password ? password : ""}) {
        if (strlen(text) > kMinerPoolTextMax) {
            LOG_ERROR("Failed to parse pool params - %s\n", "String too long");
            return -1;
        }
    }
    return cgminer_pool(slot, url, worker, password);
}

}  // namespace

int save_network_settings(json_t *root, bool keep_previous) {
    agent_config *live = agent_config_get();
    network_config fresh;
    memset(&fresh, 0, sizeof fresh);
    {
        std::lock_guard lock(agent_config_lock);
        copy_cut(fresh.hostname, live->network.hostname);  // not the service's to change
    }

    const char *mode = nullptr;
    const char *ip = nullptr;
    const char *netmask = nullptr;
    const char *gateway = nullptr;
    json_t *dns = nullptr;
    json_error_t error;
    if (json_unpack_ex(root, &error, 0, "{ss,s?s,s?s,s?s,s?o}", "mode", &mode, "ip", &ip, "netmask",
                       &netmask, "gateway", &gateway, "dnsservers", &dns) != 0) {
        LOG_ERROR("Failed to parse config network message - %s\n", error.text);
        return -1;
    }
    if (strcmp(mode, "static") == 0) {
        if (ip == nullptr || netmask == nullptr || gateway == nullptr || dns == nullptr) {
            LOG_ERROR("Static network mode requires ALL parameters!\n");
            return -1;
        }
        if (fill_static_network(&fresh, ip, netmask, gateway, dns) != 0)
            return -1;
    } else {
        fresh.mode = 0;  // DHCP: only the hostname
    }
    if (!network_config_fits_reader(&fresh)) {
        LOG_ERROR("Failed to parse config network message - %s\n",
                  "Value too long for its line in network.conf");
        return -1;
    }

    network_config previous;
    {
        std::lock_guard lock(agent_config_lock);
        if (memcmp(&fresh, &live->network, sizeof fresh) == 0)
            return 0;
        previous = live->network;
    }
    // Kept before anything is written, so that a copy exists whenever network.conf
    // may hold the new settings.
    const int kept = keep_previous ? network_config_keep() : 0;
    if (kept >= 0) {
        std::lock_guard lock(agent_config_lock);
        live->network = fresh;
    }
    if (kept < 0 || agent_config_save() != 0) {
        LOG_ERROR("Failed to save miner configuration file\n");
        // The files still hold the old settings; so does memory, so that the same
        // request is tried again rather than taken as already done.
        std::lock_guard lock(agent_config_lock);
        live->network = previous;
        if (kept == 1)
            (void)network_config_forget();  // nothing changed, nothing to return to
        return -1;
    }
    return 1;
}

int config_network(json_t *root) {
    return save_network_settings(root, false);
}

int handle_config_network(json_t *root) {
    const auto change = network_change_lock();
    int result = save_network_settings(root, true);
    if (result >= 1)
        apply_network_config();
    return result;
}

int config_pools(json_t *root) {
    if (json_object_get(root, kPoolKeys[0]) == nullptr) {
        LOG_ERROR("Pools configuration failed, at least the main pool must be specified\n");
        return -1;
    }
    for (int slot = 0; slot < kMinerPoolSlots; ++slot) {
        json_t *pool = json_object_get(root, kPoolKeys[slot]);
        if (pool == nullptr) {
            (void)cgminer_pool(slot, "", "", "");  // empties the slot
            continue;
        }
        if (apply_pool(slot, pool) < 0)
            return -1;
    }
    return 0;
}

int handle_config_pools(json_t *root) {
    return run_settings_request(config_pools, root);
}

void register_network_pools_handlers() {
    agent_register_request_handler("config_network", handle_config_network);
    agent_register_request_handler("config_pools", handle_config_pools);
}
