#include "norix/miner_support/stats.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "common/json_ptr.h"
#include "test_text.h"

namespace {

json_ptr load(const std::string &json) {
    json_ptr root(json_loads(json.c_str(), 0, nullptr));
    EXPECT_TRUE(root) << json;
    return root;
}

void set(json_t *obj, const std::string &key, json_t *value) {
    json_object_set_new(obj, key.c_str(), value);
}

// The statistics object of a machine with chains in slots 6..8 and fans in 3
// and 6; every other slot present but zero. Tests then change single keys.
json_ptr stats_object() {
    json_ptr s(json_pack("{sf,sf,sf,si,si,si}", "total_rate", 14000.5, "GHS av", 13500.25,
                         "total_freqavg", 650.0, "temp_max", 60, "miner_count", 3, "fan_num", 2));
    for (int n = 1; n <= 16; ++n) {
        const bool on = n >= 6 && n <= 8;
        const std::string i = std::to_string(n);
        set(s.get(), "chain_acn" + i, json_integer(on ? 63 : 0));
        set(s.get(), "chain_rate" + i, json_string(on ? "4666.67" : "0.00"));
        set(s.get(), "freq_avg" + i, json_real(on ? 650.0 : 0.0));
        set(s.get(), "chain_vol" + i, json_integer(on ? 890 : 0));
        set(s.get(), "temp" + i, json_integer(on ? 50 + n : 0));
        set(s.get(), "temp2_" + i, json_integer(on ? 60 + n : 0));
        set(s.get(), "chain_hw" + i, json_integer(on ? n : 0));
        set(s.get(), "chain_consumption" + i, json_real(on ? 400.0 + n : 0.0));
    }
    for (int n = 1; n <= 8; ++n)
        set(s.get(), "fan" + std::to_string(n), json_integer(n == 3 ? 3600 : n == 6 ? 4200 : 0));
    return s;
}

// The statistics object with patch applied: its members replace the object's,
// a null removes one.
json_ptr patched(const char *patch) {
    json_ptr s = stats_object();
    json_ptr p = load(patch);
    const char *key;
    json_t *value;
    json_object_foreach(p.get(), key, value) {
        if (json_is_null(value))
            json_object_del(s.get(), key);
        else
            json_object_set(s.get(), key, value);
    }
    return s;
}

json_ptr wrap_stats(json_t *stats) {
    return json_ptr(json_pack("{s[{ss}O]}", "STATS", "Type", "Antminer S9", stats));
}

std::unique_ptr<miner_stats> stats_from(json_t *stats, Logged *log) {
    json_ptr reply = wrap_stats(stats);
    std::unique_ptr<miner_stats> s;
    *log = log_of([&] { s = miner_stats_from_reply(reply.get()); });
    return s;
}

TEST(MinerStats, TheAverageHashRateIsUsedOnlyWhenTheTotalIsMoreThanTwiceIt) {
    const std::pair<const char *, double> cases[] = {
        {R"({"total_rate": 27000.0, "GHS av": 13500.0})", 27000},
        {R"({"total_rate": 27000.5, "GHS av": 13500.0})", 13500},
        {R"({"total_rate": 0.0, "GHS av": 0.0})", 0},
    };
    for (const auto &[patch, expected] : cases) {
        Logged log;
        auto s = stats_from(patched(patch).get(), &log);
        ASSERT_TRUE(s);
        EXPECT_DOUBLE_EQ(s->hash_rate, expected) << patch;
    }
}

// Neither record from a reply of the wrong shape: the reason is logged.
TEST(MinerStats, RepliesOfTheWrongShapeGiveNoRecord) {
    const std::pair<std::string, const char *> cases[] = {
        {R"({"STATS": [{}]})", "ERROR: Failed to unpack STATS from api response: "},
        // An integer where a real is due.
        {json_text(wrap_stats(patched(R"({"total_rate": 14000})").get()).get()),
         "ERROR: Failed to unpack global metrics\n"},
        {R"({"STATUS": []})", "ERROR: Failed to unpack POOLS from api response: "},
        {R"({"POOLS": null})", "ERROR: POOLS must be an array object\n"},
    };
    for (const auto &[json, line] : cases) {
        json_ptr reply = load(json);
        const std::string err = errors_of([&] {
            EXPECT_FALSE(has(json, "POOLS") || has(json, "STATUS")
                             ? pools_stats_from_reply(reply.get()) != nullptr
                             : miner_stats_from_reply(reply.get()) != nullptr);
        });
        EXPECT_TRUE(has(err, line)) << json << "\n" << err;
    }
}

// "chains=6,7,8 fans=3:60,6:70 ": the chain ids and the fan ids with their speeds.
std::string summary(const miner_stats &s) {
    std::string text = "chains=";
    for (int i = 0; i < s.chain_count; ++i)
        text += (i ? "," : "") + std::to_string(s.chains[i].id);
    text += " fans=";
    for (int i = 0; i < s.fan_count; ++i)
        text +=
            (i ? "," : "") + std::to_string(s.fans[i].id) + ":" + std::to_string(s.fans[i].speed);
    return text + " ";
}

TEST(MinerStats, ChainAndFanSelection) {
    const char *no_chains = "WARN: Unable to parse the number of chains\n";
    const char *no_fans = "WARN: Unable to parse the number of fans\n";
    const struct {
        const char *patch;  // over the machine with all fans idle
        const char *expected, *warning;
    } cases[] = {
        {R"({"miner_count": 2})", "chains=6,7 ", nullptr},
        {R"({"miner_count": -4})", "chains= ", nullptr},
        {R"({"miner_count": 40})", "chains=6,7,8 ", nullptr},
        {R"({"miner_count": null})", "chains=6,7,8 ", no_chains},
        {R"({"chain_acn2": 10})", "chains=2,6,7 ", nullptr},
        {R"({"miner_count": 4, "chain_hw12": 1})", "chains=6,7,8,12 ", nullptr},  // any figure
        {R"({"chain_acn7": 0})", "chains=6,7,8 ", nullptr},  // a board without chips, but warm
        {R"({"chain_acn7": 0, "chain_vol7": 0, "temp7": 0, "temp2_7": 0, "chain_hw7": 0,
             "chain_rate7": "0.00", "freq_avg7": 0.0, "chain_consumption7": 0.00001})",
         "chains=6,8 ", nullptr},
        {R"({"freq_avg7": 650})", "chains=6,8 ", "WARN: Couldn't parse data for chain 7\n"},
        {R"({"fan1": 6000, "fan2": 5999})", "fans=1:100,2:99 ", nullptr},
        {R"({"fan3": 3600, "fan6": 3600, "fan_num": 1})", "fans=3:60 ", nullptr},
        {R"({"fan3": -10})", "fans= ", nullptr},
        {R"({"fan3": 60, "fan6": 120, "fan_num": null})", "fans=3:1,6:2 ", no_fans},
        {R"({"fan5": 1000, "fan7": 2000, "fan8": 3000, "fan_num": 8})", "fans=5:16,7:33 ", nullptr},
        {R"({"fan3": "3600", "fan6": 3600})", "fans=6:60 ",
         "WARN: Failed to parse data for fan 3\n"},
        {R"({"fan3": 2000000000})", "fans=3:100 ", nullptr},
    };
    for (const auto &c : cases) {
        // Later members win: the patch overrides the idle fans.
        const std::string patch = std::string(R"({"fan3": 0, "fan6": 0, )") + (c.patch + 1);
        Logged log;
        auto s = stats_from(patched(patch.c_str()).get(), &log);
        ASSERT_TRUE(s) << c.patch;
        EXPECT_TRUE(has(summary(*s), c.expected)) << c.patch << "\n" << summary(*s);
        if (c.warning) {
            EXPECT_TRUE(has(log.out, c.warning)) << c.patch << "\n" << log.out;
        } else {
            EXPECT_EQ(log.out, "") << c.patch;
        }
    }
}

