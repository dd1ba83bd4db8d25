// QelDeviceControl: the device-control object of the QelUPnP device. The
// UPnP Device Host asks it for one service object per controller; each one
// answers "GetControllerName" with its controller's name and reports its
// "Status" as "OK".
#include "QelDeviceControl.h"

#include <objbase.h>
#include <oleauto.h>
#include <upnphost.h>

#include "ComObject.h"

QEL_COM_INTERFACE(IUPnPDeviceControl, IUnknown, IID_IUPnPDeviceControl);
QEL_COM_INTERFACE(IUPnPEventSource, IUnknown, IID_IUPnPEventSource);
QEL_COM_INTERFACE(IUPnPEventSink, IUnknown, IID_IUPnPEventSink);

qel::ModuleCount g_objectCount;

namespace {

const WCHAR kServiceIdPrefix[] = TEXT("urn:upnp-org:serviceId:");
const WCHAR kActionGetControllerName[] = TEXT("GetControllerName");
const WCHAR kVariableStatus[] = TEXT("Status");
const WCHAR kStatusOk[] = TEXT("OK");

enum : DISPID { DISPID_GETCONTROLLERNAME = 1, DISPID_STATUS = 2 };

bool EqualNoCase(const WCHAR* a, const WCHAR* b) {
  for (;; ++a, ++b) {
    WCHAR x = *a, y = *b;
    if (x >= 'A' && x <= 'Z') x = static_cast<WCHAR>(x - 'A' + 'a');
    if (y >= 'A' && y <= 'Z') y = static_cast<WCHAR>(y - 'A' + 'a');
    if (x != y) return false;
    if (!x) return true;
  }
}

// The controller's name: the service id after "urn:upnp-org:serviceId:", or
// the whole id when it does not carry that prefix.
BSTR ControllerNameOf(BSTR bstrServiceId) {
  const UINT len = SysStringLen(bstrServiceId);
  const UINT prefixLen = static_cast<UINT>(sizeof(kServiceIdPrefix) / sizeof(WCHAR) - 1);
  bool hasPrefix = len >= prefixLen;
  for (UINT i = 0; hasPrefix && i < prefixLen; ++i)
    if (bstrServiceId[i] != kServiceIdPrefix[i]) hasPrefix = false;
  if (hasPrefix) return SysAllocStringLen(bstrServiceId + prefixLen, len - prefixLen);
  return SysAllocStringLen(bstrServiceId, len);
}

HRESULT PutString(VARIANT* pvar, const WCHAR* psz, UINT cch) {
  BSTR bstr = SysAllocStringLen(psz, cch);
  if (!bstr) return E_OUTOFMEMORY;
  VariantClear(pvar);
  pvar->vt = VT_BSTR;
  pvar->bstrVal = bstr;
  return S_OK;
}

class CControllerService final : public qel::ComObject<CControllerService, IDispatch, IUPnPEventSource> {
 public:
  explicit CControllerService(BSTR bstrName) : m_bstrName(bstrName) {}
  ~CControllerService() {
    SysFreeString(m_bstrName);
    if (m_pSink) m_pSink->Release();
  }

