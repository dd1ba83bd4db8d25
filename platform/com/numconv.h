// Number conversions shared by the Var*From* functions and VariantChangeType.
#pragma once

#include <cstdint>
#include <string>

#include "qel/oleaut_api.h"
#include "qel/wstr.h"

namespace qel::com {

// A number as written in text: hexadecimal/octal bits, or a signed decimal
// digits * 10^exponent with the digits kept exactly.
struct ParsedNumber {
  bool bHexOct = false;
  std::uint64_t bits = 0;  // bHexOct
  bool bNegative = false;
  std::string digits;  // significant decimal digits, no leading zeros ("" is zero)
  int exponent = 0;
};

// S_OK, DISP_E_TYPEMISMATCH (not a number) or DISP_E_OVERFLOW (hex/oct over 64 bits).
HRESULT ParseNumber(qel::u16view text, ParsedNumber* out);

// Rounds half to even and checks [lo, hi]. `widthBits` is the target's size,
// which bounds hexadecimal bit patterns for signed targets (&HFFFF is -1 as I2).
HRESULT NumberToInteger(const ParsedNumber& n, __int128 lo, __int128 hi, int widthBits, __int128* out);
HRESULT NumberToDouble(const ParsedNumber& n, double* out);

// Round half to even, then range check.
HRESULT DoubleToInteger(double d, __int128 lo, __int128 hi, __int128* out);

qel::u16 FormatInteger(__int128 v);
// 15 significant digits for doubles, 7 for floats; "1E+20" style exponents.
qel::u16 FormatReal(double d, int significantDigits);

// BSTR from text; E_OUTOFMEMORY when allocation fails.
HRESULT MakeBstr(qel::u16view text, BSTR* out);

}  // namespace qel::com
