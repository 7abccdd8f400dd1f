// The server link: the WebSocket client context, its thread and the link watchdog.
#pragma once

#include <chrono>

// Starts the agent thread for the service at url. 0, or -1 when url cannot be parsed
// (logged; the daemon then runs without a link).
int agent_connect(const char *url);
// Closes the connection normally, ends the agent thread and waits for it. Does
// nothing when the thread is not running; a second caller returns only when the
// first one's stop is complete. Never call it on the agent thread.
void agent_stop();
bool agent_is_connected();
// True from agent_stop() until the next agent_connect(): work that runs on the
// agent thread for long (the log command) ends early so the stop stays prompt.
bool agent_stop_requested();
bool agent_is_authenticated();

// Started by the agent thread once its context exists and stopped before it ends
// (the status reports). Set before agent_connect().
using agent_thread_hook_fn = void (*)();
void agent_set_status_thread_hooks(agent_thread_hook_fn start, agent_thread_hook_fn stop);

// While set, the hang rule does not end the daemon: a firmware package's update.sh
// runs, and may keep the link down for long. The count starts again when it clears.
void agent_set_update_running(bool running);

// The rule that ends a daemon whose link stays down: hung once no service pass has
// seen the link established for longer than the limit, counted from the start or
// from the last pass that saw it up. A running update.sh counts as a link; a stop
// under way ends the daemon itself, so it is never hung then.
class LinkWatchdog {
  public:
    using clock = std::chrono::steady_clock;
    static constexpr std::chrono::seconds kLimit{600};

    // What one service pass saw.
    struct Seen {
        bool link_up = false;
        bool update_running = false;
        bool stopping = false;
    };

    explicit LinkWatchdog(clock::time_point start) : last_link_(start) {}
    // One service pass; true when the link counts as hung.
    bool pass(const Seen &seen, clock::time_point now) {
        if (seen.link_up || seen.update_running) {
            last_link_ = now;
            return false;
        }
        return !seen.stopping && now - last_link_ > kLimit;
    }

  private:
    clock::time_point last_link_;
};
