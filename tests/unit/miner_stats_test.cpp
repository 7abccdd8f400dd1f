#include "norix/miner_support/stats.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <fstream>
#include <random>
#include <string>

#include "common/json_ptr.h"
#include "util.h"

namespace {

std::string slurp(const std::string &name) {
    std::ifstream in(std::string(MINER_TEST_DATA_DIR) + "/" + name);
    EXPECT_TRUE(in) << name;
    return std::string(std::istreambuf_iterator<char>(in), {});
}

// A reply as the miner writes it, joined the way the API client joins it.
json_ptr reply_from_wire(const std::string &wire) {
    c_str_ptr joined(util_str_replace(wire.c_str(), "}{", "},{"));
    json_error_t error;
    json_ptr root(json_loads(joined.get(), 0, &error));
    EXPECT_TRUE(root) << error.text;
    return root;
}

json_ptr load(const std::string &json) {
    json_error_t error;
    json_ptr root(json_loads(json.c_str(), 0, &error));
    EXPECT_TRUE(root) << error.text << "\n" << json;
    return root;
}

struct Logged {
    std::string out;
    std::string err;
};

template <typename F>
auto logged(Logged *log, F &&f) {
    testing::internal::CaptureStdout();
    testing::internal::CaptureStderr();
    auto result = f();
    log->err = testing::internal::GetCapturedStderr();
    log->out = testing::internal::GetCapturedStdout();
    return result;
}

// ---- "stats" -----------------------------------------------------------------

// The statistics object of a machine with chains in slots 6..8 and fans in 3
// and 6; every other slot present but zero. Tests then change single keys.
json_ptr stats_object() {
    json_ptr s(json_object());
    json_object_set_new(s.get(), "total_rate", json_real(14000.5));
    json_object_set_new(s.get(), "GHS av", json_real(13500.25));
    json_object_set_new(s.get(), "total_freqavg", json_real(650.0));
    json_object_set_new(s.get(), "temp_max", json_integer(60));
    json_object_set_new(s.get(), "miner_count", json_integer(3));
    json_object_set_new(s.get(), "fan_num", json_integer(2));
    for (int n = 1; n <= 16; ++n) {
        const bool on = n >= 6 && n <= 8;
        auto key = [n](const char *fmt) {
            char buf[40];
            snprintf(buf, sizeof buf, fmt, n);
            return std::string(buf);
        };
        json_object_set_new(s.get(), key("chain_acn%d").c_str(), json_integer(on ? 63 : 0));
        json_object_set_new(s.get(), key("chain_rate%d").c_str(),
                            json_string(on ? "4666.67" : "0.00"));
        json_object_set_new(s.get(), key("freq_avg%d").c_str(), json_real(on ? 650.0 : 0.0));
        json_object_set_new(s.get(), key("chain_vol%d").c_str(), json_integer(on ? 890 : 0));
        json_object_set_new(s.get(), key("temp%d").c_str(), json_integer(on ? 50 + n : 0));
        json_object_set_new(s.get(), key("temp2_%d").c_str(), json_integer(on ? 60 + n : 0));
        json_object_set_new(s.get(), key("chain_hw%d").c_str(), json_integer(on ? n : 0));
        json_object_set_new(s.get(), key("chain_consumption%d").c_str(),
                            json_real(on ? 400.0 + n : 0.0));
    }
    for (int n = 1; n <= 8; ++n) {
        std::string key = "fan" + std::to_string(n);
        json_object_set_new(s.get(), key.c_str(), json_integer(n == 3 ? 3600 : n == 6 ? 4200 : 0));
    }
    return s;
}

json_ptr wrap_stats(json_t *stats) {
    return json_ptr(json_pack("{s[{ss}O]}", "STATS", "Type", "Antminer S9", stats));
}

std::unique_ptr<miner_stats> stats_from(json_t *stats, Logged *log) {
    json_ptr reply = wrap_stats(stats);
    return logged(log, [&] { return miner_stats_from_reply(reply.get()); });
}

TEST(MinerStats, SimulatedMinerReply) {
    json_ptr reply = reply_from_wire(slurp("miner_stats_reply.txt"));
    Logged log;
    auto s = logged(&log, [&] { return miner_stats_from_reply(reply.get()); });
    ASSERT_TRUE(s);
    EXPECT_EQ(log.err, "");
    EXPECT_EQ(log.out, "");
    ASSERT_EQ(s->chain_count, 3);
    double consumption = 0;
    int hw = 0;
    for (int i = 0; i < 3; ++i) {
        const chain_stats &c = s->chains[i];
        EXPECT_EQ(c.id, 6u + static_cast<uint32_t>(i));
        EXPECT_EQ(c.chips, 63);
        EXPECT_GT(c.hash_rate, 4000.0);
        EXPECT_DOUBLE_EQ(c.freq_avg, 650.0);
        EXPECT_DOUBLE_EQ(c.voltage, 8.9);
        EXPECT_GT(c.chip_temp, c.pcb_temp);
        consumption += c.consumption;
        hw += c.hw_errors;
    }
    EXPECT_DOUBLE_EQ(s->consumption, consumption);
    EXPECT_EQ(s->hw_errors, hw);
    // The sample's chip temperatures run above its "temp_max" board figure.
    EXPECT_EQ(s->temp_max,
              std::max({s->chains[0].chip_temp, s->chains[1].chip_temp, s->chains[2].chip_temp}));
    EXPECT_DOUBLE_EQ(s->freq_avg, 650.0);
    ASSERT_EQ(s->fan_count, 2);
    EXPECT_EQ(s->fans[0].id, 3u);
    EXPECT_EQ(s->fans[1].id, 6u);
    EXPECT_EQ(s->fans[0].speed, s->fans[0].rpm * 100 / 6000);
    EXPECT_GT(s->hash_rate, 13000.0);
    EXPECT_GT(s->timestamp, 0);
}

TEST(MinerStats, GlobalFiguresAndTheHashRateChoice) {
    struct Case {
        double total_rate, ghs_av, expected;
    };
    const Case cases[] = {
        {30000, 13500, 13500},  // total far above the average: the average
        {14000, 13500, 14000},   {27000, 13500, 13500 * 2 < 27000 ? 13500 : 27000},
        {27000.5, 13500, 13500}, {0, 0, 0},
    };
    for (const auto &c : cases) {
        json_ptr obj = stats_object();
        json_object_set_new(obj.get(), "total_rate", json_real(c.total_rate));
        json_object_set_new(obj.get(), "GHS av", json_real(c.ghs_av));
        Logged log;
        auto s = stats_from(obj.get(), &log);
        ASSERT_TRUE(s);
        EXPECT_DOUBLE_EQ(s->hash_rate, c.expected) << c.total_rate << " / " << c.ghs_av;
    }
}

TEST(MinerStats, RepliesOfTheWrongShapeGiveNoRecord) {
    struct Case {
        std::string json;
        const char *line;
    };
    auto with = [](const char *key, json_t *value) {
        json_ptr obj = stats_object();
        json_object_set_new(obj.get(), key, value);
        c_str_ptr text(json_dumps(wrap_stats(obj.get()).get(), 0));
        return std::string(text.get());
    };
    auto without = [](const char *key) {
        json_ptr obj = stats_object();
        json_object_del(obj.get(), key);
        c_str_ptr text(json_dumps(wrap_stats(obj.get()).get(), 0));
        return std::string(text.get());
    };
    const char *unpack = "ERROR: Failed to unpack STATS from api response: ";
    const char *global = "ERROR: Failed to unpack global metrics\n";
    const Case cases[] = {
        {R"({"STATS": [{}, {}, {}]})", unpack},
        {R"({"STATS": [{}]})", unpack},
        {R"({"STATS": []})", unpack},
        {R"({"STATS": {}})", unpack},
        {R"({"STATUS": "E"})", unpack},
        {R"([1, 2])", unpack},
        {R"({"STATS": [{}, 5]})", global},
        {R"({"STATS": [{}, {}]})", global},
        {with("total_rate", json_integer(14000)), global},  // integer where a real is due
        {with("GHS av", json_string("13500")), global},
        {with("temp_max", json_real(60.0)), global},
        {without("total_freqavg"), global},
    };
    for (const auto &c : cases) {
        json_ptr reply = load(c.json);
        Logged log;
        auto s = logged(&log, [&] { return miner_stats_from_reply(reply.get()); });
        EXPECT_FALSE(s) << c.json;
        EXPECT_NE(log.err.find(c.line), std::string::npos) << c.json << "\n" << log.err;
    }
}

TEST(MinerStats, ChainSelection) {
    struct Case {
        const char *name;
        std::function<void(json_t *)> edit;
        std::vector<uint32_t> ids;
        const char *warning;  // expected on stdout, or null
    };
    auto set = [](const char *key, json_t *v) {
        return [key, v](json_t *s) { json_object_set_new(s, key, v); };
    };
    const Case cases[] = {
        {"as reported", [](json_t *) {}, {6, 7, 8}, nullptr},
        {"miner_count 2", set("miner_count", json_integer(2)), {6, 7}, nullptr},
        {"miner_count 0", set("miner_count", json_integer(0)), {}, nullptr},
        {"miner_count negative", set("miner_count", json_integer(-4)), {}, nullptr},
        {"miner_count 40", set("miner_count", json_integer(40)), {6, 7, 8}, nullptr},
        {"miner_count missing",
         [](json_t *s) { json_object_del(s, "miner_count"); },
         {6, 7, 8},
         "WARN: Unable to parse the number of chains\n"},
        {"miner_count text",
         set("miner_count", json_string("3")),
         {6, 7, 8},
         "WARN: Unable to parse the number of chains\n"},
        {"extra chain, count 3",
         [](json_t *s) { json_object_set_new(s, "chain_acn2", json_integer(10)); },
         {2, 6, 7},
         nullptr},
        {"only hw errors count as data",
         [](json_t *s) {
             json_object_set_new(s, "miner_count", json_integer(4));
             json_object_set_new(s, "chain_hw12", json_integer(1));
         },
         {6, 7, 8, 12},
         nullptr},
        {"board without chips still has temperatures",
         [](json_t *s) { json_object_set_new(s, "chain_acn7", json_integer(0)); },
         {6, 7, 8},
         nullptr},
        {"a slot whose keys are all zero is empty",
         [](json_t *s) {
             for (const char *k : {"chain_acn7", "chain_vol7", "temp7", "temp2_7", "chain_hw7"})
                 json_object_set_new(s, k, json_integer(0));
             json_object_set_new(s, "chain_rate7", json_string("0.00"));
             json_object_set_new(s, "freq_avg7", json_real(0.0));
             json_object_set_new(s, "chain_consumption7", json_real(0.00001));
         },
         {6, 8},
         nullptr},
        {"integer frequency fails the slot",
         [](json_t *s) { json_object_set_new(s, "freq_avg7", json_integer(650)); },
         {6, 8},
         "WARN: Couldn't parse data for chain 7\n"},
        {"missing chip count fails the slot",
         [](json_t *s) { json_object_del(s, "chain_acn8"); },
         {6, 7},
         "WARN: Couldn't parse data for chain 8\n"},
        {"numeric rate fails the slot",
         [](json_t *s) { json_object_set_new(s, "chain_rate6", json_real(4000.0)); },
         {7, 8},
         "WARN: Couldn't parse data for chain 6\n"},
    };
    for (const auto &c : cases) {
        json_ptr obj = stats_object();
        c.edit(obj.get());
        Logged log;
        auto s = stats_from(obj.get(), &log);
        ASSERT_TRUE(s) << c.name;
        std::vector<uint32_t> ids;
        for (int i = 0; i < s->chain_count; ++i)
            ids.push_back(s->chains[i].id);
        EXPECT_EQ(ids, c.ids) << c.name;
        for (int i = s->chain_count; i < kStatsChainSlots; ++i)
            EXPECT_EQ(s->chains[i].id, 0u) << c.name;
        if (c.warning) {
            EXPECT_NE(log.out.find(c.warning), std::string::npos) << c.name << "\n" << log.out;
        } else {
            EXPECT_EQ(log.out, "") << c.name;
        }
    }
}

TEST(MinerStats, ChainFiguresAndSums) {
    json_ptr obj = stats_object();
    json_object_del(obj.get(), "chain_vol6");
    json_object_del(obj.get(), "chain_consumption6");
    json_object_set_new(obj.get(), "chain_consumption7", json_integer(500));  // integer allowed
    json_object_set_new(obj.get(), "chain_rate8", json_string("4321.5 GH/s"));
    json_object_set_new(obj.get(), "temp2_8", json_integer(91));
    json_object_set_new(obj.get(), "chain_hw8", json_integer(1000));
    // A slot that fails to parse does not raise the maximum.
    json_object_set_new(obj.get(), "temp2_12", json_integer(120));
    json_object_set_new(obj.get(), "chain_hw12", json_string("x"));
    Logged log;
    auto s = stats_from(obj.get(), &log);
    ASSERT_TRUE(s);
    ASSERT_EQ(s->chain_count, 3);
    EXPECT_EQ(s->chains[0].voltage, 0.0);
    EXPECT_EQ(s->chains[0].consumption, 0.0);
    EXPECT_DOUBLE_EQ(s->chains[1].voltage, 8.9);
    EXPECT_DOUBLE_EQ(s->chains[1].consumption, 500.0);
    EXPECT_DOUBLE_EQ(s->chains[2].hash_rate, 4321.5);
    EXPECT_DOUBLE_EQ(s->chains[0].hash_rate, 4666.67);
    EXPECT_EQ(s->temp_max, 91);
    EXPECT_DOUBLE_EQ(s->consumption, 500.0 + 408.0);
    EXPECT_EQ(s->hw_errors, 6 + 7 + 1000);
    EXPECT_EQ(s->chains[2].pcb_temp, 58);
    EXPECT_EQ(s->chains[2].chip_temp, 91);
}

TEST(MinerStats, RateTextsThatAreNotNumbersGiveZero) {
    for (const char *text : {"", "abc", "nan", "inf", "-inf", "1e999"}) {
        json_ptr obj = stats_object();
        json_object_set_new(obj.get(), "chain_rate6", json_string(text));
        Logged log;
        auto s = stats_from(obj.get(), &log);
        ASSERT_TRUE(s);
        EXPECT_EQ(s->chains[0].hash_rate, 0.0) << text;
        EXPECT_EQ(s->chains[0].id, 6u) << "the chain still has chips";
    }
}

TEST(MinerStats, Fans) {
    struct Case {
        const char *name;
        std::vector<std::pair<int, json_t *>> fans;      // slot, value
        json_t *fan_num;                                 // null: key absent
        std::vector<std::pair<uint32_t, int>> expected;  // id, speed
        const char *warning;
    };
    auto I = [](json_int_t v) { return json_integer(v); };
    const Case cases[] = {
        {"speeds", {{3, I(6000)}, {6, I(3000)}}, I(2), {{3, 100}, {6, 50}}, nullptr},
        {"above full speed", {{1, I(7000)}, {2, I(5999)}}, I(2), {{1, 100}, {2, 99}}, nullptr},
        {"one fan", {{3, I(3600)}, {6, I(3600)}}, I(1), {{3, 60}}, nullptr},
        {"idle fans are absent", {{3, I(0)}, {6, I(-10)}}, I(2), {}, nullptr},
        {"fan_num missing",
         {{3, I(60)}, {6, I(120)}},
         nullptr,
         {{3, 1}, {6, 2}},
         "WARN: Unable to parse the number of fans\n"},
        {"fan_num text",
         {{3, I(60)}},
         json_string("2"),
         {{3, 1}},
         "WARN: Unable to parse the number of fans\n"},
        // Room for two, whatever the miner claims.
        {"four fans",
         {{1, I(1000)}, {2, I(2000)}, {3, I(3000)}, {4, I(4000)}},
         I(4),
         {{1, 16}, {2, 33}},
         nullptr},
        {"fan_num 8",
         {{5, I(1000)}, {7, I(2000)}, {8, I(3000)}},
         I(8),
         {{5, 16}, {7, 33}},
         nullptr},
        {"bad slot",
         {{3, json_string("3600")}, {6, I(3600)}},
         I(2),
         {{6, 60}},
         "WARN: Failed to parse data for fan 3\n"},
        {"huge rpm", {{3, I(2000000000)}}, I(2), {{3, 100}}, nullptr},
    };
    for (const auto &c : cases) {
        json_ptr obj = stats_object();
        for (int n = 1; n <= 8; ++n)
            json_object_set_new(obj.get(), ("fan" + std::to_string(n)).c_str(), json_integer(0));
        for (const auto &[slot, value] : c.fans)
            json_object_set_new(obj.get(), ("fan" + std::to_string(slot)).c_str(), value);
        if (c.fan_num)
            json_object_set_new(obj.get(), "fan_num", c.fan_num);
        else
            json_object_del(obj.get(), "fan_num");
        Logged log;
        auto s = stats_from(obj.get(), &log);
        ASSERT_TRUE(s) << c.name;
        std::vector<std::pair<uint32_t, int>> got;
        for (int i = 0; i < s->fan_count; ++i)
            got.emplace_back(s->fans[i].id, s->fans[i].speed);
        EXPECT_EQ(got, c.expected) << c.name;
        if (c.warning) {
            EXPECT_NE(log.out.find(c.warning), std::string::npos) << c.name << "\n" << log.out;
        }
    }
}

// ---- "pools" -----------------------------------------------------------------

std::string pool(const std::string &url, const std::string &status, int priority,
                 const std::string &extra = "", bool active = true, const char *diff = "1.02K",
                 const char *boost = "Normal") {
    return "{\"URL\": \"" + url + "\", \"Status\": \"" + status +
           "\", \"Priority\": " + std::to_string(priority) +
           ", \"Accepted\": 10, \"Rejected\": 2, \"Stale\": 1, \"Diff\": \"" + diff +
           "\", \"Stratum Active\": " + (active ? "true" : "false") + ", \"Boost\": \"" + boost +
           "\"" + extra + "}";
}

std::unique_ptr<pools_stats> pools_from(const std::string &elements, Logged *log) {
    json_ptr reply = load("{\"STATUS\": [], \"POOLS\": [" + elements + "]}");
    return logged(log, [&] { return pools_stats_from_reply(reply.get()); });
}

bool is_zero(const pool_stats &p) {
    pool_stats zero;
    memset(&zero, 0, sizeof zero);
    return memcmp(&p, &zero, sizeof p) == 0;
}

TEST(PoolsStats, SimulatedMinerReply) {
    json_ptr reply = reply_from_wire(slurp("miner_pools_reply.txt"));
    Logged log;
    auto p = logged(&log, [&] { return pools_stats_from_reply(reply.get()); });
    ASSERT_TRUE(p);
    EXPECT_EQ(log.out + log.err, "");
    EXPECT_EQ(p->main.status, POOL_STATE_ACTIVE);
    EXPECT_STREQ(p->main.diff, "8.19K");
    EXPECT_FALSE(p->main.asic_boost);
    EXPECT_TRUE(is_zero(p->reserved)) << "empty slot";
    EXPECT_TRUE(is_zero(p->reserved2));
    ASSERT_EQ(p->svc_fee_count, 1u);
    EXPECT_EQ(p->svc_fee[0].status, POOL_STATE_ALIVE);
    EXPECT_STREQ(p->svc_fee[0].diff, "65.5K");
}

TEST(PoolsStats, Targeting) {
    Logged log;
    // Position counts every element, service-fee pools included.
    auto fee_first =
        pools_from(pool("DevFee a", "Alive", 999) + "," + pool("pool1", "Alive", 0) + "," +
                       pool("pool2", "Dead", 1) + "," + pool("pool3", "Alive", 2),
                   &log);
    ASSERT_TRUE(fee_first);
    EXPECT_TRUE(is_zero(fee_first->main));
    EXPECT_EQ(fee_first->reserved.status, POOL_STATE_ACTIVE);
    EXPECT_EQ(fee_first->reserved2.status, POOL_STATE_DEAD);
    EXPECT_EQ(fee_first->svc_fee_count, 1u);

    // Both conditions make a service-fee pool.
    auto not_fee = pools_from(pool("DevFee x", "Alive", 899) + "," +
                                  pool("devfee y", "Alive", 999) + "," + pool("DevFe", "Dead", 999),
                              &log);
    ASSERT_TRUE(not_fee);
    EXPECT_EQ(not_fee->svc_fee_count, 0u);
    EXPECT_EQ(not_fee->main.status, POOL_STATE_ACTIVE);
    EXPECT_EQ(not_fee->reserved.status, POOL_STATE_ACTIVE);
    EXPECT_EQ(not_fee->reserved2.status, POOL_STATE_DEAD);

    // An empty slot needs both a short URL and "Dead".
    auto short_alive = pools_from(
        pool("ab", "Alive", 0) + "," + pool("", "Dead", 1) + "," + pool("abc", "Dead", 2), &log);
    EXPECT_EQ(short_alive->main.status, POOL_STATE_ACTIVE);
    EXPECT_TRUE(is_zero(short_alive->reserved));
    EXPECT_EQ(short_alive->reserved2.status, POOL_STATE_DEAD);

    // Never more than four service-fee pools, and nothing past the user's three.
    std::string many;
    for (int i = 0; i < 7; ++i)
        many += pool("DevFee " + std::to_string(i), "Alive", 900 + i, "", false) + ",";
    many += pool("u", "Alive", 0);
    auto crowded = pools_from(many + "," + pool("u", "Alive", 0), &log);
    ASSERT_TRUE(crowded);
    EXPECT_EQ(crowded->svc_fee_count, 4u);
    EXPECT_TRUE(is_zero(crowded->main));
    EXPECT_TRUE(is_zero(crowded->reserved2));
}

TEST(PoolsStats, EntryFields) {
    Logged log;
    auto p = pools_from(pool("u1", "Alive", 0, "", false, "", "AsicBoost") + "," +
                            pool("u2", "Rejecting", 1, "", true, "12345678901234567890123") + "," +
                            pool("u3", "Alive", 2, ", \"Accepted\": 5000000000000"),
                        &log);
    ASSERT_TRUE(p);
    EXPECT_TRUE(p->main.asic_boost);
    EXPECT_STREQ(p->main.diff, "0") << "empty difficulty";
    EXPECT_EQ(p->main.status, POOL_STATE_ALIVE) << "alive without an active stratum";
    EXPECT_EQ(p->main.accepted, 10);
    EXPECT_EQ(p->main.rejected, 2);
    EXPECT_EQ(p->main.stale, 1);
    EXPECT_FALSE(p->reserved.asic_boost);
    EXPECT_STREQ(p->reserved.diff, "1234567890123456789");
    EXPECT_EQ(p->reserved.status, POOL_STATE_UNKNOWN);
    EXPECT_NE(log.out.find("WARN: Unknown pool status: Rejecting\n"), std::string::npos);
    EXPECT_EQ(p->reserved2.accepted, 5000000000000LL) << "64-bit counters";
}

TEST(PoolsStats, BadElementsAndBadReplies) {
    Logged log;
    auto p = pools_from(
        pool("u1", "Alive", 0, ", \"Boost\": null") + ", 7, " + pool("u3", "Alive", 2), &log);
    ASSERT_TRUE(p);
    EXPECT_TRUE(is_zero(p->main));
    EXPECT_TRUE(is_zero(p->reserved));
    EXPECT_EQ(p->reserved2.status, POOL_STATE_ACTIVE) << "positions still count";
    EXPECT_NE(log.out.find("WARN: Failed to parse pool #0 stats: "), std::string::npos) << log.out;
    EXPECT_NE(log.out.find("WARN: Failed to parse pool #1 stats: "), std::string::npos);

    struct Case {
        const char *json;
        const char *line;
    };
    const Case cases[] = {
        {R"({"STATUS": []})", "ERROR: Failed to unpack POOLS from api response: "},
        {R"([])", "ERROR: Failed to unpack POOLS from api response: "},
        {R"({"POOLS": {}})", "ERROR: POOLS must be an array object\n"},
        {R"({"POOLS": null})", "ERROR: POOLS must be an array object\n"},
    };
    for (const auto &c : cases) {
        json_ptr reply = load(c.json);
        auto none = logged(&log, [&] { return pools_stats_from_reply(reply.get()); });
        EXPECT_FALSE(none) << c.json;
        EXPECT_NE(log.err.find(c.line), std::string::npos) << c.json << "\n" << log.err;
    }
    json_ptr empty = load(R"({"POOLS": []})");
    auto zero = logged(&log, [&] { return pools_stats_from_reply(empty.get()); });
    ASSERT_TRUE(zero);
    EXPECT_TRUE(is_zero(zero->main));
}

// ---- chips -------------------------------------------------------------------

TEST(ChipStats, StateFromHashRateAndFrequency) {
    struct Case {
        uint16_t hashrate, freq;
        enum chip_state expected;
    };
    const Case cases[] = {
        {74, 650, CHIP_STATE_FAST},      // ratio 0.9987
        {40, 650, CHIP_STATE_SLOW},      // 0.54
        {30, 650, CHIP_STATE_UNSTABLE},  // 0.40
        {0, 650, CHIP_STATE_UNKNOWN},
        {63, 650, CHIP_STATE_FAST},       // 0.850...
        {62, 650, CHIP_STATE_SLOW},       // 0.837
        {38, 650, CHIP_STATE_SLOW},       // 0.513
        {37, 650, CHIP_STATE_UNSTABLE},   // 0.499
        {185, 650, CHIP_STATE_FAST},      // 2.497
        {186, 650, CHIP_STATE_UNSTABLE},  // 2.51
        {5, 0, CHIP_STATE_UNSTABLE},      // no frequency: infinite ratio
        {0, 0, CHIP_STATE_UNKNOWN},
        {7471, 65535, CHIP_STATE_FAST},  // 1.0000 at the widest frequency
        {65535, 65535, CHIP_STATE_UNSTABLE},
    };
    for (const auto &c : cases)
        EXPECT_EQ(chip_state(c.hashrate, c.freq), c.expected) << c.hashrate << " @ " << c.freq;
}

TEST(ChipStats, HashRateLookups) {
    json_ptr dump = load(R"([
        {"Asic00": "71", "Asic62": "72", "Asic05": 75, "Asic06": "70000", "Asic07": "x"},
        "not an object",
        {"Asic00": "81"}])");
    struct Case {
        uint32_t chain, chip;
        uint16_t expected;
    };
    const Case cases[] = {
        {6, 1, 71},
        {6, 63, 72},
        {6, 2, 0},                             // chip 2 is Asic01: missing
        {6, 6, 0},                             // a number, not a string
        {6, 7, static_cast<uint16_t>(70000)},  // cut to 16 bits
        {6, 8, 0},
        {7, 1, 0},
        {8, 1, 81},
    };
    for (const auto &c : cases)
        EXPECT_EQ(chip_hashrate(c.chain, c.chip, dump.get()), c.expected)
            << c.chain << "/" << c.chip;

