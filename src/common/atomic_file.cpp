#include "common/atomic_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <string>

#include "common/unique_fd.h"
#include "log.h"

namespace {

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

}  // namespace

int atomic_write_file(const char *path, std::string_view contents, mode_t new_file_mode) {
    const std::string target(path);
    std::string tmp = target + ".XXXXXX";

    mode_t mode = new_file_mode;
    struct stat st {};
    if (stat(path, &st) == 0)
        mode = st.st_mode & 07777;

    unique_fd fd(mkostemp(tmp.data(), O_CLOEXEC));
    if (!fd)
        return -1;

    auto fail = [&] {
        int saved = errno;
        unlink(tmp.c_str());
        errno = saved;
        return -1;
    };
    if (fchmod(fd.get(), mode) != 0)
        return fail();
    if (write_all(fd.get(), contents) != 0)
        return fail();
    if (fsync(fd.get()) != 0)
        return fail();
    if (fd.close() != 0)
        return fail();
    if (rename(tmp.c_str(), path) != 0)
        return fail();

    // The rename is durable only once the directory entry is on storage.
    unique_fd dir(open(parent_dir(target).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (!dir)
        return -1;
    if (fsync(dir.get()) != 0)
        return -1;
    return 0;
}

int save_config_file(const char *path, std::string_view contents) {
    if (atomic_write_file(path, contents) == 0)
        return 0;
    // Creating the replacement is the open; everything after it is the save.
    if (errno == EACCES || errno == ENOENT || errno == EROFS || errno == ENOTDIR) {
        LOG_ERROR("Failed to open config file: %s\n", path);
    } else {
        LOG_ERROR("Failed to save config file: %s\n", path);
    }
    return -1;
}
