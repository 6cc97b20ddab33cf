// Media type records: copies own their format blocks, equality and partial
// matches, and the bitmap helpers.
#include <gtest/gtest.h>

#include <cstring>

#include "framework/test_doubles.h"

namespace framework_test {
namespace {

TEST(MediaType, ANewTypeIsFixedSizeWithSampleSizeOne) {
    CMediaType type;
    EXPECT_TRUE(IsEqualGUID(*type.Type(), GUID_NULL));
    EXPECT_TRUE(type.IsFixedSize());
    EXPECT_EQ(type.lSampleSize, 1u);
    EXPECT_EQ(type.FormatLength(), 0u);
    EXPECT_FALSE(type.IsValid());
    type.SetSampleSize(0);
    EXPECT_FALSE(type.IsFixedSize());
    EXPECT_EQ(type.GetSampleSize(), 0u);
    type.SetSampleSize(300);
    EXPECT_TRUE(type.IsFixedSize());
    EXPECT_EQ(type.GetSampleSize(), 300u);
}

TEST(MediaType, CopiesOwnTheirFormatAndReferenceTheUnknown) {
    CMediaType original = VideoType(MEDIASUBTYPE_RGB24, 5, 88);
    auto *extra = new TestClock(0);
    original.pUnk = extra;
    extra->AddRef();
    {
        CMediaType copy(original);
        EXPECT_NE(copy.Format(), original.Format());
        EXPECT_EQ(memcmp(copy.Format(), original.Format(), 88), 0);
        EXPECT_EQ(extra->references(), 3u);
        EXPECT_TRUE(copy == original);
        copy = copy;  // assigning to itself changes nothing
        EXPECT_EQ(copy.FormatLength(), 88u);
        EXPECT_EQ(extra->references(), 3u);
    }
    EXPECT_EQ(extra->references(), 2u);

    AM_MEDIA_TYPE *record = CreateMediaType(&original);
    ASSERT_NE(record, nullptr);
    EXPECT_EQ(record->cbFormat, 88u);
    EXPECT_EQ(record->pbFormat[0], 5);
    DeleteMediaType(record);
    DeleteMediaType(NULL);
    EXPECT_EQ(extra->references(), 2u);
    EXPECT_EQ(CopyMediaType(NULL, &original), E_POINTER);

    FreeMediaType(original);
    EXPECT_EQ(original.pbFormat, nullptr);
    EXPECT_EQ(original.cbFormat, 0u);
    EXPECT_EQ(original.pUnk, nullptr);
    EXPECT_EQ(extra->references(), 1u);
    extra->Release();
}

TEST(MediaType, EqualityLooksAtTypesAndFormatNotSampleFlags) {
    CMediaType a = VideoType(MEDIASUBTYPE_RGB24, 1);
    CMediaType b = VideoType(MEDIASUBTYPE_RGB24, 1);
    b.SetSampleSize(0);
    b.SetTemporalCompression(TRUE);
    EXPECT_TRUE(a == b);
    CMediaType other_format = VideoType(MEDIASUBTYPE_RGB24, 2);
    EXPECT_TRUE(a != other_format);
    CMediaType longer_format = VideoType(MEDIASUBTYPE_RGB24, 1, 17);
    EXPECT_TRUE(a != longer_format);
    CMediaType other_subtype = VideoType(MEDIASUBTYPE_RGB32, 1);
    EXPECT_TRUE(a != other_subtype);
}

TEST(MediaType, PartialMatches) {
    CMediaType full = VideoType(MEDIASUBTYPE_RGB24, 1);
    EXPECT_FALSE(full.IsPartiallySpecified());
    CMediaType video(&MEDIATYPE_Video);
    EXPECT_TRUE(video.IsPartiallySpecified());
    EXPECT_TRUE(full.MatchesPartial(&video));
    CMediaType audio(&MEDIATYPE_Audio);
    EXPECT_FALSE(full.MatchesPartial(&audio));
    CMediaType rgb32(&MEDIATYPE_Video);
    rgb32.SetSubtype(&MEDIASUBTYPE_RGB32);
    EXPECT_FALSE(full.MatchesPartial(&rgb32));
    CMediaType anything;
    EXPECT_TRUE(full.MatchesPartial(&anything));
    // With a format type, the format must be the same too.
    CMediaType other_format = VideoType(MEDIASUBTYPE_RGB24, 9);
    other_format.SetType(&GUID_NULL);
    EXPECT_FALSE(full.MatchesPartial(&other_format));
    CMediaType same_format = VideoType(MEDIASUBTYPE_RGB24, 1);
    same_format.SetType(&GUID_NULL);
    EXPECT_TRUE(full.MatchesPartial(&same_format));
}

TEST(MediaType, FormatBuffers) {
    CMediaType type;
    BYTE *block = type.AllocFormatBuffer(10);
    ASSERT_NE(block, nullptr);
    EXPECT_EQ(type.AllocFormatBuffer(10), block);  // same length keeps it
    EXPECT_EQ(type.FormatLength(), 10u);
    const BYTE bytes[4] = {1, 2, 3, 4};
    ASSERT_TRUE(type.SetFormat(bytes, 4));
    EXPECT_EQ(type.FormatLength(), 4u);
    EXPECT_EQ(memcmp(type.Format(), bytes, 4), 0);
    ASSERT_NE(type.ReallocFormatBuffer(8), nullptr);
    EXPECT_EQ(memcmp(type.Format(), bytes, 4), 0);
    type.ResetFormatBuffer();
    EXPECT_EQ(type.Format(), nullptr);
    EXPECT_EQ(type.FormatLength(), 0u);
}

TEST(BitmapHelpers, SizeHasDwordAlignedRows) {
    BITMAPINFOHEADER header = {};
    header.biSize = sizeof(header);
    header.biWidth = 1024;
    header.biHeight = 768;
    header.biBitCount = 24;
    EXPECT_EQ(GetBitmapSize(&header), 2359296u);
    header.biHeight = -768;
    EXPECT_EQ(GetBitmapSize(&header), 2359296u);
    header.biWidth = 3;  // 9 bytes, padded to 12
    header.biHeight = 2;
    EXPECT_EQ(GetBitmapSize(&header), 24u);
    header.biBitCount = 1;
    header.biWidth = 33;  // 33 bits: two DWORDs
    EXPECT_EQ(GetBitmapSize(&header), 16u);
}

TEST(BitmapHelpers, SubtypeFromTheHeader) {
    struct {
        BITMAPINFOHEADER header;
        DWORD masks[3];
    } bitmap = {};
    BITMAPINFOHEADER &header = bitmap.header;
    header.biSize = sizeof(header);
    header.biCompression = BI_RGB;
    const struct {
        WORD bits;
        const GUID *subtype;
    } by_bits[] = {{1, &MEDIASUBTYPE_RGB1},   {4, &MEDIASUBTYPE_RGB4},    {8, &MEDIASUBTYPE_RGB8},
                   {16, &MEDIASUBTYPE_RGB555}, {24, &MEDIASUBTYPE_RGB24}, {32, &MEDIASUBTYPE_RGB32},
                   {12, &GUID_NULL}};
    for (const auto &expected : by_bits) {
        header.biBitCount = expected.bits;
        EXPECT_TRUE(IsEqualGUID(GetBitmapSubtype(&header), *expected.subtype)) << expected.bits;
    }
    header.biBitCount = 16;
    header.biCompression = BI_BITFIELDS;
    bitmap.masks[0] = 0xF800;
    bitmap.masks[1] = 0x07E0;
    bitmap.masks[2] = 0x001F;
    EXPECT_TRUE(IsEqualGUID(GetBitmapSubtype(&header), MEDIASUBTYPE_RGB565));
    bitmap.masks[0] = 0x7C00;
    bitmap.masks[1] = 0x03E0;
    EXPECT_TRUE(IsEqualGUID(GetBitmapSubtype(&header), MEDIASUBTYPE_RGB555));
    bitmap.masks[0] = 0xFF00;
    EXPECT_TRUE(IsEqualGUID(GetBitmapSubtype(&header), GUID_NULL));

    // A compressed format: its four-character code in the common base.
    header.biCompression = 0x32595559;  // 'YUY2'
    GUID yuy2 = GetBitmapSubtype(&header);
    EXPECT_EQ(yuy2.Data1, 0x32595559u);
    EXPECT_EQ(yuy2.Data2, 0x0000);
    EXPECT_EQ(yuy2.Data3, 0x0010);
    const BYTE tail[8] = {0x80, 0x00, 0x00, 0xAA, 0x00, 0x38, 0x9B, 0x71};
    EXPECT_EQ(memcmp(yuy2.Data4, tail, 8), 0);
}

}  // namespace
}  // namespace framework_test
