// A connection record with no socket behind it: whatever the code under test
// queues for the service lands in its ring and is checked and dropped here.
#pragma once

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "agent_protocol/internal.h"
#include "common/json_ptr.h"

class CapturedLink {
  public:
    CapturedLink() {
        vhd_.state = &state_;
        if (conn_open(&conn_, nullptr, &vhd_) != 0)
            abort();
    }
    conn_data *conn() { return &conn_; }
    vhost_data *vhd() { return &vhd_; }

    // Empties the ring. Every message must be an object whose "type" is a string
    // and must pack into the text that goes on the wire, or the link could not send it.
    // Returns how many there were.
    int drain(const char *expected_type = nullptr) {
        int count = 0;
        std::lock_guard lock(conn_.out_lock);
        while (auto *element = static_cast<const out_msg *>(
                   lws_ring_get_element(conn_.out_msgs, &conn_.out_tail))) {
            const char *type = json_string_value(json_object_get(element->message, "type"));
            c_str_ptr text(json_dumps(element->message, JSON_INDENT(2) | JSON_REAL_PRECISION(10)));
            if (!json_is_object(element->message) || type == nullptr || !text ||
                (expected_type != nullptr && strcmp(type, expected_type) != 0)) {
                fprintf(stderr, "unsendable message queued: %s\n", text ? text.get() : "?");
                abort();
            }
            lws_ring_consume(conn_.out_msgs, &conn_.out_tail, nullptr, 1);
            lws_ring_update_oldest_tail(conn_.out_msgs, conn_.out_tail);
            ++count;
        }
        return count;
    }

  private:
    agent_state_t state_;
    vhost_data vhd_{};
    conn_data conn_{};
};
