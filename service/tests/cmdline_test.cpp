// The process entry: the switch scan, the three switches with their registry
// entries, boxes and exit codes, and the start without a switch.
#include "cmdline.h"
#include "servicetest.h"

namespace {

using servicetest::Capture;
using servicetest::RegKeyExists;
using servicetest::RegString;

const WCHAR kAppKey[] = TEXT("AppID\\{3C5E9A17-6B2D-4E80-9F41-A2D7C06E8B35}");

TEST(NextSwitchTokenTest, FindsThePositionBehindEachSeparator) {
  const WCHAR sep[] = TEXT("-/");
  EXPECT_EQ(NextSwitchToken(nullptr, sep), nullptr);
  EXPECT_EQ(NextSwitchToken(TEXT(""), sep), nullptr);
  EXPECT_EQ(NextSwitchToken(TEXT("qelupnp"), sep), nullptr);

  LPCWSTR line = TEXT("/opt/my-app/qelupnp -RegServer");
  LPCWSTR t = NextSwitchToken(line, sep);
  ASSERT_EQ(t, line + 1);
  t = NextSwitchToken(t, sep);
  ASSERT_EQ(t, line + 5);
  t = NextSwitchToken(t, sep);
  ASSERT_EQ(t, line + 8);  // inside my-app
  t = NextSwitchToken(t, sep);
  ASSERT_EQ(t, line + 12);
  t = NextSwitchToken(t, sep);
  ASSERT_NE(t, nullptr);
  EXPECT_EQ(std::u16string(t), u"RegServer");
  EXPECT_EQ(NextSwitchToken(t, sep), nullptr);

  // A separator at the very end gives the (empty) rest, not null.
  LPCWSTR dash = TEXT("x -");
  EXPECT_EQ(NextSwitchToken(dash, sep), dash + 3);
  EXPECT_EQ(*NextSwitchToken(dash, sep), 0);
}

TEST(NextSwitchTokenTest, LongCommandLine) {
  std::u16string line(32000, u'a');
  line += u" -x";
  LPCWSTR t = NextSwitchToken(reinterpret_cast<LPCWSTR>(line.c_str()), TEXT("-/"));
  ASSERT_NE(t, nullptr);
  EXPECT_EQ(std::u16string(t), u"x");
}

class CommandLineTest : public ::testing::Test {
 protected:
  void SetUp() override {
    qel::fault::Reset();
    g_Module.m_dwLogType = 0;
    g_Module.m_dwLogLevel = 0;
    g_Module.m_bStopRequested = false;
    g_Module.m_szLastDeviceId[0] = 0;
    m_hInstance = GetModuleHandleW(nullptr);
    lstrcpynW(m_installer.m_szName, TEXT("QelUPnP"), 256);
  }
  void TearDown() override { qel::fault::Reset(); }

  DWORD Run(const std::u16string& args) {
    std::u16string line = u"/opt/qel-upnp/qelupnp" + args;
    return RunProcessEntry(m_hInstance, reinterpret_cast<LPCWSTR>(line.c_str()));
  }
  // Runs the start path and gives its exit code and standard output.
  std::pair<DWORD, std::string> Start(const std::u16string& args = u"") {
    ::testing::internal::CaptureStdout();
    const DWORD code = Run(args);
    return {code, ::testing::internal::GetCapturedStdout()};
  }

