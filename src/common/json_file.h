// Loading the daemon's JSON configuration files.
#pragma once

#include <mutex>

#include "common/json_ptr.h"

// Parses the file at path while holding file_lock (the lock of that file's
// writers). On failure logs "Failed to load <path> - <parser's text>" and returns
// an empty pointer.
json_ptr load_json_file(const char *path, std::mutex &file_lock);
