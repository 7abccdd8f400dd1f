// A small program around the server link alone, for the benchmark and the link's
// system tests: it loads the agent file, starts the link and, on commands read from a
// FIFO, queues messages from a producer thread the way the daemon's reporting threads
// do. It runs nothing but the link; like the daemon, it only runs inside the device
// sandbox (fixed paths: the agent file, the CA file).
//
//   link_driver [-u URL] FIFO
//
// Commands, one a line:
//   wait connected|authenticated|disconnected SECONDS
//   enqueue N          N messages {"type": "probe", "n", "t_ns"} back to back
//   paced N MICROS     N messages, one every MICROS microseconds
//   held               one message while holding a reference: prints the result and
//                      what is left of the reference count
//   stop               agent_stop()
//   exit
// Each answer is one line starting with "driver: ".
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <fstream>
#include <string>
#include <thread>

#include "agent.h"
#include "agent_protocol/agent_protocol.h"
#include "command_loop.h"
#include "common/json_ptr.h"
#include "common/paths.h"
#include "config.h"

namespace {

long long wall_ns() {
    timespec ts;
    clock_gettime(CLOCK_REALTIME, &ts);
    return static_cast<long long>(ts.tv_sec) * 1000000000LL + ts.tv_nsec;
}

json_t *probe(int n) {
    return json_pack("{ss,si,sI}", "type", "probe", "n", n, "t_ns",
                     static_cast<json_int_t>(wall_ns()));
}

// Queues count messages from a thread of its own; the results by kind.
std::string produce(int count, long pause_us) {
    int ok = 0, dropped = 0, no_link = 0;
    std::thread producer([&] {
        for (int n = 0; n < count; ++n) {
            int rc = agent_enqueue_message(probe(n));
            (rc == 0 ? ok : rc == -2 ? no_link : dropped)++;
            if (pause_us > 0)
                std::this_thread::sleep_for(std::chrono::microseconds(pause_us));
        }
    });
    producer.join();
    return "enqueued ok=" + std::to_string(ok) + " dropped=" + std::to_string(dropped) +
           " no_link=" + std::to_string(no_link);
}

std::string wait_state(std::istream &args) {
    std::string what;
    double seconds = 0;
    args >> what >> seconds;
    auto deadline = std::chrono::steady_clock::now() +
                    std::chrono::duration_cast<std::chrono::steady_clock::duration>(
                        std::chrono::duration<double>(seconds));
    auto reached = [&] {
        if (what == "connected")
            return agent_is_connected();
        if (what == "authenticated")
            return agent_is_authenticated();
        return !agent_is_connected();
    };
    while (!reached() && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    return what + (reached() ? " yes" : " timeout");
}

}  // namespace

int main(int argc, char **argv) {
    const char *url = RIGKEEP_SERVICE_URL;
    int opt;
    while ((opt = getopt(argc, argv, "u:")) != -1) {
        if (opt == 'u')
            url = optarg;
    }
    if (optind >= argc) {
        fprintf(stderr, "usage: link_driver [-u URL] FIFO\n");
        return 2;
    }
    const char *fifo = argv[optind];
    setvbuf(stdout, nullptr, _IOLBF, 0);

    srand(static_cast<unsigned>(time(nullptr) + getpid()));
    agent_config_set_path(paths::kAgentConfig);
    if (config_load(paths::kAgentConfig, agent_config_get()) != 0)
        return 1;
    if (mkfifo(fifo, 0600) != 0 && errno != EEXIST) {
        perror("mkfifo");
        return 1;
    }
    if (agent_connect(url) != 0)
        return 1;
    CommandLoop loop("driver: ", "unknown command ");
    loop.answer("ready");

    std::ifstream commands(fifo);
    if (!commands) {
        perror("fifo");
        return 1;
    }
    loop.on("wait", wait_state)
        .on("enqueue",
            [](std::istream &args) {
                int count = 0;
                args >> count;
                return produce(count, 0);
            })
        .on("paced",
            [](std::istream &args) {
                int count = 0;
                long pause_us = 0;
                args >> count >> pause_us;
                return produce(count, pause_us);
            })
        .on("held",
            [](auto &) {
                json_ptr message(probe(-1));
                json_incref(message.get());
                int rc = agent_enqueue_message(message.get());
                return "held rc=" + std::to_string(rc) +
                       " refcount=" + std::to_string(message->refcount);
            })
        .on("stop", [](auto &) {
            agent_stop();
            return "stopped";
        });
    loop.run(commands, "exit");
    agent_stop();
    return 0;
}
