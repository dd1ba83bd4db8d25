// Service control: the control handler's codes and stop sequence, the service
// entry outside the manager, the dispatcher's fallback to the foreground, and
// the two threads of a service sharing the module.
#include "servicetest.h"

#include <atomic>
#include <chrono>
#include <future>
#include <thread>

namespace {

using servicetest::Capture;

class ServiceControlTest : public ::testing::Test {
 protected:
  void SetUp() override {
    qel::fault::Reset();
    lstrcpynW(g_Module.m_szName, TEXT("QelUPnP"), 256);
    g_Module.m_dwLogType = 3;
    g_Module.m_dwLogLevel = 0;
    g_Module.m_bRunAsService = TRUE;
    g_Module.m_bStopRequested = false;
    g_Module.m_szLastDeviceId[0] = 0;
    g_Module.m_hStatus = nullptr;
    g_Module.m_dwMainThreadId = 0;
    g_Module.m_svcStatus = {SERVICE_WIN32_OWN_PROCESS, SERVICE_RUNNING, SERVICE_ACCEPT_STOP | SERVICE_ACCEPT_SHUTDOWN,
                           0, 0, 0, 0};
  }
  void TearDown() override { qel::fault::Reset(); }

  qel::test::ScopedStateDir m_state;
  Capture m_capture;
};

// A thread that waits in a message loop, as the run sequence does; it can be
// held back before its loop starts.
class LoopThread {
 public:
  explicit LoopThread(bool bHoldBeforeLoop = false) : m_hold(bHoldBeforeLoop) {
    m_thread = std::thread([this] {
      m_tid = GetCurrentThreadId();
      m_started.set_value();
      while (m_hold.load()) std::this_thread::sleep_for(std::chrono::milliseconds(1));
      MSG msg;
      while (GetMessageW(&msg, nullptr, 0, 0) > 0) {
      }
      m_ended.set_value();
    });
    m_started.get_future().wait();
  }
  ~LoopThread() {
    if (!Ended(std::chrono::milliseconds(0))) {
      m_hold = false;
      PostThreadMessageW(m_tid, WM_QUIT, 0, 0);
    }
    m_thread.join();
  }
  DWORD Id() const { return m_tid; }
  void Release() { m_hold = false; }
  bool Ended(std::chrono::milliseconds within) {
    return m_endedFuture.wait_for(within) == std::future_status::ready;
  }

