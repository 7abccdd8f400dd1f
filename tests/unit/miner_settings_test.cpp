#include "norix/miner_support/settings.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cmath>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

namespace {

struct Call {
    int rc;
    std::string err;
};

Call capture(const std::function<int()> &fn) {
    testing::internal::CaptureStderr();
    int rc = fn();
    return {rc, testing::internal::GetCapturedStderr()};
}

bool has(const std::string &text, const std::string &line) {
    return text.find(line) != std::string::npos;
}

miner_config typical() {
    miner_config cfg;
    memset(&cfg, 0, sizeof cfg);
    cfg.freq = 650;
    cfg.voltage = 890;
    cfg.autodownscale_prec = 75;
    cfg.autodownscale_min = 400;
    cfg.autodownscale_step = 2;
    cfg.autodownscale_after = 2;
    cfg.use_vil = true;
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
    }
    miner_config base_ = typical();
};

TEST_F(SettingsEdit, EverySetterRefusesWithoutAnOpenEdit) {
    ASSERT_FALSE(cgminer_config_is_loaded());
    const std::vector<std::pair<const char *, std::function<int()>>> setters = {
        {"pool", [] { return cgminer_pool(0, "u", "w", "p"); }},
        {"fans", [] { return cgminer_fans(1, 50); }},
        {"asic_boost", [] { return cgminer_asic_boost(true); }},
        {"profile", [] { return cgminer_profile("profile_14_0"); }},
        {"freq", [] { return cgminer_freq(700); }},
        {"volt", [] { return cgminer_volt(8.5); }},
        {"chain_freq", [] { return cgminer_chain_freq(6, 700); }},
        {"chain_volt", [] { return cgminer_chain_volt(6, 8.5); }},
        {"chip_freq", [] { return cgminer_chip_freq(6, 1, 700); }},
        {"autotuner",
         [] { return cgminer_autotuner(true, true, true, 5, 1, 500, 80, 3, 4, true); }},
        {"watchdog", [] { return cgminer_watchdog(1, 2, 3); }},
    };
    for (const auto &[name, setter] : setters) {
        Call c = capture(setter);
        EXPECT_EQ(c.rc, -1) << name;
        EXPECT_TRUE(has(c.err, "ERROR: Miner config is not loaded!\n")) << name << ": " << c.err;
    }
    miner_config zero;
    memset(&zero, 0, sizeof zero);
    EXPECT_EQ(memcmp(cgminer_config_get(), &zero, sizeof zero), 0) << "nothing stored";
    EXPECT_FALSE(cgminer_config_is_changed());
}

TEST_F(SettingsEdit, RepeatedValuesLeaveTheEditUnchangedAndCommitWithoutAWrite) {
    miner_config cfg = typical();
    cfg.pool_count = 1;
    pool_cfg_fill(&cfg.pools[0], "stratum+tcp://a:3333", "w", nullptr);
    cfg.fan_ctrl = true;
    cfg.fan_pwm = 60;
    cfg.chain_freq[0] = 700;
    cfg.chain_voltage[1] = 880;
    cfg.chip_freq[2][5] = 600;
    cfg.autodownscale_profile = 6;
    cfg.minhr = 10;
    open(cfg);

    EXPECT_EQ(cgminer_pool(0, "stratum+tcp://a:3333", "w", ""), 0);
    EXPECT_EQ(cgminer_fans(1, 60), 0);
    EXPECT_EQ(cgminer_fans(2, 30), 0) << "unknown mode";
    EXPECT_EQ(cgminer_asic_boost(false), 0);
    EXPECT_EQ(cgminer_profile("profile_14_0"), 0);
    EXPECT_EQ(cgminer_freq(650), 0);
    EXPECT_EQ(cgminer_volt(8.85), 0) << "rounds up to the stored 890";
    EXPECT_EQ(cgminer_chain_freq(6, 700), 0);
    EXPECT_EQ(cgminer_chain_volt(7, 8.8), 0);
    EXPECT_EQ(cgminer_chip_freq(8, 6, 600), 0);
    EXPECT_EQ(cgminer_autotuner(false, false, false, 9, 2, 400, 75, 2, 0, false), 0);
    EXPECT_EQ(cgminer_watchdog(10, 0, 0), 0);
    ASSERT_FALSE(cgminer_config_is_changed());
    EXPECT_EQ(memcmp(cgminer_config_get(), &cfg, sizeof cfg), 0);

    miner_config_saving = false;
    auto begin = std::chrono::steady_clock::now();
    EXPECT_EQ(cgminer_config_save(), 0);
    EXPECT_LT(std::chrono::steady_clock::now() - begin, std::chrono::milliseconds(500))
        << "no saving window without a write";
    EXPECT_FALSE(miner_config_saving);
    EXPECT_FALSE(cgminer_config_is_loaded());
    miner_config zero;
    memset(&zero, 0, sizeof zero);
    EXPECT_EQ(memcmp(cgminer_config_get(), &zero, sizeof zero), 0) << "closed edit is zero-filled";
}

