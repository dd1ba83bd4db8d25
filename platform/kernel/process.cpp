// Modules, the process and its command line, environment, ticks, exit and
// the shutdown hooks.
#include <dlfcn.h>
#include <fcntl.h>
#include <link.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <mutex>
#include <system_error>
#include <thread>
#include <vector>

#include "internal.h"
#include "qel/fault.h"

namespace {

// Win32 buffer rule for functions that give back a string: fits -> length;
// otherwise the length with the terminator, and nothing written.
DWORD CopyOrNeed(qel::u16view s, LPWSTR buf, DWORD cch) {
  if (s.size() < cch) {
    std::memcpy(buf, s.data(), s.size() * sizeof(WCHAR));
    buf[s.size()] = 0;
    return static_cast<DWORD>(s.size());
  }
  return static_cast<DWORD>(s.size() + 1);
}

std::string ExecutablePath() {
  std::error_code ec;
  std::filesystem::path p = std::filesystem::read_symlink("/proc/self/exe", ec);
  return ec ? std::string() : p.string();
}

struct ModuleInfo {
  std::uintptr_t base = 0;
  std::string path;  // empty for the program itself
  bool isProgram = false;
};

// Each loaded ELF object with the address at which its ELF header is mapped:
// that address is its HMODULE, as a module's load base is on Windows.
std::vector<ModuleInfo> LoadedModules() {
  std::vector<ModuleInfo> out;
  dl_iterate_phdr(
      [](dl_phdr_info* info, size_t, void* data) -> int {
        auto* list = static_cast<std::vector<ModuleInfo>*>(data);
        ElfW(Addr) lowest = ~static_cast<ElfW(Addr)>(0);
        for (int i = 0; i < info->dlpi_phnum; ++i)
          if (info->dlpi_phdr[i].p_type == PT_LOAD && info->dlpi_phdr[i].p_vaddr < lowest)
            lowest = info->dlpi_phdr[i].p_vaddr;
        if (lowest == ~static_cast<ElfW(Addr)>(0)) return 0;
        ModuleInfo m;
        // Page-aligned, as the loader maps it (dladdr's dli_fbase is the same address).
        static const std::uintptr_t page = static_cast<std::uintptr_t>(::sysconf(_SC_PAGESIZE));
        m.base = static_cast<std::uintptr_t>(info->dlpi_addr + lowest) & ~(page - 1);
        m.isProgram = list->empty();  // the program comes first
        if (!m.isProgram) {
          if (!info->dlpi_name || info->dlpi_name[0] != '/') {
            // The vDSO and objects without a path have no file to name.
            if (!info->dlpi_name || !*info->dlpi_name || !std::strchr(info->dlpi_name, '/')) {
              m.path = info->dlpi_name ? info->dlpi_name : "";
            } else {
              std::error_code ec;
              m.path = std::filesystem::absolute(info->dlpi_name, ec).string();
            }
          } else {
            m.path = info->dlpi_name;
          }
        }
        list->push_back(std::move(m));
        return 0;
      },
      &out);
  return out;
}

// ---- Command line ------------------------------------------------------------------

std::mutex g_cmdLock;
qel::u16* g_cmdLine = nullptr;  // never freed: callers keep the pointer for the life of the process

// Windows' quoting: arguments with blanks or quotes (or empty ones) in quotes,
// with backslashes doubled before a quote.
void AppendQuoted(qel::u16& out, const qel::u16& arg, bool program) {
  bool needs = arg.empty() || arg.find_first_of(u" \t\"") != qel::u16::npos;
  if (!needs) {
    out += arg;
    return;
  }
  out.push_back(u'"');
  if (program) {
    // The program name is read up to the next quote, without escapes.
    out += arg;
    out.push_back(u'"');
    return;
  }
  std::size_t slashes = 0;
  for (char16_t c : arg) {
    if (c == u'\\') {
      ++slashes;
      continue;
    }
    if (c == u'"') {
      out.append(slashes * 2 + 1, u'\\');
    } else {
      out.append(slashes, u'\\');
    }
    slashes = 0;
    out.push_back(c);
  }
  out.append(slashes * 2, u'\\');
  out.push_back(u'"');
}

qel::u16 BuildCommandLine(const std::vector<std::string>& args) {
  qel::u16 out;
  for (std::size_t i = 0; i < args.size(); ++i) {
    if (i) out.push_back(u' ');
    AppendQuoted(out, qel::FromUtf8(args[i]), i == 0);
  }
  return out;
}

std::vector<std::string> ProcCmdline() {
  std::ifstream in("/proc/self/cmdline", std::ios::binary);
  std::string all((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  std::vector<std::string> args;
  std::size_t pos = 0;
  while (pos < all.size()) {
    std::size_t end = all.find('\0', pos);
    if (end == std::string::npos) end = all.size();
    args.push_back(all.substr(pos, end - pos));
    pos = end + 1;
  }
  return args;
}

// ---- Shutdown hooks -------------------------------------------------------------------

std::mutex g_hookLock;
std::vector<void (*)()>& Hooks() {
  static auto* h = new std::vector<void (*)()>;
  return *h;
}

}  // namespace

extern "C" DWORD WINAPI GetModuleFileNameW(HMODULE hModule, LPWSTR lpFilename, DWORD nSize) {
  QEL_FAULT_POINT("GetModuleFileNameW", c) {
    SetLastError(static_cast<DWORD>(c));
    return 0;
  }
  std::string path;
  if (!hModule) {
    path = ExecutablePath();
  } else {
    bool found = false;
    for (const ModuleInfo& m : LoadedModules()) {
      if (m.base != reinterpret_cast<std::uintptr_t>(hModule)) continue;
      path = m.isProgram ? ExecutablePath() : m.path;
      found = !path.empty() && path[0] == '/';
      break;
    }
    if (!found) {
      SetLastError(ERROR_MOD_NOT_FOUND);
      return 0;
    }
  }
  if (path.empty()) {
    SetLastError(ERROR_FILE_NOT_FOUND);
    return 0;
  }
  if (!lpFilename || nSize == 0) {
    SetLastError(ERROR_INSUFFICIENT_BUFFER);
    return 0;
  }
  qel::u16 wide = qel::FromUtf8(path);
  if (wide.size() < nSize) {
    std::memcpy(lpFilename, wide.data(), wide.size() * sizeof(WCHAR));
    lpFilename[wide.size()] = 0;
    SetLastError(ERROR_SUCCESS);
    return static_cast<DWORD>(wide.size());
  }
  // Too small: cut and terminated, the buffer's size returned.
  std::memcpy(lpFilename, wide.data(), (nSize - 1) * sizeof(WCHAR));
  lpFilename[nSize - 1] = 0;
  SetLastError(ERROR_INSUFFICIENT_BUFFER);
  return nSize;
}

extern "C" HMODULE WINAPI GetModuleHandleW(LPCWSTR lpModuleName) {
  QEL_FAULT_POINT("GetModuleHandleW", c) {
    SetLastError(static_cast<DWORD>(c));
    return nullptr;
  }
  std::vector<ModuleInfo> mods = LoadedModules();
  if (!lpModuleName) {
    if (mods.empty()) {
      SetLastError(ERROR_MOD_NOT_FOUND);
      return nullptr;
    }
    return reinterpret_cast<HMODULE>(mods.front().base);
  }
  std::string name = qel::ToUtf8(lpModuleName);
  bool byPath = name.find('/') != std::string::npos;
  for (const ModuleInfo& m : mods) {
    std::string path = m.isProgram ? ExecutablePath() : m.path;
    if (path.empty()) continue;
    if (byPath) {
      std::error_code ec;
      if (path == name || std::filesystem::equivalent(path, name, ec)) return reinterpret_cast<HMODULE>(m.base);
      continue;
    }
    std::string base = std::filesystem::path(path).filename().string();
    // "libfoo.so.1" answers to "libfoo.so.1", "libfoo.so" and "libfoo", as a
    // DLL answers to its name with or without ".dll".
    if (base == name || (base.size() > name.size() && base.compare(0, name.size(), name) == 0 &&
                         (base.compare(name.size(), 3, ".so") == 0 || name.ends_with(".so"))))
      return reinterpret_cast<HMODULE>(m.base);
  }
  SetLastError(ERROR_MOD_NOT_FOUND);
  return nullptr;
}

extern "C" BOOL WINAPI GetModuleHandleExW(DWORD dwFlags, LPCWSTR lpModuleName, HMODULE* phModule) {
  QEL_FAULT_POINT("GetModuleHandleExW", c) {
    if (phModule) *phModule = nullptr;
    SetLastError(static_cast<DWORD>(c));
    return FALSE;
  }
  if (!phModule || (dwFlags & ~(GET_MODULE_HANDLE_EX_FLAG_PIN | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT |
                                GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS)) ||
      ((dwFlags & GET_MODULE_HANDLE_EX_FLAG_PIN) && (dwFlags & GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT))) {
    if (phModule) *phModule = nullptr;
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  // Modules are never unloaded behind the caller's back here, so the
  // reference-count flags change nothing.
  if (dwFlags & GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS) {
    auto addr = reinterpret_cast<std::uintptr_t>(lpModuleName);
    Dl_info info{};
    if (!lpModuleName || ::dladdr(reinterpret_cast<const void*>(addr), &info) == 0 || !info.dli_fbase) {
      *phModule = nullptr;
      SetLastError(ERROR_MOD_NOT_FOUND);
      return FALSE;
    }
    *phModule = reinterpret_cast<HMODULE>(info.dli_fbase);
    return TRUE;
  }
  *phModule = GetModuleHandleW(lpModuleName);
  return *phModule ? TRUE : FALSE;
}

extern "C" DWORD WINAPI GetShortPathNameW(LPCWSTR lpszLongPath, LPWSTR lpszShortPath, DWORD cchBuffer) {
  QEL_FAULT_POINT("GetShortPathNameW", c) {
    SetLastError(static_cast<DWORD>(c));
    return 0;
  }
  if (!lpszLongPath || (!lpszShortPath && cchBuffer)) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return 0;
  }
  std::string path = qel::ToUtf8(lpszLongPath);
  struct stat st;
  if (path.empty() || ::stat(path.c_str(), &st) != 0) {
    SetLastError(path.empty() ? ERROR_PATH_NOT_FOUND : qel::kernel::PathErrorFromErrno(errno, path));
    return 0;
  }
  // Linux file names have no short form: the path is its own short name.
  qel::u16 copy(qel::WView(lpszLongPath));
  return CopyOrNeed(copy, lpszShortPath, cchBuffer);
}

namespace qel {

void SetCommandLineArgs(int argc, const char* const* argv) {
  std::vector<std::string> args;
  for (int i = 0; i < argc && argv && argv[i]; ++i) args.emplace_back(argv[i]);
  std::lock_guard<std::mutex> g(g_cmdLock);
  if (!g_cmdLine) g_cmdLine = new u16;  // NOLINT: lives for the process
  *g_cmdLine = BuildCommandLine(args);
}

void AddShutdownHook(void (*hook)()) {
  if (!hook) return;
  std::lock_guard<std::mutex> g(g_hookLock);
  Hooks().push_back(hook);
}

void RunShutdownHooks() {
  std::vector<void (*)()> run;
  {
    std::lock_guard<std::mutex> g(g_hookLock);
    run.swap(Hooks());
  }
  for (auto it = run.rbegin(); it != run.rend(); ++it) (*it)();
}

// ---- Signals ------------------------------------------------------------

namespace {

int g_signalWriteFd = -1;
// Set once the process is on its way out because of a signal.
std::atomic<bool> g_signalEnding{false};
std::mutex g_signalLock;
SignalSink g_signalSink = nullptr;  // guarded by g_signalLock
bool g_signalHold = false;          // guarded by g_signalLock
int g_signalHeld = 0;               // guarded by g_signalLock

void OnSignal(int sig) {
  if (g_signalEnding.load()) ::_exit(128 + sig);
  const int saved = errno;
  const unsigned char b = static_cast<unsigned char>(sig);
  (void)!::write(g_signalWriteFd, &b, 1);
  errno = saved;
}

// True when a dispatcher took the signal or it is held for one.
bool RouteSignal(int sig) {
  std::lock_guard<std::mutex> g(g_signalLock);
  if (g_signalSink) {
    g_signalSink(sig);
    return true;
  }
  if (g_signalHold) {
    g_signalHeld = sig;
    return true;
  }
  return false;
}

void WatchSignals(int fd) {
  for (;;) {
    unsigned char b = 0;
    const ssize_t r = ::read(fd, &b, 1);
    if (r < 0 && errno == EINTR) continue;
    if (r != 1) return;  // the pipe failed: keep the default of doing nothing
    if (!RouteSignal(b)) EndOnSignal(b);
  }
}

}  // namespace

void InstallSignalWatcher() {
  static std::once_flag once;
  std::call_once(once, [] {
    int fds[2];
    if (::pipe2(fds, O_CLOEXEC) != 0) return;
    g_signalWriteFd = fds[1];
    // The watcher starts with SIGINT and SIGTERM blocked, so the handler
    // always runs on some other thread (the kernel hands a signal sent to the
    // process to a thread that does not block it) and the watcher never has to
    // write the byte its own read waits for. A runtime that defers handlers
    // until the interrupted thread returns from its call (ThreadSanitizer does
    // so for read) would otherwise leave both blocked for good.
    sigset_t taken, previous;
    sigemptyset(&taken);
    sigaddset(&taken, SIGINT);
    sigaddset(&taken, SIGTERM);
    ::pthread_sigmask(SIG_BLOCK, &taken, &previous);
    bool started = true;
    try {
      std::thread(WatchSignals, fds[0]).detach();
    } catch (const std::system_error&) {
      started = false;
    }
    ::pthread_sigmask(SIG_SETMASK, &previous, nullptr);
    if (!started) {
      // No watcher: the signals keep their default of ending the process.
      g_signalWriteFd = -1;
      ::close(fds[0]);
      ::close(fds[1]);
      return;
    }
    struct sigaction sa;
    std::memset(&sa, 0, sizeof sa);
    sa.sa_handler = OnSignal;
    sigemptyset(&sa.sa_mask);
    sa.sa_flags = SA_RESTART;
    ::sigaction(SIGINT, &sa, nullptr);
    ::sigaction(SIGTERM, &sa, nullptr);
  });
}

void HoldSignalsForDispatcher() {
  std::lock_guard<std::mutex> g(g_signalLock);
  g_signalHold = true;
}

void SetSignalSink(SignalSink sink) {
  std::lock_guard<std::mutex> g(g_signalLock);
  g_signalSink = sink;
  if (sink && g_signalHeld) {
    sink(g_signalHeld);
    g_signalHeld = 0;
  }
}

void ReleaseSignals() {
  int held;
  {
    std::lock_guard<std::mutex> g(g_signalLock);
    g_signalSink = nullptr;
    g_signalHold = false;
    held = g_signalHeld;
    g_signalHeld = 0;
  }
  if (held) EndOnSignal(held);
}

void EndOnSignal(int signal) {
  g_signalEnding.store(true);
  RunShutdownHooks();
  std::fflush(nullptr);
  ::_exit(128 + signal);
}

int ExitStatusForCode(DWORD code, const char* program) {
  if (code <= 255) return static_cast<int>(code);
  std::fprintf(stderr, "%s: exit code 0x%08X\n", program && *program ? program : "qelupnp", code);
  std::fflush(stderr);
  return 255;
}

}  // namespace qel

extern "C" LPWSTR WINAPI GetCommandLineW(void) {
  std::lock_guard<std::mutex> g(g_cmdLock);
  if (!g_cmdLine) g_cmdLine = new qel::u16(BuildCommandLine(ProcCmdline()));  // NOLINT: lives for the process
  return g_cmdLine->data();
}

extern "C" HANDLE WINAPI GetCurrentProcess(void) { return reinterpret_cast<HANDLE>(static_cast<LONG_PTR>(-1)); }
extern "C" HANDLE WINAPI GetCurrentThread(void) { return reinterpret_cast<HANDLE>(static_cast<LONG_PTR>(-2)); }
extern "C" DWORD WINAPI GetCurrentProcessId(void) { return static_cast<DWORD>(::getpid()); }

extern "C" DWORD WINAPI GetCurrentThreadId(void) {
  thread_local DWORD t_id = static_cast<DWORD>(::syscall(SYS_gettid));
  return t_id;
}

extern "C" [[noreturn]] void WINAPI ExitProcess(UINT uExitCode) {
  qel::RunShutdownHooks();
  std::fflush(nullptr);
  std::string exe = ExecutablePath();
  std::string name = exe.empty() ? "qelupnp" : std::filesystem::path(exe).filename().string();
  ::_exit(qel::ExitStatusForCode(uExitCode, name.c_str()));
}

extern "C" DWORD WINAPI GetEnvironmentVariableW(LPCWSTR lpName, LPWSTR lpBuffer, DWORD nSize) {
  QEL_FAULT_POINT("GetEnvironmentVariableW", c) {
    SetLastError(static_cast<DWORD>(c));
    return 0;
  }
  if (!lpName || !*lpName || (!lpBuffer && nSize)) {
    SetLastError(!lpName || !*lpName ? ERROR_ENVVAR_NOT_FOUND : ERROR_INVALID_PARAMETER);
    return 0;
  }
  const char* v = std::getenv(qel::ToUtf8(lpName).c_str());
  if (!v) {
    SetLastError(ERROR_ENVVAR_NOT_FOUND);
    return 0;
  }
  qel::u16 value = qel::FromUtf8(v);
  if (value.empty() && nSize) {
    lpBuffer[0] = 0;
    SetLastError(ERROR_SUCCESS);
    return 0;
  }
  return CopyOrNeed(value, lpBuffer, nSize);
}

extern "C" BOOL WINAPI SetEnvironmentVariableW(LPCWSTR lpName, LPCWSTR lpValue) {
  QEL_FAULT_POINT("SetEnvironmentVariableW", c) {
    SetLastError(static_cast<DWORD>(c));
    return FALSE;
  }
  std::string name = qel::ToUtf8(lpName);
  if (name.empty() || name.find('=') != std::string::npos) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  int r = lpValue ? ::setenv(name.c_str(), qel::ToUtf8(lpValue).c_str(), 1) : ::unsetenv(name.c_str());
  if (r != 0) {
    SetLastError(qel::kernel::ErrorFromErrno(errno));
    return FALSE;
  }
  return TRUE;
}

extern "C" void WINAPI Sleep(DWORD dwMilliseconds) {
  if (dwMilliseconds == 0) {
    std::this_thread::yield();
    return;
  }
  if (dwMilliseconds == INFINITE) {
    for (;;) ::pause();
  }
  std::this_thread::sleep_for(std::chrono::milliseconds(dwMilliseconds));
}

extern "C" ULONGLONG WINAPI GetTickCount64(void) {
  // Milliseconds since boot, suspended time included, as on Windows.
  timespec ts;
  ::clock_gettime(CLOCK_BOOTTIME, &ts);
  return static_cast<ULONGLONG>(ts.tv_sec) * 1000u + static_cast<ULONGLONG>(ts.tv_nsec) / 1000000u;
}

extern "C" DWORD WINAPI GetTickCount(void) { return static_cast<DWORD>(GetTickCount64()); }
