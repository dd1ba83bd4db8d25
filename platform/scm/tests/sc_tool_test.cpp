// qelupnp-sc as an administrator runs it: output layout, messages and exit codes.
#include <fcntl.h>
#include <sys/wait.h>

#include <memory>

#include "qel/statedir.h"
#include "scm_fixture.h"

namespace scmtest {
namespace {

struct Result {
  int exit = -1;
  std::string out, err;
};

// Runs the tool with `args` (no shell), optionally as "nobody" (a copy of it,
// since nobody may not reach the build tree; exit 126 when none can be made).
Result Sc(const std::vector<std::string>& args, bool asNobody = false) {
  std::string tool = QEL_SC_TOOL;
  std::unique_ptr<qel::test::ReachableCopy> reachable;
  if (asNobody) {
    reachable = std::make_unique<qel::test::ReachableCopy>(tool);
    if (!reachable->ok()) return Result{126, "", reachable->why()};
    tool = reachable->path().string();
  }
  qel::test::TempDir tmp;
  ::chmod(tmp.path().c_str(), 0777);
  std::string outPath = (tmp.path() / "out").string(), errPath = (tmp.path() / "err").string();
  pid_t pid = ::fork();
  if (pid == 0) {
    int o = ::open(outPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0666);
    int e = ::open(errPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0666);
    ::dup2(o, 1);
    ::dup2(e, 2);
    if (asNobody && (::setgid(65534) != 0 || ::setuid(65534) != 0)) ::_exit(120);
    std::vector<char*> argv;
    argv.push_back(tool.data());
    std::vector<std::string> copy = args;
    for (auto& a : copy) argv.push_back(a.data());
    argv.push_back(nullptr);
    ::execv(tool.c_str(), argv.data());
    ::_exit(127);
  }
  int status = 0;
  ::waitpid(pid, &status, 0);
  Result r;
  r.exit = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  r.out = qel::test::ReadFile(outPath);
  r.err = qel::test::ReadFile(errPath);
  return r;
}

std::string Failure(const std::string& api, int code, const std::string& text) {
  return "[SC] " + api + " FAILED " + std::to_string(code) + ":\n\n" + text + "\n\n";
}

class ScToolTest : public ScmTest {
 protected:
  bool WaitToolState(const std::string& name, const std::string& state) {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(8);
    while (std::chrono::steady_clock::now() < deadline) {
      if (Sc({"query", name}).out.find("STATE              : " + state) != std::string::npos) return true;
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return false;
  }
};

TEST_F(ScToolTest, QueryPrintsTheStatusBlockOrTheOpenFailure) {
  Handle svc = Create("Fresh", "/bin/true");
  Result r = Sc({"query", "Fresh"});
  EXPECT_EQ(r.exit, 0);
  EXPECT_EQ(r.out,
            "\nSERVICE_NAME: Fresh\n"
            "        TYPE               : 10  WIN32_OWN_PROCESS\n"
            "        STATE              : 1  STOPPED\n"
            "        WIN32_EXIT_CODE    : 1077  (0x435)\n"
            "        SERVICE_EXIT_CODE  : 0  (0x0)\n"
            "        CHECKPOINT         : 0x0\n"
            "        WAIT_HINT          : 0x0\n");

  r = Sc({"queryex", "rpcss"});
  EXPECT_EQ(r.exit, 0);
  EXPECT_EQ(r.out,
            "\nSERVICE_NAME: rpcss\n"
            "        TYPE               : 20  WIN32_SHARE_PROCESS\n"
            "        STATE              : 4  RUNNING\n"
            "                                (NOT_STOPPABLE, NOT_PAUSABLE, IGNORES_SHUTDOWN)\n"
            "        WIN32_EXIT_CODE    : 0  (0x0)\n"
            "        SERVICE_EXIT_CODE  : 0  (0x0)\n"
            "        CHECKPOINT         : 0x0\n"
            "        WAIT_HINT          : 0x0\n"
            "        PID                : 0\n"
            "        FLAGS              : RUNS_IN_SYSTEM_PROCESS\n");

  r = Sc({"query", "Nobody"});
  EXPECT_EQ(r.out, Failure("EnumQueryServicesStatus:OpenService", 1060,
                           "The specified service does not exist as an installed service."));
  EXPECT_EQ(r.exit, 255);
  EXPECT_EQ(r.err, "qelupnp-sc: exit code 0x00000424\n");

  // Without a name: the active services, with their display names.
  r = Sc({"query"});
  EXPECT_EQ(r.exit, 0);
  EXPECT_NE(r.out.find("SERVICE_NAME: upnphost\nDISPLAY_NAME: UPnP Device Host\n"), std::string::npos) << r.out;
  EXPECT_EQ(r.out.find("Fresh"), std::string::npos);
  EXPECT_NE(Sc({"query", "state=", "all"}).out.find("SERVICE_NAME: Fresh\n"), std::string::npos);
}

TEST_F(ScToolTest, CreateConfigureDescribeAndQueryConfiguration) {
  std::string bin = "/opt/Program Files/svc -Service";
  Result r = Sc({"create", "Tool", "binPath=", bin, "depend=", "RPCSS/UPNPHOST", "DisplayName=", "Tool Svc"});
  EXPECT_EQ(r.out, "[SC] CreateService SUCCESS\n");
  EXPECT_EQ(r.exit, 0);
  created_.push_back(u"Tool");
  r = Sc({"description", "Tool", "Access", "QEL", "by", "using", "UPnP."});
  EXPECT_EQ(r.out, "[SC] ChangeServiceConfig2 SUCCESS\n");
  r = Sc({"qdescription", "Tool"});
  EXPECT_EQ(r.out, "[SC] QueryServiceConfig2 SUCCESS\n\nSERVICE_NAME: Tool\nDESCRIPTION:  Access QEL by using UPnP.\n");
  r = Sc({"config", "Tool", "start=", "auto", "error=", "severe"});
  EXPECT_EQ(r.out, "[SC] ChangeServiceConfig SUCCESS\n");
  r = Sc({"qc", "Tool"});
  EXPECT_EQ(r.exit, 0);
  EXPECT_EQ(r.out,
            "[SC] QueryServiceConfig SUCCESS\n\n"
            "SERVICE_NAME: Tool\n"
            "        TYPE               : 10  WIN32_OWN_PROCESS\n"
            "        START_TYPE         : 2   AUTO_START\n"
            "        ERROR_CONTROL      : 2   SEVERE\n"
            "        BINARY_PATH_NAME   : /opt/Program Files/svc -Service\n"
            "        LOAD_ORDER_GROUP   : \n"
            "        TAG                : 0\n"
            "        DISPLAY_NAME       : Tool Svc\n"
            "        DEPENDENCIES       : RPCSS\n"
            "                           : UPNPHOST\n"
            "        SERVICE_START_NAME : LocalSystem\n");
  r = Sc({"qc", "Tool", "20"});
  EXPECT_EQ(r.exit, 122);
  EXPECT_EQ(r.out.rfind(Failure("QueryServiceConfig", 122, "The data area passed to a system call is too small."), 0),
            0u);

  r = Sc({"create", "tool", "binPath=", "/bin/true"});
  EXPECT_EQ(r.out, Failure("CreateService", 1073, "The specified service already exists."));
  r = Sc({"config", "Tool", "start=", "disabled"});
  EXPECT_EQ(r.exit, 0);
  r = Sc({"start", "Tool"});
  EXPECT_EQ(r.out, Failure("StartService", 1058,
                           "The service cannot be started, either because it is disabled or because it has no "
                           "enabled devices associated with it."));
  r = Sc({"delete", "Tool"});
  EXPECT_EQ(r.out, "[SC] DeleteService SUCCESS\n");
  r = Sc({"delete", "Tool"});
  EXPECT_EQ(r.out, Failure("OpenService", 1060, "The specified service does not exist as an installed service."));
}

TEST_F(ScToolTest, DrivesARealServiceThroughStartControlsStopAndDelete) {
  Result r = Sc({"create", "Driven", "binPath=", TestSvc("--name Driven --accept stop,shutdown")});
  ASSERT_EQ(r.exit, 0) << r.out;
  created_.push_back(u"Driven");
  r = Sc({"start", "Driven"});
  ASSERT_EQ(r.exit, 0) << r.out;
  EXPECT_EQ(r.out.rfind("\nSERVICE_NAME: Driven\n        TYPE               : 10  WIN32_OWN_PROCESS\n", 0), 0u) << r.out;
  EXPECT_NE(r.out.find("        PID                : "), std::string::npos);
  EXPECT_NE(r.out.find("        FLAGS              : \n"), std::string::npos);
  ASSERT_TRUE(WaitToolState("Driven", "4  RUNNING"));
  r = Sc({"query", "Driven"});
  EXPECT_NE(r.out.find("        STATE              : 4  RUNNING\n"
                       "                                (STOPPABLE, NOT_PAUSABLE, ACCEPTS_SHUTDOWN)\n"),
            std::string::npos)
      << r.out;

  r = Sc({"start", "Driven"});
  EXPECT_EQ(r.out, Failure("StartService", 1056, "An instance of the service is already running."));
  EXPECT_EQ(r.exit, 255);
  EXPECT_EQ(r.err, "qelupnp-sc: exit code 0x00000420\n");
  r = Sc({"pause", "Driven"});
  EXPECT_EQ(r.out, Failure("ControlService", 1052, "The requested control is not valid for this service."));
  r = Sc({"control", "Driven", "129"});
  EXPECT_EQ(r.exit, 0);
  EXPECT_TRUE(WaitRecord("control 129"));
  r = Sc({"control", "Driven", "300"});
  EXPECT_EQ(r.out, Failure("ControlService", 87, "The parameter is incorrect."));
  EXPECT_EQ(r.exit, 87);
  r = Sc({"interrogate", "Driven"});
  EXPECT_EQ(r.exit, 0);
  EXPECT_NE(r.out.find("STATE              : 4  RUNNING"), std::string::npos);

  r = Sc({"delete", "Driven"});
  EXPECT_EQ(r.out, "[SC] DeleteService SUCCESS\n");
  r = Sc({"stop", "Driven"});
  EXPECT_EQ(r.exit, 0);
  EXPECT_NE(r.out.find("        STATE              : 3  STOP_PENDING\n"), std::string::npos) << r.out;
  auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(8);
  while (std::chrono::steady_clock::now() < deadline && Sc({"query", "Driven"}).exit == 0)
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  r = Sc({"stop", "Driven"});
  EXPECT_EQ(r.out, Failure("OpenService", 1060, "The specified service does not exist as an installed service."));
  ExpectCleanLog("Driven");
}

TEST_F(ScToolTest, StopOfAStoppedServiceAndTwoStartsAtOnce) {
  ASSERT_EQ(Sc({"create", "Pair", "binPath=", TestSvc("--name Pair")}).exit, 0);
  created_.push_back(u"Pair");
  Result r = Sc({"stop", "Pair"});
  EXPECT_EQ(r.out, Failure("ControlService", 1062, "The service has not been started."));
  EXPECT_EQ(r.exit, 255);
  Result a, b;
  std::thread t1([&] { a = Sc({"start", "Pair"}); });
  std::thread t2([&] { b = Sc({"start", "Pair"}); });
  t1.join();
  t2.join();
  EXPECT_EQ((a.exit == 0) + (b.exit == 0), 1) << a.out << b.out;
  const Result& loser = a.exit == 0 ? b : a;
  EXPECT_EQ(loser.out, Failure("StartService", 1056, "An instance of the service is already running."));
}

TEST_F(ScToolTest, UsageErrorsGiveTheUsageAndInvalidCommandLine) {
  Result r = Sc({});
  EXPECT_EQ(r.exit, 255);
  EXPECT_EQ(r.err, "qelupnp-sc: exit code 0x00000667\n");
  EXPECT_EQ(r.out.rfind("DESCRIPTION:\n        SC is a command line program", 0), 0u);
  for (const char* help : {"--help", "/?"}) {
    r = Sc({help});
    EXPECT_EQ(r.exit, 0) << help;
    EXPECT_NE(r.out.find("Commands:"), std::string::npos) << help;
  }
  r = Sc({"start"});
  EXPECT_EQ(r.exit, 255);
  EXPECT_EQ(r.out.rfind("DESCRIPTION:\n        Starts a service running.\n", 0), 0u) << r.out;
  const std::vector<std::vector<std::string>> bad = {
      {"stop", "a", "b"},
      {"delete"},
      {"control", "x"},
      {"control", "x", "fast"},
      {"create", "x"},
      {"create", "x", "binPath="},
      {"create", "x", "binPath=", "/bin/true", "start=", "sometimes"},
      {"create", "x", "binpath=/bin/true"},
      {"config", "x"},
      {"frobnicate", "x"},
  };
  for (const auto& args : bad) {
    r = Sc(args);
    EXPECT_EQ(r.exit, 255) << args[0];
    EXPECT_EQ(r.err, "qelupnp-sc: exit code 0x00000667\n") << args[0];
  }
  EXPECT_EQ(Sc({"frobnicate"}).out.rfind("ERROR:  Unrecognized command\n", 0), 0u);
  EXPECT_FALSE(OpenServiceW(scm_.h, u"x", SERVICE_QUERY_STATUS)) << "a rejected command line created a service";
}

TEST_F(ScToolTest, LogShowsWhatTheServiceWrote) {
  Handle svc = Create("Chatty", TestSvc("--accept stop --say ready-to-serve"));
  Result r = Sc({"log", "Chatty"});
  EXPECT_EQ(r.exit, 2) << "never started: no log yet";
  EXPECT_EQ(r.out, Failure("log", 2, "The system cannot find the file specified."));
  EXPECT_NE(r.err.find(qel::scm::LogPath(u"Chatty").string()), std::string::npos) << r.err;

  ASSERT_TRUE(StartServiceW(svc.h, 0, nullptr)) << GetLastError();
  ASSERT_TRUE(WaitToolState("Chatty", "4  RUNNING"));
  r = Sc({"log", "chatty"});
  EXPECT_EQ(r.exit, 0);
  EXPECT_NE(r.out.find("[service control manager] starting Chatty: "), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("\nready-to-serve\nerr:ready-to-serve\n"), std::string::npos) << r.out;
  // The part moved aside comes first.
  qel::test::WriteFile(qel::scm::LogPath(u"Chatty").string() + ".old", "older\n");
  EXPECT_EQ(Sc({"log", "Chatty"}).out.rfind("older\n", 0), 0u);

  EXPECT_EQ(Sc({"log", "Missing"}).exit, 255);  // 1060
  EXPECT_EQ(Sc({"log"}).exit, 255);             // 1639: usage
}

TEST_F(ScToolTest, CallerWhoMayNotWriteTheStoreIsDenied) {
  if (::geteuid() != 0) GTEST_SKIP() << "needs root to drop privileges";
  Handle svc = Create("Locked", "/bin/true");
  ::chmod(qel::StateDir().c_str(), 0755);
  for (auto& e : std::filesystem::directory_iterator(qel::StateDir()))
    ::chmod(e.path().c_str(), e.is_directory() ? 0755 : 0644);
  Result r = Sc({"create", "Intruder", "binPath=", "/bin/true"}, true);
  if (r.exit == 126) GTEST_SKIP() << "cannot run the tool as another user: " << r.err;
  EXPECT_EQ(r.out, "[SC] OpenSCManager FAILED 5:\n\nAccess is denied.\n\n");
  EXPECT_EQ(r.exit, 5);
  r = Sc({"delete", "Locked"}, true);
  EXPECT_EQ(r.out, Failure("OpenService", 5, "Access is denied."));
  r = Sc({"query", "Locked"}, true);
  EXPECT_EQ(r.exit, 0) << r.out << r.err;
  EXPECT_NE(r.out.find("STATE              : 1  STOPPED"), std::string::npos);
}

}  // namespace
}  // namespace scmtest
