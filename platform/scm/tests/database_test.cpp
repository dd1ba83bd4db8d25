// The service database: creation, configuration, queries, deletion, handle
// rights and the platform's own services, without starting any process.
#include <sys/wait.h>

#include <cstring>
#include <fstream>

#include "qel/fault.h"
#include "qel/statedir.h"
#include "scm_fixture.h"
#include "winreg.h"

namespace scmtest {
namespace {

using qel::scm::Key;

const WCHAR kDeps[] = u"RPCSS\0UPNPHOST\0";

std::u16string ReadRegString(const std::u16string& name, const char16_t* value, DWORD* type) {
  Key key;
  EXPECT_EQ(qel::scm::OpenServiceKey(name, KEY_READ, &key), ERROR_SUCCESS);
  qel::scm::RegValue v;
  EXPECT_EQ(qel::scm::ReadValue(key.get(), value, &v), ERROR_SUCCESS);
  *type = v.type;
  std::u16string s(v.data.size() / 2, u'\0');
  if (!s.empty()) std::memcpy(s.data(), v.data.data(), s.size() * 2);
  return s;
}

class DatabaseTest : public ScmTest {};

TEST_F(DatabaseTest, CreatedServiceHoldsWindowsValuesAndQueriesWithNeededSize) {
  Handle svc(CreateServiceW(scm_.h, u"QelUPnP", u"QelUPnP Display", SERVICE_ALL_ACCESS, SERVICE_WIN32_OWN_PROCESS,
                            SERVICE_DEMAND_START, SERVICE_ERROR_NORMAL, u"/opt/Program Files/qelupnp", nullptr,
                            nullptr, kDeps, nullptr, nullptr));
  ASSERT_TRUE(svc) << GetLastError();

  DWORD type = 0;
  EXPECT_EQ(ReadRegString(u"QelUPnP", u"ImagePath", &type), std::u16string(u"/opt/Program Files/qelupnp\0", 27));
  EXPECT_EQ(type, static_cast<DWORD>(REG_EXPAND_SZ));
  EXPECT_EQ(ReadRegString(u"QelUPnP", u"DependOnService", &type), std::u16string(u"RPCSS\0UPNPHOST\0\0", 16));
  EXPECT_EQ(type, static_cast<DWORD>(REG_MULTI_SZ));
  ReadRegString(u"QelUPnP", u"Type", &type);
  EXPECT_EQ(type, static_cast<DWORD>(REG_DWORD));

  DWORD needed = 0;
  EXPECT_FALSE(QueryServiceConfigW(svc.h, nullptr, 0, &needed));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER));
  ASSERT_GT(needed, sizeof(QUERY_SERVICE_CONFIGW));
  std::vector<std::uint64_t> buf(needed / 8 + 2, 0xAAAAAAAAAAAAAAAAull);
  auto* q = reinterpret_cast<QUERY_SERVICE_CONFIGW*>(buf.data());
  DWORD again = 0;
  EXPECT_FALSE(QueryServiceConfigW(svc.h, q, needed - 1, &again));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER));
  EXPECT_EQ(again, needed);
  ASSERT_TRUE(QueryServiceConfigW(svc.h, q, needed, &again)) << GetLastError();
  // Nothing written past the size it asked for.
  EXPECT_EQ(reinterpret_cast<const unsigned char*>(buf.data())[needed], 0xAA);
  EXPECT_EQ(q->dwServiceType, static_cast<DWORD>(SERVICE_WIN32_OWN_PROCESS));
  EXPECT_EQ(q->dwStartType, static_cast<DWORD>(SERVICE_DEMAND_START));
  EXPECT_EQ(q->dwErrorControl, static_cast<DWORD>(SERVICE_ERROR_NORMAL));
  EXPECT_EQ(qel::WView(q->lpBinaryPathName), u"/opt/Program Files/qelupnp");
  EXPECT_EQ(qel::WView(q->lpDisplayName), u"QelUPnP Display");
  EXPECT_EQ(qel::WView(q->lpServiceStartName), u"LocalSystem");
  EXPECT_EQ(qel::WView(q->lpLoadOrderGroup), u"");
  EXPECT_EQ(std::u16string(q->lpDependencies, 16), std::u16string(u"RPCSS\0UPNPHOST\0\0", 16));

  SERVICE_STATUS st{};
  ASSERT_TRUE(QueryServiceStatus(svc.h, &st));
  EXPECT_EQ(st.dwCurrentState, static_cast<DWORD>(SERVICE_STOPPED));
  EXPECT_EQ(st.dwWin32ExitCode, static_cast<DWORD>(ERROR_SERVICE_NEVER_STARTED));
  EXPECT_EQ(st.dwServiceType, static_cast<DWORD>(SERVICE_WIN32_OWN_PROCESS));

  BYTE small[8];
  EXPECT_FALSE(QueryServiceStatusEx(svc.h, SC_STATUS_PROCESS_INFO, small, sizeof small, &needed));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER));
  EXPECT_EQ(needed, sizeof(SERVICE_STATUS_PROCESS));
  SERVICE_STATUS_PROCESS sp{};
  EXPECT_FALSE(QueryServiceStatusEx(svc.h, 7, reinterpret_cast<LPBYTE>(&sp), sizeof sp, &needed));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_LEVEL));
}

