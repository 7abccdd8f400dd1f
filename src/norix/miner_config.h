// The miner's configuration file /config/bmminer.conf and its in-memory image.
#pragma once

#include <jansson.h>

#include <array>
#include <atomic>
#include <cstdint>
#include <mutex>
#include <string>

inline constexpr int kMinerPoolSlots = 3;
inline constexpr int kMinerChains = 3;
inline constexpr int kMinerChainChips = 63;

struct miner_pool {
    char url[512];
    char user[50];
    char pass[50];
};

// A pool's texts exactly as the file held them, before the cuts of miner_pool.
// The writer puts a text back whole while its field still holds that cut, so a
// worker name or URL longer than the field survives a save of other settings.
struct miner_pool_texts {
    std::string url;
    std::string user;
    std::string pass;
};
using miner_pools_as_read = std::array<miner_pool_texts, kMinerPoolSlots>;

// Plain value record, copied and compared as a whole: the reader zero-fills it
// before parsing, so the bytes after each text's terminator are zero too.
// Chains 6..8 are indexes 0..2, chips 1..63 indexes 0..62. Voltages in hundredths
// of a volt, frequencies in MHz; 0 in a chain or chip value means "inherit".
struct miner_config {
    miner_pool pools[kMinerPoolSlots];
    int32_t pool_count;  // 0..3

    bool api_listen;
    bool api_network;
    char api_groups[256];
    char api_allow[256];

    bool fan_ctrl;
    uint8_t fan_pwm;  // percent, 0..100
    bool fan_rpm_off;
    bool silentstart;
    int32_t target_temp;  // >= 0

    bool use_vil;
    int32_t altdfno;

    uint16_t freq;
    uint16_t voltage;
    uint16_t chain_freq[kMinerChains];
    uint16_t chain_voltage[kMinerChains];
    uint16_t chip_freq[kMinerChains][kMinerChainChips];

    bool asicboost;
    uint8_t multi_version;  // 0..10

    uint8_t autodownscale_profile;
    bool autodownscale;             // tuning stage 1
    bool autodownscale_watch;       // stage 2
    bool autodownscale_watchtimer;  // stage 3
    int32_t autodownscale_timer;
    int32_t autodownscale_hw;
    uint8_t autodownscale_prec;  // 0..100
    uint16_t autodownscale_min;
    int32_t autodownscale_step;
    int32_t autodownscale_after;
    bool autodownscale_reboot;

    int32_t minhr;
    int32_t maxx;
    int32_t tempoff;
    int32_t trigger_reboot;
};

// Held around every read of the miner file and around every complete save
// (write and layout clean-up), so a reader never sees a half-written file.
extern std::mutex miner_config_file_lock;

// Set by the settings edit while it writes the miner file and for one second
// after; the configuration watch reads it to ignore the agent's own writes.
extern std::atomic<bool> miner_config_saving;
// True while the file at path is still exactly the one the last miner_config_save
// put there: the watch tells the agent's own save by this also when it reads the
// save's event after the mark above is gone.
bool miner_config_is_own_save(const char *path);

// Reads the file into config. 0, or -1 (file missing / not JSON / root not an
// object: config untouched; a failing section: config partly filled, zeros from
// that section on).
// as_read, when given, receives the pool texts of the filled slots uncut.
int miner_config_load(const char *path, miner_config *config,
                      miner_pools_as_read *as_read = nullptr);

// A number held in a string, read as the miner reads it: an optional sign and
// the leading digits (anything after them ignored, none gives 0), saturated to
// 32 bits.
int32_t miner_config_text_to_int(const char *text);

// Parses an already loaded JSON value into config, with the rules of the load.
int miner_config_parse(json_t *root, miner_config *config, miner_pools_as_read *as_read = nullptr);

// Writes config to path atomically (temporary file, fsync, rename, fsync of the
// directory) under miner_config_file_lock. 0, or -1 with the old file intact.
// With as_read (the texts of the load), a pool text whose field still holds the
// cut of the text as read is written as read.
int miner_config_save(const char *path, const miner_config *config,
                      const miner_pools_as_read *as_read = nullptr);

// Builds the file's JSON object for config into root, keys in file order. 0 or -1.
int miner_config_compose(json_t *root, const miner_config *config,
                         const miner_pools_as_read *as_read = nullptr);

// The exact text the save writes for config (no indentation, string members as
// "key" : "value"). Returns false when the record cannot be composed.
bool miner_config_format(const miner_config *config, std::string *out,
                         const miner_pools_as_read *as_read = nullptr);
