// Miner statistics: the API's "stats" and "pools" replies and the chip dump as
// plain records for the reports.
#pragma once

#include <jansson.h>

#include <cstdint>
#include <ctime>
#include <memory>

#include "norix/miner_config.h"

inline constexpr int kStatsChainSlots = 16;
inline constexpr int kStatsFanSlots = 8;
inline constexpr int kStatsMaxFans = 2;
inline constexpr int kStatsMaxSvcFeePools = 4;

struct fan_stats {
    uint32_t id;    // report slot 1..8; 0: no data
    int32_t speed;  // percent 0..100
    int32_t rpm;
};

struct chain_stats {
    uint32_t id;  // report slot 1..16; 0: no data
    int32_t chips;
    double hash_rate;    // GH/s
    double freq_avg;     // MHz
    double voltage;      // V
    double consumption;  // W
    int32_t hw_errors;
    int32_t chip_temp;
    int32_t pcb_temp;
};

struct miner_stats {
    time_t timestamp;
    double hash_rate;  // GH/s
    double freq_avg;
    int32_t temp_max;
    double consumption;  // sum over the chains kept
    int32_t hw_errors;   // sum over the chains kept
    fan_stats fans[kStatsMaxFans];
    int32_t fan_count;
    chain_stats chains[kStatsChainSlots];
    int32_t chain_count;
};

enum pool_state : uint32_t {
    POOL_STATE_UNKNOWN = 0,
    POOL_STATE_ACTIVE = 1,
    POOL_STATE_ALIVE = 2,
    POOL_STATE_DEAD = 3,
};

struct pool_stats {
    bool asic_boost;
    char diff[20];
    int64_t accepted;
    int64_t rejected;
    int64_t stale;
    pool_state status;
};

struct pools_stats {
    pool_stats main;
    pool_stats reserved;
    pool_stats reserved2;
    pool_stats svc_fee[kStatsMaxSvcFeePools];  // in the miner's order
    uint32_t svc_fee_count;
};

enum chip_state : uint32_t {
    CHIP_STATE_UNKNOWN = 0,
    CHIP_STATE_FAST = 1,
    CHIP_STATE_SLOW = 2,
    CHIP_STATE_UNSTABLE = 3,
};

struct chip_stats {
    uint32_t id;        // 1..63
    uint16_t hashrate;  // GH/s
    uint16_t freq;      // effective MHz
    bool custom_freq;
    enum chip_state state;
};

struct chips_stats {
    uint32_t chain;                      // 6..8
    chip_stats chips[kMinerChainChips];  // entry k is chip k + 1
};

// Each call asks the miner on localhost:4028 anew; null when there is no usable
// reply (already logged).
std::unique_ptr<miner_stats> cgminer_stats();
std::unique_ptr<pools_stats> cgminer_pools_stats();
// chain 6..8 (checked by the caller). Null when the miner file cannot be read.
std::unique_ptr<chips_stats> cgminer_chips_stats(uint32_t chain);

// The same records from replies already at hand (the parsed "stats" reply, the
// parsed "pools" reply, the miner configuration and the dump's "chiphr" value,
// which may be null).
std::unique_ptr<miner_stats> miner_stats_from_reply(json_t *reply);
std::unique_ptr<pools_stats> pools_stats_from_reply(json_t *reply);
std::unique_ptr<chips_stats> chips_stats_from(uint32_t chain, const miner_config *cfg,
                                              json_t *chiphr);

// chain 6..8, chip 1..63.
uint16_t chip_hashrate(uint32_t chain, uint32_t chip, json_t *chiphr);
uint16_t chip_freq(uint32_t chain, uint32_t chip, const miner_config *cfg);
bool chip_custom_freq(uint32_t chain, uint32_t chip, const miner_config *cfg);
enum chip_state chip_state(uint16_t hashrate, uint16_t freq);
