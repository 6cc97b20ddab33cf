// The memory allocator as a filter uses it: properties, commit, samples
// handed out and returned, and the waits on a full pool.
#include "runtime_test_support.h"

#include <cstring>
#include <future>
#include <thread>

namespace tm350::test {
namespace {

class MemoryAllocatorTest : public RuntimeTest {
protected:
    void SetUp() override {
        RuntimeTest::SetUp();
        allocator_ = Create<IMemAllocator>(CLSID_MemoryAllocator, IID_IMemAllocator);
        ASSERT_NE(allocator_, nullptr);
    }
    void TearDown() override {
        if (allocator_) allocator_->Release();
        RuntimeTest::TearDown();
    }

    ALLOCATOR_PROPERTIES Configure(LONG buffers, LONG size, LONG align = 1, LONG prefix = 0) {
        ALLOCATOR_PROPERTIES request{buffers, size, align, prefix}, actual{};
        EXPECT_EQ(allocator_->SetProperties(&request, &actual), S_OK);
        return actual;
    }

    IMediaSample *Take(DWORD flags = 0) {
        IMediaSample *sample = nullptr;
        EXPECT_EQ(allocator_->GetBuffer(&sample, nullptr, nullptr, flags), S_OK);
        return sample;
    }

    IMemAllocator *allocator_ = nullptr;
};

TEST_F(MemoryAllocatorTest, OperationsThatNeedAPoolFailUntilOneIsCommitted) {
    IMediaSample *sample = nullptr;
    EXPECT_EQ(allocator_->GetBuffer(&sample, nullptr, nullptr, 0), VFW_E_NOT_COMMITTED);
    EXPECT_EQ(sample, nullptr);
    EXPECT_EQ(allocator_->Commit(), VFW_E_SIZENOTSET);

    Configure(1, 64);
    ASSERT_EQ(allocator_->Commit(), S_OK);
    ALLOCATOR_PROPERTIES request{2, 64, 1, 0}, actual{};
    EXPECT_EQ(allocator_->SetProperties(&request, &actual), VFW_E_ALREADY_COMMITTED);
    EXPECT_EQ(allocator_->Decommit(), S_OK);
    EXPECT_EQ(allocator_->GetBuffer(&sample, nullptr, nullptr, 0), VFW_E_NOT_COMMITTED);
}

TEST_F(MemoryAllocatorTest, PropertiesRoundEachBufferWithItsPrefixToTheAlignment) {
    ALLOCATOR_PROPERTIES actual = Configure(3, 100, 16, 8);
    // 100 + 8 rounds up to 112, of which 104 are usable.
    EXPECT_EQ(actual.cBuffers, 3);
    EXPECT_EQ(actual.cbBuffer, 104);
    EXPECT_EQ(actual.cbAlign, 16);
    EXPECT_EQ(actual.cbPrefix, 8);
    ALLOCATOR_PROPERTIES reported{};
    ASSERT_EQ(allocator_->GetProperties(&reported), S_OK);
    EXPECT_EQ(std::memcmp(&reported, &actual, sizeof actual), 0);

    ASSERT_EQ(allocator_->Commit(), S_OK);
    IMediaSample *samples[3];
    for (IMediaSample *&sample : samples) {
        sample = Take();
        ASSERT_NE(sample, nullptr);
        BYTE *pointer = nullptr;
        ASSERT_EQ(sample->GetPointer(&pointer), S_OK);
        EXPECT_EQ(sample->GetSize(), 104);
        EXPECT_EQ((reinterpret_cast<uintptr_t>(pointer) - 8) % 16, 0u) << "the prefix starts aligned";
        // The whole buffer and its prefix are ours to write.
        std::memset(pointer - 8, 0xA5, 8 + 104);
    }
    for (IMediaSample *sample : samples) sample->Release();
}

TEST_F(MemoryAllocatorTest, AnAlignmentThatIsNoPowerOfTwoIsRefused) {
    for (LONG align : {0, 3, 24, -8}) {
        ALLOCATOR_PROPERTIES request{1, 64, align, 0}, actual{};
        EXPECT_EQ(allocator_->SetProperties(&request, &actual), VFW_E_BADALIGN) << align;
    }
}

TEST_F(MemoryAllocatorTest, GetBufferBlocksUntilASampleIsReleased) {
    Configure(1, 32);
    ASSERT_EQ(allocator_->Commit(), S_OK);
    IMediaSample *held = Take();
    ASSERT_NE(held, nullptr);
    BYTE *held_buffer = nullptr;
    held->GetPointer(&held_buffer);

    IMediaSample *none = nullptr;
    EXPECT_EQ(allocator_->GetBuffer(&none, nullptr, nullptr, AM_GBF_NOWAIT), VFW_E_TIMEOUT);

    std::promise<void> asking;
    auto waiter = std::async(std::launch::async, [&] {
        asking.set_value();
        IMediaSample *sample = nullptr;
        HRESULT hr = allocator_->GetBuffer(&sample, nullptr, nullptr, 0);
        BYTE *buffer = nullptr;
        if (sample) sample->GetPointer(&buffer);
        if (sample) sample->Release();
        return std::make_pair(hr, buffer);
    });
    asking.get_future().wait();
    EXPECT_NE(waiter.wait_for(std::chrono::seconds(0)), std::future_status::ready);
    held->Release();
    auto [hr, buffer] = waiter.get();
    EXPECT_EQ(hr, S_OK);
    EXPECT_EQ(buffer, held_buffer) << "the one buffer of the pool, returned";
}

TEST_F(MemoryAllocatorTest, DecommitReleasesABlockedGetBuffer) {
    Configure(1, 32);
    ASSERT_EQ(allocator_->Commit(), S_OK);
    IMediaSample *held = Take();
    std::promise<void> asking;
    auto waiter = std::async(std::launch::async, [&] {
        asking.set_value();
        IMediaSample *sample = nullptr;
        HRESULT hr = allocator_->GetBuffer(&sample, nullptr, nullptr, 0);
        if (sample) sample->Release();
        return hr;
    });
    asking.get_future().wait();
    ASSERT_EQ(allocator_->Decommit(), S_OK);
    EXPECT_EQ(waiter.get(), VFW_E_NOT_COMMITTED);
    held->Release();
}

TEST_F(MemoryAllocatorTest, ASampleOutstandingAtDecommitStaysUsableUntilItComesBack) {
    Configure(2, 4096);
    ASSERT_EQ(allocator_->Commit(), S_OK);
    IMediaSample *held = Take();
    ASSERT_EQ(allocator_->Decommit(), S_OK);
    ALLOCATOR_PROPERTIES request{4, 128, 1, 0}, actual{};
    EXPECT_EQ(allocator_->SetProperties(&request, &actual), VFW_E_BUFFERS_OUTSTANDING);

    // Even the allocator's last outside reference going away leaves the
    // sample's memory alone (the address sanitizer build watches this).
    allocator_->Release();
    allocator_ = nullptr;
    BYTE *pointer = nullptr;
    ASSERT_EQ(held->GetPointer(&pointer), S_OK);
    std::memset(pointer, 0x5A, 4096);
    held->Release();
}

TEST_F(MemoryAllocatorTest, NewPropertiesApplyOnceTheOldSamplesAreBack) {
    Configure(1, 16);
    ASSERT_EQ(allocator_->Commit(), S_OK);
    IMediaSample *held = Take();
    ASSERT_EQ(allocator_->Decommit(), S_OK);
    held->Release();
    Configure(2, 256);
    ASSERT_EQ(allocator_->Commit(), S_OK);
    IMediaSample *first = Take();
    IMediaSample *second = Take();
    EXPECT_EQ(first->GetSize(), 256);
    EXPECT_EQ(second->GetSize(), 256);
    first->Release();
    second->Release();
}

TEST_F(MemoryAllocatorTest, ASampleComesOutCleanWhateverItsLastUserLeftInIt) {
    Configure(1, 64);
    ASSERT_EQ(allocator_->Commit(), S_OK);
    IMediaSample *sample = Take();
    REFERENCE_TIME start = 10, end = 20;
    sample->SetTime(&start, &end);
    sample->SetMediaTime(&start, &end);
    sample->SetPreroll(TRUE);
    sample->SetDiscontinuity(TRUE);
    sample->SetActualDataLength(5);
    AM_MEDIA_TYPE type{};
    type.majortype = MEDIATYPE_Video;
    sample->SetMediaType(&type);
    sample->Release();

    sample = Take(AM_GBF_NOTASYNCPOINT);
    EXPECT_EQ(sample->GetTime(&start, &end), VFW_E_SAMPLE_TIME_NOT_SET);
    EXPECT_EQ(sample->GetMediaTime(&start, &end), VFW_E_MEDIA_TIME_NOT_SET);
    EXPECT_EQ(sample->IsPreroll(), S_FALSE);
    EXPECT_EQ(sample->IsDiscontinuity(), S_FALSE);
    EXPECT_EQ(sample->IsSyncPoint(), S_FALSE);
    EXPECT_EQ(sample->GetActualDataLength(), 64);
    AM_MEDIA_TYPE *given = &type;
    EXPECT_EQ(sample->GetMediaType(&given), S_FALSE);
    EXPECT_EQ(given, nullptr);
    sample->Release();

    sample = Take();
    EXPECT_EQ(sample->IsSyncPoint(), S_OK) << "a sync point unless the caller says otherwise";
    sample->Release();
}

TEST_F(MemoryAllocatorTest, SampleFieldsKeepWhatIsSetAndRefuseWhatCannotBe) {
    Configure(1, 64);
    ASSERT_EQ(allocator_->Commit(), S_OK);
    IMediaSample *sample = Take();

    REFERENCE_TIME start = 100, end = 200, read_start = 0, read_end = 0;
    ASSERT_EQ(sample->SetTime(&start, nullptr), S_OK);
    EXPECT_EQ(sample->GetTime(&read_start, &read_end), VFW_S_NO_STOP_TIME);
    EXPECT_EQ(read_start, 100);
    EXPECT_EQ(read_end, 101);
    ASSERT_EQ(sample->SetTime(&start, &end), S_OK);
    EXPECT_EQ(sample->GetTime(&read_start, &read_end), S_OK);
    EXPECT_EQ(read_end, 200);
    ASSERT_EQ(sample->SetTime(nullptr, nullptr), S_OK);
    EXPECT_EQ(sample->GetTime(&read_start, &read_end), VFW_E_SAMPLE_TIME_NOT_SET);

    LONGLONG media_start = 7, media_end = 8;
    ASSERT_EQ(sample->SetMediaTime(&media_start, &media_end), S_OK);
    LONGLONG read_media_start = 0, read_media_end = 0;
    EXPECT_EQ(sample->GetMediaTime(&read_media_start, &read_media_end), S_OK);
    EXPECT_EQ(read_media_start, 7);
    EXPECT_EQ(read_media_end, 8);

    EXPECT_EQ(sample->SetActualDataLength(65), VFW_E_BUFFER_OVERFLOW);
    EXPECT_EQ(sample->SetActualDataLength(64), S_OK);
    EXPECT_EQ(sample->SetActualDataLength(0), S_OK);
    EXPECT_EQ(sample->GetActualDataLength(), 0);

    ASSERT_EQ(sample->SetPreroll(TRUE), S_OK);
    ASSERT_EQ(sample->SetDiscontinuity(TRUE), S_OK);
    ASSERT_EQ(sample->SetSyncPoint(FALSE), S_OK);
    EXPECT_EQ(sample->IsPreroll(), S_OK);
    EXPECT_EQ(sample->IsDiscontinuity(), S_OK);
    EXPECT_EQ(sample->IsSyncPoint(), S_FALSE);

    IMediaSample2 *sample2 = nullptr;
    ASSERT_EQ(sample->QueryInterface(IID_IMediaSample2, reinterpret_cast<void **>(&sample2)), S_OK);
    AM_SAMPLE2_PROPERTIES properties{};
    ASSERT_EQ(sample2->GetProperties(sizeof properties, reinterpret_cast<BYTE *>(&properties)), S_OK);
    EXPECT_EQ(properties.cbData, sizeof properties);
    EXPECT_EQ(properties.dwSampleFlags & (AM_SAMPLE_PREROLL | AM_SAMPLE_DATADISCONTINUITY | AM_SAMPLE_SPLICEPOINT),
              static_cast<DWORD>(AM_SAMPLE_PREROLL | AM_SAMPLE_DATADISCONTINUITY));
    EXPECT_EQ(properties.cbBuffer, 64);
    BYTE *pointer = nullptr;
    sample->GetPointer(&pointer);
    EXPECT_EQ(properties.pbBuffer, pointer);
    sample2->Release();
    sample->Release();
}

TEST_F(MemoryAllocatorTest, AMediaTypeGoesInAndOutAsTheCallersOwnCopies) {
    Configure(1, 64);
    ASSERT_EQ(allocator_->Commit(), S_OK);
    IMediaSample *sample = Take();
    BYTE format[12] = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12};
    AM_MEDIA_TYPE type{};
    type.majortype = MEDIATYPE_Video;
    type.subtype = MEDIASUBTYPE_RGB24;
    type.formattype = FORMAT_VideoInfo;
    type.cbFormat = sizeof format;
    type.pbFormat = format;
    ASSERT_EQ(sample->SetMediaType(&type), S_OK);
    format[0] = 99;  // the sample kept a copy

    AM_MEDIA_TYPE *first = nullptr, *second = nullptr;
    ASSERT_EQ(sample->GetMediaType(&first), S_OK);
    ASSERT_EQ(sample->GetMediaType(&second), S_OK);
    ASSERT_NE(first, nullptr);
    EXPECT_NE(first, second);
    EXPECT_NE(first->pbFormat, second->pbFormat);
    EXPECT_NE(first->pbFormat, format);
    EXPECT_EQ(first->subtype, MEDIASUBTYPE_RGB24);
    ASSERT_EQ(first->cbFormat, sizeof format);
    EXPECT_EQ(first->pbFormat[0], 1);
    EXPECT_EQ(first->pbFormat[11], 12);
    for (AM_MEDIA_TYPE *copy : {first, second}) {
        CoTaskMemFree(copy->pbFormat);
        CoTaskMemFree(copy);
    }
    ASSERT_EQ(sample->SetMediaType(nullptr), S_OK);
    EXPECT_EQ(sample->GetMediaType(&first), S_FALSE);
    sample->Release();
}

}  // namespace
}  // namespace tm350::test
