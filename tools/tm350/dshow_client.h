// What the tool's media framework clients share: a COM reference holder, the
// devices of a category as the system device enumerator lists them, and
// connecting two filters by their first pins.
#pragma once

#include <windows.h>
#include <dshow.h>

#include <string>
#include <vector>

namespace tm350::tool {

// A COM reference released at the end of its scope.
template <class T>
class Ref {
public:
    Ref() = default;
    ~Ref() { Reset(); }
    Ref(const Ref &) = delete;
    Ref &operator=(const Ref &) = delete;
    void Reset() {
        if (object_ != nullptr) object_->Release();
        object_ = nullptr;
    }
    T **Receive() {
        Reset();
        return &object_;
    }
    void **ReceiveVoid() { return reinterpret_cast<void **>(Receive()); }
    T *Get() const { return object_; }
    T *operator->() const { return object_; }
    explicit operator bool() const { return object_ != nullptr; }

private:
    T *object_ = nullptr;
};

// UTF-16 from the platform as UTF-8 for the terminal.
std::string Narrow(const WCHAR *text);

// One entry of a device category.
struct Device {
    std::string friendly_name;
    CLSID clsid = CLSID_NULL;  // the filter's class, CLSID_NULL when the entry names none
    IMoniker *moniker = nullptr;  // referenced; see ReleaseDevices
};

// The devices of a category in the enumerator's order. A category with
// none is an empty list, not a failure.
HRESULT EnumerateDevices(REFCLSID category, std::vector<Device> *devices);
void ReleaseDevices(std::vector<Device> &devices);

// The first pin of `filter` in direction `wanted`, referenced.
HRESULT FirstPin(IBaseFilter *filter, PIN_DIRECTION wanted, IPin **found);
// The first output of `from` straight to the first input of `to`.
HRESULT ConnectFilters(IGraphBuilder *graph, IBaseFilter *from, IBaseFilter *to);

// An HRESULT as the tools print it: 0x8007000E.
std::string HresultText(HRESULT hr);

}  // namespace tm350::tool
