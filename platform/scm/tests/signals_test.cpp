// SIGINT and SIGTERM to a service process reach its handler as the shutdown
// control; the service's standard output and error go to its log.
#include <algorithm>
#include <filesystem>
#include <thread>

#include "scm_fixture.h"

namespace scmtest {
namespace {

int Count(const std::string& text, const std::string& line) {
  int n = 0;
  for (std::size_t pos = 0; (pos = text.find("\n" + line + "\n", pos)) != std::string::npos; ++pos) ++n;
  return n;
}

class SignalTest : public ScmTest {
 protected:
  std::string Rec() const { return "\n" + qel::test::ReadFile(Record()); }
  // The process id the test service recorded first.
  DWORD RecordedPid() {
    if (!WaitRecord("process ", 8000, true)) return 0;
    const std::string rec = Rec();
    return static_cast<DWORD>(std::stoul(rec.substr(rec.find("\nprocess ") + 9)));
  }
  // Waits for the service to end as a stopped service: exit code, process gone.
  void ExpectStoppedCleanly(SC_HANDLE svc, DWORD pid) {
    ASSERT_TRUE(WaitState(svc, SERVICE_STOPPED));
    EXPECT_EQ(Status(svc).dwWin32ExitCode, 0u);
    EXPECT_TRUE(WaitRecord("dispatcher-returned"));
    EXPECT_TRUE(WaitGone(pid));
    EXPECT_EQ(Rec().find("\nexit-hook\n"), std::string::npos) << "the process ended through its service";
  }
};

TEST_F(SignalTest, TermAndIntAreTheShutdownControl) {
  for (int sig : {SIGTERM, SIGINT}) {
    std::filesystem::remove(Record());
    const std::string name = "Sig" + std::to_string(sig);
    Handle svc = Create(name, TestSvc("--accept stop,shutdown"));
    ASSERT_TRUE(StartServiceW(svc.h, 0, nullptr)) << GetLastError();
    ASSERT_TRUE(WaitState(svc.h, SERVICE_RUNNING));
    const DWORD pid = Status(svc.h).dwProcessId;
    ASSERT_EQ(::kill(static_cast<pid_t>(pid), sig), 0);
    ExpectStoppedCleanly(svc.h, pid);
    const std::string rec = Rec();
    EXPECT_EQ(Count(rec, "control 5"), 1) << rec;
    EXPECT_LT(rec.find("\ncontrol 5\n"), rec.find("\nmain-returned\n"));
    ExpectCleanLog(name);
  }
}

TEST_F(SignalTest, SignalsDuringStartReachTheServiceOnceItRuns) {
  // Before the dispatcher runs (held for it), and while the service reports
  // SERVICE_START_PENDING.
  for (const char* extra : {"--dispatch-delay 400", "--start-delay 400"}) {
    SCOPED_TRACE(extra);
    std::filesystem::remove(Record());
    Handle svc = Create(std::string("Early") + extra[2], TestSvc(std::string("--accept stop,shutdown ") + extra));
    BOOL started = FALSE;
    std::thread starter([&] { started = StartServiceW(svc.h, 0, nullptr); });
    const DWORD pid = RecordedPid();
    ASSERT_NE(pid, 0u);
    if (std::string(extra).find("dispatch") != std::string::npos) ASSERT_TRUE(WaitRecord("dispatch-delay"));
    else ASSERT_TRUE(WaitRecord("main 1", 8000, true));
    ASSERT_EQ(::kill(static_cast<pid_t>(pid), SIGTERM), 0);
    starter.join();
    EXPECT_TRUE(started) << GetLastError();
    ExpectStoppedCleanly(svc.h, pid);
    const std::string rec = Rec();
    EXPECT_EQ(Count(rec, "control 5"), 1) << rec;
    EXPECT_LT(rec.find("\nrunning\n"), rec.find("\ncontrol 5\n")) << rec;
  }
}

TEST_F(SignalTest, SignalsDuringStopOrInARowEndTheServiceOnce) {
  struct Row {
    const char* name;
    bool stopFirst;  // a stop request is under way when the signals come
  } rows[] = {{"Twice", false}, {"Stopping", true}};
  for (const auto& row : rows) {
    SCOPED_TRACE(row.name);
    std::filesystem::remove(Record());
    Handle svc = Create(row.name, TestSvc("--accept stop,shutdown --stop-delay 300"));
    ASSERT_TRUE(StartServiceW(svc.h, 0, nullptr)) << GetLastError();
    ASSERT_TRUE(WaitState(svc.h, SERVICE_RUNNING));
    const DWORD pid = Status(svc.h).dwProcessId;
    if (row.stopFirst) {
      SERVICE_STATUS st{};
      ASSERT_TRUE(ControlService(svc.h, SERVICE_CONTROL_STOP, &st)) << GetLastError();
    }
    ASSERT_EQ(::kill(static_cast<pid_t>(pid), SIGTERM), 0);
    ASSERT_EQ(::kill(static_cast<pid_t>(pid), SIGINT), 0);
    ExpectStoppedCleanly(svc.h, pid);
    const std::string rec = Rec();
    EXPECT_EQ(Count(rec, "control 5"), row.stopFirst ? 0 : 1) << rec;
    EXPECT_EQ(Count(rec, "control 1"), row.stopFirst ? 1 : 0) << rec;
  }
}

TEST_F(SignalTest, ServiceThatTakesNoShutdownIsEndedAsAtASystemShutdown) {
  Handle svc = Create("NoShutdown", TestSvc("--accept stop"));
  ASSERT_TRUE(StartServiceW(svc.h, 0, nullptr)) << GetLastError();
  ASSERT_TRUE(WaitState(svc.h, SERVICE_RUNNING));
  const DWORD pid = Status(svc.h).dwProcessId;
  ASSERT_EQ(::kill(static_cast<pid_t>(pid), SIGTERM), 0);
  EXPECT_TRUE(WaitRecord("exit-hook"));
  EXPECT_TRUE(WaitGone(pid));
  ASSERT_TRUE(WaitState(svc.h, SERVICE_STOPPED));
  EXPECT_EQ(Status(svc.h).dwWin32ExitCode, static_cast<DWORD>(ERROR_PROCESS_ABORTED));
  EXPECT_EQ(Rec().find("\ncontrol 5\n"), std::string::npos);
  EXPECT_NE(qel::test::ReadFile(qel::scm::LogPath(u"NoShutdown")).find("accepts no shutdown control"),
            std::string::npos);
}

TEST_F(SignalTest, OutputAndEarlyEndsOfAServiceAreInItsLog) {
  Handle svc = Create("Talks", TestSvc("--accept stop --say hello"));
  ASSERT_TRUE(StartServiceW(svc.h, 0, nullptr)) << GetLastError();
  ASSERT_TRUE(WaitState(svc.h, SERVICE_RUNNING));
  SERVICE_STATUS st{};
  ASSERT_TRUE(ControlService(svc.h, SERVICE_CONTROL_STOP, &st));
  ASSERT_TRUE(WaitState(svc.h, SERVICE_STOPPED));
  std::string log = qel::test::ReadFile(qel::scm::LogPath(u"Talks"));
  EXPECT_NE(log.find(" [service control manager] starting Talks: " + std::string(QEL_SCM_TESTSVC)), std::string::npos)
      << log;
  EXPECT_NE(log.find("\nhello\n"), std::string::npos) << log;
  EXPECT_NE(log.find("\nerr:hello\n"), std::string::npos) << log;

  // A process that ends before it connects leaves its reason in the log.
  Handle early = Create("Early", TestSvc("--mode exit --say bye"));
  EXPECT_FALSE(StartServiceW(early.h, 0, nullptr));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_PROCESS_ABORTED));
  log = qel::test::ReadFile(qel::scm::LogPath(u"Early"));
  EXPECT_NE(log.find("\nbye\n"), std::string::npos) << log;
  EXPECT_NE(log.find("ended without connecting to the service control manager (1067)"), std::string::npos) << log;

  // A large log is moved aside at the next start, so it never grows without bound.
  const auto path = qel::scm::LogPath(u"Talks");
  std::filesystem::resize_file(path, (1 << 20) + 1);
  ASSERT_TRUE(StartServiceW(svc.h, 0, nullptr)) << GetLastError();
  ASSERT_TRUE(WaitState(svc.h, SERVICE_RUNNING));
  EXPECT_EQ(std::filesystem::file_size(path.string() + ".old"), static_cast<std::uintmax_t>((1 << 20) + 1));
  EXPECT_LT(std::filesystem::file_size(path), 4096u);
}

}  // namespace
}  // namespace scmtest
