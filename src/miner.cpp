#include "miner.h"

#include <atomic>
#include <cassert>
#include <cstdlib>
#include <deque>
#include <mutex>
#include <optional>
#include <string>

#include "agent.h"
#include "agent_protocol/agent_protocol.h"
#include "common/json_ptr.h"
#include "common/paths.h"
#include "common/spawn.h"
#include "common/thread_util.h"
#include "config.h"
#include "events.h"
#include "log.h"
#include "metrics.h"
#include "norix/miner_support/supervision.h"
#include "norix/miner_support/watch.h"
#include "status.h"

namespace {

// Serialises mining_start, mining_stop and mining_restart, which come from the main
// thread, the link thread and the firmware update thread. Lock order: this lock,
// then status_lock, then conn_registry_lock and a connection's out_lock. Never
// taken by the reporting threads, which these operations join.
std::mutex mining_control_lock;
std::atomic<bool> mining_start_disabled{false};

// Log requests that wait while the worker runs one; beyond this, a request gets the
// failure answer at once.
constexpr size_t kLogRequestBacklog = 8;

void print_goodbye() {
    LOG_INFO("Goodbye!\n");
}

void report_state(int32_t code) {
    const miner_state state{code, 0};
    status_report_miner_state(&state);
}

void stop_reporting_threads() {
    stop_events_thread();
    metrics_thread_stop();
}

void start_reporting_threads() {
    start_events_thread();
    metrics_thread_start();
}

// A failed miner start: no pool is a pause, anything else an error. -1.
int report_start_failure(int rc) {
    report_state(rc == -2 ? MINER_STATE_PAUSE : MINER_STATE_ERROR);
    return -1;
}

// Runs the log command with its output in *text. nullptr, or the failure's text.
// stop_fd (-1: none) becomes readable when the command must end at once.
const char *run_log_command(std::string *text, int stop_fd) {
    const char *const argv[] = {"sh", paths::kKernelLogScript, nullptr};
    // A stop of the link must not wait for the command either: the daemon's exit
    // waits for the link, and the answer has nowhere to go.
    const run_bounds bounds{kLogOutputLimit, kLogCommandTimeout, kLogCommandKillGrace, stop_fd,
                            agent_stop_requested};
    switch (run_bounded(argv, text, bounds)) {
        case run_end::done:
            return nullptr;
        case run_end::too_much_output:
            return "Unable to allocate memory for storing log messages";
        case run_end::failed:
            break;
    }
    return "Fetching logs failed";
}

int send_logs_failure(const char *request_id, const char *failure) {
    LOG_ERROR("%s\n", failure);
    json_t *answer = json_pack("{ss,ss,sb,ss}", "type", "get_logs", "request_id", request_id, "ok",
                               0, "message", failure);
    if (answer == nullptr)
        return -1;
    return agent_enqueue_message(answer);
}

int send_logs(const char *request_id, int stop_fd) {
    if (!agent_is_connected())
        return -1;
    std::string text;
    const char *failure = run_log_command(&text, stop_fd);
    if (failure == nullptr) {
        json_t *answer = json_pack("{ss,ss,ss%}", "type", "logs", "request_id", request_id, "logs",
                                   text.data(), text.size());
        if (answer != nullptr)
            return agent_enqueue_message(answer);
        failure = "Failed to encode logs response";
    }
    return send_logs_failure(request_id, failure);
}

struct log_request_queue {
    std::mutex lock;
    std::deque<std::string> waiting;
};
log_request_queue &log_requests() {
    return leaked<log_request_queue>();
}

BackgroundThread &log_worker() {
    return leaked<BackgroundThread, struct log_worker_tag>();
}

// Runs the queued log requests one at a time, off the link thread.
void log_worker_thread() {
    BackgroundThread &worker = log_worker();
    log_request_queue &queue = log_requests();
    while (worker.running()) {
        std::optional<std::string> request_id;
        {
            std::lock_guard lock(queue.lock);
            if (!queue.waiting.empty()) {
                request_id = std::move(queue.waiting.front());
                queue.waiting.pop_front();
            }
        }
        if (request_id)
            (void)send_logs(request_id->c_str(), worker.wake_fd());
        else
            (void)worker.wait_for(std::chrono::hours(1));
    }
}

}  // namespace

