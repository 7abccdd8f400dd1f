#include "common/process_exit.h"

#include <atomic>
#include <cstdlib>
#include <mutex>

namespace {

// Held for good by the thread that calls exit(). Trivially destructible: nothing
// here is torn down under that exit.
std::mutex exit_lock;
std::atomic<bool> stopping{false};

}  // namespace

void process_stop_begin() {
    std::lock_guard lock(exit_lock);
    stopping = true;
}

bool process_stop_under_way() {
    return stopping;
}

void process_exit(int status) {
    exit_lock.lock();
    if (stopping) {
        exit_lock.unlock();
        return;
    }
    exit(status);
}
