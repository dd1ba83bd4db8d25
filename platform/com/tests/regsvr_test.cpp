// qelupnp-regsvr: switches, messages and exit codes, run as a user runs it.
#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "testsupport.h"

extern char** environ;

namespace {

struct RunResult {
  int exitCode = -1;
  std::string out;
  std::string err;
};

class Regsvr : public ::testing::Test {
 protected:
  // Runs the tool with `args`, the test server's trace file and `extraEnv`.
  RunResult Run(const std::vector<std::string>& args, const std::vector<std::string>& extraEnv = {}) {
    const std::string outPath = (m_dir.path() / "stdout").string();
    const std::string errPath = (m_dir.path() / "stderr").string();
    std::vector<std::string> argStore{QEL_REGSVR_TOOL};
    argStore.insert(argStore.end(), args.begin(), args.end());
    std::vector<std::string> envStore;
    for (char** e = environ; *e; ++e) {
      const std::string entry(*e);
      if (entry.rfind("QEL_TESTSERVER_", 0) == 0 || entry.rfind("QELUPNP_MSGBOX_ANSWER=", 0) == 0) continue;
      envStore.push_back(entry);
    }
    envStore.push_back("QEL_TESTSERVER_TRACE=" + trace());
    envStore.push_back("QELUPNP_STATE_DIR=" + m_state.path().string());
    envStore.push_back("QELUPNP_MSGBOX_ANSWER=ok");
    envStore.insert(envStore.end(), extraEnv.begin(), extraEnv.end());
    std::vector<char*> argv, envp;
    for (auto& a : argStore) argv.push_back(a.data());
    argv.push_back(nullptr);
    for (auto& e : envStore) envp.push_back(e.data());
    envp.push_back(nullptr);

    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 1, outPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    posix_spawn_file_actions_addopen(&actions, 2, errPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    pid_t pid = 0;
    RunResult r;
    const int rc = posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), envp.data());
    posix_spawn_file_actions_destroy(&actions);
    if (rc != 0) return r;
    int status = 0;
    if (waitpid(pid, &status, 0) == pid && WIFEXITED(status)) r.exitCode = WEXITSTATUS(status);
    r.out = qel::test::ReadFile(outPath);
    r.err = qel::test::ReadFile(errPath);
    return r;
  }
  std::string trace() const { return (m_dir.path() / "trace").string(); }
  std::string Trace() const { return qel::test::ReadFile(trace()); }

  qel::test::TempDir m_dir;
  qel::test::ScopedStateDir m_state;
};

TEST_F(Regsvr, RegistersAndUnregistersWithRegsvr32Messages) {
  RunResult r = Run({QEL_TEST_SERVER});
  EXPECT_EQ(r.exitCode, 0) << r.err;
  EXPECT_NE(r.err.find(std::string("DllRegisterServer in ") + QEL_TEST_SERVER + " succeeded."), std::string::npos) << r.err;
  EXPECT_EQ(Trace(), "register\n");

  r = Run({"/u", QEL_TEST_SERVER});
  EXPECT_EQ(r.exitCode, 0) << r.err;
  EXPECT_NE(r.err.find(std::string("DllUnregisterServer in ") + QEL_TEST_SERVER + " succeeded."), std::string::npos);
  EXPECT_EQ(Trace(), "register\nunregister\n");

  // Switches in either form and any case; /s silences the messages.
  r = Run({"-S", "-U", QEL_TEST_SERVER});
  EXPECT_EQ(r.exitCode, 0);
  EXPECT_EQ(r.err, "");
  EXPECT_EQ(Trace(), "register\nunregister\nunregister\n");
}

TEST_F(Regsvr, FailingEntryPointReportsItsCode) {
  RunResult r = Run({QEL_TEST_SERVER}, {"QEL_TESTSERVER_RESULT=80070005"});
  EXPECT_EQ(r.exitCode, 5);
  EXPECT_NE(r.err.find(std::string("DllRegisterServer in ") + QEL_TEST_SERVER + " failed.\nReturn code was: 0x80070005"),
            std::string::npos)
      << r.err;
  r = Run({"/s", "/u", QEL_TEST_SERVER}, {"QEL_TESTSERVER_RESULT=80004005"});
  EXPECT_EQ(r.exitCode, 5);
  EXPECT_EQ(r.err, "");
}

TEST_F(Regsvr, LoadFailuresAndMissingEntryPoints) {
  const std::string missing = (m_dir.path() / "libnothere.so").string();
  RunResult r = Run({missing});
  EXPECT_EQ(r.exitCode, 3);
  EXPECT_NE(r.err.find("LoadLibrary(\"" + missing + "\") failed - "), std::string::npos) << r.err;

  r = Run({QEL_TEST_UNRESOLVED});
  EXPECT_EQ(r.exitCode, 3);
  EXPECT_NE(r.err.find("comtest_symbol_defined_nowhere"), std::string::npos) << r.err;

  r = Run({QEL_TEST_NOENTRY});
  EXPECT_EQ(r.exitCode, 4);
  EXPECT_NE(r.err.find(std::string(QEL_TEST_NOENTRY) + " was loaded, but the DllRegisterServer entry point was not found."),
            std::string::npos)
      << r.err;
  r = Run({"/u", QEL_TEST_NOENTRY});
  EXPECT_EQ(r.exitCode, 4);
  EXPECT_NE(r.err.find("the DllUnregisterServer entry point was not found."), std::string::npos);
  EXPECT_EQ(Trace(), "");
}

TEST_F(Regsvr, BadArgumentsAndHelp) {
  RunResult r = Run({});
  EXPECT_EQ(r.exitCode, 1);
  EXPECT_NE(r.err.find("Usage: qelupnp-regsvr"), std::string::npos);
  r = Run({"/x", QEL_TEST_SERVER});
  EXPECT_EQ(r.exitCode, 1);
  EXPECT_NE(r.err.find("Unrecognized flag: /x"), std::string::npos) << r.err;
  r = Run({QEL_TEST_SERVER, QEL_TEST_NOENTRY});
  EXPECT_EQ(r.exitCode, 1);
  EXPECT_EQ(Trace(), "");  // nothing was registered on bad arguments

  for (const char* help : {"--help", "/?", "-h"}) {
    r = Run({help});
    EXPECT_EQ(r.exitCode, 0) << help;
    EXPECT_NE(r.out.find("Usage: qelupnp-regsvr [/u] [/s] FILE"), std::string::npos) << help;
  }
}

TEST_F(Regsvr, ComInitialisationFailureIsReported) {
  RunResult r = Run({QEL_TEST_SERVER}, {"QELUPNP_FAULTS=CoInitialize=0x8007000E"});
  EXPECT_EQ(r.exitCode, 2);
  EXPECT_NE(r.err.find("0x8007000e"), std::string::npos) << r.err;
  EXPECT_EQ(Trace(), "");
}

}  // namespace
