// Installation of the Windows service that runs the program: lookup, creation
// and removal through the service control manager.
#include "QelUPnP.h"

namespace {

// Closes a service-manager or service handle when the scope ends.
class ScopedScHandle {
 public:
  explicit ScopedScHandle(SC_HANDLE h = nullptr) : m_h(h) {}
  ~ScopedScHandle() { Close(); }
  ScopedScHandle(const ScopedScHandle&) = delete;
  ScopedScHandle& operator=(const ScopedScHandle&) = delete;
  void Close() {
    if (m_h != nullptr) CloseServiceHandle(m_h);
    m_h = nullptr;
  }
  SC_HANDLE get() const { return m_h; }
  explicit operator bool() const { return m_h != nullptr; }

 private:
  SC_HANDLE m_h;
};

// Looks the service up; false when the manager itself cannot be opened.
bool LookUpService(LPCWSTR pszName, BOOL* pbInstalled) {
  *pbInstalled = FALSE;
  ScopedScHandle hSCM(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_ALL_ACCESS));
  if (!hSCM) return false;
  ScopedScHandle hService(OpenServiceW(hSCM.get(), pszName, SERVICE_QUERY_CONFIG));
  *pbInstalled = hService ? TRUE : FALSE;
  return true;
}

}  // namespace

BOOL CServiceModule::IsServiceInstalled() {
  BOOL bInstalled = FALSE;
  LookUpService(m_szName, &bInstalled);
  return bInstalled;
}

BOOL CServiceModule::InstallService() {
  if (IsServiceInstalled()) return TRUE;

  ScopedScHandle hSCM(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_ALL_ACCESS));
  if (!hSCM) {
    MessageBoxW(nullptr, TEXT("Couldn't open service manager."), m_szName, MB_OK);
    return FALSE;
  }

  // The path is stored quoted when it holds a blank, so that the manager can
  // never start a program placed at the first blank instead of this one.
  WCHAR szPath[MAX_PATH];
  szPath[0] = 0;
  const DWORD cch = GetModuleFileNameW(nullptr, szPath, MAX_PATH);
  WCHAR szImagePath[MAX_PATH + 2];
  bool bPathOk = cch != 0 && cch < MAX_PATH;
  if (bPathOk) {
    bool bHasBlank = false;
    for (LPCWSTR p = szPath; *p != 0; ++p)
      if (*p == TEXT(' ')) bHasBlank = true;
    if (bHasBlank)
      bPathOk = swprintf_s(szImagePath, MAX_PATH + 2, TEXT("\"%ls\""), szPath) > 0;
    else
      lstrcpynW(szImagePath, szPath, MAX_PATH + 2);
  }

  ScopedScHandle hService(
      bPathOk ? CreateServiceW(hSCM.get(), m_szName, TEXT("QelUPnP"), SERVICE_ALL_ACCESS, SERVICE_WIN32_OWN_PROCESS,
                               SERVICE_DEMAND_START, SERVICE_ERROR_NORMAL, szImagePath, nullptr, nullptr,
                               TEXT("RPCSS\0UPNPHOST\0"), nullptr, nullptr)
              : nullptr);
  if (!hService) {
    hSCM.Close();
    MessageBoxW(nullptr, TEXT("Couldn't create service."), m_szName, MB_OK);
    return FALSE;
  }

  WCHAR szDescription[] = TEXT("Access QEL by using UPnP.");
  SERVICE_DESCRIPTIONW description = {szDescription};
  ChangeServiceConfig2W(hService.get(), SERVICE_CONFIG_DESCRIPTION, &description);
  return TRUE;
}

BOOL CServiceModule::UninstallService() {
  BOOL bInstalled = FALSE;
  // A manager that cannot be opened says nothing about the service: that is a
  // failure, not "no service installed".
  const bool bManagerOpened = LookUpService(m_szName, &bInstalled);
  if (bManagerOpened && !bInstalled) return TRUE;

  ScopedScHandle hSCM(bManagerOpened ? OpenSCManagerW(nullptr, nullptr, SC_MANAGER_ALL_ACCESS) : nullptr);
  if (!hSCM) {
    MessageBoxW(nullptr, TEXT("CServiceModule:Couldn't open service manager."), m_szName, MB_OK);
    return FALSE;
  }

  ScopedScHandle hService(OpenServiceW(hSCM.get(), m_szName, SERVICE_STOP | DELETE));
  if (!hService) {
    hSCM.Close();
    MessageBoxW(nullptr, TEXT("Couldn't open service."), m_szName, MB_OK);
    return FALSE;
  }

  SERVICE_STATUS status;
  ControlService(hService.get(), SERVICE_CONTROL_STOP, &status);
  const BOOL bDeleted = DeleteService(hService.get());
  hService.Close();
  hSCM.Close();
  if (bDeleted) return TRUE;
  MessageBoxW(nullptr, TEXT("Couldn't delete service."), m_szName, MB_OK);
  return FALSE;
}
