#include "norix/miner_config.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <random>
#include <string>
#include <thread>

#include "common/json_ptr.h"

namespace fs = std::filesystem;

namespace {

constexpr unsigned char kPoison = 0x5A;

struct Parsed {
    int rc;
    miner_config cfg;
    std::string out;  // stdout: INFO and WARN
    std::string err;  // stderr: ERROR
};

Parsed parse(const std::string &json) {
    Parsed r;
    memset(&r.cfg, kPoison, sizeof r.cfg);
    json_error_t error;
    json_ptr root(json_loads(json.c_str(), JSON_DECODE_ANY, &error));
    EXPECT_TRUE(root) << json << ": " << error.text;
    if (!root) {
        r.rc = -99;
        return r;
    }
    testing::internal::CaptureStdout();
    testing::internal::CaptureStderr();
    r.rc = miner_config_parse(root.get(), &r.cfg);
    r.err = testing::internal::GetCapturedStderr();
    r.out = testing::internal::GetCapturedStdout();
    return r;
}

bool untouched(const miner_config &cfg) {
    const auto *p = reinterpret_cast<const unsigned char *>(&cfg);
    for (size_t i = 0; i < sizeof cfg; ++i) {
        if (p[i] != kPoison)
            return false;
    }
    return true;
}

bool all_zero(const miner_config &cfg) {
    miner_config zero;
    memset(&zero, 0, sizeof zero);
    return memcmp(&cfg, &zero, sizeof cfg) == 0;
}

// What a file holding {} gives, written out field by field.
miner_config defaults() {
    miner_config c;
    memset(&c, 0, sizeof c);
    c.api_listen = true;
    c.api_network = true;
    strcpy(c.api_groups, "A:stats:pools:devs:summary:version");
    strcpy(c.api_allow, "W:0/0");
    c.freq = 650;
    c.voltage = 890;
    c.use_vil = true;
    c.multi_version = 1;
    c.autodownscale_prec = 75;
    c.autodownscale_min = 400;
    c.autodownscale_step = 2;
    c.autodownscale_after = 2;
    return c;
}

std::string pool_json(const std::string &url, const std::string &user, const std::string &pass) {
    return "{\"url\": \"" + url + "\", \"user\": \"" + user + "\", \"pass\": \"" + pass + "\"}";
}

std::string chip_list(int count, const std::string &value) {
    std::string s;
    for (int i = 0; i < count; ++i)
        s += (i ? ":" : "") + value;
    return s;
}

// ---- reading ----------------------------------------------------------------

TEST(MinerConfigRead, EmptyObjectGivesEveryDefault) {
    auto r = parse("{}");
    ASSERT_EQ(r.rc, 0);
    miner_config expected = defaults();
    EXPECT_EQ(memcmp(&r.cfg, &expected, sizeof expected), 0);
    EXPECT_EQ(r.err, "");
}

TEST(MinerConfigRead, EveryKeyReachesItsField) {
    auto r = parse(R"({
        "pools": [{"url": "stratum+tcp://a:3333", "user": "u1", "pass": "p1"}],
        "api-listen": false, "api-network": false, "api-groups": "G", "api-allow": "A",
        "bitmain-fan-ctrl": true, "bitmain-fan-pwm": "55", "bitmain-fan-rpm-off": "1",
        "bitmain-silentstart": true, "bitmain-target-temp": "80",
        "bitmain-freq": "600", "bitmain-voltage": "870",
        "bitmain-freq1": "610", "bitmain-freq2": "620", "bitmain-freq3": "630",
        "bitmain-voltage1": "880", "bitmain-voltage2": "881", "bitmain-voltage3": "882",
        "bitmain-use-vil": false, "asicboost": true, "multi-version": "4",
        "bitmain-autodownscale-profile": "3", "bitmain-autodownscale": true,
        "bitmain-autodownscale-watch": true, "bitmain-autodownscale-watchtimer": true,
        "bitmain-autodownscale-timer": "24", "bitmain-autodownscale-hw": "10",
        "bitmain-autodownscale-prec": "80", "bitmain-autodownscale-min": "500",
        "bitmain-autodownscale-step": "25", "bitmain-autodownscale-after": "3",
        "bitmain-autodownscale-reboot": true,
        "bitmain-chip-freq": "700:710",
        "bitmain-minhr": "12000", "bitmain-maxx": "5", "bitmain-tempoff": "95",
        "bitmain-trigger-reboot": "1", "altdfno": "7", "unknown-key": [1, 2]
    })");
    ASSERT_EQ(r.rc, 0) << r.err;
    const miner_config &c = r.cfg;
    EXPECT_EQ(c.pool_count, 1);
    EXPECT_STREQ(c.pools[0].url, "stratum+tcp://a:3333");
    EXPECT_STREQ(c.pools[0].user, "u1");
    EXPECT_STREQ(c.pools[0].pass, "p1");
    EXPECT_FALSE(c.api_listen);
    EXPECT_FALSE(c.api_network);
    EXPECT_STREQ(c.api_groups, "G");
    EXPECT_STREQ(c.api_allow, "A");
    EXPECT_TRUE(c.fan_ctrl);
    EXPECT_EQ(c.fan_pwm, 55);
    EXPECT_TRUE(c.fan_rpm_off);
    EXPECT_TRUE(c.silentstart);
    EXPECT_EQ(c.target_temp, 80);
    EXPECT_EQ(c.freq, 600);
    EXPECT_EQ(c.voltage, 870);
    EXPECT_EQ(c.chain_freq[0], 610);
    EXPECT_EQ(c.chain_freq[2], 630);
    EXPECT_EQ(c.chain_voltage[0], 880);
    EXPECT_EQ(c.chain_voltage[2], 882);
    EXPECT_FALSE(c.use_vil);
    EXPECT_TRUE(c.asicboost);
    EXPECT_EQ(c.multi_version, 4);
    EXPECT_EQ(c.autodownscale_profile, 3);
    EXPECT_TRUE(c.autodownscale);
    EXPECT_TRUE(c.autodownscale_watch);
    EXPECT_TRUE(c.autodownscale_watchtimer);
    EXPECT_EQ(c.autodownscale_timer, 24);
    EXPECT_EQ(c.autodownscale_hw, 10);
    EXPECT_EQ(c.autodownscale_prec, 80);
    EXPECT_EQ(c.autodownscale_min, 500);
    EXPECT_EQ(c.autodownscale_step, 25);
    EXPECT_EQ(c.autodownscale_after, 3);
    EXPECT_TRUE(c.autodownscale_reboot);
    EXPECT_EQ(c.chip_freq[0][0], 700);
    EXPECT_EQ(c.chip_freq[0][1], 710);
    EXPECT_EQ(c.chip_freq[0][2], 0);
    EXPECT_EQ(c.minhr, 12000);
    EXPECT_EQ(c.maxx, 5);
    EXPECT_EQ(c.tempoff, 95);
    EXPECT_EQ(c.trigger_reboot, 1);
    EXPECT_EQ(c.altdfno, 7);
}

