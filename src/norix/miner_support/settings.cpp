#include "norix/miner_support/settings.h"

#include <cassert>
#include <chrono>
#include <cmath>
#include <cstring>
#include <thread>

#include "common/paths.h"
#include "log.h"
#include "norix/miner_support/document.h"
#include "util.h"

namespace {

constexpr uint8_t kManualFanMinimum = 20;
// The configuration watch sees the file settle after the save; the agent's mark
// stays up this long past the write.
#ifndef RIGKEEP_SAVING_WINDOW_MS
#define RIGKEEP_SAVING_WINDOW_MS 1000
#endif
constexpr std::chrono::milliseconds kSavingWindow{RIGKEEP_SAVING_WINDOW_MS};

// Trivially destructible: nothing runs at process exit under a live thread.
miner_config g_config;
bool g_loaded = false;
bool g_changed = false;
settings_written_hook g_written_hook = nullptr;

bool edit_open() {
    if (!g_loaded) {
        LOG_ERROR("Miner config is not loaded!\n");
        return false;
    }
    return true;
}

// Stores value into field when it differs; 1 stored, 0 equal.
template <typename T>
int store(T &field, T value) {
    if (field == value)
        return 0;
    field = value;
    g_changed = true;
    return 1;
}

// Logs a chain the board does not have; the setters word it two ways.
bool chain_in_range(int chain, bool bracketed) {
    if (miner_chain_on_board(chain))
        return true;
    LOG_ERROR(bracketed ? "Invalid chain %d, it should be between [%d, %d]\n"
                        : "Invalid chain %d, it should be between %d and %d\n",
              chain, kMinerFirstChain, kMinerLastChain);
    return false;
}

}  // namespace

uint16_t volts_to_record(double volts) {
    double tenths = std::ceil(volts * 10.0);
    if (!std::isfinite(tenths))
        return 0;
    // Out-of-range values keep their low 16 bits, like every other 16-bit field.
    tenths = std::fmax(std::fmin(tenths, 1e15), -1e15);
    return static_cast<uint16_t>(static_cast<int64_t>(tenths) * 10);
}

int cgminer_config_load() {
    miner_config loaded;
    memset(&loaded, 0, sizeof loaded);
    if (miner_config_load(paths::kMinerConfig, &loaded) != 0) {
        LOG_ERROR("Failed to load cgminer config from %s\n", paths::kMinerConfig);
        return -1;
    }
    cgminer_config_open(&loaded);
    return 0;
}

void cgminer_config_open(const miner_config *cfg) {
    assert(cfg);
    memcpy(&g_config, cfg, sizeof g_config);
    g_loaded = true;
    g_changed = false;
}

int cgminer_config_save() {
    int result = 0;
    if (g_changed) {
        miner_config_saving = true;
        if (miner_config_save(paths::kMinerConfig, &g_config) != 0) {
            LOG_ERROR("Failed to save config file to %s\n", paths::kMinerConfig);
            result = -1;
        } else {
            result = 1;
        }
        std::this_thread::sleep_for(kSavingWindow);
        miner_config_saving = false;
    }
    memset(&g_config, 0, sizeof g_config);
    g_loaded = false;
    g_changed = false;
    return result;
}

int miner_settings_begin() {
    return cgminer_config_load();
}

int miner_settings_commit() {
    int result = cgminer_config_save();
    if (result == 1 && g_written_hook)
        g_written_hook();
    return result;
}

void miner_settings_set_written_hook(settings_written_hook hook) {
    g_written_hook = hook;
}

bool cgminer_config_is_loaded() {
    return g_loaded;
}

bool cgminer_config_is_changed() {
    return g_changed;
}

const miner_config *cgminer_config_get() {
    return &g_config;
}

void pool_cfg_fill(miner_pool *pc, const char *url, const char *worker, const char *password) {
    assert(pc && url && worker);
    memset(pc, 0, sizeof *pc);
    copy_cut(pc->url, url);
    copy_cut(pc->user, worker);
    copy_cut(pc->pass, password ? password : "");
}

int cgminer_pool(int poolid, const char *url, const char *worker, const char *password) {
    if (!edit_open())
        return -1;
    if (poolid >= kMinerPoolSlots) {
        LOG_ERROR("Invalid poolid - %d, it should be less than %d\n", poolid, kMinerPoolSlots);
        return -1;
    }
    // Taken as unsigned, a negative id is huge and fails here.
    if (static_cast<uint32_t>(poolid) > static_cast<uint32_t>(g_config.pool_count)) {
        LOG_ERROR("Invalid poolid - %d, it should be less or equeal to %d\n", poolid,
                  g_config.pool_count);
        return -1;
    }
    if (poolid == g_config.pool_count) {  // an append; the id check keeps the count <= 3
        ++g_config.pool_count;
        g_changed = true;
    }
    miner_pool fresh;
    pool_cfg_fill(&fresh, url, worker, password);
    miner_pool &slot = g_config.pools[poolid];
    if (memcmp(&fresh, &slot, sizeof slot) == 0)
        return 0;
    memcpy(&slot, &fresh, sizeof slot);
    g_changed = true;
    return 1;
}

