// Mining control: the miner-side start-up of the daemon, starting, stopping and
// restarting the miner together with its reports, and two small senders.
#pragma once

#include <jansson.h>

#include <chrono>
#include <cstddef>

// The log command is ended after this long and the request gets a failure answer.
inline constexpr std::chrono::seconds kLogCommandTimeout{30};
// More output than this is refused like output that cannot be stored.
inline constexpr size_t kLogOutputLimit = 1024 * 1024;
// Grace between the polite signal to the log command's process group and SIGKILL.
inline constexpr std::chrono::seconds kLogCommandKillGrace{1};

// Kills a leftover miner, loads the agent configuration from config_path, starts
// the configuration watch and mining, and last the link to server_url. 0, or -1
// when the agent configuration cannot be loaded.
int miner_init(const char *config_path, const char *server_url);

// The miner with its events and metrics threads, and the state shown to the
// service. One at a time, from any thread but the reporting threads themselves.
// 0, or -1 (a failed start or stop, reported).
int mining_start();
int mining_stop();
int mining_restart();
// Every later start is skipped (the firmware update, the shutdown). Never undone.
// Returns once no start, stop or restart is in progress.
void mining_disable_start();
bool mining_is_running();

// Answers a log request with the kernel log ("logs"), or with a "get_logs"
// failure. -1 without an established connection (nothing runs), else the queue's
// result. Returns within kLogCommandTimeout plus the kill grace.
int miner_send_logs(const char *request_id);
// miner_send_logs on the log worker "rigkeep@logs", one request at a time, so that
// the link goes on serving while the command runs. -1 without an established
// connection; 0 queued; when kLogRequestBacklog requests wait already, the failure
// answer goes out at once (the queue's result).
int miner_queue_logs(const char *request_id);
// Ends the command in progress at once (its failure answer is queued), drops the
// waiting requests and joins the worker. Called when the link ends.
void miner_logs_stop();
// The configuration watch's callback: sends doc as "update_config". Takes doc.
int send_config_update(json_t *doc);
