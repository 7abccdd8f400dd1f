// The "metrics" report: every 10 s while the miner runs.
#pragma once

struct miner_stats;

// The thread waits for the miner's API, reports the miner state ("mining" or
// "autotuning") through the status report, then sends metrics every 10 s. Mining
// control starts it after a miner start and stops it before a start, on stop and on
// restart; a stop ends every wait promptly. Do not stop it with status_lock held.
int metrics_thread_start();
int metrics_thread_stop();
int metrics_report(const miner_stats *stats);
// A message with every value zero and the current time.
int metrics_report_zero();
