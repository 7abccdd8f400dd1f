// The link's protocol without a network: a connection record that is not attached to
// the library, fed with message text and inspected through its outgoing ring.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "agent_protocol/internal.h"
#include "common/json_ptr.h"

namespace {

struct Logs {
    std::string out;
    std::string err;
    std::string all() const { return out + err; }
};

template <typename Fn>
Logs capture(Fn fn) {
    testing::internal::CaptureStdout();
    testing::internal::CaptureStderr();
    fn();
    Logs logs;
    logs.out = testing::internal::GetCapturedStdout();
    logs.err = testing::internal::GetCapturedStderr();
    return logs;
}

size_t count_of(const std::string &text, const std::string &what) {
    size_t n = 0;
    for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1))
        ++n;
    return n;
}

struct Sent {
    std::string json;  // compact, keys sorted
    bool close_after;
};

// Everything the handlers registered here saw.
struct HandlerLog {
    int calls = 0;
    int result = 0;
    std::string root;
    std::string ok;  // "absent" when no "ok" was passed
};
HandlerLog handler_log;

std::string compact(const json_t *value) {
    if (value == nullptr)
        return "absent";
    c_str_ptr text(json_dumps(value, JSON_COMPACT | JSON_SORT_KEYS | JSON_ENCODE_ANY));
    return text.get();
}

int recording_request(json_t *root) {
    ++handler_log.calls;
    handler_log.root = compact(root);
    return handler_log.result;
}

int recording_reply(json_t *root, json_t *ok) {
    ++handler_log.calls;
    handler_log.root = compact(root);
    handler_log.ok = compact(ok);
    return handler_log.result;
}

class LinkTest : public testing::Test {
  protected:
    void SetUp() override {
        vhd_.state = &state_;
        conn_ = std::make_unique<conn_data>();
        ASSERT_EQ(conn_open(conn_.get(), nullptr, &vhd_), 0);
        handler_log = HandlerLog{};
    }
    void TearDown() override {
        conn_close(conn_.get());
        agent_set_auth_followup(nullptr);
        agent_registration_clear();
        for (const char *type :
             {"reboot", "logs", "config_network", "config_pools", "status", "chip_metrics"})
            agent_register_request_handler(type, nullptr);
        for (const char *type : {"config", "update_config"})
            agent_register_reply_handler(type, nullptr);
    }

    // One complete message as the receive callback hands it over, in pieces.
    int receive(const std::string &text, size_t piece = 8192) {
        inc_msg_reset(conn_.get());
        for (size_t at = 0; at < text.size(); at += piece)
            inc_msg_append_fragment(text.data() + at, std::min(piece, text.size() - at),
                                    conn_.get());
        return decode_message(&vhd_, conn_.get());
    }

    std::vector<Sent> drain() {
        std::vector<Sent> sent;
        std::lock_guard lock(conn_->out_lock);
        while (auto *element = static_cast<const out_msg *>(
                   lws_ring_get_element(conn_->out_msgs, &conn_->out_tail))) {
            sent.push_back({compact(element->message), element->close_after});
            lws_ring_consume(conn_->out_msgs, &conn_->out_tail, nullptr, 1);
            lws_ring_update_oldest_tail(conn_->out_msgs, conn_->out_tail);
        }
        return sent;
    }

    agent_state_t state_;
    vhost_data vhd_{};
    std::unique_ptr<conn_data> conn_;
};

// Reassembly

TEST_F(LinkTest, FragmentsAreJoinedAndDecodedOnce) {
    handler_log.result = 0;
    agent_register_request_handler("reboot", recording_request);
    std::string text = R"({"type": "reboot", "pad": ")";
    text += std::string(16383 - text.size() - 2, 'p') + "\"}";
    ASSERT_EQ(text.size(), 16383u);

    Logs logs = capture([&] { EXPECT_EQ(receive(text, 1024), 0); });
    EXPECT_EQ(conn_->inc_len, 16383u);
    EXPECT_EQ(conn_->inc_msg[16383], '\0');
    EXPECT_EQ(handler_log.calls, 1);
    EXPECT_EQ(handler_log.root.size(), 16383u - 3u) << "the separators are compacted";
    EXPECT_EQ(logs.err, "");
}

