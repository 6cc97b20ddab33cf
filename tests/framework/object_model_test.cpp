// COM identity, reference counting, aggregation, the class objects and the
// module's unload answer.
#include <gtest/gtest.h>

#include <thread>
#include <vector>

#include "framework/module_templates.h"
#include "framework/test_filter.h"

namespace framework_test {
namespace {

// An outer object that aggregates the test filter and counts its own
// references.
class Outer : public Counted<IUnknown> {
public:
    STDMETHODIMP QueryInterface(REFIID riid, void **ppv) override {
        if (IsEqualIID(riid, IID_IUnknown)) {
            *ppv = this;
            AddRef();
            return S_OK;
        }
        return inner != NULL ? inner->QueryInterface(riid, ppv) : E_NOINTERFACE;
    }
    IUnknown *inner = NULL;
};

IClassFactory *FactoryFor(REFCLSID clsid) {
    IClassFactory *factory = NULL;
    EXPECT_EQ(DllGetClassObject(clsid, IID_IClassFactory, reinterpret_cast<void **>(&factory)), S_OK);
    return factory;
}

TEST(ObjectModel, QueryInterfaceOfTheInnerUnknown) {
    HRESULT hr = S_OK;
    auto *filter = new TestSourceFilter(NULL, &hr);
    filter->NonDelegatingAddRef();
    EXPECT_EQ(filter->NonDelegatingQueryInterface(IID_IUnknown, NULL), E_POINTER);
    void *out = reinterpret_cast<void *>(1);
    EXPECT_EQ(filter->NonDelegatingQueryInterface(IID_IMemAllocator, &out), E_NOINTERFACE);
    EXPECT_EQ(out, nullptr);
    IUnknown *unknown = NULL;
    ASSERT_EQ(filter->NonDelegatingQueryInterface(IID_IUnknown, reinterpret_cast<void **>(&unknown)), S_OK);
    EXPECT_EQ(filter->references(), 2);
    // Every interface leads back to the same identity.
    IBaseFilter *base = NULL;
    ASSERT_EQ(unknown->QueryInterface(IID_IBaseFilter, reinterpret_cast<void **>(&base)), S_OK);
    IUnknown *again = NULL;
    ASSERT_EQ(base->QueryInterface(IID_IUnknown, reinterpret_cast<void **>(&again)), S_OK);
    EXPECT_EQ(again, unknown);
    again->Release();
    base->Release();
    unknown->Release();
    EXPECT_EQ(filter->NonDelegatingRelease(), 0u);
}

TEST(ObjectModel, TheLastReleaseDeletesOnceAndTheModuleCountFollows) {
    LONG before = CBaseObject::ObjectsActive();
    HRESULT hr = S_OK;
    auto *filter = new TestSourceFilter(NULL, &hr, 2);
    // The filter and its two pins.
    EXPECT_EQ(CBaseObject::ObjectsActive(), before + 3);
    EXPECT_EQ(filter->NonDelegatingAddRef(), 1u);
    EXPECT_EQ(filter->NonDelegatingAddRef(), 2u);
    EXPECT_EQ(filter->NonDelegatingRelease(), 1u);
    EXPECT_EQ(filter->NonDelegatingRelease(), 0u);
    EXPECT_EQ(CBaseObject::ObjectsActive(), before);
}

TEST(ObjectModel, GetInterfaceRefusesANullOut) {
    TestClock *clock = new TestClock(0);
    EXPECT_EQ(GetInterface(clock, NULL), E_POINTER);
    void *out = NULL;
    EXPECT_EQ(GetInterface(clock, &out), S_OK);
    EXPECT_EQ(out, clock);
    EXPECT_EQ(clock->references(), 2u);
    clock->Release();
    clock->Release();
}

TEST(ClassObjects, AreHandedOutForTheModulesClassesOnly) {
    LONG before = CBaseObject::ObjectsActive();
    void *out = reinterpret_cast<void *>(1);
    EXPECT_EQ(DllGetClassObject(CLSID_TestSourceFilter, IID_IClassFactory, NULL), E_POINTER);
    EXPECT_EQ(DllGetClassObject(CLSID_TestSourceFilter, IID_IBaseFilter, &out), E_NOINTERFACE);
    EXPECT_EQ(out, nullptr);
    EXPECT_EQ(CBaseObject::ObjectsActive(), before);  // no factory made
    out = reinterpret_cast<void *>(1);
    EXPECT_EQ(DllGetClassObject(CLSID_MemoryAllocator, IID_IClassFactory, &out), CLASS_E_CLASSNOTAVAILABLE);
    EXPECT_EQ(out, nullptr);

    for (const IID *iid : {&IID_IClassFactory, &IID_IUnknown}) {
        for (const CLSID *clsid : {&CLSID_TestSourceFilter, &CLSID_ScriptedClass}) {
            IUnknown *object = NULL;
            ASSERT_EQ(DllGetClassObject(*clsid, *iid, reinterpret_cast<void **>(&object)), S_OK);
            EXPECT_EQ(CBaseObject::ObjectsActive(), before + 1);
            EXPECT_EQ(DllCanUnloadNow(), S_FALSE);  // a live factory holds the module
            IClassFactory *factory = NULL;
            ASSERT_EQ(object->QueryInterface(IID_IClassFactory, reinterpret_cast<void **>(&factory)), S_OK);
            EXPECT_EQ(factory->QueryInterface(IID_IBaseFilter, &out), E_NOINTERFACE);
            EXPECT_EQ(factory->QueryInterface(IID_IUnknown, NULL), E_POINTER);
            EXPECT_EQ(factory->Release(), 1u);
            EXPECT_EQ(object->Release(), 0u);
            EXPECT_EQ(CBaseObject::ObjectsActive(), before);
        }
    }
}

TEST(ClassObjects, CreateAnObjectWithTheRequestedInterface) {
    IClassFactory *factory = FactoryFor(CLSID_TestSourceFilter);
    ASSERT_NE(factory, nullptr);
    LONG before = CBaseObject::ObjectsActive();
    EXPECT_EQ(factory->CreateInstance(NULL, IID_IBaseFilter, NULL), E_POINTER);
    void *out = reinterpret_cast<void *>(1);
    // A refused interface leaves nothing alive.
    EXPECT_EQ(factory->CreateInstance(NULL, IID_IMemAllocator, &out), E_NOINTERFACE);
    EXPECT_EQ(out, nullptr);
    EXPECT_EQ(CBaseObject::ObjectsActive(), before);

    IBaseFilter *filter = NULL;
    ASSERT_EQ(factory->CreateInstance(NULL, IID_IBaseFilter, reinterpret_cast<void **>(&filter)), S_OK);
    CLSID clsid = GUID_NULL;
    EXPECT_EQ(filter->GetClassID(&clsid), S_OK);
    EXPECT_TRUE(IsEqualCLSID(clsid, CLSID_TestSourceFilter));
    EXPECT_EQ(filter->Release(), 0u);
    EXPECT_EQ(CBaseObject::ObjectsActive(), before);
    factory->Release();
}

TEST(ClassObjects, ACreationFailureIsReturnedAndLeavesNoObject) {
    IClassFactory *factory = FactoryFor(CLSID_ScriptedClass);
    ASSERT_NE(factory, nullptr);
    LONG before = CBaseObject::ObjectsActive();
    IUnknown *object = reinterpret_cast<IUnknown *>(1);
    // Null with a success: out of memory.
    ScriptNextCreation(S_OK, false);
    EXPECT_EQ(factory->CreateInstance(NULL, IID_IUnknown, reinterpret_cast<void **>(&object)), E_OUTOFMEMORY);
    EXPECT_EQ(object, nullptr);
    ScriptNextCreation(E_ACCESSDENIED, false);
    EXPECT_EQ(factory->CreateInstance(NULL, IID_IUnknown, reinterpret_cast<void **>(&object)), E_ACCESSDENIED);
    // An object built with a failure is deleted.
    ScriptNextCreation(E_FAIL, true);
    EXPECT_EQ(factory->CreateInstance(NULL, IID_IUnknown, reinterpret_cast<void **>(&object)), E_FAIL);
    EXPECT_EQ(object, nullptr);
    EXPECT_EQ(CBaseObject::ObjectsActive(), before);
    factory->Release();
}

TEST(ClassObjects, AggregationHandsTheOuterObjectTheInnerUnknown) {
    IClassFactory *factory = FactoryFor(CLSID_TestSourceFilter);
    ASSERT_NE(factory, nullptr);
    LONG before = CBaseObject::ObjectsActive();
    auto *outer = new Outer;
    void *out = reinterpret_cast<void *>(1);
    EXPECT_EQ(factory->CreateInstance(outer, IID_IBaseFilter, &out), E_NOINTERFACE);
    EXPECT_EQ(out, nullptr);
    EXPECT_EQ(CBaseObject::ObjectsActive(), before);

    ASSERT_EQ(factory->CreateInstance(outer, IID_IUnknown, reinterpret_cast<void **>(&outer->inner)), S_OK);
    ASSERT_NE(outer->inner, nullptr);
    // The inner object's interfaces count references on the outer object.
    IBaseFilter *filter = NULL;
    ASSERT_EQ(outer->QueryInterface(IID_IBaseFilter, reinterpret_cast<void **>(&filter)), S_OK);
    EXPECT_EQ(outer->references(), 2u);
    IUnknown *identity = NULL;
    ASSERT_EQ(filter->QueryInterface(IID_IUnknown, reinterpret_cast<void **>(&identity)), S_OK);
    EXPECT_EQ(identity, outer);
    EXPECT_EQ(outer->references(), 3u);
    identity->Release();
    filter->Release();
    EXPECT_EQ(outer->references(), 1u);
    EXPECT_EQ(outer->inner->Release(), 0u);
    EXPECT_EQ(CBaseObject::ObjectsActive(), before);
    outer->Release();
    factory->Release();
}

TEST(ClassObjects, ServerLocksKeepTheModuleLoaded) {
    ASSERT_EQ(DllCanUnloadNow(), S_OK);
    IClassFactory *factory = FactoryFor(CLSID_TestSourceFilter);
    ASSERT_NE(factory, nullptr);
    EXPECT_EQ(factory->LockServer(TRUE), S_OK);
    EXPECT_EQ(factory->LockServer(TRUE), S_OK);
    factory->Release();
    // No object is alive, but the locks hold the module.
    EXPECT_EQ(CBaseObject::ObjectsActive(), 0);
    EXPECT_EQ(DllCanUnloadNow(), S_FALSE);
    factory = FactoryFor(CLSID_TestSourceFilter);
    EXPECT_EQ(factory->LockServer(FALSE), S_OK);
    factory->Release();
    EXPECT_EQ(DllCanUnloadNow(), S_FALSE);
    factory = FactoryFor(CLSID_TestSourceFilter);
    EXPECT_EQ(factory->LockServer(FALSE), S_OK);
    factory->Release();
    EXPECT_EQ(DllCanUnloadNow(), S_OK);
}

TEST(ClassObjects, ReferencesFromManyThreadsAreNotLost) {
    IClassFactory *factory = FactoryFor(CLSID_TestSourceFilter);
    ASSERT_NE(factory, nullptr);
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; t++) {
        threads.emplace_back([factory] {
            for (int i = 0; i < 200000; i++) {
                factory->AddRef();
                factory->Release();
            }
        });
    }
    for (std::thread &thread : threads) thread.join();
    EXPECT_EQ(factory->AddRef(), 2u);
    EXPECT_EQ(factory->Release(), 1u);
    EXPECT_EQ(factory->Release(), 0u);
    EXPECT_EQ(CBaseObject::ObjectsActive(), 0);
}

TEST(ModuleEntry, RecordsTheInstanceAndRunsTheInitRoutines) {
    int loads = init_routine_loads;
    int unloads = init_routine_unloads;
    HINSTANCE program = GetModuleHandleW(NULL);
    EXPECT_TRUE(DllEntryPoint(program, DLL_PROCESS_ATTACH, NULL));
    EXPECT_EQ(g_hInst, program);
    EXPECT_EQ(g_amPlatform, static_cast<DWORD>(VER_PLATFORM_WIN32_NT));
    EXPECT_EQ(init_routine_loads, loads + 1);
    EXPECT_EQ(init_routine_unloads, unloads);
    EXPECT_TRUE(DllEntryPoint(program, DLL_PROCESS_DETACH, NULL));
    EXPECT_EQ(init_routine_unloads, unloads + 1);
}

}  // namespace
}  // namespace framework_test
