// A throw-away device root for the fuzz targets: the daemon's fixed paths
// (/config, /www/pages/cgi-bin) exist only in a private tmpfs.
#pragma once

#include <cstddef>
#include <string_view>

// Moves the process into private mount and network namespaces and changes its
// root to a tmpfs that mirrors the host read-only, except for: the device
// directories (fresh and empty), a /dev with only null, zero, random and urandom,
// and the working directory, which stays writable for the fuzzer's corpus and
// artifacts. Nothing the code under test writes reaches the host, and no
// connection leaves the process (the network namespace has a down loopback).
// Ends the process when this cannot be set up. Call once, before any thread.
void enter_device_root();

// Replaces the file at path with data (inside the device root).
void put_file(const char *path, std::string_view data);