TEST(MinerConfigRead, NumberTextsAndClamps) {
    struct Case {
        const char *key;
        const char *text;
        std::function<long long(const miner_config &)> field;
        long long expected;
    };
    auto pwm = [](const miner_config &c) { return c.fan_pwm; };
    auto mv = [](const miner_config &c) { return c.multi_version; };
    auto prec = [](const miner_config &c) { return c.autodownscale_prec; };
    auto freq = [](const miner_config &c) { return c.freq; };
    auto minf = [](const miner_config &c) { return c.autodownscale_min; };
    auto profile = [](const miner_config &c) { return c.autodownscale_profile; };
    auto temp = [](const miner_config &c) { return c.target_temp; };
    auto rpm_off = [](const miner_config &c) { return c.fan_rpm_off ? 1 : 0; };
    auto altdfno = [](const miner_config &c) { return c.altdfno; };
    auto minhr = [](const miner_config &c) { return c.minhr; };
    const Case cases[] = {
        {"bitmain-fan-pwm", "150", pwm, 100},
        {"bitmain-fan-pwm", "100", pwm, 100},
        {"bitmain-fan-pwm", "99", pwm, 99},
        {"bitmain-fan-pwm", "-1", pwm, 255},  // low 8 bits, no lower clamp
        {"bitmain-fan-pwm", "40%", pwm, 40},
        {"bitmain-fan-rpm-off", "1", rpm_off, 1},
        {"bitmain-fan-rpm-off", "true", rpm_off, 0},
        {"bitmain-fan-rpm-off", "01", rpm_off, 0},
        {"bitmain-fan-rpm-off", "1 ", rpm_off, 0},
        {"bitmain-target-temp", "-5", temp, 0},
        {"bitmain-target-temp", "85", temp, 85},
        {"multi-version", "12", mv, 10},
        {"multi-version", "10", mv, 10},
        {"multi-version", "9", mv, 9},
        {"multi-version", "-2", mv, 254},
        {"bitmain-autodownscale-prec", "120", prec, 100},
        {"bitmain-autodownscale-prec", "99", prec, 99},
        {"bitmain-autodownscale-min", "70000", minf, 70000 & 0xFFFF},
        {"bitmain-autodownscale-profile", "258", profile, 2},
        {"bitmain-freq", "65536", freq, 0},
        {"bitmain-freq", "650MHz", freq, 650},
        {"bitmain-freq", "+700", freq, 700},
        {"bitmain-freq", "abc", freq, 0},
        {"bitmain-freq", "", freq, 0},
        {"bitmain-freq", " 650", freq, 0},  // no leading digits
        {"altdfno", "-42", altdfno, -42},
        {"altdfno", "99999999999999999999", altdfno, INT32_MAX},
        {"altdfno", "-99999999999999999999", altdfno, INT32_MIN},
        {"bitmain-minhr", "2147483647", minhr, INT32_MAX},
    };
    for (const auto &c : cases) {
        auto r = parse(std::string("{\"") + c.key + "\": \"" + c.text + "\"}");
        ASSERT_EQ(r.rc, 0) << c.key << "=" << c.text << ": " << r.err;
        EXPECT_EQ(c.field(r.cfg), c.expected) << c.key << "=" << c.text;
    }
}

TEST(MinerConfigRead, RootThatIsNotAnObjectLeavesTheRecordAlone) {
    for (const char *json : {"[1, 2]", "[]", "42", "\"text\"", "null", "true"}) {
        auto r = parse(json);
        EXPECT_EQ(r.rc, -1) << json;
        EXPECT_NE(r.err.find("Root element must be an object\n"), std::string::npos) << json;
        EXPECT_TRUE(untouched(r.cfg)) << json;
    }
}

