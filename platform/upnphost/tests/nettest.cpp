#include "nettest.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <net/if.h>
#include <netinet/in.h>
#include <poll.h>
#include <strings.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>

#include "qel/upnphost_api.h"

namespace qel::test {

namespace {

// Before main, while the process has one thread: unshare applies to it alone.
const bool g_inPrivateNetwork = upnphost::EnterPrivateNetworkForTests();

void SetMulticastOut(int fd) {
  in_addr lo{};
  ::inet_pton(AF_INET, "127.0.0.1", &lo);
  ::setsockopt(fd, IPPROTO_IP, IP_MULTICAST_IF, &lo, sizeof lo);
  const unsigned char loop = 1;
  ::setsockopt(fd, IPPROTO_IP, IP_MULTICAST_LOOP, &loop, sizeof loop);
}

sockaddr_in GroupAddress() {
  sockaddr_in to{};
  to.sin_family = AF_INET;
  to.sin_port = htons(1900);
  ::inet_pton(AF_INET, "239.255.255.250", &to.sin_addr);
  return to;
}

}  // namespace

bool InPrivateNetwork() { return g_inPrivateNetwork; }

SsdpListener::SsdpListener() {
  m_fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  const int one = 1;
  ::setsockopt(m_fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
  ::setsockopt(m_fd, SOL_SOCKET, SO_REUSEPORT, &one, sizeof one);
  sockaddr_in any{};
  any.sin_family = AF_INET;
  any.sin_port = htons(1900);
  ::bind(m_fd, reinterpret_cast<sockaddr*>(&any), sizeof any);
  ip_mreq mreq{};
  ::inet_pton(AF_INET, "239.255.255.250", &mreq.imr_multiaddr);
  ::inet_pton(AF_INET, "127.0.0.1", &mreq.imr_interface);
  ::setsockopt(m_fd, IPPROTO_IP, IP_ADD_MEMBERSHIP, &mreq, sizeof mreq);
  if (::pipe2(m_wake, O_CLOEXEC) != 0) m_wake[0] = m_wake[1] = -1;
  m_thread = std::thread([this] { Run(); });
}

SsdpListener::~SsdpListener() {
  if (m_wake[1] >= 0) (void)!::write(m_wake[1], "x", 1);
  m_thread.join();
  ::close(m_fd);
  ::close(m_wake[0]);
  ::close(m_wake[1]);
}

void SsdpListener::Run() {
  char buf[65536];
  for (;;) {
    pollfd p[2] = {{m_fd, POLLIN, 0}, {m_wake[0], POLLIN, 0}};
    if (::poll(p, 2, 1000) < 0) continue;
    if (p[1].revents) return;
    if (p[0].revents & POLLIN) {
      const ssize_t n = ::recv(m_fd, buf, sizeof buf, 0);
      if (n > 0) {
        std::lock_guard<std::mutex> g(m_lock);
        m_messages.emplace_back(buf, static_cast<size_t>(n));
      }
    }
  }
}

std::vector<std::string> SsdpListener::Messages() {
  std::lock_guard<std::mutex> g(m_lock);
  return m_messages;
}

std::vector<std::string> SsdpSearch(const std::string& request, std::chrono::milliseconds wait) {
  std::vector<std::string> replies;
  const int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  SetMulticastOut(fd);
  const sockaddr_in to = GroupAddress();
  ::sendto(fd, request.data(), request.size(), 0, reinterpret_cast<const sockaddr*>(&to), sizeof to);
  const auto end = std::chrono::steady_clock::now() + wait;
  char buf[65536];
  for (;;) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(end - std::chrono::steady_clock::now());
    if (left.count() <= 0) break;
    pollfd p{fd, POLLIN, 0};
    if (::poll(&p, 1, static_cast<int>(left.count())) <= 0) break;
    const ssize_t n = ::recv(fd, buf, sizeof buf, 0);
    if (n > 0) replies.emplace_back(buf, static_cast<size_t>(n));
  }
  ::close(fd);
  return replies;
}

std::string MSearch(const std::string& st, int mx) {
  return "M-SEARCH * HTTP/1.1\r\nHOST: 239.255.255.250:1900\r\nMAN: \"ssdp:discover\"\r\nMX: " + std::to_string(mx) +
         "\r\nST: " + st + "\r\n\r\n";
}

void SsdpSend(const std::string& datagram) {
  const int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  SetMulticastOut(fd);
  const sockaddr_in to = GroupAddress();
  ::sendto(fd, datagram.data(), datagram.size(), 0, reinterpret_cast<const sockaddr*>(&to), sizeof to);
  ::close(fd);
}

std::string Header(const std::string& message, const std::string& name) {
  size_t pos = 0;
  while (pos < message.size()) {
    size_t end = message.find("\r\n", pos);
    if (end == std::string::npos) end = message.size();
    const std::string line = message.substr(pos, end - pos);
    if (line.empty()) break;
    const auto colon = line.find(':');
    if (colon != std::string::npos && colon == name.size() &&
        ::strncasecmp(line.c_str(), name.c_str(), name.size()) == 0) {
      size_t v = colon + 1;
      while (v < line.size() && line[v] == ' ') ++v;
      return line.substr(v);
    }
    pos = end + 2;
  }
  return {};
}

bool HasLine(const std::string& message, const std::string& line) {
  return message.find("\r\n" + line + "\r\n") != std::string::npos;
}

HttpReply HttpRaw(int port, const std::string& raw, std::chrono::milliseconds timeout) {
  HttpReply r;
  const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in to{};
  to.sin_family = AF_INET;
  to.sin_port = htons(static_cast<uint16_t>(port));
  ::inet_pton(AF_INET, "127.0.0.1", &to.sin_addr);
  if (::connect(fd, reinterpret_cast<sockaddr*>(&to), sizeof to) != 0) {
    ::close(fd);
    return r;
  }
  size_t done = 0;
  while (done < raw.size()) {
    const ssize_t n = ::send(fd, raw.data() + done, raw.size() - done, MSG_NOSIGNAL);
    if (n <= 0) break;
    done += static_cast<size_t>(n);
  }
  std::string all;
  char buf[16384];
  const auto end = std::chrono::steady_clock::now() + timeout;
  for (;;) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(end - std::chrono::steady_clock::now());
    if (left.count() <= 0) break;
    pollfd p{fd, POLLIN, 0};
    if (::poll(&p, 1, static_cast<int>(left.count())) <= 0) break;
    const ssize_t n = ::recv(fd, buf, sizeof buf, 0);
    if (n <= 0) break;
    all.append(buf, static_cast<size_t>(n));
  }
  ::close(fd);
  const auto split = all.find("\r\n\r\n");
  r.head = all.substr(0, split == std::string::npos ? all.size() : split + 2);
  r.body = split == std::string::npos ? std::string() : all.substr(split + 4);
  if (all.rfind("HTTP/1.", 0) == 0 && all.size() > 12) r.status = std::atoi(all.c_str() + 9);
  return r;
}

