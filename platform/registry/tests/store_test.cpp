// The store shared between processes: concurrent writers, a writer killed
// mid-write, deletion seen by another process, stores the caller may not
// write, corrupt store files, files that stay small over many writes, and
// stores of the first layout.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sqlite3.h>
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
  if (geteuid() != 0) GTEST_SKIP() << "needs root to run a part of the test as another user";
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
    // Asking for any write right is refused at the open, as a key whose ACL
    // grants only reading is on Windows; a missing key is still not found.
    const REGSAM writeRights[] = {KEY_ALL_ACCESS, KEY_WRITE, KEY_SET_VALUE, KEY_READ | KEY_CREATE_SUB_KEY, DELETE};
    for (REGSAM sam : writeRights) {
      if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, u"SOFTWARE\\QelRO", 0, sam, &h) != ERROR_ACCESS_DENIED || h) return 30;
      if (RegCreateKeyExW(HKEY_LOCAL_MACHINE, u"SOFTWARE\\QelRO", 0, nullptr, 0, sam, nullptr, &h, nullptr) !=
          ERROR_ACCESS_DENIED)
        return 31;
    }
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, u"SOFTWARE\\QelNone", 0, KEY_WRITE, &h) != ERROR_FILE_NOT_FOUND) return 32;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, u"SOFTWARE\\QelRO", 0, KEY_READ, &h)) return 21;
    DWORD v = 0;
    if (GetDword(h, u"v", v) || v != 42) return 22;
    HKEY again = nullptr;
    if (RegOpenKeyExW(h, nullptr, 0, KEY_SET_VALUE, &again) != ERROR_ACCESS_DENIED) return 33;
    // The predefined handles carry every right; the store still refuses.
    if (SetDword(HKEY_LOCAL_MACHINE, u"v", 1) != ERROR_ACCESS_DENIED) return 23;
    if (RegDeleteValueW(HKEY_LOCAL_MACHINE, u"v") != ERROR_ACCESS_DENIED) return 24;
    HKEY sub = nullptr;
    if (RegCreateKeyExW(h, u"new", 0, nullptr, 0, KEY_READ, nullptr, &sub, nullptr) != ERROR_ACCESS_DENIED)
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

std::uintmax_t SizeOf(const fs::path& p) {
  std::error_code ec;
  auto n = fs::file_size(p, ec);
  return ec ? 0 : n;
}

TEST_F(RegistryStore, FilesStaySmallOverManyWrites) {
  fs::path wal = Store().string() + "-wal";
  std::vector<BYTE> blob(3000, 0x11);
  // One process after another, each writing once: the last close folds the
  // WAL into the store and empties it, and rewriting one value never grows
  // the store.
  std::uintmax_t first = 0;
  for (int i = 0; i < 200; ++i) {
    HKEY k = CreateKey(u"SOFTWARE\\QelSmall");
    blob[0] = static_cast<BYTE>(i);
    ASSERT_EQ(ERROR_SUCCESS, RegSetValueExW(k, u"v", 0, REG_BINARY, blob.data(), static_cast<DWORD>(blob.size())));
    RegCloseKey(k);
    qel::reg::CloseStore();
    ASSERT_EQ(0u, SizeOf(wal)) << i;
    if (i == 0) first = SizeOf(Store());
  }
  EXPECT_LE(SizeOf(Store()), first + 8192);

  // While another process keeps the store open no close can checkpoint; the
  // writers' own checkpoints keep the WAL near its limit.
  int ready[2], stop[2];
  ASSERT_EQ(0, pipe(ready));
  ASSERT_EQ(0, pipe(stop));
  pid_t holder = Spawn([&] {
    HKEY k = nullptr;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, u"SOFTWARE\\QelSmall", 0, KEY_READ, &k)) return 10;
    char c = 1;
    if (write(ready[1], &c, 1) != 1) return 11;
    return read(stop[0], &c, 1) >= 0 ? 0 : 12;
  });
  char c;
  ASSERT_EQ(1, read(ready[0], &c, 1));
  HKEY k = CreateKey(u"SOFTWARE\\QelSmall");
  std::uintmax_t largest = 0;
  for (int i = 0; i < 1500; ++i) {  // about 6 MB of changes
    blob[0] = static_cast<BYTE>(i);
    ASSERT_EQ(ERROR_SUCCESS, RegSetValueExW(k, Name("v", i % 300).c_str(), 0, REG_BINARY, blob.data(),
                                            static_cast<DWORD>(blob.size())));
    largest = std::max(largest, SizeOf(wal));
  }
  RegCloseKey(k);
  EXPECT_LE(largest, 1536u * 1024);
  ASSERT_EQ(1, write(stop[1], "x", 1));
  EXPECT_EQ(0, Wait(holder));
  for (int fd : {ready[0], ready[1], stop[0], stop[1]}) close(fd);
  qel::reg::CloseStore();
  EXPECT_EQ(0u, SizeOf(wal));
  EXPECT_LE(SizeOf(Store()), 2u * 1024 * 1024);  // 300 values of 3000 bytes, and the built-in entries
}

