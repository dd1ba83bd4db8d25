// qelupnp-rc: compiles a resource script into the resource directory that the
// build places in a program's ".qelrsrc" section.
//
//   qelupnp-rc [-I DIR]... -o OUT.res IN.rc
//
// The script is the subset of the Windows resource-script language the program
// uses, in UTF-8:
//   STRINGTABLE [LANGUAGE a, b] BEGIN  id "text"  ...  END     (or { ... })
//   id-or-name  TYPE  "file"          TYPE: a name (REGISTRY, TYPELIB) or RCDATA
//   LANGUAGE primary, sub             for the entries that follow
// "//" starts a comment. Files are looked up beside the script, then in each -I
// directory. Names and types are stored in upper case, as rc does.
#include <algorithm>
#include <cctype>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iostream>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "resformat.h"

namespace {

[[noreturn]] void Fail(const std::string& where, const std::string& msg) {
  std::cerr << "qelupnp-rc: " << where << ": " << msg << "\n";
  std::exit(1);
}

std::u16string Utf16(const std::string& s, const std::string& where) {
  std::u16string out;
  for (size_t i = 0; i < s.size();) {
    unsigned char c = s[i];
    std::uint32_t cp;
    int n = c < 0x80 ? 1 : (c & 0xE0) == 0xC0 ? 2 : (c & 0xF0) == 0xE0 ? 3 : (c & 0xF8) == 0xF0 ? 4 : 0;
    if (n == 0 || i + n > s.size()) Fail(where, "text is not valid UTF-8");
    cp = n == 1 ? c : c & (0x7F >> n);
    for (int k = 1; k < n; ++k) {
      unsigned char cc = s[i + k];
      if ((cc & 0xC0) != 0x80) Fail(where, "text is not valid UTF-8");
      cp = (cp << 6) | (cc & 0x3F);
    }
    i += n;
    if (cp >= 0x10000) {
      cp -= 0x10000;
      out += static_cast<char16_t>(0xD800 + (cp >> 10));
      out += static_cast<char16_t>(0xDC00 + (cp & 0x3FF));
    } else {
      out += static_cast<char16_t>(cp);
    }
  }
  return out;
}

struct Id {
  bool bIsId;
  std::uint16_t wId;
  std::u16string name;
};

struct Resource {
  Id type, name;
  std::uint16_t wLang;
  std::string data;
};

class Compiler {
 public:
  Compiler(std::string text, std::string path, std::vector<std::string> dirs)
      : m_s(std::move(text)), m_path(std::move(path)), m_dirs(std::move(dirs)) {
    size_t slash = m_path.find_last_of('/');
    m_dirs.insert(m_dirs.begin(), slash == std::string::npos ? "." : m_path.substr(0, slash));
  }

  std::vector<Resource> Run() {
    std::vector<Resource> out;
    std::map<std::uint16_t, std::map<std::uint16_t, std::u16string>> strings;  // lang -> id -> text
    for (;;) {
      std::string tok = Token();
      if (tok.empty()) break;
      std::string up = Upper(tok);
      if (up == "LANGUAGE") {
        m_lang = Language();
      } else if (up == "STRINGTABLE") {
        std::uint16_t lang = m_lang;
        std::string t = Token();
        if (Upper(t) == "LANGUAGE") {
          lang = Language();
          t = Token();
        }
        if (Upper(t) != "BEGIN" && t != "{") Fail(Where(), "BEGIN expected after STRINGTABLE");
        for (;;) {
          std::string idTok = Token();
          if (Upper(idTok) == "END" || idTok == "}") break;
          if (idTok.empty()) Fail(Where(), "END expected");
          std::uint16_t id = Number(idTok);
          std::string text = Quoted();
          auto& slot = strings[lang][id];
          if (!slot.empty()) Fail(Where(), "string " + idTok + " defined twice");
          slot = Utf16(text, Where());
          if (slot.empty()) Fail(Where(), "string " + idTok + " is empty");
          if (slot.size() > 0xFFFF) Fail(Where(), "string too long");
        }
      } else {
        Resource r;
        r.name = MakeId(tok);
        std::string type = Token();
        if (type.empty()) Fail(Where(), "resource type expected");
        r.type = Upper(type) == "RCDATA" ? Id{true, 10, {}} : MakeId(type);
        r.wLang = m_lang;
        r.data = ReadResourceFile(Quoted());
        out.push_back(std::move(r));
      }
    }
    // String tables are stored as blocks of sixteen, as LoadString expects them.
    for (auto& [lang, table] : strings) {
      std::map<std::uint16_t, std::vector<const std::u16string*>> blocks;
      for (auto& [id, text] : table) {
        auto& b = blocks[static_cast<std::uint16_t>((id >> 4) + 1)];
        b.resize(16, nullptr);
        b[id & 15] = &text;
      }
      for (auto& [block, slots] : blocks) {
        Resource r{{true, 6, {}}, {true, block, {}}, lang, {}};
        for (const auto* s : slots) {
          std::uint16_t len = s ? static_cast<std::uint16_t>(s->size()) : 0;
          r.data.append(reinterpret_cast<const char*>(&len), 2);
          if (s) r.data.append(reinterpret_cast<const char*>(s->data()), s->size() * 2);
        }
        out.push_back(std::move(r));
      }
    }
    return out;
  }

