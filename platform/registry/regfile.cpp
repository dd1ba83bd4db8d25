#include "regfile.h"

#include <cstring>

#include "qel/wstr.h"

namespace qel::regfile {
namespace {

constexpr std::u16string_view kHeader5 = u"Windows Registry Editor Version 5.00";
constexpr std::u16string_view kHeader4 = u"REGEDIT4";
// regedit breaks a hex list once a line has passed this column.
constexpr std::size_t kWrapColumn = 76;

bool IsSpace(char16_t c) { return c == u' ' || c == u'\t'; }

std::u16string_view TrimLeft(std::u16string_view s) {
  while (!s.empty() && IsSpace(s.front())) s.remove_prefix(1);
  return s;
}
std::u16string_view TrimRight(std::u16string_view s) {
  while (!s.empty() && (IsSpace(s.back()) || s.back() == u'\r')) s.remove_suffix(1);
  return s;
}

int HexDigit(char16_t c) {
  if (c >= u'0' && c <= u'9') return c - u'0';
  if (c >= u'a' && c <= u'f') return c - u'a' + 10;
  if (c >= u'A' && c <= u'F') return c - u'A' + 10;
  return -1;
}

bool StartsWithNoCase(std::u16string_view s, std::u16string_view prefix) {
  return s.size() >= prefix.size() && EqualsNoCase(s.substr(0, prefix.size()), prefix);
}

std::u16string Decode(std::string_view bytes) {
  if (bytes.size() >= 2 && static_cast<unsigned char>(bytes[0]) == 0xFF &&
      static_cast<unsigned char>(bytes[1]) == 0xFE) {
    std::u16string out((bytes.size() - 2) / 2, u'\0');
    for (std::size_t i = 0; i < out.size(); ++i)
      out[i] = static_cast<char16_t>(static_cast<unsigned char>(bytes[2 + 2 * i]) |
                                     (static_cast<unsigned char>(bytes[3 + 2 * i]) << 8));
    return out;
  }
  if (bytes.size() >= 3 && bytes.substr(0, 3) == "\xEF\xBB\xBF") bytes.remove_prefix(3);
  if (IsValidUtf8(bytes)) return FromUtf8(bytes);
  // REGEDIT4 files are 8-bit text in the writer's code page; Latin-1 keeps every byte.
  std::u16string out;
  out.reserve(bytes.size());
  for (char c : bytes) out.push_back(static_cast<char16_t>(static_cast<unsigned char>(c)));
  return out;
}

std::vector<BYTE> Utf16Bytes(std::u16string_view s) {
  std::vector<BYTE> out(s.size() * 2);
  for (std::size_t i = 0; i < s.size(); ++i) {
    out[2 * i] = static_cast<BYTE>(s[i] & 0xFF);
    out[2 * i + 1] = static_cast<BYTE>(s[i] >> 8);
  }
  return out;
}

class Parser {
 public:
  Parser(std::u16string text, Script& out, std::string& error) : m_text(std::move(text)), m_out(out), m_err(error) {}

  bool Run() {
    SplitLines();
    std::size_t i = 0;
    while (i < m_lines.size() && TrimRight(TrimLeft(m_lines[i])).empty()) ++i;
    if (i == m_lines.size()) return Fail(0, "the file is empty");
    std::u16string_view header = TrimRight(TrimLeft(m_lines[i]));
    if (header == kHeader5)
      m_v4 = false;
    else if (header == kHeader4)
      m_v4 = true;
    else
      return Fail(static_cast<int>(i + 1), "not a registry script (expected \"Windows Registry Editor Version 5.00\")");
    for (++i; i < m_lines.size(); ++i) {
      std::u16string_view line = TrimLeft(m_lines[i]);
      std::u16string_view trimmed = TrimRight(line);
      int no = static_cast<int>(i + 1);
      if (trimmed.empty() || trimmed.front() == u';') continue;
      if (trimmed.front() == u'[') {
        if (!KeyLine(trimmed, no)) return false;
      } else if (trimmed.front() == u'"' || trimmed.front() == u'@') {
        if (!ValueLine(i, no)) return false;
      } else {
        return Fail(no, "expected a [key] or a \"value\"=data line");
      }
    }
    return true;
  }

