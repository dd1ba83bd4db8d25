// IUnknown and IClassFactory, the roots of every COM object.
#pragma once

#include "winerror.h"

extern "C" const IID IID_IUnknown;
extern "C" const IID IID_IClassFactory;
extern "C" const IID IID_IDispatch;
extern "C" const IID IID_NULL;
extern "C" const CLSID CLSID_NULL;

struct DECLSPEC_NOVTABLE IUnknown {
  virtual HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** ppvObject) = 0;
  virtual ULONG STDMETHODCALLTYPE AddRef() = 0;
  virtual ULONG STDMETHODCALLTYPE Release() = 0;
 protected:
  ~IUnknown() = default;
};
typedef IUnknown* LPUNKNOWN;

struct DECLSPEC_NOVTABLE IClassFactory : public IUnknown {
  virtual HRESULT STDMETHODCALLTYPE CreateInstance(IUnknown* pUnkOuter, REFIID riid, void** ppvObject) = 0;
  virtual HRESULT STDMETHODCALLTYPE LockServer(BOOL fLock) = 0;
 protected:
  ~IClassFactory() = default;
};
typedef IClassFactory* LPCLASSFACTORY;
