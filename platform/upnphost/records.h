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
  std::vector<std::string> hostAddresses;  // IPv4 addresses the device was announced on
  std::vector<SsdpTarget> targets;
};

std::filesystem::path RecordPath(const std::filesystem::path& dir, const std::string& id);
// Written to a temporary file, flushed to disk and renamed into place, so a
// crash leaves either the old record or the new one.
bool WriteRecord(const std::filesystem::path& dir, const Record& r);
bool ReadRecord(const std::filesystem::path& file, Record* r);

// Sends each datagram to 239.255.255.250:1900 out of the interface that
// holds `hostAddress`. False when the socket cannot be made or a send fails.
bool SendSsdpMulticast(const std::string& hostAddress, const std::vector<std::string>& datagrams);
std::string ByebyeDatagram(const SsdpTarget& t);
// Sends one datagram from `hostAddress` to `toAddress`:`toPort`.
bool SendSsdpUnicast(const std::string& hostAddress, const std::string& toAddress, unsigned toPort,
                     const std::string& datagram);

}  // namespace qel::upnphost
