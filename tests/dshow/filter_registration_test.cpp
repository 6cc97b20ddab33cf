// Filters registered through both mappers, as the registry keeps them, and
// found again through the system device enumerator.
#include "runtime_test_support.h"

#include <initguid.h>

#include <cstring>
#include <string>
#include <vector>

namespace tm350::test {
namespace {

// Classes and a category of this test's own.
DEFINE_GUID(CLSID_TestFilterA, 0x1d0e5a10, 0x7c3b, 0x4e21, 0x9a, 0x6f, 0x10, 0x20, 0x30, 0x40, 0x50, 0x01);
DEFINE_GUID(CLSID_TestFilterB, 0x1d0e5a10, 0x7c3b, 0x4e21, 0x9a, 0x6f, 0x10, 0x20, 0x30, 0x40, 0x50, 0x02);
DEFINE_GUID(CLSID_TestCategory, 0x1d0e5a10, 0x7c3b, 0x4e21, 0x9a, 0x6f, 0x10, 0x20, 0x30, 0x40, 0x50, 0xCA);

// wchar_t is the 16-bit Windows one here, but std::wstring is the C++
// library's, built with 32: Windows text lives in u16strings.
LPCWSTR Wide(const std::u16string &text) { return reinterpret_cast<LPCWSTR>(text.c_str()); }
std::u16string Text(LPCWSTR text) { return reinterpret_cast<const char16_t *>(text); }

std::u16string Text(REFGUID guid) {
    WCHAR text[39];
    StringFromGUID2(guid, text, 39);
    return Text(static_cast<LPCWSTR>(text));
}

std::u16string InstanceKey(REFCLSID category, const std::u16string &instance) {
    return u"CLSID\\" + Text(category) + u"\\Instance\\" + instance;
}

bool KeyExists(const std::u16string &path) {
    HKEY key = nullptr;
    if (RegOpenKeyExW(HKEY_CLASSES_ROOT, Wide(path), 0, KEY_READ, &key) != ERROR_SUCCESS) return false;
    RegCloseKey(key);
    return true;
}

std::vector<BYTE> ValueBytes(const std::u16string &path, const wchar_t *name, DWORD expected_type) {
    HKEY key = nullptr;
    if (RegOpenKeyExW(HKEY_CLASSES_ROOT, Wide(path), 0, KEY_READ, &key) != ERROR_SUCCESS) return {};
    BYTE data[1024];
    DWORD type = 0, size = sizeof data;
    LSTATUS status = RegQueryValueExW(key, name, nullptr, &type, data, &size);
    RegCloseKey(key);
    if (status != ERROR_SUCCESS || type != expected_type) return {};
    return std::vector<BYTE>(data, data + size);
}

std::u16string StringValue(const std::u16string &path, const wchar_t *name) {
    std::vector<BYTE> bytes = ValueBytes(path, name, REG_SZ);
    std::u16string text(bytes.size() / sizeof(char16_t), u'\0');
    if (!text.empty()) std::memcpy(text.data(), bytes.data(), text.size() * sizeof(char16_t));
    while (!text.empty() && text.back() == u'\0') text.pop_back();
    return text;
}

DWORD DwordValue(const std::u16string &path, const wchar_t *name) {
    std::vector<BYTE> bytes = ValueBytes(path, name, REG_DWORD);
    DWORD value = 0xFFFFFFFF;
    if (bytes.size() == 4) std::memcpy(&value, bytes.data(), 4);
    return value;
}

// The stored record, written out by hand: a DWORD per entry.
std::vector<BYTE> Dwords(std::initializer_list<DWORD> values) {
    std::vector<BYTE> bytes;
    for (DWORD value : values) {
        const auto *raw = reinterpret_cast<const BYTE *>(&value);
        bytes.insert(bytes.end(), raw, raw + 4);
    }
    return bytes;
}
DWORD Tag(const char (&text)[5]) {
    DWORD tag = 0;
    std::memcpy(&tag, text, 4);
    return tag;
}
void AppendGuid(std::vector<BYTE> &bytes, REFGUID guid) {
    const auto *raw = reinterpret_cast<const BYTE *>(&guid);
    bytes.insert(bytes.end(), raw, raw + sizeof(GUID));
}

class FilterRegistration : public RuntimeTest {
protected:
    void SetUp() override {
        RuntimeTest::SetUp();
        mapper_ = Create<IFilterMapper2>(CLSID_FilterMapper2, IID_IFilterMapper2);
        ASSERT_NE(mapper_, nullptr);
    }
    void TearDown() override {
        if (mapper_) mapper_->Release();
        RuntimeTest::TearDown();
    }

