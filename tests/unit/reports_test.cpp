// The status and metrics reports against a link record that is not attached to the
// network (its outgoing ring is read back), and their threads against a miner API on
// port 4028 that answers with recorded replies.
#include <arpa/inet.h>
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "cgminer_api.h"
#include "detached_link.h"
#include "fake_miner.h"
#include "metrics.h"
#include "norix/miner_support/stats.h"
#include "norix/miner_support/supervision.h"
#include "status_internal.h"
#include "test_text.h"

// Stands in for the connection manager's view of the link.
std::atomic<bool> link_authenticated{false};
bool agent_is_authenticated() {
    return link_authenticated;
}

namespace {

using namespace std::chrono_literals;
using steady = std::chrono::steady_clock;

bool eth0_up() {
    netinfo info{};
    bool ok = false;
    errors_of([&] { ok = util_netinfo("eth0", &info) == 0; });
    return ok;
}

// The miner's API: "stats" and "pools" get the recorded replies, anything else {}.
FakeMiner::Reply recorded_reply(const std::string &request) {
    for (std::string name : {"stats", "pools"})
        if (has(request, '"' + name + '"'))
            return {{slurp(std::string(MINER_TEST_DATA_DIR) + "/miner_" + name + "_reply.txt")}};
    return {{"{}"}};
}

class ReportsTest : public testing::Test {
  protected:
    void SetUp() override { link_authenticated = true; }
    void TearDown() override {
        metrics_thread_stop();
        status_thread_stop();
        status_reports_resume(status_suspender::config_upload);
        status_reports_resume(status_suspender::firmware_update);
        link_authenticated = false;
    }

