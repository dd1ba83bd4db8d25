// The store shared between processes: concurrent writers, a writer killed
// mid-write, deletion seen by another process, stores the caller may not
// write, and corrupt store files.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "qel/wstr.h"
#include "regstore.h"
#include "testsupport.h"
#include "winreg.h"

namespace {

using u16 = std::u16string;
namespace fs = std::filesystem;

LSTATUS SetDword(HKEY h, const u16& name, DWORD v) {
  return RegSetValueExW(h, name.c_str(), 0, REG_DWORD, reinterpret_cast<const BYTE*>(&v), 4);
}

LSTATUS GetDword(HKEY h, const u16& name, DWORD& v) {
  DWORD cb = 4;
  return RegQueryValueExW(h, name.c_str(), nullptr, nullptr, reinterpret_cast<BYTE*>(&v), &cb);
}

u16 Name(const char* prefix, int i) { return qel::FromUtf8(std::string(prefix) + std::to_string(i)); }

HKEY CreateKey(const char16_t* path) {
  HKEY h = nullptr;
  EXPECT_EQ(ERROR_SUCCESS, RegCreateKeyExW(HKEY_LOCAL_MACHINE, path, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &h,
                                           nullptr));
  return h;
}

// Runs `body` in a child process; returns its exit status (or -1 when it did not exit normally).
template <class F>
pid_t Spawn(F body) {
  pid_t pid = fork();
  if (pid == 0) {
    int rc = body();
    _exit(rc);
  }
  return pid;
}

int Wait(pid_t pid) {
  int status = 0;
  if (waitpid(pid, &status, 0) != pid) return -1;
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

class RegistryStore : public ::testing::Test {
 protected:
  qel::test::ScopedStateDir m_state;
  fs::path Store() const { return m_state.path() / "registry.db"; }
};

TEST_F(RegistryStore, TwoProcessesWritingAtOnceLoseNothing) {
  HKEY top = CreateKey(u"SOFTWARE\\QelShared");
  RegCloseKey(top);
  constexpr int kPerChild = 200;
  std::vector<pid_t> children;
  for (int c = 0; c < 2; ++c) {
    children.push_back(Spawn([c] {
      HKEY k = nullptr;
      if (RegCreateKeyExW(HKEY_LOCAL_MACHINE, u"SOFTWARE\\QelShared", 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &k,
                          nullptr))
        return 10;
      for (int i = 0; i < kPerChild; ++i) {
        // Both write values of one key, and both create keys below one parent.
        if (SetDword(k, Name(c ? "b" : "a", i), static_cast<DWORD>(i))) return 11;
        HKEY sub = nullptr;
        u16 path = Name("k", i % 50) + u"\\" + Name(c ? "b" : "a", i);
        if (RegCreateKeyExW(k, path.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &sub, nullptr)) return 12;
        RegCloseKey(sub);
      }
      RegCloseKey(k);
      return 0;
    }));
  }
  for (pid_t p : children) EXPECT_EQ(0, Wait(p));

  HKEY k = nullptr;
  ASSERT_EQ(ERROR_SUCCESS, RegOpenKeyExW(HKEY_LOCAL_MACHINE, u"SOFTWARE\\QelShared", 0, KEY_READ, &k));
  DWORD values = 0, subKeys = 0;
  ASSERT_EQ(ERROR_SUCCESS, RegQueryInfoKeyW(k, nullptr, nullptr, nullptr, &subKeys, nullptr, nullptr, &values,
                                            nullptr, nullptr, nullptr, nullptr));
  EXPECT_EQ(2u * kPerChild, values);
  EXPECT_EQ(50u, subKeys);
  for (int i = 0; i < kPerChild; ++i) {
    DWORD v = 0;
    ASSERT_EQ(ERROR_SUCCESS, GetDword(k, Name("a", i), v));
    EXPECT_EQ(static_cast<DWORD>(i), v);
    ASSERT_EQ(ERROR_SUCCESS, GetDword(k, Name("b", i), v));
    HKEY sub = nullptr;
    u16 path = Name("k", i % 50) + u"\\" + Name("b", i);
    ASSERT_EQ(ERROR_SUCCESS, RegOpenKeyExW(k, path.c_str(), 0, KEY_READ, &sub));
    RegCloseKey(sub);
  }
  RegCloseKey(k);
}

TEST_F(RegistryStore, KillDuringWritesKeepsEveryCommittedValue) {
  HKEY top = CreateKey(u"SOFTWARE\\QelKill");
  RegCloseKey(top);
  int fds[2];
  ASSERT_EQ(0, pipe(fds));
  pid_t child = Spawn([&] {
    close(fds[0]);
    HKEY k = nullptr;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, u"SOFTWARE\\QelKill", 0, KEY_ALL_ACCESS, &k)) return 10;
    std::vector<BYTE> blob(3000, 0x5A);  // values that span pages make torn writes likelier
    for (std::uint32_t i = 0;; ++i) {
      blob[0] = static_cast<BYTE>(i);
      if (RegSetValueExW(k, Name("v", static_cast<int>(i)).c_str(), 0, REG_BINARY, blob.data(),
                         static_cast<DWORD>(blob.size())))
        return 11;
      // Only now is the value reported as committed.
      if (write(fds[1], &i, sizeof i) != sizeof i) return 12;
    }
  });
  close(fds[1]);
  std::uint32_t last = 0, n = 0;
  bool any = false;
  while (n < 300) {
    if (read(fds[0], &n, sizeof n) != sizeof n) break;
    last = n;
    any = true;
  }
  kill(child, SIGKILL);
  // Drain what the child reported before it died.
  std::uint32_t more;
  while (read(fds[0], &more, sizeof more) == sizeof more) last = more;
  close(fds[0]);
  EXPECT_EQ(-1, Wait(child));
  ASSERT_TRUE(any);

