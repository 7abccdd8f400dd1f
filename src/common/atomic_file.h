// Durable whole-file replacement.
#pragma once

#include <sys/types.h>

#include <string_view>

// Replaces the file at path with contents so that a crash or power cut at any moment
// leaves either the old file or the new one, never an empty or partial file:
// temporary file ".<name>.rigkeep-XXXXXX" in the same directory, write, fsync, rename
// over path, fsync the directory. Keeps the mode, owner and group of an existing
// file; a new one gets new_file_mode.
// Returns 0, or -1 with errno set (the old file is untouched, the temporary removed).
int atomic_write_file(const char *path, std::string_view contents, mode_t new_file_mode = 0644);

// True for the name of a temporary that atomic_write_file creates (no directory part).
bool is_atomic_write_leftover(std::string_view name);
// Removes the temporaries that saves interrupted by a crash or power cut left in dir,
// and nothing else. Run at start-up, before anything saves into dir. The number
// removed (a missing directory has none).
int remove_atomic_write_leftovers(const char *dir);

// atomic_write_file for the daemon's configuration files, with their shared error
// lines: "Failed to open config file: <path>" when the replacement cannot be
// created, "Failed to save config file: <path>" for any later step. 0 or -1.
int save_config_file(const char *path, std::string_view contents);
