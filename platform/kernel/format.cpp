// The wide formatter with Microsoft's conventions for the wide functions:
// %s and %ls are wide strings, %hs and %S narrow ones, %c a wide character,
// 'l' is 32 bits (a LONG), I64/ll 64 bits, I and z pointer-sized. The output
// never goes past the caller's buffer; the formatter counts what it would have
// written so the callers can tell a cut.
#include <cerrno>
#include <climits>
#include <cstdarg>
#include <cstdio>
#include <cstring>

#include "internal.h"
#include "qel/fault.h"

namespace {

class Sink {
 public:
  // `cap` characters may be stored (the terminator not counted).
  Sink(WCHAR* buf, std::size_t cap) : m_buf(buf), m_cap(cap) {}
  void Put(char16_t c) {
    if (m_len < m_cap) m_buf[m_len++] = c;
    ++m_total;
  }
  void Put(const char16_t* s, std::size_t n) {
    if (n == 0) return;
    std::size_t room = m_cap - m_len;
    std::size_t k = n < room ? n : room;
    if (k) std::memcpy(m_buf + m_len, s, k * sizeof(char16_t));
    m_len += k;
    m_total += n;
  }
  void Repeat(char16_t c, std::size_t n) {
    for (std::size_t i = 0; i < n; ++i) Put(c);
  }
  void Terminate() { m_buf[m_len] = 0; }
  std::size_t length() const { return m_len; }
  std::size_t total() const { return m_total; }
  bool cut() const { return m_total > m_len; }

