// The system reference clock: the clock a filter graph uses when none of its
// filters offers one. Time runs from the machine's monotonic clock in 100 ns
// units; advise requests are served by one thread per clock.
#pragma once

#include "dshow/com_object.h"

#include <dshow.h>

#include <atomic>
#include <condition_variable>
#include <mutex>
#include <thread>
#include <vector>

namespace tm350::dshow {

class SystemClock final : public ComObject<IReferenceClock> {
public:
    // The class's create function: a new object, asked for `iid`.
    static HRESULT Create(REFIID iid, void **object);

    STDMETHODIMP QueryInterface(REFIID iid, void **object) override;

    STDMETHODIMP GetTime(REFERENCE_TIME *time) override;
    STDMETHODIMP AdviseTime(REFERENCE_TIME base_time, REFERENCE_TIME stream_time, HEVENT event,
                            DWORD_PTR *cookie) override;
    STDMETHODIMP AdvisePeriodic(REFERENCE_TIME start_time, REFERENCE_TIME period, HSEMAPHORE semaphore,
                                DWORD_PTR *cookie) override;
    STDMETHODIMP Unadvise(DWORD_PTR cookie) override;

    // The clock's time now, without the per-caller bookkeeping of GetTime.
    static REFERENCE_TIME Now();

private:
    SystemClock() = default;
    ~SystemClock() override;

    struct Advise {
        DWORD_PTR cookie;
        REFERENCE_TIME due;
        REFERENCE_TIME period;  // 0 for a one-shot request
        HANDLE handle;          // an event (one-shot) or a semaphore (periodic)
    };

    HRESULT AddAdvise(REFERENCE_TIME due, REFERENCE_TIME period, HANDLE handle, DWORD_PTR *cookie);
    void ServeAdvises();

    std::mutex lock_;  // guards everything below
    REFERENCE_TIME last_time_ = 0;
    std::vector<Advise> advises_;
    DWORD_PTR next_cookie_ = 1;
    bool closing_ = false;
    std::condition_variable advises_changed_;
    std::thread advise_thread_;  // started by the first advise request
};

}  // namespace tm350::dshow
