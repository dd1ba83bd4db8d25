// RegKey: what Open, Close, QueryValue and SetValue hand back, and what they
// leave held, against a private registry store.
#include "RegKey.h"

#include <gtest/gtest.h>

#include "qel/fault.h"
#include "testsupport.h"

namespace {

class RegKeyTest : public ::testing::Test {
 protected:
  void SetUp() override {
    qel::fault::Reset();
    HKEY hKey = nullptr;
    ASSERT_EQ(RegCreateKeyExW(HKEY_CLASSES_ROOT, TEXT("SoftWare\\RegKeyTest\\Sub"), 0, nullptr, 0, KEY_ALL_ACCESS,
                              nullptr, &hKey, nullptr),
              ERROR_SUCCESS);
    RegCloseKey(hKey);
  }
  void TearDown() override { qel::fault::Reset(); }

  qel::test::ScopedStateDir m_state;
};

TEST_F(RegKeyTest, FailedOpenKeepsTheHeldKey) {
  RegKey key;
  ASSERT_EQ(key.Open(HKEY_CLASSES_ROOT, TEXT("SoftWare\\RegKeyTest"), KEY_READ), ERROR_SUCCESS);
  HKEY held = key.m_hKey;
  ASSERT_NE(held, nullptr);
  EXPECT_EQ(key.Open(HKEY_CLASSES_ROOT, TEXT("SoftWare\\NoSuchKey"), KEY_READ), ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(key.m_hKey, held);
  // The held key still works.
  RegKey sub;
  EXPECT_EQ(sub.Open(key, TEXT("Sub"), KEY_READ), ERROR_SUCCESS);
}

TEST_F(RegKeyTest, OpenOverAHeldKeyGivesTheCodeOfItsClose) {
  RegKey key;
  EXPECT_EQ(key.Close(), ERROR_SUCCESS) << "nothing held";
  ASSERT_EQ(key.Open(HKEY_CLASSES_ROOT, TEXT("SoftWare\\RegKeyTest"), KEY_READ), ERROR_SUCCESS);
  qel::fault::Arm("RegCloseKey", ERROR_INVALID_HANDLE);
  EXPECT_EQ(key.Open(HKEY_CLASSES_ROOT, TEXT("SoftWare\\RegKeyTest\\Sub"), KEY_READ), ERROR_INVALID_HANDLE);
  // The new handle is taken in any case.
  ASSERT_NE(key.m_hKey, nullptr);
  DWORD cSubKeys = 99;
  EXPECT_EQ(RegQueryInfoKeyW(key, nullptr, nullptr, nullptr, &cSubKeys, nullptr, nullptr, nullptr, nullptr, nullptr,
                             nullptr, nullptr),
            ERROR_SUCCESS);
  EXPECT_EQ(cSubKeys, 0u);
  EXPECT_EQ(key.Close(), ERROR_SUCCESS);
  EXPECT_EQ(key.m_hKey, nullptr);
}

TEST_F(RegKeyTest, SetValueStoresTheTerminatorAndQueryValueReportsSizes) {
  RegKey key;
  ASSERT_EQ(key.Open(HKEY_CLASSES_ROOT, TEXT("SoftWare\\RegKeyTest"), KEY_ALL_ACCESS), ERROR_SUCCESS);
  ASSERT_EQ(key.SetValue(TEXT("QelUPnP"), TEXT("LocalService")), ERROR_SUCCESS);
  ASSERT_EQ(key.SetValue(TEXT(""), TEXT("Empty")), ERROR_SUCCESS);

  DWORD dwType = 0, cb = 0;
  ASSERT_EQ(RegQueryValueExW(key, TEXT("LocalService"), nullptr, &dwType, nullptr, &cb), ERROR_SUCCESS);
  EXPECT_EQ(dwType, static_cast<DWORD>(REG_SZ));
  EXPECT_EQ(cb, 16u);
  ASSERT_EQ(RegQueryValueExW(key, TEXT("Empty"), nullptr, &dwType, nullptr, &cb), ERROR_SUCCESS);
  EXPECT_EQ(cb, 2u);

  WCHAR sz[8] = {};
  cb = sizeof(sz);
  EXPECT_EQ(key.QueryValue(sz, TEXT("LocalService"), &cb), ERROR_SUCCESS);
  EXPECT_EQ(cb, 16u);
  EXPECT_EQ(std::u16string(sz), u"QelUPnP");

  // Too small a capacity: ERROR_MORE_DATA with the size needed.
  WCHAR small[4] = {};
  cb = sizeof(small);
  EXPECT_EQ(key.QueryValue(small, TEXT("LocalService"), &cb), ERROR_MORE_DATA);
  EXPECT_EQ(cb, 16u);

  cb = sizeof(sz);
  EXPECT_EQ(key.QueryValue(sz, TEXT("Missing"), &cb), ERROR_FILE_NOT_FOUND);
}

TEST_F(RegKeyTest, SetValueThroughAReadOnlyKeyIsDenied) {
  RegKey key;
  ASSERT_EQ(key.Open(HKEY_CLASSES_ROOT, TEXT("SoftWare\\RegKeyTest"), KEY_READ), ERROR_SUCCESS);
  EXPECT_EQ(key.SetValue(TEXT("x"), TEXT("v")), ERROR_ACCESS_DENIED);
}

TEST_F(RegKeyTest, DestructionClosesTheKey) {
  {
    RegKey key;
    ASSERT_EQ(key.Open(HKEY_CLASSES_ROOT, TEXT("SoftWare\\RegKeyTest"), KEY_READ), ERROR_SUCCESS);
    qel::fault::Reset();
  }
  EXPECT_EQ(qel::fault::Calls("RegCloseKey"), 1);
}

}  // namespace
