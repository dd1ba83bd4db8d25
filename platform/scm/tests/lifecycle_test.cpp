// Real service processes under the manager: start, controls, stop, delete,
// crashes, timeouts, dependencies and concurrent starts.
#include <atomic>
#include <thread>

#include "scm_fixture.h"

namespace scmtest {
namespace {

DWORD Control(SC_HANDLE svc, DWORD code, SERVICE_STATUS* st) {
  return ControlService(svc, code, st) ? DWORD(0) : GetLastError();
}

class LifecycleTest : public ScmTest {};

TEST_F(LifecycleTest, StartControlsAndStopGoThroughTheServiceHandler) {
  Handle svc = Create("Echo", TestSvc("--accept stop,pause,shutdown"));
  LPCWSTR args[] = {u"first", u"second arg"};
  ASSERT_TRUE(StartServiceW(svc.h, 2, args)) << GetLastError();
  SERVICE_STATUS_PROCESS sp = Status(svc.h);
  EXPECT_NE(sp.dwProcessId, 0u);
  EXPECT_NE(sp.dwCurrentState, static_cast<DWORD>(SERVICE_STOPPED));
  ASSERT_TRUE(WaitState(svc.h, SERVICE_RUNNING));
  EXPECT_TRUE(WaitRecord("main 3 Echo first second arg"));
  EXPECT_EQ(Status(svc.h).dwControlsAccepted,
            static_cast<DWORD>(SERVICE_ACCEPT_STOP | SERVICE_ACCEPT_PAUSE_CONTINUE | SERVICE_ACCEPT_SHUTDOWN));

  SERVICE_STATUS st{};
  EXPECT_FALSE(StartServiceW(svc.h, 0, nullptr));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_SERVICE_ALREADY_RUNNING));
  // The reply carries the state the handler left behind.
  ASSERT_EQ(Control(svc.h, SERVICE_CONTROL_PAUSE, &st), 0u);
  EXPECT_EQ(st.dwCurrentState, static_cast<DWORD>(SERVICE_PAUSED));
  EXPECT_EQ(Status(svc.h).dwCurrentState, static_cast<DWORD>(SERVICE_PAUSED));
  ASSERT_EQ(Control(svc.h, SERVICE_CONTROL_CONTINUE, &st), 0u);
  EXPECT_EQ(st.dwCurrentState, static_cast<DWORD>(SERVICE_RUNNING));
  ASSERT_EQ(Control(svc.h, SERVICE_CONTROL_INTERROGATE, &st), 0u);
  ASSERT_EQ(Control(svc.h, 128, &st), 0u);
  ASSERT_EQ(Control(svc.h, 255, &st), 0u);
  EXPECT_EQ(Control(svc.h, SERVICE_CONTROL_PARAMCHANGE, &st), static_cast<DWORD>(ERROR_INVALID_SERVICE_CONTROL));
  EXPECT_EQ(Control(svc.h, SERVICE_CONTROL_SHUTDOWN, &st), static_cast<DWORD>(ERROR_INVALID_PARAMETER));

  ASSERT_EQ(Control(svc.h, SERVICE_CONTROL_STOP, &st), 0u);
  EXPECT_EQ(st.dwCurrentState, static_cast<DWORD>(SERVICE_STOP_PENDING));
  ASSERT_TRUE(WaitState(svc.h, SERVICE_STOPPED));
  EXPECT_EQ(Status(svc.h).dwWin32ExitCode, 0u);
  EXPECT_EQ(Status(svc.h).dwProcessId, 0u);
  EXPECT_TRUE(WaitRecord("dispatcher-returned"));
  std::string rec = qel::test::ReadFile(Record());
  auto pos = [&](const std::string& l) { return rec.find(l + "\n"); };
  EXPECT_LT(pos("control 2"), pos("control 3"));
  EXPECT_LT(pos("control 3"), pos("control 4"));
  EXPECT_LT(pos("control 4"), pos("control 128"));
  EXPECT_LT(pos("control 255"), pos("control 1"));
  // The dispatcher returns only after ServiceMain did.
  EXPECT_LT(pos("main-returned"), pos("dispatcher-returned"));
  EXPECT_EQ(rec.find("control 6"), std::string::npos);  // refused before it reached the handler
  EXPECT_TRUE(WaitGone(sp.dwProcessId));

