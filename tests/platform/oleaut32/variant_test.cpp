// VARIANT values: clearing frees what a value owns and nothing it only
// refers to; copying duplicates strings and adds object references.
#include <ole2.h>

#include <gtest/gtest.h>

#include <cstring>

namespace {

// An object that only counts its references.
class CountedObject : public IUnknown {
  public:
    STDMETHODIMP QueryInterface(REFIID riid, void **ppv) override {
        *ppv = NULL;
        return E_NOINTERFACE;
    }
    STDMETHODIMP_(ULONG) AddRef() override { return ++references; }
    STDMETHODIMP_(ULONG) Release() override { return --references; }
    ULONG references = 1;
};

VARIANT StringVariant(const OLECHAR *text) {
    VARIANT value;
    VariantInit(&value);
    value.vt = VT_BSTR;
    value.bstrVal = SysAllocString(text);
    return value;
}

TEST(Variant, InitMakesAnEmptyValueWhateverWasThere) {
    VARIANT value;
    memset(&value, 0xA5, sizeof(value));
    VariantInit(&value);
    EXPECT_EQ(value.vt, VT_EMPTY);
    EXPECT_EQ(VariantClear(&value), S_OK);
}

TEST(Variant, ClearReleasesAnObjectItHoldsOnceAndLeavesItEmpty) {
    CountedObject object;
    VARIANT value;
    VariantInit(&value);
    value.vt = VT_UNKNOWN;
    value.punkVal = &object;
    object.AddRef();
    EXPECT_EQ(VariantClear(&value), S_OK);
    EXPECT_EQ(object.references, 1u);
    EXPECT_EQ(value.vt, VT_EMPTY);
    EXPECT_EQ(VariantClear(&value), S_OK);
    EXPECT_EQ(object.references, 1u) << "an empty value owns nothing";
}

TEST(Variant, ClearLeavesWhatAReferenceVariantPointsAt) {
    CountedObject object;
    IUnknown *pointer = &object;
    VARIANT value;
    VariantInit(&value);
    value.vt = VT_UNKNOWN | VT_BYREF;
    value.ppunkVal = &pointer;
    EXPECT_EQ(VariantClear(&value), S_OK);
    EXPECT_EQ(object.references, 1u);
    EXPECT_EQ(value.vt, VT_EMPTY);
}

TEST(Variant, ClearAndCopyRefuseTypesTheyCannotHandleAndTouchNothing) {
    VARIANT value;
    VariantInit(&value);
    value.vt = 0x7f;
    EXPECT_EQ(VariantClear(&value), DISP_E_BADVARTYPE);
    EXPECT_EQ(value.vt, 0x7f);
    value.vt = VT_VARIANT;  // only meaningful by reference
    EXPECT_EQ(VariantClear(&value), DISP_E_BADVARTYPE);
    value.vt = VT_I4 | VT_VECTOR;
    EXPECT_EQ(VariantClear(&value), DISP_E_BADVARTYPE);

    VARIANT target = StringVariant(L"kept");
    EXPECT_EQ(VariantCopy(&target, &value), DISP_E_BADVARTYPE);
    EXPECT_EQ(target.vt, VT_BSTR);
    EXPECT_EQ(SysStringLen(target.bstrVal), 4u);
    EXPECT_EQ(VariantClear(&target), S_OK);

    EXPECT_EQ(VariantClear(nullptr), E_INVALIDARG);
    EXPECT_EQ(VariantCopy(&target, nullptr), E_INVALIDARG);
}

TEST(Variant, CopyDuplicatesAStringByteForByte) {
    VARIANT source;
    VariantInit(&source);
    source.vt = VT_BSTR;
    const OLECHAR text[] = {'T', 0, 'M'};
    source.bstrVal = SysAllocStringLen(text, 3);
    VARIANT target;
    VariantInit(&target);
    ASSERT_EQ(VariantCopy(&target, &source), S_OK);
    ASSERT_EQ(target.vt, VT_BSTR);
    EXPECT_NE(target.bstrVal, source.bstrVal);
    EXPECT_EQ(SysStringLen(target.bstrVal), 3u);
    EXPECT_EQ(memcmp(target.bstrVal, text, sizeof(text)), 0);
    EXPECT_EQ(VariantClear(&source), S_OK);
    EXPECT_EQ(target.bstrVal[2], 'M') << "the copy outlives its source";
    EXPECT_EQ(VariantClear(&target), S_OK);
}

TEST(Variant, CopyClearsTheTargetFirstAndAddsAReferenceToACopiedObject) {
    CountedObject old_object, new_object;
    VARIANT target;
    VariantInit(&target);
    target.vt = VT_UNKNOWN;
    target.punkVal = &old_object;
    old_object.AddRef();
    VARIANT source;
    VariantInit(&source);
    source.vt = VT_UNKNOWN;
    source.punkVal = &new_object;

    ASSERT_EQ(VariantCopy(&target, &source), S_OK);
    EXPECT_EQ(old_object.references, 1u);
    EXPECT_EQ(new_object.references, 2u);
    EXPECT_EQ(target.punkVal, &new_object);
    EXPECT_EQ(VariantClear(&target), S_OK);
    EXPECT_EQ(new_object.references, 1u);
}

TEST(Variant, CopyOntoItselfKeepsTheValue) {
    VARIANT value = StringVariant(L"same");
    ASSERT_EQ(VariantCopy(&value, &value), S_OK);
    ASSERT_EQ(value.vt, VT_BSTR);
    EXPECT_EQ(SysStringLen(value.bstrVal), 4u);
    EXPECT_EQ(value.bstrVal[0], 's');
    EXPECT_EQ(VariantClear(&value), S_OK);
}

TEST(Variant, PlainValuesCopyAsTheyAre) {
    VARIANT source;
    VariantInit(&source);
    source.vt = VT_I8;
    source.llVal = -350;
    VARIANT target;
    VariantInit(&target);
    ASSERT_EQ(VariantCopy(&target, &source), S_OK);
    EXPECT_EQ(target.vt, VT_I8);
    EXPECT_EQ(target.llVal, -350);
}

}  // namespace
