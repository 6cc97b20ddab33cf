// Registration of a filter module: its COM server keys and what its filters
// tell the filter mapper. The module's DllRegisterServer and
// DllUnregisterServer call AMovieDllRegisterServer2.
#pragma once

#include <windows.h>
#include <strmif.h>

#include "setup.h"

// HKEY_CLASSES_ROOT\CLSID\{clsid} named szDescription, with the server key
// (InprocServer32) naming the module file and its threading model.
STDAPI AMovieSetupRegisterServer(CLSID clsServer, LPCWSTR szDescription, LPCWSTR szFileName,
                                 LPCWSTR szThreadingModel = L"Both", LPCWSTR szServerType = L"InprocServer32");
// Removes HKEY_CLASSES_ROOT\CLSID\{clsid} with everything below it; a key
// that is not there is no failure.
STDAPI AMovieSetupUnregisterServer(CLSID clsServer);

// Registers (TRUE) or unregisters (FALSE) every class of the module's
// template table as a COM server, and every filter with setup data with the
// filter mapper.
STDAPI AMovieDllRegisterServer2(BOOL bRegister);

// The filter's entries with one filter mapper; a filter or entry that is not
// there counts as removed.
HRESULT AMovieSetupRegisterFilter2(const AMOVIESETUP_FILTER *psetupdata, IFilterMapper2 *pIFM2, BOOL bRegister);
HRESULT AMovieSetupRegisterFilter(const AMOVIESETUP_FILTER *psetupdata, IFilterMapper *pIFM, BOOL bRegister);