  qel::reg::CloseStore();  // open the store afresh, as a new process would
  HKEY k = nullptr;
  ASSERT_EQ(ERROR_SUCCESS, RegOpenKeyExW(HKEY_LOCAL_MACHINE, u"SOFTWARE\\QelKill", 0, KEY_READ, &k));
  for (std::uint32_t i = 0; i <= last; ++i) {
    BYTE buf[3000];
    DWORD cb = sizeof buf;
    ASSERT_EQ(ERROR_SUCCESS, RegQueryValueExW(k, Name("v", static_cast<int>(i)).c_str(), nullptr, nullptr, buf, &cb))
        << i;
    EXPECT_EQ(3000u, cb);
    EXPECT_EQ(static_cast<BYTE>(i), buf[0]);
  }
  RegCloseKey(k);
  // The store is whole and still takes changes.
  HKEY again = CreateKey(u"SOFTWARE\\QelKill\\After");
  EXPECT_EQ(ERROR_SUCCESS, SetDword(again, u"ok", 1));
  RegCloseKey(again);
}

TEST_F(RegistryStore, KeyDeletedByAnotherProcess) {
  HKEY k = CreateKey(u"SOFTWARE\\QelGone\\Leaf");
  ASSERT_EQ(ERROR_SUCCESS, SetDword(k, u"v", 1));
  pid_t child = Spawn([] {
    return RegDeleteTreeW(HKEY_LOCAL_MACHINE, u"SOFTWARE\\QelGone") == ERROR_SUCCESS ? 0 : 1;
  });
  ASSERT_EQ(0, Wait(child));
  DWORD v;
  EXPECT_EQ(ERROR_KEY_DELETED, GetDword(k, u"v", v));
  EXPECT_EQ(ERROR_KEY_DELETED, SetDword(k, u"v", 2));
  RegCloseKey(k);
}

TEST_F(RegistryStore, ConcurrentFirstOpensSeedOnce) {
  std::vector<pid_t> children;
  for (int c = 0; c < 4; ++c)
    children.push_back(Spawn([] {
      HKEY k = nullptr;
      LSTATUS e = RegOpenKeyExW(HKEY_LOCAL_MACHINE, u"SYSTEM\\CurrentControlSet\\Services\\upnphost", 0, KEY_READ, &k);
      if (e) return 10;
      DWORD values = 0;
      e = RegQueryInfoKeyW(k, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, &values, nullptr, nullptr,
                           nullptr, nullptr);
      return e ? 11 : values == 8 ? 0 : 12;
    }));
  for (pid_t p : children) EXPECT_EQ(0, Wait(p));

  // An entry an administrator deletes stays deleted.
  HKEY k = CreateKey(u"SYSTEM\\CurrentControlSet\\Services\\upnphost");
  ASSERT_EQ(ERROR_SUCCESS, RegDeleteValueW(k, u"Description"));
  RegCloseKey(k);
  qel::reg::CloseStore();
  k = CreateKey(u"SYSTEM\\CurrentControlSet\\Services\\upnphost");
  EXPECT_EQ(ERROR_FILE_NOT_FOUND, RegQueryValueExW(k, u"Description", nullptr, nullptr, nullptr, nullptr));
  RegCloseKey(k);
}

// A caller who may not write the store still reads it, and every write is refused.
class ReadOnlyStore : public RegistryStore, public ::testing::WithParamInterface<bool> {};

