// Service installation against the platform's service control manager: the
// service as created, the lookup, removal, and every failure with its box.
#include "servicetest.h"

#include <vector>

#include "qel/statedir.h"

namespace {

using servicetest::Capture;

class InstallTest : public ::testing::Test {
 protected:
  void SetUp() override {
    qel::fault::Reset();
    lstrcpynW(m_module.m_szName, TEXT("QelUPnP"), 256);
  }
  void TearDown() override { qel::fault::Reset(); }

  // The service's configuration, or an empty buffer when it cannot be read.
  std::vector<BYTE> QueryConfig() {
    std::vector<BYTE> buffer;
    SC_HANDLE hSCM = OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT);
    if (hSCM == nullptr) return buffer;
    SC_HANDLE hService = OpenServiceW(hSCM, TEXT("QelUPnP"), SERVICE_QUERY_CONFIG);
    if (hService != nullptr) {
      DWORD cbNeeded = 0;
      QueryServiceConfigW(hService, nullptr, 0, &cbNeeded);
      buffer.resize(cbNeeded);
      if (!QueryServiceConfigW(hService, reinterpret_cast<LPQUERY_SERVICE_CONFIGW>(buffer.data()), cbNeeded,
                               &cbNeeded))
        buffer.clear();
      CloseServiceHandle(hService);
    }
    CloseServiceHandle(hSCM);
    return buffer;
  }
  std::string QueryDescription() {
    std::string out = "<none>";
    SC_HANDLE hSCM = OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT);
    SC_HANDLE hService = hSCM ? OpenServiceW(hSCM, TEXT("QelUPnP"), SERVICE_QUERY_CONFIG) : nullptr;
    if (hService != nullptr) {
      BYTE buffer[1024];
      DWORD cbNeeded = 0;
      if (QueryServiceConfig2W(hService, SERVICE_CONFIG_DESCRIPTION, buffer, sizeof(buffer), &cbNeeded)) {
        auto* p = reinterpret_cast<LPSERVICE_DESCRIPTIONW>(buffer);
        out = p->lpDescription ? qel::ToUtf8(p->lpDescription) : "";
      }
      CloseServiceHandle(hService);
    }
    if (hSCM) CloseServiceHandle(hSCM);
    return out;
  }

  qel::test::ScopedStateDir m_state;
  Capture m_capture;
  CQelUPnP m_module;
};

std::vector<std::string> MultiSz(LPCWSTR p) {
  std::vector<std::string> out;
  while (p && *p) {
    out.push_back(qel::ToUtf8(p));
    p += qel::WLen(p) + 1;
  }
  return out;
}

TEST_F(InstallTest, InstallCreatesTheServiceAsSpecifiedAndUninstallRemovesIt) {
  EXPECT_FALSE(m_module.IsServiceInstalled());
  EXPECT_TRUE(m_module.UninstallService()) << "nothing to remove is success";
  EXPECT_TRUE(m_module.InstallService());
  EXPECT_TRUE(m_module.IsServiceInstalled());

  const auto buffer = QueryConfig();
  ASSERT_FALSE(buffer.empty());
  const auto* config = reinterpret_cast<const QUERY_SERVICE_CONFIGW*>(buffer.data());
  EXPECT_EQ(config->dwServiceType, static_cast<DWORD>(SERVICE_WIN32_OWN_PROCESS));
  EXPECT_EQ(config->dwStartType, static_cast<DWORD>(SERVICE_DEMAND_START));
  EXPECT_EQ(config->dwErrorControl, static_cast<DWORD>(SERVICE_ERROR_NORMAL));
  // The test program's path has no blank: stored as it is.
  EXPECT_EQ(qel::ToUtf8(config->lpBinaryPathName), servicetest::SelfPath());
  EXPECT_EQ(MultiSz(config->lpDependencies), (std::vector<std::string>{"RPCSS", "UPNPHOST"}));
  EXPECT_EQ(qel::ToUtf8(config->lpDisplayName), "QelUPnP");
  EXPECT_EQ(QueryDescription(), "Access QEL by using UPnP.");

  EXPECT_TRUE(m_module.UninstallService());
  EXPECT_FALSE(m_module.IsServiceInstalled());
  EXPECT_TRUE(m_capture.Boxes().empty());
}

TEST_F(InstallTest, InstalledServiceKeepsItsConfiguration) {
  ASSERT_TRUE(m_module.InstallService());
  SC_HANDLE hSCM = OpenSCManagerW(nullptr, nullptr, SC_MANAGER_ALL_ACCESS);
  SC_HANDLE hService = OpenServiceW(hSCM, TEXT("QelUPnP"), SERVICE_ALL_ACCESS);
  ASSERT_NE(hService, nullptr);
  ASSERT_TRUE(ChangeServiceConfigW(hService, SERVICE_NO_CHANGE, SERVICE_AUTO_START, SERVICE_NO_CHANGE, nullptr,
                                   nullptr, nullptr, nullptr, nullptr, nullptr, nullptr));
  CloseServiceHandle(hService);
  CloseServiceHandle(hSCM);

  qel::fault::Reset();
  EXPECT_TRUE(m_module.InstallService());
  EXPECT_EQ(qel::fault::Calls("CreateServiceW"), 0);
  const auto buffer = QueryConfig();
  ASSERT_FALSE(buffer.empty());
  EXPECT_EQ(reinterpret_cast<const QUERY_SERVICE_CONFIGW*>(buffer.data())->dwStartType,
            static_cast<DWORD>(SERVICE_AUTO_START));
  EXPECT_TRUE(m_capture.Boxes().empty());
}

