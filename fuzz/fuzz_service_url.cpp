// The service URL the link connects to.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

#include "util.h"

namespace {
template <size_t N>
bool terminated(const char (&text)[N]) {
    return strnlen(text, N) < N;
}
}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    const std::string url(reinterpret_cast<const char *>(data), size);
    parsed_url parsed;
    if (util_parse_url(url.c_str(), &parsed) != 0)
        return 0;
    if (!terminated(parsed.scheme) || !terminated(parsed.host) || !terminated(parsed.path) ||
        parsed.host[0] == '\0' || parsed.path[0] != '/')
        abort();
    return 0;
}
