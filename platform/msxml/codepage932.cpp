// Code page 932 for the DOM: decoding tables taken once from the C library's
// converters ("CP932" for reading, "SHIFT_JIS" to find what a strict reader
// would make of the same bytes), and the libxml2 encoding handler over them.
#include "codepage932.h"

#include <iconv.h>
#include <strings.h>

#include <libxml/encoding.h>

#include <algorithm>
#include <array>
#include <cstring>
#include <memory>
#include <mutex>
#include <vector>

namespace qel::msxml {

namespace {

constexpr char16_t kNone = 0xFFFF;  // not a character of the code page

bool IsLeadByte(unsigned b) { return (b >= 0x81 && b <= 0x9F) || (b >= 0xE0 && b <= 0xFC); }
bool IsTrailByte(unsigned b) { return b >= 0x40 && b <= 0xFC && b != 0x7F; }

class Converter {
 public:
  explicit Converter(const char* from) : m_cd(iconv_open("UTF-16LE", from)) {}
  ~Converter() {
    if (ok()) iconv_close(m_cd);
  }
  Converter(const Converter&) = delete;
  Converter& operator=(const Converter&) = delete;
  bool ok() const { return m_cd != reinterpret_cast<iconv_t>(-1); }

  // The one UTF-16 unit that the bytes decode to, or kNone.
  char16_t One(const unsigned char* bytes, size_t n) {
    char in[2] = {static_cast<char>(bytes[0]), n > 1 ? static_cast<char>(bytes[1]) : '\0'};
    char out[8];
    char* ip = in;
    char* op = out;
    size_t il = n, ol = sizeof out;
    iconv(m_cd, nullptr, nullptr, nullptr, nullptr);
    size_t r = iconv(m_cd, &ip, &il, &op, &ol);
    if (r == static_cast<size_t>(-1) || il != 0 || op - out != 2) return kNone;
    return static_cast<char16_t>(static_cast<unsigned char>(out[0]) | static_cast<unsigned char>(out[1]) << 8);
  }

