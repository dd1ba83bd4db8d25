// Registry store benchmarks.
//
// Each Win32 call is measured against the same work done directly on SQLite
// with a prepared statement, on the same store file with the same pragmas
// (goal: at most 2x). The Scale benchmarks run open, query and enumerate on a
// store of 100 keys and on one of 100,000 (goal: the same cost).
#include <benchmark/benchmark.h>
#include <sqlite3.h>
#include <stdlib.h>

#include <cstring>
#include <filesystem>
#include <map>
#include <string>
#include <vector>

#include "qel/statedir.h"
#include "qel/wstr.h"
#include "regstore.h"
#include "scalekeys.h"
#include "winreg.h"

namespace {

namespace fs = std::filesystem;

// One private state directory per store size, made once and removed at exit.
struct Stores {
  std::map<int, fs::path> dirs;
  ~Stores() {
    std::error_code ec;
    for (auto& [n, d] : dirs) fs::remove_all(d, ec);
  }
};
Stores g_stores;

std::string BE(std::u16string_view s) {
  std::string out;
  for (char16_t c : s) {
    char16_t f = qel::FoldCase(c);
    out.push_back(static_cast<char>(f >> 8));
    out.push_back(static_cast<char>(f & 0xFF));
  }
  return out;
}

// Switches the process to the store with `keys` keys below HKLM\SOFTWARE\Scale,
// creating it on first use.
void UseStore(int keys) {
  auto it = g_stores.dirs.find(keys);
  bool fresh = it == g_stores.dirs.end();
  if (fresh) {
    std::string templ = (fs::temp_directory_path() / "qelbench-XXXXXX").string();
    if (!mkdtemp(templ.data())) abort();
    it = g_stores.dirs.emplace(keys, templ).first;
  }
  setenv("QELUPNP_STATE_DIR", it->second.c_str(), 1);
  qel::ResetStateDirForTests();
  if (!fresh) return;
  qel::reg::Transaction tx;
  if (tx.Begin()) abort();
  AddScaleKeys(keys);
  // The key the single-call benchmarks use, with ten subkeys and ten values.
  HKEY bench = nullptr;
  RegCreateKeyExW(HKEY_LOCAL_MACHINE, u"SOFTWARE\\Bench", 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &bench, nullptr);
  const char16_t text[] = u"C:\\Program Files\\QelUPnP\\workspace.xml";
  RegSetValueExW(bench, u"DataPath", 0, REG_SZ, reinterpret_cast<const BYTE*>(text), sizeof text);
  for (int i = 0; i < 10; ++i) {
    std::u16string name = qel::FromUtf8("Sub" + std::to_string(i));
    HKEY k = nullptr;
    RegCreateKeyExW(bench, name.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &k, nullptr);
    RegCloseKey(k);
    DWORD v = static_cast<DWORD>(i);
    RegSetValueExW(bench, name.c_str(), 0, REG_DWORD, reinterpret_cast<const BYTE*>(&v), 4);
  }
  RegCloseKey(bench);
  if (tx.Commit()) abort();
}

// A second connection to the same store, with the store's own pragmas.
class Raw {
 public:
  Raw() {
    if (sqlite3_open_v2(qel::reg::StorePath().c_str(), &m_db, SQLITE_OPEN_READWRITE | SQLITE_OPEN_NOMUTEX, nullptr))
      abort();
    sqlite3_busy_timeout(m_db, 10000);
    sqlite3_exec(m_db, "PRAGMA journal_mode = WAL; PRAGMA synchronous = NORMAL; PRAGMA cache_size = -65536", nullptr, nullptr, nullptr);
  }
  ~Raw() {
    for (auto* s : m_stmts) sqlite3_finalize(s);
    sqlite3_close_v2(m_db);
  }
  sqlite3_stmt* Prepare(const char* sql) {
    sqlite3_stmt* s = nullptr;
    if (sqlite3_prepare_v3(m_db, sql, -1, SQLITE_PREPARE_PERSISTENT, &s, nullptr)) abort();
    m_stmts.push_back(s);
    return s;
  }
  std::int64_t KeyId(std::u16string_view path) {
    sqlite3_stmt* s = Prepare("SELECT id FROM keys WHERE path = ?1");
    std::string p = BE(path);
    sqlite3_bind_blob(s, 1, p.data(), static_cast<int>(p.size()), SQLITE_STATIC);
    if (sqlite3_step(s) != SQLITE_ROW) abort();
    std::int64_t id = sqlite3_column_int64(s, 0);
    sqlite3_reset(s);
    return id;
  }

