// The miner's event pipe (/tmp/events): restart events for the service.
#pragma once

#include <jansson.h>

#include <cstddef>

// Starts the events thread "rigkeep@events" unless it runs. It creates the pipe
// and its link /tmp/event afresh and hands every line to handle_miner_event. 0.
int start_events_thread();
// Ends the thread wherever it waits (for a writer or for a line) and joins it; the
// pipe stays in place. 0.
int stop_events_thread();
bool events_thread_is_running();
// One line of the pipe: 0 when handled (an unknown reason included), else non-zero.
int handle_miner_event(const char *line);
// The same for a piece of len bytes that may hold NUL bytes (never valid JSON).
int handle_miner_event_bytes(const char *line, size_t len);
// {"type": "event", "timestamp": now, "name": "restart", "reason": reason}.
json_t *create_restart_event(const char *reason);
