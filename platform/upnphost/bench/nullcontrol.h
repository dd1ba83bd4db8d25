// A device-control object for the host's benchmarks: every service object
// answers nothing, so what is measured is the host alone.
#pragma once

#include "qel/comobj.h"
#include "upnphost.h"

class NullService final : public qel::ComObject<NullService, IDispatch> {
 public:
  HRESULT STDMETHODCALLTYPE GetTypeInfoCount(UINT* p) override { return *p = 0, S_OK; }
  HRESULT STDMETHODCALLTYPE GetTypeInfo(UINT, LCID, ITypeInfo**) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE GetIDsOfNames(REFIID, LPOLESTR*, UINT, LCID, DISPID*) override {
    return DISP_E_UNKNOWNNAME;
  }
  HRESULT STDMETHODCALLTYPE Invoke(DISPID, REFIID, LCID, WORD, DISPPARAMS*, VARIANT*, EXCEPINFO*, UINT*) override {
    return DISP_E_MEMBERNOTFOUND;
  }
};

class Control final : public qel::ComObject<Control, IUPnPDeviceControl> {
 public:
  HRESULT STDMETHODCALLTYPE Initialize(BSTR, BSTR, BSTR) override { return S_OK; }
  HRESULT STDMETHODCALLTYPE GetServiceObject(BSTR, BSTR, IDispatch** pp) override {
    return qel::MakeComObject<NullService>()->QueryInterface(IID_IDispatch, reinterpret_cast<void**>(pp));
  }
};
