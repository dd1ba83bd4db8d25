// Text to number and number to text, as OLE Automation converts them.
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <limits>

#include "numconv.h"
#include "qel/fault.h"

namespace qel::com {
namespace {

bool IsBlank(char16_t c) { return c == u' ' || c == u'\t' || c == u'\n' || c == u'\r' || c == u'\v' || c == u'\f'; }
bool IsDigit(char16_t c) { return c >= u'0' && c <= u'9'; }

int DigitValue(char16_t c, int base) {
  int v = -1;
  if (c >= u'0' && c <= u'9') v = c - u'0';
  else if (c >= u'a' && c <= u'f') v = c - u'a' + 10;
  else if (c >= u'A' && c <= u'F') v = c - u'A' + 10;
  return v >= 0 && v < base ? v : -1;
}

constexpr __int128 kI4Min = std::numeric_limits<std::int32_t>::min();
constexpr __int128 kI4Max = std::numeric_limits<std::int32_t>::max();

}  // namespace

HRESULT ParseNumber(qel::u16view text, ParsedNumber* out) {
  *out = ParsedNumber();
  std::size_t b = 0, e = text.size();
  while (b < e && IsBlank(text[b])) ++b;
  while (e > b && IsBlank(text[e - 1])) --e;
  qel::u16view s = text.substr(b, e - b);
  if (s.empty()) return DISP_E_TYPEMISMATCH;

  bool negative = false;
  bool signSeen = false;
  if (s.front() == u'(' && s.size() >= 2 && s.back() == u')') {
    negative = signSeen = true;
    s = s.substr(1, s.size() - 2);
  } else if (s.front() == u'+' || s.front() == u'-') {
    negative = s.front() == u'-';
    signSeen = true;
    s.remove_prefix(1);
  } else if (s.back() == u'+' || s.back() == u'-') {
    negative = s.back() == u'-';
    signSeen = true;
    s.remove_suffix(1);
  }
  if (s.empty()) return DISP_E_TYPEMISMATCH;

  if (s.size() >= 2 && s[0] == u'&' && (s[1] == u'H' || s[1] == u'h' || s[1] == u'O' || s[1] == u'o')) {
    if (signSeen) return DISP_E_TYPEMISMATCH;
    const int base = (s[1] == u'H' || s[1] == u'h') ? 16 : 8;
    s.remove_prefix(2);
    if (s.empty()) return DISP_E_TYPEMISMATCH;
    unsigned __int128 v = 0;
    for (char16_t c : s) {
      const int d = DigitValue(c, base);
      if (d < 0) return DISP_E_TYPEMISMATCH;
      v = v * base + static_cast<unsigned>(d);
      if (v > std::numeric_limits<std::uint64_t>::max()) return DISP_E_OVERFLOW;
    }
    out->bHexOct = true;
    out->bits = static_cast<std::uint64_t>(v);
    return S_OK;
  }

  std::string digits;
  int exponent = 0;
  bool anyDigit = false;
  std::size_t i = 0;
  // Integer part, with ',' group separators between digits.
  while (i < s.size()) {
    if (IsDigit(s[i])) {
      digits += static_cast<char>(s[i]);
      anyDigit = true;
      ++i;
    } else if (s[i] == u',' && anyDigit && i + 1 < s.size() && IsDigit(s[i + 1])) {
      ++i;
    } else {
      break;
    }
  }
  if (i < s.size() && s[i] == u'.') {
    ++i;
    while (i < s.size() && IsDigit(s[i])) {
      digits += static_cast<char>(s[i]);
      --exponent;
      anyDigit = true;
      ++i;
    }
  }
  if (!anyDigit) return DISP_E_TYPEMISMATCH;
  if (i < s.size() && (s[i] == u'e' || s[i] == u'E' || s[i] == u'd' || s[i] == u'D')) {
    ++i;
    bool expNegative = false;
    if (i < s.size() && (s[i] == u'+' || s[i] == u'-')) {
      expNegative = s[i] == u'-';
      ++i;
    }
    if (i >= s.size() || !IsDigit(s[i])) return DISP_E_TYPEMISMATCH;
    long exp = 0;
    while (i < s.size() && IsDigit(s[i])) {
      if (exp < 100000) exp = exp * 10 + (s[i] - u'0');
      ++i;
    }
    exponent += static_cast<int>(expNegative ? -exp : exp);
  }
  if (i != s.size()) return DISP_E_TYPEMISMATCH;

  // Keep only significant digits: strip leading zeros and fold trailing zeros into the exponent.
  const auto first = digits.find_first_not_of('0');
  if (first == std::string::npos) {
    digits.clear();
    exponent = 0;
  } else {
    digits.erase(0, first);
    const auto last = digits.find_last_not_of('0');
    exponent += static_cast<int>(digits.size() - 1 - last);
    digits.resize(last + 1);
  }
  out->bNegative = negative && !digits.empty();
  out->digits = std::move(digits);
  out->exponent = exponent;
  return S_OK;
}

HRESULT NumberToInteger(const ParsedNumber& n, __int128 lo, __int128 hi, int widthBits, __int128* out) {
  if (n.bHexOct) {
    __int128 v = n.bits;
    if (lo < 0 && widthBits < 128) {
      const unsigned __int128 span = static_cast<unsigned __int128>(1) << widthBits;
      if (static_cast<unsigned __int128>(v) >= span) return DISP_E_OVERFLOW;
      // The bit pattern of the target's width: &HFFFFFFFF is -1 as a 32-bit signed number.
      if (v > hi) v -= static_cast<__int128>(span);
    }
    if (v < lo || v > hi) return DISP_E_OVERFLOW;
    *out = v;
    return S_OK;
  }
  const int len = static_cast<int>(n.digits.size());
  const int intDigits = len + n.exponent;  // digits before the decimal point
  if (intDigits > 38) return DISP_E_OVERFLOW;
  unsigned __int128 mag = 0;
  for (int i = 0; i < intDigits; ++i) mag = mag * 10 + (i < len ? static_cast<unsigned>(n.digits[i] - '0') : 0u);
  // Round half to even on the first dropped digit and whatever follows it.
  if (intDigits < len) {
    const int firstDropped = intDigits < 0 ? -1 : intDigits;
    if (firstDropped >= 0) {
      const int d = n.digits[firstDropped] - '0';
      const bool restNonZero = firstDropped + 1 < len;  // digits carry no trailing zeros
      if (d > 5 || (d == 5 && restNonZero) || (d == 5 && !restNonZero && (mag & 1))) ++mag;
    }
    // intDigits < 0: the value is below 0.1, which rounds to zero.
  }
  const __int128 v = n.bNegative ? -static_cast<__int128>(mag) : static_cast<__int128>(mag);
  if (v < lo || v > hi) return DISP_E_OVERFLOW;
  *out = v;
  return S_OK;
}

HRESULT NumberToDouble(const ParsedNumber& n, double* out) {
  if (n.bHexOct) {
    *out = static_cast<double>(n.bits);
    return S_OK;
  }
  if (n.digits.empty()) {
    *out = 0.0;
    return S_OK;
  }
  // "digits e exponent" has no decimal point, so the C locale's separator does not matter.
  const std::string text = (n.bNegative ? "-" : "") + n.digits + "e" + std::to_string(n.exponent);
  errno = 0;
  const double d = std::strtod(text.c_str(), nullptr);
  if (std::isinf(d)) return DISP_E_OVERFLOW;
  *out = d;
  return S_OK;
}

HRESULT DoubleToInteger(double d, __int128 lo, __int128 hi, __int128* out) {
  if (std::isnan(d)) return DISP_E_OVERFLOW;
  const double r = std::nearbyint(d);  // the default rounding mode is half to even
  if (r < -1.7e38 || r > 1.7e38) return DISP_E_OVERFLOW;
  const auto v = static_cast<__int128>(r);
  if (v < lo || v > hi) return DISP_E_OVERFLOW;
  *out = v;
  return S_OK;
}

qel::u16 FormatInteger(__int128 v) {
  const bool negative = v < 0;
  unsigned __int128 mag = negative ? -static_cast<unsigned __int128>(v) : static_cast<unsigned __int128>(v);
  qel::u16 s;
  do {
    s.insert(s.begin(), static_cast<char16_t>(u'0' + static_cast<int>(mag % 10)));
    mag /= 10;
  } while (mag);
  if (negative) s.insert(s.begin(), u'-');
  return s;
}

qel::u16 FormatReal(double d, int significantDigits) {
  if (std::isnan(d)) return u"NaN";
  if (std::isinf(d)) return d < 0 ? u"-1.#INF" : u"1.#INF";
  char buf[64];
  std::snprintf(buf, sizeof buf, "%.*G", significantDigits, d);
  // The C library prints the C locale's decimal point; the result uses '.'.
  qel::u16 s;
  for (const char* p = buf; *p; ++p) s += (*p == ',') ? u'.' : static_cast<char16_t>(*p);
  return s;
}

HRESULT MakeBstr(qel::u16view text, BSTR* out) {
  *out = SysAllocStringLen(text.data(), static_cast<UINT>(text.size()));
  return *out ? S_OK : E_OUTOFMEMORY;
}

}  // namespace qel::com

