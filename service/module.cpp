// The module object: construction, destruction, initialisation, the class-object
// table walks and the run sequence that publishes the device.
#include "QelUPnP.h"

#include <clocale>
#include <mutex>

CQelUPnP g_Module;
CQelUPnP* g_pModule = nullptr;

namespace {

// The program registers no COM classes: the table holds only its end entry.
ClassObjectEntry g_classTable[] = {
    {nullptr, nullptr, nullptr, nullptr, 0, nullptr, nullptr, nullptr},
};

// Owns one BSTR for the length of a scope, so that it is freed on every way out.
class ScopedBstr {
 public:
  ScopedBstr() = default;
  ~ScopedBstr() { SysFreeString(m_bstr); }
  ScopedBstr(const ScopedBstr&) = delete;
  ScopedBstr& operator=(const ScopedBstr&) = delete;
  BSTR* operator&() { return &m_bstr; }
  operator BSTR() const { return m_bstr; }

 private:
  BSTR m_bstr = nullptr;
};

void FreeAndClear(BSTR& bstr) {
  if (bstr != nullptr) {
    SysFreeString(bstr);
    bstr = nullptr;
  }
}

}  // namespace

ClassObjectEntry* ModuleClassTable() { return g_classTable; }

CQelUPnP::~CQelUPnP() {
  for (int i = 0; i < m_controllers.GetSize(); ++i) FreeAndClear(m_controllers[i]);
  m_controllers.RemoveAll();
  for (int i = 0; i < DeviceIdentity::kCount; ++i) FreeAndClear(*m_identity.Member(i));
  FreeAndClear(m_bstrModuleDir);
  m_controllers.ReleaseStorage();
}

HRESULT CComPart::InitModule(ClassObjectEntry* classTable, HINSTANCE hInstance) {
  g_pModule = &g_Module;
  m_classTable = classTable;
  m_hInstance = hInstance;
  m_hTypeLibInstance = hInstance;
  for (ClassObjectEntry* pEntry = m_classTable; pEntry != nullptr && pEntry->pclsid != nullptr; ++pEntry) {
    if (pEntry->pfnObjectMain != nullptr) pEntry->pfnObjectMain(true);
  }
  return S_OK;
}

HRESULT CComPart::RegisterClassEntry(ClassObjectEntry* entry, DWORD dwClsContext, DWORD dwFlags) {
  if (entry->pfnGetClassObject == nullptr) return S_OK;
  IUnknown* pUnk = nullptr;
  HRESULT hr = entry->pfnGetClassObject(entry->pfnCreateInstance, IID_IUnknown, reinterpret_cast<LPVOID*>(&pUnk));
  if (SUCCEEDED(hr)) hr = CoRegisterClassObject(*entry->pclsid, pUnk, dwClsContext, dwFlags, &entry->dwRegister);
  if (pUnk != nullptr) pUnk->Release();
  return hr;
}

// The directory of the program file, with its final separator. A program path
// that does not fit MAX_PATH is refused rather than cut: a cut path would name
// some other directory.
HRESULT CQelUPnP::QueryModuleDirectory(BSTR* out) {
  if (out == nullptr) return E_INVALIDARG;

  WCHAR szPath[MAX_PATH];
  szPath[0] = 0;
  DWORD cch = GetModuleFileNameW(nullptr, szPath, MAX_PATH);
  if (cch == 0 || szPath[0] == 0) return E_FAIL;
  if (cch >= MAX_PATH) return HRESULT_FROM_WIN32(ERROR_INSUFFICIENT_BUFFER);

  WCHAR szDrive[MAX_PATH];
  WCHAR szDir[MAX_PATH];
  WCHAR szFile[MAX_PATH];
  WCHAR szExt[MAX_PATH];
  if (_wsplitpath_s(szPath, szDrive, MAX_PATH, szDir, MAX_PATH, szFile, MAX_PATH, szExt, MAX_PATH) != 0)
    return E_FAIL;
  WCHAR szModuleDir[MAX_PATH];
  if (_wmakepath_s(szModuleDir, MAX_PATH, szDrive, szDir, nullptr, nullptr) != 0) return E_FAIL;

  BSTR bstr = SysAllocString(szModuleDir);
  if (bstr == nullptr) return E_OUTOFMEMORY;
  *out = bstr;
  return static_cast<HRESULT>(cch);
}

void CQelUPnP::RunService() {
  m_dwMainThreadId.store(GetCurrentThreadId());

  const HRESULT hrCom = CoInitialize(nullptr);

  for (ClassObjectEntry* pEntry = m_classTable; pEntry != nullptr && pEntry->pclsid != nullptr; ++pEntry) {
    if (RegisterClassEntry(pEntry, CLSCTX_LOCAL_SERVER | CLSCTX_REMOTE_SERVER, REGCLS_MULTIPLEUSE) != S_OK) break;
  }

  {
    // Never leak a directory text held from before.
    BSTR bstrDir = nullptr;
    if (QueryModuleDirectory(&bstrDir) > 0) {
      FreeAndClear(m_bstrModuleDir);
      m_bstrModuleDir = bstrDir;
    }
  }

  ScopedBstr bstrDescription;
  do {
    if (FAILED(ReadRegInfo())) {
      WriteLog(1, TEXT("QelUPnP:This system has not be configured yet.\n"));
      break;
    }
    WriteLog(1, TEXT("QelUPnP:Service started"));
    if (m_bRunAsService) ReportServiceState(SERVICE_RUNNING);

    if (FAILED(ReadCSQ())) {
      WriteLog(1, TEXT("QelUPnP::ReadCSQ() Failed."));
      break;
    }

    if (!SetPriorityClass(GetCurrentProcess(), m_dwPriorityClass)) WriteLog(1, TEXT("QelUPnP:SetPriorityClass Failed."));

    if (m_dwLcid == 0) {
      m_dwLcid = LOCALE_USER_DEFAULT;
    } else {
      WCHAR szLanguage[32];
      if (GetLocaleInfoW(m_dwLcid, LOCALE_SENGLANGUAGE, szLanguage, 32) != 0) {
        _wsetlocale(LC_ALL, szLanguage);
      } else {
        m_dwLcid = LOCALE_USER_DEFAULT;
        WriteLog(1, TEXT("QelUPnP:GetLocaleInfo Failed."));
      }
    }

    if (FAILED(CreateDDD(&bstrDescription))) {
      WriteLog(1, TEXT("QelUPnP::CreateDDD() Failed."));
      break;
    }
    if (FAILED(RegisterUPnPDevice(bstrDescription))) {
      WriteLog(1, TEXT("QelUPnP:egisterUPnPDevice() Failed."));
      break;
    }

    // A stop that came while the sequence was starting has already withdrawn
    // the device; its quit message may still be queued, but there is nothing
    // to wait for.
    bool bStopRequested;
    {
      std::lock_guard<std::recursive_mutex> guard(m_deviceLock);
      bStopRequested = m_bStopRequested;
    }
    if (bStopRequested) break;

    // GetMessageW gives -1 on an error; treat that as the end too rather than spin.
    MSG msg;
    while (GetMessageW(&msg, nullptr, 0, 0) > 0) DispatchMessageW(&msg);
  } while (false);

  for (ClassObjectEntry* pEntry = m_classTable; pEntry != nullptr && pEntry->pclsid != nullptr; ++pEntry) {
    if (CoRevokeClassObject(pEntry->dwRegister) != S_OK) break;
  }
  if (SUCCEEDED(hrCom)) CoUninitialize();
}