    json_ptr short_dump = load(R"([{"Asic00": "71"}])");
    EXPECT_EQ(chip_hashrate(8, 1, short_dump.get()), 0) << "no element for the chain";
    json_ptr object = load(R"({"Asic00": "71"})");
    EXPECT_EQ(chip_hashrate(6, 1, object.get()), 0) << "dump not an array";
    EXPECT_EQ(chip_hashrate(6, 1, nullptr), 0) << "no dump";
}

TEST(ChipStats, FrequencyInheritance) {
    miner_config cfg;
    memset(&cfg, 0, sizeof cfg);
    cfg.freq = 650;
    cfg.chain_freq[1] = 600;
    cfg.chip_freq[0][0] = 700;
    cfg.chip_freq[1][62] = 550;
    EXPECT_EQ(chip_freq(6, 1, &cfg), 700);
    EXPECT_TRUE(chip_custom_freq(6, 1, &cfg));
    EXPECT_EQ(chip_freq(6, 2, &cfg), 650);
    EXPECT_FALSE(chip_custom_freq(6, 2, &cfg));
    EXPECT_EQ(chip_freq(7, 1, &cfg), 600);
    EXPECT_EQ(chip_freq(7, 63, &cfg), 550);
    EXPECT_TRUE(chip_custom_freq(7, 63, &cfg));
    EXPECT_EQ(chip_freq(8, 63, &cfg), 650);
}

