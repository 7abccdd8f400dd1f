#include "common/spawn.h"

#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>

#include <cerrno>

extern char **environ;

namespace {

// Blocked or ignored in the daemon; default in every child.
constexpr int kResetSignals[] = {SIGINT, SIGTERM, SIGUSR1, SIGPIPE};

// Owners of the posix_spawn attribute objects.
struct spawn_attr {
    posix_spawnattr_t attr;
    spawn_attr() { posix_spawnattr_init(&attr); }
    ~spawn_attr() { posix_spawnattr_destroy(&attr); }
    spawn_attr(const spawn_attr &) = delete;
    spawn_attr &operator=(const spawn_attr &) = delete;
};

struct spawn_actions {
    posix_spawn_file_actions_t actions;
    spawn_actions() { posix_spawn_file_actions_init(&actions); }
    ~spawn_actions() { posix_spawn_file_actions_destroy(&actions); }
    spawn_actions(const spawn_actions &) = delete;
    spawn_actions &operator=(const spawn_actions &) = delete;
};

int redirect(posix_spawn_file_actions_t *actions, int from, int to) {
    return from < 0 ? 0 : posix_spawn_file_actions_adddup2(actions, from, to);
}

}  // namespace

pid_t spawn_command(const char *const argv[], const spawn_io &io) {
    spawn_attr attr;
    sigset_t none;
    sigemptyset(&none);
    sigset_t defaults;
    sigemptyset(&defaults);
    for (int sig : kResetSignals)
        sigaddset(&defaults, sig);
    short flags = POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF;
    if (io.own_process_group)
        flags |= POSIX_SPAWN_SETPGROUP;
    int rc = posix_spawnattr_setflags(&attr.attr, flags);
    if (rc == 0)
        rc = posix_spawnattr_setsigmask(&attr.attr, &none);
    if (rc == 0)
        rc = posix_spawnattr_setsigdefault(&attr.attr, &defaults);
    if (rc == 0 && io.own_process_group)
        rc = posix_spawnattr_setpgroup(&attr.attr, 0);

    spawn_actions actions;
    if (rc == 0)
        rc = redirect(&actions.actions, io.stdin_fd, 0);
    if (rc == 0)
        rc = redirect(&actions.actions, io.stdout_fd, 1);
    if (rc == 0)
        rc = redirect(&actions.actions, io.stderr_fd, 2);

    pid_t pid = -1;
    if (rc == 0)
        rc = posix_spawnp(&pid, argv[0], &actions.actions, &attr.attr,
                          const_cast<char *const *>(argv), environ);
    if (rc != 0) {
        errno = rc;
        return -1;
    }
    return pid;
}

void reset_signal_state_for_exec() {
    for (int sig : kResetSignals)
        signal(sig, SIG_DFL);
    sigset_t none;
    sigemptyset(&none);
    sigprocmask(SIG_SETMASK, &none, nullptr);
}

pid_t spawn_shell(const char *command_line, const spawn_io &io) {
    const char *const argv[] = {"/bin/sh", "-c", command_line, nullptr};
    return spawn_command(argv, io);
}

int wait_child(pid_t pid) {
    int status = 0;
    while (waitpid(pid, &status, 0) < 0) {
        if (errno != EINTR)
            return -1;
    }
    return status;
}

int run_shell(const char *command_line) {
    pid_t pid = spawn_shell(command_line);
    return pid < 0 ? -1 : wait_child(pid);
}
