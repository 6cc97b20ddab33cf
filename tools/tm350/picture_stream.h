// The newest picture of a running capture and its JPEG form, for any number
// of viewers: the streaming thread hands each picture over and goes on, and
// a picture is encoded once, by whichever viewer asks first, however many
// are watching.
#pragma once

#include <windows.h>
#include <strmif.h>

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "tools/tm350/dshow_client.h"
#include "tools/tm350/sample_tally.h"

namespace tm350::tool {

// What a capture's samples showed so far.
struct CaptureFigures {
    unsigned long samples = 0;
    long long frames_lost = 0;
    double frames_per_second = 0;
};

// One encoded picture; `number` counts the pictures taken, from 1.
struct EncodedPicture {
    uint64_t number = 0;
    std::string jpeg;
};

class PictureStream {
public:
    explicit PictureStream(const PictureFormat &format) : format_(format) {}
    PictureStream(const PictureStream &) = delete;
    PictureStream &operator=(const PictureStream &) = delete;

    // A sample's picture, from the streaming thread. Pictures shorter than
    // the format are counted but not kept.
    void Take(const BYTE *data, size_t length, bool timed, REFERENCE_TIME start, REFERENCE_TIME stop);

    // The newest picture after number `after` as JPEG, waiting for one up to
    // `timeout`; nullptr when none came or the stream was closed.
    std::shared_ptr<const EncodedPicture> NextPicture(uint64_t after, std::chrono::milliseconds timeout);

    CaptureFigures Figures() const;

    // Wakes every waiting viewer for good: they get no more pictures.
    void Close();
    bool Closed() const;

private:
    std::shared_ptr<const EncodedPicture> EncodeNewest(std::unique_lock<std::mutex> &lock);

    const PictureFormat format_;
    mutable std::mutex mutex_;
    std::condition_variable arrived_;
    std::vector<BYTE> newest_;      // guarded by mutex_
    uint64_t newest_number_ = 0;    // guarded by mutex_
    SampleTally tally_;             // guarded by mutex_
    bool closed_ = false;           // guarded by mutex_
    std::mutex encoding_;           // one encoder at a time; taken before mutex_
    std::shared_ptr<const EncodedPicture> encoded_;  // guarded by mutex_
};

// A bottom-up or top-down BGR picture as JPEG (quality 85); empty on failure.
std::string EncodeJpeg(const BYTE *picture, const PictureFormat &format);

}  // namespace tm350::tool