TEST(ChipStats, RecordFromSimulatedDump) {
    json_ptr file = load(slurp("chip_hr.json"));
    json_t *chiphr = json_object_get(file.get(), "chiphr");
    miner_config cfg;
    memset(&cfg, 0, sizeof cfg);
    cfg.freq = 650;
    cfg.chip_freq[2][10] = 325;  // chip 11 of chain 8 has its own frequency
    for (uint32_t chain = 6; chain <= 8; ++chain) {
        auto rec = chips_stats_from(chain, &cfg, chiphr);
        ASSERT_TRUE(rec);
        EXPECT_EQ(rec->chain, chain);
        for (uint32_t chip = 1; chip <= 63; ++chip) {
            const chip_stats &s = rec->chips[chip - 1];
            EXPECT_EQ(s.id, chip);
            EXPECT_EQ(s.hashrate, chip_hashrate(chain, chip, chiphr));
            EXPECT_GT(s.hashrate, 0);
            EXPECT_EQ(s.freq, chip_freq(chain, chip, &cfg));
            EXPECT_EQ(s.state, chip_state(s.hashrate, s.freq));
            EXPECT_EQ(s.custom_freq, chain == 8 && chip == 11);
        }
    }
    auto none = chips_stats_from(6, &cfg, nullptr);
    for (const auto &s : none->chips) {
        EXPECT_EQ(s.hashrate, 0);
        EXPECT_EQ(s.state, CHIP_STATE_UNKNOWN);
        EXPECT_EQ(s.freq, 650) << "frequencies come from the configuration alone";
    }
}

