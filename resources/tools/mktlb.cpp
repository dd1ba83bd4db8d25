// qelupnp-mktlb: writes a compiled type library (MSFT format) for a library
// block of an IDL file. Only what the program's library declares is taken: the
// library's uuid, version, helpstring, helpfile, helpcontext, lcid and flags
// attributes and its name; a library that declares types is refused.
//
//   qelupnp-mktlb [--text-lcid N] [--syskind win32|win64] -o OUT.tlb IN.idl
//
// --text-lcid names the locale whose code page the library's text is written
// in (what MIDL takes from the build machine); the file's own locale is the
// library's lcid attribute, 0 when it has none.
#include <cctype>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iostream>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include "msft.h"

namespace {

struct Library {
  std::uint8_t guid[16] = {};
  bool bHasGuid = false;
  std::uint16_t wMajor = 0, wMinor = 0;
  std::optional<std::string> helpString, helpFile;
  std::int32_t helpContext = 0;
  std::uint32_t lcid = 0;
  std::uint32_t flags = 0;
  std::string name;
};

[[noreturn]] void Fail(const std::string& msg) {
  std::cerr << "qelupnp-mktlb: " << msg << "\n";
  std::exit(1);
}

// UTF-8 to the code page of the text locale. The conversion covers ASCII
// and, for Japanese (code page 932), the half-width katakana block, which is
// what the program's library uses; anything else is refused rather than
// written wrongly.
std::string Encode(const std::string& utf8, std::uint32_t textLcid) {
  std::string out;
  bool japanese = (textLcid & 0x3FF) == 0x11;
  for (size_t i = 0; i < utf8.size();) {
    unsigned char c = utf8[i];
    std::uint32_t cp;
    int n;
    if (c < 0x80) {
      cp = c;
      n = 1;
    } else if ((c & 0xE0) == 0xC0) {
      cp = c & 0x1F;
      n = 2;
    } else if ((c & 0xF0) == 0xE0) {
      cp = c & 0x0F;
      n = 3;
    } else if ((c & 0xF8) == 0xF0) {
      cp = c & 0x07;
      n = 4;
    } else {
      Fail("text is not valid UTF-8");
    }
    if (i + n > utf8.size()) Fail("text is not valid UTF-8");
    for (int k = 1; k < n; ++k) {
      unsigned char cc = utf8[i + k];
      if ((cc & 0xC0) != 0x80) Fail("text is not valid UTF-8");
      cp = (cp << 6) | (cc & 0x3F);
    }
    i += n;
    if (cp < 0x80)
      out += static_cast<char>(cp);
    else if (japanese && cp >= 0xFF61 && cp <= 0xFF9F)
      out += static_cast<char>(0xA1 + (cp - 0xFF61));
    else
      Fail("character U+" + std::to_string(cp) + " has no encoding in the text locale's code page");
  }
  return out;
}

class Parser {
 public:
  explicit Parser(std::string text) : m_s(std::move(text)) {}

  Library Parse() {
    Library lib;
    for (;;) {
      SkipSpace();
      if (m_i >= m_s.size()) Fail("no library block found");
      if (m_s[m_i] == '[') {
        ParseAttributes(&lib);
        continue;
      }
      std::string word = Ident();
      if (word == "library") break;
      if (word == "import" || word == "importlib") {
        SkipPast(';');
        continue;
      }
      Fail("unexpected '" + word + "' outside the library block");
    }
    lib.name = Ident();
    if (lib.name.empty() || lib.name.size() > 255) Fail("bad library name");
    Expect('{');
    for (;;) {
      SkipSpace();
      if (m_i < m_s.size() && m_s[m_i] == '}') {
        ++m_i;
        break;
      }
      std::string word = Ident();
      if (word == "importlib") {
        SkipPast(';');
        continue;
      }
      Fail("the library declares '" + word + "': only an empty library can be written");
    }
    if (!lib.bHasGuid) Fail("the library has no uuid");
    return lib;
  }