TEST(MinerConfigRead, Pools) {
    const std::string p1 = pool_json("u1", "w1", "x1");
    const std::string p2 = pool_json("u2", "w2", "x2");
    const std::string p3 = pool_json("u3", "w3", "x3");

    auto five = parse("{\"pools\": [" + p1 + "," + p2 + "," + p3 + "," + pool_json("u4", "", "") +
                      "," + pool_json("u5", "", "") + "]}");
    ASSERT_EQ(five.rc, 0);
    EXPECT_EQ(five.cfg.pool_count, 3);
    EXPECT_STREQ(five.cfg.pools[2].url, "u3");

    auto no_pass = parse(R"({"pools": [)" + p1 + R"(, {"url": "u2", "user": "w2"}, )" + p3 + "]}");
    ASSERT_EQ(no_pass.rc, 0);
    EXPECT_EQ(no_pass.cfg.pool_count, 2);
    EXPECT_STREQ(no_pass.cfg.pools[0].url, "u1");
    EXPECT_STREQ(no_pass.cfg.pools[1].url, "u3") << "a bad element leaves no gap";
    EXPECT_NE(no_pass.out.find("WARN: Failed to parse pool params:\n{\n  \"url\": \"u2\",\n  "
                               "\"user\": \"w2\"\n}\n"),
              std::string::npos)
        << no_pass.out;

    // Only the first three elements are looked at, good or bad.
    auto bad_first = parse("{\"pools\": [7, null, \"x\", " + p1 + "]}");
    ASSERT_EQ(bad_first.rc, 0);
    EXPECT_EQ(bad_first.cfg.pool_count, 0);
    EXPECT_NE(bad_first.out.find("Failed to parse pool params:\n7\n"), std::string::npos)
        << bad_first.out;
    EXPECT_NE(bad_first.out.find("Failed to parse pool params:\nnull\n"), std::string::npos);

    auto wrong_type = parse(R"({"pools": [{"url": 1, "user": "w", "pass": "p"}]})");
    EXPECT_EQ(wrong_type.rc, 0);
    EXPECT_EQ(wrong_type.cfg.pool_count, 0);

    auto empty = parse(R"({"pools": []})");
    ASSERT_EQ(empty.rc, 0);
    EXPECT_EQ(empty.cfg.pool_count, 0);

    for (const char *json : {R"({"pools": {"url": "u"}})", R"({"pools": "u"})",
                             R"({"pools": null})", R"({"pools": 3})"}) {
        auto r = parse(json);
        EXPECT_EQ(r.rc, -1) << json;
        EXPECT_NE(r.err.find("Pools parsing failed, pools must be an array\n"), std::string::npos);
        EXPECT_TRUE(all_zero(r.cfg)) << json << ": nothing else is parsed";
    }
}

TEST(MinerConfigRead, LongTextsAreCutAndTerminated) {
    const std::string url(2000, 'u');
    const std::string user(60, 'w');
    const std::string pass(60, 'p');
    const std::string groups(10000, 'g');
    auto r = parse("{\"pools\": [" + pool_json(url, user, pass) + "], \"api-groups\": \"" + groups +
                   "\", \"api-allow\": \"" + groups + "\"}");
    ASSERT_EQ(r.rc, 0);
    EXPECT_EQ(std::string(r.cfg.pools[0].url), url.substr(0, 511));
    EXPECT_EQ(std::string(r.cfg.pools[0].user), user.substr(0, 49));
    EXPECT_EQ(std::string(r.cfg.pools[0].pass), pass.substr(0, 49));
    EXPECT_EQ(std::string(r.cfg.api_groups), groups.substr(0, 255));
    EXPECT_EQ(std::string(r.cfg.api_allow), groups.substr(0, 255));
}

TEST(MinerConfigRead, BadApiOrFanSettingsFallBackAndTheLoadGoesOn) {
    auto api = parse(R"({"api-listen": "true", "api-groups": "G", "bitmain-fan-pwm": "30",
                         "bitmain-freq": "600"})");
    ASSERT_EQ(api.rc, 0);
    EXPECT_NE(api.err.find("ERROR: Failed to parse cgminer API settings - "), std::string::npos)
        << api.err;
    EXPECT_NE(api.out.find("INFO: Resetting API settings to defaults\n"), std::string::npos);
    EXPECT_TRUE(api.cfg.api_listen);
    EXPECT_TRUE(api.cfg.api_network);
    EXPECT_STREQ(api.cfg.api_groups, "A:stats:pools:devs:summary:version") << "all four reset";
    EXPECT_STREQ(api.cfg.api_allow, "W:0/0");
    EXPECT_EQ(api.cfg.fan_pwm, 30);
    EXPECT_EQ(api.cfg.freq, 600);

    auto fan = parse(R"({"bitmain-fan-ctrl": true, "bitmain-fan-pwm": 50,
                         "bitmain-target-temp": "70", "bitmain-freq": "600"})");
    ASSERT_EQ(fan.rc, 0);
    EXPECT_NE(fan.err.find("ERROR: Failed to parse fan settings - "), std::string::npos);
    EXPECT_NE(fan.out.find("INFO: Resetting fan settings to defaults\n"), std::string::npos);
    EXPECT_FALSE(fan.cfg.fan_ctrl);
    EXPECT_EQ(fan.cfg.fan_pwm, 0);
    EXPECT_EQ(fan.cfg.target_temp, 0);
    EXPECT_EQ(fan.cfg.freq, 600);
}