 private:
  WCHAR* m_buf;
  std::size_t m_cap;
  std::size_t m_len = 0;
  std::size_t m_total = 0;
};

struct Spec {
  bool left = false, plus = false, space = false, zero = false, alt = false;
  int width = 0;
  int precision = -1;
  enum Length { None, HH, H, L, LL, Size, Max, Ptrdiff, LongDouble } length = None;
  bool wideForced = false;  // 'l' or 'w' on s/c
  bool narrowForced = false;  // 'h' on s/c
};

// Pads `body` (with an optional sign/prefix before it) to the field width.
void Emit(Sink& out, const Spec& sp, const char16_t* prefix, std::size_t prefixLen, const char16_t* body,
          std::size_t bodyLen, bool zeroPadAllowed) {
  std::size_t used = prefixLen + bodyLen;
  std::size_t pad = sp.width > 0 && static_cast<std::size_t>(sp.width) > used ? sp.width - used : 0;
  if (sp.left) {
    out.Put(prefix, prefixLen);
    out.Put(body, bodyLen);
    out.Repeat(u' ', pad);
  } else if (sp.zero && zeroPadAllowed) {
    out.Put(prefix, prefixLen);
    out.Repeat(u'0', pad);
    out.Put(body, bodyLen);
  } else {
    out.Repeat(u' ', pad);
    out.Put(prefix, prefixLen);
    out.Put(body, bodyLen);
  }
}

void FormatInteger(Sink& out, const Spec& sp, unsigned long long mag, bool negative, char conv) {
  char16_t digits[72];
  std::size_t n = 0;
  unsigned base = conv == 'o' ? 8 : (conv == 'x' || conv == 'X' || conv == 'p') ? 16 : 10;
  const char* set = conv == 'x' ? "0123456789abcdef" : "0123456789ABCDEF";
  char16_t tmp[72];
  std::size_t t = 0;
  for (unsigned long long v = mag; v; v /= base) tmp[t++] = static_cast<char16_t>(set[v % base]);
  int minDigits = sp.precision >= 0 ? sp.precision : 1;
  if (minDigits > 64) minDigits = 64;
  // Octal with '#' shows a leading zero.
  if (conv == 'o' && sp.alt && (t == 0 || static_cast<int>(t) >= minDigits)) minDigits = static_cast<int>(t) + 1;
  while (static_cast<int>(t) < minDigits) tmp[t++] = u'0';
  while (t) digits[n++] = tmp[--t];

  char16_t prefix[3];
  std::size_t pn = 0;
  if (conv == 'd' || conv == 'i') {
    if (negative)
      prefix[pn++] = u'-';
    else if (sp.plus)
      prefix[pn++] = u'+';
    else if (sp.space)
      prefix[pn++] = u' ';
  } else if ((conv == 'x' || conv == 'X') && sp.alt && mag != 0) {
    prefix[pn++] = u'0';
    prefix[pn++] = conv == 'x' ? u'x' : u'X';
  }
  Emit(out, sp, prefix, pn, digits, n, sp.precision < 0);
}

void FormatWideString(Sink& out, const Spec& sp, const char16_t* s) {
  static const char16_t kNull[] = u"(null)";
  if (!s) s = kNull;
  std::size_t n = 0;
  if (sp.precision >= 0) {
    while (n < static_cast<std::size_t>(sp.precision) && s[n]) ++n;
  } else {
    n = qel::WLen(s);
  }
  Emit(out, sp, nullptr, 0, s, n, true);
}

void FormatNarrowString(Sink& out, const Spec& sp, const char* s) {
  if (!s) return FormatWideString(out, sp, nullptr);
  std::size_t n = 0;
  if (sp.precision >= 0) {
    while (n < static_cast<std::size_t>(sp.precision) && s[n]) ++n;
  } else {
    n = std::strlen(s);
  }
  qel::u16 wide;
  if (!qel::kernel::DecodeBytes(std::string_view(s, n), qel::kernel::CurrentCodeset(), false, &wide))
    wide = qel::FromUtf8(std::string_view(s, n));
  Spec whole = sp;
  whole.precision = -1;
  Emit(out, whole, nullptr, 0, wide.data(), wide.size(), true);
}

void FormatFloat(Sink& out, const Spec& sp, char conv, va_list& ap) {
  char fmt[32];
  std::size_t k = 0;
  fmt[k++] = '%';
  if (sp.left) fmt[k++] = '-';
  if (sp.plus) fmt[k++] = '+';
  if (sp.space) fmt[k++] = ' ';
  if (sp.zero) fmt[k++] = '0';
  if (sp.alt) fmt[k++] = '#';
  fmt[k++] = '*';
  fmt[k++] = '.';
  fmt[k++] = '*';
  if (sp.length == Spec::LongDouble) fmt[k++] = 'L';
  fmt[k++] = conv;
  fmt[k] = 0;
  char small[128];
  int width = sp.width;
  int precision = sp.precision;
  if (precision > 300) precision = 300;
  int len;
  std::string big;
  if (sp.length == Spec::LongDouble) {
    long double v = va_arg(ap, long double);
    len = std::snprintf(small, sizeof small, fmt, width, precision, v);
    if (len >= static_cast<int>(sizeof small)) {
      big.resize(static_cast<std::size_t>(len) + 1);
      std::snprintf(big.data(), big.size(), fmt, width, precision, v);
    }
  } else {
    double v = va_arg(ap, double);
    len = std::snprintf(small, sizeof small, fmt, width, precision, v);
    if (len >= static_cast<int>(sizeof small)) {
      big.resize(static_cast<std::size_t>(len) + 1);
      std::snprintf(big.data(), big.size(), fmt, width, precision, v);
    }
  }
  if (len < 0) return;
  const char* text = big.empty() ? small : big.c_str();
  for (int i = 0; i < len; ++i) out.Put(static_cast<char16_t>(static_cast<unsigned char>(text[i])));
}

long long SignedArg(const Spec& sp, va_list& ap) {
  switch (sp.length) {
    case Spec::HH: return static_cast<signed char>(va_arg(ap, int));
    case Spec::H: return static_cast<short>(va_arg(ap, int));
    case Spec::LL: return va_arg(ap, long long);
    case Spec::Size: return static_cast<long long>(va_arg(ap, std::ptrdiff_t));
    case Spec::Max: return static_cast<long long>(va_arg(ap, intmax_t));
    case Spec::Ptrdiff: return static_cast<long long>(va_arg(ap, std::ptrdiff_t));
    default: return va_arg(ap, int);  // 'l' is a 32-bit LONG
  }
}

unsigned long long UnsignedArg(const Spec& sp, va_list& ap) {
  switch (sp.length) {
    case Spec::HH: return static_cast<unsigned char>(va_arg(ap, unsigned));
    case Spec::H: return static_cast<unsigned short>(va_arg(ap, unsigned));
    case Spec::LL: return va_arg(ap, unsigned long long);
    case Spec::Size: return va_arg(ap, std::size_t);
    case Spec::Max: return static_cast<unsigned long long>(va_arg(ap, uintmax_t));
    case Spec::Ptrdiff: return static_cast<unsigned long long>(va_arg(ap, std::ptrdiff_t));
    default: return va_arg(ap, unsigned);
  }
}

int ReadNumber(const WCHAR*& p) {
  long long v = 0;
  while (*p >= u'0' && *p <= u'9') {
    v = v * 10 + (*p - u'0');
    if (v > INT_MAX / 2) v = INT_MAX / 2;  // a width this large only ever fills the buffer
    ++p;
  }
  return static_cast<int>(v);
}

void Format(Sink& out, const WCHAR* fmt, va_list& ap) {
  const WCHAR* p = fmt;
  while (*p) {
    if (*p != u'%') {
      const WCHAR* run = p;
      while (*p && *p != u'%') ++p;
      out.Put(run, static_cast<std::size_t>(p - run));
      continue;
    }
    const WCHAR* start = p++;
    if (*p == u'%') {
      out.Put(u'%');
      ++p;
      continue;
    }
    Spec sp;
    for (;; ++p) {
      if (*p == u'-') sp.left = true;
      else if (*p == u'+') sp.plus = true;
      else if (*p == u' ') sp.space = true;
      else if (*p == u'0') sp.zero = true;
      else if (*p == u'#') sp.alt = true;
      else break;
    }
    if (*p == u'*') {
      int w = va_arg(ap, int);
      if (w < 0) {
        sp.left = true;
        w = w == INT_MIN ? INT_MAX / 2 : -w;
      }
      sp.width = w > INT_MAX / 2 ? INT_MAX / 2 : w;
      ++p;
    } else {
      sp.width = ReadNumber(p);
    }
    if (*p == u'.') {
      ++p;
      if (*p == u'*') {
        int pr = va_arg(ap, int);
        sp.precision = pr < 0 ? -1 : (pr > INT_MAX / 2 ? INT_MAX / 2 : pr);
        ++p;
      } else {
        sp.precision = ReadNumber(p);
      }
    }
    switch (*p) {
      case u'h':
        ++p;
        sp.narrowForced = true;
        if (*p == u'h') {
          ++p;
          sp.length = Spec::HH;
        } else {
          sp.length = Spec::H;
        }
        break;
      case u'l':
        ++p;
        sp.wideForced = true;
        if (*p == u'l') {
          ++p;
          sp.length = Spec::LL;
        } else {
          sp.length = Spec::L;
        }
        break;
      case u'w':
        ++p;
        sp.wideForced = true;
        break;
      case u'L':
        ++p;
        sp.length = Spec::LongDouble;
        break;
      case u'z':
        ++p;
        sp.length = Spec::Size;
        break;
      case u'j':
        ++p;
        sp.length = Spec::Max;
        break;
      case u't':
        ++p;
        sp.length = Spec::Ptrdiff;
        break;
      case u'I':
        if (p[1] == u'6' && p[2] == u'4') {
          p += 3;
          sp.length = Spec::LL;
        } else if (p[1] == u'3' && p[2] == u'2') {
          p += 3;
          sp.length = Spec::None;
        } else {
          ++p;
          sp.length = Spec::Size;
        }
        break;
      default: break;
    }
    WCHAR conv = *p;
    if (!conv) {
      out.Put(start, static_cast<std::size_t>(p - start));
      break;
    }
    ++p;
    switch (conv) {
      case u'd':
      case u'i': {
        long long v = SignedArg(sp, ap);
        unsigned long long mag = v < 0 ? 0ull - static_cast<unsigned long long>(v) : static_cast<unsigned long long>(v);
        FormatInteger(out, sp, mag, v < 0, 'd');
        break;
      }
      case u'u':
      case u'x':
      case u'X':
      case u'o':
        FormatInteger(out, sp, UnsignedArg(sp, ap), false, static_cast<char>(conv));
        break;
      case u'p': {
        Spec ps = sp;
        ps.precision = static_cast<int>(sizeof(void*) * 2);
        ps.alt = false;
        FormatInteger(out, ps, reinterpret_cast<std::uintptr_t>(va_arg(ap, void*)), false, 'X');
        break;
      }
      case u'c':
      case u'C': {
        int v = va_arg(ap, int);
        char16_t ch;
        bool narrow = conv == u'C' ? !sp.wideForced : sp.narrowForced;
        if (narrow) {
          char b = static_cast<char>(v);
          qel::u16 w;
          if (static_cast<unsigned char>(b) < 0x80 ||
              !qel::kernel::DecodeBytes(std::string_view(&b, 1), qel::kernel::CurrentCodeset(), false, &w) ||
              w.empty())
            ch = static_cast<char16_t>(static_cast<unsigned char>(b));
          else
            ch = w[0];
        } else {
          ch = static_cast<char16_t>(v);
        }
        Spec cs = sp;
        cs.precision = -1;
        Emit(out, cs, nullptr, 0, &ch, 1, true);
        break;
      }
      case u's':
      case u'S': {
        bool narrow = conv == u'S' ? !sp.wideForced : sp.narrowForced;
        if (narrow)
          FormatNarrowString(out, sp, va_arg(ap, const char*));
        else
          FormatWideString(out, sp, va_arg(ap, const char16_t*));
        break;
      }
      case u'e':
      case u'E':
      case u'f':
      case u'F':
      case u'g':
      case u'G':
      case u'a':
      case u'A':
        FormatFloat(out, sp, static_cast<char>(conv), ap);
        break;
      case u'n':
        // Writing a count through a pointer is disabled, as in Microsoft's runtime.
        (void)va_arg(ap, void*);
        break;
      default:
        // Not a conversion: the text stands as written.
        out.Put(start, static_cast<std::size_t>(p - start));
        break;
    }
  }
}

}  // namespace

