// One text frame from the service: reassembled, decoded and dispatched through the
// daemon's own handler table, on a scratch device.
#include <algorithm>
#include <cstdint>
#include <fstream>
#include <iterator>
#include <string>

#include "agent.h"
#include "agent_msgs/agent_msgs.h"
#include "common/paths.h"
#include "config.h"
#include "detached_link.h"
#include "device_root.h"
#include "miner.h"
#include "status.h"

namespace {

// What the library hands the receive callback at a time with deflate on.
constexpr size_t kPiece = 1024;

std::string slurp(const char *path) {
    std::ifstream in(path);
    if (!in)
        abort();
    return std::string(std::istreambuf_iterator<char>(in), {});
}

struct Device {
    std::string miner_file = slurp(FUZZ_CORPUS_DIR "/miner_config/sim-miner.conf");
    std::string agent_file =
        R"({"api_key": "fuzz-key", "dev_id": "0BADF00D1234ABCD-02524B000001"})";
    std::string network_file = slurp(FUZZ_CORPUS_DIR "/network_config/static-two-dns");
    std::string chip_dump = slurp(FUZZ_CORPUS_DIR "/chip_dump/sim-miner-default");
    agent_config loaded{};
    DetachedLink *link = nullptr;

    // Every frame meets the same device.
    void reset() {
        put_file(paths::kMinerConfig, miner_file);
        put_file(paths::kAgentConfig, agent_file);
        put_file(paths::kNetworkConfig, network_file);
        {
            std::lock_guard lock(agent_config_lock);
            *agent_config_get() = loaded;
        }
        agent_registration_clear();
        status_reports_resume(status_suspender::config_upload);
        link->conn.conn_state = CONN_AUTH_SENT;
    }
};

Device *device;

}  // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
    device = new Device;
    enter_device_root();
    device->link = new DetachedLink;
    put_file(paths::kChipHashrates, device->chip_dump.substr(device->chip_dump.find('\0') + 1));
    device->reset();
    if (config_load(paths::kAgentConfig, &device->loaded) != 0)
        abort();

    register_network_pools_handlers();
    register_fans_perf_chains_handlers();
    register_autotuner_watchdog_config_handlers();
    register_device_action_handlers();
    // Not in the table: each runs a command on the machine that nothing in the daemon
    // can redirect (the reboot, the network restart, the firmware download that ends
    // the process). The network section of the "config" answer still reaches the
    // same parser and saves.
    for (const char *type : {"reboot", "config_network", "update_firmware"})
        agent_register_request_handler(type, nullptr);
    // "start_mining" and the "config" answer would start the miner.
    mining_disable_start();
    // The log request runs its command only for a connected link.
    if (agent_is_connected())
        abort();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    device->reset();
    conn_data *conn = &device->link->conn;
    inc_msg_reset(conn);
    for (size_t at = 0; at < size; at += kPiece)
        inc_msg_append_fragment(data + at, std::min(kPiece, size - at), conn);
    (void)decode_message(&device->link->vhd, conn);
    device->link->take_sendable();
    return 0;
}
