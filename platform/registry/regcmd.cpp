#include "regcmd.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "qel/wstr.h"
#include "regfile.h"
#include "regstore.h"
#include "winreg.h"

namespace qel::regtool {
namespace {

using u16 = std::u16string;
using u16view = std::u16string_view;

const char* const kOk = "The operation completed successfully.";
const char* const kNotFound = "ERROR: The system was unable to find the specified registry key or value.";
const char* const kCanceled = "ERROR: The operation was canceled by the user.";
const char* const kFileError = "ERROR: Error opening the file. There may be a disk or file system error.";

const char* const kUsage =
    "qelupnp-reg OPERATION [parameter list]\n"
    "\n"
    "  OPERATION  [ QUERY | ADD | DELETE | IMPORT | EXPORT ]\n"
    "\n"
    "Return code: (except for REG COMPARE)\n"
    "\n"
    "  0 - Successful\n"
    "  1 - Failed\n"
    "\n"
    "For help on a specific operation type:\n"
    "\n"
    "  qelupnp-reg QUERY /?\n"
    "  qelupnp-reg ADD /?\n"
    "  qelupnp-reg DELETE /?\n"
    "  qelupnp-reg IMPORT /?\n"
    "  qelupnp-reg EXPORT /?\n"
    "\n"
    "The store is QELUPNP_STATE_DIR/registry.db.\n";

const char* const kKeyHelp =
    "  KeyName    ROOTKEY[\\SubKey]\n"
    "    ROOTKEY  [ HKLM | HKCU | HKCR | HKU | HKCC ] or the long names\n"
    "             (HKEY_LOCAL_MACHINE, ...)\n"
    "    SubKey   The full name of a registry key under the selected ROOTKEY.\n";

const char* const kQueryUsage =
    "qelupnp-reg QUERY KeyName [/v [ValueName] | /ve] [/s]\n"
    "\n"
    "%KEYS%"
    "\n"
    "  /v    Queries for a specific registry key value.\n"
    "  /ve   Queries for the default value or empty value name (Default).\n"
    "  /s    Queries all subkeys and values recursively (like dir /s).\n"
    "\n"
    "Examples:\n"
    "\n"
    "  qelupnp-reg QUERY HKCR\\SoftWare\\QelUPnP /v DataPath\n"
    "  qelupnp-reg QUERY HKLM\\SYSTEM\\CurrentControlSet\\Services\\upnphost /s\n";

const char* const kAddUsage =
    "qelupnp-reg ADD KeyName [/v ValueName | /ve] [/t Type] [/s Separator] [/d Data] [/f]\n"
    "\n"
    "%KEYS%"
    "\n"
    "  /v    The value name, under the selected Key, to add.\n"
    "  /ve   Adds an empty value name (Default) for the key.\n"
    "  /t    RegKey data types\n"
    "        [ REG_SZ    | REG_MULTI_SZ | REG_EXPAND_SZ |\n"
    "          REG_DWORD | REG_QWORD    | REG_BINARY    | REG_NONE ]\n"
    "        If omitted, REG_SZ is assumed.\n"
    "  /s    Specify one character that you use as the separator in your data\n"
    "        string for REG_MULTI_SZ. If omitted, use \"\\0\" as the separator.\n"
    "  /d    The data to assign to the registry ValueName being added.\n"
    "        REG_DWORD and REG_QWORD: decimal, or hexadecimal with 0x.\n"
    "        REG_BINARY: hexadecimal digits, two per byte.\n"
    "  /f    Force overwriting the existing registry entry without prompt.\n"
    "\n"
    "Examples:\n"
    "\n"
    "  qelupnp-reg ADD HKCR\\SoftWare\\QelUPnP /v LogLevel /t REG_DWORD /d 1 /f\n"
    "  qelupnp-reg ADD HKLM\\Software\\MyCo /v MRU /t REG_MULTI_SZ /d fax\\0mail\n";

const char* const kDeleteUsage =
    "qelupnp-reg DELETE KeyName [/v ValueName | /ve | /va] [/f]\n"
    "\n"
    "%KEYS%"
    "\n"
    "  ValueName  The value name, under the selected Key, to delete.\n"
    "             When omitted, all subkeys and values under the Key are deleted.\n"
    "  /ve        Delete the value of empty value name (Default).\n"
    "  /va        Delete all values under this key.\n"
    "  /f         Forcefully delete registry key without prompt.\n"
    "             Without a terminal, the prompt is answered No.\n";

const char* const kImportUsage =
    "qelupnp-reg IMPORT FileName\n"
    "\n"
    "  FileName  The name of the registry file to import: \"Windows Registry Editor\n"
    "            Version 5.00\" (UTF-16LE or UTF-8) or REGEDIT4. The whole file is\n"
    "            imported in one step: a malformed file changes nothing.\n";

const char* const kExportUsage =
    "qelupnp-reg EXPORT KeyName FileName [/y]\n"
    "\n"
    "%KEYS%"
    "\n"
    "  FileName  The name of the file to export to, written as regedit does\n"
    "            (\"Windows Registry Editor Version 5.00\", UTF-16LE).\n"
    "  /y        Force overwriting the existing file without prompt.\n";

std::string Expand(const char* text) {
  std::string s(text);
  std::size_t p = s.find("%KEYS%");
  if (p != std::string::npos) s.replace(p, 6, kKeyHelp);
  return s;
}

std::string Upper(std::string s) {
  for (auto& c : s) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  return s;
}

bool IsSwitch(const std::string& a) { return a.size() >= 2 && (a[0] == '/' || a[0] == '-'); }
std::string SwitchName(const std::string& a) { return Upper(a.substr(1)); }
bool IsHelp(const std::string& a) {
  return a == "/?" || a == "-?" || a == "--help" || a == "-h" || a == "/h" || a == "/help";
}

// ---------------------------------------------------------------------------
// Key names

struct Root {
  const char16_t* shortName;
  const char16_t* longName;
  HKEY key;
};

const Root* Roots() {
  static const Root roots[] = {
      {u"HKLM", u"HKEY_LOCAL_MACHINE", HKEY_LOCAL_MACHINE}, {u"HKCU", u"HKEY_CURRENT_USER", HKEY_CURRENT_USER},
      {u"HKCR", u"HKEY_CLASSES_ROOT", HKEY_CLASSES_ROOT},   {u"HKU", u"HKEY_USERS", HKEY_USERS},
      {u"HKCC", u"HKEY_CURRENT_CONFIG", HKEY_CURRENT_CONFIG}, {nullptr, nullptr, nullptr}};
  return roots;
}

struct KeySpec {
  HKEY root = nullptr;
  u16 rootName;  // long form
  u16 sub;       // may be empty
  u16 display;   // rootName[\sub], as the user typed the subkey
};

bool ParseKey(u16view text, KeySpec& k) {
  while (!text.empty() && text.back() == u'\\') text.remove_suffix(1);
  std::size_t sep = text.find(u'\\');
  u16view root = text.substr(0, sep);
  u16view sub = sep == u16view::npos ? u16view() : text.substr(sep + 1);
  for (const Root* r = Roots(); r->key; ++r) {
    if (EqualsNoCase(root, r->shortName) || EqualsNoCase(root, r->longName)) {
      k.root = r->key;
      k.rootName = r->longName;
      k.sub = u16(sub);
      k.display = k.rootName + (sub.empty() ? u16() : u"\\" + u16(sub));
      return !sub.empty() ? sub.front() != u'\\' : true;
    }
  }
  return false;
}

class Key {
 public:
  Key() = default;
  ~Key() {
    if (m_h) RegCloseKey(m_h);
  }
  Key(const Key&) = delete;
  Key& operator=(const Key&) = delete;
  HKEY* put() { return &m_h; }
  HKEY get() const { return m_h; }