// Turns the values table of the store into the first layout (a rowid table
// with a name index and an order index), as stores made before kept it.
void RewriteAsFirstLayout(const fs::path& store) {
  sqlite3* db = nullptr;
  ASSERT_EQ(SQLITE_OK, sqlite3_open(store.c_str(), &db));
  int persist = 1;  // keep the -wal and -shm files, as the store does for readers
  sqlite3_file_control(db, "main", SQLITE_FCNTL_PERSIST_WAL, &persist);
  const char* sql =
      "BEGIN;"
      "DROP TRIGGER vals_ins; DROP TRIGGER vals_upd; DROP TRIGGER vals_del; DROP TRIGGER keys_del;"
      "DROP INDEX vals_order; ALTER TABLE vals RENAME TO vals_v2;"
      "CREATE TABLE vals(id INTEGER PRIMARY KEY, key INTEGER NOT NULL, name BLOB NOT NULL, fold BLOB NOT NULL,"
      " type INTEGER NOT NULL, data BLOB NOT NULL);"
      "CREATE UNIQUE INDEX vals_name ON vals(key, fold);"
      "CREATE INDEX vals_order ON vals(key);"
      "INSERT INTO vals(key, name, fold, type, data) SELECT key, name, fold, type, data FROM vals_v2 ORDER BY key, id;"
      "DROP TABLE vals_v2;"
      "CREATE TRIGGER vals_ins AFTER INSERT ON vals BEGIN UPDATE keys SET mtime = 1 WHERE id = NEW.key; END;"
      "CREATE TRIGGER vals_upd AFTER UPDATE ON vals BEGIN UPDATE keys SET mtime = 1 WHERE id = NEW.key; END;"
      "CREATE TRIGGER vals_del AFTER DELETE ON vals BEGIN UPDATE keys SET mtime = 1 WHERE id = OLD.key; END;"
      "CREATE TRIGGER keys_del AFTER DELETE ON keys BEGIN DELETE FROM vals WHERE key = OLD.id;"
      " UPDATE keys SET mtime = 1 WHERE id = OLD.parent; END;"
      "PRAGMA user_version = 1;"
      "COMMIT;";
  char* err = nullptr;
  EXPECT_EQ(SQLITE_OK, sqlite3_exec(db, sql, nullptr, nullptr, &err)) << (err ? err : "");
  sqlite3_free(err);
  sqlite3_close(db);
}

// The names of a key's values in enumeration order, joined by commas.
std::string ValueNames(HKEY k) {
  std::string names;
  for (DWORD i = 0;; ++i) {
    WCHAR name[64];
    DWORD cch = 64;
    if (RegEnumValueW(k, i, name, &cch, nullptr, nullptr, nullptr, nullptr)) break;
    names += (names.empty() ? "" : ",") + qel::ToUtf8(name);
  }
  return names;
}

TEST_F(RegistryStore, StoreOfTheFirstLayoutIsReadAndUpgraded) {
  HKEY k = CreateKey(u"SOFTWARE\\QelOld");
  for (const char16_t* name : {u"c", u"a", u"Bee"}) ASSERT_EQ(ERROR_SUCCESS, SetDword(k, name, 7));
  RegCloseKey(k);
  qel::reg::CloseStore();
  RewriteAsFirstLayout(Store());

  if (geteuid() == 0) {
    // A caller who may only read reads it as it is, and leaves it so.
    ASSERT_EQ(0, chmod(m_state.path().c_str(), 0755));
    pid_t child = Spawn([] {
      if (setgid(65534) != 0 || setuid(65534) != 0) return 20;
      HKEY h = nullptr;
      if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, u"SOFTWARE\\QelOld", 0, KEY_READ, &h)) return 21;
      DWORD v = 0;
      if (GetDword(h, u"BEE", v) || v != 7) return 22;
      return ValueNames(h) == "c,a,Bee" ? 0 : 23;
    });
    EXPECT_EQ(0, Wait(child));
  }

  // The first caller who may write upgrades it, keeping every value and its order.
  k = CreateKey(u"SOFTWARE\\QelOld");
  EXPECT_EQ("c,a,Bee", ValueNames(k));
  ASSERT_EQ(ERROR_SUCCESS, SetDword(k, u"d", 8));
  ASSERT_EQ(ERROR_SUCCESS, SetDword(k, u"A", 9));  // an existing value keeps its place and its name
  EXPECT_EQ("c,a,Bee,d", ValueNames(k));
  DWORD v = 0;
  ASSERT_EQ(ERROR_SUCCESS, GetDword(k, u"a", v));
  EXPECT_EQ(9u, v);
  RegCloseKey(k);
  EXPECT_EQ(ERROR_SUCCESS, RegDeleteTreeW(HKEY_LOCAL_MACHINE, u"SOFTWARE\\QelOld"));
  qel::reg::CloseStore();
  sqlite3* db = nullptr;
  ASSERT_EQ(SQLITE_OK, sqlite3_open_v2(Store().c_str(), &db, SQLITE_OPEN_READONLY, nullptr));
  sqlite3_stmt* st = nullptr;
  ASSERT_EQ(SQLITE_OK, sqlite3_prepare_v2(db, "PRAGMA user_version", -1, &st, nullptr));
  ASSERT_EQ(SQLITE_ROW, sqlite3_step(st));
  EXPECT_EQ(2, sqlite3_column_int(st, 0));
  sqlite3_finalize(st);
  sqlite3_close(db);
}

}  // namespace
