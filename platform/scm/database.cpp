// The service database: handles, creation, configuration, status queries and
// deletion, all kept in the registry under HKLM\SYSTEM\CurrentControlSet\Services.
#include <unistd.h>

#include <cstring>
#include <mutex>
#include <unordered_map>

#include "qel/fault.h"
#include "qel/kernel.h"
#include "scm_internal.h"

namespace qel::scm {
namespace {

std::mutex g_handlesLock;
std::unordered_map<SC_HANDLE, std::shared_ptr<ScObject>>& Handles() {
  static auto* m = new std::unordered_map<SC_HANDLE, std::shared_ptr<ScObject>>;
  return *m;
}

SC_HANDLE NewHandle(std::shared_ptr<ScObject> obj) {
  SC_HANDLE h = reinterpret_cast<SC_HANDLE>(obj.get());
  std::lock_guard<std::mutex> g(g_handlesLock);
  Handles().emplace(h, std::move(obj));
  return h;
}

// The rights a caller without write access to the store still gets, as an
// unprivileged user gets them on Windows.
constexpr DWORD kManagerReadRights = SC_MANAGER_CONNECT | SC_MANAGER_ENUMERATE_SERVICE |
                                     SC_MANAGER_QUERY_LOCK_STATUS | READ_CONTROL;
constexpr DWORD kServiceReadRights = SERVICE_QUERY_CONFIG | SERVICE_QUERY_STATUS | SERVICE_ENUMERATE_DEPENDENTS |
                                     SERVICE_INTERROGATE | READ_CONTROL;

DWORD MapManagerAccess(DWORD a, bool writable) {
  DWORD m = a & ~(GENERIC_READ | GENERIC_WRITE | GENERIC_EXECUTE | GENERIC_ALL | MAXIMUM_ALLOWED);
  if (a & GENERIC_READ) m |= READ_CONTROL | SC_MANAGER_ENUMERATE_SERVICE | SC_MANAGER_QUERY_LOCK_STATUS;
  if (a & GENERIC_WRITE) m |= READ_CONTROL | SC_MANAGER_CREATE_SERVICE | SC_MANAGER_MODIFY_BOOT_CONFIG;
  if (a & GENERIC_EXECUTE) m |= READ_CONTROL | SC_MANAGER_CONNECT | SC_MANAGER_LOCK;
  if (a & GENERIC_ALL) m |= SC_MANAGER_ALL_ACCESS;
  if (a & MAXIMUM_ALLOWED) m |= writable ? SC_MANAGER_ALL_ACCESS : kManagerReadRights;
  return m | SC_MANAGER_CONNECT;
}

DWORD MapServiceAccess(DWORD a, bool writable) {
  DWORD m = a & ~(GENERIC_READ | GENERIC_WRITE | GENERIC_EXECUTE | GENERIC_ALL | MAXIMUM_ALLOWED);
  if (a & GENERIC_READ)
    m |= READ_CONTROL | SERVICE_QUERY_CONFIG | SERVICE_QUERY_STATUS | SERVICE_INTERROGATE |
         SERVICE_ENUMERATE_DEPENDENTS;
  if (a & GENERIC_WRITE) m |= READ_CONTROL | SERVICE_CHANGE_CONFIG;
  if (a & GENERIC_EXECUTE)
    m |= READ_CONTROL | SERVICE_START | SERVICE_STOP | SERVICE_PAUSE_CONTINUE | SERVICE_USER_DEFINED_CONTROL;
  if (a & GENERIC_ALL) m |= SERVICE_ALL_ACCESS;
  if (a & MAXIMUM_ALLOWED) m |= writable ? SERVICE_ALL_ACCESS : kServiceReadRights;
  return m;
}

BOOL Fail(DWORD code) {
  SetLastError(code);
  return FALSE;
}
SC_HANDLE FailHandle(DWORD code) {
  SetLastError(code);
  return nullptr;
}

std::shared_ptr<const ScObject> ManagerFromHandle(SC_HANDLE h, DWORD needed, DWORD* error) {
  auto obj = LookupHandle(h);
  if (!obj || !obj->manager) {
    *error = ERROR_INVALID_HANDLE;
    return nullptr;
  }
  if ((obj->access & needed) != needed) {
    *error = ERROR_ACCESS_DENIED;
    return nullptr;
  }
  return obj;
}

// Service names are registry key names: no separators, at most 256 characters.
bool ValidServiceName(const WCHAR* name) {
  if (!name || !*name) return false;
  u16view n = WView(name);
  if (n.size() > 256) return false;
  return n.find_first_of(u"\\/") == u16view::npos;
}

bool ValidType(DWORD type) {
  DWORD base = type & ~static_cast<DWORD>(SERVICE_INTERACTIVE_PROCESS);
  return base == SERVICE_WIN32_OWN_PROCESS || base == SERVICE_WIN32_SHARE_PROCESS;
}
bool ValidStart(DWORD start) {
  return start == SERVICE_AUTO_START || start == SERVICE_DEMAND_START || start == SERVICE_DISABLED;
}
bool ValidErrorControl(DWORD e) { return e <= SERVICE_ERROR_CRITICAL; }

bool IsLocalSystem(u16view account) {
  return account.empty() || EqualsNoCase(account, u"LocalSystem") || EqualsNoCase(account, u".\\LocalSystem") ||
         EqualsNoCase(account, u"NT AUTHORITY\\SYSTEM");
}

std::vector<u16> ParseMultiSz(const WCHAR* p) {
  std::vector<u16> items;
  if (!p) return items;
  while (*p) {
    u16view item = WView(p);
    items.emplace_back(item);
    p += item.size() + 1;
  }
  return items;
}

// Another service already uses `name` as its service or display name.
// `self` is the service being changed (not counted).
DWORD CheckNames(u16view name, u16view displayName, u16view self, bool checkName) {
  std::vector<u16> names;
  LSTATUS rc = ListServices(&names);
  if (rc != ERROR_SUCCESS) return static_cast<DWORD>(rc);
  for (const auto& other : names) {
    if (!self.empty() && EqualsNoCase(other, self)) continue;
    if (checkName && EqualsNoCase(other, name)) {
      ServiceRecord rec;
      if (ReadRecord(other, &rec) == ERROR_SUCCESS && rec.deleteFlag) return ERROR_SERVICE_MARKED_FOR_DELETE;
      return ERROR_SERVICE_EXISTS;
    }
    if (EqualsNoCase(other, displayName)) return ERROR_DUPLICATE_SERVICE_NAME;
    ServiceRecord rec;
    if (ReadRecord(other, &rec) != ERROR_SUCCESS) continue;
    if (checkName && EqualsNoCase(rec.displayName, name)) return ERROR_DUPLICATE_SERVICE_NAME;
    if (EqualsNoCase(rec.displayName, displayName)) return ERROR_DUPLICATE_SERVICE_NAME;
  }
  return ERROR_SUCCESS;
}

bool StartsWithBuiltin(const WCHAR* path) {
  u16view p = WView(path);
  return p.size() >= 12 && EqualsNoCase(p.substr(0, 12), u"qel-builtin:");
}

// Reads the record behind a service handle: a service deleted since the
// handle was opened counts as marked for deletion.
DWORD RecordForChange(const ScObject& obj, ServiceRecord* rec) {
  LSTATUS rc = ReadRecord(obj.name, rec);
  if (rc == ERROR_SERVICE_DOES_NOT_EXIST) return ERROR_SERVICE_MARKED_FOR_DELETE;
  if (rc != ERROR_SUCCESS) return static_cast<DWORD>(rc);
  if (rec->Builtin()) return ERROR_ACCESS_DENIED;
  if (rec->deleteFlag) return ERROR_SERVICE_MARKED_FOR_DELETE;
  return ERROR_SUCCESS;
}

// Fills *out from the record and the status file, and writes back what a
// query learned about a dead process, so every later reader agrees.
LiveStatus QueryLive(const ScObject& obj) {
  ServiceRecord rec;
  if (ReadRecord(obj.name, &rec, RecordPart::kStatus) != ERROR_SUCCESS) {
    rec = ServiceRecord{};
    rec.name = obj.name;
    rec.type = SERVICE_WIN32_OWN_PROCESS;
  }
  LiveStatus live = CurrentStatus(rec);
  if (live.aborted && StoreWritable()) {
    StatusFile f;
    f.status.dwServiceType = live.status.dwServiceType;
    f.status.dwCurrentState = SERVICE_STOPPED;
    f.status.dwWin32ExitCode = ERROR_PROCESS_ABORTED;
    f.token = live.token;
    f.boot = BootId();
    if (WriteStatusFile(obj.name, f, &live.token) && rec.deleteFlag) FinishIfMarked(obj.name);
  }
  return live;
}

}  // namespace

std::shared_ptr<const ScObject> LookupHandle(SC_HANDLE h) {
  std::lock_guard<std::mutex> g(g_handlesLock);
  auto it = Handles().find(h);
  if (it == Handles().end()) return nullptr;
  return it->second;
}

std::shared_ptr<const ScObject> ServiceFromHandle(SC_HANDLE h, DWORD needed, DWORD* error) {
  auto obj = LookupHandle(h);
  if (!obj || obj->manager) {
    *error = ERROR_INVALID_HANDLE;
    return nullptr;
  }
  if ((obj->access & needed) != needed) {
    *error = ERROR_ACCESS_DENIED;
    return nullptr;
  }
  return obj;
}

}  // namespace qel::scm

