// What the code under test logs and writes, as text.
#pragma once

#include <gtest/gtest.h>
#include <unistd.h>

#include <fstream>
#include <iterator>
#include <string>

#include "common/json_ptr.h"

inline bool has(const std::string &text, const std::string &part) {
    return text.find(part) != std::string::npos;
}

// What fn logged on stderr.
template <typename Fn>
std::string errors_of(Fn &&fn) {
    testing::internal::CaptureStderr();
    fn();
    return testing::internal::GetCapturedStderr();
}

// Everything fn logged, both streams.
template <typename Fn>
std::string captured_log(Fn &&fn) {
    testing::internal::CaptureStdout();
    testing::internal::CaptureStderr();
    fn();
    std::string out = testing::internal::GetCapturedStdout();
    return out + testing::internal::GetCapturedStderr();
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