 private:
  HKEY m_h = nullptr;
};

// ---------------------------------------------------------------------------
// Reading a key

struct Value {
  u16 name;
  DWORD type = 0;
  std::vector<BYTE> data;
};

LSTATUS ReadValues(HKEY h, std::vector<Value>& out) {
  out.clear();
  for (DWORD i = 0;; ++i) {
    DWORD maxName = 0, maxData = 0;
    if (LSTATUS e = RegQueryInfoKeyW(h, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, &maxName,
                                     &maxData, nullptr, nullptr))
      return e;
    Value v;
    u16 name(maxName + 1, u'\0');
    DWORD cch = maxName + 1;
    v.data.resize(maxData);
    DWORD cb = maxData;
    LSTATUS e = RegEnumValueW(h, i, name.data(), &cch, nullptr, &v.type, v.data.data(), &cb);
    if (e == ERROR_NO_MORE_ITEMS) return ERROR_SUCCESS;
    if (e == ERROR_MORE_DATA) {  // grew meanwhile: ask again with the new sizes
      --i;
      continue;
    }
    if (e) return e;
    name.resize(cch);
    v.name = std::move(name);
    v.data.resize(cb);
    out.push_back(std::move(v));
  }
}

LSTATUS ReadSubkeys(HKEY h, std::vector<u16>& out) {
  out.clear();
  for (DWORD i = 0;; ++i) {
    WCHAR name[256];
    DWORD cch = 256;
    LSTATUS e = RegEnumKeyExW(h, i, name, &cch, nullptr, nullptr, nullptr, nullptr);
    if (e == ERROR_NO_MORE_ITEMS) return ERROR_SUCCESS;
    if (e) return e;
    out.emplace_back(name, cch);
  }
}

std::string TypeName(DWORD type) {
  switch (type) {
    case REG_NONE: return "REG_NONE";
    case REG_SZ: return "REG_SZ";
    case REG_EXPAND_SZ: return "REG_EXPAND_SZ";
    case REG_BINARY: return "REG_BINARY";
    case REG_DWORD: return "REG_DWORD";
    case REG_DWORD_BIG_ENDIAN: return "REG_DWORD_BIG_ENDIAN";
    case REG_LINK: return "REG_LINK";
    case REG_MULTI_SZ: return "REG_MULTI_SZ";
    case REG_RESOURCE_LIST: return "REG_RESOURCE_LIST";
    case REG_FULL_RESOURCE_DESCRIPTOR: return "REG_FULL_RESOURCE_DESCRIPTOR";
    case REG_RESOURCE_REQUIREMENTS_LIST: return "REG_RESOURCE_REQUIREMENTS_LIST";
    case REG_QWORD: return "REG_QWORD";
    default: {
      char buf[16];
      std::snprintf(buf, sizeof buf, "0x%x", static_cast<unsigned>(type));
      return buf;
    }
  }
}

u16 Units(const std::vector<BYTE>& d) {
  u16 s(d.size() / 2, u'\0');
  for (std::size_t i = 0; i < s.size(); ++i) s[i] = static_cast<char16_t>(d[2 * i] | (d[2 * i + 1] << 8));
  return s;
}

std::string HexUpper(const std::vector<BYTE>& d) {
  static const char kDigits[] = "0123456789ABCDEF";
  std::string s;
  for (BYTE b : d) {
    s.push_back(kDigits[b >> 4]);
    s.push_back(kDigits[b & 0xF]);
  }
  return s;
}

std::string FormatData(DWORD type, const std::vector<BYTE>& d) {
  char buf[32];
  switch (type) {
    case REG_SZ:
    case REG_EXPAND_SZ: {
      u16 s = Units(d);
      return ToUtf8(u16view(s).substr(0, s.find(u'\0')));
    }
    case REG_MULTI_SZ: {
      u16 s = Units(d);
      std::vector<u16> parts;
      std::size_t pos = 0;
      while (pos < s.size()) {
        std::size_t end = s.find(u'\0', pos);
        if (end == u16::npos) end = s.size();
        if (end == pos) break;  // the empty string that ends the list
        parts.push_back(s.substr(pos, end - pos));
        pos = end + 1;
      }
      std::string out;
      for (std::size_t i = 0; i < parts.size(); ++i) out += (i ? "\\0" : "") + ToUtf8(parts[i]);
      return out;
    }
    case REG_DWORD:
      if (d.size() != 4) break;
      std::snprintf(buf, sizeof buf, "0x%x", static_cast<unsigned>(d[0] | (d[1] << 8) | (d[2] << 16) | (d[3] << 24)));
      return buf;
    case REG_DWORD_BIG_ENDIAN:
      if (d.size() != 4) break;
      std::snprintf(buf, sizeof buf, "0x%x", static_cast<unsigned>(d[3] | (d[2] << 8) | (d[1] << 16) | (d[0] << 24)));
      return buf;
    case REG_QWORD: {
      if (d.size() != 8) break;
      unsigned long long v = 0;
      for (int i = 7; i >= 0; --i) v = (v << 8) | d[i];
      std::snprintf(buf, sizeof buf, "0x%llx", v);
      return buf;
    }
    default:
      break;
  }
  return HexUpper(d);
}

std::string ValueLine(const Value& v) {
  return "    " + (v.name.empty() ? std::string("(Default)") : ToUtf8(v.name)) + "    " + TypeName(v.type) + "    " +
         FormatData(v.type, v.data);
}

std::string ErrorText(LSTATUS e) {
  switch (e) {
    case ERROR_FILE_NOT_FOUND: return kNotFound;
    case ERROR_ACCESS_DENIED: return "ERROR: Access is denied.";
    case ERROR_INVALID_HANDLE: return "ERROR: The handle is invalid.";
    case ERROR_OUTOFMEMORY:
    case ERROR_NOT_ENOUGH_MEMORY: return "ERROR: Not enough memory resources are available to complete this operation.";
    case ERROR_INVALID_PARAMETER: return "ERROR: The parameter is incorrect.";
    case ERROR_DISK_FULL: return "ERROR: There is not enough space on the disk.";
    case ERROR_BAD_PATHNAME: return "ERROR: The specified path is invalid.";
    case ERROR_BUSY: return "ERROR: The requested resource is in use.";
    case ERROR_REGISTRY_CORRUPT:
      return "ERROR: The registry is corrupted. The structure of one of the files containing registry data is "
             "corrupted, or the system's memory image of the file is corrupted, or the file could not be recovered "
             "because the alternate copy or log was absent or corrupted.";
    case ERROR_REGISTRY_IO_FAILED:
      return "ERROR: An I/O operation initiated by the registry failed unrecoverably. The registry could not read in, "
             "or write out, or flush, one of the files that contain the system's image of the registry.";
    case ERROR_KEY_DELETED: return "ERROR: Illegal operation attempted on a registry key that has been marked for deletion.";
    default: return "ERROR: Error accessing the registry (code " + std::to_string(e) + ").";
  }
}

// ---------------------------------------------------------------------------
// Commands

class Command {
 public:
  Command(const std::vector<std::string>& args, Io& io, const char* name) : m_args(args), m_io(io), m_name(name) {}