    std::vector<std::u16string> FriendlyNamesIn(REFCLSID category, HRESULT expected = S_OK) {
        Held<ICreateDevEnum> enumerator;
        enumerator.pointer = Create<ICreateDevEnum>(CLSID_SystemDeviceEnum, IID_ICreateDevEnum);
        std::vector<std::u16string> names;
        if (!enumerator.pointer) return names;
        IEnumMoniker *monikers = reinterpret_cast<IEnumMoniker *>(1);
        EXPECT_EQ(enumerator->CreateClassEnumerator(category, &monikers, 0), expected);
        if (expected != S_OK) {
            EXPECT_EQ(monikers, nullptr);
            return names;
        }
        IMoniker *moniker = nullptr;
        while (monikers->Next(1, &moniker, nullptr) == S_OK) {
            IPropertyBag *bag = nullptr;
            EXPECT_EQ(moniker->BindToStorage(nullptr, nullptr, IID_IPropertyBag, reinterpret_cast<void **>(&bag)),
                      S_OK);
            VARIANT name;
            VariantInit(&name);
            EXPECT_EQ(bag->Read(L"FriendlyName", &name, nullptr), S_OK);
            EXPECT_EQ(name.vt, VT_BSTR);
            names.push_back(Text(name.bstrVal));
            VariantClear(&name);
            bag->Release();
            moniker->Release();
        }
        monikers->Release();
        return names;
    }

