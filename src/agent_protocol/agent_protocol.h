// The "velmora-agent" WebSocket protocol: the outgoing queue every thread writes into,
// the dispatch of the service's requests, and the link state shared with the agent thread.
#pragma once

#include <jansson.h>
#include <libwebsockets.h>

#include <atomic>
#include <chrono>
#include <cstddef>

// The protocol's name, for the connection and its per-vhost options.
inline constexpr const char *kProtocolName = "velmora-agent";

// Link state shared by the agent thread and its readers. One writer per flag (the agent
// thread), except stop_requested, which the stopping thread sets.
struct agent_state_t {
    std::atomic<bool> connected{false};
    std::atomic<bool> authenticated{false};
    std::atomic<bool> stop_requested{false};
    std::atomic<bool> service_running{false};
    std::atomic<lws_context *> context{nullptr};
};

// Queues root for the established connection; takes over the caller's reference in
// every case. 0 queued, -1 dropped (queue full), -2 no established connection.
int agent_enqueue_message(json_t *root);
// Queues {"type": type, "ok": result == 0}; 0, -1 or -2 as above.
int agent_enqueue_result(int result, const char *type);
// Waits up to limit until an authenticated connection has written everything queued
// (at once without one). True when nothing is left waiting.
bool agent_wait_queue_drained(std::chrono::milliseconds limit);

// The 30-second abort timer of the established connection: a request to the service
// arms it, the answer stops it; if it expires the connection is dropped and
// re-established. Agent thread only (the request handlers run there).
void conn_abort_timer_start(int seconds);
void conn_abort_timer_stop();

// Handlers of the service's requests and replies, registered by the layers above
// before agent_connect(); a type whose handler is not registered gets no answer.
// Requests take the message; replies to the agent's own messages ("config",
// "update_config") take the message and its "ok" value (null when absent).
using request_handler_fn = int (*)(json_t *root);
using reply_handler_fn = int (*)(json_t *root, json_t *ok);
// 0, or -1 when type has no row of that kind. A null handler removes the registration.
int agent_register_request_handler(const char *type, request_handler_fn handler);
int agent_register_reply_handler(const char *type, reply_handler_fn handler);

// What follows an accepted authentication on the agent thread (the configuration
// exchange); its result becomes the auth handler's, so a negative value drops the
// connection. Without one, an accepted authentication requests nothing.
using auth_followup_fn = int (*)();
void agent_set_auth_followup(auth_followup_fn followup);

// "registration" of the last accepted authentication; cleared by whoever completes
// the registration upload. Agent thread only.
bool agent_registration_requested();
void agent_registration_clear();

// The protocol callback and the size of its per-connection record.
int velmora_agent_callback(lws *wsi, lws_callback_reasons reason, void *user, void *in, size_t len);
size_t agent_conn_data_size();
