// ReadRegInfo against a private registry store: results, fields, value types
// and lengths around the buffer limits, and the failure rows through the seam.
#include "QelUPnP.h"

#include <gtest/gtest.h>

#include <string>

#include "qel/fault.h"
#include "testsupport.h"

namespace {

const WCHAR kSettingsKey[] = TEXT("SoftWare\\QelUPnP");
const WCHAR kDeviceKey[] = TEXT("SoftWare\\Varn2\\QelUPnP");

class ReadRegInfoTest : public ::testing::Test {
 protected:
  void SetUp() override {
    qel::fault::Reset();
    // Keep the routine's own level-0 message off the test's output.
    m_module.m_dwLogType = 3;
  }
  void TearDown() override { qel::fault::Reset(); }

  void SetRaw(LPCWSTR pszKey, LPCWSTR pszName, DWORD dwType, const void* pData, DWORD cb) {
    HKEY hKey = nullptr;
    ASSERT_EQ(RegCreateKeyExW(HKEY_CLASSES_ROOT, pszKey, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &hKey, nullptr),
              ERROR_SUCCESS);
    ASSERT_EQ(RegSetValueExW(hKey, pszName, 0, dwType, static_cast<const BYTE*>(pData), cb), ERROR_SUCCESS);
    RegCloseKey(hKey);
  }
  void SetString(LPCWSTR pszKey, LPCWSTR pszName, const std::u16string& value) {
    SetRaw(pszKey, pszName, REG_SZ, value.c_str(), static_cast<DWORD>((value.size() + 1) * sizeof(WCHAR)));
  }
  void SetDword(LPCWSTR pszName, DWORD dw) { SetRaw(kSettingsKey, pszName, REG_DWORD, &dw, sizeof(dw)); }
  void CreateKey(LPCWSTR pszKey) {
    HKEY hKey = nullptr;
    ASSERT_EQ(RegCreateKeyExW(HKEY_CLASSES_ROOT, pszKey, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &hKey, nullptr),
              ERROR_SUCCESS);
    RegCloseKey(hKey);
  }
  void SetAllSettings() {
    SetString(kSettingsKey, TEXT("DataPath"), u"/srv/qel/workspace.xml");
    SetDword(TEXT("LogLevel"), 1);
    SetDword(TEXT("LogType"), 4);
    SetDword(TEXT("ProcessPriority"), 2);
    SetDword(TEXT("LCID"), 0x411);
    SetString(kSettingsKey, TEXT("FileName"), u"/var/log/qel.log");
  }

  void ExpectInitialSettings() {
    EXPECT_EQ(m_module.m_dwLogLevel, 0u);
    EXPECT_EQ(m_module.m_dwLogType.load(), 3u);
    EXPECT_EQ(m_module.m_dwPriorityClass, static_cast<DWORD>(NORMAL_PRIORITY_CLASS));
    EXPECT_EQ(m_module.m_dwLcid, 1024u);
    EXPECT_EQ(Str(m_module.m_szLogFile), u"");
  }

  static std::u16string Str(const WCHAR* s) { return std::u16string(s); }

