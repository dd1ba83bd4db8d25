#include <gtest/gtest.h>

#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstring>
#include <string>
#include <vector>

#include "qel/kernel.h"
#include "qel/statedir.h"
#include "testsupport.h"

namespace {

// Binds the debug socket of the private state directory, as a viewer does.
class Listener {
 public:
  Listener() {
    m_fd = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    sockaddr_un a{};
    a.sun_family = AF_UNIX;
    std::string p = (qel::StateDir() / qel::kDebugSocketName).string();
    std::strcpy(a.sun_path, p.c_str());
    m_bound = bind(m_fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0;
  }
  ~Listener() { close(m_fd); }
  bool bound() const { return m_bound; }
  std::string Receive() {
    pollfd p{m_fd, POLLIN, 0};
    if (poll(&p, 1, 5000) <= 0) return "<nothing>";
    char buf[70000];
    ssize_t n = recv(m_fd, buf, sizeof buf, 0);
    return n < 0 ? "<error>" : std::string(buf, static_cast<size_t>(n));
  }
  bool Quiet() {
    pollfd p{m_fd, POLLIN, 0};
    return poll(&p, 1, 100) == 0;
  }

 private:
  int m_fd = -1;
  bool m_bound = false;
};

TEST(DebugOutput, ReachesAListeningViewerAsUtf8) {
  qel::test::ScopedStateDir state;
  Listener viewer;
  ASSERT_TRUE(viewer.bound());
  OutputDebugStringW(TEXT("QelUPnP:Service started"));
  EXPECT_EQ(viewer.Receive(), "QelUPnP:Service started");
  OutputDebugStringW(u"caf\u00e9\n");
  EXPECT_EQ(viewer.Receive(), "caf\xC3\xA9\n");
  OutputDebugStringA("narrow");
  EXPECT_EQ(viewer.Receive(), "narrow");
  OutputDebugStringW(nullptr);
  EXPECT_TRUE(viewer.Quiet());
}

TEST(DebugOutput, WithoutViewerOrDebuggerGoesNowhere) {
  qel::test::ScopedStateDir state;
  ASSERT_FALSE(IsDebuggerPresent());
  testing::internal::CaptureStderr();
  OutputDebugStringW(TEXT("lost"));
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
}

TEST(DebugOutput, TestSinkCapturesInProcess) {
  qel::test::ScopedStateDir state;
  std::vector<std::u16string> got;
  qel::SetDebugOutputSinkForTests([&](std::u16string_view s) { got.emplace_back(s); });
  OutputDebugStringW(TEXT("one"));
  qel::SetDebugOutputSinkForTests(nullptr);
  OutputDebugStringW(TEXT("two"));
  EXPECT_EQ(got, std::vector<std::u16string>{u"one"});
}

TEST(DebugViewer, PrintsEachMessageOnItsOwnLineWithControlsEscaped) {
  qel::test::ScopedStateDir state;
  int out[2], err[2];
  ASSERT_EQ(pipe(out), 0);
  ASSERT_EQ(pipe(err), 0);
  pid_t pid = fork();
  if (pid == 0) {
    dup2(out[1], 1);
    dup2(err[1], 2);
    execl(QEL_DBGVIEW, QEL_DBGVIEW, "--count", "4", static_cast<char*>(nullptr));
    _exit(127);
  }
  close(out[1]);
  close(err[1]);
  // Wait until it says it listens.
  std::string said;
  for (int i = 0; i < 100 && said.find("listening") == std::string::npos; ++i) {
    pollfd p{err[0], POLLIN, 0};
    if (poll(&p, 1, 100) > 0) {
      char b[512];
      ssize_t n = read(err[0], b, sizeof b);
      if (n <= 0) break;
      said.append(b, static_cast<size_t>(n));
    }
  }
  ASSERT_NE(said.find("listening"), std::string::npos) << said;
  OutputDebugStringW(TEXT("Service stopped\n"));
  OutputDebugStringW(TEXT("QelUPnP:Service started"));
  // What any local user can send to the socket: terminal escapes, a forged
  // second line, C1 controls, bytes that are not UTF-8.
  OutputDebugStringW(u"a\x1b[2J\rb\nForged\tline\u009b1m\u00e9\x7f\u20ac");
  {
    int fd = socket(AF_UNIX, SOCK_DGRAM, 0);
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    std::string path = (state.path() / qel::kDebugSocketName).string();
    std::memcpy(addr.sun_path, path.c_str(), path.size() + 1);
    const char raw[] = "x\xff\xc0\x80\xed\xa0\x80\xe2\x82y\x00z";
    EXPECT_EQ(sendto(fd, raw, sizeof raw - 1, 0, reinterpret_cast<sockaddr*>(&addr), sizeof addr),
              static_cast<ssize_t>(sizeof raw - 1));
    close(fd);
  }
  std::string printed;
  for (int i = 0; i < 100; ++i) {
    pollfd p{out[0], POLLIN, 0};
    if (poll(&p, 1, 100) <= 0) continue;
    char b[512];
    ssize_t n = read(out[0], b, sizeof b);
    if (n <= 0) break;
    printed.append(b, static_cast<size_t>(n));
  }
  int st = 0;
  for (int i = 0; i < 500 && waitpid(pid, &st, WNOHANG) == 0; ++i) usleep(10000);
  if (kill(pid, 0) == 0) {
    kill(pid, SIGKILL);
    waitpid(pid, &st, 0);
  }
  EXPECT_EQ(printed,
            "Service stopped\nQelUPnP:Service started\n"
            "a\\x1B[2J\\rb\\nForged\tline\\u009B1m\u00e9\\x7F\u20ac\n"
            "x\\xFF\\xC0\\x80\\xED\\xA0\\x80\\xE2\\x82y\\x00z\n");
  EXPECT_TRUE(WIFEXITED(st) && WEXITSTATUS(st) == 0);
  close(out[0]);
  close(err[0]);
}

}  // namespace
