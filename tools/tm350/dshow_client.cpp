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

std::string HresultText(HRESULT hr) {
    char text[16];
    snprintf(text, sizeof text, "0x%08X", static_cast<unsigned>(hr));
    return text;
}

}  // namespace tm350::tool
