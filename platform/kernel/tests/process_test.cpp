#include <gtest/gtest.h>

#include <dlfcn.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <thread>
#include <string>
#include <vector>

#include "qel/fault.h"
#include "qel/kernel.h"
#include "qel/wstr.h"
#include "testsupport.h"

namespace {

std::string SelfExe() { return std::filesystem::read_symlink("/proc/self/exe").string(); }

TEST(ModuleFileName, ProgramPathFromNullAndFromItsInstanceHandle) {
  WCHAR path[MAX_PATH];
  DWORD n = GetModuleFileNameW(nullptr, path, MAX_PATH);
  ASSERT_GT(n, 0u);
  EXPECT_EQ(qel::ToUtf8(path), SelfExe());
  EXPECT_EQ(n, qel::WLen(path));

  HMODULE self = GetModuleHandleW(nullptr);
  ASSERT_NE(self, nullptr);
  WCHAR again[MAX_PATH];
  ASSERT_EQ(GetModuleFileNameW(self, again, MAX_PATH), n);
  EXPECT_EQ(std::u16string(again), std::u16string(path));
}

TEST(ModuleFileName, TooSmallBufferIsCutTerminatedAndReported) {
  WCHAR full[MAX_PATH];
  DWORD n = GetModuleFileNameW(nullptr, full, MAX_PATH);
  ASSERT_GT(n, 4u);
  struct {
    WCHAR buf[4];
    WCHAR guard[2];
  } b;
  b.guard[0] = u'#';
  SetLastError(0);
  EXPECT_EQ(GetModuleFileNameW(nullptr, b.buf, 4), 4u);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER));
  EXPECT_EQ(b.buf[3], 0);
  EXPECT_EQ(std::u16string(b.buf), std::u16string(full, 3));
  EXPECT_EQ(b.guard[0], u'#');
  EXPECT_EQ(GetModuleFileNameW(nullptr, b.buf, 0), 0u);
}

TEST(ModuleFileName, SharedObjectsByLoadBaseAndByName) {
  // The C library is loaded in every process; dladdr gives its load base.
  Dl_info info{};
  ASSERT_NE(dladdr(reinterpret_cast<void*>(&::getpid), &info), 0);
  HMODULE libc = reinterpret_cast<HMODULE>(info.dli_fbase);
  WCHAR path[MAX_PATH];
  ASSERT_GT(GetModuleFileNameW(libc, path, MAX_PATH), 0u);
  EXPECT_TRUE(std::filesystem::equivalent(qel::ToUtf8(path), info.dli_fname));
  EXPECT_EQ(GetModuleHandleW(TEXT("libc.so.6")), libc);
  EXPECT_EQ(GetModuleHandleW(TEXT("libc")), libc);
  EXPECT_EQ(GetModuleHandleW(path), libc);

  SetLastError(0);
  EXPECT_EQ(GetModuleHandleW(TEXT("no-such-library.so")), nullptr);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_MOD_NOT_FOUND));
  EXPECT_EQ(GetModuleFileNameW(reinterpret_cast<HMODULE>(0x1000), path, MAX_PATH), 0u);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_MOD_NOT_FOUND));
}

TEST(ModuleFileName, FaultSeamGivesAnEmptyPath) {
  qel::test::ScopedStateDir state;
  qel::fault::Arm("GetModuleFileNameW", ERROR_ACCESS_DENIED);
  WCHAR path[MAX_PATH];
  EXPECT_EQ(GetModuleFileNameW(nullptr, path, MAX_PATH), 0u);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
}

TEST(ShortPath, ExistingPathIsItsOwnShortFormWithWin32Sizes) {
  qel::test::TempDir dir;
  auto file = dir.path() / "long name.txt";
  qel::test::WriteFile(file, "x");
  qel::u16 wide = qel::FromUtf8(file.string());
  WCHAR buf[MAX_PATH];
  EXPECT_EQ(GetShortPathNameW(wide.c_str(), buf, MAX_PATH), wide.size());
  EXPECT_EQ(std::u16string(buf), wide);
  EXPECT_EQ(GetShortPathNameW(wide.c_str(), nullptr, 0), wide.size() + 1);
  WCHAR small[4] = {u'#', u'#', u'#', u'#'};
  EXPECT_EQ(GetShortPathNameW(wide.c_str(), small, 4), wide.size() + 1);
  EXPECT_EQ(small[0], u'#');

  qel::u16 missing = qel::FromUtf8((dir.path() / "missing").string());
  EXPECT_EQ(GetShortPathNameW(missing.c_str(), buf, MAX_PATH), 0u);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
}

TEST(CommandLine, WithoutTheEntryItComesFromProcCmdline) {
  std::u16string cmd = GetCommandLineW();
  std::string exe = SelfExe();
  std::string name = std::filesystem::path(exe).filename().string();
  EXPECT_NE(qel::ToUtf8(cmd).find(name), std::string::npos);
  EXPECT_EQ(GetCommandLineW(), GetCommandLineW());  // one stable buffer
}