 private:
  static std::string Upper(std::string s) {
    for (auto& c : s) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    return s;
  }
  std::string Where() const { return m_path + ":" + std::to_string(m_line); }
  void SkipSpace() {
    while (m_i < m_s.size()) {
      if (m_s[m_i] == '\n') {
        ++m_line;
        ++m_i;
      } else if (std::isspace(static_cast<unsigned char>(m_s[m_i]))) {
        ++m_i;
      } else if (m_s.compare(m_i, 2, "//") == 0) {
        while (m_i < m_s.size() && m_s[m_i] != '\n') ++m_i;
      } else {
        break;
      }
    }
  }
  std::string Token() {
    SkipSpace();
    size_t b = m_i;
    if (m_i < m_s.size() && (m_s[m_i] == '{' || m_s[m_i] == '}' || m_s[m_i] == ',')) return m_s.substr(m_i++, 1);
    while (m_i < m_s.size() && !std::isspace(static_cast<unsigned char>(m_s[m_i])) && m_s[m_i] != '"' &&
           m_s[m_i] != ',' && m_s[m_i] != '{' && m_s[m_i] != '}')
      ++m_i;
    return m_s.substr(b, m_i - b);
  }
  std::string Quoted() {
    SkipSpace();
    if (m_i >= m_s.size() || m_s[m_i] != '"') Fail(Where(), "quoted text expected");
    ++m_i;
    std::string v;
    for (;;) {
      if (m_i >= m_s.size() || m_s[m_i] == '\n') Fail(Where(), "unterminated quoted text");
      char c = m_s[m_i++];
      if (c == '"') {
        if (m_i < m_s.size() && m_s[m_i] == '"') {
          v += '"';
          ++m_i;
          continue;
        }
        return v;
      }
      if (c == '\\' && m_i < m_s.size()) {
        char e = m_s[m_i++];
        v += e == 'n' ? '\n' : e == 't' ? '\t' : e == '0' ? '\0' : e;
        continue;
      }
      v += c;
    }
  }
  std::uint16_t Number(const std::string& t) {
    char* end = nullptr;
    unsigned long v = std::strtoul(t.c_str(), &end, 0);
    if (t.empty() || *end || v > 0xFFFF) Fail(Where(), "bad number '" + t + "'");
    return static_cast<std::uint16_t>(v);
  }
  Id MakeId(const std::string& t) {
    if (std::isdigit(static_cast<unsigned char>(t[0]))) return {true, Number(t), {}};
    std::u16string n = Utf16(Upper(t), Where());
    if (n.size() > 0xFFFF) Fail(Where(), "name too long");
    return {false, 0, n};
  }
  std::uint16_t Language() {
    std::uint16_t p = Number(Token());
    if (Token() != ",") Fail(Where(), "',' expected in LANGUAGE");
    std::uint16_t s = Number(Token());
    return static_cast<std::uint16_t>((s << 10) | p);
  }
  std::string ReadResourceFile(const std::string& name) {
    for (const auto& d : m_dirs) {
      std::string p = name[0] == '/' ? name : d + "/" + name;
      std::ifstream f(p, std::ios::binary);
      if (!f) continue;
      std::stringstream ss;
      ss << f.rdbuf();
      m_deps.push_back(p);
      return ss.str();
    }
    Fail(Where(), "cannot find " + name);
  }

