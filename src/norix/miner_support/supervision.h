// Supervision of the miner program: one child at a time, restarted whenever it
// exits by itself, given up after too many short runs, stopped politely and then by
// force. Also the small probes other modules use to judge the miner.
#pragma once

#include <chrono>
#include <cstdint>
#include <optional>

inline constexpr std::chrono::seconds kMinerShortRun{9};  // this long or less is abnormal
inline constexpr int kMinerGiveUpRestarts = 1000;
inline constexpr std::chrono::seconds kMinerRestartPause{5};
inline constexpr std::chrono::seconds kMinerKillGrace{5};  // SIGINT, then SIGKILL
// The miner states of the status report; the supervision reports MINER_STATE_ERROR
// when it gives up.
enum miner_state_code : int32_t {
    MINER_STATE_INITIALIZING = 0,
    MINER_STATE_MINING = 1,
    MINER_STATE_PAUSE = 2,
    MINER_STATE_ERROR = 3,
    MINER_STATE_UPDATING = 4,
    MINER_STATE_RESTARTING = 5,
    MINER_STATE_AUTOTUNING = 6,
};

// How the supervision reports a miner state (code, progress) to the status
// report; wired once at start-up. Without one, giving up is only logged.
using miner_state_reporter = void (*)(int32_t state, uint8_t progress);
void cgminer_set_state_reporter(miner_state_reporter report);

// 0 started (or already running), -1 failure, -2 no pool configured.
int cgminer_start();
// 0 stopped (or was not running), -1 the supervision thread could not be joined.
int cgminer_stop();
bool cgminer_is_running();
// 0 when the miner program can be opened for reading, else -1 (logged).
int cgminer_present();
// True when the miner's API accepts a connection.
bool cgminer_api_available();
// 1 when the miner file switches automatic tuning on, else 0.
int cgminer_autotuner_enabled();

// What the supervision loop needs from the world: the daemon's runner forks the
// real miner and sleeps on a stoppable clock; tests drive the same loop with
// scripted runs.
class miner_runner {
  public:
    virtual ~miner_runner() = default;
    // False once a stop has been requested.
    virtual bool keep_running() = 0;
    // Starts the miner and waits for its end: its run time, or nothing when no run
    // took place (a failure, already logged, or a stop that came first).
    virtual std::optional<std::chrono::seconds> run_once() = 0;
    // The pause between two runs; a stop ends it early.
    virtual void pause(std::chrono::seconds duration) = 0;
};

// The supervision loop: runs the miner until a stop, a failed start or the give-up
// after kMinerGiveUpRestarts short runs (logged, "error" reported through report).
void cgminer_supervise(miner_runner &runner, miner_state_reporter report);
