#include "dshow/graph_pins.h"

namespace tm350::dshow {

bool SameObject(IUnknown *a, IUnknown *b) {
    if (a == nullptr || b == nullptr) return a == b;
    ComPtr<IUnknown> identity_a;
    ComPtr<IUnknown> identity_b;
    a->QueryInterface(IID_IUnknown, reinterpret_cast<void **>(identity_a.Receive()));
    b->QueryInterface(IID_IUnknown, reinterpret_cast<void **>(identity_b.Receive()));
    return identity_a && identity_a.Get() == identity_b.Get();
}

std::vector<ComPtr<IPin>> PinsOf(IBaseFilter *filter) {
    std::vector<ComPtr<IPin>> pins;
    ComPtr<IEnumPins> enumerator;
    if (filter == nullptr || FAILED(filter->EnumPins(enumerator.Receive())) || !enumerator) return pins;
    for (;;) {
        IPin *pin = nullptr;
        ULONG fetched = 0;
        if (enumerator->Next(1, &pin, &fetched) != S_OK || fetched != 1 || pin == nullptr) break;
        pins.push_back(ComPtr<IPin>::Adopt(pin));
    }
    return pins;
}

std::vector<ComPtr<IPin>> PinsOf(IBaseFilter *filter, PIN_DIRECTION direction) {
    std::vector<ComPtr<IPin>> pins;
    for (ComPtr<IPin> &pin : PinsOf(filter)) {
        if (HasDirection(pin.Get(), direction)) pins.push_back(std::move(pin));
    }
    return pins;
}

bool HasDirection(IPin *pin, PIN_DIRECTION direction) {
    PIN_DIRECTION found = PINDIR_INPUT;
    return pin != nullptr && SUCCEEDED(pin->QueryDirection(&found)) && found == direction;
}

ComPtr<IBaseFilter> OwnerOf(IPin *pin) {
    PIN_INFO info{};
    if (pin == nullptr || FAILED(pin->QueryPinInfo(&info))) return nullptr;
    return ComPtr<IBaseFilter>::Adopt(info.pFilter);
}

ComPtr<IPin> PeerOf(IPin *pin) {
    IPin *peer = nullptr;
    if (pin == nullptr || FAILED(pin->ConnectedTo(&peer))) return nullptr;
    return ComPtr<IPin>::Adopt(peer);
}

std::vector<ComPtr<IBaseFilter>> DownstreamOf(IBaseFilter *filter) {
    std::vector<ComPtr<IBaseFilter>> filters;
    for (const ComPtr<IPin> &pin : PinsOf(filter, PINDIR_OUTPUT)) {
        ComPtr<IPin> peer = PeerOf(pin.Get());
        if (!peer) continue;
        if (ComPtr<IBaseFilter> owner = OwnerOf(peer.Get())) filters.push_back(std::move(owner));
    }
    return filters;
}

bool IsHiddenPin(IPin *pin) {
    PIN_INFO info{};
    if (pin == nullptr || FAILED(pin->QueryPinInfo(&info))) return false;
    if (info.pFilter != nullptr) info.pFilter->Release();
    return info.achName[0] == u'~';
}

bool IsStreamRenderer(IBaseFilter *filter) {
    std::vector<ComPtr<IPin>> inputs = PinsOf(filter, PINDIR_INPUT);
    bool renderer = false;
    ComPtr<IAMFilterMiscFlags> flags;
    if (SUCCEEDED(filter->QueryInterface(IID_IAMFilterMiscFlags, reinterpret_cast<void **>(flags.Receive()))) && flags) {
        renderer = (flags->GetMiscFlags() & AM_FILTER_MISC_FLAGS_IS_RENDERER) != 0;
    } else {
        renderer = !inputs.empty() && PinsOf(filter, PINDIR_OUTPUT).empty();
    }
    if (!renderer) return false;
    if (inputs.empty()) return true;
    for (const ComPtr<IPin> &input : inputs) {
        if (PeerOf(input.Get())) return true;
    }
    return false;
}

}  // namespace tm350::dshow
