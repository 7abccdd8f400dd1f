#include "norix/miner_config.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <fstream>
#include <string>

#include "common/json_ptr.h"
#include "test_text.h"

namespace {

constexpr unsigned char kPoison = 0x5A;

struct Parsed : Logged {
    int rc = -99;
    miner_config cfg;
};

Parsed parse(const std::string &json) {
    Parsed r;
    memset(&r.cfg, kPoison, sizeof r.cfg);
    json_ptr root(json_loads(json.c_str(), JSON_DECODE_ANY, nullptr));
    EXPECT_TRUE(root) << json;
    if (root)
        static_cast<Logged &>(r) = log_of([&] { r.rc = miner_config_parse(root.get(), &r.cfg); });
    return r;
}

bool filled_with(const miner_config &cfg, unsigned char byte) {
    const auto *p = reinterpret_cast<const unsigned char *>(&cfg);
    return std::all_of(p, p + sizeof cfg, [byte](unsigned char b) { return b == byte; });
}

// What a file holding {} gives.
miner_config defaults() {
    miner_config c = zeroed<miner_config>();
    c.api_listen = c.api_network = c.use_vil = true;
    strcpy(c.api_groups, "A:stats:pools:devs:summary:version");
    strcpy(c.api_allow, "W:0/0");
    c.freq = 650;
    c.voltage = 890;
    c.multi_version = 1;
    c.autodownscale_prec = 75;
    c.autodownscale_min = 400;
    c.autodownscale_step = c.autodownscale_after = 2;
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

// Numbers travel as text: an optional sign and the leading digits (none gives 0),
// saturated to 32 bits, then cut or clamped to each field.
TEST(MinerConfigRead, DefaultsNumberTextsAndClamps) {
    EXPECT_TRUE(same(parse("{}").cfg, defaults()));
    auto r = parse(R"({"bitmain-fan-pwm": "100", "bitmain-autodownscale-prec": "99",
        "bitmain-target-temp": "-5", "multi-version": "10", "bitmain-freq": "65536",
        "bitmain-voltage": " 890", "bitmain-autodownscale-min": "+700MHz",
        "altdfno": "99999999999999999999", "bitmain-minhr": "-99999999999999999999",
        "bitmain-fan-rpm-off": "01"})");
    miner_config want = defaults();  // target_temp stays 0; fan_rpm_off only for the text 1
    want.fan_pwm = 100, want.autodownscale_prec = 99, want.multi_version = 10;
    want.freq = want.voltage = 0, want.autodownscale_min = 700;
    want.altdfno = INT32_MAX, want.minhr = INT32_MIN;
    EXPECT_TRUE(same(r.cfg, want));

    r = parse(R"({"bitmain-fan-pwm": "-1", "multi-version": "9", "bitmain-fan-rpm-off": "1"})");
    want = defaults();  // the low 8 bits, no lower clamp
    want.fan_pwm = 255, want.fan_pwm_negative = want.fan_rpm_off = true, want.multi_version = 9;
    EXPECT_TRUE(same(r.cfg, want));
}

TEST(MinerConfigRead, Pools) {
    const std::string p1 = pool_json("u1", "w1", "x1");
    const std::string p3 = pool_json("u3", "w3", "x3");
    auto five = parse("{\"pools\": [" + p1 + "," + p1 + "," + p3 + "," + p1 + "," + p1 + "]}");
    EXPECT_EQ(five.cfg.pool_count, 3);
    auto no_pass = parse(R"({"pools": [)" + p1 + R"(, {"url": "u2", "user": "w2"}, )" + p3 + "]}");
    EXPECT_EQ(no_pass.cfg.pool_count, 2);
    EXPECT_STREQ(no_pass.cfg.pools[1].url, "u3") << "a bad element leaves no gap";
    EXPECT_TRUE(has(no_pass.out,
                    "WARN: Failed to parse pool params:\n{\n  \"url\": \"u2\",\n  "
                    "\"user\": \"w2\"\n}\n"))
        << no_pass.out;

    // Only the first three elements are looked at, good or bad.
    auto bad_first = parse("{\"pools\": [7, null, \"x\", " + p1 + "]}");
    EXPECT_EQ(bad_first.cfg.pool_count, 0);
    EXPECT_TRUE(has(bad_first.out, "Failed to parse pool params:\n7\n")) << bad_first.out;

    auto object = parse(R"({"pools": {"url": "u"}})");
    EXPECT_EQ(object.rc, -1);
    EXPECT_TRUE(has(object.err, "Pools parsing failed, pools must be an array\n"));
    EXPECT_TRUE(filled_with(object.cfg, 0)) << "nothing else is parsed";

    // Pool texts are kept whole up to 1023 bytes; a longer one is cut, the slot marked.
    const std::string url(1024, 'u'), user(67, 'w'), pass(60, 'p'), groups(10000, 'g');
    auto r = parse("{\"pools\": [" + pool_json(url, user, pass) + ", " +
                   pool_json(url.substr(1), user, pass) + "], \"api-allow\": \"" + groups + "\"}");
    EXPECT_EQ(std::string(r.cfg.pools[0].url), url.substr(0, 1023));
    EXPECT_EQ(std::string(r.cfg.pools[0].user), user);
    EXPECT_EQ(std::string(r.cfg.pools[0].pass), pass);
    EXPECT_TRUE(r.cfg.pools[0].cut && !r.cfg.pools[1].cut);
    EXPECT_EQ(std::string(r.cfg.api_allow), groups.substr(0, 255));
}

TEST(MinerConfigRead, BadApiOrFanSettingsFallBackAndTheLoadGoesOn) {
    auto api = parse(R"({"api-listen": "true", "api-groups": "G", "bitmain-fan-pwm": "30"})");
    EXPECT_TRUE(has(api.err, "ERROR: Failed to parse cgminer API settings - ")) << api.err;
    EXPECT_TRUE(has(api.out, "INFO: Resetting API settings to defaults\n"));
    EXPECT_STREQ(api.cfg.api_groups, "A:stats:pools:devs:summary:version");
    EXPECT_EQ(api.cfg.fan_pwm, 30);
    auto fan = parse(R"({"bitmain-fan-ctrl": true, "bitmain-fan-pwm": 50, "bitmain-freq": "600"})");
    EXPECT_TRUE(has(fan.err, "ERROR: Failed to parse fan settings - "));
    EXPECT_TRUE(has(fan.out, "INFO: Resetting fan settings to defaults\n"));
    EXPECT_FALSE(fan.cfg.fan_ctrl);
    EXPECT_EQ(fan.cfg.freq, 600) << "the load goes on";
}

// A failing section fails the load; it and every later section stay zero (not
// default), the earlier ones are filled.
TEST(MinerConfigRead, FailingSectionLeavesAPartialRecord) {
    const std::string base = R"("pools": [{"url": "u", "user": "w", "pass": "p"}],
        "api-groups": "G", "bitmain-fan-pwm": "40", "bitmain-freq": "600",
        "bitmain-freq2": "610", "multi-version": "3", "bitmain-autodownscale-prec": "90",
        "bitmain-chip-freq": "700", "bitmain-minhr": "100")";
    const struct {
        const char *bad, *line;
        int sections_filled;  // freq/volt, chain, asicboost, autotune, chips, watchdog, misc
    } cases[] = {
        {R"("bitmain-voltage": null)", "Failed to parse global freq and volt settings - ", 0},
        {R"("bitmain-voltage3": 860)", "Failed to parse chain freq and volt settings - ", 1},
        {R"("asicboost": 1)", "Failed to parse asic boost settings - ", 2},
        {R"("bitmain-autodownscale-min": 400)", "Failed to parse autotune settings\n", 3},
        {R"("bitmain-chip-freq": [700])", "Failed to parse chip frequencies\n", 4},
        {R"("bitmain-trigger-reboot": false)", "Failed to parse watchdog settings\n", 5},
        {R"("altdfno": 1.5)", "Failed to parse misc settings\n", 6},
    };
    for (const auto &c : cases) {
        auto r = parse("{" + base + ", " + c.bad + "}");
        SCOPED_TRACE(c.bad);
        ASSERT_EQ(r.rc, -1);
        EXPECT_TRUE(has(r.err, std::string("ERROR: ") + c.line)) << r.err;
        EXPECT_FALSE(has(r.err, std::string(c.line) + "\n")) << "the library's reason follows";
        EXPECT_EQ(r.cfg.fan_pwm, 40);
        const int got[] = {r.cfg.freq,
                           r.cfg.chain_freq[1],
                           r.cfg.multi_version,
                           r.cfg.autodownscale_prec,
                           r.cfg.chip_freq[0][0],
                           r.cfg.minhr};
        const int filled[] = {600, 610, 3, 90, 700, 100};
        for (int k = 0; k < 6; ++k)
            EXPECT_EQ(got[k], k < c.sections_filled ? filled[k] : 0) << "section " << k;
    }
}

