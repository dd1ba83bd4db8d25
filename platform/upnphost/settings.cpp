// Host settings from the registry, identifiers, and the diagnostic line.
#include <algorithm>
#include <cstdio>
#include <cstring>
#include <random>

#include "internal.h"
#include "qel/statedir.h"
#include "qel/wstr.h"
#include "winreg.h"

namespace qel::upnphost {

void LogLine(const char* format, ...) {
  char buf[1024];
  va_list ap;
  va_start(ap, format);
  std::vsnprintf(buf, sizeof buf, format, ap);
  va_end(ap);
  std::fprintf(stderr, "upnphost: %s\n", buf);
  std::fflush(stderr);
}

namespace {

bool ReadDword(HKEY key, const char16_t* name, DWORD* out) {
  DWORD type = 0, value = 0, size = sizeof value;
  if (RegQueryValueExW(key, name, nullptr, &type, reinterpret_cast<BYTE*>(&value), &size) != ERROR_SUCCESS)
    return false;
  if (type != REG_DWORD || size != sizeof value) return false;
  *out = value;
  return true;
}

// A string value; the strings of a REG_MULTI_SZ come back separated by blanks,
// so a list of interfaces may be kept either way.
bool ReadString(HKEY key, const char16_t* name, std::u16string* out) {
  DWORD type = 0, size = 0;
  if (RegQueryValueExW(key, name, nullptr, &type, nullptr, &size) != ERROR_SUCCESS) return false;
  if (type != REG_SZ && type != REG_EXPAND_SZ && type != REG_MULTI_SZ) {
    LogLine("the value %s is not a string (type %lu): it is ignored", ToUtf8(name).c_str(),
            static_cast<unsigned long>(type));
    return false;
  }
  std::u16string buf(size / sizeof(char16_t) + 1, u'\0');
  DWORD got = static_cast<DWORD>(buf.size() * sizeof(char16_t));
  if (RegQueryValueExW(key, name, nullptr, &type, reinterpret_cast<BYTE*>(buf.data()), &got) != ERROR_SUCCESS)
    return false;
  if (type == REG_MULTI_SZ) {
    buf.resize(std::min<size_t>(buf.size(), got / sizeof(char16_t)));
    for (auto& c : buf)
      if (c == u'\0') c = u' ';
  } else {
    buf.resize(WLen(buf.c_str()));
  }
  *out = std::move(buf);
  return true;
}

}  // namespace

Settings ReadSettings() {
  Settings s;
  HKEY key = nullptr;
  if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, u"SYSTEM\\CurrentControlSet\\Services\\upnphost\\Parameters", 0,
                    KEY_READ, &key) != ERROR_SUCCESS)
    return s;
  std::u16string text;
  if (ReadString(key, u"Interfaces", &text)) {
    std::vector<std::string> names;
    std::string all = ToUtf8(text), cur;
    for (char c : all) {
      if (c == ' ' || c == ',' || c == ';' || c == '\t') {
        if (!cur.empty()) names.push_back(cur);
        cur.clear();
      } else {
        cur += c;
      }
    }
    if (!cur.empty()) names.push_back(cur);
    if (!names.empty()) s.interfaces = std::move(names);
  }
  DWORD v = 0;
  if (ReadDword(key, u"HttpPort", &v)) s.httpPort = v;
  if (ReadDword(key, u"AnnouncementInterval", &v)) s.announceSeconds = v;
  RegCloseKey(key);
  return s;
}

std::filesystem::path HostDir() { return StateDir() / "upnphost"; }

namespace {

std::mt19937_64& Rng() {
  thread_local std::mt19937_64 rng{std::random_device{}()};
  return rng;
}

bool IsHex(char c) { return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F'); }

bool IsUuidText(std::string_view s) {
  if (s.size() != 36) return false;
  for (size_t i = 0; i < s.size(); ++i) {
    const bool dash = i == 8 || i == 13 || i == 18 || i == 23;
    if (dash ? s[i] != '-' : !IsHex(s[i])) return false;
  }
  return true;
}

}  // namespace

bool IsValidUuidUdn(std::string_view udn) {
  return udn.size() == 41 && udn.substr(0, 5) == "uuid:" && IsUuidText(udn.substr(5));
}

std::string NewUuid() {
  std::uint64_t a = Rng()(), b = Rng()();
  a = (a & ~0xF000ull) | 0x4000ull;                        // version 4
  b = (b & ~(0xC0ull << 56)) | (0x80ull << 56);            // RFC 4122 variant
  char buf[40];
  std::snprintf(buf, sizeof buf, "%08x-%04x-%04x-%04x-%012llx", static_cast<unsigned>(a >> 32),
                static_cast<unsigned>((a >> 16) & 0xFFFF), static_cast<unsigned>(a & 0xFFFF),
                static_cast<unsigned>(b >> 48), static_cast<unsigned long long>(b & 0xFFFFFFFFFFFFull));
  return buf;
}

std::string NewDeviceId() {
  std::string u = NewUuid();
  for (char& c : u)
    if (c >= 'a' && c <= 'f') c = static_cast<char>(c - 'a' + 'A');
  return "{" + u + "}";
}

bool IsWellFormedDeviceId(std::string_view id) {
  return id.size() == 38 && id.front() == '{' && id.back() == '}' && IsUuidText(id.substr(1, 36));
}

}  // namespace qel::upnphost
