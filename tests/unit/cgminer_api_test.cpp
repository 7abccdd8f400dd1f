#include "cgminer_api.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "common/unique_fd.h"

namespace {

// Binds a listening socket on 127.0.0.1 to a port the client's 16-bit signed
// port can name (below 32768).
unique_fd listen_low_port(int16_t *port) {
    std::mt19937 rng(
        static_cast<unsigned>(getpid()) ^
        static_cast<unsigned>(std::chrono::steady_clock::now().time_since_epoch().count()));
    for (int attempt = 0; attempt < 200; ++attempt) {
        unique_fd fd(socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
        sockaddr_in addr{};
        addr.sin_family = AF_INET;
        addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        int16_t candidate = static_cast<int16_t>(20000 + rng() % 12000);
        addr.sin_port = htons(static_cast<uint16_t>(candidate));
        if (bind(fd.get(), reinterpret_cast<sockaddr *>(&addr), sizeof addr) == 0 &&
            listen(fd.get(), 8) == 0) {
            *port = candidate;
            return fd;
        }
    }
    return unique_fd();
}

// Reads a request that carries no terminator: until the braces balance.
std::string read_request(int fd) {
    std::string req;
    int depth = 0;
    char c;
    while (recv(fd, &c, 1, 0) == 1) {
        req.push_back(c);
        depth += c == '{' ? 1 : c == '}' ? -1 : 0;
        if (depth == 0 && c == '}')
            break;
    }
    return req;
}

// A miner that answers each connection with the given chunks, written with a
// pause in between so the client sees them as separate reads.
class FakeMiner {
  public:
    struct Reply {
        std::vector<std::string> chunks;
        bool reset = false;  // abort the connection after the chunks
    };

    explicit FakeMiner(std::vector<Reply> replies) : replies_(std::move(replies)) {
        listener_ = listen_low_port(&port_);
        EXPECT_TRUE(listener_);
        thread_ = std::thread([this] { serve(); });
    }
    ~FakeMiner() { thread_.join(); }

    int16_t port() const { return port_; }
    const std::vector<std::string> &requests() const { return requests_; }

  private:
    void serve() {
        for (const Reply &reply : replies_) {
            pollfd p{listener_.get(), POLLIN, 0};
            if (poll(&p, 1, 5000) != 1)
                return;
            unique_fd conn(accept(listener_.get(), nullptr, nullptr));
            requests_.push_back(read_request(conn.get()));
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

    std::vector<Reply> replies_;
    unique_fd listener_;
    int16_t port_ = 0;
    std::vector<std::string> requests_;
    std::thread thread_;
};

std::vector<std::string> split(const std::string &text, size_t piece) {
    std::vector<std::string> out;
    for (size_t i = 0; i < text.size(); i += piece)
        out.push_back(text.substr(i, piece));
    return out;
}

struct Logged {
    std::string out, err;
};

template <typename F>
auto logged(Logged *log, F &&f) {
    testing::internal::CaptureStdout();
    testing::internal::CaptureStderr();
    auto result = f();
    log->err = testing::internal::GetCapturedStderr();
    log->out = testing::internal::GetCapturedStdout();
    return result;
}

TEST(CgminerApi, OneConnectionPerCommandAndTheRequestHasNoTerminator) {
    FakeMiner miner({{{"{\"a\": 1}"}}, {{"{\"b\": 2}"}}});
    json_ptr first = cgminer_api_call_cmd("stats", "localhost", miner.port());
    json_ptr second = cgminer_api_call_cmd("pools", "127.0.0.1", miner.port());
    ASSERT_TRUE(first);
    ASSERT_TRUE(second);
    EXPECT_EQ(json_integer_value(json_object_get(first.get(), "a")), 1);
    EXPECT_EQ(json_integer_value(json_object_get(second.get(), "b")), 2);
    ASSERT_EQ(miner.requests().size(), 2u);
    EXPECT_EQ(miner.requests()[0], "{\"command\": \"stats\"}");
    EXPECT_EQ(miner.requests()[1], "{\"command\": \"pools\"}");
}

TEST(CgminerApi, RepliesAreReadToTheEndWhateverTheirSize) {
    std::vector<std::string> texts;
    for (size_t size : {0, 1, 4096, 4097, 4098, 8193, 100000})
        texts.push_back(std::string(size, 'x'));
    std::vector<FakeMiner::Reply> replies;
    for (const auto &t : texts)
        replies.push_back({split(t, 1500)});
    FakeMiner miner(replies);
    for (const auto &t : texts) {
        c_str_ptr got = cgminer_api_call_raw("{\"command\": \"x\"}", "localhost", miner.port());
        ASSERT_TRUE(got) << t.size();
        EXPECT_EQ(std::string(got.get()), t) << t.size();
    }
}

TEST(CgminerApi, BackToBackObjectsAndATrailingNulParse) {
    const std::string wire = "{\"STATS\":[{\"a\":1}{\"b\":\"x}{y\"}]}";
    FakeMiner miner({{split(wire, 1)}, {{wire, std::string(1, '\0')}}, {{wire + '\0' + "junk"}}});
    for (int i = 0; i < 3; ++i) {
        Logged log;
        json_ptr reply =
            logged(&log, [&] { return cgminer_api_call_cmd("stats", "localhost", miner.port()); });
        ASSERT_TRUE(reply) << i << log.err;
        json_t *stats = json_object_get(reply.get(), "STATS");
        ASSERT_EQ(json_array_size(stats), 2u);
        // The repair is blind: it reaches into string values as well.
        EXPECT_STREQ(json_string_value(json_object_get(json_array_get(stats, 1), "b")), "x},{y");
        EXPECT_EQ(log.err, "");
    }
}

TEST(CgminerApi, UnparsableRepliesLogBothLines) {
    struct Case {
        std::string wire;
        std::string shown;
    };
    const Case cases[] = {
        {"", ""},
        {"STATUS=S,When=1|", "STATUS=S,When=1|"},
        {"{\"STATS\":[{\"a\":1}{\"b\":2}", "{\"STATS\":[{\"a\":1},{\"b\":2}"},  // truncated
        {"[1, 2", "[1, 2"},
    };
    std::vector<FakeMiner::Reply> replies;
    for (const auto &c : cases)
        replies.push_back({{c.wire}});
    FakeMiner miner(replies);
    for (const auto &c : cases) {
        Logged log;
        json_ptr reply =
            logged(&log, [&] { return cgminer_api_call_cmd("stats", "localhost", miner.port()); });
        EXPECT_FALSE(reply) << c.wire;
        size_t parse = log.err.find("ERROR: Failed to parse cgminer api response - ");
        size_t shown = log.err.find("ERROR: Api response:\n" + c.shown + "\n");
        EXPECT_NE(parse, std::string::npos) << log.err;
        EXPECT_NE(shown, std::string::npos) << log.err;
        EXPECT_LT(parse, shown);
    }
}

TEST(CgminerApi, AbortedReplyIsLoggedAndFails) {
    FakeMiner miner({{{"{\"STATS\": [1, 2"}, true}});
    Logged log;
    json_ptr reply =
        logged(&log, [&] { return cgminer_api_call_cmd("stats", "localhost", miner.port()); });
    EXPECT_FALSE(reply);
    EXPECT_NE(log.err.find("ERROR: Failed to receive cgminer api response - Connection reset by "
                           "peer\n"),
              std::string::npos)
        << log.err;
    EXPECT_NE(log.err.find("ERROR: Failed to call cgminer api, request: {\"command\": "
                           "\"stats\"}\n"),
              std::string::npos)
        << log.err;
}

TEST(CgminerApi, NothingListening) {
    int16_t port = 0;
    {
        unique_fd closed = listen_low_port(&port);
        ASSERT_TRUE(closed);
    }
    Logged log;
    bool up = logged(&log, [&] { return cgminer_api_probe("localhost", port); });
    EXPECT_FALSE(up);
    EXPECT_EQ(log.out + log.err, "") << "the probe is silent";

    json_ptr reply = logged(&log, [&] { return cgminer_api_call_cmd("stats", "localhost", port); });
    EXPECT_FALSE(reply);
    EXPECT_EQ(
        log.err.substr(log.err.find("ERROR: ")),
        "ERROR: Failed to connect to cgminer api at localhost:" + std::to_string(port) + "\n");

    EXPECT_EQ(cgminer_api_connect("localhost", port), -2);
}

TEST(CgminerApi, ProbeSeesAListener) {
    FakeMiner miner({{{"{}"}}});
    EXPECT_TRUE(cgminer_api_probe("localhost", miner.port()));
}

TEST(CgminerApiDeathTest, PortMustBePositive) {
#ifdef NDEBUG
    GTEST_SKIP() << "assertions are compiled out";
#endif
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_DEATH(cgminer_api_call_raw("{}", "localhost", 0), "");
    EXPECT_DEATH(cgminer_api_call_cmd("stats", "localhost", -1), "");
}

}  // namespace
