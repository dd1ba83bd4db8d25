// Starting a service: dependencies, the ImagePath as Windows reads it, the
// detached service process and the handshake with its dispatcher.
#include <fcntl.h>
#include <signal.h>
#include <sys/random.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <thread>

#include "qel/fault.h"
#include "qel/kernel.h"
#include "qel/statedir.h"
#include "scm_internal.h"

extern char** environ;

namespace qel::scm {

// ---- Command lines -----------------------------------------------------------

u16 ExpandEnvironment(u16view s) {
  u16 out;
  std::size_t i = 0;
  while (i < s.size()) {
    if (s[i] == u'%') {
      std::size_t end = s.find(u'%', i + 1);
      if (end != u16view::npos && end > i + 1) {
        std::string var = ToUtf8(s.substr(i + 1, end - i - 1));
        if (const char* val = std::getenv(var.c_str())) {
          out += FromUtf8(val);
          i = end + 1;
          continue;
        }
      }
    }
    out += s[i++];
  }
  return out;
}

std::vector<u16> SplitArguments(u16view s) {
  std::vector<u16> args;
  std::size_t i = 0, n = s.size();
  auto blank = [](char16_t c) { return c == u' ' || c == u'\t'; };
  for (;;) {
    while (i < n && blank(s[i])) ++i;
    if (i >= n) break;
    u16 arg;
    bool quoted = false;
    while (i < n && (quoted || !blank(s[i]))) {
      char16_t c = s[i];
      if (c == u'\\') {
        std::size_t k = 0;
        while (i < n && s[i] == u'\\') ++k, ++i;
        if (i < n && s[i] == u'"') {
          arg.append(k / 2, u'\\');
          if (k % 2) {
            arg += u'"';
            ++i;
          }
        } else {
          arg.append(k, u'\\');
        }
      } else if (c == u'"') {
        if (quoted && i + 1 < n && s[i + 1] == u'"') {
          arg += u'"';
          i += 2;
        } else {
          quoted = !quoted;
          ++i;
        }
      } else {
        arg += c;
        ++i;
      }
    }
    args.push_back(std::move(arg));
  }
  return args;
}

namespace {

bool IsNonDirectory(const std::string& p) {
  struct stat st{};
  return ::stat(p.c_str(), &st) == 0 && !S_ISDIR(st.st_mode);
}

// Where a program name resolves to; empty when nothing is found.
std::string Resolve(const std::string& name) {
  if (name.empty()) return {};
  if (name.find('/') == std::string::npos) {
    const char* path = std::getenv("PATH");
    std::string dirs = path && *path ? path : "/usr/local/bin:/usr/bin:/bin";
    std::size_t pos = 0;
    while (pos <= dirs.size()) {
      std::size_t end = dirs.find(':', pos);
      if (end == std::string::npos) end = dirs.size();
      std::string dir = dirs.substr(pos, end - pos);
      if (!dir.empty()) {
        std::string cand = dir + "/" + name;
        if (IsNonDirectory(cand)) return cand;
      }
      pos = end + 1;
    }
    return {};
  }
  std::string p = name[0] == '/' ? name : "/" + name;
  return IsNonDirectory(p) ? p : std::string();
}

DWORD NotFoundCode(const std::string& name) {
  if (name.find('/') == std::string::npos) return ERROR_FILE_NOT_FOUND;
  std::string p = name[0] == '/' ? name : "/" + name;
  std::filesystem::path parent = std::filesystem::path(p).parent_path();
  struct stat st{};
  if (::stat(parent.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) return ERROR_PATH_NOT_FOUND;
  return ERROR_FILE_NOT_FOUND;
}

DWORD CheckExecutable(const std::string& p) {
  struct stat st{};
  if (::stat(p.c_str(), &st) != 0) return ERROR_FILE_NOT_FOUND;
  if (S_ISDIR(st.st_mode)) return ERROR_ACCESS_DENIED;
  if (::faccessat(AT_FDCWD, p.c_str(), X_OK, AT_EACCESS) != 0) return ERROR_ACCESS_DENIED;
  return ERROR_SUCCESS;
}

}  // namespace

DWORD ParseImagePath(u16view commandLine, ParsedImage* out) {
  u16view cl = commandLine;
  while (!cl.empty() && (cl.front() == u' ' || cl.front() == u'\t')) cl.remove_prefix(1);
  if (cl.empty()) return ERROR_FILE_NOT_FOUND;
  std::string program;
  u16view rest;
  if (cl.front() == u'"') {
    std::size_t close = cl.find(u'"', 1);
    u16view quoted = cl.substr(1, close == u16view::npos ? u16view::npos : close - 1);
    rest = close == u16view::npos ? u16view() : cl.substr(close + 1);
    std::string name = ToUtf8(quoted);
    program = Resolve(name);
    if (program.empty()) return NotFoundCode(name);
  } else {
    // The unquoted form: "a b c" is tried as "a", then "a b", then "a b c".
    std::size_t pos = 0;
    for (;;) {
      std::size_t blank = cl.find_first_of(u" \t", pos);
      u16view cand = cl.substr(0, blank);
      program = Resolve(ToUtf8(cand));
      if (!program.empty()) {
        rest = blank == u16view::npos ? u16view() : cl.substr(blank);
        break;
      }
      if (blank == u16view::npos) break;
      pos = blank + 1;
    }
    if (program.empty()) {
      std::size_t blank = cl.find_first_of(u" \t");
      return NotFoundCode(ToUtf8(cl.substr(0, blank)));
    }
  }
  if (DWORD e = CheckExecutable(program); e != ERROR_SUCCESS) return e;
  out->program = program;
  out->args.clear();
  for (auto& a : SplitArguments(rest)) out->args.push_back(ToUtf8(a));
  return ERROR_SUCCESS;
}

namespace {

// ---- The service process ------------------------------------------------------

// A descriptor closed on destruction.
class Fd {
 public:
  Fd() = default;
  explicit Fd(int fd) : m_fd(fd) {}
  ~Fd() { Reset(); }
  Fd(Fd&& o) noexcept : m_fd(o.m_fd) { o.m_fd = -1; }
  Fd& operator=(Fd&& o) noexcept {
    if (this != &o) {
      Reset(o.m_fd);
      o.m_fd = -1;
    }
    return *this;
  }
  Fd(const Fd&) = delete;
  Fd& operator=(const Fd&) = delete;
  int get() const { return m_fd; }
  void Reset(int fd = -1) {
    if (m_fd >= 0) ::close(m_fd);
    m_fd = fd;
  }

