// The UPnPRegistrar class, served by the platform as a built-in local server.
#include "qel/builtins.h"
#include "qel/fault.h"
#include "qel/wstr.h"
#include "host.h"
#include "objbase.h"

namespace qel::upnphost {

namespace {

ModuleCount g_objects;

std::string Utf8(BSTR s) { return ToUtf8(WView(s)); }

HRESULT ToBstr(const std::string& s, BSTR* out) {
  *out = SysAllocString(FromUtf8(s).c_str());
  return *out ? S_OK : E_OUTOFMEMORY;
}

class CUPnPRegistrar final : public ComObject<CUPnPRegistrar, IUPnPRegistrar> {
 public:
  HRESULT STDMETHODCALLTYPE RegisterDevice(BSTR bstrXMLDesc, BSTR bstrProgIDDeviceControlClass, BSTR bstrInitString,
                                           BSTR bstrContainerId, BSTR bstrResourcePath, LONG nLifeTime,
                                           BSTR* pbstrDeviceIdentifier) override {
    QEL_FAULT_POINT("RegisterDevice", c) return static_cast<HRESULT>(c);
    if (!pbstrDeviceIdentifier) return E_POINTER;
    *pbstrDeviceIdentifier = nullptr;
    if (SysStringLen(bstrProgIDDeviceControlClass) == 0) return E_INVALIDARG;
    // The control object runs in this process either way: created from its
    // ProgID, then registered as a running device.
    CLSID clsid{};
    HRESULT hr = CLSIDFromProgID(bstrProgIDDeviceControlClass, &clsid);
    if (FAILED(hr)) return hr;
    ComPtr<IUnknown> control;
    hr = CoCreateInstance(clsid, nullptr, CLSCTX_INPROC_SERVER, IID_IUnknown, control.PutVoid());
    if (FAILED(hr)) return hr;
    return Register(bstrXMLDesc, control.Get(), bstrInitString, bstrResourcePath, nLifeTime, pbstrDeviceIdentifier);
  }

  HRESULT STDMETHODCALLTYPE RegisterRunningDevice(BSTR bstrXMLDesc, IUnknown* punkDeviceControl, BSTR bstrInitString,
                                                  BSTR bstrResourcePath, LONG nLifeTime,
                                                  BSTR* pbstrDeviceIdentifier) override {
    QEL_FAULT_POINT("RegisterRunningDevice", c) return static_cast<HRESULT>(c);
    if (!pbstrDeviceIdentifier) return E_POINTER;
    *pbstrDeviceIdentifier = nullptr;
    return Register(bstrXMLDesc, punkDeviceControl, bstrInitString, bstrResourcePath, nLifeTime,
                    pbstrDeviceIdentifier);
  }

  HRESULT STDMETHODCALLTYPE RegisterDeviceProvider(BSTR, BSTR, BSTR, BSTR) override { return E_NOTIMPL; }

  HRESULT STDMETHODCALLTYPE GetUniqueDeviceName(BSTR bstrDeviceIdentifier, BSTR bstrTemplateUDN,
                                                BSTR* pbstrUDN) override {
    QEL_FAULT_POINT("GetUniqueDeviceName", c) return static_cast<HRESULT>(c);
    if (!pbstrUDN) return E_POINTER;
    *pbstrUDN = nullptr;
    if (SysStringLen(bstrDeviceIdentifier) == 0) return E_INVALIDARG;
    std::string udn;
    const HRESULT hr = Host::Get().UniqueDeviceName(Utf8(bstrDeviceIdentifier), Utf8(bstrTemplateUDN), &udn);
    if (FAILED(hr)) return hr;
    return ToBstr(udn, pbstrUDN);
  }

  HRESULT STDMETHODCALLTYPE UnregisterDevice(BSTR bstrDeviceIdentifier, BOOL fPermanent) override {
    QEL_FAULT_POINT("UnregisterDevice", c) return static_cast<HRESULT>(c);
    if (SysStringLen(bstrDeviceIdentifier) == 0) return E_INVALIDARG;
    return Host::Get().Unregister(Utf8(bstrDeviceIdentifier));
  }

  HRESULT STDMETHODCALLTYPE UnregisterDeviceProvider(BSTR) override { return E_NOTIMPL; }

 private:
  static HRESULT Register(BSTR xml, IUnknown* control, BSTR init, BSTR resourcePath, LONG lifetime, BSTR* out) {
    if (SysStringLen(xml) == 0 || !control) return E_INVALIDARG;
    std::string dir = Utf8(resourcePath);
    std::string id;
    const HRESULT hr = Host::Get().Register(Utf8(xml), control, std::u16string(WView(init)), dir, lifetime, &id);
    if (FAILED(hr)) return hr;
    if (FAILED(ToBstr(id, out))) {
      (void)Host::Get().Unregister(id);
      return E_OUTOFMEMORY;
    }
    return S_OK;
  }

  ModuleRef m_ref{g_objects};
};

}  // namespace

}  // namespace qel::upnphost

extern "C" HRESULT qel_upnphost_DllGetClassObject(REFCLSID rclsid, REFIID riid, void** ppv) {
  if (!ppv) return E_POINTER;
  *ppv = nullptr;
  if (rclsid != CLSID_UPnPRegistrar) return CLASS_E_CLASSNOTAVAILABLE;
  return qel::GetClassFactory<qel::upnphost::CUPnPRegistrar>(qel::upnphost::g_objects, riid, ppv);
}
