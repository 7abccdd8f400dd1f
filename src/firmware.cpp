#include "firmware.h"

#include <dirent.h>
#include <fcntl.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cassert>
#include <cerrno>
#include <climits>
#include <cstdint>
#include <cstdio>
#include <string>
#include <string_view>

#include "agent.h"
#include "common/curl_library.h"
#include "common/owners.h"
#include "common/paths.h"
#include "common/spawn.h"
#include "common/unique_fd.h"
#include "log.h"
#include "status.h"

#ifndef RIGKEEP_DOWNLOAD_STALL_SECONDS
#define RIGKEEP_DOWNLOAD_STALL_SECONDS 120
#endif

namespace {

constexpr long kDownloadStallSeconds = RIGKEEP_DOWNLOAD_STALL_SECONDS;
static_assert(kDownloadStallSeconds > 0);
constexpr size_t kDirBuffer = 64;  // the template and its six replaced characters
constexpr size_t kPathBuffer = 256;
static_assert(std::char_traits<char>::length(paths::kUpdateDirTemplate) < kDirBuffer);

void report_progress(uint8_t percent) {
    const miner_state state{MINER_STATE_UPDATING, percent};
    status_report_miner_state(&state);
}

// argv run to its end: the wait status, or -1 when it could not be started.
int run_command(const char *const argv[], const spawn_io &io = {}) {
    pid_t pid = spawn_command(argv, io);
    return pid < 0 ? -1 : wait_child(pid);
}

int update_steps(const char *url, const char *dir, const char *package) {
    report_progress(0);
    if (download_update(url, package) != 0)
        return -1;
    report_progress(40);
    if (extract_update(package, dir) != 0)
        return -1;
    report_progress(60);
    // The package's script may take the link down for long; the daemon must not end
    // under it.
    agent_set_update_running(true);
    const int applied = apply_update(dir);
    agent_set_update_running(false);
    if (applied != 0)
        return -1;
    report_progress(100);
    LOG_INFO("Firmware updated successfully\n");
    return 0;
}

// True when link names path or something below it.
bool link_inside(const std::string &link, const std::string &path) {
    char target[PATH_MAX];
    const ssize_t n = readlink(link.c_str(), target, sizeof target);
    if (n < 0)
        return false;
    const std::string_view t(target, static_cast<size_t>(n));
    return t.starts_with(path) && (t.size() == path.size() || t[path.size()] == '/');
}

// True when another process works in path: its working directory, its program or
// one of its open files is there. When the processes cannot be listed, true.
bool in_use(const std::string &path) {
    dir_ptr proc(opendir(paths::kProc));
    if (!proc)
        return true;
    const std::string self = std::to_string(getpid());
    while (const dirent *p = readdir(proc.get())) {
        if (p->d_name[0] < '0' || p->d_name[0] > '9' || p->d_name == self)
            continue;
        const std::string pid_dir = std::string(paths::kProc) + "/" + p->d_name;
        if (link_inside(pid_dir + "/cwd", path) || link_inside(pid_dir + "/exe", path))
            return true;
        dir_ptr fds(opendir((pid_dir + "/fd").c_str()));
        while (const dirent *fd = fds ? readdir(fds.get()) : nullptr) {
            if (fd->d_name[0] != '.' && link_inside(pid_dir + "/fd/" + fd->d_name, path))
                return true;
        }
    }
    return false;
}

// Empties the directory open at dir, descending only into real directories: a link
// inside is removed, never followed.
bool remove_contents(unique_fd dir) {
    dir_ptr d(fdopendir(dir.get()));
    if (!d)
        return false;
    dir.release();
    bool ok = true;
    while (const dirent *entry = readdir(d.get())) {
        const std::string_view name(entry->d_name);
        if (name == "." || name == "..")
            continue;
        unique_fd sub(
            openat(dirfd(d.get()), entry->d_name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
        const bool is_dir = static_cast<bool>(sub);
        if (is_dir && !remove_contents(std::move(sub)))
            ok = false;
        if (unlinkat(dirfd(d.get()), entry->d_name, is_dir ? AT_REMOVEDIR : 0) != 0)
            ok = false;
    }
    return ok;
}

}  // namespace

int firmware_update(const char *url) {
    assert(url != nullptr);
    LOG_INFO("Updating firmware\n");
    char dir[kDirBuffer];
    snprintf(dir, sizeof dir, "%s", paths::kUpdateDirTemplate);
    const bool have_dir = mkdtemp(dir) != nullptr;
    int result = -1;
    if (!have_dir) {
        LOG_ERROR("Failed to create a temporary update dir\n");
    } else {
        char package[kPathBuffer];
        snprintf(package, sizeof package, "%s/update.tar.gz", dir);
        result = update_steps(url, dir, package);
    }
    if (result != 0)
        LOG_ERROR("Firmware update failed!\n");
    if (have_dir)
        (void)cleanup_update(dir);  // logged there; the result stands
    return result;
}

int download_update(const char *url, const char *package_path) {
    assert(url != nullptr && package_path != nullptr);
    // Streamed to the file as it arrives: a package never sits in memory.
    file_ptr file(fopen(package_path, "wbe"));
    if (!file) {
        LOG_ERROR("Failed to create firmware update package: %s\n", package_path);
        return -1;
    }
    const curl_functions *api = curl_library();
    if (api == nullptr)
        return -1;
    curl_easy_ptr curl(api->easy_init(), api->easy_cleanup);
    if (!curl) {
        LOG_ERROR("Failed to obtain curl handle!\n");
        return -1;
    }
    CURL *h = curl.get();
    // Every option counts: a library that refuses one would run the transfer open.
    CURLcode code = CURLE_OK;
    auto set = [&](CURLoption option, auto value) {
        if (code == CURLE_OK)
            code = api->easy_setopt(h, option, value);
    };
    set(CURLOPT_URL, url);
    set(CURLOPT_FAILONERROR, 1L);
    set(CURLOPT_WRITEDATA, file.get());
    // Only the device CA: libcurl would also trust every CA of its default directory,
    // the system's store.
    set(CURLOPT_CAINFO, paths::kCaFile);
    set(CURLOPT_CAPATH, static_cast<const char *>(nullptr));
    // The package is run as root: only a server verified against the CA file may
    // deliver it, so no plain HTTP (nor any other scheme). Redirects stay unfollowed.
    set(CURLOPT_PROTOCOLS_STR, "https");
    // No overall limit, but a server that stops sending must not keep the miner
    // stopped for good.
    set(CURLOPT_LOW_SPEED_LIMIT, 1L);
    set(CURLOPT_LOW_SPEED_TIME, kDownloadStallSeconds);
    // Other threads run: no signals from the library.
    set(CURLOPT_NOSIGNAL, 1L);

    if (code == CURLE_OK) {
        LOG_INFO("Downloading firmware update\n");
        code = api->easy_perform(h);
    }
    if (code != CURLE_OK)
        LOG_ERROR("Failed to download firmware update, code: %d\n", static_cast<int>(code));
    curl.reset();
    // A package that did not reach the file whole is no package.
    if (fclose(file.release()) != 0 && code == CURLE_OK) {
        LOG_ERROR("Failed to create firmware update package: %s\n", package_path);
        return -1;
    }
    return code == CURLE_OK ? 0 : -1;
}

int extract_update(const char *package_path, const char *dir) {
    assert(package_path != nullptr && dir != nullptr);
    LOG_INFO("Extracting update package\n");
    const char *const argv[] = {"tar", "-xzf", package_path, "-C", dir, nullptr};
    int status = run_command(argv);
    if (status == 0 && unlink(package_path) != 0 && errno != ENOENT)
        status = -1;
    if (status != 0) {
        LOG_ERROR("Failed to extract firmware update, code: %d\n", status);
        LOG_ERROR("Command: tar -xzf %s -C %s && rm -f %s\n", package_path, dir, package_path);
        return -1;
    }
    return 0;
}

int apply_update(const char *dir) {
    assert(dir != nullptr);
    LOG_INFO("Applying firmware update\n");
    int status = -1;
    unique_fd log(open(paths::kFirmwareUpdateLog, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644));
    if (log) {
        // The directory is an argument of the shell, never part of its command line.
        const char *const argv[] = {"/bin/sh", "-c", "cd \"$1\" && ./update.sh",
                                    "sh",      dir,  nullptr};
        spawn_io io;
        io.stdout_fd = log.get();
        status = run_command(argv, io);
    }
    if (status != 0) {
        LOG_ERROR(
            "Failed to apply firmware update, check /var/log/firmware_update.log for details\n");
        return -1;
    }
    return 0;
}

int cleanup_update(const char *dir) {
    assert(dir != nullptr);
    const char *const argv[] = {"rm", "-rf", dir, nullptr};
    int status = run_command(argv);
    if (status != 0) {
        LOG_ERROR("Failed to remove update folder, code: %d\n", status);
        return -1;
    }
    return 0;
}

int firmware_remove_leftovers() {
    // "/tmp/update_XXXXXX": the directory part and the name up to the six random
    // characters.
    const std::string_view templ(paths::kUpdateDirTemplate);
    const size_t slash = templ.rfind('/');
    const std::string dir(templ.substr(0, slash));
    const std::string_view prefix = templ.substr(slash + 1, templ.size() - slash - 1 - 6);
    dir_ptr d(opendir(dir.c_str()));
    if (!d)
        return 0;
    int removed = 0;
    while (const dirent *entry = readdir(d.get())) {
        const std::string_view name(entry->d_name);
        if (name.size() != prefix.size() + 6 || name.substr(0, prefix.size()) != prefix)
            continue;
        // Only a directory of ours, as mkdtemp makes it; never one through a link.
        unique_fd fd(
            openat(dirfd(d.get()), entry->d_name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
        struct stat st;
        if (!fd || fstat(fd.get(), &st) != 0 || st.st_uid != geteuid() ||
            (st.st_mode & 07777) != S_IRWXU)
            continue;
        // An update.sh that outlived the agent which started it still works there.
        const std::string path = dir + "/" + std::string(name);
        if (in_use(path))
            continue;
        if (!remove_contents(std::move(fd)) ||
            unlinkat(dirfd(d.get()), entry->d_name, AT_REMOVEDIR) != 0) {
            LOG_ERROR("Failed to remove update folder, code: %d\n", errno);
            continue;
        }
        ++removed;
    }
    return removed;
}