using namespace qel;
using namespace qel::scm;

extern "C" SC_HANDLE WINAPI OpenSCManagerW(LPCWSTR lpMachineName, LPCWSTR lpDatabaseName, DWORD dwDesiredAccess) {
  QEL_FAULT_POINT("OpenSCManagerW", c) return FailHandle(static_cast<DWORD>(c));
  if (lpMachineName && *lpMachineName) {
    u16view m = WView(lpMachineName);
    while (!m.empty() && (m.front() == u'\\' || m.front() == u'/')) m.remove_prefix(1);
    char host[256] = {};
    ::gethostname(host, sizeof host - 1);
    if (!(m == u"." || EqualsNoCase(m, u"localhost") || EqualsNoCase(m, FromUtf8(host))))
      return FailHandle(RPC_S_SERVER_UNAVAILABLE);
  }
  if (lpDatabaseName && !EqualsNoCase(WView(lpDatabaseName), SERVICES_ACTIVE_DATABASEW))
    return FailHandle(ERROR_DATABASE_DOES_NOT_EXIST);
  // Opening the database creates the store when it is new (seeded with the
  // platform's own services), and fails as the store does when it is unusable.
  bool writable = StoreWritable();
  Key services;
  LSTATUS rc = OpenServicesKey(writable ? (KEY_READ | KEY_CREATE_SUB_KEY) : KEY_READ, &services);
  if (rc != ERROR_SUCCESS && rc != ERROR_FILE_NOT_FOUND) return FailHandle(static_cast<DWORD>(rc));
  DWORD access = MapManagerAccess(dwDesiredAccess, writable);
  if (!writable && (access & ~kManagerReadRights)) return FailHandle(ERROR_ACCESS_DENIED);
  auto obj = std::make_shared<ScObject>();
  obj->manager = true;
  obj->access = access;
  return NewHandle(std::move(obj));
}