int g_written_calls = 0;

TEST_F(SettingsEdit, BracketWithoutChangesSkipsTheWrittenHook) {
    miner_settings_set_written_hook([] { ++g_written_calls; });
    open(typical());
    EXPECT_EQ(cgminer_freq(650), 0);
    ASSERT_FALSE(cgminer_config_is_changed());
    EXPECT_EQ(miner_settings_commit(), 0);
    EXPECT_EQ(g_written_calls, 0);
    EXPECT_FALSE(cgminer_config_is_loaded());
    miner_settings_set_written_hook(nullptr);
}

TEST_F(SettingsEdit, ChangedValuesAreStoredAndMarkTheEdit) {
    struct Case {
        const char *name;
        std::function<int()> set;
        std::function<bool(const miner_config &)> stored;
    };
    const std::vector<Case> cases = {
        {"asic_boost", [] { return cgminer_asic_boost(true); },
         [](const miner_config &c) { return c.asicboost; }},
        {"profile", [] { return cgminer_profile("profile_16_5"); },
         [](const miner_config &c) { return c.autodownscale_profile == 12; }},
        {"unknown profile", [] { return cgminer_profile("turbo"); },
         [](const miner_config &c) { return c.autodownscale_profile == 0; }},
        {"freq", [] { return cgminer_freq(725); },
         [](const miner_config &c) { return c.freq == 725; }},
        {"volt", [] { return cgminer_volt(8.81); },
         [](const miner_config &c) { return c.voltage == 890; }},
        {"chain 6 freq", [] { return cgminer_chain_freq(6, 700); },
         [](const miner_config &c) { return c.chain_freq[0] == 700; }},
        {"chain 8 freq", [] { return cgminer_chain_freq(8, 705); },
         [](const miner_config &c) { return c.chain_freq[2] == 705; }},
        {"chain 7 volt", [] { return cgminer_chain_volt(7, 8.75); },
         [](const miner_config &c) { return c.chain_voltage[1] == 880; }},
        {"chain 6 chip 1", [] { return cgminer_chip_freq(6, 1, 600); },
         [](const miner_config &c) { return c.chip_freq[0][0] == 600; }},
        {"chain 8 chip 63", [] { return cgminer_chip_freq(8, 63, 610); },
         [](const miner_config &c) { return c.chip_freq[2][62] == 610; }},
        {"watchdog min_hr", [] { return cgminer_watchdog(5, 0, 0); },
         [](const miner_config &c) { return c.minhr == 5 && c.maxx == 0 && c.tempoff == 0; }},
        {"watchdog max_xchips", [] { return cgminer_watchdog(0, 6, 0); },
         [](const miner_config &c) { return c.minhr == 0 && c.maxx == 6; }},
        {"watchdog max_temp", [] { return cgminer_watchdog(0, 0, 90); },
         [](const miner_config &c) { return c.tempoff == 90; }},
    };
    for (const auto &c : cases) {
        miner_config start = typical();
        start.voltage = 880;              // so that 8.81 V is a change
        start.autodownscale_profile = 3;  // and an unknown name (row 0) too
        open(start);
        EXPECT_EQ(c.set(), 1) << c.name;
        EXPECT_TRUE(c.stored(rec())) << c.name;
        EXPECT_TRUE(cgminer_config_is_changed()) << c.name;
        EXPECT_EQ(c.set(), 0) << c.name << " again";
        cgminer_config_open(&base_);
    }
}

