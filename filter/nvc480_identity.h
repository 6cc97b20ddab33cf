// Who each build of the capture filter module is: the device instance it
// opens, the name it appears under among the video input devices and its
// class identifiers. The 32-bit and 64-bit builds of one instance share all
// of them. Constants are plain const (internal linkage): a unique symbol
// would pin a module in memory.
#pragma once

#include <windows.h>
#include <objbase.h>

// The identifiers as initialisers, so that each is written once.
#define NVC480_CLSID_FILTER_0 {0x5d605a2b, 0xacde, 0x49cd, {0x96, 0x42, 0x7b, 0x26, 0x89, 0x23, 0xac, 0xd9}}
#define NVC480_CLSID_SETUP_PAGE_0 {0x72b4b28b, 0x9df6, 0x4e69, {0x9e, 0x00, 0xf1, 0xee, 0x51, 0x00, 0x1a, 0xdd}}
#define NVC480_CLSID_SIZE_PAGE_0 {0xe16c6003, 0x9217, 0x4626, {0x83, 0xb0, 0x75, 0x7c, 0x9e, 0xa4, 0x7e, 0x53}}
#define NVC480_FRIENDLY_NAME_0 L"TM350Mt CCD USB2.0 Camera"
#define NVC480_CLSID_FILTER_2 {0x080f7e03, 0xac50, 0x4949, {0xaa, 0xca, 0xe7, 0x9f, 0x82, 0xd3, 0x09, 0x9f}}
#define NVC480_CLSID_SETUP_PAGE_2 {0x871d8dc2, 0x84a4, 0x4d1f, {0x99, 0xd5, 0x2a, 0x4e, 0x3b, 0xe2, 0xe8, 0x7c}}
#define NVC480_CLSID_SIZE_PAGE_2 {0xa7b202ab, 0xa508, 0x4235, {0x9c, 0x97, 0xc2, 0x57, 0x99, 0x78, 0x25, 0x90}}
#define NVC480_FRIENDLY_NAME_2 L"TM350Mt_2 CCD USB2.0 Camera"

struct CNVC480Identity {
    int instance;          // the digit of the device path "\\.\TM350-N"
    LPCWSTR friendlyName;  // factory template, registration and device entry
    CLSID filter;          // CLSID_NVC480Filter
    CLSID setupPage;       // CLSID_NVC480SetupPage
    CLSID sizePage;        // CLSID_NVC480SizePage
};

// Instance 0, then instance 2: what a program that looks for either needs.
const CNVC480Identity kNVC480Identities[2] = {
    {0, NVC480_FRIENDLY_NAME_0, NVC480_CLSID_FILTER_0, NVC480_CLSID_SETUP_PAGE_0, NVC480_CLSID_SIZE_PAGE_0},
    {2, NVC480_FRIENDLY_NAME_2, NVC480_CLSID_FILTER_2, NVC480_CLSID_SETUP_PAGE_2, NVC480_CLSID_SIZE_PAGE_2},
};

// Inside a module, the build's own identity; the build says which instance
// it is with TM350_INSTANCE.
#ifdef TM350_INSTANCE
#if TM350_INSTANCE == 0
const CLSID CLSID_NVC480Filter = NVC480_CLSID_FILTER_0;
const CLSID CLSID_NVC480SetupPage = NVC480_CLSID_SETUP_PAGE_0;
const CLSID CLSID_NVC480SizePage = NVC480_CLSID_SIZE_PAGE_0;
#define NVC480_FRIENDLY_NAME NVC480_FRIENDLY_NAME_0
#elif TM350_INSTANCE == 2
const CLSID CLSID_NVC480Filter = NVC480_CLSID_FILTER_2;
const CLSID CLSID_NVC480SetupPage = NVC480_CLSID_SETUP_PAGE_2;
const CLSID CLSID_NVC480SizePage = NVC480_CLSID_SIZE_PAGE_2;
#define NVC480_FRIENDLY_NAME NVC480_FRIENDLY_NAME_2
#else
#error "TM350_INSTANCE is 0 or 2"
#endif
#define NVC480_INSTANCE TM350_INSTANCE
#endif
