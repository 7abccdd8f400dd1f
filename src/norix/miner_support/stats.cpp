#include "norix/miner_support/stats.h"

#include <cassert>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "cgminer_api.h"
#include "common/json_ptr.h"
#include "common/paths.h"
#include "log.h"
#include "util.h"

namespace {

constexpr int kDefaultFans = 2;

// A chip of one of the board's chains.
bool on_board(uint32_t chain, uint32_t chip) {
    return miner_chain_on_board(chain) && chip >= 1 && chip <= kMinerChainChips;
}

template <typename T>
std::unique_ptr<T> zeroed() {
    auto record = std::make_unique<T>();
    memset(record.get(), 0, sizeof(T));
    return record;
}

// A count the miner reports, or the fallback (with its warning) when it is
// missing or not an integer; kept within 0..limit.
int read_count(json_t *stats, const char *key, int fallback, int limit, const char *warning) {
    json_t *value = json_object_get(stats, key);
    if (!json_is_integer(value)) {
        LOG_WARN("%s", warning);
        return fallback;
    }
    json_int_t n = json_integer_value(value);
    if (n < 0)
        return 0;
    return n > limit ? limit : static_cast<int>(n);
}

// "chain_rate%d" is the one figure the miner sends as text.
double rate_from_text(const char *text) {
    double v = strtod(text, nullptr);
    return std::isfinite(v) ? v : 0.0;
}

bool chain_stats_present(const chain_stats &c) {
    constexpr double kEps = 0.0001;
    return c.chips > 0 || std::fabs(c.hash_rate) > kEps || std::fabs(c.freq_avg) > kEps ||
           std::fabs(c.voltage) > kEps || std::fabs(c.consumption) > kEps || c.hw_errors > 0 ||
           c.chip_temp > 0 || c.pcb_temp > 0;
}

bool fan_stats_present(const fan_stats &f) {
    return f.speed > 0 || f.rpm > 0;
}

void parse_chains(json_t *stats, miner_stats *record) {
    const int wanted = read_count(stats, "miner_count", kMinerChains, kStatsChainSlots,
                                  "Unable to parse the number of chains\n");
    chain_stats slots[kStatsChainSlots];
    memset(slots, 0, sizeof slots);
    for (int n = 1; n <= kStatsChainSlots; ++n) {
        char acn[24], rate[24], freq[24], vol[24], temp[24], temp2[24], hw[24], cons[32];
        snprintf(acn, sizeof acn, "chain_acn%d", n);
        snprintf(rate, sizeof rate, "chain_rate%d", n);
        snprintf(freq, sizeof freq, "freq_avg%d", n);
        snprintf(vol, sizeof vol, "chain_vol%d", n);
        snprintf(temp, sizeof temp, "temp%d", n);
        snprintf(temp2, sizeof temp2, "temp2_%d", n);
        snprintf(hw, sizeof hw, "chain_hw%d", n);
        snprintf(cons, sizeof cons, "chain_consumption%d", n);

        chain_stats &c = slots[n - 1];
        const char *rate_text = nullptr;
        int volts = 0;
        double consumption = 0.0;
        // "i" wants an int and "F" a double: the widths must match exactly.
        if (json_unpack(stats, "{si,ss,sf,s?i,si,si,si,s?F}", acn, &c.chips, rate, &rate_text, freq,
                        &c.freq_avg, vol, &volts, temp, &c.pcb_temp, temp2, &c.chip_temp, hw,
                        &c.hw_errors, cons, &consumption) != 0) {
            LOG_WARN("Couldn't parse data for chain %d\n", n);
            memset(&c, 0, sizeof c);
            continue;
        }
        if (c.chip_temp > record->temp_max)
            record->temp_max = c.chip_temp;
        c.voltage = volts / 100.0;
        c.hash_rate = rate_from_text(rate_text);
        c.consumption = consumption;
        c.id = chain_stats_present(c) ? static_cast<uint32_t>(n) : 0;
    }
    int copied = 0;
    for (const chain_stats &c : slots) {
        if (copied >= wanted)
            break;
        if (c.id == 0)
            continue;
        record->chains[copied++] = c;
        record->consumption += c.consumption;
        record->hw_errors += c.hw_errors;
    }
    record->chain_count = copied;
}

void parse_fans(json_t *stats, miner_stats *record) {
    int wanted = read_count(stats, "fan_num", kDefaultFans, kStatsFanSlots,
                            "Unable to parse the number of fans\n");
    // The record has room for two fans whatever the miner claims.
    if (wanted > kStatsMaxFans)
        wanted = kStatsMaxFans;
    fan_stats slots[kStatsFanSlots];
    memset(slots, 0, sizeof slots);
    for (int n = 1; n <= kStatsFanSlots; ++n) {
        char key[16];
        snprintf(key, sizeof key, "fan%d", n);
        fan_stats &f = slots[n - 1];
        if (json_unpack(stats, "{si}", key, &f.rpm) != 0) {
            LOG_WARN("Failed to parse data for fan %d\n", n);
            memset(&f, 0, sizeof f);
            continue;
        }
        int64_t speed = static_cast<int64_t>(f.rpm) * 100 / 6000;
        f.speed = speed >= 100 ? 100 : static_cast<int32_t>(speed);
        f.id = fan_stats_present(f) ? static_cast<uint32_t>(n) : 0;
    }
    int copied = 0;
    for (const fan_stats &f : slots) {
        if (copied >= wanted)
            break;
        if (f.id != 0)
            record->fans[copied++] = f;
    }
    record->fan_count = copied;
}

pool_stats *pool_target(pools_stats *record, size_t position, const char *url, const char *status,
                        int priority) {
    if (priority >= 900 && strncmp(url, "DevFee", 6) == 0) {
        // Room for four; any further service-fee pool is not reported.
        if (record->svc_fee_count >= kStatsMaxSvcFeePools)
            return nullptr;
        return &record->svc_fee[record->svc_fee_count++];
    }
    if (strlen(url) < 3 && strcmp(status, "Dead") == 0)
        return nullptr;  // an empty slot
    switch (position) {
        case 0:
            return &record->main;
        case 1:
            return &record->reserved;
        case 2:
            return &record->reserved2;
        default:
            return nullptr;
    }
}

pool_state pool_status(const char *status, bool stratum_active) {
    if (strcmp(status, "Alive") == 0)
        return stratum_active ? POOL_STATE_ACTIVE : POOL_STATE_ALIVE;
    if (strcmp(status, "Dead") == 0)
        return POOL_STATE_DEAD;
    LOG_WARN("Unknown pool status: %s\n", status);
    return POOL_STATE_UNKNOWN;
}

}  // namespace