 private:
  int m_fd = -1;
};

std::string NewToken() {
  unsigned char raw[16] = {};
  std::size_t got = 0;
  while (got < sizeof raw) {
    ssize_t n = ::getrandom(raw + got, sizeof raw - got, 0);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    got += static_cast<std::size_t>(n);
  }
  if (got < sizeof raw) {
    // No entropy source: still unique per start, if not secret.
    auto t = std::chrono::steady_clock::now().time_since_epoch().count();
    std::memcpy(raw, &t, sizeof t);
    pid_t p = ::getpid();
    std::memcpy(raw + 8, &p, sizeof p);
  }
  static const char* hex = "0123456789abcdef";
  std::string s;
  for (unsigned char c : raw) {
    s += hex[c >> 4];
    s += hex[c & 15];
  }
  return s;
}

DWORD ExecErrorCode(int err) {
  switch (err) {
    case ENOENT:
    case ELOOP:
      return ERROR_FILE_NOT_FOUND;
    case ENOTDIR:
      return ERROR_PATH_NOT_FOUND;
    case EACCES:
    case EPERM:
    case EISDIR:
      return ERROR_ACCESS_DENIED;
    case ENOEXEC:
    case EINVAL:
    case ELIBBAD:
      return ERROR_BAD_EXE_FORMAT;
    case ETXTBSY:
      return ERROR_SHARING_VIOLATION;
    case ENOMEM:
    case EAGAIN:
      return ERROR_NOT_ENOUGH_MEMORY;
    case E2BIG:
      return ERROR_INVALID_PARAMETER;
    default:
      return ERROR_GEN_FAILURE;
  }
}

struct Report {
  std::int32_t tag;  // 'P': the service process id; 'E': exec failed with errno
  std::int32_t value;
};

int HighDup(int fd) { return fd < 0 ? -1 : ::fcntl(fd, F_DUPFD_CLOEXEC, 10); }

struct Spawned {
  DWORD error = ERROR_SUCCESS;
  pid_t pid = 0;
  Fd handshake;  // the manager's end
};

// The service's log: what its process writes to standard output and error,
// and the manager's own lines about its starts. Kept small: a log above
// kLogLimit is moved to "<log>.old" (replacing the one before) when the
// service starts.
constexpr off_t kLogLimit = 1 << 20;

// Opens the log for appending, rotated first when it is too large; -1 when
// it cannot be opened.
int OpenServiceLog(u16view name) {
  if (!EnsureScmDir()) return -1;
  const auto log = LogPath(name);
  struct stat st{};
  if (::stat(log.c_str(), &st) == 0 && st.st_size > kLogLimit) {
    auto old = log;
    old += ".old";
    ::rename(log.c_str(), old.c_str());
  }
  return ::open(log.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
}

// Appends one line of the manager's own, with the local time.
void LogLine(int fd, const std::string& text) {
  if (fd < 0) return;
  char stamp[32] = "";
  std::time_t now = std::time(nullptr);
  std::tm tm{};
  if (::localtime_r(&now, &tm)) std::strftime(stamp, sizeof stamp, "%Y-%m-%d %H:%M:%S", &tm);
  const std::string line = std::string(stamp) + " [service control manager] " + text + "\n";
  (void)!::write(fd, line.data(), line.size());
}

void LogLine(u16view name, const std::string& text) {
  Fd fd(OpenServiceLog(name));
  LogLine(fd.get(), text);
}

// Starts the program detached: a new session under init, stdin on /dev/null,
// stdout and stderr appended to the service's log.
Spawned Spawn(u16view name, const ParsedImage& image, const std::string& token) {
  Spawned r;
  std::vector<std::string> argvStore;
  argvStore.push_back(image.program);
  for (const auto& a : image.args) argvStore.push_back(a);
  std::vector<std::string> envStore;
  for (char** e = environ; e && *e; ++e) {
    std::string_view kv(*e);
    auto starts = [&](std::string_view p) { return kv.substr(0, p.size()) == p; };
    if (starts("QELUPNP_FAULTS=") || starts("QELUPNP_SCM_SERVICE=") || starts("QELUPNP_SCM_TOKEN=") ||
        starts("QELUPNP_SCM_FD=") || starts("QELUPNP_STATE_DIR="))
      continue;
    envStore.emplace_back(kv);
  }
  envStore.push_back("QELUPNP_STATE_DIR=" + std::filesystem::absolute(StateDir()).string());
  envStore.push_back(std::string(kEnvService) + "=" + ToUtf8(name));
  envStore.push_back(std::string(kEnvToken) + "=" + token);
  envStore.push_back(std::string(kEnvFd) + "=" + std::to_string(kHandshakeFd));
  if (const char* f = std::getenv(kEnvServiceFaults); f && *f) envStore.push_back(std::string("QELUPNP_FAULTS=") + f);
  std::vector<char*> argv, envp;
  for (auto& s : argvStore) argv.push_back(s.data());
  argv.push_back(nullptr);
  for (auto& s : envStore) envp.push_back(s.data());
  envp.push_back(nullptr);

  int sv[2];
  if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, sv) != 0) {
    r.error = ERROR_NOT_ENOUGH_MEMORY;
    return r;
  }
  r.handshake.Reset(sv[0]);
  Fd child(HighDup(sv[1]));
  ::close(sv[1]);
  int pipefd[2];
  if (::pipe2(pipefd, O_CLOEXEC) != 0) {
    r.error = ERROR_NOT_ENOUGH_MEMORY;
    return r;
  }
  Fd reportRead(pipefd[0]);
  Fd reportWrite(HighDup(pipefd[1]));
  ::close(pipefd[1]);
  int nullRaw = ::open("/dev/null", O_RDWR | O_CLOEXEC);
  Fd devnull(HighDup(nullRaw));
  if (nullRaw >= 0) ::close(nullRaw);
  const int logRaw = OpenServiceLog(name);
  Fd logfd(HighDup(logRaw));
  if (logRaw >= 0) ::close(logRaw);
  if (child.get() < 0 || reportWrite.get() < 0 || devnull.get() < 0) {
    r.error = ERROR_TOO_MANY_OPEN_FILES;
    return r;
  }
  std::string commandLine = image.program;
  for (const auto& a : image.args) commandLine += " " + a;
  LogLine(logfd.get(), "starting " + ToUtf8(name) + ": " + commandLine);
  const int outFd = logfd.get() >= 0 ? logfd.get() : devnull.get();
  const char* program = image.program.c_str();