 private:
  void SkipSpace() {
    while (m_i < m_s.size()) {
      if (std::isspace(static_cast<unsigned char>(m_s[m_i]))) {
        ++m_i;
      } else if (m_s.compare(m_i, 2, "//") == 0) {
        while (m_i < m_s.size() && m_s[m_i] != '\n') ++m_i;
      } else if (m_s.compare(m_i, 2, "/*") == 0) {
        size_t e = m_s.find("*/", m_i + 2);
        if (e == std::string::npos) Fail("unterminated comment");
        m_i = e + 2;
      } else {
        break;
      }
    }
  }
  std::string Ident() {
    SkipSpace();
    size_t b = m_i;
    while (m_i < m_s.size() && (std::isalnum(static_cast<unsigned char>(m_s[m_i])) || m_s[m_i] == '_')) ++m_i;
    if (b == m_i) Fail("identifier expected at offset " + std::to_string(b));
    return m_s.substr(b, m_i - b);
  }
  void Expect(char c) {
    SkipSpace();
    if (m_i >= m_s.size() || m_s[m_i] != c) Fail(std::string("'") + c + "' expected at offset " + std::to_string(m_i));
    ++m_i;
  }
  void SkipPast(char c) {
    size_t e = m_s.find(c, m_i);
    if (e == std::string::npos) Fail(std::string("'") + c + "' expected");
    m_i = e + 1;
  }
  std::string Raw(char until) {
    SkipSpace();
    size_t b = m_i;
    while (m_i < m_s.size() && m_s[m_i] != until) ++m_i;
    if (m_i >= m_s.size()) Fail(std::string("'") + until + "' expected");
    std::string v = m_s.substr(b, m_i - b);
    while (!v.empty() && std::isspace(static_cast<unsigned char>(v.back()))) v.pop_back();
    return v;
  }
  std::string Quoted() {
    Expect('"');
    std::string v;
    while (m_i < m_s.size() && m_s[m_i] != '"') {
      if (m_s[m_i] == '\\' && m_i + 1 < m_s.size()) ++m_i;
      v += m_s[m_i++];
    }
    if (m_i >= m_s.size()) Fail("unterminated string");
    ++m_i;
    return v;
  }
  static std::uint32_t Number(const std::string& t) {
    try {
      size_t used = 0;
      unsigned long v = std::stoul(t, &used, 0);
      if (used != t.size() || v > 0xFFFFFFFFul) throw std::out_of_range("");
      return static_cast<std::uint32_t>(v);
    } catch (const std::exception&) {
      Fail("bad number '" + t + "'");
    }
  }
  static void ParseGuid(const std::string& t, std::uint8_t out[16]) {
    // xxxxxxxx-xxxx-xxxx-xxxx-xxxxxxxxxxxx, stored as GUID's in-memory layout.
    if (t.size() != 36 || t[8] != '-' || t[13] != '-' || t[18] != '-' || t[23] != '-') Fail("bad uuid '" + t + "'");
    std::string hex;
    for (char c : t)
      if (c != '-') {
        if (!std::isxdigit(static_cast<unsigned char>(c))) Fail("bad uuid '" + t + "'");
        hex += c;
      }
    auto byte = [&](int i) { return static_cast<std::uint8_t>(std::stoul(hex.substr(i * 2, 2), nullptr, 16)); };
    std::uint8_t b[16];
    for (int i = 0; i < 16; ++i) b[i] = byte(i);
    const int order[16] = {3, 2, 1, 0, 5, 4, 7, 6, 8, 9, 10, 11, 12, 13, 14, 15};
    for (int i = 0; i < 16; ++i) out[i] = b[order[i]];
  }
  void ParseAttributes(Library* lib) {
    Expect('[');
    for (;;) {
      std::string attr = Ident();
      SkipSpace();
      bool hasArg = m_i < m_s.size() && m_s[m_i] == '(';
      if (hasArg) ++m_i;
      if (attr == "uuid") {
        ParseGuid(Raw(')'), lib->guid);
        lib->bHasGuid = true;
      } else if (attr == "version") {
        std::string v = Raw(')');
        size_t dot = v.find('.');
        lib->wMajor = static_cast<std::uint16_t>(Number(v.substr(0, dot)));
        lib->wMinor = dot == std::string::npos ? 0 : static_cast<std::uint16_t>(Number(v.substr(dot + 1)));
      } else if (attr == "helpstring") {
        lib->helpString = Quoted();
      } else if (attr == "helpfile") {
        lib->helpFile = Quoted();
      } else if (attr == "helpcontext") {
        lib->helpContext = static_cast<std::int32_t>(Number(Raw(')')));
      } else if (attr == "lcid") {
        lib->lcid = Number(Raw(')'));
      } else if (attr == "restricted") {
        lib->flags |= 1;
      } else if (attr == "control") {
        lib->flags |= 2;
      } else if (attr == "hidden") {
        lib->flags |= 4;
      } else {
        Fail("unknown library attribute '" + attr + "'");
      }
      if (hasArg) Expect(')');
      SkipSpace();
      if (m_i < m_s.size() && m_s[m_i] == ',') {
        ++m_i;
        continue;
      }
      Expect(']');
      return;
    }
  }

