// Memory handed across COM boundaries: whoever receives it frees it with
// CoTaskMemFree, whichever module allocated it.
#include <objbase.h>

#include <cstdlib>

WINOLEAPI_(LPVOID) CoTaskMemAlloc(SIZE_T cb) {
    // A zero-byte request still yields a distinct pointer that must be freed.
    return malloc(cb == 0 ? 1 : cb);
}

WINOLEAPI_(LPVOID) CoTaskMemRealloc(LPVOID pv, SIZE_T cb) {
    if (pv == NULL) return CoTaskMemAlloc(cb);
    if (cb == 0) {
        free(pv);
        return NULL;
    }
    // On failure the old block stays valid and owned by the caller.
    return realloc(pv, cb);
}

WINOLEAPI_(void) CoTaskMemFree(LPVOID pv) { free(pv); }
