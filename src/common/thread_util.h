// Thread naming and the daemon's background-thread pattern.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <thread>
#include <utility>

// Names the calling thread (Linux keeps at most 15 characters).
void set_thread_name(const char *name);

// A named worker with a cooperative stop: start does nothing while it runs, stop
// clears the running flag, wakes every interruptible wait and joins. The body polls
// running() or waits with wait_for()/wake_fd() so that a stop ends it promptly; a body
// that waits on anything else gets a stop hook that wakes it.
class BackgroundThread {
  public:
    // stop_hook (if any) runs in every stop(), after the running flag is cleared and
    // before the join.
    explicit BackgroundThread(std::function<void()> stop_hook = {});
    ~BackgroundThread();
    BackgroundThread(const BackgroundThread &) = delete;
    BackgroundThread &operator=(const BackgroundThread &) = delete;

    // 1 started, 0 already running, -1 the thread could not be created (errno-like
    // code in *error when given). The running state is claimed before the thread
    // exists, so two racing starts never create two threads.
    int start(const char *name, std::function<void()> body, int *error = nullptr);
    // start(), except that a thread that cannot be created ends the daemon (its
    // supervisor restarts it) after failure is logged, a format taking the error code.
    int start_or_abort(const char *name, std::function<void()> body, const char *failure);
    // Returns false when the thread was not running. Must not be called from the
    // thread itself.
    bool stop();
    bool running() const { return running_.load(); }

    // Sleeps up to d, or until notify(); false as soon as a stop has been requested.
    bool wait_for(std::chrono::steady_clock::duration d);
    // Ends the body's wait_for() in progress, or else its next one, without a stop:
    // there is new work for it.
    void notify();
    // Readable (eventfd) once a stop has been requested: for poll()-based waits.
    int wake_fd() const { return wake_fd_; }
    // True when called on this worker's own thread.
    bool is_current() const { return std::this_thread::get_id() == thread_.get_id(); }

  private:
    std::atomic<bool> running_{false};
    std::thread thread_;
    std::mutex mutex_;
    std::condition_variable cv_;
    bool notified_ = false;  // guarded by mutex_
    int wake_fd_ = -1;
    const std::function<void()> stop_hook_;
};

// The one T of Tag, created on first use (with args) and never destroyed: threads may
// use it until the process is gone, and a destructor at exit would run, or join, under
// them. Tag tells apart two of the same type, e.g. leaked<BackgroundThread, struct x>().
template <typename T, typename Tag = T, typename... Args>
T &leaked(Args &&...args) {
    static T *const object = new T(std::forward<Args>(args)...);
    return *object;
}
