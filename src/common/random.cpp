#include "common/random.h"

#include <fcntl.h>
#include <sys/random.h>
#include <unistd.h>

#include <cassert>
#include <cerrno>

#include "common/unique_fd.h"

namespace {

int read_urandom(unsigned char *out, size_t len) {
    unique_fd fd(open("/dev/urandom", O_RDONLY | O_CLOEXEC));
    while (fd && len > 0) {
        ssize_t n = read(fd.get(), out, len);
        if (n <= 0) {
            if (n < 0 && errno == EINTR)
                continue;
            return -1;
        }
        out += n;
        len -= static_cast<size_t>(n);
    }
    return fd ? 0 : -1;
}

}  // namespace

int random_bytes(void *buf, size_t len) {
    auto *out = static_cast<unsigned char *>(buf);
    while (len > 0) {
        ssize_t n = getrandom(out, len, 0);
        if (n < 0) {
            if (errno == EINTR)
                continue;
            if (errno == ENOSYS)  // kernels before 3.17
                return read_urandom(out, len);
            return -1;
        }
        out += n;
        len -= static_cast<size_t>(n);
    }
    return 0;
}

uint32_t random_below(uint32_t bound) {
    assert(bound > 0);
    // Rejects the top partial range so that every value is equally likely.
    const uint32_t limit = UINT32_MAX - UINT32_MAX % bound;
    uint32_t value;
    do {
        if (random_bytes(&value, sizeof value) != 0)
            return 0;
    } while (value >= limit);
    return value % bound;
}
