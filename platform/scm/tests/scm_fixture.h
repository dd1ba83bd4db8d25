// A private state directory with the manager's handles and the service
// processes a test starts, all cleaned up afterwards.
#pragma once

#include <gtest/gtest.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "qel/kernel.h"
#include "qel/wstr.h"
#include "scm_internal.h"
#include "testsupport.h"
#include "winsvc.h"

namespace scmtest {

using qel::u16;

inline u16 W(const std::string& s) { return qel::FromUtf8(s); }

// True once the process `pid` has ended (within `ms`).
inline bool WaitGone(DWORD pid, int ms = 8000) {
  auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
  while (std::chrono::steady_clock::now() < deadline) {
    if (qel::scm::ProcessStartTime(pid) == 0) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  return false;
}

// Closes an SC_HANDLE when the test is done with it.
struct Handle {
  SC_HANDLE h = nullptr;
  Handle() = default;
  explicit Handle(SC_HANDLE x) : h(x) {}
  ~Handle() {
    if (h) (void)CloseServiceHandle(h);
  }
  Handle(const Handle&) = delete;
  Handle& operator=(const Handle&) = delete;
  Handle(Handle&& o) noexcept : h(o.h) { o.h = nullptr; }
  Handle& operator=(Handle&& o) noexcept {
    std::swap(h, o.h);
    return *this;
  }
  explicit operator bool() const { return h != nullptr; }
};

class ScmTest : public ::testing::Test {
 protected:
  void SetUp() override {
    setenv(qel::scm::kEnvTimeout, "5000", 1);
    scm_ = Handle(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_ALL_ACCESS));
    ASSERT_TRUE(scm_) << GetLastError();
  }

  void TearDown() override {
    // End every service process this test left running.
    for (const auto& name : created_) {
      Handle svc(OpenServiceW(scm_.h, name.c_str(), SERVICE_QUERY_STATUS));
      if (!svc) continue;
      SERVICE_STATUS_PROCESS st{};
      DWORD needed = 0;
      if (QueryServiceStatusEx(svc.h, SC_STATUS_PROCESS_INFO, reinterpret_cast<LPBYTE>(&st), sizeof st, &needed) &&
          st.dwProcessId > 1)
        ::kill(static_cast<pid_t>(st.dwProcessId), SIGKILL);
    }
    for (pid_t p : pids_) ::kill(p, SIGKILL);
    unsetenv(qel::scm::kEnvTimeout);
  }

  std::string Record() const { return (state_.path() / "record.txt").string(); }

  std::string TestSvc(const std::string& extra = "") const {
    return std::string(QEL_SCM_TESTSVC) + " --record " + Record() + (extra.empty() ? "" : " " + extra);
  }

  // Creates a demand-start own-process service.
  Handle Create(const std::string& name, const std::string& binPath, const WCHAR* deps = nullptr,
                DWORD start = SERVICE_DEMAND_START) {
    u16 n = W(name), b = W(binPath);
    Handle h(CreateServiceW(scm_.h, n.c_str(), nullptr, SERVICE_ALL_ACCESS, SERVICE_WIN32_OWN_PROCESS, start,
                            SERVICE_ERROR_NORMAL, b.c_str(), nullptr, nullptr, deps, nullptr, nullptr));
    EXPECT_TRUE(h) << "CreateServiceW " << name << ": " << GetLastError();
    created_.push_back(n);
    return h;
  }

  SERVICE_STATUS_PROCESS Status(SC_HANDLE svc) {
    SERVICE_STATUS_PROCESS st{};
    DWORD needed = 0;
    EXPECT_TRUE(QueryServiceStatusEx(svc, SC_STATUS_PROCESS_INFO, reinterpret_cast<LPBYTE>(&st), sizeof st, &needed))
        << GetLastError();
    return st;
  }

  // Waits (bounded) for the service to reach `state`.
  bool WaitState(SC_HANDLE svc, DWORD state, int ms = 8000) {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    while (std::chrono::steady_clock::now() < deadline) {
      if (Status(svc).dwCurrentState == state) return true;
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return false;
  }

  // Waits (bounded) for a whole line, or with `prefix` the start of a line,
  // in the service's record.
  bool WaitRecord(const std::string& line, int ms = 8000, bool prefix = false) {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    while (std::chrono::steady_clock::now() < deadline) {
      std::string rec = "\n" + qel::test::ReadFile(Record());
      if (rec.find("\n" + line + (prefix ? "" : "\n")) != std::string::npos) return true;
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return false;
  }

  // A sanitizer report in a service process's log means a fault in the dispatcher.
  void ExpectCleanLog(const std::string& name) {
    std::string log = qel::test::ReadFile(qel::scm::LogPath(W(name)));
    EXPECT_EQ(log.find("Sanitizer"), std::string::npos) << log;
  }

  qel::test::ScopedStateDir state_;
  Handle scm_;
  std::vector<u16> created_;
  std::vector<pid_t> pids_;
};

}  // namespace scmtest
