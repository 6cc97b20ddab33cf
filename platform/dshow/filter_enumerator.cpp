#include "dshow/filter_enumerator.h"

#include "dshow/filter_graph.h"

#include <new>

namespace tm350::dshow {

HRESULT FilterEnumerator::Create(FilterGraph *graph, size_t position, IEnumFilters **enumerator) {
    if (enumerator == nullptr) return E_POINTER;
    *enumerator = new (std::nothrow) FilterEnumerator(graph, position);
    return *enumerator != nullptr ? S_OK : E_OUTOFMEMORY;
}

FilterEnumerator::FilterEnumerator(FilterGraph *graph, size_t position)
    : graph_reference_(static_cast<IFilterGraph2 *>(graph)), graph_(graph), position_(position) {
    version_ = graph_->version();
    filters_ = graph_->Filters();
}

STDMETHODIMP FilterEnumerator::QueryInterface(REFIID iid, void **object) {
    if (object == nullptr) return E_POINTER;
    if (IsEqualGUID(iid, IID_IUnknown) || IsEqualGUID(iid, IID_IEnumFilters)) {
        *object = static_cast<IEnumFilters *>(this);
        AddRef();
        return S_OK;
    }
    *object = nullptr;
    return E_NOINTERFACE;
}

bool FilterEnumerator::InSync() const { return version_ == graph_->version(); }

// S_OK when `count` filters were returned, S_FALSE when fewer were left.
// Without a `fetched` pointer only one filter may be asked for.
STDMETHODIMP FilterEnumerator::Next(ULONG count, IBaseFilter **filters, ULONG *fetched) {
    if (filters == nullptr) return E_POINTER;
    if (fetched == nullptr && count != 1) return E_INVALIDARG;
    if (fetched != nullptr) *fetched = 0;
    if (!InSync()) return VFW_E_ENUM_OUT_OF_SYNC;
    ULONG returned = 0;
    while (returned < count && position_ < filters_.size()) {
        filters[returned] = filters_[position_].Get();
        filters[returned]->AddRef();
        ++returned;
        ++position_;
    }
    if (fetched != nullptr) *fetched = returned;
    return returned == count ? S_OK : S_FALSE;
}

STDMETHODIMP FilterEnumerator::Skip(ULONG count) {
    if (!InSync()) return VFW_E_ENUM_OUT_OF_SYNC;
    if (count > filters_.size() - position_) {
        position_ = filters_.size();
        return S_FALSE;
    }
    position_ += count;
    return S_OK;
}

STDMETHODIMP FilterEnumerator::Reset() {
    version_ = graph_->version();
    filters_ = graph_->Filters();
    position_ = 0;
    return S_OK;
}

STDMETHODIMP FilterEnumerator::Clone(IEnumFilters **enumerator) {
    if (enumerator == nullptr) return E_POINTER;
    *enumerator = nullptr;
    if (!InSync()) return VFW_E_ENUM_OUT_OF_SYNC;
    return Create(graph_, position_, enumerator);
}

}  // namespace tm350::dshow
