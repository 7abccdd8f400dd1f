// Name lookups off the link thread: the C library's resolver blocks for as long as
// the name servers let it, and nothing may hold the link thread that long.
#pragma once

#include <cstddef>
#include <memory>

// One lookup, shared by the worker thread that runs it and by its owner, so an owner
// may drop a lookup that still hangs: the worker keeps its share, name included.
struct host_lookup;

// Starts resolving host on a detached worker thread; null when that thread cannot
// be created.
std::shared_ptr<host_lookup> host_lookup_start(const char *host);
// 0 while the lookup runs; 1 when it is done, with the numeric address (an IPv4 one
// when there is one) in address; -1 when the name did not resolve.
int host_lookup_result(const host_lookup &lookup, char *address, size_t size);
