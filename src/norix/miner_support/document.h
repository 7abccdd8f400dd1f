// The device configuration document: the miner's settings as the service sees them.
#pragma once

#include <cstdint>

#include "common/json_ptr.h"
#include "norix/miner_config.h"

struct perf_profile {
    uint8_t id;
    const char *name;
};

inline constexpr int kPerfProfileCount = 16;
// Searched in order; row 0 ("profile_user") is the fallback both ways.
extern const perf_profile perf_profiles[kPerfProfileCount];

// Name of the first row with this id, "profile_user" when none has it.
const char *profile_id_to_profile(uint8_t id);
// Id of the first row whose name is a prefix of name, 0 when none is.
uint8_t profile_to_profile_id(const char *name);

// Builders of the document's parts from a loaded record; each returns a new
// object (or array), or null when it cannot be built.
json_ptr compose_pool(const miner_pool *pool);
json_ptr compose_pools(const miner_config *cfg);
json_ptr compose_fans(const miner_config *cfg);
json_ptr compose_perf(const miner_config *cfg);
json_ptr compose_chip(int chip, uint16_t freq);
// chain is 6..8; any other logs and gives null.
json_ptr compose_chips(const miner_config *cfg, int chain);
json_ptr compose_chains(const miner_config *cfg);
json_ptr compose_autotuner(const miner_config *cfg);
json_ptr compose_watchdog(const miner_config *cfg);

// {"pools", "fans", "perf", "chains", "autotuner", "watchdog"} for cfg; a part
// that cannot be built is left out.
json_ptr compose_document(const miner_config *cfg);

// The document for /config/bmminer.conf as it is on disk now (a private read; the
// settings edit is not touched), or null when the file cannot be loaded.
json_ptr compose_config();
