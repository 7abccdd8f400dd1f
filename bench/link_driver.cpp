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
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>
#include <thread>

#include "agent.h"
#include "agent_protocol/agent_protocol.h"
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
void produce(int count, long pause_us) {
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
    printf("driver: enqueued ok=%d dropped=%d no_link=%d\n", ok, dropped, no_link);
}

void wait_state(const char *what, double seconds) {
    auto deadline = std::chrono::steady_clock::now() +
                    std::chrono::duration_cast<std::chrono::steady_clock::duration>(
                        std::chrono::duration<double>(seconds));
    auto reached = [&] {
        if (strcmp(what, "connected") == 0)
            return agent_is_connected();
        if (strcmp(what, "authenticated") == 0)
            return agent_is_authenticated();
        return !agent_is_connected();
    };
    while (!reached() && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    printf("driver: %s %s\n", what, reached() ? "yes" : "timeout");
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
    printf("driver: ready\n");

    FILE *commands = fopen(fifo, "r");
    if (commands == nullptr) {
        perror("fifo");
        return 1;
    }
    char line[256];
    while (fgets(line, sizeof line, commands) != nullptr) {
        char word[32] = "";
        char arg[32] = "";
        double number = 0;
        int fields = sscanf(line, "%31s %31s %lf", word, arg, &number);
        if (fields < 1)
            continue;
        std::string cmd = word;
        if (cmd == "wait" && fields == 3) {
            wait_state(arg, number);
        } else if (cmd == "enqueue") {
            produce(atoi(arg), 0);
        } else if (cmd == "paced" && fields == 3) {
            produce(atoi(arg), static_cast<long>(number));
        } else if (cmd == "held") {
            json_ptr message(probe(-1));
            json_incref(message.get());
            int rc = agent_enqueue_message(message.get());
            printf("driver: held rc=%d refcount=%zu\n", rc, message->refcount);
        } else if (cmd == "stop") {
            agent_stop();
            printf("driver: stopped\n");
        } else if (cmd == "exit") {
            break;
        } else {
            printf("driver: unknown command %s\n", word);
        }
    }
    agent_stop();
    return 0;
}
