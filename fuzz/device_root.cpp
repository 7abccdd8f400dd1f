#include "device_root.h"

#include <dirent.h>
#include <fcntl.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace {

constexpr const char *kNewRoot = "/tmp/root";
// Never taken from the host: the device's own directories, the host's devices,
// and what the code under test has no business reading.
constexpr const char *kNotMirrored[] = {"config", "www", "dev", "sys", "tmp"};
constexpr const char *kDevices[] = {"null", "zero", "random", "urandom"};

[[noreturn]] void fail(const char *what, const std::string &path = "") {
    fprintf(stderr, "device root: %s %s: %s\n", what, path.c_str(), strerror(errno));
    fprintf(stderr, "device root: the fuzz targets need root or unprivileged user namespaces\n");
    _exit(2);
}

void write_text(const char *path, const char *text) {
    int fd = open(path, O_WRONLY | O_CLOEXEC);
    if (fd < 0 || write(fd, text, strlen(text)) < 0)
        fail("write", path);
    close(fd);
}

void enter_namespaces() {
    if (geteuid() == 0) {
        if (unshare(CLONE_NEWNS | CLONE_NEWNET) != 0)
            fail("unshare");
        return;
    }
    const uid_t uid = geteuid();
    const gid_t gid = getegid();
    if (unshare(CLONE_NEWUSER | CLONE_NEWNS | CLONE_NEWNET) != 0)
        fail("unshare");
    write_text("/proc/self/setgroups", "deny");
    write_text("/proc/self/uid_map", ("0 " + std::to_string(uid) + " 1").c_str());
    write_text("/proc/self/gid_map", ("0 " + std::to_string(gid) + " 1").c_str());
}

// A detached copy of the mount tree at path, made read-only unless writable.
int clone_tree(const char *path, bool writable) {
    int fd = open_tree(AT_FDCWD, path, OPEN_TREE_CLONE | OPEN_TREE_CLOEXEC | AT_RECURSIVE);
    if (fd < 0)
        fail("open_tree", path);
    if (!writable) {
        mount_attr attr{};
        attr.attr_set = MOUNT_ATTR_RDONLY;
        if (mount_setattr(fd, "", AT_EMPTY_PATH | AT_RECURSIVE, &attr, sizeof attr) != 0)
            fail("mount_setattr", path);
    }
    return fd;
}

void attach(int fd, const std::string &target) {
    if (move_mount(fd, "", AT_FDCWD, target.c_str(), MOVE_MOUNT_F_EMPTY_PATH) != 0)
        fail("move_mount", target);
    close(fd);
}

void make_dirs(const std::string &path) {
    for (size_t at = path.find('/', 1);; at = path.find('/', at + 1)) {
        const std::string part = path.substr(0, at);
        if (mkdir(part.c_str(), 0755) != 0 && errno != EEXIST)
            fail("mkdir", part);
        if (at == std::string::npos)
            return;
    }
}

bool is_listed(const char *name) {
    for (const char *skip : kNotMirrored) {
        if (strcmp(name, skip) == 0)
            return true;
    }
    return false;
}

struct host_entry {
    std::string name;
    std::string link;  // the target of a symbolic link
    int tree = -1;     // the cloned directory
};

}  // namespace

void enter_device_root() {
    char cwd[PATH_MAX];
    if (getcwd(cwd, sizeof cwd) == nullptr)
        fail("getcwd");
    // The working directory stays writable inside the new root, wherever it is
    // (a checkout under /tmp too), but it must not be the root or hold the new one.
    const size_t new_root_len = strlen(kNewRoot);
    if (strcmp(cwd, "/") == 0 || strcmp(cwd, "/tmp") == 0 ||
        (strncmp(cwd, kNewRoot, new_root_len) == 0 &&
         (cwd[new_root_len] == '\0' || cwd[new_root_len] == '/')))
        fail("working directory is /, /tmp or under the new root:", cwd);

    enter_namespaces();
    if (mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0)
        fail("mount private", "/");

    // Taken before the tmpfs covers /tmp.
    std::vector<host_entry> entries;
    DIR *dir = opendir("/");
    if (dir == nullptr)
        fail("opendir", "/");
    while (dirent *d = readdir(dir)) {
        if (d->d_name[0] == '.' || is_listed(d->d_name))
            continue;
        std::string path = std::string("/") + d->d_name;
        struct stat st;
        if (lstat(path.c_str(), &st) != 0)
            continue;
        if (S_ISLNK(st.st_mode)) {
            char target[PATH_MAX];
            ssize_t n = readlink(path.c_str(), target, sizeof target - 1);
            if (n > 0)
                entries.push_back({d->d_name, std::string(target, static_cast<size_t>(n))});
        } else if (S_ISDIR(st.st_mode)) {
            entries.push_back({d->d_name, "", clone_tree(path.c_str(), false)});
        }
    }
    closedir(dir);
    std::vector<int> devices;
    for (const char *dev : kDevices)
        devices.push_back(clone_tree((std::string("/dev/") + dev).c_str(), true));
    int work = clone_tree(cwd, true);

    if (mount("device-root", "/tmp", "tmpfs", MS_NOSUID | MS_NODEV, "mode=0755,size=64m") != 0)
        fail("mount tmpfs", "/tmp");
    const std::string root = kNewRoot;
    make_dirs(root);
    for (const host_entry &e : entries) {
        const std::string at = root + "/" + e.name;
        if (e.tree < 0) {
            if (symlink(e.link.c_str(), at.c_str()) != 0)
                fail("symlink", at);
            continue;
        }
        make_dirs(at);
        attach(e.tree, at);
    }
    for (const char *path : {"/config", "/www/pages/cgi-bin", "/tmp", "/dev"})
        make_dirs(root + path);
    for (size_t i = 0; i < devices.size(); ++i) {
        const std::string at = root + "/dev/" + kDevices[i];
        int fd = open(at.c_str(), O_CREAT | O_WRONLY | O_CLOEXEC, 0644);
        if (fd < 0)
            fail("create", at);
        close(fd);
        attach(devices[i], at);
    }
    if (symlink("/proc/self/fd", (root + "/dev/fd").c_str()) != 0)
        fail("symlink", "/dev/fd");
    make_dirs(root + cwd);
    attach(work, root + cwd);

    if (chroot(root.c_str()) != 0)
        fail("chroot", root);
    if (chdir(cwd) != 0)
        fail("chdir", cwd);
}

void put_file(const char *path, std::string_view data) {
    FILE *f = fopen(path, "we");
    if (f == nullptr)
        fail("fopen", path);
    if (fwrite(data.data(), 1, data.size(), f) != data.size() || fclose(f) != 0)
        fail("fwrite", path);
}
