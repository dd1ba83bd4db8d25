// What the platform adds to the kernel services for its own use: process
// entry support, shutdown hooks, the exit-code rule and test sinks. The Win32
// functions themselves are declared in winbase.h.
#pragma once

#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "winbase.h"

namespace qel {

// Records the process's arguments for GetCommandLineW (done by the process
// entry; processes without it read /proc/self/cmdline).
void SetCommandLineArgs(int argc, const char* const* argv);

// Shutdown hooks run once, in reverse order of registration: when SIGINT or
// SIGTERM ends the process and when main() returns normally.
void AddShutdownHook(void (*hook)());
void RunShutdownHooks();

// The exit-code rule: 0..255 is the exit status; any other code exits 255
// and is written in hex on standard error ("<program>: exit code 0x80070002").
int ExitStatusForCode(DWORD code, const char* program);

// Captures every ReportEventW in-process (tests); an empty function removes it.
struct EventLogRecord {
  std::u16string source;
  WORD wType = 0;
  WORD wCategory = 0;
  DWORD dwEventID = 0;
  std::vector<std::u16string> strings;
};
void SetEventLogSinkForTests(std::function<void(const EventLogRecord&)> sink);

// Captures every OutputDebugStringW in-process (tests); an empty function removes it.
void SetDebugOutputSinkForTests(std::function<void(std::u16string_view)> sink);

// The name of the debug-output socket inside the state directory.
inline constexpr const char* kDebugSocketName = "debug.sock";

}  // namespace qel
