// Drives the miner supervision, the settings edit and the configuration watch
// through their own interfaces, one command per line on standard input, inside the
// device sandbox. Answers are lines starting with "> " on standard output; the
// modules' own log lines go where they always go.
//
//   start | race N | stop | stop-async | running | present | probe | threads | fds
//   watch-start | watch-stop | save-freq MHZ | callback-delay MS | quit
//
// callback-delay makes each report of the watch take that long after it printed
// the document, like a report held up by a hung miner API.
#include <dirent.h>
#include <signal.h>
#include <unistd.h>

#include <algorithm>
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
std::mutex g_out_lock;
std::atomic<int> g_callback_delay_ms{0};

long long ms_since(steady::time_point began) {
    return std::chrono::duration_cast<std::chrono::milliseconds>(steady::now() - began).count();
}

void answer(const std::string &text) {
    std::lock_guard lock(g_out_lock);
    printf("> %s\n", text.c_str());
    fflush(stdout);
}

int print_document(json_t *doc) {
    json_ptr owned(doc);
    c_str_ptr text(json_dumps(doc, JSON_COMPACT));
    answer(std::string("callback ") + (text ? text.get() : "null"));
    std::this_thread::sleep_for(std::chrono::milliseconds(g_callback_delay_ms.load()));
    return 0;
}

// What fn makes of each entry of a /proc/self directory, comma-separated.
template <typename Fn>
std::string list_proc(const char *dir_name, Fn fn) {
    std::string list;
    DIR *dir = opendir(dir_name);
    while (dirent *entry = dir ? readdir(dir) : nullptr) {
        std::string item =
            entry->d_name[0] == '.' ? "" : fn(std::string(dir_name) + "/" + entry->d_name);
        if (!item.empty())
            list += (list.empty() ? "" : ",") + item;
    }
    if (dir)
        closedir(dir);
    return list;
}

std::string thread_names() {
    return list_proc("/proc/self/task", [](const std::string &task) {
        char comm[32] = {};
        if (FILE *f = fopen((task + "/comm").c_str(), "r")) {
            if (fgets(comm, sizeof comm, f))
                comm[strcspn(comm, "\n")] = '\0';
            fclose(f);
        }
        return std::string(comm);
    });
}

int count_inotify_fds() {
    std::string fds = list_proc("/proc/self/fd", [](const std::string &fd) {
        char target[256] = {};
        bool inotify = readlink(fd.c_str(), target, sizeof target - 1) > 0 &&
                       strstr(target, "inotify") != nullptr;
        return std::string(inotify ? "i" : "");
    });
    return static_cast<int>(std::count(fds.begin(), fds.end(), 'i'));
}

std::string timed_stop() {
    auto began = steady::now();
    int rc = cgminer_stop();
    return "stop " + std::to_string(rc) + " " + std::to_string(ms_since(began));
}

}  // namespace

int main() {
    // Like the daemon: stop signals blocked before any thread starts, so every
    // thread (and whatever they fork) inherits the mask.
    sigset_t signals;
    sigemptyset(&signals);
    for (int sig : {SIGINT, SIGTERM, SIGUSR1})
        sigaddset(&signals, sig);
    pthread_sigmask(SIG_BLOCK, &signals, nullptr);

    miner_settings_set_written_hook([] { answer("written-hook"); });
    std::vector<std::thread> helpers;

    std::string line;
    while (std::getline(std::cin, line)) {
        std::istringstream args(line);
        std::string cmd;
        args >> cmd;
        if (cmd == "start") {
            answer("start " + std::to_string(cgminer_start()));
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
            // The descriptor count right after the start shows whether the watch
            // was already in place when the start returned.
            int rc = watch_config_start(print_document);
            answer("watch-start " + std::to_string(rc) +
                   " inotify=" + std::to_string(count_inotify_fds()));
        } else if (cmd == "watch-stop") {
            auto began = steady::now();
            int rc = watch_config_stop();
            answer("watch-stop " + std::to_string(rc) + " " + std::to_string(ms_since(began)));
        } else if (cmd == "save-freq") {  // one settings request around the setter
            unsigned freq = 0;
            args >> freq;
            auto began = steady::now();
            int load = miner_settings_begin();
            int set = cgminer_freq(static_cast<uint16_t>(freq));
            int saved = miner_settings_commit();
            answer("save-freq " + std::to_string(load) + " " + std::to_string(set) + " " +
                   std::to_string(saved) + " " + std::to_string(ms_since(began)));
        } else if (cmd == "callback-delay") {
            int ms = 0;
            args >> ms;
            g_callback_delay_ms = ms;
            answer("callback-delay");
        } else if (cmd == "quit") {
            break;
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
