// VARIANT: initialisation, clearing, deep copies and type changes.
#include <cfloat>
#include <cmath>
#include <cstring>
#include <limits>

#include "numconv.h"
#include "qel/fault.h"
#include "qel/com_api.h"

using namespace qel::com;

namespace {

// The types a VARIANT may carry on this platform (without VT_BYREF).
bool IsKnownScalar(VARTYPE vt) {
  switch (vt) {
    case VT_EMPTY: case VT_NULL: case VT_I2: case VT_I4: case VT_R4: case VT_R8: case VT_CY: case VT_DATE:
    case VT_BSTR: case VT_DISPATCH: case VT_ERROR: case VT_BOOL: case VT_UNKNOWN: case VT_DECIMAL:
    case VT_I1: case VT_UI1: case VT_UI2: case VT_UI4: case VT_I8: case VT_UI8: case VT_INT: case VT_UINT:
      return true;
    default:
      return false;
  }
}

bool IsValidVarType(VARTYPE vt) {
  if (vt & VT_ARRAY) return false;  // no SAFEARRAYs on this platform
  if (vt & VT_BYREF) {
    const VARTYPE base = vt & ~VT_BYREF;
    return base == VT_VARIANT || (IsKnownScalar(base) && base != VT_EMPTY && base != VT_NULL);
  }
  return IsKnownScalar(vt);
}

// Integer targets and their ranges.
bool IntegerRange(VARTYPE vt, __int128* lo, __int128* hi, int* bits) {
  switch (vt) {
    case VT_I1: *lo = -128; *hi = 127; *bits = 8; return true;
    case VT_UI1: *lo = 0; *hi = 255; *bits = 8; return true;
    case VT_I2: *lo = -32768; *hi = 32767; *bits = 16; return true;
    case VT_UI2: *lo = 0; *hi = 65535; *bits = 16; return true;
    case VT_I4: case VT_INT:
      *lo = std::numeric_limits<std::int32_t>::min(); *hi = std::numeric_limits<std::int32_t>::max(); *bits = 32;
      return true;
    case VT_UI4: case VT_UINT:
      *lo = 0; *hi = std::numeric_limits<std::uint32_t>::max(); *bits = 32; return true;
    case VT_I8:
      *lo = std::numeric_limits<std::int64_t>::min(); *hi = std::numeric_limits<std::int64_t>::max(); *bits = 64;
      return true;
    case VT_UI8: *lo = 0; *hi = std::numeric_limits<std::uint64_t>::max(); *bits = 64; return true;
    default: return false;
  }
}

void StoreInteger(VARIANT* v, VARTYPE vt, __int128 x) {
  v->vt = vt;
  switch (vt) {
    case VT_I1: v->cVal = static_cast<CHAR>(x); break;
    case VT_UI1: v->bVal = static_cast<BYTE>(x); break;
    case VT_I2: v->iVal = static_cast<SHORT>(x); break;
    case VT_UI2: v->uiVal = static_cast<USHORT>(x); break;
    case VT_I4: v->lVal = static_cast<LONG>(x); break;
    case VT_INT: v->intVal = static_cast<INT>(x); break;
    case VT_UI4: v->ulVal = static_cast<ULONG>(x); break;
    case VT_UINT: v->uintVal = static_cast<UINT>(x); break;
    case VT_I8: v->llVal = static_cast<LONGLONG>(x); break;
    case VT_UI8: v->ullVal = static_cast<ULONGLONG>(x); break;
    default: break;
  }
}

HRESULT ClearImpl(VARIANTARG* pvarg) {
  if (!pvarg) return E_INVALIDARG;
  if (!IsValidVarType(pvarg->vt)) return DISP_E_BADVARTYPE;
  if (!(pvarg->vt & VT_BYREF)) {
    switch (pvarg->vt) {
      case VT_BSTR:
        SysFreeString(pvarg->bstrVal);
        break;
      case VT_UNKNOWN:
      case VT_DISPATCH:
        if (pvarg->punkVal) pvarg->punkVal->Release();
        break;
      default:
        break;
    }
  }
  pvarg->vt = VT_EMPTY;
  pvarg->llVal = 0;
  return S_OK;
}

HRESULT CopyImpl(VARIANTARG* pvargDest, const VARIANTARG* pvargSrc) {
  if (!pvargDest || !pvargSrc) return E_INVALIDARG;
  if (!IsValidVarType(pvargSrc->vt)) return DISP_E_BADVARTYPE;
  if (pvargDest == pvargSrc) return S_OK;
  VARIANT copy = *pvargSrc;
  if (pvargSrc->vt == VT_BSTR && pvargSrc->bstrVal) {
    // Byte-exact, so odd byte lengths and embedded nulls survive.
    copy.bstrVal = SysAllocStringByteLen(reinterpret_cast<LPCSTR>(pvargSrc->bstrVal),
                                         SysStringByteLen(pvargSrc->bstrVal));
    if (!copy.bstrVal) return E_OUTOFMEMORY;
  }
  // The new reference is taken before the destination lets go of what it holds,
  // which may be the same object.
  const bool object = (copy.vt == VT_UNKNOWN || copy.vt == VT_DISPATCH) && copy.punkVal;
  if (object) copy.punkVal->AddRef();
  const HRESULT hr = ClearImpl(pvargDest);
  if (FAILED(hr)) {
    if (copy.vt == VT_BSTR) SysFreeString(copy.bstrVal);
    if (object) copy.punkVal->Release();
    return hr;
  }
  *pvargDest = copy;
  return S_OK;
}

// A by-value view of a source variant: by-reference sources are read through.
HRESULT Dereference(const VARIANT* src, VARIANT* out) {
  if (!(src->vt & VT_BYREF)) {
    *out = *src;
    return S_OK;
  }
  const VARTYPE base = src->vt & ~VT_BYREF;
  const void* p = src->byref;
  if (!p) return E_INVALIDARG;
  VARIANT v;
  std::memset(&v, 0, sizeof v);
  v.vt = base;
  switch (base) {
    case VT_VARIANT: {
      const auto* inner = static_cast<const VARIANT*>(p);
      if (inner->vt & VT_BYREF) return DISP_E_TYPEMISMATCH;
      *out = *inner;
      return S_OK;
    }
    case VT_I1: v.cVal = *static_cast<const CHAR*>(p); break;
    case VT_UI1: v.bVal = *static_cast<const BYTE*>(p); break;
    case VT_I2: v.iVal = *static_cast<const SHORT*>(p); break;
    case VT_UI2: v.uiVal = *static_cast<const USHORT*>(p); break;
    case VT_BOOL: v.boolVal = *static_cast<const VARIANT_BOOL*>(p); break;
    case VT_I4: v.lVal = *static_cast<const LONG*>(p); break;
    case VT_UI4: v.ulVal = *static_cast<const ULONG*>(p); break;
    case VT_INT: v.intVal = *static_cast<const INT*>(p); break;
    case VT_UINT: v.uintVal = *static_cast<const UINT*>(p); break;
    case VT_ERROR: v.scode = *static_cast<const SCODE*>(p); break;
    case VT_I8: v.llVal = *static_cast<const LONGLONG*>(p); break;
    case VT_UI8: v.ullVal = *static_cast<const ULONGLONG*>(p); break;
    case VT_R4: v.fltVal = *static_cast<const FLOAT*>(p); break;
    case VT_R8: v.dblVal = *static_cast<const DOUBLE*>(p); break;
    case VT_DATE: v.date = *static_cast<const DATE*>(p); break;
    case VT_BSTR: v.bstrVal = *static_cast<const BSTR*>(p); break;
    case VT_UNKNOWN: v.punkVal = *static_cast<IUnknown* const*>(p); break;
    case VT_DISPATCH: v.pdispVal = *static_cast<IDispatch* const*>(p); break;
    default: return DISP_E_TYPEMISMATCH;
  }
  *out = v;
  return S_OK;
}

// The value of a by-value numeric or boolean variant, as an exact integer or a real.
struct Numeric {
  bool bReal = false;
  __int128 i = 0;
  double d = 0;
};

bool AsNumeric(const VARIANT& v, Numeric* n) {
  switch (v.vt) {
    case VT_EMPTY: n->i = 0; return true;
    case VT_I1: n->i = v.cVal; return true;
    case VT_UI1: n->i = v.bVal; return true;
    case VT_I2: n->i = v.iVal; return true;
    case VT_UI2: n->i = v.uiVal; return true;
    case VT_I4: n->i = v.lVal; return true;
    case VT_UI4: n->i = v.ulVal; return true;
    case VT_INT: n->i = v.intVal; return true;
    case VT_UINT: n->i = v.uintVal; return true;
    case VT_I8: n->i = v.llVal; return true;
    case VT_UI8: n->i = v.ullVal; return true;
    case VT_BOOL: n->i = v.boolVal ? -1 : 0; return true;
    case VT_R4: n->bReal = true; n->d = v.fltVal; return true;
    case VT_R8: n->bReal = true; n->d = v.dblVal; return true;
    default: return false;
  }
}

HRESULT ConvertScalar(const VARIANT& src, USHORT wFlags, LCID lcid, VARTYPE vt, VARIANT* out, int depth);

// An object's value property (DISPID_VALUE), unless the caller asked not to use it.
HRESULT ValueProperty(const VARIANT& src, USHORT wFlags, LCID lcid, VARTYPE vt, VARIANT* out, int depth) {
  if ((wFlags & VARIANT_NOVALUEPROP) || depth > 0) return DISP_E_TYPEMISMATCH;
  IDispatch* pDisp = nullptr;
  if (src.vt == VT_DISPATCH) {
    pDisp = src.pdispVal;
    if (pDisp) pDisp->AddRef();
  } else if (src.punkVal) {
    src.punkVal->QueryInterface(IID_IDispatch, reinterpret_cast<void**>(&pDisp));
  }
  if (!pDisp) return DISP_E_TYPEMISMATCH;
  DISPPARAMS none{nullptr, nullptr, 0, 0};
  VARIANT value;
  VariantInit(&value);
  HRESULT hr = pDisp->Invoke(DISPID_VALUE, IID_NULL, lcid, DISPATCH_PROPERTYGET, &none, &value, nullptr, nullptr);
  pDisp->Release();
  if (FAILED(hr)) return DISP_E_TYPEMISMATCH;
  hr = ConvertScalar(value, wFlags, lcid, vt, out, depth + 1);
  ClearImpl(&value);
  return hr;
}

HRESULT ConvertScalar(const VARIANT& src, USHORT wFlags, LCID lcid, VARTYPE vt, VARIANT* out, int depth) {
  VariantInit(out);
  if (vt == VT_EMPTY) return S_OK;
  if (src.vt == vt) return CopyImpl(out, &src);
  if (src.vt == VT_NULL) return DISP_E_TYPEMISMATCH;
  if (vt == VT_NULL) {
    if (src.vt != VT_EMPTY) return DISP_E_TYPEMISMATCH;
    out->vt = VT_NULL;
    return S_OK;
  }
  const bool srcObject = src.vt == VT_DISPATCH || src.vt == VT_UNKNOWN;
  if (vt == VT_UNKNOWN || vt == VT_DISPATCH) {
    if (!srcObject) return DISP_E_TYPEMISMATCH;
    if (!src.punkVal) {
      out->vt = vt;
      out->punkVal = nullptr;
      return S_OK;
    }
    void* p = nullptr;
    const HRESULT hr = src.punkVal->QueryInterface(vt == VT_UNKNOWN ? IID_IUnknown : IID_IDispatch, &p);
    if (FAILED(hr)) return hr;
    out->vt = vt;
    out->punkVal = static_cast<IUnknown*>(p);
    return S_OK;
  }
  if (srcObject) return ValueProperty(src, wFlags, lcid, vt, out, depth);
  if (src.vt == VT_ERROR || vt == VT_ERROR) return DISP_E_TYPEMISMATCH;
  if (src.vt == VT_CY || src.vt == VT_DATE || src.vt == VT_DECIMAL) return DISP_E_TYPEMISMATCH;
  if (vt == VT_CY || vt == VT_DATE || vt == VT_DECIMAL) return DISP_E_TYPEMISMATCH;

  __int128 lo = 0, hi = 0;
  int bits = 0;
  if (IntegerRange(vt, &lo, &hi, &bits)) {
    __int128 x = 0;
    if (src.vt == VT_BSTR) {
      ParsedNumber n;
      HRESULT hr = ParseNumber(qel::u16view(src.bstrVal ? src.bstrVal : u"", SysStringLen(src.bstrVal)), &n);
      if (FAILED(hr)) return hr;
      hr = NumberToInteger(n, lo, hi, bits, &x);
      if (FAILED(hr)) return hr;
    } else {
      Numeric n;
      if (!AsNumeric(src, &n)) return DISP_E_TYPEMISMATCH;
      if (n.bReal) {
        const HRESULT hr = DoubleToInteger(n.d, lo, hi, &x);
        if (FAILED(hr)) return hr;
      } else if (src.vt == VT_BOOL && lo == 0) {
        x = n.i ? hi : 0;  // VARIANT_TRUE is all bits set in an unsigned target
      } else {
        if (n.i < lo || n.i > hi) return DISP_E_OVERFLOW;
        x = n.i;
      }
    }
    StoreInteger(out, vt, x);
    return S_OK;
  }

  switch (vt) {
    case VT_R4:
    case VT_R8: {
      double d = 0;
      if (src.vt == VT_BSTR) {
        ParsedNumber n;
        HRESULT hr = ParseNumber(qel::u16view(src.bstrVal ? src.bstrVal : u"", SysStringLen(src.bstrVal)), &n);
        if (FAILED(hr)) return hr;
        hr = NumberToDouble(n, &d);
        if (FAILED(hr)) return hr;
      } else {
        Numeric n;
        if (!AsNumeric(src, &n)) return DISP_E_TYPEMISMATCH;
        d = n.bReal ? n.d : static_cast<double>(n.i);
      }
      if (vt == VT_R4) {
        if (std::isfinite(d) && std::fabs(d) > FLT_MAX) return DISP_E_OVERFLOW;
        out->vt = VT_R4;
        out->fltVal = static_cast<FLOAT>(d);
      } else {
        out->vt = VT_R8;
        out->dblVal = d;
      }
      return S_OK;
    }
    case VT_BOOL: {
      VARIANT_BOOL b = VARIANT_FALSE;
      if (src.vt == VT_BSTR) {
        const HRESULT hr = VarBoolFromStr(src.bstrVal ? src.bstrVal : u"", lcid, 0, &b);
        if (FAILED(hr)) return hr;
      } else {
        Numeric n;
        if (!AsNumeric(src, &n)) return DISP_E_TYPEMISMATCH;
        b = (n.bReal ? n.d != 0.0 : n.i != 0) ? VARIANT_TRUE : VARIANT_FALSE;
      }
      out->vt = VT_BOOL;
      out->boolVal = b;
      return S_OK;
    }
    case VT_BSTR: {
      qel::u16 text;
      if (src.vt == VT_BOOL) {
        if (wFlags & (VARIANT_ALPHABOOL | VARIANT_LOCALBOOL))
          text = src.boolVal ? u"True" : u"False";
        else
          text = src.boolVal ? u"-1" : u"0";
      } else if (src.vt == VT_EMPTY) {
        text.clear();
      } else {
        Numeric n;
        if (!AsNumeric(src, &n)) return DISP_E_TYPEMISMATCH;
        text = n.bReal ? FormatReal(n.d, src.vt == VT_R4 ? 7 : 15) : FormatInteger(n.i);
      }
      BSTR b = nullptr;
      const HRESULT hr = MakeBstr(text, &b);
      if (FAILED(hr)) return hr;
      out->vt = VT_BSTR;
      out->bstrVal = b;
      return S_OK;
    }
    default:
      return DISP_E_BADVARTYPE;
  }
}

HRESULT ChangeType(VARIANTARG* pvargDest, const VARIANTARG* pvarSrc, LCID lcid, USHORT wFlags, VARTYPE vt) {
  if (!pvargDest || !pvarSrc) return E_INVALIDARG;
  if (!IsValidVarType(pvarSrc->vt) || !IsValidVarType(vt)) return DISP_E_BADVARTYPE;
  if (vt & VT_BYREF) return DISP_E_TYPEMISMATCH;
  VARIANT src;
  HRESULT hr = Dereference(pvarSrc, &src);
  if (FAILED(hr)) return hr;
  VARIANT result;
  hr = ConvertScalar(src, wFlags, lcid, vt, &result, 0);
  if (FAILED(hr)) return hr;
  // The destination may be the source: it is cleared only once the result exists.
  hr = ClearImpl(pvargDest);
  if (FAILED(hr)) {
    ClearImpl(&result);
    return hr;
  }
  *pvargDest = result;
  return S_OK;
}

}  // namespace

