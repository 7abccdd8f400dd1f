// Drives the miner supervision, the settings edit and the configuration watch
// through their own interfaces, one command per line on standard input, inside the
// device sandbox. Answers are lines starting with "> " on standard output; the
// modules' own log lines go where they always go.
//
//   start | start2 | race N | stop | stop-async | running | present | probe
//   threads | fds | watch-start | watch-stop | quit
//   save [freq MHZ | fans MODE SPEED | pool ID URL WORKER [PASSWORD] | none]
#include <dirent.h>
#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <mutex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "common/json_ptr.h"
#include "norix/miner_support/settings.h"
#include "norix/miner_support/supervision.h"
#include "norix/miner_support/watch.h"

namespace {

using steady = std::chrono::steady_clock;
const steady::time_point g_began = steady::now();
std::mutex g_out_lock;

long long ms_since_start() {
    return std::chrono::duration_cast<std::chrono::milliseconds>(steady::now() - g_began).count();
}

void answer(const std::string &text) {
    std::lock_guard lock(g_out_lock);
    printf("> %s\n", text.c_str());
    fflush(stdout);
}

int print_document(json_t *doc) {
    json_ptr owned(doc);
    c_str_ptr text(json_dumps(owned.get(), JSON_COMPACT));
    answer("callback " + std::to_string(ms_since_start()) + " " + (text ? text.get() : "null"));
    return 0;
}

void print_written() {
    answer("written-hook");
}

void print_state(int32_t state, uint8_t progress) {
    answer("state " + std::to_string(state) + " " + std::to_string(progress));
}

// Names of this process's threads, from /proc.
std::string thread_names() {
    std::string names;
    DIR *dir = opendir("/proc/self/task");
    if (!dir)
        return "?";
    while (dirent *entry = readdir(dir)) {
        if (entry->d_name[0] == '.')
            continue;
        std::string path = std::string("/proc/self/task/") + entry->d_name + "/comm";
        FILE *f = fopen(path.c_str(), "r");
        if (!f)
            continue;
        char comm[32] = {};
        if (fgets(comm, sizeof comm, f))
            comm[strcspn(comm, "\n")] = '\0';
        fclose(f);
        names += names.empty() ? "" : ",";
        names += comm;
    }
    closedir(dir);
    return names;
}

int count_inotify_fds() {
    int count = 0;
    DIR *dir = opendir("/proc/self/fd");
    if (!dir)
        return -1;
    while (dirent *entry = readdir(dir)) {
        char target[256] = {};
        std::string path = std::string("/proc/self/fd/") + entry->d_name;
        if (readlink(path.c_str(), target, sizeof target - 1) > 0 &&
            strstr(target, "inotify") != nullptr)
            ++count;
    }
    closedir(dir);
    return count;
}

std::string timed_stop() {
    auto began = steady::now();
    int rc = cgminer_stop();
    auto took = std::chrono::duration_cast<std::chrono::milliseconds>(steady::now() - began);
    return "stop " + std::to_string(rc) + " " + std::to_string(took.count());
}

// One settings request: the bracket around the named setter.
std::string save(std::istringstream &args) {
    std::string what;
    args >> what;
    auto began = steady::now();
    int load = miner_settings_begin();
    int set = 0;
    if (what == "freq") {
        unsigned freq = 0;
        args >> freq;
        set = cgminer_freq(static_cast<uint16_t>(freq));
    } else if (what == "fans") {
        int mode = 0;
        unsigned speed = 0;
        args >> mode >> speed;
        set = cgminer_fans(mode, static_cast<uint8_t>(speed));
    } else if (what == "pool") {
        int id = 0;
        std::string url, worker, password;
        args >> id >> url >> worker >> password;
        set = cgminer_pool(id, url.c_str(), worker.c_str(),
                           password.empty() ? nullptr : password.c_str());
    }
    int saved = miner_settings_commit();
    auto took = std::chrono::duration_cast<std::chrono::milliseconds>(steady::now() - began);
    return "save " + std::to_string(load) + " " + std::to_string(set) + " " +
           std::to_string(saved) + " " + std::to_string(took.count());
}

}  // namespace

int main() {
    // Like the daemon: stop signals blocked before any thread starts, so every
    // thread (and whatever they fork) inherits the mask.
    sigset_t signals;
    sigemptyset(&signals);
    sigaddset(&signals, SIGINT);
    sigaddset(&signals, SIGTERM);
    sigaddset(&signals, SIGUSR1);
    pthread_sigmask(SIG_BLOCK, &signals, nullptr);

    cgminer_set_state_reporter(print_state);
    miner_settings_set_written_hook(print_written);
    std::vector<std::thread> helpers;

    std::string line;
    while (std::getline(std::cin, line)) {
        std::istringstream args(line);
        std::string cmd;
        args >> cmd;
        if (cmd == "start") {
            answer("start " + std::to_string(cgminer_start()));
        } else if (cmd == "start2") {
            int first = cgminer_start();
            int second = cgminer_start();
            answer("start2 " + std::to_string(first) + " " + std::to_string(second));
        } else if (cmd == "race") {
            int n = 0;
            args >> n;
            std::atomic<bool> go{false};
            std::vector<int> results(static_cast<size_t>(n));
            std::vector<std::thread> racers;
            for (size_t i = 0; i < results.size(); ++i) {
                racers.emplace_back([&, i] {
                    while (!go) {
                    }
                    results[i] = cgminer_start();
                });
            }
            go = true;
            for (auto &t : racers)
                t.join();
            std::string text = "race";
            for (int r : results)
                text += " " + std::to_string(r);
            answer(text);
        } else if (cmd == "stop") {
            answer(timed_stop());
        } else if (cmd == "stop-async") {
            helpers.emplace_back([] { answer(timed_stop()); });
            answer("stop-async");
        } else if (cmd == "running") {
            answer("running " + std::to_string(cgminer_is_running() ? 1 : 0));
        } else if (cmd == "present") {
            answer("present " + std::to_string(cgminer_present()));
        } else if (cmd == "probe") {
            answer("probe api=" + std::to_string(cgminer_api_available() ? 1 : 0) +
                   " autotuner=" + std::to_string(cgminer_autotuner_enabled()));
        } else if (cmd == "threads") {
            answer("threads " + thread_names());
        } else if (cmd == "fds") {
            answer("fds inotify=" + std::to_string(count_inotify_fds()));
        } else if (cmd == "watch-start") {
            answer("watch-start " + std::to_string(watch_config_start(print_document)));
        } else if (cmd == "watch-stop") {
            auto began = steady::now();
            int rc = watch_config_stop();
            auto took =
                std::chrono::duration_cast<std::chrono::milliseconds>(steady::now() - began);
            answer("watch-stop " + std::to_string(rc) + " " + std::to_string(took.count()));
        } else if (cmd == "save") {
            answer(save(args));
        } else if (cmd == "quit") {
            break;
        } else if (!cmd.empty()) {
            answer("unknown " + cmd);
        }
    }
    for (auto &t : helpers)
        t.join();
    // An orderly end, so that a leak checker sees everything released.
    if (watch_config_is_running())
        watch_config_stop();
    if (cgminer_is_running())
        cgminer_stop();
    answer("bye");
    return 0;
}