extern "C" SC_HANDLE WINAPI OpenServiceW(SC_HANDLE hSCManager, LPCWSTR lpServiceName, DWORD dwDesiredAccess) {
  QEL_FAULT_POINT("OpenServiceW", c) return FailHandle(static_cast<DWORD>(c));
  DWORD err = 0;
  if (!ManagerFromHandle(hSCManager, SC_MANAGER_CONNECT, &err)) return FailHandle(err);
  if (!ValidServiceName(lpServiceName)) return FailHandle(ERROR_INVALID_NAME);
  Key key;
  LSTATUS rc = OpenServiceKey(WView(lpServiceName), KEY_QUERY_VALUE, &key);
  if (rc != ERROR_SUCCESS) return FailHandle(static_cast<DWORD>(rc));
  bool writable = StoreWritable();
  DWORD access = MapServiceAccess(dwDesiredAccess, writable);
  if (!writable && (access & ~kServiceReadRights)) return FailHandle(ERROR_ACCESS_DENIED);
  auto obj = std::make_shared<ScObject>();
  obj->access = access;
  obj->name = u16(WView(lpServiceName));
  return NewHandle(std::move(obj));
}

extern "C" SC_HANDLE WINAPI CreateServiceW(SC_HANDLE hSCManager, LPCWSTR lpServiceName, LPCWSTR lpDisplayName,
                                           DWORD dwDesiredAccess, DWORD dwServiceType, DWORD dwStartType,
                                           DWORD dwErrorControl, LPCWSTR lpBinaryPathName,
                                           LPCWSTR lpLoadOrderGroup, LPDWORD lpdwTagId, LPCWSTR lpDependencies,
                                           LPCWSTR lpServiceStartName, LPCWSTR lpPassword) {
  QEL_FAULT_POINT("CreateServiceW", c) return FailHandle(static_cast<DWORD>(c));
  DWORD err = 0;
  if (!ManagerFromHandle(hSCManager, SC_MANAGER_CREATE_SERVICE, &err)) return FailHandle(err);
  if (!ValidServiceName(lpServiceName)) return FailHandle(ERROR_INVALID_NAME);
  u16 name(WView(lpServiceName));
  u16 display = lpDisplayName && *lpDisplayName ? u16(WView(lpDisplayName)) : name;
  if (display.size() > 256) return FailHandle(ERROR_INVALID_NAME);
  if (!ValidType(dwServiceType) || !ValidStart(dwStartType) || !ValidErrorControl(dwErrorControl))
    return FailHandle(ERROR_INVALID_PARAMETER);
  if (!lpBinaryPathName || !*lpBinaryPathName || StartsWithBuiltin(lpBinaryPathName))
    return FailHandle(ERROR_INVALID_PARAMETER);
  u16 group = lpLoadOrderGroup ? u16(WView(lpLoadOrderGroup)) : u16();
  if (lpdwTagId && group.empty()) return FailHandle(ERROR_INVALID_PARAMETER);
  u16 account = lpServiceStartName ? u16(WView(lpServiceStartName)) : u16();
  if ((dwServiceType & SERVICE_INTERACTIVE_PROCESS) && !IsLocalSystem(account))
    return FailHandle(ERROR_INVALID_PARAMETER);
  std::vector<u16> deps = ParseMultiSz(lpDependencies);
  for (const auto& d : deps)
    if (EqualsNoCase(d, name)) return FailHandle(ERROR_CIRCULAR_DEPENDENCY);
  (void)lpPassword;  // every service runs with the manager's own identity here

  if (DWORD dup = CheckNames(name, display, u"", true); dup != ERROR_SUCCESS) return FailHandle(dup);

  Key services;
  LSTATUS rc = OpenServicesKey(KEY_ALL_ACCESS, &services);
  if (rc != ERROR_SUCCESS) return FailHandle(static_cast<DWORD>(rc));
  HKEY hkey = nullptr;
  DWORD disposition = 0;
  rc = RegCreateKeyExW(services.get(), name.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &hkey, &disposition);
  if (rc != ERROR_SUCCESS) return FailHandle(static_cast<DWORD>(rc));
  Key key(hkey);
  if (disposition == REG_OPENED_EXISTING_KEY) return FailHandle(ERROR_SERVICE_EXISTS);  // created meanwhile
  if ((rc = WriteDword(key.get(), u"Type", dwServiceType)) == ERROR_SUCCESS &&
      (rc = WriteDword(key.get(), u"Start", dwStartType)) == ERROR_SUCCESS &&
      (rc = WriteDword(key.get(), u"ErrorControl", dwErrorControl)) == ERROR_SUCCESS &&
      (rc = WriteString(key.get(), u"ImagePath", WView(lpBinaryPathName), REG_EXPAND_SZ)) == ERROR_SUCCESS &&
      (rc = WriteString(key.get(), u"DisplayName", display)) == ERROR_SUCCESS &&
      (rc = WriteString(key.get(), u"ObjectName", account.empty() ? u16(u"LocalSystem") : account)) ==
          ERROR_SUCCESS &&
      (deps.empty() || (rc = WriteMultiString(key.get(), u"DependOnService", deps)) == ERROR_SUCCESS) &&
      (group.empty() || (rc = WriteString(key.get(), u"Group", group)) == ERROR_SUCCESS)) {
    if (lpdwTagId) *lpdwTagId = 0;
    // A status left by an earlier service of the same name belongs to that one.
    RemoveStatusFile(name);
    auto obj = std::make_shared<ScObject>();
    obj->access = MapServiceAccess(dwDesiredAccess, true);
    obj->name = name;
    return NewHandle(std::move(obj));
  }
  key.Reset();
  (void)RegDeleteTreeW(services.get(), name.c_str());
  return FailHandle(static_cast<DWORD>(rc));
}