int miner_init(const char *config_path, const char *server_url) {
    atexit(print_goodbye);
    // A miner left over from an earlier run would hold the API port and the chains.
    // Its result is not looked at: there may be no miner at all.
    (void)run_shell("killall -9 bmminer > /dev/null 2>&1");

    agent_config_set_path(config_path);
    agent_config *cfg = agent_config_get();
    if (config_load(config_path, cfg) != 0)
        return -1;
    LOG_INFO("Api Key: %s\n", cfg->api_key);
    LOG_INFO("Dev Id: %s\n", cfg->dev_id);

    if (watch_config_start(send_config_update) < 0)
        LOG_ERROR("Failed to start watching cgminer config file\n");
    (void)mining_start();  // a miner that cannot start has reported its state
    // Without a usable URL the daemon keeps mining without a link.
    (void)agent_connect(server_url);
    return 0;
}

int mining_start() {
    std::lock_guard lock(mining_control_lock);
    if (mining_start_disabled) {
        LOG_WARN("Miner starting disabled\n");
        return 0;
    }
    stop_reporting_threads();
    int rc = cgminer_start();
    if (rc != 0)
        return report_start_failure(rc);
    start_reporting_threads();
    report_state(MINER_STATE_INITIALIZING);
    return 0;
}

int mining_stop() {
    std::lock_guard lock(mining_control_lock);
    if (!cgminer_is_running()) {
        // A supervision that gave up leaves the reporting threads behind.
        stop_reporting_threads();
        report_state(MINER_STATE_PAUSE);
        return 0;
    }
    if (cgminer_stop() != 0)
        return -1;
    stop_reporting_threads();
    metrics_report_zero();
    report_state(MINER_STATE_PAUSE);
    return 0;
}

int mining_restart() {
    std::lock_guard lock(mining_control_lock);
    if (cgminer_is_running()) {
        if (cgminer_stop() != 0) {
            report_state(MINER_STATE_ERROR);
            return -1;
        }
        stop_reporting_threads();
        metrics_report_zero();
    }
    if (mining_start_disabled) {
        LOG_WARN("Miner starting disabled\n");
        return 0;
    }
    report_state(MINER_STATE_RESTARTING);
    stop_reporting_threads();  // left behind by a supervision that gave up
    int rc = cgminer_start();
    if (rc != 0)
        return report_start_failure(rc);
    start_reporting_threads();
    return 0;
}

void mining_disable_start() {
    // Waits for an operation in progress, so that none can start the miner later.
    std::lock_guard lock(mining_control_lock);
    mining_start_disabled = true;
}

bool mining_is_running() {
    return cgminer_is_running();
}

int miner_send_logs(const char *request_id) {
    assert(request_id != nullptr);
    return send_logs(request_id, -1);
}

int miner_queue_logs(const char *request_id) {
    assert(request_id != nullptr);
    if (!agent_is_connected())
        return -1;
    log_request_queue &queue = log_requests();
    bool queued = false;
    {
        std::lock_guard lock(queue.lock);
        if (queue.waiting.size() < kLogRequestBacklog) {
            queue.waiting.emplace_back(request_id);
            queued = true;
        }
    }
    if (!queued)
        return send_logs_failure(request_id, "Fetching logs failed");
    log_worker().start_or_abort("rigkeep@logs", log_worker_thread,
                                "Failed to create log worker thread, code: %d\n");
    log_worker().notify();
    return 0;
}

void miner_logs_stop() {
    log_worker().stop();
    std::lock_guard lock(log_requests().lock);
    log_requests().waiting.clear();
}

int send_config_update(json_t *doc) {
    json_ptr owned(doc);
    if (!owned || !agent_is_connected())
        return -1;
    if (cgminer_api_available() && cgminer_autotuner_enabled() == 0)
        report_state(MINER_STATE_MINING);
    json_object_set_new(doc, "type", json_string("update_config"));
    return agent_enqueue_message(owned.release());
}