  EXPECT_EQ(Control(svc.h, SERVICE_CONTROL_STOP, &st), static_cast<DWORD>(ERROR_SERVICE_NOT_ACTIVE));
  ExpectCleanLog("Echo");
}

TEST_F(LifecycleTest, ControlsTheServiceDoesNotAcceptAreRefused) {
  Handle svc = Create("StopOnly", TestSvc("--accept stop"));
  ASSERT_TRUE(StartServiceW(svc.h, 0, nullptr)) << GetLastError();
  ASSERT_TRUE(WaitState(svc.h, SERVICE_RUNNING));
  SERVICE_STATUS st{};
  EXPECT_EQ(Control(svc.h, SERVICE_CONTROL_PAUSE, &st), static_cast<DWORD>(ERROR_INVALID_SERVICE_CONTROL));
  EXPECT_EQ(st.dwCurrentState, static_cast<DWORD>(SERVICE_RUNNING));
  EXPECT_EQ(Control(svc.h, SERVICE_CONTROL_CONTINUE, &st), static_cast<DWORD>(ERROR_INVALID_SERVICE_CONTROL));
  EXPECT_EQ(Control(svc.h, 200, &st), 0u);
  EXPECT_EQ(Control(svc.h, SERVICE_CONTROL_STOP, &st), 0u);
  EXPECT_TRUE(WaitState(svc.h, SERVICE_STOPPED));
}

TEST_F(LifecycleTest, KilledServiceShowsAsStoppedWithProcessAborted) {
  Handle svc = Create("Victim", TestSvc());
  ASSERT_TRUE(StartServiceW(svc.h, 0, nullptr)) << GetLastError();
  ASSERT_TRUE(WaitState(svc.h, SERVICE_RUNNING));
  DWORD pid = Status(svc.h).dwProcessId;
  ASSERT_GT(pid, 1u);
  ASSERT_EQ(::kill(static_cast<pid_t>(pid), SIGKILL), 0);
  ASSERT_TRUE(WaitGone(pid));
  SERVICE_STATUS_PROCESS sp = Status(svc.h);
  EXPECT_EQ(sp.dwCurrentState, static_cast<DWORD>(SERVICE_STOPPED));
  EXPECT_EQ(sp.dwWin32ExitCode, static_cast<DWORD>(ERROR_PROCESS_ABORTED));
  EXPECT_EQ(sp.dwProcessId, 0u);
  SERVICE_STATUS st{};
  EXPECT_EQ(Control(svc.h, SERVICE_CONTROL_STOP, &st), static_cast<DWORD>(ERROR_SERVICE_NOT_ACTIVE));
  // It can be started again.
  ASSERT_TRUE(StartServiceW(svc.h, 0, nullptr)) << GetLastError();
  ASSERT_TRUE(WaitState(svc.h, SERVICE_RUNNING));
  EXPECT_NE(Status(svc.h).dwProcessId, pid);
  EXPECT_EQ(Control(svc.h, SERVICE_CONTROL_STOP, &st), 0u);
  EXPECT_TRUE(WaitState(svc.h, SERVICE_STOPPED));
}

TEST_F(LifecycleTest, ProcessesThatNeverConnectOrEndEarlyFailTheStart) {
  setenv(qel::scm::kEnvTimeout, "400", 1);
  Handle hang = Create("Silent", TestSvc("--mode noconnect"));
  EXPECT_FALSE(StartServiceW(hang.h, 0, nullptr));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_SERVICE_REQUEST_TIMEOUT));
  ASSERT_TRUE(WaitRecord("process ", 2000, true));
  std::string rec = qel::test::ReadFile(Record());
  DWORD pid = static_cast<DWORD>(std::stoul(rec.substr(rec.find("process ") + 8)));
  EXPECT_TRUE(WaitGone(pid)) << "the manager must end a process that never connects";
  EXPECT_EQ(Status(hang.h).dwCurrentState, static_cast<DWORD>(SERVICE_STOPPED));

  // A process that ends early must end within the manager's timeout to be told
  // apart from one that never connects: the short timeout is for the first case.
  unsetenv(qel::scm::kEnvTimeout);
  Handle quitter = Create("Quitter", TestSvc("--mode exit"));
  EXPECT_FALSE(StartServiceW(quitter.h, 0, nullptr));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_PROCESS_ABORTED));
  EXPECT_EQ(Status(quitter.h).dwCurrentState, static_cast<DWORD>(SERVICE_STOPPED));
}

