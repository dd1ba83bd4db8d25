// Type libraries: ITypeLib, LoadTypeLib and the registration of a library under
// HKEY_CLASSES_ROOT\TypeLib, with the Win32 SDK's names, layouts and results.
//
// Libraries are read from compiled type library files in the MSFT format, either
// a ".tlb" file or the "TYPELIB" resource of a program file ("path\2" names
// resource 2; without a suffix the first TYPELIB resource is taken).
#pragma once

#include "oaidl.h"

#ifndef TYPE_E_INVALIDSTATE
#define TYPE_E_INVALIDSTATE QEL_HR(0x80028029L)
#endif
#ifndef TYPE_E_WRONGTYPEKIND
#define TYPE_E_WRONGTYPEKIND QEL_HR(0x8002802AL)
#endif
#ifndef TYPE_E_LIBNOTREGISTERED
#define TYPE_E_LIBNOTREGISTERED QEL_HR(0x8002801DL)
#endif
#ifndef TYPE_E_CANTLOADLIBRARY
#define TYPE_E_CANTLOADLIBRARY QEL_HR(0x80029C4AL)
#endif
#ifndef TYPE_E_REGISTRYACCESS
#define TYPE_E_REGISTRYACCESS QEL_HR(0x8002801CL)
#endif
#ifndef TYPE_E_ELEMENTNOTFOUND
#define TYPE_E_ELEMENTNOTFOUND QEL_HR(0x8002802BL)
#endif

typedef enum tagSYSKIND { SYS_WIN16 = 0, SYS_WIN32 = 1, SYS_MAC = 2, SYS_WIN64 = 3 } SYSKIND;

typedef enum tagLIBFLAGS {
  LIBFLAG_FRESTRICTED = 0x1,
  LIBFLAG_FCONTROL = 0x2,
  LIBFLAG_FHIDDEN = 0x4,
  LIBFLAG_FHASDISKIMAGE = 0x8
} LIBFLAGS;

typedef enum tagTYPEKIND {
  TKIND_ENUM = 0,
  TKIND_RECORD,
  TKIND_MODULE,
  TKIND_INTERFACE,
  TKIND_DISPATCH,
  TKIND_COCLASS,
  TKIND_ALIAS,
  TKIND_UNION,
  TKIND_MAX
} TYPEKIND;

typedef enum tagREGKIND { REGKIND_DEFAULT = 0, REGKIND_REGISTER = 1, REGKIND_NONE = 2 } REGKIND;

typedef struct tagTLIBATTR {
  GUID guid;
  LCID lcid;
  SYSKIND syskind;
  WORD wMajorVerNum;
  WORD wMinorVerNum;
  WORD wLibFlags;
} TLIBATTR, *LPTLIBATTR;

struct ITypeComp;

extern "C" const IID IID_ITypeLib;

// The SDK's vtable order.
struct DECLSPEC_NOVTABLE ITypeLib : public IUnknown {
  virtual UINT STDMETHODCALLTYPE GetTypeInfoCount() = 0;
  virtual HRESULT STDMETHODCALLTYPE GetTypeInfo(UINT index, ITypeInfo** ppTInfo) = 0;
  virtual HRESULT STDMETHODCALLTYPE GetTypeInfoType(UINT index, TYPEKIND* pTKind) = 0;
  virtual HRESULT STDMETHODCALLTYPE GetTypeInfoOfGuid(REFGUID guid, ITypeInfo** ppTinfo) = 0;
  virtual HRESULT STDMETHODCALLTYPE GetLibAttr(TLIBATTR** ppTLibAttr) = 0;
  virtual HRESULT STDMETHODCALLTYPE GetTypeComp(ITypeComp** ppTComp) = 0;
  // index -1 documents the library itself. Each out pointer may be null.
  virtual HRESULT STDMETHODCALLTYPE GetDocumentation(INT index, BSTR* pBstrName, BSTR* pBstrDocString,
                                                     DWORD* pdwHelpContext, BSTR* pBstrHelpFile) = 0;
  virtual HRESULT STDMETHODCALLTYPE IsName(LPOLESTR szNameBuf, ULONG lHashVal, BOOL* pfName) = 0;
  virtual HRESULT STDMETHODCALLTYPE FindName(LPOLESTR szNameBuf, ULONG lHashVal, ITypeInfo** ppTInfo,
                                             MEMBERID* rgMemId, USHORT* pcFound) = 0;
  virtual void STDMETHODCALLTYPE ReleaseTLibAttr(TLIBATTR* pTLibAttr) = 0;
 protected:
  ~ITypeLib() = default;
};
typedef ITypeLib* LPTYPELIB;

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
