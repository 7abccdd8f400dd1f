#include "norix/miner_support/document.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "common/json_ptr.h"

namespace {

miner_config blank() {
    miner_config cfg;
    memset(&cfg, 0, sizeof cfg);
    return cfg;
}

// A record as the reader leaves it for a file that sets only a few keys.
miner_config typical() {
    miner_config cfg = blank();
    cfg.freq = 650;
    cfg.voltage = 890;
    cfg.autodownscale_prec = 75;
    cfg.autodownscale_min = 400;
    cfg.autodownscale_step = 2;
    cfg.autodownscale_after = 2;
    return cfg;
}

void set_pool(miner_config &cfg, int i, const char *url, const char *user, const char *pass) {
    strcpy(cfg.pools[i].url, url);
    strcpy(cfg.pools[i].user, user);
    strcpy(cfg.pools[i].pass, pass);
}

std::vector<std::string> keys_in_order(json_t *obj) {
    std::vector<std::string> keys;
    const char *key;
    json_t *value;
    json_object_foreach(obj, key, value) {
        keys.emplace_back(key);
    }
    return keys;
}

std::string dump(json_t *j) {
    c_str_ptr text(json_dumps(j, JSON_COMPACT | JSON_ENCODE_ANY));
    return text ? text.get() : "<null>";
}

TEST(ProfileTable, NamesAndIdsMapBothWaysWithRowZeroAsFallback) {
    for (const auto &row : perf_profiles) {
        EXPECT_STREQ(profile_id_to_profile(row.id), row.name);
        EXPECT_EQ(profile_to_profile_id(row.name), row.id) << row.name;
    }
    EXPECT_STREQ(profile_id_to_profile(16), "profile_user");
    EXPECT_STREQ(profile_id_to_profile(255), "profile_user");

    struct Case {
        const char *name;
        uint8_t id;
    };
    const Case cases[] = {
        {"profile_14_0x", 6},  // a row's full name followed by more still matches
        {"profile_18_0_turbo", 15}, {"profile_1", 0},  // shorter than every row name
        {"profile_19_0", 0},        {"PROFILE_14_0", 0}, {"", 0},
    };
    for (const auto &c : cases)
        EXPECT_EQ(profile_to_profile_id(c.name), c.id) << '"' << c.name << '"';
}

TEST(Document, MembersComeInOrderAndFollowTheRecord) {
    miner_config cfg = typical();
    cfg.pool_count = 1;
    set_pool(cfg, 0, "stratum+tcp://pool.example:3333", "worker.1", "x");
    cfg.fan_ctrl = true;
    cfg.fan_pwm = 70;
    cfg.asicboost = true;
    cfg.autodownscale_profile = 6;

    json_ptr doc = compose_document(&cfg);
    ASSERT_TRUE(doc);
    EXPECT_EQ(keys_in_order(doc.get()), (std::vector<std::string>{"pools", "fans", "perf", "chains",
                                                                  "autotuner", "watchdog"}));

    json_ptr expected_fans(json_loads(R"({"mode": "manual", "speed": 70})", 0, nullptr));
    EXPECT_TRUE(json_equal(json_object_get(doc.get(), "fans"), expected_fans.get()))
        << dump(json_object_get(doc.get(), "fans"));

    json_t *perf = json_object_get(doc.get(), "perf");
    EXPECT_EQ(keys_in_order(perf),
              (std::vector<std::string>{"asic_boost", "profile", "freq", "volt"}));
    EXPECT_TRUE(json_is_true(json_object_get(perf, "asic_boost")));
    EXPECT_STREQ(json_string_value(json_object_get(perf, "profile")), "profile_14_0");
    EXPECT_EQ(json_integer_value(json_object_get(perf, "freq")), 650);
    json_t *volt = json_object_get(perf, "volt");
    ASSERT_TRUE(json_is_real(volt)) << "volts are a real even when whole";
    EXPECT_DOUBLE_EQ(json_real_value(volt), 8.9);

    cfg.fan_ctrl = false;
    cfg.asicboost = false;
    cfg.autodownscale_profile = 16;
    cfg.voltage = 900;
    doc = compose_document(&cfg);
    EXPECT_STREQ(json_string_value(json_object_get(json_object_get(doc.get(), "fans"), "mode")),
                 "auto");
    perf = json_object_get(doc.get(), "perf");
    EXPECT_STREQ(json_string_value(json_object_get(perf, "profile")), "profile_user");
    EXPECT_TRUE(json_is_false(json_object_get(perf, "asic_boost")));
    ASSERT_TRUE(json_is_real(json_object_get(perf, "volt")));
    EXPECT_DOUBLE_EQ(json_real_value(json_object_get(perf, "volt")), 9.0);
}

TEST(Document, PoolsHoldOneMemberPerConfiguredPool) {
    miner_config cfg = typical();
    set_pool(cfg, 0, "stratum+tcp://a:3333", "wa", "pa");
    set_pool(cfg, 1, "stratum+tcp://b:3333", "wb", "");
    set_pool(cfg, 2, "stratum+tcp://c:3333", "wc", "pc");
    const std::vector<std::string> all = {"main", "reserved", "reserved2"};
    for (int count = 0; count <= 3; ++count) {
        cfg.pool_count = count;
        json_ptr pools = compose_pools(&cfg);
        ASSERT_TRUE(pools);
        EXPECT_EQ(keys_in_order(pools.get()),
                  std::vector<std::string>(all.begin(), all.begin() + count))
            << "pool_count " << count;
    }
    json_ptr pools = compose_pools(&cfg);
    json_ptr expected(json_loads(R"({
        "main": {"stratum_url": "stratum+tcp://a:3333", "worker": "wa", "password": "pa"},
        "reserved": {"stratum_url": "stratum+tcp://b:3333", "worker": "wb", "password": ""},
        "reserved2": {"stratum_url": "stratum+tcp://c:3333", "worker": "wc", "password": "pc"}
    })",
                                 0, nullptr));
    EXPECT_TRUE(json_equal(pools.get(), expected.get())) << dump(pools.get());
}

