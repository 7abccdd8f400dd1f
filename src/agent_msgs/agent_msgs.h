// Handlers of the service's requests, one file per concern. Each concern registers
// its handlers with the link once, before the link starts.
#pragma once

#include <jansson.h>

// Network and pools: "config_network", "config_pools".
void register_network_pools_handlers();
// Fans, performance and chains: "config_fans", "config_perf", "config_chain".
void register_fans_perf_chains_handlers();
// Autotuner, watchdog and the configuration exchange: "config_autotuner",
// "config_watchdog", the "config" and "update_config" answers, and what follows an
// accepted authentication.
void register_autotuner_watchdog_config_handlers();
// Device actions: reboot, logs, start/stop mining, web password, chip metrics,
// firmware update, status.
void register_device_action_handlers();

// The request handlers themselves (the dispatcher turns their results into the
// result message).
int handle_config_network(json_t *root);
int handle_config_pools(json_t *root);
int handle_config_fans(json_t *root);
int handle_config_perf(json_t *root);
int handle_config_chain(json_t *root);

// Section parsers that the configuration answer shares with the requests. Each
// applies one object form; -1 (logged), 0 unchanged, 1 changed. The miner settings
// parsers expect an open settings edit (miner_settings_begin).
int config_network(json_t *root);  // saves both files when changed; never applies
int config_pools(json_t *root);    // -1 or 0
int config_fans(json_t *root);
int config_perf(json_t *perf);  // a preset profile also resets the chain overrides
int config_chain(json_t *chain);
int config_chips(int chain, json_t *chips);  // replaces all 63 chip overrides of chain
int config_chains(json_t *chains);
int config_autotuner(json_t *root);
int config_watchdog(json_t *root);  // never fails: keys that are not integers count as 0
// Clears every chain and chip override and queues the default chains as
// "update_config"; the queue's result.
int reset_chain_overrides();
// Chains 6, 7 and 8 at the fixed defaults, without chips; null when it cannot be built.
json_t *compose_default_chains();
// Logs "Applying network configuration" and restarts the network one second later,
// without waiting for it.
void apply_network_config();
