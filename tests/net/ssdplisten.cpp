// Test helper, a small control point for the network tests and benchmarks.
//   qel_ssdp_listen [-i IF] [-6] [-t] SECONDS   (-t: lines start with the time)
//       prints every SSDP NOTIFY as it arrives, one line each: "<NTS> <USN>" on
//       loopback; with -i (the group joined on interface IF, IPv4 or with -6
//       IPv6 FF02::C) "<NTS> <LOCATION> <USN>".
//   qel_ssdp_listen [-i IF] [-6] [-x MX] [-u ADDRESS] [-w MS] search ST
//       sends one M-SEARCH (to the group, or with -u to ADDRESS:1900 as a
//       unicast search without MX) and prints "<ST> <USN>" per answer, or with
//       -i "<ST> <LOCATION> <USN>", for MS milliseconds (default 2000).
//   qel_ssdp_listen http-sink PORT SECONDS
//       an HTTP server on every address (IPv4 and IPv6) that answers 200 and
//       prints "<method> <NT or -> <SID or -> <SEQ or ->" per request.
//   qel_ssdp_listen -i IF [-b SOURCE] [-s ST] [-x MX] flood RATE SECONDS SENDERS
//       sends RATE searches a second in all from SENDERS sockets (bound to
//       SOURCE when given) for SECONDS, keeps listening MX + 1 s more, and
//       prints "sent=N answers=N bytes_sent=N bytes_answered=N".
// gssdp-discover cannot take a search target outside ASCII, nor IPv6 here.
#include <arpa/inet.h>
#include <net/if.h>
#include <netinet/in.h>
#include <poll.h>
#include <strings.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <ctime>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <algorithm>
#include <string>
#include <vector>

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

struct Options {
  std::string iface;
  bool v6 = false;
  int mx = 1;
  std::string unicastTo;
  int waitMs = 2000;
  std::string source;
  std::string st = "upnp:rootdevice";
  bool stamp = false;  // -t: each line starts with the wall-clock time, "seconds.micros"
};

static unsigned IfIndex(const Options& o) { return o.iface.empty() ? 0 : if_nametoindex(o.iface.c_str()); }

static void PrintLine(const Options& o, const std::string& first, const std::string& m) {
  if (o.stamp) {
    timespec ts{};
    clock_gettime(CLOCK_REALTIME, &ts);
    std::printf("%ld.%06ld ", static_cast<long>(ts.tv_sec), ts.tv_nsec / 1000);
  }
  if (o.iface.empty())
    std::printf("%s %s\n", first.c_str(), Header(m, "USN").c_str());
  else
    std::printf("%s %s %s\n", first.c_str(), Header(m, "LOCATION").c_str(), Header(m, "USN").c_str());
  std::fflush(stdout);
}

static void Receive(int fd, const Options& o, std::chrono::steady_clock::time_point end, bool notifies) {
  char buf[65536];
  while (std::chrono::steady_clock::now() < end) {
    pollfd p{fd, POLLIN, 0};
    if (poll(&p, 1, 50) <= 0) continue;
    const ssize_t n = recv(fd, buf, sizeof buf, 0);
    if (n <= 0) continue;
    const std::string m(buf, static_cast<size_t>(n));
    if (notifies) {
      if (m.rfind("NOTIFY ", 0) == 0) PrintLine(o, Header(m, "NTS"), m);
    } else if (m.rfind("HTTP/1.1 200", 0) == 0) {
      PrintLine(o, Header(m, "ST"), m);
    }
  }
}

static int Search(const Options& o, const char* st) {
  const int fd = socket(o.v6 ? AF_INET6 : AF_INET, SOCK_DGRAM, 0);
  std::string req = "M-SEARCH * HTTP/1.1\r\nHOST: ";
  sockaddr_storage to{};
  socklen_t toLen = 0;
  if (o.v6) {
    auto* a = reinterpret_cast<sockaddr_in6*>(&to);
    a->sin6_family = AF_INET6;
    a->sin6_port = htons(1900);
    a->sin6_scope_id = IfIndex(o);
    inet_pton(AF_INET6, o.unicastTo.empty() ? "ff02::c" : o.unicastTo.c_str(), &a->sin6_addr);
    const int idx = static_cast<int>(IfIndex(o));
    setsockopt(fd, IPPROTO_IPV6, IPV6_MULTICAST_IF, &idx, sizeof idx);
    toLen = sizeof *a;
    req += o.unicastTo.empty() ? "[FF02::C]:1900" : "[" + o.unicastTo + "]:1900";
  } else {
    auto* a = reinterpret_cast<sockaddr_in*>(&to);
    a->sin_family = AF_INET;
    a->sin_port = htons(1900);
    inet_pton(AF_INET, o.unicastTo.empty() ? "239.255.255.250" : o.unicastTo.c_str(), &a->sin_addr);
    ip_mreqn req4{};
    if (o.iface.empty())
      inet_pton(AF_INET, "127.0.0.1", &req4.imr_address);
    else
      req4.imr_ifindex = static_cast<int>(IfIndex(o));
    setsockopt(fd, IPPROTO_IP, IP_MULTICAST_IF, &req4, sizeof req4);
    toLen = sizeof *a;
    req += o.unicastTo.empty() ? "239.255.255.250:1900" : o.unicastTo + ":1900";
  }
  req += "\r\nMAN: \"ssdp:discover\"\r\n";
  if (o.unicastTo.empty()) req += "MX: " + std::to_string(o.mx) + "\r\n";
  req += std::string("ST: ") + st + "\r\n\r\n";
  if (sendto(fd, req.data(), req.size(), 0, reinterpret_cast<sockaddr*>(&to), toLen) < 0) {
    std::perror("sendto");
    return 1;
  }
  Receive(fd, o, std::chrono::steady_clock::now() + std::chrono::milliseconds(o.waitMs), false);
  return 0;
}

