// GUID text: the canonical form, its parsing, and task-memory strings.
#include <gtest/gtest.h>

#include "com_test_util.h"
#include "qel/fault.h"

namespace {

constexpr GUID kSample = {0x88D969C0, 0xF192, 0x11D4, {0xA6, 0x5F, 0x00, 0x40, 0x96, 0x32, 0x51, 0xE5}};

TEST(GuidText, StringFromGUID2IsUpperCaseWithBracesAndNeeds39) {
  OLECHAR buf[39];
  ASSERT_EQ(StringFromGUID2(kSample, buf, 39), 39);
  EXPECT_EQ(qel::u16(buf), u"{88D969C0-F192-11D4-A65F-0040963251E5}");
  OLECHAR small[38];
  small[0] = u'x';
  EXPECT_EQ(StringFromGUID2(kSample, small, 38), 0);
  EXPECT_EQ(small[0], u'x');  // nothing written into a buffer that is too small
  EXPECT_EQ(StringFromGUID2(kSample, nullptr, 39), 0);
  ASSERT_EQ(StringFromGUID2(GUID_NULL, buf, 39), 39);
  EXPECT_EQ(qel::u16(buf), u"{00000000-0000-0000-0000-000000000000}");
}

TEST(GuidText, CLSIDFromStringParsesAnyCaseAndRoundTrips) {
  CLSID c{};
  ASSERT_EQ(CLSIDFromString(u"{88d969c0-f192-11d4-a65f-0040963251e5}", &c), S_OK);
  EXPECT_TRUE(c == kSample);
  LPOLESTR text = nullptr;
  ASSERT_EQ(StringFromCLSID(c, &text), S_OK);
  EXPECT_EQ(qel::u16(text), u"{88D969C0-F192-11D4-A65F-0040963251E5}");
  CoTaskMemFree(text);
  ASSERT_EQ(StringFromIID(c, &text), S_OK);
  CoTaskMemFree(text);
}

TEST(GuidText, MalformedClassStringsAreRefused) {
  qel::test::ScopedStateDir state;
  const char16_t* bad[] = {
      u"{88D969C0-F192-11D4-A65F-0040963251E}",    // one digit short
      u"{88D969C0-F192-11D4-A65F-0040963251E55}",  // one too many
      u"{88D969C0F192-11D4-A65F-0040963251E5-}",   // dash misplaced
      u"{88D969C0-F192-11D4-A65F-0040963251EG}",   // not hex
      u"{88D969C0-F192-11D4-A65F-0040963251E5",    // no closing brace
      u"{88D969C0-F192-11D4-A65F-0040963251E5}x",  // trailing text
      u"{}",
      u"{ 88D969C0-F192-11D4-A65F-0040963251E5}",
  };
  for (const char16_t* s : bad) {
    CLSID c = kSample;
    EXPECT_EQ(CLSIDFromString(s, &c), CO_E_CLASSSTRING) << qel::ToUtf8(s);
    EXPECT_TRUE(c == CLSID_NULL) << qel::ToUtf8(s);
    IID i{};
    EXPECT_EQ(IIDFromString(s, &i), E_INVALIDARG) << qel::ToUtf8(s);
  }
  CLSID c{};
  // Not braced: read as a ProgID, and nothing is registered under these names.
  EXPECT_EQ(CLSIDFromString(u"", &c), CO_E_CLASSSTRING);
  EXPECT_EQ(CLSIDFromString(u"88D969C0-F192-11D4-A65F-0040963251E5", &c), CO_E_CLASSSTRING);
  EXPECT_EQ(CLSIDFromString(u"{88D969C0-F192-11D4-A65F-0040963251E5}", nullptr), E_INVALIDARG);
  // A null string is the null class, as on Windows.
  c = kSample;
  EXPECT_EQ(CLSIDFromString(nullptr, &c), S_OK);
  EXPECT_TRUE(c == CLSID_NULL);
}

TEST(GuidText, TaskStringsFailCleanlyWhenMemoryRunsOut) {
  qel::fault::Arm("CoTaskMemAlloc", 0);
  LPOLESTR text = reinterpret_cast<LPOLESTR>(0x1);
  EXPECT_EQ(StringFromCLSID(kSample, &text), E_OUTOFMEMORY);
  EXPECT_EQ(text, nullptr);
  qel::fault::Reset();
}

TEST(TaskMemory, AllocReallocFree) {
  auto* p = static_cast<char*>(CoTaskMemAlloc(4));
  ASSERT_NE(p, nullptr);
  p[0] = 'a';
  p[3] = 'd';
  p = static_cast<char*>(CoTaskMemRealloc(p, 4096));
  ASSERT_NE(p, nullptr);
  EXPECT_EQ(p[0], 'a');
  EXPECT_EQ(p[3], 'd');
  EXPECT_EQ(CoTaskMemRealloc(p, 0), nullptr);  // frees
  void* z = CoTaskMemAlloc(0);
  EXPECT_NE(z, nullptr);
  CoTaskMemFree(z);
  CoTaskMemFree(nullptr);
}

}  // namespace