TEST_P(ReadOnlyStore, ReadsWorkAndWritesAreDenied) {
  bool lockDirectory = GetParam();
  HKEY k = CreateKey(u"SOFTWARE\\QelRO");
  ASSERT_EQ(ERROR_SUCCESS, SetDword(k, u"v", 42));
  RegCloseKey(k);
  qel::reg::CloseStore();
  // Others may enter the directory; either the directory or the store file is closed to them.
  ASSERT_EQ(0, chmod(m_state.path().c_str(), lockDirectory ? 0755 : 0777));
  for (const char* suffix : {"", "-wal", "-shm"}) {
    fs::path p = Store().string() + suffix;
    if (fs::exists(p)) {
      ASSERT_EQ(0, chmod(p.c_str(), lockDirectory ? 0666 : 0644)) << p;
    }
  }
  std::string before = qel::test::ReadFile(Store());

  pid_t child = Spawn([] {
    if (setgid(65534) != 0 || setuid(65534) != 0) return 20;
    HKEY h = nullptr;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, u"SOFTWARE\\QelRO", 0, KEY_ALL_ACCESS, &h)) return 21;
    DWORD v = 0;
    if (GetDword(h, u"v", v) || v != 42) return 22;
    if (SetDword(h, u"v", 1) != ERROR_ACCESS_DENIED) return 23;
    if (RegDeleteValueW(h, u"v") != ERROR_ACCESS_DENIED) return 24;
    HKEY sub = nullptr;
    if (RegCreateKeyExW(h, u"new", 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &sub, nullptr) != ERROR_ACCESS_DENIED)
      return 25;
    if (RegDeleteTreeW(HKEY_LOCAL_MACHINE, u"SOFTWARE\\QelRO") != ERROR_ACCESS_DENIED) return 26;
    qel::reg::Transaction tx;
    if (tx.Begin() != ERROR_ACCESS_DENIED) return 27;
    return 0;
  });
  EXPECT_EQ(0, Wait(child));
  EXPECT_EQ(before, qel::test::ReadFile(Store()));
  k = CreateKey(u"SOFTWARE\\QelRO");
  DWORD v = 0;
  EXPECT_EQ(ERROR_SUCCESS, GetDword(k, u"v", v));
  EXPECT_EQ(42u, v);
  RegCloseKey(k);
}

INSTANTIATE_TEST_SUITE_P(FileOrDirectory, ReadOnlyStore, ::testing::Values(false, true));

TEST_F(RegistryStore, CorruptStoreIsReportedAndLeftAlone) {
  std::string garbage = "This is not a registry store at all, just some text that someone wrote here.\n";
  garbage += std::string(5000, 'x');
  qel::test::WriteFile(Store(), garbage);
  HKEY k = nullptr;
  EXPECT_EQ(ERROR_REGISTRY_CORRUPT, RegOpenKeyExW(HKEY_LOCAL_MACHINE, u"SOFTWARE", 0, KEY_READ, &k));
  EXPECT_EQ(ERROR_REGISTRY_CORRUPT,
            RegCreateKeyExW(HKEY_LOCAL_MACHINE, u"SOFTWARE\\X", 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &k, nullptr));
  EXPECT_EQ(ERROR_REGISTRY_CORRUPT, SetDword(HKEY_LOCAL_MACHINE, u"x", 1));
  EXPECT_EQ(garbage, qel::test::ReadFile(Store()));
  EXPECT_FALSE(fs::exists(Store().string() + "-wal"));
}

TEST_F(RegistryStore, DamagedPagesNeverCrashOrPassAsSuccess) {
  HKEY k = CreateKey(u"SOFTWARE\\QelDamage");
  for (int i = 0; i < 200; ++i) ASSERT_EQ(ERROR_SUCCESS, SetDword(k, Name("value", i), static_cast<DWORD>(i)));
  RegCloseKey(k);
  // Closing the last connection folds the WAL into the file; then everything
  // after the header page is overwritten.
  qel::reg::CloseStore();
  std::string bytes = qel::test::ReadFile(Store());
  ASSERT_GT(bytes.size(), 8192u);
  for (std::size_t i = 4096; i < bytes.size(); ++i) bytes[i] = static_cast<char>(0xA5 ^ (i & 0xFF));
  qel::test::WriteFile(Store(), bytes);
  fs::remove(Store().string() + "-wal");
  fs::remove(Store().string() + "-shm");

  HKEY h = nullptr;
  LSTATUS e = RegOpenKeyExW(HKEY_LOCAL_MACHINE, u"SOFTWARE\\QelDamage", 0, KEY_READ, &h);
  if (e == ERROR_SUCCESS) {
    DWORD v;
    e = GetDword(h, u"value5", v);
    RegCloseKey(h);
  }
  EXPECT_EQ(ERROR_REGISTRY_CORRUPT, e);
}

}  // namespace