 private:
  iconv_t m_cd;
};

struct Tables {
  // Decoding: single bytes, and double bytes indexed by lead << 8 | trail.
  std::array<char16_t, 256> single;
  std::vector<char16_t> dbl = std::vector<char16_t>(0x10000, kNone);
  // Writing: the code (one byte below 0x100, else two) of each BMP character
  // that both kinds of reader decode from it; 0 when it has none.
  std::vector<uint16_t> safe = std::vector<uint16_t>(0x10000, 0);
  // The ASCII bytes written as themselves (not the yen sign and overline
  // positions, which strict readers decode otherwise).
  std::array<bool, 0x80> asciiSame{};
  bool ok = false;
};

const Tables& GetTables() {
  static std::once_flag once;
  static std::unique_ptr<Tables> tables;
  std::call_once(once, [] {
    auto t = std::make_unique<Tables>();
    t->single.fill(kNone);
    Converter cp932("CP932"), strict("SHIFT_JIS");
    if (cp932.ok() && strict.ok()) {
      t->ok = true;
      unsigned char b[2];
      for (unsigned i = 0; i < 256; ++i) {
        if (IsLeadByte(i)) continue;
        b[0] = static_cast<unsigned char>(i);
        char16_t c = cp932.One(b, 1);
        t->single[i] = c;
        if (c != kNone && c != 0 && strict.One(b, 1) == c) t->safe[c] = static_cast<uint16_t>(i);
      }
      for (unsigned lead = 0x81; lead <= 0xFC; ++lead) {
        if (!IsLeadByte(lead)) continue;
        for (unsigned trail = 0x40; trail <= 0xFC; ++trail) {
          if (!IsTrailByte(trail)) continue;
          b[0] = static_cast<unsigned char>(lead);
          b[1] = static_cast<unsigned char>(trail);
          char16_t c = cp932.One(b, 2);
          uint16_t code = static_cast<uint16_t>(lead << 8 | trail);
          t->dbl[code] = c;
          // Code page 932 has duplicates (NEC and IBM rows); none of them is
          // in strict Shift_JIS, so a safe character has exactly one code.
          if (c != kNone && strict.One(b, 2) == c) t->safe[c] = code;
        }
      }
    }
    for (unsigned i = 0; i < 0x80; ++i) t->asciiSame[i] = i != 0 && t->safe[i] == i;
    tables = std::move(t);
  });
  return *tables;
}

void AppendUtf8(char16_t c, std::string* out) {
  if (c < 0x80) {
    out->push_back(static_cast<char>(c));
  } else if (c < 0x800) {
    out->push_back(static_cast<char>(0xC0 | c >> 6));
    out->push_back(static_cast<char>(0x80 | (c & 0x3F)));
  } else {
    out->push_back(static_cast<char>(0xE0 | c >> 12));
    out->push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
    out->push_back(static_cast<char>(0x80 | (c & 0x3F)));
  }
}

// libxml2's reading side: code page 932 to UTF-8. A lead byte at the end of
// the block is left for the next block; bytes that form no character are a
// transcoding failure.
int Cp932ToUtf8(unsigned char* out, int* outlen, const unsigned char* in, int* inlen) {
  if (!out || !outlen || !inlen) return -1;
  if (!in) {
    *outlen = 0;
    *inlen = 0;
    return 0;
  }
  const Tables& t = GetTables();
  int i = 0, o = 0;
  int result = 0;
  std::string utf8;
  while (i < *inlen) {
    unsigned b = in[i];
    char16_t c;
    int n = 1;
    if (IsLeadByte(b)) {
      if (i + 1 >= *inlen) break;
      n = 2;
      c = IsTrailByte(in[i + 1]) ? t.dbl[b << 8 | in[i + 1]] : kNone;
    } else {
      c = t.single[b];
    }
    if (c == kNone) {
      result = -2;
      break;
    }
    utf8.clear();
    AppendUtf8(c, &utf8);
    if (o + static_cast<int>(utf8.size()) > *outlen) break;
    for (char ch : utf8) out[o++] = static_cast<unsigned char>(ch);
    i += n;
  }
  *outlen = o;
  *inlen = i;
  return result < 0 ? result : o;
}

// libxml2's writing side: UTF-8 to bytes that both kinds of reader decode
// alike. Any other character is a transcoding failure, which the serialiser
// answers with a character reference. An incomplete UTF-8 sequence at the
// end of the block waits for the next block.
int Utf8ToSafeShiftJis(unsigned char* out, int* outlen, const unsigned char* in, int* inlen) {
  if (!out || !outlen || !inlen) return -1;
  if (!in) {
    *outlen = 0;
    *inlen = 0;
    return 0;
  }
  const Tables& t = GetTables();
  int i = 0, o = 0;
  int result = 0;
  while (i < *inlen) {
    // Runs of ASCII that pass unchanged, most of a description, are copied.
    int run = std::min(*inlen - i, *outlen - o);
    int k = 0;
    while (k < run && in[i + k] < 0x80 && t.asciiSame[in[i + k]]) ++k;
    if (k > 0) {
      std::memcpy(out + o, in + i, static_cast<size_t>(k));
      i += k;
      o += k;
      continue;
    }
    unsigned b = in[i];
    int n = b < 0x80 ? 1 : b >= 0xF0 ? 4 : b >= 0xE0 ? 3 : b >= 0xC0 ? 2 : 0;
    if (n == 0) {
      result = -2;
      break;
    }
    if (i + n > *inlen) break;
    uint32_t cp = n == 1 ? b : b & (0x7F >> n);
    for (int k = 1; k < n; ++k) cp = cp << 6 | (in[i + k] & 0x3F);
    uint16_t code = cp < 0x10000 ? t.safe[cp] : 0;
    if (code == 0) {
      result = -2;
      break;
    }
    int width = code < 0x100 ? 1 : 2;
    if (o + width > *outlen) break;
    if (width == 2) out[o++] = static_cast<unsigned char>(code >> 8);
    out[o++] = static_cast<unsigned char>(code & 0xFF);
    i += n;
  }
  *outlen = o;
  *inlen = i;
  return result < 0 ? result : o;
}

// The handler's own name, "CP932", needs no alias.
const char* const kLabels[] = {"Shift_JIS", "shift-jis", "sjis",        "x-sjis",
                               "ms_kanji",  "csShiftJIS", "windows-31j", "cp932"};
constexpr size_t kAliasCount = 7;

}  // namespace

bool IsCodePage932Label(std::string_view label) {
  for (const char* l : kLabels)
    if (label.size() == std::char_traits<char>::length(l) && strncasecmp(label.data(), l, label.size()) == 0)
      return true;
  return false;
}

bool CodePage932Decoder::Decode(std::string_view bytes, std::string* out) {
  if (m_failed) return false;
  const Tables& t = GetTables();
  if (!t.ok) {
    m_failed = true;
    m_errorOffset = m_consumed;
    return false;
  }
  for (unsigned char b : bytes) {
    char16_t c;
    if (m_haveLead) {
      m_haveLead = false;
      c = IsTrailByte(b) ? t.dbl[m_lead << 8 | b] : kNone;
      if (c == kNone) {
        m_failed = true;
        m_errorOffset = m_consumed - 1;
        return false;
      }
    } else if (IsLeadByte(b)) {
      m_haveLead = true;
      m_lead = b;
      ++m_consumed;
      continue;
    } else {
      c = t.single[b];
      if (c == kNone) {
        m_failed = true;
        m_errorOffset = m_consumed;
        return false;
      }
    }
    ++m_consumed;
    AppendUtf8(c, out);
  }
  return true;
}

void RegisterCodePage932Handler() {
  // The tables are built on first use; here it is enough that they can be.
  if (!Converter("CP932").ok() || !Converter("SHIFT_JIS").ok()) return;  // libxml2's own lookup stands
  xmlNewCharEncodingHandler("CP932", &Cp932ToUtf8, &Utf8ToSafeShiftJis);
  for (size_t i = 0; i < kAliasCount; ++i) xmlAddEncodingAlias("CP932", kLabels[i]);
}

}  // namespace qel::msxml
