// The service side: the control dispatcher that a service process runs on its
// main thread, its control handlers and status reports.
//
// The dispatcher connects to the manager through the descriptor the manager
// handed to the process it started (with the start's one-time token), listens
// on the service's control socket, runs ServiceMain on a thread of its own and
// runs every control request on the dispatcher's own thread.
#include <fcntl.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <memory>
#include <string>
#include <mutex>
#include <thread>

#include "qel/fault.h"
#include "qel/kernel.h"
#include "scm_internal.h"

namespace qel::scm {
namespace {

struct Slot {
  u16 tableName;
  LPSERVICE_MAIN_FUNCTIONW main = nullptr;
  u16 serviceName;  // the name it was started under
  std::string token;
  std::uint64_t startTime = 0;

  std::mutex lock;  // guards everything below
  LPHANDLER_FUNCTION handler = nullptr;
  SERVICE_STATUS status{};
  bool reported = false;
  std::atomic<bool> mainReturned{false};
};

struct Dispatcher {
  std::unique_ptr<Slot> slot;  // the one service this process was started for
  int wake = -1;               // eventfd: a ServiceMain returned or a service stopped
};

std::mutex g_lock;
Dispatcher* g_active = nullptr;  // guarded by g_lock
std::atomic<bool> g_running{false};

// SIGINT and SIGTERM while the dispatcher runs: the watcher thread leaves the
// signal here and wakes the dispatcher, which offers its service the shutdown
// control.
std::atomic<int> g_signal{0};
std::atomic<int> g_signalFd{-1};

void OnServiceSignal(int sig) {
  g_signal.store(sig);
  std::uint64_t one = 1;
  (void)!::write(g_signalFd.load(), &one, sizeof one);
}

// Holds the process's signals for the dispatcher's lifetime. A signal that
// arrives before the service runs, or when the dispatcher fails, ends the
// process as it would without a dispatcher; once the service has run, one
// that arrives as it ends changes nothing.
class SignalRoute {
 public:
  SignalRoute() = default;
  SignalRoute(const SignalRoute&) = delete;
  SignalRoute& operator=(const SignalRoute&) = delete;
  bool Take() {
    m_fd = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (m_fd < 0) return false;
    g_signal.store(0);
    g_signalFd.store(m_fd);
    qel::SetSignalSink(&OnServiceSignal);
    return true;
  }
  int fd() const { return m_fd; }
  void ServiceRuns() { m_serviceRan = true; }
  ~SignalRoute() {
    if (m_fd < 0) {
      qel::ReleaseSignals();
      return;
    }
    qel::ReleaseSignals();  // no sink call is running once this returns
    const int sig = g_signal.exchange(0);
    g_signalFd.store(-1);
    ::close(m_fd);
    if (sig && !m_serviceRan) qel::EndOnSignal(sig);
  }

 private:
  int m_fd = -1;
  bool m_serviceRan = false;
};

// One line for the service's log (the process's standard error, which the
// manager points there), so that an unusual end leaves a trace.
void Note(const std::string& text) {
  char stamp[32] = "";
  std::time_t now = std::time(nullptr);
  std::tm tm{};
  if (::localtime_r(&now, &tm)) std::strftime(stamp, sizeof stamp, "%Y-%m-%d %H:%M:%S", &tm);
  const std::string line = std::string(stamp) + " [service dispatcher] " + text + "\n";
  (void)!::write(STDERR_FILENO, line.data(), line.size());
}

enum class Offer { kTaken, kWait, kNotAccepted };

// Hands a signal to the service as SERVICE_CONTROL_SHUTDOWN, as a system
// shutdown would. A service that is starting gets it once it runs; one that is
// already stopping needs nothing more.
Offer OfferShutdown(Slot* s);

void Wake(Dispatcher* d) {
  std::uint64_t one = 1;
  (void)!::write(d->wake, &one, sizeof one);
}

class FdHolder {
 public:
  explicit FdHolder(int fd = -1) : m_fd(fd) {}
  ~FdHolder() {
    if (m_fd >= 0) ::close(m_fd);
  }
  FdHolder(const FdHolder&) = delete;
  FdHolder& operator=(const FdHolder&) = delete;
  int get() const { return m_fd; }

