// The first filter mapper (CLSID_FilterMapper): a filter is HKCR\Filter\{clsid}
// with its name, its class key carries the name and a Merit value, and its
// pins are keys under HKCR\CLSID\{clsid}\Pins with their media types under
// Types\{major}\{subtype}.
#include "dshow/com_object.h"
#include "dshow/registry_key.h"
#include "dshow/runtime_classes.h"

#include <dshow.h>

#include <new>

namespace tm350::dshow {

namespace {

std::u16string ClassKey(REFCLSID filter) { return u"CLSID\\" + GuidString(filter); }
std::u16string PinKey(REFCLSID filter, const std::u16string &pin) { return ClassKey(filter) + u"\\Pins\\" + pin; }

class FilterMapper final : public ComObject<IFilterMapper> {
public:
    STDMETHODIMP QueryInterface(REFIID riid, void **object) override {
        if (object == nullptr) return E_POINTER;
        *object = nullptr;
        if (riid == IID_IUnknown || riid == IID_IFilterMapper) return Give(static_cast<IFilterMapper *>(this), object);
        return E_NOINTERFACE;
    }

    STDMETHODIMP RegisterFilter(CLSID filter, LPCWSTR name, DWORD merit) override {
        if (name == nullptr) return E_POINTER;
        RegistryKey listed, class_key;
        LSTATUS status = RegistryKey::Create(HKEY_CLASSES_ROOT, u"Filter\\" + GuidString(filter), listed);
        if (status == ERROR_SUCCESS) status = listed.SetString(nullptr, Text(name));
        if (status == ERROR_SUCCESS) status = RegistryKey::Create(HKEY_CLASSES_ROOT, ClassKey(filter), class_key);
        if (status == ERROR_SUCCESS) status = class_key.SetString(nullptr, Text(name));
        if (status == ERROR_SUCCESS) status = class_key.SetDword(L"Merit", merit);
        return FromRegistry(status);
    }

    // Instances of the same filter are a feature this mapper never had.
    STDMETHODIMP RegisterFilterInstance(CLSID filter, LPCWSTR name, CLSID *instance) override { return E_NOTIMPL; }
    STDMETHODIMP UnregisterFilterInstance(CLSID instance) override { return E_NOTIMPL; }

    STDMETHODIMP RegisterPin(CLSID filter, LPCWSTR name, BOOL rendered, BOOL output, BOOL zero, BOOL many,
                             CLSID connects_to_filter, LPCWSTR connects_to_pin) override {
        if (name == nullptr) return E_POINTER;
        RegistryKey pin;
        LSTATUS status = RegistryKey::Create(HKEY_CLASSES_ROOT, PinKey(filter, Text(name)), pin);
        if (status == ERROR_SUCCESS) status = pin.SetDword(L"IsRendered", rendered ? 1 : 0);
        if (status == ERROR_SUCCESS) status = pin.SetDword(L"Direction", output ? PINDIR_OUTPUT : PINDIR_INPUT);
        if (status == ERROR_SUCCESS) status = pin.SetDword(L"AllowedZero", zero ? 1 : 0);
        if (status == ERROR_SUCCESS) status = pin.SetDword(L"AllowedMany", many ? 1 : 0);
        if (status == ERROR_SUCCESS) status = pin.SetString(L"ConnectsToFilter", GuidString(connects_to_filter));
        if (status == ERROR_SUCCESS) {
            status = pin.SetString(L"ConnectsToPin", Text(connects_to_pin));
        }
        return FromRegistry(status);
    }

    STDMETHODIMP RegisterPinType(CLSID filter, LPCWSTR pin, CLSID major_type, CLSID subtype) override {
        if (pin == nullptr) return E_POINTER;
        RegistryKey type;
        return FromRegistry(RegistryKey::Create(
            HKEY_CLASSES_ROOT, PinKey(filter, Text(pin)) + u"\\Types\\" + GuidString(major_type) + u"\\" + GuidString(subtype),
            type));
    }

    // Removes what RegisterFilter and RegisterPin wrote, leaving the class
    // key (its server registration is not the mapper's). A filter that is
    // not registered gives HRESULT_FROM_WIN32(ERROR_FILE_NOT_FOUND).
    STDMETHODIMP UnregisterFilter(CLSID filter) override {
        LSTATUS status = RegDeleteTreeW(HKEY_CLASSES_ROOT, Wide((u"Filter\\" + GuidString(filter))));
        if (status != ERROR_SUCCESS) return FromRegistry(status);
        RegDeleteTreeW(HKEY_CLASSES_ROOT, Wide((ClassKey(filter) + u"\\Pins")));
        RegistryKey class_key;
        if (RegistryKey::Create(HKEY_CLASSES_ROOT, ClassKey(filter), class_key) == ERROR_SUCCESS) {
            RegDeleteValueW(class_key.Get(), L"Merit");
        }
        return S_OK;
    }

    STDMETHODIMP UnregisterPin(CLSID filter, LPCWSTR name) override {
        if (name == nullptr) return E_POINTER;
        return FromRegistry(RegDeleteTreeW(HKEY_CLASSES_ROOT, Wide(PinKey(filter, Text(name)))));
    }

    // FIXME: matching registered filters by their pins is not offered.
    STDMETHODIMP EnumMatchingFilters(IEnumRegFilters **enumerator, DWORD merit, BOOL input_needed, CLSID input_major,
                                     CLSID input_subtype, BOOL render, BOOL output_needed, CLSID output_major,
                                     CLSID output_subtype) override {
        if (enumerator != nullptr) *enumerator = nullptr;
        return E_NOTIMPL;
    }
};

}  // namespace

HRESULT CreateFilterMapper(REFIID riid, void **object) {
    return CreateAndQuery(new (std::nothrow) FilterMapper, riid, object);
}

}  // namespace tm350::dshow
