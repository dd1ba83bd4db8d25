#include <gtest/gtest.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "qel/fault.h"
#include "qel/kernel.h"
#include "testsupport.h"

namespace {

class EventLog : public testing::Test {
 protected:
  void SetUp() override {
    m_file = (m_dir.path() / "events.txt").string();
    setenv("QELUPNP_EVENTLOG_FILE", m_file.c_str(), 1);
    qel::SetEventLogSinkForTests([this](const qel::EventLogRecord& r) { m_records.push_back(r); });
  }
  void TearDown() override {
    qel::SetEventLogSinkForTests(nullptr);
    unsetenv("QELUPNP_EVENTLOG_FILE");
  }
  qel::test::ScopedStateDir m_state;
  qel::test::TempDir m_dir;
  std::string m_file;
  std::vector<qel::EventLogRecord> m_records;
};

TEST_F(EventLog, ReportsReachTheSinkAndTheCopyFileAsOneLineEach) {
  HANDLE h = RegisterEventSourceW(nullptr, TEXT("QelUPnP"));
  ASSERT_NE(h, nullptr);
  LPCWSTR one[] = {TEXT("Service stopped\n")};
  ASSERT_TRUE(ReportEventW(h, EVENTLOG_INFORMATION_TYPE, 0, 0x4F010000, nullptr, 1, 0, one, nullptr));
  LPCWSTR two[] = {TEXT("a|b"), u"\u00e9\\"};
  ASSERT_TRUE(ReportEventW(h, EVENTLOG_ERROR_TYPE, 3, 7, nullptr, 2, 0, two, nullptr));
  ASSERT_TRUE(ReportEventW(h, EVENTLOG_WARNING_TYPE, 0, 1, nullptr, 0, 0, nullptr, nullptr));
  ASSERT_TRUE(DeregisterEventSource(h));

  EXPECT_EQ(qel::test::ReadFile(m_file),
            "QelUPnP\t4\t0x4F010000\tService stopped\\n\n"
            "QelUPnP\t1\t0x00000007\ta\\|b|\xC3\xA9\\\\\n"
            "QelUPnP\t2\t0x00000001\t\n");
  ASSERT_EQ(m_records.size(), 3u);
  EXPECT_EQ(m_records[0].source, u"QelUPnP");
  EXPECT_EQ(m_records[0].dwEventID, 0x4F010000u);
  EXPECT_EQ(m_records[0].strings, std::vector<std::u16string>{u"Service stopped\n"});
  EXPECT_EQ(m_records[1].wCategory, 3);
  EXPECT_EQ(m_records[1].strings.size(), 2u);
}

TEST_F(EventLog, HandlesAndArgumentsAreChecked) {
  EXPECT_EQ(RegisterEventSourceW(nullptr, nullptr), nullptr);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
  EXPECT_EQ(RegisterEventSourceW(TEXT("\\\\faraway"), TEXT("QelUPnP")), nullptr);
  HANDLE local = RegisterEventSourceW(TEXT("."), TEXT("QelUPnP"));
  ASSERT_NE(local, nullptr);
  EXPECT_FALSE(ReportEventW(local, EVENTLOG_INFORMATION_TYPE, 0, 0, nullptr, 1, 0, nullptr, nullptr));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
  EXPECT_FALSE(CloseHandle(local));  // not a kernel object
  ASSERT_TRUE(DeregisterEventSource(local));
  LPCWSTR s[] = {TEXT("x")};
  EXPECT_FALSE(ReportEventW(local, EVENTLOG_INFORMATION_TYPE, 0, 0, nullptr, 1, 0, s, nullptr));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
  EXPECT_FALSE(DeregisterEventSource(local));
  EXPECT_TRUE(m_records.empty());
}

TEST_F(EventLog, FaultSeamFailsRegistration) {
  qel::fault::Arm("RegisterEventSourceW", ERROR_ACCESS_DENIED);
  EXPECT_EQ(RegisterEventSourceW(nullptr, TEXT("QelUPnP")), nullptr);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
}

}  // namespace
