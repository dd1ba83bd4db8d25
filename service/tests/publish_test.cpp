// The whole run with a real publication, each in a private network namespace
// and a program directory of its own: start, the message loop, the stop from
// the control handler; and a stop that arrives while the run is starting.
#include "servicetest.h"

#include <chrono>
#include <future>
#include <thread>

namespace {

using servicetest::Capture;

const WCHAR kSettings[] = TEXT("SoftWare\\QelUPnP");
const WCHAR kDeviceKey[] = TEXT("SoftWare\\Varn2\\QelUPnP");

class PublishTest : public ::testing::Test {
 protected:
  void SetUp() override {
#if !defined(QEL_TEST_DEVICECONTROL_PATH)
    GTEST_SKIP() << "the device-control library is not built";
#endif
    if (!servicetest::InChild() && !servicetest::IsRoot()) GTEST_SKIP() << "a private network needs root";
    qel::fault::Reset();
  }

  // Parent side: runs the test in a child with a private network and program directory.
  bool RunInChild() {
    if (servicetest::InChild()) return false;

    qel::test::TempDir programDir;
#ifdef QEL_TEST_SERVICE_XML
    std::filesystem::copy_file(QEL_TEST_SERVICE_XML, programDir.path() / "QelUPnPService.xml");
#endif
    servicetest::ChildOptions options;
    options.programDir = programDir.path();
    options.privateNetwork = true;
    EXPECT_EQ(servicetest::ChildRun(options), 0);
    return true;
  }

  // Child side: settings, workspace and the device-control class in the store.
  void Prepare() {
    lstrcpynW(g_Module.m_szName, TEXT("QelUPnP"), 256);
    g_Module.m_dwLogType = 3;
    g_Module.m_bRunAsService = TRUE;
    g_Module.m_bStopRequested = false;
    g_Module.m_svcStatus = {SERVICE_WIN32_OWN_PROCESS, SERVICE_START_PENDING,
                           SERVICE_ACCEPT_STOP | SERVICE_ACCEPT_SHUTDOWN, 0, 0, 0, 0};
    const auto workspace = m_dir.path() / "workspace.xml";
    qel::test::WriteFile(workspace, servicetest::kWorkspaceXml);
    const std::u16string path = qel::FromUtf8(workspace.string());
    servicetest::SetRegString(HKEY_CLASSES_ROOT, kSettings, TEXT("DataPath"), path.c_str());
    servicetest::SetRegDword(HKEY_CLASSES_ROOT, kSettings, TEXT("LogType"), 3);
    servicetest::SetRegDword(HKEY_CLASSES_ROOT, kSettings, TEXT("LogLevel"), 0);
#ifdef QEL_TEST_DEVICECONTROL_PATH
    const std::u16string lib = qel::FromUtf8(QEL_TEST_DEVICECONTROL_PATH);
    HMODULE hLib = LoadLibraryW(lib.c_str());
    ASSERT_NE(hLib, nullptr);
    auto reg = reinterpret_cast<LPFNDLLREGISTERSERVER>(reinterpret_cast<void*>(GetProcAddress(hLib, "DllRegisterServer")));
    ASSERT_NE(reg, nullptr);
    ASSERT_EQ(reg(), S_OK);
#endif
  }

  std::string LastDeviceId() {
    std::lock_guard<std::recursive_mutex> guard(g_Module.m_deviceLock);
    return qel::ToUtf8(g_Module.m_szLastDeviceId);
  }

  qel::test::ScopedStateDir m_state;
  qel::test::TempDir m_dir;
  Capture m_capture;
};

TEST_F(PublishTest, RunUntilStoppedThenWithdraw) {
  if (RunInChild()) return;
  Prepare();
  std::promise<void> done;
  auto ended = done.get_future();
  std::thread run([&] {
    g_Module.RunService();
    done.set_value();
  });

  // Registered: the identifier is in the module and in the registry.
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
  while (servicetest::RegString(HKEY_CLASSES_ROOT, kDeviceKey, TEXT("LastDeviceID")) == "<missing>" &&
         std::chrono::steady_clock::now() < deadline &&
         ended.wait_for(std::chrono::milliseconds(10)) != std::future_status::ready) {
  }
  const std::string id = servicetest::RegString(HKEY_CLASSES_ROOT, kDeviceKey, TEXT("LastDeviceID"));
  EXPECT_NE(id, "<missing>");
  EXPECT_EQ(id, LastDeviceId());
  EXPECT_NE(ended.wait_for(std::chrono::milliseconds(200)), std::future_status::ready) << "waiting in its loop";
  EXPECT_TRUE(std::filesystem::exists(qel::ToUtf8(g_Module.m_bstrModuleDir) + "QelUPnPDevice.xml"));

  CServiceModule::ServiceControlProc(SERVICE_CONTROL_STOP);
  const bool bEnded = ended.wait_for(std::chrono::seconds(30)) == std::future_status::ready;
  if (!bEnded) PostThreadMessageW(g_Module.m_dwMainThreadId.load(), WM_QUIT, 0, 0);
  run.join();
  EXPECT_TRUE(bEnded);
  EXPECT_EQ(servicetest::RegString(HKEY_CLASSES_ROOT, kDeviceKey, TEXT("LastDeviceID")), "<missing>");
  EXPECT_EQ(LastDeviceId(), id) << "the withdrawal leaves the field alone";
  EXPECT_EQ(m_capture.Count("QelUPnP:UnregisterDevice failed."), 0);
  EXPECT_EQ(m_capture.Count("QelUPnP:egisterUPnPDevice() Failed."), 0);
  EXPECT_EQ(g_Module.m_svcStatus.dwCurrentState, static_cast<DWORD>(SERVICE_STOPPED));
  EXPECT_EQ(qel::fault::Calls("SetServiceStatus"), 3);
}

TEST_F(PublishTest, StopWhileStartingLeavesNothingRegistered) {
  if (RunInChild()) return;
  Prepare();
  for (int round = 0; round < 3; ++round) {
    g_Module.m_bStopRequested = false;
    std::promise<void> done;
    auto ended = done.get_future();
    std::thread run([&] {
      g_Module.RunService();
      done.set_value();
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(round * 20));
    CServiceModule::ServiceControlProc(SERVICE_CONTROL_SHUTDOWN);
    const bool bEnded = ended.wait_for(std::chrono::seconds(30)) == std::future_status::ready;
    if (!bEnded) PostThreadMessageW(g_Module.m_dwMainThreadId.load(), WM_QUIT, 0, 0);
    run.join();
    EXPECT_TRUE(bEnded) << "the run ends although the stop came first, round " << round;
    EXPECT_EQ(servicetest::RegString(HKEY_CLASSES_ROOT, kDeviceKey, TEXT("LastDeviceID")), "<missing>")
        << "round " << round;
  }
}

}  // namespace
