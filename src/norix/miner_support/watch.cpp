#include "norix/miner_support/watch.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cassert>
#include <cerrno>
#include <cstring>
#include <future>
#include <memory>
#include <system_error>
#include <utility>

#include "common/paths.h"
#include "common/thread_util.h"
#include "common/unique_fd.h"
#include "log.h"
#include "norix/miner_config.h"
#include "norix/miner_support/document.h"

namespace {

// IN_MOVE_SELF: the directory itself renamed away, the path may name another one now.
constexpr uint32_t kWatchMask = IN_CLOSE_WRITE | IN_MOVED_TO | IN_MOVE_SELF;
// Readable for poll (POLLPRI) whenever a file system is mounted or unmounted in our
// namespace: the only other way the directory at the path can change under the watch.
constexpr const char *kMountTable = "/proc/self/mountinfo";

BackgroundThread &watch_thread() {
    return leaked<BackgroundThread, struct watch_tag>();
}

// One read of the queued events: true when they include a write of the miner file
// or lost some (queue overflow). *dropped is set when the kernel removed the watch wd
// (its directory was deleted or unmounted), *moved when that directory was renamed.
bool read_watch_events(int fd, int wd, bool *dropped, bool *moved) {
    alignas(inotify_event) char buffer[kWatchEventBufferSize];
    ssize_t n = read(fd, buffer, sizeof buffer);
    if (n < 0) {
        LOG_ERROR("Failed to read inotify events\n");
        return false;
    }
    const size_t total = static_cast<size_t>(n);
    const size_t name_len = strlen(paths::kMinerConfigName);
    bool written = false;
    size_t offset = 0;
    while (offset + sizeof(inotify_event) <= total) {
        inotify_event event;
        memcpy(&event, buffer + offset, sizeof event);
        if (event.mask & IN_Q_OVERFLOW)
            written = true;  // events were lost: the miner file may have been written
        if ((event.mask & IN_IGNORED) && wd >= 0 && event.wd == wd && dropped != nullptr)
            *dropped = true;
        if ((event.mask & IN_MOVE_SELF) && wd >= 0 && event.wd == wd && moved != nullptr)
            *moved = true;
        const size_t name_offset = offset + sizeof event;
        if (event.len > total - name_offset)
            break;  // cut short: never read past what arrived
        if (event.len != 0 && event.mask != 0) {
            const char *name = buffer + name_offset;
            if (strnlen(name, event.len) == name_len &&
                memcmp(name, paths::kMinerConfigName, name_len) == 0)
                written = true;
        }
        offset = name_offset + event.len;
    }
    return written;
}

// armed is fulfilled once the watch is in place (or could not be made), so that a
// write right after watch_config_start() is never missed.
void watch_config_thread_func(config_watch_callback callback, std::promise<void> &armed) {
    assert(callback != nullptr);
    BackgroundThread &self = watch_thread();

    ConfigDirWatch watch(paths::kConfigDir);
    if (watch.fd() < 0) {
        armed.set_value();
        return;
    }
    watch.arm();
    armed.set_value();

    bool pending = false;
    std::chrono::milliseconds elapsed{0};
    while (self.running()) {
        // /config may be missing, not mounted yet, or replaced: try again every step.
        watch.arm();
        pollfd fds[3] = {{watch.fd(), POLLIN, 0},
                         {self.wake_fd(), POLLIN, 0},
                         {watch.mounts_fd(), POLLPRI, 0}};  // ignored when negative
        int rc = poll(fds, 3, static_cast<int>(kWatchPollStep.count()));
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
        if (fds[2].revents != 0)
            watch.recheck();
        if (fds[0].revents & POLLIN) {
            // The agent's own save: marked while it runs, and known by the file it
            // left when its event is read later (a slow report held the loop up).
            if (watch.read_events() && !miner_config_saving &&
                !miner_config_is_own_save(paths::kMinerConfig)) {
                pending = true;
                elapsed = std::chrono::milliseconds{0};
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
    return read_watch_events(fd, -1, nullptr, nullptr);
}

ConfigDirWatch::ConfigDirWatch(std::string dir)
    : dir_(std::move(dir)),
      fd_(inotify_init1(IN_CLOEXEC)),
      mounts_(open(kMountTable, O_RDONLY | O_CLOEXEC)) {
    if (!fd_)
        LOG_ERROR("Failed to initialize inotify - %s\n", strerror(errno));
}

bool ConfigDirWatch::arm() {
    if (!fd_)
        return false;
    // Nothing can have changed the directory at the path since the last check.
    if (wd_ >= 0 && !check_ && mounts_)
        return true;
    check_ = false;
    struct stat st {};
    const bool present = stat(dir_.c_str(), &st) == 0;
    int error = present ? 0 : errno;
    if (present && wd_ >= 0 && st.st_dev == dev_ && st.st_ino == ino_)
        return true;
    if (wd_ >= 0) {
        inotify_rm_watch(fd_.get(), wd_);  // fails harmlessly when the kernel dropped it
        wd_ = -1;
    }
    if (present) {
        wd_ = inotify_add_watch(fd_.get(), dir_.c_str(), kWatchMask | IN_ONLYDIR);
        error = errno;
    }
    if (wd_ < 0) {
        if (!failure_logged_)
            LOG_ERROR("Failed to watch %s - %s\n", dir_.c_str(), strerror(error));
        failure_logged_ = true;
        return false;
    }
    // Checked before the watch was added: a directory swapped in between differs
    // from what is recorded and is watched again at the next step.
    dev_ = st.st_dev;
    ino_ = st.st_ino;
    failure_logged_ = false;
    return true;
}

bool ConfigDirWatch::read_events() {
    bool dropped = false;
    bool moved = false;
    bool written = read_watch_events(fd_.get(), wd_, &dropped, &moved);
    if (dropped)
        wd_ = -1;  // made again by the next arm()
    if (moved)
        check_ = true;
    return written;
}

int watch_config_run_callback(config_watch_callback callback) {
    json_ptr doc = compose_config();
    if (!doc || !callback)
        return -1;
    return callback(doc.release());
}

int watch_config_start(config_watch_callback callback) {
    auto armed = std::make_shared<std::promise<void>>();
    std::future<void> ready = armed->get_future();
    int rc = watch_thread().start_or_abort(
        "rigkeep@config", [callback, armed] { watch_config_thread_func(callback, *armed); },
        "Failed to start watch config thread, code: %d\n");
    if (rc == 1) {
        // Setting up inotify takes microseconds; the bound only guards against a
        // wedged start.
        ready.wait_for(std::chrono::seconds(5));
    } else {
        LOG_WARN("Watch config thread is already running\n");
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
