#include "norix/miner_support/supervision.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstring>
#include <mutex>
#include <system_error>

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

std::atomic<miner_state_reporter> g_reporter{nullptr};

void kill_cgminer_thread_func();

struct supervision_state {
    // Serialises starts and stops, which come from several threads (requests,
    // signals, the firmware update).
    std::mutex control;
    // Guards child. The loop starts a miner under it only while no stop has been
    // asked for, and the kill thread, started once one has, signals the child under
    // it: a miner started just before a stop is signalled all the same.
    std::mutex lock;
    // The running miner, unreaped; 0 when there is none. The kill thread signals
    // only this pid, so a stop between two runs signals nobody.
    pid_t child = 0;
    BackgroundThread killer;
    // The loop waits for the miner's end: its stop starts the kill thread.
    BackgroundThread loop{[this] {
        killer.start_or_abort("rigkeep@kill", kill_cgminer_thread_func,
                              "Failed to create kill_cgminer thread, code: %d\n");
    }};
};

supervision_state &state() {
    return leaked<supervision_state>();
}

// A miner that cannot be executed at all, unlike one that could not be started for
// lack of resources, counts as a run that ended at once.
bool spawn_failed_to_exec(int error) {
    return error != EAGAIN && error != ENOMEM;
}

class process_runner final : public miner_runner {
  public:
    bool keep_running() override { return state().loop.running(); }

    std::optional<seconds> run_once() override {
        supervision_state &s = state();
        // Nobody reads the miner's output: the null device never fills up or breaks,
        // while a miner writing to the agent's closed log pipe would die of SIGPIPE.
        unique_fd null_out(open(paths::kDevNull, O_WRONLY | O_CLOEXEC));
        if (!null_out) {
            LOG_ERROR("Failed to open %s - %s\n", paths::kDevNull, strerror(errno));
            return std::nullopt;
        }
        spawn_io io;
        io.stdout_fd = null_out.get();
        io.stderr_fd = null_out.get();
        pid_t pid;
        steady::time_point started;
        {
            std::lock_guard lock(s.lock);
            if (!s.loop.running())
                return std::nullopt;
            pid = spawn_command(kMinerArgv, io);
            if (pid < 0 && spawn_failed_to_exec(errno))
                return seconds(0);
            if (pid < 0) {
                LOG_ERROR("Failed to create a child process\n");
                return std::nullopt;
            }
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
        (void)wait_child(pid);
        return std::chrono::duration_cast<seconds>(ended - started);
    }

    void pause(seconds duration) override { (void)state().loop.wait_for(duration); }
};

void report_through_registered(int32_t code, uint8_t progress) {
    if (miner_state_reporter report = g_reporter.load())
        report(code, progress);
}

void cgminer_thread_func() {
    process_runner runner;
    cgminer_supervise(runner, report_through_registered);
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
    if (s.loop.running()) {
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
    s.loop.start_or_abort("rigkeep@miner", cgminer_thread_func,
                          "Failed to create cgminer thread, code: %d\n");
    return 0;
}

int cgminer_stop() {
    supervision_state &s = state();
    std::lock_guard control(s.control);
    if (!s.loop.running()) {
        LOG_WARN("cgminer is not running\n");
        return 0;
    }
    try {
        s.loop.stop();  // ends a pause at once, and starts the kill thread before the join
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
    return state().loop.running();
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
    return cgminer_api_probe(kMinerApiHost, kMinerApiPort);
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
