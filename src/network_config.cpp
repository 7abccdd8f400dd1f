#include <unistd.h>

#include <cassert>
#include <cerrno>
#include <cstring>
#include <string>
#include <string_view>

#include "common/atomic_file.h"
#include "common/owners.h"
#include "common/paths.h"
#include "config.h"
#include "log.h"
#include "util.h"

void parse_dns_servers(const char *value, network_config *net) {
    c_str_ptr copy(util_str_replace(value, "\"", ""));
    net->dns_count = 0;
    if (!copy)
        return;
    char *save = nullptr;
    for (char *piece = strtok_r(copy.get(), " ", &save); piece && net->dns_count < 2;
         piece = strtok_r(nullptr, " ", &save)) {
        copy_cut(net->dns[net->dns_count], piece);
        ++net->dns_count;
    }
}

int parse_network_line(char *line, network_config *net) {
    assert(line && net);
    if (line[0] == '\0')
        return 0;

    // Same split as strtok with "=": leading '=' skipped, the value ends at the next '='.
    char *save = nullptr;
    char *key = strtok_r(line, "=", &save);
    if (key == nullptr)
        return -1;
    char *value = strtok_r(nullptr, "=", &save);
    if (value == nullptr)
        value = const_cast<char *>("");

    if (strncmp(key, "hostname", 8) == 0) {
        copy_cut(net->hostname, value);
    } else if (strncmp(key, "ipaddress", 9) == 0) {
        copy_cut(net->ip, value);
    } else if (strncmp(key, "netmask", 7) == 0) {
        copy_cut(net->netmask, value);
    } else if (strncmp(key, "gateway", 7) == 0) {
        copy_cut(net->gateway, value);
    } else if (strncmp(key, "dnsservers", 10) == 0) {
        parse_dns_servers(value, net);
    } else if (strncmp(key, "dhcp", 4) == 0) {
        net->mode = strncmp(value, "true", 4) == 0 ? 0 : 1;
    } else {
        return -1;
    }
    return 0;
}

namespace {
// A piece of a longer line ends on a character boundary: the bytes of a character
// it would cut are read again at the start of the next piece.
void end_piece_on_character(char *line, FILE *in) {
    const size_t len = strlen(line);
    if (len == 0 || line[len - 1] == '\n')
        return;
    const int next = getc(in);
    if (next == EOF)
        return;
    std::string probe(line, len);
    probe.push_back(static_cast<char>(next));
    const size_t keep = utf8_cut_length(probe.data(), probe.size(), len);
    if (fseek(in, -static_cast<long>(len - keep + 1), SEEK_CUR) == 0)
        line[keep] = '\0';
    else
        ungetc(next, in);
}
}  // namespace

void read_network_config(FILE *in, network_config *net) {
    net->mode = 1;
    char line[kNetworkLineMax + 1];
    while (fgets(line, sizeof line, in)) {
        end_piece_on_character(line, in);
        line[strcspn(line, "#\n")] = '\0';
        // A line we do not know (a newer web interface's "mtu=1500") is passed
        // over: stopping there would lose the addresses after it at the next save.
        (void)parse_network_line(line, net);
    }
}

int parse_network_config(network_config *net) {
    assert(net);
    file_ptr f(fopen(paths::kNetworkConfig, "re"));
    if (!f) {
        LOG_ERROR("Failed to load network config file\n");
        return -1;
    }
    read_network_config(f.get(), net);
    return 0;
}

namespace {
constexpr size_t kDnsLineFrame = sizeof "dnsservers=\"\"" - 1;

size_t joined_dns_length(const network_config *net) {
    size_t len = 0;
    for (uint32_t i = 0; i < net->dns_count && i < 2; ++i)
        len += (i ? 1 : 0) + strnlen(net->dns[i], sizeof net->dns[i]);
    return len;
}
}  // namespace

