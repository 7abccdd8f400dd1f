// Time of one settings commit that rewrites the miner file: load, one changed
// setter, save. The save holds the agent's "own write" mark for a fixed second
// after writing; that window is measured on its own and taken out.
//
// Writes /config/bmminer.conf: run only inside the device sandbox
// (bench/settings_commit_bench.py does that).
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <thread>
#include <vector>

#include "common/paths.h"
#include "norix/miner_config.h"
#include "norix/miner_support/settings.h"

namespace {

using steady = std::chrono::steady_clock;

double ms(steady::duration d) {
    return std::chrono::duration<double, std::milli>(d).count();
}

double median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}

}  // namespace

int main(int argc, char **argv) {
    const int runs = argc > 1 ? atoi(argv[1]) : 20;

    // A full-size record: three pools and every chip with its own frequency.
    miner_config cfg;
    memset(&cfg, 0, sizeof cfg);
    cfg.pool_count = 3;
    for (int i = 0; i < 3; ++i) {
        snprintf(cfg.pools[i].url, sizeof cfg.pools[i].url, "stratum+tcp://pool%d.example:3333", i);
        snprintf(cfg.pools[i].user, sizeof cfg.pools[i].user, "worker.%d", i);
        snprintf(cfg.pools[i].pass, sizeof cfg.pools[i].pass, "x");
    }
    cfg.api_listen = cfg.api_network = cfg.use_vil = true;
    snprintf(cfg.api_groups, sizeof cfg.api_groups, "A:stats:pools:devs:summary:version");
    snprintf(cfg.api_allow, sizeof cfg.api_allow, "W:0/0");
    cfg.freq = 650;
    cfg.voltage = 890;
    cfg.multi_version = 1;
    cfg.autodownscale_prec = 75;
    cfg.autodownscale_min = 400;
    cfg.autodownscale_step = 2;
    cfg.autodownscale_after = 2;
    for (auto &chain : cfg.chip_freq)
        for (auto &chip : chain)
            chip = 650;
    if (miner_config_save(paths::kMinerConfig, &cfg) != 0) {
        fprintf(stderr, "cannot write the starting file\n");
        return 1;
    }

    std::vector<double> commit, window, write_only;
    for (int i = 0; i < runs; ++i) {
        // The fixed window alone, as the save sleeps it.
        auto w0 = steady::now();
        std::this_thread::sleep_for(std::chrono::seconds(1));
        window.push_back(ms(steady::now() - w0));

        auto t0 = steady::now();
        if (cgminer_config_load() != 0 || cgminer_freq(static_cast<uint16_t>(600 + i % 2)) != 1 ||
            cgminer_config_save() != 1) {
            fprintf(stderr, "commit %d failed\n", i);
            return 1;
        }
        commit.push_back(ms(steady::now() - t0));

        // The write step by itself, for comparison.
        cfg.freq = static_cast<uint16_t>(700 + i % 2);
        auto s0 = steady::now();
        if (miner_config_save(paths::kMinerConfig, &cfg) != 0)
            return 1;
        write_only.push_back(ms(steady::now() - s0));
    }
    const double window_ms = median(window);
    printf(
        "{\"runs\": %d, \"commit_total_ms\": %.3f, \"window_ms\": %.3f, "
        "\"commit_without_window_ms\": %.3f, \"commit_without_window_min_ms\": %.3f, "
        "\"file_write_ms\": %.3f}\n",
        runs, median(commit), window_ms, median(commit) - window_ms,
        *std::min_element(commit.begin(), commit.end()) - window_ms, median(write_only));
    return 0;
}
