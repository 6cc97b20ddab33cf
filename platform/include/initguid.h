// Included before the headers whose DEFINE_GUIDs this translation unit defines.
#pragma once
#ifndef INITGUID
#define INITGUID
#endif
#include <guiddef.h>
