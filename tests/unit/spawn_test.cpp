#include "common/spawn.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <string>

#include "common/unique_fd.h"
#include "test_text.h"

using namespace std::chrono_literals;

namespace {

unsigned long long status_mask(const std::string &status, const char *key) {
    size_t at = status.find(std::string(key) + ":");
    if (at == std::string::npos)
        return ~0ULL;
    return std::strtoull(status.c_str() + at + std::string(key).size() + 1, nullptr, 16);
}

enum class How { Command, Shell, Bounded };

// What a child sees of its own signal state, read from /proc/self/status.
std::string child_status(How how) {
    const char *const argv[] = {"cat", "/proc/self/status", nullptr};
    if (how == How::Bounded) {  // the captured output
        std::string out;
        run_bounded(argv, &out, {1 << 16, std::chrono::seconds(10), {}, -1, nullptr});
        return out;
    }
    int fds[2];
    if (pipe2(fds, O_CLOEXEC) != 0)
        return {};
    unique_fd rd(fds[0]), wr(fds[1]);
    spawn_io io;
    io.stdout_fd = wr.get();
    pid_t pid =
        how == How::Command ? spawn_command(argv, io) : spawn_shell("cat /proc/self/status", io);
    wr.reset();
    std::string out = pid > 0 ? read_all(rd.get()) : "";
    if (pid > 0)
        wait_child(pid);
    return out;
}

TEST(Spawn, ChildrenStartWithCleanSignalState) {
    // The daemon's signal state: stop signals blocked, SIGPIPE ignored.
    sigset_t blocked, old_mask;
    sigemptyset(&blocked);
    for (int sig : {SIGINT, SIGTERM, SIGUSR1})
        sigaddset(&blocked, sig);
    pthread_sigmask(SIG_BLOCK, &blocked, &old_mask);
    sighandler_t old_pipe = signal(SIGPIPE, SIG_IGN);
    constexpr unsigned long long bit = 1;
    const unsigned long long watched =
        bit << (SIGINT - 1) | bit << (SIGTERM - 1) | bit << (SIGUSR1 - 1) | bit << (SIGPIPE - 1);
    for (How how : {How::Command, How::Shell, How::Bounded}) {
        SCOPED_TRACE(static_cast<int>(how));
        std::string status = child_status(how);
        ASSERT_TRUE(has(status, "SigBlk:")) << status;
        EXPECT_EQ(status_mask(status, "SigBlk") & watched, 0u);
        EXPECT_EQ(status_mask(status, "SigIgn") & watched, 0u);
    }
    signal(SIGPIPE, old_pipe);
    pthread_sigmask(SIG_SETMASK, &old_mask, nullptr);
}

TEST(Spawn, ExitStatusProcessGroupAndFailures) {
    int status = run_shell("exit 7");
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 7);

    if (getenv("RIGKEEP_EMULATED"))
        GTEST_SKIP() << "qemu user mode runs posix_spawn's child apart: the spawn returns "
                        "before its setpgid and exec, and an exec failure never reaches it";
    spawn_io io;
    io.own_process_group = true;
    pid_t pid = spawn_shell("sleep 5", io);
    ASSERT_GT(pid, 0);
    EXPECT_EQ(getpgid(pid), pid);
    EXPECT_EQ(kill(-pid, SIGTERM), 0);
    status = wait_child(pid);
    EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGTERM);

    const char *const missing[] = {"rigkeep-no-such-program", nullptr};
    EXPECT_EQ(spawn_command(missing), -1);
    EXPECT_EQ(errno, ENOENT);

    // Bounded runs: the output, a cap, a deadline and two kinds of stop; a failed run
    // ends the whole group (the background sleep prints its pid).
    int stop[2];
    ASSERT_EQ(pipe2(stop, O_CLOEXEC), 0);
    unique_fd stop_rd(stop[0]), stop_wr(stop[1]);
    ASSERT_EQ(write(stop_wr.get(), "x", 1), 1);
    const char *const group = "sleep 30 & echo $!; exec sleep 30";
    struct Row {
        const char *script;
        run_bounds bounds;
        run_end end;
        const char *output;  // nullptr: the pid of a process that must be gone
    } rows[] = {
        {"echo out", {100, 5s, 100ms, -1, nullptr}, run_end::done, "out\n"},
        {"echo 12345678", {8, 5s, 100ms, -1, nullptr}, run_end::too_much_output, ""},
        {group, {100, 300ms, 100ms, -1, nullptr}, run_end::failed, nullptr},
        {group, {100, 5s, 100ms, stop_rd.get(), nullptr}, run_end::failed, ""},
        {group, {100, 5s, 100ms, -1, [] { return true; }}, run_end::failed, ""},
    };
    for (const Row &row : rows) {
        SCOPED_TRACE(row.script);
        const char *const argv[] = {"sh", "-c", row.script, nullptr};
        std::string out;
        auto begin = std::chrono::steady_clock::now();
        EXPECT_EQ(run_bounded(argv, &out, row.bounds), row.end);
        EXPECT_LT(std::chrono::steady_clock::now() - begin, 2s);
        if (row.output != nullptr) {
            EXPECT_EQ(out, row.output);
            continue;
        }
        const int orphan = atoi(out.c_str());
        ASSERT_GT(orphan, 0) << out;
        const std::string stat = "/proc/" + std::to_string(orphan) + "/stat";
        std::string state = "S";  // running, else Z (a zombie, ended) or gone
        for (int i = 0; i < 100 && state != "Z" && !state.empty(); ++i, usleep(10000)) {
            const std::string text = slurp(stat);
            state = text.empty() ? "" : text.substr(text.rfind(')') + 2, 1);
        }
        EXPECT_TRUE(state.empty() || state == "Z") << out;
    }
}

}  // namespace