extern "C" BOOL WINAPI ChangeServiceConfigW(SC_HANDLE hService, DWORD dwServiceType, DWORD dwStartType,
                                            DWORD dwErrorControl, LPCWSTR lpBinaryPathName,
                                            LPCWSTR lpLoadOrderGroup, LPDWORD lpdwTagId, LPCWSTR lpDependencies,
                                            LPCWSTR lpServiceStartName, LPCWSTR lpPassword,
                                            LPCWSTR lpDisplayName) {
  QEL_FAULT_POINT("ChangeServiceConfigW", c) return Fail(static_cast<DWORD>(c));
  DWORD err = 0;
  auto obj = ServiceFromHandle(hService, SERVICE_CHANGE_CONFIG, &err);
  if (!obj) return Fail(err);
  ServiceRecord rec;
  if ((err = RecordForChange(*obj, &rec)) != ERROR_SUCCESS) return Fail(err);
  if (dwServiceType != SERVICE_NO_CHANGE && !ValidType(dwServiceType)) return Fail(ERROR_INVALID_PARAMETER);
  if (dwStartType != SERVICE_NO_CHANGE && !ValidStart(dwStartType)) return Fail(ERROR_INVALID_PARAMETER);
  if (dwErrorControl != SERVICE_NO_CHANGE && !ValidErrorControl(dwErrorControl))
    return Fail(ERROR_INVALID_PARAMETER);
  if (lpBinaryPathName && (!*lpBinaryPathName || StartsWithBuiltin(lpBinaryPathName)))
    return Fail(ERROR_INVALID_PARAMETER);
  u16 group = lpLoadOrderGroup ? u16(WView(lpLoadOrderGroup)) : rec.group;
  if (lpdwTagId && group.empty()) return Fail(ERROR_INVALID_PARAMETER);
  DWORD type = dwServiceType != SERVICE_NO_CHANGE ? dwServiceType : rec.type;
  u16 account = lpServiceStartName ? u16(WView(lpServiceStartName)) : rec.objectName;
  if ((type & SERVICE_INTERACTIVE_PROCESS) && !IsLocalSystem(account)) return Fail(ERROR_INVALID_PARAMETER);
  std::vector<u16> deps = ParseMultiSz(lpDependencies);
  for (const auto& d : deps)
    if (EqualsNoCase(d, obj->name)) return Fail(ERROR_CIRCULAR_DEPENDENCY);
  if (lpDisplayName && *lpDisplayName) {
    if (WLen(lpDisplayName) > 256) return Fail(ERROR_INVALID_NAME);
    if (DWORD dup = CheckNames(obj->name, WView(lpDisplayName), obj->name, false); dup != ERROR_SUCCESS)
      return Fail(dup);
  }
  (void)lpPassword;

  Key key;
  LSTATUS rc = OpenServiceKey(obj->name, KEY_ALL_ACCESS, &key);
  if (rc != ERROR_SUCCESS) return Fail(rc == ERROR_SERVICE_DOES_NOT_EXIST ? ERROR_SERVICE_MARKED_FOR_DELETE : rc);
  auto step = [&](LSTATUS r) {
    if (rc == ERROR_SUCCESS) rc = r;
  };
  if (dwServiceType != SERVICE_NO_CHANGE) step(WriteDword(key.get(), u"Type", dwServiceType));
  if (dwStartType != SERVICE_NO_CHANGE) step(WriteDword(key.get(), u"Start", dwStartType));
  if (dwErrorControl != SERVICE_NO_CHANGE) step(WriteDword(key.get(), u"ErrorControl", dwErrorControl));
  if (lpBinaryPathName)
    step(WriteString(key.get(), u"ImagePath", WView(lpBinaryPathName), rec.imagePathPresent && !rec.imagePathExpand
                                                                              ? REG_SZ
                                                                              : REG_EXPAND_SZ));
  if (lpLoadOrderGroup) {
    if (group.empty()) {
      LSTATUS d = RegDeleteValueW(key.get(), u"Group");
      step(d == ERROR_FILE_NOT_FOUND ? ERROR_SUCCESS : d);
    } else {
      step(WriteString(key.get(), u"Group", group));
    }
  }
  if (lpDependencies) {
    if (deps.empty()) {
      LSTATUS d = RegDeleteValueW(key.get(), u"DependOnService");
      step(d == ERROR_FILE_NOT_FOUND ? ERROR_SUCCESS : d);
    } else {
      step(WriteMultiString(key.get(), u"DependOnService", deps));
    }
  }
  if (lpServiceStartName) step(WriteString(key.get(), u"ObjectName", account.empty() ? u"LocalSystem" : account));
  if (lpDisplayName && *lpDisplayName) step(WriteString(key.get(), u"DisplayName", WView(lpDisplayName)));
  if (rc != ERROR_SUCCESS) return Fail(static_cast<DWORD>(rc));
  if (lpdwTagId) *lpdwTagId = 0;
  return TRUE;
}

