#include "common/atomic_file.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
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

}  // namespace