extern "C" int _vsnwprintf_s(WCHAR* buffer, size_t sizeOfBuffer, size_t count, const WCHAR* format, va_list argptr) {
  QEL_FAULT_POINT("_vsnwprintf_s", c) {
    if (buffer && sizeOfBuffer) buffer[0] = 0;
    errno = static_cast<int>(c);
    return -1;
  }
  if (!buffer || sizeOfBuffer == 0 || !format) {
    if (buffer && sizeOfBuffer) buffer[0] = 0;
    errno = EINVAL;
    return -1;
  }
  bool truncate = count == _TRUNCATE || count < sizeOfBuffer;
  std::size_t cap = count == _TRUNCATE ? sizeOfBuffer - 1 : (count < sizeOfBuffer ? count : sizeOfBuffer - 1);
  Sink out(buffer, cap);
  va_list ap;
  va_copy(ap, argptr);
  Format(out, format, ap);
  va_end(ap);
  out.Terminate();
  if (out.cut()) {
    if (!truncate) {
      buffer[0] = 0;
      errno = ERANGE;
      return -1;
    }
    return -1;
  }
  return static_cast<int>(out.length());
}

extern "C" int _snwprintf_s(WCHAR* buffer, size_t sizeOfBuffer, size_t count, const WCHAR* format, ...) {
  va_list ap;
  va_start(ap, format);
  int r = _vsnwprintf_s(buffer, sizeOfBuffer, count, format, ap);
  va_end(ap);
  return r;
}

