// The supervision loop driven by scripted miner runs: the restart rules over
// thousands of runs without waiting for a real process or a real clock.
#include "norix/miner_support/supervision.h"

#include <gtest/gtest.h>

#include <functional>
#include <numeric>
#include <string>
#include <vector>

#include "test_text.h"

namespace {

using std::chrono::seconds;

// Runs last as long as the script says (nothing: the start failed); after
// stop_after runs a stop is requested while the last one runs.
class scripted_runner final : public miner_runner {
  public:
    scripted_runner(std::function<std::optional<seconds>(int)> script, int stop_after = -1)
        : script_(std::move(script)), stop_after_(stop_after) {}

    bool keep_running() override { return running_; }
    std::optional<seconds> run_once() override {
        std::optional<seconds> ran = script_(runs++);
        running_ = running_ && runs != stop_after_;
        return ran;
    }
    void pause(seconds duration) override { pauses.push_back(duration); }

    int runs = 0;
    std::vector<seconds> pauses;
    bool running_ = true;

  private:
    std::function<std::optional<seconds>(int)> script_;
    int stop_after_;
};

std::vector<std::pair<int32_t, uint8_t>> g_reports;

struct Outcome : Logged {
    std::vector<int> abnormal;  // the count named by each "Abnormal miner restart" warning
};

Outcome supervise(scripted_runner &runner, miner_state_reporter report = nullptr) {
    g_reports.clear();
    Outcome o{log_of([&] { cgminer_supervise(runner, report); }), {}};
    static const std::string prefix = "WARN: Abnormal miner restart detected (";
    for (size_t at = o.out.find(prefix); at != std::string::npos; at = o.out.find(prefix, at + 1))
        o.abnormal.push_back(std::stoi(o.out.substr(at + prefix.size())));
    return o;
}

void record_report(int32_t state, uint8_t progress) {
    g_reports.emplace_back(state, progress);
}

TEST(Supervision, ShortRunsAreCountedAndEveryExitIsFollowedByAPause) {
    const struct {
        std::vector<int> runs;  // seconds; the stop comes during the last
        std::vector<int> warned;
    } cases[] = {
        {{10, 100}, {}},
        {{9, 100}, {0}},                         // 9 s is still short
        {{1, 600, 2, 3600, 0, 100}, {0, 1, 2}},  // long runs do not reset the count
    };
    for (const auto &c : cases) {
        scripted_runner runner([&](int i) { return seconds(c.runs[static_cast<size_t>(i)]); },
                               static_cast<int>(c.runs.size()));
        Outcome o = supervise(runner, record_report);
        EXPECT_EQ(o.abnormal, c.warned) << o.out;
        EXPECT_EQ(runner.runs, static_cast<int>(c.runs.size()));
        // One pause after each unrequested exit, none after the requested one.
        EXPECT_EQ(runner.pauses, std::vector<seconds>(c.runs.size() - 1, seconds(5)));
        EXPECT_TRUE(has(o.out, "INFO: Miner exited after " + std::to_string(c.runs[0]) +
                                   " seconds of working\n"))
            << o.out;
        EXPECT_TRUE(g_reports.empty());
        EXPECT_EQ(o.err, "");
    }
}

TEST(Supervision, GivesUpAfterAThousandShortRunsAndReportsError) {
    // Every third run is long: the thousand short ones need not be consecutive.
    scripted_runner runner([](int i) { return seconds(i % 3 == 2 ? 3600 : 2); });
    Outcome o = supervise(runner, record_report);
    std::vector<int> expected(1000);
    std::iota(expected.begin(), expected.end(), 0);
    EXPECT_EQ(o.abnormal, expected);
    EXPECT_EQ(runner.runs, 1499) << "1000 short and 499 long runs, no start after the last";
    EXPECT_EQ(runner.pauses.size(), 1499u) << "the pause follows the 1000th short run too";
    EXPECT_EQ(o.err.find('\n'), o.err.size() - 1) << "one error line: " << o.err;
    EXPECT_TRUE(
        has(o.err, "ERROR: Miner crashed 1000 times. Please investigate the logs for details!\n"))
        << o.err;
    EXPECT_EQ(g_reports, (std::vector<std::pair<int32_t, uint8_t>>{{MINER_STATE_ERROR, 0}}));

    scripted_runner unreported([](int) { return seconds(1); });
    o = supervise(unreported);  // no reporter: only logged
    EXPECT_EQ(unreported.runs, 1000);
    EXPECT_TRUE(has(o.err, "Miner crashed 1000 times."));
}

TEST(Supervision, AFailedStartOrAnEarlyStopEndsTheLoop) {
    scripted_runner failing([](int i) -> std::optional<seconds> {
        return i == 2 ? std::nullopt : std::optional(seconds(1));
    });
    Outcome o = supervise(failing, record_report);
    EXPECT_EQ(failing.runs, 3);
    EXPECT_EQ(failing.pauses.size(), 2u) << "no pause after the failed start";
    EXPECT_TRUE(g_reports.empty());

    scripted_runner stopped([](int) { return seconds(1); });
    stopped.running_ = false;
    o = supervise(stopped, record_report);
    EXPECT_EQ(stopped.runs, 0);
    EXPECT_TRUE(stopped.pauses.empty());
    EXPECT_EQ(o.out, "");
}

}  // namespace
