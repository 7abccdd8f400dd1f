#include "log.h"

#include <gtest/gtest.h>

#include <regex>
#include <string>

#include "test_text.h"

namespace {

TEST(LogMessage, LongArgumentsAreNotCut) {
    // Only the composed format is limited; arguments are printed whole.
    std::string big(1000, 'x');
    const std::string line = captured_log([&] { LOG_INFO("%s\n", big.c_str()); });
    EXPECT_TRUE(has(line, big + "\n"));
    EXPECT_TRUE(std::regex_search(line, std::regex(R"(^A \[\d{4}/\d\d/\d\d \d\d:\d\d:\d\d\] )")))
        << line;
}

}  // namespace