    // What was queued, polling until n messages came or the limit passed.
    std::vector<json_ptr> drain(size_t n = 0, steady::duration limit = {}) {
        std::vector<json_ptr> sent;
        for (auto end = steady::now() + limit;; std::this_thread::sleep_for(20ms)) {
            for (json_ptr &message : link_.take())
                sent.push_back(std::move(message));
            if (sent.size() >= n || steady::now() >= end)
                return sent;
        }
    }
    DetachedLink link_;
};

template <typename Fn>
steady::duration time_of(Fn fn) {
    auto start = steady::now();
    fn();
    return steady::now() - start;
}

TEST(StatusCompose, KeysInOrderAndOptionalPartsOnlyWhenDue) {
    netinfo net{{0x00, 0x1a, 0x2b, 0x3c, 0x4d, 0xfe},
                inet_addr("192.168.1.10"),
                inet_addr("255.255.255.0"),
                inet_addr("192.168.1.1"),
                {inet_addr("8.8.8.8"), inet_addr("1.1.1.1")},
                2};
    netinfo no_dns = net;
    no_dns.dns_count = 0;
    const pool_stats active{true, "8.19K", 10, 2, 1, POOL_STATE_ACTIVE};
    const pool_stats dead{false, "", 0, 0, 0, POOL_STATE_DEAD};
    // A share counter past 32 bits.
    const pool_stats odd{false, "1", (int64_t{1} << 32) + 5, 0, 0, static_cast<pool_state>(9)};
    pools_stats pools{active, {}, dead, {odd, {}, active, active}, 3};
    pools_stats none{};

    const std::string head =
        R"({"type":"status","firmware_id":"norix-antminer-s9","firmware_ver":"3.8.6.9",)";
    const std::string network =
        R"("network":{"ip":"192.168.1.10","netmask":"255.255.255.0","gateway":"192.168.1.1",)"
        R"("dnsservers":["8.8.8.8","1.1.1.1"],"mac":"00:1a:2b:3c:4d:fe"})";
    const std::string active_text =
        R"({"boost":true,"difficulty":"8.19K","accepted":10,"rejected":2,"stale":1,"status":"active"})";
    auto with_state = [&](const char *state) { return head + state + "," + network + "}"; };
    struct Case {
        std::optional<miner_state> state;
        const netinfo *net;
        const pools_stats *pools;
        std::string expected;  // "absent": not composed, and logged
    } cases[] = {
        {std::nullopt, &net, nullptr, head + network + "}"},
        {miner_state{4, 40}, &net, nullptr,
         with_state(R"("state":{"name":"updating","progress":40})")},
        {miner_state{1, 55}, &net, nullptr, with_state(R"("state":{"name":"mining"})")},
        {miner_state{7, 0}, &net, nullptr, with_state(R"("state":{"name":"unknown"})")},
        {miner_state{-1, 0}, &net, nullptr, with_state(R"("state":{"name":"unknown"})")},
        {miner_state{2, 0}, &no_dns, &none,
         head + R"("state":{"name":"pause"},"network":{"ip":"192.168.1.10",)"
                R"("netmask":"255.255.255.0","gateway":"192.168.1.1","dnsservers":[],)"
                R"("mac":"00:1a:2b:3c:4d:fe"},"pools":{"service_fee":[]}})"},
        {std::nullopt, &net, &pools,
         head + network + R"(,"pools":{"main":)" + active_text +
             R"(,"reserved2":{"boost":false,"difficulty":"","accepted":0,"rejected":0,)"
             R"("stale":0,"status":"dead"},"service_fee":[{"boost":false,"difficulty":"1",)"
             R"("accepted":4294967301,"rejected":0,"stale":0,"status":"unknown"},)" +
             active_text + "]}}"},
        {miner_state{1, 0}, nullptr, &pools, "absent"},
    };
    for (const Case &c : cases) {
        json_ptr msg;
        std::string log = errors_of(
            [&] { msg.reset(compose_status(c.state ? &*c.state : nullptr, c.net, c.pools)); });
        EXPECT_EQ(json_text(msg.get()), c.expected);
        EXPECT_EQ(has(log, "ERROR: Failed to compose status object - NULL object\n"),
                  c.expected == "absent")
            << log;
    }
}

// Suspension, authentication and the stored state decide what goes out, and when.
TEST_F(ReportsTest, StatusSendsTheStoredStateOnlyWhileAuthenticatedAndNotSuspended) {
    if (!eth0_up() || cgminer_api_available())
        GTEST_SKIP() << "needs eth0 with an address and no miner API on this host";
    auto state_of = [](const json_ptr &msg) {
        return json_text(json_object_get(msg.get(), "state"));
    };
    link_authenticated = false;
    EXPECT_EQ(captured_log([] { EXPECT_EQ(status_report_current(), -1); }), "");
    EXPECT_TRUE(drain().empty());

    link_authenticated = true;
    // The upload's resumes (a re-authentication repeats them) leave the update's
    // suspension in place.
    status_reports_suspend(status_suspender::firmware_update);
    status_reports_suspend(status_suspender::config_upload);
    status_reports_resume(status_suspender::config_upload);
    status_reports_resume(status_suspender::config_upload);
    EXPECT_EQ(status_report_state(MINER_STATE_PAUSE), 0);
    EXPECT_TRUE(drain().empty());
    status_reports_resume(status_suspender::firmware_update);
    EXPECT_EQ(status_report_current(), 0);
    std::vector<json_ptr> sent = drain();
    ASSERT_EQ(sent.size(), 1u);
    EXPECT_EQ(state_of(sent[0]), R"({"name":"pause"})") << "stored while suspended";
    EXPECT_EQ(json_object_get(sent[0].get(), "pools"), nullptr) << "no miner API, no pools";
    EXPECT_TRUE(json_is_object(json_object_get(sent[0].get(), "network")));

    // A stop of the thread forgets the state.
    status_thread_start();
    status_thread_stop();
    EXPECT_EQ(status_report_current(), 0);
    sent = drain();
    ASSERT_EQ(sent.size(), 1u);
    EXPECT_EQ(state_of(sent[0]), R"({"name":"initializing"})");

    conn_close(&link_.conn);
    EXPECT_EQ(status_report_state(MINER_STATE_MINING), -2) << "the queue's own result";
}

// Only the counted fans and chains; "id" as text, reals as reals even when whole.
TEST_F(ReportsTest, MetricsKeysTypesAndZeroReport) {
    const miner_stats stats{1796592532,
                            13995.5,
                            650,
                            57,
                            1350.25,
                            3,
                            {{1, 80, 3780}, {6, 80, 3660}},
                            1,
                            {{6, 63, 4665.5, 650, 8.75, 450, 1, 57, 50},
                             {7, 62, 4600, 600.5, 8.5, 440, 2, 58, 51},
                             {8, 63, 1, 1, 1, 1, 1, 1, 1}},
                            2};
    EXPECT_EQ(metrics_report(&stats), 0);
    const time_t before = time(nullptr);
    EXPECT_EQ(metrics_report_zero(), 0);
    const time_t after = time(nullptr);

    std::vector<json_ptr> sent = drain();
    ASSERT_EQ(sent.size(), 2u);
    EXPECT_EQ(json_text(sent[0].get()),
              R"({"type":"metrics","timestamp":1796592532,"hash_rate":13995.5,"freq":650.0,)"
              R"("temp":57,"watt":1350.25,"hw_errors":3,"fans":[{"id":"1","speed":80,"rpm":3780}],)"
              R"("chains":[{"id":"6","num_chips":63,"hash_rate":4665.5,"freq":650.0,"volt":8.75,)"
              R"("watt":450.0,"hw_errors":1,"chip_temp":57,"pcb_temp":50},{"id":"7",)"
              R"("num_chips":62,"hash_rate":4600.0,"freq":600.5,"volt":8.5,"watt":440.0,)"
              R"("hw_errors":2,"chip_temp":58,"pcb_temp":51}]})");
    const json_int_t now = json_integer_value(json_object_get(sent[1].get(), "timestamp"));
    EXPECT_TRUE(now >= before && now <= after) << now;
    EXPECT_EQ(json_text(sent[1].get()), R"({"type":"metrics","timestamp":)" + std::to_string(now) +
                                            R"(,"hash_rate":0.0,"freq":0.0,"temp":0,"watt":0.0,)"
                                            R"("hw_errors":0,"fans":[],"chains":[]})");
}

// A stop ends each thread promptly wherever it waits and leaves no descriptor open; a
// stop while the miner's API is still away leaves nothing sent at all.
TEST_F(ReportsTest, StopsArePromptWhereverTheThreadsWait) {
    if (!eth0_up() || cgminer_api_available())
        GTEST_SKIP() << "needs eth0 with an address and no miner API on this host";
    auto open_fds = [] {
        return std::distance(std::filesystem::directory_iterator("/proc/self/fd"), {});
    };
    auto cycle = [](steady::duration pause) {
        status_thread_start();
        metrics_thread_start();
        std::this_thread::sleep_for(pause);
        EXPECT_LT(time_of([] { metrics_thread_stop(); }), 1s);
        EXPECT_LT(time_of([] { status_thread_stop(); }), 1s);
    };
    testing::internal::CaptureStderr();  // the miner file is absent here
    cycle(300ms);  // status: in the 30 s sleep; metrics: in the 5 s wait for the API
    EXPECT_TRUE(drain().empty());
    const auto fds = open_fds();  // the threads' own wake descriptors exist by now
    for (int i = 0; i < 50; ++i)
        cycle(0ms);
    EXPECT_EQ(open_fds(), fds);

    FakeMiner miner(recorded_reply, kMinerApiPort);
    ASSERT_NE(miner.port(), 0);
    metrics_thread_start();
    std::vector<json_ptr> sent = drain(2, 5s);
    EXPECT_LT(time_of([] { metrics_thread_stop(); }), 1s) << "in the 10 s sleep";
    testing::internal::GetCapturedStderr();
    ASSERT_EQ(sent.size(), 2u);
    EXPECT_EQ(json_text(json_object_get(sent[0].get(), "state")), R"({"name":"mining"})");
    EXPECT_TRUE(
        json_is_array(json_object_get(json_object_get(sent[0].get(), "pools"), "service_fee")))
        << json_text(sent[0].get());
    EXPECT_EQ(json_text(json_object_get(sent[1].get(), "type")), R"("metrics")");
    EXPECT_EQ(json_array_size(json_object_get(sent[1].get(), "chains")), 3u)
        << json_text(sent[1].get());
}

}  // namespace
