// The process entry of the program executables: records argv for
// GetCommandLineW, calls the program's wWinMain and applies the exit-code
// rule. SIGINT and SIGTERM only wake a watcher thread: it runs the shutdown
// hooks and ends the process with 130 or 143, or, in a service process, hands
// them to the service dispatcher.
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>

#include "qel/kernel.h"

namespace {

// The part of the command line after the program name, as Windows hands it to WinMain.
LPWSTR ArgumentsPart(LPWSTR cmd) {
  if (!cmd) return cmd;
  WCHAR* p = cmd;
  if (*p == u'"') {
    ++p;
    while (*p && *p != u'"') ++p;
    if (*p) ++p;
  } else {
    while (*p && *p != u' ' && *p != u'\t') ++p;
  }
  while (*p == u' ' || *p == u'\t') ++p;
  return p;
}

}  // namespace

int main(int argc, char** argv) {
  qel::ConfigureProcessHeap();
  qel::SetCommandLineArgs(argc, argv);
  // Started by the service control manager (its dispatcher reads and clears
  // this marker): a signal before the dispatcher runs is held for it.
  if (std::getenv("QELUPNP_SCM_SERVICE")) qel::HoldSignalsForDispatcher();
  qel::InstallSignalWatcher();
  std::string program = argc > 0 && argv[0] ? std::filesystem::path(argv[0]).filename().string() : "qelupnp";
  int code = wWinMain(GetModuleHandleW(nullptr), nullptr, ArgumentsPart(GetCommandLineW()), 10 /* SW_SHOWDEFAULT */);
  // Hooks run before static destructors, while everything they use still exists.
  qel::RunShutdownHooks();
  std::fflush(nullptr);
  return qel::ExitStatusForCode(static_cast<DWORD>(code), program.c_str());
}
