// Plain SSDP datagrams over IPv4 and IPv6: the host's announcements, its
// answers to searches, and the withdrawal of devices an earlier process left.
#include <arpa/inet.h>
#include <net/if.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>

#include "records.h"

namespace qel::upnphost {

namespace {

// Multicast on one link and a router or two beyond it, as UDA asks.
constexpr int kMulticastHops = 4;

struct Endpoint {
  int family = AF_UNSPEC;
  in_addr v4{};
  in6_addr v6{};
  unsigned ifIndex = 0;
  bool linkLocal = false;
};

// "192.168.1.10", "192.168.1.10%eth0", "fe80::1%eth0", "fe80::1%3".
bool ParseEndpoint(const std::string& text, Endpoint* e) {
  const auto pct = text.find('%');
  const std::string addr = text.substr(0, pct);
  if (pct != std::string::npos) {
    const std::string scope = text.substr(pct + 1);
    e->ifIndex = ::if_nametoindex(scope.c_str());
    if (e->ifIndex == 0) {
      char* end = nullptr;
      const unsigned long v = std::strtoul(scope.c_str(), &end, 10);
      if (end && *end == '\0' && !scope.empty()) e->ifIndex = static_cast<unsigned>(v);
    }
  }
  if (::inet_pton(AF_INET, addr.c_str(), &e->v4) == 1) {
    e->family = AF_INET;
    return true;
  }
  if (::inet_pton(AF_INET6, addr.c_str(), &e->v6) == 1) {
    e->family = AF_INET6;
    e->linkLocal = IN6_IS_ADDR_LINKLOCAL(&e->v6) || IN6_IS_ADDR_LOOPBACK(&e->v6);
    return true;
  }
  return false;
}

class Socket {
 public:
  explicit Socket(int family) : m_fd(::socket(family, SOCK_DGRAM | SOCK_CLOEXEC, 0)) {}
  ~Socket() {
    if (m_fd >= 0) ::close(m_fd);
  }
  Socket(const Socket&) = delete;
  Socket& operator=(const Socket&) = delete;
  int fd() const { return m_fd; }