extern "C" int vswprintf_s(WCHAR* buffer, size_t sizeOfBuffer, const WCHAR* format, va_list argptr) {
  QEL_FAULT_POINT("vswprintf_s", c) {
    if (buffer && sizeOfBuffer) buffer[0] = 0;
    errno = static_cast<int>(c);
    return -1;
  }
  if (!buffer || sizeOfBuffer == 0 || !format) {
    if (buffer && sizeOfBuffer) buffer[0] = 0;
    errno = EINVAL;
    return -1;
  }
  Sink out(buffer, sizeOfBuffer - 1);
  va_list ap;
  va_copy(ap, argptr);
  Format(out, format, ap);
  va_end(ap);
  if (out.cut()) {
    buffer[0] = 0;
    errno = ERANGE;
    return -1;
  }
  out.Terminate();
  return static_cast<int>(out.length());
}

extern "C" int swprintf_s(WCHAR* buffer, size_t sizeOfBuffer, const WCHAR* format, ...) {
  va_list ap;
  va_start(ap, format);
  int r = vswprintf_s(buffer, sizeOfBuffer, format, ap);
  va_end(ap);
  return r;
}

extern "C" int WINAPI wvsprintfW(LPWSTR lpOut, LPCWSTR lpFmt, va_list arglist) {
  QEL_FAULT_POINT("wvsprintfW", c) {
    SetLastError(static_cast<DWORD>(c));
    return -1;
  }
  if (!lpOut || !lpFmt) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return -1;
  }
  constexpr std::size_t kLimit = 1024;  // characters, terminator included
  Sink out(lpOut, kLimit - 1);
  va_list ap;
  va_copy(ap, arglist);
  Format(out, lpFmt, ap);
  va_end(ap);
  out.Terminate();
  return static_cast<int>(out.length());
}

extern "C" int WINAPIV wsprintfW(LPWSTR lpOut, LPCWSTR lpFmt, ...) {
  va_list ap;
  va_start(ap, lpFmt);
  int r = wvsprintfW(lpOut, lpFmt, ap);
  va_end(ap);
  return r;
}
