// The HTTP server on its own: work that runs on the loop thread comes back
// to its connection, and a server stopped while work is still on the loop
// neither hangs nor leaves the client without an end. On the test's
// private loopback.
#include <glib.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <arpa/inet.h>
#include <unistd.h>

#include <chrono>
#include <string>

#include "../httpserver.h"
#include "nettest.h"

namespace qel::test {
namespace {

using namespace std::chrono_literals;
using upnphost::HttpLimits;
using upnphost::HttpRequest;
using upnphost::HttpResponse;
using upnphost::HttpRoute;
using upnphost::HttpServer;

class HttpServerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!InPrivateNetwork()) GTEST_SKIP() << "needs a private network namespace (run as root)";
    m_loop = g_main_context_new();
    int error = 0;
    std::string why;
    m_server = HttpServer::Start(
        0, m_loop,
        [](const HttpRequest& req) {
          HttpRoute route;
          if (req.path == "/work") {
            route.answerNow = false;
            route.maxBody = 1024;
            route.work = [](const HttpRequest& r, HttpResponse& out) { out.Set(200, "text/plain", "done:" + r.body); };
          }
          return route;
        },
        "test/1.0", HttpLimits{}, &error, &why);
    ASSERT_TRUE(m_server) << why;
  }
  void TearDown() override {
    m_server.reset();
    if (m_loop) {
      // Work the stopped server left on the loop finds it gone.
      while (g_main_context_iteration(m_loop, FALSE)) {
      }
      g_main_context_unref(m_loop);
    }
  }

  int Connect() const {
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(static_cast<uint16_t>(m_server->Port()));
    ::inet_pton(AF_INET, "127.0.0.1", &a.sin_addr);
    if (::connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
      ::close(fd);
      return -1;
    }
    return fd;
  }
  // Reads until the peer closes or `timeout`, iterating the loop meanwhile
  // if `runLoop`. Whether the peer closed is in `closed`.
  std::string Read(int fd, bool runLoop, std::chrono::milliseconds timeout, bool* closed) {
    std::string all;
    *closed = false;
    const auto end = std::chrono::steady_clock::now() + timeout;
    char buf[4096];
    while (std::chrono::steady_clock::now() < end) {
      if (runLoop) g_main_context_iteration(m_loop, FALSE);
      pollfd p{fd, POLLIN, 0};
      if (::poll(&p, 1, 10) <= 0) continue;
      const ssize_t n = ::recv(fd, buf, sizeof buf, 0);
      if (n <= 0) {
        *closed = true;
        break;
      }
      all.append(buf, static_cast<size_t>(n));
    }
    return all;
  }

  GMainContext* m_loop = nullptr;
  std::unique_ptr<HttpServer> m_server;
};

const std::string kPost = "POST /work HTTP/1.1\r\nHost: x\r\nConnection: close\r\nContent-Length: 3\r\n\r\nabc";

TEST_F(HttpServerTest, WorkOnTheLoopComesBackToItsConnection) {
  // Several in a row: each answer must wake the server's thread, not wait
  // for the next connection or timeout to do it. With nothing else going on,
  // a server that is not woken sleeps until the idle timeout (20 s) or for
  // good, so an answer within the read window (which leaves room for slow
  // sanitizer builds) shows the wakeup.
  for (int i = 0; i < 3; ++i) {
    const int fd = Connect();
    ASSERT_GE(fd, 0);
    ASSERT_EQ(::send(fd, kPost.data(), kPost.size(), MSG_NOSIGNAL), static_cast<ssize_t>(kPost.size()));
    bool closed = false;
    const std::string reply = Read(fd, true, 8000ms, &closed);
    ::close(fd);
    EXPECT_EQ(reply.rfind("HTTP/1.1 200", 0), 0u) << reply;
    EXPECT_NE(reply.find("done:abc"), std::string::npos) << reply;
    EXPECT_TRUE(closed);
  }
}

TEST_F(HttpServerTest, StoppingWithWorkOnTheLoopEndsTheConnection) {
  const int fd = Connect();
  ASSERT_GE(fd, 0);
  ASSERT_EQ(::send(fd, kPost.data(), kPost.size(), MSG_NOSIGNAL), static_cast<ssize_t>(kPost.size()));
  // The loop is not run: the request waits for it, suspended.
  bool closed = false;
  EXPECT_EQ(Read(fd, false, 300ms, &closed), "");
  EXPECT_FALSE(closed);
  const auto start = std::chrono::steady_clock::now();
  m_server.reset();
  // A stop that waited for the loop would never end; well below the idle
  // timeout, with room for sanitizer builds.
  EXPECT_LT(std::chrono::steady_clock::now() - start, 8s);
  // Answered 503 if the daemon could send it before it stopped; closed in any case.
  const std::string reply = Read(fd, false, 2000ms, &closed);
  ::close(fd);
  EXPECT_TRUE(closed);
  EXPECT_TRUE(reply.empty() || reply.rfind("HTTP/1.1 503", 0) == 0) << reply;
}

}  // namespace
}  // namespace qel::test
