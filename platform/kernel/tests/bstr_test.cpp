#include <gtest/gtest.h>

#include <cstring>

#include "oaidl.h"
#include "qel/fault.h"
#include "qel/kernel.h"
#include "testsupport.h"

namespace {

std::uint32_t Prefix(BSTR s) {
  std::uint32_t n;
  std::memcpy(&n, reinterpret_cast<const char*>(s) - 4, 4);
  return n;
}

TEST(Bstr, CarriesByteLengthPrefixAndTerminator) {
  BSTR s = SysAllocString(TEXT("QelUPnP"));
  ASSERT_NE(s, nullptr);
  EXPECT_EQ(Prefix(s), 14u);
  EXPECT_EQ(SysStringLen(s), 7u);
  EXPECT_EQ(SysStringByteLen(s), 14u);
  EXPECT_EQ(s[7], 0);
  EXPECT_EQ(std::u16string(s), u"QelUPnP");
  SysFreeString(s);
}

TEST(Bstr, NullCountsAsEmpty) {
  EXPECT_EQ(SysStringLen(nullptr), 0u);
  EXPECT_EQ(SysStringByteLen(nullptr), 0u);
  EXPECT_EQ(SysAllocString(nullptr), nullptr);
  SysFreeString(nullptr);  // must be harmless
}

TEST(Bstr, LengthAllocationsKeepEmbeddedNullsAndZeroFillWithoutSource) {
  const WCHAR text[] = {u'a', 0, u'b'};
  BSTR s = SysAllocStringLen(text, 3);
  ASSERT_NE(s, nullptr);
  EXPECT_EQ(SysStringLen(s), 3u);
  EXPECT_EQ(s[2], u'b');
  EXPECT_EQ(s[3], 0);
  SysFreeString(s);

  BSTR blank = SysAllocStringLen(nullptr, 5);
  ASSERT_NE(blank, nullptr);
  EXPECT_EQ(SysStringLen(blank), 5u);
  for (int i = 0; i <= 5; ++i) EXPECT_EQ(blank[i], 0);
  SysFreeString(blank);

  BSTR empty = SysAllocStringLen(TEXT("x"), 0);
  ASSERT_NE(empty, nullptr);
  EXPECT_EQ(SysStringLen(empty), 0u);
  EXPECT_EQ(empty[0], 0);
  SysFreeString(empty);
}

TEST(Bstr, ByteLengthAllocationHoldsOddByteCounts) {
  BSTR s = SysAllocStringByteLen("abc", 3);
  ASSERT_NE(s, nullptr);
  EXPECT_EQ(SysStringByteLen(s), 3u);
  EXPECT_EQ(SysStringLen(s), 1u);  // whole characters only
  EXPECT_EQ(std::memcmp(s, "abc", 3), 0);
  const char* bytes = reinterpret_cast<const char*>(s);
  EXPECT_EQ(bytes[3], 0);
  EXPECT_EQ(bytes[4], 0);
  SysFreeString(s);
}

TEST(Bstr, ReallocationFromItsOwnTextAndToNull) {
  BSTR s = SysAllocString(TEXT("device-id"));
  ASSERT_TRUE(SysReAllocString(&s, s + 7));  // the source lies inside the old string
  EXPECT_EQ(std::u16string(s), u"id");
  EXPECT_EQ(SysStringLen(s), 2u);
  ASSERT_TRUE(SysReAllocString(&s, nullptr));
  EXPECT_EQ(SysStringLen(s), 0u);
  SysFreeString(s);
  EXPECT_FALSE(SysReAllocString(nullptr, TEXT("x")));
}

TEST(Bstr, RefusesLengthsBeyondTheFourBytePrefix) {
  EXPECT_EQ(SysAllocStringLen(nullptr, 0x80000000u), nullptr);
  EXPECT_EQ(SysAllocStringByteLen(nullptr, 0xFFFFFFFFu), nullptr);
}

TEST(Bstr, FaultSeamFailsAllocationAndKeepsTheOldString) {
  qel::test::ScopedStateDir state;
  qel::fault::Arm("SysAllocString", 1);
  EXPECT_EQ(SysAllocString(TEXT("x")), nullptr);
  BSTR s = SysAllocString(TEXT("kept"));
  ASSERT_NE(s, nullptr);
  qel::fault::Arm("SysAllocString", 1);
  EXPECT_FALSE(SysReAllocString(&s, TEXT("new")));
  EXPECT_EQ(std::u16string(s), u"kept");
  SysFreeString(s);
}

}  // namespace