TEST(MinerConfigRead, ChipFrequencyList) {
    auto empty_field = parse(R"({"bitmain-chip-freq": ":700::650:"})");
    EXPECT_EQ(empty_field.cfg.chip_freq[0][1], 650) << "empty fields take no position";
    // Position 188 (chain 8, chip 63) is the last one; more values are ignored.
    auto many = parse("{\"bitmain-chip-freq\": \"" + chip_list(200, "288") + "\"}");
    EXPECT_EQ(many.cfg.chip_freq[2][62], 288);
    // Only the first 1023 characters are read: 170 whole six-character fields
    // and the first three digits of the next value.
    auto long_text = parse("{\"bitmain-chip-freq\": \"" + chip_list(189, "65535") + "\"}");
    EXPECT_EQ(long_text.cfg.chip_freq[169 / 63][169 % 63], 65535);
    EXPECT_EQ(long_text.cfg.chip_freq[170 / 63][170 % 63], 655);
    EXPECT_EQ(long_text.cfg.chip_freq[171 / 63][171 % 63], 0);
    auto wide = parse(R"({"bitmain-chip-freq": "70000:-1:abc:12x"})");
    EXPECT_EQ(wide.cfg.chip_freq[0][0], 70000 & 0xFFFF);
    EXPECT_EQ(wide.cfg.chip_freq[0][1], 0xFFFF);
    EXPECT_EQ(wide.cfg.chip_freq[0][2], 0) << "a field without digits still takes a position";
    EXPECT_EQ(wide.cfg.chip_freq[0][3], 12);
}