std::unique_ptr<miner_stats> miner_stats_from_reply(json_t *reply) {
    assert(reply);
    json_t *first = nullptr;
    json_t *stats = nullptr;
    json_error_t error;
    if (json_unpack_ex(reply, &error, 0, "{s[o,o!]}", "STATS", &first, &stats) != 0) {
        LOG_ERROR("Failed to unpack STATS from api response: %s\n", error.text);
        return nullptr;
    }
    auto record = zeroed<miner_stats>();
    double total_rate = 0.0;
    double ghs_av = 0.0;
    if (json_unpack(stats, "{sf,sf,sf,si}", "total_rate", &total_rate, "GHS av", &ghs_av,
                    "total_freqavg", &record->freq_avg, "temp_max", &record->temp_max) != 0) {
        LOG_ERROR("Failed to unpack global metrics\n");
        return nullptr;
    }
    // The average is the steadier figure unless it is far below the total.
    record->hash_rate = 2 * ghs_av < total_rate ? ghs_av : total_rate;
    parse_chains(stats, record.get());
    parse_fans(stats, record.get());
    record->timestamp = time(nullptr);
    return record;
}

std::unique_ptr<pools_stats> pools_stats_from_reply(json_t *reply) {
    assert(reply);
    json_t *pools = nullptr;
    json_error_t error;
    if (json_unpack_ex(reply, &error, 0, "{so}", "POOLS", &pools) != 0) {
        LOG_ERROR("Failed to unpack POOLS from api response: %s\n", error.text);
        return nullptr;
    }
    if (!json_is_array(pools)) {
        LOG_ERROR("POOLS must be an array object\n");
        return nullptr;
    }
    auto record = zeroed<pools_stats>();
    for (size_t i = 0; i < json_array_size(pools); ++i) {
        json_t *item = json_array_get(pools, i);
        if (item == nullptr)
            break;
        const char *url = nullptr;
        const char *status = nullptr;
        int priority = 0;
        json_int_t accepted = 0, rejected = 0, stale = 0;
        const char *diff = nullptr;
        int stratum_active = 0;
        const char *boost = nullptr;
        // "I" wants json_int_t (64-bit even on 32-bit ARM), "i" and "b" an int.
        if (json_unpack_ex(item, &error, 0, "{ss,ss,si,sI,sI,sI,ss,sb,ss}", "URL", &url, "Status",
                           &status, "Priority", &priority, "Accepted", &accepted, "Rejected",
                           &rejected, "Stale", &stale, "Diff", &diff, "Stratum Active",
                           &stratum_active, "Boost", &boost) != 0) {
            LOG_WARN("Failed to parse pool #%d stats: %s\n", static_cast<int>(i), error.text);
            continue;
        }
        pool_stats *target = pool_target(record.get(), i, url, status, priority);
        if (target == nullptr)
            continue;
        target->asic_boost = strcmp(boost, "AsicBoost") == 0;
        copy_cut(target->diff, diff[0] != '\0' ? diff : "0");
        target->accepted = accepted;
        target->rejected = rejected;
        target->stale = stale;
        target->status = pool_status(status, stratum_active != 0);
    }
    return record;
}