static int Listen(const Options& o, int seconds) {
  const int fd = socket(o.v6 ? AF_INET6 : AF_INET, SOCK_DGRAM, 0);
  const int one = 1, big = 8 << 20;
  setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
  setsockopt(fd, SOL_SOCKET, SO_REUSEPORT, &one, sizeof one);
  // A burst of thousands of announcements must not overflow the queue (root only).
  setsockopt(fd, SOL_SOCKET, SO_RCVBUFFORCE, &big, sizeof big);
  if (o.v6) {
    sockaddr_in6 any{};
    any.sin6_family = AF_INET6;
    any.sin6_port = htons(1900);
    setsockopt(fd, IPPROTO_IPV6, IPV6_V6ONLY, &one, sizeof one);
    if (bind(fd, reinterpret_cast<sockaddr*>(&any), sizeof any) != 0) return 1;
    ipv6_mreq mreq{};
    inet_pton(AF_INET6, "ff02::c", &mreq.ipv6mr_multiaddr);
    mreq.ipv6mr_interface = IfIndex(o);
    if (setsockopt(fd, IPPROTO_IPV6, IPV6_JOIN_GROUP, &mreq, sizeof mreq) != 0) return 1;
  } else {
    sockaddr_in any{};
    any.sin_family = AF_INET;
    any.sin_port = htons(1900);
    if (bind(fd, reinterpret_cast<sockaddr*>(&any), sizeof any) != 0) return 1;
    ip_mreqn mreq{};
    inet_pton(AF_INET, "239.255.255.250", &mreq.imr_multiaddr);
    if (o.iface.empty())
      inet_pton(AF_INET, "127.0.0.1", &mreq.imr_address);
    else
      mreq.imr_ifindex = static_cast<int>(IfIndex(o));
    if (setsockopt(fd, IPPROTO_IP, IP_ADD_MEMBERSHIP, &mreq, sizeof mreq) != 0) return 1;
  }
  std::printf("listening\n");
  std::fflush(stdout);
  Receive(fd, o, std::chrono::steady_clock::now() + std::chrono::seconds(seconds), true);
  return 0;
}

static int HttpSink(int port, int seconds) {
  const int fd = socket(AF_INET6, SOCK_STREAM, 0);
  const int one = 1, zero = 0;
  setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
  setsockopt(fd, IPPROTO_IPV6, IPV6_V6ONLY, &zero, sizeof zero);
  sockaddr_in6 any{};
  any.sin6_family = AF_INET6;
  any.sin6_port = htons(static_cast<uint16_t>(port));
  if (bind(fd, reinterpret_cast<sockaddr*>(&any), sizeof any) != 0 || listen(fd, 16) != 0) return 1;
  std::printf("listening\n");
  std::fflush(stdout);
  const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
  while (std::chrono::steady_clock::now() < end) {
    pollfd p{fd, POLLIN, 0};
    if (poll(&p, 1, 100) <= 0) continue;
    const int c = accept(fd, nullptr, nullptr);
    if (c < 0) continue;
    std::string req;
    char buf[4096];
    // Headers, then the body its Content-Length announces.
    for (int rounds = 0; rounds < 200; ++rounds) {
      pollfd q{c, POLLIN, 0};
      if (poll(&q, 1, 50) <= 0) break;
      const ssize_t n = recv(c, buf, sizeof buf, 0);
      if (n <= 0) break;
      req.append(buf, static_cast<size_t>(n));
      const size_t head = req.find("\r\n\r\n");
      if (head != std::string::npos &&
          req.size() >= head + 4 + std::strtoul(Header(req, "Content-Length").c_str(), nullptr, 10))
        break;
    }
    static const char kOk[] = "HTTP/1.1 200 OK\r\nContent-Length: 0\r\nConnection: close\r\n\r\n";
    send(c, kOk, sizeof kOk - 1, MSG_NOSIGNAL);
    close(c);
    auto orDash = [](const std::string& s) { return s.empty() ? std::string("-") : s; };
    std::printf("%s %s %s %s\n", req.substr(0, req.find(' ')).c_str(), orDash(Header(req, "NT")).c_str(),
                orDash(Header(req, "SID")).c_str(), orDash(Header(req, "SEQ")).c_str());
    std::fflush(stdout);
  }
  return 0;
}

