// A program on the platform's process entry, for the entry's tests.
//   exit CODE   return CODE from wWinMain
//   hooks       register two shutdown hooks, then return 0
//   wait        register the hooks, say "ready" and sleep until a signal comes
//   cmdline     print GetCommandLineW and the lpCmdLine argument
//   instance    print whether hInstance is the program's module and its file
#include <cstdio>
#include <cstdlib>
#include <string>

#include "qel/kernel.h"
#include "qel/wstr.h"

namespace {
void Hook1() { std::puts("hook1"); }
void Hook2() { std::puts("hook2"); }
}  // namespace

int WINAPI wWinMain(HINSTANCE hInstance, HINSTANCE, LPWSTR lpCmdLine, int) {
  std::string cmd = qel::ToUtf8(lpCmdLine);
  std::string verb = cmd.substr(0, cmd.find(' '));
  std::string arg = cmd.find(' ') == std::string::npos ? std::string() : cmd.substr(cmd.find(' ') + 1);
  if (verb == "exit") return static_cast<int>(std::strtoll(arg.c_str(), nullptr, 0));
  if (verb == "hooks" || verb == "wait") {
    qel::AddShutdownHook(Hook1);
    qel::AddShutdownHook(Hook2);
    if (verb == "wait") {
      std::puts("ready");
      std::fflush(stdout);
      Sleep(INFINITE);
    }
    return 0;
  }
  if (verb == "cmdline") {
    std::printf("%s\n%s\n", qel::ToUtf8(GetCommandLineW()).c_str(), cmd.c_str());
    return 0;
  }
  if (verb == "instance") {
    WCHAR path[MAX_PATH];
    DWORD n = GetModuleFileNameW(hInstance, path, MAX_PATH);
    std::printf("%d %s\n", hInstance == GetModuleHandleW(nullptr) ? 1 : 0, n ? qel::ToUtf8(path).c_str() : "-");
    return 0;
  }
  return 3;
}