 protected:
  int Fail(const std::string& line) {
    m_io.err << line << '\n';
    return 1;
  }
  int Syntax() { return Fail("ERROR: Invalid syntax. Type \"qelupnp-reg " + m_name + " /?\" for usage."); }
  int BadKey() { return Fail("ERROR: Invalid key name. Type \"qelupnp-reg " + m_name + " /?\" for usage."); }
  int Done() {
    m_io.out << kOk << '\n';
    return 0;
  }
  bool Confirm(const std::string& question) { return m_io.confirm && m_io.confirm(question); }

  const std::vector<std::string>& m_args;
  Io& m_io;
  std::string m_name;
};

class QueryCommand : Command {
 public:
  QueryCommand(const std::vector<std::string>& a, Io& io) : Command(a, io, "QUERY") {}

  int Run() {
    if (m_args.size() < 2) return Syntax();
    if (!ParseKey(FromUtf8(m_args[1]), m_key)) return BadKey();
    for (std::size_t i = 2; i < m_args.size(); ++i) {
      const std::string& a = m_args[i];
      if (!IsSwitch(a)) return Syntax();
      std::string sw = SwitchName(a);
      if (sw == "V") {
        if (m_hasName || i + 1 >= m_args.size()) return Syntax();
        m_hasName = true;
        m_valueName = FromUtf8(m_args[++i]);
      } else if (sw == "VE") {
        if (m_hasName) return Syntax();
        m_hasName = true;
        m_valueName.clear();
      } else if (sw == "S") {
        if (m_recursive) return Syntax();
        m_recursive = true;
      } else if (sw == "REG:32" || sw == "REG:64") {
      } else {
        return Syntax();
      }
    }
    Key k;
    if (LSTATUS e = RegOpenKeyExW(m_key.root, m_key.sub.c_str(), 0, KEY_READ, k.put())) return Fail(ErrorText(e));
    std::ostringstream out;
    int rc = m_recursive ? Search(k.get(), out) : Single(k.get(), out);
    if (rc == 0) m_io.out << out.str();
    return rc;
  }