TEST_F(DatabaseTest, DescriptionIsSetQueriedAndRemoved) {
  Handle svc = Create("Described", "/bin/true");
  DWORD needed = 0;
  std::vector<std::uint64_t> buf(64);
  auto* d = reinterpret_cast<SERVICE_DESCRIPTIONW*>(buf.data());
  ASSERT_TRUE(QueryServiceConfig2W(svc.h, SERVICE_CONFIG_DESCRIPTION, reinterpret_cast<LPBYTE>(buf.data()), 512,
                                   &needed));
  EXPECT_EQ(d->lpDescription, nullptr);

  std::u16string text = u"Access QEL by using UPnP.";
  SERVICE_DESCRIPTIONW set{text.data()};
  ASSERT_TRUE(ChangeServiceConfig2W(svc.h, SERVICE_CONFIG_DESCRIPTION, &set)) << GetLastError();
  EXPECT_FALSE(QueryServiceConfig2W(svc.h, SERVICE_CONFIG_DESCRIPTION, reinterpret_cast<LPBYTE>(buf.data()), 10,
                                    &needed));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER));
  EXPECT_EQ(needed, sizeof(SERVICE_DESCRIPTIONW) + (text.size() + 1) * 2);
  ASSERT_TRUE(QueryServiceConfig2W(svc.h, SERVICE_CONFIG_DESCRIPTION, reinterpret_cast<LPBYTE>(buf.data()), needed,
                                   &needed));
  EXPECT_EQ(qel::WView(d->lpDescription), text);

  SERVICE_DESCRIPTIONW keep{nullptr};
  ASSERT_TRUE(ChangeServiceConfig2W(svc.h, SERVICE_CONFIG_DESCRIPTION, &keep));
  ASSERT_TRUE(QueryServiceConfig2W(svc.h, SERVICE_CONFIG_DESCRIPTION, reinterpret_cast<LPBYTE>(buf.data()), 512,
                                   &needed));
  EXPECT_EQ(qel::WView(d->lpDescription), text);

  std::u16string empty;
  SERVICE_DESCRIPTIONW clear{empty.data()};
  ASSERT_TRUE(ChangeServiceConfig2W(svc.h, SERVICE_CONFIG_DESCRIPTION, &clear));
  ASSERT_TRUE(QueryServiceConfig2W(svc.h, SERVICE_CONFIG_DESCRIPTION, reinterpret_cast<LPBYTE>(buf.data()), 512,
                                   &needed));
  EXPECT_EQ(d->lpDescription, nullptr);

  EXPECT_FALSE(ChangeServiceConfig2W(svc.h, 2, &set));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_LEVEL));
}

