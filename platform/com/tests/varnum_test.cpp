// VarUI4FromStr and its siblings: the documented results for text and numbers.
#include <gtest/gtest.h>

#include "com_test_util.h"
#include "oleauto.h"
#include "qel/fault.h"

namespace {

struct Ui4Case {
  const char16_t* text;
  HRESULT hr;
  ULONG value;
};

TEST(VarUI4FromStr, AcceptsNumbersAsOleAutomationWritesThem) {
  const Ui4Case cases[] = {
      {u"0", S_OK, 0},
      {u"1", S_OK, 1},
      {u"4294967295", S_OK, 4294967295u},
      {u"  17\t", S_OK, 17},       // blanks around the number
      {u"+5", S_OK, 5},
      {u"007", S_OK, 7},
      {u"1,000", S_OK, 1000},      // group separators
      {u"1.5", S_OK, 2},           // halves round to even
      {u"2.5", S_OK, 2},
      {u"2.5000001", S_OK, 3},
      {u"0.5", S_OK, 0},
      {u"-0.5", S_OK, 0},          // rounds to zero: still in range
      {u"-0.4", S_OK, 0},
      {u"4294967295.4", S_OK, 4294967295u},
      {u"1e3", S_OK, 1000},
      {u"&HFF", S_OK, 255},
      {u"&hffffffff", S_OK, 4294967295u},
      {u"&O17", S_OK, 15},
      {u"", DISP_E_TYPEMISMATCH, 0},
      {u"   ", DISP_E_TYPEMISMATCH, 0},
      {u"abc", DISP_E_TYPEMISMATCH, 0},
      {u"12ab", DISP_E_TYPEMISMATCH, 0},
      {u"1 2", DISP_E_TYPEMISMATCH, 0},
      {u"&H", DISP_E_TYPEMISMATCH, 0},
      {u"&HFG", DISP_E_TYPEMISMATCH, 0},
      {u"&O8", DISP_E_TYPEMISMATCH, 0},
      {u"1e", DISP_E_TYPEMISMATCH, 0},
      {u".", DISP_E_TYPEMISMATCH, 0},
      {u"-", DISP_E_TYPEMISMATCH, 0},
      {u"-1", DISP_E_OVERFLOW, 0},
      {u"-0.51", DISP_E_OVERFLOW, 0},
      {u"4294967296", DISP_E_OVERFLOW, 0},
      {u"4294967295.5", DISP_E_OVERFLOW, 0},  // rounds up to 4294967296
      {u"99999999999999999999999999999999999999999", DISP_E_OVERFLOW, 0},
      {u"1e300", DISP_E_OVERFLOW, 0},
      {u"&H100000000", DISP_E_OVERFLOW, 0},
      {u"&H10000000000000000", DISP_E_OVERFLOW, 0},
  };
  for (const auto& c : cases) {
    ULONG out = 0xDEADBEEF;
    EXPECT_EQ(VarUI4FromStr(c.text, 0, 0, &out), c.hr) << qel::ToUtf8(c.text);
    if (c.hr == S_OK) {
      EXPECT_EQ(out, c.value) << qel::ToUtf8(c.text);
    } else {
      EXPECT_EQ(out, 0xDEADBEEFu) << qel::ToUtf8(c.text);  // untouched on failure
    }
  }
}

TEST(VarUI4FromStr, NullPointersAreInvalidArguments) {
  ULONG out = 0;
  EXPECT_EQ(VarUI4FromStr(u"1", 0, 0, nullptr), E_INVALIDARG);
  EXPECT_EQ(VarUI4FromStr(nullptr, 0, 0, &out), E_INVALIDARG);
}

TEST(VarUI4FromStr, FaultSeamFailsTheConversion) {
  qel::fault::Arm("VarUI4FromStr", DISP_E_OVERFLOW);
  ULONG out = 0;
  EXPECT_EQ(VarUI4FromStr(u"1", 0, 0, &out), DISP_E_OVERFLOW);
  EXPECT_EQ(VarUI4FromStr(u"1", 0, 0, &out), S_OK);
  qel::fault::Reset();
}

TEST(VarFromStr, SignedTargetsTakeSignsAndBitPatterns) {
  LONG l = 0;
  EXPECT_EQ(VarI4FromStr(u"-2147483648", 0, 0, &l), S_OK);
  EXPECT_EQ(l, -2147483647 - 1);
  EXPECT_EQ(VarI4FromStr(u"2147483648", 0, 0, &l), DISP_E_OVERFLOW);
  EXPECT_EQ(VarI4FromStr(u"(12)", 0, 0, &l), S_OK);
  EXPECT_EQ(l, -12);
  EXPECT_EQ(VarI4FromStr(u"12-", 0, 0, &l), S_OK);
  EXPECT_EQ(l, -12);
  EXPECT_EQ(VarI4FromStr(u"&HFFFFFFFF", 0, 0, &l), S_OK);
  EXPECT_EQ(l, -1);
  EXPECT_EQ(VarI4FromStr(u"-3.5", 0, 0, &l), S_OK);
  EXPECT_EQ(l, -4);
  SHORT s = 0;
  EXPECT_EQ(VarI2FromStr(u"&HFFFF", 0, 0, &s), S_OK);
  EXPECT_EQ(s, -1);
  EXPECT_EQ(VarI2FromStr(u"32768", 0, 0, &s), DISP_E_OVERFLOW);
  BYTE b = 0;
  EXPECT_EQ(VarUI1FromStr(u"255", 0, 0, &b), S_OK);
  EXPECT_EQ(VarUI1FromStr(u"256", 0, 0, &b), DISP_E_OVERFLOW);
  DOUBLE d = 0;
  EXPECT_EQ(VarR8FromStr(u"-1,234.5e1", 0, 0, &d), S_OK);
  EXPECT_DOUBLE_EQ(d, -12345.0);
  EXPECT_EQ(VarR8FromStr(u"1e999", 0, 0, &d), DISP_E_OVERFLOW);
  VARIANT_BOOL vb = 0;
  EXPECT_EQ(VarBoolFromStr(u"FALSE", 0, 0, &vb), S_OK);
  EXPECT_EQ(vb, VARIANT_FALSE);
  EXPECT_EQ(VarBoolFromStr(u"-3", 0, 0, &vb), S_OK);
  EXPECT_EQ(vb, VARIANT_TRUE);
  EXPECT_EQ(VarBoolFromStr(u"yes", 0, 0, &vb), DISP_E_TYPEMISMATCH);
}

}  // namespace
