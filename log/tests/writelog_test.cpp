// WriteLog: threshold, the four outputs and standard output, the log file's
// format, truncation of long messages, and logging from two threads.
#include "QelUPnP.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include "qel/fault.h"
#include "qel/kernel.h"
#include "qel/user.h"
#include "qel/wstr.h"
#include "testsupport.h"

namespace {

struct BoxCall {
  std::u16string text;
  std::u16string caption;
  UINT uType;
};

class WriteLogTest : public ::testing::Test {
 protected:
  void SetUp() override {
    qel::fault::Reset();
    qel::SetMessageBoxHookForTests([this](std::u16string_view text, std::u16string_view caption, UINT uType) {
      m_boxes.push_back({std::u16string(text), std::u16string(caption), uType});
      return m_boxAnswer;
    });
    qel::SetEventLogSinkForTests([this](const qel::EventLogRecord& r) { m_events.push_back(r); });
    qel::SetDebugOutputSinkForTests([this](std::u16string_view s) { m_debug.emplace_back(s); });
    lstrcpynW(m_module.m_szName, TEXT("QelUPnP"), 256);
  }
  void TearDown() override {
    qel::SetMessageBoxHookForTests(nullptr);
    qel::SetEventLogSinkForTests(nullptr);
    qel::SetDebugOutputSinkForTests(nullptr);
    qel::fault::Reset();
  }

  void UseLogFile(const std::filesystem::path& p) {
    m_module.m_dwLogType = 4;
    std::u16string w = qel::FromUtf8(p.string());
    lstrcpynW(m_module.m_szLogFile, w.c_str(), MAX_PATH);
  }

  std::string CaptureStdout(DWORD dwLevel, LPCWSTR pszText) {
    ::testing::internal::CaptureStdout();
    m_module.WriteLog(dwLevel, pszText);
    return ::testing::internal::GetCapturedStdout();
  }