TEST_F(SettingsEdit, VoltagesRoundUpToTheNextTenth) {
    struct Case {
        double volts;
        uint16_t stored;
    };
    const Case cases[] = {{8.75, 880},   {8.8, 880}, {8.81, 890}, {8.801, 890}, {9.0, 900},
                          {8.7999, 880}, {0.0, 0},   {0.01, 10},  {10.0, 1000}};
    for (const auto &c : cases) {
        EXPECT_EQ(volts_to_record(c.volts), c.stored) << c.volts;
        open(typical());
        cgminer_volt(c.volts);
        EXPECT_EQ(rec().voltage, c.stored) << c.volts;
        cgminer_chain_volt(8, c.volts);
        EXPECT_EQ(rec().chain_voltage[2], c.stored) << c.volts;
        cgminer_config_open(&base_);
    }
    // Values no field can hold never crash the conversion.
    for (double wild : {-1.0, 1e300, -1e300, std::nan(""), HUGE_VAL})
        (void)volts_to_record(wild);
    EXPECT_EQ(volts_to_record(std::nan("")), 0);
}

TEST_F(SettingsEdit, ChainAndChipNumbersAreChecked) {
    struct Case {
        const char *name;
        std::function<int()> set;
        const char *message;
    };
    const std::vector<Case> cases = {
        {"chain freq 5", [] { return cgminer_chain_freq(5, 700); },
         "Invalid chain 5, it should be between [6, 8]\n"},
        {"chain freq 9", [] { return cgminer_chain_freq(9, 700); },
         "Invalid chain 9, it should be between [6, 8]\n"},
        {"chain volt 0", [] { return cgminer_chain_volt(0, 8.5); },
         "Invalid chain 0, it should be between 6 and 8\n"},
        {"chain volt 9", [] { return cgminer_chain_volt(9, 8.5); },
         "Invalid chain 9, it should be between 6 and 8\n"},
        {"chip chain 9", [] { return cgminer_chip_freq(9, 1, 700); },
         "Invalid chain 9, it should be between 6 and 8\n"},
        {"chip 64", [] { return cgminer_chip_freq(7, 64, 700); },
         "Invalid chip 64, it should be between 1 and 63\n"},
        {"chip 0", [] { return cgminer_chip_freq(7, 0, 700); },
         "Invalid chip 0, it should be between 1 and 63\n"},
        {"chip 255", [] { return cgminer_chip_freq(6, 255, 700); },
         "Invalid chip 255, it should be between 1 and 63\n"},
    };
    for (const auto &c : cases) {
        open(typical());
        Call call = capture(c.set);
        EXPECT_EQ(call.rc, -1) << c.name;
        EXPECT_TRUE(has(call.err, std::string("ERROR: ") + c.message))
            << c.name << ": " << call.err;
        EXPECT_FALSE(cgminer_config_is_changed()) << c.name;
        miner_config expected = typical();
        EXPECT_EQ(memcmp(&rec(), &expected, sizeof expected), 0) << c.name << ": nothing stored";
    }
}

TEST_F(SettingsEdit, FailedSetterKeepsWhatEarlierSettersStored) {
    open(typical());
    EXPECT_EQ(cgminer_freq(700), 1);
    Call c = capture([] { return cgminer_chip_freq(6, 70, 600); });
    EXPECT_EQ(c.rc, -1);
    EXPECT_EQ(rec().freq, 700);
    EXPECT_TRUE(cgminer_config_is_changed());
    cgminer_config_open(&base_);
}

TEST_F(SettingsEdit, ManualFanSpeedIsNeverBelowTwentyPercent) {
    struct Step {
        int mode;
        uint8_t speed;
        int rc;
        bool fan_ctrl;
        uint8_t fan_pwm;
    };
    struct Case {
        const char *name;
        bool fan_ctrl;
        uint8_t fan_pwm;
        std::vector<Step> steps;
    };
    const std::vector<Case> cases = {
        {"auto stays auto", false, 40, {{0, 90, 0, false, 40}}},
        {"manual to auto keeps the speed", true, 55, {{0, 0, 1, false, 55}, {0, 0, 0, false, 55}}},
        {"low speed raised",
         false,
         0,
         {{1, 10, 1, true, 20}, {1, 10, 1, true, 20}, {1, 20, 0, true, 20}}},
        {"auto to manual at the stored speed",
         false,
         60,
         {{1, 60, 1, true, 60}, {1, 60, 0, true, 60}}},
        {"manual speed change", true, 60, {{1, 100, 1, true, 100}}},
        {"unknown mode ignored", true, 60, {{2, 30, 0, true, 60}, {255, 30, 0, true, 60}}},
    };
    for (const auto &c : cases) {
        miner_config cfg = typical();
        cfg.fan_ctrl = c.fan_ctrl;
        cfg.fan_pwm = c.fan_pwm;
        open(cfg);
        for (size_t i = 0; i < c.steps.size(); ++i) {
            const Step &s = c.steps[i];
            EXPECT_EQ(cgminer_fans(s.mode, s.speed), s.rc) << c.name << " step " << i;
            EXPECT_EQ(rec().fan_ctrl, s.fan_ctrl) << c.name << " step " << i;
            EXPECT_EQ(rec().fan_pwm, s.fan_pwm) << c.name << " step " << i;
        }
        cgminer_config_open(&base_);
    }
}