TEST(Document, PoolCutInsideACharacterIsLeftOutWithALogLine) {
    miner_config cfg = typical();
    cfg.pool_count = 2;
    set_pool(cfg, 0, "stratum+tcp://a:3333", "wa", "pa");
    // A two-byte character of which only the first byte survived the cut.
    set_pool(cfg, 1, "stratum+tcp://b:3333", "w\xC3", "");
    testing::internal::CaptureStderr();
    json_ptr pools = compose_pools(&cfg);
    std::string err = testing::internal::GetCapturedStderr();
    ASSERT_TRUE(pools);
    EXPECT_EQ(keys_in_order(pools.get()), std::vector<std::string>{"main"});
    EXPECT_NE(err.find("ERROR: Failed to compose pool #2\n"), std::string::npos) << err;
}

TEST(Document, ChainsReportEffectiveValuesAndOwnChipFrequencies) {
    miner_config cfg = typical();
    cfg.chain_freq[1] = 700;     // chain 7 has its own frequency
    cfg.chain_voltage[2] = 870;  // chain 8 its own voltage
    cfg.chip_freq[1][0] = 600;   // chain 7, chip 1
    cfg.chip_freq[1][62] = 625;  // chain 7, chip 63
    cfg.chip_freq[1][9] = 610;   // chain 7, chip 10

    json_ptr chains = compose_chains(&cfg);
    ASSERT_TRUE(json_is_array(chains.get()));
    ASSERT_EQ(json_array_size(chains.get()), 3u);

    json_ptr expected(json_loads(R"([
        {"id": "6", "use_global_freq": true, "use_global_volt": true, "freq": 650, "volt": 8.9,
         "chips": []},
        {"id": "7", "use_global_freq": false, "use_global_volt": true, "freq": 700, "volt": 8.9,
         "chips": [{"id": "1", "freq": 600}, {"id": "10", "freq": 610}, {"id": "63", "freq": 625}]},
        {"id": "8", "use_global_freq": true, "use_global_volt": false, "freq": 650, "volt": 8.7,
         "chips": []}
    ])",
                                 0, nullptr));
    ASSERT_TRUE(expected);
    EXPECT_TRUE(json_equal(chains.get(), expected.get())) << dump(chains.get());
    EXPECT_EQ(keys_in_order(json_array_get(chains.get(), 0)),
              (std::vector<std::string>{"id", "use_global_freq", "use_global_volt", "freq", "volt",
                                        "chips"}));
}