TEST(CommandLine, ArgumentsAreQuotedTheWindowsWay) {
  const char* argv[] = {"/opt/my app/qelupnp", "-Service", "with blank", "", "say \"hi\"", "tail\\ end\\"};
  qel::SetCommandLineArgs(6, argv);
  EXPECT_EQ(qel::ToUtf8(GetCommandLineW()),
            "\"/opt/my app/qelupnp\" -Service \"with blank\" \"\" \"say \\\"hi\\\"\" \"tail\\ end\\\\\"");
  const char* plain[] = {"/usr/bin/qelupnp", "-RegServer"};
  qel::SetCommandLineArgs(2, plain);
  EXPECT_EQ(qel::ToUtf8(GetCommandLineW()), "/usr/bin/qelupnp -RegServer");
}

TEST(Process, IdsAndPseudoHandles) {
  EXPECT_EQ(GetCurrentProcessId(), static_cast<DWORD>(getpid()));
  EXPECT_EQ(GetCurrentThreadId(), static_cast<DWORD>(gettid()));
  DWORD other = 0;
  std::thread([&] { other = GetCurrentThreadId(); }).join();
  EXPECT_NE(other, GetCurrentThreadId());
  EXPECT_EQ(GetCurrentProcess(), reinterpret_cast<HANDLE>(static_cast<LONG_PTR>(-1)));
  EXPECT_TRUE(CloseHandle(GetCurrentProcess()));
}

TEST(Environment, Win32SizeRulesAndMissingVariables) {
  ASSERT_TRUE(SetEnvironmentVariableW(TEXT("QEL_KERNEL_TEST_VAR"), TEXT("value")));
  WCHAR buf[16];
  EXPECT_EQ(GetEnvironmentVariableW(TEXT("QEL_KERNEL_TEST_VAR"), buf, 16), 5u);
  EXPECT_EQ(std::u16string(buf), u"value");
  EXPECT_EQ(GetEnvironmentVariableW(TEXT("QEL_KERNEL_TEST_VAR"), buf, 5), 6u);  // needs the terminator too
  EXPECT_EQ(GetEnvironmentVariableW(TEXT("QEL_KERNEL_TEST_VAR"), nullptr, 0), 6u);
  ASSERT_TRUE(SetEnvironmentVariableW(TEXT("QEL_KERNEL_TEST_VAR"), nullptr));
  EXPECT_EQ(GetEnvironmentVariableW(TEXT("QEL_KERNEL_TEST_VAR"), buf, 16), 0u);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ENVVAR_NOT_FOUND));
}

TEST(Ticks, AdvanceWithSleep) {
  ULONGLONG a = GetTickCount64();
  Sleep(20);
  ULONGLONG b = GetTickCount64();
  EXPECT_GE(b - a, 15u);
  EXPECT_EQ(static_cast<DWORD>(GetTickCount64()) - GetTickCount() < 1000u, true);
}

std::vector<int>* g_order = nullptr;
void First() { g_order->push_back(1); }
void Second() { g_order->push_back(2); }

TEST(ShutdownHooks, RunOnceInReverseOrder) {
  std::vector<int> order;
  g_order = &order;
  qel::AddShutdownHook(First);
  qel::AddShutdownHook(Second);
  qel::RunShutdownHooks();
  qel::RunShutdownHooks();
  EXPECT_EQ(order, (std::vector<int>{2, 1}));
  g_order = nullptr;
}

TEST(ExitCodeRule, SmallCodesPassLargeOnesBecome255) {
  testing::internal::CaptureStderr();
  EXPECT_EQ(qel::ExitStatusForCode(0, "qelupnp"), 0);
  EXPECT_EQ(qel::ExitStatusForCode(2, "qelupnp"), 2);
  EXPECT_EQ(qel::ExitStatusForCode(255, "qelupnp"), 255);
  EXPECT_EQ(qel::ExitStatusForCode(1063, "qelupnp-sc"), 255);
  EXPECT_EQ(qel::ExitStatusForCode(0x80070002, "qelupnp"), 255);
  std::string err = testing::internal::GetCapturedStderr();
  EXPECT_EQ(err, "qelupnp-sc: exit code 0x00000427\nqelupnp: exit code 0x80070002\n");
}

}  // namespace

namespace {

TEST(ModuleHandleEx, FromAnAddressInsideTheModule) {
  HMODULE self = nullptr;
  ASSERT_TRUE(GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                                 reinterpret_cast<LPCWSTR>(&SelfExe), &self));
  EXPECT_EQ(self, GetModuleHandleW(nullptr));
  HMODULE libc = nullptr;
  ASSERT_TRUE(GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS, reinterpret_cast<LPCWSTR>(&::getpid), &libc));
  EXPECT_EQ(libc, GetModuleHandleW(TEXT("libc.so.6")));
  HMODULE none = reinterpret_cast<HMODULE>(1);
  EXPECT_FALSE(GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS, reinterpret_cast<LPCWSTR>(8), &none));
  EXPECT_EQ(none, nullptr);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_MOD_NOT_FOUND));
  EXPECT_FALSE(GetModuleHandleExW(0, nullptr, nullptr));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
}

}  // namespace
