// Runs the daemon's real saves inside the device sandbox so that they can be killed
// at any moment. One command per line on standard input, answers on standard output:
//
//   save KIND A|B      one save of version A or B      > save rc=R
//   kill KIND USEC     a child saves A, B, A, ... until SIGKILLed USEC after its
//                      fork                            > kill saves=STARTED
//   cleanup            removes the temporaries of killed saves   > cleanup removed=N
//   quit
//
// KIND: agent (velmora.json and network.conf), network, miner, web, and change: B is
// a guarded network change (keep network.conf, save B), A its roll back (restore,
// forget) or, with no kept copy, a plain save of A.
#include <signal.h>
#include <sys/mman.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <iostream>
#include <string>

#include "command_loop.h"
#include "common/atomic_file.h"
#include "common/paths.h"
#include "config.h"
#include "norix/miner_config.h"

namespace {

void copy_text(char *dst, size_t size, const std::string &src) {
    snprintf(dst, size, "%s", src.c_str());
}

// Version A or B of each kind's file, different in size so that a cut file shows.
int save(const std::string &kind, bool b) {
    const std::string tag = b ? "b-version-with-a-longer-text" : "a";
    if (kind == "agent" || kind == "network") {
        agent_config cfg{};
        copy_text(cfg.api_key, sizeof cfg.api_key, "key-" + tag);
        copy_text(cfg.dev_id, sizeof cfg.dev_id, b ? "0BADF00D1234ABCD" : "D");
        network_config &net = cfg.network;
        net.mode = b ? 1 : 0;
        copy_text(net.hostname, sizeof net.hostname, "rig-" + tag);
        copy_text(net.ip, sizeof net.ip, "192.0.2.20");
        copy_text(net.netmask, sizeof net.netmask, "255.255.255.0");
        copy_text(net.gateway, sizeof net.gateway, "192.0.2.1");
        copy_text(net.dns[0], sizeof net.dns[0], "192.0.2.53");
        net.dns_count = 1;
        return kind == "agent" ? config_save(paths::kAgentConfig, &cfg) : save_network_config(&net);
    }
    if (kind == "miner") {
        miner_config cfg{};
        if (miner_config_load(paths::kMinerConfig, &cfg) != 0)
            return -1;
        copy_text(cfg.pools[0].user, sizeof cfg.pools[0].user, "worker." + tag);
        cfg.freq = b ? 700 : 650;
        return miner_config_save(paths::kMinerConfig, &cfg);
    }
    if (kind == "change" && b)
        return network_config_keep() < 0 ? -1 : save("network", true);
    if (kind == "change") {
        if (!network_config_kept())
            return save("network", false);
        return network_config_restore() != 0 ? -1 : network_config_forget();
    }
    if (kind == "web")
        return save_config_file(paths::kHtdigest, "admin:antMiner Configuration:" + tag);
    return -2;
}

}  // namespace

int main() {
    setvbuf(stdout, nullptr, _IOLBF, 0);
    // Saves the child started, seen by the parent after the kill.
    auto *started = static_cast<std::atomic<long> *>(mmap(nullptr, sizeof(std::atomic<long>),
                                                          PROT_READ | PROT_WRITE,
                                                          MAP_SHARED | MAP_ANONYMOUS, -1, 0));
    if (started == MAP_FAILED)
        return 1;
    CommandLoop loop;
    loop.on("save",
            [](std::istream &args) {
                std::string kind, version;
                args >> kind >> version;
                return "save rc=" + std::to_string(save(kind, version == "B"));
            })
        .on("kill",
            [started](std::istream &args) {
                std::string kind;
                useconds_t usec = 0;
                args >> kind >> usec;
                started->store(0);
                pid_t pid = fork();
                if (pid == 0) {
                    for (bool b = true;; b = !b) {
                        started->fetch_add(1);
                        save(kind, b);
                    }
                }
                if (pid > 0) {
                    usleep(usec);
                    kill(pid, SIGKILL);
                    waitpid(pid, nullptr, 0);
                }
                return "kill saves=" + std::to_string(pid > 0 ? started->load() : -1L);
            })
        .on("cleanup", [](auto &) {
            return "cleanup removed=" +
                   std::to_string(remove_atomic_write_leftovers(paths::kConfigDir));
        });
    loop.run(std::cin);
    return 0;
}
