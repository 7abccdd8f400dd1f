// Owner of a jansson reference.
#pragma once

#include <jansson.h>

#include <memory>

#include "common/owners.h"  // c_str_ptr, for json_dumps' text

struct json_decref_deleter {
    void operator()(json_t *j) const { json_decref(j); }
};
// Holds one reference; release() hands it on (for example to the outgoing queue).
using json_ptr = std::unique_ptr<json_t, json_decref_deleter>;
