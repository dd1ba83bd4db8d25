// The entry points of the QelDeviceControl server library.
#include "QelDeviceControl.h"

#include <objbase.h>

#include "ComObject.h"

extern qel::ModuleCount g_objectCount;
HRESULT CreateQelDeviceControl(REFIID riid, void** ppv);

namespace {

const WCHAR kClassKey[] = TEXT("CLSID\\{5B2E8C41-7A9D-4F06-B3E1-C84D29F7A650}");
const WCHAR kClassName[] = TEXT("QelDeviceControl Class");

HRESULT SetString(HKEY hKey, LPCWSTR pszName, LPCWSTR pszValue) {
  const DWORD cb = static_cast<DWORD>((lstrlenW(pszValue) + 1) * sizeof(WCHAR));
  const LSTATUS ls = RegSetValueExW(hKey, pszName, 0, REG_SZ, reinterpret_cast<const BYTE*>(pszValue), cb);
  return ls == ERROR_SUCCESS ? S_OK : HRESULT_FROM_WIN32(static_cast<DWORD>(ls));
}

// The full path of this library, found through its own module handle (the
// module that holds this very function), whatever the file is called.
HRESULT GetOwnPath(WCHAR* pszPath, DWORD cchPath) {
  HMODULE hModule = nullptr;
  if (!GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                          reinterpret_cast<LPCWSTR>(&GetOwnPath), &hModule) ||
      !hModule)
    return HRESULT_FROM_WIN32(GetLastError() ? GetLastError() : ERROR_MOD_NOT_FOUND);
  const DWORD cch = GetModuleFileNameW(hModule, pszPath, cchPath);
  if (cch == 0) return HRESULT_FROM_WIN32(GetLastError() ? GetLastError() : ERROR_MOD_NOT_FOUND);
  if (cch >= cchPath) return HRESULT_FROM_WIN32(ERROR_INSUFFICIENT_BUFFER);
  return S_OK;
}

}  // namespace

STDAPI DllGetClassObject(REFCLSID rclsid, REFIID riid, LPVOID* ppv) {
  if (!ppv) return E_POINTER;
  *ppv = nullptr;
  if (rclsid != CLSID_QelDeviceControl) return CLASS_E_CLASSNOTAVAILABLE;
  return CreateQelDeviceControl(riid, ppv);
}

STDAPI DllCanUnloadNow() { return g_objectCount.CanUnloadNow(); }

STDAPI DllRegisterServer() {
  WCHAR szPath[MAX_PATH];
  HRESULT hr = GetOwnPath(szPath, MAX_PATH);
  if (FAILED(hr)) return hr;
  HKEY hClass = nullptr;
  LSTATUS ls = RegCreateKeyExW(HKEY_CLASSES_ROOT, kClassKey, 0, nullptr, REG_OPTION_NON_VOLATILE, KEY_ALL_ACCESS,
                               nullptr, &hClass, nullptr);
  if (ls != ERROR_SUCCESS) return HRESULT_FROM_WIN32(static_cast<DWORD>(ls));
  hr = SetString(hClass, nullptr, kClassName);
  HKEY hServer = nullptr;
  if (SUCCEEDED(hr)) {
    ls = RegCreateKeyExW(hClass, TEXT("InprocServer32"), 0, nullptr, REG_OPTION_NON_VOLATILE, KEY_ALL_ACCESS,
                         nullptr, &hServer, nullptr);
    if (ls != ERROR_SUCCESS) hr = HRESULT_FROM_WIN32(static_cast<DWORD>(ls));
  }
  if (SUCCEEDED(hr)) hr = SetString(hServer, nullptr, szPath);
  if (SUCCEEDED(hr)) hr = SetString(hServer, TEXT("ThreadingModel"), TEXT("Both"));
  if (hServer) RegCloseKey(hServer);
  RegCloseKey(hClass);
  if (FAILED(hr)) RegDeleteTreeW(HKEY_CLASSES_ROOT, kClassKey);
  return hr;
}

STDAPI DllUnregisterServer() {
  const LSTATUS ls = RegDeleteTreeW(HKEY_CLASSES_ROOT, kClassKey);
  if (ls == ERROR_SUCCESS || ls == ERROR_FILE_NOT_FOUND) return S_OK;
  return HRESULT_FROM_WIN32(static_cast<DWORD>(ls));
}