TEST(MinerStats, ChainFiguresAndSums) {
    // Slot 12 fails to parse: its temperature does not raise the maximum.
    json_ptr obj = patched(R"({"chain_vol6": null, "chain_consumption6": null,
        "chain_consumption7": 500, "chain_rate8": "4321.5 GH/s", "temp2_8": 91,
        "chain_hw8": 1000, "temp2_12": 120, "chain_hw12": "x"})");
    Logged log;
    auto s = stats_from(obj.get(), &log);
    ASSERT_TRUE(s);
    ASSERT_EQ(s->chain_count, 3);
    EXPECT_EQ(s->chains[0].voltage, 0.0);
    EXPECT_DOUBLE_EQ(s->chains[1].voltage, 8.9);
    EXPECT_DOUBLE_EQ(s->chains[1].consumption, 500.0);
    EXPECT_DOUBLE_EQ(s->chains[2].hash_rate, 4321.5);
    EXPECT_EQ(s->chains[2].pcb_temp, 58);
    EXPECT_EQ(s->temp_max, 91);
    EXPECT_DOUBLE_EQ(s->consumption, 500.0 + 408.0);
    EXPECT_EQ(s->hw_errors, 6 + 7 + 1000);

    for (const char *text : {"", "nan", "1e999"}) {
        set(obj.get(), "chain_rate6", json_string(text));
        s = stats_from(obj.get(), &log);
        EXPECT_EQ(s->chains[0].hash_rate, 0.0) << text;
        EXPECT_EQ(s->chains[0].id, 6u) << "the chain still has chips";
    }
}

std::string pool(const std::string &url, const std::string &status, int priority,
                 const std::string &extra = "") {
    return "{\"URL\": \"" + url + "\", \"Status\": \"" + status +
           "\", \"Priority\": " + std::to_string(priority) +
           ", \"Accepted\": 10, \"Rejected\": 2, \"Stale\": 1, \"Diff\": \"1.02K\", "
           "\"Stratum Active\": true, \"Boost\": \"Normal\"" +
           extra + "}";
}