bool SplitUrl(const std::string& url, int* port, std::string* path) {
  const std::string prefix = "http://127.0.0.1:";
  if (url.rfind(prefix, 0) != 0) return false;
  const auto slash = url.find('/', prefix.size());
  if (slash == std::string::npos) return false;
  *port = std::atoi(url.c_str() + prefix.size());
  *path = url.substr(slash);
  return *port > 0;
}

HttpReply HttpGet(const std::string& url) {
  int port = 0;
  std::string path;
  if (!SplitUrl(url, &port, &path)) return {};
  return HttpRaw(port, "GET " + path + " HTTP/1.1\r\nHost: 127.0.0.1\r\nConnection: close\r\n\r\n");
}

CallbackServer::CallbackServer(const std::string& address) {
  if (address.find(':') == std::string::npos) {
    m_fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    ::inet_pton(AF_INET, address.c_str(), &a.sin_addr);
    ::bind(m_fd, reinterpret_cast<sockaddr*>(&a), sizeof a);
    socklen_t len = sizeof a;
    ::getsockname(m_fd, reinterpret_cast<sockaddr*>(&a), &len);
    m_port = ntohs(a.sin_port);
  } else {
    m_fd = ::socket(AF_INET6, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in6 a{};
    a.sin6_family = AF_INET6;
    const auto pct = address.find('%');
    ::inet_pton(AF_INET6, address.substr(0, pct).c_str(), &a.sin6_addr);
    if (pct != std::string::npos) a.sin6_scope_id = if_nametoindex(address.c_str() + pct + 1);
    ::bind(m_fd, reinterpret_cast<sockaddr*>(&a), sizeof a);
    socklen_t len = sizeof a;
    ::getsockname(m_fd, reinterpret_cast<sockaddr*>(&a), &len);
    m_port = ntohs(a.sin6_port);
  }
  ::listen(m_fd, 8);
  m_thread = std::thread([this] { Run(); });
}

CallbackServer::~CallbackServer() {
  m_stop = true;
  m_thread.join();
  ::close(m_fd);
}

void CallbackServer::Run() {
  while (!m_stop) {
    pollfd p{m_fd, POLLIN, 0};
    if (::poll(&p, 1, 100) <= 0) continue;
    const int c = ::accept4(m_fd, nullptr, nullptr, SOCK_CLOEXEC);
    if (c < 0) continue;
    std::string req;
    char buf[8192];
    // Reads the head, then as much body as Content-Length says.
    for (int rounds = 0; rounds < 200; ++rounds) {
      pollfd q{c, POLLIN, 0};
      if (::poll(&q, 1, 50) <= 0) {
        if (req.find("\r\n\r\n") != std::string::npos) break;
        continue;
      }
      const ssize_t n = ::recv(c, buf, sizeof buf, 0);
      if (n <= 0) break;
      req.append(buf, static_cast<size_t>(n));
      const auto head = req.find("\r\n\r\n");
      if (head != std::string::npos) {
        const size_t want = static_cast<size_t>(std::atoi(Header(req.substr(req.find("\r\n") + 2), "Content-Length").c_str()));
        if (req.size() >= head + 4 + want) break;
      }
    }
    const std::string ok = "HTTP/1.1 200 OK\r\nContent-Length: 0\r\nConnection: close\r\n\r\n";
    (void)!::send(c, ok.data(), ok.size(), MSG_NOSIGNAL);
    ::close(c);
    std::lock_guard<std::mutex> g(m_lock);
    m_requests.push_back(req);
  }
}

std::vector<std::string> CallbackServer::Requests() {
  std::lock_guard<std::mutex> g(m_lock);
  return m_requests;
}

bool CallbackServer::WaitForRequests(size_t n, std::chrono::milliseconds timeout) {
  const auto end = std::chrono::steady_clock::now() + timeout;
  while (std::chrono::steady_clock::now() < end) {
    if (Requests().size() >= n) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  return Requests().size() >= n;
}

}  // namespace qel::test
