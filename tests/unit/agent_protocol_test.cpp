// The link's protocol without a network: a connection record that is not attached to
// the library, fed with message text and inspected through its outgoing ring.
#include <gtest/gtest.h>

#include <algorithm>
#include <set>

#include "config.h"
#include "detached_link.h"
#include "test_text.h"

namespace {

size_t count_of(const std::string &text, const std::string &what) {
    size_t n = 0;
    for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1))
        ++n;
    return n;
}

constexpr size_t kSorted = JSON_COMPACT | JSON_SORT_KEYS;

struct HandlerLog {
    int calls = 0, result = 0;
    std::string root, ok;
} handler_log;

int recording_request(json_t *root) {
    ++handler_log.calls;
    handler_log.root = json_text(root, kSorted);
    return handler_log.result;
}

int recording_reply(json_t *root, json_t *ok) {
    handler_log.ok = json_text(ok, kSorted);
    return recording_request(root);
}

class LinkTest : public testing::Test {
  protected:
    void SetUp() override { handler_log = HandlerLog{}; }
    void TearDown() override {
        agent_set_auth_followup(nullptr);
        agent_registration_clear();
        for (const char *type : {"reboot", "logs", "config_network", "config_pools", "status"})
            agent_register_request_handler(type, nullptr);
        for (const char *type : {"config", "update_config"})
            agent_register_reply_handler(type, nullptr);
    }

    // One complete message as the receive callback hands it over, in pieces; its log.
    std::string feed(const std::string &text, int *rc = nullptr, size_t piece = 8192) {
        return captured_log([&] {
            inc_msg_reset(&link_.conn);
            for (size_t at = 0; at < text.size(); at += piece)
                inc_msg_append_fragment(text.data() + at, std::min(piece, text.size() - at),
                                        &link_.conn);
            int result = decode_message(&link_.vhd, &link_.conn);
            if (rc != nullptr)
                *rc = result;
        });
    }

    // The queued messages, compact with sorted keys, " +close" when the link closes after.
    std::vector<std::string> drain() {
        std::vector<bool> closes;
        std::vector<std::string> sent;
        for (const json_ptr &message : link_.take(&closes))
            sent.push_back(json_text(message.get(), kSorted) +
                           (closes[sent.size()] ? " +close" : ""));
        return sent;
    }
    DetachedLink link_;
};

TEST_F(LinkTest, BadInputClosesOrIsOnlyLogged) {
    const struct {
        std::string text;
        int rc;
        const char *line;
    } cases[] = {
        {"not json", -1, "WARN: Failed to decode msg - "},
        {std::string("{}\0{}", 5), -1, "WARN: Failed to decode msg - "},
        {"[1, 2]", -1, "WARN: Root element must be an object\n"},
        {"{}", -1, "WARN: Malformed message received: {}\n"},
        {R"({"type": null, "ok": false, "message": "nope"})", 0,
         "WARN: Error message received - nope\n"},
        {R"({"ok": false, "message": 3})", 0, "WARN: Error message received - (null)\n"},
        {R"({"type": "Reboot"})", 0, "WARN: Unknown message received: Reboot\n"},
    };
    for (const auto &c : cases) {
        int rc = 1;
        std::string log = feed(c.text, &rc);
        EXPECT_EQ(rc, c.rc) << c.text;
        EXPECT_EQ(count_of(log, c.line), 1u) << c.text << "\n" << log;
        EXPECT_TRUE(drain().empty()) << "nothing is answered";
    }
}