 private:
  // A value named by /v or /ve, or "not there".
  LSTATUS Named(HKEY h, Value& v) {
    v.name = m_valueName;
    for (;;) {
      DWORD cb = 0;
      if (LSTATUS e = RegQueryValueExW(h, m_valueName.c_str(), nullptr, &v.type, nullptr, &cb)) return e;
      v.data.resize(cb);
      LSTATUS e = RegQueryValueExW(h, m_valueName.c_str(), nullptr, &v.type, v.data.data(), &cb);
      if (e == ERROR_MORE_DATA) continue;
      if (e) return e;
      v.data.resize(cb);
      return StoredName(h, v.name);
    }
  }

  // The value's name as stored (the user may have typed it in another case).
  static LSTATUS StoredName(HKEY h, u16& name) {
    if (name.empty()) return ERROR_SUCCESS;
    return qel::reg::StoredValueName(h, name.c_str(), name);
  }

  std::string UnsetDefault() { return "    (Default)    REG_SZ    (value not set)"; }

  int Single(HKEY h, std::ostringstream& out) {
    out << '\n' << ToUtf8(m_key.display) << '\n';
    if (m_hasName) {
      Value v;
      LSTATUS e = Named(h, v);
      if (e == ERROR_FILE_NOT_FOUND && m_valueName.empty()) {
        out << UnsetDefault() << "\n\n";
        return 0;
      }
      if (e) return Fail(ErrorText(e));
      out << ValueLine(v) << "\n\n";
      return 0;
    }
    std::vector<Value> values;
    std::vector<u16> subkeys;
    if (LSTATUS e = ReadValues(h, values)) return Fail(ErrorText(e));
    if (LSTATUS e = ReadSubkeys(h, subkeys)) return Fail(ErrorText(e));
    for (const auto& v : values) out << ValueLine(v) << '\n';
    if (!values.empty()) out << '\n';
    for (const auto& s : subkeys) out << ToUtf8(m_key.display) << '\\' << ToUtf8(s) << '\n';
    return 0;
  }

