// ControlService: sends one control to a running service's dispatcher through
// its control socket and returns the status the service has after its handler ran.
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "qel/fault.h"
#include "qel/kernel.h"
#include "scm_internal.h"

namespace qel::scm {
namespace {

// The access right a control needs on the service handle; 0 for a control
// that cannot be sent at all.
DWORD RightFor(DWORD control) {
  switch (control) {
    case SERVICE_CONTROL_STOP:
      return SERVICE_STOP;
    case SERVICE_CONTROL_PAUSE:
    case SERVICE_CONTROL_CONTINUE:
    case SERVICE_CONTROL_PARAMCHANGE:
    case 7:  // SERVICE_CONTROL_NETBINDADD .. NETBINDDISABLE
    case 8:
    case 9:
    case 10:
      return SERVICE_PAUSE_CONTINUE;
    case SERVICE_CONTROL_INTERROGATE:
      return SERVICE_INTERROGATE;
    default:
      return control >= 128 && control <= 255 ? SERVICE_USER_DEFINED_CONTROL : 0;
  }
}

void CopyStatus(const SERVICE_STATUS_PROCESS& from, LPSERVICE_STATUS to) {
  if (to) std::memcpy(to, &from, sizeof(SERVICE_STATUS));
}

// Services that depend on `name` and are running now. Only the dependency
// lists are read, so a stop costs one value per installed service.
bool DependentsRunning(u16view name) {
  std::vector<u16> names;
  if (ListServices(&names) != ERROR_SUCCESS) return false;
  for (const auto& n : names) {
    if (EqualsNoCase(n, name)) continue;
    Key key;
    if (OpenServiceKey(n, KEY_QUERY_VALUE, &key) != ERROR_SUCCESS) continue;
    RegValue v;
    if (ReadValue(key.get(), u"DependOnService", &v) != ERROR_SUCCESS) continue;
    bool depends = false;
    for (const auto& d : AsMultiString(v)) depends = depends || EqualsNoCase(d, name);
    if (!depends) continue;
    ServiceRecord rec;
    if (ReadRecord(n, &rec, RecordPart::kStatus) == ERROR_SUCCESS &&
        CurrentStatus(rec).status.dwCurrentState != SERVICE_STOPPED)
      return true;
  }
  return false;
}

// Connects to the dispatcher's socket; -1 when nothing listens there.
int Connect(u16view name, int timeoutMs) {
  auto path = SocketPath(name);
  sockaddr_un addr{};
  addr.sun_family = AF_UNIX;
  if (path.native().size() >= sizeof addr.sun_path) return -1;
  std::memcpy(addr.sun_path, path.c_str(), path.native().size() + 1);
  int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
  if (fd < 0) return -1;
  if (::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0) return fd;
  if (errno == EAGAIN || errno == EINPROGRESS) {
    // The backlog is full: the dispatcher is busy with an earlier control.
    pollfd pfd{fd, POLLOUT, 0};
    if (::poll(&pfd, 1, timeoutMs) == 1) {
      int err = 0;
      socklen_t len = sizeof err;
      if (::getsockopt(fd, SOL_SOCKET, SO_ERROR, &err, &len) == 0 && err == 0) return fd;
    }
  }
  ::close(fd);
  return -1;
}

}  // namespace
}  // namespace qel::scm

using namespace qel;
using namespace qel::scm;

extern "C" BOOL WINAPI ControlService(SC_HANDLE hService, DWORD dwControl, LPSERVICE_STATUS lpServiceStatus) {
  QEL_FAULT_POINT("ControlService", c) {
    SetLastError(static_cast<DWORD>(c));
    return FALSE;
  }
  auto fail = [](DWORD code) {
    SetLastError(code);
    return FALSE;
  };
  auto obj = LookupHandle(hService);
  if (!obj || obj->manager) return fail(ERROR_INVALID_HANDLE);
  // Shutdown comes only from the system, never through ControlService.
  DWORD right = RightFor(dwControl);
  if (right == 0) return fail(ERROR_INVALID_PARAMETER);
  if ((obj->access & right) != right) return fail(ERROR_ACCESS_DENIED);
  if (!lpServiceStatus) return fail(RPC_X_NULL_REF_POINTER);

  ServiceRecord rec;
  LSTATUS rc = ReadRecord(obj->name, &rec, RecordPart::kStatus);
  if (rc != ERROR_SUCCESS && rc != ERROR_SERVICE_DOES_NOT_EXIST) return fail(static_cast<DWORD>(rc));
  if (rc == ERROR_SERVICE_DOES_NOT_EXIST) {
    rec = ServiceRecord{};
    rec.name = obj->name;
    rec.type = SERVICE_WIN32_OWN_PROCESS;
  }
  LiveStatus live = CurrentStatus(rec);
  CopyStatus(live.status, lpServiceStatus);
  if (rec.Builtin()) {
    // The platform's own services accept nothing but interrogation.
    if (dwControl == SERVICE_CONTROL_INTERROGATE) return TRUE;
    return fail(ERROR_INVALID_SERVICE_CONTROL);
  }
  if (live.status.dwCurrentState == SERVICE_STOPPED) return fail(ERROR_SERVICE_NOT_ACTIVE);
  if (dwControl == SERVICE_CONTROL_STOP && DependentsRunning(obj->name))
    return fail(ERROR_DEPENDENT_SERVICES_RUNNING);

  const int timeout = TimeoutMs();
  int fd = Connect(obj->name, timeout);
  if (fd < 0) {
    // No dispatcher listens: the process is gone (or going).
    live = CurrentStatus(rec);
    CopyStatus(live.status, lpServiceStatus);
    return fail(ERROR_SERVICE_NOT_ACTIVE);
  }
  ControlRequest req{kControlMagic, dwControl};
  ControlReply reply{};
  bool sent = SendAll(fd, &req, sizeof req, timeout);
  bool got = sent && RecvAll(fd, &reply, sizeof reply, timeout);
  ::close(fd);
  if (!got || reply.magic != kReplyMagic) {
    live = CurrentStatus(rec);
    CopyStatus(live.status, lpServiceStatus);
    // A dispatcher that went away mid-request, or a handler that never returned.
    if (live.status.dwCurrentState == SERVICE_STOPPED) return fail(ERROR_SERVICE_NOT_ACTIVE);
    return fail(ERROR_SERVICE_REQUEST_TIMEOUT);
  }
  std::memcpy(lpServiceStatus, &reply.status, sizeof(SERVICE_STATUS));
  if (reply.error != ERROR_SUCCESS) return fail(reply.error);
  return TRUE;
}