uint16_t chip_hashrate(uint32_t chain, uint32_t chip, json_t *chiphr) {
    assert(on_board(chain, chip));
    if (!json_is_array(chiphr))
        return 0;
    json_t *chips = json_array_get(chiphr, chain - kMinerFirstChain);
    if (!json_is_object(chips))
        return 0;
    char key[16];
    snprintf(key, sizeof key, "Asic%02u", chip - 1);
    json_t *value = json_object_get(chips, key);
    if (!json_is_string(value))
        return 0;
    return static_cast<uint16_t>(miner_config_text_to_int(json_string_value(value)));
}

uint16_t chip_freq(uint32_t chain, uint32_t chip, const miner_config *cfg) {
    assert(cfg && on_board(chain, chip));
    const uint32_t c = chain - kMinerFirstChain;
    if (uint16_t own = cfg->chip_freq[c][chip - 1])
        return own;
    return cfg->chain_freq[c] != 0 ? cfg->chain_freq[c] : cfg->freq;
}

bool chip_custom_freq(uint32_t chain, uint32_t chip, const miner_config *cfg) {
    assert(cfg && on_board(chain, chip));
    return cfg->chip_freq[chain - kMinerFirstChain][chip - 1] != 0;
}

enum chip_state chip_state(uint16_t hashrate, uint16_t freq) {
    if (hashrate == 0)
        return CHIP_STATE_UNKNOWN;
    // One chip makes 0.114 GH/s per MHz. A zero frequency makes the ratio
    // infinite, which is unstable.
    const double expected = freq * 114 / 1000.0;
    const double ratio = hashrate / expected;
    if (ratio >= 0.85 && ratio < 2.5)
        return CHIP_STATE_FAST;
    if (ratio >= 0.5 && ratio < 0.85)
        return CHIP_STATE_SLOW;
    return CHIP_STATE_UNSTABLE;
}

std::unique_ptr<chips_stats> chips_stats_from(uint32_t chain, const miner_config *cfg,
                                              json_t *chiphr) {
    assert(cfg && miner_chain_on_board(chain));
    auto record = zeroed<chips_stats>();
    record->chain = chain;
    for (uint32_t chip = 1; chip <= kMinerChainChips; ++chip) {
        chip_stats &s = record->chips[chip - 1];
        s.id = chip;
        s.hashrate = chip_hashrate(chain, chip, chiphr);
        s.freq = chip_freq(chain, chip, cfg);
        s.custom_freq = chip_custom_freq(chain, chip, cfg);
        s.state = chip_state(s.hashrate, s.freq);
    }
    return record;
}

std::unique_ptr<miner_stats> cgminer_stats() {
    json_ptr reply = cgminer_api_call_cmd("stats", kMinerApiHost, kMinerApiPort);
    if (!reply)
        return nullptr;
    return miner_stats_from_reply(reply.get());
}

std::unique_ptr<pools_stats> cgminer_pools_stats() {
    json_ptr reply = cgminer_api_call_cmd("pools", kMinerApiHost, kMinerApiPort);
    if (!reply)
        return nullptr;
    return pools_stats_from_reply(reply.get());
}

std::unique_ptr<chips_stats> cgminer_chips_stats(uint32_t chain) {
    miner_config cfg;
    if (miner_config_load(paths::kMinerConfig, &cfg) != 0) {
        LOG_ERROR("Failed to load cgminer config from %s\n", paths::kMinerConfig);
        return nullptr;
    }
    json_error_t error;
    json_ptr dump(json_load_file(paths::kChipHashrates, 0, &error));
    if (!dump)
        LOG_WARN("Failed to load chip hash rates from %s\n", paths::kChipHashrates);
    json_t *chiphr = nullptr;
    if (!dump || json_unpack(dump.get(), "{so}", "chiphr", &chiphr) != 0) {
        LOG_WARN("Failed to parse chip hash rates from dump\n");
        chiphr = nullptr;
    }
    return chips_stats_from(chain, &cfg, chiphr);
}