using namespace qel::com;

namespace {

template <class T>
HRESULT IntegerFromStr(LPCOLESTR strIn, T* out, __int128 lo, __int128 hi) {
  if (!strIn || !out) return E_INVALIDARG;
  ParsedNumber n;
  HRESULT hr = ParseNumber(qel::WView(strIn), &n);
  if (FAILED(hr)) return hr;
  __int128 v = 0;
  hr = NumberToInteger(n, lo, hi, static_cast<int>(sizeof(T) * 8), &v);
  if (FAILED(hr)) return hr;
  *out = static_cast<T>(v);
  return S_OK;
}

}  // namespace

extern "C" HRESULT WINAPI VarUI4FromStr(LPCOLESTR strIn, LCID lcid, ULONG dwFlags, ULONG* pulOut) {
  QEL_FAULT_POINT("VarUI4FromStr", c) return static_cast<HRESULT>(c);
  return IntegerFromStr<ULONG>(strIn, pulOut, 0, std::numeric_limits<std::uint32_t>::max());
}

extern "C" HRESULT WINAPI VarI4FromStr(LPCOLESTR strIn, LCID lcid, ULONG dwFlags, LONG* plOut) {
  QEL_FAULT_POINT("VarI4FromStr", c) return static_cast<HRESULT>(c);
  return IntegerFromStr<LONG>(strIn, plOut, kI4Min, kI4Max);
}

