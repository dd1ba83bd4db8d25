// Process priority classes over nice levels. Linux keeps a nice level per
// thread, so a class is applied to every thread of the process.
#include <dirent.h>
#include <sys/resource.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <utility>
#include <vector>

#include "internal.h"
#include "qel/fault.h"

namespace {

bool NiceForClass(DWORD cls, int* nice) {
  switch (cls) {
    case IDLE_PRIORITY_CLASS: *nice = 19; return true;
    case BELOW_NORMAL_PRIORITY_CLASS: *nice = 10; return true;
    case NORMAL_PRIORITY_CLASS: *nice = 0; return true;
    case ABOVE_NORMAL_PRIORITY_CLASS: *nice = -5; return true;
    case HIGH_PRIORITY_CLASS: *nice = -10; return true;
    case REALTIME_PRIORITY_CLASS: *nice = -20; return true;
    default: return false;
  }
}

// The class whose nice level lies nearest.
DWORD ClassForNice(int nice) {
  if (nice >= 15) return IDLE_PRIORITY_CLASS;
  if (nice >= 5) return BELOW_NORMAL_PRIORITY_CLASS;
  if (nice >= -2) return NORMAL_PRIORITY_CLASS;
  if (nice >= -7) return ABOVE_NORMAL_PRIORITY_CLASS;
  if (nice >= -15) return HIGH_PRIORITY_CLASS;
  return REALTIME_PRIORITY_CLASS;
}

std::vector<pid_t> Threads() {
  std::vector<pid_t> tids;
  if (DIR* d = ::opendir("/proc/self/task")) {
    while (dirent* e = ::readdir(d))
      if (e->d_name[0] >= '0' && e->d_name[0] <= '9') tids.push_back(static_cast<pid_t>(std::atoi(e->d_name)));
    ::closedir(d);
  }
  if (tids.empty()) tids.push_back(::getpid());
  return tids;
}

bool IsThisProcess(HANDLE h) { return h == GetCurrentProcess(); }

}  // namespace

extern "C" DWORD WINAPI GetPriorityClass(HANDLE hProcess) {
  QEL_FAULT_POINT("GetPriorityClass", c) {
    SetLastError(static_cast<DWORD>(c));
    return 0;
  }
  if (!IsThisProcess(hProcess)) {
    SetLastError(ERROR_INVALID_HANDLE);
    return 0;
  }
  errno = 0;
  int nice = ::getpriority(PRIO_PROCESS, static_cast<id_t>(::getpid()));
  if (nice == -1 && errno != 0) {
    SetLastError(qel::kernel::ErrorFromErrno(errno));
    return 0;
  }
  return ClassForNice(nice);
}

extern "C" BOOL WINAPI SetPriorityClass(HANDLE hProcess, DWORD dwPriorityClass) {
  QEL_FAULT_POINT("SetPriorityClass", c) {
    SetLastError(static_cast<DWORD>(c));
    return FALSE;
  }
  if (!IsThisProcess(hProcess)) {
    SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  int nice;
  if (!NiceForClass(dwPriorityClass, &nice)) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  // Raising the priority needs privilege (CAP_SYS_NICE). Windows would quietly
  // give an unprivileged caller HIGH for REALTIME; here the call fails with
  // ERROR_ACCESS_DENIED instead, so the caller learns that nothing changed.
  std::vector<std::pair<pid_t, int>> changed;
  for (pid_t tid : Threads()) {
    errno = 0;
    int before = ::getpriority(PRIO_PROCESS, static_cast<id_t>(tid));
    if (before == -1 && errno != 0) continue;  // the thread has ended meanwhile
    if (::setpriority(PRIO_PROCESS, static_cast<id_t>(tid), nice) != 0) {
      int err = errno;
      if (err == ESRCH) continue;
      // All or nothing: threads already moved go back where they were.
      for (auto& [t, n] : changed) ::setpriority(PRIO_PROCESS, static_cast<id_t>(t), n);
      SetLastError(err == EACCES || err == EPERM ? ERROR_ACCESS_DENIED : qel::kernel::ErrorFromErrno(err));
      return FALSE;
    }
    changed.emplace_back(tid, before);
  }
  return TRUE;
}
