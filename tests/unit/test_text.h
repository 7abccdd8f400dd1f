// What the code under test logs and writes, as text, and a scratch directory.
#pragma once

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstring>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>

#include "common/json_ptr.h"

inline bool has(const std::string &text, const std::string &part) {
    return text.find(part) != std::string::npos;
}

// Records compared and made byte by byte, padding included.
template <typename T>
bool same(const T &a, const T &b) {
    return memcmp(&a, &b, sizeof a) == 0;
}
template <typename T>
T zeroed() {
    T t;
    memset(&t, 0, sizeof t);
    return t;
}

// What fn logged: INFO and WARN on stdout, ERROR on stderr.
struct Logged {
    std::string out, err;
};
template <typename Fn>
Logged log_of(Fn &&fn) {
    testing::internal::CaptureStdout();
    testing::internal::CaptureStderr();
    fn();
    std::string out = testing::internal::GetCapturedStdout();
    return {out, testing::internal::GetCapturedStderr()};
}
template <typename Fn>
std::string errors_of(Fn &&fn) {
    return log_of(fn).err;
}
template <typename Fn>
std::string captured_log(Fn &&fn) {
    Logged log = log_of(fn);
    return log.out + log.err;
}

// value as JSON text, members in their order unless flags sort them; "absent" for none.
inline std::string json_text(const json_t *value, size_t flags = JSON_COMPACT) {
    if (value == nullptr)
        return "absent";
    c_str_ptr text(json_dumps(value, flags | JSON_ENCODE_ANY));
    return text ? text.get() : "<not dumped>";
}

inline std::string slurp(const std::string &path) {
    std::ifstream in(path);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

// Everything readable from fd until its end.
inline std::string read_all(int fd) {
    std::string out;
    char buf[4096];
    for (ssize_t n; (n = read(fd, buf, sizeof buf)) > 0;)
        out.append(buf, static_cast<size_t>(n));
    return out;
}

// A fresh directory of its own, removed with all it holds.
struct TempDir {
    std::filesystem::path path =
        std::filesystem::temp_directory_path() / ("rigkeep-test." + std::to_string(getpid()));
    TempDir() {
        std::filesystem::remove_all(path);
        std::filesystem::create_directories(path);
    }
    ~TempDir() { std::filesystem::remove_all(path); }
    std::filesystem::path operator/(const std::string &name) const { return path / name; }
    long entries() const { return std::distance(std::filesystem::directory_iterator(path), {}); }
};