extern "C" HRESULT WINAPI VarI2FromStr(LPCOLESTR strIn, LCID lcid, ULONG dwFlags, SHORT* psOut) {
  QEL_FAULT_POINT("VarI2FromStr", c) return static_cast<HRESULT>(c);
  return IntegerFromStr<SHORT>(strIn, psOut, -32768, 32767);
}

extern "C" HRESULT WINAPI VarUI1FromStr(LPCOLESTR strIn, LCID lcid, ULONG dwFlags, BYTE* pbOut) {
  QEL_FAULT_POINT("VarUI1FromStr", c) return static_cast<HRESULT>(c);
  return IntegerFromStr<BYTE>(strIn, pbOut, 0, 255);
}

extern "C" HRESULT WINAPI VarR8FromStr(LPCOLESTR strIn, LCID lcid, ULONG dwFlags, DOUBLE* pdblOut) {
  QEL_FAULT_POINT("VarR8FromStr", c) return static_cast<HRESULT>(c);
  if (!strIn || !pdblOut) return E_INVALIDARG;
  ParsedNumber n;
  const HRESULT hr = ParseNumber(qel::WView(strIn), &n);
  if (FAILED(hr)) return hr;
  return NumberToDouble(n, pdblOut);
}

extern "C" HRESULT WINAPI VarBoolFromStr(LPCOLESTR strIn, LCID lcid, ULONG dwFlags, VARIANT_BOOL* pboolOut) {
  QEL_FAULT_POINT("VarBoolFromStr", c) return static_cast<HRESULT>(c);
  if (!strIn || !pboolOut) return E_INVALIDARG;
  qel::u16view text = qel::WView(strIn);
  while (!text.empty() && IsBlank(text.front())) text.remove_prefix(1);
  while (!text.empty() && IsBlank(text.back())) text.remove_suffix(1);
  if (qel::EqualsNoCase(text, u"True") || qel::EqualsNoCase(text, u"#TRUE#")) {
    *pboolOut = VARIANT_TRUE;
    return S_OK;
  }
  if (qel::EqualsNoCase(text, u"False") || qel::EqualsNoCase(text, u"#FALSE#")) {
    *pboolOut = VARIANT_FALSE;
    return S_OK;
  }
  ParsedNumber n;
  const HRESULT hr = ParseNumber(text, &n);
  if (FAILED(hr)) return hr;
  const bool nonZero = n.bHexOct ? n.bits != 0 : !n.digits.empty();
  *pboolOut = nonZero ? VARIANT_TRUE : VARIANT_FALSE;
  return S_OK;
}

extern "C" HRESULT WINAPI VarBstrFromUI4(ULONG ulIn, LCID lcid, ULONG dwFlags, BSTR* pbstrOut) {
  QEL_FAULT_POINT("VarBstrFromUI4", c) return static_cast<HRESULT>(c);
  if (!pbstrOut) return E_INVALIDARG;
  return MakeBstr(FormatInteger(ulIn), pbstrOut);
}

extern "C" HRESULT WINAPI VarBstrFromI4(LONG lIn, LCID lcid, ULONG dwFlags, BSTR* pbstrOut) {
  QEL_FAULT_POINT("VarBstrFromI4", c) return static_cast<HRESULT>(c);
  if (!pbstrOut) return E_INVALIDARG;
  return MakeBstr(FormatInteger(lIn), pbstrOut);
}

extern "C" HRESULT WINAPI VarBstrFromR8(DOUBLE dblIn, LCID lcid, ULONG dwFlags, BSTR* pbstrOut) {
  QEL_FAULT_POINT("VarBstrFromR8", c) return static_cast<HRESULT>(c);
  if (!pbstrOut) return E_INVALIDARG;
  return MakeBstr(FormatReal(dblIn, 15), pbstrOut);
}

extern "C" HRESULT WINAPI VarBstrFromBool(VARIANT_BOOL boolIn, LCID lcid, ULONG dwFlags, BSTR* pbstrOut) {
  QEL_FAULT_POINT("VarBstrFromBool", c) return static_cast<HRESULT>(c);
  if (!pbstrOut) return E_INVALIDARG;
  if (dwFlags & (VARIANT_ALPHABOOL | VARIANT_LOCALBOOL)) return MakeBstr(boolIn ? u"True" : u"False", pbstrOut);
  return MakeBstr(boolIn ? u"-1" : u"0", pbstrOut);
}
