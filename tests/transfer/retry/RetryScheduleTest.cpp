#include "transfer/RetrySchedule.h"

#include <chrono>
#include <string>

#include <gtest/gtest.h>

namespace ct::test {
namespace {

using namespace std::chrono_literals;
using Pause = RetrySchedule::Pause;
const RetrySchedule::TimePoint kStart{std::chrono::hours(1)};

struct Growth {
    int failures;    // in a row, the last one at kStart
    double jitter;   // what the spread source gives every time
    Pause expected;  // the pause after the last failure
};

class RetryScheduleGrowthTest : public ::testing::TestWithParam<Growth> {};

TEST_P(RetryScheduleGrowthTest, PauseGrowsBySpreadAndStopsAtTheCap) {
    const Growth row = GetParam();
    RetrySchedule schedule(15s, [&] { return row.jitter; });
    Pause pause{};
    for (int i = 0; i < row.failures; ++i)
        pause = schedule.Failed("ftp.example:21", kStart);
    EXPECT_EQ(pause, row.expected);
    EXPECT_EQ(schedule.NotBefore("ftp.example:21"), kStart + row.expected);
    EXPECT_FALSE(schedule.Due("ftp.example:21", kStart + row.expected - 1ms));
    EXPECT_TRUE(schedule.Due("ftp.example:21", kStart + row.expected));
}

INSTANTIATE_TEST_SUITE_P(Table, RetryScheduleGrowthTest, ::testing::Values(
    Growth{1, 0.0, 15s},
    Growth{2, 0.0, 22500ms},
    Growth{3, 0.0, 33750ms},
    Growth{1, 1.0, 18s},
    Growth{1, -1.0, 12s},
    Growth{3, 0.5, 37125ms},
    Growth{1, 7.0, 18s},          // a spread source out of range counts as its bound
    Growth{11, 0.0, 864976ms},    // 15 s * 1.5^10, just below the cap
    Growth{12, 0.0, 15min},       // capped
    Growth{12, 1.0, 15min},       // the spread never lengthens a pause past the cap
    Growth{12, -1.0, 12min},      // but still shortens it
    Growth{2000, 0.0, 15min}));   // no overflow however long it fails

TEST(RetryScheduleTest, SuccessResetsOneKeyAndOthersKeepTheirPause) {
    RetrySchedule schedule(10s, [] { return 0.0; });
    schedule.Failed("a:21", kStart);
    schedule.Failed("a:21", kStart);
    schedule.Failed("b:21", kStart + 1s);
    EXPECT_EQ(schedule.NextDue(kStart), kStart + 11s);
    schedule.Succeeded("b:21");
    EXPECT_EQ(schedule.NotBefore("b:21"), RetrySchedule::TimePoint::min());
    EXPECT_EQ(schedule.NextDue(kStart), kStart + 15s);
    // A key already due does not wait: it must not hold the caller's wait at a past point.
    EXPECT_EQ(schedule.NextDue(kStart + 15s), std::nullopt);
    schedule.Succeeded("a:21");
    EXPECT_EQ(schedule.Failed("a:21", kStart), 10s);
}

struct FirstPauseValue {
    const char* value;
    Pause expected;
};

class FirstRetryPauseTest : public ::testing::TestWithParam<FirstPauseValue> {};

TEST_P(FirstRetryPauseTest, ReadsSecondsDefensively) {
    EXPECT_EQ(FirstRetryPause(GetParam().value), GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(Values, FirstRetryPauseTest, ::testing::Values(
    FirstPauseValue{nullptr, 15s}, FirstPauseValue{"", 15s}, FirstPauseValue{"30", 30s},
    FirstPauseValue{"0.5", 500ms}, FirstPauseValue{"0.001", 100ms}, FirstPauseValue{"0", 15s},
    FirstPauseValue{"-5", 15s}, FirstPauseValue{"5s", 15s}, FirstPauseValue{" 5", 15s},
    FirstPauseValue{"nan", 15s}, FirstPauseValue{"inf", 15s}, FirstPauseValue{"1e3", 15s},
    FirstPauseValue{"99999999999999999999", 15min}));

} // namespace
} // namespace ct::test