// A request's answer follows its handler's result, by the kind of the request; a
// reply to one of our own messages gets its "ok" value and is not answered.
TEST_F(LinkTest, HandlerResultDecidesTheAnswer) {
    ASSERT_EQ(agent_register_reply_handler("config", recording_reply), 0);
    ASSERT_EQ(agent_register_reply_handler("update_config", recording_reply), 0);
    for (const char *type : {"frobnicate", "auth", "config"})
        EXPECT_EQ(agent_register_request_handler(type, recording_request), -1) << type;
    EXPECT_EQ(agent_register_reply_handler("reboot", recording_reply), -1);
    const struct {
        const char *type;
        int result;  // 2: no handler registered
        std::vector<std::string> sent;
        const char *reply = nullptr, *ok = "";  // a reply's text, the "ok" its handler got
    } cases[] = {
        {"reboot", 2, {}},
        {"reboot", 0, {R"({"ok":true,"type":"reboot"})"}},
        {"config_pools", 1, {R"({"ok":false,"type":"config_pools"})"}},
        {"logs", 0, {}},
        {"logs", -1, {R"({"ok":false,"type":"logs"})"}},
        {"status", -1, {}},
        {"config_network", 1, {R"({"ok":true,"type":"config_network"} +close)"}},
        {"config_network", 0, {R"({"ok":true,"type":"config_network"})"}},
        {"config_network", -1, {R"({"ok":false,"type":"config_network"})"}},
        {"config", -1, {}, R"({"type": "config", "ok": false, "message": "none"})", "false"},
        {"config", -1, {}, R"({"type": "config", "pools": []})", "absent"},
        {"update_config", -1, {}, R"({"type": "update_config", "ok": 1})", "1"},
    };
    for (const auto &c : cases) {
        const std::string text =
            c.reply ? c.reply : std::string(R"({"type": ")") + c.type + R"(", "x": 1})";
        SCOPED_TRACE(text + " -> " + std::to_string(c.result));
        auto *handler = c.result == 2 ? nullptr : recording_request;
        ASSERT_EQ(c.reply ? 0 : agent_register_request_handler(c.type, handler), 0);
        handler_log = HandlerLog{};
        handler_log.result = c.result;
        int rc = 1;
        std::string log = feed(text, &rc);
        EXPECT_EQ(rc, 0);
        EXPECT_EQ(handler_log.calls, c.result == 2 ? 0 : 1);
        json_ptr sent(json_loads(text.c_str(), 0, nullptr));
        EXPECT_EQ(handler_log.root, c.result == 2 ? "" : json_text(sent.get(), kSorted));
        EXPECT_EQ(handler_log.ok, c.ok);
        EXPECT_EQ(count_of(log, "Unknown message received"), 0u);
        EXPECT_EQ(drain(), c.sent);
    }
}

TEST_F(LinkTest, AuthenticationReply) {
    const struct {
        const char *text;
        bool accepted, registration;
        const char *line;
    } cases[] = {
        {R"({"type": "auth", "ok": true, "registration": true})", true, true,
         "INFO: Agent successfully authenticated\n"},
        {R"({"type": "auth", "ok": true, "registration": 1})", true, false, ""},
        {R"({"type": "auth", "ok": false, "message": "Invalid api key"})", false, false,
         "INFO: Agent authentication failed - Invalid api key\n"},
        {R"({"type": "auth", "ok": 1, "message": "one"})", false, false,
         "INFO: Agent authentication failed - one\n"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.text);
        feed(R"({"type": "auth", "ok": true, "registration": true})");
        link_.conn.conn_state = CONN_AUTH_SENT;
        link_.conn.abort_armed = true;
        link_.state.authenticated = false;
        int rc = 1;
        std::string log = feed(c.text, &rc);
        EXPECT_EQ(rc, c.accepted ? 0 : -1);
        EXPECT_EQ(link_.conn.conn_state, c.accepted ? CONN_READY : CONN_NEW);
        EXPECT_FALSE(link_.conn.abort_armed) << "any reply stops the abort timer";
        EXPECT_EQ(link_.state.authenticated, c.accepted);
        EXPECT_TRUE(!c.accepted || agent_registration_requested() == c.registration);
        EXPECT_TRUE(has(log, c.line)) << log;
        EXPECT_TRUE(drain().empty());
    }
}

TEST_F(LinkTest, QueueHoldsAtMost1023InOrderAndReleasesWhatItDrops) {
    auto numbered = [](int i) { return json_pack("{ss,si}", "type", "status", "n", i); };
    for (int i = 0; i < 1023; ++i)
        ASSERT_EQ(agent_enqueue_message(numbered(i)), 0) << i;
    json_ptr extra(numbered(1023));
    json_incref(extra.get());
    int rc = 0;
    std::string log = captured_log([&] { rc = agent_enqueue_message(extra.get()); });
    EXPECT_EQ(rc, -1);
    EXPECT_EQ(count_of(log, "WARN: Dropping message, no free elements in out_msgs buffer\n"), 1u);
    EXPECT_EQ(extra->refcount, 1u);

    auto sent = drain();
    ASSERT_EQ(sent.size(), 1023u);
    for (int i = 0; i < 1023; ++i)
        ASSERT_EQ(sent[static_cast<size_t>(i)],
                  R"({"n":)" + std::to_string(i) + R"(,"type":"status"})");

    // What is still queued when the link closes goes with it.
    json_incref(extra.get());
    ASSERT_EQ(agent_enqueue_message(extra.get()), 0);
    EXPECT_EQ(extra->refcount, 2u) << "the ring owns one reference";
    conn_close(&link_.conn);
    EXPECT_EQ(extra->refcount, 1u);
    EXPECT_EQ(active_conn, nullptr);
}

// The queue's refusal without a link is test_link.py's.
TEST(LinkWithoutConnection, TimersOnlyWarnAndTheReconnectDelayIsRandom) {
    ASSERT_EQ(active_conn, nullptr);
    std::string log = captured_log([] {
        conn_abort_timer_start(30);
        conn_abort_timer_stop();
    });
    EXPECT_EQ(count_of(log, "WARN: Conn abort timer can't be started, no active connections\n"),
              1u);
    EXPECT_EQ(count_of(log, "WARN: Conn abort timer can't be stopped, no active connections\n"),
              1u);
    std::set<int> delays;
    for (int i = 0; i < 200; ++i)
        delays.insert(reconnect_delay_seconds());
    EXPECT_GE(*delays.begin(), 0);
    EXPECT_LE(*delays.rbegin(), kReconnectSpread - 1);
    EXPECT_GT(delays.size(), 20u);
}

// The agent file's key and identifier are cut to their fields on a character
// boundary, so the "auth" frame packs; one that cannot pack is logged, not lost.
TEST(LinkAuth, CutKeysStillPackAndAFailedPackIsLogged) {
    agent_config *cfg = agent_config_get();
    const std::string e_acute = "\u00e9", euro = "\u20ac";
    std::string key = "K", id = "D";
    for (int i = 0; i < 30; ++i)
        key += e_acute, id += euro;  // the 50- and 32-byte limits fall inside a character
    copy_cut(cfg->api_key, key.c_str());
    copy_cut(cfg->dev_id, id.c_str());
    json_ptr auth;
    EXPECT_EQ(captured_log([&] { auth.reset(compose_auth_request()); }), "");
    ASSERT_TRUE(auth);
    EXPECT_EQ(json_string_value(json_object_get(auth.get(), "api_key")), key.substr(0, 49));
    EXPECT_EQ(json_string_value(json_object_get(auth.get(), "device_id")), id.substr(0, 31));

    strcpy(cfg->api_key, "K\xC3");  // bytes that are no text
    std::string log = captured_log([&] { auth.reset(compose_auth_request()); });
    EXPECT_FALSE(auth);
    EXPECT_EQ(count_of(log, "ERROR: Failed to pack auth message"), 1u) << log;
    memset(cfg, 0, sizeof *cfg);
}

}  // namespace