// Random damage to real replies: a record or none, never a crash or an overrun.
TEST(MinerStats, DamagedRepliesNeverCrash) {
    const std::string wires[] = {slurp("miner_stats_reply.txt"), slurp("miner_pools_reply.txt")};
    std::mt19937 rng(11);
    static const char *values[] = {"1",     "-1",      "2.5",  "null",       "[]",
                                   "{}",    "true",    "\"\"", "\"DevFee\"", "9223372036854775807",
                                   "1e308", "\"Dead\""};
    int records = 0;
    for (int round = 0; round < 2000; ++round) {
        c_str_ptr joined(util_str_replace(wires[round % 2].c_str(), "}{", "},{"));
        std::string text = joined.get();
        if (round % 4 == 3) {
            text.resize(std::uniform_int_distribution<size_t>(0, text.size())(rng));
        } else {
            for (int k = 0; k < 1 + round % 3; ++k) {
                size_t at = text.find(
                    "\":", std::uniform_int_distribution<size_t>(0, text.size() - 1)(rng));
                if (at == std::string::npos)
                    continue;
                size_t end = text.find_first_of(",}", at + 2);
                if (text[at + 2] == '"')
                    end = text.find('"', at + 3) + 1;
                if (end == std::string::npos || end > text.size())
                    continue;
                text.replace(at + 2, end - at - 2, values[rng() % std::size(values)]);
            }
        }
        json_ptr reply(json_loads(text.c_str(), 0, nullptr));
        if (!reply)
            continue;
        Logged log;
        if (round % 2 == 0) {
            auto s = logged(&log, [&] { return miner_stats_from_reply(reply.get()); });
            if (s) {
                ++records;
                ASSERT_LE(s->fan_count, kStatsMaxFans);
                ASSERT_GE(s->fan_count, 0);
                ASSERT_LE(s->chain_count, kStatsChainSlots);
                ASSERT_GE(s->chain_count, 0);
            }
        } else {
            auto p = logged(&log, [&] { return pools_stats_from_reply(reply.get()); });
            if (p) {
                ++records;
                ASSERT_LE(p->svc_fee_count, static_cast<uint32_t>(kStatsMaxSvcFeePools));
                ASSERT_LT(strlen(p->main.diff), sizeof p->main.diff);
            }
        }
    }
    EXPECT_GT(records, 100);
}

}  // namespace
