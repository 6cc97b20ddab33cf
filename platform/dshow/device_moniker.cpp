#include "dshow/device_moniker.h"

#include "dshow/property_bag.h"
#include "dshow/registry_key.h"

#include <ocidl.h>

#include <cstring>
#include <cwctype>
#include <new>

namespace tm350::dshow {

namespace {

// Display names compare as the registry compares key names.
bool SameName(const char16_t *a, const std::u16string &b) {
    size_t index = 0;
    for (; a[index] != 0 && index < b.size(); ++index) {
        if (towlower(a[index]) != towlower(b[index])) return false;
    }
    return a[index] == 0 && index == b.size();
}

}  // namespace

DeviceMoniker::DeviceMoniker(REFCLSID category, std::u16string instance)
    : category_(category), instance_(std::move(instance)) {}

std::u16string DeviceMoniker::KeyPath() const {
    return u"CLSID\\" + GuidString(category_) + u"\\Instance\\" + instance_;
}

// "@device:sw:{category}\{instance}", as Windows names a filter registered
// in software categories.
std::u16string DeviceMoniker::DisplayName() const { return u"@device:sw:" + GuidString(category_) + u"\\" + instance_; }

STDMETHODIMP DeviceMoniker::QueryInterface(REFIID riid, void **object) {
    if (object == nullptr) return E_POINTER;
    *object = nullptr;
    if (riid == IID_IUnknown || riid == IID_IPersist || riid == IID_IPersistStream || riid == IID_IMoniker) {
        return Give(static_cast<IMoniker *>(this), object);
    }
    return E_NOINTERFACE;
}

// Creates the filter named by the key's CLSID value through COM; a filter
// that keeps its settings in a property bag is loaded from this one.
STDMETHODIMP DeviceMoniker::BindToObject(IBindCtx *context, IMoniker *left, REFIID riid, void **object) {
    if (object == nullptr) return E_POINTER;
    *object = nullptr;
    RegistryKey key;
    if (LSTATUS status = RegistryKey::Open(HKEY_CLASSES_ROOT, KeyPath(), key); status != ERROR_SUCCESS) {
        return FromRegistry(status);
    }
    auto text = key.String(L"CLSID");
    std::optional<GUID> clsid = text ? ParseGuid(*text) : std::nullopt;
    if (!clsid) return HRESULT_FROM_WIN32(ERROR_FILE_NOT_FOUND);
    IUnknown *created = nullptr;
    HRESULT hr = CoCreateInstance(*clsid, nullptr, CLSCTX_INPROC_SERVER, IID_IUnknown,
                                  reinterpret_cast<void **>(&created));
    if (FAILED(hr)) return hr;
    IPersistPropertyBag *persist = nullptr;
    if (SUCCEEDED(created->QueryInterface(IID_IPersistPropertyBag, reinterpret_cast<void **>(&persist)))) {
        auto *bag = new (std::nothrow) PropertyBag(KeyPath());
        hr = bag ? persist->Load(bag, nullptr) : E_OUTOFMEMORY;
        if (bag) bag->Release();
        persist->Release();
        if (FAILED(hr)) {
            created->Release();
            return hr;
        }
    }
    hr = created->QueryInterface(riid, object);
    created->Release();
    return hr;
}

STDMETHODIMP DeviceMoniker::BindToStorage(IBindCtx *context, IMoniker *left, REFIID riid, void **object) {
    if (object == nullptr) return E_POINTER;
    *object = nullptr;
    if (riid != IID_IPropertyBag && riid != IID_IUnknown) return E_NOINTERFACE;
    auto *bag = new (std::nothrow) PropertyBag(KeyPath());
    if (bag == nullptr) return E_OUTOFMEMORY;
    HRESULT hr = bag->QueryInterface(riid, object);
    bag->Release();
    return hr;
}

STDMETHODIMP DeviceMoniker::GetDisplayName(IBindCtx *context, IMoniker *left, LPOLESTR *name) {
    if (name == nullptr) return E_POINTER;
    std::u16string text = DisplayName();
    *name = static_cast<LPOLESTR>(CoTaskMemAlloc((text.size() + 1) * sizeof(WCHAR)));
    if (*name == nullptr) return E_OUTOFMEMORY;
    std::memcpy(*name, Wide(text), (text.size() + 1) * sizeof(WCHAR));
    return S_OK;
}

STDMETHODIMP DeviceMoniker::IsEqual(IMoniker *other) {
    if (other == nullptr) return E_INVALIDARG;
    LPOLESTR other_name = nullptr;
    if (FAILED(other->GetDisplayName(nullptr, nullptr, &other_name))) return S_FALSE;
    bool same = SameName(reinterpret_cast<const char16_t *>(other_name), DisplayName());
    CoTaskMemFree(other_name);
    return same ? S_OK : S_FALSE;
}

STDMETHODIMP DeviceMoniker::Hash(DWORD *hash) {
    if (hash == nullptr) return E_POINTER;
    DWORD value = 2166136261u;
    for (char16_t character : DisplayName()) value = (value ^ static_cast<DWORD>(towlower(character))) * 16777619u;
    *hash = value;
    return S_OK;
}

STDMETHODIMP DeviceMoniker::IsSystemMoniker(DWORD *kind) {
    if (kind == nullptr) return E_POINTER;
    *kind = 0;  // MKSYS_NONE: not one of the system's generic monikers
    return S_FALSE;
}

// What a device moniker does not do: persistence into streams, composition
// and the running object table.
STDMETHODIMP DeviceMoniker::GetClassID(CLSID *clsid) { return E_NOTIMPL; }
STDMETHODIMP DeviceMoniker::IsDirty() { return S_FALSE; }
STDMETHODIMP DeviceMoniker::Load(IStream *stream) { return E_NOTIMPL; }
STDMETHODIMP DeviceMoniker::Save(IStream *stream, BOOL clear_dirty) { return E_NOTIMPL; }
STDMETHODIMP DeviceMoniker::GetSizeMax(ULARGE_INTEGER *size) { return E_NOTIMPL; }
STDMETHODIMP DeviceMoniker::Reduce(IBindCtx *context, DWORD how_far, IMoniker **left, IMoniker **reduced) {
    return MK_S_REDUCED_TO_SELF;
}
STDMETHODIMP DeviceMoniker::ComposeWith(IMoniker *right, BOOL only_if_not_generic, IMoniker **composite) {
    return E_NOTIMPL;
}
STDMETHODIMP DeviceMoniker::Enum(BOOL forward, IEnumMoniker **enumerator) {
    if (enumerator == nullptr) return E_POINTER;
    *enumerator = nullptr;
    return S_OK;
}
STDMETHODIMP DeviceMoniker::IsRunning(IBindCtx *context, IMoniker *left, IMoniker *newly_running) { return S_FALSE; }
STDMETHODIMP DeviceMoniker::GetTimeOfLastChange(IBindCtx *context, IMoniker *left, FILETIME *time) {
    return E_NOTIMPL;
}
STDMETHODIMP DeviceMoniker::Inverse(IMoniker **inverse) { return E_NOTIMPL; }
STDMETHODIMP DeviceMoniker::CommonPrefixWith(IMoniker *other, IMoniker **prefix) { return E_NOTIMPL; }
STDMETHODIMP DeviceMoniker::RelativePathTo(IMoniker *other, IMoniker **relative) { return E_NOTIMPL; }
STDMETHODIMP DeviceMoniker::ParseDisplayName(IBindCtx *context, IMoniker *left, LPOLESTR display_name, ULONG *eaten,
                                             IMoniker **result) {
    return E_NOTIMPL;
}

}  // namespace tm350::dshow
