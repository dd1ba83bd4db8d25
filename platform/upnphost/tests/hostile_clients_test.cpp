// The device host's HTTP side against hostile and long-running clients:
// connection churn, framing tricks, oversized bodies, entity expansion in
// SOAP, subscription hoarding, and CALLBACK lists with dead URLs. All on
// the test's private loopback.
#include <arpa/inet.h>
#include <net/if.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <filesystem>

#include "hostfixture.h"

namespace qel::test {
namespace {

using namespace std::chrono_literals;

size_t OpenDescriptors() {
  size_t n = 0;
  for ([[maybe_unused]] const auto& e : std::filesystem::directory_iterator("/proc/self/fd")) ++n;
  return n;
}

// A TCP connection to 127.0.0.1:`port` from the loopback address `from`.
int Connect(int port, const char* from = "127.0.0.1") {
  const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  ::inet_pton(AF_INET, from, &a.sin_addr);
  ::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a);
  a.sin_port = htons(static_cast<uint16_t>(port));
  ::inet_pton(AF_INET, "127.0.0.1", &a.sin_addr);
  if (::connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
    ::close(fd);
    return -1;
  }
  return fd;
}

// A TCP connection to [`address`]:`port`, an IPv6 address with an optional "%interface".
int Connect6(int port, const std::string& address) {
  const int fd = ::socket(AF_INET6, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in6 a{};
  a.sin6_family = AF_INET6;
  a.sin6_port = htons(static_cast<uint16_t>(port));
  const auto pct = address.find('%');
  ::inet_pton(AF_INET6, address.substr(0, pct).c_str(), &a.sin6_addr);
  if (pct != std::string::npos) a.sin6_scope_id = if_nametoindex(address.c_str() + pct + 1);
  if (::connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
    ::close(fd);
    return -1;
  }
  return fd;
}

// Sends `raw` and reads until the answer's head is in (or `timeout`):
// the status, and whether the server then closed the connection.
struct Exchange {
  int status = 0;
  std::string head;
  bool closed = false;
};
Exchange Send(int fd, const std::string& raw, std::chrono::milliseconds timeout = 3000ms) {
  Exchange ex;
  for (size_t done = 0; done < raw.size();) {
    const ssize_t n = ::send(fd, raw.data() + done, raw.size() - done, MSG_NOSIGNAL);
    if (n <= 0) break;
    done += static_cast<size_t>(n);
  }
  std::string all;
  const auto end = std::chrono::steady_clock::now() + timeout;
  char buf[4096];
  while (std::chrono::steady_clock::now() < end) {
    pollfd p{fd, POLLIN, 0};
    if (::poll(&p, 1, 50) <= 0) continue;
    const ssize_t n = ::recv(fd, buf, sizeof buf, 0);
    if (n <= 0) {
      ex.closed = true;
      break;
    }
    all.append(buf, static_cast<size_t>(n));
    if (all.find("\r\n\r\n") != std::string::npos && ex.head.empty()) {
      ex.head = all.substr(0, all.find("\r\n\r\n"));
      if (Header(ex.head + "\r\n", "Connection") != "close") break;
    }
  }
  if (all.rfind("HTTP/1.", 0) == 0) ex.status = std::atoi(all.c_str() + 9);
  return ex;
}

class HostileClientTest : public HostTest {
 protected:
  void SetUp() override {
    HostTest::SetUp();
    if (IsSkipped()) return;
    ASSERT_EQ(Register(Description({"Ctl1"}), &m_id, 0), S_OK);
    const std::string location = Location();
    ASSERT_TRUE(SplitUrl(location, &m_port, &m_descPath)) << location;
    const std::string& d = m_control->description;
    const auto c = d.find("<controlURL>"), e = d.find("<eventSubURL>");
    m_controlPath = d.substr(c + 12, d.find('<', c + 12) - c - 12);
    m_eventPath = d.substr(e + 13, d.find('<', e + 13) - e - 13);
  }
  int Status(const std::string& raw, const char* from = "127.0.0.1") {
    const int fd = Connect(m_port, from);
    const int status = Send(fd, raw).status;
    ::close(fd);
    return status;
  }
  std::string Subscribe(const std::string& callbacks, const char* from = "127.0.0.1", int* status = nullptr) {
    const int fd = Connect(m_port, from);
    const Exchange ex = Send(fd, "SUBSCRIBE " + m_eventPath + " HTTP/1.1\r\nHost: x\r\nCALLBACK: " + callbacks +
                                     "\r\nNT: upnp:event\r\nTIMEOUT: Second-86400\r\nContent-Length: 0\r\n\r\n");
    ::close(fd);
    if (status) *status = ex.status;
    m_lastTimeout = Header(ex.head + "\r\n", "TIMEOUT");
    return Header(ex.head + "\r\n", "SID");
  }
  bool StillServes() { return HttpGet("http://127.0.0.1:" + std::to_string(m_port) + m_descPath).status == 200; }

  BstrHolder m_id;
  std::string m_descPath, m_controlPath, m_eventPath, m_lastTimeout;
  int m_port = 0;
};

TEST_F(HostileClientTest, ConnectionChurnLeavesTheDescriptorCountFlat) {
  const std::string get = "GET " + m_descPath + " HTTP/1.1\r\nHost: x\r\n\r\n";
  ASSERT_TRUE(StillServes());
  const size_t before = OpenDescriptors();
  // Keep-alive clients that close after one answer, and clients that
  // connect and leave without a word.
  for (int i = 0; i < 300; ++i) {
    const int fd = Connect(m_port);
    ASSERT_GE(fd, 0);
    if (i % 3 != 2) {
      EXPECT_EQ(Send(fd, get).status, 200);
    }
    ::close(fd);
  }
  size_t after = 0;
  for (int i = 0; i < 50 && (after = OpenDescriptors()) >= before + 10; ++i) std::this_thread::sleep_for(20ms);
  EXPECT_LT(after, before + 10) << "before " << before;
  EXPECT_TRUE(StillServes());
}

TEST_F(HostileClientTest, MalformedFramingIsAnswered400AtOnce) {
  const std::string line = "POST " + m_controlPath + " HTTP/1.1\r\nHost: x\r\n";
  const std::vector<std::pair<std::string, std::string>> cases = {
      {"two lengths", line + "Content-Length: 5\r\nContent-Length: 7\r\n\r\nabcde"},
      {"negative length", line + "Content-Length: -1\r\n\r\n"},
      {"length and chunked", line + "Content-Length: 5\r\nTransfer-Encoding: chunked\r\n\r\n0\r\n\r\n"},
      // A TLS ClientHello record header and the start of its body.
      {"TLS hello", std::string("\x16\x03\x01\x00\xa5\x01\x00\x00\xa1\x03\x03", 11) + std::string(64, '\x01')},
  };
  for (const auto& [what, raw] : cases) {
    const int fd = Connect(m_port);
    const auto start = std::chrono::steady_clock::now();
    const Exchange ex = Send(fd, raw, 3000ms);
    ::close(fd);
    EXPECT_EQ(ex.status, 400) << what;
    EXPECT_LT(std::chrono::steady_clock::now() - start, 2s) << what;
  }
  EXPECT_TRUE(StillServes());
}

TEST_F(HostileClientTest, BodiesAreBoundedBeforeTheyAreRead) {
  // 300 MB announced to a path nobody serves, and to a control URL: answered
  // at once, the body never read, the connection closed.
  for (const std::string& path : {std::string("/nothing/here"), m_descPath, m_controlPath}) {
    const int fd = Connect(m_port);
    const Exchange ex =
        Send(fd, "POST " + path + " HTTP/1.1\r\nHost: x\r\nContent-Length: 300000000\r\n\r\n" + std::string(4096, 'a'));
    EXPECT_TRUE(ex.status == 404 || ex.status == 405 || ex.status == 413) << path << ": " << ex.status;
    EXPECT_TRUE(ex.closed) << path;
    ::close(fd);
  }
  // A chunked body that outgrows the bound: the connection is dropped
  // (the server cannot answer in the middle of a body).
  const int fd = Connect(m_port);
  std::string chunked = "POST " + m_controlPath + " HTTP/1.1\r\nHost: x\r\nTransfer-Encoding: chunked\r\n\r\n";
  for (int i = 0; i < 80; ++i) chunked += "1000\r\n" + std::string(4096, 'a') + "\r\n";
  const Exchange ex = Send(fd, chunked);
  EXPECT_NE(ex.status, 200);
  EXPECT_TRUE(ex.closed);
  ::close(fd);
  EXPECT_TRUE(StillServes());
}

TEST_F(HostileClientTest, SoapWithADocumentTypeDeclarationIsAFault) {
  // The "billion laughs" shape, and an innocent-looking DOCTYPE: both refused
  // before any argument is read or the service object is called.
  std::string entities = "<!ENTITY a \"" + std::string(1000, 'x') + "\">";
  std::string refs;
  for (int i = 0; i < 2000; ++i) refs += "&a;";
  const std::string type = "urn:schemas-upnp-org:service:Ctl1:1";
  for (const std::string& doctype :
       {"<!DOCTYPE s:Envelope [" + entities + "]>", std::string("<!DOCTYPE s:Envelope>")}) {
    const std::string body = "<?xml version=\"1.0\"?>" + doctype +
                             "<s:Envelope xmlns:s=\"http://schemas.xmlsoap.org/soap/envelope/\"><s:Body><u:Echo "
                             "xmlns:u=\"" + type + "\"><Text>" + (doctype.size() > 40 ? refs : "") +
                             "</Text></u:Echo></s:Body></s:Envelope>";
    const int before = m_control->services[0]->invokes;
    HttpReply r = HttpRaw(m_port, "POST " + m_controlPath + " HTTP/1.1\r\nHost: x\r\nConnection: close\r\n"
                                  "SOAPACTION: \"" + type + "#Echo\"\r\nContent-Length: " +
                                  std::to_string(body.size()) + "\r\n\r\n" + body);
    EXPECT_EQ(r.status, 500);
    EXPECT_NE(r.body.find("<faultcode>s:Client</faultcode>"), std::string::npos) << r.body;
    EXPECT_NE(r.body.find("Document Type Declaration"), std::string::npos) << r.body;
    EXPECT_EQ(m_control->services[0]->invokes, before);
  }
  EXPECT_TRUE(StillServes());
}

TEST_F(HostileClientTest, OnePeerCannotTakeEverySubscription) {
  CallbackServer cb;
  const std::string callback = "<http://127.0.0.1:" + std::to_string(cb.port()) + "/ev>";
  int status = 0;
  std::vector<std::string> sids;
  for (int i = 0; i < 8; ++i) {
    sids.push_back(Subscribe(callback, "127.0.0.1", &status));
    EXPECT_EQ(status, 200) << i;
  }
  // No more than a day asked: half an hour given.
  EXPECT_EQ(m_lastTimeout, "Second-1800");
  Subscribe(callback, "127.0.0.1", &status);
  EXPECT_EQ(status, 503);
  // Another control point still gets its place, and a freed place is free.
  EXPECT_FALSE(Subscribe(callback, "127.0.0.2", &status).empty());
  EXPECT_EQ(status, 200);
  EXPECT_EQ(Status("UNSUBSCRIBE " + m_eventPath + " HTTP/1.1\r\nHost: x\r\nSID: " + sids[0] +
                   "\r\nContent-Length: 0\r\n\r\n"),
            200);
  Subscribe(callback, "127.0.0.1", &status);
  EXPECT_EQ(status, 200);
}

TEST_F(HostileClientTest, EventsTryTheCallbackUrlsInOrder) {
  CallbackServer second, third;
  // The first URL's port was bound and let go: nothing listens there.
  sockaddr_in a{};
  socklen_t len = sizeof a;
  const int probe = ::socket(AF_INET, SOCK_STREAM, 0);
  a.sin_family = AF_INET;
  ::inet_pton(AF_INET, "127.0.0.1", &a.sin_addr);
  ::bind(probe, reinterpret_cast<sockaddr*>(&a), sizeof a);
  ::getsockname(probe, reinterpret_cast<sockaddr*>(&a), &len);
  const int closedPort = ntohs(a.sin_port);
  ::close(probe);

  const std::string callbacks = "<http://127.0.0.1:" + std::to_string(closedPort) + "/first><http://127.0.0.1:" +
                                std::to_string(second.port()) + "/second><http://127.0.0.1:" +
                                std::to_string(third.port()) + "/third>";
  int status = 0;
  ASSERT_FALSE(Subscribe(callbacks, "127.0.0.1", &status).empty());
  ASSERT_TRUE(second.WaitForRequests(1));
  EXPECT_EQ(second.Requests()[0].rfind("NOTIFY /second ", 0), 0u);
  std::this_thread::sleep_for(200ms);
  EXPECT_TRUE(third.Requests().empty());
}

TEST_F(HostileClientTest, EventsReachIpv6SubscribersOnTheirLink) {
  // Loopback with a link-local address as well: the callback check must
  // take the scope into account, and the events leave through it.
  ASSERT_EQ(std::system("ip -6 addr add fe80::1/64 dev lo nodad 2>/dev/null"), 0) << "no IPv6 in this namespace";
  struct Cleanup {
    ~Cleanup() { (void)!std::system("ip -6 addr del fe80::1/64 dev lo 2>/dev/null"); }
  } cleanup;
  CallbackServer global("::1"), linkLocal("fe80::1%lo");
  const std::string get = "GET " + m_descPath + " HTTP/1.1\r\nHost: x\r\nConnection: close\r\n\r\n";
  auto subscribe = [&](const std::string& over, const std::string& callback) {
    const int fd = Connect6(m_port, over);
    if (fd < 0) return 0;
    const Exchange ex = Send(fd, "SUBSCRIBE " + m_eventPath + " HTTP/1.1\r\nHost: x\r\nCALLBACK: <" + callback +
                                     ">\r\nNT: upnp:event\r\nContent-Length: 0\r\n\r\n");
    ::close(fd);
    return ex.status;
  };
  int fd = Connect6(m_port, "::1");
  ASSERT_GE(fd, 0);
  EXPECT_EQ(Send(fd, get).status, 200);
  ::close(fd);

  EXPECT_EQ(subscribe("::1", "http://[::1]:" + std::to_string(global.port()) + "/v6"), 200);
  ASSERT_TRUE(global.WaitForRequests(1));
  EXPECT_EQ(global.Requests()[0].rfind("NOTIFY /v6 ", 0), 0u);
  // A link-local callback without a zone is reached on the link the
  // SUBSCRIBE came from; one that names another link is refused.
  EXPECT_EQ(subscribe("fe80::1%lo", "http://[fe80::1]:" + std::to_string(linkLocal.port()) + "/ll"), 200);
  ASSERT_TRUE(linkLocal.WaitForRequests(1));
  EXPECT_EQ(linkLocal.Requests()[0].rfind("NOTIFY /ll ", 0), 0u);
  EXPECT_EQ(subscribe("fe80::1%lo", "http://[fe80::1%25nosuch0]:" + std::to_string(linkLocal.port()) + "/x"), 412);
  EXPECT_EQ(subscribe("::1", "http://[2001:db8::1]:" + std::to_string(global.port()) + "/x"), 412);
}

}  // namespace
}  // namespace qel::test

namespace qel::test {
namespace {

class LargeDescriptionTest : public HostTest {};

TEST_F(LargeDescriptionTest, ADescriptionOverFourMebibytesIsPublishedAndServedWhole) {
  std::vector<std::string> names;
  for (int i = 0; i < 15000; ++i) names.push_back("Controller_" + std::string(48, 'x') + std::to_string(i));
  const std::string xml = Description(names);
  ASSERT_GT(xml.size(), 4u << 20);
  BstrHolder id;
  ASSERT_EQ(Register(xml, &id), S_OK);
  int port = 0;
  std::string path;
  const std::string location = Location();
  ASSERT_TRUE(SplitUrl(location, &port, &path)) << location;
  HttpReply r = HttpRaw(port, "GET " + path + " HTTP/1.1\r\nHost: x\r\nConnection: close\r\n\r\n", 10000ms);
  EXPECT_EQ(r.status, 200);
  EXPECT_GT(r.body.size(), xml.size());
  EXPECT_NE(r.body.find("Controller_" + std::string(48, 'x') + "14999"), std::string::npos);
  EXPECT_EQ(r.body.rfind("</root>"), r.body.size() - 8);
}

}  // namespace
}  // namespace qel::test
