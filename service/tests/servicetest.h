// Shared helpers of the service host's tests: capture of log messages and
// message boxes, and re-running one test in a child process (in a program
// directory of its own, in a private network, or without privileges).
#pragma once

#include "QelUPnP.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstdio>
#include <filesystem>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "qel/fault.h"
#include "qel/kernel.h"
#include "qel/statedir.h"
#include "qel/user.h"
#include "qel/wstr.h"
#include "testsupport.h"

namespace servicetest {

// Collects what the program writes to the debugger output (log kind 3) and
// the message boxes it shows; answers every box with OK.
class Capture {
 public:
  Capture() {
    qel::SetDebugOutputSinkForTests([this](std::u16string_view s) {
      std::lock_guard<std::mutex> guard(m_lock);
      m_messages.push_back(qel::ToUtf8(s));
    });
    qel::SetMessageBoxHookForTests([this](std::u16string_view text, std::u16string_view caption, UINT uType) {
      std::lock_guard<std::mutex> guard(m_lock);
      m_boxes.push_back("[" + qel::ToUtf8(caption) + "] " + qel::ToUtf8(text));
      m_boxStyles.push_back(uType);
      return IDOK;
    });
  }
  ~Capture() {
    qel::SetDebugOutputSinkForTests(nullptr);
    qel::SetMessageBoxHookForTests(nullptr);
  }
  std::vector<std::string> Messages() {
    std::lock_guard<std::mutex> guard(m_lock);
    return m_messages;
  }
  std::vector<std::string> Boxes() {
    std::lock_guard<std::mutex> guard(m_lock);
    return m_boxes;
  }
  std::vector<UINT> BoxStyles() {
    std::lock_guard<std::mutex> guard(m_lock);
    return m_boxStyles;
  }
  int Count(const std::string& message) {
    int n = 0;
    for (const auto& m : Messages()) n += m == message ? 1 : 0;
    return n;
  }

