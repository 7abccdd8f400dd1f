#include "common/thread_util.h"

#include <gtest/gtest.h>
#include <poll.h>

#include <atomic>
#include <chrono>
#include <string>
#include <vector>

using namespace std::chrono_literals;

namespace {

TEST(BackgroundThread, StartIsIdempotentAndStopJoinsPromptly) {
    BackgroundThread t;
    std::atomic<int> bodies{0};
    std::atomic<int> wakes{0};
    auto body = [&] {  // the thread's name is seen by the system tests' thread lists
        ++bodies;
        while (t.wait_for(1h))
            ++wakes;
    };
    EXPECT_EQ(t.start("rigkeep@test", body), 1);
    EXPECT_EQ(t.start("rigkeep@test", body), 0);
    EXPECT_TRUE(t.running());
    // New work ends the wait, or the next one when it comes before it; no stop.
    t.notify();
    for (int i = 0; i < 200 && wakes == 0; ++i)
        std::this_thread::sleep_for(5ms);
    EXPECT_EQ(wakes.load(), 1);
    EXPECT_TRUE(t.running());

    auto begin = std::chrono::steady_clock::now();
    EXPECT_TRUE(t.stop());
    EXPECT_LT(std::chrono::steady_clock::now() - begin, 1s);
    EXPECT_FALSE(t.running());
    EXPECT_EQ(bodies.load(), 1);
    EXPECT_FALSE(t.stop()) << "stop when not running reports it";
}

TEST(BackgroundThread, RacingStartsCreateOneThread) {
    BackgroundThread t;
    std::atomic<int> bodies{0};
    std::vector<std::thread> starters;
    std::atomic<bool> go{false};
    for (int i = 0; i < 8; ++i) {
        starters.emplace_back([&] {
            while (!go) {
            }
            t.start("rigkeep@race", [&] {
                ++bodies;
                while (t.wait_for(1h)) {
                }
            });
        });
    }
    go = true;
    for (auto &s : starters)
        s.join();
    t.stop();
    EXPECT_EQ(bodies.load(), 1);
}

TEST(BackgroundThread, WakeFdInterruptsPollAndBodyMayEndByItself) {
    BackgroundThread t;
    std::atomic<bool> woke{false};
    t.start("rigkeep@poll", [&] {
        pollfd p{t.wake_fd(), POLLIN, 0};
        woke = poll(&p, 1, 60000) == 1;
    });
    std::this_thread::sleep_for(20ms);
    t.stop();
    EXPECT_TRUE(woke.load());

    std::atomic<int> runs{0};
    t.start("rigkeep@once", [&] { ++runs; });
    for (int i = 0; i < 200 && t.running(); ++i)
        std::this_thread::sleep_for(5ms);
    EXPECT_FALSE(t.running()) << "a body that returned leaves the thread restartable";
    EXPECT_EQ(t.start("rigkeep@once", [&] { ++runs; }), 1);
    t.stop();
    EXPECT_EQ(runs.load(), 2);

    // A body that waits on something else is woken by the stop hook, before the join.
    std::atomic<bool> hooked{false}, woken{false};
    BackgroundThread other([&] { hooked = true; });
    other.start("rigkeep@hook", [&] {
        for (int i = 0; i < 2000 && !hooked; ++i)
            std::this_thread::sleep_for(1ms);
        woken = hooked.load();
    });
    other.stop();
    EXPECT_TRUE(woken.load());
}

}  // namespace
