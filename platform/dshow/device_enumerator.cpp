// The system device enumerator (CLSID_SystemDeviceEnum): the filters
// registered in a category, as monikers.
#include "dshow/com_object.h"
#include "dshow/device_moniker.h"
#include "dshow/moniker_enumerator.h"
#include "dshow/registry_key.h"
#include "dshow/runtime_classes.h"

#include <strmif.h>

#include <new>

namespace tm350::dshow {

namespace {

class SystemDeviceEnum final : public ComObject<ICreateDevEnum> {
public:
    STDMETHODIMP QueryInterface(REFIID riid, void **object) override {
        if (object == nullptr) return E_POINTER;
        *object = nullptr;
        if (riid == IID_IUnknown || riid == IID_ICreateDevEnum) return Give(static_cast<ICreateDevEnum *>(this), object);
        return E_NOINTERFACE;
    }

    // One moniker per Instance subkey of the category, in the registry's
    // order; a category that is missing or has no instances gives S_FALSE
    // and no enumerator, as callers of this interface expect.
    STDMETHODIMP CreateClassEnumerator(REFCLSID category, IEnumMoniker **enumerator, DWORD flags) override {
        if (enumerator == nullptr) return E_POINTER;
        *enumerator = nullptr;
        RegistryKey instances;
        std::vector<ComPtr<IMoniker>> monikers;
        if (RegistryKey::Open(HKEY_CLASSES_ROOT, u"CLSID\\" + GuidString(category) + u"\\Instance", instances) ==
            ERROR_SUCCESS) {
            for (const std::u16string &instance : instances.SubkeyNames()) {
                auto *moniker = new (std::nothrow) DeviceMoniker(category, instance);
                if (moniker == nullptr) return E_OUTOFMEMORY;
                monikers.push_back(ComPtr<IMoniker>::Adopt(moniker));
            }
        }
        if (monikers.empty()) return S_FALSE;
        *enumerator = new (std::nothrow) MonikerEnumerator(std::move(monikers));
        return *enumerator != nullptr ? S_OK : E_OUTOFMEMORY;
    }
};

}  // namespace

HRESULT CreateSystemDeviceEnum(REFIID riid, void **object) {
    return CreateAndQuery(new (std::nothrow) SystemDeviceEnum, riid, object);
}

}  // namespace tm350::dshow
