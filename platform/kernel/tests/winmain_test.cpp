// Runs the probe program, which sits on the platform's process entry.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <string>
#include <vector>

namespace {

struct Outcome {
  int status = -1;  // exit status, or 128+signal when killed by one
  std::string out, err;
};

class Child {
 public:
  explicit Child(std::vector<std::string> args) {
    int out[2], err[2];
    if (pipe2(out, O_CLOEXEC) != 0 || pipe2(err, O_CLOEXEC) != 0) return;
    m_pid = fork();
    if (m_pid == 0) {
      dup2(out[1], 1);
      dup2(err[1], 2);
      std::vector<char*> argv;
      for (auto& a : args) argv.push_back(a.data());
      argv.push_back(nullptr);
      execv(argv[0], argv.data());
      _exit(127);
    }
    close(out[1]);
    close(err[1]);
    m_out = out[0];
    m_err = err[0];
  }
  ~Child() {
    if (m_pid > 0 && !m_reaped) {
      kill(m_pid, SIGKILL);
      waitpid(m_pid, nullptr, 0);
    }
    if (m_out >= 0) close(m_out);
    if (m_err >= 0) close(m_err);
  }
  pid_t pid() const { return m_pid; }
  // Reads stdout until `text` shows up or 10 seconds pass.
  bool WaitFor(const std::string& text) {
    for (int i = 0; i < 100 && m_buffer.find(text) == std::string::npos; ++i) {
      pollfd p{m_out, POLLIN, 0};
      if (poll(&p, 1, 100) > 0) {
        char b[256];
        ssize_t n = read(m_out, b, sizeof b);
        if (n <= 0) break;
        m_buffer.append(b, static_cast<size_t>(n));
      }
    }
    return m_buffer.find(text) != std::string::npos;
  }
  Outcome Finish() {
    Outcome r;
    r.out = m_buffer + Drain(m_out);
    r.err = Drain(m_err);
    int st = 0;
    // Bounded: the probe ends by itself in every case the tests use.
    for (int i = 0; i < 1000; ++i) {
      pid_t w = waitpid(m_pid, &st, WNOHANG);
      if (w == m_pid) {
        m_reaped = true;
        break;
      }
      usleep(10000);
    }
    if (!m_reaped) return r;
    r.status = WIFEXITED(st) ? WEXITSTATUS(st) : 128 + WTERMSIG(st);
    return r;
  }

 private:
  static std::string Drain(int fd) {
    std::string s;
    char b[4096];
    for (;;) {
      pollfd p{fd, POLLIN, 0};
      if (poll(&p, 1, 10000) <= 0) break;
      ssize_t n = read(fd, b, sizeof b);
      if (n <= 0) break;
      s.append(b, static_cast<size_t>(n));
    }
    return s;
  }
  pid_t m_pid = -1;
  int m_out = -1, m_err = -1;
  bool m_reaped = false;
  std::string m_buffer;
};

Outcome RunProbe(std::vector<std::string> args) {
  args.insert(args.begin(), QEL_WINMAIN_PROBE);
  Child c(args);
  return c.Finish();
}

TEST(ProcessEntry, ExitCodeRule) {
  Outcome r = RunProbe({"exit", "0"});
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.err, "");
  r = RunProbe({"exit", "2"});
  EXPECT_EQ(r.status, 2);
  r = RunProbe({"exit", "0x80070002"});
  EXPECT_EQ(r.status, 255);
  EXPECT_EQ(r.err, "qel_winmain_probe: exit code 0x80070002\n");
  r = RunProbe({"exit", "-1"});
  EXPECT_EQ(r.status, 255);  // a failure never exits 0
  EXPECT_EQ(r.err, "qel_winmain_probe: exit code 0xFFFFFFFF\n");
  r = RunProbe({"exit", "256"});
  EXPECT_EQ(r.status, 255);
}

TEST(ProcessEntry, HooksRunInReverseOrderAtANormalEnd) {
  Outcome r = RunProbe({"hooks"});
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.out, "hook2\nhook1\n");
}

TEST(ProcessEntry, SignalsRunTheHooksAndEndWithTheirStatus) {
  for (int sig : {SIGTERM, SIGINT}) {
    Child c({QEL_WINMAIN_PROBE, "wait"});
    ASSERT_TRUE(c.WaitFor("ready\n"));
    kill(c.pid(), sig);
    Outcome r = c.Finish();
    EXPECT_EQ(r.status, 128 + sig);
    EXPECT_EQ(r.out, "ready\nhook2\nhook1\n");
  }
}

TEST(ProcessEntry, CommandLineAndInstanceReachTheProgram) {
  Outcome r = RunProbe({"cmdline", "-Service"});
  EXPECT_EQ(r.out, std::string(QEL_WINMAIN_PROBE) + " cmdline -Service\ncmdline -Service\n");
  r = RunProbe({"instance"});
  EXPECT_EQ(r.out, std::string("1 ") + QEL_WINMAIN_PROBE + "\n");
}

}  // namespace
