// rigkeep: the management agent of the mining machine.
#include <getopt.h>
#include <openssl/crypto.h>
#include <signal.h>
#include <sys/epoll.h>
#include <sys/signalfd.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "agent.h"
#include "agent_msgs/agent_msgs.h"
#include "agent_protocol/agent_protocol.h"
#include "common/atomic_file.h"
#include "common/firmware_identity.h"
#include "common/paths.h"
#include "common/process_exit.h"
#include "common/thread_util.h"
#include "common/unique_fd.h"
#include "firmware.h"
#include "log.h"
#include "miner.h"
#include "norix/miner_support/settings.h"
#include "norix/miner_support/supervision.h"
#include "norix/miner_support/watch.h"
#include "status.h"

namespace {

struct agent_options_t {
    const char *config_path;
    const char *server_url;
};
agent_options_t agent_options;

bool keep_running = true;  // written and read only by the main thread
// How long a stop waits for the last reports to leave.
constexpr std::chrono::milliseconds kStopDrainLimit{1000};

void print_usage() {
    printf("Velmora agent v%s\n", RIGKEEP_VERSION);
    printf("\n");
    printf("USAGE: rigkeep [OPTIONS]\n");
    printf("    -c,--config <file>        Set agent config file\n");
    printf("    -h                        Display this message\n");
    fflush(stdout);
}

void parse_options(int argc, char **argv) {
    agent_options.config_path = paths::kAgentConfig;
    agent_options.server_url = RIGKEEP_SERVICE_URL;

    static const option long_options[] = {
        {"config", required_argument, nullptr, 'c'},
        {"help", no_argument, nullptr, 'h'},
        {nullptr, 0, nullptr, 0},
    };
    int opt;
    while ((opt = getopt_long(argc, argv, "c:s:h", long_options, nullptr)) != -1) {
        switch (opt) {
            case 'c':
                agent_options.config_path = optarg;
                break;
            case 'h':
                print_usage();
                exit(1);
            case 's':  // accepted for compatibility; the service URL is built in
            default:   // getopt has printed its own diagnostic
                break;
        }
    }
}

// What ends with the link's thread: the status reports, and the log worker, whose
// answers go on the link.
void stop_link_threads() {
    status_thread_stop();
    miner_logs_stop();
}

// The upward calls of the lower layers, handed down once before anything starts.
void wire_hooks() {
    agent_set_status_thread_hooks([] { status_thread_start(); }, stop_link_threads);
    cgminer_set_state_reporter([](int32_t state, uint8_t progress) {
        const miner_state reported{state, progress};
        status_report_miner_state(&reported);
    });
    // A running miner reads the file only when it starts.
    miner_settings_set_written_hook([] {
        if (mining_is_running())
            mining_restart();
    });
}

// The service's requests, in place before the link starts.
void register_request_handlers() {
    register_network_pools_handlers();
    register_fans_perf_chains_handlers();
    register_autotuner_watchdog_config_handlers();
    register_device_action_handlers();
}

// Orderly stop: miner, configuration watch, server link, then the main loop.
void handle_stop_signal() {
    // From here on this thread alone ends the process; an update ending it already
    // keeps it (and its status).
    process_stop_begin();
    LOG_INFO("Stopping rigkeep\n");
    // A request handler still running must not start the miner again behind the stop.
    mining_disable_start();
    if (mining_is_running()) {
        mining_stop();
        // The zero metrics and the "pause" just queued go out before the close.
        agent_wait_queue_drained(kStopDrainLimit);
    }
    if (watch_config_stop() != 0)
        LOG_ERROR("Failed to stop watching on cgminer config file\n");
    agent_stop();
    keep_running = false;
}

void handle_restart_signal() {
    LOG_INFO("Miner restart triggered!\n");
    mining_restart();
}

}  // namespace

int main(int argc, char **argv) {
    // OpenSSL would tear itself down in an exit hook, under any thread still inside
    // it (a download when a stop ends the daemon). Only the first initialisation
    // decides, so this comes before anything else touches the library.
    const bool openssl_ready = OPENSSL_init_crypto(OPENSSL_INIT_NO_ATEXIT, nullptr) == 1;
    set_thread_name("rigkeep@main");

    // Stop and restart signals are blocked in every thread (threads inherit the
    // mask) and taken synchronously by the main loop below, so the shutdown
    // sequence never runs inside an asynchronous handler. SIGCHLD tells it that a
    // network restart may have ended (children start with an empty mask).
    sigset_t signals;
    sigemptyset(&signals);
    sigaddset(&signals, SIGINT);
    sigaddset(&signals, SIGTERM);
    sigaddset(&signals, SIGUSR1);
    sigaddset(&signals, SIGCHLD);
    pthread_sigmask(SIG_BLOCK, &signals, nullptr);
    const unique_fd signal_fd(signalfd(-1, &signals, SFD_CLOEXEC | SFD_NONBLOCK));
    if (!signal_fd) {
        LOG_ERROR("Failed to wait for signals: %s\n", strerror(errno));
        exit(1);
    }

    if (!openssl_ready)
        LOG_ERROR("Failed to initialise OpenSSL\n");
    LOG_INFO("Firmware version: %s\n", firmware_ver());

    parse_options(argc, argv);
    // A save cut short by a power cut leaves its temporary behind; clear them before
    // anything saves into /config again.
    remove_atomic_write_leftovers(paths::kConfigDir);
    // Likewise an update cut short leaves its directory, package included, in /tmp.
    firmware_remove_leftovers();
    wire_hooks();
    register_request_handlers();
    // Before the link: its first authentication may confirm a change.
    network_change_resume();
    // epoll rather than poll: a fortified build calls __poll_chk, whose timeout an
    // accelerated test clock (libfaketime) does not shorten.
    const unique_fd waits(epoll_create1(EPOLL_CLOEXEC));
    for (int fd : {signal_fd.get(), network_change_wake_fd()}) {
        epoll_event watch{};
        watch.events = EPOLLIN;
        if (fd >= 0 && epoll_ctl(waits.get(), EPOLL_CTL_ADD, fd, &watch) != 0) {
            LOG_ERROR("Failed to wait for signals: %s\n", strerror(errno));
            exit(1);
        }
    }

    if (miner_init(agent_options.config_path, agent_options.server_url) != 0) {
        LOG_ERROR("Miner initialization failed!\n");
        exit(1);
    }
    LOG_INFO("Press Ctrl+C to stop rigkeep\n");

    bool stopping = false;
    while (keep_running) {
        // Wakes for a signal, a change of the network window, or its deadline.
        epoll_event ready[2];
        if (epoll_wait(waits.get(), ready, 2, network_change_check()) <= 0)
            continue;
        signalfd_siginfo info;
        if (read(signal_fd.get(), &info, sizeof info) != static_cast<ssize_t>(sizeof info))
            continue;
        const auto sig = static_cast<int>(info.ssi_signo);
        if (sig == SIGINT || sig == SIGTERM) {
            // A second stop signal while stopping finds the link already gone.
            if (!stopping) {
                stopping = true;
                handle_stop_signal();
            }
        } else if (sig == SIGUSR1) {
            if (!stopping)
                handle_restart_signal();
        }
    }
    return 0;
}
