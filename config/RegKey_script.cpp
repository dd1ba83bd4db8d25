// The RegKey operations the registration script needs: creating a key and
// removing a key with everything below it.
#include "RegKey.h"

LONG RegKey::Create(HKEY hKeyParent, LPCWSTR lpszKeyName) {
  HKEY hKey = nullptr;
  DWORD dwDisposition = 0;
  LONG lRes = RegCreateKeyExW(hKeyParent, lpszKeyName, 0, nullptr, REG_OPTION_NON_VOLATILE, KEY_ALL_ACCESS, nullptr,
                              &hKey, &dwDisposition);
  if (lRes != ERROR_SUCCESS) return lRes;
  lRes = Close();
  m_hKey = hKey;
  return lRes;
}

LONG RegKey::DeleteTree(LPCWSTR lpszKey) {
  RegKey key;
  LONG lRes = key.Open(m_hKey, lpszKey, KEY_READ | KEY_WRITE);
  if (lRes != ERROR_SUCCESS) return lRes;
  // Subkey names are at most 255 characters; the enumeration never writes past
  // the buffer, and a longer name ends the walk like any other failure.
  WCHAR szSubKey[256];
  for (;;) {
    DWORD cchSubKey = 256;
    if (RegEnumKeyExW(key.m_hKey, 0, szSubKey, &cchSubKey, nullptr, nullptr, nullptr, nullptr) != ERROR_SUCCESS)
      break;
    lRes = key.DeleteTree(szSubKey);
    if (lRes != ERROR_SUCCESS) return lRes;
  }
  key.Close();
  return RegDeleteKeyW(m_hKey, lpszKey);
}
