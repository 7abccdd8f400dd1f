// A network change confirmed by the service or rolled back: a wrong address, mask
// or gateway must not cut the board off its network for good.
#include <sys/eventfd.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstring>
#include <mutex>

#include "agent.h"
#include "agent_msgs/agent_msgs.h"
#include "common/spawn.h"
#include "config.h"
#include "log.h"

namespace {

using clock_type = std::chrono::steady_clock;

constexpr std::chrono::seconds kConfirmWindow{RIGKEEP_NETWORK_CONFIRM_SECONDS};
// A board whose link stays down is ended by the hang rule: the rollback comes first.
static_assert(kConfirmWindow < LinkWatchdog::kLimit, "the window must end before the hang rule");
static_assert(kConfirmWindow.count() > 0, "the window must not be empty");

// Not backgrounded: the child is ours to reap, so we know when the restart is over.
constexpr const char *kNetworkRestart = "sleep 1; /etc/init.d/network.sh restart";

// Restarts still running; a request during one may start another.
constexpr int kMaxRestarts = 4;

// Requests and authentications on the link thread, the deadline on the main thread.
// Trivially destructible: the process may exit under either.
std::mutex change_lock;
struct change_state {
    bool pending = false;
    clock_type::time_point deadline{};
    pid_t restarts[kMaxRestarts] = {};
    int running = 0;
} change;
int wake_fd = -1;

void wake_main() {
    const uint64_t one = 1;
    if (wake_fd >= 0 && write(wake_fd, &one, sizeof one) < 0 && errno != EAGAIN)
        LOG_ERROR("Failed to wake the main loop: %s\n", strerror(errno));
}

// The rest under change_lock.

void reap_restarts() {
    for (int i = 0; i < change.running;) {
        int status = 0;
        pid_t done = waitpid(change.restarts[i], &status, WNOHANG);
        if (done == 0 || (done < 0 && errno == EINTR)) {
            ++i;
            continue;
        }
        change.restarts[i] = change.restarts[--change.running];
    }
}

void restart_network() {
    if (change.running == kMaxRestarts) {
        (void)wait_child(change.restarts[0]);  // ends a second or so after it started
        change.restarts[0] = change.restarts[--change.running];
    }
    pid_t pid = spawn_shell(kNetworkRestart);
    if (pid < 0) {
        LOG_ERROR("Failed to run the network restart: %s\n", strerror(errno));
        return;
    }
    change.restarts[change.running++] = pid;
}

void open_window() {
    change.pending = true;
    change.deadline = clock_type::now() + kConfirmWindow;
    wake_main();
}

void confirm() {
    // A copy that cannot be removed is found again by the next start, which then
    // waits for the service once more; this run has its answer.
    (void)network_config_forget();
    change.pending = false;
    LOG_INFO("Network change confirmed\n");
}

void roll_back() {
    LOG_WARN("Network change not confirmed, restoring previous settings\n");
    if (network_config_restore() != 0) {
        change.deadline = clock_type::now() + kConfirmWindow;  // tried again then
        return;
    }
    restart_network();
    // Only now: a kill before this point leaves the pair for the next start.
    (void)network_config_forget();
    change.pending = false;
}

}  // namespace

std::unique_lock<std::mutex> network_change_lock() {
    return std::unique_lock(change_lock);
}

void apply_network_config() {
    LOG_INFO("Applying network configuration\n");
    restart_network();
    open_window();
}

void network_change_resume() {
    wake_fd = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (wake_fd < 0)
        LOG_ERROR("Failed to create the network change wake: %s\n", strerror(errno));
    std::lock_guard lock(change_lock);
    // Timed from this start: the board's clock may be unset.
    if (network_config_kept())
        open_window();
}

void network_change_heard() {
    std::lock_guard lock(change_lock);
    reap_restarts();
    if (change.pending && change.running == 0)
        confirm();
}

int network_change_wake_fd() {
    return wake_fd;
}

int network_change_check() {
    uint64_t count = 0;
    while (wake_fd >= 0 && read(wake_fd, &count, sizeof count) > 0) {
    }
    std::lock_guard lock(change_lock);
    reap_restarts();
    if (!change.pending)
        return -1;
    const auto now = clock_type::now();
    if (now >= change.deadline) {
        // A link authenticated during the restart and still answering the idle
        // pings has been through the new settings as well.
        if (change.running == 0 && agent_is_authenticated())
            confirm();
        else
            roll_back();
        if (!change.pending)
            return -1;
    }
    const auto left = std::chrono::ceil<std::chrono::milliseconds>(change.deadline - now);
    return static_cast<int>(left.count());
}