int cgminer_fans(int mode, uint8_t speed) {
    if (!edit_open())
        return -1;
    if (mode == 0) {
        if (!g_config.fan_ctrl)
            return 0;
        g_config.fan_ctrl = false;  // the manual speed is kept for next time
        g_changed = true;
        return 1;
    }
    if (mode == 1) {
        // Compared with the request as sent: a speed below the minimum never
        // equals the stored (raised) one, so it is stored again.
        if (g_config.fan_ctrl && speed == g_config.fan_pwm)
            return 0;
        g_config.fan_ctrl = true;
        g_config.fan_pwm = speed < kManualFanMinimum ? kManualFanMinimum : speed;
        g_config.fan_pwm_negative = false;
        g_changed = true;
        return 1;
    }
    return 0;
}

int cgminer_asic_boost(bool enabled) {
    if (!edit_open())
        return -1;
    return store(g_config.asicboost, enabled);
}

int cgminer_profile(const char *profile) {
    assert(profile);
    if (!edit_open())
        return -1;
    return store(g_config.autodownscale_profile, profile_to_profile_id(profile));
}

int cgminer_freq(uint16_t freq) {
    if (!edit_open())
        return -1;
    return store(g_config.freq, freq);
}

int cgminer_volt(double volts) {
    if (!edit_open())
        return -1;
    return store(g_config.voltage, volts_to_record(volts));
}

int cgminer_chain_freq(uint8_t chain, uint16_t freq) {
    if (!edit_open())
        return -1;
    if (!chain_in_range(chain, true))
        return -1;
    return store(g_config.chain_freq[chain - kMinerFirstChain], freq);
}

int cgminer_chain_volt(uint8_t chain, double volts) {
    if (!edit_open())
        return -1;
    if (!chain_in_range(chain, false))
        return -1;
    return store(g_config.chain_voltage[chain - kMinerFirstChain], volts_to_record(volts));
}

int cgminer_chip_freq(uint8_t chain, uint8_t chip, uint16_t freq) {
    if (!edit_open())
        return -1;
    if (!chain_in_range(chain, false))
        return -1;
    if (chip < 1 || chip > kMinerChainChips) {
        LOG_ERROR("Invalid chip %d, it should be between 1 and %d\n", chip, kMinerChainChips);
        return -1;
    }
    return store(g_config.chip_freq[chain - kMinerFirstChain][chip - 1], freq);
}

void cgminer_reset_chips_freq() {
    memset(g_config.chip_freq, 0, sizeof g_config.chip_freq);
}

int cgminer_autotuner(bool stage1, bool stage2, bool stage3, int32_t stage3_interval,
                      int32_t downclock_step, uint16_t min_freq, int32_t hashrate_deviation,
                      int32_t test_time, int32_t down_freq_hw, bool reset_chips) {
    if (!edit_open())
        return -1;
    if (!stage3)
        stage3_interval = 0;  // the interval means nothing without the third stage
    int stored = 0;
    stored |= store(g_config.autodownscale, stage1);
    stored |= store(g_config.autodownscale_watch, stage2);
    stored |= store(g_config.autodownscale_watchtimer, stage3);
    stored |= store(g_config.autodownscale_timer, stage3_interval);
    stored |= store(g_config.autodownscale_step, downclock_step);
    stored |= store(g_config.autodownscale_min, min_freq);
    // Compared in full with the 8-bit field, stored as its low 8 bits.
    if (hashrate_deviation != static_cast<int32_t>(g_config.autodownscale_prec)) {
        g_config.autodownscale_prec = static_cast<uint8_t>(hashrate_deviation);
        g_config.autodownscale_prec_negative = false;
        g_changed = true;
        stored = 1;
    }
    stored |= store(g_config.autodownscale_after, test_time);
    stored |= store(g_config.autodownscale_hw, down_freq_hw);
    if (reset_chips) {
        cgminer_reset_chips_freq();
        g_changed = true;
        stored = 1;
    }
    return stored;
}

int cgminer_watchdog(int32_t min_hr, int32_t max_xchips, int32_t max_temp) {
    if (!edit_open())
        return -1;
    int stored = 0;
    stored |= store(g_config.minhr, min_hr);
    stored |= store(g_config.maxx, max_xchips);
    stored |= store(g_config.tempoff, max_temp);
    return stored;
}
