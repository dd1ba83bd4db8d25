// The service module: the one object that holds all of the program's state.
#pragma once

#include <windows.h>
#include <objbase.h>
#include <oleauto.h>

#include <atomic>
#include <mutex>
#include <vector>

// The device's identity strings, read from the workspace and written into the
// device description in this order. Each is a BSTR owned by the module; null until read.
struct DeviceIdentity {
  BSTR m_strUDN = nullptr;
  BSTR m_strFriendlyName = nullptr;
  BSTR m_strDeviceType = nullptr;
  BSTR m_strPresentationURL = nullptr;
  BSTR m_strManufacturer = nullptr;
  BSTR m_strManufacturerURL = nullptr;
  BSTR m_strModelName = nullptr;
  BSTR m_strModelNumber = nullptr;
  BSTR m_strModelDescription = nullptr;
  BSTR m_strModelURL = nullptr;
  BSTR m_strUPC = nullptr;
  BSTR m_strSerialNumber = nullptr;

  static constexpr int kCount = 12;
  // The members in their fixed order, for walks over all twelve.
  BSTR* Member(int i) { return &m_strUDN + i; }
  const BSTR* Member(int i) const { return &m_strUDN + i; }
};
static_assert(sizeof(DeviceIdentity) == DeviceIdentity::kCount * sizeof(BSTR), "identity must be twelve BSTRs");

// The names of the enabled controllers, in document order. Owns its BSTRs.
class ControllerList {
 public:
  int GetSize() const { return static_cast<int>(m_names.size()); }
  BSTR operator[](int i) const { return m_names[static_cast<size_t>(i)]; }
  BSTR& operator[](int i) { return m_names[static_cast<size_t>(i)]; }
  // Takes ownership of `name`.
  void Add(BSTR name) { m_names.push_back(name); }
  void RemoveAll() { m_names.clear(); }
  void ReleaseStorage() { std::vector<BSTR>().swap(m_names); }

 private:
  std::vector<BSTR> m_names;
};

// One entry of the class-object table. An entry whose class id is null ends the table.
struct ClassObjectEntry {
  typedef HRESULT(WINAPI* UpdateRegistryFn)(BOOL bRegister);
  typedef HRESULT(WINAPI* CreatorFn)(void* pv, REFIID riid, LPVOID* ppv);
  typedef HRESULT(WINAPI* GetClassObjectFn)(CreatorFn pfnCreate, REFIID riid, LPVOID* ppv);
  typedef const struct CategoryMapEntry*(WINAPI* CategoryMapFn)();
  typedef void(WINAPI* ObjectMainFn)(bool bStarting);

  const CLSID* pclsid;
  UpdateRegistryFn pfnUpdateRegistry;
  GetClassObjectFn pfnGetClassObject;
  CreatorFn pfnCreateInstance;
  DWORD dwRegister;
  LPCWSTR(WINAPI* pfnGetObjectDescription)();
  CategoryMapFn pfnGetCategoryMap;
  ObjectMainFn pfnObjectMain;
};

// COM module part: filled by InitModule.
class CComPart {
 public:
  HRESULT InitModule(ClassObjectEntry* classTable, HINSTANCE hInstance);
  HRESULT RegisterClassEntry(ClassObjectEntry* entry, DWORD dwClsContext, DWORD dwFlags);

  HINSTANCE m_hInstance = nullptr;
  HINSTANCE m_hTypeLibInstance = nullptr;
  ClassObjectEntry* m_classTable = nullptr;
};

// Windows service part: the service's name, its status and the control plumbing.
class CServiceModule : public CComPart {
 public:
  void StartServiceDispatch();
  BOOL ReportServiceState(DWORD dwState);
  BOOL IsServiceInstalled();
  BOOL InstallService();
  BOOL UninstallService();

  static void WINAPI ServiceMainProc(DWORD dwArgc, LPWSTR* lpszArgv);
  static void WINAPI ServiceControlProc(DWORD dwOpcode);

  WCHAR m_szName[256] = {};
  // m_hStatus and m_svcStatus are shared by the service thread and the control
  // handler: both are read and written under m_statusLock.
  SERVICE_STATUS_HANDLE m_hStatus = nullptr;
  SERVICE_STATUS m_svcStatus;
  // Written by the run thread before its message loop, read by the control handler.
  std::atomic<DWORD> m_dwMainThreadId{0};
  BOOL m_bRunAsService = FALSE;
  // Serialises the status reports of the run thread and the control handler.
  std::mutex m_statusLock;
};

class CQelUPnP : public CServiceModule {
 public:
  CQelUPnP() = default;
  ~CQelUPnP();
  CQelUPnP(const CQelUPnP&) = delete;
  CQelUPnP& operator=(const CQelUPnP&) = delete;

  // Run sequence
  void RunService();
  HRESULT QueryModuleDirectory(BSTR* out);

  // Diagnostic log
  void WriteLog(DWORD dwLevel, LPCWSTR pszFormat, ...);

  // Configuration
  HRESULT ReadRegInfo();
  HRESULT ReadCSQ();

  // UPnP publication
  HRESULT CreateDDD(BSTR* pbstrDescription);
  HRESULT RegisterUPnPDevice(BSTR bstrDescription);
  HRESULT UnregisterDevice();

  // m_dwLogLevel and m_szLogFile are read by WriteLog on any thread and written
  // by ReadRegInfo under m_settingsLock.
  std::mutex m_settingsLock;
  DWORD m_dwLogLevel = 0;
  // The message-box output may switch it to debugger output from any thread.
  std::atomic<DWORD> m_dwLogType{0};
  WCHAR m_szDataPath[MAX_PATH] = {};
  WCHAR m_szLogFile[MAX_PATH] = {};
  WCHAR m_szLastDeviceId[MAX_PATH] = {};
  DWORD m_dwPriorityClass = 0x20;  // NORMAL_PRIORITY_CLASS
  DWORD m_dwLcid = 1024;           // LOCALE_USER_DEFAULT
  DeviceIdentity m_identity;
  BSTR m_bstrModuleDir = nullptr;
  ControllerList m_controllers;

  // Guards m_szLastDeviceId and the registration against a concurrent withdrawal
  // by the control handler; m_bStopRequested tells a registration that finishes
  // after a stop request to withdraw its device at once.
  std::recursive_mutex m_deviceLock;
  bool m_bStopRequested = false;
};

// The module's class-object table: only the end entry, as the program registers no classes.
ClassObjectEntry* ModuleClassTable();

// The one module object of the process, and the pointer InitModule sets to it.
extern CQelUPnP g_Module;
extern CQelUPnP* g_pModule;
