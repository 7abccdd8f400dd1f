// Mining control: the miner-side start-up of the daemon.
#pragma once

// Kills a leftover miner, loads the agent configuration from config_path and brings
// up the miner side; server_url is where the link connects. 0, or -1 when the agent
// configuration cannot be loaded.
int miner_init(const char *config_path, const char *server_url);
