// What a capture's samples showed, for its closing line: how many came, how
// many frames their times say were lost, and the rate they arrived at.
#pragma once

#include <windows.h>
#include <strmif.h>

#include <chrono>

namespace tm350::tool {

class SampleTally {
public:
    using Clock = std::chrono::steady_clock;

    // One sample in delivery order; `timed` says whether it carried times.
    // A sample that starts a frame period (its own length) or more after the
    // previous timed one ended follows lost frames, one per period, rounded.
    void Count(bool timed, REFERENCE_TIME start, REFERENCE_TIME stop, Clock::time_point arrived);

    unsigned long Samples() const { return samples_; }
    long long FramesLost() const { return lost_; }
    // Over the time from the first sample's arrival to the last's; 0 until
    // two have come.
    double FramesPerSecond() const;

private:
    unsigned long samples_ = 0;
    long long lost_ = 0;
    bool have_previous_ = false;
    REFERENCE_TIME previous_stop_ = 0;
    Clock::time_point first_, last_;
};

}  // namespace tm350::tool
