// OLE: the COM runtime and Automation.
#pragma once
#include <winerror.h>
#include <objbase.h>
#include <oleauto.h>