TEST_F(SettingsEdit, PoolsAreReplacedOrAppendedOneSlotAtATime) {
    miner_config cfg = typical();
    cfg.pool_count = 1;
    pool_cfg_fill(&cfg.pools[0], "stratum+tcp://a:3333", "wa", "pa");
    open(cfg);

    EXPECT_EQ(cgminer_pool(1, "stratum+tcp://b:3333", "wb", nullptr), 1);
    EXPECT_EQ(rec().pool_count, 2);
    EXPECT_STREQ(rec().pools[1].url, "stratum+tcp://b:3333");
    EXPECT_STREQ(rec().pools[1].pass, "");
    EXPECT_EQ(cgminer_pool(1, "stratum+tcp://b:3333", "wb", ""), 0) << "absent password is empty";
    EXPECT_EQ(cgminer_pool(0, "stratum+tcp://a:3333", "wa2", "pa"), 1);
    EXPECT_STREQ(rec().pools[0].user, "wa2");
    EXPECT_EQ(cgminer_pool(2, "stratum+tcp://c:3333", "wc", "pc"), 1);
    EXPECT_EQ(rec().pool_count, 3);

    struct Bad {
        int poolid;
        const char *message;
    };
    const Bad bad[] = {
        {3, "Invalid poolid - 3, it should be less than 3\n"},
        {100, "Invalid poolid - 100, it should be less than 3\n"},
        {-1, "Invalid poolid - -1, it should be less or equeal to 3\n"},
    };
    for (const auto &b : bad) {
        Call c = capture([&] { return cgminer_pool(b.poolid, "u", "w", "p"); });
        EXPECT_EQ(c.rc, -1) << b.poolid;
        EXPECT_TRUE(has(c.err, std::string("ERROR: ") + b.message)) << c.err;
    }
    EXPECT_EQ(rec().pool_count, 3);
    cgminer_config_open(&base_);
}

TEST_F(SettingsEdit, PoolIdBeyondTheNextFreeSlotIsRefused) {
    open(typical());  // no pools
    Call c = capture([] { return cgminer_pool(1, "u", "w", "p"); });
    EXPECT_EQ(c.rc, -1);
    EXPECT_TRUE(has(c.err, "ERROR: Invalid poolid - 1, it should be less or equeal to 0\n"))
        << c.err;
    EXPECT_EQ(rec().pool_count, 0);
    EXPECT_FALSE(cgminer_config_is_changed());

    // An append whose slot already holds the same (empty) text: the count grows and
    // the edit is marked, but the slot itself did not change.
    EXPECT_EQ(cgminer_pool(0, "", "", nullptr), 0);
    EXPECT_EQ(rec().pool_count, 1);
    EXPECT_TRUE(cgminer_config_is_changed());
    cgminer_config_open(&base_);
}

TEST_F(SettingsEdit, PoolTextsAreCutToTheSlotAndCompareWholeSlots) {
    miner_pool slot;
    memset(&slot, 0x5A, sizeof slot);
    const std::string long_url(600, 'u');
    const std::string long_worker(80, 'w');
    pool_cfg_fill(&slot, long_url.c_str(), long_worker.c_str(), "pass");
    EXPECT_EQ(std::string(slot.url), long_url.substr(0, 511));
    EXPECT_EQ(std::string(slot.user), long_worker.substr(0, 49));
    EXPECT_STREQ(slot.pass, "pass");
    EXPECT_EQ(slot.pass[4], '\0');
    EXPECT_EQ(slot.pass[49], '\0') << "bytes after the text are zero too";

    miner_config cfg = typical();
    cfg.pool_count = 1;
    pool_cfg_fill(&cfg.pools[0], long_url.c_str(), "w", "p");
    open(cfg);
    EXPECT_EQ(cgminer_pool(0, (long_url + "tail").c_str(), "w", "p"), 0)
        << "the same after the cut";
    EXPECT_EQ(cgminer_pool(0, "short", "w", "p"), 1);
    EXPECT_EQ(cgminer_pool(0, "short", "w", "p"), 0) << "no leftovers of the longer text";
    cgminer_config_open(&base_);
}