TEST_F(DatabaseTest, NamesAndParametersAreChecked) {
  Handle first(CreateServiceW(scm_.h, u"Alpha", u"Alpha Display", SERVICE_ALL_ACCESS, SERVICE_WIN32_OWN_PROCESS,
                              SERVICE_DEMAND_START, SERVICE_ERROR_NORMAL, u"/bin/true", nullptr, nullptr, nullptr,
                              nullptr, nullptr));
  ASSERT_TRUE(first);
  auto create = [&](const char16_t* name, const char16_t* display, DWORD type, DWORD start, const char16_t* path,
                    const char16_t* deps = nullptr) {
    Handle h(CreateServiceW(scm_.h, name, display, SERVICE_ALL_ACCESS, type, start, SERVICE_ERROR_NORMAL, path,
                            nullptr, nullptr, deps, nullptr, nullptr));
    return h ? DWORD(0) : GetLastError();
  };
  const DWORD own = SERVICE_WIN32_OWN_PROCESS, demand = SERVICE_DEMAND_START;
  EXPECT_EQ(create(u"ALPHA", nullptr, own, demand, u"/bin/true"), static_cast<DWORD>(ERROR_SERVICE_EXISTS));
  EXPECT_EQ(create(u"Beta", u"alpha display", own, demand, u"/bin/true"),
            static_cast<DWORD>(ERROR_DUPLICATE_SERVICE_NAME));
  EXPECT_EQ(create(u"Beta", u"ALPHA", own, demand, u"/bin/true"), static_cast<DWORD>(ERROR_DUPLICATE_SERVICE_NAME));
  EXPECT_EQ(create(u"Alpha Display", nullptr, own, demand, u"/bin/true"),
            static_cast<DWORD>(ERROR_DUPLICATE_SERVICE_NAME));
  EXPECT_EQ(create(u"Sub\\Key", nullptr, own, demand, u"/bin/true"), static_cast<DWORD>(ERROR_INVALID_NAME));
  EXPECT_EQ(create(u"", nullptr, own, demand, u"/bin/true"), static_cast<DWORD>(ERROR_INVALID_NAME));
  EXPECT_EQ(create(u"Beta", nullptr, SERVICE_KERNEL_DRIVER, demand, u"/bin/true"),
            static_cast<DWORD>(ERROR_INVALID_PARAMETER));
  EXPECT_EQ(create(u"Beta", nullptr, own, SERVICE_BOOT_START, u"/bin/true"),
            static_cast<DWORD>(ERROR_INVALID_PARAMETER));
  EXPECT_EQ(create(u"Beta", nullptr, own, demand, u""), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
  EXPECT_EQ(create(u"Beta", nullptr, own, demand, u"qel-builtin:rpcss"), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
  EXPECT_EQ(create(u"Beta", nullptr, own, demand, u"/bin/true", u"beta\0"),
            static_cast<DWORD>(ERROR_CIRCULAR_DEPENDENCY));

  EXPECT_FALSE(OpenServiceW(scm_.h, u"NoSuchService", SERVICE_QUERY_STATUS));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_SERVICE_DOES_NOT_EXIST));
  EXPECT_FALSE(OpenServiceW(scm_.h, u"Alpha\\..\\RPCSS", SERVICE_QUERY_STATUS));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_NAME));
  Handle lower(OpenServiceW(scm_.h, u"alpha", SERVICE_QUERY_CONFIG));
  EXPECT_TRUE(lower);
}

TEST_F(DatabaseTest, HandleRightsAreCheckedOnEachCall) {
  Handle created = Create("Rights", "/bin/true");
  Handle ro(OpenServiceW(scm_.h, u"Rights", SERVICE_QUERY_STATUS));
  ASSERT_TRUE(ro);
  DWORD needed = 0;
  EXPECT_FALSE(QueryServiceConfigW(ro.h, nullptr, 0, &needed));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
  EXPECT_FALSE(DeleteService(ro.h));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
  EXPECT_FALSE(StartServiceW(ro.h, 0, nullptr));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
  SERVICE_STATUS st{};
  EXPECT_FALSE(ControlService(ro.h, SERVICE_CONTROL_STOP, &st));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
  EXPECT_TRUE(QueryServiceStatus(ro.h, &st));

  // A manager handle is not a service handle, and a closed handle is no handle.
  EXPECT_FALSE(QueryServiceStatus(reinterpret_cast<SC_HANDLE>(scm_.h), &st));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
  SC_HANDLE raw = OpenServiceW(scm_.h, u"Rights", SERVICE_QUERY_STATUS);
  ASSERT_TRUE(raw);
  EXPECT_TRUE(CloseServiceHandle(raw));
  EXPECT_FALSE(CloseServiceHandle(raw));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));

  Handle connectOnly(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT));
  ASSERT_TRUE(connectOnly);
  EXPECT_FALSE(CreateServiceW(connectOnly.h, u"Other", nullptr, SERVICE_ALL_ACCESS, SERVICE_WIN32_OWN_PROCESS,
                              SERVICE_DEMAND_START, SERVICE_ERROR_NORMAL, u"/bin/true", nullptr, nullptr, nullptr,
                              nullptr, nullptr));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
}

