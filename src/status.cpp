#include "status.h"

#include <atomic>
#include <cassert>
#include <chrono>
#include <optional>
#include <type_traits>

#include "agent.h"
#include "agent_protocol/agent_protocol.h"
#include "common/firmware_identity.h"
#include "common/json_ptr.h"
#include "common/thread_util.h"
#include "log.h"
#include "norix/miner_support/stats.h"
#include "norix/miner_support/supervision.h"
#include "status_internal.h"
#include "util.h"

std::mutex status_lock;

namespace {

constexpr std::chrono::seconds kStatusPeriod{30};

// Guarded by status_lock. Trivially destructible: a thread may still report while
// the process exits.
std::optional<miner_state> current_state;
std::optional<pools_stats> current_pools_stats;
static_assert(std::is_trivially_destructible_v<std::optional<pools_stats>>);

// One bit per status_suspender; reports are sent only while all are clear.
std::atomic<uint8_t> status_suspended{0};

uint8_t suspender_bit(status_suspender owner) {
    return static_cast<uint8_t>(1u << static_cast<unsigned>(owner));
}

BackgroundThread &status_worker() {
    return leaked<BackgroundThread, struct status_tag>();
}

// With status_lock held: the last fetch is dropped; a stopped miner gives none.
void refresh_pools_stats() {
    current_pools_stats.reset();
    if (!cgminer_api_available())
        return;
    if (std::unique_ptr<pools_stats> fetched = cgminer_pools_stats())
        current_pools_stats = *fetched;
}

// With status_lock held.
int status_report_send() {
    if (status_suspended != 0)
        return 0;
    if (!agent_is_authenticated())
        return -1;
    netinfo net{};
    bool have_net = util_netinfo("eth0", &net) == 0;
    json_t *msg =
        compose_status(current_state ? &*current_state : nullptr, have_net ? &net : nullptr,
                       current_pools_stats ? &*current_pools_stats : nullptr);
    if (msg == nullptr)
        return -1;
    return agent_enqueue_message(msg);
}

void status_thread() {
    BackgroundThread &worker = status_worker();
    while (worker.wait_for(kStatusPeriod)) {
        std::lock_guard lock(status_lock);
        if (!worker.running())
            return;  // the stop came while another report held the lock
        refresh_pools_stats();
        (void)status_report_send();
    }
}

}  // namespace

const char *miner_state_name(int32_t state) {
    switch (state) {
        case MINER_STATE_INITIALIZING:
            return "initializing";
        case MINER_STATE_MINING:
            return "mining";
        case MINER_STATE_PAUSE:
            return "pause";
        case MINER_STATE_ERROR:
            return "error";
        case MINER_STATE_UPDATING:
            return "updating";
        case MINER_STATE_RESTARTING:
            return "restarting";
        case MINER_STATE_AUTOTUNING:
            return "autotuning";
        default:
            return "unknown";
    }
}

const char *pool_status_name(uint32_t status) {
    switch (status) {
        case POOL_STATE_ACTIVE:
            return "active";
        case POOL_STATE_ALIVE:
            return "alive";
        case POOL_STATE_DEAD:
            return "dead";
        default:
            return "unknown";
    }
}

json_t *compose_miner_state(const miner_state *state) {
    assert(state != nullptr);
    if (state->state == MINER_STATE_UPDATING)
        return json_pack("{ss,si}", "name", miner_state_name(state->state), "progress",
                         static_cast<int>(state->progress));
    return json_pack("{ss}", "name", miner_state_name(state->state));
}

json_t *compose_network_info(const netinfo *info) {
    assert(info != nullptr);
    char ip[16], netmask[16], gateway[16], mac[18];
    util_inet_ntoa(info->ip, ip);
    util_inet_ntoa(info->netmask, netmask);
    util_inet_ntoa(info->gateway, gateway);
    util_ether_ntoa(info->mac, mac);
    json_ptr dns(json_array());
    if (!dns)
        return nullptr;
    for (uint8_t i = 0; i < info->dns_count && i < std::size(info->dns); ++i) {
        char server[16];
        util_inet_ntoa(info->dns[i], server);
        json_array_append_new(dns.get(), json_string(server));
    }
    return json_pack("{ss,ss,ss,so,ss}", "ip", ip, "netmask", netmask, "gateway", gateway,
                     "dnsservers", dns.release(), "mac", mac);
}

json_t *compose_pool_stats(const pool_stats *stats) {
    assert(stats != nullptr);
    if (stats->status == POOL_STATE_UNKNOWN)
        return nullptr;
    return json_pack("{sb,ss,sI,sI,sI,ss}", "boost", stats->asic_boost, "difficulty", stats->diff,
                     "accepted", static_cast<json_int_t>(stats->accepted), "rejected",
                     static_cast<json_int_t>(stats->rejected), "stale",
                     static_cast<json_int_t>(stats->stale), "status",
                     pool_status_name(stats->status));
}

json_t *compose_pools_status(const pools_stats *stats) {
    if (stats == nullptr)
        return nullptr;
    json_ptr service_fee(json_array());
    if (!service_fee)
        return nullptr;
    for (uint32_t i = 0; i < stats->svc_fee_count && i < std::size(stats->svc_fee); ++i) {
        if (json_t *pool = compose_pool_stats(&stats->svc_fee[i]))
            json_array_append_new(service_fee.get(), pool);
    }
    return json_pack("{so*,so*,so*,so}", "main", compose_pool_stats(&stats->main), "reserved",
                     compose_pool_stats(&stats->reserved), "reserved2",
                     compose_pool_stats(&stats->reserved2), "service_fee", service_fee.release());
}

json_t *compose_status(const miner_state *state, const netinfo *net, const pools_stats *pools) {
    json_error_t error;
    // Every "o" value is taken over by the pack, also when it fails.
    json_t *msg = json_pack_ex(
        &error, 0, "{ss,ss,ss,so*,so,so*}", "type", "status", "firmware_id", firmware_id(),
        "firmware_ver", firmware_ver(), "state", state ? compose_miner_state(state) : nullptr,
        "network", net ? compose_network_info(net) : nullptr, "pools", compose_pools_status(pools));
    if (msg == nullptr)
        LOG_ERROR("Failed to compose status object - %s\n", error.text);
    return msg;
}

int status_report_miner_state(const miner_state *state) {
    assert(state != nullptr);
    std::lock_guard lock(status_lock);
    current_state = *state;
    refresh_pools_stats();
    return status_report_send();
}

int status_report_state(int32_t state) {
    const miner_state report{state, 0};
    return status_report_miner_state(&report);
}

int status_report_current() {
    std::lock_guard lock(status_lock);
    if (!current_state)
        current_state = miner_state{MINER_STATE_INITIALIZING, 0};
    return status_report_send();
}

void status_reports_suspend(status_suspender owner) {
    status_suspended.fetch_or(suspender_bit(owner));
}

void status_reports_resume(status_suspender owner) {
    status_suspended.fetch_and(static_cast<uint8_t>(~suspender_bit(owner)));
}

int status_thread_start() {
    status_worker().start_or_abort("rigkeep@status", status_thread,
                                   "Failed to create status reporting thread, code: %d\n");
    return 0;
}

int status_thread_stop() {
    if (!status_worker().stop())
        return 0;
    std::lock_guard lock(status_lock);
    current_state.reset();
    current_pools_stats.reset();
    return 0;
}