TEST_F(LifecycleTest, ImagePathsThatCannotRunGiveTheirWindowsCodes) {
  auto text = state_.path() / "notes.txt";
  qel::test::WriteFile(text, "just text\n");
  ::chmod(text.c_str(), 0644);
  auto junk = state_.path() / "junk.bin";
  qel::test::WriteFile(junk, std::string("\x01\x02\x03garbage", 10));
  ::chmod(junk.c_str(), 0755);
  struct Case {
    const char* name;
    std::string path;
    DWORD code;
  } cases[] = {
      {"Missing", (state_.path() / "missing").string(), ERROR_FILE_NOT_FOUND},
      {"NoExec", text.string(), ERROR_ACCESS_DENIED},
      {"BadFormat", junk.string(), ERROR_BAD_EXE_FORMAT},
  };
  for (const auto& c : cases) {
    Handle svc = Create(c.name, c.path);
    EXPECT_FALSE(StartServiceW(svc.h, 0, nullptr)) << c.name;
    EXPECT_EQ(GetLastError(), c.code) << c.name;
    EXPECT_EQ(Status(svc.h).dwCurrentState, static_cast<DWORD>(SERVICE_STOPPED)) << c.name;
  }
}

TEST_F(LifecycleTest, DependenciesAreStartedFirstOrFailTheStart) {
  Handle missing = Create("NeedsGhost", TestSvc(), u"Ghost\0");
  EXPECT_FALSE(StartServiceW(missing.h, 0, nullptr));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_SERVICE_DEPENDENCY_DELETED));

  Handle broken = Create("BrokenDep", (state_.path() / "nothing-here").string());
  Handle onBroken = Create("NeedsBroken", TestSvc(), u"BrokenDep\0");
  EXPECT_FALSE(StartServiceW(onBroken.h, 0, nullptr));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_SERVICE_DEPENDENCY_FAIL));

  Handle base = Create("Base", TestSvc("--name Base"));
  Handle top = Create("Top", TestSvc("--name Top"), u"rpcss\0UPNPHOST\0BASE\0");
  ASSERT_TRUE(StartServiceW(top.h, 0, nullptr)) << GetLastError();
  EXPECT_EQ(Status(base.h).dwCurrentState, static_cast<DWORD>(SERVICE_RUNNING));
  ASSERT_TRUE(WaitState(top.h, SERVICE_RUNNING));
  SERVICE_STATUS st{};
  EXPECT_EQ(Control(base.h, SERVICE_CONTROL_STOP, &st), static_cast<DWORD>(ERROR_DEPENDENT_SERVICES_RUNNING));
  EXPECT_EQ(Control(top.h, SERVICE_CONTROL_STOP, &st), 0u);
  ASSERT_TRUE(WaitState(top.h, SERVICE_STOPPED));
  EXPECT_EQ(Control(base.h, SERVICE_CONTROL_STOP, &st), 0u);
  EXPECT_TRUE(WaitState(base.h, SERVICE_STOPPED));
}