  std::string m_s, m_path;
  std::vector<std::string> m_dirs;
  size_t m_i = 0;
  int m_line = 1;
  std::uint16_t m_lang = 0;

 public:
  std::vector<std::string> m_deps;
};

void Put32(std::string& v, std::uint32_t x) { v.append(reinterpret_cast<const char*>(&x), 4); }

std::string Link(const std::vector<Resource>& res) {
  using namespace qel::resfmt;
  std::string names, data;
  size_t namesAt = (kHeaderWords + kEntryWords * res.size()) * 4;
  std::vector<std::uint32_t> words;
  auto idWord = [&](const Id& id) -> std::uint32_t {
    if (id.bIsId) return id.wId;
    std::uint32_t off = static_cast<std::uint32_t>(namesAt + names.size());
    std::uint16_t len = static_cast<std::uint16_t>(id.name.size());
    names.append(reinterpret_cast<const char*>(&len), 2);
    names.append(reinterpret_cast<const char*>(id.name.data()), id.name.size() * 2);
    return kNameFlag | off;
  };
  for (const auto& r : res) {
    words.push_back(idWord(r.type));
    words.push_back(idWord(r.name));
    words.push_back(r.wLang);
    words.push_back(0);  // data offset, known once the names are laid out
    words.push_back(static_cast<std::uint32_t>(r.data.size()));
  }
  while (names.size() % 4) names += '\0';
  size_t dataAt = namesAt + names.size();
  for (size_t i = 0; i < res.size(); ++i) {
    words[i * kEntryWords + 3] = static_cast<std::uint32_t>(dataAt + data.size());
    data += res[i].data;
    // A zero byte after every resource lets a reader treat text as terminated.
    data += '\0';
    while (data.size() % 4) data += '\0';
  }
  std::string out;
  Put32(out, kMagic);
  Put32(out, kVersion);
  Put32(out, static_cast<std::uint32_t>(res.size()));
  Put32(out, 0);
  for (auto w : words) Put32(out, w);
  return out + names + data;
}

}  // namespace

int main(int argc, char** argv) {
  std::string in, out, depfile;
  std::vector<std::string> dirs;
  for (int i = 1; i < argc; ++i) {
    std::string a = argv[i];
    if (a == "-o" && i + 1 < argc) {
      out = argv[++i];
    } else if (a == "-I" && i + 1 < argc) {
      dirs.push_back(argv[++i]);
    } else if (a == "--depfile" && i + 1 < argc) {
      depfile = argv[++i];
    } else if (a == "--help" || a == "-h") {
      std::cout << "usage: qelupnp-rc [-I DIR]... [--depfile FILE] -o OUT.res IN.rc\n";
      return 0;
    } else if (in.empty() && a[0] != '-') {
      in = a;
    } else {
      std::cerr << "qelupnp-rc: unknown argument '" << a << "' (see --help)\n";
      return 1;
    }
  }
  if (in.empty() || out.empty()) {
    std::cerr << "qelupnp-rc: an input script and -o OUT are needed (see --help)\n";
    return 1;
  }
  std::ifstream f(in, std::ios::binary);
  if (!f) Fail(in, "cannot read");
  std::stringstream ss;
  ss << f.rdbuf();
  Compiler c(ss.str(), in, dirs);
  std::string blob = Link(c.Run());
  std::ofstream o(out, std::ios::binary | std::ios::trunc);
  o.write(blob.data(), static_cast<std::streamsize>(blob.size()));
  if (!o.flush()) Fail(out, "cannot write");
  if (!depfile.empty()) {
    std::ofstream d(depfile, std::ios::trunc);
    d << out << ":";
    for (const auto& p : c.m_deps) d << " " << p;
    d << "\n";
  }
  return 0;
}
