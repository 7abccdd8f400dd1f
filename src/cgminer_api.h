// Client for the miner's local JSON API: one TCP connection per command.
#pragma once

#include <jansson.h>
#include <sys/types.h>

#include <chrono>
#include <cstdint>

#include "common/json_ptr.h"

// Where the miner serves its API on the board.
inline constexpr const char *kMinerApiHost = "localhost";
inline constexpr int16_t kMinerApiPort = 4028;

// A miner that accepts and then stays silent must not hold a reporting thread
// for good: every step of a call is bounded.
inline constexpr std::chrono::milliseconds kCgminerConnectTimeout{3000};
inline constexpr std::chrono::milliseconds kCgminerSendTimeout{3000};
// For the whole reply, however slowly it trickles in.
inline constexpr std::chrono::milliseconds kCgminerReplyTimeout{5000};
// A real reply is a few kilobytes; past this the miner is sending garbage, and
// reading on would only fill the board's memory.
inline constexpr size_t kCgminerReplyLimit = 1024 * 1024;

// Sends {"command": command} and returns the parsed reply, or null.
json_ptr cgminer_api_call_cmd(const char *command, const char *host, int16_t port);
// Sends request (owned by the caller) and returns the parsed reply, or null.
// Back-to-back objects in the reply ("}{") are joined with a comma first.
json_ptr cgminer_api_call(json_t *request, const char *host, int16_t port);
// The reply text parsed, back-to-back objects joined first; null (logged) when it
// is not JSON.
json_ptr cgminer_api_parse_reply(const char *reply);
// Sends the request text and returns everything the miner wrote until it closed
// the connection, or null when nothing could be sent.
c_str_ptr cgminer_api_call_raw(const char *request, const char *host, int16_t port);

// True when host:port accepts a TCP connection (closed again at once). Silent.
bool cgminer_api_probe(const char *host, int16_t port);

// A connected socket, -1 (name not resolved, no socket) or -2 (connect failed).
int cgminer_api_connect(const char *host, int16_t port);
// Bytes handed to the socket, or -1.
ssize_t cgminer_api_send(int fd, const char *request);
// Reads until the peer closes. Bytes received, or -1; *reply receives the text
// read so far, NUL-terminated, except after a reply past kCgminerReplyLimit,
// which is dropped whole (*reply null).
ssize_t cgminer_api_recv(int fd, c_str_ptr *reply);