  std::string m_s;
  size_t m_i = 0;
};

void Put32(std::vector<std::uint8_t>& v, std::int32_t x) {
  std::uint8_t b[4];
  std::memcpy(b, &x, 4);
  v.insert(v.end(), b, b + 4);
}

void Pad4(std::vector<std::uint8_t>& v) {
  while (v.size() % 4) v.push_back(qel::msft::kPadByte);
}

std::uint32_t NameHash(const std::string& s) {
  std::uint32_t h = 0;
  for (unsigned char c : s) h = h * 31 + static_cast<std::uint32_t>(std::toupper(c));
  return h & 0xFFFF;
}

std::vector<std::uint8_t> Build(const Library& lib, std::uint32_t textLcid, std::int32_t syskind) {
  using namespace qel::msft;
  std::vector<std::uint8_t> seg[kSegmentCount];

  // GUID table with its hash table.
  GuidEntry ge{};
  std::memcpy(ge.guid, lib.guid, 16);
  ge.hreftype = -2;
  ge.next_hash = -1;
  seg[kGuidTab].resize(sizeof ge);
  std::memcpy(seg[kGuidTab].data(), &ge, sizeof ge);
  seg[kGuidHashTab].assign(kGuidHashSize, 0xFF);
  std::uint32_t gh = 0;
  for (auto b : lib.guid) gh += b;
  std::int32_t zero = 0;
  std::memcpy(seg[kGuidHashTab].data() + (gh % (kGuidHashSize / 4)) * 4, &zero, 4);

  // Name table: the library's name.
  std::string name = Encode(lib.name, textLcid);
  std::uint32_t hash = NameHash(name);
  Put32(seg[kNameTab], -1);
  Put32(seg[kNameTab], -1);
  Put32(seg[kNameTab], static_cast<std::int32_t>((hash << 16) | (0x38u << 8) | static_cast<std::uint32_t>(name.size())));
  seg[kNameTab].insert(seg[kNameTab].end(), name.begin(), name.end());
  Pad4(seg[kNameTab]);
  seg[kNameHashTab].assign(kNameHashSize, 0xFF);
  std::memcpy(seg[kNameHashTab].data() + (hash % (kNameHashSize / 4)) * 4, &zero, 4);

  // String table: help string and help file.
  auto addString = [&](const std::string& text) -> std::int32_t {
    std::string s = Encode(text, textLcid);
    if (s.size() > 0xFFFF) Fail("string too long");
    auto off = static_cast<std::int32_t>(seg[kStringTab].size());
    std::uint16_t len = static_cast<std::uint16_t>(s.size());
    seg[kStringTab].push_back(static_cast<std::uint8_t>(len & 0xFF));
    seg[kStringTab].push_back(static_cast<std::uint8_t>(len >> 8));
    seg[kStringTab].insert(seg[kStringTab].end(), s.begin(), s.end());
    Pad4(seg[kStringTab]);
    return off;
  };
  std::int32_t helpString = lib.helpString ? addString(*lib.helpString) : -1;
  std::int32_t helpFile = lib.helpFile ? addString(*lib.helpFile) : -1;

  Header h{};
  h.magic1 = static_cast<std::int32_t>(kMagic1);
  h.magic2 = static_cast<std::int32_t>(kMagic2);
  h.posguid = 0;
  h.lcid = static_cast<std::int32_t>(lib.lcid);
  h.lcid2 = static_cast<std::int32_t>(textLcid);
  h.varflags = syskind | (lib.helpFile ? static_cast<std::int32_t>(kHasHelpFile) : 0);
  h.version = static_cast<std::int32_t>(lib.wMajor | (static_cast<std::uint32_t>(lib.wMinor) << 16));
  h.flags = static_cast<std::int32_t>(lib.flags);
  h.nrtypeinfos = 0;
  h.helpstring = helpString;
  h.helpstringcontext = 0;
  h.helpcontext = lib.helpContext;
  h.nametablecount = 1;
  h.nametablechars = static_cast<std::int32_t>(name.size());
  h.NameOffset = 0;
  h.helpfile = helpFile;
  h.CustomDataOffset = -1;
  h.res44 = 0x20;
  h.res48 = 0x80;
  h.dispatchpos = -1;
  h.nimpinfos = 0;

  std::vector<std::uint8_t> out(sizeof h);
  std::memcpy(out.data(), &h, sizeof h);
  size_t pos = sizeof h + kSegmentCount * sizeof(Segment);
  for (int i = 0; i < kSegmentCount; ++i) {
    Segment s{seg[i].empty() ? -1 : static_cast<std::int32_t>(pos), static_cast<std::int32_t>(seg[i].size()), -1, 0x0F};
    std::uint8_t b[sizeof s];
    std::memcpy(b, &s, sizeof s);
    out.insert(out.end(), b, b + sizeof s);
    pos += seg[i].size();
  }
  for (auto& s : seg) out.insert(out.end(), s.begin(), s.end());
  return out;
}

}  // namespace

