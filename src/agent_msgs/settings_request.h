// Shared pieces of the settings requests.
#pragma once

#include <jansson.h>

#include <climits>

#include "norix/miner_support/settings.h"

// The bracket every settings request runs in: load the miner file, apply, write it
// back only when something changed (restarting a running miner then). 0, or -1 at
// the first failure, with nothing written.
inline int run_settings_request(int (*apply)(json_t *), json_t *root) {
    if (miner_settings_begin() != 0)
        return -1;
    if (apply(root) < 0)
        return -1;
    return miner_settings_commit() < 0 ? -1 : 0;
}

// Integers are unpacked whole ("I") and must fit an int before they are narrowed;
// jansson's "i" would cut them silently.
inline bool fits_int(json_int_t value) {
    return value >= INT_MIN && value <= INT_MAX;
}

// An "autotuner" object, read whole before anything is applied (a request that
// carries it with other sections must fail before it changes any of them).
struct autotuner_request {
    int stage1 = 0;
    int stage2 = 0;
    int stage3 = 0;
    json_int_t stage3_interval = 3;
    json_int_t downclock_step = 0;
    json_int_t min_freq = 0;
    json_int_t hashrate_deviation = 0;
    json_int_t test_time = 0;
    json_int_t down_freq_hw = 0;
    int reset_chips = 0;
};
// 0, or -1 (logged) with nothing applied.
int parse_autotuner(json_t *autotuner, autotuner_request *out);
// The setter's -1 / 0 / 1.
int apply_autotuner(const autotuner_request &req);
