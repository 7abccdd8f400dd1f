// The status report's composers, without the link or the miner (for the unit tests).
#pragma once

#include <jansson.h>

#include <cstdint>

#include "status.h"

struct netinfo;
struct pools_stats;

const char *miner_state_name(int32_t state);
const char *pool_status_name(uint32_t status);
// {"name"} plus "progress" while updating.
json_t *compose_miner_state(const miner_state *state);
json_t *compose_network_info(const netinfo *info);
// Null when there are no statistics.
json_t *compose_pools_status(const pools_stats *stats);
// The whole message from what may be missing: no state, no network (the message then
// cannot be composed: logged, null), no pools.
json_t *compose_status(const miner_state *state, const netinfo *net, const pools_stats *pools);