  // /s: the key and every key below it; with /v or /ve, only the keys that hold that value.
  int Search(HKEY h, std::ostringstream& out) {
    std::size_t matches = 0;
    bool blank = false;
    out << '\n';
    blank = true;
    if (LSTATUS e = Walk(h, ToUtf8(m_key.display), true, out, matches, blank)) return Fail(ErrorText(e));
    if (!blank) out << '\n';
    out << "End of search: " << matches << " match(es) found.\n";
    return 0;
  }

  LSTATUS Walk(HKEY h, const std::string& name, bool top, std::ostringstream& out, std::size_t& matches,
               bool& blank) {
    if (m_hasName) {
      Value v;
      LSTATUS e = Named(h, v);
      if (e == ERROR_SUCCESS) {
        out << name << '\n' << ValueLine(v) << "\n\n";
        blank = true;
        ++matches;
      } else if (e != ERROR_FILE_NOT_FOUND) {
        return e;
      }
    } else {
      std::vector<Value> values;
      if (LSTATUS e = ReadValues(h, values)) return e;
      out << name << '\n';
      blank = false;
      if (!top) ++matches;
      for (const auto& v : values) out << ValueLine(v) << '\n';
      if (!values.empty()) {
        out << '\n';
        blank = true;
      }
      matches += values.size();
    }
    std::vector<u16> subkeys;
    if (LSTATUS e = ReadSubkeys(h, subkeys)) return e;
    for (const auto& s : subkeys) {
      Key child;
      if (RegOpenKeyExW(h, s.c_str(), 0, KEY_READ, child.put())) continue;  // removed meanwhile
      if (LSTATUS e = Walk(child.get(), name + '\\' + ToUtf8(s), false, out, matches, blank)) return e;
    }
    return ERROR_SUCCESS;
  }

  KeySpec m_key;
  bool m_hasName = false;
  bool m_recursive = false;
  u16 m_valueName;
};

bool ParseNumber(const std::string& text, unsigned long long max, unsigned long long& out) {
  if (text.empty()) {
    out = 0;
    return true;
  }
  if (text[0] == '-' || text[0] == '+' || std::isspace(static_cast<unsigned char>(text[0]))) return false;
  bool hex = text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X');
  if (text.size() == 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) return false;
  errno = 0;
  char* end = nullptr;
  unsigned long long v = std::strtoull(text.c_str(), &end, hex ? 16 : 10);
  if (errno || !end || *end || v > max) return false;
  if (hex && text.find_first_not_of("0123456789abcdefABCDEF", 2) != std::string::npos) return false;
  out = v;
  return true;
}

std::vector<BYTE> Utf16Data(u16view s, bool terminate) {
  std::vector<BYTE> d;
  d.reserve((s.size() + 1) * 2);
  for (char16_t c : s) {
    d.push_back(static_cast<BYTE>(c & 0xFF));
    d.push_back(static_cast<BYTE>(c >> 8));
  }
  if (terminate) d.insert(d.end(), {0, 0});
  return d;
}

class AddCommand : Command {
 public:
  AddCommand(const std::vector<std::string>& a, Io& io) : Command(a, io, "ADD") {}

  int Run() {
    if (m_args.size() < 2) return Syntax();
    if (!ParseKey(FromUtf8(m_args[1]), m_key)) return BadKey();
    std::string typeName = "REG_SZ", data, separator = "\\0";
    bool hasData = false, hasType = false, hasSep = false;
    for (std::size_t i = 2; i < m_args.size(); ++i) {
      const std::string& a = m_args[i];
      if (!IsSwitch(a)) return Syntax();
      std::string sw = SwitchName(a);
      bool takesArg = sw == "V" || sw == "T" || sw == "D" || sw == "S";
      if (takesArg && i + 1 >= m_args.size()) return Syntax();
      if (sw == "V") {
        if (m_hasName) return Syntax();
        m_hasName = true;
        m_valueName = FromUtf8(m_args[++i]);
      } else if (sw == "VE") {
        if (m_hasName) return Syntax();
        m_hasName = true;
        m_valueName.clear();
      } else if (sw == "T") {
        if (hasType) return Syntax();
        hasType = true;
        typeName = Upper(m_args[++i]);
      } else if (sw == "D") {
        if (hasData) return Syntax();
        hasData = true;
        data = m_args[++i];
      } else if (sw == "S") {
        if (hasSep || FromUtf8(m_args[i + 1]).size() != 1) return Syntax();
        hasSep = true;
        separator = m_args[++i];
      } else if (sw == "F") {
        m_force = true;
      } else if (sw == "REG:32" || sw == "REG:64") {
      } else {
        return Syntax();
      }
    }
    if ((hasData || hasType) && !m_hasName) {  // data without a name goes to the default value
      m_hasName = true;
      m_valueName.clear();
    }
    DWORD type = REG_SZ;
    std::vector<BYTE> bytes;
    if (int rc = Encode(typeName, data, separator, hasSep, type, bytes); rc >= 0) return rc;

    if (m_hasName && !m_force) {
      Key existing;
      if (RegOpenKeyExW(m_key.root, m_key.sub.c_str(), 0, KEY_QUERY_VALUE, existing.put()) == ERROR_SUCCESS &&
          RegQueryValueExW(existing.get(), m_valueName.c_str(), nullptr, nullptr, nullptr, nullptr) ==
              ERROR_SUCCESS) {
        std::string shown = m_valueName.empty() ? "(Default)" : ToUtf8(m_valueName);
        if (!Confirm("Value " + shown + " exists, overwrite(Yes/No)?")) return Fail(kCanceled);
      }
    }
    reg::Transaction tx;
    if (LSTATUS e = tx.Begin()) return Fail(ErrorText(e));
    Key k;
    if (LSTATUS e = RegCreateKeyExW(m_key.root, m_key.sub.c_str(), 0, nullptr, REG_OPTION_NON_VOLATILE,
                                    KEY_SET_VALUE | KEY_QUERY_VALUE, nullptr, k.put(), nullptr))
      return Fail(ErrorText(e));
    if (m_hasName) {
      if (LSTATUS e = RegSetValueExW(k.get(), m_valueName.c_str(), 0, type, bytes.data(),
                                     static_cast<DWORD>(bytes.size())))
        return Fail(ErrorText(e));
    }
    if (LSTATUS e = tx.Commit()) return Fail(ErrorText(e));
    return Done();
  }