// A failing section fails the load; it and every later section stay zero (not
// default), the earlier ones are filled.
TEST(MinerConfigRead, FailingSectionLeavesAPartialRecord) {
    const std::string base = R"("pools": [{"url": "u", "user": "w", "pass": "p"}],
        "api-groups": "G", "bitmain-fan-pwm": "40", "bitmain-freq": "600",
        "bitmain-freq2": "610", "multi-version": "3", "bitmain-autodownscale-prec": "90",
        "bitmain-chip-freq": "700", "bitmain-minhr": "100")";
    struct Case {
        const char *bad;
        const char *line;
        bool with_library_text;
        int sections_filled;  // freq/volt, chain, asicboost, autotune, chips, watchdog, misc
    };
    const Case cases[] = {
        {R"("bitmain-freq": 650)", "Failed to parse global freq and volt settings - ", true, 0},
        {R"("bitmain-voltage": null)", "Failed to parse global freq and volt settings - ", true, 0},
        {R"("bitmain-voltage3": 860)", "Failed to parse chain freq and volt settings - ", true, 1},
        {R"("bitmain-use-vil": "true")", "Failed to parse asic boost settings - ", true, 2},
        {R"("asicboost": 1)", "Failed to parse asic boost settings - ", true, 2},
        {R"("bitmain-autodownscale-reboot": "1")", "Failed to parse autotune settings\n", false, 3},
        {R"("bitmain-autodownscale-min": 400)", "Failed to parse autotune settings\n", false, 3},
        {R"("bitmain-chip-freq": [700])", "Failed to parse chip frequencies\n", false, 4},
        {R"("bitmain-tempoff": 90)", "Failed to parse watchdog settings\n", false, 5},
        {R"("bitmain-trigger-reboot": false)", "Failed to parse watchdog settings\n", false, 5},
        {R"("altdfno": 1.5)", "Failed to parse misc settings\n", false, 6},
    };
    for (const auto &c : cases) {
        auto r = parse("{" + base + ", " + c.bad + "}");
        SCOPED_TRACE(c.bad);
        ASSERT_EQ(r.rc, -1);
        const std::string line = std::string("ERROR: ") + c.line;
        EXPECT_NE(r.err.find(line), std::string::npos) << r.err;
        if (c.with_library_text) {
            EXPECT_EQ(r.err.find(std::string(c.line) + "\n"), std::string::npos) << r.err;
        }
        // Sections before the ones that run in order are always filled.
        EXPECT_EQ(r.cfg.pool_count, 1);
        EXPECT_STREQ(r.cfg.api_groups, "G");
        EXPECT_EQ(r.cfg.fan_pwm, 40);
        const int n = c.sections_filled;
        EXPECT_EQ(r.cfg.freq, n >= 1 ? 600 : 0);
        EXPECT_EQ(r.cfg.voltage, n >= 1 ? 890 : 0);
        EXPECT_EQ(r.cfg.chain_freq[1], n >= 2 ? 610 : 0);
        EXPECT_EQ(r.cfg.use_vil, n >= 3);
        EXPECT_EQ(r.cfg.multi_version, n >= 3 ? 3 : 0);
        EXPECT_EQ(r.cfg.autodownscale_prec, n >= 4 ? 90 : 0);
        EXPECT_EQ(r.cfg.autodownscale_min, n >= 4 ? 400 : 0);
        EXPECT_EQ(r.cfg.autodownscale_step, n >= 4 ? 2 : 0);
        EXPECT_EQ(r.cfg.chip_freq[0][0], n >= 5 ? 700 : 0);
        EXPECT_EQ(r.cfg.minhr, n >= 6 ? 100 : 0);
    }
}

