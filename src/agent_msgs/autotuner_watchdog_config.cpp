// The autotuner and watchdog requests, and the configuration exchange that follows
// every accepted authentication: the device's document uploaded when the service
// asks for it (or the marker file is there), then the service's configuration
// requested and applied.
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "agent_msgs/agent_msgs.h"
#include "agent_msgs/settings_request.h"
#include "agent_protocol/agent_protocol.h"
#include "common/json_ptr.h"
#include "common/paths.h"
#include "config.h"
#include "log.h"
#include "miner.h"
#include "norix/miner_support/document.h"
#include "norix/miner_support/settings.h"
#include "status.h"

namespace {

// The service answers each of our requests within this long, or the link is dropped.
constexpr int kAnswerSeconds = 30;

bool upload_marker_exists() {
    return access(paths::kUploadMarker, F_OK) == 0;
}

int handle_config_autotuner(json_t *root) {
    return run_settings_request(config_autotuner, root);
}

int handle_config_watchdog(json_t *root) {
    return run_settings_request(config_watchdog, root);
}

// The live network settings as the service sees them (the hostname stays local).
json_t *compose_network_section() {
    const network_config &net = agent_config_get()->network;
    if (net.mode != 1)
        return json_pack("{ss}", "mode", "dhcp");
    json_t *dns = json_array();
    for (uint32_t i = 0; dns != nullptr && i < net.dns_count && i < 2; ++i)
        json_array_append_new(dns, json_string(net.dns[i]));
    return json_pack("{ss,ss,ss,ss,so}", "mode", "static", "ip", net.ip, "netmask", net.netmask,
                     "gateway", net.gateway, "dnsservers", dns);
}

int request_server_config() {
    json_t *msg = json_pack("{ss}", "type", "config");
    if (msg == nullptr) {
        LOG_ERROR("Failed to compose config request\n");
        return -1;
    }
    conn_abort_timer_start(kAnswerSeconds);
    return agent_enqueue_message(msg);
}

// Without a document there is nothing to upload: the caller drops the link, and the
// exchange starts over after the reconnection.
int upload_device_config() {
    json_ptr doc = compose_config();
    if (!doc) {
        LOG_ERROR("Failed to compose device config, dropping the connection\n");
        return -1;
    }
    json_t *network = compose_network_section();
    if (network == nullptr || json_object_set_new(doc.get(), "network", network) != 0 ||
        json_object_set_new(doc.get(), "type", json_string("update_config")) != 0) {
        LOG_ERROR("Failed to compose device config, dropping the connection\n");
        return -1;
    }
    conn_abort_timer_start(kAnswerSeconds);
    return agent_enqueue_message(doc.release());
}

// After an accepted authentication; a negative result drops the link.
int config_exchange_after_auth() {
    network_change_heard();
    if (!agent_registration_requested() && !upload_marker_exists()) {
        // An earlier link may have been lost in the middle of an upload.
        status_reports_resume(status_suspender::config_upload);
        status_report_current();
        return request_server_config();
    }
    status_reports_suspend(status_suspender::config_upload);
    return upload_device_config();
}

int handle_update_config(json_t *, json_t *ok) {
    if (json_is_true(ok))
        LOG_INFO("Successfully update config on the server\n");
    else
        LOG_INFO("Update config failed\n");

    // Only the answer to the upload moves the exchange on; others (the chains update,
    // the watch's updates) need nothing.
    if (!agent_registration_requested() && !upload_marker_exists())
        return 0;
    status_reports_resume(status_suspender::config_upload);
    if (unlink(paths::kUploadMarker) != 0 && errno != ENOENT)
        LOG_WARN("Failed to remove %s - %s\n", paths::kUploadMarker, strerror(errno));
    agent_registration_clear();
    conn_abort_timer_stop();
    return request_server_config();
}

int handle_config(json_t *root, json_t *ok) {
    conn_abort_timer_stop();
    if (json_is_false(ok)) {
        const char *message = json_string_value(json_object_get(root, "message"));
        LOG_ERROR("Request config failed - %s\n", message != nullptr ? message : "(null)");
        return -1;
    }

    // Saved for the next restart of the network, not applied now.
    json_t *network = json_object_get(root, "network");
    if (network != nullptr && config_network(network) < 0)
        return -1;

    if (miner_settings_begin() < 0)
        return -1;
    static const struct {
        const char *key;
        int (*apply)(json_t *);
    } kSections[] = {
        {"pools", config_pools},   {"fans", config_fans},           {"perf", config_perf},
        {"chains", config_chains}, {"autotuner", config_autotuner}, {"watchdog", config_watchdog},
    };
    for (const auto &section : kSections) {
        json_t *value = json_object_get(root, section.key);
        if (value != nullptr && section.apply(value) < 0)
            return -1;  // nothing committed; the next edit loads the file again
    }
    if (miner_settings_commit() < 0)
        return -1;
    if (!mining_is_running())
        mining_start();
    return 0;
}

}  // namespace

int parse_autotuner(json_t *autotuner, autotuner_request *out) {
    json_error_t error;
    if (json_unpack_ex(autotuner, &error, 0, "{sb,sb,sb,s?I,sI,sI,sI,sI,sI,s?b}", "stage1",
                       &out->stage1, "stage2", &out->stage2, "stage3", &out->stage3,
                       "stage3_interval", &out->stage3_interval, "downclock_step",
                       &out->downclock_step, "min_freq", &out->min_freq, "hashrate_deviation",
                       &out->hashrate_deviation, "test_time", &out->test_time, "down_freq_hw",
                       &out->down_freq_hw, "reset_chips", &out->reset_chips) != 0) {
        LOG_ERROR("Failed to parse config autotuner request - %s\n", error.text);
        return -1;
    }
    for (json_int_t value : {out->stage3_interval, out->downclock_step, out->min_freq,
                             out->hashrate_deviation, out->test_time, out->down_freq_hw}) {
        if (!fits_int(value)) {
            LOG_ERROR("Failed to parse config autotuner request - %s\n", "Integer out of range");
            return -1;
        }
    }
    return 0;
}

int apply_autotuner(const autotuner_request &req) {
    // Frequencies keep their low 16 bits, as the record stores them.
    return cgminer_autotuner(
        req.stage1 != 0, req.stage2 != 0, req.stage3 != 0,
        static_cast<int32_t>(req.stage3_interval), static_cast<int32_t>(req.downclock_step),
        static_cast<uint16_t>(req.min_freq & 0xFFFF), static_cast<int32_t>(req.hashrate_deviation),
        static_cast<int32_t>(req.test_time), static_cast<int32_t>(req.down_freq_hw),
        req.reset_chips != 0);
}

int config_autotuner(json_t *root) {
    autotuner_request req;
    return parse_autotuner(root, &req) != 0 ? -1 : apply_autotuner(req);
}

int config_watchdog(json_t *root) {
    // Only integers that fit count; anything else is 0 (the watchdog's "off").
    auto value = [root](const char *key) {
        json_t *v = json_object_get(root, key);
        return json_is_integer(v) && fits_int(json_integer_value(v))
                   ? static_cast<int32_t>(json_integer_value(v))
                   : 0;
    };
    return cgminer_watchdog(value("min_hr"), value("max_xchips"), value("max_temp"));
}

void register_autotuner_watchdog_config_handlers() {
    agent_register_request_handler("config_autotuner", handle_config_autotuner);
    agent_register_request_handler("config_watchdog", handle_config_watchdog);
    agent_register_reply_handler("config", handle_config);
    agent_register_reply_handler("update_config", handle_update_config);
    agent_set_auth_followup(config_exchange_after_auth);
}