  pid_t mid = ::fork();
  if (mid < 0) {
    r.error = ERROR_NOT_ENOUGH_MEMORY;
    return r;
  }
  if (mid == 0) {
    // Only async-signal-safe calls from here on: the caller may have threads.
    pid_t svc = ::fork();
    if (svc != 0) {
      Report rep{svc > 0 ? 'P' : 'E', svc > 0 ? static_cast<std::int32_t>(svc) : errno};
      (void)!::write(reportWrite.get(), &rep, sizeof rep);
      ::_exit(0);
    }
    ::setsid();
    sigset_t none;
    sigemptyset(&none);
    ::sigprocmask(SIG_SETMASK, &none, nullptr);
    struct sigaction dfl{};
    dfl.sa_handler = SIG_DFL;
    for (int s = 1; s < NSIG; ++s) ::sigaction(s, &dfl, nullptr);
    ::dup2(devnull.get(), 0);
    ::dup2(outFd, 1);
    ::dup2(outFd, 2);
    ::dup2(child.get(), kHandshakeFd);
    if (::syscall(SYS_close_range, kHandshakeFd + 1, ~0U, 4 /* CLOSE_RANGE_CLOEXEC */) != 0) {
      for (int fd = kHandshakeFd + 1; fd < 4096; ++fd) ::fcntl(fd, F_SETFD, FD_CLOEXEC);
    }
    if (::chdir("/") != 0) {
    }
    ::execve(program, argv.data(), envp.data());
    Report rep{'E', errno};
    (void)!::write(reportWrite.get(), &rep, sizeof rep);
    ::_exit(127);
  }
  child.Reset();
  reportWrite.Reset();
  int status = 0;
  while (::waitpid(mid, &status, 0) < 0 && errno == EINTR) {
  }
  for (;;) {
    Report rep{};
    ssize_t n = ::read(reportRead.get(), &rep, sizeof rep);
    if (n < 0 && errno == EINTR) continue;
    if (n != static_cast<ssize_t>(sizeof rep)) break;
    if (rep.tag == 'P') r.pid = rep.value;
    if (rep.tag == 'E') r.error = ExecErrorCode(rep.value);
  }
  if (r.error == ERROR_SUCCESS && r.pid <= 0) r.error = ERROR_NOT_ENOUGH_MEMORY;
  if (r.error != ERROR_SUCCESS)
    LogLine(logfd.get(), "the program cannot be run (" + std::to_string(r.error) + "): " +
                             std::string(ErrorText(r.error)));
  return r;
}

void KillProcess(pid_t pid) {
  if (pid <= 0) return;
  ::kill(-pid, SIGKILL);  // its session's process group, children included
  ::kill(pid, SIGKILL);
}

bool WaitForExit(pid_t pid, std::uint64_t startTime, int timeoutMs) {
  auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  for (;;) {
    std::uint64_t t = ProcessStartTime(static_cast<DWORD>(pid));
    if (t == 0 || (startTime && t != startTime)) return true;
    if (std::chrono::steady_clock::now() >= deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
}

void RecordStopped(u16view name, DWORD type, DWORD exitCode, const std::string& token) {
  StatusFile f;
  f.status.dwServiceType = type;
  f.status.dwCurrentState = SERVICE_STOPPED;
  f.status.dwWin32ExitCode = exitCode;
  f.token = token;
  f.boot = BootId();
  (void)WriteStatusFile(name, f, nullptr);
}

// Launches `rec` and waits for its dispatcher to connect.
DWORD Launch(const ServiceRecord& rec, const std::vector<u16>& args) {
  if (!rec.imagePathPresent) return ERROR_FILE_NOT_FOUND;
  u16 cmdline = rec.imagePathExpand ? ExpandEnvironment(rec.imagePath) : rec.imagePath;
  ParsedImage image;
  if (DWORD e = ParseImagePath(cmdline, &image); e != ERROR_SUCCESS) return e;
  if (!EnsureScmDir()) return ERROR_ACCESS_DENIED;
  const std::string token = NewToken();
  Spawned sp = Spawn(rec.name, image, token);
  if (sp.error != ERROR_SUCCESS) return sp.error;

  const int timeout = TimeoutMs();
  const auto started = std::chrono::steady_clock::now();
  Hello hello{};
  bool got = RecvAll(sp.handshake.get(), &hello, sizeof hello, timeout);
  auto left = [&] {
    auto used = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - started);
    return std::max<int>(0, timeout - static_cast<int>(used.count()));
  };
  if (!got) {
    // Ended before it connected, or never connects: Windows' 1067 and 1053.
    if (WaitForExit(sp.pid, 0, left())) {
      LogLine(rec.name, "process " + std::to_string(sp.pid) +
                            " ended without connecting to the service control manager (1067)");
      return ERROR_PROCESS_ABORTED;
    }
    KillProcess(sp.pid);
    LogLine(rec.name, "process " + std::to_string(sp.pid) + " did not connect within " +
                          std::to_string(timeout) + " ms and was ended (1053)");
    return ERROR_SERVICE_REQUEST_TIMEOUT;
  }
  hello.token[sizeof hello.token - 1] = '\0';
  pid_t svcPid = static_cast<pid_t>(hello.pid);
  bool ours = hello.magic == kHelloMagic && token == hello.token &&
              (svcPid == sp.pid || ::getsid(svcPid) == sp.pid);
  if (!ours) {
    KillProcess(sp.pid);
    return ERROR_SERVICE_REQUEST_TIMEOUT;
  }
  StatusFile f;
  f.status.dwServiceType = rec.type;
  f.status.dwCurrentState = SERVICE_START_PENDING;
  f.status.dwWaitHint = 2000;
  f.pid = static_cast<DWORD>(svcPid);
  f.startTime = ProcessStartTime(f.pid);
  f.boot = BootId();
  f.token = token;
  if (f.startTime == 0) return ERROR_PROCESS_ABORTED;
  if (!WriteStatusFile(rec.name, f, nullptr)) {
    KillProcess(sp.pid);
    return ERROR_ACCESS_DENIED;
  }
  // The acknowledgement carries the start arguments for ServiceMain.
  std::string ack;
  auto put32 = [&](std::uint32_t v) { ack.append(reinterpret_cast<const char*>(&v), 4); };
  put32(kAckMagic);
  put32(static_cast<std::uint32_t>(args.size()));
  for (const auto& a : args) {
    std::string u = ToUtf8(a);
    put32(static_cast<std::uint32_t>(u.size()));
    ack += u;
  }
  if (!SendAll(sp.handshake.get(), ack.data(), ack.size(), left())) {
    if (WaitForExit(svcPid, f.startTime, left())) {
      RecordStopped(rec.name, rec.type, ERROR_PROCESS_ABORTED, token);
      return ERROR_PROCESS_ABORTED;
    }
    KillProcess(sp.pid);
    RecordStopped(rec.name, rec.type, ERROR_SERVICE_REQUEST_TIMEOUT, token);
    return ERROR_SERVICE_REQUEST_TIMEOUT;
  }
  return ERROR_SUCCESS;
}

bool InChain(const std::vector<u16>& chain, u16view name) {
  for (const auto& c : chain)
    if (EqualsNoCase(c, name)) return true;
  return false;
}

// Waits for a service that was started (by us or someone else) to come up.
bool WaitRunning(const ServiceRecord& rec) {
  auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(TimeoutMs());
  for (;;) {
    LiveStatus live = CurrentStatus(rec);
    DWORD st = live.status.dwCurrentState;
    if (st == SERVICE_RUNNING || st == SERVICE_PAUSED || st == SERVICE_PAUSE_PENDING ||
        st == SERVICE_CONTINUE_PENDING)
      return true;
    if (st == SERVICE_STOPPED || st == SERVICE_STOP_PENDING) return false;
    if (std::chrono::steady_clock::now() >= deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
}

DWORD StartOne(u16view name, const std::vector<u16>& args, std::vector<u16>& chain, bool dependency);

DWORD GroupRunning(u16view group) {
  std::vector<u16> names;
  if (ListServices(&names) != ERROR_SUCCESS) return ERROR_SERVICE_DEPENDENCY_FAIL;
  for (const auto& n : names) {
    ServiceRecord rec;
    if (ReadRecord(n, &rec) != ERROR_SUCCESS || !EqualsNoCase(rec.group, group)) continue;
    if (CurrentStatus(rec).status.dwCurrentState == SERVICE_RUNNING) return ERROR_SUCCESS;
  }
  return ERROR_SERVICE_DEPENDENCY_FAIL;
}

DWORD StartDependencies(const ServiceRecord& rec, std::vector<u16>& chain) {
  chain.push_back(rec.name);
  for (const auto& d : rec.dependencies) {
    DWORD e;
    if (!d.empty() && d[0] == u'+')
      e = GroupRunning(u16view(d).substr(1));
    else
      e = StartOne(d, {}, chain, true);
    if (e != ERROR_SUCCESS) {
      chain.pop_back();
      if (e == ERROR_SERVICE_DEPENDENCY_DELETED || e == ERROR_CIRCULAR_DEPENDENCY) return e;
      return ERROR_SERVICE_DEPENDENCY_FAIL;
    }
  }
  chain.pop_back();
  return ERROR_SUCCESS;
}

DWORD StartOne(u16view name, const std::vector<u16>& args, std::vector<u16>& chain, bool dependency) {
  if (InChain(chain, name)) return ERROR_CIRCULAR_DEPENDENCY;
  ServiceRecord rec;
  LSTATUS rc = ReadRecord(name, &rec);
  if (rc == ERROR_SERVICE_DOES_NOT_EXIST)
    return dependency ? ERROR_SERVICE_DEPENDENCY_DELETED : ERROR_SERVICE_MARKED_FOR_DELETE;
  if (rc != ERROR_SUCCESS) return static_cast<DWORD>(rc);
  if (rec.deleteFlag) return dependency ? ERROR_SERVICE_DEPENDENCY_DELETED : ERROR_SERVICE_MARKED_FOR_DELETE;
  if (rec.Builtin()) return dependency ? ERROR_SUCCESS : ERROR_SERVICE_ALREADY_RUNNING;
  if (rec.defect != ERROR_SUCCESS) return rec.defect;
  if (rec.start == SERVICE_DISABLED) return ERROR_SERVICE_DISABLED;
  DWORD base = rec.type & ~static_cast<DWORD>(SERVICE_INTERACTIVE_PROCESS);
  if (base != SERVICE_WIN32_OWN_PROCESS && base != SERVICE_WIN32_SHARE_PROCESS) return ERROR_BAD_EXE_FORMAT;

  ServiceLock lock;
  if (!lock.Acquire(name, ServiceLock::kStart, dependency ? TimeoutMs() : 0)) {
    if (!EnsureScmDir()) return ERROR_ACCESS_DENIED;
    // Someone else is starting it right now.
    if (!dependency) return ERROR_SERVICE_ALREADY_RUNNING;
    return WaitRunning(rec) ? ERROR_SUCCESS : ERROR_SERVICE_DEPENDENCY_FAIL;
  }
  LiveStatus live = CurrentStatus(rec);
  if (live.status.dwCurrentState != SERVICE_STOPPED) {
    if (!dependency) return ERROR_SERVICE_ALREADY_RUNNING;
    lock.Release();
    return WaitRunning(rec) ? ERROR_SUCCESS : ERROR_SERVICE_DEPENDENCY_FAIL;
  }
  if (DWORD e = StartDependencies(rec, chain); e != ERROR_SUCCESS) return e;
  DWORD e = Launch(rec, args);
  if (e != ERROR_SUCCESS) {
    RecordStopped(name, rec.type, e, NewToken());
    lock.Release();
    FinishIfMarked(name);
    return e;
  }
  lock.Release();
  if (dependency && !WaitRunning(rec)) return ERROR_SERVICE_DEPENDENCY_FAIL;
  return ERROR_SUCCESS;
}

}  // namespace
}  // namespace qel::scm

using namespace qel;
using namespace qel::scm;

extern "C" BOOL WINAPI StartServiceW(SC_HANDLE hService, DWORD dwNumServiceArgs, LPCWSTR* lpServiceArgVectors) {
  QEL_FAULT_POINT("StartServiceW", c) {
    SetLastError(static_cast<DWORD>(c));
    return FALSE;
  }
  DWORD err = 0;
  auto obj = ServiceFromHandle(hService, SERVICE_START, &err);
  if (!obj) {
    SetLastError(err);
    return FALSE;
  }
  if (dwNumServiceArgs && !lpServiceArgVectors) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  std::vector<u16> args;
  for (DWORD i = 0; i < dwNumServiceArgs; ++i) {
    if (!lpServiceArgVectors[i]) {
      SetLastError(ERROR_INVALID_PARAMETER);
      return FALSE;
    }
    args.emplace_back(WView(lpServiceArgVectors[i]));
  }
  std::vector<u16> chain;
  err = StartOne(obj->name, args, chain, false);
  if (err != ERROR_SUCCESS) {
    SetLastError(err);
    return FALSE;
  }
  return TRUE;
}
