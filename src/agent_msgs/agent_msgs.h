// The service's requests and the configuration exchange, one file per concern. Each
// concern registers its handlers with the link before agent_connect.
#pragma once

#include <jansson.h>

#include <cstdint>

void register_autotuner_watchdog_config_handlers();

// Section parsers: the same object forms arrive as requests and as sections of the
// service's "config" answer. Each applies its values to the open settings edit and
// returns -1 (malformed or rejected, logged), 0 (nothing changed) or 1 (changed).
int config_network(json_t *root);  // the network record and its files; not applied
int config_pools(json_t *root);    // -1 or 0
int config_fans(json_t *root);
int config_perf(json_t *perf);
int config_chain(json_t *chain);
int config_chips(uint8_t chain, json_t *chips);
int config_chains(json_t *chains);
int config_autotuner(json_t *root);
int config_watchdog(json_t *root);
// Clears every chain and chip override and queues the chains update; queue result.
int reset_chain_overrides();
json_t *compose_default_chains();