TEST_F(DatabaseTest, ManagerOpensOnlyTheLocalActiveDatabase) {
  EXPECT_FALSE(OpenSCManagerW(nullptr, u"ServicesFailed", SC_MANAGER_CONNECT));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_DATABASE_DOES_NOT_EXIST));
  EXPECT_FALSE(OpenSCManagerW(u"\\\\no-such-host.invalid", nullptr, SC_MANAGER_CONNECT));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(RPC_S_SERVER_UNAVAILABLE));
  Handle local(OpenSCManagerW(u"\\\\localhost", u"servicesactive", SC_MANAGER_CONNECT));
  EXPECT_TRUE(local);

  qel::fault::Arm("OpenSCManagerW", ERROR_ACCESS_DENIED);
  EXPECT_FALSE(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_ALL_ACCESS));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
}

TEST_F(DatabaseTest, BuiltinServicesAlwaysRunAndCannotBeStoppedOrRemoved) {
  Handle rpcss(OpenServiceW(scm_.h, u"RPCSS", SERVICE_ALL_ACCESS));
  Handle upnp(OpenServiceW(scm_.h, u"UPNPHOST", SERVICE_ALL_ACCESS));
  ASSERT_TRUE(rpcss);
  ASSERT_TRUE(upnp);
  SERVICE_STATUS_PROCESS st = Status(upnp.h);
  EXPECT_EQ(st.dwCurrentState, static_cast<DWORD>(SERVICE_RUNNING));
  EXPECT_EQ(st.dwControlsAccepted, 0u);
  SERVICE_STATUS ss{};
  EXPECT_FALSE(ControlService(rpcss.h, SERVICE_CONTROL_STOP, &ss));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_SERVICE_CONTROL));
  EXPECT_EQ(ss.dwCurrentState, static_cast<DWORD>(SERVICE_RUNNING));
  EXPECT_TRUE(ControlService(upnp.h, SERVICE_CONTROL_INTERROGATE, &ss));
  EXPECT_FALSE(DeleteService(upnp.h));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
  EXPECT_FALSE(StartServiceW(upnp.h, 0, nullptr));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_SERVICE_ALREADY_RUNNING));
  EXPECT_FALSE(ChangeServiceConfigW(rpcss.h, SERVICE_NO_CHANGE, SERVICE_DISABLED, SERVICE_NO_CHANGE, nullptr,
                                    nullptr, nullptr, nullptr, nullptr, nullptr, nullptr));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
  EXPECT_EQ(Status(rpcss.h).dwCurrentState, static_cast<DWORD>(SERVICE_RUNNING));
}

