// Shared pieces of the device host's implementation.
#pragma once

#include <cstdarg>
#include <cstdint>
#include <filesystem>
#include <string>
#include <string_view>
#include <vector>

#include "qel/base.h"
#include "qel/upnphost_api.h"
#include "winerror.h"

namespace qel::upnphost {

// One line on standard error, prefixed "upnphost: ". The host's diagnostics
// (a taken port, a missing interface, a made-up UDN) go here.
void LogLine(const char* format, ...) __attribute__((format(printf, 1, 2)));

// Host settings: HKLM\SYSTEM\CurrentControlSet\Services\upnphost\Parameters.
struct Settings {
  // Interface names or addresses ("192.168.1.10", "fe80::1%eth0") to serve
  // on ("Interfaces", REG_SZ, separated by blanks, commas or semicolons).
  // Empty: every interface that is up, not loopback and multicast-capable.
  std::vector<std::string> interfaces;
  // "HttpPort" (REG_DWORD); 0 lets the system choose.
  unsigned httpPort = 0;
  // "AnnouncementInterval" (REG_DWORD, seconds); 0 derives it from each
  // device's lifetime. Never more than a third of the lifetime.
  unsigned announceSeconds = 0;
};
Settings ReadSettings();

// The directory of the host's records and served descriptions: StateDir()/upnphost.
std::filesystem::path HostDir();

// True when `udn` is "uuid:" followed by a canonical 8-4-4-4-12 hex uuid.
bool IsValidUuidUdn(std::string_view udn);
std::string NewUuid();  // "xxxxxxxx-xxxx-xxxx-xxxx-xxxxxxxxxxxx", random (v4)

// Device ids handed out by the registrar: "{XXXXXXXX-XXXX-XXXX-XXXX-XXXXXXXXXXXX}".
std::string NewDeviceId();
bool IsWellFormedDeviceId(std::string_view id);

}  // namespace qel::upnphost