TEST_F(InstallTest, InstallFailures) {
  // Neither the lookup nor the installation can open the manager.
  qel::fault::Arm("OpenSCManagerW", ERROR_ACCESS_DENIED, 0, 2);
  EXPECT_FALSE(m_module.InstallService());
  qel::fault::Arm("CreateServiceW", ERROR_ACCESS_DENIED);
  EXPECT_FALSE(m_module.InstallService());
  EXPECT_FALSE(m_module.IsServiceInstalled());
  EXPECT_EQ(m_capture.Boxes(), (std::vector<std::string>{"[QelUPnP] Couldn't open service manager.",
                                                         "[QelUPnP] Couldn't create service."}));
  EXPECT_EQ(m_capture.BoxStyles(), (std::vector<UINT>{MB_OK, MB_OK}));

  // The description cannot be set: the service stands all the same.
  qel::fault::Arm("ChangeServiceConfig2W", ERROR_ACCESS_DENIED);
  EXPECT_TRUE(m_module.InstallService());
  EXPECT_TRUE(m_module.IsServiceInstalled());
  EXPECT_EQ(m_capture.Boxes().size(), 2u);
}

TEST_F(InstallTest, UninstallFailures) {
  ASSERT_TRUE(m_module.InstallService());

  // The manager cannot be opened at all: a failure, not "nothing installed".
  qel::fault::Arm("OpenSCManagerW", ERROR_ACCESS_DENIED, 0, -1);
  EXPECT_FALSE(m_module.UninstallService());
  qel::fault::Reset();
  // The lookup opens it, the second opening fails.
  qel::fault::Arm("OpenSCManagerW", ERROR_ACCESS_DENIED, 1);
  EXPECT_FALSE(m_module.UninstallService());
  qel::fault::Arm("OpenServiceW", ERROR_ACCESS_DENIED, 1);
  EXPECT_FALSE(m_module.UninstallService());
  qel::fault::Arm("DeleteService", ERROR_ACCESS_DENIED);
  EXPECT_FALSE(m_module.UninstallService());
  EXPECT_TRUE(m_module.IsServiceInstalled()) << "every failure left the service in place";

  EXPECT_EQ(m_capture.Boxes(), (std::vector<std::string>{"[QelUPnP] CServiceModule:Couldn't open service manager.",
                                                         "[QelUPnP] CServiceModule:Couldn't open service manager.",
                                                         "[QelUPnP] Couldn't open service.",
                                                         "[QelUPnP] Couldn't delete service."}));

  // The stop request fails (the service is not running): the deletion goes on.
  qel::fault::Reset();
  EXPECT_TRUE(m_module.UninstallService());
  EXPECT_EQ(qel::fault::Calls("ControlService"), 1);
  EXPECT_FALSE(m_module.IsServiceInstalled());
}

TEST_F(InstallTest, ProgramPathWithABlankIsStoredQuoted) {
  if (!servicetest::InChild()) {
    qel::test::TempDir dir;
    const auto programDir = dir.path() / "Program Files";
    std::filesystem::create_directory(programDir);
    servicetest::ChildOptions options;
    options.programDir = programDir;
    EXPECT_EQ(servicetest::ChildRun(options), 0);
    return;
  }
  const std::string self = servicetest::SelfPath();
  ASSERT_NE(self.find(' '), std::string::npos);
  ASSERT_TRUE(m_module.InstallService());
  const auto buffer = QueryConfig();
  ASSERT_FALSE(buffer.empty());
  EXPECT_EQ(qel::ToUtf8(reinterpret_cast<const QUERY_SERVICE_CONFIGW*>(buffer.data())->lpBinaryPathName),
            "\"" + self + "\"");
}

TEST_F(InstallTest, WithoutTheRightToOpenTheManager) {
  if (!servicetest::InChild() && !servicetest::IsRoot()) GTEST_SKIP() << "needs root to drop privileges";
  if (!servicetest::InChild()) {
    // A store that exists but that nobody but root may write.
    ASSERT_TRUE(m_module.InstallService());
    std::filesystem::permissions(m_state.path(), std::filesystem::perms::others_read |
                                                     std::filesystem::perms::others_exec,
                                 std::filesystem::perm_options::add);
    servicetest::ChildOptions options;
    options.unprivileged = true;
    options.env.push_back("QEL_SERVICE_TEST_STATE=" + m_state.path().string());
    const int rc = servicetest::ChildRun(options);
    if (rc == servicetest::kChildSkipped) GTEST_SKIP() << "no place the unprivileged user can run the test from";
    EXPECT_EQ(rc, 0);
    EXPECT_TRUE(m_module.IsServiceInstalled()) << "the unprivileged run removed nothing";
    return;
  }
  // Use the parent's store instead of the fixture's private one.
  const std::u16string state = qel::FromUtf8(std::getenv("QEL_SERVICE_TEST_STATE"));
  SetEnvironmentVariableW(TEXT("QELUPNP_STATE_DIR"), state.c_str());
  qel::ResetStateDirForTests();
  EXPECT_FALSE(m_module.InstallService());
  EXPECT_FALSE(m_module.UninstallService());
  EXPECT_EQ(m_capture.Boxes(), (std::vector<std::string>{"[QelUPnP] Couldn't open service manager.",
                                                         "[QelUPnP] CServiceModule:Couldn't open service manager."}));
}

}  // namespace
