// Drives the log request and the events thread through their own interfaces, with
// the real link to the service, one command per line on standard input, inside the
// device sandbox (fixed paths: the agent file, /tmp/events, the log script).
// Answers are lines starting with "> " on standard output.
//
//   wait-auth SECONDS       > wait-auth yes|timeout
//   logs ID                 > logs rc=R ms=T
//   logs-no-fd ID           the same with no descriptor left for the pipe
//   events-start            > events-start running=0|1
//   events-stop             > events-stop ms=T running=0|1
//   events-cycles N         N starts and stops: > events-cycles fds=BEFORE,AFTER
//   quit
#include <fcntl.h>
#include <sys/resource.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <iostream>
#include <string>
#include <thread>

#include "agent.h"
#include "command_loop.h"
#include "common/paths.h"
#include "config.h"
#include "events.h"
#include "miner.h"

namespace {

using steady = std::chrono::steady_clock;

long open_fds() {
    return std::distance(std::filesystem::directory_iterator("/proc/self/fd"), {}) - 1;
}

// miner_send_logs with every descriptor number above the open ones refused.
int logs_without_descriptors(const std::string &id) {
    rlimit saved;
    getrlimit(RLIMIT_NOFILE, &saved);
    int highest = 0;
    for (int fd = 0; fd < 1024; ++fd)
        if (fcntl(fd, F_GETFD) != -1)
            highest = fd;
    rlimit tight = saved;
    tight.rlim_cur = static_cast<rlim_t>(highest + 1);
    setrlimit(RLIMIT_NOFILE, &tight);
    int rc = miner_send_logs(id.c_str());
    setrlimit(RLIMIT_NOFILE, &saved);
    return rc;
}

CommandLoop::Handler logs(const std::string &name, int (*send)(const std::string &)) {
    return [name, send](std::istream &args) {
        std::string id;
        args >> id;
        auto began = steady::now();
        int rc = send(id);
        return name + " rc=" + std::to_string(rc) + " ms=" + ms_since(began);
    };
}

int number(std::istream &args) {
    int n = 0;
    args >> n;
    return n;
}

}  // namespace

int main() {
    setvbuf(stdout, nullptr, _IOLBF, 0);
    agent_config_set_path(paths::kAgentConfig);
    if (config_load(paths::kAgentConfig, agent_config_get()) != 0)
        return 1;
    agent_connect(RIGKEEP_SERVICE_URL);

    CommandLoop loop;
    loop.on("wait-auth",
            [](std::istream &args) {
                auto deadline = steady::now() + std::chrono::seconds(number(args));
                while (!agent_is_authenticated() && steady::now() < deadline)
                    std::this_thread::sleep_for(std::chrono::milliseconds(10));
                return std::string("wait-auth ") + (agent_is_authenticated() ? "yes" : "timeout");
            })
        .on("logs", logs("logs", [](const std::string &id) { return miner_send_logs(id.c_str()); }))
        .on("logs-no-fd", logs("logs-no-fd", logs_without_descriptors))
        .on("events-start",
            [](auto &) {
                start_events_thread();
                return "events-start running=" + std::to_string(events_thread_is_running());
            })
        .on("events-stop",
            [](auto &) {
                auto began = steady::now();
                stop_events_thread();
                return "events-stop ms=" + ms_since(began) +
                       " running=" + std::to_string(events_thread_is_running());
            })
        .on("events-cycles", [](std::istream &args) {
            long before = open_fds();
            for (int i = number(args); i > 0; --i) {
                start_events_thread();
                // Half the stops come at once, half once the thread waits for a writer.
                if (i % 2 == 0)
                    std::this_thread::sleep_for(std::chrono::milliseconds(5));
                stop_events_thread();
            }
            return "events-cycles fds=" + std::to_string(before) + "," + std::to_string(open_fds());
        });
    loop.run(std::cin);
    stop_events_thread();
    agent_stop();
    return 0;
}
