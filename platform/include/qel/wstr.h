// UTF-16 <-> UTF-8 conversions and small wide-string helpers for the platform layer.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace qel {

using u16 = std::u16string;
using u16view = std::u16string_view;

// Length of a null-terminated UTF-16 string; 0 for null.
inline std::size_t WLen(const char16_t* s) {
  if (!s) return 0;
  std::size_t n = 0;
  while (s[n]) ++n;
  return n;
}
inline u16view WView(const char16_t* s) { return s ? u16view(s, WLen(s)) : u16view(); }

// Lone surrogates become U+FFFD.
std::string ToUtf8(u16view s);
inline std::string ToUtf8(const char16_t* s) { return ToUtf8(WView(s)); }
// Invalid UTF-8 sequences become U+FFFD.
u16 FromUtf8(std::string_view s);
// The number of UTF-16 units FromUtf8(s) gives, and the same units written to
// `out`, which has room for that many (no terminator is added); the count
// written is returned. Together they convert a large text straight into a
// buffer of its exact size.
std::size_t Utf16LengthOf(std::string_view s);
std::size_t FromUtf8Into(std::string_view s, char16_t* out);
// True when `s` is well-formed UTF-8.
bool IsValidUtf8(std::string_view s);

// Simple case folding for the Basic Latin and Latin-1 ranges and the other
// letters that Windows folds the same way (used for registry names, switches).
char16_t FoldCase(char16_t c);
int CompareNoCase(u16view a, u16view b);
inline bool EqualsNoCase(u16view a, u16view b) { return CompareNoCase(a, b) == 0; }
u16 ToUpper(u16view s);

}  // namespace qel
