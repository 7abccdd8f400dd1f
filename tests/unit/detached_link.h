// A link record that is not attached to the library: what the code under test
// queues is read back from its outgoing ring.
#pragma once

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "agent_protocol/internal.h"
#include "common/json_ptr.h"
#include "test_text.h"

class DetachedLink : public testing::Test {
  protected:
    void SetUp() override {
        vhd_.state = &state_;
        conn_ = std::make_unique<conn_data>();
        ASSERT_EQ(conn_open(conn_.get(), nullptr, &vhd_), 0);
    }
    void TearDown() override { conn_close(conn_.get()); }

    // Takes the queued messages out of the ring; with closes, whether the link
    // closes after each.
    std::vector<json_ptr> take_queued(std::vector<bool> *closes = nullptr) {
        std::vector<json_ptr> sent;
        std::lock_guard lock(conn_->out_lock);
        while (auto *element = static_cast<const out_msg *>(
                   lws_ring_get_element(conn_->out_msgs, &conn_->out_tail))) {
            sent.emplace_back(json_incref(element->message));
            if (closes != nullptr)
                closes->push_back(element->close_after);
            lws_ring_consume(conn_->out_msgs, &conn_->out_tail, nullptr, 1);
            lws_ring_update_oldest_tail(conn_->out_msgs, conn_->out_tail);
        }
        return sent;
    }

    agent_state_t state_;
    vhost_data vhd_{};
    std::unique_ptr<conn_data> conn_;
};
