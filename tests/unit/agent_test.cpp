#include "agent.h"

#include <gtest/gtest.h>

namespace {

using std::chrono::milliseconds;
using std::chrono::seconds;
using clock_type = LinkWatchdog::clock;

const clock_type::time_point t0{seconds(1000)};

TEST(LinkWatchdog, HungOnlyAfterMoreThan600SecondsWithoutALink) {
    LinkWatchdog watchdog(t0);
    EXPECT_FALSE(watchdog.pass(false, t0 + seconds(600))) << "exactly 600 s is not yet hung";
    EXPECT_TRUE(watchdog.pass(false, t0 + seconds(600) + milliseconds(1)));
}

TEST(LinkWatchdog, CountsFromTheLastPassThatSawTheLinkUp) {
    LinkWatchdog watchdog(t0);
    // A link that comes back in time resets the count already running.
    EXPECT_FALSE(watchdog.pass(false, t0 + seconds(590)));
    EXPECT_FALSE(watchdog.pass(true, t0 + seconds(595)));
    EXPECT_FALSE(watchdog.pass(false, t0 + seconds(1195)));
    EXPECT_TRUE(watchdog.pass(false, t0 + seconds(1196)));
}

TEST(LinkWatchdog, ConnectedPassesNeverHang) {
    LinkWatchdog watchdog(t0);
    for (int s = 0; s <= 7200; s += 60)
        EXPECT_FALSE(watchdog.pass(true, t0 + seconds(s) + seconds(700)));
}

}  // namespace
