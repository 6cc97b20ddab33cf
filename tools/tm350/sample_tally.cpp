#include "tools/tm350/sample_tally.h"

namespace tm350::tool {

void SampleTally::Count(bool timed, REFERENCE_TIME start, REFERENCE_TIME stop, Clock::time_point arrived) {
    if (samples_ == 0) first_ = arrived;
    last_ = arrived;
    ++samples_;
    if (!timed) return;
    const REFERENCE_TIME period = stop - start;
    const REFERENCE_TIME gap = start - previous_stop_;
    if (have_previous_ && period > 0 && gap >= period) lost_ += (gap + period / 2) / period;
    previous_stop_ = stop;
    have_previous_ = true;
}

double SampleTally::FramesPerSecond() const {
    const double seconds = std::chrono::duration<double>(last_ - first_).count();
    return samples_ > 1 && seconds > 0 ? (samples_ - 1) / seconds : 0.0;
}

}  // namespace tm350::tool
