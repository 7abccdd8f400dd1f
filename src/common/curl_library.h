// libcurl, loaded when the first firmware download starts instead of at start-up:
// its dependency tree would cost every idle daemon memory and start-up time.
#pragma once

#include <curl/curl.h>

#include <memory>

// The libcurl functions the firmware download calls.
struct curl_functions {
    decltype(&curl_easy_init) easy_init;
    decltype(&curl_easy_setopt) easy_setopt;
    decltype(&curl_easy_perform) easy_perform;
    decltype(&curl_easy_cleanup) easy_cleanup;
};

// Owner of an easy handle, cleaned up through the loaded library's easy_cleanup.
using curl_easy_ptr = std::unique_ptr<CURL, decltype(&curl_easy_cleanup)>;

// Loads and initialises libcurl on the first call (any thread; a second caller waits
// for the first). It stays loaded for the life of the process. nullptr, logged, when
// it cannot be loaded, resolved or initialised; a later call tries again.
const curl_functions *curl_library();