bool network_config_fits_reader(const network_config *net) {
    assert(net);
    const size_t lines[] = {
        sizeof "hostname=" - 1 + strnlen(net->hostname, sizeof net->hostname),
        sizeof "ipaddress=" - 1 + strnlen(net->ip, sizeof net->ip),
        sizeof "netmask=" - 1 + strnlen(net->netmask, sizeof net->netmask),
        sizeof "gateway=" - 1 + strnlen(net->gateway, sizeof net->gateway),
        kDnsLineFrame + joined_dns_length(net),
    };
    for (size_t len : lines) {
        if (len > kNetworkLineMax)
            return false;
    }
    return true;
}

namespace {
// The reader takes 255 characters of a line, so the whole line, quotes included,
// must fit in them. A server that does not fit whole is left out rather than read
// back cut (a cut address is a wrong address).
std::string dns_servers_line(const network_config *net) {
    constexpr size_t kJoinedLimit = kNetworkLineMax - kDnsLineFrame;
    std::string joined;
    for (uint32_t i = 0; i < net->dns_count && i < 2; ++i) {
        const std::string_view server(net->dns[i], strnlen(net->dns[i], sizeof net->dns[i]));
        if (joined.size() + server.size() + (joined.empty() ? 0 : 1) > kJoinedLimit)
            break;
        if (!joined.empty())
            joined += ' ';
        joined += server;
    }
    return "dnsservers=\"" + joined + "\"";
}

std::string format_layout(const network_config *net, bool static_layout) {
    std::string text = std::string("hostname=") + net->hostname + "\n";
    if (static_layout) {
        text += std::string("ipaddress=") + net->ip + "\nnetmask=" + net->netmask +
                "\ngateway=" + net->gateway + "\n" + dns_servers_line(net);
    } else {
        text += "dhcp=true\n";
    }
    return text;
}

int write_network_file(const network_config *net, bool static_layout) {
    const std::string text = format_layout(net, static_layout);
    if (atomic_write_file(paths::kNetworkConfig, text) != 0) {
        LOG_ERROR("Failed to create network config file\n");
        return -1;
    }
    return 0;
}
}  // namespace

std::string format_network_config(const network_config *net) {
    return format_layout(net, net->mode == 1);
}

int save_static_net_conf(const network_config *net) {
    assert(net);
    return write_network_file(net, true);
}

int save_dhcp_net_conf(const network_config *net) {
    assert(net);
    return write_network_file(net, false);
}

int save_network_config(const network_config *net) {
    assert(net);
    return net->mode == 1 ? save_static_net_conf(net) : save_dhcp_net_conf(net);
}

bool network_config_kept() {
    return access(paths::kNetworkConfigPrevious, F_OK) == 0;
}

int network_config_keep() {
    std::lock_guard lock(agent_config_lock);
    if (network_config_kept())
        return 0;
    std::string bytes;
    if (read_whole_file(paths::kNetworkConfig, &bytes) != 0) {
        if (errno != ENOENT) {
            LOG_ERROR("Failed to load network config file\n");
            return -1;
        }
        // No file: the record holds the fallback the daemon runs with.
        bytes = format_network_config(&agent_config_get()->network);
    }
    return save_config_file(paths::kNetworkConfigPrevious, bytes) == 0 ? 1 : -1;
}

int network_config_restore() {
    std::lock_guard lock(agent_config_lock);
    std::string bytes;
    if (read_whole_file(paths::kNetworkConfigPrevious, &bytes) != 0) {
        LOG_ERROR("Failed to open config file: %s\n", paths::kNetworkConfigPrevious);
        return -1;
    }
    if (save_config_file(paths::kNetworkConfig, bytes) != 0)
        return -1;
    // The record is read back from the bytes rather than saved from memory, which
    // would rewrite the file in the writer's own layout.
    network_config net;
    memset(&net, 0, sizeof net);
    if (parse_network_config(&net) != 0)
        return -1;
    agent_config_get()->network = net;
    return 0;
}

int network_config_forget() {
    if (remove_file_durably(paths::kNetworkConfigPrevious) != 0) {
        LOG_ERROR("Failed to remove %s - %s\n", paths::kNetworkConfigPrevious, strerror(errno));
        return -1;
    }
    return 0;
}
