#include "agent.h"

#include <libwebsockets.h>

#include <atomic>
#include <cassert>
#include <cstdlib>
#include <mutex>

#include "agent_protocol/agent_protocol.h"
#include "common/paths.h"
#include "common/process_exit.h"
#include "common/thread_util.h"
#include "log.h"
#include "util.h"

namespace {

// Process-wide and trivially destructible (the thread itself is leaked): the hang rule
// exits the process from the agent thread, and nothing here may be torn down under a
// running thread.
agent_state_t agent_state;
parsed_url service_url;
std::atomic<bool> agent_thread_started{false};
// Held while another thread wakes the loop, and while the context is taken away.
std::mutex context_lock;
// Taken by agent_stop() for the whole stop: a second caller returns only once the
// thread is gone.
std::mutex stop_lock;
std::atomic<bool> update_running{false};
agent_thread_hook_fn status_thread_start;
agent_thread_hook_fn status_thread_stop;
lws_sorted_usec_list_t service_tick;
bool service_tick_pending;  // agent thread only

// The library's own idle ping: after 20 s without traffic it pings, and hangs up when
// the link has not been valid for 80 s.
const lws_retry_bo_t idle_policy = {
    .retry_ms_table = nullptr,
    .retry_ms_table_count = 0,
    .conceal_count = 0,
    .secs_since_valid_ping = 20,
    .secs_since_valid_hangup = 80,
    .jitter_percent = 0,
};

const lws_extension extensions[] = {
    {"permessage-deflate", lws_extension_callback_pm_deflate,
     "permessage-deflate; client_no_context_takeover; client_max_window_bits"},
    {"deflate-frame", lws_extension_callback_pm_deflate, "deflate-frame"},
    {nullptr, nullptr, nullptr},
};

lws_protocols protocols[2];

// The protocol finds the URL and the link state through its per-vhost options.
const lws_protocol_vhost_options pvo_state = {nullptr, nullptr, "state",
                                              reinterpret_cast<const char *>(&agent_state)};
const lws_protocol_vhost_options pvo_url = {&pvo_state, nullptr, "server_url",
                                            reinterpret_cast<const char *>(&service_url)};
const lws_protocol_vhost_options pvo = {nullptr, &pvo_url, kProtocolName, ""};

// libwebsockets waits for its next scheduled event, however long that is; while the
// link is down, or a stop is under way, this tick brings the loop back every second for
// the watchdog and the end of the stop. A link that is up needs no tick: the watchdog
// cannot fire then, and what is queued wakes the loop itself.
bool service_tick_needed() {
    return !agent_state.connected || agent_state.stop_requested;
}

void service_tick_fired(lws_sorted_usec_list_t *sul) {
    service_tick_pending = service_tick_needed();
    if (service_tick_pending)
        lws_sul_schedule(agent_state.context.load(), 0, sul, service_tick_fired, LWS_USEC_PER_SEC);
}

void create_lws_context() {
    protocols[0] = {};
    protocols[0].name = kProtocolName;
    protocols[0].callback = velmora_agent_callback;
    protocols[0].per_session_data_size = agent_conn_data_size();
    protocols[0].rx_buffer_size = 8192;
    protocols[0].id = 0;
    protocols[0].user = nullptr;
    protocols[0].tx_packet_size = 8192;
    protocols[1] = {};

    lws_context_creation_info info{};
    info.port = CONTEXT_PORT_NO_LISTEN;
    info.protocols = protocols;
    info.extensions = extensions;
    info.pvo = &pvo;
    info.gid = -1;
    info.uid = -1;
    // Only the device CA: without the second option the library also trusts every CA
    // of the system's store.
    info.options = LWS_SERVER_OPTION_DO_SSL_GLOBAL_INIT | LWS_SERVER_OPTION_DISABLE_OS_CA_CERTS;
    info.timeout_secs = 60;
    info.retry_and_idle_policy = &idle_policy;
    info.client_ssl_ca_filepath = paths::kCaFile;

    lws_set_log_level(LLL_ERR | LLL_WARN, nullptr);
    lws_context *context = lws_create_context(&info);
    if (context == nullptr)
        abort();  // nothing to run the link on; the supervisor restarts the daemon
    std::lock_guard lock(context_lock);
    agent_state.context = context;
}

void destroy_lws_context() {
    lws_context *context;
    {
        std::lock_guard lock(context_lock);
        context = agent_state.context.exchange(nullptr);
    }
    if (context != nullptr)
        lws_context_destroy(context);
}

void agent_thread_func() {
    LinkWatchdog watchdog(LinkWatchdog::clock::now());

    create_lws_context();
    lws_context *context = agent_state.context.load();
    agent_state.service_running = true;
    agent_state.connected = false;

    if (status_thread_start != nullptr)
        status_thread_start();

    service_tick_pending = false;
    bool stop_seen = false;
    bool was_connected = false;
    while (agent_state.service_running) {
        if (!service_tick_pending && service_tick_needed()) {
            service_tick_pending = true;
            lws_sul_schedule(context, 0, &service_tick, service_tick_fired, LWS_USEC_PER_SEC);
        }
        lws_service(context, 1000);
        // A stop asked for before the protocol was up found nobody to wake; wake the
        // loop once more now that the protocol can act on it.
        if (agent_state.stop_requested && !stop_seen) {
            stop_seen = true;
            lws_cancel_service(context);
        }
        // Passes are sparse while the link is up: one that saw it close saw it up.
        const bool connected = agent_state.connected;
        const bool link_seen = connected || was_connected;
        was_connected = connected;
        const LinkWatchdog::Seen seen{
            .link_up = link_seen,
            .update_running = update_running,
            .stopping = agent_state.stop_requested || process_stop_under_way(),
        };
        if (watchdog.pass(seen, LinkWatchdog::clock::now())) {
            LOG_ERROR("Agent connection hands, restarting\n");
            process_exit(1);  // returns when a stop came first: that stop ends the daemon
        }
    }

    if (status_thread_stop != nullptr)
        status_thread_stop();
    lws_sul_cancel(&service_tick);
    destroy_lws_context();
}

// The stop's wake-up: the loop waits in lws_service, not on the thread's own wake-ups.
void cancel_service() {
    std::lock_guard lock(context_lock);
    if (lws_context *context = agent_state.context.load())
        lws_cancel_service(context);
}

BackgroundThread &agent_thread() {
    return leaked<BackgroundThread, struct agent_tag>(cancel_service);
}

}  // namespace

int agent_connect(const char *url) {
    assert(url != nullptr);
    if (util_parse_url(url, &service_url) != 0) {
        LOG_ERROR("Failed to parse url: %s\n", url);
        return -1;
    }
    if (agent_thread_started.exchange(true))
        return 0;
    // Cleared here rather than on the new thread, so a stop that comes right after
    // this call is never lost.
    agent_state.stop_requested = false;
    agent_thread().start_or_abort("rigkeep@agent", agent_thread_func,
                                  "Failed to start agent thread, code: %d\n");
    return 0;
}

void agent_stop() {
    std::lock_guard stopping(stop_lock);
    if (!agent_thread_started.exchange(false))
        return;
    agent_state.stop_requested = true;
    agent_thread().stop();
}

bool agent_stop_requested() {
    return agent_state.stop_requested;
}

bool agent_is_connected() {
    return agent_state.connected;
}

bool agent_is_authenticated() {
    return agent_state.connected && agent_state.authenticated;
}

void agent_set_update_running(bool running) {
    update_running = running;
}

void agent_set_status_thread_hooks(agent_thread_hook_fn start, agent_thread_hook_fn stop) {
    status_thread_start = start;
    status_thread_stop = stop;
}
