// OLE Automation (oleaut32): VARIANT handling, number conversion and type
// libraries. BSTR allocation, VARIANT and ITypeLib are declared in oaidl.h.
//
// Libraries are read from compiled type library files in the MSFT format, either
// a ".tlb" file or the "TYPELIB" resource of a program file ("path\2" names
// resource 2; without a suffix the first TYPELIB resource is taken).
#pragma once

#include "objbase.h"
#include "oaidl.h"

// Flags of VariantChangeType(Ex).
#define VARIANT_NOVALUEPROP 0x01
#define VARIANT_ALPHABOOL 0x02
#define VARIANT_NOUSEROVERRIDE 0x04
#define VARIANT_CALENDAR_HIJRI 0x08
#define VARIANT_LOCALBOOL 0x10
#define VARIANT_CALENDAR_THAI 0x20
#define VARIANT_CALENDAR_GREGORIAN 0x40
#define VARIANT_USE_NLS 0x80

// Accessors beyond those of oaidl.h.
#ifndef V_I2
#define V_I2(X) ((X)->iVal)
#endif
#ifndef V_UI1
#define V_UI1(X) ((X)->bVal)
#endif
#ifndef V_UI2
#define V_UI2(X) ((X)->uiVal)
#endif
#ifndef V_I1
#define V_I1(X) ((X)->cVal)
#endif
#ifndef V_R4
#define V_R4(X) ((X)->fltVal)
#endif
#ifndef V_R8
#define V_R8(X) ((X)->dblVal)
#endif
#ifndef V_INT
#define V_INT(X) ((X)->intVal)
#endif
#ifndef V_UINT
#define V_UINT(X) ((X)->uintVal)
#endif
#ifndef V_I8
#define V_I8(X) ((X)->llVal)
#endif
#ifndef V_UI8
#define V_UI8(X) ((X)->ullVal)
#endif
#ifndef V_ERROR
#define V_ERROR(X) ((X)->scode)
#endif
#ifndef V_BYREF
#define V_BYREF(X) ((X)->byref)
#endif
#ifndef V_ISBYREF
#define V_ISBYREF(X) (V_VT(X) & VT_BYREF)
#endif

extern "C" {

// Sets vt to VT_EMPTY; the value is not touched.
void WINAPI VariantInit(VARIANTARG* pvarg);
// Frees a BSTR, releases an interface, and leaves VT_EMPTY. DISP_E_BADVARTYPE
// for a type the platform does not know (the variant is left as it was).
HRESULT WINAPI VariantClear(VARIANTARG* pvarg);
// Deep copy: a new BSTR, an AddRef'd interface. The destination is cleared first.
HRESULT WINAPI VariantCopy(VARIANTARG* pvargDest, const VARIANTARG* pvargSrc);
// Between VT_EMPTY, VT_NULL, VT_I1/I2/I4/I8/INT, VT_UI1/UI2/UI4/UI8/UINT,
// VT_R4, VT_R8, VT_BOOL, VT_BSTR, VT_ERROR (to itself), VT_UNKNOWN and
// VT_DISPATCH; by-reference sources are read through. Numbers are rounded
// half to even; DISP_E_OVERFLOW when the value does not fit, DISP_E_TYPEMISMATCH
// when no conversion exists. Destination and source may be the same variant.
HRESULT WINAPI VariantChangeType(VARIANTARG* pvargDest, const VARIANTARG* pvarSrc, USHORT wFlags, VARTYPE vt);
HRESULT WINAPI VariantChangeTypeEx(VARIANTARG* pvargDest, const VARIANTARG* pvarSrc, LCID lcid, USHORT wFlags,
                                   VARTYPE vt);

// Text to number: blanks around the number, a sign ('+', '-', trailing, or
// parentheses), decimal digits with ',' group separators, a '.' fraction and an
// exponent, or "&H" / "&O" prefixed hexadecimal / octal. Fractions are rounded
// half to even. DISP_E_TYPEMISMATCH for text that is not a number,
// DISP_E_OVERFLOW for one out of range, E_INVALIDARG for a null pointer.
HRESULT WINAPI VarUI4FromStr(LPCOLESTR strIn, LCID lcid, ULONG dwFlags, ULONG* pulOut);
HRESULT WINAPI VarI4FromStr(LPCOLESTR strIn, LCID lcid, ULONG dwFlags, LONG* plOut);
HRESULT WINAPI VarI2FromStr(LPCOLESTR strIn, LCID lcid, ULONG dwFlags, SHORT* psOut);
HRESULT WINAPI VarUI1FromStr(LPCOLESTR strIn, LCID lcid, ULONG dwFlags, BYTE* pbOut);
HRESULT WINAPI VarR8FromStr(LPCOLESTR strIn, LCID lcid, ULONG dwFlags, DOUBLE* pdblOut);
// "True"/"False" (any case) or a number (nonzero is VARIANT_TRUE).
HRESULT WINAPI VarBoolFromStr(LPCOLESTR strIn, LCID lcid, ULONG dwFlags, VARIANT_BOOL* pboolOut);

// Number to text (decimal, no group separators).
HRESULT WINAPI VarBstrFromUI4(ULONG ulIn, LCID lcid, ULONG dwFlags, BSTR* pbstrOut);
HRESULT WINAPI VarBstrFromI4(LONG lIn, LCID lcid, ULONG dwFlags, BSTR* pbstrOut);
// Up to 15 significant digits; exponent form ("1E+20") for very large or small values.
HRESULT WINAPI VarBstrFromR8(DOUBLE dblIn, LCID lcid, ULONG dwFlags, BSTR* pbstrOut);
// "-1"/"0", or "True"/"False" with VARIANT_ALPHABOOL or VARIANT_LOCALBOOL.
HRESULT WINAPI VarBstrFromBool(VARIANT_BOOL boolIn, LCID lcid, ULONG dwFlags, BSTR* pbstrOut);

}  // extern "C"

// ---- Type libraries, and their registration under HKEY_CLASSES_ROOT\TypeLib ----
typedef enum tagREGKIND { REGKIND_DEFAULT = 0, REGKIND_REGISTER = 1, REGKIND_NONE = 2 } REGKIND;

extern "C" {
HRESULT WINAPI LoadTypeLib(LPCOLESTR szFile, ITypeLib** pptlib);
HRESULT WINAPI LoadTypeLibEx(LPCOLESTR szFile, REGKIND regkind, ITypeLib** pptlib);
// Writes HKCR\TypeLib\{LIBID}\<maj>.<min> (default value: help string, else
// name), its FLAGS and HELPDIR values and <lcid>\win32 (or win16/win64) = szFullPath.
HRESULT WINAPI RegisterTypeLib(ITypeLib* ptlib, LPCOLESTR szFullPath, LPCOLESTR szHelpDir);
// Removes what RegisterTypeLib wrote for that version; the LIBID key goes too
// when no other version is left under it.
HRESULT WINAPI UnRegisterTypeLib(REFGUID libID, WORD wVerMajor, WORD wVerMinor, LCID lcid, SYSKIND syskind);
// Reads the path registered for the library (the lcid's entry, then its
// primary language, then 0), as a new BSTR.
HRESULT WINAPI QueryPathOfRegTypeLib(REFGUID guid, USHORT wMaj, USHORT wMin, LCID lcid, BSTR* lpbstrPathName);
HRESULT WINAPI LoadRegTypeLib(REFGUID rguid, WORD wVerMajor, WORD wVerMinor, LCID lcid, ITypeLib** pptlib);
}