  qel::test::ScopedStateDir m_state;
  CQelUPnP m_module;
};

TEST_F(ReadRegInfoTest, NoSettingsKeyGivesSFalseAndStillReadsTheDeviceId) {
  SetString(kDeviceKey, TEXT("LastDeviceID"), u"uuid:previous-device");
  EXPECT_EQ(m_module.ReadRegInfo(), S_FALSE);
  ExpectInitialSettings();
  EXPECT_EQ(Str(m_module.m_szDataPath), u"");
  EXPECT_EQ(Str(m_module.m_szLastDeviceId), u"uuid:previous-device");
}

TEST_F(ReadRegInfoTest, NothingAtAllGivesSFalse) {
  EXPECT_EQ(m_module.ReadRegInfo(), S_FALSE);
  ExpectInitialSettings();
  EXPECT_EQ(Str(m_module.m_szLastDeviceId), u"");
}

TEST_F(ReadRegInfoTest, OnlyDataPathGivesSFalseWithTheRestInitial) {
  SetString(kSettingsKey, TEXT("DataPath"), u"/srv/ws.xml");
  CreateKey(kDeviceKey);
  EXPECT_EQ(m_module.ReadRegInfo(), S_FALSE);
  EXPECT_EQ(Str(m_module.m_szDataPath), u"/srv/ws.xml");
  ExpectInitialSettings();
}

TEST_F(ReadRegInfoTest, AllValuesGiveSOkWithOrWithoutTheDeviceId) {
  SetAllSettings();
  CreateKey(kDeviceKey);
  EXPECT_EQ(m_module.ReadRegInfo(), S_OK);
  EXPECT_EQ(Str(m_module.m_szDataPath), u"/srv/qel/workspace.xml");
  EXPECT_EQ(m_module.m_dwLogLevel, 1u);
  EXPECT_EQ(m_module.m_dwLogType.load(), 4u);
  EXPECT_EQ(m_module.m_dwPriorityClass, static_cast<DWORD>(HIGH_PRIORITY_CLASS));
  EXPECT_EQ(m_module.m_dwLcid, 0x411u);
  EXPECT_EQ(Str(m_module.m_szLogFile), u"/var/log/qel.log");
  EXPECT_EQ(Str(m_module.m_szLastDeviceId), u"");

  SetString(kDeviceKey, TEXT("LastDeviceID"), u"uuid:1");
  CQelUPnP second;
  second.m_dwLogType = 3;
  EXPECT_EQ(second.ReadRegInfo(), S_OK);
  EXPECT_EQ(Str(second.m_szLastDeviceId), u"uuid:1");
}

TEST_F(ReadRegInfoTest, MissingDeviceIdKeyGivesSFalse) {
  SetAllSettings();
  EXPECT_EQ(m_module.ReadRegInfo(), S_FALSE);
  EXPECT_EQ(m_module.m_dwLcid, 0x411u);
}

TEST_F(ReadRegInfoTest, DataPathMissingOrZeroBytesFailsAndReadsNothingElse) {
  SetDword(TEXT("LogLevel"), 1);
  SetString(kDeviceKey, TEXT("LastDeviceID"), u"uuid:old");
  EXPECT_EQ(m_module.ReadRegInfo(), E_FAIL);
  EXPECT_EQ(m_module.m_dwLogLevel, 0u);
  EXPECT_EQ(Str(m_module.m_szLastDeviceId), u"");

  SetRaw(kSettingsKey, TEXT("DataPath"), REG_SZ, nullptr, 0);
  EXPECT_EQ(m_module.ReadRegInfo(), E_FAIL);
  EXPECT_EQ(m_module.m_dwLogLevel, 0u);
}

TEST_F(ReadRegInfoTest, EmptyDataPathStringIsAccepted) {
  SetString(kSettingsKey, TEXT("DataPath"), u"");
  EXPECT_EQ(m_module.ReadRegInfo(), S_FALSE);
  EXPECT_EQ(Str(m_module.m_szDataPath), u"");
}

TEST_F(ReadRegInfoTest, StringsUpTo259CharactersAreReadWholeAndLongerOnesFail) {
  const std::u16string p259(259, u'p');
  SetString(kSettingsKey, TEXT("DataPath"), p259);
  SetString(kSettingsKey, TEXT("FileName"), std::u16string(259, u'f'));
  SetString(kDeviceKey, TEXT("LastDeviceID"), std::u16string(259, u'd'));
  m_module.ReadRegInfo();
  EXPECT_EQ(Str(m_module.m_szDataPath), p259);
  EXPECT_EQ(Str(m_module.m_szLogFile), std::u16string(259, u'f'));
  EXPECT_EQ(Str(m_module.m_szLastDeviceId), std::u16string(259, u'd'));

  // 130 characters were too many for the old 260-byte read; they fit now.
  CQelUPnP m130;
  m130.m_dwLogType = 3;
  SetString(kSettingsKey, TEXT("DataPath"), std::u16string(130, u'q'));
  m130.ReadRegInfo();
  EXPECT_EQ(Str(m130.m_szDataPath), std::u16string(130, u'q'));

  CQelUPnP m260;
  m260.m_dwLogType = 3;
  SetString(kSettingsKey, TEXT("DataPath"), std::u16string(260, u'p'));
  EXPECT_EQ(m260.ReadRegInfo(), E_FAIL);
  EXPECT_EQ(Str(m260.m_szDataPath), u"");
}

TEST_F(ReadRegInfoTest, OverlongOptionalStringsLeaveTheirFieldsAndGiveSFalse) {
  SetAllSettings();
  SetString(kSettingsKey, TEXT("FileName"), std::u16string(300, u'f'));
  SetString(kDeviceKey, TEXT("LastDeviceID"), std::u16string(1000, u'd'));
  lstrcpynW(m_module.m_szLastDeviceId, TEXT("kept"), MAX_PATH);
  EXPECT_EQ(m_module.ReadRegInfo(), S_FALSE);
  EXPECT_EQ(Str(m_module.m_szLogFile), u"");
  EXPECT_EQ(Str(m_module.m_szLastDeviceId), u"kept");
}

TEST_F(ReadRegInfoTest, UnterminatedStringsAreTerminatedInsideTheBuffer) {
  // Exactly 260 characters, no terminator: the buffer is full, the copy stops at 259.
  const std::u16string full(260, u'z');
  SetRaw(kSettingsKey, TEXT("DataPath"), REG_SZ, full.data(), 520);
  // A short value without its terminator.
  SetRaw(kSettingsKey, TEXT("FileName"), REG_SZ, u"abc", 6);
  // An odd byte count.
  SetRaw(kDeviceKey, TEXT("LastDeviceID"), REG_SZ, u"xyz", 5);
  m_module.ReadRegInfo();
  EXPECT_EQ(Str(m_module.m_szDataPath), std::u16string(259, u'z'));
  EXPECT_EQ(Str(m_module.m_szLogFile), u"abc");
  EXPECT_EQ(m_module.m_szLastDeviceId[0], u'x');
  EXPECT_EQ(m_module.m_szLastDeviceId[1], u'y');
  EXPECT_EQ(m_module.m_szLastDeviceId[3], 0);
}

TEST_F(ReadRegInfoTest, PriorityIndexMapsThroughTheTable) {
  SetString(kSettingsKey, TEXT("DataPath"), u"/ws.xml");
  const DWORD expected[] = {IDLE_PRIORITY_CLASS, NORMAL_PRIORITY_CLASS, HIGH_PRIORITY_CLASS, REALTIME_PRIORITY_CLASS};
  for (DWORD i = 0; i < 4; ++i) {
    SetDword(TEXT("ProcessPriority"), i);
    CQelUPnP module;
    module.m_dwLogType = 3;
    module.ReadRegInfo();
    EXPECT_EQ(module.m_dwPriorityClass, expected[i]) << i;
  }
}

TEST_F(ReadRegInfoTest, PriorityIndexOutsideTheTableKeepsTheClassAndGivesSFalse) {
  SetAllSettings();
  CreateKey(kDeviceKey);
  for (DWORD index : {4u, 0x20u, 0xFFFFFFFFu}) {
    SetDword(TEXT("ProcessPriority"), index);
    CQelUPnP module;
    module.m_dwLogType = 3;
    module.m_dwPriorityClass = IDLE_PRIORITY_CLASS;
    EXPECT_EQ(module.ReadRegInfo(), S_FALSE) << index;
    EXPECT_EQ(module.m_dwPriorityClass, static_cast<DWORD>(IDLE_PRIORITY_CLASS)) << index;
    EXPECT_EQ(module.m_dwLcid, 0x411u) << "reading goes on";
  }
}

TEST_F(ReadRegInfoTest, WrongTypedDwordValues) {
  SetAllSettings();
  CreateKey(kDeviceKey);
  // A QWORD does not fit four bytes: unreadable, field kept.
  const ULONGLONG qw = 7;
  SetRaw(kSettingsKey, TEXT("LogLevel"), REG_QWORD, &qw, sizeof(qw));
  // A REG_SZ of one character is four bytes and is taken as stored.
  SetRaw(kSettingsKey, TEXT("LogType"), REG_SZ, u"5", 4);
  // A longer REG_SZ does not fit.
  SetString(kSettingsKey, TEXT("LCID"), u"1041");
  // Two bytes replace the low half of the target only.
  const WORD w = 0x0001;
  SetRaw(kSettingsKey, TEXT("ProcessPriority"), REG_DWORD, &w, sizeof(w));

  m_module.m_dwLcid = 0x409;
  EXPECT_EQ(m_module.ReadRegInfo(), S_FALSE);
  EXPECT_EQ(m_module.m_dwLogLevel, 0u);
  EXPECT_EQ(m_module.m_dwLogType.load(), 0x35u);
  EXPECT_EQ(m_module.m_dwLcid, 0x409u);
  EXPECT_EQ(m_module.m_dwPriorityClass, static_cast<DWORD>(NORMAL_PRIORITY_CLASS));

  CQelUPnP partial;
  partial.m_dwLogType = 3;
  partial.m_dwLogLevel = 0xABCD0000u;
  SetRaw(kSettingsKey, TEXT("LogLevel"), REG_DWORD, &w, sizeof(w));
  partial.ReadRegInfo();
  EXPECT_EQ(partial.m_dwLogLevel, 0xABCD0001u);
}

TEST_F(ReadRegInfoTest, EachOptionalValueMissingGivesSFalseAndTheOthersAreStillRead) {
  const LPCWSTR names[] = {TEXT("LogLevel"), TEXT("LogType"), TEXT("ProcessPriority"), TEXT("LCID"),
                           TEXT("FileName")};
  for (LPCWSTR name : names) {
    SetAllSettings();
    CreateKey(kDeviceKey);
    HKEY hKey = nullptr;
    ASSERT_EQ(RegOpenKeyExW(HKEY_CLASSES_ROOT, kSettingsKey, 0, KEY_ALL_ACCESS, &hKey), ERROR_SUCCESS);
    ASSERT_EQ(RegDeleteValueW(hKey, name), ERROR_SUCCESS);
    RegCloseKey(hKey);
    CQelUPnP module;
    module.m_dwLogType = 3;
    EXPECT_EQ(module.ReadRegInfo(), S_FALSE);
    EXPECT_EQ(Str(module.m_szLogFile), lstrcmpW(name, TEXT("FileName")) == 0 ? u"" : u"/var/log/qel.log");
    EXPECT_EQ(module.m_dwLcid, lstrcmpW(name, TEXT("LCID")) == 0 ? 1024u : 0x411u);
  }
}

TEST_F(ReadRegInfoTest, RegistryFailuresThroughTheSeam) {
  SetAllSettings();
  SetString(kDeviceKey, TEXT("LastDeviceID"), u"uuid:dev");

  // The settings key cannot be opened (no rights): S_FALSE, the device id still read.
  qel::fault::Arm("RegOpenKeyExW", ERROR_ACCESS_DENIED);
  EXPECT_EQ(m_module.ReadRegInfo(), S_FALSE);
  ExpectInitialSettings();
  EXPECT_EQ(Str(m_module.m_szLastDeviceId), u"uuid:dev");
  qel::fault::Reset();

  // The device id key cannot be opened.
  CQelUPnP second;
  second.m_dwLogType = 3;
  qel::fault::Arm("RegOpenKeyExW", ERROR_ACCESS_DENIED, 1);
  EXPECT_EQ(second.ReadRegInfo(), S_FALSE);
  EXPECT_EQ(Str(second.m_szLastDeviceId), u"");
  EXPECT_EQ(second.m_dwLcid, 0x411u);
  qel::fault::Reset();

  // Closing the device id key fails; closing the settings key is not looked at.
  CQelUPnP third;
  third.m_dwLogType = 3;
  qel::fault::Arm("RegCloseKey", ERROR_INVALID_HANDLE, 1);
  EXPECT_EQ(third.ReadRegInfo(), S_FALSE);
  EXPECT_EQ(Str(third.m_szLastDeviceId), u"uuid:dev");
  qel::fault::Reset();
  CQelUPnP fourth;
  fourth.m_dwLogType = 3;
  qel::fault::Arm("RegCloseKey", ERROR_INVALID_HANDLE, 0);
  EXPECT_EQ(fourth.ReadRegInfo(), S_OK);
  qel::fault::Reset();

  // A read that fails for DataPath.
  CQelUPnP fifth;
  fifth.m_dwLogType = 3;
  qel::fault::Arm("RegQueryValueExW", ERROR_ACCESS_DENIED);
  EXPECT_EQ(fifth.ReadRegInfo(), E_FAIL);
}

TEST_F(ReadRegInfoTest, FirstMessageIsWrittenWithTheInitialLogSettings) {
  SetAllSettings();
  CQelUPnP module;  // initial settings: threshold 0, standard output
  ::testing::internal::CaptureStdout();
  module.ReadRegInfo();
  const std::string out = ::testing::internal::GetCapturedStdout();
  EXPECT_EQ(out, "CQelUPnP::ReadRegInfo was called.\n");
  EXPECT_EQ(module.m_dwLogLevel, 1u);
}

}  // namespace