    IFilterMapper2 *mapper_ = nullptr;
};

TEST_F(FilterRegistration, AVersionTwoRecordIsStoredInTheLegacyCategoryWithItsFilterData) {
    REGPINTYPES types[] = {{&MEDIATYPE_Video, &MEDIASUBTYPE_RGB24}, {&MEDIATYPE_Video, &MEDIASUBTYPE_YUY2}};
    REGFILTERPINS2 pin{};
    pin.dwFlags = REG_PINFLAG_B_OUTPUT;
    pin.cInstances = 1;
    pin.nMediaTypes = 2;
    pin.lpMediaType = types;
    REGFILTER2 registration{};
    registration.dwVersion = 2;
    registration.dwMerit = MERIT_NORMAL;
    registration.cPins2 = 1;
    registration.rgPins2 = &pin;
    ASSERT_EQ(mapper_->RegisterFilter(CLSID_TestFilterA, L"Test Filter A", nullptr, nullptr, nullptr, &registration),
              S_OK);

    const std::u16string key = InstanceKey(CLSID_LegacyAmFilterCategory, Text(CLSID_TestFilterA));
    EXPECT_EQ(StringValue(key, L"FriendlyName"), u"Test Filter A");
    EXPECT_EQ(StringValue(key, L"CLSID"), Text(CLSID_TestFilterA));
    // Header, one pin, two types; then the pool, where the major type both
    // types share is stored once (offset 72).
    std::vector<BYTE> expected = Dwords({2, MERIT_NORMAL, 1, 0,                      //
                                         Tag("0pi3"), REG_PINFLAG_B_OUTPUT, 1, 2, 0, 0,  //
                                         Tag("0ty3"), 0, 72, 88,                   //
                                         Tag("1ty3"), 0, 72, 104});
    AppendGuid(expected, MEDIATYPE_Video);
    AppendGuid(expected, MEDIASUBTYPE_RGB24);
    AppendGuid(expected, MEDIASUBTYPE_YUY2);
    EXPECT_EQ(ValueBytes(key, L"FilterData", REG_BINARY), expected);
}

TEST_F(FilterRegistration, AVersionOneRecordIsStoredWithItsBooleansAsPinFlags) {
    REGPINTYPES type = {&MEDIATYPE_Video, nullptr};
    REGFILTERPINS pin{};
    pin.strName = const_cast<LPWSTR>(L"Input");
    pin.bRendered = TRUE;
    pin.bMany = TRUE;
    pin.nMediaTypes = 1;
    pin.lpMediaType = &type;
    REGFILTER2 registration{};
    registration.dwVersion = 1;
    registration.dwMerit = MERIT_UNLIKELY;
    registration.cPins = 1;
    registration.rgPins = &pin;
    ASSERT_EQ(mapper_->RegisterFilter(CLSID_TestFilterB, L"Test Filter B", nullptr, &CLSID_TestCategory, L"B",
                                      &registration),
              S_OK);
    std::vector<BYTE> expected = Dwords({2, MERIT_UNLIKELY, 1, 0,  //
                                         Tag("0pi3"), REG_PINFLAG_B_RENDERER | REG_PINFLAG_B_MANY, 0, 1, 0, 0,
                                         Tag("0ty3"), 0, 56, 72});
    AppendGuid(expected, MEDIATYPE_Video);
    AppendGuid(expected, GUID_NULL);  // no subtype: any
    EXPECT_EQ(ValueBytes(InstanceKey(CLSID_TestCategory, u"B"), L"FilterData", REG_BINARY), expected);
}

TEST_F(FilterRegistration, UnregisteringRemovesTheInstanceAndASecondTimeFindsNothing) {
    REGFILTER2 registration{};
    registration.dwVersion = 2;
    registration.dwMerit = MERIT_NORMAL;
    ASSERT_EQ(mapper_->RegisterFilter(CLSID_TestFilterA, L"A", nullptr, &CLSID_TestCategory, nullptr, &registration),
              S_OK);
    const std::u16string key = InstanceKey(CLSID_TestCategory, Text(CLSID_TestFilterA));
    ASSERT_TRUE(KeyExists(key));
    EXPECT_EQ(mapper_->UnregisterFilter(&CLSID_TestCategory, nullptr, CLSID_TestFilterA), S_OK);
    EXPECT_FALSE(KeyExists(key));
    EXPECT_EQ(mapper_->UnregisterFilter(&CLSID_TestCategory, nullptr, CLSID_TestFilterA),
              HRESULT_FROM_WIN32(ERROR_FILE_NOT_FOUND));

    REGFILTER2 unknown_version{};
    unknown_version.dwVersion = 3;
    EXPECT_EQ(mapper_->RegisterFilter(CLSID_TestFilterA, L"A", nullptr, nullptr, nullptr, &unknown_version),
              E_INVALIDARG);
}

TEST_F(FilterRegistration, ACategoryIsRegisteredAmongTheCategories) {
    ASSERT_EQ(mapper_->CreateCategory(CLSID_TestCategory, MERIT_NORMAL, L"Test Category"), S_OK);
    const std::u16string key = InstanceKey(CLSID_ActiveMovieCategories, Text(CLSID_TestCategory));
    EXPECT_EQ(StringValue(key, L"FriendlyName"), u"Test Category");
    EXPECT_EQ(StringValue(key, L"CLSID"), Text(CLSID_TestCategory));
    EXPECT_EQ(DwordValue(key, L"Merit"), static_cast<DWORD>(MERIT_NORMAL));
}

TEST_F(FilterRegistration, TheFirstMapperKeepsFiltersAndPinsWhereItAlwaysDid) {
    Held<IFilterMapper> mapper;
    mapper.pointer = Create<IFilterMapper>(CLSID_FilterMapper, IID_IFilterMapper);
    ASSERT_NE(mapper.pointer, nullptr);
    ASSERT_EQ(mapper->RegisterFilter(CLSID_TestFilterA, L"Old Filter", MERIT_PREFERRED), S_OK);
    ASSERT_EQ(mapper->RegisterPin(CLSID_TestFilterA, L"Out", FALSE, TRUE, FALSE, TRUE, GUID_NULL, nullptr), S_OK);
    ASSERT_EQ(mapper->RegisterPinType(CLSID_TestFilterA, L"Out", MEDIATYPE_Video, MEDIASUBTYPE_RGB24), S_OK);

    const std::u16string class_key = u"CLSID\\" + Text(CLSID_TestFilterA);
    EXPECT_EQ(StringValue(u"Filter\\" + Text(CLSID_TestFilterA), nullptr), u"Old Filter");
    EXPECT_EQ(StringValue(class_key, nullptr), u"Old Filter");
    EXPECT_EQ(DwordValue(class_key, L"Merit"), static_cast<DWORD>(MERIT_PREFERRED));
    const std::u16string pin = class_key + u"\\Pins\\Out";
    EXPECT_EQ(DwordValue(pin, L"Direction"), static_cast<DWORD>(PINDIR_OUTPUT));
    EXPECT_EQ(DwordValue(pin, L"AllowedMany"), 1u);
    EXPECT_EQ(DwordValue(pin, L"AllowedZero"), 0u);
    EXPECT_EQ(DwordValue(pin, L"IsRendered"), 0u);
    EXPECT_TRUE(KeyExists(pin + u"\\Types\\" + Text(MEDIATYPE_Video) + u"\\" + Text(MEDIASUBTYPE_RGB24)));

    EXPECT_EQ(mapper->UnregisterPin(CLSID_TestFilterA, L"Out"), S_OK);
    EXPECT_FALSE(KeyExists(pin));
    EXPECT_EQ(mapper->UnregisterPin(CLSID_TestFilterA, L"Out"), HRESULT_FROM_WIN32(ERROR_FILE_NOT_FOUND));
    EXPECT_EQ(mapper->UnregisterFilter(CLSID_TestFilterA), S_OK);
    EXPECT_FALSE(KeyExists(u"Filter\\" + Text(CLSID_TestFilterA)));
    EXPECT_EQ(DwordValue(class_key, L"Merit"), 0xFFFFFFFFu);
    EXPECT_EQ(mapper->UnregisterFilter(CLSID_TestFilterA), HRESULT_FROM_WIN32(ERROR_FILE_NOT_FOUND));
}

TEST_F(FilterRegistration, AnEmptyOrUnknownCategoryEnumeratesAsSFalseWithoutAnEnumerator) {
    FriendlyNamesIn(CLSID_TestCategory, S_FALSE);
    REGFILTER2 registration{};
    registration.dwVersion = 2;
    ASSERT_EQ(mapper_->RegisterFilter(CLSID_TestFilterA, L"A", nullptr, &CLSID_TestCategory, nullptr, &registration),
              S_OK);
    ASSERT_EQ(mapper_->UnregisterFilter(&CLSID_TestCategory, nullptr, CLSID_TestFilterA), S_OK);
    // The Instance key is still there, with nothing in it.
    FriendlyNamesIn(CLSID_TestCategory, S_FALSE);
}

TEST_F(FilterRegistration, TheEnumeratorListsACategorysFiltersInAStableOrder) {
    REGFILTER2 registration{};
    registration.dwVersion = 2;
    for (const wchar_t *instance : {L"Zeta", L"alpha", L"Mid"}) {
        std::u16string name = u"Filter " + Text(instance);
        ASSERT_EQ(mapper_->RegisterFilter(CLSID_TestFilterA, Wide(name), nullptr, &CLSID_TestCategory, instance,
                                          &registration),
                  S_OK);
    }
    std::vector<std::u16string> expected = {u"Filter alpha", u"Filter Mid", u"Filter Zeta"};
    EXPECT_EQ(FriendlyNamesIn(CLSID_TestCategory), expected);
    EXPECT_EQ(FriendlyNamesIn(CLSID_TestCategory), expected);
}

TEST_F(FilterRegistration, AMonikerNamesItsFilterAndBindsToItThroughCom) {
    // Any registered class binds; the memory allocator stands in for a filter.
    REGFILTER2 registration{};
    registration.dwVersion = 2;
    IMoniker *moniker = nullptr;
    ASSERT_EQ(mapper_->RegisterFilter(CLSID_MemoryAllocator, L"Pool", &moniker, &CLSID_TestCategory, L"pool",
                                      &registration),
              S_OK);
    ASSERT_NE(moniker, nullptr);
    LPOLESTR display_name = nullptr;
    ASSERT_EQ(moniker->GetDisplayName(nullptr, nullptr, &display_name), S_OK);
    EXPECT_EQ(Text(display_name), u"@device:sw:" + Text(CLSID_TestCategory) + u"\\pool");
    CoTaskMemFree(display_name);

    IPropertyBag *bag = nullptr;
    ASSERT_EQ(moniker->BindToStorage(nullptr, nullptr, IID_IPropertyBag, reinterpret_cast<void **>(&bag)), S_OK);
    VARIANT value;
    VariantInit(&value);
    ASSERT_EQ(bag->Read(L"CLSID", &value, nullptr), S_OK);
    ASSERT_EQ(value.vt, VT_BSTR);
    EXPECT_EQ(Text(value.bstrVal), Text(CLSID_MemoryAllocator));
    VariantClear(&value);
    EXPECT_EQ(bag->Read(L"Missing", &value, nullptr), HRESULT_FROM_WIN32(ERROR_FILE_NOT_FOUND));
    bag->Release();

    IMemAllocator *allocator = nullptr;
    ASSERT_EQ(moniker->BindToObject(nullptr, nullptr, IID_IMemAllocator, reinterpret_cast<void **>(&allocator)), S_OK);
    allocator->Release();
    moniker->Release();
}

TEST_F(FilterRegistration, AFilterFoundInItsCategoryBindsAsAFilter) {
    REGFILTER2 registration{};
    registration.dwVersion = 2;
    registration.dwMerit = MERIT_DO_NOT_USE;
    ASSERT_EQ(mapper_->RegisterFilter(CLSID_NullRenderer, L"Null Renderer", nullptr, &CLSID_TestCategory, nullptr,
                                      &registration),
              S_OK);
    Held<ICreateDevEnum> enumerator;
    enumerator.pointer = Create<ICreateDevEnum>(CLSID_SystemDeviceEnum, IID_ICreateDevEnum);
    Held<IEnumMoniker> monikers;
    ASSERT_EQ(enumerator->CreateClassEnumerator(CLSID_TestCategory, &monikers, 0), S_OK);
    Held<IMoniker> moniker;
    ASSERT_EQ(monikers->Next(1, &moniker, nullptr), S_OK);
    Held<IBaseFilter> filter;
    ASSERT_EQ(moniker->BindToObject(nullptr, nullptr, IID_IBaseFilter, reinterpret_cast<void **>(&filter)), S_OK);
    CLSID clsid{};
    ASSERT_EQ(filter->GetClassID(&clsid), S_OK);
    EXPECT_EQ(clsid, CLSID_NullRenderer);
    EXPECT_EQ(monikers->Next(1, &moniker, nullptr), S_FALSE);
}

}  // namespace
}  // namespace tm350::test
