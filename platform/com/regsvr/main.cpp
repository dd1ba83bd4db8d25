// qelupnp-regsvr: registers or unregisters an in-process COM server library,
// with the syntax, messages and exit codes of regsvr32.
//
//   qelupnp-regsvr [/u] [/s] FILE
#include <cstdio>
#include <filesystem>
#include <string>
#include <string_view>

#include "objbase.h"
#include "qel/wstr.h"
#include "runtime.h"
#include "windows.h"

namespace {

enum ExitCode { kOk = 0, kBadArguments = 1, kOleFailed = 2, kLoadFailed = 3, kNoEntryPoint = 4, kCallFailed = 5 };

constexpr char16_t kCaption[] = u"qelupnp-regsvr";

constexpr char kUsage[] =
    "Usage: qelupnp-regsvr [/u] [/s] FILE\n"
    "Registers or unregisters an in-process COM server library (regsvr32 syntax).\n"
    "\n"
    "  /u    unregister: call DllUnregisterServer instead of DllRegisterServer\n"
    "  /s    silent: show no messages, report through the exit code only\n"
    "  /?    show this help (also -?, -h, --help)\n"
    "\n"
    "Switches may also start with '-' and are case-insensitive.\n"
    "Exit codes: 0 success, 1 bad arguments, 2 COM could not be initialised,\n"
    "3 the library could not be loaded, 4 the entry point is missing, 5 the entry point failed.\n";

struct Options {
  bool bUnregister = false;
  bool bSilent = false;
  bool bHelp = false;
  std::string file;
  std::string error;  // set when the arguments are not usable
};

Options ParseArguments(int argc, char** argv) {
  Options opt;
  for (int i = 1; i < argc; ++i) {
    const std::string_view arg = argv[i];
    if (arg == "--help") {
      opt.bHelp = true;
      continue;
    }
    if (arg.size() >= 2 && (arg[0] == '/' || arg[0] == '-') && arg.size() == 2) {
      switch (arg[1]) {
        case 'u': case 'U': opt.bUnregister = true; continue;
        case 's': case 'S': opt.bSilent = true; continue;
        case '?': case 'h': case 'H': opt.bHelp = true; continue;
        default: break;
      }
    }
    // An absolute path starts with '/', so only a short word counts as a switch.
    const bool looksLikeSwitch = arg.size() >= 2 && (arg[0] == '-' || (arg[0] == '/' && arg.find('/', 1) == std::string_view::npos && arg.size() <= 3));
    if (looksLikeSwitch) {
      if (opt.error.empty()) opt.error = "Unrecognized flag: " + std::string(arg);
      continue;
    }
    if (!opt.file.empty()) {
      if (opt.error.empty()) opt.error = "Only one file may be given: " + std::string(arg);
      continue;
    }
    opt.file = std::string(arg);
  }
  if (!opt.bHelp && opt.error.empty() && opt.file.empty()) opt.error = "No file name was given.";
  return opt;
}

void Show(const Options& opt, const std::string& text, UINT style) {
  if (opt.bSilent) return;
  MessageBoxW(nullptr, qel::FromUtf8(text).c_str(), kCaption, style);
}

std::string Hex(HRESULT hr) {
  char buf[16];
  std::snprintf(buf, sizeof buf, "0x%08x", static_cast<unsigned>(hr));
  return buf;
}

// Where the dynamic loader should look: a file that exists is named by its
// absolute path, as regsvr32 finds a library in the current directory first.
std::string LoadPath(const std::string& file) {
  std::error_code ec;
  if (file.find('/') == std::string::npos && std::filesystem::exists(file, ec)) {
    auto abs = std::filesystem::absolute(file, ec);
    if (!ec) return abs.string();
  }
  return file;
}

}  // namespace

int main(int argc, char** argv) {
  const Options opt = ParseArguments(argc, argv);
  if (opt.bHelp) {
    std::fputs(kUsage, stdout);
    return kOk;
  }
  if (!opt.error.empty()) {
    Show(opt, opt.error + "\n\n" + kUsage, MB_OK | MB_ICONERROR);
    return kBadArguments;
  }

  const char* entryName = opt.bUnregister ? "DllUnregisterServer" : "DllRegisterServer";
  HRESULT hr = CoInitialize(nullptr);
  if (FAILED(hr)) {
    Show(opt, "CoInitialize failed.\nReturn code was: " + Hex(hr), MB_OK | MB_ICONERROR);
    return kOleFailed;
  }
  int exitCode = kOk;
  {
    qel::com::Library lib;
    std::string reason;
    hr = qel::com::Library::Open(LoadPath(opt.file), &lib, &reason);
    if (FAILED(hr)) {
      Show(opt, "LoadLibrary(\"" + opt.file + "\") failed - " + reason + ".", MB_OK | MB_ICONERROR);
      exitCode = kLoadFailed;
    } else if (auto entry = reinterpret_cast<LPFNDLLREGISTERSERVER>(lib.Symbol(entryName)); !entry) {
      Show(opt, opt.file + " was loaded, but the " + entryName + " entry point was not found.", MB_OK | MB_ICONERROR);
      exitCode = kNoEntryPoint;
    } else if (const HRESULT hrCall = entry(); FAILED(hrCall)) {
      Show(opt, std::string(entryName) + " in " + opt.file + " failed.\nReturn code was: " + Hex(hrCall),
           MB_OK | MB_ICONERROR);
      exitCode = kCallFailed;
    } else {
      Show(opt, std::string(entryName) + " in " + opt.file + " succeeded.", MB_OK | MB_ICONINFORMATION);
    }
  }
  CoUninitialize();
  return exitCode;
}