TEST_F(DatabaseTest, ChangeServiceConfigKeepsWhatIsNotChanged) {
  Handle svc = Create("Changing", "/bin/true", kDeps);
  ASSERT_TRUE(ChangeServiceConfigW(svc.h, SERVICE_NO_CHANGE, SERVICE_DISABLED, SERVICE_NO_CHANGE, nullptr, nullptr,
                                   nullptr, u"\0", nullptr, nullptr, u"New Display"))
      << GetLastError();
  std::vector<std::uint64_t> buf(1024);
  auto* q = reinterpret_cast<QUERY_SERVICE_CONFIGW*>(buf.data());
  DWORD needed = 0;
  ASSERT_TRUE(QueryServiceConfigW(svc.h, q, 8192, &needed));
  EXPECT_EQ(q->dwStartType, static_cast<DWORD>(SERVICE_DISABLED));
  EXPECT_EQ(q->dwErrorControl, static_cast<DWORD>(SERVICE_ERROR_NORMAL));
  EXPECT_EQ(qel::WView(q->lpBinaryPathName), u"/bin/true");
  EXPECT_EQ(qel::WView(q->lpDisplayName), u"New Display");
  EXPECT_EQ(q->lpDependencies[0], u'\0');

  EXPECT_FALSE(StartServiceW(svc.h, 0, nullptr));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_SERVICE_DISABLED));
  EXPECT_FALSE(ChangeServiceConfigW(svc.h, SERVICE_NO_CHANGE, 9, SERVICE_NO_CHANGE, nullptr, nullptr, nullptr,
                                    nullptr, nullptr, nullptr, nullptr));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
  EXPECT_FALSE(ChangeServiceConfigW(svc.h, SERVICE_NO_CHANGE, SERVICE_NO_CHANGE, SERVICE_NO_CHANGE, nullptr,
                                    nullptr, nullptr, nullptr, nullptr, nullptr, u"RPCSS"));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_DUPLICATE_SERVICE_NAME));
}

TEST_F(DatabaseTest, StoppedServiceIsDeletedAtOnce) {
  Handle svc = Create("Doomed", "/bin/true");
  ASSERT_TRUE(DeleteService(svc.h)) << GetLastError();
  EXPECT_FALSE(OpenServiceW(scm_.h, u"Doomed", SERVICE_QUERY_STATUS));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_SERVICE_DOES_NOT_EXIST));
  // The handle outlives the record: what it can still do, Windows does too.
  EXPECT_FALSE(DeleteService(svc.h));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_SERVICE_MARKED_FOR_DELETE));
  EXPECT_FALSE(StartServiceW(svc.h, 0, nullptr));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_SERVICE_MARKED_FOR_DELETE));
  SERVICE_STATUS st{};
  EXPECT_TRUE(QueryServiceStatus(svc.h, &st));
  EXPECT_EQ(st.dwCurrentState, static_cast<DWORD>(SERVICE_STOPPED));
  // The name is free again.
  Handle again = Create("Doomed", "/bin/true");
  EXPECT_TRUE(again);
}

TEST_F(DatabaseTest, DefectiveRecordsFailToStartButCanBeShownAndDeleted) {
  Key services;
  ASSERT_EQ(qel::scm::OpenServicesKey(KEY_ALL_ACCESS, &services), ERROR_SUCCESS);
  HKEY raw = nullptr;
  ASSERT_EQ(RegCreateKeyExW(services.get(), u"Broken", 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &raw, nullptr),
            ERROR_SUCCESS);
  Key broken(raw);
  ASSERT_EQ(qel::scm::WriteString(broken.get(), u"Type", u"16"), ERROR_SUCCESS);  // a string, not a DWORD
  ASSERT_EQ(qel::scm::WriteString(broken.get(), u"ImagePath", u"/bin/true"), ERROR_SUCCESS);
  ASSERT_EQ(RegCreateKeyExW(services.get(), u"NoPath", 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &raw, nullptr),
            ERROR_SUCCESS);
  Key noPath(raw);
  ASSERT_EQ(qel::scm::WriteDword(noPath.get(), u"Type", SERVICE_WIN32_OWN_PROCESS), ERROR_SUCCESS);

  Handle b(OpenServiceW(scm_.h, u"Broken", SERVICE_ALL_ACCESS));
  ASSERT_TRUE(b);
  EXPECT_FALSE(StartServiceW(b.h, 0, nullptr));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_BADKEY));
  Handle n(OpenServiceW(scm_.h, u"NoPath", SERVICE_ALL_ACCESS));
  ASSERT_TRUE(n);
  EXPECT_FALSE(StartServiceW(n.h, 0, nullptr));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
  std::vector<std::uint64_t> buf(1024);
  auto* q = reinterpret_cast<QUERY_SERVICE_CONFIGW*>(buf.data());
  DWORD needed = 0;
  ASSERT_TRUE(QueryServiceConfigW(n.h, q, 8192, &needed));
  EXPECT_EQ(qel::WView(q->lpDisplayName), u"NoPath");
  EXPECT_EQ(q->dwStartType, static_cast<DWORD>(SERVICE_DEMAND_START));
  EXPECT_TRUE(DeleteService(b.h)) << GetLastError();
  EXPECT_TRUE(DeleteService(n.h)) << GetLastError();
}