extern "C" BOOL WINAPI ChangeServiceConfig2W(SC_HANDLE hService, DWORD dwInfoLevel, LPVOID lpInfo) {
  QEL_FAULT_POINT("ChangeServiceConfig2W", c) return Fail(static_cast<DWORD>(c));
  DWORD err = 0;
  auto obj = ServiceFromHandle(hService, SERVICE_CHANGE_CONFIG, &err);
  if (!obj) return Fail(err);
  if (dwInfoLevel != SERVICE_CONFIG_DESCRIPTION) return Fail(ERROR_INVALID_LEVEL);
  if (!lpInfo) return Fail(ERROR_INVALID_PARAMETER);
  ServiceRecord rec;
  if ((err = RecordForChange(*obj, &rec)) != ERROR_SUCCESS) return Fail(err);
  const auto* info = static_cast<const SERVICE_DESCRIPTIONW*>(lpInfo);
  if (!info->lpDescription) return TRUE;  // null leaves the description as it is
  Key key;
  LSTATUS rc = OpenServiceKey(obj->name, KEY_SET_VALUE, &key);
  if (rc != ERROR_SUCCESS) return Fail(rc == ERROR_SERVICE_DOES_NOT_EXIST ? ERROR_SERVICE_MARKED_FOR_DELETE : rc);
  if (!*info->lpDescription) {
    rc = RegDeleteValueW(key.get(), u"Description");
    if (rc == ERROR_FILE_NOT_FOUND) rc = ERROR_SUCCESS;
  } else {
    rc = WriteString(key.get(), u"Description", WView(info->lpDescription));
  }
  if (rc != ERROR_SUCCESS) return Fail(static_cast<DWORD>(rc));
  return TRUE;
}

