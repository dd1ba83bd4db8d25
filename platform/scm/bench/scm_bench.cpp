// bench_scm: what the service control manager adds to starting and ending a
// service. For the trivial test service it times
//   `qelupnp-sc start` until the service reports SERVICE_RUNNING, and
//   `qelupnp-sc stop` until it reports SERVICE_STOPPED,
// against starting the same program directly until it is up, and ending it
// with SIGTERM until it has exited. Goal: the manager's share under 20 ms each.
//
// Usage: bench_scm [ROUNDS]   (state in QELUPNP_STATE_DIR, or a private one)
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "qel/kernel.h"
#include "qel/wstr.h"
#include "winsvc.h"

extern char** environ;

namespace {

using Clock = std::chrono::steady_clock;

double Ms(Clock::duration d) { return std::chrono::duration<double, std::milli>(d).count(); }

pid_t SpawnTool(std::vector<std::string> args) {
  std::string tool = QEL_SC_TOOL;
  std::vector<char*> argv{tool.data()};
  for (auto& a : args) argv.push_back(a.data());
  argv.push_back(nullptr);
  posix_spawn_file_actions_t fa;
  posix_spawn_file_actions_init(&fa);
  posix_spawn_file_actions_addopen(&fa, 1, "/dev/null", O_WRONLY, 0);
  posix_spawn_file_actions_addopen(&fa, 2, "/dev/null", O_WRONLY, 0);
  pid_t pid = 0;
  int rc = posix_spawn(&pid, tool.c_str(), &fa, nullptr, argv.data(), environ);
  posix_spawn_file_actions_destroy(&fa);
  return rc == 0 ? pid : -1;
}

int WaitTool(pid_t pid) {
  int status = 0;
  if (pid <= 0 || waitpid(pid, &status, 0) != pid) return -1;
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

int RunTool(std::vector<std::string> args) { return WaitTool(SpawnTool(std::move(args))); }

bool WaitState(SC_HANDLE svc, DWORD state, Clock::time_point* when) {
  auto deadline = Clock::now() + std::chrono::seconds(10);
  while (Clock::now() < deadline) {
    SERVICE_STATUS st{};
    if (QueryServiceStatus(svc, &st) && st.dwCurrentState == state) {
      *when = Clock::now();
      return true;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  return false;
}

// Starts the program directly until it says it is up, then ends it.
bool Direct(double* startMs, double* stopMs) {
  int pipefd[2];
  if (pipe(pipefd) != 0) return false;
  std::string prog = QEL_SCM_TESTSVC;
  std::string fg = "--foreground";
  char* argv[] = {prog.data(), fg.data(), nullptr};
  posix_spawn_file_actions_t fa;
  posix_spawn_file_actions_init(&fa);
  posix_spawn_file_actions_adddup2(&fa, pipefd[1], 1);
  posix_spawn_file_actions_addclose(&fa, pipefd[0]);
  auto t0 = Clock::now();
  pid_t pid = 0;
  int rc = posix_spawn(&pid, prog.c_str(), &fa, nullptr, argv, environ);
  posix_spawn_file_actions_destroy(&fa);
  close(pipefd[1]);
  if (rc != 0) return false;
  char buf[16];
  bool up = read(pipefd[0], buf, sizeof buf) > 0;
  auto t1 = Clock::now();
  close(pipefd[0]);
  kill(pid, SIGTERM);
  int status = 0;
  waitpid(pid, &status, 0);
  auto t2 = Clock::now();
  *startMs = Ms(t1 - t0);
  *stopMs = Ms(t2 - t1);
  return up;
}

double Median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  return v.empty() ? 0 : v[v.size() / 2];
}

}  // namespace

int main(int argc, char** argv) {
  int rounds = argc > 1 ? std::max(1, std::atoi(argv[1])) : 30;
  std::string privateDir;
  if (!getenv("QELUPNP_STATE_DIR")) {
    char templ[] = "/tmp/bench_scm.XXXXXX";
    privateDir = mkdtemp(templ);
    setenv("QELUPNP_STATE_DIR", privateDir.c_str(), 1);
  }
  const std::string name = "BenchSvc";
  RunTool({"delete", name});
  if (RunTool({"create", name, "binPath=", std::string(QEL_SCM_TESTSVC) + " --name " + name}) != 0) {
    std::fprintf(stderr, "bench_scm: cannot create the test service\n");
    return 1;
  }
  SC_HANDLE scm = OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT);
  std::u16string wname = qel::FromUtf8(name);
  SC_HANDLE svc = scm ? OpenServiceW(scm, wname.c_str(), SERVICE_QUERY_STATUS) : nullptr;
  if (!svc) {
    std::fprintf(stderr, "bench_scm: cannot open the test service (%u)\n", static_cast<unsigned>(GetLastError()));
    return 1;
  }

  std::vector<double> directStart, directStop, scStart, scStop;
  for (int i = 0; i < rounds; ++i) {
    double a = 0, b = 0;
    if (Direct(&a, &b)) {
      directStart.push_back(a);
      directStop.push_back(b);
    }
    // The service's state is watched while the command runs: the command
    // may still be on its way out when the service is already up.
    Clock::time_point done;
    auto t0 = Clock::now();
    pid_t tool = SpawnTool({"start", name});
    bool up = WaitState(svc, SERVICE_RUNNING, &done);
    if (WaitTool(tool) != 0 || !up) {
      std::fprintf(stderr, "bench_scm: start failed in round %d\n", i);
      return 1;
    }
    scStart.push_back(Ms(done - t0));
    auto t1 = Clock::now();
    tool = SpawnTool({"stop", name});
    bool down = WaitState(svc, SERVICE_STOPPED, &done);
    if (WaitTool(tool) != 0 || !down) {
      std::fprintf(stderr, "bench_scm: stop failed in round %d\n", i);
      return 1;
    }
    scStop.push_back(Ms(done - t1));
    // Let the process finish its exit before the next round starts it again.
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  // The manager's own calls, without the tool's process around them.
  SC_HANDLE full = OpenServiceW(scm, wname.c_str(), SERVICE_START | SERVICE_STOP | SERVICE_QUERY_STATUS);
  std::vector<double> apiStart, apiStop;
  for (int i = 0; full && i < rounds; ++i) {
    Clock::time_point done;
    auto t0 = Clock::now();
    if (!StartServiceW(full, 0, nullptr) || !WaitState(full, SERVICE_RUNNING, &done)) break;
    apiStart.push_back(Ms(done - t0));
    SERVICE_STATUS ss{};
    auto t1 = Clock::now();
    if (!ControlService(full, SERVICE_CONTROL_STOP, &ss) || !WaitState(full, SERVICE_STOPPED, &done)) break;
    apiStop.push_back(Ms(done - t1));
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  if (full) CloseServiceHandle(full);
  CloseServiceHandle(svc);
  CloseServiceHandle(scm);
  RunTool({"delete", name});

  double ds = Median(directStart), dt = Median(directStop), ss = Median(scStart), st = Median(scStop);
  std::printf("rounds: %d (medians, ms)\n", rounds);
  std::printf("start: direct %.2f  qelupnp-sc start -> RUNNING %.2f  manager share %.2f  (goal < 20) %s\n", ds, ss,
              ss - ds, ss - ds < 20 ? "ok" : "OVER");
  std::printf("stop:  direct %.2f  qelupnp-sc stop -> STOPPED  %.2f  manager share %.2f  (goal < 20) %s\n", dt, st,
              st - dt, st - dt < 20 ? "ok" : "OVER");
  double as = Median(apiStart), at = Median(apiStop);
  std::printf("in-process StartServiceW -> RUNNING %.2f (share %.2f), ControlService STOP -> STOPPED %.2f (share %.2f)\n",
              as, as - ds, at, at - dt);
  if (!privateDir.empty()) std::filesystem::remove_all(privateDir);
  return 0;
}