miner_config sample() {
    miner_config c = defaults();
    c.pool_count = 2;
    c.pools[0] = {"stratum+tcp://a.example:3333", "w1", "x", false};
    c.pools[1] = {"stratum+tcp://b.example:443", "w2", "y", false};
    c.api_network = false;
    c.fan_ctrl = c.silentstart = c.asicboost = c.autodownscale = c.autodownscale_reboot = true;
    c.autodownscale_watch = c.autodownscale_watchtimer = true;
    c.fan_pwm = 80;
    c.target_temp = 75;
    c.chain_freq[1] = 700;
    c.chain_voltage[2] = 880;
    c.chip_freq[0][0] = 725;
    c.chip_freq[2][62] = 600;
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
    const std::string expected =
        "{\n\"pools\": [\n{\n\"url\" : \"stratum+tcp://a.example:3333\",\n\"user\" : \"w1\",\n"
        "\"pass\" : \"x\"\n},\n{\n\"url\" : \"stratum+tcp://b.example:443\",\n\"user\" : \"w2\",\n"
        "\"pass\" : \"y\"\n}\n],\n\"api-listen\": true,\n\"api-network\": false,\n"
        "\"api-groups\" : \"A:stats:pools:devs:summary:version\",\n\"api-allow\" : \"W:0/0\",\n"
        "\"bitmain-fan-pwm\" : \"150\",\n\"bitmain-fan-rpm-off\" : \"0\",\n"
        "\"bitmain-fan-ctrl\": true,\n\"bitmain-silentstart\": true,\n"
        "\"bitmain-target-temp\" : \"75\",\n\"bitmain-freq\" : \"650\",\n"
        "\"bitmain-voltage\" : \"890\",\n\"bitmain-freq1\" : \"0\",\n\"bitmain-freq2\" : \"700\",\n"
        "\"bitmain-freq3\" : \"0\",\n\"bitmain-voltage1\" : \"0\",\n\"bitmain-voltage2\" : \"0\",\n"
        "\"bitmain-voltage3\" : \"880\",\n\"bitmain-use-vil\": true,\n\"multi-version\" : \"12\",\n"
        "\"asicboost\": true,\n\"bitmain-autodownscale-profile\" : \"0\",\n"
        "\"bitmain-autodownscale-timer\" : \"0\",\n\"bitmain-autodownscale-hw\" : \"0\",\n"
        "\"bitmain-autodownscale-prec\" : \"120\",\n\"bitmain-autodownscale-min\" : \"400\",\n"
        "\"bitmain-autodownscale-step\" : \"2\",\n\"bitmain-autodownscale-after\" : \"2\",\n"
        "\"bitmain-autodownscale\": true,\n\"bitmain-autodownscale-watch\": true,\n"
        "\"bitmain-autodownscale-watchtimer\": true,\n\"bitmain-autodownscale-reboot\": true,\n"
        "\"bitmain-chip-freq\" : \"725:" +
        chip_list(187, "0") +
        ":600\",\n\"bitmain-minhr\" : \"0\",\n\"bitmain-maxx\" : \"0\",\n"
        "\"bitmain-trigger-reboot\" : \"0\",\n\"bitmain-tempoff\" : \"98\",\n"
        "\"altdfno\" : \"-3\"\n}";
    miner_config over_caps = sample();  // as a setter stores them: written unsigned
    over_caps.fan_pwm = 150, over_caps.autodownscale_prec = 120, over_caps.multi_version = 12;
    EXPECT_EQ(format(over_caps), expected);

    // The keys left out when false or 0 are test_config_exchange.py's.
    EXPECT_TRUE(has(format(zeroed<miner_config>()), "\"pools\": [],\n\"api-listen\": false,\n"));
}

