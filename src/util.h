// Host utilities: URLs, hex and address formatting, routes, name servers, interfaces.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

#include "common/owners.h"

struct parsed_url {
    char scheme[32];
    char host[256];
    int32_t port;
    char path[256];
};

struct netinfo {
    uint8_t mac[6];
    uint32_t ip;       // network byte order
    uint32_t netmask;  // network byte order
    uint32_t gateway;  // network byte order
    uint32_t dns[2];   // network byte order
    uint8_t dns_count;
};

int util_proto_port(const char *proto);
int util_parse_url(const char *url, parsed_url *p_url);
char *util_hex(const uint8_t *data, size_t len, char *buf);
int util_ether_ntoa(const uint8_t *addr, char *buf);
int util_inet_ntoa(uint32_t addr, char *buf);
int util_default_gateway(uint32_t *gateway);
// Same, reading the routing table from route_path (the kernel's format).
int util_default_gateway_from(const char *route_path, uint32_t *gateway);
int util_name_servers(uint32_t *dns, uint8_t *count);
int util_netinfo(const char *iface, netinfo *info);
// New text with every occurrence of substr replaced by repl; nullptr (logged) for
// an empty substr.
c_str_ptr util_str_replace(const char *str, const char *substr, const char *repl);

// The longest prefix of text[0, length) that fits in limit bytes and does not end
// inside a UTF-8 character: a cut through a character backs off to its first
// byte. Malformed bytes are cut where they fall, so nothing more is lost.
size_t utf8_cut_length(const char *text, size_t length, size_t limit);

// Copies src into a fixed text field, cut to fit on a character boundary and
// always terminated.
template <size_t N>
void copy_cut(char (&dst)[N], const char *src) {
    static_assert(N > 0);
    const size_t len = utf8_cut_length(src, strnlen(src, N), N - 1);
    memcpy(dst, src, len);
    dst[len] = '\0';
}
