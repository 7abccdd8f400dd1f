#include "device_root.h"

#include <fcntl.h>
#include <sched.h>
#include <sys/mount.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

namespace fs = std::filesystem;

namespace {

const fs::path kNewRoot = "/tmp/root";
// Never taken from the host: the device's own directories, the host's devices,
// and what the code under test has no business reading.
const std::string kNotMirrored[] = {"config", "www", "dev", "sys", "tmp"};
constexpr const char *kDevices[] = {"null", "zero", "random", "urandom"};

void check(bool ok, const char *what, const fs::path &path = {}) {
    if (ok)
        return;
    fprintf(stderr, "device root: %s %s: %s\n", what, path.c_str(), strerror(errno));
    fprintf(stderr, "device root: the fuzz targets need root or unprivileged user namespaces\n");
    _exit(2);
}

void write_text(const char *path, const std::string &text) {
    std::ofstream out(path);
    out << text << std::flush;
    check(out.good(), "write", path);
}

void enter_namespaces() {
    const uid_t uid = geteuid();
    const gid_t gid = getegid();
    check(unshare((uid == 0 ? 0 : CLONE_NEWUSER) | CLONE_NEWNS | CLONE_NEWNET) == 0, "unshare");
    if (uid == 0)
        return;
    write_text("/proc/self/setgroups", "deny");
    write_text("/proc/self/uid_map", "0 " + std::to_string(uid) + " 1");
    write_text("/proc/self/gid_map", "0 " + std::to_string(gid) + " 1");
}

// A detached copy of the mount tree at path, made read-only unless writable.
int clone_tree(const fs::path &path, bool writable) {
    int fd = open_tree(AT_FDCWD, path.c_str(), OPEN_TREE_CLONE | OPEN_TREE_CLOEXEC | AT_RECURSIVE);
    check(fd >= 0, "open_tree", path);
    mount_attr attr{};
    attr.attr_set = MOUNT_ATTR_RDONLY;
    check(writable || mount_setattr(fd, "", AT_EMPTY_PATH | AT_RECURSIVE, &attr, sizeof attr) == 0,
          "mount_setattr", path);
    return fd;
}

void attach(int fd, const fs::path &target) {
    check(move_mount(fd, "", AT_FDCWD, target.c_str(), MOVE_MOUNT_F_EMPTY_PATH) == 0, "move_mount",
          target);
    close(fd);
}

}  // namespace

void enter_device_root() {
    // The working directory stays writable inside the new root, wherever it is
    // (a checkout under /tmp too), but it must not be the root or hold the new one.
    const fs::path cwd = fs::current_path();
    const auto under = std::mismatch(kNewRoot.begin(), kNewRoot.end(), cwd.begin(), cwd.end());
    errno = EINVAL;
    check(cwd != "/" && cwd != "/tmp" && under.first != kNewRoot.end(),
          "working directory is /, /tmp or under the new root:", cwd);

    enter_namespaces();
    check(mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) == 0, "mount private", "/");

    // Taken before the tmpfs covers /tmp: each host directory as a read-only tree,
    // each symbolic link by its target.
    std::vector<std::pair<fs::path, int>> trees;
    std::vector<std::pair<fs::path, fs::path>> links;
    for (const fs::directory_entry &e : fs::directory_iterator("/")) {
        const std::string name = e.path().filename();
        if (std::count(std::begin(kNotMirrored), std::end(kNotMirrored), name) != 0)
            continue;
        if (e.is_symlink())
            links.emplace_back(name, fs::read_symlink(e.path()));
        else if (e.is_directory())
            trees.emplace_back(name, clone_tree(e.path(), false));
    }
    for (const char *dev : kDevices)
        trees.emplace_back(fs::path("dev") / dev, clone_tree(fs::path("/dev") / dev, true));
    trees.emplace_back(cwd.relative_path(), clone_tree(cwd, true));

    check(mount("device-root", "/tmp", "tmpfs", MS_NOSUID | MS_NODEV, "mode=0755,size=64m") == 0,
          "mount tmpfs", "/tmp");
    for (const char *dir : {"config", "www/pages/cgi-bin", "tmp", "dev"})
        fs::create_directories(kNewRoot / dir);
    for (const auto &[name, target] : links)
        fs::create_symlink(target, kNewRoot / name);
    fs::create_symlink("/proc/self/fd", kNewRoot / "dev/fd");
    for (const auto &[name, tree] : trees) {
        const fs::path at = kNewRoot / name;
        if (name.parent_path() == "dev")
            std::ofstream{at};  // a device is mounted over a file
        else
            fs::create_directories(at);
        attach(tree, at);
    }
    check(chroot(kNewRoot.c_str()) == 0, "chroot", kNewRoot);
    fs::current_path(cwd);
}

void put_file(const char *path, std::string_view data) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(data.data(), static_cast<std::streamsize>(data.size()));
    out.close();
    check(out.good(), "write", path);
}