std::unique_ptr<pools_stats> pools_from(const std::string &elements, Logged *log) {
    json_ptr reply = load("{\"STATUS\": [], \"POOLS\": [" + elements + "]}");
    std::unique_ptr<pools_stats> p;
    *log = log_of([&] { p = pools_stats_from_reply(reply.get()); });
    return p;
}

// "-" for an empty slot, else status/diff/accepted/rejected/stale and "+boost".
std::string slot(const pool_stats &p) {
    if (same(p, zeroed<pool_stats>()))
        return "-";
    return std::to_string(p.status) + "/" + p.diff + "/" + std::to_string(p.accepted) + "/" +
           std::to_string(p.rejected) + "/" + std::to_string(p.stale) +
           (p.asic_boost ? "+boost" : "");
}

// The first three pools fill main, reserved and reserved2 by position; a service
// fee pool needs both the "DevFee" prefix and priority 999 or more; an empty URL
// leaves its slot empty. 1 active, 2 alive, 3 dead, 0 unknown.
TEST(PoolsStats, SlotsFromThePoolsReply) {
    const std::string fee = pool("DevFee", "Alive", 900);
    const struct {
        std::string elements;
        const char *slots;  // main reserved reserved2 fees=N
        const char *warning;
    } cases[] = {
        {pool("DevFee x", "Alive", 899) + "," + pool("devfee y", "Alive", 999) + "," +
             pool("DevFe", "Dead", 999),
         "1/1.02K/10/2/1 1/1.02K/10/2/1 3/1.02K/10/2/1 fees=0", ""},
        // five fee pools: room for four
        {pool("ab", "Alive", 0) + "," + pool("", "Dead", 1) + "," + pool("abc", "Dead", 2) + "," +
             fee + "," + fee + "," + fee + "," + fee + "," + fee,
         "1/1.02K/10/2/1 - 3/1.02K/10/2/1 fees=4", ""},
        // alive without an active stratum; an empty difficulty; 64-bit counters
        {pool("u1", "Alive", 0,
              R"(, "Stratum Active": false, "Diff": "", "Boost": "AsicBoost", "Stale": 0)") +
             "," + pool("u2", "Rejecting", 1, R"(, "Diff": "12345678901234567890123")") + "," +
             pool("u3", "Alive", 2, ", \"Accepted\": 5000000000000"),
         "2/0/10/2/0+boost 0/1234567890123456789/10/2/1 1/1.02K/5000000000000/2/1 fees=0",
         "WARN: Unknown pool status: Rejecting\n"},
        // bad elements still take their position
        {pool("u1", "Alive", 0, ", \"Boost\": null") + ", 7, " + pool("u3", "Alive", 2),
         "- - 1/1.02K/10/2/1 fees=0", "WARN: Failed to parse pool #0 stats: "},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.elements);
        Logged log;
        auto p = pools_from(c.elements, &log);
        ASSERT_TRUE(p);
        EXPECT_EQ(slot(p->main) + " " + slot(p->reserved) + " " + slot(p->reserved2) +
                      " fees=" + std::to_string(p->svc_fee_count),
                  c.slots);
        EXPECT_TRUE(has(log.out, c.warning)) << log.out;
    }
}

// Next to test_chip_metrics_of_each_chain's states: the bounds and the extremes.
TEST(ChipStats, StateFromHashRateAndFrequency) {
    const struct {
        uint16_t hashrate, freq;
        enum chip_state expected;
    } cases[] = {
        {969, 10000, CHIP_STATE_FAST},  {38, 650, CHIP_STATE_SLOW},   // exactly 0.85, 0.513
        {185, 650, CHIP_STATE_FAST},    {5, 0, CHIP_STATE_UNSTABLE},  // 2.497, infinite
        {7471, 65535, CHIP_STATE_FAST}, {65535, 65535, CHIP_STATE_UNSTABLE},
    };
    for (const auto &c : cases)
        EXPECT_EQ(chip_state(c.hashrate, c.freq), c.expected) << c.hashrate << " @ " << c.freq;
}

// The frequencies are test_chip_metrics_of_each_chain's.
TEST(ChipStats, HashRates) {
    // Chip k is "Asic<k-1>"; numbers that are not strings count as missing.
    json_ptr dump = load(R"([
        {"Asic00": "71", "Asic62": "72", "Asic05": 75, "Asic06": "70000", "Asic07": "4294967297"},
        "not an object",
        {"Asic00": "81"}])");
    const uint32_t cases[][3] = {
        {6, 1, 71},     {6, 63, 72}, {6, 2, 0}, {6, 6, 0}, {6, 7, 70000 & 0xFFFF},
        {6, 8, 0xFFFF},  // beyond 32 bits: saturated, whatever the width of long
        {7, 1, 0},      {8, 1, 81}};
    for (const auto &[chain, chip, expected] : cases)
        EXPECT_EQ(chip_hashrate(chain, chip, dump.get()), expected) << chain << "/" << chip;
    json_ptr short_dump = load(R"([{"Asic00": "71"}])");
    EXPECT_EQ(chip_hashrate(8, 1, short_dump.get()), 0) << "no element for the chain";
    EXPECT_EQ(chip_hashrate(6, 1, nullptr), 0) << "no dump";
}

}  // namespace