TEST_F(DatabaseTest, ControlCodesOutsideTheSendableRangeAreRejected) {
  Handle svc = Create("Idle", "/bin/true");
  SERVICE_STATUS st{};
  for (DWORD code : {0u, DWORD(SERVICE_CONTROL_SHUTDOWN), 11u, 127u, 256u, 0xFFFFFFFFu}) {
    EXPECT_FALSE(ControlService(svc.h, code, &st)) << code;
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER)) << code;
  }
  EXPECT_FALSE(ControlService(svc.h, SERVICE_CONTROL_STOP, &st));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_SERVICE_NOT_ACTIVE));
  EXPECT_EQ(st.dwCurrentState, static_cast<DWORD>(SERVICE_STOPPED));
  EXPECT_FALSE(ControlService(svc.h, 200, &st));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_SERVICE_NOT_ACTIVE));
}

// Forks a child that drops to "nobody" and runs `body`; gives its exit status.
template <typename F>
int AsNobody(F body) {
  pid_t pid = ::fork();
  if (pid == 0) {
    if (::setgid(65534) != 0 || ::setuid(65534) != 0) ::_exit(100);
    ::_exit(body());
  }
  int status = 0;
  ::waitpid(pid, &status, 0);
  return WIFEXITED(status) ? WEXITSTATUS(status) : 200;
}

TEST_F(DatabaseTest, CallerWhoMayNotWriteTheStoreOnlyConnectsAndQueries) {
  if (::geteuid() != 0) GTEST_SKIP() << "needs root to drop privileges";
  Handle svc = Create("Guarded", "/bin/true");
  // Let the unprivileged child read the store, as the system store is readable.
  ::chmod(qel::StateDir().c_str(), 0755);
  for (auto& e : std::filesystem::directory_iterator(qel::StateDir()))
    ::chmod(e.path().c_str(), e.is_directory() ? 0755 : 0644);
  int rc = AsNobody([] {
    SC_HANDLE all = OpenSCManagerW(nullptr, nullptr, SC_MANAGER_ALL_ACCESS);
    if (all || GetLastError() != ERROR_ACCESS_DENIED) return 1;
    if (OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CREATE_SERVICE) || GetLastError() != ERROR_ACCESS_DENIED)
      return 2;
    SC_HANDLE scm = OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT);
    if (!scm) return 10 + static_cast<int>(GetLastError() % 80);
    if (OpenServiceW(scm, u"Guarded", SERVICE_START) || GetLastError() != ERROR_ACCESS_DENIED) return 3;
    if (OpenServiceW(scm, u"Guarded", DELETE) || GetLastError() != ERROR_ACCESS_DENIED) return 4;
    SC_HANDLE q = OpenServiceW(scm, u"Guarded", SERVICE_QUERY_STATUS | SERVICE_QUERY_CONFIG);
    if (!q) return 5;
    SERVICE_STATUS st{};
    if (!QueryServiceStatus(q, &st) || st.dwCurrentState != SERVICE_STOPPED) return 6;
    return 0;
  });
  EXPECT_EQ(rc, 0);
  Handle still(OpenServiceW(scm_.h, u"Guarded", SERVICE_QUERY_STATUS));
  EXPECT_TRUE(still);
}

// ---- ImagePath parsing -------------------------------------------------------

class ImagePathTest : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = tmp_.path().string();
    std::filesystem::create_directories(tmp_.path() / "Program Files");
    MakeFile("Program Files/svc", 0755, "#!/bin/sh\n");
    MakeFile("plain.txt", 0644, "text");
  }
  void MakeFile(const std::string& rel, mode_t mode, const std::string& body) {
    auto p = tmp_.path() / rel;
    qel::test::WriteFile(p, body);
    ::chmod(p.c_str(), mode);
  }
  DWORD Parse(const std::string& cl, qel::scm::ParsedImage* out) { return qel::scm::ParseImagePath(W(cl), out); }

  qel::test::TempDir tmp_;
  std::string dir_;
};

