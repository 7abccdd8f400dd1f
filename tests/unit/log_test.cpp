#include "log.h"

#include <gtest/gtest.h>

#include <regex>
#include <string>

namespace {

const std::regex kLine(R"(A \[\d{4}/\d{2}/\d{2} \d{2}:\d{2}:\d{2}\] ([A-Z]+): (.*)\n)");

TEST(LogMessage, LineShapeAndStreams) {
    testing::internal::CaptureStdout();
    testing::internal::CaptureStderr();
    log_message(stdout, "INFO", "Api Key: %s\n", "abc");
    LOG_WARN("Unknown protocol: %s\n", "gopher");
    LOG_ERROR("Failed to load %s - %s\n", "/x", "boom");
    std::string out = testing::internal::GetCapturedStdout();
    std::string err = testing::internal::GetCapturedStderr();

    std::smatch m;
    auto newline = out.find('\n');
    std::string first = out.substr(0, newline + 1);
    ASSERT_TRUE(std::regex_match(first, m, kLine)) << out;
    EXPECT_EQ(m[1], "INFO");
    EXPECT_EQ(m[2], "Api Key: abc");
    std::string second = out.substr(newline + 1);
    ASSERT_TRUE(std::regex_match(second, m, kLine)) << out;
    EXPECT_EQ(m[1], "WARN");

    ASSERT_TRUE(std::regex_match(err, m, kLine)) << err;
    EXPECT_EQ(m[1], "ERROR");
    EXPECT_EQ(m[2], "Failed to load /x - boom");
}

TEST(LogMessage, LongArgumentsAreNotCut) {
    // Only the composed format is limited; arguments are printed whole.
    std::string big(1000, 'x');
    testing::internal::CaptureStdout();
    LOG_INFO("%s\n", big.c_str());
    std::string out = testing::internal::GetCapturedStdout();
    EXPECT_NE(out.find(big + "\n"), std::string::npos);
}

}  // namespace
