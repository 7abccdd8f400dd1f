// A miner API on the loopback: each connection's request is read until its braces
// balance and answered with the chunks answer(request) gives, a short pause between
// them so the client sees separate reads.
#pragma once

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "common/unique_fd.h"

class FakeMiner {
  public:
    struct Reply {
        std::vector<std::string> chunks;
        bool reset = false;  // abort the connection after the chunks
    };
    using Answer = std::function<Reply(const std::string &request)>;

    // Port 0: a free one below 32768 (the client's port is a signed 16-bit number).
    explicit FakeMiner(Answer answer, uint16_t port = 0) : answer_(std::move(answer)) {
        std::mt19937 rng(static_cast<unsigned>(getpid()) ^ std::random_device{}());
        for (int attempt = 0; attempt < 200 && !port_; ++attempt) {
            listener_.reset(socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
            int one = 1;
            setsockopt(listener_.get(), SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
            const auto candidate = port ? port : static_cast<uint16_t>(20000 + rng() % 12000);
            sockaddr_in addr{AF_INET, htons(candidate), {htonl(INADDR_LOOPBACK)}, {}};
            if (bind(listener_.get(), reinterpret_cast<sockaddr *>(&addr), sizeof addr) == 0 &&
                listen(listener_.get(), 8) == 0)
                port_ = static_cast<int16_t>(candidate);
        }
        EXPECT_NE(port_, 0);
        thread_ = std::thread([this] { serve(); });
    }
    // The replies in turn, one a connection.
    explicit FakeMiner(std::vector<Reply> replies)
        : FakeMiner([replies, next = size_t{0}](const std::string &) mutable {
              return next < replies.size() ? replies[next++] : Reply{};
          }) {}
    ~FakeMiner() {
        done_ = true;
        thread_.join();
    }

    int16_t port() const { return port_; }
    const std::vector<std::string> &requests() const { return requests_; }

  private:
    void serve() {
        for (pollfd p{listener_.get(), POLLIN, 0}; port_ && !done_; p.revents = 0) {
            if (poll(&p, 1, 20) != 1)
                continue;
            unique_fd conn(accept(listener_.get(), nullptr, nullptr));
            std::string req;
            int depth = 0;
            for (char c; recv(conn.get(), &c, 1, 0) == 1;) {
                req.push_back(c);
                depth += c == '{' ? 1 : c == '}' ? -1 : 0;
                if (depth == 0 && c == '}')
                    break;
            }
            requests_.push_back(req);
            const Reply reply = answer_(req);
            for (const std::string &chunk : reply.chunks) {
                send(conn.get(), chunk.data(), chunk.size(), MSG_NOSIGNAL);
                std::this_thread::sleep_for(std::chrono::milliseconds(2));
            }
            if (reply.reset) {
                linger lin{1, 0};
                setsockopt(conn.get(), SOL_SOCKET, SO_LINGER, &lin, sizeof lin);
            }
        }
    }

    Answer answer_;
    unique_fd listener_;
    int16_t port_ = 0;
    std::atomic<bool> done_{false};
    std::vector<std::string> requests_;
    std::thread thread_;
};
