// The interface, class and format identifiers the headers declare, defined
// once for programs to link, as Windows programs link libuuid, libstrmiids
// and libksguid. Definitions are weak, so a program that also defines some of
// them itself (initguid.h) links as well.
#include <initguid.h>

#include <dshow.h>
#include <qedit.h>

// Kernel streaming's identifiers, as libksguid defines them.
#include <ksguid.h>
#include <ks.h>
#include <ksmedia.h>
#include <ksproxy.h>

// Classes Windows' headers do not declare, though its identifier library
// defines them: programs declare them themselves.
EXTERN_C const CLSID CLSID_SampleGrabber;
EXTERN_C const CLSID CLSID_NullRenderer;
DEFINE_GUID(CLSID_SampleGrabber, 0xc1f400a0, 0x3f08, 0x11d3, 0x9f, 0x0b, 0x00, 0x60, 0x08, 0x03, 0x9e, 0x37);
DEFINE_GUID(CLSID_NullRenderer, 0xc1f400a4, 0x3f08, 0x11d3, 0x9f, 0x0b, 0x00, 0x60, 0x08, 0x03, 0x9e, 0x37);
