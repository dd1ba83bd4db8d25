// RegKey: holder of one open registry key, closed when the holder goes away.
#pragma once

#include <windows.h>

class RegKey {
 public:
  RegKey() = default;
  ~RegKey() { Close(); }
  RegKey(const RegKey&) = delete;
  RegKey& operator=(const RegKey&) = delete;

  // Opens lpszKeyName under hKeyParent. On failure the held key is untouched and
  // the open's code is returned; on success a key held before is closed first and
  // the code of that close is returned (0 when nothing was held).
  LONG Open(HKEY hKeyParent, LPCWSTR lpszKeyName, REGSAM samDesired);
  // Creates (or opens) lpszKeyName under hKeyParent for full access, replacing
  // the held key the same way Open does.
  LONG Create(HKEY hKeyParent, LPCWSTR lpszKeyName);
  // Closes the held key; 0 when nothing was held.
  LONG Close();
  // Reads a value of any type into pValue; *pdwCount is the capacity in bytes on
  // entry and the size of the data on return.
  LONG QueryValue(LPVOID pValue, LPCWSTR lpszValueName, DWORD* pdwCount);
  // Stores lpszValue as REG_SZ, terminating null included.
  LONG SetValue(LPCWSTR lpszValue, LPCWSTR lpszValueName);
  // Deletes the subkey lpszKey of the held key with everything below it.
  LONG DeleteTree(LPCWSTR lpszKey);

  HKEY m_hKey = nullptr;

  operator HKEY() const { return m_hKey; }
};