TEST(MinerConfigRead, ChipFrequencyList) {
    auto empty_field = parse(R"({"bitmain-chip-freq": "700::650"})");
    ASSERT_EQ(empty_field.rc, 0);
    EXPECT_EQ(empty_field.cfg.chip_freq[0][0], 700);
    EXPECT_EQ(empty_field.cfg.chip_freq[0][1], 650);
    EXPECT_EQ(empty_field.cfg.chip_freq[0][2], 0);

    auto edges = parse(R"({"bitmain-chip-freq": ":::700:650:"})");
    EXPECT_EQ(edges.cfg.chip_freq[0][0], 700);
    EXPECT_EQ(edges.cfg.chip_freq[0][1], 650);

    // Positions run chain-major: 63 per chain.
    std::string list;
    for (int i = 0; i < 200; ++i)
        list += (i ? ":" : "") + std::to_string(100 + i);
    auto many = parse("{\"bitmain-chip-freq\": \"" + list + "\"}");
    ASSERT_EQ(many.rc, 0);
    EXPECT_EQ(many.cfg.chip_freq[0][0], 100);
    EXPECT_EQ(many.cfg.chip_freq[0][62], 162);
    EXPECT_EQ(many.cfg.chip_freq[1][0], 163);
    EXPECT_EQ(many.cfg.chip_freq[2][62], 288) << "position 188 is the last one used";

    auto short_list = parse("{\"bitmain-chip-freq\": \"" + chip_list(62, "600") + "\"}");
    EXPECT_EQ(short_list.cfg.chip_freq[0][61], 600);
    EXPECT_EQ(short_list.cfg.chip_freq[0][62], 0);
    EXPECT_EQ(short_list.cfg.chip_freq[1][0], 0);
    EXPECT_EQ(short_list.cfg.chip_freq[2][62], 0);

    // Only the first 1023 characters are read: 170 whole six-character fields
    // (1020 characters) and the first three digits of the next value.
    auto long_text = parse("{\"bitmain-chip-freq\": \"" + chip_list(189, "65535") + "\"}");
    ASSERT_EQ(long_text.rc, 0);
    EXPECT_EQ(long_text.cfg.chip_freq[169 / 63][169 % 63], 65535);
    EXPECT_EQ(long_text.cfg.chip_freq[170 / 63][170 % 63], 655);
    EXPECT_EQ(long_text.cfg.chip_freq[171 / 63][171 % 63], 0);

    auto wide = parse(R"({"bitmain-chip-freq": "70000:-1:abc:12x"})");
    EXPECT_EQ(wide.cfg.chip_freq[0][0], 70000 & 0xFFFF);
    EXPECT_EQ(wide.cfg.chip_freq[0][1], 0xFFFF);
    EXPECT_EQ(wide.cfg.chip_freq[0][2], 0) << "a field without digits still takes a position";
    EXPECT_EQ(wide.cfg.chip_freq[0][3], 12);
}

class MinerConfigFile : public testing::Test {
  protected:
    void SetUp() override {
        dir_ = fs::temp_directory_path() /
               ("minercfg." + std::to_string(getpid()) + "." +
                testing::UnitTest::GetInstance()->current_test_info()->name());
        fs::create_directories(dir_);
    }
    void TearDown() override { fs::remove_all(dir_); }
    std::string path(const char *name) const { return (dir_ / name).string(); }
    void write(const std::string &p, const std::string &text) { std::ofstream(p) << text; }
    static std::string slurp(const std::string &p) {
        std::ifstream in(p);
        return std::string(std::istreambuf_iterator<char>(in), {});
    }
    fs::path dir_;
};

TEST_F(MinerConfigFile, FilesTheLibraryRefusesLeaveTheRecordAlone) {
    struct Case {
        const char *name;
        const char *text;  // null: no file
    };
    const Case cases[] = {
        {"missing", nullptr},
        {"empty", ""},
        {"number", "42"},
        {"string", "\"x\""},
        {"broken", "{\"pools\": ["},
        {"garbage", "\x01\x02\xff"},
        {"two", "{}{}"},
    };
    for (const auto &c : cases) {
        std::string p = path(c.name);
        if (c.text)
            write(p, c.text);
        miner_config cfg;
        memset(&cfg, kPoison, sizeof cfg);
        testing::internal::CaptureStderr();
        EXPECT_EQ(miner_config_load(p.c_str(), &cfg), -1) << c.name;
        std::string err = testing::internal::GetCapturedStderr();
        EXPECT_NE(err.find("ERROR: Failed to load " + p + " - "), std::string::npos) << err;
        EXPECT_TRUE(untouched(cfg)) << c.name;
    }
}

// ---- writing ----------------------------------------------------------------

miner_config sample() {
    miner_config c = defaults();
    c.pool_count = 2;
    strcpy(c.pools[0].url, "stratum+tcp://a.example:3333");
    strcpy(c.pools[0].user, "w1");
    strcpy(c.pools[0].pass, "x");
    strcpy(c.pools[1].url, "stratum+tcp://b.example:443");
    strcpy(c.pools[1].user, "w2");
    strcpy(c.pools[1].pass, "y");
    c.api_network = false;
    c.fan_ctrl = true;
    c.fan_pwm = 80;
    c.target_temp = 75;
    c.chain_freq[1] = 700;
    c.chain_voltage[2] = 880;
    c.chip_freq[0][0] = 725;
    c.chip_freq[2][62] = 600;
    c.autodownscale_watch = true;
    c.tempoff = 98;
    c.altdfno = -3;
    return c;
}

std::string format(const miner_config &c) {
    std::string text;
    EXPECT_TRUE(miner_config_format(&c, &text));
    return text;
}

