#include "RegKey.h"

LONG RegKey::Open(HKEY hKeyParent, LPCWSTR lpszKeyName, REGSAM samDesired) {
  HKEY hKey = nullptr;
  LONG lRes = RegOpenKeyExW(hKeyParent, lpszKeyName, 0, samDesired, &hKey);
  if (lRes != ERROR_SUCCESS) return lRes;
  lRes = Close();
  m_hKey = hKey;
  return lRes;
}

LONG RegKey::Close() {
  LONG lRes = ERROR_SUCCESS;
  if (m_hKey != nullptr) {
    lRes = RegCloseKey(m_hKey);
    m_hKey = nullptr;
  }
  return lRes;
}

LONG RegKey::QueryValue(LPVOID pValue, LPCWSTR lpszValueName, DWORD* pdwCount) {
  DWORD dwType = REG_NONE;
  return RegQueryValueExW(m_hKey, lpszValueName, nullptr, &dwType, static_cast<LPBYTE>(pValue), pdwCount);
}

LONG RegKey::SetValue(LPCWSTR lpszValue, LPCWSTR lpszValueName) {
  DWORD cch = static_cast<DWORD>(lstrlenW(lpszValue));
  return RegSetValueExW(m_hKey, lpszValueName, 0, REG_SZ, reinterpret_cast<const BYTE*>(lpszValue),
                        (cch + 1) * static_cast<DWORD>(sizeof(WCHAR)));
}
