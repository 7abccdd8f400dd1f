#include "log.h"

#include <gtest/gtest.h>

#include <string>

namespace {

TEST(LogMessage, LongArgumentsAreNotCut) {
    // Only the composed format is limited; arguments are printed whole.
    std::string big(1000, 'x');
    testing::internal::CaptureStdout();
    LOG_INFO("%s\n", big.c_str());
    std::string out = testing::internal::GetCapturedStdout();
    EXPECT_NE(out.find(big + "\n"), std::string::npos);
}

}  // namespace
