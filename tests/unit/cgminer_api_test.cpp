#include "cgminer_api.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "fake_miner.h"
#include "test_text.h"

namespace {

TEST(CgminerApi, OneConnectionPerCommandAndTheRequestHasNoTerminator) {
    FakeMiner miner({{{"{\"a\": 1}"}}, {{"{\"b\": 2}"}}});
    json_ptr first = cgminer_api_call_cmd("stats", "localhost", miner.port());
    json_ptr second = cgminer_api_call_cmd("pools", "127.0.0.1", miner.port());
    ASSERT_TRUE(first && second);
    EXPECT_EQ(json_integer_value(json_object_get(first.get(), "a")), 1);
    EXPECT_EQ(json_integer_value(json_object_get(second.get(), "b")), 2);
    EXPECT_EQ(miner.requests(),
              (std::vector<std::string>{"{\"command\": \"stats\"}", "{\"command\": \"pools\"}"}));
}

// Sizes around the client's 4096-byte read buffer, each sent in 1500-byte pieces.
TEST(CgminerApi, RepliesAreReadToTheEndWhateverTheirSize) {
    const size_t sizes[] = {0, 1, 4096, 4097, 8193, 100000};
    std::vector<FakeMiner::Reply> replies;
    for (size_t size : sizes) {
        FakeMiner::Reply reply;
        for (size_t at = 0; at < size; at += 1500)
            reply.chunks.push_back(std::string(std::min<size_t>(1500, size - at), 'x'));
        replies.push_back(reply);
    }
    FakeMiner miner(replies);
    for (size_t size : sizes) {
        c_str_ptr got = cgminer_api_call_raw("{\"command\": \"x\"}", "localhost", miner.port());
        ASSERT_TRUE(got) << size;
        EXPECT_EQ(std::string(got.get()), std::string(size, 'x'));
    }
}

// Miners end the reply with a NUL and write array elements back to back.
TEST(CgminerApi, BackToBackObjectsAndATrailingNulParse) {
    const std::string wire = "{\"STATS\":[{\"a\":1}{\"b\":2}]}";
    FakeMiner miner({{{wire, std::string(1, '\0')}}, {{wire + '\0' + "junk"}}});
    for (int i = 0; i < 2; ++i) {
        json_ptr reply;
        EXPECT_EQ(
            errors_of([&] { reply = cgminer_api_call_cmd("stats", "localhost", miner.port()); }),
            "");
        ASSERT_TRUE(reply) << i;
        EXPECT_EQ(json_array_size(json_object_get(reply.get(), "STATS")), 2u);
    }
}

TEST(CgminerApi, AbortedReplyIsLoggedAndFails) {
    FakeMiner miner({{{"{\"STATS\": [1, 2"}, true}});
    json_ptr reply;
    const std::string err =
        errors_of([&] { reply = cgminer_api_call_cmd("stats", "localhost", miner.port()); });
    EXPECT_FALSE(reply);
    for (const char *line :
         {"ERROR: Failed to receive cgminer api response - Connection reset by "
          "peer\n",
          "ERROR: Failed to call cgminer api, request: {\"command\": \"stats\"}\n"})
        EXPECT_TRUE(has(err, line)) << err;
}

// A miner that sends past the size limit gets no reply used at all, and the
// client is whole afterwards: the next call works.
TEST(CgminerApi, OversizedReplyIsDroppedWhole) {
    const size_t chunk = 64 * 1024;
    FakeMiner miner(
        {{std::vector<std::string>(kCgminerReplyLimit / chunk + 2, std::string(chunk, 'x'))},
         {{"{\"ok\": 1}"}}});
    c_str_ptr got;
    const std::string err = errors_of(
        [&] { got = cgminer_api_call_raw("{\"command\": \"stats\"}", "localhost", miner.port()); });
    EXPECT_FALSE(got);
    EXPECT_TRUE(has(err, "ERROR: Failed to receive cgminer api response - Message too long\n"))
        << err;
    EXPECT_TRUE(has(err, "ERROR: Failed to call cgminer api")) << err;
    EXPECT_TRUE(cgminer_api_call_cmd("pools", "localhost", miner.port()));
}

long open_descriptors() {
    return std::distance(std::filesystem::directory_iterator("/proc/self/fd"), {});
}

// Failed calls of every kind give their socket back: a reset in the middle of a
// reply, a reply that is not JSON, and a refused connection (the miner gone).
TEST(CgminerApi, FailedCallsKeepNoDescriptor) {
    const int kCalls = 25;
    const long before = open_descriptors();
    int16_t port = 0;
    {
        std::vector<FakeMiner::Reply> replies(kCalls, {{"{\"STATS\": [1, 2"}, true});
        replies.insert(replies.end(), kCalls, {{"not json"}});
        FakeMiner miner(replies);
        port = miner.port();
        for (int i = 0; i < 2 * kCalls; ++i)
            errors_of([&] { EXPECT_FALSE(cgminer_api_call_cmd("stats", "localhost", port)); });
    }
    for (int i = 0; i < kCalls; ++i)
        errors_of([&] { EXPECT_FALSE(cgminer_api_call_cmd("stats", "localhost", port)); });
    EXPECT_EQ(open_descriptors(), before);
}

}  // namespace
