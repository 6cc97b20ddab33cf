// Per-thread COM initialisation, shared by the activation calls.
#pragma once

#include <objbase.h>

namespace tm350::com {

// True when the calling thread has initialised COM and not yet balanced it.
bool IsInitializedOnThisThread();

// Called when the last initialisation in the process is balanced.
void OnLastUninitialize();

}  // namespace tm350::com