 private:
  int m_fd;
};

// The control socket at a path that fits sockaddr_un; removed on the way
// out unless a newer instance has put its own there since.
class ControlSocket {
 public:
  bool Open(const std::filesystem::path& path) {
    m_path = path;
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    if (path.native().size() >= sizeof addr.sun_path) return false;
    std::memcpy(addr.sun_path, path.c_str(), path.native().size() + 1);
    m_fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (m_fd < 0) return false;
    ::unlink(path.c_str());  // left by an instance that ended without cleaning up
    if (::bind(m_fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) return false;
    // Everyone may connect: the dispatcher decides per request who may do what.
    ::chmod(path.c_str(), 0666);
    struct stat st{};
    if (::stat(path.c_str(), &st) == 0) m_ino = st.st_ino;
    return ::listen(m_fd, 16) == 0;
  }
  ~ControlSocket() {
    if (m_fd >= 0) {
      struct stat st{};
      if (m_ino && ::stat(m_path.c_str(), &st) == 0 && st.st_ino == m_ino) ::unlink(m_path.c_str());
      ::close(m_fd);
    }
  }
  int get() const { return m_fd; }

 private:
  std::filesystem::path m_path;
  int m_fd = -1;
  ino_t m_ino = 0;
};

// Writes the slot's status where clients read it. Called with slot->lock held.
void PublishLocked(Slot* s) {
  StatusFile f;
  f.status = s->status;
  f.pid = s->status.dwCurrentState == SERVICE_STOPPED ? 0 : static_cast<DWORD>(::getpid());
  f.startTime = s->status.dwCurrentState == SERVICE_STOPPED ? 0 : s->startTime;
  f.boot = BootId();
  f.token = s->token;
  (void)WriteStatusFile(s->serviceName, f, &s->token);
}

bool Finished(Slot* s) {
  if (!s->mainReturned.load()) return false;
  std::lock_guard<std::mutex> g(s->lock);
  if (s->status.dwCurrentState == SERVICE_STOPPED && s->reported) return true;
  // Nothing is left that could report the service stopped.
  return s->handler == nullptr;
}

// Checks a request against the service's state and accepted controls as the
// manager does on Windows, then runs the handler on this thread.
ControlReply Handle(Slot* s, DWORD control, bool privileged) {
  ControlReply reply{};
  reply.magic = kReplyMagic;
  LPHANDLER_FUNCTION handler;
  {
    std::lock_guard<std::mutex> g(s->lock);
    reply.status = s->status;
    handler = s->handler;
    DWORD state = s->status.dwCurrentState;
    DWORD accepted = s->status.dwControlsAccepted;
    if (!privileged && control != SERVICE_CONTROL_INTERROGATE) {
      reply.error = ERROR_ACCESS_DENIED;
    } else if (state == SERVICE_STOPPED) {
      reply.error = ERROR_SERVICE_NOT_ACTIVE;
    } else if (state == SERVICE_START_PENDING || state == SERVICE_STOP_PENDING || !handler) {
      reply.error = ERROR_SERVICE_CANNOT_ACCEPT_CTRL;
    } else if ((control == SERVICE_CONTROL_STOP && !(accepted & SERVICE_ACCEPT_STOP)) ||
               ((control == SERVICE_CONTROL_PAUSE || control == SERVICE_CONTROL_CONTINUE) &&
                !(accepted & SERVICE_ACCEPT_PAUSE_CONTINUE)) ||
               (control == SERVICE_CONTROL_PARAMCHANGE && !(accepted & SERVICE_ACCEPT_PARAMCHANGE)) ||
               (control >= 7 && control <= 10 && !(accepted & 0x10 /* SERVICE_ACCEPT_NETBINDCHANGE */))) {
      reply.error = ERROR_INVALID_SERVICE_CONTROL;
    }
  }
  if (reply.error != ERROR_SUCCESS) return reply;
  handler(control);
  std::lock_guard<std::mutex> g(s->lock);
  reply.status = s->status;
  return reply;
}

Offer OfferShutdown(Slot* s) {
  {
    std::lock_guard<std::mutex> g(s->lock);
    const DWORD state = s->status.dwCurrentState;
    if (state == SERVICE_STOPPED || state == SERVICE_STOP_PENDING) return Offer::kTaken;
    if (!s->handler || state == SERVICE_START_PENDING) return Offer::kWait;
    if (!(s->status.dwControlsAccepted & SERVICE_ACCEPT_SHUTDOWN)) return Offer::kNotAccepted;
  }
  (void)Handle(s, SERVICE_CONTROL_SHUTDOWN, true);
  return Offer::kTaken;
}

void Serve(Dispatcher* d, int listenFd) {
  int fd = ::accept4(listenFd, nullptr, nullptr, SOCK_CLOEXEC);
  if (fd < 0) return;
  FdHolder conn(fd);
  ControlRequest req{};
  if (!RecvAll(fd, &req, sizeof req, 2000) || req.magic != kControlMagic) return;
  ucred cred{};
  socklen_t len = sizeof cred;
  bool privileged = false;
  if (::getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &cred, &len) == 0)
    privileged = cred.uid == 0 || cred.uid == ::geteuid();
  ControlReply reply = Handle(d->slot.get(), req.control, privileged);
  (void)SendAll(fd, &reply, sizeof reply, 2000);
}

std::vector<u16> ReadArgs(int fd, bool* ok) {
  std::vector<u16> args;
  *ok = false;
  std::uint32_t head[2];
  if (!RecvAll(fd, head, sizeof head, TimeoutMs()) || head[0] != kAckMagic || head[1] > 4096) return args;
  for (std::uint32_t i = 0; i < head[1]; ++i) {
    std::uint32_t n = 0;
    if (!RecvAll(fd, &n, sizeof n, 2000) || n > 65536) return args;
    std::string s(n, '\0');
    if (n && !RecvAll(fd, s.data(), n, 2000)) return args;
    args.push_back(FromUtf8(s));
  }
  *ok = true;
  return args;
}

Slot* SlotFromHandle(SERVICE_STATUS_HANDLE h) {
  // Called with g_lock held.
  if (!g_active || !h || reinterpret_cast<Slot*>(h) != g_active->slot.get()) return nullptr;
  return g_active->slot.get();
}

}  // namespace
}  // namespace qel::scm

