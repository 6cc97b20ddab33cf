#include "tools/tm350/dshow_client.h"

#include <cstdio>

namespace tm350::tool {

std::string Narrow(const WCHAR *text) {
    std::string result;
    int length = WideCharToMultiByte(CP_UTF8, 0, text, -1, nullptr, 0, nullptr, nullptr);
    if (length <= 1) return result;
    result.resize(static_cast<size_t>(length));
    WideCharToMultiByte(CP_UTF8, 0, text, -1, result.data(), length, nullptr, nullptr);
    result.resize(static_cast<size_t>(length) - 1);
    return result;
}

namespace {

// A string value of the device's entry, empty when it has none.
std::string ReadText(IPropertyBag *bag, LPCOLESTR name) {
    std::string text;
    VARIANT value;
    VariantInit(&value);
    if (SUCCEEDED(bag->Read(name, &value, nullptr)) && value.vt == VT_BSTR) text = Narrow(value.bstrVal);
    VariantClear(&value);
    return text;
}

CLSID ReadClsid(IPropertyBag *bag) {
    CLSID clsid = CLSID_NULL;
    VARIANT value;
    VariantInit(&value);
    if (SUCCEEDED(bag->Read(L"CLSID", &value, nullptr)) && value.vt == VT_BSTR) {
        if (FAILED(CLSIDFromString(value.bstrVal, &clsid))) clsid = CLSID_NULL;
    }
    VariantClear(&value);
    return clsid;
}

}  // namespace

HRESULT EnumerateDevices(REFCLSID category, std::vector<Device> *devices) {
    Ref<ICreateDevEnum> enumerator;
    HRESULT hr = CoCreateInstance(CLSID_SystemDeviceEnum, nullptr, CLSCTX_INPROC_SERVER, IID_ICreateDevEnum,
                                  enumerator.ReceiveVoid());
    if (FAILED(hr)) return hr;
    Ref<IEnumMoniker> monikers;
    hr = enumerator->CreateClassEnumerator(category, monikers.Receive(), 0);
    if (hr != S_OK) return SUCCEEDED(hr) ? S_OK : hr;
    IMoniker *moniker = nullptr;
    while (monikers->Next(1, &moniker, nullptr) == S_OK) {
        Device device;
        device.moniker = moniker;
        Ref<IPropertyBag> bag;
        if (SUCCEEDED(moniker->BindToStorage(nullptr, nullptr, IID_IPropertyBag, bag.ReceiveVoid()))) {
            device.friendly_name = ReadText(bag.Get(), L"FriendlyName");
            device.clsid = ReadClsid(bag.Get());
        }
        devices->push_back(device);
    }
    return S_OK;
}

void ReleaseDevices(std::vector<Device> &devices) {
    for (Device &device : devices) device.moniker->Release();
    devices.clear();
}

HRESULT FirstPin(IBaseFilter *filter, PIN_DIRECTION wanted, IPin **found) {
    *found = nullptr;
    Ref<IEnumPins> pins;
    HRESULT hr = filter->EnumPins(pins.Receive());
    if (FAILED(hr)) return hr;
    IPin *pin = nullptr;
    while (pins->Next(1, &pin, nullptr) == S_OK) {
        PIN_DIRECTION direction;
        if (SUCCEEDED(pin->QueryDirection(&direction)) && direction == wanted) {
            *found = pin;
            return S_OK;
        }
        pin->Release();
    }
    return VFW_E_NOT_FOUND;
}

HRESULT ConnectFilters(IGraphBuilder *graph, IBaseFilter *from, IBaseFilter *to) {
    Ref<IPin> output, input;
    HRESULT hr = FirstPin(from, PINDIR_OUTPUT, output.Receive());
    if (SUCCEEDED(hr)) hr = FirstPin(to, PINDIR_INPUT, input.Receive());
    if (SUCCEEDED(hr)) hr = graph->ConnectDirect(output.Get(), input.Get(), nullptr);
    return hr;
}

GraphWait WaitForGraph(IMediaEvent *events, const HANDLE *handles, DWORD count) {
    GraphWait wait;
    OAEVENT graphEvent = 0;
    if (FAILED(wait.abort_error = events->GetEventHandle(&graphEvent))) return wait;
    std::vector<HANDLE> waited(handles, handles + count);
    waited.push_back(reinterpret_cast<HANDLE>(graphEvent));
    for (;;) {
        const DWORD woken = WaitForMultipleObjects(static_cast<DWORD>(waited.size()), waited.data(), FALSE, INFINITE);
        if (woken < WAIT_OBJECT_0 + count) {
            wait.outcome = GraphWait::Signalled;
            wait.signalled = woken - WAIT_OBJECT_0;
            return wait;
        }
        if (woken != WAIT_OBJECT_0 + count) {
            wait.abort_error = HRESULT_FROM_WIN32(GetLastError());
            return wait;
        }
        LONG code = 0;
        LONG_PTR first = 0, second = 0;
        while (events->GetEvent(&code, &first, &second, 0) == S_OK) {
            const LONG_PTR error = first;
            events->FreeEventParams(code, first, second);
            if (code == EC_COMPLETE) {
                wait.outcome = GraphWait::Complete;
                return wait;
            }
            if (code == EC_ERRORABORT) {
                wait.outcome = GraphWait::Aborted;
                wait.abort_error = static_cast<HRESULT>(error);
                return wait;
            }
        }
    }
}

HRESULT StoppedWithError(IMediaEvent *events) {
    HRESULT stoppedWith = S_OK;
    LONG code = 0;
    LONG_PTR first = 0, second = 0;
    while (events->GetEvent(&code, &first, &second, 0) == S_OK) {
        if (code == EC_ERRORABORT && stoppedWith == S_OK) stoppedWith = static_cast<HRESULT>(first);
        events->FreeEventParams(code, first, second);
    }
    return stoppedWith;
}

std::optional<PictureFormat> PictureFormatOf(const AM_MEDIA_TYPE &type) {
    if (!IsEqualGUID(type.majortype, MEDIATYPE_Video) || !IsEqualGUID(type.subtype, MEDIASUBTYPE_RGB24) ||
        !IsEqualGUID(type.formattype, FORMAT_VideoInfo) || type.pbFormat == nullptr ||
        type.cbFormat < sizeof(VIDEOINFOHEADER))
        return std::nullopt;
    const BITMAPINFOHEADER &header = reinterpret_cast<const VIDEOINFOHEADER *>(type.pbFormat)->bmiHeader;
    if (header.biBitCount != 24 || header.biWidth <= 0 || header.biHeight == 0) return std::nullopt;
    PictureFormat format;
    format.width = header.biWidth;
    format.height = header.biHeight < 0 ? -header.biHeight : header.biHeight;
    format.top_down = header.biHeight < 0;
    format.stride = ((static_cast<size_t>(format.width) * 24 + 31) / 32) * 4;
    return format;
}

std::string HresultText(HRESULT hr) {
    char text[16];
    snprintf(text, sizeof text, "0x%08X", static_cast<unsigned>(hr));
    return text;
}

}  // namespace tm350::tool
