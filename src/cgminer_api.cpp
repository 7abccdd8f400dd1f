#include "cgminer_api.h"

#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cassert>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <mutex>

#include "common/unique_fd.h"
#include "log.h"
#include "util.h"

namespace {

using steady = std::chrono::steady_clock;

constexpr size_t kRecvChunk = 4096;

// Waits until fd is ready for events or the deadline passes. 1 ready, 0 timed
// out (errno ETIMEDOUT), -1 error.
int wait_ready(int fd, short events, steady::time_point deadline) {
    for (;;) {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - steady::now());
        if (left.count() <= 0) {
            errno = ETIMEDOUT;
            return 0;
        }
        pollfd p{fd, events, 0};
        int rc = poll(&p, 1, static_cast<int>(left.count()));
        if (rc > 0)
            return 1;
        if (rc < 0 && errno != EINTR)
            return -1;
    }
}

// Connect on a non-blocking socket, bounded by the connect timeout; the socket stays
// non-blocking so that sends and reads can be bounded too.
int connect_bounded(int fd, const sockaddr_in &addr) {
    if (connect(fd, reinterpret_cast<const sockaddr *>(&addr), sizeof addr) == 0)
        return 0;
    if (errno != EINPROGRESS && errno != EINTR)
        return -1;
    if (wait_ready(fd, POLLOUT, steady::now() + kCgminerConnectTimeout) != 1)
        return -1;
    int error = 0;
    socklen_t len = sizeof error;
    if (getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &len) != 0)
        return -1;
    if (error != 0) {
        errno = error;
        return -1;
    }
    return 0;
}

// The address of host: a name is looked up once and then kept, since every call goes to
// the same miner; fresh=true looks it up again.
bool resolve(const char *host, bool fresh, in_addr *out) {
    static std::mutex lock;
    static char cached_host[64];
    static in_addr cached{};
    if (inet_pton(AF_INET, host, out) == 1)
        return true;
    const bool cacheable = strlen(host) < sizeof cached_host;
    {
        std::lock_guard guard(lock);
        if (!fresh && cacheable && strcmp(cached_host, host) == 0) {
            *out = cached;
            return true;
        }
    }
    addrinfo hints{};
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo *found = nullptr;
    // getaddrinfo rather than gethostbyname: several threads query the miner.
    if (getaddrinfo(host, nullptr, &hints, &found) != 0 || found == nullptr)
        return false;
    *out = reinterpret_cast<const sockaddr_in *>(found->ai_addr)->sin_addr;
    freeaddrinfo(found);
    if (cacheable) {
        std::lock_guard guard(lock);
        snprintf(cached_host, sizeof cached_host, "%s", host);
        cached = *out;
    }
    return true;
}

int connect_to(const in_addr &ip, int16_t port) {
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr = ip;
    addr.sin_port = htons(static_cast<uint16_t>(port));

    unique_fd fd(socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
    if (!fd) {
        LOG_ERROR("Socket initialization failed - %s\n", strerror(errno));
        return -1;
    }
    // Abort on close: no socket lingers in TIME_WAIT after each command.
    linger lin{1, 0};
    setsockopt(fd.get(), SOL_SOCKET, SO_LINGER, &lin, sizeof lin);
    if (connect_bounded(fd.get(), addr) != 0)
        return -2;
    return fd.release();
}

}  // namespace

int cgminer_api_connect(const char *host, int16_t port) {
    in_addr ip{};
    if (!resolve(host, false, &ip))
        return -1;
    int fd = connect_to(ip, port);
    // The kept address may be stale: once more when the name now gives another one.
    in_addr now{};
    if (fd == -2 && resolve(host, true, &now) && now.s_addr != ip.s_addr)
        fd = connect_to(now, port);
    return fd;
}

ssize_t cgminer_api_send(int fd, const char *request) {
    const size_t total = strlen(request);
    size_t sent = 0;
    const auto deadline = steady::now() + kCgminerSendTimeout;
    while (sent < total) {
        // MSG_NOSIGNAL: a miner that hangs up must not kill the daemon with SIGPIPE.
        ssize_t n = send(fd, request + sent, total - sent, MSG_NOSIGNAL);
        if (n >= 0) {
            sent += static_cast<size_t>(n);
            continue;
        }
        if (errno == EINTR)
            continue;
        if ((errno == EAGAIN || errno == EWOULDBLOCK) && wait_ready(fd, POLLOUT, deadline) == 1)
            continue;
        LOG_ERROR("Failed to send cgminer api request - %s\n", strerror(errno));
        return -1;
    }
    return static_cast<ssize_t>(sent);
}