using namespace qel;
using namespace qel::scm;

extern "C" BOOL WINAPI StartServiceCtrlDispatcherW(const SERVICE_TABLE_ENTRYW* lpServiceStartTable) {
  QEL_FAULT_POINT("StartServiceCtrlDispatcherW", c) {
    qel::ReleaseSignals();
    SetLastError(static_cast<DWORD>(c));
    return FALSE;
  }
  if (!lpServiceStartTable || !lpServiceStartTable[0].lpServiceName || !lpServiceStartTable[0].lpServiceProc) {
    qel::ReleaseSignals();
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  if (g_running.exchange(true)) {
    SetLastError(ERROR_SERVICE_ALREADY_RUNNING);
    return FALSE;
  }
  struct RunningReset {
    ~RunningReset() { g_running.store(false); }
  } runningReset;

  // Only a process the manager started carries the marker and the handshake
  // descriptor; the marker is consumed so that children never inherit it.
  const char* svc = std::getenv(kEnvService);
  const char* tok = std::getenv(kEnvToken);
  const char* fdText = std::getenv(kEnvFd);
  std::string serviceName = svc ? svc : "", token = tok ? tok : "";
  int hsFd = fdText ? std::atoi(fdText) : -1;
  if (svc) ::unsetenv(kEnvService);
  if (tok) ::unsetenv(kEnvToken);
  if (fdText) ::unsetenv(kEnvFd);
  int soType = 0;
  socklen_t soLen = sizeof soType;
  SignalRoute signals;
  if (serviceName.empty() || token.size() != 32 || hsFd < 0 ||
      ::getsockopt(hsFd, SOL_SOCKET, SO_TYPE, &soType, &soLen) != 0 || soType != SOCK_STREAM) {
    SetLastError(ERROR_FAILED_SERVICE_CONTROLLER_CONNECT);
    return FALSE;
  }
  if (!signals.Take()) {
    SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return FALSE;
  }
  FdHolder handshake(hsFd);
  ::fcntl(hsFd, F_SETFD, FD_CLOEXEC);
  const u16 name = FromUtf8(serviceName);

  // An own-process service runs its table's only entry whatever its name;
  // otherwise the entry named like the service.
  std::size_t count = 0;
  const SERVICE_TABLE_ENTRYW* entry = nullptr;
  for (const SERVICE_TABLE_ENTRYW* e = lpServiceStartTable; e->lpServiceName; ++e, ++count)
    if (!entry && EqualsNoCase(WView(e->lpServiceName), name)) entry = e;
  if (!entry && count == 1) entry = lpServiceStartTable;
  if (!entry || !entry->lpServiceProc) {
    SetLastError(ERROR_SERVICE_NOT_IN_EXE);
    return FALSE;
  }

  ControlSocket control;
  if (!EnsureScmDir() || !control.Open(SocketPath(name))) {
    SetLastError(ERROR_FAILED_SERVICE_CONTROLLER_CONNECT);
    return FALSE;
  }
  Hello hello{};
  hello.magic = kHelloMagic;
  hello.pid = static_cast<std::uint32_t>(::getpid());
  std::memcpy(hello.token, token.data(), 32);
  bool ok = false;
  std::vector<u16> args;
  if (SendAll(hsFd, &hello, sizeof hello, TimeoutMs())) args = ReadArgs(hsFd, &ok);
  if (!ok) {
    SetLastError(ERROR_FAILED_SERVICE_CONTROLLER_CONNECT);
    return FALSE;
  }

  Dispatcher d;
  d.wake = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
  if (d.wake < 0) {
    SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return FALSE;
  }
  FdHolder wakeHolder(d.wake);
  d.slot = std::make_unique<Slot>();
  Slot* s = d.slot.get();
  s->tableName = u16(WView(entry->lpServiceName));
  s->main = entry->lpServiceProc;
  s->serviceName = name;
  s->token = token;
  s->startTime = ProcessStartTime(static_cast<DWORD>(::getpid()));
  s->status.dwServiceType = SERVICE_WIN32_OWN_PROCESS;
  s->status.dwCurrentState = SERVICE_START_PENDING;
  {
    std::lock_guard<std::mutex> g(g_lock);
    g_active = &d;
  }

  // ServiceMain gets the service name first, then the start arguments.
  std::vector<u16> argStore;
  argStore.push_back(name);
  for (auto& a : args) argStore.push_back(std::move(a));
  std::thread mainThread([s, &d, argStore]() mutable {
    std::vector<LPWSTR> argv;
    for (auto& a : argStore) argv.push_back(a.data());
    argv.push_back(nullptr);
    s->main(static_cast<DWORD>(argStore.size()), argv.data());
    s->mainReturned.store(true);
    Wake(&d);
  });

  signals.ServiceRuns();

  // A signal the service cannot take yet waits, but not for longer than the
  // manager waits for a service to answer.
  int pendingSignal = 0;
  std::chrono::steady_clock::time_point signalDeadline;
  while (!Finished(s)) {
    int timeoutMs = -1;
    if (pendingSignal) {
      auto left = std::chrono::duration_cast<std::chrono::milliseconds>(signalDeadline -
                                                                        std::chrono::steady_clock::now());
      timeoutMs = static_cast<int>(std::max<long long>(0, left.count()));
    }
    pollfd fds[3] = {{control.get(), POLLIN, 0}, {d.wake, POLLIN, 0}, {signals.fd(), POLLIN, 0}};
    int n = ::poll(fds, 3, timeoutMs);
    if (n < 0 && errno != EINTR) break;
    if (fds[1].revents & POLLIN) {
      std::uint64_t v;
      (void)!::read(d.wake, &v, sizeof v);
    }
    if (fds[2].revents & POLLIN) {
      std::uint64_t v;
      (void)!::read(signals.fd(), &v, sizeof v);
      if (int sig = g_signal.exchange(0)) {
        if (!pendingSignal) signalDeadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(TimeoutMs());
        pendingSignal = sig;
      }
    }
    if (pendingSignal) {
      switch (OfferShutdown(s)) {
        case Offer::kTaken:
          pendingSignal = 0;
          break;
        case Offer::kNotAccepted:
          // As at a system shutdown: a service that takes no shutdown control is ended.
          Note("signal " + std::to_string(pendingSignal) + ": the service accepts no shutdown control; ending");
          qel::EndOnSignal(pendingSignal);
        case Offer::kWait:
          if (std::chrono::steady_clock::now() >= signalDeadline) {
            Note("signal " + std::to_string(pendingSignal) + ": the service did not leave SERVICE_START_PENDING in " +
                 std::to_string(TimeoutMs()) + " ms; ending");
            qel::EndOnSignal(pendingSignal);
          }
          break;
      }
    }
    if (fds[0].revents & POLLIN) Serve(&d, control.get());
  }
  mainThread.join();
  {
    std::lock_guard<std::mutex> g(s->lock);
    if (s->status.dwCurrentState != SERVICE_STOPPED || !s->reported) {
      // ServiceMain ended without a handler to report with: the service is over.
      s->status.dwCurrentState = SERVICE_STOPPED;
      s->status.dwControlsAccepted = 0;
      if (!s->reported) s->status.dwWin32ExitCode = ERROR_PROCESS_ABORTED;
      PublishLocked(s);
      Note("ServiceMain returned without reporting SERVICE_STOPPED; recorded as stopped with exit code " +
           std::to_string(s->status.dwWin32ExitCode));
    }
  }
  {
    std::lock_guard<std::mutex> g(g_lock);
    g_active = nullptr;
  }
  FinishIfMarked(name);
  return TRUE;
}

extern "C" SERVICE_STATUS_HANDLE WINAPI RegisterServiceCtrlHandlerW(LPCWSTR lpServiceName,
                                                                     LPHANDLER_FUNCTION lpHandlerProc) {
  QEL_FAULT_POINT("RegisterServiceCtrlHandlerW", c) {
    SetLastError(static_cast<DWORD>(c));
    return nullptr;
  }
  std::lock_guard<std::mutex> g(g_lock);
  Slot* s = g_active ? g_active->slot.get() : nullptr;
  if (!s || !lpServiceName ||
      !(EqualsNoCase(WView(lpServiceName), s->tableName) || EqualsNoCase(WView(lpServiceName), s->serviceName))) {
    SetLastError(ERROR_SERVICE_DOES_NOT_EXIST);
    return nullptr;
  }
  if (!lpHandlerProc) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return nullptr;
  }
  std::lock_guard<std::mutex> sg(s->lock);
  s->handler = lpHandlerProc;
  return reinterpret_cast<SERVICE_STATUS_HANDLE>(s);
}