 private:
  // Returns -1 when the data is good, else the exit code after the message.
  int Encode(const std::string& typeName, const std::string& data, const std::string& separator, bool hasSep,
             DWORD& type, std::vector<BYTE>& out) {
    static const std::pair<const char*, DWORD> kTypes[] = {
        {"REG_SZ", REG_SZ},       {"REG_EXPAND_SZ", REG_EXPAND_SZ}, {"REG_MULTI_SZ", REG_MULTI_SZ},
        {"REG_DWORD", REG_DWORD}, {"REG_QWORD", REG_QWORD},         {"REG_BINARY", REG_BINARY},
        {"REG_NONE", REG_NONE}};
    bool known = false;
    for (const auto& t : kTypes)
      if (typeName == t.first) {
        type = t.second;
        known = true;
      }
    if (!known) return Fail("ERROR: Invalid syntax. The type " + typeName + " is not supported.");
    if (hasSep && type != REG_MULTI_SZ) return Syntax();
    u16 text = FromUtf8(data);
    switch (type) {
      case REG_SZ:
      case REG_EXPAND_SZ:
      case REG_NONE:
        out = Utf16Data(text, true);
        break;
      case REG_MULTI_SZ: {
        u16 sep = FromUtf8(separator);
        std::size_t pos = 0;
        while (pos <= text.size() && !text.empty()) {
          std::size_t end = text.find(sep, pos);
          if (end == u16::npos) end = text.size();
          u16view part = u16view(text).substr(pos, end - pos);
          if (part.empty()) return Fail("ERROR: Invalid syntax. A REG_MULTI_SZ string may not be empty.");
          auto bytes = Utf16Data(part, true);
          out.insert(out.end(), bytes.begin(), bytes.end());
          pos = end + sep.size();
          if (end == text.size()) break;
        }
        out.insert(out.end(), {0, 0});
        break;
      }
      case REG_DWORD:
      case REG_QWORD: {
        unsigned long long v;
        if (!ParseNumber(data, type == REG_DWORD ? 0xFFFFFFFFull : ~0ull, v))
          return Fail("ERROR: Invalid syntax. " + TypeName(type) + " data must be a decimal number or 0x followed "
                      "by hexadecimal digits, and fit the type.");
        for (int i = 0; i < (type == REG_DWORD ? 4 : 8); ++i) out.push_back(static_cast<BYTE>(v >> (8 * i)));
        break;
      }
      case REG_BINARY: {
        if (data.size() % 2 || data.find_first_not_of("0123456789abcdefABCDEF") != std::string::npos)
          return Fail("ERROR: Invalid syntax. REG_BINARY data must be hexadecimal digits, two per byte.");
        for (std::size_t i = 0; i < data.size(); i += 2)
          out.push_back(static_cast<BYTE>(std::strtoul(data.substr(i, 2).c_str(), nullptr, 16)));
        break;
      }
    }
    return -1;
  }

  KeySpec m_key;
  bool m_hasName = false;
  bool m_force = false;
  u16 m_valueName;
};

class DeleteCommand : Command {
 public:
  DeleteCommand(const std::vector<std::string>& a, Io& io) : Command(a, io, "DELETE") {}

