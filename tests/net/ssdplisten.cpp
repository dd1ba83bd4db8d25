// Test helper: prints "<NTS> <USN>" for every SSDP NOTIFY seen on loopback
// for SECONDS seconds (or until killed), one line each, as it arrives; or,
// with "search ST", sends one M-SEARCH and prints "<ST> <USN>" per answer
// (gssdp-discover cannot take a search target outside ASCII).
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <strings.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>

static std::string Header(const std::string& m, const char* name) {
  size_t pos = 0;
  const size_t n = std::char_traits<char>::length(name);
  while (pos < m.size()) {
    size_t end = m.find("\r\n", pos);
    if (end == std::string::npos) end = m.size();
    if (end - pos > n && m[pos + n] == ':' && strncasecmp(m.c_str() + pos, name, n) == 0) {
      size_t v = pos + n + 1;
      while (v < end && m[v] == ' ') ++v;
      return m.substr(v, end - v);
    }
    pos = end + 2;
  }
  return {};
}

static int Search(const char* st) {
  const int fd = socket(AF_INET, SOCK_DGRAM, 0);
  in_addr lo{};
  inet_pton(AF_INET, "127.0.0.1", &lo);
  setsockopt(fd, IPPROTO_IP, IP_MULTICAST_IF, &lo, sizeof lo);
  sockaddr_in to{};
  to.sin_family = AF_INET;
  to.sin_port = htons(1900);
  inet_pton(AF_INET, "239.255.255.250", &to.sin_addr);
  const std::string req = std::string("M-SEARCH * HTTP/1.1\r\nHOST: 239.255.255.250:1900\r\nMAN: \"ssdp:discover\"\r\n"
                                      "MX: 1\r\nST: ") + st + "\r\n\r\n";
  sendto(fd, req.data(), req.size(), 0, reinterpret_cast<sockaddr*>(&to), sizeof to);
  const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(2000);
  char buf[65536];
  while (std::chrono::steady_clock::now() < end) {
    pollfd p{fd, POLLIN, 0};
    if (poll(&p, 1, 100) <= 0) continue;
    const ssize_t n = recv(fd, buf, sizeof buf, 0);
    if (n <= 0) continue;
    const std::string m(buf, static_cast<size_t>(n));
    std::printf("%s %s\n", Header(m, "ST").c_str(), Header(m, "USN").c_str());
    std::fflush(stdout);
  }
  return 0;
}

int main(int argc, char** argv) {
  if (argc > 2 && std::string(argv[1]) == "search") return Search(argv[2]);
  const int seconds = argc > 1 ? std::atoi(argv[1]) : 10;
  const int fd = socket(AF_INET, SOCK_DGRAM, 0);
  const int one = 1;
  setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
  setsockopt(fd, SOL_SOCKET, SO_REUSEPORT, &one, sizeof one);
  sockaddr_in any{};
  any.sin_family = AF_INET;
  any.sin_port = htons(1900);
  if (bind(fd, reinterpret_cast<sockaddr*>(&any), sizeof any) != 0) return 1;
  ip_mreq mreq{};
  inet_pton(AF_INET, "239.255.255.250", &mreq.imr_multiaddr);
  inet_pton(AF_INET, "127.0.0.1", &mreq.imr_interface);
  if (setsockopt(fd, IPPROTO_IP, IP_ADD_MEMBERSHIP, &mreq, sizeof mreq) != 0) return 1;
  std::printf("listening\n");
  std::fflush(stdout);
  const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
  char buf[65536];
  while (std::chrono::steady_clock::now() < end) {
    pollfd p{fd, POLLIN, 0};
    if (poll(&p, 1, 100) <= 0) continue;
    const ssize_t n = recv(fd, buf, sizeof buf, 0);
    if (n <= 0) continue;
    const std::string m(buf, static_cast<size_t>(n));
    if (m.rfind("NOTIFY ", 0) != 0) continue;
    std::printf("%s %s\n", Header(m, "NTS").c_str(), Header(m, "USN").c_str());
    std::fflush(stdout);
  }
  return 0;
}
