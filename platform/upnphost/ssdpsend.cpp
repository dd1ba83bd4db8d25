// Plain SSDP datagrams, for devices this process no longer has objects for
// (a record left by an earlier process).
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include "records.h"

namespace qel::upnphost {

std::string ByebyeDatagram(const SsdpTarget& t) {
  return "NOTIFY * HTTP/1.1\r\nHOST: 239.255.255.250:1900\r\nNT: " + t.nt + "\r\nNTS: ssdp:byebye\r\nUSN: " + t.usn +
         "\r\n\r\n";
}

bool SendSsdpMulticast(const std::string& hostAddress, const std::vector<std::string>& datagrams) {
  in_addr local{};
  if (::inet_pton(AF_INET, hostAddress.c_str(), &local) != 1) return false;
  const int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return false;
  const unsigned char ttl = 4, loop = 1;
  ::setsockopt(fd, IPPROTO_IP, IP_MULTICAST_TTL, &ttl, sizeof ttl);
  ::setsockopt(fd, IPPROTO_IP, IP_MULTICAST_LOOP, &loop, sizeof loop);
  ::setsockopt(fd, IPPROTO_IP, IP_MULTICAST_IF, &local, sizeof local);
  sockaddr_in to{};
  to.sin_family = AF_INET;
  to.sin_port = htons(1900);
  ::inet_pton(AF_INET, "239.255.255.250", &to.sin_addr);
  bool ok = true;
  for (const auto& d : datagrams) {
    if (::sendto(fd, d.data(), d.size(), 0, reinterpret_cast<const sockaddr*>(&to), sizeof to) !=
        static_cast<ssize_t>(d.size()))
      ok = false;
  }
  ::close(fd);
  return ok;
}

bool SendSsdpUnicast(const std::string& hostAddress, const std::string& toAddress, unsigned toPort,
                     const std::string& datagram) {
  sockaddr_in from{}, to{};
  from.sin_family = to.sin_family = AF_INET;
  to.sin_port = htons(static_cast<uint16_t>(toPort));
  if (::inet_pton(AF_INET, hostAddress.c_str(), &from.sin_addr) != 1 ||
      ::inet_pton(AF_INET, toAddress.c_str(), &to.sin_addr) != 1)
    return false;
  const int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return false;
  const bool ok = ::bind(fd, reinterpret_cast<const sockaddr*>(&from), sizeof from) == 0 &&
                  ::sendto(fd, datagram.data(), datagram.size(), 0, reinterpret_cast<const sockaddr*>(&to), sizeof to) ==
                      static_cast<ssize_t>(datagram.size());
  ::close(fd);
  return ok;
}

}  // namespace qel::upnphost