  int Run() {
    if (m_args.size() < 2) return Syntax();
    if (!ParseKey(FromUtf8(m_args[1]), m_key)) return BadKey();
    enum { kKey, kValue, kDefault, kAll } what = kKey;
    u16 valueName;
    bool force = false;
    for (std::size_t i = 2; i < m_args.size(); ++i) {
      const std::string& a = m_args[i];
      if (!IsSwitch(a)) return Syntax();
      std::string sw = SwitchName(a);
      if (sw == "V") {
        if (what != kKey || i + 1 >= m_args.size()) return Syntax();
        what = kValue;
        valueName = FromUtf8(m_args[++i]);
      } else if (sw == "VE") {
        if (what != kKey) return Syntax();
        what = kDefault;
      } else if (sw == "VA") {
        if (what != kKey) return Syntax();
        what = kAll;
      } else if (sw == "F") {
        force = true;
      } else if (sw == "REG:32" || sw == "REG:64") {
      } else {
        return Syntax();
      }
    }
    if (what == kKey && m_key.sub.empty()) return Fail(ErrorText(ERROR_ACCESS_DENIED));  // a root stays
    Key k;
    if (LSTATUS e = RegOpenKeyExW(m_key.root, m_key.sub.c_str(), 0, KEY_READ | KEY_SET_VALUE, k.put()))
      return Fail(ErrorText(e));
    if (what == kValue || what == kDefault) {
      u16 name = what == kValue ? valueName : u16();
      if (RegQueryValueExW(k.get(), name.c_str(), nullptr, nullptr, nullptr, nullptr) == ERROR_FILE_NOT_FOUND)
        return Fail(kNotFound);
    }
    if (!force) {
      std::string question;
      std::string key = ToUtf8(m_key.display);
      switch (what) {
        case kKey: question = "Permanently delete the registry key " + key + "? (Yes/No)"; break;
        case kValue: question = "Delete the registry value " + ToUtf8(valueName) + " (Yes/No)?"; break;
        case kDefault: question = "Delete the registry value (Default) (Yes/No)?"; break;
        case kAll: question = "Delete all values under the registry key " + key + "? (Yes/No)"; break;
      }
      if (!Confirm(question)) return Fail(kCanceled);
    }
    LSTATUS e = ERROR_SUCCESS;
    switch (what) {
      case kKey:
        e = RegDeleteTreeW(m_key.root, m_key.sub.c_str());
        break;
      case kValue:
        e = RegDeleteValueW(k.get(), valueName.c_str());
        break;
      case kDefault:
        e = RegDeleteValueW(k.get(), u"");
        break;
      case kAll: {
        reg::Transaction tx;
        if ((e = tx.Begin())) break;
        std::vector<Value> values;
        if ((e = ReadValues(k.get(), values))) break;
        for (const auto& v : values)
          if ((e = RegDeleteValueW(k.get(), v.name.c_str()))) break;
        if (!e) e = tx.Commit();
        break;
      }
    }
    if (e) return Fail(ErrorText(e));
    return Done();
  }

 private:
  KeySpec m_key;
};

bool ReadWholeFile(const std::string& path, std::string& bytes) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return false;
  std::ostringstream ss;
  ss << in.rdbuf();
  if (in.bad()) return false;
  bytes = ss.str();
  return true;
}

class ImportCommand : Command {
 public:
  ImportCommand(const std::vector<std::string>& a, Io& io) : Command(a, io, "IMPORT") {}

  int Run() {
    if (m_args.size() != 2) return Syntax();
    std::string bytes;
    if (!ReadWholeFile(m_args[1], bytes) || std::filesystem::is_directory(m_args[1])) return Fail(kFileError);
    regfile::Script script;
    std::string error;
    if (!regfile::Parse(bytes, script, error)) return Fail("ERROR: " + error);
    std::vector<KeySpec> keys(script.keys.size());
    for (std::size_t i = 0; i < script.keys.size(); ++i) {
      if (!ParseKey(script.keys[i].path, keys[i]))
        return Fail("ERROR: Invalid registry file, line " + std::to_string(script.keys[i].line) +
                    ": unknown root key in \"" + ToUtf8(script.keys[i].path) + "\"");
      if (script.keys[i].remove && keys[i].sub.empty())
        return Fail("ERROR: Invalid registry file, line " + std::to_string(script.keys[i].line) +
                    ": a root key cannot be deleted");
    }
    reg::Transaction tx;
    if (LSTATUS e = tx.Begin()) return Fail(ErrorText(e));
    for (std::size_t i = 0; i < script.keys.size(); ++i) {
      const regfile::KeyOp& op = script.keys[i];
      if (op.remove) {
        LSTATUS e = RegDeleteTreeW(keys[i].root, keys[i].sub.c_str());
        if (e && e != ERROR_FILE_NOT_FOUND) return Fail(ErrorText(e));
        continue;
      }
      Key k;
      if (LSTATUS e = RegCreateKeyExW(keys[i].root, keys[i].sub.c_str(), 0, nullptr, REG_OPTION_NON_VOLATILE,
                                      KEY_SET_VALUE | KEY_QUERY_VALUE, nullptr, k.put(), nullptr))
        return Fail(ErrorText(e));
      for (const auto& v : op.values) {
        LSTATUS e = v.remove ? RegDeleteValueW(k.get(), v.name.c_str())
                             : RegSetValueExW(k.get(), v.name.c_str(), 0, v.type, v.data.data(),
                                              static_cast<DWORD>(v.data.size()));
        if (e && !(v.remove && e == ERROR_FILE_NOT_FOUND)) return Fail(ErrorText(e));
      }
    }
    if (LSTATUS e = tx.Commit()) return Fail(ErrorText(e));
    return Done();
  }
};

class ExportCommand : Command {
 public:
  ExportCommand(const std::vector<std::string>& a, Io& io) : Command(a, io, "EXPORT") {}