// Five-digit chip values do not fit the 1023 characters the reader takes: the list
// ends at a whole value, so nothing reads back as a different frequency.
TEST(MinerConfigWrite, OverlongChipListEndsAtAWholeValue) {
    miner_config c = defaults();
    for (auto &chain : c.chip_freq)
        std::fill(std::begin(chain), std::end(chain), 54321);
    auto r = parse(format(c));
    int kept = 0;
    for (const auto &chain : r.cfg.chip_freq) {
        for (uint16_t f : chain) {
            ASSERT_TRUE(f == 54321 || f == 0) << "read back as " << f;
            kept += f == 54321;
        }
    }
    EXPECT_EQ(kept, 170) << "170 six-character fields fill 1019 characters";
}

class MinerConfigFile : public testing::Test {
  protected:
    TempDir dir_;
    std::string file_ = dir_ / "bmminer.conf";
};

TEST_F(MinerConfigFile, UnusableFilesLeaveTheRecordAlone) {
    for (const char *text : {static_cast<const char *>(nullptr), "{}{}", "[1, 2]"}) {
        if (text)
            std::ofstream(file_) << text;
        miner_config cfg;
        memset(&cfg, kPoison, sizeof cfg);
        const std::string err =
            errors_of([&] { EXPECT_EQ(miner_config_load(file_.c_str(), &cfg), -1); });
        EXPECT_TRUE(has(err, text && *text == '[' ? "ERROR: Root element must be an object\n"
                                                  : "ERROR: Failed to load " + file_ + " - "))
            << err;
        EXPECT_TRUE(filled_with(cfg, kPoison)) << err;
    }
}

TEST_F(MinerConfigFile, SavesAreWholeAndFailedSavesKeepTheOldFile) {
    std::ofstream(file_) << R"({"pools": [{"url": "u", "user": "w", "pass": "p", "extra": 1}],
                               "bitmain-freq": "600", "old-key": "dropped"})";
    miner_config first, second;
    ASSERT_EQ(miner_config_load(file_.c_str(), &first), 0);
    ASSERT_EQ(miner_config_save(file_.c_str(), &first), 0);
    const std::string saved = slurp(file_);
    EXPECT_EQ(saved, format(first)) << "only the record's keys are written";
    ASSERT_EQ(miner_config_load(file_.c_str(), &second), 0);
    EXPECT_TRUE(same(first, second));
    EXPECT_EQ(dir_.entries(), 1) << "no temporary left";

    miner_config c = sample();
    c.pool_count = 3;
    std::string err;
    // Not UTF-8, or a text the reader had to cut: the pool cannot be written.
    for (const miner_pool &pool :
         {miner_pool{"u", "w", "\xff\xfe", false}, miner_pool{"u", "w", "p", true}}) {
        c.pools[2] = pool;
        err = errors_of([&] { EXPECT_EQ(miner_config_save(file_.c_str(), &c), -1); });
        EXPECT_TRUE(has(err, "ERROR: Failed to compose pool #3\n")) << err;
        EXPECT_EQ(slurp(file_), saved);
    }

    c.pool_count = 2;
    const std::string missing_dir = dir_ / "nope/bmminer.conf";
    err = errors_of([&] { EXPECT_EQ(miner_config_save(missing_dir.c_str(), &c), -1); });
    EXPECT_TRUE(has(err, "ERROR: Failed to open config file: " + missing_dir + "\n")) << err;
}

}  // namespace
