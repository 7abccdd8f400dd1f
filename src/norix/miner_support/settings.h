// The settings edit: load the miner file, change it through checked setters, write
// it back once, and only when something changed.
//
// One process-wide edit, used only by the request handlers on the server link
// thread (one request at a time), so it carries no lock of its own.
#pragma once

#include <cstdint>

#include "norix/miner_config.h"

// Loads /config/bmminer.conf and opens the edit, loaded and unchanged. 0, or -1
// (logged) with the edit as it was.
int cgminer_config_load();
// Opens the edit on a record that was just read from the miner file.
void cgminer_config_open(const miner_config *cfg);
// Closes the edit: writes the record when a setter changed it, marking the write
// as the agent's own for the configuration watch (during the write and one second
// after). 1 written, 0 nothing changed, -1 the write failed (logged). The edit is
// closed and unsaved changes dropped in every case.
int cgminer_config_save();

// The bracket every settings request runs in. begin: cgminer_config_load. commit:
// cgminer_config_save, and when that wrote the file, the hook below (mining control
// restarts a running miner there, so that it reads the new file); its result.
int miner_settings_begin();
int miner_settings_commit();
using settings_written_hook = void (*)();
// Wired once at start-up; without one a commit only writes.
void miner_settings_set_written_hook(settings_written_hook hook);

// State of the edit, for the handlers and their tests.
bool cgminer_config_is_loaded();
bool cgminer_config_is_changed();
// The edited record (zero-filled while no edit is open).
const miner_config *cgminer_config_get();

// Fills a pool slot from scratch (zeros first, so equal texts compare equal
// byte for byte); texts longer than kMinerPoolTextMax are cut (the handlers refuse
// them first). password may be null (empty).
void pool_cfg_fill(miner_pool *pc, const char *url, const char *worker, const char *password);

// Setters: -1 (no open edit, or an argument out of range: logged), 0 (the value was
// already stored), 1 (stored, the edit is marked changed).
int cgminer_pool(int poolid, const char *url, const char *worker, const char *password);
// mode 0 automatic, 1 manual at speed percent (never below 20).
int cgminer_fans(int mode, uint8_t speed);
int cgminer_asic_boost(bool enabled);
int cgminer_profile(const char *profile);
int cgminer_freq(uint16_t freq);
// Volts, rounded up to the next tenth of a volt.
int cgminer_volt(double volts);
int cgminer_chain_freq(uint8_t chain, uint16_t freq);
int cgminer_chain_volt(uint8_t chain, double volts);
int cgminer_chip_freq(uint8_t chain, uint8_t chip, uint16_t freq);
// stage3_interval counts only with stage3 on; reset_chips clears every chip
// frequency (and always marks the edit changed).
int cgminer_autotuner(bool stage1, bool stage2, bool stage3, int32_t stage3_interval,
                      int32_t downclock_step, uint16_t min_freq, int32_t hashrate_deviation,
                      int32_t test_time, int32_t down_freq_hw, bool reset_chips);
int cgminer_watchdog(int32_t min_hr, int32_t max_xchips, int32_t max_temp);
// Every chip of every chain back to its chain's frequency.
void cgminer_reset_chips_freq();

// The stored form of a voltage: hundredths of a volt, rounded up to a tenth.
uint16_t volts_to_record(double volts);