TEST_F(SettingsEdit, AutotunerStoresEachFieldAndResetsChips) {
    const miner_config start = typical();
    struct Case {
        const char *name;
        std::function<int()> set;
        std::function<bool(const miner_config &)> stored;
    };
    const std::vector<Case> cases = {
        {"stage1", [] { return cgminer_autotuner(true, false, false, 0, 2, 400, 75, 2, 0, false); },
         [](const miner_config &c) { return c.autodownscale && !c.autodownscale_watch; }},
        {"stage2", [] { return cgminer_autotuner(false, true, false, 0, 2, 400, 75, 2, 0, false); },
         [](const miner_config &c) { return c.autodownscale_watch && !c.autodownscale; }},
        {"stage3 with interval",
         [] { return cgminer_autotuner(false, false, true, 5, 2, 400, 75, 2, 0, false); },
         [](const miner_config &c) {
             return c.autodownscale_watchtimer && c.autodownscale_timer == 5;
         }},
        {"step", [] { return cgminer_autotuner(false, false, false, 0, 4, 400, 75, 2, 0, false); },
         [](const miner_config &c) { return c.autodownscale_step == 4; }},
        {"min freq",
         [] { return cgminer_autotuner(false, false, false, 0, 2, 500, 75, 2, 0, false); },
         [](const miner_config &c) { return c.autodownscale_min == 500; }},
        {"deviation",
         [] { return cgminer_autotuner(false, false, false, 0, 2, 400, 90, 2, 0, false); },
         [](const miner_config &c) { return c.autodownscale_prec == 90; }},
        {"test time",
         [] { return cgminer_autotuner(false, false, false, 0, 2, 400, 75, 6, 0, false); },
         [](const miner_config &c) { return c.autodownscale_after == 6; }},
        {"down freq hw",
         [] { return cgminer_autotuner(false, false, false, 0, 2, 400, 75, 2, 7, false); },
         [](const miner_config &c) { return c.autodownscale_hw == 7; }},
    };
    for (const auto &c : cases) {
        open(start);
        EXPECT_EQ(c.set(), 1) << c.name;
        EXPECT_TRUE(c.stored(rec())) << c.name;
        EXPECT_EQ(c.set(), 0) << c.name << " again";
        cgminer_config_open(&base_);
    }

    // Without the third stage its interval is stored as 0.
    miner_config timed = start;
    timed.autodownscale_timer = 12;
    open(timed);
    EXPECT_EQ(cgminer_autotuner(false, false, false, 5, 2, 400, 75, 2, 0, false), 1);
    EXPECT_EQ(rec().autodownscale_timer, 0);
    cgminer_config_open(&base_);

    // The deviation is compared in full with the 8-bit field: 300 is stored as 44
    // and differs from it again the next time.
    open(start);
    EXPECT_EQ(cgminer_autotuner(false, false, false, 0, 2, 400, 300, 2, 0, false), 1);
    EXPECT_EQ(rec().autodownscale_prec, 44);
    EXPECT_EQ(cgminer_autotuner(false, false, false, 0, 2, 400, 300, 2, 0, false), 1);
    cgminer_config_open(&base_);

    // Resetting the chips always counts as a change, even with nothing to reset.
    miner_config chips = start;
    chips.chip_freq[0][3] = 600;
    chips.chip_freq[2][62] = 625;
    chips.chain_freq[1] = 700;
    open(chips);
    EXPECT_EQ(cgminer_autotuner(false, false, false, 0, 2, 400, 75, 2, 0, true), 1);
    miner_config expected = chips;
    memset(expected.chip_freq, 0, sizeof expected.chip_freq);
    EXPECT_EQ(memcmp(&rec(), &expected, sizeof expected), 0) << "only chip frequencies cleared";
    cgminer_config_open(&start);
    EXPECT_EQ(cgminer_autotuner(false, false, false, 0, 2, 400, 75, 2, 0, true), 1);
    EXPECT_TRUE(cgminer_config_is_changed());
    cgminer_config_open(&base_);
}

}  // namespace
