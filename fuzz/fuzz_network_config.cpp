// network.conf as found on the device, and what the daemon writes for the record it
// read: the next start reads back the same settings.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string_view>

#include "common/paths.h"
#include "config.h"
#include "device_root.h"

namespace {

template <size_t N>
void check_text(const char (&text)[N]) {
    if (strnlen(text, N) == N)
        abort();
}

void expect_same(const char *what, const char *a, const char *b) {
    if (strcmp(a, b) != 0) {
        fprintf(stderr, "network.conf round trip: %s '%s' came back as '%s'\n", what, a, b);
        abort();
    }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
    enter_device_root();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    put_file(paths::kNetworkConfig, std::string_view(reinterpret_cast<const char *>(data), size));
    network_config read{};
    if (parse_network_config(&read) != 0)
        abort();
    check_text(read.hostname), check_text(read.ip), check_text(read.netmask);
    check_text(read.gateway), check_text(read.dns[0]), check_text(read.dns[1]);
    if (read.dns_count > 2)
        abort();

    put_file(paths::kNetworkConfig, format_network_config(&read));
    network_config again{};
    if (parse_network_config(&again) != 0 || again.mode != read.mode)
        abort();
    expect_same("hostname", read.hostname, again.hostname);
    if (read.mode != 1)
        return 0;  // a DHCP file keeps nothing else
    expect_same("ip", read.ip, again.ip);
    expect_same("netmask", read.netmask, again.netmask);
    expect_same("gateway", read.gateway, again.gateway);
    // A server is left out only when the line cannot hold it; none comes back cut.
    size_t line = strlen("dnsservers=\"\"") - 1;
    for (uint32_t i = 0; i < read.dns_count; ++i) {
        line += 1 + strlen(read.dns[i]);
        if (i < again.dns_count)
            expect_same("name server", read.dns[i], again.dns[i]);
        else if (line <= 255)
            expect_same("name server", read.dns[i], "(left out)");
    }
    if (again.dns_count > read.dns_count)
        abort();
    return 0;
}
