// Registration records: one small text file per device, "key=value" lines.
#include "records.h"

#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>

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

}  // namespace qel::upnphost
