// Helpers for the COM runtime's tests: class-store entries and an apartment per test.
#pragma once

#include <string>

#include "objbase.h"
#include "qel/wstr.h"
#include "server/test_server.h"
#include "testsupport.h"
#include "winreg.h"

namespace comtest {

// The classes of the test server library.
inline constexpr const CLSID& kClsidCounter = kClsidTestCounter;
inline constexpr const CLSID& kClsidAggregatable = kClsidTestAggregatable;
using ::kIidTestCounter;
using ::ITestCounter;
// A class that no store knows.
inline constexpr CLSID kClsidUnknown = {0x0BADC0DE, 0x1111, 0x2222, {0x33, 0x33, 0x44, 0x44, 0x44, 0x44, 0x44, 0x44}};

inline qel::u16 GuidText(REFGUID g) {
  OLECHAR buf[64];
  return StringFromGUID2(g, buf, 64) ? qel::u16(buf) : qel::u16();
}

// Writes the default value of HKCR\<path> (REG_SZ), creating the key.
inline LSTATUS SetClassesDefault(const qel::u16& path, const qel::u16& value, DWORD type = REG_SZ) {
  HKEY key = nullptr;
  LSTATUS st = RegCreateKeyExW(HKEY_CLASSES_ROOT, path.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key, nullptr);
  if (st != ERROR_SUCCESS) return st;
  st = RegSetValueExW(key, nullptr, 0, type, reinterpret_cast<const BYTE*>(value.c_str()),
                      static_cast<DWORD>((value.size() + 1) * sizeof(WCHAR)));
  RegCloseKey(key);
  return st;
}

inline LSTATUS DeleteClassesTree(const qel::u16& path) { return RegDeleteTreeW(HKEY_CLASSES_ROOT, path.c_str()); }

inline LSTATUS RegisterInproc(REFCLSID clsid, const std::string& server) {
  return SetClassesDefault(u"CLSID\\" + GuidText(clsid) + u"\\InprocServer32", qel::FromUtf8(server));
}
inline LSTATUS RegisterLocal(REFCLSID clsid, const std::string& server) {
  return SetClassesDefault(u"CLSID\\" + GuidText(clsid) + u"\\LocalServer32", qel::FromUtf8(server));
}

// A private state directory and an apartment on the test's thread.
class ComTest {
 public:
  ComTest() { m_hrInit = CoInitialize(nullptr); }
  ~ComTest() {
    if (SUCCEEDED(m_hrInit)) CoUninitialize();
  }
  HRESULT init() const { return m_hrInit; }

 private:
  qel::test::ScopedStateDir m_state;
  HRESULT m_hrInit;
};

}  // namespace comtest
