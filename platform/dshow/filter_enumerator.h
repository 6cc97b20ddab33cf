// IEnumFilters over a graph: the filters in the order they were added. An
// enumerator made before a filter was added or removed reports
// VFW_E_ENUM_OUT_OF_SYNC until it is Reset.
#pragma once

#include "dshow/com_object.h"

#include <dshow.h>

#include <atomic>
#include <vector>

namespace tm350::dshow {

class FilterGraph;

class FilterEnumerator final : public ComObject<IEnumFilters> {
public:
    static HRESULT Create(FilterGraph *graph, size_t position, IEnumFilters **enumerator);

    STDMETHODIMP QueryInterface(REFIID iid, void **object) override;

    STDMETHODIMP Next(ULONG count, IBaseFilter **filters, ULONG *fetched) override;
    STDMETHODIMP Skip(ULONG count) override;
    STDMETHODIMP Reset() override;
    STDMETHODIMP Clone(IEnumFilters **enumerator) override;

private:
    FilterEnumerator(FilterGraph *graph, size_t position);
    ~FilterEnumerator() override = default;
    bool InSync() const;

    ComPtr<IFilterGraph> graph_reference_;  // keeps the graph alive
    FilterGraph *graph_;
    std::vector<ComPtr<IBaseFilter>> filters_;  // as they were at the last Reset
    unsigned version_;
    size_t position_;
};

}  // namespace tm350::dshow
