#include "capture_sink.h"

#include <chrono>
#include <span>

#include "camera/auto_exposure.h"
#include "numbered_frames.h"

namespace capture_test {

namespace {

constexpr auto kPatience = std::chrono::seconds(30);
constexpr LONG kSampleBytes = 1024 * 768 * 3;

}  // namespace

CaptureSink::CaptureSink() : TestFilter("sink", nullptr) { AddPin(PINDIR_INPUT, MEDIATYPE_Video); }

void CaptureSink::HoldSamples() {
    std::lock_guard lock(lock_);
    holding_ = true;
    admitted_ = arrived_;
}

void CaptureSink::Admit(int count) {
    std::lock_guard lock(lock_);
    admitted_ += static_cast<size_t>(count);
    changed_.notify_all();
}

void CaptureSink::RefuseAfter(int count) {
    std::lock_guard lock(lock_);
    refuse_after_ = count;
}

void CaptureSink::PassSamples() {
    std::lock_guard lock(lock_);
    holding_ = false;
    changed_.notify_all();
}

size_t CaptureSink::Arrived() {
    std::lock_guard lock(lock_);
    return arrived_;
}

void CaptureSink::KeepPictures() {
    std::lock_guard lock(lock_);
    keep_pictures_ = true;
}

bool CaptureSink::WaitForSamples(size_t count) {
    std::unique_lock lock(lock_);
    return changed_.wait_for(lock, kPatience, [&] { return samples_.size() >= count; });
}

bool CaptureSink::WaitUntilHolding(size_t count) {
    std::unique_lock lock(lock_);
    return changed_.wait_for(lock, kPatience, [&] { return arrived_ >= count && admitted_ < arrived_; });
}

bool CaptureSink::WaitForEndOfStream() {
    std::unique_lock lock(lock_);
    return changed_.wait_for(lock, kPatience, [&] { return end_of_streams_ > 0; });
}

bool CaptureSink::WaitUntil(const std::function<bool(const std::vector<ReceivedSample> &)> &condition) {
    std::unique_lock lock(lock_);
    return changed_.wait_for(lock, kPatience, [&] { return condition(samples_); });
}

size_t CaptureSink::Count() {
    std::lock_guard lock(lock_);
    return samples_.size();
}

int CaptureSink::EndOfStreams() {
    std::lock_guard lock(lock_);
    return end_of_streams_;
}

std::vector<ReceivedSample> CaptureSink::Take() {
    std::lock_guard lock(lock_);
    return std::exchange(samples_, {});
}

HRESULT CaptureSink::OnReceive(IMediaSample *sample) {
    ReceivedSample seen;
    seen.time_result = sample->GetTime(&seen.start, &seen.stop);
    seen.sync_point = sample->IsSyncPoint() == S_OK;
    seen.discontinuity = sample->IsDiscontinuity() == S_OK;
    seen.preroll = sample->IsPreroll() == S_OK;
    seen.length = sample->GetActualDataLength();
    BYTE *data = nullptr;
    if (SUCCEEDED(sample->GetPointer(&data)) && data != nullptr && seen.length > 0) {
        std::span<const uint8_t> bytes(data, static_cast<size_t>(seen.length));
        seen.frame_number = FrameNumberOf(bytes);
        if (bytes.size() >= static_cast<size_t>(kSampleBytes)) seen.brightness = MeasureBrightness(data, 1024, 768);
        std::lock_guard lock(lock_);
        if (keep_pictures_) seen.picture.assign(bytes.begin(), bytes.end());
    }

    std::unique_lock lock(lock_);
    if (state_ == State_Stopped) return VFW_E_WRONG_STATE;
    ++arrived_;
    changed_.notify_all();
    if (holding_) {
        changed_.wait(lock, [&] { return !holding_ || admitted_ >= arrived_ || state_ == State_Stopped; });
        if (state_ == State_Stopped) return VFW_E_WRONG_STATE;
    }
    const bool refuse = refuse_after_ >= 0 && samples_.size() >= static_cast<size_t>(refuse_after_);
    if (refuse) return S_FALSE;
    samples_.push_back(std::move(seen));
    changed_.notify_all();
    return S_OK;
}

HRESULT CaptureSink::OnEndOfStream() {
    std::lock_guard lock(lock_);
    ++end_of_streams_;
    changed_.notify_all();
    return S_OK;
}

void CaptureSink::OnStopped() {
    std::lock_guard lock(lock_);
    changed_.notify_all();
}

}  // namespace capture_test
