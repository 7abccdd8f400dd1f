#include "norix/miner_config.h"

#include <cassert>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>
#include <optional>

#include "common/atomic_file.h"
#include "common/json_file.h"
#include "common/json_ptr.h"
#include "log.h"
#include "util.h"

std::mutex miner_config_file_lock;
std::atomic<bool> miner_config_saving{false};

// Saturates instead of overflowing so that absurd values stay defined.
int32_t miner_config_text_to_int(const char *text) {
    const char *p = text;
    bool negative = false;
    if (*p == '+' || *p == '-')
        negative = *p++ == '-';
    int64_t value = 0;
    for (; *p >= '0' && *p <= '9'; ++p) {
        if (value <= static_cast<int64_t>(INT32_MAX) + 1)
            value = value * 10 + (*p - '0');
    }
    if (negative)
        value = -value;
    if (value > INT32_MAX)
        return INT32_MAX;
    if (value < INT32_MIN)
        return INT32_MIN;
    return static_cast<int32_t>(value);
}

namespace {

constexpr const char *kDefaultApiGroups = "A:stats:pools:devs:summary:version";
constexpr const char *kDefaultApiAllow = "W:0/0";
constexpr int kChipPositions = kMinerChains * kMinerChainChips;
// The chip list travels through a 1024-byte buffer on both sides.
constexpr size_t kChipListBuffer = 1024;

// ---- reading -------------------------------------------------------------

int32_t text_to_int(const char *text) {
    return miner_config_text_to_int(text);
}

// Low 8 bits, except that values from cap on become cap; *negative marks a
// negative number in the file.
uint8_t capped_u8_from_text(const char *text, uint8_t cap, bool *negative) {
    int32_t v = text_to_int(text);
    *negative = v < 0;
    return v >= cap ? cap : static_cast<uint8_t>(v);
}

uint16_t u16_from_text(const char *text) {
    return static_cast<uint16_t>(text_to_int(text));
}

int parse_pools(json_t *pools, miner_config *config) {
    config->pool_count = 0;
    if (!json_is_array(pools)) {
        LOG_ERROR("Pools parsing failed, pools must be an array\n");
        return -1;
    }
    for (size_t i = 0; i < json_array_size(pools) && i < kMinerPoolSlots; ++i) {
        json_t *item = json_array_get(pools, i);
        const char *url = nullptr;
        const char *user = nullptr;
        const char *pass = nullptr;
        if (json_unpack(item, "{ss,ss,ss}", "url", &url, "user", &user, "pass", &pass) != 0) {
            c_str_ptr text(json_dumps(item, JSON_INDENT(2) | JSON_ENCODE_ANY));
            LOG_WARN("Failed to parse pool params:\n%s\n", text ? text.get() : "");
            continue;
        }
        miner_pool &slot = config->pools[config->pool_count++];
        copy_cut(slot.url, url);
        copy_cut(slot.user, user);
        copy_cut(slot.pass, pass);
        slot.cut = strlen(url) > kMinerPoolTextMax || strlen(user) > kMinerPoolTextMax ||
                   strlen(pass) > kMinerPoolTextMax;
    }
    return 0;
}

void set_api_defaults(miner_config *config) {
    config->api_listen = true;
    config->api_network = true;
    copy_cut(config->api_groups, kDefaultApiGroups);
    copy_cut(config->api_allow, kDefaultApiAllow);
}

int parse_api_settings(json_t *root, miner_config *config) {
    int listen = 1;
    int network = 1;
    const char *groups = kDefaultApiGroups;
    const char *allow = kDefaultApiAllow;
    json_error_t error;
    if (json_unpack_ex(root, &error, 0, "{s?b,s?b,s?s,s?s}", "api-listen", &listen, "api-network",
                       &network, "api-groups", &groups, "api-allow", &allow) != 0) {
        LOG_ERROR("Failed to parse cgminer API settings - %s\n", error.text);
        LOG_INFO("Resetting API settings to defaults\n");
        set_api_defaults(config);
        return 0;
    }
    config->api_listen = listen != 0;
    config->api_network = network != 0;
    copy_cut(config->api_groups, groups);
    copy_cut(config->api_allow, allow);
    return 0;
}

int parse_fan_settings(json_t *root, miner_config *config) {
    int ctrl = 0;
    const char *pwm = "0";
    const char *rpm_off = "0";
    int silent = 0;
    const char *target = "0";
    json_error_t error;
    if (json_unpack_ex(root, &error, 0, "{s?b,s?s,s?s,s?b,s?s}", "bitmain-fan-ctrl", &ctrl,
                       "bitmain-fan-pwm", &pwm, "bitmain-fan-rpm-off", &rpm_off,
                       "bitmain-silentstart", &silent, "bitmain-target-temp", &target) != 0) {
        LOG_ERROR("Failed to parse fan settings - %s\n", error.text);
        LOG_INFO("Resetting fan settings to defaults\n");
        config->fan_ctrl = false;
        config->fan_pwm = 0;
        config->fan_rpm_off = false;
        config->silentstart = false;
        config->target_temp = 0;
        return 0;
    }
    config->fan_ctrl = ctrl != 0;
    config->fan_pwm = capped_u8_from_text(pwm, 100, &config->fan_pwm_negative);
    config->fan_rpm_off = strcmp(rpm_off, "1") == 0;
    config->silentstart = silent != 0;
    int32_t temp = text_to_int(target);
    config->target_temp = temp < 0 ? 0 : temp;
    return 0;
}

int parse_chain_freq_volt_settings(json_t *root, miner_config *config) {
    const char *freq[kMinerChains] = {"0", "0", "0"};
    const char *volt[kMinerChains] = {"0", "0", "0"};
    json_error_t error;
    if (json_unpack_ex(root, &error, 0, "{s?s,s?s,s?s,s?s,s?s,s?s}", "bitmain-freq1", &freq[0],
                       "bitmain-freq2", &freq[1], "bitmain-freq3", &freq[2], "bitmain-voltage1",
                       &volt[0], "bitmain-voltage2", &volt[1], "bitmain-voltage3", &volt[2]) != 0) {
        LOG_ERROR("Failed to parse chain freq and volt settings - %s\n", error.text);
        return -1;
    }
    for (int i = 0; i < kMinerChains; ++i) {
        config->chain_freq[i] = u16_from_text(freq[i]);
        config->chain_voltage[i] = u16_from_text(volt[i]);
    }
    return 0;
}

int parse_freq_volt_settings(json_t *root, miner_config *config) {
    const char *freq = "650";
    const char *voltage = "890";
    json_error_t error;
    if (json_unpack_ex(root, &error, 0, "{s?s,s?s}", "bitmain-freq", &freq, "bitmain-voltage",
                       &voltage) != 0) {
        LOG_ERROR("Failed to parse global freq and volt settings - %s\n", error.text);
        return -1;
    }
    config->freq = u16_from_text(freq);
    config->voltage = u16_from_text(voltage);
    return parse_chain_freq_volt_settings(root, config);
}

int parse_asicboost_settings(json_t *root, miner_config *config) {
    int use_vil = 1;
    int asicboost = 0;
    const char *multi_version = "1";
    json_error_t error;
    if (json_unpack_ex(root, &error, 0, "{s?b,s?b,s?s}", "bitmain-use-vil", &use_vil, "asicboost",
                       &asicboost, "multi-version", &multi_version) != 0) {
        LOG_ERROR("Failed to parse asic boost settings - %s\n", error.text);
        return -1;
    }
    config->use_vil = use_vil != 0;
    config->asicboost = asicboost != 0;
    config->multi_version = capped_u8_from_text(multi_version, 10, &config->multi_version_negative);
    return 0;
}

int parse_autotune_settings(json_t *root, miner_config *config) {
    const char *profile = "0";
    int enabled = 0;
    int watch = 0;
    int watchtimer = 0;
    const char *timer = "0";
    const char *hw = "0";
    const char *prec = "75";
    const char *min = "400";
    const char *step = "2";
    const char *after = "2";
    int reboot = 0;
    if (json_unpack(root, "{s?s,s?b,s?b,s?b,s?s,s?s,s?s,s?s,s?s,s?s,s?b}",
                    "bitmain-autodownscale-profile", &profile, "bitmain-autodownscale", &enabled,
                    "bitmain-autodownscale-watch", &watch, "bitmain-autodownscale-watchtimer",
                    &watchtimer, "bitmain-autodownscale-timer", &timer, "bitmain-autodownscale-hw",
                    &hw, "bitmain-autodownscale-prec", &prec, "bitmain-autodownscale-min", &min,
                    "bitmain-autodownscale-step", &step, "bitmain-autodownscale-after", &after,
                    "bitmain-autodownscale-reboot", &reboot) != 0) {
        LOG_ERROR("Failed to parse autotune settings\n");
        return -1;
    }
    config->autodownscale_profile = static_cast<uint8_t>(text_to_int(profile));
    config->autodownscale = enabled != 0;
    config->autodownscale_watch = watch != 0;
    config->autodownscale_watchtimer = watchtimer != 0;
    config->autodownscale_timer = text_to_int(timer);
    config->autodownscale_hw = text_to_int(hw);
    config->autodownscale_prec =
        capped_u8_from_text(prec, 100, &config->autodownscale_prec_negative);
    config->autodownscale_min = u16_from_text(min);
    config->autodownscale_step = text_to_int(step);
    config->autodownscale_after = text_to_int(after);
    config->autodownscale_reboot = reboot != 0;
    return 0;
}

// "f1:f2:...": chain-major, 63 chips per chain; empty fields take no position.
void parse_chip_freq_list(const char *list, miner_config *config) {
    char buf[kChipListBuffer];
    copy_cut(buf, list);
    int position = 0;
    char *save = nullptr;
    for (char *field = strtok_r(buf, ":", &save); field && position < kChipPositions;
         field = strtok_r(nullptr, ":", &save)) {
        config->chip_freq[position / kMinerChainChips][position % kMinerChainChips] =
            u16_from_text(field);
        ++position;
    }
}

int parse_chip_freq_settings(json_t *root, miner_config *config) {
    const char *list = nullptr;
    if (json_unpack(root, "{s?s}", "bitmain-chip-freq", &list) != 0) {
        LOG_ERROR("Failed to parse chip frequencies\n");
        return -1;
    }
    if (list)
        parse_chip_freq_list(list, config);
    return 0;
}

int parse_watchdog_settings(json_t *root, miner_config *config) {
    const char *minhr = "0";
    const char *maxx = "0";
    const char *tempoff = "0";
    const char *trigger = "0";
    if (json_unpack(root, "{s?s,s?s,s?s,s?s}", "bitmain-minhr", &minhr, "bitmain-maxx", &maxx,
                    "bitmain-tempoff", &tempoff, "bitmain-trigger-reboot", &trigger) != 0) {
        LOG_ERROR("Failed to parse watchdog settings\n");
        return -1;
    }
    config->minhr = text_to_int(minhr);
    config->maxx = text_to_int(maxx);
    config->tempoff = text_to_int(tempoff);
    config->trigger_reboot = text_to_int(trigger);
    return 0;
}

int parse_misc_settings(json_t *root, miner_config *config) {
    const char *altdfno = "0";
    if (json_unpack(root, "{s?s}", "altdfno", &altdfno) != 0) {
        LOG_ERROR("Failed to parse misc settings\n");
        return -1;
    }
    config->altdfno = text_to_int(altdfno);
    return 0;
}

// Local name kept for the miner file; the agent file has its own parse_config.
int parse_config(json_t *root, miner_config *config) {
    assert(root && config);
    if (!json_is_object(root)) {
        LOG_ERROR("Root element must be an object\n");
        return -1;
    }
    // Whole record, text tails included: pool slots are compared byte for byte.
    memset(config, 0, sizeof *config);
    if (json_t *pools = json_object_get(root, "pools")) {
        if (parse_pools(pools, config) != 0)
            return -1;
    }
    using section_parser = int (*)(json_t *, miner_config *);
    // A failing section leaves itself and every later one zero.
    static constexpr section_parser kSections[] = {
        parse_api_settings,       parse_fan_settings,      parse_freq_volt_settings,
        parse_asicboost_settings, parse_autotune_settings, parse_chip_freq_settings,
        parse_watchdog_settings,  parse_misc_settings,
    };
    for (section_parser parse : kSections) {
        if (parse(root, config) != 0)
            return -1;
    }
    return 0;
}

// ---- writing -------------------------------------------------------------

// Decimal text in a buffer of N bytes: longer text is cut. The settings that are
// 32 bits wide get room for every value they can hold, so that a save never
// writes back a different number than the one it read.
template <size_t N>
struct decimal {
    char text[N];
    explicit decimal(long long value) {
        char full[24];
        snprintf(full, sizeof full, "%lld", value);
        copy_cut(text, full);
    }
};
using dec_int = decimal<12>;  // "-2147483648" and its terminator
using dec5 = decimal<5>;

// A capped 8-bit setting is written as its unsigned value, unless the file held a
// negative number for it: that number again (the reader keeps its low 8 bits).
long long capped_u8(uint8_t value, bool negative) {
    return negative ? value - 256 : value;
}

// Merges a section object into the root; the section reference is consumed.
int merge_section(json_t *root, json_t *section) {
    json_ptr owner(section);
    if (json_object_update(root, section) != 0) {
        LOG_ERROR("Failed to update root object\n");
        return -1;
    }
    return 0;
}

int set_true(json_t *section, const char *key) {
    return json_object_set_new(section, key, json_true());
}

int build_pools_array(json_t *pools, const miner_config *config) {
    if (!json_is_array(pools)) {
        LOG_ERROR("Pools must be a json array object\n");
        return -1;
    }
    const int count = config->pool_count < kMinerPoolSlots ? config->pool_count : kMinerPoolSlots;
    for (int i = 0; i < count; ++i) {
        const miner_pool &p = config->pools[i];
        json_t *item =
            p.cut ? nullptr : json_pack("{ss,ss,ss}", "url", p.url, "user", p.user, "pass", p.pass);
        if (item == nullptr || json_array_append_new(pools, item) != 0) {
            LOG_ERROR("Failed to compose pool #%d\n", i + 1);
            return -1;
        }
    }
    return 0;
}

int build_api_settings(json_t *root, const miner_config *config) {
    json_t *section = json_pack("{sb,sb,ss,ss}", "api-listen", static_cast<int>(config->api_listen),
                                "api-network", static_cast<int>(config->api_network), "api-groups",
                                config->api_groups, "api-allow", config->api_allow);
    if (section == nullptr) {
        LOG_ERROR("Failed to build cgminer API settings object\n");
        return -1;
    }
    return merge_section(root, section);
}

int build_fan_settings(json_t *root, const miner_config *config) {
    json_t *section = json_pack("{ss,ss}", "bitmain-fan-pwm",
                                dec5(capped_u8(config->fan_pwm, config->fan_pwm_negative)).text,
                                "bitmain-fan-rpm-off", config->fan_rpm_off ? "1" : "0");
    if (section == nullptr) {
        LOG_ERROR("Failed to build fan settings object\n");
        return -1;
    }
    if (config->fan_ctrl)
        set_true(section, "bitmain-fan-ctrl");
    if (config->silentstart)
        set_true(section, "bitmain-silentstart");
    if (config->target_temp != 0)
        json_object_set_new(section, "bitmain-target-temp",
                            json_string(dec_int(config->target_temp).text));
    return merge_section(root, section);
}

int build_freq_volt_settings(json_t *root, const miner_config *config) {
    json_t *section = json_pack(
        "{ss,ss,ss,ss,ss,ss,ss,ss}", "bitmain-freq", dec_int(config->freq).text, "bitmain-voltage",
        dec_int(config->voltage).text, "bitmain-freq1", dec_int(config->chain_freq[0]).text,
        "bitmain-freq2", dec_int(config->chain_freq[1]).text, "bitmain-freq3",
        dec_int(config->chain_freq[2]).text, "bitmain-voltage1",
        dec_int(config->chain_voltage[0]).text, "bitmain-voltage2",
        dec_int(config->chain_voltage[1]).text, "bitmain-voltage3",
        dec_int(config->chain_voltage[2]).text);
    if (section == nullptr) {
        LOG_ERROR("Failed to build freq and volt settings object\n");
        return -1;
    }
    return merge_section(root, section);
}

int build_asicboost_settings(json_t *root, const miner_config *config) {
    json_t *section =
        json_pack("{sb,ss}", "bitmain-use-vil", static_cast<int>(config->use_vil), "multi-version",
                  dec5(capped_u8(config->multi_version, config->multi_version_negative)).text);
    if (section == nullptr) {
        LOG_ERROR("Failed to build asicboost settings object\n");
        return -1;
    }
    if (config->asicboost)
        set_true(section, "asicboost");
    return merge_section(root, section);
}

int build_autotune_settings(json_t *root, const miner_config *config) {
    json_t *section = json_pack(
        "{ss,ss,ss,ss,ss,ss,ss}", "bitmain-autodownscale-profile",
        dec_int(config->autodownscale_profile).text, "bitmain-autodownscale-timer",
        dec_int(config->autodownscale_timer).text, "bitmain-autodownscale-hw",
        dec_int(config->autodownscale_hw).text, "bitmain-autodownscale-prec",
        dec_int(capped_u8(config->autodownscale_prec, config->autodownscale_prec_negative)).text,
        "bitmain-autodownscale-min", dec_int(config->autodownscale_min).text,
        "bitmain-autodownscale-step", dec_int(config->autodownscale_step).text,
        "bitmain-autodownscale-after", dec_int(config->autodownscale_after).text);
    if (section == nullptr) {
        LOG_ERROR("Failed to build autotune setting object\n");
        return -1;
    }
    if (config->autodownscale)
        set_true(section, "bitmain-autodownscale");
    if (config->autodownscale_watch)
        set_true(section, "bitmain-autodownscale-watch");
    if (config->autodownscale_watchtimer)
        set_true(section, "bitmain-autodownscale-watchtimer");
    if (config->autodownscale_reboot)
        set_true(section, "bitmain-autodownscale-reboot");
    return merge_section(root, section);
}

// 189 values joined by ':'. The reader keeps only 1023 characters, so the list
// ends at the last whole value that fits: a value cut in the middle would read
// back as a different frequency, a missing one as "inherit the chain's".
int build_chip_freq_setting(json_t *root, const miner_config *config) {
    char list[kChipListBuffer];
    size_t len = 0;
    for (int pos = 0; pos < kChipPositions; ++pos) {
        char value[8];
        int n = snprintf(value, sizeof value, "%s%u", pos == 0 ? "" : ":",
                         config->chip_freq[pos / kMinerChainChips][pos % kMinerChainChips]);
        if (len + static_cast<size_t>(n) >= sizeof list)
            break;
        memcpy(list + len, value, static_cast<size_t>(n));
        len += static_cast<size_t>(n);
    }
    list[len] = '\0';
    return json_object_set_new(root, "bitmain-chip-freq", json_string(list));
}

int build_watchdog_settings(json_t *root, const miner_config *config) {
    json_t *section = json_pack("{ss,ss,ss}", "bitmain-minhr", dec_int(config->minhr).text,
                                "bitmain-maxx", dec_int(config->maxx).text,
                                "bitmain-trigger-reboot", dec_int(config->trigger_reboot).text);
    if (section == nullptr) {
        LOG_ERROR("Failed to build watchdog settings object\n");
        return -1;
    }
    if (config->tempoff != 0)
        json_object_set_new(section, "bitmain-tempoff", json_string(dec_int(config->tempoff).text));
    return merge_section(root, section);
}

int build_misc_settings(json_t *root, const miner_config *config) {
    json_object_set_new(root, "altdfno", json_string(dec_int(config->altdfno).text));
    return 0;
}

// Length of the JSON string token that starts at text[0] == '"', quotes
// included, or 0 when it does not close on this line.
size_t string_token_length(std::string_view text) {
    for (size_t i = 1; i < text.size(); ++i) {
        if (text[i] == '\\')
            ++i;
        else if (text[i] == '"')
            return i + 1;
    }
    return 0;
}

// The miner file's layout, from the library's indented dump: no indentation, and
// a blank on each side of the colon of every member whose value is a string.
// Works on tokens, so the text of a value is never touched.
std::string miner_config_fixup(std::string_view dump) {
    std::string out;
    out.reserve(dump.size());
    while (!dump.empty()) {
        size_t eol = dump.find('\n');
        std::string_view line = dump.substr(0, eol);
        dump = eol == std::string_view::npos ? std::string_view{} : dump.substr(eol + 1);

        size_t indent = line.find_first_not_of(" \t");
        line.remove_prefix(indent == std::string_view::npos ? line.size() : indent);
        size_t key_len = line.starts_with('"') ? string_token_length(line) : 0;
        if (key_len > 0 && line.substr(key_len).starts_with(": \"")) {
            out.append(line.substr(0, key_len));
            out.append(" : ");
            out.append(line.substr(key_len + 2));
        } else {
            out.append(line);
        }
        if (eol != std::string_view::npos)
            out.push_back('\n');
    }
    return out;
}

}  // namespace

