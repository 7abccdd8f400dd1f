// A connection record with no socket behind it, for the unit tests and the fuzz
// targets: whatever the code under test queues for the service lands in its ring and
// is taken back out here.
#pragma once

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "agent_protocol/internal.h"
#include "common/json_ptr.h"

struct DetachedLink {
    DetachedLink() {
        vhd.state = &state;
        if (conn_open(&conn, nullptr, &vhd) != 0)
            abort();
    }
    ~DetachedLink() { conn_close(&conn); }

    // Takes the queued messages out of the ring; with closes, whether the link
    // closes after each.
    std::vector<json_ptr> take(std::vector<bool> *closes = nullptr) {
        std::vector<json_ptr> sent;
        std::lock_guard lock(conn.out_lock);
        while (auto *element = static_cast<const out_msg *>(
                   lws_ring_get_element(conn.out_msgs, &conn.out_tail))) {
            sent.emplace_back(json_incref(element->message));
            if (closes != nullptr)
                closes->push_back(element->close_after);
            lws_ring_consume(conn.out_msgs, &conn.out_tail, nullptr, 1);
            lws_ring_update_oldest_tail(conn.out_msgs, conn.out_tail);
        }
        return sent;
    }

    // Empties the ring, ending the process unless every message is an object whose
    // "type" is a string (expected_type when given) and packs into the text that goes
    // on the wire, or the link could not send it. Returns how many there were.
    size_t take_sendable(const char *expected_type = nullptr) {
        std::vector<json_ptr> sent = take();
        for (const json_ptr &m : sent) {
            const char *type = json_string_value(json_object_get(m.get(), "type"));
            c_str_ptr text(json_dumps(m.get(), JSON_INDENT(2) | JSON_REAL_PRECISION(10)));
            if (!json_is_object(m.get()) || type == nullptr || !text ||
                (expected_type != nullptr && strcmp(type, expected_type) != 0)) {
                fprintf(stderr, "unsendable message queued: %s\n", text ? text.get() : "?");
                abort();
            }
        }
        return sent.size();
    }

    agent_state_t state;
    vhost_data vhd{};
    conn_data conn{};
};
