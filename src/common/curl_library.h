// libcurl, loaded when the first firmware download starts instead of at start-up:
// its dependency tree would cost every idle daemon memory and start-up time.
#pragma once

#include <curl/curl.h>

// The libcurl functions the firmware download calls.
struct curl_functions {
    decltype(&curl_easy_init) easy_init;
    decltype(&curl_easy_setopt) easy_setopt;
    decltype(&curl_easy_perform) easy_perform;
    decltype(&curl_easy_cleanup) easy_cleanup;
};

// Loads and initialises libcurl on the first call (any thread; a second caller waits
// for the first). It stays loaded for the life of the process. nullptr, logged, when
// it cannot be loaded, resolved or initialised; a later call tries again.
const curl_functions *curl_library();
