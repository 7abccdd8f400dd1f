// Records and agent-thread operations shared by the protocol's source files (and its
// unit tests). Not for use outside the link.
#pragma once

#include <jansson.h>
#include <libwebsockets.h>
#include <pthread.h>

#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>

#include "agent_protocol/agent_protocol.h"
#include "agent_protocol/host_lookup.h"
#include "util.h"

constexpr size_t kIncMsgSize = 16384;   // holds at most 16383 bytes of text
constexpr size_t kOutMsgsSlots = 1024;  // the ring keeps one slot empty
constexpr int kConnAbortSeconds = 30;
constexpr int kReconnectSpread = 60;  // reconnect after 0 to 59 seconds

enum conn_state_t : uint32_t {
    CONN_NEW = 0,        // established, nothing sent yet
    CONN_AUTH_SENT = 1,  // "auth" written, reply pending
    CONN_READY = 2,      // authentication accepted: the queue drains
};

// One per vhost, built at protocol init in memory the library zero-fills and frees with
// the vhost; the protocol's destroy drops the lookup, so no destructor is missed.
struct vhost_data {
    lws_context *context;
    lws_vhost *vhost;
    const lws_protocols *protocol;
    const parsed_url *url;
    agent_state_t *state;
    lws_sorted_usec_list_t reconnect_timer;
    std::shared_ptr<host_lookup> lookup;  // the name lookup of the attempt under way, if any
    lws_sorted_usec_list_t lookup_timer;
    pthread_t service_thread;  // the only thread that may call the library
};

// Element of the outgoing ring, stored by value; the ring owns message.
struct out_msg {
    json_t *message;
    bool close_after;  // close the connection once this message is written
};

// Per-connection record in the library's user data. The library zero-fills it when the
// connection is created; conn_open() constructs it on establishment and conn_close()
// destroys it before the library frees the memory.
struct conn_data {
    lws *wsi;
    vhost_data *vhd;
    uint32_t conn_state;
    bool open;     // between conn_open() and conn_close()
    bool closing;  // the close has been asked for; later writable callbacks do nothing

    char inc_msg[kIncMsgSize];
    uint32_t inc_len;
    bool inc_overflow;

    std::mutex out_lock;  // guards out_msgs and out_tail
    lws_ring *out_msgs;
    uint32_t out_tail;

    bool abort_armed;
    lws_sorted_usec_list_t abort_timer;
};

// Lock order: conn_registry_lock, then a connection's out_lock. The close of a
// connection destroys its ring under conn_registry_lock, so no producer can be inside
// it then.
extern std::mutex conn_registry_lock;
extern conn_data *active_conn;  // written on the agent thread under the lock

// Connection record life cycle. wsi and vhd may be null for a record that is not
// attached to the library (no writes and no timers then). conn_open() fails only
// when the ring cannot be allocated.
int conn_open(conn_data *conn, lws *wsi, vhost_data *vhd);
void conn_close(conn_data *conn);

// Outgoing queue (agent thread; agent_enqueue_* for any thread).
int enqueue_message(json_t *root, conn_data *conn, bool close_after);
int enqueue_result(int result, const char *type, conn_data *conn, bool close_after);
int enqueue_failure(const char *type, conn_data *conn);
int handle_writable(vhost_data *vhd, conn_data *conn);
int send_message(json_t *root, lws *wsi);
// True while messages wait in the connection's queue.
bool conn_has_waiting(conn_data *conn);
// The "auth" message from the agent configuration (caller owns it), or null, logged.
json_t *compose_auth_request();
void send_auth_request(conn_data *conn);
// Asks for a writable callback on conn from whatever thread we are on.
void request_write(conn_data *conn);

// Connection attempts. connect_agent() starts one: the service's name is looked up
// off the agent thread, then the connection is made to the address found. -1 when the
// attempt failed at once (logged; the caller schedules the next one).
int connect_agent(vhost_data *vhd);
void reconnect_agent(vhost_data *vhd);
int reconnect_delay_seconds();

// Incoming messages.
void inc_msg_reset(conn_data *conn);
int inc_msg_append_fragment(const void *frgm, size_t len, conn_data *conn);
int decode_message(vhost_data *vhd, conn_data *conn);
int process_message(const char *type, json_t *ok, json_t *root, vhost_data *vhd, conn_data *conn);
int handle_auth(json_t *root, json_t *ok, vhost_data *vhd, conn_data *conn);
