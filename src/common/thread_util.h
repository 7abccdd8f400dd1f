// Thread naming and the daemon's background-thread pattern.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <thread>

// Names the calling thread (Linux keeps at most 15 characters).
void set_thread_name(const char *name);

// A named worker with a cooperative stop: start does nothing while it runs, stop
// clears the running flag, wakes every interruptible wait and joins. The body polls
// running() or waits with wait_for()/wake_fd() so that a stop ends it promptly.
class BackgroundThread {
  public:
    BackgroundThread();
    ~BackgroundThread();
    BackgroundThread(const BackgroundThread &) = delete;
    BackgroundThread &operator=(const BackgroundThread &) = delete;

    // 1 started, 0 already running, -1 the thread could not be created (errno-like
    // code in *error when given). The running state is claimed before the thread
    // exists, so two racing starts never create two threads.
    int start(const char *name, std::function<void()> body, int *error = nullptr);
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
};
