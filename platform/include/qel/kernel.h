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

// Sets up the process heap for a program that loads and builds large
// documents (see heap.cpp); done by the process entry before anything else.
void ConfigureProcessHeap();

// Shutdown hooks run once, in reverse order of registration: when SIGINT or
// SIGTERM ends the process and when main() returns normally.
void AddShutdownHook(void (*hook)());
void RunShutdownHooks();

// SIGINT and SIGTERM. Their handler only wakes a watcher thread. By default
// the watcher runs the shutdown hooks and ends the process with 128 + the
// signal; a further signal while the hooks run ends it at once. The process
// entry installs the watcher.
void InstallSignalWatcher();
// While a service dispatcher runs it takes the signals instead (as the
// shutdown control of its service): `sink` is called on the watcher thread
// and must only wake the dispatcher.
using SignalSink = void (*)(int signal);
// In a process the service control manager started, signals that arrive
// before a dispatcher takes them are held for it.
void HoldSignalsForDispatcher();
// Routes the signals to `sink`; a signal held so far reaches it at once.
void SetSignalSink(SignalSink sink);
// Back to the default: a signal held and never taken ends the process now.
void ReleaseSignals();
// What the default does: the shutdown hooks, then the end with 128 + signal.
[[noreturn]] void EndOnSignal(int signal);

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
