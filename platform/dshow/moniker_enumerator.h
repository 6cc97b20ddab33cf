// IEnumMoniker over a list of monikers taken when the enumerator was made.
#pragma once

#include "dshow/com_object.h"

#include <windows.h>
#include <objidl.h>

#include <mutex>
#include <vector>

namespace tm350::dshow {

class MonikerEnumerator final : public ComObject<IEnumMoniker> {
public:
    explicit MonikerEnumerator(std::vector<ComPtr<IMoniker>> monikers, size_t position = 0)
        : monikers_(std::move(monikers)), position_(position) {}

    STDMETHODIMP QueryInterface(REFIID riid, void **object) override;
    STDMETHODIMP Next(ULONG count, IMoniker **monikers, ULONG *fetched) override;
    STDMETHODIMP Skip(ULONG count) override;
    STDMETHODIMP Reset() override;
    STDMETHODIMP Clone(IEnumMoniker **copy) override;

private:
    const std::vector<ComPtr<IMoniker>> monikers_;
    std::mutex mutex_;  // guards position_
    size_t position_;
};

}  // namespace tm350::dshow