TEST(MinerConfigWrite, LayoutKeyOrderAndConditionalKeys) {
    std::string chips = "725:" + chip_list(187, "0") + ":600";
    const std::string expected =
        "{\n"
        "\"pools\": [\n"
        "{\n"
        "\"url\" : \"stratum+tcp://a.example:3333\",\n"
        "\"user\" : \"w1\",\n"
        "\"pass\" : \"x\"\n"
        "},\n"
        "{\n"
        "\"url\" : \"stratum+tcp://b.example:443\",\n"
        "\"user\" : \"w2\",\n"
        "\"pass\" : \"y\"\n"
        "}\n"
        "],\n"
        "\"api-listen\": true,\n"
        "\"api-network\": false,\n"
        "\"api-groups\" : \"A:stats:pools:devs:summary:version\",\n"
        "\"api-allow\" : \"W:0/0\",\n"
        "\"bitmain-fan-pwm\" : \"80\",\n"
        "\"bitmain-fan-rpm-off\" : \"0\",\n"
        "\"bitmain-fan-ctrl\": true,\n"
        "\"bitmain-target-temp\" : \"75\",\n"
        "\"bitmain-freq\" : \"650\",\n"
        "\"bitmain-voltage\" : \"890\",\n"
        "\"bitmain-freq1\" : \"0\",\n"
        "\"bitmain-freq2\" : \"700\",\n"
        "\"bitmain-freq3\" : \"0\",\n"
        "\"bitmain-voltage1\" : \"0\",\n"
        "\"bitmain-voltage2\" : \"0\",\n"
        "\"bitmain-voltage3\" : \"880\",\n"
        "\"bitmain-use-vil\": true,\n"
        "\"multi-version\" : \"1\",\n"
        "\"bitmain-autodownscale-profile\" : \"0\",\n"
        "\"bitmain-autodownscale-timer\" : \"0\",\n"
        "\"bitmain-autodownscale-hw\" : \"0\",\n"
        "\"bitmain-autodownscale-prec\" : \"75\",\n"
        "\"bitmain-autodownscale-min\" : \"400\",\n"
        "\"bitmain-autodownscale-step\" : \"2\",\n"
        "\"bitmain-autodownscale-after\" : \"2\",\n"
        "\"bitmain-autodownscale-watch\": true,\n"
        "\"bitmain-chip-freq\" : \"" +
        chips +
        "\",\n"
        "\"bitmain-minhr\" : \"0\",\n"
        "\"bitmain-maxx\" : \"0\",\n"
        "\"bitmain-trigger-reboot\" : \"0\",\n"
        "\"bitmain-tempoff\" : \"98\",\n"
        "\"altdfno\" : \"-3\"\n"
        "}";
    EXPECT_EQ(format(sample()), expected);
}

TEST(MinerConfigWrite, FalseAndZeroKeysAreLeftOut) {
    miner_config c;
    memset(&c, 0, sizeof c);
    std::string text = format(c);
    EXPECT_NE(text.find("\"pools\": [],\n"), std::string::npos) << text;
    for (const char *absent :
         {"bitmain-fan-ctrl", "bitmain-silentstart", "\"asicboost\"", "\"bitmain-autodownscale\"",
          "bitmain-autodownscale-watch\"", "watchtimer", "autodownscale-reboot",
          "bitmain-target-temp", "bitmain-tempoff"}) {
        EXPECT_EQ(text.find(absent), std::string::npos) << absent;
    }
    const std::string zero_chips = "\"bitmain-chip-freq\" : \"" + chip_list(189, "0") + "\",";
    for (const char *present :
         {"\"api-listen\": false,", "\"api-network\": false,", "\"bitmain-use-vil\": false,",
          "\"bitmain-fan-rpm-off\" : \"0\",", "\"bitmain-freq1\" : \"0\",", zero_chips.c_str()}) {
        EXPECT_NE(text.find(present), std::string::npos) << present;
    }

    c.silentstart = c.asicboost = c.autodownscale = c.autodownscale_watchtimer = true;
    c.autodownscale_reboot = c.fan_rpm_off = true;
    text = format(c);
    for (const char *key :
         {"\"bitmain-silentstart\": true", "\"asicboost\": true", "\"bitmain-autodownscale\": true",
          "\"bitmain-autodownscale-watchtimer\": true", "\"bitmain-autodownscale-reboot\": true",
          "\"bitmain-fan-rpm-off\" : \"1\""}) {
        EXPECT_NE(text.find(key), std::string::npos) << key;
    }
}

TEST(MinerConfigWrite, NoLineIsIndentedAndStringMembersHaveBlanksAroundTheColon) {
    std::string text = format(sample());
    size_t start = 0;
    while (start < text.size()) {
        size_t end = text.find('\n', start);
        std::string line = text.substr(start, end == std::string::npos ? end : end - start);
        ASSERT_FALSE(line.empty());
        EXPECT_NE(line[0], ' ') << line;
        EXPECT_NE(line[0], '\t') << line;
        if (line.find("\": \"") != std::string::npos)
            ADD_FAILURE() << "string member without a blank before its colon: " << line;
        start = end == std::string::npos ? text.size() : end + 1;
    }
}

// Values that look like the layout's own separators come back unchanged.
TEST(MinerConfigWrite, ValuesWithQuotesColonsAndBlanksRoundTrip) {
    const char *passwords[] = {
        "ab\": ",             // ends in quote, colon, blank
        "\": \"x",            // the four-character pattern inside the value
        "a\\\": \"b",         // backslash before the quote
        "  lead\ttab",        // leading blanks survive: only the layout's indentation goes
        "}{ ][ ,\n",          // braces and a line break
        "\xc3\xa9t\xc3\xa9",  // UTF-8
    };
    for (const char *pass : passwords) {
        miner_config c = defaults();
        c.pool_count = 1;
        strcpy(c.pools[0].url, "stratum+tcp://p:1");
        strcpy(c.pools[0].user, "\": \"user\": \"");
        strcpy(c.pools[0].pass, pass);
        std::string text = format(c);
        auto r = parse(text);
        ASSERT_EQ(r.rc, 0) << text;
        EXPECT_STREQ(r.cfg.pools[0].pass, pass) << text;
        EXPECT_STREQ(r.cfg.pools[0].user, c.pools[0].user);
        EXPECT_EQ(memcmp(&r.cfg, &c, sizeof c), 0) << text;
    }
}

