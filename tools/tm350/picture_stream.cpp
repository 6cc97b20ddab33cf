#include "tools/tm350/picture_stream.h"

#include <turbojpeg.h>

namespace tm350::tool {

std::string EncodeJpeg(const BYTE *picture, const PictureFormat &format) {
    std::string jpeg;
    tjhandle encoder = tjInitCompress();
    if (encoder == nullptr) return jpeg;
    unsigned char *buffer = nullptr;
    unsigned long size = 0;
    const int flags = format.top_down ? 0 : TJFLAG_BOTTOMUP;
    if (tjCompress2(encoder, picture, format.width, static_cast<int>(format.stride), format.height, TJPF_BGR, &buffer,
                    &size, TJSAMP_420, 85, flags) == 0)
        jpeg.assign(reinterpret_cast<const char *>(buffer), size);
    tjFree(buffer);
    tjDestroy(encoder);
    return jpeg;
}

void PictureStream::Take(const BYTE *data, size_t length, bool timed, REFERENCE_TIME start, REFERENCE_TIME stop) {
    const size_t bytes = format_.stride * static_cast<size_t>(format_.height);
    {
        std::lock_guard<std::mutex> lock(mutex_);
        tally_.Count(timed, start, stop, SampleTally::Clock::now());
        if (closed_ || data == nullptr || length < bytes) return;
        newest_.assign(data, data + bytes);
        ++newest_number_;
    }
    arrived_.notify_all();
}

std::shared_ptr<const EncodedPicture> PictureStream::NextPicture(uint64_t after, std::chrono::milliseconds timeout) {
    // The encoder lock comes first, so that viewers who want the same
    // picture wait for the one encoding it instead of encoding it again.
    std::unique_lock<std::mutex> encoding(encoding_, std::defer_lock);
    std::unique_lock<std::mutex> lock(mutex_);
    if (!arrived_.wait_for(lock, timeout, [&] { return closed_ || newest_number_ > after; }) || closed_)
        return nullptr;
    lock.unlock();
    encoding.lock();
    lock.lock();
    if (closed_) return nullptr;
    return EncodeNewest(lock);
}

std::shared_ptr<const EncodedPicture> PictureStream::EncodeNewest(std::unique_lock<std::mutex> &lock) {
    if (encoded_ && encoded_->number == newest_number_) return encoded_;
    // The streaming thread replaces newest_ while this encodes a copy.
    std::vector<BYTE> picture = newest_;
    const uint64_t number = newest_number_;
    lock.unlock();
    auto encoded = std::make_shared<EncodedPicture>();
    encoded->number = number;
    encoded->jpeg = EncodeJpeg(picture.data(), format_);
    lock.lock();
    if (encoded->jpeg.empty()) return nullptr;
    if (!encoded_ || encoded_->number < number) encoded_ = encoded;
    return encoded;
}

CaptureFigures PictureStream::Figures() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return {tally_.Samples(), tally_.FramesLost(), tally_.FramesPerSecond()};
}

void PictureStream::Close() {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        closed_ = true;
    }
    arrived_.notify_all();
}

bool PictureStream::Closed() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return closed_;
}

}  // namespace tm350::tool
