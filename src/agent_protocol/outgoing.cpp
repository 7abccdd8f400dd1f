// The outgoing side of a connection: its record, the queue, writes and the abort timer.
#include <cassert>
#include <cstring>
#include <thread>
#include <vector>

#include "agent_protocol/internal.h"
#include "common/firmware_identity.h"
#include "common/json_ptr.h"
#include "config.h"
#include "log.h"

std::mutex conn_registry_lock;
conn_data *active_conn = nullptr;

namespace {

constexpr const char *kModel = "antminer-s9";

void out_msg_destroy(void *element) {
    auto *msg = static_cast<out_msg *>(element);
    json_decref(msg->message);
    msg->message = nullptr;
}

bool on_service_thread(const vhost_data *vhd) {
    return pthread_equal(pthread_self(), vhd->service_thread) != 0;
}

// The connection is dropped from the service loop: a timer callback cannot close it
// by its return value, and the socket may not become writable again.
void abort_timer_expired(lws_sorted_usec_list_t *sul) {
    conn_data *conn = lws_container_of(sul, conn_data, abort_timer);
    if (!conn->open || !conn->abort_armed)
        return;
    LOG_WARN("Aborting agent connection on timeout\n");
    conn->abort_armed = false;
    conn->closing = true;
    lws_set_timeout(conn->wsi, PENDING_TIMEOUT_USER_OK, LWS_TO_KILL_ASYNC);
}

// Asks the library to close after the current callback, with a normal close frame.
int close_normally(conn_data *conn) {
    lws_close_reason(conn->wsi, LWS_CLOSE_STATUS_NORMAL, nullptr, 0);
    conn->closing = true;
    return -1;
}

}  // namespace

int conn_open(conn_data *conn, lws *wsi, vhost_data *vhd) {
    conn->wsi = wsi;
    conn->vhd = vhd;
    conn->conn_state = CONN_NEW;
    conn->closing = false;
    conn->abort_armed = false;
    inc_msg_reset(conn);
    conn->out_msgs = lws_ring_create(sizeof(out_msg), kOutMsgsSlots, out_msg_destroy);
    if (conn->out_msgs == nullptr)
        return -1;
    conn->out_tail = 0;
    conn->open = true;
    std::lock_guard lock(conn_registry_lock);
    active_conn = conn;
    return 0;
}

void conn_close(conn_data *conn) {
    if (!conn->open)
        return;
    lws_sul_cancel(&conn->abort_timer);
    conn->abort_armed = false;
    std::lock_guard lock(conn_registry_lock);
    lws_ring_destroy(conn->out_msgs);  // releases every message still queued
    conn->out_msgs = nullptr;
    conn->out_tail = 0;
    if (active_conn == conn)
        active_conn = nullptr;
    conn->wsi = nullptr;
    conn->open = false;
}

void request_write(conn_data *conn) {
    if (conn->wsi == nullptr || conn->vhd == nullptr)
        return;
    // Only the service thread may touch the connection; any other thread wakes the
    // loop, which then asks for the writable callback itself.
    if (on_service_thread(conn->vhd))
        lws_callback_on_writable(conn->wsi);
    else
        lws_cancel_service(conn->vhd->context);
}

int enqueue_message(json_t *root, conn_data *conn, bool close_after) {
    json_ptr owned(root);
    int result = -1;
    {
        std::lock_guard lock(conn->out_lock);
        if (lws_ring_get_count_free_elements(conn->out_msgs) == 0) {
            LOG_WARN("Dropping message, no free elements in out_msgs buffer\n");
        } else {
            out_msg element{owned.get(), close_after};
            if (lws_ring_insert(conn->out_msgs, &element, 1) != 1) {
                LOG_ERROR("Failed to enqueue outgoing message\n");
            } else {
                owned.release();  // the ring owns it now
                result = 0;
            }
        }
    }
    request_write(conn);
    return result;
}

int enqueue_result(int result, const char *type, conn_data *conn, bool close_after) {
    json_t *msg = json_pack("{ss,sb}", "type", type, "ok", result == 0);
    if (msg == nullptr) {
        LOG_ERROR("Failed to pack result message for %s, not sent\n", type);
        return -1;
    }
    return enqueue_message(msg, conn, close_after);
}

int enqueue_failure(const char *type, conn_data *conn) {
    return enqueue_result(-1, type, conn, false);
}

int agent_enqueue_message(json_t *root) {
    assert(root != nullptr);
    std::lock_guard lock(conn_registry_lock);
    if (active_conn == nullptr) {
        json_decref(root);
        return -2;
    }
    return enqueue_message(root, active_conn, false);
}

int agent_enqueue_result(int result, const char *type) {
    assert(type != nullptr);
    std::lock_guard lock(conn_registry_lock);
    if (active_conn == nullptr)
        return -2;
    return enqueue_result(result, type, active_conn, false);
}