  int Run() {
    // KEY and FILE come first; a file name may well begin with '/'.
    if (m_args.size() < 3) return Syntax();
    std::vector<std::string> positional{m_args[1], m_args[2]};
    bool overwrite = false;
    for (std::size_t i = 3; i < m_args.size(); ++i) {
      std::string sw = IsSwitch(m_args[i]) ? SwitchName(m_args[i]) : std::string();
      if (sw == "Y")
        overwrite = true;
      else if (sw != "REG:32" && sw != "REG:64")
        return Syntax();
    }
    if (positional.size() != 2) return Syntax();
    KeySpec spec;
    if (!ParseKey(FromUtf8(positional[0]), spec)) return BadKey();
    Key k;
    if (LSTATUS e = RegOpenKeyExW(spec.root, spec.sub.c_str(), 0, KEY_READ, k.put())) return Fail(ErrorText(e));
    // The file names each key as stored, below the root as the user named it.
    u16 rootPath, keyPath;
    if (LSTATUS e = reg::StoredPath(spec.root, rootPath)) return Fail(ErrorText(e));
    if (LSTATUS e = reg::StoredPath(k.get(), keyPath)) return Fail(ErrorText(e));
    u16 top = spec.rootName + keyPath.substr(std::min(rootPath.size(), keyPath.size()));

    regfile::Writer w;
    if (LSTATUS e = Write(k.get(), top, w)) return Fail(ErrorText(e));
    const std::string& file = positional[1];
    std::error_code ec;
    if (!overwrite && std::filesystem::exists(file, ec) &&
        !Confirm("File " + file + " already exists. Overwrite (Yes/No)?"))
      return Fail(kCanceled);
    std::string bytes = w.Finish();
    std::ofstream out(file, std::ios::binary | std::ios::trunc);
    if (!out) return Fail(kFileError);
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    out.close();
    if (!out) return Fail(kFileError);
    return Done();
  }

 private:
  LSTATUS Write(HKEY h, const u16& name, regfile::Writer& w) {
    w.Key(name);
    std::vector<Value> values;
    if (LSTATUS e = ReadValues(h, values)) return e;
    for (const auto& v : values) w.Value(v.name, v.type, v.data);
    std::vector<u16> subkeys;
    if (LSTATUS e = ReadSubkeys(h, subkeys)) return e;
    for (const auto& s : subkeys) {
      Key child;
      if (RegOpenKeyExW(h, s.c_str(), 0, KEY_READ, child.put())) continue;  // removed meanwhile
      if (LSTATUS e = Write(child.get(), name + u"\\" + s, w)) return e;
    }
    return ERROR_SUCCESS;
  }
};

}  // namespace

int Run(const std::vector<std::string>& args, Io& io) {
  if (args.empty()) {
    io.err << "ERROR: Invalid syntax. Type \"qelupnp-reg /?\" for usage.\n";
    return 1;
  }
  if (IsHelp(args[0])) {
    io.out << kUsage;
    return 0;
  }
  std::string op = Upper(args[0]);
  const char* usage = op == "QUERY"    ? kQueryUsage
                      : op == "ADD"    ? kAddUsage
                      : op == "DELETE" ? kDeleteUsage
                      : op == "IMPORT" ? kImportUsage
                      : op == "EXPORT" ? kExportUsage
                                       : nullptr;
  if (!usage) {
    io.err << "ERROR: Invalid syntax. Type \"qelupnp-reg /?\" for usage.\n";
    return 1;
  }
  for (std::size_t i = 1; i < args.size(); ++i)
    if (args[i] == "/?" || args[i] == "-?" || args[i] == "--help") {
      io.out << Expand(usage);
      return 0;
    }
  if (op == "QUERY") return QueryCommand(args, io).Run();
  if (op == "ADD") return AddCommand(args, io).Run();
  if (op == "DELETE") return DeleteCommand(args, io).Run();
  if (op == "IMPORT") return ImportCommand(args, io).Run();
  return ExportCommand(args, io).Run();
}

}  // namespace qel::regtool