// Any record within the file's number widths is written and read back byte for byte.
TEST(MinerConfigWrite, RandomRecordsRoundTrip) {
    std::mt19937 rng(20240601);
    auto pick = [&](long long lo, long long hi) {
        return std::uniform_int_distribution<long long>(lo, hi)(rng);
    };
    auto text = [&](char *dst, size_t size) {
        static const char alphabet[] = "abcXYZ019 :\"\\/{}[],\t\n-_.@";
        size_t len = static_cast<size_t>(pick(0, static_cast<long long>(size) - 1));
        for (size_t i = 0; i < len; ++i)
            dst[i] = alphabet[pick(0, sizeof alphabet - 2)];
        dst[len] = '\0';
    };
    auto i32 = [&] { return static_cast<int32_t>(pick(-99999999, 999999999)); };
    for (int round = 0; round < 200; ++round) {
        miner_config c;
        memset(&c, 0, sizeof c);
        c.pool_count = static_cast<int32_t>(pick(0, 3));
        for (int i = 0; i < c.pool_count; ++i) {
            text(c.pools[i].url, sizeof c.pools[i].url);
            text(c.pools[i].user, sizeof c.pools[i].user);
            text(c.pools[i].pass, sizeof c.pools[i].pass);
        }
        c.api_listen = pick(0, 1);
        c.api_network = pick(0, 1);
        text(c.api_groups, sizeof c.api_groups);
        text(c.api_allow, sizeof c.api_allow);
        c.fan_ctrl = pick(0, 1);
        c.fan_pwm = static_cast<uint8_t>(pick(0, 100));
        c.fan_rpm_off = pick(0, 1);
        c.silentstart = pick(0, 1);
        c.target_temp = static_cast<int32_t>(pick(0, 999999999));
        c.use_vil = pick(0, 1);
        c.altdfno = i32();
        c.freq = static_cast<uint16_t>(pick(0, 65535));
        c.voltage = static_cast<uint16_t>(pick(0, 65535));
        for (int ch = 0; ch < kMinerChains; ++ch) {
            c.chain_freq[ch] = static_cast<uint16_t>(pick(0, 65535));
            c.chain_voltage[ch] = static_cast<uint16_t>(pick(0, 65535));
            for (auto &f : c.chip_freq[ch])
                f = static_cast<uint16_t>(pick(0, 9999));
        }
        c.asicboost = pick(0, 1);
        c.multi_version = static_cast<uint8_t>(pick(0, 10));
        c.autodownscale_profile = static_cast<uint8_t>(pick(0, 255));
        c.autodownscale = pick(0, 1);
        c.autodownscale_watch = pick(0, 1);
        c.autodownscale_watchtimer = pick(0, 1);
        c.autodownscale_timer = i32();
        c.autodownscale_hw = i32();
        c.autodownscale_prec = static_cast<uint8_t>(pick(0, 100));
        c.autodownscale_min = static_cast<uint16_t>(pick(0, 65535));
        c.autodownscale_step = i32();
        c.autodownscale_after = i32();
        c.autodownscale_reboot = pick(0, 1);
        c.minhr = i32();
        c.maxx = i32();
        c.tempoff = i32();
        c.trigger_reboot = i32();

        std::string written = format(c);
        auto r = parse(written);
        ASSERT_EQ(r.rc, 0) << written;
        ASSERT_EQ(memcmp(&r.cfg, &c, sizeof c), 0) << "round " << round << "\n" << written;
        EXPECT_EQ(format(r.cfg), written);
    }
}

TEST(MinerConfigWrite, NumbersLongerThanTheirFieldAreCut) {
    miner_config c = defaults();
    c.altdfno = 1234567890;
    c.minhr = INT32_MIN;
    std::string text = format(c);
    EXPECT_NE(text.find("\"altdfno\" : \"123456789\""), std::string::npos);
    EXPECT_NE(text.find("\"bitmain-minhr\" : \"-21474836\""), std::string::npos);
}

// Five-digit chip values do not fit the 1023 characters the reader takes: the list
// ends at a whole value, so nothing reads back as a different frequency.
TEST(MinerConfigWrite, OverlongChipListEndsAtAWholeValue) {
    miner_config c = defaults();
    for (auto &chain : c.chip_freq)
        for (auto &f : chain)
            f = 54321;
    std::string text = format(c);
    auto r = parse(text);
    ASSERT_EQ(r.rc, 0);
    int kept = 0;
    for (int ch = 0; ch < kMinerChains; ++ch) {
        for (int chip = 0; chip < kMinerChainChips; ++chip) {
            uint16_t f = r.cfg.chip_freq[ch][chip];
            ASSERT_TRUE(f == 54321 || f == 0) << ch << "/" << chip << " read back as " << f;
            if (f == 54321)
                ++kept;
        }
    }
    EXPECT_EQ(kept, 170) << "170 six-character fields fill 1019 characters";
}

