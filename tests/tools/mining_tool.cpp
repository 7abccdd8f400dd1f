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
#include <dirent.h>
#include <fcntl.h>
#include <sys/resource.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <iostream>
#include <sstream>
#include <string>
#include <thread>

#include "agent.h"
#include "common/paths.h"
#include "config.h"
#include "events.h"
#include "miner.h"

namespace {

using steady = std::chrono::steady_clock;

long long ms_since(steady::time_point began) {
    return std::chrono::duration_cast<std::chrono::milliseconds>(steady::now() - began).count();
}

void answer(const std::string &text) {
    printf("> %s\n", text.c_str());
    fflush(stdout);
}

int open_fds() {
    int count = 0;
    DIR *dir = opendir("/proc/self/fd");
    while (dirent *entry = dir ? readdir(dir) : nullptr)
        count += entry->d_name[0] != '.';
    if (dir)
        closedir(dir);
    return count - 1;  // the directory's own descriptor
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

}  // namespace

int main() {
    setvbuf(stdout, nullptr, _IOLBF, 0);
    agent_config_set_path(paths::kAgentConfig);
    if (config_load(paths::kAgentConfig, agent_config_get()) != 0)
        return 1;
    agent_connect(RIGKEEP_SERVICE_URL);

    std::string line;
    while (std::getline(std::cin, line)) {
        std::istringstream in(line);
        std::string cmd, arg;
        in >> cmd >> arg;
        if (cmd == "wait-auth") {
            auto deadline = steady::now() + std::chrono::seconds(std::stoi(arg));
            while (!agent_is_authenticated() && steady::now() < deadline)
                std::this_thread::sleep_for(std::chrono::milliseconds(10));
            answer(std::string("wait-auth ") + (agent_is_authenticated() ? "yes" : "timeout"));
        } else if (cmd == "logs" || cmd == "logs-no-fd") {
            auto began = steady::now();
            int rc = cmd == "logs" ? miner_send_logs(arg.c_str()) : logs_without_descriptors(arg);
            answer(cmd + " rc=" + std::to_string(rc) + " ms=" + std::to_string(ms_since(began)));
        } else if (cmd == "events-start") {
            start_events_thread();
            answer("events-start running=" + std::to_string(events_thread_is_running()));
        } else if (cmd == "events-stop") {
            auto began = steady::now();
            stop_events_thread();
            answer("events-stop ms=" + std::to_string(ms_since(began)) +
                   " running=" + std::to_string(events_thread_is_running()));
        } else if (cmd == "events-cycles") {
            int before = open_fds();
            for (int i = std::stoi(arg); i > 0; --i) {
                start_events_thread();
                // Half the stops come at once, half once the thread waits for a writer.
                if (i % 2 == 0)
                    std::this_thread::sleep_for(std::chrono::milliseconds(5));
                stop_events_thread();
            }
            answer("events-cycles fds=" + std::to_string(before) + "," +
                   std::to_string(open_fds()));
        } else if (cmd == "quit") {
            break;
        } else {
            answer("unknown " + cmd);
        }
    }
    stop_events_thread();
    agent_stop();
    return 0;
}
