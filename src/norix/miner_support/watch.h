// Watch on /config/bmminer.conf: when another program has rewritten it and it has
// then stayed quiet for 3 seconds, the fresh configuration document goes to a
// callback. The agent's own saves are not reported back.
#pragma once

#include <jansson.h>

#include <sys/types.h>

#include <chrono>
#include <string>

#include "common/unique_fd.h"

// Receives one reference to the document and is responsible for it; negative on
// failure.
using config_watch_callback = int (*)(json_t *doc);

inline constexpr std::chrono::milliseconds kWatchPollStep{1000};
inline constexpr std::chrono::milliseconds kWatchQuietTime{3000};
// Room for 100 events with a full-length name each.
inline constexpr size_t kWatchEventBufferSize = 27200;

// Starts the watch thread "rigkeep@config"; only warns when it runs already. 0.
int watch_config_start(config_watch_callback callback);
// Stops and joins it, releasing its descriptor; only warns when it does not run.
// 0, or -1 when the join failed.
int watch_config_stop();
bool watch_config_is_running();

// Reads the pending events from an inotify descriptor once; true when they
// include a write of the miner file, or may have (the event queue overflowed).
bool watch_config_check_events(int fd);

// The inotify watch on one directory. Adding it fails while the directory is missing
// and watches the wrong one while a file system is yet to be mounted on it, so the
// loop calls arm() at every poll step: it makes the watch again whenever the
// directory at that path is not the one watched, or the watch is gone. The path is
// looked up again only when that may have happened: no watch, the watched directory
// renamed, or a change of the mount table (mounts_fd(), then recheck()).
class ConfigDirWatch {
  public:
    explicit ConfigDirWatch(std::string dir);
    // The inotify descriptor; negative when inotify could not be set up (logged).
    int fd() const { return fd_.get(); }
    // Polled for POLLPRI: a file system was mounted or unmounted. Negative when the
    // mount table cannot be opened; arm() then looks at the path every time.
    int mounts_fd() const { return mounts_.get(); }
    // The next arm() looks at the path again.
    void recheck() { check_ = true; }
    // True when the watch is in place on the directory now at the path. The first
    // failure of a run is logged.
    bool arm();
    // watch_config_check_events on fd(); a watch the kernel removed (its directory
    // was deleted or unmounted) is made again by the next arm().
    bool read_events();

  private:
    std::string dir_;
    unique_fd fd_;
    unique_fd mounts_;
    int wd_ = -1;
    bool check_ = true;
    dev_t dev_ = 0;
    ino_t ino_ = 0;
    bool failure_logged_ = false;
};
// Builds the document and hands it to callback. The callback's result, or -1
// when there is no callback or no document.
int watch_config_run_callback(config_watch_callback callback);
