// The "metrics" report: every 10 s while the miner runs.
#pragma once

struct miner_stats;

int metrics_thread_start();
int metrics_thread_stop();
int metrics_report(const miner_stats *stats);
// A message with every value zero and the current time.
int metrics_report_zero();
