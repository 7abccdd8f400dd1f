#include "agent.h"

#include <gtest/gtest.h>

#include <utility>
#include <vector>

namespace {

using std::chrono::milliseconds;
using std::chrono::seconds;
using clock_type = LinkWatchdog::clock;
using Seen = LinkWatchdog::Seen;

const clock_type::time_point t0{seconds(1000)};
const Seen down{};
const Seen up{.link_up = true};
const Seen updating{.update_running = true};
const Seen stopping{.stopping = true};

TEST(LinkWatchdog, HungOnlyAfterMoreThan600SecondsWithoutALink) {
    LinkWatchdog watchdog(t0);
    EXPECT_FALSE(watchdog.pass(down, t0 + seconds(600))) << "exactly 600 s is not yet hung";
    EXPECT_TRUE(watchdog.pass(down, t0 + seconds(600) + milliseconds(1)));
}

// Each pass: what it saw, how long after t0, whether it is hung.
struct PassRow {
    Seen seen;
    int at;
    bool hung;
};

TEST(LinkWatchdog, CountsFromTheLastPassThatSawTheLinkUpOrAnUpdateRunning) {
    const std::vector<std::pair<const char *, std::vector<PassRow>>> cases = {
        // A link that comes back in time resets the count already running.
        {"link back",
         {{down, 590, false}, {up, 595, false}, {down, 1195, false}, {down, 1196, true}}},
        // A package's update.sh holds the rule however long it runs, and the count
        // starts again when it ends.
        {"update.sh runs",
         {{updating, 300, false},
          {updating, 2000, false},
          {down, 2600, false},
          {down, 2601, true}}},
        // A stop under way ends the daemon itself, with status 0.
        {"stop under way", {{down, 599, false}, {stopping, 601, false}, {stopping, 5000, false}}},
    };
    for (const auto &[name, passes] : cases) {
        LinkWatchdog watchdog(t0);
        for (const PassRow &p : passes)
            EXPECT_EQ(watchdog.pass(p.seen, t0 + seconds(p.at)), p.hung) << name << " at " << p.at;
    }
}

}  // namespace
