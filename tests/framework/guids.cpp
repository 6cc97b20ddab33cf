// The test program's own class identifiers, defined once.
#include <streams.h>

#include <initguid.h>

#include "framework/module_templates.h"
#include "framework/test_filter.h"
