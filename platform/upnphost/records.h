// The host's record of each registration, kept in the state directory so
// that a later process can withdraw a device an earlier one left behind.
#pragma once

#include <filesystem>
#include <string>
#include <utility>
#include <vector>

namespace qel::upnphost {

struct SsdpTarget {
  std::string nt;   // notification type (upnp:rootdevice, the UDN, a device or service type)
  std::string usn;  // unique service name
};

struct Record {
  std::string id;
  std::string udn;
  long pid = 0;
  std::vector<std::string> hostAddresses;  // where the device was announced ("addr" or "addr%if")
  std::vector<SsdpTarget> targets;
};

std::filesystem::path RecordPath(const std::filesystem::path& dir, const std::string& id);
// Written to a temporary file, flushed to disk and renamed into place, so a
// crash leaves either the old record or the new one.
bool WriteRecord(const std::filesystem::path& dir, const Record& r);
bool ReadRecord(const std::filesystem::path& file, Record* r);

// Host addresses below are "address" or "address%interface" ("fe80::1%eth0"):
// IPv6 needs the interface, and with it an IPv4 datagram still leaves when
// the address itself has gone.

// The SSDP group of an address as a HOST header value: "239.255.255.250:1900",
// "[FF02::C]:1900" (link-local) or "[FF05::C]:1900" (site or global).
std::string SsdpGroupHost(const std::string& hostAddress);
std::string ByebyeDatagram(const SsdpTarget& t, const std::string& groupHost);
std::vector<std::string> ByebyeSet(const std::vector<SsdpTarget>& targets, const std::string& hostAddress);
// Sends each datagram to the SSDP group of `hostAddress` out of its
// interface. False when the socket cannot be made or a send fails.
bool SendSsdpMulticast(const std::string& hostAddress, const std::vector<std::string>& datagrams);
// Sends the datagrams from `hostAddress` to `toAddress`:`toPort`.
bool SendSsdpUnicast(const std::string& hostAddress, const std::string& toAddress, unsigned toPort,
                     const std::vector<std::string>& datagrams);

}  // namespace qel::upnphost
