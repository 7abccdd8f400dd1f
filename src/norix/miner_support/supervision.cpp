#include "norix/miner_support/supervision.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <system_error>
#include <thread>

#include "cgminer_api.h"
#include "common/paths.h"
#include "common/spawn.h"
#include "common/thread_util.h"
#include "common/unique_fd.h"
#include "log.h"
#include "norix/miner_config.h"

namespace {

using std::chrono::seconds;
using steady = std::chrono::steady_clock;

// Searched through PATH by name, with the device's fixed arguments.
const char *const kMinerArgv[] = {"bmminer",          "--fixed-freq",           "--no-pre-heat",
                                  "--version-file",   paths::kMinerVersionFile, "--api-listen",
                                  "--default-config", paths::kMinerConfig,      nullptr};

std::atomic<bool> g_running{false};
std::atomic<miner_state_reporter> g_reporter{nullptr};

struct supervision_state {
    // Serialises starts and stops, which come from several threads (requests,
    // signals, the firmware update).
    std::mutex control;
    // Guards child and the pause; a stop clears g_running under it, so the loop
    // either sees the stop before it forks or leaves the new child to the kill
    // thread.
    std::mutex lock;
    std::condition_variable wake;
    // The running miner, unreaped; 0 when there is none. The kill thread signals
    // only this pid, so a stop between two runs signals nobody.
    pid_t child = 0;
    std::thread thread;
    BackgroundThread killer;
};

// Leaked on purpose: no destructor may run under these threads at process exit.
supervision_state &state() {
    static supervision_state *s = new supervision_state;
    return *s;
}

// In the forked child: only async-signal-safe calls until the exec.
// Both output streams go to the null device: a miner writing to the agent's closed
// log pipe would die of SIGPIPE.
[[noreturn]] void exec_miner(int null_fd) {
    for (int target : {STDOUT_FILENO, STDERR_FILENO}) {
        if (null_fd == target)
            fcntl(null_fd, F_SETFD, 0);
        else
            dup2(null_fd, target);
    }
    // The agent keeps its stop signals blocked in every thread; the miner must get
    // them as usual.
    reset_signal_state_for_exec();
    execvp(kMinerArgv[0], const_cast<char *const *>(kMinerArgv));
    _exit(1);
}

class process_runner final : public miner_runner {
  public:
    bool keep_running() override { return g_running.load(); }

    std::optional<seconds> run_once() override {
        supervision_state &s = state();
        // Nobody reads the miner's output: the null device never fills up or breaks.
        unique_fd null_out(open(paths::kDevNull, O_WRONLY | O_CLOEXEC));
        if (!null_out) {
            LOG_ERROR("Failed to open %s - %s\n", paths::kDevNull, strerror(errno));
            return std::nullopt;
        }
        pid_t pid;
        steady::time_point started;
        {
            std::lock_guard lock(s.lock);
            if (!g_running.load())
                return std::nullopt;
            pid = fork();
            if (pid < 0) {
                LOG_ERROR("Failed to create a child process\n");
                return std::nullopt;
            }
            if (pid == 0)
                exec_miner(null_out.get());
            s.child = pid;
            started = steady::now();
        }
        null_out.reset();

        // Waits without reaping: until the pid is cleared below it still names
        // our child, never a stranger that inherited the number.
        siginfo_t info;
        while (waitid(P_PID, static_cast<id_t>(pid), &info, WEXITED | WNOWAIT) != 0 &&
               errno == EINTR) {
        }
        const auto ended = steady::now();
        {
            std::lock_guard lock(s.lock);
            s.child = 0;
        }
        int status;
        while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
        }
        return std::chrono::duration_cast<seconds>(ended - started);
    }

    void pause(seconds duration) override {
        supervision_state &s = state();
        std::unique_lock lock(s.lock);
        s.wake.wait_for(lock, duration, [] { return !g_running.load(); });
    }
};

void report_through_registered(int32_t code, uint8_t progress) {
    if (miner_state_reporter report = g_reporter.load())
        report(code, progress);
}

void cgminer_thread_func() {
    set_thread_name("rigkeep@miner");
    process_runner runner;
    cgminer_supervise(runner, report_through_registered);
    std::lock_guard lock(state().lock);
    g_running = false;
}

