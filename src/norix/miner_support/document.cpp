#include "norix/miner_support/document.h"

#include <cassert>
#include <cstdio>
#include <cstring>

#include "common/paths.h"
#include "log.h"

const perf_profile perf_profiles[kPerfProfileCount] = {
    {0, "profile_user"},  {1, "profile_10_0"},  {2, "profile_10_5"},  {3, "profile_11_8"},
    {4, "profile_12_9"},  {5, "profile_13_5"},  {6, "profile_14_0"},  {7, "profile_14_5"},
    {8, "profile_14_7"},  {9, "profile_15_0"},  {10, "profile_15_5"}, {11, "profile_16_0"},
    {12, "profile_16_5"}, {13, "profile_17_0"}, {14, "profile_17_5"}, {15, "profile_18_0"},
};

const char *profile_id_to_profile(uint8_t id) {
    for (const auto &row : perf_profiles) {
        if (row.id == id)
            return row.name;
    }
    return perf_profiles[0].name;
}

uint8_t profile_to_profile_id(const char *name) {
    assert(name);
    for (const auto &row : perf_profiles) {
        // A prefix match: "profile_14_0x" still selects "profile_14_0".
        if (strncmp(row.name, name, strlen(row.name)) == 0)
            return row.id;
    }
    return perf_profiles[0].id;
}

namespace {

// The record keeps hundredths of a volt; the document speaks volts.
double volts(uint16_t hundredths) {
    return hundredths / 100.0;
}

uint16_t effective_chain_freq(const miner_config *cfg, int index) {
    return cfg->chain_freq[index] != 0 ? cfg->chain_freq[index] : cfg->freq;
}

uint16_t effective_chain_voltage(const miner_config *cfg, int index) {
    return cfg->chain_voltage[index] != 0 ? cfg->chain_voltage[index] : cfg->voltage;
}

// A watchdog limit of 0 means "off" and is sent as null.
json_t *watchdog_value(int32_t value) {
    if (value == 0)
        return json_null();
    return json_integer(static_cast<json_int_t>(static_cast<uint32_t>(value)));
}

}  // namespace

json_ptr compose_pool(const miner_pool *pool) {
    assert(pool);
    if (pool->cut)
        return nullptr;  // never shown cut: the service would send the cut text back
    return json_ptr(json_pack("{ss,ss,ss}", "stratum_url", pool->url, "worker", pool->user,
                              "password", pool->pass));
}

json_ptr compose_pools(const miner_config *cfg) {
    assert(cfg);
    static const char *const keys[kMinerPoolSlots] = {"main", "reserved", "reserved2"};
    json_ptr pools(json_object());
    if (!pools)
        return nullptr;
    for (int i = 0; i < kMinerPoolSlots && i < cfg->pool_count; ++i) {
        json_ptr pool = compose_pool(&cfg->pools[i]);
        // Text that is not valid UTF-8, or a slot the reader had to cut.
        if (!pool || json_object_set_new(pools.get(), keys[i], pool.release()) != 0)
            LOG_ERROR("Failed to compose pool #%d\n", i + 1);
    }
    return pools;
}

json_ptr compose_fans(const miner_config *cfg) {
    assert(cfg);
    return json_ptr(json_pack("{ss,si}", "mode", cfg->fan_ctrl ? "manual" : "auto", "speed",
                              static_cast<int>(cfg->fan_pwm)));
}

json_ptr compose_perf(const miner_config *cfg) {
    assert(cfg);
    return json_ptr(json_pack("{sb,ss,si,sf}", "asic_boost", cfg->asicboost ? 1 : 0, "profile",
                              profile_id_to_profile(cfg->autodownscale_profile), "freq",
                              static_cast<int>(cfg->freq), "volt", volts(cfg->voltage)));
}

json_ptr compose_chip(int chip, uint16_t freq) {
    char id[12];
    snprintf(id, sizeof id, "%d", chip);
    return json_ptr(json_pack("{ss,si}", "id", id, "freq", static_cast<int>(freq)));
}

