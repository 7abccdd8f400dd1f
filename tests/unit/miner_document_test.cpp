#include "norix/miner_support/document.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "common/json_ptr.h"

namespace {

// A record as the reader leaves it for a file that sets only a few keys.
miner_config typical() {
    miner_config cfg;
    memset(&cfg, 0, sizeof cfg);
    cfg.freq = 650;
    cfg.voltage = 890;
    cfg.autodownscale_prec = 75;
    cfg.autodownscale_min = 400;
    cfg.autodownscale_step = cfg.autodownscale_after = 2;
    return cfg;
}

std::string dump(json_t *j) {
    c_str_ptr text(json_dumps(j, JSON_COMPACT | JSON_ENCODE_ANY | JSON_PRESERVE_ORDER));
    return text ? text.get() : "<null>";
}

// Compares with the expected JSON text, member order included.
void expect_json(const json_ptr &got, const char *expected) {
    json_ptr want(json_loads(expected, JSON_DECODE_ANY, nullptr));
    ASSERT_TRUE(want) << expected;
    EXPECT_EQ(dump(got.get()), dump(want.get()));
}

TEST(ProfileTable, NamesMatchByPrefixAndRowZeroIsTheFallback) {
    EXPECT_STREQ(profile_id_to_profile(12), "profile_16_5");
    EXPECT_STREQ(profile_id_to_profile(16), "profile_user");
    const std::pair<const char *, uint8_t> cases[] = {
        {"profile_14_0", 6},        {"profile_14_0x", 6},
        {"profile_18_0_turbo", 15}, {"profile_1", 0},  // shorter than every row name
        {"PROFILE_14_0", 0},        {"", 0},
    };
    for (const auto &[name, id] : cases)
        EXPECT_EQ(profile_to_profile_id(name), id) << '"' << name << '"';
}

TEST(Document, FansAndPerfFollowTheRecord) {
    miner_config cfg = typical();
    cfg.fan_ctrl = true;
    cfg.fan_pwm = 70;
    cfg.asicboost = true;
    cfg.autodownscale_profile = 6;
    expect_json(compose_fans(&cfg), R"({"mode": "manual", "speed": 70})");
    // Volts are a real even when whole.
    expect_json(compose_perf(&cfg),
                R"({"asic_boost": true, "profile": "profile_14_0", "freq": 650, "volt": 8.9})");

    cfg.fan_ctrl = cfg.asicboost = false;
    cfg.autodownscale_profile = 16;
    cfg.voltage = 900;
    expect_json(compose_fans(&cfg), R"({"mode": "auto", "speed": 70})");
    expect_json(compose_perf(&cfg),
                R"({"asic_boost": false, "profile": "profile_user", "freq": 650, "volt": 9.0})");
}

TEST(Document, PoolsHoldOneMemberPerConfiguredPool) {
    miner_config cfg = typical();
    cfg.pools[0] = {"stratum+tcp://a:3333", "wa", "pa"};
    cfg.pools[1] = {"stratum+tcp://b:3333", "w\xC3", ""};  // cut inside a character
    cfg.pools[2] = {"stratum+tcp://c:3333", "wc", "pc"};
    cfg.pool_count = 1;
    expect_json(compose_pools(&cfg),
                R"({"main": {"stratum_url": "stratum+tcp://a:3333", "worker": "wa",
                             "password": "pa"}})");
    cfg.pool_count = 3;
    testing::internal::CaptureStderr();
    json_ptr pools = compose_pools(&cfg);
    const std::string err = testing::internal::GetCapturedStderr();
    EXPECT_NE(err.find("ERROR: Failed to compose pool #2\n"), std::string::npos) << err;
    expect_json(pools, R"({
        "main": {"stratum_url": "stratum+tcp://a:3333", "worker": "wa", "password": "pa"},
        "reserved2": {"stratum_url": "stratum+tcp://c:3333", "worker": "wc", "password": "pc"}
    })");
}

TEST(Document, ChainsReportEffectiveValuesAndOwnChipFrequencies) {
    miner_config cfg = typical();
    cfg.chain_freq[1] = 700;     // chain 7 has its own frequency
    cfg.chain_voltage[2] = 870;  // chain 8 its own voltage
    cfg.chip_freq[1][0] = 600;   // chain 7, chip 1
    cfg.chip_freq[1][62] = 625;  // chain 7, chip 63
    cfg.chip_freq[1][9] = 610;   // chain 7, chip 10
    expect_json(compose_chains(&cfg), R"([
        {"id": "6", "use_global_freq": true, "use_global_volt": true, "freq": 650, "volt": 8.9,
         "chips": []},
        {"id": "7", "use_global_freq": false, "use_global_volt": true, "freq": 700, "volt": 8.9,
         "chips": [{"id": "1", "freq": 600}, {"id": "10", "freq": 610}, {"id": "63", "freq": 625}]},
        {"id": "8", "use_global_freq": true, "use_global_volt": false, "freq": 650, "volt": 8.7,
         "chips": []}
    ])");

    for (int chain : {5, 9}) {
        testing::internal::CaptureStderr();
        EXPECT_FALSE(compose_chips(&cfg, chain)) << chain;
        const std::string err = testing::internal::GetCapturedStderr();
        EXPECT_NE(err.find("ERROR: Chain " + std::to_string(chain) +
                           " is out of range, it should be between [6, 8]\n"),
                  std::string::npos)
            << err;
    }
}

TEST(Document, AutotunerAndWatchdog) {
    miner_config cfg = typical();
    cfg.autodownscale = cfg.autodownscale_watchtimer = true;
    cfg.autodownscale_timer = 24;
    cfg.autodownscale_step = 5;
    cfg.autodownscale_min = 550;
    cfg.autodownscale_prec = 80;
    cfg.autodownscale_after = 7;
    cfg.autodownscale_hw = 123456;
    expect_json(compose_autotuner(&cfg), R"({"stage1": true, "stage2": false, "stage3": true,
        "stage3_interval": 24, "downclock_step": 5, "min_freq": 550, "hashrate_deviation": 80,
        "test_time": 7, "down_freq_hw": 123456})");

    // A limit of 0 is off; the others are read back as unsigned 32-bit values.
    expect_json(compose_watchdog(&cfg),
                R"({"min_hr": null, "max_xchips": null, "max_temp": null})");
    cfg.minhr = 12000;
    cfg.tempoff = -1;
    expect_json(compose_watchdog(&cfg),
                R"({"min_hr": 12000, "max_xchips": null, "max_temp": 4294967295})");
}

}  // namespace