 private:
  std::mutex m_lock;
  std::vector<std::string> m_messages;
  std::vector<std::string> m_boxes;
  std::vector<UINT> m_boxStyles;
};

inline std::string SelfPath() {
  WCHAR sz[MAX_PATH] = {};
  GetModuleFileNameW(nullptr, sz, MAX_PATH);
  return qel::ToUtf8(sz);
}

// Set in the child process that ChildRun starts.
inline bool InChild() { return std::getenv("QEL_SERVICE_TEST_CHILD") != nullptr; }

inline std::string Quote(const std::string& s) {
  std::string out = "'";
  for (char c : s) out += c == '\'' ? std::string("'\\''") : std::string(1, c);
  return out + "'";
}

struct ChildOptions {
  // Run a copy of the test program placed in this directory (its program directory).
  std::filesystem::path programDir;
  // Run inside a private network namespace with a multicast-capable loopback.
  bool privateNetwork = false;
  // Run as the unprivileged user nobody.
  bool unprivileged = false;
  // Extra "NAME=value" assignments.
  std::vector<std::string> env;
};

// Dropping privileges and private networks need root (as in CI).
inline bool IsRoot() {
  static const bool bRoot = std::system("test \"$(id -u)\" = 0") == 0;
  return bRoot;
}

// What ChildRun gives when the child cannot be run at all (the test skips).
inline constexpr int kChildSkipped = 77;

// Runs the current test alone in a child process and gives its exit status
// (0 when every check of the child passed, kChildSkipped when it could not run).
inline int ChildRun(const ChildOptions& options) {
  const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
  std::string program = SelfPath();
  if (!options.programDir.empty()) {
    const auto copy = options.programDir / std::filesystem::path(program).filename();
    std::error_code ec;
    std::filesystem::create_hard_link(program, copy, ec);
    if (ec) std::filesystem::copy_file(program, copy, std::filesystem::copy_options::overwrite_existing);
    program = copy.string();
  }
  // The unprivileged user may not reach the build tree: it runs a copy.
  std::unique_ptr<qel::test::ReachableCopy> reachable;
  if (options.unprivileged) {
    reachable = std::make_unique<qel::test::ReachableCopy>(program);
    if (!reachable->ok()) {
      std::fprintf(stderr, "cannot run the test as another user: %s\n", reachable->why().c_str());
      return kChildSkipped;
    }
    program = reachable->path().string();
  }
  std::string cmd = "QEL_SERVICE_TEST_CHILD=1";
  for (const auto& e : options.env) cmd += " " + Quote(e);
  // Bounded: a child that hangs is killed and its test fails.
  cmd += " timeout 300 " + Quote(program) + " " +
         Quote(std::string("--gtest_filter=") + info->test_suite_name() + "." + info->name());
  if (options.unprivileged) cmd = "setpriv --reuid=65534 --regid=65534 --clear-groups env " + cmd;
  if (options.privateNetwork)
    cmd = "unshare -n sh -c " +
          Quote("ip link set lo up multicast on && ip route add 239.0.0.0/8 dev lo && exec env " + cmd);
  const int status = std::system(cmd.c_str());
  // std::system gives a wait status.
  return (status & 0x7f) == 0 ? (status >> 8) & 0xff : 128 + (status & 0x7f);
}

// Creates the key if needed and stores the values.
inline void SetRegString(HKEY root, LPCWSTR key, LPCWSTR name, LPCWSTR value) {
  HKEY h = nullptr;
  ASSERT_EQ(RegCreateKeyExW(root, key, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &h, nullptr), ERROR_SUCCESS);
  ASSERT_EQ(RegSetValueExW(h, name, 0, REG_SZ, reinterpret_cast<const BYTE*>(value),
                           static_cast<DWORD>((qel::WLen(value) + 1) * sizeof(WCHAR))),
            ERROR_SUCCESS);
  RegCloseKey(h);
}
inline void SetRegDword(HKEY root, LPCWSTR key, LPCWSTR name, DWORD value) {
  HKEY h = nullptr;
  ASSERT_EQ(RegCreateKeyExW(root, key, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &h, nullptr), ERROR_SUCCESS);
  ASSERT_EQ(RegSetValueExW(h, name, 0, REG_DWORD, reinterpret_cast<const BYTE*>(&value), sizeof(value)),
            ERROR_SUCCESS);
  RegCloseKey(h);
}
inline bool RegKeyExists(HKEY root, LPCWSTR key) {
  HKEY h = nullptr;
  if (RegOpenKeyExW(root, key, 0, KEY_READ, &h) != ERROR_SUCCESS) return false;
  RegCloseKey(h);
  return true;
}
// The REG_SZ value's text, or "<missing>".
inline std::string RegString(HKEY root, LPCWSTR key, LPCWSTR name) {
  HKEY h = nullptr;
  if (RegOpenKeyExW(root, key, 0, KEY_READ, &h) != ERROR_SUCCESS) return "<missing>";
  WCHAR sz[512] = {};
  DWORD cb = sizeof(sz) - sizeof(WCHAR);
  DWORD type = 0;
  LONG l = RegQueryValueExW(h, name, nullptr, &type, reinterpret_cast<LPBYTE>(sz), &cb);
  RegCloseKey(h);
  return l == ERROR_SUCCESS ? qel::ToUtf8(sz) : "<missing>";
}

// A small valid workspace: identity and two enabled controllers.
inline const char* kWorkspaceXml =
    "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
    "<Workspace><INode Type=\"clsQelSQLWorkspace\"><clsQelSQLWorkspace>"
    "<m_strUDN>uuid:6f1c2d3e-4b5a-4978-8a6b-5c4d3e2f1a0b</m_strUDN>"
    "<m_strFriendlyName>Test workspace</m_strFriendlyName>"
    "<m_strDeviceType>urn:schemas-upnp-org:device:QelDevice:1</m_strDeviceType>"
    "<m_strManufacturer>QEL</m_strManufacturer><m_strModelName>Test</m_strModelName>"
    "</clsQelSQLWorkspace>"
    "<INode Type=\"clsQelSQLController\"><clsQelSQLController><m_bEnabled>True</m_bEnabled>"
    "<RSQLCtrlName>Pump</RSQLCtrlName></clsQelSQLController></INode>"
    "<INode Type=\"clsQelSQLController\"><clsQelSQLController><m_bEnabled>true</m_bEnabled>"
    "<RSQLCtrlName>Valve</RSQLCtrlName></clsQelSQLController></INode>"
    "</INode></Workspace>\n";

}  // namespace servicetest
