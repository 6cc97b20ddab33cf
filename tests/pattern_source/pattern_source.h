// The test pattern source: a capture-like filter module that the tests and
// the sample programs load through COM. It is registered under a category
// of its own, so that device enumeration and graph building can be tried
// without a camera. Its one output pin delivers small RGB24 pictures whose
// bytes are (sample number + byte offset) mod 256, stamped one frame period
// apart from 0 each time streaming starts.
//
// Two optional DWORD values of its device entry (read through the property
// bag when the device enumerator creates it) end the stream:
//   Samples  after this many samples the stream ends (absent or 0: never);
//   Failure  the HRESULT the fill then returns instead of S_FALSE, a
//            failure making the graph report EC_ERRORABORT.
#pragma once

#include <windows.h>

// Constants of internal linkage: an inline variable would be a unique
// symbol, which the dynamic linker never unloads, and so would pin the
// module in memory.

// {7A1F3C20-9E4B-4D61-8C2A-5B3E1F0D9A01}
const CLSID CLSID_TestPatternSource = {
    0x7a1f3c20, 0x9e4b, 0x4d61, {0x8c, 0x2a, 0x5b, 0x3e, 0x1f, 0x0d, 0x9a, 0x01}};
// The category it registers its device entry under.
// {7A1F3C20-9E4B-4D61-8C2A-5B3E1F0D9ACA}
const CLSID CLSID_TestSourceCategory = {
    0x7a1f3c20, 0x9e4b, 0x4d61, {0x8c, 0x2a, 0x5b, 0x3e, 0x1f, 0x0d, 0x9a, 0xca}};

// The friendly name and instance name of its device entry.
#define TEST_PATTERN_SOURCE_NAME L"TM350 Test Pattern"

const LONG kTestPatternWidth = 64;
const LONG kTestPatternHeight = 48;
const LONG kTestPatternSampleSize = kTestPatternWidth * kTestPatternHeight * 3;
// 30 frames a second, in 100 ns units.
const LONGLONG kTestPatternFramePeriod = 333333;
