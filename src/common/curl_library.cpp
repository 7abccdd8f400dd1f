#include "common/curl_library.h"

#include <dlfcn.h>

#include <mutex>

#include "log.h"

namespace {

constexpr const char *kLibrary = "libcurl.so.4";

// Trivially destructible: a thread may still download while the process exits.
std::mutex load_lock;
curl_functions functions;
bool ready = false;

const char *load_error() {
    const char *text = dlerror();
    return text != nullptr ? text : "unknown error";
}

template <typename Function>
bool resolve(void *library, const char *name, Function &out) {
    dlerror();
    void *symbol = dlsym(library, name);
    if (symbol == nullptr) {
        LOG_ERROR("Failed to resolve %s in %s: %s\n", name, kLibrary, load_error());
        return false;
    }
    out = reinterpret_cast<Function>(symbol);
    return true;
}

}  // namespace

const curl_functions *curl_library() {
    std::lock_guard<std::mutex> guard(load_lock);
    if (ready)
        return &functions;
    // Never closed again: unloading libcurl with its TLS backend is not safe to repeat.
    void *library = dlopen(kLibrary, RTLD_NOW | RTLD_LOCAL);
    if (library == nullptr) {
        LOG_ERROR("Failed to load %s: %s\n", kLibrary, load_error());
        return nullptr;
    }
    curl_functions loaded{};
    decltype(&curl_global_init) global_init = nullptr;
    if (!resolve(library, "curl_global_init", global_init) ||
        !resolve(library, "curl_easy_init", loaded.easy_init) ||
        !resolve(library, "curl_easy_setopt", loaded.easy_setopt) ||
        !resolve(library, "curl_easy_perform", loaded.easy_perform) ||
        !resolve(library, "curl_easy_cleanup", loaded.easy_cleanup))
        return nullptr;
    // Not thread-safe, and due before the first handle: the lock keeps every other
    // caller out until it has returned.
    const CURLcode code = global_init(CURL_GLOBAL_SSL);
    if (code != CURLE_OK) {
        LOG_ERROR("Failed to initialise %s, code: %d\n", kLibrary, static_cast<int>(code));
        return nullptr;
    }
    functions = loaded;
    ready = true;
    return &functions;
}
