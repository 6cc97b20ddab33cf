// The interface and identifiers of the test in-process server
// counter_server.so, shared by the server and the tests that load it.
#pragma once

#include <objbase.h>

// {6B1A2D40-3C1E-4F7A-9D2B-1E5C7A9B0C01}
DEFINE_GUID(CLSID_TestCounter, 0x6b1a2d40, 0x3c1e, 0x4f7a, 0x9d, 0x2b, 0x1e, 0x5c, 0x7a, 0x9b, 0x0c, 0x01);
// {6B1A2D40-3C1E-4F7A-9D2B-1E5C7A9B0C02}
DEFINE_GUID(IID_ICounter, 0x6b1a2d40, 0x3c1e, 0x4f7a, 0x9d, 0x2b, 0x1e, 0x5c, 0x7a, 0x9b, 0x0c, 0x02);

MIDL_INTERFACE("6B1A2D40-3C1E-4F7A-9D2B-1E5C7A9B0C02") ICounter : public IUnknown {
    STDMETHOD(Increment)() = 0;
    STDMETHOD_(LONG, Value)() = 0;
};
