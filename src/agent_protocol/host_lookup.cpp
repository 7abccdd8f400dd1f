#include "agent_protocol/host_lookup.h"

#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <atomic>
#include <cstring>
#include <string>
#include <system_error>
#include <thread>

#include "common/thread_util.h"

struct host_lookup {
    explicit host_lookup(const char *name) : host(name) {}
    const std::string host;
    std::atomic<int> result{0};        // as host_lookup_result()
    char address[INET6_ADDRSTRLEN]{};  // written before result turns 1
};

namespace {

// The first IPv4 address, else the first IPv6 one, as numeric text.
bool first_address(const addrinfo *list, char *out, size_t size) {
    for (int family : {AF_INET, AF_INET6}) {
        for (const addrinfo *ai = list; ai != nullptr; ai = ai->ai_next) {
            if (ai->ai_family != family)
                continue;
            const void *raw = family == AF_INET
                                  ? static_cast<const void *>(
                                        &reinterpret_cast<sockaddr_in *>(ai->ai_addr)->sin_addr)
                                  : static_cast<const void *>(
                                        &reinterpret_cast<sockaddr_in6 *>(ai->ai_addr)->sin6_addr);
            if (inet_ntop(family, raw, out, static_cast<socklen_t>(size)) != nullptr)
                return true;
        }
    }
    return false;
}

void lookup_thread_func(const std::shared_ptr<host_lookup> &lookup) {
    set_thread_name("rigkeep@lookup");
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo *list = nullptr;
    bool ok = getaddrinfo(lookup->host.c_str(), nullptr, &hints, &list) == 0 &&
              first_address(list, lookup->address, sizeof lookup->address);
    if (list != nullptr)
        freeaddrinfo(list);
    lookup->result.store(ok ? 1 : -1, std::memory_order_release);
}

}  // namespace

std::shared_ptr<host_lookup> host_lookup_start(const char *host) {
    auto lookup = std::make_shared<host_lookup>(host);
    try {
        std::thread(lookup_thread_func, lookup).detach();
    } catch (const std::system_error &) {
        return nullptr;
    }
    return lookup;
}

int host_lookup_result(const host_lookup &lookup, char *address, size_t size) {
    int result = lookup.result.load(std::memory_order_acquire);
    if (result == 1 && size > 0) {
        strncpy(address, lookup.address, size - 1);
        address[size - 1] = '\0';
    }
    return result;
}
