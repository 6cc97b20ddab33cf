// An in-process server that stands in for the platform's memory allocator
// (CLSID_MemoryAllocator) in tests of code that creates one through COM. It
// keeps the properties it is given and hands out no buffers.
#include <windows.h>
#include <objbase.h>
#include <strmif.h>
#include <uuids.h>
#include <vfwmsgs.h>

namespace {

LONG g_objects = 0;

class Allocator : public IMemAllocator {
public:
    Allocator() { InterlockedIncrement(&g_objects); }
    virtual ~Allocator() { InterlockedDecrement(&g_objects); }

    STDMETHODIMP QueryInterface(REFIID riid, void **ppv) override {
        if (ppv == NULL) return E_POINTER;
        if (riid == IID_IUnknown || riid == IID_IMemAllocator) {
            *ppv = static_cast<IMemAllocator *>(this);
            AddRef();
            return S_OK;
        }
        *ppv = NULL;
        return E_NOINTERFACE;
    }
    STDMETHODIMP_(ULONG) AddRef() override { return InterlockedIncrement(&references_); }
    STDMETHODIMP_(ULONG) Release() override {
        LONG left = InterlockedDecrement(&references_);
        if (left == 0) delete this;
        return left;
    }
    STDMETHODIMP SetProperties(ALLOCATOR_PROPERTIES *request, ALLOCATOR_PROPERTIES *actual) override {
        if (request == NULL || actual == NULL) return E_POINTER;
        properties_ = *request;
        *actual = *request;
        return S_OK;
    }
    STDMETHODIMP GetProperties(ALLOCATOR_PROPERTIES *properties) override {
        if (properties == NULL) return E_POINTER;
        *properties = properties_;
        return S_OK;
    }
    STDMETHODIMP Commit() override { return S_OK; }
    STDMETHODIMP Decommit() override { return S_OK; }
    STDMETHODIMP GetBuffer(IMediaSample **sample, REFERENCE_TIME *, REFERENCE_TIME *, DWORD) override {
        if (sample != NULL) *sample = NULL;
        return VFW_E_NOT_COMMITTED;
    }
    STDMETHODIMP ReleaseBuffer(IMediaSample *) override { return S_OK; }

private:
    LONG references_ = 1;
    ALLOCATOR_PROPERTIES properties_ = {};
};

class Factory : public IClassFactory {
public:
    STDMETHODIMP QueryInterface(REFIID riid, void **ppv) override {
        if (ppv == NULL) return E_POINTER;
        if (riid == IID_IUnknown || riid == IID_IClassFactory) {
            *ppv = static_cast<IClassFactory *>(this);
            return S_OK;
        }
        *ppv = NULL;
        return E_NOINTERFACE;
    }
    STDMETHODIMP_(ULONG) AddRef() override { return 2; }
    STDMETHODIMP_(ULONG) Release() override { return 1; }
    STDMETHODIMP CreateInstance(IUnknown *outer, REFIID riid, void **ppv) override {
        if (ppv == NULL) return E_POINTER;
        *ppv = NULL;
        if (outer != NULL) return CLASS_E_NOAGGREGATION;
        Allocator *allocator = new Allocator();
        HRESULT hr = allocator->QueryInterface(riid, ppv);
        allocator->Release();
        return hr;
    }
    STDMETHODIMP LockServer(BOOL) override { return S_OK; }
};

Factory g_factory;

}  // namespace

STDAPI DllGetClassObject(REFCLSID rclsid, REFIID riid, LPVOID *ppv) {
    if (ppv == NULL) return E_POINTER;
    *ppv = NULL;
    if (rclsid != CLSID_MemoryAllocator) return CLASS_E_CLASSNOTAVAILABLE;
    return g_factory.QueryInterface(riid, ppv);
}

STDAPI DllCanUnloadNow() { return g_objects == 0 ? S_OK : S_FALSE; }
