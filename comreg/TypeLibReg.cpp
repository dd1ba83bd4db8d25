// Registration of the module's class objects and of its type library.
#include "comreg.h"

namespace {

typedef HRESULT(WINAPI* UnRegisterTypeLibFn)(REFGUID, WORD, WORD, LCID, SYSKIND);

// Holders that give back what they hold on every way out.
class TypeLibHolder {
 public:
  TypeLibHolder() = default;
  ~TypeLibHolder() {
    if (m_p) m_p->Release();
  }
  TypeLibHolder(const TypeLibHolder&) = delete;
  TypeLibHolder& operator=(const TypeLibHolder&) = delete;
  ITypeLib** operator&() { return &m_p; }
  ITypeLib* operator->() const { return m_p; }
  ITypeLib* get() const { return m_p; }

 private:
  ITypeLib* m_p = nullptr;
};

class BstrHolder {
 public:
  explicit BstrHolder(BSTR b = nullptr) : m_b(b) {}
  ~BstrHolder() { SysFreeString(m_b); }
  BstrHolder(const BstrHolder&) = delete;
  BstrHolder& operator=(const BstrHolder&) = delete;
  BSTR get() const { return m_b; }

 private:
  BSTR m_b;
};

// Number of characters up to and including the last "\", "/" or ":".
int DirectoryPartLength(LPCWSTR pszPath) {
  LPCWSTR pszAfterLast = nullptr;
  for (LPCWSTR p = pszPath; *p; p = CharNextW(p))
    if (*p == TEXT('\\') || *p == TEXT('/') || *p == TEXT(':')) pszAfterLast = CharNextW(p);
  return pszAfterLast ? static_cast<int>(pszAfterLast - pszPath) : 0;
}

// Finds and loads the module's type library: from the program file (with the
// index text appended), else from the ".tlb" file of the same base name.
// *pbstrPath receives the path that loaded.
HRESULT LoadModuleTypeLib(CComPart* pModule, LPCWSTR lpszIndex, BSTR* pbstrPath, ITypeLib** ppTypeLib) {
  WCHAR szPath[MAX_PATH];
  DWORD cch = GetModuleFileNameW(pModule->m_hTypeLibInstance, szPath, MAX_PATH);
  if (cch == 0) return HRESULT_FROM_WIN32(GetLastError());
  // A cut path would name another file.
  if (cch >= MAX_PATH) return HRESULT_FROM_WIN32(ERROR_INSUFFICIENT_BUFFER);
  szPath[cch] = 0;
  if (lpszIndex) {
    int cchIndex = lstrlenW(lpszIndex);
    if (static_cast<int>(cch) + cchIndex >= MAX_PATH) return HRESULT_FROM_WIN32(ERROR_INSUFFICIENT_BUFFER);
    lstrcpynW(szPath + cch, lpszIndex, cchIndex + 1);
  }
  HRESULT hr = LoadTypeLib(szPath, ppTypeLib);
  if (FAILED(hr)) {
    LPWSTR pszDot = nullptr;
    LPWSTR p = szPath;
    for (; *p; p = CharNextW(p))
      if (*p == TEXT('.')) pszDot = p;
    if (!pszDot) pszDot = p;
    const WCHAR szExt[] = TEXT(".tlb");
    if ((pszDot - szPath) + 4 >= MAX_PATH) return hr;
    lstrcpynW(pszDot, szExt, 5);
    hr = LoadTypeLib(szPath, ppTypeLib);
    if (FAILED(hr)) return hr;
  }
  *pbstrPath = SysAllocString(szPath);
  if (!*pbstrPath) {
    (*ppTypeLib)->Release();
    *ppTypeLib = nullptr;
    return E_OUTOFMEMORY;
  }
  return S_OK;
}

}  // namespace

HRESULT RegisterTypeLibrary(CComPart* pModule, LPCWSTR lpszIndex) {
  if (!pModule) return E_INVALIDARG;
  TypeLibHolder typeLib;
  BSTR bstrPath = nullptr;
  HRESULT hr = LoadModuleTypeLib(pModule, lpszIndex, &bstrPath, &typeLib);
  if (FAILED(hr)) return hr;
  BstrHolder path(bstrPath);
  BstrHolder helpDir(SysAllocStringLen(path.get(), static_cast<UINT>(DirectoryPartLength(path.get()))));
  if (!helpDir.get()) return E_OUTOFMEMORY;
  return RegisterTypeLib(typeLib.get(), path.get(), helpDir.get());
}

HRESULT UnregisterTypeLibrary(CComPart* pModule, LPCWSTR lpszIndex) {
  if (!pModule) return E_INVALIDARG;
  TypeLibHolder typeLib;
  BSTR bstrPath = nullptr;
  HRESULT hr = LoadModuleTypeLib(pModule, lpszIndex, &bstrPath, &typeLib);
  if (FAILED(hr)) return hr;
  BstrHolder path(bstrPath);
  TLIBATTR* pAttr = nullptr;
  if (SUCCEEDED(typeLib->GetLibAttr(&pAttr)) && pAttr) {
    HMODULE hOleAut = LoadLibraryW(TEXT("oleaut32.dll"));
    if (hOleAut) {
      auto pfn = reinterpret_cast<UnRegisterTypeLibFn>(
          reinterpret_cast<void*>(GetProcAddress(hOleAut, "UnRegisterTypeLib")));
      if (pfn) pfn(pAttr->guid, pAttr->wMajorVerNum, pAttr->wMinorVerNum, pAttr->lcid, pAttr->syskind);
      FreeLibrary(hOleAut);
    }
    typeLib->ReleaseTLibAttr(pAttr);
  }
  return hr;
}

HRESULT RegisterModule(CComPart* pModule, BOOL bRegTypeLib, const CLSID* pCLSID) {
  if (!pModule) return E_INVALIDARG;
  HRESULT hr = S_OK;
  for (ClassObjectEntry* pEntry = pModule->m_classTable; pEntry && pEntry->pclsid; ++pEntry) {
    if (pCLSID && !IsEqualCLSID(*pCLSID, *pEntry->pclsid)) continue;
    if (pEntry->pfnUpdateRegistry) {
      hr = pEntry->pfnUpdateRegistry(TRUE);
      if (FAILED(hr)) return hr;
    }
  }
  if (bRegTypeLib) hr = RegisterTypeLibrary(pModule, nullptr);
  return hr;
}

HRESULT UnregisterModule(CComPart* pModule, BOOL bUnRegTypeLib, const CLSID* pCLSID) {
  if (!pModule) return E_INVALIDARG;
  for (ClassObjectEntry* pEntry = pModule->m_classTable; pEntry && pEntry->pclsid; ++pEntry) {
    if (pCLSID && !IsEqualCLSID(*pCLSID, *pEntry->pclsid)) continue;
    if (pEntry->pfnUpdateRegistry) pEntry->pfnUpdateRegistry(FALSE);
  }
  if (bUnRegTypeLib) UnregisterTypeLibrary(pModule, nullptr);
  return S_OK;
}