 private:
  void SplitLines() {
    std::u16string_view all = m_text;
    std::size_t pos = 0;
    while (pos <= all.size()) {
      std::size_t end = all.find(u'\n', pos);
      if (end == std::u16string_view::npos) end = all.size();
      std::u16string_view line = all.substr(pos, end - pos);
      if (!line.empty() && line.back() == u'\r') line.remove_suffix(1);
      m_lines.push_back(line);
      pos = end + 1;
    }
  }

  bool Fail(int line, const std::string& what) {
    m_err = line ? "Invalid registry file, line " + std::to_string(line) + ": " + what
                 : "Invalid registry file: " + what;
    return false;
  }

  bool KeyLine(std::u16string_view s, int no) {
    std::size_t close = s.rfind(u']');
    if (close == std::u16string_view::npos || close < 1) return Fail(no, "a key name without its closing ']'");
    std::u16string_view rest = TrimLeft(s.substr(close + 1));
    if (!rest.empty() && rest.front() != u';') return Fail(no, "text after the key name");
    std::u16string_view path = s.substr(1, close - 1);
    KeyOp k;
    if (!path.empty() && path.front() == u'-') {
      k.remove = true;
      path.remove_prefix(1);
    }
    if (path.empty()) return Fail(no, "an empty key name");
    k.path = std::u16string(path);
    k.line = no;
    m_out.keys.push_back(std::move(k));
    return true;
  }

  // A quoted string with \\ and \" escapes; `pos` is on the opening quote.
  bool QuotedString(std::u16string_view s, std::size_t& pos, std::u16string& out, int no) {
    ++pos;
    while (pos < s.size()) {
      char16_t c = s[pos];
      if (c == u'"') {
        ++pos;
        return true;
      }
      if (c == u'\\' && pos + 1 < s.size() && (s[pos + 1] == u'\\' || s[pos + 1] == u'"')) {
        out.push_back(s[pos + 1]);
        pos += 2;
        continue;
      }
      out.push_back(c);
      ++pos;
    }
    return Fail(no, "a string without its closing quote");
  }

  bool OnlyCommentLeft(std::u16string_view rest) {
    rest = TrimRight(TrimLeft(rest));
    return rest.empty() || rest.front() == u';';
  }

  bool ValueLine(std::size_t& index, int no) {
    if (m_out.keys.empty()) return Fail(no, "a value before the first [key]");
    if (m_out.keys.back().remove) return Fail(no, "a value under a key that is being deleted");
    std::u16string_view s = TrimRight(TrimLeft(m_lines[index]));
    ValueOp v;
    v.line = no;
    std::size_t pos = 0;
    if (s.front() == u'@') {
      pos = 1;
    } else if (!QuotedString(s, pos, v.name, no)) {
      return false;
    }
    while (pos < s.size() && IsSpace(s[pos])) ++pos;
    if (pos >= s.size() || s[pos] != u'=') return Fail(no, "expected '=' after the value name");
    ++pos;
    while (pos < s.size() && IsSpace(s[pos])) ++pos;
    std::u16string_view data = s.substr(pos);
    if (data.empty()) return Fail(no, "a value without data");

    if (data.front() == u'-') {
      if (!OnlyCommentLeft(data.substr(1))) return Fail(no, "text after '-'");
      v.remove = true;
    } else if (data.front() == u'"') {
      std::size_t p = 0;
      std::u16string text;
      if (!QuotedString(data, p, text, no)) return false;
      if (!OnlyCommentLeft(data.substr(p))) return Fail(no, "text after the closing quote");
      text.push_back(u'\0');
      v.type = REG_SZ;
      v.data = Utf16Bytes(text);
    } else if (StartsWithNoCase(data, u"dword:")) {
      std::u16string_view digits = TrimRight(data.substr(6));
      if (std::size_t sc = digits.find(u';'); sc != std::u16string_view::npos) digits = TrimRight(digits.substr(0, sc));
      if (digits.empty() || digits.size() > 8) return Fail(no, "a dword needs 1 to 8 hexadecimal digits");
      DWORD n = 0;
      for (char16_t c : digits) {
        int d = HexDigit(c);
        if (d < 0) return Fail(no, "a dword needs 1 to 8 hexadecimal digits");
        n = (n << 4) | static_cast<DWORD>(d);
      }
      v.type = REG_DWORD;
      for (int i = 0; i < 4; ++i) v.data.push_back(static_cast<BYTE>(n >> (8 * i)));
    } else if (StartsWithNoCase(data, u"hex")) {
      if (!HexValue(data.substr(3), index, v, no)) return false;
    } else {
      return Fail(no, "unknown data type (expected \"string\", dword:, hex: or hex(N):)");
    }
    m_out.keys.back().values.push_back(std::move(v));
    return true;
  }

