// The renderer the capture tests connect the camera to: it records every
// sample it receives (times, flags, length, the frame number the picture
// shows, optionally the picture) and can hold samples in Receive or refuse
// them, to steer how fast the capture filter may deliver.
#pragma once

#include <windows.h>
#include <dshow.h>

#include <cstdint>
#include <functional>
#include <optional>
#include <vector>

#include "dshow/graph_test_filters.h"

namespace capture_test {

struct ReceivedSample {
    HRESULT time_result = E_FAIL;
    REFERENCE_TIME start = -1, stop = -1;
    bool sync_point = false;
    bool discontinuity = false;
    bool preroll = false;
    LONG length = 0;
    std::optional<uint16_t> frame_number;  // when the camera shows NumberedFrames
    uint8_t brightness = 0;                // of the picture's centre quarter, as automatic exposure measures
    std::vector<uint8_t> picture;          // when the sink keeps pictures
};

class CaptureSink final : public tm350::test::TestFilter {
public:
    CaptureSink();

    // From now on each Receive waits until a later Admit lets it return (or
    // the sink stops).
    void HoldSamples();
    // Lets `count` more held samples through.
    void Admit(int count);
    // Receive returns S_FALSE (downstream wants no more) from the sample
    // after the `count`-th one on.
    void RefuseAfter(int count);
    void KeepPictures();
    // Lets every sample through again, held ones included.
    void PassSamples();

    // False when fewer than `count` samples were received within 30 s.
    bool WaitForSamples(size_t count);
    // False when the `count`-th sample was not held in Receive within 30 s.
    bool WaitUntilHolding(size_t count);
    bool WaitForEndOfStream();
    // False when the samples received so far did not satisfy `condition`
    // within 30 s.
    bool WaitUntil(const std::function<bool(const std::vector<ReceivedSample> &)> &condition);

    size_t Count();
    // Samples that entered Receive, refused and held ones included.
    size_t Arrived();
    int EndOfStreams();
    std::vector<ReceivedSample> Take();

    HRESULT OnReceive(IMediaSample *sample) override;
    HRESULT OnEndOfStream() override;

private:
    ~CaptureSink() override = default;
    void OnStopped() override;

    bool holding_ = false;
    size_t admitted_ = 0;  // samples Receive may let through while holding
    size_t arrived_ = 0;   // samples that entered Receive
    int refuse_after_ = -1;
    bool keep_pictures_ = false;
    int end_of_streams_ = 0;
    std::vector<ReceivedSample> samples_;
};

}  // namespace capture_test
