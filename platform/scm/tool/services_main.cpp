// qelupnp-services: the service control manager's boot and shutdown side.
// On Windows the manager itself starts the auto-start services at boot and
// sends the running ones SERVICE_CONTROL_SHUTDOWN when the system stops; this
// manager has no daemon, so the init system calls this tool for both (see the
// systemd units in packaging/). It also starts and stops one service and waits
// until the change is complete, which is what an init system's start and stop
// need and what `qelupnp-sc` (like Windows' sc) does not do.
//
//   qelupnp-services [--systemd] autostart
//   qelupnp-services shutdown
//   qelupnp-services [--systemd] start NAME [--pidfile FILE]
//   qelupnp-services stop NAME | --all
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "qel/kernel.h"
#include "scm_internal.h"

extern char** environ;

namespace {

using qel::u16;
using qel::u16view;
using namespace qel::scm;
using Clock = std::chrono::steady_clock;

constexpr const char* kTool = "qelupnp-services";
// The systemd template unit that runs one service (packaging/qelupnp@.service.in).
constexpr const char* kTemplatePrefix = "qelupnp@";
// How long a process that ignored its stop or shutdown control gets after SIGTERM.
constexpr int kTermGraceMs = 5000;

const char* kUsage =
    "Usage: qelupnp-services [--systemd] autostart\n"
    "       qelupnp-services shutdown\n"
    "       qelupnp-services [--systemd] start NAME [--pidfile FILE]\n"
    "       qelupnp-services stop NAME | --all\n"
    "\n"
    "The service control manager's boot and shutdown side, for the init system:\n"
    "  autostart  starts every service whose start type is auto (qelupnp-sc config\n"
    "             NAME start= auto), dependencies first, and waits until each runs\n"
    "  shutdown   sends the shutdown control to every running service that accepts\n"
    "             it and waits until their processes have ended\n"
    "  start      starts one service and waits until it runs (or has failed); with\n"
    "             --pidfile, writes the service process's id there\n"
    "  stop       sends the stop control and waits until the process has ended;\n"
    "             --all stops every running service and prints their names; with\n"
    "             MAINPID set (a systemd unit's stop), waits for that process too\n"
    "  --systemd  start through the unit qelupnp@NAME.service (not waiting)\n"
    "\n"
    "A process that does not end within the manager's timeout (QELUPNP_SCM_TIMEOUT_MS,\n"
    "30000 by default) after its control gets SIGTERM, and SIGKILL 5 s later.\n"
    "Exit code: 0, or the Win32 error code of the first failure. State: QELUPNP_STATE_DIR.\n";

std::mutex g_out;

template <typename... A>
void Say(const char* fmt, A... a) {
  std::lock_guard<std::mutex> g(g_out);
  std::fprintf(stderr, fmt, a...);
  std::fflush(stderr);
}

std::string U8(u16view s) { return qel::ToUtf8(s); }

std::string Describe(DWORD code) {
  return std::to_string(code) + " (" + std::string(ErrorText(code)) + ")";
}

int Exit(DWORD code) {
  std::fflush(stdout);
  return qel::ExitStatusForCode(code, kTool);
}

struct ScHandle {
  SC_HANDLE h = nullptr;
  explicit ScHandle(SC_HANDLE x) : h(x) {}
  ~ScHandle() {
    if (h) (void)CloseServiceHandle(h);
  }
  ScHandle(const ScHandle&) = delete;
  ScHandle& operator=(const ScHandle&) = delete;
};

// One service process, identified by its id and start time so that a
// recycled process id is never signalled.
struct Process {
  DWORD pid = 0;
  std::uint64_t startTime = 0;
  bool Alive() const { return pid != 0 && startTime != 0 && ProcessStartTime(pid) == startTime; }
  void Signal(int sig) const {
    if (!Alive()) return;
    if (sig == SIGKILL) ::kill(-static_cast<pid_t>(pid), SIGKILL);  // its session's group, children too
    ::kill(static_cast<pid_t>(pid), sig);
  }
};

bool WaitGone(const Process& p, int timeoutMs) {
  auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
  while (p.Alive()) {
    if (Clock::now() >= deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
  return true;
}

// Waits for the process to end after its control; then SIGTERM, then SIGKILL.
// True when it ended by itself.
bool EndProcess(const std::string& name, const Process& p, int timeoutMs) {
  if (WaitGone(p, timeoutMs)) return true;
  Say("%s: process %u did not end in %d ms; sending SIGTERM\n", name.c_str(), unsigned(p.pid), timeoutMs);
  p.Signal(SIGTERM);
  if (WaitGone(p, std::min(kTermGraceMs, TimeoutMs()))) return false;
  Say("%s: process %u ignored SIGTERM; sending SIGKILL\n", name.c_str(), unsigned(p.pid));
  p.Signal(SIGKILL);
  WaitGone(p, 1000);
  return false;
}

struct Entry {
  ServiceRecord rec;
  LiveStatus live;
  bool Running() const { return live.status.dwCurrentState != SERVICE_STOPPED && live.status.dwProcessId != 0; }
  // The process as the manager recorded it when it started, so that a
  // process id recycled since is never taken for the service.
  Process Proc() const {
    Process p{live.status.dwProcessId, 0};
    auto f = ReadStatusFile(rec.name);
    p.startTime = f && f->pid == p.pid && f->startTime ? f->startTime : ProcessStartTime(p.pid);
    return p;
  }
};

// Every service the manager can start or control (not the platform's own).
DWORD Services(std::vector<Entry>* out) {
  std::vector<u16> names;
  if (LSTATUS rc = ListServices(&names); rc != ERROR_SUCCESS) {
    // A store that was never created holds no services.
    return rc == ERROR_FILE_NOT_FOUND ? ERROR_SUCCESS : static_cast<DWORD>(rc);
  }
  for (const auto& n : names) {
    Entry e;
    if (ReadRecord(n, &e.rec) != ERROR_SUCCESS || e.rec.Builtin()) continue;
    DWORD base = e.rec.type & ~static_cast<DWORD>(SERVICE_INTERACTIVE_PROCESS);
    if (base != SERVICE_WIN32_OWN_PROCESS && base != SERVICE_WIN32_SHARE_PROCESS) continue;
    e.live = CurrentStatus(e.rec);
    out->push_back(std::move(e));
  }
  return ERROR_SUCCESS;
}

// ---- systemd -----------------------------------------------------------------

// The instance part of a unit name, escaped as systemd-escape does, so that
// the unit's %I gives the service name back.
std::string EscapeInstance(const std::string& s) {
  static const char* hex = "0123456789abcdef";
  std::string out;
  for (std::size_t i = 0; i < s.size(); ++i) {
    unsigned char c = static_cast<unsigned char>(s[i]);
    bool plain = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == ':' ||
                 c == '_' || (c == '.' && i > 0);
    if (c == '/') {
      out += '-';
    } else if (plain) {
      out += static_cast<char>(c);
    } else {
      out += "\\x";
      out += hex[c >> 4];
      out += hex[c & 15];
    }
  }
  return out;
}

// Queues the start of the service's unit without waiting: at boot the unit
// that called us must finish its own start first.
DWORD StartUnit(const std::string& name) {
  std::string unit = std::string(kTemplatePrefix) + EscapeInstance(name) + ".service";
  const char* argv[] = {"systemctl", "--no-block", "start", unit.c_str(), nullptr};
  pid_t pid = 0;
  if (::posix_spawnp(&pid, "systemctl", nullptr, nullptr, const_cast<char* const*>(argv), environ) != 0) {
    Say("%s: cannot run systemctl: %s\n", name.c_str(), std::strerror(errno));
    return ERROR_FILE_NOT_FOUND;
  }
  int status = 0;
  while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
  if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
    Say("%s: systemctl start %s failed\n", name.c_str(), unit.c_str());
    return ERROR_SERVICE_REQUEST_TIMEOUT;
  }
  Say("%s: queued %s\n", name.c_str(), unit.c_str());
  return ERROR_SUCCESS;
}

// ---- Start ---------------------------------------------------------------------

bool WritePidFile(const std::string& path, DWORD pid) {
  std::string tmp = path + ".tmp";
  {
    std::ofstream f(tmp, std::ios::trunc);
    if (!(f << pid << '\n')) return false;
  }
  return std::rename(tmp.c_str(), path.c_str()) == 0;
}

// Starts `name` and waits until it leaves SERVICE_START_PENDING. A service that
// is already running counts as started; one that is stopping is started again
// once it has stopped.
DWORD StartAndWait(const std::string& name, const char* pidFile) {
  const u16 wname = qel::FromUtf8(name);
  ScHandle scm(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT));
  if (!scm.h) {
    DWORD e = GetLastError();
    Say("%s: cannot open the service manager: %s\n", name.c_str(), Describe(e).c_str());
    return e;
  }
  ScHandle svc(OpenServiceW(scm.h, wname.c_str(), SERVICE_START | SERVICE_QUERY_STATUS));
  if (!svc.h) {
    DWORD e = GetLastError();
    Say("%s: %s\n", name.c_str(), Describe(e).c_str());
    return e;
  }
  const int timeout = TimeoutMs();
  auto deadline = Clock::now() + std::chrono::milliseconds(timeout);
  SERVICE_STATUS_PROCESS st{};
  auto query = [&] {
    DWORD needed = 0;
    return QueryServiceStatusEx(svc.h, SC_STATUS_PROCESS_INFO, reinterpret_cast<LPBYTE>(&st), sizeof st, &needed);
  };
  for (;;) {
    if (StartServiceW(svc.h, 0, nullptr)) break;
    DWORD e = GetLastError();
    if (e != ERROR_SERVICE_ALREADY_RUNNING) {
      Say("%s: start failed: %s\n", name.c_str(), Describe(e).c_str());
      return e;
    }
    if (!query()) return GetLastError();
    if (st.dwCurrentState != SERVICE_STOPPED && st.dwCurrentState != SERVICE_STOP_PENDING) break;
    if (Clock::now() >= deadline) {
      Say("%s: still stopping after %d ms\n", name.c_str(), timeout);
      return ERROR_SERVICE_REQUEST_TIMEOUT;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  // Progress (a new checkpoint) renews the deadline, as Windows' own tools do.
  DWORD checkpoint = 0;
  for (;;) {
    if (!query()) return GetLastError();
    if (st.dwCurrentState != SERVICE_START_PENDING) break;
    if (st.dwCheckPoint != checkpoint) {
      checkpoint = st.dwCheckPoint;
      deadline = Clock::now() + std::chrono::milliseconds(std::max<int>(timeout, int(st.dwWaitHint)));
    }
    if (Clock::now() >= deadline) {
      Say("%s: still starting after %d ms\n", name.c_str(), timeout);
      return ERROR_SERVICE_REQUEST_TIMEOUT;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
  if (st.dwCurrentState == SERVICE_STOPPED || st.dwCurrentState == SERVICE_STOP_PENDING) {
    DWORD code = st.dwWin32ExitCode == ERROR_SERVICE_SPECIFIC_ERROR ? st.dwServiceSpecificExitCode : st.dwWin32ExitCode;
    Say("%s: stopped while starting, exit code %s\n", name.c_str(), Describe(code).c_str());
    return code ? code : ERROR_SERVICE_NOT_ACTIVE;
  }
  if (pidFile && !WritePidFile(pidFile, st.dwProcessId)) {
    Say("%s: cannot write %s: %s\n", name.c_str(), pidFile, std::strerror(errno));
    return ERROR_WRITE_FAULT;
  }
  Say("%s: running, process %u\n", name.c_str(), unsigned(st.dwProcessId));
  return ERROR_SUCCESS;
}

int Autostart(bool viaSystemd) {
  std::vector<Entry> all;
  if (DWORD e = Services(&all); e != ERROR_SUCCESS) {
    Say("cannot read the service database: %s\n", Describe(e).c_str());
    return Exit(e);
  }
  DWORD first = ERROR_SUCCESS;
  for (const auto& e : all) {
    if (e.rec.start != SERVICE_AUTO_START || e.rec.deleteFlag) continue;
    const std::string name = U8(e.rec.name);
    DWORD rc = viaSystemd ? StartUnit(name) : StartAndWait(name, nullptr);
    if (rc != ERROR_SUCCESS && first == ERROR_SUCCESS) first = rc;
  }
  return Exit(first);
}

// ---- Stop and shutdown -------------------------------------------------------

// Sends a control straight to the service's dispatcher. The shutdown control
// never goes through ControlService (only the system sends it), so this speaks
// the dispatcher's control protocol itself.
DWORD SendControl(u16view name, DWORD control, int timeoutMs) {
  auto path = SocketPath(name);
  sockaddr_un addr{};
  addr.sun_family = AF_UNIX;
  if (path.native().size() >= sizeof addr.sun_path) return ERROR_SERVICE_NOT_ACTIVE;
  std::memcpy(addr.sun_path, path.c_str(), path.native().size() + 1);
  int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
  if (fd < 0) return ERROR_NOT_ENOUGH_MEMORY;
  DWORD result = ERROR_SERVICE_NOT_ACTIVE;
  bool connected = ::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0;
  if (!connected && errno == EAGAIN) {
    // The backlog is full: the dispatcher is busy with an earlier control.
    pollfd pfd{fd, POLLOUT, 0};
    int err = 0;
    socklen_t len = sizeof err;
    connected = ::poll(&pfd, 1, timeoutMs) == 1 && ::getsockopt(fd, SOL_SOCKET, SO_ERROR, &err, &len) == 0 && err == 0;
  }
  if (connected) {
    ControlRequest req{kControlMagic, control};
    ControlReply reply{};
    if (SendAll(fd, &req, sizeof req, timeoutMs) && RecvAll(fd, &reply, sizeof reply, timeoutMs) &&
        reply.magic == kReplyMagic)
      result = reply.error;
    else
      result = ERROR_SERVICE_REQUEST_TIMEOUT;
  }
  ::close(fd);
  return result;
}

// Delivers `control` to a running service, retrying while it cannot take
// controls yet (still starting), then waits for its process to end.
// `stop` uses ControlService, with its access checks and dependants rule.
void ControlAndEnd(const Entry& e, DWORD control) {
  const std::string name = U8(e.rec.name);
  const Process proc = e.Proc();
  if (!proc.Alive()) return;
  const int timeout = TimeoutMs();
  const auto started = Clock::now();
  auto deadline = started + std::chrono::milliseconds(timeout);
  DWORD rc = ERROR_INVALID_SERVICE_CONTROL;
  while (proc.Alive()) {
    // Which controls a service takes is known once it has started; one that
    // is stopping already needs none.
    const SERVICE_STATUS_PROCESS st = CurrentStatus(e.rec).status;
    if (st.dwCurrentState == SERVICE_STOPPED || st.dwCurrentState == SERVICE_STOP_PENDING) {
      rc = ERROR_SERVICE_NOT_ACTIVE;
    } else if (control == SERVICE_CONTROL_SHUTDOWN) {
      if (st.dwCurrentState == SERVICE_START_PENDING) {
        rc = ERROR_SERVICE_CANNOT_ACCEPT_CTRL;
      } else if (!(st.dwControlsAccepted & SERVICE_ACCEPT_SHUTDOWN)) {
        rc = ERROR_INVALID_SERVICE_CONTROL;  // Windows, too, sends it only to those that accept it
      } else {
        rc = SendControl(e.rec.name, control, timeout);
      }
    } else {
      ScHandle scm(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT));
      ScHandle svc(scm.h ? OpenServiceW(scm.h, e.rec.name.c_str(), SERVICE_STOP) : nullptr);
      SERVICE_STATUS st{};
      rc = svc.h && ControlService(svc.h, control, &st) ? ERROR_SUCCESS : GetLastError();
    }
    bool retry = rc == ERROR_SERVICE_CANNOT_ACCEPT_CTRL || rc == ERROR_DEPENDENT_SERVICES_RUNNING;
    if (!retry || Clock::now() >= deadline) break;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  const char* what = control == SERVICE_CONTROL_SHUTDOWN ? "shutdown" : "stop";
  if (rc != ERROR_SUCCESS && rc != ERROR_SERVICE_NOT_ACTIVE)
    Say("%s: %s control not delivered: %s\n", name.c_str(), what, Describe(rc).c_str());
  int left = std::max<int>(0, timeout - int(std::chrono::duration_cast<std::chrono::milliseconds>(
                                                Clock::now() - started).count()));
  // A service that took no control has had no chance to end by itself.
  if (rc != ERROR_SUCCESS && rc != ERROR_SERVICE_NOT_ACTIVE) left = 0;
  bool clean = EndProcess(name, proc, left);
  auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - started).count();
  Say("%s: %s in %lld ms\n", name.c_str(), clean ? "ended" : "ended by signal", static_cast<long long>(ms));
}

// Runs ControlAndEnd for each service at once: a slow service does not hold
// up the others' stop.
void ControlAll(const std::vector<Entry>& list, DWORD control) {
  std::vector<std::thread> threads;
  threads.reserve(list.size());
  for (const auto& e : list) threads.emplace_back([&e, control] { ControlAndEnd(e, control); });
  for (auto& t : threads) t.join();
}

int Shutdown() {
  std::vector<Entry> all, running;
  if (DWORD e = Services(&all); e != ERROR_SUCCESS) {
    Say("cannot read the service database: %s\n", Describe(e).c_str());
    return Exit(e);
  }
  for (auto& e : all)
    if (e.Running()) running.push_back(std::move(e));
  ControlAll(running, SERVICE_CONTROL_SHUTDOWN);
  return Exit(ERROR_SUCCESS);
}

int Stop(const std::string& which) {
  std::vector<Entry> all, running;
  if (DWORD e = Services(&all); e != ERROR_SUCCESS) {
    Say("cannot read the service database: %s\n", Describe(e).c_str());
    return Exit(e);
  }
  bool found = which.empty();
  const u16 wwhich = qel::FromUtf8(which);
  for (auto& e : all) {
    if (!which.empty() && !qel::EqualsNoCase(e.rec.name, wwhich)) continue;
    found = true;
    if (e.Running()) running.push_back(std::move(e));
  }
  if (!found) {
    Say("%s: %s\n", which.c_str(), Describe(ERROR_SERVICE_DOES_NOT_EXIST).c_str());
    return Exit(ERROR_SERVICE_DOES_NOT_EXIST);
  }
  if (!which.empty() && running.empty()) Say("%s: not running\n", which.c_str());
  ControlAll(running, SERVICE_CONTROL_STOP);
  // Under systemd, the unit's main process: after it has reported
  // SERVICE_STOPPED the manager no longer names it, but it may still be
  // ending (its last log line), and the unit's stop must wait for that.
  if (const char* mainPid = std::getenv("MAINPID"); mainPid && *mainPid && !which.empty()) {
    Process p{static_cast<DWORD>(std::strtoul(mainPid, nullptr, 10)), 0};
    p.startTime = ProcessStartTime(p.pid);
    if (p.Alive()) EndProcess(which, p, TimeoutMs());
  }
  if (which.empty())
    for (const auto& e : running) std::printf("%s\n", U8(e.rec.name).c_str());
  return Exit(ERROR_SUCCESS);
}

}  // namespace

int main(int argc, char** argv) {
  std::vector<std::string> a(argv + 1, argv + argc);
  bool viaSystemd = false;
  if (!a.empty() && a[0] == "--systemd") {
    viaSystemd = true;
    a.erase(a.begin());
  }
  auto usage = [](DWORD code) {
    std::fputs(kUsage, code == ERROR_SUCCESS ? stdout : stderr);
    return Exit(code);
  };
  if (a.empty()) return usage(ERROR_INVALID_COMMAND_LINE);
  const std::string& cmd = a[0];
  if (cmd == "--help" || cmd == "-h" || cmd == "/?" || cmd == "-?") return usage(ERROR_SUCCESS);
  if (cmd == "autostart" && a.size() == 1) return Autostart(viaSystemd);
  if (cmd == "shutdown" && a.size() == 1) return Shutdown();
  if (cmd == "start" && (a.size() == 2 || (a.size() == 4 && a[2] == "--pidfile")) && !a[1].empty()) {
    if (viaSystemd) return Exit(StartUnit(a[1]));
    return Exit(StartAndWait(a[1], a.size() == 4 ? a[3].c_str() : nullptr));
  }
  if (cmd == "stop" && a.size() == 2 && !a[1].empty()) return Stop(a[1] == "--all" ? std::string() : a[1]);
  return usage(ERROR_INVALID_COMMAND_LINE);
}
