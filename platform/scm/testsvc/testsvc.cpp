// A small service for the manager's tests and benchmark. It runs under the
// real dispatcher, accepts the controls it is told to, and appends what it
// sees to a record file, one event a line.
//
//   scm_testsvc [--record FILE] [--name TABLE_NAME] [--handler-name NAME]
//               [--accept stop,pause,shutdown,param] [--start-delay MS]
//               [--stop-delay MS] [--hang-code N] [--mode normal|noconnect|exit]
//               [--foreground] [--dispatch-delay MS] [--say TEXT]
// --say writes TEXT to standard output and "err:" TEXT to standard error at start.
// SIGINT and SIGTERM reach the dispatcher as the program's own do (not with
// --foreground); "exit-hook" is recorded when they end the process instead.
#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>
#include <thread>

#include "qel/kernel.h"
#include "qel/wstr.h"
#include "winsvc.h"

namespace {

std::string g_record;
std::u16string g_tableName = u"TestSvc";
std::u16string g_handlerName;
DWORD g_accept = SERVICE_ACCEPT_STOP | SERVICE_ACCEPT_SHUTDOWN;
int g_startDelay = 0;
int g_stopDelay = 0;
DWORD g_hangCode = 0;

SERVICE_STATUS_HANDLE g_status = nullptr;
std::mutex g_lock;
std::condition_variable g_cv;
bool g_stop = false;
SERVICE_STATUS g_svc{};

void Record(const std::string& line) {
  if (g_record.empty()) return;
  int fd = ::open(g_record.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0666);
  if (fd < 0) return;
  std::string l = line + "\n";
  (void)!::write(fd, l.data(), l.size());
  ::close(fd);
}

void Report(DWORD state, DWORD accepted) {
  SERVICE_STATUS st;
  {
    std::lock_guard<std::mutex> g(g_lock);
    g_svc.dwServiceType = SERVICE_WIN32_OWN_PROCESS;
    g_svc.dwCurrentState = state;
    g_svc.dwControlsAccepted = accepted;
    st = g_svc;
  }
  if (!SetServiceStatus(g_status, &st)) Record("status-failed " + std::to_string(GetLastError()));
}

void WINAPI Handler(DWORD code) {
  Record("control " + std::to_string(code));
  switch (code) {
    case SERVICE_CONTROL_STOP:
    case SERVICE_CONTROL_SHUTDOWN: {
      Report(SERVICE_STOP_PENDING, 0);
      std::lock_guard<std::mutex> g(g_lock);
      g_stop = true;
      g_cv.notify_all();
      break;
    }
    case SERVICE_CONTROL_PAUSE:
      Report(SERVICE_PAUSED, g_accept);
      break;
    case SERVICE_CONTROL_CONTINUE:
      Report(SERVICE_RUNNING, g_accept);
      break;
    default:
      if (g_hangCode && code == g_hangCode) std::this_thread::sleep_for(std::chrono::seconds(20));
      break;
  }
}

void WINAPI ServiceMain(DWORD argc, LPWSTR* argv) {
  std::string line = "main " + std::to_string(argc);
  for (DWORD i = 0; i < argc; ++i) line += " " + qel::ToUtf8(argv[i]);
  Record(line);
  std::u16string name = g_handlerName.empty() ? g_tableName : g_handlerName;
  g_status = RegisterServiceCtrlHandlerW(name.c_str(), Handler);
  if (!g_status) {
    Record("handler-failed " + std::to_string(GetLastError()));
    return;
  }
  Report(SERVICE_START_PENDING, 0);
  if (g_startDelay) std::this_thread::sleep_for(std::chrono::milliseconds(g_startDelay));
  // Recorded first: a control can only come once the report is made.
  Record("running");
  Report(SERVICE_RUNNING, g_accept);
  {
    std::unique_lock<std::mutex> g(g_lock);
    g_cv.wait(g, [] { return g_stop; });
  }
  if (g_stopDelay) std::this_thread::sleep_for(std::chrono::milliseconds(g_stopDelay));
  Report(SERVICE_STOPPED, 0);
  Record("main-returned");
}

DWORD ParseAccept(const std::string& s) {
  DWORD a = 0;
  if (s.find("stop") != std::string::npos) a |= SERVICE_ACCEPT_STOP;
  if (s.find("pause") != std::string::npos) a |= SERVICE_ACCEPT_PAUSE_CONTINUE;
  if (s.find("shutdown") != std::string::npos) a |= SERVICE_ACCEPT_SHUTDOWN;
  if (s.find("param") != std::string::npos) a |= SERVICE_ACCEPT_PARAMCHANGE;
  return a;
}

}  // namespace

int main(int argc, char** argv) {
  std::string mode = "normal";
  bool foreground = false;
  int dispatchDelay = 0;
  std::string say;
  for (int i = 1; i < argc; ++i) {
    std::string a = argv[i];
    auto next = [&]() -> std::string { return i + 1 < argc ? argv[++i] : std::string(); };
    if (a == "--record") g_record = next();
    else if (a == "--name") g_tableName = qel::FromUtf8(next());
    else if (a == "--handler-name") g_handlerName = qel::FromUtf8(next());
    else if (a == "--accept") g_accept = ParseAccept(next());
    else if (a == "--start-delay") g_startDelay = std::atoi(next().c_str());
    else if (a == "--stop-delay") g_stopDelay = std::atoi(next().c_str());
    else if (a == "--hang-code") g_hangCode = static_cast<DWORD>(std::atoi(next().c_str()));
    else if (a == "--mode") mode = next();
    else if (a == "--foreground") foreground = true;
    else if (a == "--dispatch-delay") dispatchDelay = std::atoi(next().c_str());
    else if (a == "--say") say = next();
  }
  Record("process " + std::to_string(::getpid()));
  if (!foreground) {
    // SIGINT and SIGTERM as the program's process entry handles them.
    if (std::getenv("QELUPNP_SCM_SERVICE")) qel::HoldSignalsForDispatcher();
    qel::AddShutdownHook([] { Record("exit-hook"); });
    qel::InstallSignalWatcher();
  }
  if (mode == "noconnect") {
    // Never connects its dispatcher: the manager must give up and end it.
    for (;;) ::pause();
  }
  if (!say.empty()) {
    std::printf("%s\n", say.c_str());
    std::fflush(stdout);
    std::fprintf(stderr, "err:%s\n", say.c_str());
  }
  if (mode == "exit") return 3;
  if (dispatchDelay) {
    Record("dispatch-delay");
    std::this_thread::sleep_for(std::chrono::milliseconds(dispatchDelay));
  }

  std::u16string tableName = g_tableName;
  SERVICE_TABLE_ENTRYW table[] = {{tableName.data(), ServiceMain}, {nullptr, nullptr}};
  if (!StartServiceCtrlDispatcherW(table)) {
    DWORD e = GetLastError();
    Record("dispatcher-failed " + std::to_string(e));
    if (foreground) {
      // Run as a plain program until told to end (the benchmark's baseline).
      sigset_t set;
      sigemptyset(&set);
      sigaddset(&set, SIGTERM);
      sigprocmask(SIG_BLOCK, &set, nullptr);
      std::fputs("ready\n", stdout);
      std::fflush(stdout);
      int sig = 0;
      sigwait(&set, &sig);
      return 0;
    }
    return 2;
  }
  Record("dispatcher-returned");
  return 0;
}