TEST_F(LinkTest, OversizedMessageIsDroppedOnceAndTheNextIsDecoded) {
    agent_register_request_handler("reboot", recording_request);
    std::string big = R"({"type": "reboot", "pad": ")";
    big += std::string(16384 - big.size() - 2, 'p') + "\"}";
    ASSERT_EQ(big.size(), 16384u);

    int rc = 0;
    Logs logs = capture([&] { rc = receive(big, 1000); });
    EXPECT_EQ(rc, 0) << "the link stays";
    EXPECT_EQ(count_of(logs.err, "Unable to compose the incomming message, buffer too small\n"),
              1u);
    EXPECT_EQ(handler_log.calls, 0);
    EXPECT_EQ(inc_msg_append_fragment("x", 1, conn_.get()), -1)
        << "the rest of an oversized message is ignored";

    logs = capture([&] { rc = receive(R"({"type": "reboot"})"); });
    EXPECT_EQ(rc, 0);
    EXPECT_EQ(handler_log.calls, 1);
    EXPECT_EQ(logs.err, "");
}

TEST_F(LinkTest, SingleFragmentOverTheLimitKeepsTheBufferTerminated) {
    std::string big(20000, 'x');
    Logs logs = capture([&] {
        EXPECT_EQ(inc_msg_append_fragment("ab", 2, conn_.get()), 0);
        EXPECT_EQ(inc_msg_append_fragment(big.data(), big.size(), conn_.get()), -1);
    });
    EXPECT_EQ(conn_->inc_len, 2u);
    EXPECT_STREQ(conn_->inc_msg, "ab");
    EXPECT_EQ(inc_msg_append_fragment(nullptr, 0, conn_.get()), -1);
    inc_msg_reset(conn_.get());
    EXPECT_EQ(inc_msg_append_fragment("cd", 2, conn_.get()), 0);
    EXPECT_STREQ(conn_->inc_msg, "cd");
}

// Decoding

TEST_F(LinkTest, BadInputClosesOrIsLoggedAsTheServiceMeantIt) {
    struct Case {
        std::string text;
        int rc;
        const char *line;  // expected in the log
    };
    const Case cases[] = {
        {"not json", -1, "WARN: Failed to decode msg - "},
        {R"({"type": "reboot")", -1, "WARN: Failed to decode msg - "},
        {std::string("{\"type\": \"a\xc3\"}"), -1, "WARN: Failed to decode msg - "},
        {std::string("{}\0{}", 5), -1, "WARN: Failed to decode msg - "},
        {"[1, 2]", -1, "WARN: Root element must be an object\n"},
        {R"([{"type": "reboot"}])", -1, "WARN: Root element must be an object\n"},
        {"\"text\"", -1, "WARN: Failed to decode msg - "},
        {"{}", -1, "WARN: Malformed message received: {}\n"},
        {R"({"message": "x"})", -1, "WARN: Malformed message received: {\"message\": \"x\"}\n"},
        {R"({"type": 7})", -1, "WARN: Malformed message received: {\"type\": 7}\n"},
        {R"({"type": null, "ok": false, "message": "nope"})", 0,
         "WARN: Error message received - nope\n"},
        {R"({"ok": false, "message": "Invalid request"})", 0,
         "WARN: Error message received - Invalid request\n"},
        {R"({"ok": true})", 0, "WARN: Error message received - (null)\n"},
        {R"({"ok": false, "message": 3})", 0, "WARN: Error message received - (null)\n"},
        {R"({"type": "frobnicate", "ok": true})", 0,
         "WARN: Unknown message received: frobnicate\n"},
        {R"({"type": "Reboot"})", 0, "WARN: Unknown message received: Reboot\n"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.text);
        int rc = 1;
        Logs logs = capture([&] { rc = receive(c.text); });
        EXPECT_EQ(rc, c.rc);
        EXPECT_NE(logs.all().find(c.line), std::string::npos) << logs.all();
        EXPECT_TRUE(drain().empty()) << "nothing is answered";
    }
}

