// Wall time and heap allocations of one cgminer_stats() call against the miner on
// localhost:4028. Run inside the device sandbox by cgminer_stats_bench.py.
//
//   cgminer_stats_bench [CALLS]   prints one JSON line
#include <malloc.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <vector>

#include "norix/miner_support/stats.h"

extern "C" {
void *__libc_malloc(size_t);
void *__libc_calloc(size_t, size_t);
void *__libc_realloc(void *, size_t);
void *__libc_memalign(size_t, size_t);
void __libc_free(void *);
}

namespace {
std::atomic<long> g_allocs{0};
std::atomic<long> g_bytes{0};
}  // namespace

// Every allocation of the process, jansson's and the C++ runtime's included,
// passes through these.
extern "C" void *malloc(size_t size) {
    g_allocs.fetch_add(1, std::memory_order_relaxed);
    g_bytes.fetch_add(static_cast<long>(size), std::memory_order_relaxed);
    return __libc_malloc(size);
}
extern "C" void *calloc(size_t n, size_t size) {
    g_allocs.fetch_add(1, std::memory_order_relaxed);
    g_bytes.fetch_add(static_cast<long>(n * size), std::memory_order_relaxed);
    return __libc_calloc(n, size);
}
extern "C" void *realloc(void *p, size_t size) {
    g_allocs.fetch_add(1, std::memory_order_relaxed);
    g_bytes.fetch_add(static_cast<long>(size), std::memory_order_relaxed);
    return __libc_realloc(p, size);
}
extern "C" void free(void *p) {
    __libc_free(p);
}

int main(int argc, char **argv) {
    const int calls = argc > 1 ? atoi(argv[1]) : 200;
    // The first call pays for the resolver's files and the library's lazy set-up.
    if (!cgminer_stats()) {
        fprintf(stderr, "no statistics from the miner\n");
        return 1;
    }
    std::vector<double> ms;
    std::vector<long> allocs;
    long bytes = 0;
    for (int i = 0; i < calls; ++i) {
        const long a0 = g_allocs.load();
        const long b0 = g_bytes.load();
        const auto t0 = std::chrono::steady_clock::now();
        auto s = cgminer_stats();
        const auto t1 = std::chrono::steady_clock::now();
        if (!s)
            return 1;
        s.reset();
        allocs.push_back(g_allocs.load() - a0);
        bytes = g_bytes.load() - b0;
        ms.push_back(std::chrono::duration<double, std::milli>(t1 - t0).count());
    }
    std::sort(ms.begin(), ms.end());
    std::sort(allocs.begin(), allocs.end());
    printf(
        "{\"calls\": %d, \"ms_min\": %.3f, \"ms_median\": %.3f, \"ms_p95\": %.3f, "
        "\"ms_max\": %.3f, \"allocs_min\": %ld, \"allocs_median\": %ld, "
        "\"allocs_max\": %ld, \"bytes_last\": %ld}\n",
        calls, ms.front(), ms[ms.size() / 2], ms[ms.size() * 95 / 100], ms.back(), allocs.front(),
        allocs[allocs.size() / 2], allocs.back(), bytes);
    return 0;
}
