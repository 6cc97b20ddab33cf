// Module-wide facts the property pages read when they are constructed.
#pragma once

#include <windows.h>

// 1 when the user's default language is Simplified Chinese, so the pages
// load their Chinese dialog templates and titles; set once at load.
extern DWORD g_bChineseResources;
