// The registry benchmarks' large store: `keys` keys K0, K1, ... below
// HKLM\SOFTWARE\Scale, each with one REG_DWORD "Value". Runs inside the
// caller's transaction.
#pragma once

#include <string>

#include "qel/wstr.h"
#include "winreg.h"

inline void AddScaleKeys(int keys) {
  HKEY scale = nullptr;
  RegCreateKeyExW(HKEY_LOCAL_MACHINE, u"SOFTWARE\\Scale", 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &scale, nullptr);
  for (int i = 0; i < keys; ++i) {
    std::u16string name = qel::FromUtf8("K" + std::to_string(i));
    HKEY k = nullptr;
    RegCreateKeyExW(scale, name.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &k, nullptr);
    DWORD v = static_cast<DWORD>(i);
    RegSetValueExW(k, u"Value", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&v), 4);
    RegCloseKey(k);
  }
  RegCloseKey(scale);
}