json_ptr compose_chips(const miner_config *cfg, int chain) {
    assert(cfg);
    if (!miner_chain_on_board(chain)) {
        LOG_ERROR("Chain %d is out of range, it should be between [%d, %d]\n", chain,
                  kMinerFirstChain, kMinerLastChain);
        return nullptr;
    }
    const int index = chain - kMinerFirstChain;
    json_ptr chips(json_array());
    if (!chips)
        return nullptr;
    for (int k = 0; k < kMinerChainChips; ++k) {
        const uint16_t freq = cfg->chip_freq[index][k];
        if (freq == 0)
            continue;  // follows its chain
        json_ptr chip = compose_chip(k + 1, freq);
        if (!chip || json_array_append_new(chips.get(), chip.release()) != 0)
            return nullptr;
    }
    return chips;
}

json_ptr compose_chains(const miner_config *cfg) {
    assert(cfg);
    json_ptr chains(json_array());
    if (!chains)
        return nullptr;
    for (int i = 0; i < kMinerChains; ++i) {
        char id[4];
        snprintf(id, sizeof id, "%d", kMinerFirstChain + i);
        json_ptr chain(json_pack("{ss,sb,sb,si,sf,so*}", "id", id, "use_global_freq",
                                 cfg->chain_freq[i] == 0 ? 1 : 0, "use_global_volt",
                                 cfg->chain_voltage[i] == 0 ? 1 : 0, "freq",
                                 static_cast<int>(effective_chain_freq(cfg, i)), "volt",
                                 volts(effective_chain_voltage(cfg, i)), "chips",
                                 compose_chips(cfg, kMinerFirstChain + i).release()));
        if (!chain || json_array_append_new(chains.get(), chain.release()) != 0)
            return nullptr;
    }
    return chains;
}

json_ptr compose_autotuner(const miner_config *cfg) {
    assert(cfg);
    // "i" takes an int: every field is passed as one, whatever its width.
    return json_ptr(json_pack("{sb,sb,sb,si,si,si,si,si,si}", "stage1", cfg->autodownscale ? 1 : 0,
                              "stage2", cfg->autodownscale_watch ? 1 : 0, "stage3",
                              cfg->autodownscale_watchtimer ? 1 : 0, "stage3_interval",
                              static_cast<int>(cfg->autodownscale_timer), "downclock_step",
                              static_cast<int>(cfg->autodownscale_step), "min_freq",
                              static_cast<int>(cfg->autodownscale_min), "hashrate_deviation",
                              static_cast<int>(cfg->autodownscale_prec), "test_time",
                              static_cast<int>(cfg->autodownscale_after), "down_freq_hw",
                              static_cast<int>(cfg->autodownscale_hw)));
}

json_ptr compose_watchdog(const miner_config *cfg) {
    assert(cfg);
    return json_ptr(json_pack("{so,so,so}", "min_hr", watchdog_value(cfg->minhr), "max_xchips",
                              watchdog_value(cfg->maxx), "max_temp", watchdog_value(cfg->tempoff)));
}

json_ptr compose_document(const miner_config *cfg) {
    assert(cfg);
    json_ptr pools = compose_pools(cfg);
    json_ptr fans = compose_fans(cfg);
    json_ptr perf = compose_perf(cfg);
    json_ptr chains = compose_chains(cfg);
    json_ptr autotuner = compose_autotuner(cfg);
    json_ptr watchdog = compose_watchdog(cfg);
    json_ptr doc(json_pack("{so*,so*,so*,so*,so*,so*}", "pools", pools.release(), "fans",
                           fans.release(), "perf", perf.release(), "chains", chains.release(),
                           "autotuner", autotuner.release(), "watchdog", watchdog.release()));
    if (!doc)
        LOG_ERROR("Failed to pack device config document\n");
    return doc;
}

json_ptr compose_config() {
    miner_config cfg;
    memset(&cfg, 0, sizeof cfg);
    if (miner_config_load(paths::kMinerConfig, &cfg) != 0) {
        LOG_ERROR("Failed to load cgminer config from %s\n", paths::kMinerConfig);
        return nullptr;
    }
    return compose_document(&cfg);
}
