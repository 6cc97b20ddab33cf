#include "dshow/moniker_enumerator.h"

#include <new>

namespace tm350::dshow {

STDMETHODIMP MonikerEnumerator::QueryInterface(REFIID riid, void **object) {
    if (object == nullptr) return E_POINTER;
    *object = nullptr;
    if (riid == IID_IUnknown || riid == IID_IEnumMoniker) return Give(static_cast<IEnumMoniker *>(this), object);
    return E_NOINTERFACE;
}

// S_FALSE when fewer than `count` were left; `fetched` may be null only
// when one is asked for.
STDMETHODIMP MonikerEnumerator::Next(ULONG count, IMoniker **monikers, ULONG *fetched) {
    if (monikers == nullptr) return E_POINTER;
    if (fetched == nullptr && count != 1) return E_INVALIDARG;
    std::lock_guard lock(mutex_);
    ULONG given = 0;
    while (given < count && position_ < monikers_.size()) {
        monikers[given] = monikers_[position_++].Get();
        monikers[given]->AddRef();
        ++given;
    }
    if (fetched != nullptr) *fetched = given;
    return given == count ? S_OK : S_FALSE;
}

STDMETHODIMP MonikerEnumerator::Skip(ULONG count) {
    std::lock_guard lock(mutex_);
    size_t left = monikers_.size() - position_;
    position_ += count < left ? count : left;
    return count <= left ? S_OK : S_FALSE;
}

STDMETHODIMP MonikerEnumerator::Reset() {
    std::lock_guard lock(mutex_);
    position_ = 0;
    return S_OK;
}

STDMETHODIMP MonikerEnumerator::Clone(IEnumMoniker **copy) {
    if (copy == nullptr) return E_POINTER;
    std::lock_guard lock(mutex_);
    *copy = new (std::nothrow) MonikerEnumerator(monikers_, position_);
    return *copy != nullptr ? S_OK : E_OUTOFMEMORY;
}

}  // namespace tm350::dshow
