// The host's record of each registration, kept in the state directory so
// that a later process can withdraw a device an earlier one left behind.
#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "qel/base.h"
#include "winerror.h"

namespace qel::upnphost {

// One live process owns a UDN on this host: another process may neither
// announce it again nor withdraw that process's device.
inline constexpr HRESULT kErrUdnAnnouncedElsewhere = QEL_HR(0x80070000L | ERROR_ALREADY_EXISTS);
inline constexpr HRESULT kErrDeviceOwnedElsewhere = QEL_HR(0x80070000L | ERROR_BUSY);

struct SsdpTarget {
  std::string nt;   // notification type (upnp:rootdevice, the UDN, a device or service type)
  std::string usn;  // unique service name
};

struct Record {
  std::string id;
  std::string udn;
  long pid = 0;
  std::uint64_t startTime = 0;  // the owner's start, in clock ticks after boot: tells a reused pid apart
  std::string boot;             // the boot the owner ran in
  std::vector<std::string> hostAddresses;  // where the device was announced ("addr" or "addr%if")
  std::vector<SsdpTarget> targets;
};

std::filesystem::path RecordPath(const std::filesystem::path& dir, const std::string& id);
// Written to a temporary file, flushed to disk and renamed into place, so a
// crash leaves either the old record or the new one.
bool WriteRecord(const std::filesystem::path& dir, const Record& r);
bool ReadRecord(const std::filesystem::path& file, Record* r);

// Makes this process the record's owner (pid, start time, boot).
void StampOwner(Record* r);
// True when the record's owner is another process that still runs.
bool OwnedByAnotherLiveProcess(const Record& r);
// Every UDN the record announces (the root device's and the embedded ones').
std::vector<std::string> UdnsOf(const Record& r);

// Serialises between processes the look at the records and what follows
// from it (the claim of a UDN, the withdrawal of an earlier device): an
// exclusive lock on a file beside the records, held for the object's life.
// Never take two at once in one process.
class RecordsLock {
 public:
  explicit RecordsLock(const std::filesystem::path& dir);
  ~RecordsLock();
  RecordsLock(const RecordsLock&) = delete;
  RecordsLock& operator=(const RecordsLock&) = delete;

 private:
  int m_fd = -1;
};

// The record of another live process that announces one of `udns` (in any
// letter case). Call it under a RecordsLock.
std::optional<Record> FindLiveOwner(const std::filesystem::path& dir, const std::vector<std::string>& udns);

// A device withdrawn cleanly keeps a mark, so that a later withdrawal of its
// id (by a run that kept the id) succeeds; only the newest marks are kept.
std::filesystem::path WithdrawnPath(const std::filesystem::path& dir, const std::string& id);
void MarkWithdrawn(const std::filesystem::path& dir, const std::string& id);
// Removes the mark; true when there was one.
bool TakeWithdrawnMark(const std::filesystem::path& dir, const std::string& id);

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
