// The NT driver interface: everything of wdm.h. The services beyond WDM
// that ntddk.h adds on Windows are not used by this system's driver.
#pragma once

#include <wdm.h>
