#include "common/thread_util.h"

#include <sys/eventfd.h>
#include <sys/prctl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <system_error>

#include "log.h"

void set_thread_name(const char *name) {
    prctl(PR_SET_NAME, name, 0, 0, 0);
}

BackgroundThread::BackgroundThread(std::function<void()> stop_hook)
    : wake_fd_(eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)), stop_hook_(std::move(stop_hook)) {}

BackgroundThread::~BackgroundThread() {
    stop();
    if (wake_fd_ >= 0)
        close(wake_fd_);
}

int BackgroundThread::start(const char *name, std::function<void()> body, int *error) {
    bool expected = false;
    if (!running_.compare_exchange_strong(expected, true))
        return 0;
    if (thread_.joinable())
        thread_.join();  // a body that ended by itself
    uint64_t drained;
    while (read(wake_fd_, &drained, sizeof drained) > 0) {
    }
    try {
        thread_ = std::thread([this, name, fn = std::move(body)] {
            set_thread_name(name);
            fn();
            running_ = false;  // a body may end by itself; the next start may run it again
        });
    } catch (const std::system_error &e) {
        running_ = false;
        if (error)
            *error = e.code().value();
        return -1;
    }
    return 1;
}

int BackgroundThread::start_or_abort(const char *name, std::function<void()> body,
                                     const char *failure) {
    int error = 0;
    int rc = start(name, std::move(body), &error);
    if (rc < 0) {
        LOG_ERROR(failure, error);
        abort();
    }
    return rc;
}

bool BackgroundThread::stop() {
    bool was_running = running_.exchange(false);
    {
        std::lock_guard lock(mutex_);
        cv_.notify_all();
    }
    uint64_t one = 1;
    if (wake_fd_ >= 0)
        (void)!write(wake_fd_, &one, sizeof one);
    if (stop_hook_)
        stop_hook_();
    if (thread_.joinable() && !is_current())
        thread_.join();
    return was_running;
}

bool BackgroundThread::wait_for(std::chrono::steady_clock::duration d) {
    std::unique_lock lock(mutex_);
    cv_.wait_for(lock, d, [this] { return !running_.load() || notified_; });
    notified_ = false;
    return running_.load();
}

void BackgroundThread::notify() {
    std::lock_guard lock(mutex_);
    notified_ = true;
    cv_.notify_all();
}
