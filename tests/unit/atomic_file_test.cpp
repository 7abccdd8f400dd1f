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

// Start-up clean-up: our own temporaries go, everything that merely looks similar stays.
TEST_F(AtomicFile, CleanupRemovesOnlyOurTemporaries) {
    const struct {
        const char *name;
        bool ours;
    } files[] = {
        {".bmminer.conf.rigkeep-a1B2c3", true},
        {".velmora.json.rigkeep-ZZZZZZ", true},
        {".x.rigkeep-000000", true},
        {"bmminer.conf", false},
        {"bmminer.conf.a1B2c3", false},            // the old naming, not recognisably ours
        {"bmminer.conf.rigkeep-a1B2c3", false},    // not hidden
        {"..rigkeep-a1B2c3", false},               // no target name
        {".bmminer.conf.rigkeep-a1B2c", false},    // too short
        {".bmminer.conf.rigkeep-a1B2c34", false},  // too long
        {".bmminer.conf.rigkeep-a1B2c.", false},
        {".bmminer.conf.rigkeep-a1B2c3.bak", false},
        {".bmminer.conf-rigkeep-a1B2c3", false},
    };
    for (const auto &f : files)
        std::ofstream(dir_ / f.name) << "x";
    // Same names, but not plain files.
    fs::create_directory(dir_ / ".dir.rigkeep-abcdef");
    fs::create_symlink(dir_ / "bmminer.conf", dir_ / ".link.rigkeep-abcdef");

    testing::internal::CaptureStdout();
    EXPECT_EQ(remove_atomic_write_leftovers(dir_.c_str()), 3);
    const std::string out = testing::internal::GetCapturedStdout();
    for (const auto &f : files) {
        EXPECT_EQ(fs::exists(dir_ / f.name), !f.ours) << f.name;
        EXPECT_EQ(out.find("/" + std::string(f.name) + "\n") != std::string::npos, f.ours)
            << f.name;
    }
    EXPECT_TRUE(fs::is_directory(dir_ / ".dir.rigkeep-abcdef"));
    EXPECT_TRUE(fs::is_symlink(dir_ / ".link.rigkeep-abcdef"));
    EXPECT_EQ(remove_atomic_write_leftovers((dir_ / "missing").c_str()), 0);
}

}  // namespace
