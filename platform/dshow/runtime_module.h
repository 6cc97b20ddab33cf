// A runtime module's class table and the class object it hands out for
// each entry. A module (quartz, devenum, qedit) lists its classes, one line
// each, and answers DllGetClassObject and DllCanUnloadNow from the table.
#pragma once

#include <windows.h>
#include <objbase.h>

#include <span>

namespace tm350::dshow {

// Creates a new object and asks it for `riid`; the object's own creation
// reference is dropped, so on success the caller holds the only one.
using CreateFunction = HRESULT (*)(REFIID riid, void **object);

struct RuntimeClass {
    const CLSID *clsid;
    CreateFunction create;
};

HRESULT GetClassObject(std::span<const RuntimeClass> classes, REFCLSID clsid, REFIID riid, void **object);
HRESULT CanUnloadNow();

// Helper for create functions: hands out `riid` of a fresh object and
// drops the creation reference.
template <class Object>
HRESULT CreateAndQuery(Object *created, REFIID riid, void **object) {
    if (created == nullptr) return E_OUTOFMEMORY;
    HRESULT hr = created->QueryInterface(riid, object);
    created->Release();
    return hr;
}

}  // namespace tm350::dshow
