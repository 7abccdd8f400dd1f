#include "events.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cassert>
#include <cerrno>
#include <climits>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>

#include "agent_protocol/agent_protocol.h"
#include "common/json_ptr.h"
#include "common/paths.h"
#include "common/random.h"
#include "common/thread_util.h"
#include "common/unique_fd.h"
#include "log.h"

namespace {

// fgets() with a 1024-byte buffer: a line is at most 1023 bytes, a longer one comes
// in 1023-byte pieces.
constexpr size_t kLinePiece = 1023;

// The extra value some reasons carry.
enum class extra_kind { none, real, integer };

struct reason_row {
    const char *incoming;  // compared over its own length only: a prefix
    const char *outgoing;
    extra_kind extra;
    const char *key;
};

// Searched in this order; the first match wins. "fan_erorr" is what the miner writes.
constexpr reason_row kReasons[] = {
    {"fan_erorr", "fan_error", extra_kind::none, nullptr},
    {"hashrate_drop", "hashrate_drop", extra_kind::real, "hashrate"},
    {"xchips", "xchips", extra_kind::integer, "num_chips"},
    {"devpool_not_available", "devpool_error", extra_kind::none, nullptr},
    {"overheat", "overheat", extra_kind::integer, "temp"},
    {"autotune", "autotune", extra_kind::none, nullptr},
    {"fix_hw_errors", "fix_hw_errors", extra_kind::none, nullptr},
    {"net_connection_error", "network_error", extra_kind::none, nullptr},
};

const reason_row *find_reason(const char *reason) {
    for (const reason_row &row : kReasons) {
        if (strncmp(reason, row.incoming, strlen(row.incoming)) == 0)
            return &row;
    }
    return nullptr;
}

// A real, or a string read as a decimal number (no number: 0.0). Only finite
// values can be sent.
bool extra_real(const json_t *value, double *out) {
    if (json_is_real(value))
        *out = json_real_value(value);
    else if (json_is_string(value))
        *out = strtod(json_string_value(value), nullptr);
    else
        return false;
    return std::isfinite(*out);
}

// An integer, or a string read as a decimal integer (no number: 0). A value that a
// 32-bit integer cannot hold is refused rather than cut.
bool extra_integer(const json_t *value, json_int_t *out) {
    long long number;
    if (json_is_integer(value)) {
        number = json_integer_value(value);
    } else if (json_is_string(value)) {
        errno = 0;
        number = strtoll(json_string_value(value), nullptr, 10);
        if (errno == ERANGE)
            return false;
    } else {
        return false;
    }
    if (number < INT32_MIN || number > INT32_MAX)
        return false;
    *out = number;
    return true;
}

// Adds the reason's extra key to extra (an object); 0, or -1 logged.
int read_extra(const reason_row &row, json_t *event, json_t *extra) {
    json_t *value = json_object_get(event, row.key);
    if (value == nullptr) {
        LOG_ERROR("Restart event doesn't contain %s key\n", row.key);
        return -1;
    }
    if (row.extra == extra_kind::real) {
        double number;
        if (!extra_real(value, &number)) {
            LOG_ERROR("Failed to parse %s value\n", row.key);
            return -1;
        }
        json_object_set_new(extra, row.key, json_real(number));
    } else {
        json_int_t number;
        if (!extra_integer(value, &number)) {
            LOG_ERROR("Failed to parse %s value\n", row.key);
            return -1;
        }
        json_object_set_new(extra, row.key, json_integer(number));
    }
    return 0;
}

BackgroundThread &events_worker() {
    return leaked<BackgroundThread, struct events_tag>();
}

void remove_pipe() {
    unlink(paths::kEventsLink);
    unlink(paths::kEventsFifo);
}

// Cuts the byte stream of one writer session into the pieces fgets() would give.
class line_reader {
  public:
    void feed(const char *data, size_t len) {
        for (size_t i = 0; i < len; ++i) {
            line_[len_++] = data[i];
            if (data[i] == '\n' || len_ == kLinePiece)
                flush();
        }
    }
    // The piece left at the end of the stream.
    void flush() {
        if (len_ == 0)
            return;
        line_[len_] = '\0';
        if (handle_miner_event_bytes(line_, len_) != 0)
            LOG_ERROR("Failed to handle restart event: %s\n", line_);
        len_ = 0;
    }