extern "C" BOOL WINAPI QueryServiceConfigW(SC_HANDLE hService, LPQUERY_SERVICE_CONFIGW lpServiceConfig,
                                           DWORD cbBufSize, LPDWORD pcbBytesNeeded) {
  QEL_FAULT_POINT("QueryServiceConfigW", c) return Fail(static_cast<DWORD>(c));
  DWORD err = 0;
  auto obj = ServiceFromHandle(hService, SERVICE_QUERY_CONFIG, &err);
  if (!obj) return Fail(err);
  if (!pcbBytesNeeded) return Fail(RPC_X_NULL_REF_POINTER);
  ServiceRecord rec;
  LSTATUS rc = ReadRecord(obj->name, &rec);
  if (rc == ERROR_SERVICE_DOES_NOT_EXIST) return Fail(ERROR_SERVICE_MARKED_FOR_DELETE);
  if (rc != ERROR_SUCCESS) return Fail(static_cast<DWORD>(rc));
  u16 deps;
  for (const auto& d : rec.dependencies) {
    deps += d;
    deps += u'\0';
  }
  const u16* strings[] = {&rec.imagePath, &rec.group, &deps, &rec.objectName, &rec.displayName};
  std::size_t chars = 0;
  for (const u16* s : strings) chars += s->size() + 1;
  std::size_t needed = sizeof(QUERY_SERVICE_CONFIGW) + chars * sizeof(WCHAR);
  *pcbBytesNeeded = static_cast<DWORD>(needed);
  if (!lpServiceConfig || cbBufSize < needed) return Fail(ERROR_INSUFFICIENT_BUFFER);
  QUERY_SERVICE_CONFIGW* q = lpServiceConfig;
  WCHAR* p = reinterpret_cast<WCHAR*>(reinterpret_cast<BYTE*>(q) + sizeof(QUERY_SERVICE_CONFIGW));
  LPWSTR* fields[] = {&q->lpBinaryPathName, &q->lpLoadOrderGroup, &q->lpDependencies, &q->lpServiceStartName,
                      &q->lpDisplayName};
  for (int i = 0; i < 5; ++i) {
    *fields[i] = p;
    std::memcpy(p, strings[i]->data(), strings[i]->size() * sizeof(WCHAR));
    p += strings[i]->size();
    *p++ = u'\0';
  }
  q->dwServiceType = rec.type;
  q->dwStartType = rec.start;
  q->dwErrorControl = rec.errorControl;
  q->dwTagId = 0;
  return TRUE;
}