extern "C" BOOL WINAPI SetServiceStatus(SERVICE_STATUS_HANDLE hServiceStatus, LPSERVICE_STATUS lpServiceStatus) {
  QEL_FAULT_POINT("SetServiceStatus", c) {
    SetLastError(static_cast<DWORD>(c));
    return FALSE;
  }
  Dispatcher* d = nullptr;
  Slot* s = nullptr;
  {
    std::lock_guard<std::mutex> g(g_lock);
    s = SlotFromHandle(hServiceStatus);
    d = g_active;
  }
  if (!s) {
    SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  if (!lpServiceStatus || lpServiceStatus->dwCurrentState < SERVICE_STOPPED ||
      lpServiceStatus->dwCurrentState > SERVICE_PAUSED) {
    SetLastError(ERROR_INVALID_DATA);
    return FALSE;
  }
  bool stopped = false;
  {
    std::lock_guard<std::mutex> g(s->lock);
    s->status = *lpServiceStatus;
    if (s->status.dwCurrentState == SERVICE_STOPPED) {
      // A stopped service accepts nothing and has no progress to show.
      s->status.dwControlsAccepted = 0;
      s->status.dwCheckPoint = 0;
      s->status.dwWaitHint = 0;
      stopped = true;
    }
    s->reported = true;
    PublishLocked(s);
  }
  if (stopped) FinishIfMarked(s->serviceName);
  // Every report wakes the dispatcher: it may end the service or let a
  // waiting signal through.
  Wake(d);
  return TRUE;
}
