// Apartments are bookkeeping only: every thread runs its objects directly,
// so the threading model matters just for the return codes the documentation
// gives (S_FALSE for a repeated call, RPC_E_CHANGED_MODE for a conflicting one).
#include "ole32/apartments.h"

#include <atomic>

namespace {

struct ThreadApartment {
    int initializations = 0;
    DWORD model = 0;
};

thread_local ThreadApartment t_apartment;
std::atomic<int> g_initialized_threads{0};

DWORD ModelOf(DWORD flags) { return flags & COINIT_APARTMENTTHREADED; }

}  // namespace

namespace tm350::com {

bool IsInitializedOnThisThread() { return t_apartment.initializations > 0; }

}  // namespace tm350::com

WINOLEAPI CoInitializeEx(LPVOID pvReserved, DWORD dwCoInit) {
    if (pvReserved != NULL) return E_INVALIDARG;
    ThreadApartment &apartment = t_apartment;
    if (apartment.initializations > 0) {
        if (ModelOf(dwCoInit) != apartment.model) return RPC_E_CHANGED_MODE;
        ++apartment.initializations;
        return S_FALSE;
    }
    apartment.initializations = 1;
    apartment.model = ModelOf(dwCoInit);
    ++g_initialized_threads;
    return S_OK;
}

WINOLEAPI CoInitialize(LPVOID pvReserved) { return CoInitializeEx(pvReserved, COINIT_APARTMENTTHREADED); }

WINOLEAPI_(void) CoUninitialize(void) {
    ThreadApartment &apartment = t_apartment;
    if (apartment.initializations == 0) return;  // unbalanced: ignored, as Windows does
    if (--apartment.initializations > 0) return;
    if (--g_initialized_threads == 0) tm350::com::OnLastUninitialize();
}
