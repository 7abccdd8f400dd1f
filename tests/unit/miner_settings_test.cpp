// The miner file's record as the agent edits it and as it is shown to the service.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "common/json_ptr.h"
#include "norix/miner_support/document.h"
#include "norix/miner_support/settings.h"
#include "test_text.h"

namespace {

// A record as the reader leaves it for a file that sets only a few keys.
miner_config typical() {
    miner_config cfg = zeroed<miner_config>();
    cfg.freq = 650;
    cfg.voltage = 890;
    cfg.autodownscale_prec = 75;
    cfg.autodownscale_min = 400;
    cfg.autodownscale_step = cfg.autodownscale_after = 2;
    return cfg;
}

// Each test opens the edit on its own record; the edit is closed again without a
// write (asserting first that nothing is marked changed, so no test ever reaches
// the device file).
class SettingsEdit : public testing::Test {
  protected:
    void open(const miner_config &cfg) { cgminer_config_open(&cfg); }
    const miner_config &rec() { return *cgminer_config_get(); }
    void TearDown() override {
        if (cgminer_config_is_loaded())
            cgminer_config_open(&base_);  // reopened clean, so closing writes nothing
        ASSERT_FALSE(cgminer_config_is_changed());
        EXPECT_EQ(cgminer_config_save(), 0);
        EXPECT_FALSE(cgminer_config_is_loaded());
        EXPECT_TRUE(same(rec(), zeroed<miner_config>())) << "a closed edit is zero-filled";
    }
    miner_config base_ = typical();
};

// Every setter: refused while no edit is open; in an open edit a new value is
// stored and marks the edit (1, then 0 for the same value again), and a chain or
// chip out of range is refused with its line and stores nothing.
TEST_F(SettingsEdit, SettersStoreNewValuesOnceAndRefuseBadOnes) {
    using mutation = std::function<void(miner_config &)>;
    const struct {
        std::function<int()> set;
        mutation change;                // for a new value
        const char *refusal = nullptr;  // for a bad chain or chip
    } cases[] = {
        {[] { return cgminer_pool(0, "u", "w", "p"); },
         [](auto &c) { c.pool_count = 1, pool_cfg_fill(&c.pools[0], "u", "w", "p"); }},
        {[] { return cgminer_fans(1, 50); },
         [](auto &c) { c.fan_ctrl = true, c.fan_pwm = 50, c.fan_pwm_negative = false; }},
        {[] { return cgminer_profile("turbo"); }, [](auto &c) { c.autodownscale_profile = 0; }},
        {[] { return cgminer_chain_freq(8, 705); }, [](auto &c) { c.chain_freq[2] = 705; }},
        {[] { return cgminer_chain_volt(6, 8.75); }, [](auto &c) { c.chain_voltage[0] = 880; }},
        {[] { return cgminer_chip_freq(6, 1, 600); }, [](auto &c) { c.chip_freq[0][0] = 600; }},
        {[] { return cgminer_chip_freq(8, 63, 610); }, [](auto &c) { c.chip_freq[2][62] = 610; }},
        {[] { return cgminer_watchdog(0, 6, 90); }, [](auto &c) { c.maxx = 6, c.tempoff = 90; }},
        {[] { return cgminer_chain_freq(5, 700); }, nullptr,
         "Invalid chain 5, it should be between [6, 8]\n"},
        {[] { return cgminer_chain_freq(9, 700); }, nullptr,
         "Invalid chain 9, it should be between [6, 8]\n"},
        {[] { return cgminer_chain_volt(9, 8.5); }, nullptr,
         "Invalid chain 9, it should be between 6 and 8\n"},
        {[] { return cgminer_chip_freq(5, 1, 700); }, nullptr,
         "Invalid chain 5, it should be between 6 and 8\n"},
        {[] { return cgminer_chip_freq(7, 0, 700); }, nullptr,
         "Invalid chip 0, it should be between 1 and 63\n"},
        {[] { return cgminer_chip_freq(7, 64, 700); }, nullptr,
         "Invalid chip 64, it should be between 1 and 63\n"},
    };
    miner_config start = typical();
    start.autodownscale_profile = 3;  // so that an unknown name is a change
    // Negative numbers in the file: only a setter that stores the field clears its mark.
    start.fan_pwm_negative = start.multi_version_negative = start.autodownscale_prec_negative =
        true;
    for (size_t i = 0; i < std::size(cases); ++i) {
        SCOPED_TRACE(testing::Message() << "case " << i);
        ASSERT_FALSE(cgminer_config_is_loaded());
        const std::string closed = errors_of([&] { EXPECT_EQ(cases[i].set(), -1); });
        EXPECT_TRUE(has(closed, "ERROR: Miner config is not loaded!\n")) << closed;

        open(start);
        miner_config expected = start;
        if (cases[i].change) {
            EXPECT_EQ(cases[i].set(), 1);
            cases[i].change(expected);
            EXPECT_TRUE(cgminer_config_is_changed());
            EXPECT_EQ(cases[i].set(), 0) << "again";
        } else {
            const std::string err = errors_of([&] { EXPECT_EQ(cases[i].set(), -1); });
            EXPECT_TRUE(has(err, std::string("ERROR: ") + cases[i].refusal)) << err;
            EXPECT_FALSE(cgminer_config_is_changed());
        }
        EXPECT_TRUE(same(rec(), expected));
        cgminer_config_open(&base_);  // reopened clean: the close below writes nothing
        ASSERT_FALSE(cgminer_config_is_changed());
        ASSERT_EQ(cgminer_config_save(), 0);
    }
}

TEST_F(SettingsEdit, VoltagesRoundUpToTheNextTenth) {
    const std::pair<double, uint16_t> cases[] = {{8.8, 880},        {8.801, 890},  {8.7999, 880},
                                                 {9.0, 900},        {0.0, 0},      {0.01, 10},
                                                 {std::nan(""), 0}, {HUGE_VAL, 0}, {-HUGE_VAL, 0}};
    for (const auto &[volts, stored] : cases) {
        EXPECT_EQ(volts_to_record(volts), stored) << volts;
        open(typical());
        EXPECT_EQ(cgminer_volt(volts), stored != 890 ? 1 : 0) << volts;
        EXPECT_EQ(rec().voltage, stored) << volts;
        EXPECT_EQ(cgminer_chain_volt(8, volts), stored != 0 ? 1 : 0) << volts;
        EXPECT_EQ(rec().chain_voltage[2], stored) << volts;
    }
}

TEST_F(SettingsEdit, ManualFanSpeedIsNeverBelowTwentyPercent) {
    // fan_ctrl, fan_pwm before; mode, speed of the call; result; fan_ctrl, fan_pwm after.
    const int cases[][7] = {
        {0, 40, 0, 90, 0, 0, 40},    // auto stays auto
        {1, 55, 0, 0, 1, 0, 55},     // back to auto, the manual speed kept
        {0, 0, 1, 10, 1, 1, 20},     // raised to the minimum
        {1, 20, 1, 10, 1, 1, 20},    // compared as sent: stored again
        {1, 20, 1, 20, 0, 1, 20},    // unchanged
        {0, 60, 1, 60, 1, 1, 60},    // to manual at the stored speed
        {1, 60, 1, 100, 1, 1, 100},  // a new speed
        {1, 60, 2, 30, 0, 1, 60},    // unknown mode
    };
    for (const auto &[ctrl, pwm, mode, speed, rc, ctrl_after, pwm_after] : cases) {
        SCOPED_TRACE(testing::Message() << ctrl << "/" << pwm << " " << mode << "/" << speed);
        miner_config cfg = typical();
        cfg.fan_ctrl = ctrl;
        cfg.fan_pwm = static_cast<uint8_t>(pwm);
        open(cfg);
        EXPECT_EQ(cgminer_fans(mode, static_cast<uint8_t>(speed)), rc);
        EXPECT_EQ(cgminer_config_is_changed(), rc == 1);
        EXPECT_EQ(rec().fan_ctrl, ctrl_after != 0);
        EXPECT_EQ(rec().fan_pwm, pwm_after);
    }
}

// One edit, step by step: a slot is replaced or the next one appended, any other
// id refused with its line; texts are kept and compared whole.
TEST_F(SettingsEdit, PoolsAreReplacedOrAppendedOneSlotAtATime) {
    const std::string long_url(600, 'u');
    const struct {
        int id;
        std::string url;
        const char *pass;
        int rc, count;
        bool changed;
        const char *refusal = nullptr;
    } steps[] = {
        {1, "u", "p", -1, 0, false, "Invalid poolid - 1, it should be less or equeal to 0\n"},
        // An append whose slot already holds the same (empty) text: the count grows
        // and the edit is marked, but the slot itself did not change.
        {0, "", nullptr, 0, 1, true},
        {1, "stratum+tcp://b:3333", nullptr, 1, 2, true},
        {1, "stratum+tcp://b:3333", "", 0, 2, true},  // an absent password is empty
        {0, "stratum+tcp://a:3333", "pa", 1, 2, true},
        {2, long_url, "pc", 1, 3, true},
        {2, long_url + "tail", "pc", 1, 3, true},
        {2, "short", "pc", 1, 3, true},
        {2, "short", "pc", 0, 3, true},  // no leftovers of the longer text
        {3, "u", "p", -1, 3, true, "Invalid poolid - 3, it should be less than 3\n"},
        {-1, "u", "p", -1, 3, true, "Invalid poolid - -1, it should be less or equeal to 3\n"},
    };
    open(typical());  // no pools
    for (const auto &step : steps) {
        SCOPED_TRACE(testing::Message() << step.id << " " << step.url.substr(0, 20));
        const char *worker = step.url.empty() ? "" : "w";
        const std::string err = errors_of([&] {
            EXPECT_EQ(cgminer_pool(step.id, step.url.c_str(), worker, step.pass), step.rc);
        });
        EXPECT_EQ(rec().pool_count, step.count);
        EXPECT_EQ(cgminer_config_is_changed(), step.changed);
        EXPECT_TRUE(!step.refusal || has(err, std::string("ERROR: ") + step.refusal)) << err;
    }
    EXPECT_STREQ(rec().pools[0].pass, "pa");

    miner_pool slot;
    memset(&slot, 0x5A, sizeof slot);
    pool_cfg_fill(&slot, long_url.c_str(), "w", "pass");
    EXPECT_EQ(std::string(slot.url), long_url);
    EXPECT_EQ(slot.pass[kMinerPoolTextMax], '\0') << "bytes after the text are zero too";
}

// Compares with the expected JSON text, member order included.
void expect_json(const json_ptr &got, const char *expected) {
    json_ptr want(json_loads(expected, JSON_DECODE_ANY, nullptr));
    ASSERT_TRUE(want) << expected;
    EXPECT_EQ(json_text(got.get()), json_text(want.get()));
}

// Which field each argument sets is test_config_exchange.py's; here the rules.
TEST_F(SettingsEdit, AutotunerStoresEachFieldAndResetsChips) {
    // typical()'s values, but for the third stage, its interval and the deviation.
    auto tune = [](bool stage3, int32_t interval, int32_t deviation, bool reset_chips = false) {
        return cgminer_autotuner(false, false, stage3, interval, 2, 400, deviation, 2, 0,
                                 reset_chips);
    };
    miner_config marked = typical();
    marked.autodownscale_prec_negative = true;  // the file held a negative number
    marked.autodownscale_timer = 12;
    open(marked);
    EXPECT_EQ(tune(false, 5, 75), 1) << "without the third stage its interval is stored as 0";
    EXPECT_EQ(rec().autodownscale_timer, 0);
    EXPECT_TRUE(rec().autodownscale_prec_negative) << "the deviation was not stored";
    EXPECT_EQ(tune(true, 5, 75), 1);
    EXPECT_EQ(tune(true, 5, 75), 0);
    // The deviation is compared in full with the 8-bit field: 300 is stored as 44
    // and differs from it again the next time.
    EXPECT_EQ(tune(true, 5, 300), 1);
    EXPECT_EQ(rec().autodownscale_prec, 44);
    EXPECT_FALSE(rec().autodownscale_prec_negative);
    EXPECT_EQ(tune(true, 5, 300), 1);

    // Resetting the chips always counts as a change, and clears nothing else.
    miner_config chips = typical();
    chips.chip_freq[0][3] = 600;
    chips.chip_freq[2][62] = 625;
    chips.chain_freq[1] = 700;
    open(chips);
    EXPECT_EQ(tune(false, 0, 75, true), 1);
    miner_config expected = chips;
    memset(expected.chip_freq, 0, sizeof expected.chip_freq);
    EXPECT_TRUE(same(rec(), expected));
    EXPECT_EQ(tune(false, 0, 75, true), 1);
}

TEST(ProfileTable, NamesMatchByPrefixAndRowZeroIsTheFallback) {
    const std::pair<const char *, uint8_t> cases[] = {
        {"profile_14_0", 6},        {"profile_14_0x", 6},
        {"profile_18_0_turbo", 15}, {"profile_1", 0},  // shorter than every row name
        {"PROFILE_14_0", 0},        {"", 0},
    };
    for (const auto &[name, id] : cases)
        EXPECT_EQ(profile_to_profile_id(name), id) << '"' << name << '"';
}

// Each part of the document: {change to the typical record, part, expected JSON}.
TEST(Document, PartsFollowTheRecord) {
    using change = std::function<void(miner_config &)>;
    const struct {
        change set;
        json_ptr (*part)(const miner_config *);
        const char *expected;
    } cases[] = {
        {[](auto &c) { c.fan_ctrl = true, c.fan_pwm = 70; }, compose_fans,
         R"({"mode": "manual", "speed": 70})"},
        {[](auto &c) { c.fan_pwm = 70; }, compose_fans, R"({"mode": "auto", "speed": 70})"},
        // Volts are a real even when whole.
        {[](auto &c) { c.asicboost = true, c.autodownscale_profile = 6; }, compose_perf,
         R"({"asic_boost": true, "profile": "profile_14_0", "freq": 650, "volt": 8.9})"},
        {[](auto &c) { c.autodownscale_profile = 16, c.voltage = 900; }, compose_perf,
         R"({"asic_boost": false, "profile": "profile_user", "freq": 650, "volt": 9.0})"},
        {[](auto &c) {
             c.autodownscale = c.autodownscale_watchtimer = true;
             c.autodownscale_timer = 24, c.autodownscale_step = 5, c.autodownscale_min = 550;
             c.autodownscale_prec = 80, c.autodownscale_after = 7, c.autodownscale_hw = 123456;
         },
         compose_autotuner, R"({"stage1": true, "stage2": false, "stage3": true,
            "stage3_interval": 24, "downclock_step": 5, "min_freq": 550,
            "hashrate_deviation": 80, "test_time": 7, "down_freq_hw": 123456})"},
        // A limit of 0 is off; the others are read back as unsigned 32-bit values.
        {[](auto &) {}, compose_watchdog,
         R"({"min_hr": null, "max_xchips": null, "max_temp": null})"},
        {[](auto &c) { c.minhr = 12000, c.tempoff = -1; }, compose_watchdog,
         R"({"min_hr": 12000, "max_xchips": null, "max_temp": 4294967295})"},
        // Only configured pools are members.
        {[](auto &c) {
             c.pool_count = 1;
             c.pools[0] = {"stratum+tcp://a:3333", "wa", "pa", false};
             c.pools[1] = {"stratum+tcp://b:3333", "wb", "", false};
         },
         compose_pools,
         R"({"main": {"stratum_url": "stratum+tcp://a:3333", "worker": "wa", "password": "pa"}})"},
        // Own chain values, and the chips that have their own frequency.
        {[](auto &c) {
             c.chain_freq[1] = 700, c.chain_voltage[2] = 870;
             c.chip_freq[1][0] = 600, c.chip_freq[1][62] = 625, c.chip_freq[1][9] = 610;
         },
         compose_chains, R"([
            {"id": "6", "use_global_freq": true, "use_global_volt": true, "freq": 650,
             "volt": 8.9, "chips": []},
            {"id": "7", "use_global_freq": false, "use_global_volt": true, "freq": 700,
             "volt": 8.9, "chips": [{"id": "1", "freq": 600}, {"id": "10", "freq": 610},
                                    {"id": "63", "freq": 625}]},
            {"id": "8", "use_global_freq": true, "use_global_volt": false, "freq": 650,
             "volt": 8.7, "chips": []}])"},
    };
    for (const auto &c : cases) {
        miner_config cfg = typical();
        c.set(cfg);
        SCOPED_TRACE(c.expected);
        expect_json(c.part(&cfg), c.expected);
    }
}

// A pool that cannot be composed, or whose texts the reader had to cut, is logged
// and skipped; its name is not reused. The others are shown whole: a long URL, a
// payout address as the worker name.
TEST(Document, BadPoolsAreLoggedAndTheOthersShownWhole) {
    const std::string url = "stratum+tcp://" + std::string(586, 'h'), user(67, 'W');
    miner_config cfg = typical();
    cfg.pools[0] = {"stratum+tcp://a:3333", "wa", "pa", true};
    cfg.pools[1] = {"stratum+tcp://b:3333", "w\xC3", "", false};  // cut inside a character
    pool_cfg_fill(&cfg.pools[2], url.c_str(), user.c_str(), "pc");
    cfg.pool_count = 3;
    json_ptr pools;
    const std::string err = errors_of([&] { pools = compose_pools(&cfg); });
    EXPECT_TRUE(has(err, "ERROR: Failed to compose pool #1\n")) << err;
    EXPECT_TRUE(has(err, "ERROR: Failed to compose pool #2\n")) << err;
    expect_json(pools, (R"({"reserved2": {"stratum_url": ")" + url + R"(", "worker": ")" + user +
                        R"(", "password": "pc"}})")
                           .c_str());
}

}  // namespace
