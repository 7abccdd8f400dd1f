// Drives the miner API client, the miner file and the statistics from inside the
// device sandbox, for the system tests. Never installed.
//
//   miner_api_tool probe                  RESULT {"up": bool}
//   miner_api_tool wait-api SECONDS       waits (silently) for the API to accept
//   miner_api_tool call COMMAND           RESULT {"reply": json|null, "ms": n}
//   miner_api_tool stats | pools          RESULT the record as JSON, or null
//   miner_api_tool chips CHAIN            RESULT the record as JSON, or null
//   miner_api_tool load PATH              RESULT {"rc": n, ...fields}
//   miner_api_tool set-pass PATH TEXT     loads PATH, sets pool 1's password, saves
//                                         it back: RESULT {"rc": n}
//
// Log lines of the modules go to stdout/stderr as usual; the RESULT line is the
// last line on stdout.
#include <jansson.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>

#include "cgminer_api.h"
#include "common/json_ptr.h"
#include "norix/miner_config.h"
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

json_t *stats_json(const miner_stats &s) {
    json_t *chains = json_array();
    for (int i = 0; i < s.chain_count; ++i) {
        const chain_stats &c = s.chains[i];
        json_array_append_new(
            chains, json_pack("{sI,si,sf,sf,sf,sf,si,si,si}", "id", static_cast<json_int_t>(c.id),
                              "chips", c.chips, "hash_rate", c.hash_rate, "freq_avg", c.freq_avg,
                              "voltage", c.voltage, "consumption", c.consumption, "hw_errors",
                              c.hw_errors, "chip_temp", c.chip_temp, "pcb_temp", c.pcb_temp));
    }
    json_t *fans = json_array();
    for (int i = 0; i < s.fan_count; ++i) {
        json_array_append_new(
            fans, json_pack("{sI,si,si}", "id", static_cast<json_int_t>(s.fans[i].id), "speed",
                            s.fans[i].speed, "rpm", s.fans[i].rpm));
    }
    return json_pack("{sI,sf,sf,si,sf,si,so,so}", "timestamp", static_cast<json_int_t>(s.timestamp),
                     "hash_rate", s.hash_rate, "freq_avg", s.freq_avg, "temp_max", s.temp_max,
                     "consumption", s.consumption, "hw_errors", s.hw_errors, "chains", chains,
                     "fans", fans);
}

json_t *pool_json(const pool_stats &p) {
    return json_pack("{sb,ss,sI,sI,sI,si}", "asic_boost", p.asic_boost, "diff", p.diff, "accepted",
                     static_cast<json_int_t>(p.accepted), "rejected",
                     static_cast<json_int_t>(p.rejected), "stale", static_cast<json_int_t>(p.stale),
                     "status", static_cast<int>(p.status));
}

json_t *pools_json(const pools_stats &p) {
    json_t *fees = json_array();
    for (uint32_t i = 0; i < p.svc_fee_count; ++i)
        json_array_append_new(fees, pool_json(p.svc_fee[i]));
    return json_pack("{so,so,so,so}", "main", pool_json(p.main), "reserved", pool_json(p.reserved),
                     "reserved2", pool_json(p.reserved2), "svc_fee", fees);
}

json_t *chips_json(const chips_stats &c) {
    json_t *chips = json_array();
    for (const chip_stats &s : c.chips) {
        json_array_append_new(
            chips, json_pack("{sI,si,si,sb,si}", "id", static_cast<json_int_t>(s.id), "hashrate",
                             static_cast<int>(s.hashrate), "freq", static_cast<int>(s.freq),
                             "custom_freq", s.custom_freq, "state", static_cast<int>(s.state)));
    }
    return json_pack("{sI,so}", "chain", static_cast<json_int_t>(c.chain), "chips", chips);
}

json_t *config_json(int rc, const miner_config &c) {
    json_t *pools = json_array();
    for (int i = 0; i < c.pool_count && i < kMinerPoolSlots; ++i) {
        json_array_append_new(pools, json_pack("{ss,ss,ss}", "url", c.pools[i].url, "user",
                                               c.pools[i].user, "pass", c.pools[i].pass));
    }
    return json_pack("{si,so,si,si,si}", "rc", rc, "pools", pools, "freq", static_cast<int>(c.freq),
                     "fan_pwm", static_cast<int>(c.fan_pwm), "tempoff", c.tempoff);
}

int usage() {
    fprintf(stderr,
            "usage: miner_api_tool probe|wait-api S|call CMD|stats|pools|chips N|"
            "load PATH|set-pass PATH TEXT\n");
    return 2;
}

}  // namespace

int main(int argc, char **argv) {
    if (argc < 2)
        return usage();
    const std::string cmd = argv[1];
    if (cmd == "probe")
        return result(json_pack("{sb}", "up", cgminer_api_probe(kHost, kPort)));
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
    if (cmd == "stats") {
        auto s = cgminer_stats();
        return result(s ? stats_json(*s) : json_null());
    }
    if (cmd == "pools") {
        auto p = cgminer_pools_stats();
        return result(p ? pools_json(*p) : json_null());
    }
    if (cmd == "chips" && argc == 3) {
        auto c = cgminer_chips_stats(static_cast<uint32_t>(atoi(argv[2])));
        return result(c ? chips_json(*c) : json_null());
    }
    if (cmd == "load" && argc == 3) {
        miner_config c;
        memset(&c, 0, sizeof c);
        int rc = miner_config_load(argv[2], &c);
        return result(config_json(rc, c));
    }
    if (cmd == "set-pass" && argc == 4) {
        miner_config c;
        if (miner_config_load(argv[2], &c) != 0)
            return result(json_pack("{si}", "rc", -2));
        if (c.pool_count < 1)
            c.pool_count = 1;
        snprintf(c.pools[0].pass, sizeof c.pools[0].pass, "%s", argv[3]);
        return result(json_pack("{si}", "rc", miner_config_save(argv[2], &c)));
    }
    return usage();
}
