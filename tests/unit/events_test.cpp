// Lines of the miner's event pipe, handed to handle_miner_event with a connection
// record that is not attached to the library; what it queued is read from the ring.
#include <gtest/gtest.h>

#include "detached_link.h"
#include "events.h"
#include "test_text.h"

namespace {

struct Case {
    std::string line;
    int rc;              // 0, or any failure (-1)
    std::string sent;    // the queued message without "type", "name" and "timestamp"; "" none
    std::string logged;  // a line the handler must log; "" nothing
};

const std::string kRestart = R"({"event": "restart", "reason": ")";
std::string event(const std::string &reason, const std::string &more = "") {
    return kRestart + reason + "\"" + more + "}\n";
}

const Case kCases[] = {
    // Reasons match by prefix (the reason table's other rows are not restated); the
    // miner spells the fan failure its own way. The message's type, name and timestamp,
    // and lines that are no event, are test_mining.py's.
    {event("fan_erorr"), 0, R"({"reason":"fan_error"})", ""},
    {event("fan_error"), 0, "", "WARN: Unknown restart reason: fan_error\n"},
    {event(""), 0, "", "WARN: Unknown restart reason: \n"},
    {event("autotune_stage2"), 0, R"({"reason":"autotune"})", ""},
    // hashrate: a real, or a string read as a number; never an integer.
    {event("hashrate_drop", R"(, "hashrate": 7.25)"), 0,
     R"({"hashrate":7.25,"reason":"hashrate_drop"})", ""},
    {event("hashrate_drop", R"(, "hashrate": "12.5")"), 0,
     R"({"hashrate":12.5,"reason":"hashrate_drop"})", ""},
    {event("hashrate_drop", R"(, "hashrate": "many")"), 0,
     R"({"hashrate":0.0,"reason":"hashrate_drop"})", ""},
    {event("hashrate_drop", R"(, "hashrate": 12)"), -1, "",
     "ERROR: Failed to parse hashrate value\n"},
    {event("hashrate_drop", R"(, "hashrate": "1e999")"), -1, "",
     "ERROR: Failed to parse hashrate value\n"},
    {event("hashrate_drop"), -1, "", "ERROR: Restart event doesn't contain hashrate key\n"},
    // num_chips and temp: an integer, or a string read as one, within 32 bits.
    {event("xchips", R"(, "num_chips": 3)"), 0, R"({"num_chips":3,"reason":"xchips"})", ""},
    {event("xchips", R"(, "num_chips": "17 chips")"), 0, R"({"num_chips":17,"reason":"xchips"})",
     ""},
    {event("xchips", R"(, "num_chips": "none")"), 0, R"({"num_chips":0,"reason":"xchips"})", ""},
    {event("xchips", R"(, "num_chips": 2.5)"), -1, "", "ERROR: Failed to parse num_chips value\n"},
    {event("xchips", R"(, "num_chips": 5000000000)"), -1, "",
     "ERROR: Failed to parse num_chips value\n"},
    {event("xchips"), -1, "", "ERROR: Restart event doesn't contain num_chips key\n"},
    {event("overheat", R"(, "temp": -40)"), 0, R"({"reason":"overheat","temp":-40})", ""},
    {event("overheat", R"(, "temp": "99999999999999999999")"), -1, "",
     "ERROR: Failed to parse temp value\n"},
    {event("overheat", R"(, "temp": [95])"), -1, "", "ERROR: Failed to parse temp value\n"},
    {event("overheat"), -1, "", "ERROR: Restart event doesn't contain temp key\n"},
    // A line that parses but has no reason text.
    {R"({"event": "restart", "reason": null})", -1, "", "ERROR: Unable to parse event reason: "},
};

struct EventsTest : testing::Test {
    DetachedLink link;
};

TEST_F(EventsTest, EachLineIsQueuedAsARestartEventOrRejectedWithItsLogLine) {
    for (const Case &c : kCases) {
        SCOPED_TRACE(c.line);
        int rc = 0;
        std::string log =
            captured_log([&] { rc = handle_miner_event_bytes(c.line.data(), c.line.size()); });

        EXPECT_EQ(rc, c.rc);
        if (c.logged.empty())
            EXPECT_EQ(log, "");
        else
            EXPECT_TRUE(has(log, c.logged)) << log;

        std::vector<json_ptr> sent = link.take();
        ASSERT_EQ(sent.size(), c.sent.empty() ? 0u : 1u);
        if (sent.empty())
            continue;
        json_t *message = sent[0].get();
        for (const char *key : {"type", "name", "timestamp"})
            json_object_del(message, key);
        EXPECT_EQ(json_text(message, JSON_COMPACT | JSON_SORT_KEYS | JSON_REAL_PRECISION(10)),
                  c.sent);
    }
}

TEST_F(EventsTest, AnEventWithoutAConnectionIsLostAndReportedAsAFailure) {
    conn_close(&link.conn);
    EXPECT_EQ(captured_log([] { EXPECT_LT(handle_miner_event(event("autotune").c_str()), 0); }),
              "");
}

}  // namespace
