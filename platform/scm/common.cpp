// Paths, store access, service records, status files and locks.
#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <mutex>
#include <sstream>
#include <system_error>
#include <thread>

#include "qel/statedir.h"
#include "scm_internal.h"

namespace qel::scm {

int TimeoutMs() {
  if (const char* v = std::getenv(kEnvTimeout); v && *v) {
    char* end = nullptr;
    long n = std::strtol(v, &end, 10);
    if (end && *end == '\0' && n > 0 && n <= 24L * 3600 * 1000) return static_cast<int>(n);
  }
  return 30000;
}

// ---- Paths -------------------------------------------------------------

std::string FileStem(u16view name) {
  std::string upper = ToUtf8(ToUpper(name));
  std::string out;
  for (unsigned char c : upper) {
    if ((c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '.' || c == '_' || c == '-') {
      out += static_cast<char>(c);
    } else {
      char buf[4];
      std::snprintf(buf, sizeof buf, "%%%02X", c);
      out += buf;
    }
  }
  if (out.empty() || out[0] == '.') out.insert(0, "_");
  if (out.size() > 48) {
    // FNV-1a of the folded name keeps long names apart within a short file name.
    std::uint64_t h = 1469598103934665603ull;
    for (unsigned char c : upper) h = (h ^ c) * 1099511628211ull;
    char buf[24];
    std::snprintf(buf, sizeof buf, "~%016llx", static_cast<unsigned long long>(h));
    out = out.substr(0, 24) + buf;
  }
  return out;
}

std::filesystem::path ScmDir() { return std::filesystem::absolute(StateDir()) / "scm"; }
std::filesystem::path StatusPath(u16view name) { return ScmDir() / (FileStem(name) + ".status"); }
std::filesystem::path LockPath(u16view name) { return ScmDir() / (FileStem(name) + ".lock"); }
std::filesystem::path SocketPath(u16view name) { return ScmDir() / (FileStem(name) + ".sock"); }
std::filesystem::path LogPath(u16view name) { return ScmDir() / (FileStem(name) + ".log"); }

bool EnsureScmDir() {
  auto dir = ScmDir();
  if (::mkdir(dir.c_str(), 0755) == 0) {
    // Readable by everyone: unprivileged callers query status and interrogate.
    ::chmod(dir.c_str(), 0755);
    return true;
  }
  return errno == EEXIST;
}

bool StoreWritable() {
  const auto dir = StateDir();
  if (::faccessat(AT_FDCWD, dir.c_str(), W_OK | X_OK, AT_EACCESS) != 0) return false;
  const auto db = dir / "registry.db";
  if (::faccessat(AT_FDCWD, db.c_str(), F_OK, AT_EACCESS) == 0 &&
      ::faccessat(AT_FDCWD, db.c_str(), R_OK | W_OK, AT_EACCESS) != 0)
    return false;
  return true;
}

// ---- Registry ------------------------------------------------------------

void Key::Reset() {
  if (m_h) {
    (void)RegCloseKey(m_h);
    m_h = nullptr;
  }
}

LSTATUS OpenServicesKey(REGSAM sam, Key* out) {
  HKEY h = nullptr;
  LSTATUS rc = RegOpenKeyExW(HKEY_LOCAL_MACHINE, kServicesKey.data(), 0, sam, &h);
  if (rc == ERROR_FILE_NOT_FOUND && (sam & KEY_CREATE_SUB_KEY)) {
    rc = RegCreateKeyExW(HKEY_LOCAL_MACHINE, kServicesKey.data(), 0, nullptr, 0, sam, nullptr, &h, nullptr);
  }
  if (rc == ERROR_SUCCESS) *out = Key(h);
  return rc;
}

LSTATUS OpenServiceKey(u16view name, REGSAM sam, Key* out) {
  Key services;
  LSTATUS rc = OpenServicesKey(KEY_READ, &services);
  if (rc == ERROR_FILE_NOT_FOUND) return ERROR_SERVICE_DOES_NOT_EXIST;
  if (rc != ERROR_SUCCESS) return rc;
  u16 n(name);
  HKEY h = nullptr;
  rc = RegOpenKeyExW(services.get(), n.c_str(), 0, sam, &h);
  if (rc == ERROR_FILE_NOT_FOUND) return ERROR_SERVICE_DOES_NOT_EXIST;
  if (rc == ERROR_SUCCESS) *out = Key(h);
  return rc;
}

LSTATUS ReadValue(HKEY key, const char16_t* name, RegValue* out) {
  *out = RegValue{};
  // One query does for the short values a service record holds; a longer one
  // is asked for again with the size the first query reported.
  out->data.resize(512);
  for (int attempt = 0; attempt < 4; ++attempt) {
    DWORD type = 0, size = static_cast<DWORD>(out->data.size());
    LSTATUS rc = RegQueryValueExW(key, name, nullptr, &type, out->data.data(), &size);
    if (rc == ERROR_MORE_DATA) {
      out->data.resize(size);
      continue;
    }
    if (rc == ERROR_FILE_NOT_FOUND) {
      out->data.clear();
      return ERROR_SUCCESS;
    }
    if (rc != ERROR_SUCCESS) {
      out->data.clear();
      return rc;
    }
    out->data.resize(size);
    out->present = true;
    out->type = type;
    return ERROR_SUCCESS;
  }
  out->data.clear();
  return ERROR_MORE_DATA;
}

std::optional<DWORD> AsDword(const RegValue& v) {
  if (!v.present || v.type != REG_DWORD || v.data.size() != 4) return std::nullopt;
  DWORD d;
  std::memcpy(&d, v.data.data(), 4);
  return d;
}

namespace {
u16 CharsOf(const RegValue& v) {
  u16 s(v.data.size() / 2, u'\0');
  if (!s.empty()) std::memcpy(s.data(), v.data.data(), s.size() * 2);
  return s;
}
}  // namespace

std::optional<u16> AsString(const RegValue& v) {
  if (!v.present || (v.type != REG_SZ && v.type != REG_EXPAND_SZ)) return std::nullopt;
  u16 s = CharsOf(v);
  if (auto nul = s.find(u'\0'); nul != u16::npos) s.resize(nul);
  return s;
}

std::vector<u16> AsMultiString(const RegValue& v) {
  std::vector<u16> items;
  if (!v.present) return items;
  u16 s = CharsOf(v);
  if (v.type == REG_SZ || v.type == REG_EXPAND_SZ) {
    // Tolerated: one dependency written as a plain string.
    if (auto nul = s.find(u'\0'); nul != u16::npos) s.resize(nul);
    if (!s.empty()) items.push_back(s);
    return items;
  }
  if (v.type != REG_MULTI_SZ) return items;
  std::size_t pos = 0;
  while (pos < s.size()) {
    std::size_t end = s.find(u'\0', pos);
    if (end == u16::npos) end = s.size();
    if (end == pos) break;  // the empty string ends the list
    items.push_back(s.substr(pos, end - pos));
    pos = end + 1;
  }
  return items;
}

LSTATUS WriteDword(HKEY key, const char16_t* name, DWORD value) {
  return RegSetValueExW(key, name, 0, REG_DWORD, reinterpret_cast<const BYTE*>(&value), sizeof value);
}

LSTATUS WriteString(HKEY key, const char16_t* name, u16view value, DWORD type) {
  u16 s(value);
  return RegSetValueExW(key, name, 0, type, reinterpret_cast<const BYTE*>(s.c_str()),
                        static_cast<DWORD>((s.size() + 1) * 2));
}

LSTATUS WriteMultiString(HKEY key, const char16_t* name, const std::vector<u16>& items) {
  u16 blob;
  for (const auto& i : items) {
    blob += i;
    blob += u'\0';
  }
  blob += u'\0';
  if (items.empty()) blob += u'\0';
  return RegSetValueExW(key, name, 0, REG_MULTI_SZ, reinterpret_cast<const BYTE*>(blob.data()),
                        static_cast<DWORD>(blob.size() * 2));
}

bool ServiceRecord::Builtin() const {
  return imagePath.size() >= 12 && imagePath.compare(0, 12, u"qel-builtin:") == 0;
}

LSTATUS ReadRecord(u16view name, ServiceRecord* out, RecordPart part) {
  Key key;
  LSTATUS rc = OpenServiceKey(name, KEY_QUERY_VALUE, &key);
  if (rc != ERROR_SUCCESS) return rc;
  ServiceRecord r;
  r.name = u16(name);
  auto defect = [&](DWORD code) {
    if (r.defect == ERROR_SUCCESS) r.defect = code;
  };
  RegValue v;
  if ((rc = ReadValue(key.get(), u"Type", &v)) != ERROR_SUCCESS) return rc;
  if (auto d = AsDword(v))
    r.type = *d;
  else
    defect(ERROR_BADKEY);  // Windows does not load a record without a service type
  if (part == RecordPart::kStatus) {
    // What a status query needs: the type, whether it is built in, whether it is going.
    if ((rc = ReadValue(key.get(), u"ImagePath", &v)) != ERROR_SUCCESS) return rc;
    if (auto s = AsString(v)) r.imagePath = *s;
    if ((rc = ReadValue(key.get(), u"DeleteFlag", &v)) != ERROR_SUCCESS) return rc;
    if (auto d = AsDword(v)) r.deleteFlag = *d != 0;
    *out = std::move(r);
    return ERROR_SUCCESS;
  }
  if ((rc = ReadValue(key.get(), u"Start", &v)) != ERROR_SUCCESS) return rc;
  if (auto d = AsDword(v))
    r.start = *d;
  else if (v.present)
    defect(ERROR_BADKEY);
  if ((rc = ReadValue(key.get(), u"ErrorControl", &v)) != ERROR_SUCCESS) return rc;
  if (auto d = AsDword(v))
    r.errorControl = *d;
  else if (v.present)
    defect(ERROR_BADKEY);
  if ((rc = ReadValue(key.get(), u"ImagePath", &v)) != ERROR_SUCCESS) return rc;
  if (auto s = AsString(v)) {
    r.imagePath = *s;
    r.imagePathExpand = v.type == REG_EXPAND_SZ;
    r.imagePathPresent = true;
  } else if (v.present) {
    defect(ERROR_BADKEY);
  }
  if ((rc = ReadValue(key.get(), u"DisplayName", &v)) != ERROR_SUCCESS) return rc;
  if (auto s = AsString(v); s && !s->empty())
    r.displayName = *s;
  else
    r.displayName = r.name;
  if ((rc = ReadValue(key.get(), u"Group", &v)) != ERROR_SUCCESS) return rc;
  if (auto s = AsString(v)) r.group = *s;
  if ((rc = ReadValue(key.get(), u"DependOnService", &v)) != ERROR_SUCCESS) return rc;
  r.dependencies = AsMultiString(v);
  if ((rc = ReadValue(key.get(), u"DependOnGroup", &v)) != ERROR_SUCCESS) return rc;
  for (auto& g : AsMultiString(v)) r.dependencies.push_back(u"+" + g);
  if ((rc = ReadValue(key.get(), u"ObjectName", &v)) != ERROR_SUCCESS) return rc;
  if (auto s = AsString(v); s && !s->empty())
    r.objectName = *s;
  else
    r.objectName = u"LocalSystem";
  if ((rc = ReadValue(key.get(), u"Description", &v)) != ERROR_SUCCESS) return rc;
  if (auto s = AsString(v)) r.description = *s;
  if ((rc = ReadValue(key.get(), u"DeleteFlag", &v)) != ERROR_SUCCESS) return rc;
  if (auto d = AsDword(v)) r.deleteFlag = *d != 0;
  *out = std::move(r);
  return ERROR_SUCCESS;
}

LSTATUS ListServices(std::vector<u16>* out) {
  out->clear();
  Key services;
  LSTATUS rc = OpenServicesKey(KEY_READ, &services);
  if (rc == ERROR_FILE_NOT_FOUND) return ERROR_SUCCESS;
  if (rc != ERROR_SUCCESS) return rc;
  for (DWORD i = 0;; ++i) {
    WCHAR name[260];
    DWORD cch = 260;
    rc = RegEnumKeyExW(services.get(), i, name, &cch, nullptr, nullptr, nullptr, nullptr);
    if (rc == ERROR_NO_MORE_ITEMS) return ERROR_SUCCESS;
    if (rc == ERROR_MORE_DATA) continue;  // longer than any service name may be
    if (rc != ERROR_SUCCESS) return rc;
    out->emplace_back(name, cch);
  }
}

void FinishIfMarked(u16view name) {
  {
    // Most services are not marked: look at the flag alone first.
    Key key;
    RegValue flag;
    if (OpenServiceKey(name, KEY_QUERY_VALUE, &key) != ERROR_SUCCESS ||
        ReadValue(key.get(), u"DeleteFlag", &flag) != ERROR_SUCCESS || AsDword(flag).value_or(0) == 0)
      return;
  }
  ServiceRecord rec;
  if (ReadRecord(name, &rec, RecordPart::kStatus) != ERROR_SUCCESS || !rec.deleteFlag || !StoreWritable()) return;
  LiveStatus live = CurrentStatus(rec);
  if (live.status.dwCurrentState != SERVICE_STOPPED) return;
  Key services;
  if (OpenServicesKey(KEY_ALL_ACCESS, &services) != ERROR_SUCCESS) return;
  u16 n(name);
  if (RegDeleteTreeW(services.get(), n.c_str()) == ERROR_SUCCESS) RemoveStatusFile(name);
}

// ---- Status files ----------------------------------------------------------

namespace {

bool ParseU64(const std::string& s, std::uint64_t* out) {
  if (s.empty()) return false;
  char* end = nullptr;
  errno = 0;
  unsigned long long v = std::strtoull(s.c_str(), &end, 10);
  if (errno || !end || *end) return false;
  *out = v;
  return true;
}

std::optional<StatusFile> ParseStatus(const std::string& text) {
  StatusFile f;
  std::istringstream in(text);
  std::string line;
  int seen = 0;
  while (std::getline(in, line)) {
    auto eq = line.find('=');
    if (eq == std::string::npos) continue;
    std::string k = line.substr(0, eq), v = line.substr(eq + 1);
    std::uint64_t n = 0;
    auto num = [&](DWORD* field) {
      if (!ParseU64(v, &n) || n > 0xFFFFFFFFull) return false;
      *field = static_cast<DWORD>(n);
      ++seen;
      return true;
    };
    if (k == "type") num(&f.status.dwServiceType);
    else if (k == "state") num(&f.status.dwCurrentState);
    else if (k == "accepted") num(&f.status.dwControlsAccepted);
    else if (k == "exit") num(&f.status.dwWin32ExitCode);
    else if (k == "specific") num(&f.status.dwServiceSpecificExitCode);
    else if (k == "checkpoint") num(&f.status.dwCheckPoint);
    else if (k == "waithint") num(&f.status.dwWaitHint);
    else if (k == "pid") num(&f.pid);
    else if (k == "starttime") {
      if (ParseU64(v, &n)) f.startTime = n;
    } else if (k == "boot") f.boot = v;
    else if (k == "token") f.token = v;
  }
  if (seen < 8 || f.status.dwCurrentState < SERVICE_STOPPED || f.status.dwCurrentState > SERVICE_PAUSED)
    return std::nullopt;
  return f;
}

std::string FormatStatus(const StatusFile& f) {
  std::ostringstream o;
  o << "token=" << f.token << "\n"
    << "type=" << f.status.dwServiceType << "\n"
    << "state=" << f.status.dwCurrentState << "\n"
    << "accepted=" << f.status.dwControlsAccepted << "\n"
    << "exit=" << f.status.dwWin32ExitCode << "\n"
    << "specific=" << f.status.dwServiceSpecificExitCode << "\n"
    << "checkpoint=" << f.status.dwCheckPoint << "\n"
    << "waithint=" << f.status.dwWaitHint << "\n"
    << "pid=" << f.pid << "\n"
    << "starttime=" << f.startTime << "\n"
    << "boot=" << f.boot << "\n";
  return o.str();
}

std::string Slurp(const std::filesystem::path& p) {
  int fd = ::open(p.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return {};
  std::string s;
  char buf[1024];
  for (;;) {
    ssize_t n = ::read(fd, buf, sizeof buf);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    s.append(buf, static_cast<std::size_t>(n));
    if (s.size() > 65536) break;
  }
  ::close(fd);
  return s;
}

}  // namespace

std::optional<StatusFile> ReadStatusFile(u16view name) {
  std::string text = Slurp(StatusPath(name));
  if (text.empty()) return std::nullopt;
  return ParseStatus(text);
}

bool WriteStatusFile(u16view name, const StatusFile& s, const std::string* requireToken) {
  if (!EnsureScmDir()) return false;
  ServiceLock lock;
  if (!lock.Acquire(name, ServiceLock::kStatus, 5000)) return false;
  if (requireToken) {
    auto cur = ReadStatusFile(name);
    if (!cur || cur->token != *requireToken) return false;
  }
  static std::atomic<unsigned> counter{0};
  auto final = StatusPath(name);
  auto tmp = final;
  tmp += ".tmp." + std::to_string(::getpid()) + "." + std::to_string(counter.fetch_add(1));
  int fd = ::open(tmp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (fd < 0) return false;
  ::fchmod(fd, 0644);
  std::string text = FormatStatus(s);
  bool ok = ::write(fd, text.data(), text.size()) == static_cast<ssize_t>(text.size());
  ok = (::close(fd) == 0) && ok;
  if (ok) ok = ::rename(tmp.c_str(), final.c_str()) == 0;
  if (!ok) ::unlink(tmp.c_str());
  return ok;
}

void RemoveStatusFile(u16view name) {
  ServiceLock lock;
  bool locked = lock.Acquire(name, ServiceLock::kStatus, 5000);
  ::unlink(StatusPath(name).c_str());
  (void)locked;
}

std::string BootId() {
  static const std::string id = [] {
    std::string s = Slurp("/proc/sys/kernel/random/boot_id");
    while (!s.empty() && (s.back() == '\n' || s.back() == ' ')) s.pop_back();
    return s;
  }();
  return id;
}

std::uint64_t ProcessStartTime(DWORD pid) {
  if (pid == 0) return 0;
  std::string stat = Slurp("/proc/" + std::to_string(pid) + "/stat");
  auto close = stat.rfind(')');
  if (close == std::string::npos) return 0;
  std::istringstream in(stat.substr(close + 2));
  std::string field;
  // Field 3 is the state; field 22 the start time.
  for (int i = 3; i <= 22; ++i) {
    if (!(in >> field)) return 0;
    if (i == 3 && (field == "Z" || field == "X" || field == "x")) return 0;
  }
  std::uint64_t t = 0;
  return ParseU64(field, &t) ? t : 0;
}

LiveStatus CurrentStatus(const ServiceRecord& rec) {
  LiveStatus live;
  SERVICE_STATUS_PROCESS& st = live.status;
  st.dwServiceType = rec.type;
  if (rec.Builtin()) {
    // The platform's own services run inside the platform itself.
    st.dwCurrentState = SERVICE_RUNNING;
    st.dwServiceFlags = 1;  // SERVICE_RUNS_IN_SYSTEM_PROCESS
    return live;
  }
  st.dwCurrentState = SERVICE_STOPPED;
  auto f = ReadStatusFile(rec.name);
  if (!f) {
    st.dwWin32ExitCode = ERROR_SERVICE_NEVER_STARTED;
    return live;
  }
  live.token = f->token;
  if (f->status.dwCurrentState == SERVICE_STOPPED) {
    st.dwServiceType = f->status.dwServiceType ? f->status.dwServiceType : rec.type;
    st.dwWin32ExitCode = f->status.dwWin32ExitCode;
    st.dwServiceSpecificExitCode = f->status.dwServiceSpecificExitCode;
    return live;
  }
  bool alive = f->pid != 0 && f->boot == BootId() && ProcessStartTime(f->pid) == f->startTime && f->startTime != 0;
  if (!alive) {
    // The process may have reported SERVICE_STOPPED and ended between the read
    // above and the liveness check: a dead process writes nothing more, so the
    // file read now is final, and only a process that died without that
    // report counts as aborted.
    if (auto again = ReadStatusFile(rec.name); again && again->status.dwCurrentState == SERVICE_STOPPED) {
      live.token = again->token;
      st.dwServiceType = again->status.dwServiceType ? again->status.dwServiceType : rec.type;
      st.dwWin32ExitCode = again->status.dwWin32ExitCode;
      st.dwServiceSpecificExitCode = again->status.dwServiceSpecificExitCode;
      return live;
    }
    st.dwWin32ExitCode = ERROR_PROCESS_ABORTED;
    live.aborted = true;
    return live;
  }
  st.dwServiceType = f->status.dwServiceType;
  st.dwCurrentState = f->status.dwCurrentState;
  st.dwControlsAccepted = f->status.dwControlsAccepted;
  st.dwWin32ExitCode = f->status.dwWin32ExitCode;
  st.dwServiceSpecificExitCode = f->status.dwServiceSpecificExitCode;
  st.dwCheckPoint = f->status.dwCheckPoint;
  st.dwWaitHint = f->status.dwWaitHint;
  st.dwProcessId = f->pid;
  return live;
}

// ---- Locks ---------------------------------------------------------------

ServiceLock::~ServiceLock() { Release(); }

bool ServiceLock::Acquire(u16view name, Slot slot, int timeoutMs) {
  Release();
  if (!EnsureScmDir()) return false;
  auto path = LockPath(name);
  m_fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
  if (m_fd < 0) return false;
  struct flock fl{};
  fl.l_type = F_WRLCK;
  fl.l_whence = SEEK_SET;
  fl.l_start = slot;
  fl.l_len = 1;
  auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs < 0 ? 0 : timeoutMs);
  for (;;) {
    if (timeoutMs < 0) {
      if (::fcntl(m_fd, F_OFD_SETLKW, &fl) == 0) return true;
      if (errno == EINTR) continue;
      break;
    }
    if (::fcntl(m_fd, F_OFD_SETLK, &fl) == 0) return true;
    if (errno != EAGAIN && errno != EACCES && errno != EINTR) break;
    if (std::chrono::steady_clock::now() >= deadline) break;
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
  ::close(m_fd);
  m_fd = -1;
  return false;
}

void ServiceLock::Release() {
  if (m_fd >= 0) {
    ::close(m_fd);  // closing the description drops its lock
    m_fd = -1;
  }
}

// ---- Wire ----------------------------------------------------------------

namespace {
int Remaining(std::chrono::steady_clock::time_point deadline, int timeoutMs) {
  if (timeoutMs < 0) return -1;
  auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
  return left.count() < 0 ? 0 : static_cast<int>(left.count());
}
}  // namespace

bool SendAll(int fd, const void* buf, std::size_t len, int timeoutMs) {
  auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs < 0 ? 0 : timeoutMs);
  const char* p = static_cast<const char*>(buf);
  while (len > 0) {
    ssize_t n = ::send(fd, p, len, MSG_NOSIGNAL | MSG_DONTWAIT);
    if (n > 0) {
      p += n;
      len -= static_cast<std::size_t>(n);
      continue;
    }
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
      pollfd pfd{fd, POLLOUT, 0};
      int left = Remaining(deadline, timeoutMs);
      if (left == 0) return false;
      if (::poll(&pfd, 1, left) <= 0 && errno != EINTR) return false;
      continue;
    }
    return false;
  }
  return true;
}

bool RecvAll(int fd, void* buf, std::size_t len, int timeoutMs) {
  auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs < 0 ? 0 : timeoutMs);
  char* p = static_cast<char*>(buf);
  while (len > 0) {
    pollfd pfd{fd, POLLIN, 0};
    int left = Remaining(deadline, timeoutMs);
    if (timeoutMs >= 0 && left == 0) return false;
    int pr = ::poll(&pfd, 1, left);
    if (pr < 0 && errno == EINTR) continue;
    if (pr <= 0) return false;
    ssize_t n = ::recv(fd, p, len, MSG_DONTWAIT);
    if (n > 0) {
      p += n;
      len -= static_cast<std::size_t>(n);
      continue;
    }
    if (n < 0 && (errno == EINTR || errno == EAGAIN)) continue;
    return false;  // end of stream or error
  }
  return true;
}

}  // namespace qel::scm