  qel::test::ScopedStateDir m_state;
  Capture m_capture;
  HINSTANCE m_hInstance = nullptr;
  CQelUPnP m_installer;  // for looking at the service
};

TEST_F(CommandLineTest, NeverRegisteredProgramEndsAtOnceWithTwo) {
  for (const char16_t* args : {u"", u" -x", u" -Service ", u" -Service -", u" RegServer", u" -RegServer /x"}) {
    const auto [code, out] = Start(args);
    EXPECT_EQ(code, static_cast<DWORD>(ERROR_FILE_NOT_FOUND)) << qel::ToUtf8(args);
    EXPECT_EQ(out, "") << "nothing runs, nothing is logged";
  }
  EXPECT_TRUE(m_capture.Boxes().empty());
  EXPECT_EQ(std::u16string(g_Module.m_szName), u"QelUPnP") << "the name comes from string resource 100";
  EXPECT_EQ(g_Module.m_svcStatus.dwServiceType, 0x10u);
  EXPECT_EQ(g_Module.m_svcStatus.dwControlsAccepted, 5u);
  EXPECT_EQ(g_pModule, &g_Module);
}

TEST_F(CommandLineTest, ProgramPathIsNeverScannedForSwitches) {
  ASSERT_EQ(Run(u" -Service"), 0u);
  // Program files named like the switches, started without an argument, start.
  for (const char16_t* path : {u"/opt/x/UnregServer", u"/opt/x/service", u"/usr/sbin/RegServer",
                               u"\"/opt/my app/-UnregServer\"", u"UnregServer"}) {
    qel::fault::Reset();
    ::testing::internal::CaptureStdout();
    const std::u16string line(path);
    EXPECT_EQ(RunProcessEntry(m_hInstance, reinterpret_cast<LPCWSTR>(line.c_str())), 0u) << qel::ToUtf8(path);
    const std::string out = ::testing::internal::GetCapturedStdout();
    EXPECT_NE(out.find("QelUPnP::ReadCSQ() Failed."), std::string::npos) << qel::ToUtf8(path) << out;
    EXPECT_TRUE(m_installer.IsServiceInstalled()) << qel::ToUtf8(path);
    EXPECT_EQ(RegString(HKEY_CLASSES_ROOT, kAppKey, TEXT("LocalService")), "QelUPnP") << qel::ToUtf8(path);
  }
  // A switch after such a path still counts.
  const std::u16string line = u"\"/opt/my app/service\" -UnregServer";
  EXPECT_EQ(RunProcessEntry(m_hInstance, reinterpret_cast<LPCWSTR>(line.c_str())), 0u);
  EXPECT_FALSE(m_installer.IsServiceInstalled());
  EXPECT_TRUE(m_capture.Boxes().empty());
}

TEST_F(CommandLineTest, HelpPrintsTheUsageAndStartsNothing) {
  for (bool registered : {false, true}) {
    if (registered) {
      ASSERT_EQ(Run(u" -RegServer"), 0u);
    }
    for (const char16_t* args : {u" --help", u" -h", u" -?", u" /?", u" -H", u"  --HELP"}) {
      qel::fault::Reset();
      const auto [code, out] = Start(args);
      EXPECT_EQ(code, 0u) << qel::ToUtf8(args);
      EXPECT_EQ(out.rfind("Usage: qelupnp [-RegServer | -Service | -UnregServer | --help]\n", 0), 0u) << out;
      for (const char* named : {"-RegServer", "-Service", "-UnregServer", "qelupnp-sc", "qelupnp-reg",
                                "QELUPNP_STATE_DIR", "QELUPNP.log"})
        EXPECT_NE(out.find(named), std::string::npos) << named;
      EXPECT_NE(out.find("QELUPNP_STATE_DIR is set here: " + m_state.path().string()), std::string::npos);
      EXPECT_EQ(out.find("Service started"), std::string::npos) << "nothing runs";
      EXPECT_EQ(qel::fault::Calls("StartServiceCtrlDispatcherW"), 0);
    }
    EXPECT_EQ(RegKeyExists(HKEY_CLASSES_ROOT, kAppKey), registered) << "nothing is registered or removed";
  }
  // Help is asked for only by the whole rest of the line.
  EXPECT_EQ(Start(u" --help -x").second.find("Usage:"), std::string::npos);
  EXPECT_TRUE(m_capture.Boxes().empty());
}

TEST_F(CommandLineTest, AppIdWithoutTheApplicationKeyEndsWithTwo) {
  servicetest::SetRegString(HKEY_CLASSES_ROOT, TEXT("AppID\\Other"), nullptr, TEXT("x"));
  EXPECT_EQ(Start().first, static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
}

TEST_F(CommandLineTest, RegServerCreatesTheEntriesAndStartRunsInTheForeground) {
  EXPECT_EQ(Run(u" -RegServer"), 0u);
  EXPECT_EQ(RegString(HKEY_CLASSES_ROOT, kAppKey, nullptr), "QelUPnP");
  EXPECT_EQ(RegString(HKEY_CLASSES_ROOT, TEXT("AppID\\QelUPnP.EXE"), TEXT("AppID")),
            "{3C5E9A17-6B2D-4E80-9F41-A2D7C06E8B35}");
  EXPECT_EQ(RegString(HKEY_CLASSES_ROOT, kAppKey, TEXT("LocalService")), "<missing>");
  EXPECT_TRUE(RegKeyExists(HKEY_CLASSES_ROOT, TEXT("TypeLib\\{E4190B6C-2A7F-4C3D-8E25-5B9F17D4A0C6}")));
  EXPECT_FALSE(m_installer.IsServiceInstalled());
  EXPECT_TRUE(m_capture.Boxes().empty());

  // No "LocalService": the run sequence runs here, ends at the workspace read, exit 0.
  const auto [code, out] = Start();
  EXPECT_EQ(code, 0u);
  EXPECT_EQ(g_Module.m_bRunAsService, FALSE);
  EXPECT_EQ(qel::fault::Calls("StartServiceCtrlDispatcherW"), 0);
  EXPECT_EQ(out, "CQelUPnP::ReadRegInfo was called.\nQelUPnP:Service started\nQelUPnP::ReadCSQ() Failed.\n");
}

TEST_F(CommandLineTest, ServiceSwitchInstallsTheServiceInAnyLetterCase) {
  for (const char16_t* args : {u" -Service", u" /service", u" -SERVICE", u" -RegServer -Service"}) {
    SetUp();
    EXPECT_EQ(Run(args), 0u) << qel::ToUtf8(args);
    EXPECT_EQ(RegString(HKEY_CLASSES_ROOT, kAppKey, TEXT("LocalService")), "QelUPnP");
    EXPECT_EQ(RegString(HKEY_CLASSES_ROOT, kAppKey, TEXT("ServiceParameters")), "-Service");
    EXPECT_TRUE(m_installer.IsServiceInstalled());
  }
  EXPECT_TRUE(m_capture.Boxes().empty());

  // "LocalService" is set: the dispatcher is tried first, fails here, and the
  // sequence runs in the foreground.
  qel::fault::Reset();
  const auto [code, out] = Start();
  EXPECT_EQ(code, 0u);
  EXPECT_EQ(qel::fault::Calls("StartServiceCtrlDispatcherW"), 1);
  EXPECT_EQ(g_Module.m_bRunAsService, FALSE);
  EXPECT_NE(out.find("QelUPnP::ReadCSQ() Failed."), std::string::npos);
}

TEST_F(CommandLineTest, RegServerAfterServiceRemovesTheService) {
  ASSERT_EQ(Run(u" -Service"), 0u);
  ASSERT_TRUE(m_installer.IsServiceInstalled());
  EXPECT_EQ(Run(u" -RegServer"), 0u);
  EXPECT_FALSE(m_installer.IsServiceInstalled());
  EXPECT_EQ(RegString(HKEY_CLASSES_ROOT, kAppKey, TEXT("LocalService")), "<missing>");
  // The other value of the service registration stays.
  EXPECT_EQ(RegString(HKEY_CLASSES_ROOT, kAppKey, TEXT("ServiceParameters")), "-Service");
}

TEST_F(CommandLineTest, UnregServerRemovesEverything) {
  ASSERT_EQ(Run(u" -Service"), 0u);
  EXPECT_EQ(Run(u" -UnregServer"), 0u);
  EXPECT_FALSE(RegKeyExists(HKEY_CLASSES_ROOT, kAppKey));
  EXPECT_FALSE(RegKeyExists(HKEY_CLASSES_ROOT, TEXT("AppID\\QelUPnP.EXE")));
  EXPECT_FALSE(RegKeyExists(HKEY_CLASSES_ROOT, TEXT("TypeLib\\{E4190B6C-2A7F-4C3D-8E25-5B9F17D4A0C6}")));
  EXPECT_FALSE(m_installer.IsServiceInstalled());
  EXPECT_EQ(Start().first, static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
  // Removing again is still success.
  EXPECT_EQ(Run(u" /unregserver"), 0u);
  EXPECT_TRUE(m_capture.Boxes().empty());
}

TEST_F(CommandLineTest, ComThatCannotStartFailsEachSwitch) {
  const struct {
    const char16_t* args;
    const char* box;
  } rows[] = {{u" -UnregServer", "[QelUPnP] '/UnregServer' failed."},
              {u" -RegServer", "[QelUPnP] '/RegServer' failed."},
              {u" -Service", "[QelUPnP] '/Service' failed."}};
  for (const auto& row : rows) {
    SetUp();
    qel::fault::Arm("CoInitialize", E_OUTOFMEMORY);
    EXPECT_EQ(Run(row.args), static_cast<DWORD>(E_OUTOFMEMORY));
    ASSERT_FALSE(m_capture.Boxes().empty());
    EXPECT_EQ(m_capture.Boxes().back(), row.box);
    EXPECT_EQ(m_capture.BoxStyles().back(), static_cast<UINT>(MB_OK));
  }
  EXPECT_EQ(m_capture.Boxes().size(), 3u);
  EXPECT_FALSE(RegKeyExists(HKEY_CLASSES_ROOT, kAppKey)) << "nothing was registered";
}

TEST_F(CommandLineTest, TypeLibraryRegistrationFailureIsTheExitCode) {
  for (const char16_t* args : {u" -RegServer", u" -Service"}) {
    SetUp();
    qel::fault::Arm("RegisterTypeLib", TYPE_E_REGISTRYACCESS);
    EXPECT_EQ(Run(args), static_cast<DWORD>(TYPE_E_REGISTRYACCESS));
  }
  EXPECT_EQ(m_capture.Boxes(),
            (std::vector<std::string>{"[QelUPnP] '/RegServer' failed.", "[QelUPnP] '/Service' failed."}));
  // The removal does not look at the type library's result.
  qel::fault::Arm("UnRegisterTypeLib", TYPE_E_REGISTRYACCESS);
  EXPECT_EQ(Run(u" -UnregServer"), 0u);
}

TEST_F(CommandLineTest, UnwritableStoreFailsTheRegistrationWithItsCode) {
  if (!servicetest::InChild() && !servicetest::IsRoot()) GTEST_SKIP() << "needs root to drop privileges";
  if (!servicetest::InChild()) {
    // Register as root first, so that the keys exist but may not be written.
    ASSERT_EQ(Run(u" -RegServer"), 0u);
    std::filesystem::permissions(m_state.path(), std::filesystem::perms::others_read |
                                                     std::filesystem::perms::others_exec,
                                 std::filesystem::perm_options::add);
    servicetest::ChildOptions options;
    options.unprivileged = true;
    options.env.push_back("QEL_SERVICE_TEST_STATE=" + m_state.path().string());
    const int rc = servicetest::ChildRun(options);
    if (rc == servicetest::kChildSkipped) GTEST_SKIP() << "no place the unprivileged user can run the test from";
    EXPECT_EQ(rc, 0);
    EXPECT_EQ(RegString(HKEY_CLASSES_ROOT, kAppKey, nullptr), "QelUPnP") << "nothing changed";
    return;
  }
  const std::u16string state = qel::FromUtf8(std::getenv("QEL_SERVICE_TEST_STATE"));
  SetEnvironmentVariableW(TEXT("QELUPNP_STATE_DIR"), state.c_str());
  qel::ResetStateDirForTests();
  // The write-open of the application key is refused, as the store's other
  // writes are: the switch fails with that code, not a later one.
  for (const char16_t* args : {u" -Service", u" -RegServer"}) {
    EXPECT_EQ(Run(args), static_cast<DWORD>(ERROR_ACCESS_DENIED)) << qel::ToUtf8(args);
    ASSERT_FALSE(m_capture.Boxes().empty());
    EXPECT_EQ(m_capture.Boxes().back(),
              args[2] == u'S' ? "[QelUPnP] '/Service' failed." : "[QelUPnP] '/RegServer' failed.");
  }
}

}  // namespace