  qel::test::ScopedStateDir m_state;
  qel::test::TempDir m_dir;
  CQelUPnP m_module;
  int m_boxAnswer = IDOK;
  std::vector<BoxCall> m_boxes;
  std::vector<qel::EventLogRecord> m_events;
  std::vector<std::u16string> m_debug;
};

// The file's bytes as UTF-16 code units (little-endian, as written).
std::u16string ReadUtf16(const std::filesystem::path& p) {
  std::string bytes = qel::test::ReadFile(p);
  std::u16string out;
  for (size_t i = 0; i + 1 < bytes.size(); i += 2)
    out.push_back(static_cast<char16_t>(static_cast<unsigned char>(bytes[i]) |
                                        (static_cast<unsigned char>(bytes[i + 1]) << 8)));
  return out;
}

const std::regex kTimestamp(R"(\d{4}/\d{2}/\d{2} \d{2}:\d{2}:\d{2}\.\d{4}\t)");

TEST_F(WriteLogTest, ThresholdTwoSilencesEveryOutput) {
  m_module.m_dwLogLevel = 2;
  const auto file = m_dir.path() / "log.txt";
  for (DWORD type : {0u, 1u, 2u, 3u, 4u, 7u}) {
    m_module.m_dwLogType = type;
    if (type == 4) UseLogFile(file);
    m_module.m_bRunAsService = TRUE;
    EXPECT_EQ(CaptureStdout(1, TEXT("QelUPnP:Service started")), "") << type;
    EXPECT_EQ(CaptureStdout(0, TEXT("CQelUPnP::ReadRegInfo was called.")), "") << type;
  }
  EXPECT_TRUE(m_boxes.empty());
  EXPECT_TRUE(m_events.empty());
  EXPECT_TRUE(m_debug.empty());
  EXPECT_FALSE(std::filesystem::exists(file));
}

TEST_F(WriteLogTest, ThresholdComparesLevelsAsUnsigned) {
  m_module.m_dwLogLevel = 1;
  EXPECT_EQ(CaptureStdout(0, TEXT("level zero")), "");
  EXPECT_EQ(CaptureStdout(1, TEXT("level one")), "level one\n");
  EXPECT_EQ(CaptureStdout(0xFFFFFFFFu, TEXT("top level")), "top level\n");
  m_module.m_dwLogLevel = 0;
  EXPECT_EQ(CaptureStdout(0, TEXT("level zero")), "level zero\n");
  m_module.m_dwLogLevel = 0x80000000u;
  EXPECT_EQ(CaptureStdout(1, TEXT("below a high threshold")), "");
}

TEST_F(WriteLogTest, StandardOutputForKindZeroAndEveryKindFromFive) {
  for (DWORD type : {0u, 5u, 6u, 0x7FFFFFFFu, 0xFFFFFFFFu}) {
    m_module.m_dwLogType = type;
    EXPECT_EQ(CaptureStdout(1, TEXT("QelUPnP:Service started")), "QelUPnP:Service started\n") << type;
  }
  EXPECT_TRUE(m_boxes.empty());
  EXPECT_TRUE(m_debug.empty());
}

TEST_F(WriteLogTest, MessageBoxCarriesSuffixFixedCaptionAndStyle) {
  m_module.m_dwLogType = 1;
  lstrcpynW(m_module.m_szName, TEXT("OtherName"), 256);
  m_module.WriteLog(1, TEXT("QelUPnP:Service started"));
  ASSERT_EQ(m_boxes.size(), 1u);
  EXPECT_EQ(m_boxes[0].text,
            u"QelUPnP:Service started\r\n\r\nClick [Cancel] to output a message into 'Debug Viewer' after this.");
  EXPECT_EQ(m_boxes[0].caption, u"QelUPnP");
  EXPECT_EQ(m_boxes[0].uType, 0x42001u);
  // OK changes nothing: the next message is a box again.
  m_module.WriteLog(1, TEXT("second"));
  EXPECT_EQ(m_boxes.size(), 2u);
  EXPECT_EQ(m_module.m_dwLogType.load(), 1u);
  EXPECT_TRUE(m_debug.empty());
}

TEST_F(WriteLogTest, CancelSwitchesLaterMessagesToDebuggerOutput) {
  m_module.m_dwLogType = 1;
  m_boxAnswer = IDCANCEL;
  m_module.WriteLog(1, TEXT("first"));
  EXPECT_EQ(m_module.m_dwLogType.load(), 3u);
  // The cancelled message itself goes nowhere else.
  EXPECT_TRUE(m_debug.empty());
  m_module.WriteLog(1, TEXT("second"));
  ASSERT_EQ(m_boxes.size(), 1u);
  ASSERT_EQ(m_debug.size(), 1u);
  EXPECT_EQ(m_debug[0], u"second");
}

TEST_F(WriteLogTest, LongestMessageFitsTheBoxWithItsSuffix) {
  m_module.m_dwLogType = 1;
  std::u16string longText(400, u'x');
  m_module.WriteLog(1, reinterpret_cast<LPCWSTR>(longText.c_str()));
  ASSERT_EQ(m_boxes.size(), 1u);
  EXPECT_EQ(m_boxes[0].text.size(), 255u + 70u);
  EXPECT_EQ(m_boxes[0].text.substr(0, 255), std::u16string(255, u'x'));
  EXPECT_EQ(m_boxes[0].text.substr(255, 4), u"\r\n\r\n");
}

TEST_F(WriteLogTest, EventLogOnlyInServiceMode) {
  m_module.m_dwLogType = 2;
  m_module.m_bRunAsService = FALSE;
  EXPECT_EQ(CaptureStdout(1, TEXT("foreground")), "");
  EXPECT_TRUE(m_events.empty());

  m_module.m_bRunAsService = TRUE;
  m_module.WriteLog(1, TEXT("Service stopped\n"));
  ASSERT_EQ(m_events.size(), 1u);
  EXPECT_EQ(m_events[0].source, u"QelUPnP");
  EXPECT_EQ(m_events[0].wType, EVENTLOG_INFORMATION_TYPE);
  EXPECT_EQ(m_events[0].wCategory, 0);
  EXPECT_EQ(m_events[0].dwEventID, 0x4F010000u);
  ASSERT_EQ(m_events[0].strings.size(), 1u);
  EXPECT_EQ(m_events[0].strings[0], u"Service stopped\n");
}

TEST_F(WriteLogTest, EventSourceThatCannotBeRegisteredDropsTheMessage) {
  m_module.m_dwLogType = 2;
  m_module.m_bRunAsService = TRUE;
  qel::fault::Arm("RegisterEventSourceW", ERROR_ACCESS_DENIED);
  EXPECT_EQ(CaptureStdout(1, TEXT("lost")), "");
  EXPECT_TRUE(m_events.empty());
  EXPECT_EQ(qel::fault::Calls("ReportEventW"), 0);
  EXPECT_EQ(qel::fault::Calls("DeregisterEventSource"), 0);
}

TEST_F(WriteLogTest, DebuggerOutputIsTheMessageAlone) {
  m_module.m_dwLogType = 3;
  m_module.WriteLog(1, TEXT("QelUPnP:GetLocaleInfo Failed."));
  m_module.WriteLog(1, TEXT("Bad service request\n"));
  ASSERT_EQ(m_debug.size(), 2u);
  EXPECT_EQ(m_debug[0], u"QelUPnP:GetLocaleInfo Failed.");
  EXPECT_EQ(m_debug[1], u"Bad service request\n");
}

TEST_F(WriteLogTest, LogFileEntriesAreTimestampedUtf16WithoutBomOrTerminator) {
  const auto file = m_dir.path() / "qel.log";
  UseLogFile(file);
  m_module.WriteLog(1, TEXT("QelUPnP:Service started"));
  m_module.WriteLog(1, TEXT("QelUPnP::ReadCSQ() Failed."));
  m_module.WriteLog(1, TEXT("Service stopped\n"));

  const std::string bytes = qel::test::ReadFile(file);
  ASSERT_GE(bytes.size(), 2u);
  EXPECT_FALSE(bytes[0] == '\xFF' && bytes[1] == '\xFE') << "no byte-order mark";
  EXPECT_EQ(bytes.size() % 2, 0u);
  EXPECT_EQ(ReadUtf16(file).find(u'\0'), std::u16string::npos) << "no terminator is written";

  const std::string text = qel::ToUtf8(ReadUtf16(file));
  // The first two messages have no line feed: the next timestamp runs on.
  std::smatch m;
  ASSERT_TRUE(std::regex_match(
      text, m,
      std::regex(R"((\d{4})/(\d{2})/(\d{2}) (\d{2}):(\d{2}):(\d{2})\.(\d{4})\tQelUPnP:Service started)"
                 R"(\d{4}/\d{2}/\d{2} \d{2}:\d{2}:\d{2}\.\d{4}\tQelUPnP::ReadCSQ\(\) Failed\.)"
                 R"(\d{4}/\d{2}/\d{2} \d{2}:\d{2}:\d{2}\.\d{4}\tService stopped\n)")))
      << text;
  const int month = std::stoi(m[2]), day = std::stoi(m[3]), hour = std::stoi(m[4]), ms = std::stoi(m[7]);
  EXPECT_TRUE(month >= 1 && month <= 12);
  EXPECT_TRUE(day >= 1 && day <= 31);
  EXPECT_TRUE(hour >= 0 && hour <= 23);
  EXPECT_TRUE(ms >= 0 && ms <= 999);
  EXPECT_EQ(text.find('\r'), std::string::npos) << "a line feed stays a single line feed";
}

TEST_F(WriteLogTest, LogFileIsAppendedToAndNeverTruncated) {
  const auto file = m_dir.path() / "qel.log";
  const std::string before("e\0a\0r\0l\0i\0e\0r\0", 14);
  qel::test::WriteFile(file, before);
  UseLogFile(file);
  m_module.WriteLog(1, TEXT("\x65E5\x672C"));  // non-ASCII text is written as its code units
  const std::string bytes = qel::test::ReadFile(file);
  ASSERT_GT(bytes.size(), before.size());
  EXPECT_EQ(bytes.substr(0, before.size()), before);
  const std::u16string all = ReadUtf16(file);
  EXPECT_EQ(all.size(), 7u + 25u + 2u);
  EXPECT_EQ(all.substr(32), u"\x65E5\x672C");
  EXPECT_TRUE(std::regex_match(qel::ToUtf8(all.substr(7, 25)), kTimestamp));
}

TEST_F(WriteLogTest, UnusableLogFileLosesTheMessageSilently) {
  // Empty path, a missing directory and a path that is a directory.
  m_module.m_dwLogType = 4;
  EXPECT_EQ(CaptureStdout(1, TEXT("a")), "");
  UseLogFile(m_dir.path() / "missing" / "qel.log");
  EXPECT_EQ(CaptureStdout(1, TEXT("b")), "");
  EXPECT_FALSE(std::filesystem::exists(m_dir.path() / "missing"));
  UseLogFile(m_dir.path());
  EXPECT_EQ(CaptureStdout(1, TEXT("c")), "");
  // What another local user may plant at the log path: a link to a file
  // (never written through), a FIFO (never waited on, whether or not
  // someone reads it).
  const auto target = m_dir.path() / "target";
  const auto link = m_dir.path() / "link.log";
  const auto fifo = m_dir.path() / "fifo.log";
  qel::test::WriteFile(target, "keep");
  std::filesystem::create_symlink(target, link);
  ASSERT_EQ(std::system(("mkfifo '" + fifo.string() + "'").c_str()), 0);
  for (const auto& planted : {link, fifo}) {
    UseLogFile(planted);
    EXPECT_EQ(CaptureStdout(1, TEXT("planted")), "");
  }
  EXPECT_EQ(qel::test::ReadFile(target), "keep");
  EXPECT_TRUE(std::filesystem::is_symlink(link));
  // A failing open through the seam likewise.
  const auto file = m_dir.path() / "qel.log";
  UseLogFile(file);
  qel::fault::Arm("CreateFileW", ERROR_ACCESS_DENIED);
  EXPECT_EQ(CaptureStdout(1, TEXT("d")), "");
  EXPECT_FALSE(std::filesystem::exists(file));
  m_module.WriteLog(1, TEXT("e"));
  EXPECT_TRUE(std::filesystem::exists(file));
}

TEST_F(WriteLogTest, FailedMoveToTheEndNeverWritesOverTheStart) {
  const auto file = m_dir.path() / "qel.log";
  const std::string before("o\0l\0d\0", 6);
  qel::test::WriteFile(file, before);
  UseLogFile(file);
  qel::fault::Arm("SetFilePointer", ERROR_NEGATIVE_SEEK);
  m_module.WriteLog(1, TEXT("lost"));
  EXPECT_EQ(qel::test::ReadFile(file), before);
  m_module.WriteLog(1, TEXT("kept"));
  EXPECT_EQ(ReadUtf16(file).substr(3 + 25), u"kept");
}

TEST_F(WriteLogTest, LongMessagesAreCutAt255Characters) {
  const auto file = m_dir.path() / "qel.log";
  UseLogFile(file);
  std::u16string arg(300, u'y');
  m_module.WriteLog(1, TEXT("%s-%d"), reinterpret_cast<LPCWSTR>(arg.c_str()), 42);
  m_module.WriteLog(1, TEXT("%d:%s"), 7, TEXT("short"));
  const std::u16string all = ReadUtf16(file);
  ASSERT_EQ(all.size(), 25u + 255u + 25u + 7u);
  EXPECT_EQ(all.substr(25, 255), std::u16string(255, u'y'));
  EXPECT_EQ(all.substr(25 + 255 + 25), u"7:short");
}

TEST_F(WriteLogTest, TwoThreadsLoggingToOneFileLoseNothing) {
  const auto file = m_dir.path() / "qel.log";
  UseLogFile(file);
  constexpr int kPerThread = 200;
  auto writer = [this](LPCWSTR text) {
    for (int i = 0; i < kPerThread; ++i) m_module.WriteLog(1, TEXT("%s %d\n"), text, i);
  };
  std::thread a(writer, TEXT("run"));
  std::thread b(writer, TEXT("handler"));
  a.join();
  b.join();

  const std::string text = qel::ToUtf8(ReadUtf16(file));
  const std::regex entry(R"(\d{4}/\d{2}/\d{2} \d{2}:\d{2}:\d{2}\.\d{4}\t(run|handler) (\d+)\n)");
  int runs = 0, handlers = 0;
  size_t consumed = 0;
  for (std::sregex_iterator it(text.begin(), text.end(), entry), end; it != end; ++it) {
    EXPECT_EQ(static_cast<size_t>(it->position()), consumed) << "entries are whole and adjacent";
    consumed = it->position() + it->length();
    ((*it)[1] == "run" ? runs : handlers)++;
  }
  EXPECT_EQ(consumed, text.size());
  EXPECT_EQ(runs, kPerThread);
  EXPECT_EQ(handlers, kPerThread);
}

// Two processes appending at once: every entry whole, none lost.
TEST_F(WriteLogTest, TwoProcessesLoggingToOneFileNeverInterleave) {
  if (const char* child = std::getenv("QEL_LOG_TEST_CHILD")) {
    const auto file = std::filesystem::path(std::getenv("QEL_LOG_TEST_FILE"));
    UseLogFile(file);
    for (int i = 0; i < 150; ++i) m_module.WriteLog(1, TEXT("child %hs %d\n"), child, i);
    return;
  }
  WCHAR szSelf[MAX_PATH];
  ASSERT_GT(GetModuleFileNameW(nullptr, szSelf, MAX_PATH), 0u);
  const auto file = m_dir.path() / "shared.log";
  const std::string self = qel::ToUtf8(szSelf);
  const std::string filter = " --gtest_filter=WriteLogTest.TwoProcessesLoggingToOneFileNeverInterleave >/dev/null";
  // Bounded: a child that hangs is killed and the test fails.
  const std::string cmd = "QEL_LOG_TEST_FILE='" + file.string() + "'; export QEL_LOG_TEST_FILE; " +
                          "QEL_LOG_TEST_CHILD=a timeout 120 '" + self + "'" + filter + " & " +
                          "QEL_LOG_TEST_CHILD=b timeout 120 '" + self + "'" + filter + " & wait";
  ASSERT_EQ(std::system(cmd.c_str()), 0);

  const std::string text = qel::ToUtf8(ReadUtf16(file));
  const std::regex entry(R"(\d{4}/\d{2}/\d{2} \d{2}:\d{2}:\d{2}\.\d{4}\tchild (a|b) (\d+)\n)");
  int counts[2] = {0, 0};
  size_t consumed = 0;
  for (std::sregex_iterator it(text.begin(), text.end(), entry), end; it != end; ++it) {
    ASSERT_EQ(static_cast<size_t>(it->position()), consumed);
    consumed = it->position() + it->length();
    counts[(*it)[1] == "a" ? 0 : 1]++;
  }
  EXPECT_EQ(consumed, text.size());
  EXPECT_EQ(counts[0], 150);
  EXPECT_EQ(counts[1], 150);
}

}  // namespace
