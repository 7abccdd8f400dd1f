#include "norix/miner_support/watch.h"

#include <poll.h>
#include <sys/inotify.h>
#include <unistd.h>

#include <cassert>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <future>
#include <memory>
#include <system_error>

#include "common/paths.h"
#include "common/thread_util.h"
#include "common/unique_fd.h"
#include "log.h"
#include "norix/miner_config.h"
#include "norix/miner_support/document.h"

namespace {

constexpr uint32_t kWatchMask = IN_CLOSE_WRITE | IN_MOVED_TO;

// Leaked on purpose: no destructor may run under the thread at process exit.
BackgroundThread &watch_thread() {
    static BackgroundThread *thread = new BackgroundThread;
    return *thread;
}

// armed is fulfilled once the watch is in place (or could not be made), so that a
// write right after watch_config_start() is never missed.
void watch_config_thread_func(config_watch_callback callback, std::promise<void> &armed) {
    assert(callback != nullptr);
    BackgroundThread &self = watch_thread();

    unique_fd inotify(inotify_init1(IN_CLOEXEC));
    if (!inotify) {
        LOG_ERROR("Failed to initialize inotify - %s\n", strerror(errno));
        armed.set_value();
        return;
    }
    // Without the watch the loop only idles; the next start tries again.
    if (inotify_add_watch(inotify.get(), paths::kConfigDir, kWatchMask) < 0)
        LOG_ERROR("Failed to watch %s - %s\n", paths::kConfigDir, strerror(errno));
    armed.set_value();

    bool pending = false;
    std::chrono::milliseconds elapsed{0};
    while (self.running()) {
        pollfd fds[2] = {{inotify.get(), POLLIN, 0}, {self.wake_fd(), POLLIN, 0}};
        int rc = poll(fds, 2, static_cast<int>(kWatchPollStep.count()));
        if (rc < 0) {
            if (errno == EINTR)
                continue;
            LOG_ERROR("Failed to poll config change events - %s\n", strerror(errno));
            break;
        }
        if (!self.running())
            break;
        if (fds[0].revents & (POLLERR | POLLNVAL)) {
            LOG_ERROR("Failed to poll config change events - %s\n", strerror(EIO));
            break;
        }
        if (fds[0].revents & POLLIN) {
            if (watch_config_check_events(inotify.get())) {
                if (!miner_config_saving) {
                    pending = true;
                    elapsed = std::chrono::milliseconds{0};
                }
                // else: the agent's own save
            }
            continue;  // activity never counts as quiet time
        }
        if (!pending)
            continue;
        elapsed += kWatchPollStep;
        if (elapsed < kWatchQuietTime)
            continue;
        if (watch_config_run_callback(callback) < 0)
            LOG_ERROR("Failed to execute config watch callback\n");
        pending = false;  // a failed report waits for the next write
    }
}

}  // namespace

bool watch_config_check_events(int fd) {
    alignas(inotify_event) char buffer[kWatchEventBufferSize];
    ssize_t n = read(fd, buffer, sizeof buffer);
    if (n < 0) {
        LOG_ERROR("Failed to read inotify events\n");
        return false;
    }
    const size_t total = static_cast<size_t>(n);
    size_t offset = 0;
    while (offset + sizeof(inotify_event) <= total) {
        inotify_event event;
        memcpy(&event, buffer + offset, sizeof event);
        const size_t name_offset = offset + sizeof event;
        if (event.len > total - name_offset)
            break;  // cut short: never read past what arrived
        if (event.len != 0 && event.mask != 0) {
            const char *name = buffer + name_offset;
            if (strnlen(name, event.len) == strlen(paths::kMinerConfigName) &&
                memcmp(name, paths::kMinerConfigName, strlen(paths::kMinerConfigName)) == 0)
                return true;
        }
        offset = name_offset + event.len;
    }
    return false;
}

int watch_config_run_callback(config_watch_callback callback) {
    json_ptr doc = compose_config();
    if (!doc || !callback)
        return -1;
    return callback(doc.release());
}

int watch_config_start(config_watch_callback callback) {
    int error = 0;
    auto armed = std::make_shared<std::promise<void>>();
    std::future<void> ready = armed->get_future();
    int rc = watch_thread().start(
        "rigkeep@config", [callback, armed] { watch_config_thread_func(callback, *armed); },
        &error);
    if (rc == 1) {
        // Setting up inotify takes microseconds; the bound only guards against a
        // wedged start.
        ready.wait_for(std::chrono::seconds(5));
    } else if (rc == 0) {
        LOG_WARN("Watch config thread is already running\n");
    } else if (rc < 0) {
        LOG_ERROR("Failed to start watch config thread, code: %d\n", error);
        abort();
    }
    return 0;
}

int watch_config_stop() {
    BackgroundThread &thread = watch_thread();
    if (!thread.running()) {
        LOG_WARN("Watch config thread has already been stopped\n");
    }
    try {
        thread.stop();  // also joins a thread that ended by itself
    } catch (const std::system_error &e) {
        LOG_ERROR("Failed to join watch config thread, code: %d\n", e.code().value());
        return -1;
    }
    return 0;
}

bool watch_config_is_running() {
    return watch_thread().running();
}
