#include "dshow/runtime_module.h"

#include "dshow/com_object.h"

#include <new>

namespace tm350::dshow {

namespace {

std::atomic<long> g_module_references{0};

// The class object of one table entry. IClassFactory::LockServer keeps the
// module loaded without an object, as COM documents.
class ClassFactory final : public ComObject<IClassFactory> {
public:
    explicit ClassFactory(CreateFunction create) : create_(create) {}

    STDMETHODIMP QueryInterface(REFIID riid, void **object) override {
        if (object == nullptr) return E_POINTER;
        *object = nullptr;
        if (riid == IID_IUnknown || riid == IID_IClassFactory) return Give(static_cast<IClassFactory *>(this), object);
        return E_NOINTERFACE;
    }

    STDMETHODIMP CreateInstance(IUnknown *outer, REFIID riid, void **object) override {
        if (object == nullptr) return E_POINTER;
        *object = nullptr;
        if (outer != nullptr) return CLASS_E_NOAGGREGATION;
        return create_(riid, object);
    }

    STDMETHODIMP LockServer(BOOL lock) override {
        if (lock) {
            AddModuleReference();
        } else {
            ReleaseModuleReference();
        }
        return S_OK;
    }

private:
    CreateFunction create_;
};

}  // namespace

void AddModuleReference() { ++g_module_references; }
void ReleaseModuleReference() { --g_module_references; }
bool ModuleInUse() { return g_module_references.load() != 0; }

HRESULT GetClassObject(std::span<const RuntimeClass> classes, REFCLSID clsid, REFIID riid, void **object) {
    if (object == nullptr) return E_POINTER;
    *object = nullptr;
    for (const RuntimeClass &entry : classes) {
        if (*entry.clsid != clsid) continue;
        auto *factory = new (std::nothrow) ClassFactory(entry.create);
        if (factory == nullptr) return E_OUTOFMEMORY;
        HRESULT hr = factory->QueryInterface(riid, object);
        factory->Release();
        return hr;
    }
    return CLASS_E_CLASSNOTAVAILABLE;
}

HRESULT CanUnloadNow() { return ModuleInUse() ? S_FALSE : S_OK; }

}  // namespace tm350::dshow
