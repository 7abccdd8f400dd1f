// Handlers of the service's requests, one file per concern. Each concern registers
// its handlers with the link once, before the link starts.
#pragma once

#include <jansson.h>

#include <mutex>

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
// config_network that, when keep_previous is set, first keeps the previous
// network.conf to return to (network_config_keep); a failed keep fails it.
int save_network_settings(json_t *root, bool keep_previous);
int config_pools(json_t *root);  // -1 or 0
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

// A network change that must be confirmed or rolled back. The request saves the new
// settings (keeping the previous network.conf), logs "Applying network
// configuration" and restarts the network one second later; the change is confirmed
// by the first accepted authentication once that restart has ended. Without one
// within the window, the previous network.conf is written back and the network
// restarted again. The kept copy on disk is the pending state: a start that finds
// it opens a new window.
// Held by a "config_network" request from its save to its apply, so that the
// window's deadline never falls between the two.
std::unique_lock<std::mutex> network_change_lock();
// Logs "Applying network configuration", restarts the network one second later and
// opens the window. With network_change_lock() held.
void apply_network_config();
// At start, before the link: creates the wake descriptor and opens a window when a
// kept copy is found.
void network_change_resume();
// An accepted authentication (agent thread).
void network_change_heard();
// Readable when the window changed; the main thread then calls network_change_check.
int network_change_wake_fd();
// Main thread, on every wake: reaps an ended restart, rolls back once the window has
// passed. The milliseconds until it is due again, or -1 when nothing is pending.
int network_change_check();