  HRESULT STDMETHODCALLTYPE GetTypeInfoCount(UINT* pctinfo) override {
    if (!pctinfo) return E_POINTER;
    *pctinfo = 0;
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE GetTypeInfo(UINT, LCID, ITypeInfo** ppTInfo) override {
    if (ppTInfo) *ppTInfo = nullptr;
    return DISP_E_BADINDEX;
  }
  HRESULT STDMETHODCALLTYPE GetIDsOfNames(REFIID, LPOLESTR* rgszNames, UINT cNames, LCID,
                                          DISPID* rgDispId) override {
    if (!rgszNames || !rgDispId || cNames == 0) return E_INVALIDARG;
    HRESULT hr = S_OK;
    for (UINT i = 0; i < cNames; ++i) {
      rgDispId[i] = DISPID_UNKNOWN;
      if (!rgszNames[i]) {
        hr = DISP_E_UNKNOWNNAME;
      } else if (EqualNoCase(rgszNames[i], kActionGetControllerName)) {
        rgDispId[i] = DISPID_GETCONTROLLERNAME;
      } else if (EqualNoCase(rgszNames[i], kVariableStatus)) {
        rgDispId[i] = DISPID_STATUS;
      } else {
        hr = DISP_E_UNKNOWNNAME;
      }
    }
    return hr;
  }

  HRESULT STDMETHODCALLTYPE Invoke(DISPID dispIdMember, REFIID, LCID, WORD wFlags, DISPPARAMS* pDispParams,
                                   VARIANT* pVarResult, EXCEPINFO*, UINT* puArgErr) override {
    if (dispIdMember == DISPID_STATUS && (wFlags & DISPATCH_PROPERTYGET)) {
      if (!pVarResult) return E_INVALIDARG;
      return PutString(pVarResult, kStatusOk, 2);
    }
    if (dispIdMember != DISPID_GETCONTROLLERNAME || !(wFlags & DISPATCH_METHOD)) return UPNP_E_INVALID_ACTION;
    // No in arguments; the name goes to the out argument (the last in the
    // DISPPARAMS order is the first declared) and to the result.
    const UINT cArgs = pDispParams ? pDispParams->cArgs : 0;
    VARIANT* pOut = nullptr;
    for (UINT i = cArgs; i > 0; --i) {
      VARIANT* pArg = &pDispParams->rgvarg[i - 1];
      if (pArg->vt == (VT_BYREF | VT_VARIANT) && pArg->pvarVal) {
        pOut = pArg->pvarVal;
        break;
      }
      if (puArgErr) *puArgErr = i - 1;
      return UPNP_E_INVALID_ARGUMENTS;
    }
    const UINT cch = SysStringLen(m_bstrName);
    HRESULT hr = S_OK;
    if (pOut) hr = PutString(pOut, m_bstrName, cch);
    if (SUCCEEDED(hr) && pVarResult) hr = PutString(pVarResult, m_bstrName, cch);
    return hr;
  }

  HRESULT STDMETHODCALLTYPE Advise(IUnknown* pesSubscriber) override {
    if (!pesSubscriber) return E_POINTER;
    IUPnPEventSink* pSink = nullptr;
    HRESULT hr = pesSubscriber->QueryInterface(IID_IUPnPEventSink, reinterpret_cast<void**>(&pSink));
    if (FAILED(hr)) return hr;
    if (m_pSink) m_pSink->Release();
    m_pSink = pSink;
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE Unadvise(IUnknown* pesSubscriber) override {
    if (!m_pSink) return E_UNEXPECTED;
    m_pSink->Release();
    m_pSink = nullptr;
    return S_OK;
  }

 private:
  qel::ModuleRef m_moduleRef{g_objectCount};
  BSTR m_bstrName;
  IUPnPEventSink* m_pSink = nullptr;  // "Status" never changes: kept only to honour Advise
};

}  // namespace

class CQelDeviceControl final : public qel::ComObject<CQelDeviceControl, IUPnPDeviceControl> {
 public:
  ~CQelDeviceControl() {
    SysFreeString(m_bstrDeviceId);
    SysFreeString(m_bstrInitString);
  }

  HRESULT STDMETHODCALLTYPE Initialize(BSTR bstrXMLDesc, BSTR bstrDeviceIdentifier, BSTR bstrInitString) override {
    if (SysStringLen(bstrXMLDesc) == 0) return E_INVALIDARG;
    BSTR bstrId = SysAllocStringLen(bstrDeviceIdentifier, SysStringLen(bstrDeviceIdentifier));
    BSTR bstrInit = SysAllocStringLen(bstrInitString, SysStringLen(bstrInitString));
    if (!bstrId || !bstrInit) {
      SysFreeString(bstrId);
      SysFreeString(bstrInit);
      return E_OUTOFMEMORY;
    }
    SysFreeString(m_bstrDeviceId);
    SysFreeString(m_bstrInitString);
    m_bstrDeviceId = bstrId;
    m_bstrInitString = bstrInit;
    m_bInitialized = true;
    return S_OK;
  }

  HRESULT STDMETHODCALLTYPE GetServiceObject(BSTR, BSTR bstrServiceId, IDispatch** ppdispService) override {
    if (!ppdispService) return E_POINTER;
    *ppdispService = nullptr;
    if (!m_bInitialized) return E_UNEXPECTED;
    if (SysStringLen(bstrServiceId) == 0) return E_INVALIDARG;
    BSTR bstrName = ControllerNameOf(bstrServiceId);
    if (!bstrName) return E_OUTOFMEMORY;
    qel::ComPtr<CControllerService> service = qel::MakeComObject<CControllerService>(bstrName);
    if (!service) {
      SysFreeString(bstrName);
      return E_OUTOFMEMORY;
    }
    *ppdispService = static_cast<IDispatch*>(service.Detach());
    return S_OK;
  }

 private:
  qel::ModuleRef m_moduleRef{g_objectCount};
  BSTR m_bstrDeviceId = nullptr;
  BSTR m_bstrInitString = nullptr;
  bool m_bInitialized = false;
};

HRESULT CreateQelDeviceControl(REFIID riid, void** ppv) {
  if (!ppv) return E_POINTER;
  *ppv = nullptr;
  return qel::GetClassFactory<CQelDeviceControl>(g_objectCount, riid, ppv);
}
