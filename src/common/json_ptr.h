// Owner of a jansson reference.
#pragma once

#include <jansson.h>

#include <cstdlib>
#include <memory>

struct json_decref_deleter {
    void operator()(json_t *j) const { json_decref(j); }
};
// Holds one reference; release() hands it on (for example to the outgoing queue).
using json_ptr = std::unique_ptr<json_t, json_decref_deleter>;

struct free_deleter {
    void operator()(void *p) const { std::free(p); }
};
// Text allocated by the C library (json_dumps, strdup, util_str_replace).
using c_str_ptr = std::unique_ptr<char, free_deleter>;
