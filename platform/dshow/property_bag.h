// The property bag of one registered filter or device: the values of its
// Instance key, read and written through IPropertyBag.
#pragma once

#include "dshow/com_object.h"

#include <windows.h>
#include <objbase.h>
#include <oaidl.h>

#include <string>

namespace tm350::dshow {

class PropertyBag final : public ComObject<IPropertyBag> {
public:
    // `key_path` is under HKEY_CLASSES_ROOT; the key is opened per call,
    // so the bag sees the registry as it is at that moment.
    explicit PropertyBag(std::u16string key_path) : key_path_(std::move(key_path)) {}

    STDMETHODIMP QueryInterface(REFIID riid, void **object) override;
    STDMETHODIMP Read(LPCOLESTR name, VARIANT *value, IErrorLog *error_log) override;
    STDMETHODIMP Write(LPCOLESTR name, VARIANT *value) override;

private:
    const std::u16string key_path_;
};

}  // namespace tm350::dshow