static int Flood(const Options& o, int rate, int seconds, int senders) {
  std::vector<int> fds;
  ip_mreqn req4{};
  req4.imr_ifindex = static_cast<int>(IfIndex(o));
  for (int i = 0; i < senders; ++i) {
    const int fd = socket(AF_INET, SOCK_DGRAM | SOCK_NONBLOCK, 0);
    const int big = 8 << 20;
    setsockopt(fd, SOL_SOCKET, SO_RCVBUFFORCE, &big, sizeof big);
    if (!o.source.empty()) {
      sockaddr_in a{};
      a.sin_family = AF_INET;
      inet_pton(AF_INET, o.source.c_str(), &a.sin_addr);
      if (bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) return std::perror("bind"), 1;
    }
    setsockopt(fd, IPPROTO_IP, IP_MULTICAST_IF, &req4, sizeof req4);
    fds.push_back(fd);
  }
  sockaddr_in to{};
  to.sin_family = AF_INET;
  to.sin_port = htons(1900);
  inet_pton(AF_INET, o.unicastTo.empty() ? "239.255.255.250" : o.unicastTo.c_str(), &to.sin_addr);
  const std::string req = "M-SEARCH * HTTP/1.1\r\nHOST: 239.255.255.250:1900\r\nMAN: \"ssdp:discover\"\r\nMX: " +
                          std::to_string(o.mx) + "\r\nST: " + o.st + "\r\n\r\n";
  long sent = 0, answers = 0, bytesSent = 0, bytesIn = 0;
  char buf[65536];
  const auto start = std::chrono::steady_clock::now();
  const auto stopSending = start + std::chrono::seconds(seconds);
  const auto end = stopSending + std::chrono::seconds(o.mx + 1);
  const long total = static_cast<long>(rate) * seconds;
  while (std::chrono::steady_clock::now() < end) {
    const auto now = std::chrono::steady_clock::now();
    if (now < stopSending) {
      // Searches due by now, at an even pace.
      const double elapsed = std::chrono::duration<double>(now - start).count();
      const long due = std::min(total, static_cast<long>(elapsed * rate) + 1);
      while (sent < due) {
        const int fd = fds[static_cast<size_t>(sent) % fds.size()];
        if (sendto(fd, req.data(), req.size(), 0, reinterpret_cast<sockaddr*>(&to), sizeof to) < 0) break;
        bytesSent += static_cast<long>(req.size());
        ++sent;
      }
    }
    std::vector<pollfd> ps;
    for (int fd : fds) ps.push_back({fd, POLLIN, 0});
    if (poll(ps.data(), ps.size(), 1) <= 0) continue;
    for (const auto& p : ps) {
      if (!(p.revents & POLLIN)) continue;
      for (;;) {
        const ssize_t n = recv(p.fd, buf, sizeof buf, 0);
        if (n <= 0) break;
        ++answers;
        bytesIn += n;
      }
    }
  }
  std::printf("sent=%ld answers=%ld bytes_sent=%ld bytes_answered=%ld\n", sent, answers, bytesSent, bytesIn);
  return 0;
}

int main(int argc, char** argv) {
  Options o;
  int i = 1;
  if (argc > 3 && std::string(argv[1]) == "http-sink") return HttpSink(std::atoi(argv[2]), std::atoi(argv[3]));
  for (; i < argc && argv[i][0] == '-'; ++i) {
    const std::string a = argv[i];
    if (a == "-6") {
      o.v6 = true;
    } else if (a == "-t") {
      o.stamp = true;
    } else if (i + 1 < argc && a == "-i") {
      o.iface = argv[++i];
    } else if (i + 1 < argc && a == "-x") {
      o.mx = std::atoi(argv[++i]);
    } else if (i + 1 < argc && a == "-u") {
      o.unicastTo = argv[++i];
    } else if (i + 1 < argc && a == "-b") {
      o.source = argv[++i];
    } else if (i + 1 < argc && a == "-s") {
      o.st = argv[++i];
    } else if (i + 1 < argc && a == "-w") {
      o.waitMs = std::atoi(argv[++i]);
    } else {
      std::fprintf(stderr, "unknown option %s\n", a.c_str());
      return 2;
    }
  }
  if (o.v6 && o.iface.empty()) {
    std::fprintf(stderr, "-6 needs -i IF\n");
    return 2;
  }
  if (i + 1 < argc && std::string(argv[i]) == "search") return Search(o, argv[i + 1]);
  if (i + 3 < argc && std::string(argv[i]) == "flood")
    return Flood(o, std::atoi(argv[i + 1]), std::atoi(argv[i + 2]), std::max(1, std::atoi(argv[i + 3])));
  return Listen(o, i < argc ? std::atoi(argv[i]) : 10);
}