extern "C" BOOL WINAPI QueryServiceConfig2W(SC_HANDLE hService, DWORD dwInfoLevel, LPBYTE lpBuffer,
                                            DWORD cbBufSize, LPDWORD pcbBytesNeeded) {
  QEL_FAULT_POINT("QueryServiceConfig2W", c) return Fail(static_cast<DWORD>(c));
  DWORD err = 0;
  auto obj = ServiceFromHandle(hService, SERVICE_QUERY_CONFIG, &err);
  if (!obj) return Fail(err);
  if (dwInfoLevel != SERVICE_CONFIG_DESCRIPTION) return Fail(ERROR_INVALID_LEVEL);
  if (!pcbBytesNeeded) return Fail(RPC_X_NULL_REF_POINTER);
  ServiceRecord rec;
  LSTATUS rc = ReadRecord(obj->name, &rec);
  if (rc == ERROR_SERVICE_DOES_NOT_EXIST) return Fail(ERROR_SERVICE_MARKED_FOR_DELETE);
  if (rc != ERROR_SUCCESS) return Fail(static_cast<DWORD>(rc));
  std::size_t needed = sizeof(SERVICE_DESCRIPTIONW);
  if (rec.description) needed += (rec.description->size() + 1) * sizeof(WCHAR);
  *pcbBytesNeeded = static_cast<DWORD>(needed);
  if (!lpBuffer || cbBufSize < needed) return Fail(ERROR_INSUFFICIENT_BUFFER);
  auto* d = reinterpret_cast<SERVICE_DESCRIPTIONW*>(lpBuffer);
  if (rec.description) {
    WCHAR* p = reinterpret_cast<WCHAR*>(lpBuffer + sizeof(SERVICE_DESCRIPTIONW));
    std::memcpy(p, rec.description->data(), rec.description->size() * sizeof(WCHAR));
    p[rec.description->size()] = u'\0';
    d->lpDescription = p;
  } else {
    d->lpDescription = nullptr;
  }
  return TRUE;
}

