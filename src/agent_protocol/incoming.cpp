// The incoming side of a connection: reassembly, decoding, dispatch by type, and the
// reply to the authentication.
#include <cstring>

#include "agent_protocol/internal.h"
#include "common/json_ptr.h"
#include "log.h"

namespace {

// What the dispatcher queues once a request's handler has returned.
enum class after_handler {
    nothing,       // the handler answers by itself, or no answer is due
    result,        // {"type", "ok": result == 0}
    failure_only,  // {"type", "ok": false} when the handler failed, else nothing
    network,       // "ok": result >= 0; result 1 closes the connection once it is written
};

struct dispatch_row {
    const char *type;
    after_handler after;
    bool is_reply;  // a reply to one of our own messages: the handler also gets "ok"
    request_handler_fn request;
    reply_handler_fn reply;
};

// Searched in this order. Handlers are registered by the layers above before the link
// starts and only read on the agent thread afterwards.
dispatch_row dispatch_table[] = {
    {"config", after_handler::nothing, true, nullptr, nullptr},
    {"update_config", after_handler::nothing, true, nullptr, nullptr},
    {"status", after_handler::nothing, false, nullptr, nullptr},
    {"reboot", after_handler::result, false, nullptr, nullptr},
    {"logs", after_handler::failure_only, false, nullptr, nullptr},
    {"start_mining", after_handler::result, false, nullptr, nullptr},
    {"stop_mining", after_handler::result, false, nullptr, nullptr},
    {"config_network", after_handler::network, false, nullptr, nullptr},
    {"config_pools", after_handler::result, false, nullptr, nullptr},
    {"config_web_access", after_handler::result, false, nullptr, nullptr},
    {"config_fans", after_handler::result, false, nullptr, nullptr},
    {"config_watchdog", after_handler::result, false, nullptr, nullptr},
    {"config_perf", after_handler::result, false, nullptr, nullptr},
    {"config_autotuner", after_handler::result, false, nullptr, nullptr},
    {"config_chain", after_handler::result, false, nullptr, nullptr},
    {"chip_metrics", after_handler::failure_only, false, nullptr, nullptr},
    {"update_firmware", after_handler::result, false, nullptr, nullptr},
};

auth_followup_fn auth_followup = nullptr;
bool registration_requested = false;  // agent thread only

dispatch_row *find_row(const char *type) {
    for (auto &row : dispatch_table) {
        if (strcmp(row.type, type) == 0)
            return &row;
    }
    return nullptr;
}

const char *text_or_null(json_t *root, const char *key) {
    const char *text = json_string_value(json_object_get(root, key));
    return text != nullptr ? text : "(null)";
}

}  // namespace

int agent_register_request_handler(const char *type, request_handler_fn handler) {
    dispatch_row *row = find_row(type);
    if (row == nullptr || row->is_reply)
        return -1;
    row->request = handler;
    return 0;
}

int agent_register_reply_handler(const char *type, reply_handler_fn handler) {
    dispatch_row *row = find_row(type);
    if (row == nullptr || !row->is_reply)
        return -1;
    row->reply = handler;
    return 0;
}

void agent_set_auth_followup(auth_followup_fn followup) {
    auth_followup = followup;
}

bool agent_registration_requested() {
    return registration_requested;
}

void agent_registration_clear() {
    registration_requested = false;
}

void inc_msg_reset(conn_data *conn) {
    conn->inc_len = 0;
    conn->inc_overflow = false;
}

int inc_msg_append_fragment(const void *frgm, size_t len, conn_data *conn) {
    if (conn->inc_overflow)
        return -1;
    if (len > kIncMsgSize - 1 - conn->inc_len) {
        LOG_ERROR("Unable to compose the incomming message, buffer too small\n");
        conn->inc_overflow = true;
        return -1;
    }
    if (len > 0)
        memcpy(conn->inc_msg + conn->inc_len, frgm, len);
    conn->inc_len += static_cast<uint32_t>(len);
    conn->inc_msg[conn->inc_len] = '\0';
    return 0;
}

int decode_message(vhost_data *vhd, conn_data *conn) {
    // An oversized message has been dropped piece by piece; the link stays.
    if (conn->inc_overflow || conn->inc_len == 0)
        return 0;

    json_error_t error;
    // The whole frame is the message: a zero byte inside it makes it invalid rather
    // than cutting it short.
    json_ptr root(json_loadb(conn->inc_msg, conn->inc_len, 0, &error));
    if (!root) {
        LOG_WARN("Failed to decode msg - %s\n", error.text);
        return -1;
    }
    if (!json_is_object(root.get())) {
        LOG_WARN("Root element must be an object\n");
        return -1;
    }

    // A "type" that is not a string counts as no type at all.
    const char *type = json_string_value(json_object_get(root.get(), "type"));
    json_t *ok = json_object_get(root.get(), "ok");
    if (ok != nullptr && type == nullptr) {
        LOG_WARN("Error message received - %s\n", text_or_null(root.get(), "message"));
        return 0;
    }
    if (type != nullptr)
        return process_message(type, ok, root.get(), vhd, conn) == 0 ? 0 : -1;

    LOG_WARN("Malformed message received: %s\n", conn->inc_msg);
    return -1;
}

int process_message(const char *type, json_t *ok, json_t *root, vhost_data *vhd, conn_data *conn) {
    if (strcmp(type, "auth") == 0)
        return handle_auth(root, ok, vhd, conn) < 0 ? -1 : 0;

    const dispatch_row *row = find_row(type);
    if (row == nullptr) {
        LOG_WARN("Unknown message received: %s\n", type);
        return 0;
    }
    if (row->is_reply) {
        if (row->reply != nullptr)
            row->reply(root, ok);
        else
            LOG_WARN("No handler for message: %s\n", type);
        return 0;
    }
    if (row->request == nullptr) {
        // Known, but nothing in this daemon carries it out: no answer at all rather
        // than one that claims it was done.
        LOG_WARN("No handler for message: %s\n", type);
        return 0;
    }

    int result = row->request(root);
    switch (row->after) {
        case after_handler::nothing:
            break;
        case after_handler::result:
            enqueue_result(result, type, conn, false);
            break;
        case after_handler::failure_only:
            if (result != 0)
                enqueue_failure(type, conn);
            break;
        case after_handler::network:
            enqueue_result(result >= 0 ? 0 : -1, type, conn, result == 1);
            break;
    }
    return 0;
}

int handle_auth(json_t *root, json_t *ok, vhost_data *vhd, conn_data *conn) {
    conn_abort_timer_stop();
    if (!json_is_true(ok)) {
        LOG_INFO("Agent authentication failed - %s\n", text_or_null(root, "message"));
        conn->conn_state = CONN_NEW;
        return -1;
    }

    LOG_INFO("Agent successfully authenticated\n");
    conn->conn_state = CONN_READY;
    if (vhd != nullptr)
        vhd->state->authenticated = true;
    request_write(conn);  // messages queued while the reply was pending go out now

    registration_requested = false;
    int registration = 0;  // left as is when the key is missing or not a boolean
    json_unpack(root, "{s?b}", "registration", &registration);
    registration_requested = registration != 0;

    // The configuration exchange, when the layer above has set one up.
    if (auth_followup != nullptr)
        return auth_followup();
    return 0;
}
