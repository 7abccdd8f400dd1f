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
#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <string>
#include <thread>
#include <vector>

#include "command_loop.h"
#include "common/json_ptr.h"
#include "norix/miner_support/settings.h"
#include "norix/miner_support/supervision.h"
#include "norix/miner_support/watch.h"

namespace {

namespace fs = std::filesystem;
CommandLoop loop;
std::atomic<int> g_callback_delay_ms{0};

int print_document(json_t *doc) {
    json_ptr owned(doc);
    c_str_ptr text(json_dumps(doc, JSON_COMPACT));
    loop.answer(std::string("callback ") + (text ? text.get() : "null"));
    std::this_thread::sleep_for(std::chrono::milliseconds(g_callback_delay_ms.load()));
    return 0;
}

// The names of the process's threads, comma-separated.
std::string thread_names() {
    std::string list;
    for (const auto &task : fs::directory_iterator("/proc/self/task")) {
        std::string comm;
        std::getline(std::ifstream(task.path() / "comm"), comm);
        list += (list.empty() ? "" : ",") + comm;
    }
    return list;
}

std::string inotify_fds() {
    int count = 0;
    std::error_code ec;  // the iterator's own descriptor is gone by the time it is read
    for (const auto &fd : fs::directory_iterator("/proc/self/fd"))
        count += fs::read_symlink(fd.path(), ec).string().find("inotify") != std::string::npos;
    return "inotify=" + std::to_string(count);
}

std::string timed_stop() {
    auto began = std::chrono::steady_clock::now();
    int rc = cgminer_stop();
    return "stop " + std::to_string(rc) + " " + ms_since(began);
}

std::string race(std::istream &args) {
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
    return text;
}

// One settings request around the setter.
std::string save_freq(std::istream &args) {
    unsigned freq = 0;
    args >> freq;
    auto began = std::chrono::steady_clock::now();
    int load = miner_settings_begin();
    int set = cgminer_freq(static_cast<uint16_t>(freq));
    int saved = miner_settings_commit();
    return "save-freq " + std::to_string(load) + " " + std::to_string(set) + " " +
           std::to_string(saved) + " " + ms_since(began);
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

    miner_settings_set_written_hook([] { loop.answer("written-hook"); });
    std::vector<std::thread> helpers;
    auto rc = [](const char *name, int value) { return name + (" " + std::to_string(value)); };
    loop.on("start", [&](auto &) { return rc("start", cgminer_start()); })
        .on("race", race)
        .on("stop", [](auto &) { return timed_stop(); })
        .on("stop-async",
            [&](auto &) {
                helpers.emplace_back([] { loop.answer(timed_stop()); });
                return "stop-async";
            })
        .on("running", [&](auto &) { return rc("running", cgminer_is_running() ? 1 : 0); })
        .on("present", [&](auto &) { return rc("present", cgminer_present()); })
        .on("probe",
            [](auto &) {
                return "probe api=" + std::to_string(cgminer_api_available() ? 1 : 0) +
                       " autotuner=" + std::to_string(cgminer_autotuner_enabled());
            })
        .on("threads", [](auto &) { return "threads " + thread_names(); })
        .on("fds", [](auto &) { return "fds " + inotify_fds(); })
        // The descriptor count right after the start shows whether the watch was
        // already in place when the start returned.
        .on("watch-start",
            [&](auto &) {
                std::string started = rc("watch-start", watch_config_start(print_document));
                return started + " " + inotify_fds();
            })
        .on("watch-stop",
            [&](auto &) {
                auto began = std::chrono::steady_clock::now();
                std::string stopped = rc("watch-stop", watch_config_stop());
                return stopped + " " + ms_since(began);
            })
        .on("save-freq", save_freq)
        .on("callback-delay", [](std::istream &args) {
            int ms = 0;
            args >> ms;
            g_callback_delay_ms = ms;
            return "callback-delay";
        });
    loop.run(std::cin);
    for (auto &t : helpers)
        t.join();
    // An orderly end, so that a leak checker sees everything released.
    if (watch_config_is_running())
        watch_config_stop();
    if (cgminer_is_running())
        cgminer_stop();
    loop.answer("bye");
    return 0;
}