TEST_F(LinkTest, RandomBytesNeverCrashOrAnswer) {
    std::mt19937 gen(1234);
    std::uniform_int_distribution<int> byte(0, 255);
    std::uniform_int_distribution<size_t> size(1, 300);
    for (int i = 0; i < 500; ++i) {
        std::string text(size(gen), '\0');
        for (auto &ch : text)
            ch = static_cast<char>(byte(gen));
        if (i % 2)
            text = R"({"type": "x)" + text;  // mostly inside a string: UTF-8 checks
        capture([&] { receive(text, 7); });
    }
    EXPECT_TRUE(drain().empty());
}

// Dispatch

TEST_F(LinkTest, KnownTypeWithoutHandlerGetsNoAnswer) {
    for (const char *text : {R"({"type": "reboot"})", R"({"type": "config_pools"})",
                             R"({"type": "config", "ok": true})"}) {
        SCOPED_TRACE(text);
        int rc = 1;
        Logs logs = capture([&] { rc = receive(text); });
        EXPECT_EQ(rc, 0) << "the link stays";
        EXPECT_TRUE(drain().empty());
        EXPECT_EQ(logs.all().find("Unknown message received"), std::string::npos);
    }
}

TEST_F(LinkTest, HandlerResultDecidesTheAnswer) {
    struct Case {
        const char *type;
        int result;
        std::vector<Sent> sent;
    };
    const Case cases[] = {
        {"reboot", 0, {{R"({"ok":true,"type":"reboot"})", false}}},
        {"reboot", -1, {{R"({"ok":false,"type":"reboot"})", false}}},
        {"config_pools", 1, {{R"({"ok":false,"type":"config_pools"})", false}}},
        {"logs", 0, {}},
        {"logs", -1, {{R"({"ok":false,"type":"logs"})", false}}},
        {"chip_metrics", -1, {{R"({"ok":false,"type":"chip_metrics"})", false}}},
        {"status", -1, {}},
        {"config_network", 1, {{R"({"ok":true,"type":"config_network"})", true}}},
        {"config_network", 0, {{R"({"ok":true,"type":"config_network"})", false}}},
        {"config_network", -1, {{R"({"ok":false,"type":"config_network"})", false}}},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(std::string(c.type) + " -> " + std::to_string(c.result));
        ASSERT_EQ(agent_register_request_handler(c.type, recording_request), 0);
        handler_log = HandlerLog{};
        handler_log.result = c.result;
        std::string text = std::string(R"({"type": ")") + c.type + R"(", "x": [1]})";
        int rc = 1;
        capture([&] { rc = receive(text); });
        EXPECT_EQ(rc, 0);
        EXPECT_EQ(handler_log.calls, 1);
        EXPECT_EQ(handler_log.root, std::string(R"({"type":")") + c.type + R"(","x":[1]})");
        auto sent = drain();
        ASSERT_EQ(sent.size(), c.sent.size());
        for (size_t i = 0; i < sent.size(); ++i) {
            EXPECT_EQ(sent[i].json, c.sent[i].json);
            EXPECT_EQ(sent[i].close_after, c.sent[i].close_after);
        }
    }
}

TEST_F(LinkTest, RepliesGetTheirOkValueAndAreNotAnswered) {
    ASSERT_EQ(agent_register_reply_handler("config", recording_reply), 0);
    ASSERT_EQ(agent_register_reply_handler("update_config", recording_reply), 0);
    const struct {
        const char *text;
        const char *ok;
    } cases[] = {
        {R"({"type": "config", "ok": false, "message": "none"})", "false"},
        {R"({"type": "config", "pools": []})", "absent"},
        {R"({"type": "update_config", "ok": 1})", "1"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.text);
        handler_log = HandlerLog{};
        handler_log.result = -1;
        int rc = 1;
        capture([&] { rc = receive(c.text); });
        EXPECT_EQ(rc, 0);
        EXPECT_EQ(handler_log.calls, 1);
        EXPECT_EQ(handler_log.ok, c.ok);
        EXPECT_TRUE(drain().empty());
    }
}

TEST(LinkRegistry, HandlersOnlyFitTheirKindOfRow) {
    EXPECT_EQ(agent_register_request_handler("frobnicate", recording_request), -1);
    EXPECT_EQ(agent_register_request_handler("auth", recording_request), -1);
    EXPECT_EQ(agent_register_request_handler("config", recording_request), -1);
    EXPECT_EQ(agent_register_reply_handler("reboot", recording_reply), -1);
    EXPECT_EQ(agent_register_reply_handler("auth", recording_reply), -1);
}

// Authentication reply

TEST_F(LinkTest, AcceptedAuthenticationOpensTheQueue) {
    conn_->conn_state = CONN_AUTH_SENT;
    conn_->abort_armed = true;
    Logs logs = capture([&] { EXPECT_EQ(receive(R"({"type": "auth", "ok": true})"), 0); });
    EXPECT_EQ(conn_->conn_state, CONN_READY);
    EXPECT_FALSE(conn_->abort_armed) << "the reply stops the abort timer";
    EXPECT_TRUE(state_.authenticated);
    EXPECT_FALSE(agent_registration_requested());
    EXPECT_NE(logs.out.find("INFO: Agent successfully authenticated\n"), std::string::npos);
    EXPECT_TRUE(drain().empty()) << "nothing follows without a configuration exchange";
}

TEST_F(LinkTest, RegistrationFlagComesFromABooleanOnly) {
    const struct {
        const char *text;
        bool flag;
    } cases[] = {
        {R"({"type": "auth", "ok": true, "registration": true})", true},
        {R"({"type": "auth", "ok": true, "registration": false})", false},
        {R"({"type": "auth", "ok": true, "registration": 1})", false},
        {R"({"type": "auth", "ok": true, "registration": "yes"})", false},
        {R"({"type": "auth", "ok": true})", false},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.text);
        capture([&] { receive(R"({"type": "auth", "ok": true, "registration": true})"); });
        capture([&] { EXPECT_EQ(receive(c.text), 0); });
        EXPECT_EQ(agent_registration_requested(), c.flag);
    }
}

TEST_F(LinkTest, RefusedAuthenticationClosesTheLink) {
    const struct {
        const char *text;
        const char *line;
    } cases[] = {
        {R"({"type": "auth", "ok": false, "message": "Invalid api key"})",
         "INFO: Agent authentication failed - Invalid api key\n"},
        {R"({"type": "auth", "ok": 1, "message": "one"})",
         "INFO: Agent authentication failed - one\n"},
        {R"({"type": "auth", "ok": "true"})", "INFO: Agent authentication failed - (null)\n"},
        {R"({"type": "auth"})", "INFO: Agent authentication failed - (null)\n"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.text);
        conn_->conn_state = CONN_AUTH_SENT;
        conn_->abort_armed = true;
        state_.authenticated = false;
        int rc = 0;
        Logs logs = capture([&] { rc = receive(c.text); });
        EXPECT_EQ(rc, -1);
        EXPECT_EQ(conn_->conn_state, CONN_NEW);
        EXPECT_FALSE(conn_->abort_armed);
        EXPECT_FALSE(state_.authenticated);
        EXPECT_NE(logs.out.find(c.line), std::string::npos) << logs.out;
    }
}

int followup_calls = 0;
int followup_result = 0;
int followup() {
    ++followup_calls;
    return followup_result;
}

TEST_F(LinkTest, FollowupAfterAuthenticationDecidesTheLink) {
    agent_set_auth_followup(followup);
    followup_calls = 0;
    followup_result = -2;
    capture([&] {
        EXPECT_EQ(receive(R"({"type": "auth", "ok": false})"), -1);
        EXPECT_EQ(followup_calls, 0) << "a refusal starts no exchange";
        EXPECT_EQ(receive(R"({"type": "auth", "ok": true})"), -1);
        EXPECT_EQ(followup_calls, 1);
        followup_result = 0;
        EXPECT_EQ(receive(R"({"type": "auth", "ok": true})"), 0);
    });
    EXPECT_EQ(followup_calls, 2);
}

// Outgoing queue

json_t *numbered(int i) {
    return json_pack("{ss,si}", "type", "status", "n", i);
}

TEST_F(LinkTest, QueueHoldsAtMost1023InOrderAndDropsTheNext) {
    for (int i = 0; i < 1023; ++i)
        ASSERT_EQ(agent_enqueue_message(numbered(i)), 0) << i;

    json_ptr extra(numbered(1023));
    json_incref(extra.get());
    int rc = 0;
    Logs logs = capture([&] { rc = agent_enqueue_message(extra.get()); });
    EXPECT_EQ(rc, -1);
    EXPECT_EQ(logs.out.find("WARN: Dropping message, no free elements in out_msgs buffer\n") !=
                  std::string::npos,
              true)
        << logs.out;
    EXPECT_EQ(extra->refcount, 1u) << "the dropped message is released";

    auto sent = drain();
    ASSERT_EQ(sent.size(), 1023u);
    for (int i = 0; i < 1023; ++i)
        ASSERT_EQ(sent[static_cast<size_t>(i)].json,
                  R"({"n":)" + std::to_string(i) + R"(,"type":"status"})");
    EXPECT_EQ(agent_enqueue_message(numbered(0)), 0) << "room again once drained";
}

TEST_F(LinkTest, QueuedMessagesAreReleasedWhenTheLinkCloses) {
    json_ptr held(json_object());
    json_incref(held.get());
    ASSERT_EQ(agent_enqueue_message(held.get()), 0);
    EXPECT_EQ(held->refcount, 2u) << "the ring owns one reference";
    ASSERT_EQ(agent_enqueue_result(-1, "reboot"), 0);
    conn_close(conn_.get());
    EXPECT_EQ(held->refcount, 1u);
    EXPECT_EQ(active_conn, nullptr);
}

TEST(LinkQueueWithoutConnection, ReturnsMinus2AndReleases) {
    ASSERT_EQ(active_conn, nullptr);
    json_ptr held(json_pack("{ss}", "type", "status"));
    json_incref(held.get());
    Logs logs = capture([&] {
        EXPECT_EQ(agent_enqueue_message(held.get()), -2);
        EXPECT_EQ(agent_enqueue_result(0, "reboot"), -2);
    });
    EXPECT_EQ(held->refcount, 1u);
    EXPECT_EQ(logs.all(), "") << "not logged";
}

TEST(LinkQueueWithoutConnection, AbortTimerSaysThereIsNoConnection) {
    Logs logs = capture([] {
        conn_abort_timer_start(30);
        conn_abort_timer_stop();
    });
    EXPECT_NE(logs.out.find("WARN: Conn abort timer can't be started, no active connections\n"),
              std::string::npos);
    EXPECT_NE(logs.out.find("WARN: Conn abort timer can't be stopped, no active connections\n"),
              std::string::npos);
}

// Reconnect delay

TEST(LinkReconnect, DelayCoversZeroTo59Seconds) {
    srand(42);
    std::vector<int> seen(60, 0);
    for (int i = 0; i < 20000; ++i) {
        int delay = reconnect_delay_seconds();
        ASSERT_GE(delay, 0);
        ASSERT_LE(delay, 59);
        ++seen[static_cast<size_t>(delay)];
    }
    for (int d = 0; d < 60; ++d)
        EXPECT_GT(seen[static_cast<size_t>(d)], 0) << d;
}

}  // namespace
