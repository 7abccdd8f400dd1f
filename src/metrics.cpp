#include "metrics.h"

#include <cassert>
#include <chrono>
#include <cstdio>
#include <ctime>

#include "agent_protocol/agent_protocol.h"
#include "common/json_ptr.h"
#include "common/thread_util.h"
#include "log.h"
#include "norix/miner_support/stats.h"
#include "norix/miner_support/supervision.h"
#include "status.h"

namespace {

constexpr std::chrono::seconds kApiWaitStep{5};
constexpr std::chrono::seconds kMetricsPeriod{10};

BackgroundThread &metrics_worker() {
    return leaked<BackgroundThread, struct metrics_tag>();
}

json_t *compose_fan(const fan_stats &fan) {
    char id[12];
    snprintf(id, sizeof id, "%d", static_cast<int>(fan.id));
    return json_pack("{ss,si,si}", "id", id, "speed", static_cast<int>(fan.speed), "rpm",
                     static_cast<int>(fan.rpm));
}

json_t *compose_chain(const chain_stats &chain) {
    char id[12];
    snprintf(id, sizeof id, "%d", static_cast<int>(chain.id));
    return json_pack(
        "{ss,si,sf,sf,sf,sf,si,si,si}", "id", id, "num_chips", static_cast<int>(chain.chips),
        "hash_rate", chain.hash_rate, "freq", chain.freq_avg, "volt", chain.voltage, "watt",
        chain.consumption, "hw_errors", static_cast<int>(chain.hw_errors), "chip_temp",
        static_cast<int>(chain.chip_temp), "pcb_temp", static_cast<int>(chain.pcb_temp));
}

void metrics_thread() {
    BackgroundThread &worker = metrics_worker();
    // A stop while the miner's API is still away ends the thread with nothing sent.
    while (!cgminer_api_available()) {
        if (!worker.wait_for(kApiWaitStep))
            return;
    }
    if (!worker.running())
        return;
    (void)status_report_state(cgminer_autotuner_enabled() ? MINER_STATE_AUTOTUNING
                                                          : MINER_STATE_MINING);
    while (worker.running()) {
        if (std::unique_ptr<miner_stats> stats = cgminer_stats())
            (void)metrics_report(stats.get());
        if (!worker.wait_for(kMetricsPeriod))
            return;
    }
}

}  // namespace

int metrics_report(const miner_stats *stats) {
    assert(stats != nullptr);
    json_ptr fans(json_array());
    json_ptr chains(json_array());
    if (!fans || !chains)
        return -1;
    // An element that cannot be composed is left out of its array.
    for (int32_t i = 0; i < stats->fan_count && i < kStatsMaxFans; ++i)
        json_array_append_new(fans.get(), compose_fan(stats->fans[i]));
    for (int32_t i = 0; i < stats->chain_count && i < kStatsChainSlots; ++i)
        json_array_append_new(chains.get(), compose_chain(stats->chains[i]));
    json_t *msg = json_pack(
        "{ss,si,sf,sf,si,sf,si,so,so}", "type", "metrics", "timestamp",
        static_cast<int>(stats->timestamp), "hash_rate", stats->hash_rate, "freq", stats->freq_avg,
        "temp", static_cast<int>(stats->temp_max), "watt", stats->consumption, "hw_errors",
        static_cast<int>(stats->hw_errors), "fans", fans.release(), "chains", chains.release());
    if (msg == nullptr)
        return -1;
    return agent_enqueue_message(msg);
}

int metrics_report_zero() {
    miner_stats zero{};
    zero.timestamp = time(nullptr);
    return metrics_report(&zero);
}

int metrics_thread_start() {
    metrics_worker().start_or_abort("rigkeep@metrics", metrics_thread,
                                    "Failed to create metrics thread, code: %d\n");
    return 0;
}

int metrics_thread_stop() {
    metrics_worker().stop();
    return 0;
}