TEST(Document, ChipsOutsideChainsSixToEightAreRefused) {
    miner_config cfg = typical();
    for (int chain : {0, 5, 9, 255, -1}) {
        testing::internal::CaptureStderr();
        json_ptr chips = compose_chips(&cfg, chain);
        std::string err = testing::internal::GetCapturedStderr();
        EXPECT_FALSE(chips) << chain;
        EXPECT_NE(err.find("ERROR: Chain " + std::to_string(chain) +
                           " is out of range, it should be between [6, 8]\n"),
                  std::string::npos)
            << err;
    }
}

TEST(Document, AutotunerMembersMapTheTuningFields) {
    miner_config cfg = typical();
    cfg.autodownscale = true;
    cfg.autodownscale_watch = false;
    cfg.autodownscale_watchtimer = true;
    cfg.autodownscale_timer = 24;
    cfg.autodownscale_step = 5;
    cfg.autodownscale_min = 550;
    cfg.autodownscale_prec = 80;
    cfg.autodownscale_after = 7;
    cfg.autodownscale_hw = 123456;

    json_ptr tuner = compose_autotuner(&cfg);
    ASSERT_TRUE(tuner);
    EXPECT_EQ(
        keys_in_order(tuner.get()),
        (std::vector<std::string>{"stage1", "stage2", "stage3", "stage3_interval", "downclock_step",
                                  "min_freq", "hashrate_deviation", "test_time", "down_freq_hw"}));
    json_ptr expected(json_loads(R"({"stage1": true, "stage2": false, "stage3": true,
        "stage3_interval": 24, "downclock_step": 5, "min_freq": 550, "hashrate_deviation": 80,
        "test_time": 7, "down_freq_hw": 123456})",
                                 0, nullptr));
    EXPECT_TRUE(json_equal(tuner.get(), expected.get())) << dump(tuner.get());
}

TEST(Document, WatchdogLimitsAreNullWhenOffAndUnsignedOtherwise) {
    miner_config cfg = typical();
    json_ptr off = compose_watchdog(&cfg);
    json_ptr expected_off(
        json_loads(R"({"min_hr": null, "max_xchips": null, "max_temp": null})", 0, nullptr));
    EXPECT_TRUE(json_equal(off.get(), expected_off.get())) << dump(off.get());

    cfg.minhr = 12000;
    cfg.maxx = 3;
    cfg.tempoff = -1;  // read back as an unsigned 32-bit value
    json_ptr on = compose_watchdog(&cfg);
    EXPECT_EQ(json_integer_value(json_object_get(on.get(), "min_hr")), 12000);
    EXPECT_EQ(json_integer_value(json_object_get(on.get(), "max_xchips")), 3);
    EXPECT_EQ(json_integer_value(json_object_get(on.get(), "max_temp")), 4294967295LL);
}

TEST(Document, RecordFieldsOutsideTheDocumentDoNotChangeIt) {
    miner_config a = typical();
    miner_config b = a;
    b.api_listen = true;
    b.fan_rpm_off = true;
    b.silentstart = true;
    b.target_temp = 80;
    b.use_vil = true;
    b.altdfno = 3;
    b.multi_version = 4;
    b.autodownscale_reboot = true;
    b.trigger_reboot = 1;
    strcpy(b.api_allow, "W:127.0.0.1");
    json_ptr da = compose_document(&a);
    json_ptr db = compose_document(&b);
    EXPECT_TRUE(json_equal(da.get(), db.get())) << dump(da.get()) << "\n" << dump(db.get());
}

}  // namespace