extern "C" void WINAPI VariantInit(VARIANTARG* pvarg) {
  if (!pvarg) return;
  pvarg->vt = VT_EMPTY;
  pvarg->wReserved1 = pvarg->wReserved2 = pvarg->wReserved3 = 0;
}

extern "C" HRESULT WINAPI VariantClear(VARIANTARG* pvarg) {
  QEL_FAULT_POINT("VariantClear", c) return static_cast<HRESULT>(c);
  return ClearImpl(pvarg);
}

extern "C" HRESULT WINAPI VariantCopy(VARIANTARG* pvargDest, const VARIANTARG* pvargSrc) {
  QEL_FAULT_POINT("VariantCopy", c) return static_cast<HRESULT>(c);
  return CopyImpl(pvargDest, pvargSrc);
}

extern "C" HRESULT WINAPI VariantChangeType(VARIANTARG* pvargDest, const VARIANTARG* pvarSrc, USHORT wFlags,
                                            VARTYPE vt) {
  QEL_FAULT_POINT("VariantChangeType", c) return static_cast<HRESULT>(c);
  return ChangeType(pvargDest, pvarSrc, LOCALE_USER_DEFAULT, wFlags, vt);
}

extern "C" HRESULT WINAPI VariantChangeTypeEx(VARIANTARG* pvargDest, const VARIANTARG* pvarSrc, LCID lcid,
                                              USHORT wFlags, VARTYPE vt) {
  QEL_FAULT_POINT("VariantChangeTypeEx", c) return static_cast<HRESULT>(c);
  return ChangeType(pvargDest, pvarSrc, lcid, wFlags, vt);
}
