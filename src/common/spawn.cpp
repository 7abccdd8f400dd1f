#include "common/spawn.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <new>
#include <thread>

#include "common/unique_fd.h"

extern char **environ;

namespace {

using steady = std::chrono::steady_clock;

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

// The child's exit, waited for until deadline without reaping it, so that its pid
// (and process group) cannot be reused meanwhile. False when the deadline passed.
bool wait_exit_until(pid_t pid, steady::time_point deadline) {
    for (;;) {
        siginfo_t info{};
        int rc = waitid(P_PID, static_cast<id_t>(pid), &info, WEXITED | WNOHANG | WNOWAIT);
        if (rc == 0 && info.si_pid == pid)
            return true;
        if (rc != 0 && errno != EINTR)
            return true;  // nothing left to wait for
        if (steady::now() >= deadline)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
}

// Ends the child's whole process group: a polite signal, then SIGKILL.
void end_process_group(pid_t pid, steady::duration grace) {
    kill(-pid, SIGTERM);
    wait_exit_until(pid, steady::now() + grace);
    kill(-pid, SIGKILL);
}

// Reads the child's output until its end, the deadline or a stop.
run_end read_output(int fd, std::string *output, const run_bounds &bounds,
                    steady::time_point deadline) {
    char chunk[4096];
    for (;;) {
        auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - steady::now());
        if (left.count() <= 0)
            return run_end::failed;
        if (bounds.stop_requested != nullptr && bounds.stop_requested())
            return run_end::failed;
        pollfd fds[2] = {{fd, POLLIN, 0}, {bounds.stop_fd, POLLIN, 0}};
        const auto step = std::min(left, std::chrono::milliseconds(200));
        int ready = poll(fds, 2, static_cast<int>(step.count()));
        if (ready == 0 || (ready < 0 && errno == EINTR))
            continue;
        if (ready < 0 || fds[1].revents != 0)
            return run_end::failed;
        ssize_t n = read(fd, chunk, sizeof chunk);
        if (n == 0)
            return run_end::done;  // every writer has closed: the whole output is in
        if (n < 0) {
            if (errno == EINTR || errno == EAGAIN)
                continue;
            return run_end::failed;
        }
        // A command gone wild must not take the board's memory with it.
        if (output->size() + static_cast<size_t>(n) > bounds.output_limit)
            return run_end::too_much_output;
        try {
            output->append(chunk, static_cast<size_t>(n));
        } catch (const std::bad_alloc &) {
            return run_end::too_much_output;
        }
    }
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

run_end run_bounded(const char *const argv[], std::string *output, const run_bounds &bounds) {
    int ends[2];
    if (pipe2(ends, O_CLOEXEC) != 0)
        return run_end::failed;
    unique_fd read_end(ends[0]);
    unique_fd write_end(ends[1]);
    spawn_io io;
    io.stdout_fd = write_end.get();
    io.own_process_group = true;  // whatever the command starts ends with it
    pid_t pid = spawn_command(argv, io);
    write_end.reset();
    if (pid < 0)
        return run_end::failed;

    const auto deadline = steady::now() + bounds.timeout;
    run_end end = read_output(read_end.get(), output, bounds, deadline);
    read_end.reset();
    if (end != run_end::done || !wait_exit_until(pid, deadline)) {
        end_process_group(pid, bounds.kill_grace);
        if (end == run_end::done)
            end = run_end::failed;
    }
    (void)wait_child(pid);
    return end;
}
