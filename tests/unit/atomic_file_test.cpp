#include "common/atomic_file.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>

#include "test_text.h"

namespace fs = std::filesystem;

namespace {

class AtomicFile : public testing::Test {
  protected:
    TempDir dir_;
};

TEST_F(AtomicFile, CreatesAndReplacesKeepingModeAndOwner) {
    auto file = dir_ / "conf";
    ASSERT_EQ(atomic_write_file(file.c_str(), "first"), 0);
    EXPECT_EQ(slurp(file), "first");
    EXPECT_EQ(fs::status(file).permissions(), fs::perms(0644));

    // Another owner and group (the daemon runs as root, and so do its tests).
    ASSERT_EQ(chown(file.c_str(), 1234, 5678), 0) << strerror(errno);
    chmod(file.c_str(), 02640);
    ASSERT_EQ(atomic_write_file(file.c_str(), "second, longer"), 0);
    EXPECT_EQ(slurp(file), "second, longer");
    struct stat st {};
    ASSERT_EQ(stat(file.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 02640u);
    EXPECT_EQ(st.st_uid, 1234u);
    EXPECT_EQ(st.st_gid, 5678u);
    EXPECT_EQ(dir_.entries(), 1) << "no temporary file is left behind";
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

    const std::string out =
        log_of([&] { EXPECT_EQ(remove_atomic_write_leftovers(dir_.path.c_str()), 3); }).out;
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
