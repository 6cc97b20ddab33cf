// What the tool's media framework clients share: a COM reference holder, the
// devices of a category as the system device enumerator lists them, and
// connecting two filters by their first pins.
#pragma once

#include <windows.h>
#include <dshow.h>

#include <optional>
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

// How a wait on a running graph ended: one of the caller's handles was
// signalled (which one in `signalled`), or the graph reported the end of its
// stream (EC_COMPLETE) or an error that stopped it (EC_ERRORABORT, the error
// in `abort_error`). Other graph events are consumed on the way.
struct GraphWait {
    enum Outcome { Signalled, Complete, Aborted, Failed } outcome = Failed;
    DWORD signalled = 0;
    HRESULT abort_error = S_OK;  // also why the wait itself failed
};
GraphWait WaitForGraph(IMediaEvent *events, const HANDLE *handles, DWORD count);

// After the graph stopped: the error it stopped with, if it reported one
// (a failing source ends its stream before it reports the error, so the
// completion can be seen first); S_OK when none.
HRESULT StoppedWithError(IMediaEvent *events);

// The picture layout of a connection the sample grabber made for 24-bit
// RGB: blue, green, red rows, bottom-up unless the height is negative.
struct PictureFormat {
    int width = 0;
    int height = 0;  // always positive
    bool top_down = false;
    size_t stride = 0;  // bytes per row, padded to four bytes
};
// nullopt for any other type.
std::optional<PictureFormat> PictureFormatOf(const AM_MEDIA_TYPE &type);

// An HRESULT as the tools print it: 0x8007000E.
std::string HresultText(HRESULT hr);

}  // namespace tm350::tool