 private:
  int m_fd;
};

// A socket that sends from `from` (when the address still exists; otherwise
// the system picks another address of the same interface, so a byebye still
// leaves after the address itself went away).
bool BindSource(const Socket& s, const Endpoint& from) {
  if (from.family == AF_INET) {
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr = from.v4;
    return ::bind(s.fd(), reinterpret_cast<const sockaddr*>(&a), sizeof a) == 0;
  }
  sockaddr_in6 a{};
  a.sin6_family = AF_INET6;
  a.sin6_addr = from.v6;
  a.sin6_scope_id = from.linkLocal ? from.ifIndex : 0;
  return ::bind(s.fd(), reinterpret_cast<const sockaddr*>(&a), sizeof a) == 0;
}

bool SendAll(const Socket& s, const sockaddr* to, socklen_t toLen, const std::vector<std::string>& datagrams) {
  bool ok = true;
  for (const auto& d : datagrams) {
    ssize_t n;
    do {
      n = ::sendto(s.fd(), d.data(), d.size(), 0, to, toLen);
    } while (n < 0 && errno == EINTR);
    if (n != static_cast<ssize_t>(d.size())) ok = false;
  }
  return ok;
}

}  // namespace

std::string SsdpGroupHost(const std::string& hostAddress) {
  Endpoint e;
  if (!ParseEndpoint(hostAddress, &e) || e.family == AF_INET) return "239.255.255.250:1900";
  return e.linkLocal ? "[FF02::C]:1900" : "[FF05::C]:1900";
}

std::string ByebyeDatagram(const SsdpTarget& t, const std::string& groupHost) {
  return "NOTIFY * HTTP/1.1\r\nHOST: " + groupHost + "\r\nNT: " + t.nt + "\r\nNTS: ssdp:byebye\r\nUSN: " + t.usn +
         "\r\n\r\n";
}

std::vector<std::string> ByebyeSet(const std::vector<SsdpTarget>& targets, const std::string& hostAddress) {
  const std::string host = SsdpGroupHost(hostAddress);
  std::vector<std::string> out;
  out.reserve(targets.size());
  for (const auto& t : targets) out.push_back(ByebyeDatagram(t, host));
  return out;
}

bool SendSsdpMulticast(const std::string& hostAddress, const std::vector<std::string>& datagrams) {
  Endpoint from;
  if (!ParseEndpoint(hostAddress, &from)) return false;
  Socket s(from.family);
  if (s.fd() < 0) return false;
  const bool bound = BindSource(s, from);
  if (from.family == AF_INET) {
    const unsigned char ttl = kMulticastHops, loop = 1;
    ::setsockopt(s.fd(), IPPROTO_IP, IP_MULTICAST_TTL, &ttl, sizeof ttl);
    ::setsockopt(s.fd(), IPPROTO_IP, IP_MULTICAST_LOOP, &loop, sizeof loop);
    ip_mreqn req{};
    if (bound) req.imr_address = from.v4;
    req.imr_ifindex = static_cast<int>(from.ifIndex);
    if (!bound && from.ifIndex == 0) return false;
    ::setsockopt(s.fd(), IPPROTO_IP, IP_MULTICAST_IF, &req, sizeof req);
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = htons(1900);
    ::inet_pton(AF_INET, "239.255.255.250", &to.sin_addr);
    return SendAll(s, reinterpret_cast<const sockaddr*>(&to), sizeof to, datagrams);
  }
  if (from.ifIndex == 0) return false;  // an IPv6 group needs its interface
  const int hops = kMulticastHops, loop = 1;
  const int ifIndex = static_cast<int>(from.ifIndex);
  ::setsockopt(s.fd(), IPPROTO_IPV6, IPV6_MULTICAST_HOPS, &hops, sizeof hops);
  ::setsockopt(s.fd(), IPPROTO_IPV6, IPV6_MULTICAST_LOOP, &loop, sizeof loop);
  ::setsockopt(s.fd(), IPPROTO_IPV6, IPV6_MULTICAST_IF, &ifIndex, sizeof ifIndex);
  sockaddr_in6 to{};
  to.sin6_family = AF_INET6;
  to.sin6_port = htons(1900);
  to.sin6_scope_id = from.ifIndex;
  ::inet_pton(AF_INET6, from.linkLocal ? "ff02::c" : "ff05::c", &to.sin6_addr);
  return SendAll(s, reinterpret_cast<const sockaddr*>(&to), sizeof to, datagrams);
}

bool SendSsdpUnicast(const std::string& hostAddress, const std::string& toAddress, unsigned toPort,
                     const std::vector<std::string>& datagrams) {
  Endpoint from, dest;
  if (!ParseEndpoint(hostAddress, &from) || !ParseEndpoint(toAddress, &dest) || from.family != dest.family)
    return false;
  Socket s(from.family);
  if (s.fd() < 0) return false;
  if (!BindSource(s, from)) return false;
  if (from.family == AF_INET) {
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = htons(static_cast<uint16_t>(toPort));
    to.sin_addr = dest.v4;
    return SendAll(s, reinterpret_cast<const sockaddr*>(&to), sizeof to, datagrams);
  }
  sockaddr_in6 to{};
  to.sin6_family = AF_INET6;
  to.sin6_port = htons(static_cast<uint16_t>(toPort));
  to.sin6_addr = dest.v6;
  // A link-local sender is reached through the interface its search came in on.
  to.sin6_scope_id = IN6_IS_ADDR_LINKLOCAL(&dest.v6) ? (dest.ifIndex ? dest.ifIndex : from.ifIndex) : 0;
  return SendAll(s, reinterpret_cast<const sockaddr*>(&to), sizeof to, datagrams);
}

}  // namespace qel::upnphost