bool agent_wait_queue_drained(std::chrono::milliseconds limit) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    for (;;) {
        {
            std::lock_guard lock(conn_registry_lock);
            if (active_conn == nullptr || active_conn->vhd == nullptr ||
                !active_conn->vhd->state->authenticated)
                return true;  // nothing would leave
            std::lock_guard out(active_conn->out_lock);
            if (lws_ring_get_count_waiting_elements(active_conn->out_msgs,
                                                    &active_conn->out_tail) == 0)
                return true;
        }
        if (std::chrono::steady_clock::now() >= deadline)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
}

void conn_abort_timer_start(int seconds) {
    std::lock_guard lock(conn_registry_lock);
    if (active_conn == nullptr) {
        LOG_WARN("Conn abort timer can't be started, no active connections\n");
        return;
    }
    active_conn->abort_armed = true;
    if (active_conn->wsi != nullptr && active_conn->vhd != nullptr) {
        auto usecs = static_cast<lws_usec_t>(static_cast<double>(seconds) * 1000000.0);
        lws_sul_schedule(active_conn->vhd->context, 0, &active_conn->abort_timer,
                         abort_timer_expired, usecs);
    }
}

void conn_abort_timer_stop() {
    std::lock_guard lock(conn_registry_lock);
    if (active_conn == nullptr) {
        LOG_WARN("Conn abort timer can't be stopped, no active connections\n");
        return;
    }
    active_conn->abort_armed = false;
    lws_sul_cancel(&active_conn->abort_timer);
}

bool conn_has_waiting(conn_data *conn) {
    std::lock_guard lock(conn->out_lock);
    return conn->out_msgs != nullptr &&
           lws_ring_get_count_waiting_elements(conn->out_msgs, &conn->out_tail) != 0;
}

int send_message(json_t *root, lws *wsi) {
    c_str_ptr text(json_dumps(root, JSON_INDENT(2) | JSON_REAL_PRECISION(10)));
    if (!text) {
        LOG_WARN("Failed to serialize JSON message\n");
        return -1;
    }
    size_t len = strlen(text.get());
    std::vector<unsigned char> frame(LWS_PRE + len);
    memcpy(frame.data() + LWS_PRE, text.get(), len);
    int written = lws_write(wsi, frame.data() + LWS_PRE, len, LWS_WRITE_TEXT);
    if (written < 0 || static_cast<size_t>(written) != len) {
        LOG_ERROR("Failed to send complete message (len = %zu, sent = %zu)\n", len,
                  static_cast<size_t>(written < 0 ? 0 : written));
        return -1;
    }
    return 0;
}

json_t *compose_auth_request() {
    json_t *auth = nullptr;
    {
        std::lock_guard lock(agent_config_lock);
        const agent_config *cfg = agent_config_get();
        auth = json_pack("{ss,ss,ss,ss,ss,ss}", "type", "auth", "api_key", cfg->api_key,
                         "device_id", cfg->dev_id, "model", kModel, "firmware_id", firmware_id(),
                         "firmware_ver", firmware_ver());
    }
    // Otherwise the link would wait out the abort timer and reconnect for ever,
    // with nothing in the log to say why.
    if (auth == nullptr)
        LOG_ERROR("Failed to pack auth message (api_key and dev_id must be UTF-8), not sent\n");
    return auth;
}

void send_auth_request(conn_data *conn) {
    json_ptr auth(compose_auth_request());
    if (auth)
        send_message(auth.get(), conn->wsi);
}

int handle_writable(vhost_data *vhd, conn_data *conn) {
    if (conn->closing)
        return 0;  // the library calls once more after we asked it to close
    if (vhd->state->stop_requested)
        return close_normally(conn);  // whatever is queued is dropped with the ring

    switch (conn->conn_state) {
        case CONN_NEW:
            conn_abort_timer_start(kConnAbortSeconds);
            send_auth_request(conn);
            conn->conn_state = CONN_AUTH_SENT;
            return 0;
        case CONN_READY: {
            bool taken = false;
            bool close_after = false;
            bool more = false;
            {
                std::lock_guard lock(conn->out_lock);
                auto *element = static_cast<const out_msg *>(
                    lws_ring_get_element(conn->out_msgs, &conn->out_tail));
                if (element != nullptr) {
                    taken = true;
                    close_after = element->close_after;
                    send_message(element->message, conn->wsi);
                    lws_ring_consume(conn->out_msgs, &conn->out_tail, nullptr, 1);
                    lws_ring_update_oldest_tail(conn->out_msgs, conn->out_tail);
                    more =
                        lws_ring_get_count_waiting_elements(conn->out_msgs, &conn->out_tail) != 0;
                }
            }
            if (taken && close_after)
                return close_normally(conn);
            // One message per callback; the next callback only while others wait.
            if (more)
                lws_callback_on_writable(conn->wsi);
            return 0;
        }
        default:
            return 0;  // authentication pending: the queue waits
    }
}