 private:
  std::atomic<bool> m_hold;
  std::atomic<DWORD> m_tid{0};
  std::promise<void> m_started;
  std::promise<void> m_ended;
  std::future<void> m_endedFuture = m_ended.get_future();
  std::thread m_thread;
};

TEST_F(ServiceControlTest, StopAndShutdownRunTheStopSequence) {
  for (DWORD code : {SERVICE_CONTROL_STOP, SERVICE_CONTROL_SHUTDOWN}) {
    SetUp();
    LoopThread loop;
    g_Module.m_dwMainThreadId = loop.Id();
    CServiceModule::ServiceControlProc(code);
    EXPECT_TRUE(loop.Ended(std::chrono::seconds(30))) << "the message loop ends";
    EXPECT_EQ(qel::fault::Calls("SetServiceStatus"), 2) << "STOP_PENDING, then STOPPED";
    EXPECT_EQ(g_Module.m_svcStatus.dwCurrentState, static_cast<DWORD>(SERVICE_STOPPED));
    EXPECT_TRUE(g_Module.m_bStopRequested);
    EXPECT_EQ(qel::fault::Calls("PostThreadMessageW"), 1);
  }
}

TEST_F(ServiceControlTest, WithdrawalRunsOnceInAnApartmentOfTheHandlersOwn) {
  LoopThread loop;
  g_Module.m_dwMainThreadId = loop.Id();
  lstrcpynW(g_Module.m_szLastDeviceId, TEXT("uuid:never-handed-out"), MAX_PATH);
  CServiceModule::ServiceControlProc(SERVICE_CONTROL_STOP);
  EXPECT_TRUE(loop.Ended(std::chrono::seconds(30)));
  EXPECT_EQ(qel::fault::Calls("CoInitialize"), 1);
  // The registrar could be created on this thread: the host itself refused the id.
  EXPECT_EQ(m_capture.Count("QelUPnP:CoCreateInstance failed."), 0);
  EXPECT_EQ(m_capture.Count("QelUPnP:UnregisterDevice failed."), 1);
}

TEST_F(ServiceControlTest, StopGoesOnWhenTheWithdrawalFails) {
  LoopThread loop;
  g_Module.m_dwMainThreadId = loop.Id();
  qel::fault::Arm("CoInitialize", E_OUTOFMEMORY);
  qel::fault::Arm("CoCreateInstance", REGDB_E_CLASSNOTREG, 0, -1);
  CServiceModule::ServiceControlProc(SERVICE_CONTROL_STOP);
  EXPECT_TRUE(loop.Ended(std::chrono::seconds(30)));
  EXPECT_EQ(m_capture.Count("QelUPnP:CoCreateInstance failed."), 1);
  EXPECT_EQ(g_Module.m_svcStatus.dwCurrentState, static_cast<DWORD>(SERVICE_STOPPED));
}

TEST_F(ServiceControlTest, QuitPostedBeforeTheLoopRunsIsNotLost) {
  LoopThread loop(/*bHoldBeforeLoop=*/true);
  g_Module.m_dwMainThreadId = loop.Id();
  CServiceModule::ServiceControlProc(SERVICE_CONTROL_STOP);
  EXPECT_FALSE(loop.Ended(std::chrono::milliseconds(50)));
  loop.Release();
  EXPECT_TRUE(loop.Ended(std::chrono::seconds(30)));
}

TEST_F(ServiceControlTest, PauseContinueAndInterrogateDoNothing) {
  for (DWORD code : {SERVICE_CONTROL_PAUSE, SERVICE_CONTROL_CONTINUE, SERVICE_CONTROL_INTERROGATE})
    CServiceModule::ServiceControlProc(code);
  EXPECT_EQ(qel::fault::Calls("SetServiceStatus"), 0);
  EXPECT_EQ(qel::fault::Calls("PostThreadMessageW"), 0);
  EXPECT_TRUE(m_capture.Messages().empty());
  EXPECT_EQ(g_Module.m_svcStatus.dwCurrentState, static_cast<DWORD>(SERVICE_RUNNING));
  EXPECT_FALSE(g_Module.m_bStopRequested);
}

TEST_F(ServiceControlTest, OtherCodesAreBadRequests) {
  for (DWORD code : {0u, 6u, 127u, 128u, 200u, 255u, 0x10000u}) CServiceModule::ServiceControlProc(code);
  EXPECT_EQ(m_capture.Messages(), std::vector<std::string>(7, "Bad service request\n"));
  EXPECT_EQ(qel::fault::Calls("SetServiceStatus"), 0);
  EXPECT_EQ(g_Module.m_svcStatus.dwCurrentState, static_cast<DWORD>(SERVICE_RUNNING));

  // At threshold 2 even that is silent.
  g_Module.m_dwLogLevel = 2;
  CServiceModule::ServiceControlProc(6);
  EXPECT_EQ(m_capture.Messages().size(), 7u);
}

TEST_F(ServiceControlTest, ReportServiceStateSetsTheStateAndGivesTheReportsResult) {
  qel::fault::Arm("SetServiceStatus", ERROR_INVALID_HANDLE);
  EXPECT_EQ(g_Module.ReportServiceState(SERVICE_STOP_PENDING), FALSE);
  EXPECT_EQ(g_Module.m_svcStatus.dwCurrentState, static_cast<DWORD>(SERVICE_STOP_PENDING));
  EXPECT_EQ(g_Module.m_svcStatus.dwControlsAccepted, 5u);
  EXPECT_EQ(g_Module.m_svcStatus.dwServiceType, 0x10u);
}

TEST_F(ServiceControlTest, ServiceEntryWithoutTheManagerInstallsNoHandler) {
  // This process was not started by the manager: the handler cannot be registered.
  g_Module.m_svcStatus.dwCurrentState = SERVICE_STOPPED;
  CServiceModule::ServiceMainProc(0, nullptr);
  EXPECT_EQ(m_capture.Messages(), std::vector<std::string>{"Handler not installed\n"});
  EXPECT_EQ(qel::fault::Calls("SetServiceStatus"), 0) << "no state is reported";
  EXPECT_EQ(g_Module.m_svcStatus.dwCurrentState, static_cast<DWORD>(SERVICE_START_PENDING));
  EXPECT_EQ(g_Module.m_hStatus, nullptr);
}

TEST_F(ServiceControlTest, DispatcherOutsideTheManagerFallsBackToTheForeground) {
  g_Module.m_bRunAsService = TRUE;
  g_Module.StartServiceDispatch();
  EXPECT_EQ(g_Module.m_bRunAsService, FALSE);
  // The run sequence ran here and ended at the workspace read (nothing configured).
  EXPECT_EQ(m_capture.Messages(),
            (std::vector<std::string>{"CQelUPnP::ReadRegInfo was called.", "QelUPnP:Service started",
                                      "QelUPnP::ReadCSQ() Failed."}));
  EXPECT_EQ(qel::fault::Calls("SetServiceStatus"), 0);
  EXPECT_EQ(g_Module.m_dwMainThreadId.load(), GetCurrentThreadId());
}

TEST_F(ServiceControlTest, ForegroundWithoutServiceFlagSkipsTheDispatcher) {
  g_Module.m_bRunAsService = FALSE;
  g_Module.StartServiceDispatch();
  EXPECT_EQ(qel::fault::Calls("StartServiceCtrlDispatcherW"), 0);
  EXPECT_EQ(m_capture.Count("QelUPnP::ReadCSQ() Failed."), 1);
}

// The handler and the run thread at once: status reports, log messages and
// the stop request all shared (run under ThreadSanitizer by the test script).
TEST_F(ServiceControlTest, StopWhileTheRunSequenceStarts) {
  for (int round = 0; round < 5; ++round) {
    SetUp();
    g_Module.m_svcStatus.dwCurrentState = SERVICE_START_PENDING;
    std::promise<void> done;
    auto ended = done.get_future();
    std::thread run([&] {
      g_Module.RunService();
      done.set_value();
    });
    if (round % 2) std::this_thread::sleep_for(std::chrono::milliseconds(round));
    CServiceModule::ServiceControlProc(SERVICE_CONTROL_STOP);
    CServiceModule::ServiceControlProc(200);
    const bool bEnded = ended.wait_for(std::chrono::seconds(60)) == std::future_status::ready;
    if (!bEnded) PostThreadMessageW(g_Module.m_dwMainThreadId.load(), WM_QUIT, 0, 0);
    run.join();
    EXPECT_TRUE(bEnded);
    EXPECT_TRUE(g_Module.m_bStopRequested);
    EXPECT_EQ(m_capture.Count("Bad service request\n"), round + 1);
    EXPECT_EQ(m_capture.Count("QelUPnP::ReadCSQ() Failed."), round + 1);
    // STOP_PENDING and STOPPED from the handler, RUNNING from the run thread.
    EXPECT_EQ(qel::fault::Calls("SetServiceStatus"), 3);
  }
}

TEST_F(ServiceControlTest, TwoThreadsReportingAndLogging) {
  constexpr int kRounds = 200;
  std::thread other([] {
    for (int i = 0; i < kRounds; ++i) {
      g_Module.ReportServiceState(SERVICE_RUNNING);
      g_Module.WriteLog(1, TEXT("run %d"), i);
    }
  });
  for (int i = 0; i < kRounds; ++i) CServiceModule::ServiceControlProc(255);
  other.join();
  EXPECT_EQ(qel::fault::Calls("SetServiceStatus"), kRounds);
  EXPECT_EQ(m_capture.Count("Bad service request\n"), kRounds);
  EXPECT_EQ(m_capture.Messages().size(), 2u * kRounds);
  EXPECT_EQ(g_Module.m_svcStatus.dwCurrentState, static_cast<DWORD>(SERVICE_RUNNING));
}

}  // namespace
