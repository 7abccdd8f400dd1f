// The agent's own configuration file and the device's network configuration file.
#pragma once

#include <jansson.h>

#include <cstdint>
#include <cstdio>
#include <mutex>
#include <string>

// Plain value, compared and copied as a whole: records built for comparison are
// zero-filled first so the bytes after each text's terminator are zero too.
struct network_config {
    uint32_t mode;  // 1 static, 0 DHCP
    char hostname[256];
    char ip[16];
    char netmask[16];
    char gateway[256];
    char dns[2][256];
    uint32_t dns_count;
};

struct agent_config {
    char api_key[51];
    char dev_id[33];
    network_config network;
};

// Held while the agent file and network.conf are read or written.
extern std::mutex agent_config_lock;

int config_load(const char *path, agent_config *config);
int parse_config(json_t *root, agent_config *config);
int config_save(const char *path, const agent_config *cfg);
bool is_factory_config(const agent_config *config);
void config_set_defaults(agent_config *config);
void generate_device_id(char *buf);  // buf holds 33 bytes

// The process-wide record and the path it was loaded from.
agent_config *agent_config_get();
void agent_config_set_path(const char *path);
int agent_config_save();

// network.conf
// The reader takes a line in pieces of this many characters; a longer line comes
// back cut, its tail read as a line of its own.
inline constexpr size_t kNetworkLineMax = 255;
int parse_network_config(network_config *net);
int save_network_config(const network_config *net);
int save_static_net_conf(const network_config *net);
int save_dhcp_net_conf(const network_config *net);
int parse_network_line(char *line, network_config *net);
void parse_dns_servers(const char *value, network_config *net);
// True when every line the static writer would produce for net is read back whole.
bool network_config_fits_reader(const network_config *net);
// The file's text for a record, as the writers store it.
std::string format_network_config(const network_config *net);
// Reads network.conf from an open stream (parse_network_config without the open).
void read_network_config(FILE *in, network_config *net);

// The settings to go back to while a network change waits for confirmation: a
// durable copy of network.conf next to it, whose presence is the pending state.
bool network_config_kept();
// Keeps the bytes of network.conf (the record's own text when there is no file),
// unless a copy is already kept: that one holds the last confirmed settings.
// 1 kept now, 0 already kept, -1 failed (logged).
int network_config_keep();
// Writes the kept bytes back over network.conf and reloads the record's network
// settings from them. 0, or -1 (logged); the kept copy stays either way.
int network_config_restore();
// Removes the kept copy durably. 0, or -1 (logged).
int network_config_forget();
