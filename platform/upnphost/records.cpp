// Registration records: one small text file per device, "key=value" lines.
#include "records.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/file.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>

namespace qel::upnphost {

namespace {

// Field values may hold any text the description held (Japanese, blanks,
// tabs): percent-escape the characters the line format uses.
std::string Escape(const std::string& s) {
  std::string o;
  for (unsigned char c : s) {
    if (c == '%' || c == '\n' || c == '\r' || c == '\t' || c == '=' || c < 0x20) {
      char b[4];
      std::snprintf(b, sizeof b, "%%%02X", c);
      o += b;
    } else {
      o += static_cast<char>(c);
    }
  }
  return o;
}

int HexVal(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  return -1;
}

std::string Unescape(const std::string& s) {
  std::string o;
  for (size_t i = 0; i < s.size(); ++i) {
    if (s[i] == '%' && i + 2 < s.size() && HexVal(s[i + 1]) >= 0 && HexVal(s[i + 2]) >= 0) {
      o += static_cast<char>(HexVal(s[i + 1]) * 16 + HexVal(s[i + 2]));
      i += 2;
    } else {
      o += s[i];
    }
  }
  return o;
}

bool SyncAndClose(int fd) {
  const bool ok = ::fsync(fd) == 0;
  return ::close(fd) == 0 && ok;
}

}  // namespace

std::filesystem::path RecordPath(const std::filesystem::path& dir, const std::string& id) {
  return dir / (id + ".device");
}

bool WriteRecord(const std::filesystem::path& dir, const Record& r) {
  std::error_code ec;
  std::filesystem::create_directories(dir, ec);
  std::string text = "id=" + Escape(r.id) + "\nudn=" + Escape(r.udn) + "\npid=" + std::to_string(r.pid) + "\n";
  if (r.startTime) text += "start=" + std::to_string(r.startTime) + "\n";
  if (!r.boot.empty()) text += "boot=" + Escape(r.boot) + "\n";
  for (const auto& a : r.hostAddresses) text += "address=" + Escape(a) + "\n";
  for (const auto& t : r.targets) text += "target=" + Escape(t.nt) + "\t" + Escape(t.usn) + "\n";
  const auto final = RecordPath(dir, r.id);
  const auto tmp = dir / (r.id + ".tmp");
  int fd = ::open(tmp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (fd < 0) return false;
  size_t done = 0;
  while (done < text.size()) {
    const ssize_t n = ::write(fd, text.data() + done, text.size() - done);
    if (n <= 0) {
      ::close(fd);
      ::unlink(tmp.c_str());
      return false;
    }
    done += static_cast<size_t>(n);
  }
  if (!SyncAndClose(fd) || ::rename(tmp.c_str(), final.c_str()) != 0) {
    ::unlink(tmp.c_str());
    return false;
  }
  int dfd = ::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (dfd >= 0) SyncAndClose(dfd);
  return true;
}

bool ReadRecord(const std::filesystem::path& file, Record* r) {
  std::ifstream f(file);
  if (!f) return false;
  Record rec;
  std::string line;
  while (std::getline(f, line)) {
    const auto eq = line.find('=');
    if (eq == std::string::npos) continue;
    const std::string key = line.substr(0, eq), value = line.substr(eq + 1);
    if (key == "id") {
      rec.id = Unescape(value);
    } else if (key == "udn") {
      rec.udn = Unescape(value);
    } else if (key == "pid") {
      rec.pid = std::strtol(value.c_str(), nullptr, 10);
    } else if (key == "start") {
      rec.startTime = std::strtoull(value.c_str(), nullptr, 10);
    } else if (key == "boot") {
      rec.boot = Unescape(value);
    } else if (key == "address") {
      rec.hostAddresses.push_back(Unescape(value));
    } else if (key == "target") {
      const auto tab = value.find('\t');
      if (tab == std::string::npos) continue;
      rec.targets.push_back({Unescape(value.substr(0, tab)), Unescape(value.substr(tab + 1))});
    }
  }
  if (rec.id.empty()) return false;
  *r = std::move(rec);
  return true;
}

// ---- Ownership -------------------------------------------------------------

namespace {

std::string BootId() {
  std::ifstream f("/proc/sys/kernel/random/boot_id");
  std::string id;
  std::getline(f, id);
  return id;
}

struct ProcessInfo {
  bool known = false;  // /proc told
  bool zombie = false;
  std::uint64_t startTime = 0;  // field 22 of /proc/PID/stat
};

ProcessInfo ReadProcess(long pid) {
  ProcessInfo info;
  std::ifstream f("/proc/" + std::to_string(pid) + "/stat");
  std::string stat;
  if (!std::getline(f, stat)) return info;
  const auto close = stat.rfind(')');  // the command name may hold blanks and parentheses
  if (close == std::string::npos || close + 2 >= stat.size()) return info;
  std::istringstream rest(stat.substr(close + 2));
  std::string field;
  for (int i = 3; i <= 22 && rest >> field; ++i) {
    if (i == 3) info.zombie = field == "Z" || field == "X";
    if (i == 22) {
      info.startTime = std::strtoull(field.c_str(), nullptr, 10);
      info.known = true;
    }
  }
  return info;
}

std::string Lower(std::string s) {
  for (char& c : s)
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  return s;
}

constexpr std::size_t kKeptWithdrawnMarks = 32;

}  // namespace

void StampOwner(Record* r) {
  r->pid = static_cast<long>(::getpid());
  r->startTime = ReadProcess(r->pid).startTime;
  r->boot = BootId();
}

bool OwnedByAnotherLiveProcess(const Record& r) {
  if (r.pid <= 0 || r.pid == static_cast<long>(::getpid())) return false;
  if (!r.boot.empty() && r.boot != BootId()) return false;
  if (::kill(static_cast<pid_t>(r.pid), 0) != 0 && errno != EPERM) return false;
  const ProcessInfo info = ReadProcess(r.pid);
  if (!info.known) return true;  // /proc hides it: the pid's existence decides
  // A process that has ended but not been reaped, or a pid taken over since.
  if (info.zombie) return false;
  return r.startTime == 0 || info.startTime == r.startTime;
}

std::vector<std::string> UdnsOf(const Record& r) {
  std::vector<std::string> udns{r.udn};
  for (const auto& t : r.targets)
    if (t.nt == t.usn && t.nt.rfind("uuid:", 0) == 0) udns.push_back(t.nt);
  return udns;
}

RecordsLock::RecordsLock(const std::filesystem::path& dir) {
  std::error_code ec;
  std::filesystem::create_directories(dir, ec);
  m_fd = ::open((dir / "records.lock").c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
  if (m_fd < 0) m_fd = ::open((dir / "records.lock").c_str(), O_RDONLY | O_CLOEXEC);
  // Without the lock file (a store this caller may not write) the look goes
  // on unserialised; such a caller cannot write a record either.
  while (m_fd >= 0 && ::flock(m_fd, LOCK_EX) != 0 && errno == EINTR) {
  }
}

RecordsLock::~RecordsLock() {
  if (m_fd >= 0) ::close(m_fd);
}

std::optional<Record> FindLiveOwner(const std::filesystem::path& dir, const std::vector<std::string>& udns) {
  std::vector<std::string> wanted;
  for (const auto& u : udns) wanted.push_back(Lower(u));
  std::error_code ec;
  for (const auto& e : std::filesystem::directory_iterator(dir, ec)) {
    if (e.path().extension() != ".device") continue;
    Record r;
    if (!ReadRecord(e.path(), &r) || !OwnedByAnotherLiveProcess(r)) continue;
    for (const auto& u : UdnsOf(r))
      if (std::find(wanted.begin(), wanted.end(), Lower(u)) != wanted.end()) return r;
  }
  return std::nullopt;
}

std::filesystem::path WithdrawnPath(const std::filesystem::path& dir, const std::string& id) {
  return dir / (id + ".withdrawn");
}

void MarkWithdrawn(const std::filesystem::path& dir, const std::string& id) {
  const auto mark = WithdrawnPath(dir, id);
  if (::rename(RecordPath(dir, id).c_str(), mark.c_str()) != 0) return;
  // The touch orders the marks by withdrawal, not by registration.
  std::error_code ec;
  std::filesystem::last_write_time(mark, std::filesystem::file_time_type::clock::now(), ec);
  std::vector<std::pair<std::filesystem::file_time_type, std::filesystem::path>> marks;
  for (const auto& e : std::filesystem::directory_iterator(dir, ec))
    if (e.path().extension() == ".withdrawn") marks.emplace_back(e.last_write_time(ec), e.path());
  if (marks.size() <= kKeptWithdrawnMarks) return;
  std::sort(marks.begin(), marks.end());
  for (std::size_t i = 0; i + kKeptWithdrawnMarks < marks.size(); ++i) std::filesystem::remove(marks[i].second, ec);
}

bool TakeWithdrawnMark(const std::filesystem::path& dir, const std::string& id) {
  std::error_code ec;
  return std::filesystem::remove(WithdrawnPath(dir, id), ec);
}

}  // namespace qel::upnphost
