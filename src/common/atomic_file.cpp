#include "common/atomic_file.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string>

#include "common/owners.h"
#include "common/unique_fd.h"
#include "log.h"

namespace {

// Temporaries are hidden and carry our mark, so that the start-up clean-up can tell
// them from anything else in the directory.
constexpr std::string_view kTempMark = ".rigkeep-";
constexpr size_t kTempRandomLen = 6;  // the XXXXXX of mkostemp

int write_all(int fd, std::string_view data) {
    while (!data.empty()) {
        ssize_t n = write(fd, data.data(), data.size());
        if (n < 0) {
            if (errno == EINTR)
                continue;
            return -1;
        }
        data.remove_prefix(static_cast<size_t>(n));
    }
    return 0;
}

std::string parent_dir(const std::string &path) {
    auto slash = path.rfind('/');
    if (slash == std::string::npos)
        return ".";
    if (slash == 0)
        return "/";
    return path.substr(0, slash);
}

// "dir/name" -> "dir/.name.rigkeep-XXXXXX"
std::string temp_template(const std::string &path) {
    auto slash = path.rfind('/');
    size_t name_at = slash == std::string::npos ? 0 : slash + 1;
    return path.substr(0, name_at) + "." + path.substr(name_at) + std::string(kTempMark) +
           std::string(kTempRandomLen, 'X');
}

file_version version_of(const struct stat &st) {
    return {st.st_dev, st.st_ino, st.st_size, static_cast<int64_t>(st.st_mtim.tv_sec),
            static_cast<int64_t>(st.st_mtim.tv_nsec)};
}

// Gives the new file at fd the owner and group of the file it replaces.
int keep_owner(int fd, const struct stat &old) {
    struct stat made {};
    if (fstat(fd, &made) != 0)
        return -1;
    if (made.st_uid == old.st_uid && made.st_gid == old.st_gid)
        return 0;
    return fchown(fd, old.st_uid, old.st_gid);
}

}  // namespace

bool file_version_at(const char *path, file_version *out) {
    struct stat st {};
    if (stat(path, &st) != 0)
        return false;
    *out = version_of(st);
    return true;
}

int atomic_write_file(const char *path, std::string_view contents, mode_t new_file_mode,
                      file_version *written) {
    const std::string target(path);
    std::string tmp = temp_template(target);

    struct stat old {};
    const bool replacing = stat(path, &old) == 0;
    const mode_t mode = replacing ? old.st_mode & 07777 : new_file_mode;

    unique_fd fd(mkostemp(tmp.data(), O_CLOEXEC));
    if (!fd)
        return -1;

    auto fail = [&] {
        int saved = errno;
        unlink(tmp.c_str());
        errno = saved;
        return -1;
    };
    // The owner before the mode: a change of owner clears the set-id bits.
    if (replacing && keep_owner(fd.get(), old) != 0)
        return fail();
    if (fchmod(fd.get(), mode) != 0)
        return fail();
    if (write_all(fd.get(), contents) != 0)
        return fail();
    if (fsync(fd.get()) != 0)
        return fail();
    // Final once written: the rename changes neither the inode, the size nor the time.
    struct stat made {};
    if (written != nullptr && fstat(fd.get(), &made) != 0)
        return fail();
    if (fd.close() != 0)
        return fail();
    if (rename(tmp.c_str(), path) != 0)
        return fail();
    if (written != nullptr)
        *written = version_of(made);

    // The rename is durable only once the directory entry is on storage.
    unique_fd dir(open(parent_dir(target).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (!dir)
        return -1;
    if (fsync(dir.get()) != 0)
        return -1;
    return 0;
}

int save_config_file(const char *path, std::string_view contents, file_version *written) {
    if (atomic_write_file(path, contents, 0644, written) == 0)
        return 0;
    // Creating the replacement is the open; everything after it is the save.
    if (errno == EACCES || errno == ENOENT || errno == EROFS || errno == ENOTDIR) {
        LOG_ERROR("Failed to open config file: %s\n", path);
    } else {
        LOG_ERROR("Failed to save config file: %s\n", path);
    }
    return -1;
}

int remove_file_durably(const char *path) {
    if (unlink(path) != 0 && errno != ENOENT)
        return -1;
    unique_fd dir(open(parent_dir(path).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (!dir || fsync(dir.get()) != 0)
        return -1;
    return 0;
}

int read_whole_file(const char *path, std::string *out) {
    unique_fd fd(open(path, O_RDONLY | O_CLOEXEC));
    if (!fd)
        return -1;
    out->clear();
    char buf[4096];
    for (;;) {
        ssize_t n = read(fd.get(), buf, sizeof buf);
        if (n == 0)
            return 0;
        if (n < 0) {
            if (errno == EINTR)
                continue;
            return -1;
        }
        out->append(buf, static_cast<size_t>(n));
    }
}

bool is_atomic_write_leftover(std::string_view name) {
    const size_t min_len = 2 + kTempMark.size() + kTempRandomLen;  // "." and one character
    if (name.size() < min_len || name.front() != '.')
        return false;
    std::string_view random = name.substr(name.size() - kTempRandomLen);
    std::string_view mark =
        name.substr(name.size() - kTempRandomLen - kTempMark.size(), kTempMark.size());
    if (mark != kTempMark)
        return false;
    for (char c : random) {
        bool alnum = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9');
        if (!alnum)
            return false;
    }
    return true;
}

int remove_atomic_write_leftovers(const char *dir) {
    dir_ptr d(opendir(dir));
    if (!d)
        return 0;
    int removed = 0;
    while (dirent *entry = readdir(d.get())) {
        if (!is_atomic_write_leftover(entry->d_name))
            continue;
        // Only plain files: a link or directory of that name is not one of ours.
        struct stat st {};
        if (fstatat(dirfd(d.get()), entry->d_name, &st, AT_SYMLINK_NOFOLLOW) != 0 ||
            !S_ISREG(st.st_mode))
            continue;
        if (unlinkat(dirfd(d.get()), entry->d_name, 0) == 0) {
            LOG_INFO("Removed the leftover of an interrupted save: %s/%s\n", dir, entry->d_name);
            ++removed;
        }
    }
    return removed;
}
