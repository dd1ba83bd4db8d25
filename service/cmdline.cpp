// Command line and self-registration: the switches "RegServer", "Service" and
// "UnregServer", and the start without a switch.
#include "cmdline.h"

#include <cstdio>
#include <string>

#include "RegKey.h"
#include "comreg.h"

namespace {

constexpr UINT kServiceNameId = 100;
constexpr UINT kRegistryScriptId = 100;
const WCHAR kAppIdKey[] = TEXT("{3C5E9A17-6B2D-4E80-9F41-A2D7C06E8B35}");

void ShowFailure(LPCWSTR pszText) { MessageBoxW(nullptr, pszText, g_Module.m_szName, MB_OK); }

const char kUsage[] =
    "Usage: qelupnp [-RegServer | -Service | -UnregServer | --help]\n"
    "\n"
    "Announces the controller workspace named in the registry as a UPnP device.\n"
    "\n"
    "  (no switch)    starts: as the service \"QelUPnP\" when the service control\n"
    "                 manager started it, otherwise in the foreground until it is\n"
    "                 interrupted (Ctrl+C); a program never registered ends with 2\n"
    "  -RegServer     registers the program (application entry, type library)\n"
    "  -Service       registers the program and installs the service \"QelUPnP\"\n"
    "  -UnregServer   removes the service and the program's registration\n"
    "  -h, -?, /?, --help\n"
    "                 shows this text\n"
    "A switch begins with - or /, in any letter case, and ends the command line.\n"
    "\n"
    "Tools:\n"
    "  qelupnp-sc start|stop|query|queryex|log QelUPnP\n"
    "                 controls the service; qelupnp-sc config QelUPnP start= auto\n"
    "                 makes it start at boot\n"
    "  qelupnp-reg    edits the registry: settings under HKCR\\SoftWare\\QelUPnP\n"
    "                 (DataPath, LogLevel, LogType, FileName, ProcessPriority, LCID)\n"
    "  qelupnp-regsvr registers the device-control library\n"
    "  qelupnp-dbgview shows the debugger output (LogType 3)\n"
    "\n"
    "State (registry, service status, service logs) lives in QELUPNP_STATE_DIR,\n"
    "by default /var/lib/qelupnp for root and ~/.local/state/qelupnp for others.\n"
    "The service's standard output and error go to scm/QELUPNP.log there\n"
    "(qelupnp-sc log QelUPnP shows it). The device description is saved as\n"
    "QelUPnPDevice.xml beside the program.\n";

// The asks for the usage text, compared with the whole rest of the line.
bool IsHelpRequest(LPCWSTR lpszArgs) {
  static const WCHAR* const kHelp[] = {TEXT("--help"), TEXT("-h"), TEXT("-?"), TEXT("/?")};
  for (LPCWSTR pszHelp : kHelp)
    if (lstrcmpiW(lpszArgs, pszHelp) == 0) return true;
  return false;
}

void PrintUsage() {
  std::fputs(kUsage, stdout);
  WCHAR szState[MAX_PATH];
  const DWORD cch = GetEnvironmentVariableW(TEXT("QELUPNP_STATE_DIR"), szState, MAX_PATH);
  if (cch > 0 && cch < MAX_PATH) {
    char szUtf8[MAX_PATH * 3];
    const int cb = WideCharToMultiByte(CP_UTF8, 0, szState, -1, szUtf8, sizeof(szUtf8), nullptr, nullptr);
    if (cb > 0) std::printf("QELUPNP_STATE_DIR is set here: %s\n", szUtf8);
  }
  std::fflush(stdout);
}

}  // namespace

LPCWSTR SkipProgramPath(LPCWSTR lpszCmdLine) {
  if (lpszCmdLine == nullptr) return nullptr;
  LPCWSTR p = lpszCmdLine;
  if (*p == '"') {
    // A quoted path ends at the next quote.
    p = CharNextW(p);
    while (*p != 0 && *p != '"') p = CharNextW(p);
    if (*p == '"') p = CharNextW(p);
  } else {
    while (*p != 0 && *p != ' ' && *p != '\t') p = CharNextW(p);
  }
  while (*p == ' ' || *p == '\t') p = CharNextW(p);
  return p;
}

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

  // Only the arguments are scanned: separators in the program's own path (a
  // Linux path is all slashes) would make a file named "service" a switch.
  LPCWSTR lpszArgs = SkipProgramPath(lpszCmdLine);
  if (lpszArgs != nullptr && IsHelpRequest(lpszArgs)) {
    PrintUsage();
    return 0;
  }

  // A switch counts only when it is the whole rest of the line.
  const WCHAR szSeparators[] = TEXT("-/");
  for (LPCWSTR lpszToken = NextSwitchToken(lpszArgs, szSeparators); lpszToken != nullptr;
       lpszToken = NextSwitchToken(lpszToken, szSeparators)) {
    if (lstrcmpiW(lpszToken, TEXT("UnregServer")) == 0) return UnregisterServer();
    if (lstrcmpiW(lpszToken, TEXT("RegServer")) == 0) return RegisterServer(FALSE);
    if (lstrcmpiW(lpszToken, TEXT("Service")) == 0) return RegisterServer(TRUE);
  }
  return StartWithoutSwitch();
}
