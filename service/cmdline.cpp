// Command line and self-registration: the switches "RegServer", "Service" and
// "UnregServer", and the start without a switch.
#include "cmdline.h"

#include "RegKey.h"
#include "comreg.h"

namespace {

constexpr UINT kServiceNameId = 100;
constexpr UINT kRegistryScriptId = 100;
const WCHAR kAppIdKey[] = TEXT("{3C5E9A17-6B2D-4E80-9F41-A2D7C06E8B35}");

void ShowFailure(LPCWSTR pszText) { MessageBoxW(nullptr, pszText, g_Module.m_szName, MB_OK); }

}  // namespace

LPCWSTR NextSwitchToken(LPCWSTR lpszText, LPCWSTR lpszSeparators) {
  if (lpszText == nullptr || *lpszText == 0) return nullptr;
  for (LPCWSTR p = lpszText; *p != 0; p = CharNextW(p)) {
    for (LPCWSTR s = lpszSeparators; *s != 0; s = CharNextW(s)) {
      if (*p == *s) return CharNextW(p);
    }
  }
  return nullptr;
}

DWORD UnregisterServer() {
  HRESULT hr = CoInitialize(nullptr);
  if (FAILED(hr)) {
    ShowFailure(TEXT("'/UnregServer' failed."));
    return static_cast<DWORD>(hr);
  }
  ApplyRegistryScript(&g_Module, kRegistryScriptId, FALSE, nullptr);
  g_Module.UninstallService();
  UnregisterModule(&g_Module, TRUE, nullptr);
  CoUninitialize();
  return 0;
}

DWORD RegisterServer(BOOL bService) {
  LPCWSTR pszFailure = bService ? TEXT("'/Service' failed.") : TEXT("'/RegServer' failed.");
  DWORD dwResult = 0;

  HRESULT hr = CoInitialize(nullptr);
  if (FAILED(hr)) {
    dwResult = static_cast<DWORD>(hr);
  } else {
    g_Module.UninstallService();
    ApplyRegistryScript(&g_Module, kRegistryScriptId, TRUE, nullptr);

    RegKey keyAppID;
    RegKey key;
    LONG lRes = keyAppID.Open(HKEY_CLASSES_ROOT, TEXT("AppID"), KEY_WRITE);
    if (lRes == ERROR_SUCCESS) lRes = key.Open(keyAppID, kAppIdKey, KEY_WRITE);
    if (lRes != ERROR_SUCCESS) {
      dwResult = static_cast<DWORD>(lRes);
    } else {
      RegDeleteValueW(key, TEXT("LocalService"));
      if (bService) {
        key.SetValue(TEXT("QelUPnP"), TEXT("LocalService"));
        key.SetValue(TEXT("-Service"), TEXT("ServiceParameters"));
        g_Module.InstallService();
      }
      dwResult = static_cast<DWORD>(RegisterModule(&g_Module, TRUE, nullptr));
    }
    CoUninitialize();
  }

  if (dwResult != 0) ShowFailure(pszFailure);
  return dwResult;
}

DWORD StartWithoutSwitch() {
  RegKey keyAppID;
  RegKey key;
  LONG lRes = keyAppID.Open(HKEY_CLASSES_ROOT, TEXT("AppID"), KEY_READ);
  if (lRes != ERROR_SUCCESS) return static_cast<DWORD>(lRes);
  lRes = key.Open(keyAppID, kAppIdKey, KEY_READ);
  if (lRes != ERROR_SUCCESS) return static_cast<DWORD>(lRes);

  // Only whether the value can be read counts, not its type or content.
  WCHAR szValue[MAX_PATH];
  DWORD cbValue = MAX_PATH;
  g_Module.m_bRunAsService = key.QueryValue(szValue, TEXT("LocalService"), &cbValue) == ERROR_SUCCESS ? TRUE : FALSE;

  g_Module.StartServiceDispatch();

  key.Close();
  keyAppID.Close();
  std::lock_guard<std::mutex> guard(g_Module.m_statusLock);
  return g_Module.m_svcStatus.dwWin32ExitCode;
}

DWORD RunProcessEntry(HINSTANCE hInstance, LPCWSTR lpszCmdLine) {
  g_Module.InitModule(ModuleClassTable(), hInstance);
  g_Module.m_bRunAsService = TRUE;
  g_Module.m_szName[0] = 0;
  LoadStringW(hInstance, kServiceNameId, g_Module.m_szName, sizeof(g_Module.m_szName) / sizeof(WCHAR));
  {
    std::lock_guard<std::mutex> guard(g_Module.m_statusLock);
    g_Module.m_hStatus = nullptr;
    g_Module.m_svcStatus.dwServiceType = SERVICE_WIN32_OWN_PROCESS;
    g_Module.m_svcStatus.dwCurrentState = SERVICE_STOPPED;
    g_Module.m_svcStatus.dwControlsAccepted = SERVICE_ACCEPT_STOP | SERVICE_ACCEPT_SHUTDOWN;
    g_Module.m_svcStatus.dwWin32ExitCode = 0;
    g_Module.m_svcStatus.dwServiceSpecificExitCode = 0;
    g_Module.m_svcStatus.dwCheckPoint = 0;
    g_Module.m_svcStatus.dwWaitHint = 0;
  }

  // A switch counts only when it is the whole rest of the line.
  const WCHAR szSeparators[] = TEXT("-/");
  for (LPCWSTR lpszToken = NextSwitchToken(lpszCmdLine, szSeparators); lpszToken != nullptr;
       lpszToken = NextSwitchToken(lpszToken, szSeparators)) {
    if (lstrcmpiW(lpszToken, TEXT("UnregServer")) == 0) return UnregisterServer();
    if (lstrcmpiW(lpszToken, TEXT("RegServer")) == 0) return RegisterServer(FALSE);
    if (lstrcmpiW(lpszToken, TEXT("Service")) == 0) return RegisterServer(TRUE);
  }
  return StartWithoutSwitch();
}
