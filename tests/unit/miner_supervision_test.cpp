// The supervision loop driven by scripted miner runs: the restart rules over
// thousands of runs without waiting for a real process or a real clock.
#include "norix/miner_support/supervision.h"

#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

namespace {

using std::chrono::seconds;

// Runs last as long as the script says; after stop_after runs a stop is requested
// while the last one runs (as cgminer_stop does before the miner ends).
class scripted_runner final : public miner_runner {
  public:
    scripted_runner(std::function<std::optional<seconds>(int)> script, int stop_after)
        : script_(std::move(script)), stop_after_(stop_after) {}

    bool keep_running() override { return running_; }
    std::optional<seconds> run_once() override {
        std::optional<seconds> ran = script_(runs);
        ++runs;
        if (stop_after_ >= 0 && runs >= stop_after_)
            running_ = false;
        return ran;
    }
    void pause(seconds duration) override { pauses.push_back(duration); }
    void request_stop() { running_ = false; }

    int runs = 0;
    std::vector<seconds> pauses;

  private:
    std::function<std::optional<seconds>(int)> script_;
    int stop_after_;
    bool running_ = true;
};

std::vector<std::pair<int32_t, uint8_t>> g_reports;
void record_report(int32_t state, uint8_t progress) {
    g_reports.emplace_back(state, progress);
}

struct Outcome {
    std::string out;
    std::string err;
};

Outcome supervise(scripted_runner &runner) {
    g_reports.clear();
    testing::internal::CaptureStdout();
    testing::internal::CaptureStderr();
    cgminer_supervise(runner, record_report);
    Outcome o;
    o.err = testing::internal::GetCapturedStderr();
    o.out = testing::internal::GetCapturedStdout();
    return o;
}

// The numbers named by every "Abnormal miner restart" warning, in order.
std::vector<int> abnormal_counts(const std::string &out) {
    static const std::string prefix = "WARN: Abnormal miner restart detected (";
    static const std::string suffix = " restarts)\n";
    std::vector<int> counts;
    for (size_t at = out.find(prefix); at != std::string::npos; at = out.find(prefix, at + 1)) {
        const size_t number = at + prefix.size();
        const size_t end = out.find(suffix, number);
        if (end == std::string::npos)
            break;
        counts.push_back(std::stoi(out.substr(number, end - number)));
    }
    return counts;
}

int count_of(const std::string &text, const std::string &needle) {
    int n = 0;
    for (size_t at = text.find(needle); at != std::string::npos; at = text.find(needle, at + 1))
        ++n;
    return n;
}

TEST(Supervision, ShortRunsAreCountedAndEveryExitIsFollowedByAPause) {
    struct Case {
        const char *name;
        std::vector<int> runs;  // seconds; the stop comes during the last
        std::vector<int> warned;
    };
    const std::vector<Case> cases = {
        {"five crashes after 3 s", {3, 3, 3, 3, 3, 100}, {0, 1, 2, 3, 4}},
        {"a 10 s run is not short", {10, 100}, {}},
        {"exactly 9 s is short", {9, 100}, {0}},
        {"0 s (exec failed) is short", {0, 0, 100}, {0, 1}},
        {"long runs do not reset the count", {1, 600, 2, 3600, 4, 100}, {0, 1, 2}},
    };
    for (const auto &c : cases) {
        scripted_runner runner([&](int i) { return seconds(c.runs[static_cast<size_t>(i)]); },
                               static_cast<int>(c.runs.size()));
        Outcome o = supervise(runner);
        EXPECT_EQ(abnormal_counts(o.out), c.warned) << c.name << "\n" << o.out;
        EXPECT_EQ(runner.runs, static_cast<int>(c.runs.size())) << c.name;
        // One pause after each unrequested exit, none after the requested one.
        EXPECT_EQ(runner.pauses, std::vector<seconds>(c.runs.size() - 1, seconds(5))) << c.name;
        EXPECT_EQ(count_of(o.out, "INFO: Miner exited after "), static_cast<int>(c.runs.size()))
            << c.name;
        EXPECT_NE(o.out.find("INFO: Miner exited after " + std::to_string(c.runs[0]) +
                             " seconds of working\n"),
                  std::string::npos)
            << o.out;
        EXPECT_TRUE(g_reports.empty()) << c.name;
        EXPECT_TRUE(o.err.empty()) << c.name << ": " << o.err;
    }
}

TEST(Supervision, GivesUpAfterAThousandShortRunsAndReportsError) {
    // Every third run is long: the thousand short ones need not be consecutive.
    scripted_runner runner([](int i) { return seconds(i % 3 == 2 ? 3600 : 2); }, -1);
    Outcome o = supervise(runner);

    const std::vector<int> warned = abnormal_counts(o.out);
    ASSERT_EQ(warned.size(), 1000u);
    for (int i = 0; i < 1000; ++i)
        ASSERT_EQ(warned[static_cast<size_t>(i)], i);
    EXPECT_EQ(runner.runs, 1499) << "1000 short and 499 long runs, no start after the last";
    EXPECT_EQ(runner.pauses.size(), 1499u) << "the pause follows the 1000th short run too";
    EXPECT_EQ(o.err, o.err.substr(0, o.err.find('\n') + 1)) << "one error line: " << o.err;
    EXPECT_NE(
        o.err.find("ERROR: Miner crashed 1000 times. Please investigate the logs for details!\n"),
        std::string::npos)
        << o.err;
    ASSERT_EQ(g_reports.size(), 1u);
    EXPECT_EQ(g_reports[0], (std::pair<int32_t, uint8_t>{kMinerStateError, 0}));
}

TEST(Supervision, GivingUpWithoutAReporterOnlyLogs) {
    scripted_runner runner([](int) { return seconds(1); }, -1);
    testing::internal::CaptureStdout();
    testing::internal::CaptureStderr();
    cgminer_supervise(runner, nullptr);
    std::string err = testing::internal::GetCapturedStderr();
    testing::internal::GetCapturedStdout();
    EXPECT_EQ(runner.runs, 1000);
    EXPECT_NE(err.find("Miner crashed 1000 times."), std::string::npos);
}

TEST(Supervision, AFailedStartEndsTheLoopWithoutPauseOrReport) {
    scripted_runner runner(
        [](int i) -> std::optional<seconds> {
            if (i == 2)
                return std::nullopt;
            return seconds(1);
        },
        -1);
    Outcome o = supervise(runner);
    EXPECT_EQ(runner.runs, 3);
    EXPECT_EQ(runner.pauses.size(), 2u);
    EXPECT_EQ(count_of(o.out, "Miner exited after"), 2);
    EXPECT_TRUE(g_reports.empty());
}

TEST(Supervision, AStopBeforeTheFirstRunStartsNothing) {
    scripted_runner runner([](int) { return seconds(1); }, -1);
    runner.request_stop();
    Outcome o = supervise(runner);
    EXPECT_EQ(runner.runs, 0);
    EXPECT_TRUE(runner.pauses.empty());
    EXPECT_TRUE(o.out.empty()) << o.out;
}

}  // namespace
