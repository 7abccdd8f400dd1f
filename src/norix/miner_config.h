// The miner's configuration file /config/bmminer.conf and its in-memory image.
#pragma once

#include <jansson.h>

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <string>

inline constexpr int kMinerPoolSlots = 3;
// The board's chains are numbered kMinerFirstChain..kMinerLastChain.
inline constexpr int kMinerFirstChain = 6;
inline constexpr int kMinerLastChain = 8;
inline constexpr int kMinerChains = kMinerLastChain - kMinerFirstChain + 1;
// True for a chain number the board has.
inline constexpr bool miner_chain_on_board(long long chain) {
    return chain >= kMinerFirstChain && chain <= kMinerLastChain;
}
inline constexpr int kMinerChainChips = 63;

// Pool texts are kept whole up to this many bytes each.
inline constexpr size_t kMinerPoolTextMax = 1023;

struct miner_pool {
    char url[kMinerPoolTextMax + 1];
    char user[kMinerPoolTextMax + 1];
    char pass[kMinerPoolTextMax + 1];
    // The file held a longer text than a field keeps: the slot is never written
    // back or shown cut (a save fails until a request replaces the slot).
    bool cut;
};

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

    // The file held a negative number for the field (which keeps its low 8 bits,
    // possibly above its cap): the writer writes that number again, so that it
    // reads back the same. A setter that stores the field clears the mark.
    bool fan_pwm_negative;
    bool multi_version_negative;
    bool autodownscale_prec_negative;
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
int miner_config_load(const char *path, miner_config *config);

// A number held in a string, read as the miner reads it: an optional sign and
// the leading digits (anything after them ignored, none gives 0), saturated to
// 32 bits.
int32_t miner_config_text_to_int(const char *text);

// Parses an already loaded JSON value into config, with the rules of the load.
int miner_config_parse(json_t *root, miner_config *config);

// Writes config to path atomically (temporary file, fsync, rename, fsync of the
// directory) under miner_config_file_lock. 0, or -1 with the old file intact.
int miner_config_save(const char *path, const miner_config *config);

// Builds the file's JSON object for config into root, keys in file order. 0 or -1.
int miner_config_compose(json_t *root, const miner_config *config);

// The exact text the save writes for config (no indentation, string members as
// "key" : "value"). Returns false when the record cannot be composed.
bool miner_config_format(const miner_config *config, std::string *out);