 private:
  sqlite3* m_db = nullptr;
  std::vector<sqlite3_stmt*> m_stmts;
};

void QueryValue_Win32(benchmark::State& state) {
  UseStore(100);
  HKEY k = nullptr;
  RegOpenKeyExW(HKEY_LOCAL_MACHINE, u"SOFTWARE\\Bench", 0, KEY_READ, &k);
  BYTE buf[520];
  for (auto _ : state) {
    DWORD cb = sizeof buf, type;
    if (RegQueryValueExW(k, u"DataPath", nullptr, &type, buf, &cb)) state.SkipWithError("query failed");
    benchmark::DoNotOptimize(buf);
  }
  RegCloseKey(k);
}

void QueryValue_Sqlite(benchmark::State& state) {
  UseStore(100);
  Raw raw;
  std::int64_t id = raw.KeyId(u"HKEY_LOCAL_MACHINE\\SOFTWARE\\Bench");
  sqlite3_stmt* q = raw.Prepare("SELECT type, data FROM vals WHERE key = ?1 AND fold = ?2");
  std::string fold = BE(u"DataPath");
  BYTE buf[520];
  for (auto _ : state) {
    sqlite3_bind_int64(q, 1, id);
    sqlite3_bind_blob(q, 2, fold.data(), static_cast<int>(fold.size()), SQLITE_STATIC);
    if (sqlite3_step(q) != SQLITE_ROW) state.SkipWithError("query failed");
    std::memcpy(buf, sqlite3_column_blob(q, 1), static_cast<std::size_t>(sqlite3_column_bytes(q, 1)));
    sqlite3_reset(q);
    benchmark::DoNotOptimize(buf);
  }
}

void SetValue_Win32(benchmark::State& state) {
  UseStore(100);
  HKEY k = nullptr;
  RegOpenKeyExW(HKEY_LOCAL_MACHINE, u"SOFTWARE\\Bench", 0, KEY_ALL_ACCESS, &k);
  DWORD v = 0;
  for (auto _ : state) {
    ++v;
    if (RegSetValueExW(k, u"Counter", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&v), 4))
      state.SkipWithError("set failed");
  }
  RegCloseKey(k);
}

void SetValue_Sqlite(benchmark::State& state) {
  UseStore(100);
  Raw raw;
  std::int64_t id = raw.KeyId(u"HKEY_LOCAL_MACHINE\\SOFTWARE\\Bench");
  sqlite3_stmt* q = raw.Prepare(
      "INSERT INTO vals(key, name, fold, type, data, id)"
      " VALUES(?1, ?2, ?3, ?4, ?5, coalesce((SELECT max(id) FROM vals WHERE key = ?1), 0) + 1)"
      " ON CONFLICT(key, fold) DO UPDATE SET type = excluded.type, data = excluded.data");
  std::u16string name = u"Counter";
  std::string fold = BE(name);
  DWORD v = 0;
  for (auto _ : state) {
    ++v;
    sqlite3_bind_int64(q, 1, id);
    sqlite3_bind_blob(q, 2, name.data(), static_cast<int>(name.size() * 2), SQLITE_STATIC);
    sqlite3_bind_blob(q, 3, fold.data(), static_cast<int>(fold.size()), SQLITE_STATIC);
    sqlite3_bind_int64(q, 4, REG_DWORD);
    sqlite3_bind_blob(q, 5, &v, 4, SQLITE_STATIC);
    if (sqlite3_step(q) != SQLITE_DONE) state.SkipWithError("set failed");
    sqlite3_reset(q);
  }
}

void OpenQueryClose_Win32(benchmark::State& state) {
  UseStore(100);
  BYTE buf[520];
  for (auto _ : state) {
    HKEY k = nullptr;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, u"SOFTWARE\\Bench", 0, KEY_READ, &k)) state.SkipWithError("open failed");
    DWORD cb = sizeof buf;
    RegQueryValueExW(k, u"DataPath", nullptr, nullptr, buf, &cb);
    RegCloseKey(k);
    benchmark::DoNotOptimize(buf);
  }
}

