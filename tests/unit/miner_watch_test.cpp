// Recognising a write of the miner file among inotify events: crafted event
// buffers (odd names, padding, cut-off reads) and a real inotify descriptor on a
// private directory.
#include "norix/miner_support/watch.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/inotify.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "common/unique_fd.h"

namespace fs = std::filesystem;

namespace {

// One event as the kernel lays it out: header, then the name padded with NULs.
void append_event(std::vector<char> &buf, uint32_t mask, const std::string &name,
                  uint32_t padded_len) {
    inotify_event ev{};
    ev.wd = 1;
    ev.mask = mask;
    ev.len = padded_len;
    const char *raw = reinterpret_cast<const char *>(&ev);
    buf.insert(buf.end(), raw, raw + sizeof ev);
    std::string name_bytes = name;
    name_bytes.resize(padded_len, '\0');
    buf.insert(buf.end(), name_bytes.begin(), name_bytes.end());
}

// Feeds bytes through a pipe, the way a read of the inotify descriptor sees them.
struct Checked {
    bool result;
    std::string err;
};
Checked check_bytes(const std::vector<char> &bytes) {
    int fds[2];
    EXPECT_EQ(pipe(fds), 0);
    unique_fd rd(fds[0]), wr(fds[1]);
    EXPECT_EQ(write(wr.get(), bytes.data(), bytes.size()), static_cast<ssize_t>(bytes.size()));
    wr.reset();
    testing::internal::CaptureStderr();
    bool result = watch_config_check_events(rd.get());
    return {result, testing::internal::GetCapturedStderr()};
}

TEST(WatchEvents, OnlyANonEmptyEventNamedExactlyBmminerConfCounts) {
    struct Case {
        const char *name;
        std::vector<char> bytes;
        bool expected;
    };
    std::vector<Case> cases;
    auto one = [](uint32_t mask, const std::string &name, uint32_t len) {
        std::vector<char> b;
        append_event(b, mask, name, len);
        return b;
    };
    cases.push_back({"close after write", one(IN_CLOSE_WRITE, "bmminer.conf", 16), true});
    cases.push_back({"moved in", one(IN_MOVED_TO, "bmminer.conf", 32), true});
    cases.push_back({"no padding beyond the NUL", one(IN_CLOSE_WRITE, "bmminer.conf", 13), true});
    cases.push_back({"other file", one(IN_CLOSE_WRITE, "network.conf", 16), false});
    cases.push_back({"longer name", one(IN_CLOSE_WRITE, "bmminer.conf.tmp", 32), false});
    cases.push_back({"shorter name", one(IN_CLOSE_WRITE, "bmminer.con", 16), false});
    cases.push_back({"unterminated prefix", one(IN_CLOSE_WRITE, "bmminer.confX", 13), false});
    cases.push_back({"zero mask", one(0, "bmminer.conf", 16), false});
    cases.push_back({"event on the directory itself", one(IN_CLOSE_WRITE, "", 0), false});
    {
        std::vector<char> b;
        append_event(b, IN_CLOSE_WRITE, "velmora.json", 16);
        append_event(b, IN_MOVED_TO, "", 0);
        append_event(b, IN_CLOSE_WRITE, "bmminer.conf", 16);
        cases.push_back({"match after other events", b, true});
    }
    {
        std::vector<char> b;
        append_event(b, IN_CLOSE_WRITE, "bmminer.conf", 16);
        b.resize(b.size() - 8);  // the name is cut off
        cases.push_back({"cut inside the name", b, false});
    }
    {
        std::vector<char> b;
        append_event(b, IN_CLOSE_WRITE, "a", 16);
        append_event(b, IN_CLOSE_WRITE, "bmminer.conf", 16);
        b.resize(sizeof(inotify_event) + 16 + 7);  // second header incomplete
        cases.push_back({"cut inside a header", b, false});
    }
    {
        std::vector<char> b;
        append_event(b, IN_CLOSE_WRITE, "x", 4096);  // claims more than arrived
        b.resize(sizeof(inotify_event) + 10);
        cases.push_back({"length beyond the read", b, false});
    }
    cases.push_back({"nothing", {}, false});

    for (const auto &c : cases) {
        Checked r = check_bytes(c.bytes);
        EXPECT_EQ(r.result, c.expected) << c.name;
        EXPECT_TRUE(r.err.empty()) << c.name << ": " << r.err;
    }
}

TEST(WatchEvents, AFailedReadIsLoggedAndNotAWrite) {
    testing::internal::CaptureStderr();
    bool result = watch_config_check_events(-1);
    std::string err = testing::internal::GetCapturedStderr();
    EXPECT_FALSE(result);
    EXPECT_NE(err.find("ERROR: Failed to read inotify events\n"), std::string::npos) << err;
}

class WatchedDir : public testing::Test {
  protected:
    void SetUp() override {
        char tmpl[] = "/tmp/rigkeep-watch-XXXXXX";
        ASSERT_NE(mkdtemp(tmpl), nullptr);
        dir_ = tmpl;
        fd_.reset(inotify_init1(IN_CLOEXEC | IN_NONBLOCK));
        ASSERT_TRUE(fd_);
        ASSERT_GE(inotify_add_watch(fd_.get(), dir_.c_str(), IN_CLOSE_WRITE | IN_MOVED_TO), 0);
    }
    void TearDown() override { fs::remove_all(dir_); }

    void write_file(const fs::path &p, const std::string &text) { std::ofstream(p) << text; }
    // Whether anything arrived, and if so whether it names the miner file.
    std::pair<bool, bool> events() {
        pollfd p{fd_.get(), POLLIN, 0};
        if (poll(&p, 1, 200) != 1)
            return {false, false};
        return {true, watch_config_check_events(fd_.get())};
    }

    fs::path dir_;
    unique_fd fd_;
};

TEST_F(WatchedDir, WritesAndMovesOfTheMinerFileAreRecognised) {
    write_file(dir_ / "bmminer.conf", "{}");
    EXPECT_EQ(events(), std::make_pair(true, true)) << "closed after writing";

    write_file(dir_ / "network.conf", "x");
    EXPECT_EQ(events(), std::make_pair(true, false)) << "another file";

    fs::path outside = fs::path(dir_.string() + "-outside");
    write_file(outside, "{}");
    fs::rename(outside, dir_ / "bmminer.conf");
    EXPECT_EQ(events(), std::make_pair(true, true)) << "moved in";

    fs::remove(dir_ / "bmminer.conf");
    EXPECT_EQ(events(), std::make_pair(false, false)) << "a deletion is not watched";

    // A file kept open is noticed only once it is closed.
    FILE *f = fopen((dir_ / "bmminer.conf").c_str(), "w");
    ASSERT_NE(f, nullptr);
    fputs("{}", f);
    fflush(f);
    EXPECT_EQ(events(), std::make_pair(false, false)) << "still open";
    fclose(f);
    EXPECT_EQ(events(), std::make_pair(true, true)) << "closed";

    // Several writes between two reads are one answer, and the read drains them.
    for (int i = 0; i < 5; ++i)
        write_file(dir_ / "bmminer.conf", "{}");
    EXPECT_EQ(events(), std::make_pair(true, true));
    EXPECT_EQ(events(), std::make_pair(false, false));
}

}  // namespace