TEST_F(MinerConfigFile, SaveWritesAFileThatLoadsBackIdentically) {
    const std::string p = path("bmminer.conf");
    write(p, R"({"pools": [{"url": "u", "user": "w", "pass": "p", "extra": 1}],
                "bitmain-freq": "600", "old-key": "dropped"})");
    miner_config first;
    ASSERT_EQ(miner_config_load(p.c_str(), &first), 0);
    ASSERT_EQ(miner_config_save(p.c_str(), &first), 0);
    std::string text = slurp(p);
    EXPECT_EQ(text.find("old-key"), std::string::npos) << "only the record's keys are written";
    EXPECT_EQ(text, format(first));
    miner_config second;
    ASSERT_EQ(miner_config_load(p.c_str(), &second), 0);
    EXPECT_EQ(memcmp(&first, &second, sizeof first), 0);
    EXPECT_EQ(std::distance(fs::directory_iterator(dir_), {}), 1) << "no temporary left";
}

TEST_F(MinerConfigFile, FailedSavesKeepTheOldFile) {
    const std::string p = path("bmminer.conf");
    write(p, "{\"bitmain-freq\": \"600\"}");
    miner_config c = sample();
    c.pool_count = 3;
    strcpy(c.pools[2].pass, "\xff\xfe");  // not UTF-8: the pool cannot be composed
    testing::internal::CaptureStderr();
    EXPECT_EQ(miner_config_save(p.c_str(), &c), -1);
    std::string err = testing::internal::GetCapturedStderr();
    EXPECT_NE(err.find("ERROR: Failed to compose pool #3\n"), std::string::npos) << err;
    EXPECT_EQ(slurp(p), "{\"bitmain-freq\": \"600\"}");

    const std::string missing_dir = path("nope") + "/bmminer.conf";
    testing::internal::CaptureStderr();
    EXPECT_EQ(miner_config_save(missing_dir.c_str(), &c), -1);
    err = testing::internal::GetCapturedStderr();
    EXPECT_NE(err.find("ERROR: Failed to compose pool #3\n"), std::string::npos);

    c.pool_count = 2;
    testing::internal::CaptureStderr();
    EXPECT_EQ(miner_config_save(missing_dir.c_str(), &c), -1);
    err = testing::internal::GetCapturedStderr();
    EXPECT_NE(err.find("ERROR: Failed to open config file: " + missing_dir + "\n"),
              std::string::npos)
        << err;
}

// Readers running next to a saver always see a whole file, old or new.
TEST_F(MinerConfigFile, LoadsDuringSavesNeverSeeAPartialFile) {
    const std::string p = path("bmminer.conf");
    miner_config a = sample();
    miner_config b = defaults();
    ASSERT_EQ(miner_config_save(p.c_str(), &a), 0);
    std::atomic<bool> done{false};
    std::thread saver([&] {
        for (int i = 0; i < 40; ++i)
            miner_config_save(p.c_str(), i % 2 ? &a : &b);
        done = true;
    });
    int loads = 0;
    while (!done) {
        miner_config got;
        ASSERT_EQ(miner_config_load(p.c_str(), &got), 0);
        ASSERT_TRUE(memcmp(&got, &a, sizeof got) == 0 || memcmp(&got, &b, sizeof got) == 0);
        ++loads;
    }
    saver.join();
    EXPECT_GT(loads, 0);
}

// Random damage to a real file: every outcome is a clean 0 or -1.
TEST(MinerConfigRead, DamagedFilesNeverCrash) {
    const std::string good = format(sample());
    std::mt19937 rng(7);
    int parsed = 0;
    for (int round = 0; round < 3000; ++round) {
        std::string text = good;
        switch (round % 3) {
            case 0:
                text.resize(std::uniform_int_distribution<size_t>(0, text.size())(rng));
                break;
            case 1:
                for (int k = 0; k < 4; ++k)
                    text[std::uniform_int_distribution<size_t>(0, text.size() - 1)(rng)] =
                        static_cast<char>(std::uniform_int_distribution<int>(0, 255)(rng));
                break;
            default: {
                // Swap a value for another JSON type.
                static const char *values[] = {"1",  "-1e999", "null", "[]",
                                               "{}", "true",   "\"\"", "18446744073709551616"};
                size_t at = text.find(
                    " : \"", std::uniform_int_distribution<size_t>(0, text.size() - 1)(rng));
                if (at == std::string::npos)
                    continue;
                size_t end = text.find('"', at + 4);
                text.replace(at + 3, end - at - 2, values[round % 8]);
            }
        }
        json_ptr root(json_loads(text.c_str(), 0, nullptr));
        if (!root)
            continue;
        miner_config c;
        testing::internal::CaptureStdout();
        testing::internal::CaptureStderr();
        int rc = miner_config_parse(root.get(), &c);
        testing::internal::GetCapturedStderr();
        testing::internal::GetCapturedStdout();
        ASSERT_TRUE(rc == 0 || rc == -1);
        if (rc == 0) {
            ++parsed;
            ASSERT_LE(c.pool_count, 3);
            ASSERT_LT(strlen(c.api_groups), sizeof c.api_groups);
            ASSERT_LE(c.fan_pwm, 100);
            ASSERT_LE(c.multi_version, 10);
        }
    }
    EXPECT_GT(parsed, 0);
}

}  // namespace
