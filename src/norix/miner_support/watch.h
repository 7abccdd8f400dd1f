// Watch on /config/bmminer.conf: when another program has rewritten it and it has
// then stayed quiet for 3 seconds, the fresh configuration document goes to a
// callback. The agent's own saves are not reported back.
#pragma once

#include <jansson.h>

#include <chrono>

// Receives one reference to the document and is responsible for it; negative on
// failure.
using config_watch_callback = int (*)(json_t *doc);

inline constexpr std::chrono::milliseconds kWatchPollStep{1000};
inline constexpr std::chrono::milliseconds kWatchQuietTime{3000};
// Room for 100 events with a full-length name each.
inline constexpr size_t kWatchEventBufferSize = 27200;

// Starts the watch thread "rigkeep@config"; only warns when it runs already. 0.
int watch_config_start(config_watch_callback callback);
// Stops and joins it, releasing its descriptor; only warns when it does not run.
// 0, or -1 when the join failed.
int watch_config_stop();
bool watch_config_is_running();

// Reads the pending events from an inotify descriptor once; true when they
// include a write of the miner file.
bool watch_config_check_events(int fd);
// Builds the document and hands it to callback. The callback's result, or -1
// when there is no callback or no document.
int watch_config_run_callback(config_watch_callback callback);
