// The closing line's figures of tm350 capture, from sample times and arrivals.
#include <gtest/gtest.h>

#include "tools/tm350/sample_tally.h"

namespace {

using tm350::tool::SampleTally;
using std::chrono::milliseconds;

constexpr REFERENCE_TIME kPeriod = 1330000;  // 133 ms

TEST(SampleTally, SamplesOnePeriodApartLoseNothing) {
    SampleTally tally;
    const SampleTally::Clock::time_point start{};
    for (int n = 0; n < 5; ++n) tally.Count(true, n * kPeriod, (n + 1) * kPeriod, start + milliseconds(100 * n));
    EXPECT_EQ(tally.Samples(), 5u);
    EXPECT_EQ(tally.FramesLost(), 0);
    EXPECT_DOUBLE_EQ(tally.FramesPerSecond(), 10.0);  // four intervals of 100 ms
}

TEST(SampleTally, AGapOfWholePeriodsCountsOneFramePerPeriod) {
    SampleTally tally;
    const SampleTally::Clock::time_point start{};
    tally.Count(true, 0, kPeriod, start);
    tally.Count(true, 3 * kPeriod, 4 * kPeriod, start);  // frames 1 and 2 missing
    tally.Count(true, 4 * kPeriod, 5 * kPeriod, start);
    tally.Count(true, 6 * kPeriod, 7 * kPeriod, start);  // frame 5 missing
    EXPECT_EQ(tally.FramesLost(), 3);
    // High speed: the period is the sample's own length.
    tally.Count(true, 7 * kPeriod + 2 * 670000, 7 * kPeriod + 3 * 670000, start);
    EXPECT_EQ(tally.FramesLost(), 5);
}

TEST(SampleTally, JitterBelowAPeriodAndUntimedSamplesLoseNothing) {
    SampleTally tally;
    const SampleTally::Clock::time_point start{};
    tally.Count(true, 0, kPeriod, start);
    tally.Count(true, kPeriod + kPeriod / 2, 2 * kPeriod + kPeriod / 2, start);  // half a period late
    tally.Count(false, 0, 0, start);
    tally.Count(true, 2 * kPeriod + kPeriod / 2, 3 * kPeriod + kPeriod / 2, start);
    EXPECT_EQ(tally.Samples(), 4u);
    EXPECT_EQ(tally.FramesLost(), 0);
    EXPECT_EQ(tally.FramesPerSecond(), 0.0) << "no time passed between arrivals";
}

}  // namespace
