// Drives the miner API client and the chip statistics from inside the
// device sandbox, for the system tests. Never installed.
//
//   miner_api_tool wait-api SECONDS       RESULT {"up": bool} once the API accepts
//   miner_api_tool call COMMAND           RESULT {"reply": json|null, "ms": n}
//   miner_api_tool chips CHAIN            RESULT [{"id", "hashrate", "freq", ...}], or null
//
// Log lines of the modules go to stdout/stderr as usual; the RESULT line is the
// last line on stdout.
#include <jansson.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>

#include "cgminer_api.h"
#include "common/json_ptr.h"
#include "norix/miner_support/stats.h"

namespace {

constexpr const char *kHost = "localhost";
constexpr int16_t kPort = 4028;

int result(json_t *value) {
    json_ptr owner(value);
    c_str_ptr text(json_dumps(value, JSON_ENCODE_ANY | JSON_COMPACT));
    printf("RESULT %s\n", text ? text.get() : "null");
    fflush(stdout);
    return 0;
}

json_t *chips_json(const chips_stats &c) {
    json_t *chips = json_array();
    for (const chip_stats &s : c.chips) {
        json_array_append_new(
            chips, json_pack("{sI,si,si,sb,si}", "id", static_cast<json_int_t>(s.id), "hashrate",
                             static_cast<int>(s.hashrate), "freq", static_cast<int>(s.freq),
                             "custom_freq", s.custom_freq, "state", static_cast<int>(s.state)));
    }
    return chips;
}

int usage() {
    fprintf(stderr, "usage: see the head of miner_api_tool.cpp\n");
    return 2;
}

}  // namespace

int main(int argc, char **argv) {
    if (argc < 2)
        return usage();
    const std::string cmd = argv[1];
    if (cmd == "wait-api" && argc == 3) {
        auto deadline = std::chrono::steady_clock::now() +
                        std::chrono::milliseconds(static_cast<int>(atof(argv[2]) * 1000));
        while (!cgminer_api_probe(kHost, kPort)) {
            if (std::chrono::steady_clock::now() > deadline)
                return result(json_pack("{sb}", "up", 0));
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        }
        return result(json_pack("{sb}", "up", 1));
    }
    if (cmd == "call" && argc == 3) {
        auto start = std::chrono::steady_clock::now();
        json_ptr reply = cgminer_api_call_cmd(argv[2], kHost, kPort);
        auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(
                      std::chrono::steady_clock::now() - start)
                      .count();
        return result(
            json_pack("{sO?,sI}", "reply", reply.get(), "ms", static_cast<json_int_t>(ms)));
    }
    if (cmd == "chips" && argc == 3) {
        auto c = cgminer_chips_stats(static_cast<uint32_t>(atoi(argv[2])));
        return result(c ? chips_json(*c) : json_null());
    }
    return usage();
}
