#include <gtest/gtest.h>

#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <thread>

#include "qel/kernel.h"

namespace {

int NiceOf(pid_t tid) { return getpriority(PRIO_PROCESS, static_cast<id_t>(tid)); }

// Priority tests change this process's nice levels: each runs in a child.
template <typename F>
int InChild(F body) {
  pid_t pid = fork();
  if (pid == 0) _exit(body());
  int st = 0;
  waitpid(pid, &st, 0);
  return WIFEXITED(st) ? WEXITSTATUS(st) : 100 + WTERMSIG(st);
}

TEST(Priority, EveryClassMapsToItsNiceLevelOnEveryThread) {
  if (geteuid() != 0) GTEST_SKIP() << "raising the priority needs root";
  int r = InChild([] {
    std::atomic<pid_t> tid{0};
    std::atomic<bool> stop{false};
    std::thread worker([&] {
      tid = gettid();
      while (!stop) usleep(1000);
    });
    while (!tid) usleep(1000);
    struct Row {
      DWORD cls;
      int nice;
    } rows[] = {{IDLE_PRIORITY_CLASS, 19},        {BELOW_NORMAL_PRIORITY_CLASS, 10}, {NORMAL_PRIORITY_CLASS, 0},
                {ABOVE_NORMAL_PRIORITY_CLASS, -5}, {HIGH_PRIORITY_CLASS, -10},        {REALTIME_PRIORITY_CLASS, -20}};
    int fail = 0;
    for (int i = 0; i < 6 && !fail; ++i) {
      if (!SetPriorityClass(GetCurrentProcess(), rows[i].cls)) fail = 10 + i;
      else if (NiceOf(gettid()) != rows[i].nice) fail = 20 + i;
      else if (NiceOf(tid) != rows[i].nice) fail = 30 + i;
      else if (GetPriorityClass(GetCurrentProcess()) != rows[i].cls) fail = 40 + i;
    }
    stop = true;
    worker.join();
    return fail;
  });
  EXPECT_EQ(r, 0);
}

TEST(Priority, UnknownClassesAndOtherProcessesAreRefused) {
  int r = InChild([] {
    if (SetPriorityClass(GetCurrentProcess(), 0x1234)) return 1;
    if (GetLastError() != ERROR_INVALID_PARAMETER) return 2;
    if (SetPriorityClass(reinterpret_cast<HANDLE>(0x10000), NORMAL_PRIORITY_CLASS)) return 3;
    if (GetLastError() != ERROR_INVALID_HANDLE) return 4;
    if (GetPriorityClass(nullptr) != 0 || GetLastError() != ERROR_INVALID_HANDLE) return 5;
    return 0;
  });
  EXPECT_EQ(r, 0);
}

TEST(Priority, RaisingWithoutPrivilegeIsAccessDeniedAndChangesNothing) {
  int r = InChild([] {
    if (geteuid() == 0 && (setgid(65534) != 0 || setuid(65534) != 0)) return 90;
    int before = NiceOf(gettid());
    if (SetPriorityClass(GetCurrentProcess(), HIGH_PRIORITY_CLASS)) return 1;
    if (GetLastError() != ERROR_ACCESS_DENIED) return 2;
    if (NiceOf(gettid()) != before) return 3;
    // Lowering needs no privilege.
    if (!SetPriorityClass(GetCurrentProcess(), IDLE_PRIORITY_CLASS)) return 4;
    if (GetPriorityClass(GetCurrentProcess()) != IDLE_PRIORITY_CLASS) return 5;
    return 0;
  });
  if (r == 90) GTEST_SKIP() << "cannot drop privileges here";
  EXPECT_EQ(r, 0);
}

}  // namespace
