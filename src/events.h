// The miner's event pipe (/tmp/events): restart events for the service.
#pragma once

int start_events_thread();
int stop_events_thread();
// One line of the pipe: 0 when handled (an unknown reason included), else non-zero.
int handle_miner_event(const char *line);