ssize_t cgminer_api_recv(int fd, c_str_ptr *reply) {
    size_t capacity = kRecvChunk + 1;
    c_str_ptr buf(static_cast<char *>(malloc(capacity)));
    if (!buf) {
        LOG_ERROR("Failed to allocate memory for receive buffer!\n");
        exit(1);
    }
    size_t len = 0;
    ssize_t result = 0;
    const auto deadline = steady::now() + kCgminerReplyTimeout;
    for (;;) {
        if (len >= kCgminerReplyLimit) {
            LOG_ERROR("Failed to receive cgminer api response - %s\n", strerror(EMSGSIZE));
            reply->reset();  // no part of an oversized reply is used
            return -1;
        }
        if (capacity - len < 1) {
            capacity += kRecvChunk;
            char *grown = static_cast<char *>(realloc(buf.get(), capacity));
            if (grown == nullptr) {
                LOG_ERROR("Failed to reallocate memory for receive buffer!\n");
                exit(1);
            }
            (void)buf.release();
            buf.reset(grown);
        }
        int ready = wait_ready(fd, POLLIN, deadline);
        ssize_t n = ready == 1 ? recv(fd, buf.get() + len, capacity - len, 0) : -1;
        if (n > 0) {
            len += static_cast<size_t>(n);
            continue;
        }
        if (n == 0) {
            result = static_cast<ssize_t>(len);
            break;
        }
        if (ready == 1 && (errno == EINTR || errno == EAGAIN || errno == EWOULDBLOCK))
            continue;
        LOG_ERROR("Failed to receive cgminer api response - %s\n", strerror(errno));
        result = -1;
        break;
    }
    buf.get()[len] = '\0';
    *reply = std::move(buf);
    return result;
}

c_str_ptr cgminer_api_call_raw(const char *request, const char *host, int16_t port) {
    assert(request && host && port > 0);
    int rc = cgminer_api_connect(host, port);
    if (rc < 0) {
        LOG_ERROR("Failed to connect to cgminer api at %s:%d\n", host, port);
        return nullptr;
    }
    unique_fd fd(rc);
    if (cgminer_api_send(fd.get(), request) < 0) {
        LOG_ERROR("Failed to call cgminer api, request: %s\n", request);
        return nullptr;
    }
    c_str_ptr reply;
    if (cgminer_api_recv(fd.get(), &reply) < 0)
        LOG_ERROR("Failed to call cgminer api, request: %s\n", request);
    return reply;
}

json_ptr cgminer_api_call(json_t *request, const char *host, int16_t port) {
    assert(request && host && port > 0);
    c_str_ptr text(json_dumps(request, 0));
    if (!text)
        return nullptr;
    c_str_ptr reply = cgminer_api_call_raw(text.get(), host, port);
    text.reset();
    if (!reply)
        return nullptr;
    return cgminer_api_parse_reply(reply.get());
}

json_ptr cgminer_api_parse_reply(const char *reply) {
    assert(reply);
    // Miners write the objects of an array back to back.
    c_str_ptr repaired(util_str_replace(reply, "}{", "},{"));
    if (!repaired)
        return nullptr;
    json_error_t error;
    json_ptr root(json_loads(repaired.get(), 0, &error));
    if (!root) {
        LOG_ERROR("Failed to parse cgminer api response - %s\n", error.text);
        LOG_ERROR("Api response:\n%s\n", repaired.get());
    }
    return root;
}

json_ptr cgminer_api_call_cmd(const char *command, const char *host, int16_t port) {
    assert(command);
    json_ptr request(json_pack("{ss}", "command", command));
    if (!request)
        return nullptr;
    return cgminer_api_call(request.get(), host, port);
}

bool cgminer_api_probe(const char *host, int16_t port) {
    int fd = cgminer_api_connect(host, port);
    if (fd < 0)
        return false;
    close(fd);
    return true;
}
