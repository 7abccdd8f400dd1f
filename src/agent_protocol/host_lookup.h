// Name lookups off the link thread: the C library's resolver blocks for as long as
// the name servers let it, and nothing may hold the link thread that long.
#pragma once

#include <cstddef>

// One lookup, shared by the worker thread that runs it and by its owner. Each side
// drops its share when done with it, so an owner may give up on a lookup that still
// hangs and free everything else: the worker keeps its own copy of the name.
struct host_lookup;

// Starts resolving host on a detached worker thread; nullptr when that thread cannot
// be created.
host_lookup *host_lookup_start(const char *host);
// 0 while the lookup runs; 1 when it is done, with the numeric address (an IPv4 one
// when there is one) in address; -1 when the name did not resolve.
int host_lookup_result(const host_lookup *lookup, char *address, size_t size);
// Gives up the owner's share; a worker that still runs frees the rest when it ends.
void host_lookup_release(host_lookup *lookup);