  // hex: or hex(N): followed by comma-separated bytes, continued over lines
  // that end with '\'.
  bool HexValue(std::u16string_view s, std::size_t& index, ValueOp& v, int no) {
    DWORD type = REG_BINARY;
    if (!s.empty() && s.front() == u'(') {
      std::size_t close = s.find(u')');
      if (close == std::u16string_view::npos || close == 1 || close > 9) return Fail(no, "a malformed hex(N) type");
      type = 0;
      for (char16_t c : s.substr(1, close - 1)) {
        int d = HexDigit(c);
        if (d < 0) return Fail(no, "a malformed hex(N) type");
        type = (type << 4) | static_cast<DWORD>(d);
      }
      s.remove_prefix(close + 1);
    }
    if (s.empty() || s.front() != u':') return Fail(no, "expected ':' after hex");
    s.remove_prefix(1);

    std::vector<BYTE> bytes;
    int lineNo = no;
    while (true) {
      if (std::size_t sc = s.find(u';'); sc != std::u16string_view::npos) s = s.substr(0, sc);
      s = TrimRight(s);
      bool more = !s.empty() && s.back() == u'\\';
      if (more) s.remove_suffix(1);
      std::size_t pos = 0;
      while (pos < s.size()) {
        while (pos < s.size() && IsSpace(s[pos])) ++pos;
        if (pos >= s.size()) break;
        int hi = HexDigit(s[pos]);
        if (hi < 0) return Fail(lineNo, "a malformed hex byte");
        ++pos;
        int value = hi;
        if (pos < s.size() && HexDigit(s[pos]) >= 0) {
          value = value * 16 + HexDigit(s[pos]);
          ++pos;
        }
        bytes.push_back(static_cast<BYTE>(value));
        while (pos < s.size() && IsSpace(s[pos])) ++pos;
        if (pos < s.size()) {
          if (s[pos] != u',') return Fail(lineNo, "expected ',' between hex bytes");
          ++pos;
        }
      }
      if (!more) break;
      if (index + 1 >= m_lines.size() || TrimRight(TrimLeft(m_lines[index + 1])).empty())
        return Fail(lineNo, "a '\\' continuation without the line it continues on");
      ++index;
      lineNo = static_cast<int>(index + 1);
      s = TrimLeft(m_lines[index]);
    }
    if (m_v4 && (type == REG_EXPAND_SZ || type == REG_MULTI_SZ)) {
      // REGEDIT4 writes these as 8-bit text; the store holds UTF-16.
      std::string narrow(bytes.begin(), bytes.end());
      bytes = Utf16Bytes(IsValidUtf8(narrow) ? FromUtf8(narrow) : Decode(narrow));
    }
    v.type = type;
    v.data = std::move(bytes);
    return true;
  }

