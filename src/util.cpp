#include "util.h"

#include <arpa/inet.h>
#include <net/if.h>
#include <netinet/in.h>
#include <resolv.h>
#include <sys/ioctl.h>
#include <sys/socket.h>

#include <cassert>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "common/paths.h"
#include "common/unique_fd.h"
#include "log.h"

int util_proto_port(const char *proto) {
    assert(proto);
    if (strcmp(proto, "http") == 0)
        return 80;
    if (strcmp(proto, "https") == 0)
        return 443;
    if (strcmp(proto, "ws") == 0)
        return 80;
    if (strcmp(proto, "wss") == 0)
        return 443;
    LOG_WARN("Unknown protocol: %s\n", proto);
    return 0;
}

int util_parse_url(const char *url, parsed_url *p_url) {
    assert(url && p_url);
    memset(p_url, 0, sizeof *p_url);

    const char *sep = strstr(url, "://");
    if (sep == nullptr || sep == url)
        return -1;

    char work[512];
    copy_cut(work, url);

    // scheme: up to the first ':'
    char *colon = strchr(work, ':');
    if (colon == nullptr)
        return -1;  // the cut removed the separator
    *colon = '\0';
    copy_cut(p_url->scheme, work);

    // authority: leading '/' skipped, up to the next '/'
    char *rest = colon + 1;
    while (*rest == '/')
        ++rest;
    char authority[512];
    char *slash = strchr(rest, '/');
    size_t auth_len = slash ? static_cast<size_t>(slash - rest) : strlen(rest);
    memcpy(authority, rest, auth_len);
    authority[auth_len] = '\0';
    if (authority[0] == '\0')
        return -1;

    char *port_text = strchr(authority, ':');
    if (port_text)
        *port_text++ = '\0';
    if (authority[0] == '\0')
        return -1;
    copy_cut(p_url->host, authority);

    if (port_text) {
        p_url->port = static_cast<int32_t>(strtol(port_text, nullptr, 10));
    } else {
        p_url->port = util_proto_port(p_url->scheme);
    }

    // path: "/" and what follows the authority, without the query
    char path[512] = "/";
    if (slash) {
        const char *p = slash + 1;
        size_t len = strcspn(p, "?");
        len = utf8_cut_length(p, len, sizeof path - 2);
        memcpy(path + 1, p, len);
        path[len + 1] = '\0';
    }
    copy_cut(p_url->path, path);
    return 0;
}

size_t utf8_cut_length(const char *text, size_t length, size_t limit) {
    if (length <= limit)
        return length;
    auto byte = [text](size_t i) { return static_cast<unsigned char>(text[i]); };
    auto continuation = [&](size_t i) { return (byte(i) & 0xC0) == 0x80; };
    if (!continuation(limit))
        return limit;  // the cut falls between two characters
    // A character has at most three continuation bytes: its first byte is near.
    for (size_t back = 1; back <= 3 && back <= limit; ++back) {
        const size_t start = limit - back;
        if (continuation(start))
            continue;
        const unsigned char lead = byte(start);
        size_t size = 1;  // ASCII, or a byte no character starts with
        if (lead >= 0xC0 && lead <= 0xDF)
            size = 2;
        else if (lead >= 0xE0 && lead <= 0xEF)
            size = 3;
        else if (lead >= 0xF0 && lead <= 0xF7)
            size = 4;
        return start + size > limit ? start : limit;
    }
    return limit;
}

char *util_hex(const uint8_t *data, size_t len, char *buf) {
    static const char digits[] = "0123456789abcdef";
    for (size_t i = 0; i < len; ++i) {
        buf[2 * i] = digits[data[i] >> 4];
        buf[2 * i + 1] = digits[data[i] & 0xF];
    }
    buf[2 * len] = '\0';
    return buf;
}

int util_ether_ntoa(const uint8_t *addr, char *buf) {
    return sprintf(buf, "%02x:%02x:%02x:%02x:%02x:%02x", addr[0], addr[1], addr[2], addr[3],
                   addr[4], addr[5]);
}

int util_inet_ntoa(uint32_t addr, char *buf) {
    uint8_t b[4];
    memcpy(b, &addr, sizeof b);
    return sprintf(buf, "%d.%d.%d.%d", b[0], b[1], b[2], b[3]);
}

