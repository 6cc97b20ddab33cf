// The system reference clock: its time, and advise requests served on the
// clock's own thread.
#include "dshow/com_ptr.h"
#include "runtime_test_support.h"

namespace tm350::test {
namespace {

class SystemClock : public RuntimeTest {};

constexpr REFERENCE_TIME kMillisecond = 10000;

ComPtr<IReferenceClock> NewClock() {
    ComPtr<IReferenceClock> clock;
    EXPECT_EQ(CoCreateInstance(CLSID_SystemClock, nullptr, CLSCTX_INPROC_SERVER, IID_IReferenceClock,
                               reinterpret_cast<void **>(clock.Receive())),
              S_OK);
    return clock;
}

REFERENCE_TIME Now(IReferenceClock *clock) {
    REFERENCE_TIME now = 0;
    EXPECT_TRUE(SUCCEEDED(clock->GetTime(&now)));
    return now;
}

struct Handle {
    explicit Handle(HANDLE value) : value(value) {}
    ~Handle() { CloseHandle(value); }
    HANDLE value;
};

TEST_F(SystemClock, TimeNeverRunsBackwards) {
    ComPtr<IReferenceClock> clock = NewClock();
    REFERENCE_TIME previous = Now(clock.Get());
    EXPECT_GT(previous, 0);
    for (int i = 0; i < 10000; ++i) {
        REFERENCE_TIME now = 0;
        HRESULT hr = clock->GetTime(&now);
        ASSERT_GE(now, previous);
        ASSERT_EQ(hr, now == previous ? S_FALSE : S_OK) << "S_FALSE says the time has not moved";
        previous = now;
    }
    EXPECT_EQ(clock->GetTime(nullptr), E_POINTER);
}

TEST_F(SystemClock, AdviseTimeSignalsTheEventAtTheRequestedTime) {
    ComPtr<IReferenceClock> clock = NewClock();
    Handle event(CreateEventW(NULL, TRUE, FALSE, NULL));
    REFERENCE_TIME base = Now(clock.Get());
    DWORD_PTR cookie = 0;
    ASSERT_EQ(clock->AdviseTime(base, 20 * kMillisecond, reinterpret_cast<HEVENT>(event.value), &cookie), S_OK);
    EXPECT_NE(cookie, 0u);
    ASSERT_EQ(WaitForSingleObject(event.value, INFINITE), static_cast<DWORD>(WAIT_OBJECT_0));
    EXPECT_GE(Now(clock.Get()), base + 20 * kMillisecond) << "never early";
    EXPECT_EQ(clock->Unadvise(cookie), S_FALSE) << "a served request is forgotten";

    Handle past(CreateEventW(NULL, TRUE, FALSE, NULL));
    ASSERT_EQ(clock->AdviseTime(1, 0, reinterpret_cast<HEVENT>(past.value), &cookie), S_OK);
    EXPECT_EQ(WaitForSingleObject(past.value, INFINITE), static_cast<DWORD>(WAIT_OBJECT_0)) << "a past time at once";
}

TEST_F(SystemClock, AnUnadvisedRequestIsNeverSignalled) {
    ComPtr<IReferenceClock> clock = NewClock();
    Handle cancelled(CreateEventW(NULL, TRUE, FALSE, NULL));
    Handle later(CreateEventW(NULL, TRUE, FALSE, NULL));
    REFERENCE_TIME base = Now(clock.Get());
    DWORD_PTR cancelled_cookie = 0;
    DWORD_PTR later_cookie = 0;
    ASSERT_EQ(clock->AdviseTime(base, 10 * kMillisecond, reinterpret_cast<HEVENT>(cancelled.value),
                                &cancelled_cookie),
              S_OK);
    EXPECT_EQ(clock->Unadvise(cancelled_cookie), S_OK);
    // Requests are served in time order: once the later one has been
    // signalled, the cancelled one would have been too.
    ASSERT_EQ(clock->AdviseTime(base, 30 * kMillisecond, reinterpret_cast<HEVENT>(later.value), &later_cookie),
              S_OK);
    ASSERT_EQ(WaitForSingleObject(later.value, INFINITE), static_cast<DWORD>(WAIT_OBJECT_0));
    EXPECT_EQ(WaitForSingleObject(cancelled.value, 0), static_cast<DWORD>(WAIT_TIMEOUT));
    EXPECT_EQ(clock->Unadvise(cancelled_cookie), S_FALSE);
}

TEST_F(SystemClock, AdvisePeriodicReleasesTheSemaphoreEveryPeriod) {
    ComPtr<IReferenceClock> clock = NewClock();
    Handle semaphore(CreateSemaphoreW(NULL, 0, 1000, NULL));
    REFERENCE_TIME start = Now(clock.Get()) + 5 * kMillisecond;
    DWORD_PTR cookie = 0;
    ASSERT_EQ(clock->AdvisePeriodic(start, 5 * kMillisecond, reinterpret_cast<HSEMAPHORE>(semaphore.value), &cookie),
              S_OK);
    for (int i = 0; i < 3; ++i) ASSERT_EQ(WaitForSingleObject(semaphore.value, INFINITE), WAIT_OBJECT_0);
    EXPECT_GE(Now(clock.Get()), start + 2 * 5 * kMillisecond) << "three releases take two periods at least";
    EXPECT_EQ(clock->Unadvise(cookie), S_OK);
    EXPECT_EQ(clock->Unadvise(cookie), S_FALSE);
}

TEST_F(SystemClock, ReleasingTheClockEndsItsAdvises) {
    ComPtr<IReferenceClock> clock = NewClock();
    Handle semaphore(CreateSemaphoreW(NULL, 0, 100000, NULL));
    REFERENCE_TIME now = Now(clock.Get());
    DWORD_PTR cookie = 0;
    ASSERT_EQ(clock->AdvisePeriodic(now + kMillisecond, kMillisecond, reinterpret_cast<HSEMAPHORE>(semaphore.value),
                                    &cookie),
              S_OK);
    ASSERT_EQ(WaitForSingleObject(semaphore.value, INFINITE), WAIT_OBJECT_0);
    clock.Reset();
    while (WaitForSingleObject(semaphore.value, 0) == WAIT_OBJECT_0) {
    }
    // Several periods later, by another clock: nothing was released meanwhile.
    ComPtr<IReferenceClock> other = NewClock();
    Handle event(CreateEventW(NULL, TRUE, FALSE, NULL));
    ASSERT_EQ(other->AdviseTime(Now(other.Get()), 10 * kMillisecond, reinterpret_cast<HEVENT>(event.value), &cookie),
              S_OK);
    ASSERT_EQ(WaitForSingleObject(event.value, INFINITE), WAIT_OBJECT_0);
    EXPECT_EQ(WaitForSingleObject(semaphore.value, 0), static_cast<DWORD>(WAIT_TIMEOUT));
}

TEST_F(SystemClock, InvalidRequestsAreRefused) {
    ComPtr<IReferenceClock> clock = NewClock();
    Handle event(CreateEventW(NULL, TRUE, FALSE, NULL));
    HEVENT handle = reinterpret_cast<HEVENT>(event.value);
    DWORD_PTR cookie = 7;
    EXPECT_EQ(clock->AdviseTime(0, 0, handle, &cookie), E_INVALIDARG) << "the time must be positive";
    EXPECT_EQ(cookie, 0u);
    EXPECT_EQ(clock->AdviseTime(-10, 5, handle, &cookie), E_INVALIDARG);
    EXPECT_EQ(clock->AdviseTime(0x7fffffffffffffffLL, 1, handle, &cookie), E_INVALIDARG) << "no overflow";
    EXPECT_EQ(clock->AdviseTime(1, 0, handle, nullptr), E_POINTER);
    EXPECT_EQ(clock->AdvisePeriodic(10, 0, handle, &cookie), E_INVALIDARG) << "the period must be positive";
    EXPECT_EQ(clock->AdvisePeriodic(0, 10, handle, &cookie), E_INVALIDARG);
    EXPECT_EQ(clock->Unadvise(12345), S_FALSE);
}

}  // namespace
}  // namespace tm350::test
