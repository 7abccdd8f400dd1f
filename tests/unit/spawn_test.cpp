#include "common/spawn.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <string>

#include "common/unique_fd.h"
#include "test_text.h"

namespace {

unsigned long long status_mask(const std::string &status, const char *key) {
    size_t at = status.find(std::string(key) + ":");
    if (at == std::string::npos)
        return ~0ULL;
    return std::strtoull(status.c_str() + at + std::string(key).size() + 1, nullptr, 16);
}

enum class How { Command, Shell, Fork };

// What a child sees of its own signal state, read from /proc/self/status.
std::string child_status(How how) {
    int fds[2];
    if (pipe2(fds, O_CLOEXEC) != 0)
        return {};
    unique_fd rd(fds[0]), wr(fds[1]);
    spawn_io io;
    io.stdout_fd = wr.get();
    pid_t pid = -1;
    if (how == How::Command) {
        const char *const argv[] = {"cat", "/proc/self/status", nullptr};
        pid = spawn_command(argv, io);
    } else if (how == How::Shell) {
        pid = spawn_shell("cat /proc/self/status", io);
    } else if ((pid = fork()) == 0) {
        dup2(wr.get(), STDOUT_FILENO);
        reset_signal_state_for_exec();
        execlp("cat", "cat", "/proc/self/status", nullptr);
        _exit(127);
    }
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
    for (How how : {How::Command, How::Shell, How::Fork}) {
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
}

}  // namespace