void OpenQueryClose_Sqlite(benchmark::State& state) {
  UseStore(100);
  Raw raw;
  sqlite3_stmt* open = raw.Prepare("SELECT id FROM keys WHERE path = ?1");
  sqlite3_stmt* q = raw.Prepare("SELECT type, data FROM vals WHERE key = ?1 AND fold = ?2");
  std::string fold = BE(u"DataPath");
  BYTE buf[520];
  for (auto _ : state) {
    std::string path = BE(u"HKEY_LOCAL_MACHINE\\SOFTWARE\\Bench");
    sqlite3_bind_blob(open, 1, path.data(), static_cast<int>(path.size()), SQLITE_STATIC);
    if (sqlite3_step(open) != SQLITE_ROW) state.SkipWithError("open failed");
    std::int64_t id = sqlite3_column_int64(open, 0);
    sqlite3_reset(open);
    sqlite3_bind_int64(q, 1, id);
    sqlite3_bind_blob(q, 2, fold.data(), static_cast<int>(fold.size()), SQLITE_STATIC);
    if (sqlite3_step(q) == SQLITE_ROW)
      std::memcpy(buf, sqlite3_column_blob(q, 1), static_cast<std::size_t>(sqlite3_column_bytes(q, 1)));
    sqlite3_reset(q);
    benchmark::DoNotOptimize(buf);
  }
}

// Open one key among N, query its value, close.
void Scale_OpenQuery(benchmark::State& state) {
  int n = static_cast<int>(state.range(0));
  UseStore(n);
  int i = 0;
  for (auto _ : state) {
    std::u16string path = qel::FromUtf8("SOFTWARE\\Scale\\K" + std::to_string((static_cast<long long>(i++) * 7919) % n));
    HKEY k = nullptr;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, path.c_str(), 0, KEY_READ, &k)) state.SkipWithError("open failed");
    DWORD v, cb = 4;
    RegQueryValueExW(k, u"Value", nullptr, nullptr, reinterpret_cast<BYTE*>(&v), &cb);
    RegCloseKey(k);
    benchmark::DoNotOptimize(v);
  }
}

// Enumerate the ten subkeys and ten values of one key, with N keys in the store.
void Scale_EnumerateKey(benchmark::State& state) {
  UseStore(static_cast<int>(state.range(0)));
  HKEY k = nullptr;
  RegOpenKeyExW(HKEY_LOCAL_MACHINE, u"SOFTWARE\\Bench", 0, KEY_READ, &k);
  for (auto _ : state) {
    WCHAR name[256];
    for (DWORD i = 0;; ++i) {
      DWORD cch = 256;
      if (RegEnumKeyExW(k, i, name, &cch, nullptr, nullptr, nullptr, nullptr)) break;
    }
    for (DWORD i = 0;; ++i) {
      DWORD cch = 256;
      if (RegEnumValueW(k, i, name, &cch, nullptr, nullptr, nullptr, nullptr)) break;
    }
    benchmark::DoNotOptimize(name);
  }
  RegCloseKey(k);
}

// One step of enumerating the key that holds all N keys (cost per index).
void Scale_EnumerateStep(benchmark::State& state) {
  int n = static_cast<int>(state.range(0));
  UseStore(n);
  HKEY k = nullptr;
  RegOpenKeyExW(HKEY_LOCAL_MACHINE, u"SOFTWARE\\Scale", 0, KEY_READ, &k);
  DWORD i = 0;
  for (auto _ : state) {
    WCHAR name[256];
    DWORD cch = 256;
    if (RegEnumKeyExW(k, i, name, &cch, nullptr, nullptr, nullptr, nullptr)) {
      i = 0;
      continue;
    }
    ++i;
    benchmark::DoNotOptimize(name);
  }
  RegCloseKey(k);
}

}  // namespace

BENCHMARK(QueryValue_Win32);
BENCHMARK(QueryValue_Sqlite);
BENCHMARK(SetValue_Win32);
BENCHMARK(SetValue_Sqlite);
BENCHMARK(OpenQueryClose_Win32);
BENCHMARK(OpenQueryClose_Sqlite);
BENCHMARK(Scale_OpenQuery)->Arg(100)->Arg(100000);
BENCHMARK(Scale_EnumerateKey)->Arg(100)->Arg(100000);
BENCHMARK(Scale_EnumerateStep)->Arg(100)->Arg(100000);

BENCHMARK_MAIN();
