// Durable whole-file replacement.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <string>
#include <string_view>

// What tells one version of a file from the next: a replacement is another inode, a
// write in place changes the size or the modification time.
struct file_version {
    dev_t dev = 0;
    ino_t ino = 0;
    off_t size = 0;
    int64_t mtime_sec = 0;
    int64_t mtime_nsec = 0;
    bool operator==(const file_version &) const = default;
};
// The version of the file now at path (a link is followed). False when there is none.
bool file_version_at(const char *path, file_version *out);

// Replaces the file at path with contents so that a crash or power cut at any moment
// leaves either the old file or the new one, never an empty or partial file:
// temporary file ".<name>.rigkeep-XXXXXX" in the same directory, write, fsync, rename
// over path, fsync the directory. Keeps the mode, owner and group of an existing
// file; a new one gets new_file_mode.
// Returns 0, or -1 with errno set (the old file is untouched, the temporary removed).
// written, when given, receives the version of the file put in place.
int atomic_write_file(const char *path, std::string_view contents, mode_t new_file_mode = 0644,
                      file_version *written = nullptr);

// Removes the file at path (none there counts as removed) and makes the removal
// durable by syncing its directory. 0, or -1 with errno set.
int remove_file_durably(const char *path);

// Reads the whole file at path into out. 0, or -1 with errno set.
int read_whole_file(const char *path, std::string *out);

// True for the name of a temporary that atomic_write_file creates (no directory part).
bool is_atomic_write_leftover(std::string_view name);
// Removes the temporaries that saves interrupted by a crash or power cut left in dir,
// and nothing else. Run at start-up, before anything saves into dir. The number
// removed (a missing directory has none).
int remove_atomic_write_leftovers(const char *dir);

// atomic_write_file for the daemon's configuration files, with their shared error
// lines: "Failed to open config file: <path>" when the replacement cannot be
// created, "Failed to save config file: <path>" for any later step. 0 or -1.
int save_config_file(const char *path, std::string_view contents, file_version *written = nullptr);
