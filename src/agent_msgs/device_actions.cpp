// The service's requests that act on the device: reboot, logs, start and stop
// mining, the web password, chip metrics and the firmware update.
#include <jansson.h>
#include <mbedtls/md5.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "agent.h"
#include "agent_msgs/agent_msgs.h"
#include "agent_protocol/agent_protocol.h"
#include "common/atomic_file.h"
#include "common/json_ptr.h"
#include "common/paths.h"
#include "common/process_exit.h"
#include "common/spawn.h"
#include "common/thread_util.h"
#include "firmware.h"
#include "log.h"
#include "miner.h"
#include "norix/miner_config.h"
#include "norix/miner_support/stats.h"
#include "status.h"
#include "util.h"

namespace {

constexpr const char *kWebUser = "root";
constexpr const char *kWebRealm = "antMiner Configuration";
constexpr size_t kWebLineBuffer = 256;
// How long the end of an update waits for its last reports to leave.
constexpr std::chrono::milliseconds kExitDrainLimit{1000};

// Set on the link thread once the update thread exists; the update ends the process.
std::atomic<bool> update_in_progress{false};

// The request as indented text for a parse error line.
c_str_ptr request_text(const json_t *root) {
    return c_str_ptr(json_dumps(root, JSON_INDENT(2)));
}

const char *text_of(const c_str_ptr &text) {
    return text ? text.get() : "";
}

void reboot_device() {
    (void)run_shell("reboot");
}

int handle_reboot(json_t *) {
    LOG_INFO("Rebooting asic, mode = %s\n", "hard");
    reboot_device();
    return 0;
}

int handle_logs(json_t *root) {
    const char *request_id = nullptr;
    if (json_unpack(root, "{ss}", "request_id", &request_id) != 0) {
        c_str_ptr text = request_text(root);
        LOG_ERROR("Failed to parse get logs request:\n%s\n", text_of(text));
        return -1;
    }
    (void)miner_queue_logs(request_id);  // its answer comes later, or none without a link
    return 0;
}

int handle_start_mining(json_t *) {
    return mining_start();
}

int handle_stop_mining(json_t *) {
    return mining_stop();
}

int handle_status(json_t *) {
    return 0;
}

// Durable and atomic: a failed save leaves the old file whole.
int save_lighttpd_user_conf(const char *line) {
    return save_config_file(paths::kHtdigest, line);
}

int handle_config_web_access(json_t *root) {
    const char *password = nullptr;
    if (json_unpack(root, "{ss}", "new_password", &password) != 0) {
        c_str_ptr text = request_text(root);
        LOG_ERROR("Wrong set web password request: \n%s\n", text_of(text));
        return -1;
    }
    // The digest is over "user:realm:password", cut to the buffer like the line.
    char line[kWebLineBuffer];
    snprintf(line, sizeof line, "%s:%s:%s", kWebUser, kWebRealm, password);
    unsigned char digest[16];
    mbedtls_md5_context md5;
    mbedtls_md5_init(&md5);
    int rc = mbedtls_md5_starts_ret(&md5);
    if (rc == 0)
        rc = mbedtls_md5_update_ret(&md5, reinterpret_cast<const unsigned char *>(line),
                                    strlen(line));
    if (rc == 0)
        rc = mbedtls_md5_finish_ret(&md5, digest);
    mbedtls_md5_free(&md5);
    if (rc != 0) {
        LOG_ERROR("Failed to compute web password digest, code: %d\n", rc);
        return -1;
    }
    char hex[2 * sizeof digest + 1];
    util_hex(digest, sizeof digest, hex);
    snprintf(line, sizeof line, "%s:%s:%s", kWebUser, kWebRealm, hex);
    return save_lighttpd_user_conf(line);
}

const char *chip_state_name(uint32_t state) {
    switch (state) {
        case CHIP_STATE_FAST:
            return "fast";
        case CHIP_STATE_SLOW:
            return "slow";
        case CHIP_STATE_UNSTABLE:
            return "unstable";
        default:
            return "unknown";
    }
}

json_t *compose_chip_metrics(const chip_stats &chip) {
    char id[16];
    snprintf(id, sizeof id, "%u", chip.id);
    json_t *obj =
        json_pack("{ss,si,si,ss}", "id", id, "hr", static_cast<int>(chip.hashrate), "freq",
                  static_cast<int>(chip.freq), "state", chip_state_name(chip.state));
    if (obj != nullptr && chip.custom_freq)
        json_object_set_new(obj, "custom_freq", json_true());
    return obj;
}

json_t *compose_chain_metrics(const chips_stats &stats) {
    json_t *chips = json_array();
    for (const chip_stats &chip : stats.chips) {
        if (json_t *obj = compose_chip_metrics(chip))
            json_array_append_new(chips, obj);
    }
    char chain[16];
    snprintf(chain, sizeof chain, "%u", stats.chain);
    json_error_t error;
    json_t *msg = json_pack_ex(&error, 0, "{ss,so}", "chain_id", chain, "chips", chips);
    if (msg == nullptr)
        LOG_ERROR("Failed to serialize chip metrics - %s\n", error.text);
    return msg;
}

// The chain number in decimal, or -1 when the text is not a number.
int parse_chain_id(const char *text) {
    char *end = nullptr;
    errno = 0;
    long value = strtol(text, &end, 10);
    if (end == text || *end != '\0' || errno != 0 || value < INT32_MIN || value > INT32_MAX)
        return -1;
    return static_cast<int>(value);
}

int agent_report_chip_metrics(json_t *root) {
    const char *request_id = nullptr;
    const char *chain_id = nullptr;
    if (json_unpack(root, "{ss,ss}", "request_id", &request_id, "chain_id", &chain_id) != 0) {
        c_str_ptr text = request_text(root);
        LOG_ERROR("Failed to parse chip metrics request:\n%s\n", text_of(text));
        return -1;
    }
    int chain = parse_chain_id(chain_id);
    if (!miner_chain_on_board(chain)) {
        LOG_ERROR("Invalid chain id: %d\n", chain);
        return -1;
    }
    std::unique_ptr<chips_stats> stats = cgminer_chips_stats(static_cast<uint32_t>(chain));
    if (!stats)
        return -1;  // the miner file could not be read (logged)
    json_ptr msg(compose_chain_metrics(*stats));
    stats.reset();
    if (!msg) {
        LOG_ERROR("Failed to serialize chip metrics\n");
        return -1;
    }
    json_object_set_new(msg.get(), "type", json_string("chip_metrics"));
    json_object_set_new(msg.get(), "request_id", json_string(request_id));
    json_object_set_new(msg.get(), "ok", json_true());
    return agent_enqueue_message(msg.release());
}

// The update ends the process. The last reports leave first, and the link is closed
// (or a stop signal's close awaited), so that no thread is inside the TLS library at
// the exit; "Goodbye!" stays the last line. When a stop signal came first, the main
// thread ends the process instead and this returns.
void end_process(int status) {
    (void)agent_wait_queue_drained(kExitDrainLimit);
    agent_stop();
    process_exit(status);
}

// Ends the process, or returns when a stop signal is ending it.
void update_firmware_thread(const std::string &url) {
    mining_disable_start();
    // The "pause" of this stop is kept, not sent: "updating" follows at once.
    status_reports_suspend(status_suspender::firmware_update);
    if (mining_is_running() && mining_stop() != 0) {
        LOG_ERROR("Failed to stop the miner\n");
        (void)run_shell("killall -9 bmminer");
    }
    status_reports_resume(status_suspender::firmware_update);
    if (firmware_update(url.c_str()) == 0) {
        LOG_INFO("Restarting velmora agent\n");
        (void)run_shell("/etc/init.d/rigkeep.sh restart");
        end_process(0);
        return;
    }
    end_process(1);  // the miner stays stopped
}

int handle_update_firmware(json_t *root) {
    const char *version = nullptr;
    const char *url = nullptr;
    json_error_t error;
    if (json_unpack_ex(root, &error, 0, "{ss,ss}", "firmware_ver", &version, "firmware_url",
                       &url) != 0) {
        LOG_ERROR("Failed to parse firmware update request - %s\n", error.text);
        return -1;
    }
    if (update_in_progress) {
        LOG_WARN("Firmware update is already in progress\n");
        return 0;
    }
    // Never stopped nor joined: the update ends the process.
    leaked<BackgroundThread, struct update_tag>().start_or_abort(
        "rigkeep@update", [url = std::string(url)] { update_firmware_thread(url); },
        "Failed to create firmware update thread, code: %d\n");
    update_in_progress = true;
    return 0;
}

}  // namespace

void register_device_action_handlers() {
    agent_register_request_handler("status", handle_status);
    agent_register_request_handler("reboot", handle_reboot);
    agent_register_request_handler("logs", handle_logs);
    agent_register_request_handler("start_mining", handle_start_mining);
    agent_register_request_handler("stop_mining", handle_stop_mining);
    agent_register_request_handler("config_web_access", handle_config_web_access);
    agent_register_request_handler("chip_metrics", agent_report_chip_metrics);
    agent_register_request_handler("update_firmware", handle_update_firmware);
}