TEST_F(ImagePathTest, UnquotedPathWithBlanksIsTriedAtEachBlankFromTheLeft) {
  qel::scm::ParsedImage img;
  ASSERT_EQ(Parse(dir_ + "/Program Files/svc -Service \"two words\"", &img), ERROR_SUCCESS);
  EXPECT_EQ(img.program, dir_ + "/Program Files/svc");
  EXPECT_EQ(img.args, (std::vector<std::string>{"-Service", "two words"}));

  // A program placed at the first blank wins: the reason paths are stored quoted.
  MakeFile("Program", 0755, "#!/bin/sh\n");
  ASSERT_EQ(Parse(dir_ + "/Program Files/svc", &img), ERROR_SUCCESS);
  EXPECT_EQ(img.program, dir_ + "/Program");
  EXPECT_EQ(img.args, (std::vector<std::string>{"Files/svc"}));
  ASSERT_EQ(Parse("\"" + dir_ + "/Program Files/svc\" a\\\"b", &img), ERROR_SUCCESS);
  EXPECT_EQ(img.program, dir_ + "/Program Files/svc");
  EXPECT_EQ(img.args, (std::vector<std::string>{"a\"b"}));
}

TEST_F(ImagePathTest, MissingAndUnrunnableProgramsGiveWindowsCodes) {
  qel::scm::ParsedImage img;
  EXPECT_EQ(Parse(dir_ + "/missing", &img), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
  EXPECT_EQ(Parse(dir_ + "/no-dir/missing", &img), static_cast<DWORD>(ERROR_PATH_NOT_FOUND));
  EXPECT_EQ(Parse("\"" + dir_ + "/Program Files\"", &img), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
  EXPECT_EQ(Parse(dir_ + "/plain.txt", &img), static_cast<DWORD>(ERROR_ACCESS_DENIED));
  EXPECT_EQ(Parse("", &img), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
  ASSERT_EQ(Parse("sh -c exit", &img), ERROR_SUCCESS);  // a bare name is looked up in PATH
  EXPECT_EQ(img.program.back(), 'h');
  EXPECT_EQ(img.program.front(), '/');
}

TEST(CommandLineTest, SplitsAndExpandsAsWindowsDoes) {
  using qel::scm::SplitArguments;
  EXPECT_EQ(SplitArguments(u"  a  \"b c\"\td"), (std::vector<u16>{u"a", u"b c", u"d"}));
  EXPECT_EQ(SplitArguments(u"a\\\\\"b c\" x\\y"), (std::vector<u16>{u"a\\b c", u"x\\y"}));
  EXPECT_EQ(SplitArguments(u"\"\""), (std::vector<u16>{u""}));
  EXPECT_EQ(SplitArguments(u"\"say \"\"hi\"\"\""), (std::vector<u16>{u"say \"hi\""}));
  setenv("QEL_SCM_TEST_VAR", "/opt/x", 1);
  EXPECT_EQ(qel::scm::ExpandEnvironment(u"%QEL_SCM_TEST_VAR%/bin %NO_SUCH_VAR_X% 100%"),
            u"/opt/x/bin %NO_SUCH_VAR_X% 100%");
  unsetenv("QEL_SCM_TEST_VAR");
}

TEST(FileStemTest, NamesMapToSafeCaseFoldedFileNames) {
  using qel::scm::FileStem;
  EXPECT_EQ(FileStem(u"QelUPnP"), FileStem(u"qelupnp"));
  EXPECT_EQ(FileStem(u"a b/c"), "A%20B%2FC");
  EXPECT_EQ(FileStem(u".."), "_..");
  std::u16string longName(200, u'x');
  EXPECT_LE(FileStem(longName).size(), 48u);
  EXPECT_NE(FileStem(longName), FileStem(longName + u"y"));
}

}  // namespace
}  // namespace scmtest