TEST_F(LifecycleTest, TwoStartsAtOnceStartOneInstance) {
  Handle svc = Create("Racer", TestSvc());
  Handle a(OpenServiceW(scm_.h, u"Racer", SERVICE_START)), b(OpenServiceW(scm_.h, u"Racer", SERVICE_START));
  ASSERT_TRUE(a);
  ASSERT_TRUE(b);
  std::atomic<int> ready{0};
  DWORD results[2] = {};
  auto run = [&](int i, SC_HANDLE h) {
    ready.fetch_add(1);
    while (ready.load() < 2) std::this_thread::yield();
    results[i] = StartServiceW(h, 0, nullptr) ? 0 : GetLastError();
  };
  std::thread t1(run, 0, a.h), t2(run, 1, b.h);
  t1.join();
  t2.join();
  EXPECT_EQ((results[0] == 0) + (results[1] == 0), 1) << results[0] << " " << results[1];
  EXPECT_TRUE(results[0] == ERROR_SERVICE_ALREADY_RUNNING || results[1] == ERROR_SERVICE_ALREADY_RUNNING);
  ASSERT_TRUE(WaitState(svc.h, SERVICE_RUNNING));
  std::string rec = qel::test::ReadFile(Record());
  EXPECT_EQ(rec.find("process "), rec.rfind("process ")) << "two processes were started:\n" << rec;
}

TEST_F(LifecycleTest, ServiceDeletedWhileRunningGoesOnceStopped) {
  Handle svc = Create("Leaving", TestSvc());
  ASSERT_TRUE(StartServiceW(svc.h, 0, nullptr)) << GetLastError();
  ASSERT_TRUE(WaitState(svc.h, SERVICE_RUNNING));
  ASSERT_TRUE(DeleteService(svc.h)) << GetLastError();
  EXPECT_FALSE(DeleteService(svc.h));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_SERVICE_MARKED_FOR_DELETE));
  Handle again(OpenServiceW(scm_.h, u"Leaving", SERVICE_ALL_ACCESS));
  ASSERT_TRUE(again) << "a marked service stays until it stops";
  EXPECT_FALSE(StartServiceW(again.h, 0, nullptr));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_SERVICE_MARKED_FOR_DELETE));
  SERVICE_STATUS st{};
  ASSERT_EQ(Control(svc.h, SERVICE_CONTROL_STOP, &st), 0u);
  auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(8);
  SC_HANDLE probe = nullptr;
  while (std::chrono::steady_clock::now() < deadline) {
    probe = OpenServiceW(scm_.h, u"Leaving", SERVICE_QUERY_STATUS);
    if (!probe) break;
    CloseServiceHandle(probe);
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  EXPECT_EQ(probe, nullptr);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_SERVICE_DOES_NOT_EXIST));
}

TEST_F(LifecycleTest, KilledMarkedServiceIsRemovedByTheNextQuery) {
  Handle svc = Create("Crashing", TestSvc());
  ASSERT_TRUE(StartServiceW(svc.h, 0, nullptr)) << GetLastError();
  ASSERT_TRUE(WaitState(svc.h, SERVICE_RUNNING));
  DWORD pid = Status(svc.h).dwProcessId;
  ASSERT_TRUE(DeleteService(svc.h));
  ::kill(static_cast<pid_t>(pid), SIGKILL);
  ASSERT_TRUE(WaitGone(pid));
  EXPECT_EQ(Status(svc.h).dwWin32ExitCode, static_cast<DWORD>(ERROR_PROCESS_ABORTED));
  EXPECT_FALSE(OpenServiceW(scm_.h, u"Crashing", SERVICE_QUERY_STATUS));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_SERVICE_DOES_NOT_EXIST));
}

TEST_F(LifecycleTest, PendingStatesAndSlowHandlersAreReported) {
  Handle slow = Create("Slow", TestSvc("--start-delay 1500 --hang-code 130"));
  ASSERT_TRUE(StartServiceW(slow.h, 0, nullptr)) << GetLastError();
  SERVICE_STATUS st{};
  EXPECT_EQ(Control(slow.h, SERVICE_CONTROL_STOP, &st), static_cast<DWORD>(ERROR_SERVICE_CANNOT_ACCEPT_CTRL));
  EXPECT_EQ(st.dwCurrentState, static_cast<DWORD>(SERVICE_START_PENDING));
  ASSERT_TRUE(WaitState(slow.h, SERVICE_RUNNING));
  setenv(qel::scm::kEnvTimeout, "300", 1);
  EXPECT_EQ(Control(slow.h, 130, &st), static_cast<DWORD>(ERROR_SERVICE_REQUEST_TIMEOUT));
  EXPECT_EQ(Status(slow.h).dwCurrentState, static_cast<DWORD>(SERVICE_RUNNING));
}