void signal_live_child(int sig) {
    supervision_state &s = state();
    std::lock_guard lock(s.lock);
    if (s.child > 0)
        kill(s.child, sig);
}

void kill_cgminer_thread_func() {
    signal_live_child(SIGINT);
    if (!state().killer.wait_for(kMinerKillGrace))
        return;  // the miner ended in time
    signal_live_child(SIGKILL);
}

}  // namespace

void cgminer_set_state_reporter(miner_state_reporter report) {
    g_reporter = report;
}

void cgminer_supervise(miner_runner &runner, miner_state_reporter report) {
    // Short runs over the whole life of the loop, not only consecutive ones.
    int restarts = 0;
    while (runner.keep_running()) {
        if (restarts >= kMinerGiveUpRestarts) {
            LOG_ERROR("Miner crashed %d times. Please investigate the logs for details!\n",
                      restarts);
            if (report)
                report(MINER_STATE_ERROR, 0);
            return;
        }
        std::optional<seconds> ran = runner.run_once();
        if (!ran)
            return;
        LOG_INFO("Miner exited after %ld seconds of working\n", static_cast<long>(ran->count()));
        if (!runner.keep_running())
            return;  // a requested stop
        if (*ran <= kMinerShortRun) {
            LOG_WARN("Abnormal miner restart detected (%d restarts)\n", restarts);
            ++restarts;
        }
        runner.pause(kMinerRestartPause);
    }
}

int cgminer_start() {
    supervision_state &s = state();
    std::lock_guard control(s.control);
    if (g_running.load()) {
        LOG_WARN("cgminer is already running\n");
        return 0;
    }
    miner_config cfg;
    memset(&cfg, 0, sizeof cfg);
    if (miner_config_load(paths::kMinerConfig, &cfg) != 0) {
        LOG_ERROR("Failed to load cgminer config\n");
        return -1;
    }
    if (cfg.pool_count == 0) {
        LOG_ERROR("At least one pool should be configured!\n");
        return -2;
    }
    if (cgminer_present() != 0) {
        LOG_ERROR("Unsupported miner!\n");
        return -1;
    }
    if (s.thread.joinable())
        s.thread.join();  // a loop that ended by itself
    // Claimed before the thread exists: however fast starts follow, one loop.
    g_running = true;
    try {
        s.thread = std::thread(cgminer_thread_func);
    } catch (const std::system_error &e) {
        LOG_ERROR("Failed to create cgminer thread, code: %d\n", e.code().value());
        abort();
    }
    return 0;
}

int cgminer_stop() {
    supervision_state &s = state();
    std::lock_guard control(s.control);
    {
        std::lock_guard lock(s.lock);
        if (!g_running.load()) {
            LOG_WARN("cgminer is not running\n");
            return 0;
        }
        g_running = false;  // the loop will not restart the miner
    }
    s.wake.notify_all();  // ends a pause between two runs at once

    int error = 0;
    if (s.killer.start("rigkeep@kill", kill_cgminer_thread_func, &error) < 0) {
        LOG_ERROR("Failed to create kill_cgminer thread, code: %d\n", error);
        abort();
    }
    try {
        if (s.thread.joinable())
            s.thread.join();
    } catch (const std::system_error &e) {
        LOG_ERROR("Failed to join cgminer thread, code: %d\n", e.code().value());
        return -1;
    }
    try {
        s.killer.stop();
    } catch (const std::system_error &e) {
        LOG_WARN("Failed to join stop kill_miner thread, code: %d\n", e.code().value());
    }
    return 0;
}

bool cgminer_is_running() {
    return g_running.load();
}

int cgminer_present() {
    unique_fd fd(open(paths::kMinerBinary, O_RDONLY | O_CLOEXEC));
    if (!fd) {
        LOG_ERROR("Miner not found %s\n", paths::kMinerBinary);
        return -1;
    }
    return 0;
}

bool cgminer_api_available() {
    return cgminer_api_probe("localhost", kMinerApiPort);
}

int cgminer_autotuner_enabled() {
    miner_config cfg;
    memset(&cfg, 0, sizeof cfg);
    if (miner_config_load(paths::kMinerConfig, &cfg) != 0) {
        LOG_ERROR("Failed to load cgminer config\n");
        return 0;
    }
    return cfg.autodownscale || cfg.autodownscale_watch ? 1 : 0;
}
