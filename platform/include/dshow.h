// Everything a filter or a capture application uses of the media framework.
#pragma once

#define AM_NOVTABLE

#include <windows.h>
#include <olectl.h>

#ifndef NUMELMS
#define NUMELMS(array) (sizeof(array) / sizeof((array)[0]))
#endif

#include <strmif.h>
#include <amvideo.h>
#include <control.h>
#include <evcode.h>
#include <uuids.h>
#include <vfwmsgs.h>

#ifndef OATRUE
#define OATRUE (-1)
#endif
#ifndef OAFALSE
#define OAFALSE (0)
#endif