extern "C" BOOL WINAPI QueryServiceStatus(SC_HANDLE hService, LPSERVICE_STATUS lpServiceStatus) {
  QEL_FAULT_POINT("QueryServiceStatus", c) return Fail(static_cast<DWORD>(c));
  DWORD err = 0;
  auto obj = ServiceFromHandle(hService, SERVICE_QUERY_STATUS, &err);
  if (!obj) return Fail(err);
  if (!lpServiceStatus) return Fail(RPC_X_NULL_REF_POINTER);
  LiveStatus live = QueryLive(*obj);
  std::memcpy(lpServiceStatus, &live.status, sizeof(SERVICE_STATUS));
  return TRUE;
}

extern "C" BOOL WINAPI QueryServiceStatusEx(SC_HANDLE hService, int InfoLevel, LPBYTE lpBuffer, DWORD cbBufSize,
                                            LPDWORD pcbBytesNeeded) {
  QEL_FAULT_POINT("QueryServiceStatusEx", c) return Fail(static_cast<DWORD>(c));
  DWORD err = 0;
  auto obj = ServiceFromHandle(hService, SERVICE_QUERY_STATUS, &err);
  if (!obj) return Fail(err);
  if (InfoLevel != SC_STATUS_PROCESS_INFO) return Fail(ERROR_INVALID_LEVEL);
  if (!pcbBytesNeeded) return Fail(RPC_X_NULL_REF_POINTER);
  *pcbBytesNeeded = sizeof(SERVICE_STATUS_PROCESS);
  if (!lpBuffer || cbBufSize < sizeof(SERVICE_STATUS_PROCESS)) return Fail(ERROR_INSUFFICIENT_BUFFER);
  LiveStatus live = QueryLive(*obj);
  std::memcpy(lpBuffer, &live.status, sizeof(SERVICE_STATUS_PROCESS));
  return TRUE;
}

extern "C" BOOL WINAPI DeleteService(SC_HANDLE hService) {
  QEL_FAULT_POINT("DeleteService", c) return Fail(static_cast<DWORD>(c));
  DWORD err = 0;
  auto obj = ServiceFromHandle(hService, DELETE, &err);
  if (!obj) return Fail(err);
  ServiceRecord rec;
  if ((err = RecordForChange(*obj, &rec)) != ERROR_SUCCESS) return Fail(err);
  LiveStatus live = QueryLive(*obj);
  if (live.status.dwCurrentState == SERVICE_STOPPED) {
    Key services;
    LSTATUS rc = OpenServicesKey(KEY_ALL_ACCESS, &services);
    if (rc == ERROR_SUCCESS) rc = RegDeleteTreeW(services.get(), obj->name.c_str());
    if (rc == ERROR_FILE_NOT_FOUND) return Fail(ERROR_SERVICE_MARKED_FOR_DELETE);
    if (rc != ERROR_SUCCESS) return Fail(static_cast<DWORD>(rc));
    RemoveStatusFile(obj->name);
    return TRUE;
  }
  Key key;
  LSTATUS rc = OpenServiceKey(obj->name, KEY_SET_VALUE, &key);
  if (rc == ERROR_SUCCESS) rc = WriteDword(key.get(), u"DeleteFlag", 1);
  if (rc == ERROR_SERVICE_DOES_NOT_EXIST) return Fail(ERROR_SERVICE_MARKED_FOR_DELETE);
  if (rc != ERROR_SUCCESS) return Fail(static_cast<DWORD>(rc));
  key.Reset();
  // The service may have stopped while the flag was written; its last report
  // did not see the flag then.
  FinishIfMarked(obj->name);
  return TRUE;
}

extern "C" BOOL WINAPI CloseServiceHandle(SC_HANDLE hSCObject) {
  QEL_FAULT_POINT("CloseServiceHandle", c) return Fail(static_cast<DWORD>(c));
  std::shared_ptr<ScObject> obj;
  {
    std::lock_guard<std::mutex> g(g_handlesLock);
    auto it = Handles().find(hSCObject);
    if (it == Handles().end()) return Fail(ERROR_INVALID_HANDLE);
    obj = std::move(it->second);
    Handles().erase(it);
  }
  return TRUE;
}
