// Device registration: publishes the device with the UPnP Device Host and
// withdraws it again, keeping its identifier in the module and the registry.
#include <windows.h>
#include <objbase.h>
#include <oleauto.h>
#include <upnphost.h>

#include <mutex>

#include "QelUPnP.h"
#include "RegKey.h"
#include "../devicecontrol/QelDeviceControl.h"

namespace {

const WCHAR kDeviceIdKey[] = TEXT("SoftWare\\Varn2\\QelUPnP");
const WCHAR kLastDeviceIdValue[] = TEXT("LastDeviceID");
const WCHAR kInitString[] = TEXT("QelUPnP");
const LONG kLifetime = 3200;

// Holds one interface reference and releases it on every way out.
template <class T>
class CInterfaceHolder {
 public:
  CInterfaceHolder() = default;
  ~CInterfaceHolder() {
    if (m_p) m_p->Release();
  }
  CInterfaceHolder(const CInterfaceHolder&) = delete;
  CInterfaceHolder& operator=(const CInterfaceHolder&) = delete;
  T* operator->() const { return m_p; }
  T* Get() const { return m_p; }
  void** PutVoid() { return reinterpret_cast<void**>(&m_p); }

 private:
  T* m_p = nullptr;
};

// Holds one BSTR and frees it on every way out.
class CBstrHolder {
 public:
  explicit CBstrHolder(BSTR bstr = nullptr) : m_bstr(bstr) {}
  ~CBstrHolder() { SysFreeString(m_bstr); }
  CBstrHolder(const CBstrHolder&) = delete;
  CBstrHolder& operator=(const CBstrHolder&) = delete;
  BSTR Get() const { return m_bstr; }
  BSTR* Put() { return &m_bstr; }

 private:
  BSTR m_bstr;
};

}  // namespace

HRESULT CQelUPnP::RegisterUPnPDevice(BSTR bstrDescription) {
  std::lock_guard<std::recursive_mutex> guard(m_deviceLock);

  CBstrHolder bstrInit(SysAllocString(kInitString));

  CInterfaceHolder<IUnknown> pDeviceControl;
  HRESULT hr = CoCreateInstance(CLSID_QelDeviceControl, nullptr, CLSCTX_INPROC_SERVER, IID_IUnknown,
                                pDeviceControl.PutVoid());
  if (FAILED(hr)) {
    WriteLog(0, TEXT("QelUPnP:CoCreateInstance failed."));
    return E_FAIL;
  }

  if (m_szLastDeviceId[0] != 0) UnregisterDevice();

  CInterfaceHolder<IUPnPRegistrar> pRegistrar;
  hr = CoCreateInstance(CLSID_UPnPRegistrar, nullptr, CLSCTX_LOCAL_SERVER, IID_IUPnPRegistrar,
                        pRegistrar.PutVoid());
  if (FAILED(hr)) {
    WriteLog(0, TEXT("QelUPnP:Failed to create UPnPRegistrar instance."));
    return hr;
  }

  CBstrHolder bstrDesc(SysAllocStringLen(bstrDescription, SysStringLen(bstrDescription)));
  CBstrHolder bstrResourcePath(SysAllocStringLen(m_bstrModuleDir, SysStringLen(m_bstrModuleDir)));
  CBstrHolder bstrDeviceId;
  hr = pRegistrar->RegisterRunningDevice(bstrDesc.Get(), pDeviceControl.Get(), bstrInit.Get(),
                                         bstrResourcePath.Get(), kLifetime, bstrDeviceId.Put());
  if (FAILED(hr)) {
    WriteLog(0, TEXT("QelUPnP:Failed to register a Device."));
    return hr;
  }

  // An identifier that does not fit m_szLastDeviceId could be neither stored
  // whole nor withdrawn later: the device is withdrawn at once and the
  // registration fails, leaving the previous identifier in place.
  if (SysStringLen(bstrDeviceId.Get()) >= MAX_PATH) {
    pRegistrar->UnregisterDevice(bstrDeviceId.Get(), TRUE);
    WriteLog(0, TEXT("QelUPnP:Failed to register a Device."));
    return HRESULT_FROM_WIN32(ERROR_INSUFFICIENT_BUFFER);
  }
  swprintf_s(m_szLastDeviceId, MAX_PATH, TEXT("%ls"), bstrDeviceId.Get());

  HRESULT hrResult = S_OK;
  RegKey key;
  if (key.Create(HKEY_CLASSES_ROOT, kDeviceIdKey) != ERROR_SUCCESS) {
    WriteLog(1, TEXT("QelUPnP:Failed to open registry."));
    hrResult = E_FAIL;
  } else {
    if (key.SetValue(m_szLastDeviceId, kLastDeviceIdValue) != ERROR_SUCCESS) {
      WriteLog(1, TEXT("QelUPnP:Failed to write to registry."));
      hrResult = E_FAIL;
    }
    if (key.Close() != ERROR_SUCCESS) {
      WriteLog(1, TEXT("QelUPnP:Failed to close registry."));
      hrResult = E_FAIL;
    }
  }

  // A stop request that arrived while the device was being registered finds
  // nothing to withdraw; the device it would have withdrawn goes now.
  if (m_bStopRequested) UnregisterDevice();
  return hrResult;
}

HRESULT CQelUPnP::UnregisterDevice() {
  std::lock_guard<std::recursive_mutex> guard(m_deviceLock);

  CInterfaceHolder<IUPnPRegistrar> pRegistrar;
  HRESULT hr = CoCreateInstance(CLSID_UPnPRegistrar, nullptr, CLSCTX_LOCAL_SERVER, IID_IUPnPRegistrar,
                                pRegistrar.PutVoid());
  if (FAILED(hr)) {
    WriteLog(0, TEXT("QelUPnP:CoCreateInstance failed."));
    return hr;
  }

  {
    CBstrHolder bstrId(SysAllocString(m_szLastDeviceId));
    hr = pRegistrar->UnregisterDevice(bstrId.Get(), TRUE);
  }
  if (FAILED(hr)) {
    WriteLog(0, TEXT("QelUPnP:UnregisterDevice failed."));
    return hr;
  }

  RegKey key;
  if (key.Open(HKEY_CLASSES_ROOT, kDeviceIdKey, KEY_ALL_ACCESS) != ERROR_SUCCESS) {
    WriteLog(0, TEXT("QelUPnP:Failed to open registry."));
    return E_FAIL;
  }
  if (RegDeleteValueW(key.m_hKey, kLastDeviceIdValue) != ERROR_SUCCESS) {
    WriteLog(0, TEXT("QelUPnP:Failed to delete registry."));
    key.Close();
    return E_FAIL;
  }
  if (key.Close() != ERROR_SUCCESS) {
    WriteLog(0, TEXT("QelUPnP:Failed to close registry."));
    return E_FAIL;
  }
  return hr;
}
