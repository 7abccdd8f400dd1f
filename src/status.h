// The "status" report: firmware identity, miner state, eth0 and the pools. Sent
// every 30 s by the status thread and at once on every state change.
#pragma once

#include <jansson.h>

#include <cstdint>
#include <mutex>

#include "norix/miner_support/supervision.h"  // miner_state_code

struct pool_stats;

struct miner_state {
    int32_t state;
    uint8_t progress;  // percent, only with MINER_STATE_UPDATING
};

// Serialises every status composition with the pool fetch before it, and guards the
// stored state. Lock order: mining control's lock, then status_lock, then the link's
// conn_registry_lock and a connection's out_lock (taken inside the queue). Never stop
// the metrics thread while holding it: that thread reports through it.
extern std::mutex status_lock;

// Stores state, refreshes the pool statistics and sends a report at once.
int status_report_miner_state(const miner_state *state);
// The same for a state without progress.
int status_report_state(int32_t state);
// Sends a report at once with the stored state (initializing when none yet).
int status_report_current();
// Who holds the reports back. Each owner's suspension is its own: a resume never
// ends another owner's, and a repeated one changes nothing.
enum class status_suspender : uint8_t { config_upload, firmware_update };
void status_reports_suspend(status_suspender owner);
void status_reports_resume(status_suspender owner);
// The status thread; the link starts and stops it with its own thread.
int status_thread_start();
int status_thread_stop();

// One pool object of the report, or null when the pool's status code is 0.
json_t *compose_pool_stats(const pool_stats *stats);
