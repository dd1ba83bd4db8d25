// The process entry of the program executables: records argv for
// GetCommandLineW, calls the program's wWinMain and applies the exit-code
// rule. SIGINT and SIGTERM only wake a watcher thread through a pipe; the
// watcher runs the shutdown hooks and ends the process with 130 or 143.
#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <string>
#include <thread>

#include "qel/kernel.h"

namespace {

int g_wakeFd = -1;
std::atomic<int> g_signalled{0};

void OnSignal(int sig) {
  // A second signal while the hooks run ends the process at once.
  if (g_signalled.exchange(sig) != 0) ::_exit(128 + sig);
  int saved = errno;
  unsigned char b = static_cast<unsigned char>(sig);
  ssize_t r = ::write(g_wakeFd, &b, 1);
  (void)r;
  errno = saved;
}

void Watch(int fd) {
  unsigned char b = 0;
  for (;;) {
    ssize_t r = ::read(fd, &b, 1);
    if (r == 1) break;
    if (r < 0 && errno == EINTR) continue;
    return;  // the pipe failed: keep the default of doing nothing
  }
  qel::RunShutdownHooks();
  std::fflush(nullptr);
  ::_exit(128 + b);
}

void InstallSignalWatcher() {
  int fds[2];
  if (::pipe2(fds, O_CLOEXEC) != 0) return;
  g_wakeFd = fds[1];
  std::thread(Watch, fds[0]).detach();
  struct sigaction sa;
  std::memset(&sa, 0, sizeof sa);
  sa.sa_handler = OnSignal;
  sigemptyset(&sa.sa_mask);
  sa.sa_flags = SA_RESTART;
  ::sigaction(SIGINT, &sa, nullptr);
  ::sigaction(SIGTERM, &sa, nullptr);
}

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
  qel::SetCommandLineArgs(argc, argv);
  InstallSignalWatcher();
  std::string program = argc > 0 && argv[0] ? std::filesystem::path(argv[0]).filename().string() : "qelupnp";
  int code = wWinMain(GetModuleHandleW(nullptr), nullptr, ArgumentsPart(GetCommandLineW()), 10 /* SW_SHOWDEFAULT */);
  // Hooks run before static destructors, while everything they use still exists.
  qel::RunShutdownHooks();
  std::fflush(nullptr);
  return qel::ExitStatusForCode(static_cast<DWORD>(code), program.c_str());
}