int main(int argc, char** argv) {
  std::string in, out;
  std::uint32_t textLcid = 0;
  std::int32_t syskind = 1;
  for (int i = 1; i < argc; ++i) {
    std::string a = argv[i];
    if (a == "-o" && i + 1 < argc) {
      out = argv[++i];
    } else if (a == "--text-lcid" && i + 1 < argc) {
      textLcid = static_cast<std::uint32_t>(std::stoul(argv[++i], nullptr, 0));
    } else if (a == "--syskind" && i + 1 < argc) {
      std::string k = argv[++i];
      syskind = k == "win32" ? 1 : k == "win64" ? 3 : (Fail("unknown system kind '" + k + "'"), 0);
    } else if (a == "--help" || a == "-h") {
      std::cout << "usage: qelupnp-mktlb [--text-lcid N] [--syskind win32|win64] -o OUT.tlb IN.idl\n";
      return 0;
    } else if (in.empty() && a[0] != '-') {
      in = a;
    } else {
      Fail("unknown argument '" + a + "' (see --help)");
    }
  }
  if (in.empty() || out.empty()) Fail("an input file and -o OUT are needed (see --help)");
  std::ifstream f(in, std::ios::binary);
  if (!f) Fail("cannot read " + in);
  std::stringstream ss;
  ss << f.rdbuf();
  Library lib = Parser(ss.str()).Parse();
  std::vector<std::uint8_t> bytes = Build(lib, textLcid, syskind);
  std::ofstream o(out, std::ios::binary | std::ios::trunc);
  o.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
  if (!o.flush()) Fail("cannot write " + out);
  return 0;
}
