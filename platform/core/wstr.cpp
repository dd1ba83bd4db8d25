#include "qel/wstr.h"

#include <cstdint>
#include <cstring>

namespace qel {

std::string ToUtf8(u16view s) {
  std::string out;
  out.reserve(s.size());
  for (std::size_t i = 0; i < s.size(); ++i) {
    // Runs of ASCII, most of any document, are copied without per-character appends.
    if (s[i] < 0x80) {
      std::size_t j = i + 1;
      while (j < s.size() && s[j] < 0x80) ++j;
      const std::size_t at = out.size();
      out.resize(at + (j - i));
      for (std::size_t k = i; k < j; ++k) out[at + (k - i)] = static_cast<char>(s[k]);
      i = j - 1;
      continue;
    }
    char32_t c = s[i];
    if (c >= 0xD800 && c <= 0xDBFF && i + 1 < s.size() && s[i + 1] >= 0xDC00 && s[i + 1] <= 0xDFFF) {
      c = 0x10000 + ((c - 0xD800) << 10) + (s[i + 1] - 0xDC00);
      ++i;
    } else if (c >= 0xD800 && c <= 0xDFFF) {
      c = 0xFFFD;
    }
    if (c < 0x80) {
      out.push_back(static_cast<char>(c));
    } else if (c < 0x800) {
      out.push_back(static_cast<char>(0xC0 | (c >> 6)));
      out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
    } else if (c < 0x10000) {
      out.push_back(static_cast<char>(0xE0 | (c >> 12)));
      out.push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
      out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
    } else {
      out.push_back(static_cast<char>(0xF0 | (c >> 18)));
      out.push_back(static_cast<char>(0x80 | ((c >> 12) & 0x3F)));
      out.push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
      out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
    }
  }
  return out;
}

namespace {
// Decodes one UTF-8 sequence at s[i]; returns the code point or U+FFFD, advancing i.
char32_t Decode(std::string_view s, std::size_t& i, bool& ok) {
  unsigned char b = static_cast<unsigned char>(s[i]);
  ok = true;
  int len;
  char32_t c;
  if (b < 0x80) {
    ++i;
    return b;
  } else if ((b & 0xE0) == 0xC0) {
    len = 2;
    c = b & 0x1F;
  } else if ((b & 0xF0) == 0xE0) {
    len = 3;
    c = b & 0x0F;
  } else if ((b & 0xF8) == 0xF0) {
    len = 4;
    c = b & 0x07;
  } else {
    ++i;
    ok = false;
    return 0xFFFD;
  }
  if (i + len > s.size()) {
    ++i;
    ok = false;
    return 0xFFFD;
  }
  for (int k = 1; k < len; ++k) {
    unsigned char n = static_cast<unsigned char>(s[i + k]);
    if ((n & 0xC0) != 0x80) {
      ++i;
      ok = false;
      return 0xFFFD;
    }
    c = (c << 6) | (n & 0x3F);
  }
  static const char32_t kMin[5] = {0, 0, 0x80, 0x800, 0x10000};
  if (c < kMin[len] || c > 0x10FFFF || (c >= 0xD800 && c <= 0xDFFF)) {
    ++i;
    ok = false;
    return 0xFFFD;
  }
  i += len;
  return c;
}


// The UTF-16 form of `s`, written to `out` when it is not null; the number of
// units either way. Runs of ASCII, most of any document, are taken eight
// bytes at a time.
template <bool kWrite>
std::size_t DecodeUtf8(std::string_view s, char16_t* out) {
  const char* p = s.data();
  const std::size_t size = s.size();
  std::size_t i = 0, n = 0;
  bool ok;
  while (i < size) {
    while (i + 8 <= size) {
      std::uint64_t word;
      std::memcpy(&word, p + i, sizeof word);
      if (word & 0x8080808080808080ull) break;
      if constexpr (kWrite)
        for (int k = 0; k < 8; ++k) out[n + k] = static_cast<char16_t>(p[i + k]);
      i += 8;
      n += 8;
    }
    if (i >= size) break;
    if (static_cast<unsigned char>(p[i]) < 0x80) {
      if constexpr (kWrite) out[n] = static_cast<char16_t>(p[i]);
      ++i;
      ++n;
      continue;
    }
    char32_t c = Decode(s, i, ok);
    if (c >= 0x10000) {
      c -= 0x10000;
      if constexpr (kWrite) {
        out[n] = static_cast<char16_t>(0xD800 + (c >> 10));
        out[n + 1] = static_cast<char16_t>(0xDC00 + (c & 0x3FF));
      }
      n += 2;
    } else {
      if constexpr (kWrite) out[n] = static_cast<char16_t>(c);
      ++n;
    }
  }
  return n;
}
}  // namespace

std::size_t Utf16LengthOf(std::string_view s) { return DecodeUtf8<false>(s, nullptr); }

std::size_t FromUtf8Into(std::string_view s, char16_t* out) { return DecodeUtf8<true>(s, out); }

u16 FromUtf8(std::string_view s) {
  // A UTF-8 text never has more UTF-16 units than bytes: one pass into a
  // buffer of that size, cut to what was written.
  u16 out(s.size(), u'\0');
  out.resize(DecodeUtf8<true>(s, out.data()));
  return out;
}

bool IsValidUtf8(std::string_view s) {
  std::size_t i = 0;
  bool ok;
  while (i < s.size()) {
    Decode(s, i, ok);
    if (!ok) return false;
  }
  return true;
}

char16_t FoldCase(char16_t c) {
  if (c >= u'a' && c <= u'z') return static_cast<char16_t>(c - 32);
  if (c < 0x80) return c;
  if ((c >= 0xE0 && c <= 0xFE && c != 0xF7)) return static_cast<char16_t>(c - 32);  // Latin-1
  if (c == 0xFF) return 0x178;
  if (c >= 0x100 && c <= 0x17F && c != 0x130 && c != 0x131 && c != 0x138 && c != 0x149 && c != 0x17F) {
    // Latin Extended-A pairs: even upper, odd lower (with the 0x139..0x148 and 0x179..0x17E runs shifted).
    bool shifted = (c >= 0x139 && c <= 0x148) || (c >= 0x179 && c <= 0x17E);
    if (shifted ? (c % 2 == 0) : (c % 2 == 1)) return static_cast<char16_t>(c - 1);
    return c;
  }
  if (c >= 0x3B1 && c <= 0x3C9 && c != 0x3C2) return static_cast<char16_t>(c - 32);  // Greek
  if (c >= 0x430 && c <= 0x44F) return static_cast<char16_t>(c - 32);                // Cyrillic
  if (c >= 0x450 && c <= 0x45F) return static_cast<char16_t>(c - 80);
  if (c >= 0xFF41 && c <= 0xFF5A) return static_cast<char16_t>(c - 32);  // full-width Latin
  return c;
}

int CompareNoCase(u16view a, u16view b) {
  std::size_t n = a.size() < b.size() ? a.size() : b.size();
  for (std::size_t i = 0; i < n; ++i) {
    char16_t x = FoldCase(a[i]), y = FoldCase(b[i]);
    if (x != y) return x < y ? -1 : 1;
  }
  if (a.size() == b.size()) return 0;
  return a.size() < b.size() ? -1 : 1;
}

u16 ToUpper(u16view s) {
  u16 out(s);
  for (auto& c : out) c = FoldCase(c);
  return out;
}

}  // namespace qel