int miner_config_parse(json_t *root, miner_config *config) {
    return parse_config(root, config);
}

int miner_config_load(const char *path, miner_config *config) {
    assert(path && config);
    json_ptr root = load_json_file(path, miner_config_file_lock);
    if (!root)
        return -1;
    return parse_config(root.get(), config);
}

int miner_config_compose(json_t *root, const miner_config *config) {
    assert(root && config);
    json_ptr pools(json_array());
    if (!pools || build_pools_array(pools.get(), config) != 0)
        return -1;
    json_object_set_new(root, "pools", pools.release());

    using section_builder = int (*)(json_t *, const miner_config *);
    static constexpr section_builder kSections[] = {
        build_api_settings,       build_fan_settings,      build_freq_volt_settings,
        build_asicboost_settings, build_autotune_settings, build_chip_freq_setting,
        build_watchdog_settings,  build_misc_settings,
    };
    for (section_builder build : kSections) {
        if (build(root, config) != 0)
            return -1;
    }
    return 0;
}

bool miner_config_format(const miner_config *config, std::string *out) {
    assert(config && out);
    json_ptr root(json_object());
    if (!root || miner_config_compose(root.get(), config) != 0)
        return false;
    c_str_ptr dump(json_dumps(root.get(), JSON_INDENT(2)));
    if (!dump)
        return false;
    *out = miner_config_fixup(dump.get());
    return true;
}

namespace {

// The file the last save put in place. Guarded by miner_config_file_lock.
std::optional<file_version> last_saved;

int miner_config_write(const char *path, const miner_config *config) {
    std::string text;
    file_version written;
    if (!miner_config_format(config, &text) || save_config_file(path, text, &written) != 0)
        return -1;
    last_saved = written;
    return 0;
}

}  // namespace

bool miner_config_is_own_save(const char *path) {
    assert(path);
    std::lock_guard lock(miner_config_file_lock);
    file_version now;
    return last_saved && file_version_at(path, &now) && now == *last_saved;
}

int miner_config_save(const char *path, const miner_config *config) {
    assert(path && config);
    std::lock_guard lock(miner_config_file_lock);
    return miner_config_write(path, config);
}
