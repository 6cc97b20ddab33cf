#include "dshow/property_bag.h"

#include "dshow/registry_key.h"

#include <oleauto.h>

namespace tm350::dshow {

STDMETHODIMP PropertyBag::QueryInterface(REFIID riid, void **object) {
    if (object == nullptr) return E_POINTER;
    *object = nullptr;
    if (riid == IID_IUnknown || riid == IID_IPropertyBag) return Give(static_cast<IPropertyBag *>(this), object);
    return E_NOINTERFACE;
}

// Strings come as VT_BSTR and DWORDs as VT_I4, whatever type the caller
// left in `value` (VT_EMPTY asks for the stored type). Binary values
// (FilterData) are not offered: there are no SAFEARRAYs on this platform.
STDMETHODIMP PropertyBag::Read(LPCOLESTR name, VARIANT *value, IErrorLog *error_log) {
    if (name == nullptr || value == nullptr) return E_POINTER;
    RegistryKey key;
    if (LSTATUS status = RegistryKey::Open(HKEY_CLASSES_ROOT, key_path_, key); status != ERROR_SUCCESS) {
        return FromRegistry(status);
    }
    if (auto text = key.String(name)) {
        if (V_VT(value) != VT_EMPTY && V_VT(value) != VT_BSTR) return E_INVALIDARG;
        BSTR copy = SysAllocStringLen(Wide(*text), static_cast<UINT>(text->size()));
        if (copy == nullptr) return E_OUTOFMEMORY;
        V_VT(value) = VT_BSTR;
        V_BSTR(value) = copy;
        return S_OK;
    }
    if (auto number = key.Dword(name)) {
        if (V_VT(value) != VT_EMPTY && V_VT(value) != VT_I4 && V_VT(value) != VT_UI4) return E_INVALIDARG;
        if (V_VT(value) == VT_EMPTY) V_VT(value) = VT_I4;
        V_I4(value) = static_cast<LONG>(*number);
        return S_OK;
    }
    return HRESULT_FROM_WIN32(ERROR_FILE_NOT_FOUND);
}

STDMETHODIMP PropertyBag::Write(LPCOLESTR name, VARIANT *value) {
    if (name == nullptr || value == nullptr) return E_POINTER;
    RegistryKey key;
    if (LSTATUS status = RegistryKey::Create(HKEY_CLASSES_ROOT, key_path_, key); status != ERROR_SUCCESS) {
        return FromRegistry(status);
    }
    switch (V_VT(value)) {
    case VT_BSTR: {
        BSTR text = V_BSTR(value);
        return FromRegistry(key.SetString(name, text ? Text(text).substr(0, SysStringLen(text)) : std::u16string()));
    }
    case VT_I4:
    case VT_UI4:
        return FromRegistry(key.SetDword(name, static_cast<DWORD>(V_I4(value))));
    default:
        return E_INVALIDARG;
    }
}

}  // namespace tm350::dshow
