// Child processes started with a clean signal state.
//
// The daemon blocks its stop signals in every thread and the WebSocket library
// ignores SIGPIPE; a child must not inherit either, or a shell pipeline it runs
// (and any daemon it restarts) would ignore broken pipes and stop requests.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <cstddef>
#include <string>

struct spawn_io {
    int stdin_fd = -1;   // -1: inherited
    int stdout_fd = -1;  // -1: inherited
    int stderr_fd = -1;  // -1: inherited
    // The child leads a process group of its own, so that all it starts can be
    // signalled at once with kill(-pid, ...).
    bool own_process_group = false;
};

// Starts argv[0] (searched through PATH) with an empty signal mask and default
// INT, TERM, USR1 and PIPE dispositions. The pid, or -1 with errno set.
pid_t spawn_command(const char *const argv[], const spawn_io &io = {});

// "sh -c command_line" through spawn_command. Only fixed command lines of the
// daemon go here, never text from the service or a file.
pid_t spawn_shell(const char *command_line, const spawn_io &io = {});

// Waits for pid, retrying on EINTR: its wait status, or -1 with errno set.
int wait_child(pid_t pid);

// spawn_shell, then wait_child: the wait status, or -1 when it could not start.
int run_shell(const char *command_line);

struct run_bounds {
    size_t output_limit = 0;  // more output than this fails the run
    std::chrono::steady_clock::duration timeout{};
    std::chrono::steady_clock::duration kill_grace{};  // between SIGTERM and SIGKILL
    int stop_fd = -1;                    // readable: the run must end at once; -1 none
    bool (*stop_requested)() = nullptr;  // true: the run must end at once; polled
};

enum class run_end { done, failed, too_much_output };

// Runs argv through spawn_command, leading a process group of its own, with its
// standard output appended to *output. A run that cannot start, outlasts the timeout
// (output and exit), is stopped or writes too much fails, and then its whole group is
// ended: SIGTERM, SIGKILL after the grace. The child is always reaped; its exit status
// is not looked at.
run_end run_bounded(const char *const argv[], std::string *output, const run_bounds &bounds);
