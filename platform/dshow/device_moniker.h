// A moniker naming one filter registered in a category: the Instance key
// HKCR\CLSID\{category}\Instance\{instance}. It binds to the filter's
// property bag and to the filter itself.
#pragma once

#include "dshow/com_object.h"

#include <windows.h>
#include <objbase.h>
#include <objidl.h>

#include <string>

namespace tm350::dshow {

class DeviceMoniker final : public ComObject<IMoniker> {
public:
    DeviceMoniker(REFCLSID category, std::u16string instance);

    // The Instance key, under HKEY_CLASSES_ROOT.
    std::u16string KeyPath() const;

    STDMETHODIMP QueryInterface(REFIID riid, void **object) override;
    STDMETHODIMP GetClassID(CLSID *clsid) override;
    STDMETHODIMP IsDirty() override;
    STDMETHODIMP Load(IStream *stream) override;
    STDMETHODIMP Save(IStream *stream, BOOL clear_dirty) override;
    STDMETHODIMP GetSizeMax(ULARGE_INTEGER *size) override;
    STDMETHODIMP BindToObject(IBindCtx *context, IMoniker *left, REFIID riid, void **object) override;
    STDMETHODIMP BindToStorage(IBindCtx *context, IMoniker *left, REFIID riid, void **object) override;
    STDMETHODIMP Reduce(IBindCtx *context, DWORD how_far, IMoniker **left, IMoniker **reduced) override;
    STDMETHODIMP ComposeWith(IMoniker *right, BOOL only_if_not_generic, IMoniker **composite) override;
    STDMETHODIMP Enum(BOOL forward, IEnumMoniker **enumerator) override;
    STDMETHODIMP IsEqual(IMoniker *other) override;
    STDMETHODIMP Hash(DWORD *hash) override;
    STDMETHODIMP IsRunning(IBindCtx *context, IMoniker *left, IMoniker *newly_running) override;
    STDMETHODIMP GetTimeOfLastChange(IBindCtx *context, IMoniker *left, FILETIME *time) override;
    STDMETHODIMP Inverse(IMoniker **inverse) override;
    STDMETHODIMP CommonPrefixWith(IMoniker *other, IMoniker **prefix) override;
    STDMETHODIMP RelativePathTo(IMoniker *other, IMoniker **relative) override;
    STDMETHODIMP GetDisplayName(IBindCtx *context, IMoniker *left, LPOLESTR *name) override;
    STDMETHODIMP ParseDisplayName(IBindCtx *context, IMoniker *left, LPOLESTR display_name, ULONG *eaten,
                                  IMoniker **result) override;
    STDMETHODIMP IsSystemMoniker(DWORD *kind) override;

private:
    std::u16string DisplayName() const;

    const CLSID category_;
    const std::u16string instance_;
};

}  // namespace tm350::dshow
