#include "common/atomic_file.h"

#include <gtest/gtest.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <filesystem>
#include <fstream>
#include <string>

namespace fs = std::filesystem;

namespace {

std::string slurp(const fs::path &p) {
    std::ifstream in(p);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

class AtomicFile : public testing::Test {
  protected:
    void SetUp() override {
        dir_ = fs::temp_directory_path() / ("atomic." + std::to_string(getpid()));
        fs::create_directories(dir_);
    }
    void TearDown() override { fs::remove_all(dir_); }
    size_t entries() const {
        return static_cast<size_t>(std::distance(fs::directory_iterator(dir_), {}));
    }
    fs::path dir_;
};

TEST_F(AtomicFile, CreatesAndReplacesKeepingMode) {
    auto file = dir_ / "conf";
    ASSERT_EQ(atomic_write_file(file.c_str(), "first"), 0);
    EXPECT_EQ(slurp(file), "first");
    EXPECT_EQ(fs::status(file).permissions(), fs::perms(0644));

    chmod(file.c_str(), 0600);
    ASSERT_EQ(atomic_write_file(file.c_str(), "second, longer"), 0);
    EXPECT_EQ(slurp(file), "second, longer");
    EXPECT_EQ(fs::status(file).permissions(), fs::perms(0600));
    EXPECT_EQ(entries(), 1u) << "no temporary file is left behind";
}

TEST_F(AtomicFile, MissingDirectoryFailsWithErrno) {
    auto file = dir_ / "nope" / "conf";
    errno = 0;
    EXPECT_EQ(atomic_write_file(file.c_str(), "x"), -1);
    EXPECT_EQ(errno, ENOENT);
}

// A full file system: the write fails, the old file is intact, nothing is left over.
TEST_F(AtomicFile, FullFileSystemKeepsTheOldFile) {
    if (geteuid() != 0)
        GTEST_SKIP() << "needs root to mount a small tmpfs";
    pid_t pid = fork();
    if (pid == 0) {
        int status = 10;
        if (unshare(CLONE_NEWNS) == 0 &&
            mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) == 0 &&
            mount("tmpfs", dir_.c_str(), "tmpfs", 0, "size=16k") == 0) {
            auto file = dir_ / "conf";
            std::string old(4096, 'o');
            std::string big(64 * 1024, 'n');
            if (atomic_write_file(file.c_str(), old) != 0)
                _exit(11);
            errno = 0;
            if (atomic_write_file(file.c_str(), big) != -1)
                _exit(12);
            if (errno != ENOSPC)
                _exit(13);
            if (slurp(file) != old)
                _exit(14);
            if (std::distance(fs::directory_iterator(dir_), {}) != 1)
                _exit(15);
            status = 0;
        }
        _exit(status);
    }
    int status = -1;
    waitpid(pid, &status, 0);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0) << "10 setup, 11 first write, 12 no failure, 13 errno, "
                                         "14 old file changed, 15 leftovers";
}

}  // namespace
