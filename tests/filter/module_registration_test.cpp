// The module's registration as a program installs it: its COM classes, its
// entry among all filters and its entry among the video input devices, for
// both instances side by side, and their removal.
#include "capture_module_fixture.h"

#include <cstring>
#include <optional>
#include <vector>

namespace filter_test {
namespace {

LPCWSTR Wide(const std::u16string &text) { return reinterpret_cast<LPCWSTR>(text.c_str()); }

std::u16string Text(REFGUID guid) {
    WCHAR text[39];
    StringFromGUID2(guid, text, 39);
    return filter_test::Text(static_cast<LPCWSTR>(text));
}

bool KeyExists(const std::u16string &path) {
    HKEY key = nullptr;
    if (RegOpenKeyExW(HKEY_CLASSES_ROOT, Wide(path), 0, KEY_READ, &key) != ERROR_SUCCESS) return false;
    RegCloseKey(key);
    return true;
}

std::vector<BYTE> ValueBytes(const std::u16string &path, LPCWSTR name, DWORD expected_type) {
    HKEY key = nullptr;
    if (RegOpenKeyExW(HKEY_CLASSES_ROOT, Wide(path), 0, KEY_READ, &key) != ERROR_SUCCESS) return {};
    std::vector<BYTE> data(4096);
    DWORD type = 0, size = static_cast<DWORD>(data.size());
    LSTATUS status = RegQueryValueExW(key, name, nullptr, &type, data.data(), &size);
    RegCloseKey(key);
    if (status != ERROR_SUCCESS || type != expected_type) return {};
    data.resize(size);
    return data;
}

std::u16string StringValue(const std::u16string &path, LPCWSTR name) {
    std::vector<BYTE> bytes = ValueBytes(path, name, REG_SZ);
    std::u16string text(bytes.size() / sizeof(char16_t), u'\0');
    if (!text.empty()) std::memcpy(text.data(), bytes.data(), text.size() * sizeof(char16_t));
    while (!text.empty() && text.back() == u'\0') text.pop_back();
    return text;
}

std::u16string InstanceKey(REFCLSID category, const std::u16string &instance) {
    return u"CLSID\\" + Text(category) + u"\\Instance\\" + instance;
}

// What a stored FilterData record says: merit, and per pin its flags,
// instances, media types and category.
struct StoredPin {
    DWORD flags = 0;
    DWORD instances = 0;
    std::vector<std::pair<GUID, GUID>> types;
    std::optional<GUID> category;
};
struct StoredFilter {
    DWORD merit = 0;
    std::vector<StoredPin> pins;
};

std::optional<StoredFilter> ReadFilterData(const std::vector<BYTE> &data) {
    auto dword = [&](size_t offset) -> std::optional<DWORD> {
        if (offset + 4 > data.size()) return std::nullopt;
        DWORD value;
        std::memcpy(&value, &data[offset], 4);
        return value;
    };
    auto guid = [&](size_t offset) -> std::optional<GUID> {
        if (offset + sizeof(GUID) > data.size()) return std::nullopt;
        GUID value;
        std::memcpy(&value, &data[offset], sizeof value);
        return value;
    };
    StoredFilter filter;
    auto merit = dword(4), pins = dword(8);
    if (!merit || !pins || *pins > 16) return std::nullopt;
    filter.merit = *merit;
    size_t at = 16;
    for (DWORD p = 0; p < *pins; p++) {
        StoredPin pin;
        auto flags = dword(at + 4), instances = dword(at + 8), types = dword(at + 12), mediums = dword(at + 16),
             category = dword(at + 20);
        if (!flags || !instances || !types || !mediums || !category || *types > 16) return std::nullopt;
        pin.flags = *flags;
        pin.instances = *instances;
        if (*category != 0) pin.category = guid(*category);
        at += 24;
        for (DWORD t = 0; t < *types; t++) {
            auto major = dword(at + 8), sub = dword(at + 12);
            if (!major || !sub) return std::nullopt;
            auto major_guid = guid(*major), sub_guid = guid(*sub);
            if (!major_guid || !sub_guid) return std::nullopt;
            pin.types.emplace_back(*major_guid, *sub_guid);
            at += 16;
        }
        at += 4 * *mediums;
        filter.pins.push_back(pin);
    }
    return filter;
}

void ExpectOneVideoRgb24OutputPin(const StoredFilter &filter) {
    EXPECT_EQ(filter.merit, static_cast<DWORD>(MERIT_DO_NOT_USE));
    ASSERT_EQ(filter.pins.size(), 1u);
    const StoredPin &pin = filter.pins[0];
    EXPECT_EQ(pin.flags, static_cast<DWORD>(REG_PINFLAG_B_OUTPUT));
    ASSERT_EQ(pin.types.size(), 1u);
    EXPECT_TRUE(IsEqualGUID(pin.types[0].first, MEDIATYPE_Video));
    EXPECT_TRUE(IsEqualGUID(pin.types[0].second, MEDIASUBTYPE_RGB24));
}

std::vector<std::u16string> VideoInputDevices() {
    std::vector<std::u16string> names;
    Ref<ICreateDevEnum> enumerator;
    EXPECT_EQ(CoCreateInstance(CLSID_SystemDeviceEnum, nullptr, CLSCTX_INPROC_SERVER, IID_ICreateDevEnum,
                               enumerator.ReceiveVoid()),
              S_OK);
    Ref<IEnumMoniker> monikers;
    if (!enumerator || enumerator->CreateClassEnumerator(CLSID_VideoInputDeviceCategory, monikers.Receive(), 0) != S_OK)
        return names;
    IMoniker *moniker = nullptr;
    while (monikers->Next(1, &moniker, nullptr) == S_OK) {
        Ref<IPropertyBag> bag;
        if (SUCCEEDED(moniker->BindToStorage(nullptr, nullptr, IID_IPropertyBag, bag.ReceiveVoid()))) {
            VARIANT name;
            VariantInit(&name);
            if (SUCCEEDED(bag->Read(L"FriendlyName", &name, nullptr)) && name.vt == VT_BSTR)
                names.push_back(filter_test::Text(name.bstrVal));
            VariantClear(&name);
        }
        moniker->Release();
    }
    return names;
}

using ModuleRegistration = CaptureModuleTest;

TEST_F(ModuleRegistration, BothInstancesAreVideoInputDevicesUnderTheirOwnNames) {
    std::vector<std::u16string> devices = VideoInputDevices();
    ASSERT_EQ(devices.size(), 2u);
    for (const CNVC480Identity &identity : kNVC480Identities) {
        SCOPED_TRACE(identity.instance);
        std::u16string name = filter_test::Text(identity.friendlyName);
        EXPECT_NE(std::find(devices.begin(), devices.end(), name), devices.end());
        std::u16string device = InstanceKey(CLSID_VideoInputDeviceCategory, name);
        EXPECT_EQ(StringValue(device, L"FriendlyName"), name);
        EXPECT_EQ(StringValue(device, L"CLSID"), Text(identity.filter));
        std::optional<StoredFilter> stored = ReadFilterData(ValueBytes(device, L"FilterData", REG_BINARY));
        ASSERT_TRUE(stored);
        ExpectOneVideoRgb24OutputPin(*stored);
        ASSERT_EQ(stored->pins.size(), 1u);
        EXPECT_EQ(stored->pins[0].instances, 1u);
        ASSERT_TRUE(stored->pins[0].category);
        EXPECT_TRUE(IsEqualGUID(*stored->pins[0].category, PIN_CATEGORY_CAPTURE));
    }
}

TEST_F(ModuleRegistration, EachInstanceIsAFilterAndAComServerOfItsModule) {
    for (const CNVC480Identity &identity : kNVC480Identities) {
        SCOPED_TRACE(identity.instance);
        std::u16string name = filter_test::Text(identity.friendlyName);
        std::u16string filter = InstanceKey(CLSID_LegacyAmFilterCategory, Text(identity.filter));
        EXPECT_EQ(StringValue(filter, L"FriendlyName"), name);
        std::optional<StoredFilter> stored = ReadFilterData(ValueBytes(filter, L"FilterData", REG_BINARY));
        ASSERT_TRUE(stored);
        ExpectOneVideoRgb24OutputPin(*stored);

        std::u16string server = u"CLSID\\" + Text(identity.filter);
        EXPECT_EQ(StringValue(server, nullptr), name);
        std::string module = ModulePath(identity.instance).string();
        EXPECT_EQ(StringValue(server + u"\\InprocServer32", nullptr), std::u16string(module.begin(), module.end()));
        EXPECT_EQ(StringValue(server + u"\\InprocServer32", L"ThreadingModel"), u"Both");
        // Both property pages are servers of the same module.
        const std::pair<CLSID, const char16_t *> pages[] = {{identity.sizePage, u"NVC480 SizePage"},
                                                            {identity.setupPage, u"NVC480 SetupPage"}};
        for (const auto &[page, page_name] : pages) {
            std::u16string page_server = u"CLSID\\" + Text(page);
            EXPECT_EQ(StringValue(page_server, nullptr), page_name);
            EXPECT_EQ(StringValue(page_server + u"\\InprocServer32", nullptr),
                      std::u16string(module.begin(), module.end()));
        }
    }
}

TEST_F(ModuleRegistration, UnregisteringRemovesEveryEntryOfThatInstanceOnly) {
    ASSERT_EQ(CallModuleEntry(ModulePath(2), "DllUnregisterServer"), S_OK);
    const CNVC480Identity &gone = kNVC480Identities[1];
    EXPECT_FALSE(KeyExists(InstanceKey(CLSID_VideoInputDeviceCategory, filter_test::Text(gone.friendlyName))));
    EXPECT_FALSE(KeyExists(InstanceKey(CLSID_LegacyAmFilterCategory, Text(gone.filter))));
    EXPECT_FALSE(KeyExists(u"CLSID\\" + Text(gone.filter)));
    EXPECT_FALSE(KeyExists(u"CLSID\\" + Text(gone.setupPage)));
    EXPECT_FALSE(KeyExists(u"CLSID\\" + Text(gone.sizePage)));
    EXPECT_TRUE(KeyExists(u"CLSID\\" + Text(kNVC480Identities[0].setupPage)));
    Ref<IBaseFilter> filter;
    EXPECT_EQ(CoCreateInstance(gone.filter, nullptr, CLSCTX_INPROC_SERVER, IID_IBaseFilter, filter.ReceiveVoid()),
              REGDB_E_CLASSNOTREG);

    std::vector<std::u16string> devices = VideoInputDevices();
    ASSERT_EQ(devices.size(), 1u);
    EXPECT_EQ(devices[0], filter_test::Text(kNVC480Identities[0].friendlyName));
    EXPECT_TRUE(CreateFilter(0));

    // A second removal finds no device entry and says so; nothing else changes.
    EXPECT_EQ(CallModuleEntry(ModulePath(2), "DllUnregisterServer"), HRESULT_FROM_WIN32(ERROR_FILE_NOT_FOUND));
    EXPECT_EQ(VideoInputDevices().size(), 1u);
    // Registering again restores it.
    ASSERT_EQ(CallModuleEntry(ModulePath(2), "DllRegisterServer"), S_OK);
    EXPECT_EQ(VideoInputDevices().size(), 2u);
}

TEST_F(ModuleRegistration, RegistersFromAThreadWithoutCom) {
    // Installers call the entry points from threads of their own.
    CoUninitialize();
    EXPECT_EQ(CallModuleEntry(ModulePath(0), "DllUnregisterServer"), S_OK);
    EXPECT_EQ(CallModuleEntry(ModulePath(0), "DllRegisterServer"), S_OK);
    ASSERT_TRUE(SUCCEEDED(CoInitializeEx(nullptr, COINIT_MULTITHREADED)));
    EXPECT_EQ(VideoInputDevices().size(), 2u);
}

TEST_F(ModuleRegistration, TheDeviceEnumeratorCreatesTheFilterOfEachEntry) {
    Ref<ICreateDevEnum> enumerator;
    ASSERT_EQ(CoCreateInstance(CLSID_SystemDeviceEnum, nullptr, CLSCTX_INPROC_SERVER, IID_ICreateDevEnum,
                               enumerator.ReceiveVoid()),
              S_OK);
    Ref<IEnumMoniker> monikers;
    ASSERT_EQ(enumerator->CreateClassEnumerator(CLSID_VideoInputDeviceCategory, monikers.Receive(), 0), S_OK);
    IMoniker *moniker = nullptr;
    int created = 0;
    while (monikers->Next(1, &moniker, nullptr) == S_OK) {
        Ref<IBaseFilter> filter;
        EXPECT_EQ(moniker->BindToObject(nullptr, nullptr, IID_IBaseFilter, filter.ReceiveVoid()), S_OK);
        if (filter) {
            Ref<INVC480> control = Query<INVC480>(filter.Get(), IID_INVC480);
            EXPECT_TRUE(control);
            created++;
        }
        moniker->Release();
    }
    EXPECT_EQ(created, 2);
}

}  // namespace
}  // namespace filter_test
