// What the device host offers the platform beside its COM class: the codes
// it fails with, and a way for tests and the process end to withdraw every
// device this process still has registered.
#pragma once

#include "qel/base.h"
#include "winerror.h"

// Win32 socket errors, as HRESULTs of the registration.
#ifndef WSAEADDRINUSE
#define WSAEADDRINUSE 10048L
#define WSAEADDRNOTAVAIL 10049L
#endif

namespace qel::upnphost {

// The configured HTTP port is in use by another socket.
inline constexpr HRESULT kErrPortInUse = QEL_HR(0x80070000L | WSAEADDRINUSE);
// A configured interface (or address) does not exist on this machine.
inline constexpr HRESULT kErrNoSuchInterface = QEL_HR(0x80070000L | WSAEADDRNOTAVAIL);
// An id this host never handed out (or one already withdrawn).
inline constexpr HRESULT kErrUnknownDevice = QEL_HR(0x80070000L | ERROR_NOT_FOUND);

// Withdraws every device of this process (ssdp:byebye for each) and stops
// the host's network thread. Runs at a normal end of the process and when
// SIGINT/SIGTERM ends it; idempotent.
void WithdrawAllDevices();

// Number of devices this process hosts right now.
int LiveDeviceCount();

// Tests: moves the process into a network namespace of its own with lo up,
// multicast on and 239.0.0.0/8 routed to it (needs root). Call it before the
// process starts any thread (a static initializer will do); later calls
// answer what the first one achieved.
bool EnterPrivateNetworkForTests();

}  // namespace qel::upnphost