  std::u16string m_text;
  std::vector<std::u16string_view> m_lines;
  Script& m_out;
  std::string& m_err;
  bool m_v4 = false;
};

void AppendEscaped(std::u16string& out, std::u16string_view s) {
  for (char16_t c : s) {
    if (c == u'\\' || c == u'"') out.push_back(u'\\');
    out.push_back(c);
  }
}

void AppendHex(std::u16string& out, unsigned value, int digits) {
  static const char16_t kDigits[] = u"0123456789abcdef";
  for (int i = digits - 1; i >= 0; --i) out.push_back(kDigits[(value >> (4 * i)) & 0xF]);
}

// A REG_SZ that regedit can write as "text": whole UTF-16 units, one final
// terminator and no other null, no line break. Anything else is written as
// hex(1) so that its bytes come back exactly.
bool PrintableString(std::span<const BYTE> data, std::u16string& text) {
  if (data.size() < 2 || data.size() % 2) return false;
  std::size_t n = data.size() / 2;
  text.clear();
  for (std::size_t i = 0; i < n; ++i) {
    char16_t c = static_cast<char16_t>(data[2 * i] | (data[2 * i + 1] << 8));
    if (i + 1 == n) return c == u'\0';
    if (c == u'\0' || c == u'\r' || c == u'\n') return false;
    text.push_back(c);
  }
  return false;
}

}  // namespace

bool Parse(std::string_view bytes, Script& out, std::string& error) {
  out.keys.clear();
  Parser p(Decode(bytes), out, error);
  return p.Run();
}

Writer::Writer() { m_text = std::u16string(kHeader5) + u"\r\n"; }

void Writer::Key(std::u16string_view path) {
  m_text += u"\r\n[";
  m_text += path;
  m_text += u"]\r\n";
}

void Writer::Value(std::u16string_view name, DWORD type, std::span<const BYTE> data) {
  std::size_t lineStart = m_text.size();
  if (name.empty()) {
    m_text += u"@=";
  } else {
    m_text += u'"';
    AppendEscaped(m_text, name);
    m_text += u"\"=";
  }
  std::u16string text;
  if (type == REG_SZ && PrintableString(data, text)) {
    m_text += u'"';
    AppendEscaped(m_text, text);
    m_text += u"\"\r\n";
    return;
  }
  if (type == REG_DWORD && data.size() == 4) {
    m_text += u"dword:";
    AppendHex(m_text, static_cast<unsigned>(data[0] | (data[1] << 8) | (data[2] << 16)) |
                          (static_cast<unsigned>(data[3]) << 24),
              8);
    m_text += u"\r\n";
    return;
  }
  if (type == REG_BINARY) {
    m_text += u"hex:";
  } else {
    m_text += u"hex(";
    std::u16string t;
    unsigned v = type;
    do {
      t.insert(t.begin(), u"0123456789abcdef"[v & 0xF]);
      v >>= 4;
    } while (v);
    m_text += t;
    m_text += u"):";
  }
  std::size_t column = m_text.size() - lineStart;
  for (std::size_t i = 0; i < data.size(); ++i) {
    AppendHex(m_text, data[i], 2);
    column += 2;
    if (i + 1 == data.size()) break;
    m_text += u',';
    ++column;
    if (column > kWrapColumn) {
      m_text += u"\\\r\n  ";
      column = 2;
    }
  }
  m_text += u"\r\n";
}

std::string Writer::Finish() {
  m_text += u"\r\n";
  std::string out;
  out.reserve(2 + m_text.size() * 2);
  out += "\xFF\xFE";
  for (char16_t c : m_text) {
    out.push_back(static_cast<char>(c & 0xFF));
    out.push_back(static_cast<char>(c >> 8));
  }
  return out;
}

}  // namespace qel::regfile
