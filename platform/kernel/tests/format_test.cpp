#include <gtest/gtest.h>

#include <cerrno>
#include <string>

#include "qel/kernel.h"
#include "qel/wstr.h"

namespace {

std::u16string F(const WCHAR* fmt, ...) {
  WCHAR buf[512];
  va_list ap;
  va_start(ap, fmt);
  int n = vswprintf_s(buf, 512, fmt, ap);
  va_end(ap);
  EXPECT_GE(n, 0);
  return n >= 0 ? std::u16string(buf, static_cast<size_t>(n)) : std::u16string(u"<error>");
}

TEST(WideFormat, StringsFollowMicrosoftConventions) {
  EXPECT_EQ(F(TEXT("%s|%ls|%ws"), TEXT("wide"), TEXT("also"), TEXT("too")), u"wide|also|too");
  EXPECT_EQ(F(TEXT("%hs|%S"), "narrow", "caps"), u"narrow|caps");
  EXPECT_EQ(F(TEXT("%hs"), "\xC3\xA9t\xC3\xA9"), u"\u00e9t\u00e9");
  EXPECT_EQ(F(TEXT("%s|%hs"), static_cast<const WCHAR*>(nullptr), static_cast<const char*>(nullptr)),
            u"(null)|(null)");
  EXPECT_EQ(F(TEXT("[%-6s][%6s][%.2s][%*.*s]"), TEXT("ab"), TEXT("ab"), TEXT("abc"), 4, 1, TEXT("xyz")),
            u"[ab    ][    ab][ab][   x]");
  EXPECT_EQ(F(TEXT("%c%lc%hc%C"), u'W', u'\u00e9', 'n', 'C'), u"W\u00e9nC");
  EXPECT_EQ(F(TEXT("100%%")), u"100%");
}

TEST(WideFormat, IntegersWithFlagsWidthsAndLengths) {
  EXPECT_EQ(F(TEXT("%04d/%02d/%02d %02d:%02d:%02d.%04d\t"), 2004, 7, 15, 9, 5, 3, 42), u"2004/07/15 09:05:03.0042\t");
  EXPECT_EQ(F(TEXT("%d %i %u"), -5, 7, 4000000000u), u"-5 7 4000000000");
  EXPECT_EQ(F(TEXT("%x %X %#x %#X %o %#o"), 255u, 255u, 255u, 0u, 8u, 8u), u"ff FF 0xff 0 10 010");
  EXPECT_EQ(F(TEXT("[%+d][% d][%-5d][%05d][%5.3d][%.0d]"), 3, 3, 3, -3, 7, 0), u"[+3][ 3][3    ][-0003][  007][]");
  EXPECT_EQ(F(TEXT("%*d|%-*d"), 4, 1, 3, 2), u"   1|2  ");
  EXPECT_EQ(F(TEXT("%*d"), -3, 1), u"1  ");  // negative width is left alignment
  // 'l' is a 32-bit LONG as on Windows; I64, ll and z are 64 bits.
  EXPECT_EQ(F(TEXT("%ld %lu %lx"), static_cast<LONG>(-1), static_cast<DWORD>(0xFFFFFFFF), static_cast<DWORD>(0x80070002)),
            u"-1 4294967295 80070002");
  EXPECT_EQ(F(TEXT("%I64d %lld %llu %zu %I64X"), static_cast<long long>(-9000000000LL), 9000000000LL,
              18446744073709551615ULL, static_cast<size_t>(12), 0x1234567890ULL),
            u"-9000000000 9000000000 18446744073709551615 12 1234567890");
  EXPECT_EQ(F(TEXT("%hd %hu %hhd"), 70000, 70000, 300), u"4464 4464 44");
  EXPECT_EQ(F(TEXT("%d"), -2147483647 - 1), u"-2147483648");
}

TEST(WideFormat, PointersFloatsAndUnknownConversions) {
  EXPECT_EQ(F(TEXT("%p"), reinterpret_cast<void*>(0x12FF7C)), u"000000000012FF7C");
  EXPECT_EQ(F(TEXT("%.2f %e %g %5.1f"), 3.14159, 1234.5, 0.0001, -2.25), u"3.14 1.234500e+03 0.0001  -2.2");
  EXPECT_EQ(F(TEXT("%q|%")), u"%q|%");
  int count = 0;
  EXPECT_EQ(F(TEXT("ab%ncd"), &count), u"abcd");
  EXPECT_EQ(count, 0);  // %n never writes
}

TEST(WideFormat, SecureFormsRefuseWhatDoesNotFitAndNeverOverrun) {
  struct {
    WCHAR buf[8];
    WCHAR guard[4];
  } b;
  for (auto& c : b.guard) c = u'#';
  EXPECT_EQ(swprintf_s(b.buf, 8, TEXT("%s"), TEXT("1234567")), 7);
  EXPECT_EQ(std::u16string(b.buf), u"1234567");
  errno = 0;
  EXPECT_EQ(swprintf_s(b.buf, 8, TEXT("%s"), TEXT("12345678")), -1);
  EXPECT_EQ(errno, ERANGE);
  EXPECT_EQ(b.buf[0], 0);
  EXPECT_EQ(swprintf_s(b.buf, 8, TEXT("%1000d"), 5), -1);
  EXPECT_EQ(b.guard[0], u'#');
  EXPECT_EQ(swprintf_s(nullptr, 8, TEXT("x")), -1);
  EXPECT_EQ(swprintf_s(b.buf, 0, TEXT("x")), -1);
  EXPECT_EQ(b.guard[0], u'#');
}

TEST(WideFormat, TruncatingFormCutsTerminatesAndSaysSo) {
  WCHAR buf[256];
  std::u16string longText(300, u'x');
  EXPECT_EQ(_snwprintf_s(buf, 256, _TRUNCATE, TEXT("%s"), longText.c_str()), -1);
  EXPECT_EQ(qel::WLen(buf), 255u);
  EXPECT_EQ(_snwprintf_s(buf, 256, _TRUNCATE, TEXT("%s"), TEXT("short")), 5);
  EXPECT_EQ(std::u16string(buf), u"short");
  // A count below the buffer size limits the output to count characters.
  EXPECT_EQ(_snwprintf_s(buf, 256, 3, TEXT("abcdef")), -1);
  EXPECT_EQ(std::u16string(buf), u"abc");
  EXPECT_EQ(_snwprintf_s(buf, 256, 6, TEXT("abcdef")), 6);
  // A count that does not truncate but exceeds the buffer is an error.
  WCHAR four[4];
  EXPECT_EQ(_snwprintf_s(four, 4, 10, TEXT("abcdef")), -1);
  EXPECT_EQ(four[0], 0);
  EXPECT_EQ(_snwprintf_s(four, 1, _TRUNCATE, TEXT("abc")), -1);
  EXPECT_EQ(four[0], 0);
}

TEST(WideFormat, UserFormatterStopsAt1024Characters) {
  struct {
    WCHAR buf[1024];
    WCHAR guard[4];
  } b;
  for (auto& c : b.guard) c = u'#';
  std::u16string big(2000, u'y');
  EXPECT_EQ(wsprintfW(b.buf, TEXT("%s"), big.c_str()), 1023);
  EXPECT_EQ(b.buf[1023], 0);
  EXPECT_EQ(b.guard[0], u'#');
  EXPECT_EQ(wsprintfW(b.buf, TEXT("id=%d %s"), 7, TEXT("x")), 6);
  EXPECT_EQ(std::u16string(b.buf), u"id=7 x");
}

}  // namespace