TEST_F(LifecycleTest, HandlerForAnotherNameIsRefusedAndTheServiceEnds) {
  Handle svc = Create("Misnamed", TestSvc("--name Misnamed --handler-name SomeoneElse"));
  ASSERT_TRUE(StartServiceW(svc.h, 0, nullptr)) << GetLastError();
  EXPECT_TRUE(WaitRecord("handler-failed 1060"));
  ASSERT_TRUE(WaitRecord("dispatcher-returned"));
  SERVICE_STATUS_PROCESS sp = Status(svc.h);
  EXPECT_EQ(sp.dwCurrentState, static_cast<DWORD>(SERVICE_STOPPED));
  EXPECT_EQ(sp.dwWin32ExitCode, static_cast<DWORD>(ERROR_PROCESS_ABORTED));
}

TEST_F(LifecycleTest, StartsAndStopsLeaveNoDescriptorsBehind) {
  Handle svc = Create("Tidy", TestSvc("--name Tidy"));
  auto cycle = [&] {
    ASSERT_TRUE(StartServiceW(svc.h, 0, nullptr)) << GetLastError();
    ASSERT_TRUE(WaitState(svc.h, SERVICE_RUNNING));
    SERVICE_STATUS st{};
    ASSERT_TRUE(ControlService(svc.h, SERVICE_CONTROL_STOP, &st)) << GetLastError();
    ASSERT_TRUE(WaitState(svc.h, SERVICE_STOPPED));
  };
  auto openFds = [] {
    int n = 0;
    for (auto it = std::filesystem::directory_iterator("/proc/self/fd"); it != std::filesystem::directory_iterator();
         ++it)
      ++n;
    return n;
  };
  cycle();  // the store's connection is opened once and kept
  int before = openFds();
  for (int i = 0; i < 3; ++i) cycle();
  EXPECT_EQ(openFds(), before);
}

TEST_F(LifecycleTest, ServiceProcessGetsItsOwnFaultPlan) {
  Handle svc = Create("Faulty", TestSvc("--name Faulty"));
  setenv(qel::scm::kEnvServiceFaults, "SetServiceStatus=31@1", 1);
  BOOL started = StartServiceW(svc.h, 0, nullptr);
  unsetenv(qel::scm::kEnvServiceFaults);
  ASSERT_TRUE(started) << GetLastError();
  // The first report goes through, the second (RUNNING) fails inside the service.
  EXPECT_TRUE(WaitRecord("status-failed 31"));
  EXPECT_EQ(Status(svc.h).dwCurrentState, static_cast<DWORD>(SERVICE_START_PENDING));
}

TEST(DispatcherTest, ProcessNotStartedByTheManagerCannotConnect) {
  qel::test::ScopedStateDir state;
  auto main = [](DWORD, LPWSTR*) {};
  std::u16string name = u"Foreground";
  SERVICE_TABLE_ENTRYW table[] = {{name.data(), +main}, {nullptr, nullptr}};
  EXPECT_FALSE(StartServiceCtrlDispatcherW(table));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FAILED_SERVICE_CONTROLLER_CONNECT));
  // A copied marker without the manager's descriptor is no better.
  setenv(qel::scm::kEnvService, "Foreground", 1);
  setenv(qel::scm::kEnvToken, "0123456789abcdef0123456789abcdef", 1);
  setenv(qel::scm::kEnvFd, "987", 1);
  EXPECT_FALSE(StartServiceCtrlDispatcherW(table));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FAILED_SERVICE_CONTROLLER_CONNECT));
  EXPECT_EQ(getenv(qel::scm::kEnvService), nullptr);

  EXPECT_EQ(RegisterServiceCtrlHandlerW(u"Foreground", [](DWORD) {}), nullptr);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_SERVICE_DOES_NOT_EXIST));
  SERVICE_STATUS st{SERVICE_WIN32_OWN_PROCESS, SERVICE_RUNNING, 0, 0, 0, 0, 0};
  EXPECT_FALSE(SetServiceStatus(nullptr, &st));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
}

}  // namespace
}  // namespace scmtest