int util_default_gateway(uint32_t *gateway) {
    return util_default_gateway_from(paths::kProcNetRoute, gateway);
}

int util_default_gateway_from(const char *route_path, uint32_t *gateway) {
    assert(route_path && gateway);
    file_ptr f(fopen(route_path, "re"));
    if (!f) {
        LOG_ERROR("Failed to open /proc/net/route\n");
        return -1;
    }
    *gateway = 0;
    char line[256];
    while (fgets(line, sizeof line, f.get())) {
        unsigned long dest = 0, gw = 0;
        if (sscanf(line, "%*s %lx %lx", &dest, &gw) != 2)
            continue;
        if (dest == 0) {
            *gateway = static_cast<uint32_t>(gw);
            break;
        }
    }
    return *gateway != 0 ? 0 : -1;
}

int util_name_servers(uint32_t *dns, uint8_t *count) {
    assert(dns && count);
    struct __res_state state;
    memset(&state, 0, sizeof state);
    *count = 0;
    if (res_ninit(&state) != 0) {
        res_nclose(&state);
        return 0;
    }
    int n = state.nscount < 2 ? state.nscount : 2;
    for (int i = 0; i < n; ++i)
        dns[i] = state.nsaddr_list[i].sin_addr.s_addr;
    *count = static_cast<uint8_t>(n);
    res_nclose(&state);
    return 0;
}

int util_netinfo(const char *iface, netinfo *info) {
    assert(iface && info);
    unique_fd soc(socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0));
    if (!soc) {
        LOG_ERROR("Failed to create socket, code: %d\n", soc.get());
        return -1;
    }
    struct request {
        unsigned long code;
        const char *failure;
    };
    const request requests[] = {
        {SIOCGIFHWADDR, "Failed to call ioctl(soc, SIOCGIFHWADDR, &ifr)\n"},
        {SIOCGIFADDR, "Failed to call ioctl(soc, SIOCGIFADDR, &ifr)\n"},
        {SIOCGIFNETMASK, "Failed to call ioctl(soc, SIOCGIFNETMASK, &ifr)\n"},
    };
    for (const auto &r : requests) {
        struct ifreq ifr;
        memset(&ifr, 0, sizeof ifr);
        copy_cut(ifr.ifr_name, iface);
        if (ioctl(soc.get(), r.code, &ifr) != 0) {
            LOG_ERROR("%s", r.failure);
            return -1;
        }
        if (r.code == SIOCGIFHWADDR) {
            memcpy(info->mac, ifr.ifr_hwaddr.sa_data, sizeof info->mac);
        } else {
            sockaddr_in sin;
            memcpy(&sin, &ifr.ifr_addr, sizeof sin);
            (r.code == SIOCGIFADDR ? info->ip : info->netmask) = sin.sin_addr.s_addr;
        }
    }

    if (util_default_gateway(&info->gateway) != 0) {
        LOG_ERROR("Failed to obtain default gateway address\n");
        return -1;
    }
    if (util_name_servers(info->dns, &info->dns_count) != 0) {
        LOG_ERROR("Failed to obtain name servers\n");
        return -1;
    }
    return 0;
}

c_str_ptr util_str_replace(const char *str, const char *substr, const char *repl) {
    assert(str && substr && repl);
    const size_t sub_len = strlen(substr);
    if (sub_len == 0) {
        LOG_ERROR("Substring can't be empty!\n");
        return nullptr;
    }
    const size_t repl_len = strlen(repl);
    size_t count = 0;
    for (const char *p = strstr(str, substr); p; p = strstr(p + sub_len, substr))
        ++count;

    const size_t size = strlen(str) - count * sub_len + count * repl_len + 1;
    c_str_ptr out(static_cast<char *>(malloc(size)));
    if (!out) {
        LOG_ERROR("Failed to allocate memory for string\n");
        exit(1);
    }
    char *w = out.get();
    const char *r = str;
    for (const char *p = strstr(r, substr); p; p = strstr(r, substr)) {
        memcpy(w, r, static_cast<size_t>(p - r));
        w += p - r;
        memcpy(w, repl, repl_len);
        w += repl_len;
        r = p + sub_len;
    }
    strcpy(w, r);
    return out;
}
