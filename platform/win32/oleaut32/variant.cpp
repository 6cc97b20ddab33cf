// VARIANT values: initialising, clearing (which frees what the value owns)
// and copying (which duplicates it). This platform has no safe arrays and no
// record types, so a variant holding one by value is refused as a type these
// functions cannot handle.
#include <ole2.h>

namespace {

bool IsPlainValue(VARTYPE base) {
    switch (base) {
        case VT_EMPTY:
        case VT_NULL:
        case VT_I2:
        case VT_I4:
        case VT_R4:
        case VT_R8:
        case VT_CY:
        case VT_DATE:
        case VT_ERROR:
        case VT_BOOL:
        case VT_DECIMAL:
        case VT_I1:
        case VT_UI1:
        case VT_UI2:
        case VT_UI4:
        case VT_I8:
        case VT_UI8:
        case VT_INT:
        case VT_UINT:
            return true;
        default:
            return false;
    }
}

bool OwnsResource(VARTYPE base) { return base == VT_BSTR || base == VT_DISPATCH || base == VT_UNKNOWN; }

// A reference may point at any value type, a VARIANT included; by value
// only plain values and the owned kinds this platform can release.
HRESULT CheckType(VARTYPE vt) {
    const VARTYPE base = vt & VT_TYPEMASK;
    const VARTYPE flags = vt & ~VT_TYPEMASK;
    if (flags == VT_BYREF) {
        return (IsPlainValue(base) || OwnsResource(base) || base == VT_VARIANT) ? S_OK : DISP_E_BADVARTYPE;
    }
    if (flags != 0) return DISP_E_BADVARTYPE;
    return (IsPlainValue(base) || OwnsResource(base)) ? S_OK : DISP_E_BADVARTYPE;
}

}  // namespace

WINOLEAUTAPI_(void) VariantInit(VARIANTARG *pvarg) { pvarg->vt = VT_EMPTY; }

WINOLEAUTAPI VariantClear(VARIANTARG *pvarg) {
    if (pvarg == NULL) return E_INVALIDARG;
    const HRESULT checked = CheckType(pvarg->vt);
    if (FAILED(checked)) return checked;
    // A reference is not owned: the object or string it points at stays.
    switch (pvarg->vt) {
        case VT_BSTR:
            SysFreeString(pvarg->bstrVal);
            break;
        case VT_UNKNOWN:
            if (pvarg->punkVal != NULL) pvarg->punkVal->Release();
            break;
        case VT_DISPATCH:
            if (pvarg->pdispVal != NULL) pvarg->pdispVal->Release();
            break;
        default:
            break;
    }
    pvarg->vt = VT_EMPTY;
    return S_OK;
}

WINOLEAUTAPI VariantCopy(VARIANTARG *pvargDest, const VARIANTARG *pvargSrc) {
    if (pvargDest == NULL || pvargSrc == NULL) return E_INVALIDARG;
    const HRESULT checked = CheckType(pvargSrc->vt);
    if (FAILED(checked)) return checked;
    if (pvargDest == pvargSrc) return S_OK;
    const HRESULT cleared = VariantClear(pvargDest);
    if (FAILED(cleared)) return cleared;

    VARIANTARG copy = *pvargSrc;
    switch (copy.vt) {
        case VT_BSTR:
            // Byte for byte, so embedded nulls and odd byte lengths survive.
            if (pvargSrc->bstrVal != NULL) {
                copy.bstrVal = SysAllocStringByteLen(reinterpret_cast<LPCSTR>(pvargSrc->bstrVal),
                                                     SysStringByteLen(pvargSrc->bstrVal));
                if (copy.bstrVal == NULL) return E_OUTOFMEMORY;
            }
            break;
        case VT_UNKNOWN:
            if (copy.punkVal != NULL) copy.punkVal->AddRef();
            break;
        case VT_DISPATCH:
            if (copy.pdispVal != NULL) copy.pdispVal->AddRef();
            break;
        default:
            break;
    }
    *pvargDest = copy;
    return S_OK;
}
