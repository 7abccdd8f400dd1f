// Cost of the status and metrics reports against the miner on localhost:4028 and
// eth0 of the device, and how long a stop of each reporting thread takes. Run
// inside the device sandbox by reports_bench.py.
//
//   reports_bench [ROUNDS]   prints one JSON line
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <thread>
#include <vector>

#include "common/json_ptr.h"
#include "metrics.h"
#include "norix/miner_support/stats.h"
#include "status_internal.h"
#include "util.h"

namespace {

using steady = std::chrono::steady_clock;

struct Series {
    std::vector<double> ms;
    void add(steady::time_point t0) {
        ms.push_back(std::chrono::duration<double, std::milli>(steady::now() - t0).count());
    }
    void print(const char *name, bool last = false) {
        std::sort(ms.begin(), ms.end());
        printf("\"%s_ms_median\": %.3f, \"%s_ms_p95\": %.3f, \"%s_ms_max\": %.3f%s", name,
               ms[ms.size() / 2], name, ms[ms.size() * 95 / 100], name, ms.back(),
               last ? "" : ", ");
    }
};

size_t dumped_size(const json_t *msg) {
    c_str_ptr text(json_dumps(msg, JSON_INDENT(2) | JSON_REAL_PRECISION(10)));
    return text ? strlen(text.get()) : 0;
}

}  // namespace

int main(int argc, char **argv) {
    const int rounds = argc > 1 ? atoi(argv[1]) : 100;
    std::unique_ptr<miner_stats> stats = cgminer_stats();
    if (!stats) {
        fprintf(stderr, "no statistics from the miner\n");
        return 1;
    }
    // What one status report costs before it is queued: eth0, the pools' fetch, the
    // message; and the message a metrics report builds from a record at hand.
    Series status, metrics, status_stop, metrics_stop;
    size_t status_bytes = 0;
    const miner_state state{MINER_STATE_MINING, 0};
    for (int i = 0; i < rounds; ++i) {
        auto t0 = steady::now();
        netinfo net{};
        if (util_netinfo("eth0", &net) != 0)
            return 1;
        std::unique_ptr<pools_stats> pools = cgminer_pools_stats();
        json_ptr msg(compose_status(&state, &net, pools.get()));
        status.add(t0);
        if (!msg || !pools)
            return 1;
        status_bytes = dumped_size(msg.get());

        t0 = steady::now();
        metrics_report(stats.get());  // composed, then dropped: there is no link here
        metrics.add(t0);
    }
    // A stop lands in a miner API call or in a sleep, whichever the thread is in.
    for (int i = 0; i < std::min(rounds, 20); ++i) {
        status_thread_start();
        metrics_thread_start();
        std::this_thread::sleep_for(std::chrono::milliseconds(100 + 10 * (i % 10)));
        auto t0 = steady::now();
        metrics_thread_stop();
        metrics_stop.add(t0);
        t0 = steady::now();
        status_thread_stop();
        status_stop.add(t0);
    }
    printf("{\"rounds\": %d, \"status_bytes\": %zu, \"chains\": %d, ", rounds, status_bytes,
           stats->chain_count);
    status.print("status_compose");
    metrics.print("metrics_compose");
    status_stop.print("status_stop");
    metrics_stop.print("metrics_stop", true);
    printf("}\n");
    return 0;
}
