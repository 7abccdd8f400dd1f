// Recognising a write of the miner file among inotify events, from crafted event
// buffers: odd names, padding, cut-off reads.
#include "norix/miner_support/watch.h"

#include <gtest/gtest.h>
#include <poll.h>
#include <sys/inotify.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "common/unique_fd.h"
#include "test_text.h"

namespace {

// Events as the kernel lays them out: header, then the name padded with NULs to
// padded_len bytes.
struct Events {
    std::vector<char> bytes;
    Events &add(uint32_t mask, const std::string &name, uint32_t padded_len) {
        inotify_event ev{};
        ev.wd = 1;
        ev.mask = mask;
        ev.len = padded_len;
        const char *raw = reinterpret_cast<const char *>(&ev);
        bytes.insert(bytes.end(), raw, raw + sizeof ev);
        std::string name_bytes = name;
        name_bytes.resize(padded_len, '\0');
        bytes.insert(bytes.end(), name_bytes.begin(), name_bytes.end());
        return *this;
    }
    Events &cut(size_t size) {
        bytes.resize(size);
        return *this;
    }
};

TEST(WatchEvents, OnlyANonEmptyEventNamedExactlyBmminerConfCounts) {
    constexpr size_t kHeader = sizeof(inotify_event);
    const struct {
        const char *name;
        Events events;
        bool expected;
    } cases[] = {
        {"close after write", Events().add(IN_CLOSE_WRITE, "bmminer.conf", 16), true},
        {"moved in", Events().add(IN_MOVED_TO, "bmminer.conf", 32), true},
        {"no padding beyond the NUL", Events().add(IN_CLOSE_WRITE, "bmminer.conf", 13), true},
        {"longer name", Events().add(IN_CLOSE_WRITE, "bmminer.conf.tmp", 32), false},
        {"shorter name", Events().add(IN_CLOSE_WRITE, "bmminer.con", 16), false},
        {"unterminated", Events().add(IN_CLOSE_WRITE, "bmminer.confX", 13), false},
        {"zero mask", Events().add(0, "bmminer.conf", 16), false},
        {"queue overflow", Events().add(IN_CLOSE_WRITE, "a", 16).add(IN_Q_OVERFLOW, "", 0), true},
        {"the directory itself", Events().add(IN_CLOSE_WRITE, "", 0), false},
        {"match after other events",
         Events()
             .add(IN_CLOSE_WRITE, "velmora.json", 16)
             .add(IN_MOVED_TO, "", 0)
             .add(IN_CLOSE_WRITE, "bmminer.conf", 16),
         true},
        {"cut inside the name", Events().add(IN_CLOSE_WRITE, "bmminer.conf", 16).cut(kHeader + 8),
         false},
        {"cut inside a header",
         Events()
             .add(IN_CLOSE_WRITE, "a", 16)
             .add(IN_CLOSE_WRITE, "bmminer.conf", 16)
             .cut(kHeader + 16 + 7),
         false},
        {"length beyond the read", Events().add(IN_CLOSE_WRITE, "x", 4096).cut(kHeader + 10),
         false},
        {"nothing", Events(), false},
    };
    for (const auto &c : cases) {
        // Through a pipe, the way a read of the inotify descriptor sees them.
        int fds[2];
        ASSERT_EQ(pipe(fds), 0);
        unique_fd rd(fds[0]), wr(fds[1]);
        const auto &bytes = c.events.bytes;
        ASSERT_EQ(write(wr.get(), bytes.data(), bytes.size()), static_cast<ssize_t>(bytes.size()));
        wr.reset();
        EXPECT_EQ(errors_of([&] { EXPECT_EQ(watch_config_check_events(rd.get()), c.expected); }),
                  "")
            << c.name;
    }
    const std::string err = errors_of([] { EXPECT_FALSE(watch_config_check_events(-1)); });
    EXPECT_TRUE(has(err, "ERROR: Failed to read inotify events\n")) << err;
}

// A directory that is missing at start, appears later, and is then replaced: the watch
// follows it, and the failure is logged once, not at every step.
TEST(WatchDir, FollowsADirectoryThatAppearsLaterOrIsReplaced) {
    namespace fs = std::filesystem;
    TempDir base;
    const fs::path dir = base / "config";
    ConfigDirWatch watch(dir.string());
    ASSERT_GE(watch.fd(), 0);

    // What the watch makes of the events queued now.
    auto queued_events = [&] {
        pollfd p{watch.fd(), POLLIN, 0};
        return poll(&p, 1, 200) == 1 && watch.read_events();
    };
    auto seen_after_write = [&](const char *name) {
        std::ofstream(dir / name) << "{}";
        return queued_events();
    };

    const std::string err = errors_of([&] { EXPECT_FALSE(watch.arm() || watch.arm()); });
    EXPECT_EQ(err.find("ERROR: Failed to watch"), err.rfind("ERROR: Failed to watch")) << err;
    EXPECT_TRUE(has(err, "No such file or directory")) << err;

    for (const char *step : {"appeared", "replaced"}) {
        fs::create_directory(dir);
        EXPECT_TRUE(watch.arm()) << step;
        EXPECT_TRUE(seen_after_write("bmminer.conf")) << step;
        EXPECT_FALSE(seen_after_write("velmora.json")) << step;
        // Deleted, then renamed away: either way the path no longer names it.
        if (strcmp(step, "appeared") == 0)
            fs::remove_all(dir);
        else
            fs::rename(dir, base / "old");
        EXPECT_FALSE(queued_events()) << step;  // as the loop does on any event
    }
    EXPECT_FALSE(watch.arm());
}

}  // namespace
