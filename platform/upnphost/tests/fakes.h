// A device-control object for the host's tests: records what the host hands
// it and serves objects whose actions the tests can steer.
#pragma once

#include <atomic>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "../cominterfaces.h"
#include "oleauto.h"
#include "qel/wstr.h"

namespace qel::test {

// Actions: "GetControllerName" (out: the part of the service id after the
// last ':'), "Echo" (in Text, out Result), "Sum" (in A, B ui4, out retval
// Total), "Boom" (fails with action-specific error 601) and any other name
// unknown to GetIDsOfNames. Variable "Status" reads "OK".
class FakeService final : public ComObject<FakeService, IDispatch, IUPnPEventSource> {
 public:
  explicit FakeService(std::string name) : m_name(std::move(name)) {}
  HRESULT STDMETHODCALLTYPE GetTypeInfoCount(UINT* p) override {
    *p = 0;
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE GetTypeInfo(UINT, LCID, ITypeInfo**) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE GetIDsOfNames(REFIID, LPOLESTR* names, UINT n, LCID, DISPID* ids) override {
    static const char* const kNames[] = {"GetControllerName", "Echo", "Sum", "Boom", "Status"};
    for (UINT i = 0; i < n; ++i) {
      ids[i] = DISPID_UNKNOWN;
      const std::string s = ToUtf8(names[i]);
      for (int k = 0; k < 5; ++k)
        if (s == kNames[k]) ids[i] = k + 1;
      if (ids[i] == DISPID_UNKNOWN) return DISP_E_UNKNOWNNAME;
    }
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE Invoke(DISPID id, REFIID, LCID, WORD flags, DISPPARAMS* dp, VARIANT* result, EXCEPINFO*,
                                   UINT*) override {
    ++invokes;
    auto put = [](VARIANT* v, const std::string& s) {
      VariantClear(v);
      v->vt = VT_BSTR;
      v->bstrVal = SysAllocString(FromUtf8(s).c_str());
    };
    if (id == 5 && (flags & DISPATCH_PROPERTYGET)) {
      put(result, "OK");
      return S_OK;
    }
    switch (id) {
      case 1:
        if (dp->cArgs != 1 || dp->rgvarg[0].vt != (VT_BYREF | VT_VARIANT)) return DISP_E_BADPARAMCOUNT;
        put(dp->rgvarg[0].pvarVal, m_name);
        return S_OK;
      case 2:  // rgvarg[1] = Text (in), rgvarg[0] = Result (out)
        if (dp->cArgs != 2 || dp->rgvarg[1].vt != VT_BSTR) return DISP_E_TYPEMISMATCH;
        put(dp->rgvarg[0].pvarVal, "echo:" + ToUtf8(dp->rgvarg[1].bstrVal));
        return S_OK;
      case 3:
        if (dp->cArgs != 2 || dp->rgvarg[0].vt != VT_UI4 || dp->rgvarg[1].vt != VT_UI4) return DISP_E_TYPEMISMATCH;
        VariantClear(result);
        result->vt = VT_UI4;
        result->ulVal = dp->rgvarg[0].ulVal + dp->rgvarg[1].ulVal;
        return S_OK;
      case 4:
        return UPNP_E_ACTION_SPECIFIC_BASE + 1;
      default:
        return DISP_E_MEMBERNOTFOUND;
    }
  }
  HRESULT STDMETHODCALLTYPE Advise(IUnknown* sink) override {
    std::lock_guard<std::mutex> g(m_lock);
    m_sink = nullptr;
    return ComPtr<IUnknown>(sink).As(&m_sink);
  }
  HRESULT STDMETHODCALLTYPE Unadvise(IUnknown*) override {
    std::lock_guard<std::mutex> g(m_lock);
    m_sink = nullptr;
    return S_OK;
  }
  ComPtr<IUPnPEventSink> Sink() {
    std::lock_guard<std::mutex> g(m_lock);
    return m_sink;
  }
  std::atomic<int> invokes{0};

 private:
  std::string m_name;
  std::mutex m_lock;
  ComPtr<IUPnPEventSink> m_sink;
};

class FakeControl final : public ComObject<FakeControl, IUPnPDeviceControl> {
 public:
  HRESULT STDMETHODCALLTYPE Initialize(BSTR desc, BSTR id, BSTR init) override {
    ++initializeCalls;
    description = ToUtf8(desc);
    deviceId = ToUtf8(id);
    initString = ToUtf8(init);
    return initializeResult;
  }
  HRESULT STDMETHODCALLTYPE GetServiceObject(BSTR udn, BSTR serviceId, IDispatch** pp) override {
    *pp = nullptr;
    if (FAILED(serviceObjectResult)) return serviceObjectResult;
    std::string sid = ToUtf8(serviceId);
    requestedServices.push_back(ToUtf8(udn) + "|" + sid);
    auto svc = MakeComObject<FakeService>(sid.substr(sid.rfind(':') + 1));
    services.push_back(svc);
    *pp = static_cast<IDispatch*>(svc.Get());
    (*pp)->AddRef();
    return S_OK;
  }
  HRESULT initializeResult = S_OK;
  HRESULT serviceObjectResult = S_OK;
  int initializeCalls = 0;
  std::string description, deviceId, initString;
  std::vector<std::string> requestedServices;
  std::vector<ComPtr<FakeService>> services;
};

}  // namespace qel::test