  private:
    char line_[kLinePiece + 1];
    size_t len_ = 0;
};

enum class session_end { writers_gone, stopped, failed, pipe_gone };

// How often an idle reader checks that its pipe is still the one at the path:
// somebody may have deleted or replaced it, and writers would never find us.
constexpr int kPipeCheckMs = 5000;

// True while the path names the FIFO open_one describes (a link to it does not count).
bool still_at_path(const struct stat &open_one) {
    struct stat at_path;
    return lstat(paths::kEventsFifo, &at_path) == 0 && at_path.st_dev == open_one.st_dev &&
           at_path.st_ino == open_one.st_ino;
}

// /tmp is everybody's: only a FIFO of our own user is trusted to carry the events.
bool is_own_fifo(const struct stat &st) {
    return S_ISFIFO(st.st_mode) && st.st_uid == geteuid();
}

// Makes an entry under a fresh name next to path with make(name), then renames it
// over path: whatever stood there is replaced, never followed, and path never names
// an entry somebody else slipped in. 0, or -1 with errno set.
template <typename Make>
int replace_entry(const char *path, Make make) {
    for (int attempt = 0; attempt < 8; ++attempt) {
        uint32_t salt = 0;
        (void)random_bytes(&salt, sizeof salt);
        char name[64];
        snprintf(name, sizeof name, "%s.rigkeep-%08x", path, salt);
        if (make(name) != 0) {
            if (errno == EEXIST)
                continue;  // taken: another name
            return -1;
        }
        if (rename(name, path) == 0)
            return 0;
        int saved = errno;
        unlink(name);
        errno = saved;
        return -1;
    }
    errno = EEXIST;
    return -1;
}

// Our FIFO at the path (one already there is kept only when it is our own), and the
// link to it, made afresh.
int make_pipe() {
    auto make_fifo = [](const char *name) { return mkfifo(name, 0666); };
    struct stat st;
    if (lstat(paths::kEventsFifo, &st) != 0 || !is_own_fifo(st)) {
        if (replace_entry(paths::kEventsFifo, make_fifo) != 0) {
            LOG_ERROR("Unable to create events pipe - %s\n", strerror(errno));
            remove_pipe();
            return -1;
        }
    }
    // A writer may use either name; without the link, only the FIFO's own serves.
    (void)replace_entry(paths::kEventsLink,
                        [](const char *name) { return symlink(paths::kEventsFifo, name); });
    return 0;
}

// Reads one session, from the first writer's open until every writer has closed.
// The read end is opened without blocking, so both the wait for a writer and the
// wait for a line are polls that the stop wakes.
session_end read_session(BackgroundThread &worker) {
    unique_fd fifo(open(paths::kEventsFifo, O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOFOLLOW));
    if (!fifo) {
        // Removed, or a link put in its place, since it was made: made again.
        if (errno == ENOENT || errno == ELOOP)
            return session_end::pipe_gone;
        LOG_ERROR("Unable to open events pipe - %s\n", strerror(errno));
        return session_end::failed;
    }
    // Swapped since it was made: whatever it is now, it is made again.
    struct stat st;
    if (fstat(fifo.get(), &st) != 0 || !is_own_fifo(st))
        return session_end::pipe_gone;
    line_reader lines;
    char chunk[4096];
    while (worker.running()) {
        pollfd fds[2] = {{fifo.get(), POLLIN, 0}, {worker.wake_fd(), POLLIN, 0}};
        int ready = poll(fds, 2, kPipeCheckMs);
        if (ready < 0) {
            if (errno == EINTR)
                continue;
            LOG_ERROR("Unable to open events pipe - %s\n", strerror(errno));
            return session_end::failed;
        }
        if (ready == 0 && !still_at_path(st))
            return session_end::pipe_gone;
        if (fds[1].revents != 0)
            break;
        if (fds[0].revents == 0)
            continue;
        ssize_t n = read(fifo.get(), chunk, sizeof chunk);
        if (n > 0) {
            lines.feed(chunk, static_cast<size_t>(n));
        } else if (n == 0) {
            lines.flush();
            return session_end::writers_gone;
        } else if (errno != EAGAIN && errno != EINTR) {
            LOG_ERROR("Unable to open events pipe - %s\n", strerror(errno));
            return session_end::failed;
        }
    }
    return session_end::stopped;
}

void events_thread() {
    BackgroundThread &worker = events_worker();
    remove_pipe();
    session_end end = make_pipe() == 0 ? session_end::writers_gone : session_end::failed;
    while (worker.running() && end != session_end::stopped && end != session_end::failed) {
        if (end == session_end::pipe_gone && make_pipe() != 0)
            return;
        end = read_session(worker);
    }
    // Stopped from outside: the pipe stays for the next start. Ended by itself: the
    // pipe goes with it.
    if (end == session_end::failed)
        remove_pipe();
}

}  // namespace

int start_events_thread() {
    events_worker().start_or_abort("rigkeep@events", events_thread,
                                   "Failed to create miner event reporting thread, code: %d\n");
    return 0;
}

int stop_events_thread() {
    events_worker().stop();
    return 0;
}

bool events_thread_is_running() {
    return events_worker().running();
}

json_t *create_restart_event(const char *reason) {
    assert(reason != nullptr);
    return json_pack("{ss,sI,ss,ss}", "type", "event", "timestamp",
                     static_cast<json_int_t>(time(nullptr)), "name", "restart", "reason", reason);
}

int handle_miner_event(const char *line) {
    assert(line != nullptr);
    return handle_miner_event_bytes(line, strlen(line));
}

int handle_miner_event_bytes(const char *line, size_t len) {
    assert(line != nullptr);
    json_error_t error;
    json_ptr event(json_loadb(line, len, 0, &error));
    if (!event) {
        LOG_ERROR("Unable to parse event: %.*s\n", static_cast<int>(len), line);
        return -1;
    }
    const char *name = nullptr;
    const char *reason = nullptr;
    if (json_unpack(event.get(), "{ss, ss}", "event", &name, "reason", &reason) != 0) {
        LOG_ERROR("Unable to parse event reason: %.*s\n", static_cast<int>(len), line);
        return -1;
    }
    const reason_row *row = find_reason(reason);
    if (row == nullptr) {
        LOG_WARN("Unknown restart reason: %s\n", reason);
        return 0;
    }
    json_ptr extra(json_object());
    if (row->extra != extra_kind::none && read_extra(*row, event.get(), extra.get()) != 0)
        return -1;
    json_ptr message(create_restart_event(row->outgoing));
    if (!message || !extra || json_object_update(message.get(), extra.get()) != 0) {
        LOG_ERROR("Failed to compose restart event\n");
        return -1;
    }
    return agent_enqueue_message(message.release());
}
