#include "log.h"

#include <gtest/gtest.h>

#include <string>

#include "test_text.h"

namespace {

TEST(LogMessage, LongArgumentsAreNotCut) {
    // Only the composed format is limited; arguments are printed whole.
    std::string big(1000, 'x');
    EXPECT_TRUE(has(captured_log([&] { LOG_INFO("%s\n", big.c_str()); }), big + "\n"));
}

}  // namespace
