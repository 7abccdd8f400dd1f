#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <string>

#include "config.h"
#include "test_text.h"

namespace {

network_config read_text(const std::string &text) {
    network_config n = zeroed<network_config>();
    std::string copy = text;
    FILE *in = fmemopen(copy.data(), copy.size(), "r");
    read_network_config(in, &n);
    fclose(in);
    return n;
}

network_config static_record(const char *host, const char *ip, const char *mask, const char *gw,
                             std::initializer_list<const char *> dns) {
    network_config n = zeroed<network_config>();
    n.mode = 1;
    strcpy(n.hostname, host);
    strcpy(n.ip, ip);
    strcpy(n.netmask, mask);
    strcpy(n.gateway, gw);
    for (const char *d : dns)
        strcpy(n.dns[n.dns_count++], d);
    return n;
}

// The file's layout; a static record reads back equal.
TEST(NetworkConfigWrite, LayoutAndRoundTrip) {
    network_config dhcp = zeroed<network_config>();
    strcpy(dhcp.hostname, "antMiner");
    strcpy(dhcp.ip, "10.0.0.9");  // ignored in DHCP mode
    auto overlong = static_record("h", "1.2.3.4", "255.0.0.0", "1.2.3.1", {"192.0.2.53"});
    memset(overlong.dns[1], 'd', 232);  // the line would pass 255 characters: left out
    overlong.dns_count = 2;
    auto longest = static_record("h", "1.2.3.4", "255.0.0.0", "1.2.3.1", {});
    memset(longest.gateway, 'g', 247);  // "gateway=" and 247: the longest line read whole
    const std::string longest_text =
        "hostname=h\nipaddress=1.2.3.4\nnetmask=255.0.0.0\ngateway=" + std::string(247, 'g') +
        "\ndnsservers=\"\"";
    const struct {
        network_config record;
        const char *text;
        bool round_trip;
    } cases[] = {
        {dhcp, "hostname=antMiner\ndhcp=true\n", false},
        {static_record("rig-17", "192.0.2.10", "255.255.255.0", "192.0.2.1",
                       {"192.0.2.53", "192.0.2.54"}),
         "hostname=rig-17\nipaddress=192.0.2.10\nnetmask=255.255.255.0\n"
         "gateway=192.0.2.1\ndnsservers=\"192.0.2.53 192.0.2.54\"",
         true},
        {static_record("h", "192.0.2.10", "255.0.0.0", "192.0.2.1", {}),
         "hostname=h\nipaddress=192.0.2.10\nnetmask=255.0.0.0\ngateway=192.0.2.1\n"
         "dnsservers=\"\"",
         true},
        {overlong,
         "hostname=h\nipaddress=1.2.3.4\nnetmask=255.0.0.0\ngateway=1.2.3.1\n"
         "dnsservers=\"192.0.2.53\"",
         false},
        {longest, longest_text.c_str(), true},
    };
    for (const auto &c : cases) {
        const std::string text = format_network_config(&c.record);
        EXPECT_EQ(text, c.text);
        network_config back = read_text(text);
        EXPECT_TRUE(!c.round_trip || same(back, c.record)) << text;
        EXPECT_EQ(network_config_fits_reader(&c.record), c.round_trip || c.record.mode == 0);
    }
}

// The record as one line: mode, hostname, ip, netmask, gateway, name servers.
std::string shown(const network_config &n) {
    std::string text = n.mode == 1 ? "static" : n.mode == 0 ? "dhcp" : "?";
    for (const char *part : {n.hostname, n.ip, n.netmask, n.gateway})
        text += std::string("|") + part;
    for (uint32_t i = 0; i < n.dns_count; ++i)
        text += std::string(i ? " " : "|") + n.dns[i];
    return text;
}

TEST(NetworkConfigRead, Lines) {
    const std::pair<std::string, std::string> cases[] = {
        {"hostname=lonely\n", "static|lonely|||"},  // no dhcp line means static
        {"dhcp=trueish\n", "dhcp||||"},
        {"dhcp=false\n", "static||||"},
        {"dhcp=\n", "static||||"},
        // Comments, keys compared by prefix, leading '=' runs skipped, unknown lines
        // passed over; the space before a comment stays.
        {"# written by hand\n\nhostname=rig # trailing comment\nmtu=1500\n"
         "ipaddressX=192.0.2.7\nnetmask=255.255.255.0=ignored\n==gateway==192.0.2.1\n"
         "dnsservers=\"192.0.2.53  192.0.2.54 192.0.2.55\"\nbogus=1\ndhcp=true\n",
         "dhcp|rig |192.0.2.7|255.255.255.0|192.0.2.1|192.0.2.53 192.0.2.54"},
        {"hostname=a\n===\nhostname=b\n", "static|b|||"},
        {"ipaddress=" + std::string(40, '9') + "\n", "static||" + std::string(15, '9') + "||"},
        // A line longer than the 255-character read buffer is read in pieces; the
        // second piece has no known key and is passed over.
        {"hostname=" + std::string(300, 'h') + "\ndhcp=true\n",
         "dhcp|" + std::string(255 - 9, 'h') + "|||"},
        // A piece never ends inside a character ('é' at bytes 254 and 255).
        {"hostname=" + std::string(245, 'h') + "\u00e9" + std::string(50, 'h'),
         "static|" + std::string(245, 'h') + "|||"},
    };
    for (const auto &[text, expected] : cases)
        EXPECT_EQ(shown(read_text(text)), expected) << text;
}

}  // namespace
