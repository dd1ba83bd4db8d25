// Service control: the dispatcher, the service's entry, its control handler and
// its status reports to the service control manager.
#include "QelUPnP.h"

#include <mutex>

void CServiceModule::StartServiceDispatch() {
  if (m_bRunAsService) {
    SERVICE_TABLE_ENTRYW table[] = {
        {m_szName, ServiceMainProc},
        {nullptr, nullptr},
    };
    // Returns once the service thread has ended and the service is stopped;
    // fails at once when the manager did not start this process.
    if (!StartServiceCtrlDispatcherW(table)) m_bRunAsService = FALSE;
  }
  if (m_bRunAsService) return;
  g_Module.RunService();
}

BOOL CServiceModule::ReportServiceState(DWORD dwState) {
  std::lock_guard<std::mutex> guard(m_statusLock);
  m_svcStatus.dwCurrentState = dwState;
  return SetServiceStatus(m_hStatus, &m_svcStatus);
}

void WINAPI CServiceModule::ServiceMainProc(DWORD dwArgc, LPWSTR* lpszArgv) {
  CQelUPnP& module = g_Module;
  {
    std::lock_guard<std::mutex> guard(module.m_statusLock);
    module.m_svcStatus.dwCurrentState = SERVICE_START_PENDING;
  }
  // The run sequence records this thread again as its first step; recording it
  // before the handler exists means that a stop arriving at once still reaches
  // this thread's queue.
  module.m_dwMainThreadId.store(GetCurrentThreadId());

  SERVICE_STATUS_HANDLE hStatus = RegisterServiceCtrlHandlerW(module.m_szName, ServiceControlProc);
  {
    std::lock_guard<std::mutex> guard(module.m_statusLock);
    module.m_hStatus = hStatus;
  }
  if (hStatus == nullptr) {
    module.WriteLog(1, TEXT("Handler not installed\n"));
    return;
  }

  module.ReportServiceState(SERVICE_START_PENDING);
  {
    std::lock_guard<std::mutex> guard(module.m_statusLock);
    module.m_svcStatus.dwWin32ExitCode = 0;
    module.m_svcStatus.dwCheckPoint = 0;
    module.m_svcStatus.dwWaitHint = 0;
  }

  module.RunService();

  module.ReportServiceState(SERVICE_STOPPED);
  module.WriteLog(1, TEXT("Service stopped\n"));
}

void WINAPI CServiceModule::ServiceControlProc(DWORD dwOpcode) {
  CQelUPnP& module = g_Module;
  switch (dwOpcode) {
    case SERVICE_CONTROL_STOP:
    case SERVICE_CONTROL_SHUTDOWN: {
      module.ReportServiceState(SERVICE_STOP_PENDING);

      // This is the dispatcher's thread, which has no apartment of its own; the
      // withdrawal creates the registrar through COM.
      const HRESULT hrCom = CoInitialize(nullptr);
      {
        // Under the device lock a registration either finished before (and is
        // withdrawn here) or runs after and sees the request (and withdraws
        // its device itself).
        std::lock_guard<std::recursive_mutex> guard(module.m_deviceLock);
        module.m_bStopRequested = true;
        module.UnregisterDevice();
      }
      if (SUCCEEDED(hrCom)) CoUninitialize();

      PostThreadMessageW(module.m_dwMainThreadId.load(), WM_QUIT, 0, 0);
      module.ReportServiceState(SERVICE_STOPPED);
      break;
    }
    case SERVICE_CONTROL_PAUSE:
    case SERVICE_CONTROL_CONTINUE:
    case SERVICE_CONTROL_INTERROGATE:
      break;
    default:
      module.WriteLog(1, TEXT("Bad service request\n"));
      break;
  }
}
