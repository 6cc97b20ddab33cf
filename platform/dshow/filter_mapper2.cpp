// The filter mapper (CLSID_FilterMapper2): filters registered by category,
// each under HKCR\CLSID\{category}\Instance\{instance} with its
// FriendlyName, CLSID and FilterData, where the device enumerator finds
// them.
#include "dshow/com_object.h"
#include "dshow/device_moniker.h"
#include "dshow/filter_data.h"
#include "dshow/registry_key.h"
#include "dshow/runtime_classes.h"

#include <dshow.h>

#include <new>

namespace tm350::dshow {

namespace {

std::u16string InstanceKey(const CLSID *category, LPCOLESTR instance, REFCLSID filter) {
    const CLSID &used_category = category != nullptr ? *category : CLSID_LegacyAmFilterCategory;
    return u"CLSID\\" + GuidString(used_category) + u"\\Instance\\" +
           (instance != nullptr ? Text(instance) : GuidString(filter));
}

class FilterMapper2 final : public ComObject<IFilterMapper2> {
public:
    STDMETHODIMP QueryInterface(REFIID riid, void **object) override {
        if (object == nullptr) return E_POINTER;
        *object = nullptr;
        if (riid == IID_IUnknown || riid == IID_IFilterMapper2) return Give(static_cast<IFilterMapper2 *>(this), object);
        return E_NOINTERFACE;
    }

    // A category is itself registered as an instance of the category of
    // categories, with its name and merit.
    STDMETHODIMP CreateCategory(REFCLSID category, DWORD merit, LPCWSTR description) override {
        RegistryKey key;
        LSTATUS status = RegistryKey::Create(
            HKEY_CLASSES_ROOT, InstanceKey(&CLSID_ActiveMovieCategories, nullptr, category), key);
        if (status == ERROR_SUCCESS) status = key.SetString(L"CLSID", GuidString(category));
        if (status == ERROR_SUCCESS && description != nullptr) status = key.SetString(L"FriendlyName", Text(description));
        if (status == ERROR_SUCCESS) status = key.SetDword(L"Merit", merit);
        return FromRegistry(status);
    }

    // No category means CLSID_LegacyAmFilterCategory, no instance name the
    // filter's CLSID. A registration that is not there gives
    // HRESULT_FROM_WIN32(ERROR_FILE_NOT_FOUND), so a second call fails.
    STDMETHODIMP UnregisterFilter(const CLSID *category, LPCOLESTR instance, REFCLSID filter) override {
        return FromRegistry(RegDeleteTreeW(HKEY_CLASSES_ROOT, Wide(InstanceKey(category, instance, filter))));
    }

    // Version 1 and 2 records are both stored in the version 2 form. A
    // caller's moniker pointer, when given (pointing at null), receives the
    // registration's moniker.
    STDMETHODIMP RegisterFilter(REFCLSID filter, LPCWSTR name, IMoniker **moniker, const CLSID *category,
                                LPCOLESTR instance, const REGFILTER2 *registration) override {
        if (registration == nullptr) return E_POINTER;
        // FIXME: registering at a moniker the caller names is not offered.
        if (moniker != nullptr && *moniker != nullptr) return E_NOTIMPL;
        std::optional<FilterRecord> record = RecordFromRegistration(*registration);
        if (!record) return E_INVALIDARG;
        RegistryKey key;
        LSTATUS status = RegistryKey::Create(HKEY_CLASSES_ROOT, InstanceKey(category, instance, filter), key);
        if (status == ERROR_SUCCESS && name != nullptr) status = key.SetString(L"FriendlyName", Text(name));
        if (status == ERROR_SUCCESS) status = key.SetString(L"CLSID", GuidString(filter));
        if (status == ERROR_SUCCESS) status = key.SetBinary(L"FilterData", EncodeFilterData(*record));
        if (status != ERROR_SUCCESS) return FromRegistry(status);
        if (moniker != nullptr) {
            *moniker = new (std::nothrow) DeviceMoniker(category != nullptr ? *category : CLSID_LegacyAmFilterCategory,
                                                        instance != nullptr ? Text(instance) : GuidString(filter));
            if (*moniker == nullptr) return E_OUTOFMEMORY;
        }
        return S_OK;
    }

    // FIXME: matching by media type, medium and category is not offered.
    STDMETHODIMP EnumMatchingFilters(IEnumMoniker **enumerator, DWORD flags, BOOL exact_match, DWORD merit,
                                     BOOL input_needed, DWORD input_type_count, const GUID *input_types,
                                     const REGPINMEDIUM *input_medium, const CLSID *input_category, BOOL render,
                                     BOOL output_needed, DWORD output_type_count, const GUID *output_types,
                                     const REGPINMEDIUM *output_medium, const CLSID *output_category) override {
        if (enumerator != nullptr) *enumerator = nullptr;
        return E_NOTIMPL;
    }
};

}  // namespace

HRESULT CreateFilterMapper2(REFIID riid, void **object) {
    return CreateAndQuery(new (std::nothrow) FilterMapper2, riid, object);
}

}  // namespace tm350::dshow
