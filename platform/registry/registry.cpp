// The Win32 registry functions over the SQLite store.
//
// Store layout: table `keys` (one row per key, with its parent, its name as
// given, its folded name and its folded full path, each UTF-16; folded names
// are big-endian so that byte order is case-insensitive alphabetical order)
// and table `vals` (one row per value, clustered on its key and folded name,
// so that reading a value is one search; `id` gives creation order within the
// key). Indexes on keys(path), keys(parent, fold) and vals(key, id) make every
// lookup and enumeration step independent of the store's size.
//
// Durability: WAL with synchronous=NORMAL. Each commit is written to the WAL
// file before the call returns, so a process killed at any point keeps every
// change that was reported done, and the store always opens consistent. Only a
// power cut can lose the last commits (the WAL is not fsync'ed per commit), as
// a Windows hive that was not flushed yet; in exchange a change costs
// microseconds instead of a disk flush.
#include <sqlite3.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <filesystem>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <unordered_map>
#include <vector>

#include "qel/builtins.h"
#include "qel/fault.h"
#include "qel/statedir.h"
#include "qel/wstr.h"
#include "regstore.h"
#include "store.h"
#include "winreg.h"

namespace qel::reg {
namespace {

using detail::Connection;
using detail::Stmt;
using detail::StmtPtr;
namespace fs = std::filesystem;

constexpr int kBusyTimeoutMs = 10000;
constexpr std::size_t kMaxKeyNameChars = 255;
constexpr std::size_t kMaxValueNameChars = 16383;
constexpr int kSchemaVersion = 2;
// The WAL is checkpointed into the store once it holds 256 pages (1 MiB)
// and cut back to 1 MiB after each reset.
const char* const kWalPragmas = "PRAGMA wal_autocheckpoint = 256; PRAGMA journal_size_limit = 1048576";

#define QEL_NOW "CAST((julianday('now') - 2305813.5) * 864000000000 AS INTEGER)"

// The values table, its order index and the triggers that keep each key's
// last-write time; new stores and the upgrade of older ones share them.
#define QEL_VALS_SCHEMA                                                               \
  "CREATE TABLE vals("                                                                \
  " key INTEGER NOT NULL,"                                                            \
  " fold BLOB NOT NULL,"                                                              \
  " id INTEGER NOT NULL," /* creation order within the key */                         \
  " name BLOB NOT NULL,"                                                              \
  " type INTEGER NOT NULL,"                                                           \
  " data BLOB NOT NULL,"                                                              \
  " PRIMARY KEY(key, fold)) WITHOUT ROWID;"                                           \
  "CREATE UNIQUE INDEX vals_order ON vals(key, id);"                                  \
  "CREATE TRIGGER vals_ins AFTER INSERT ON vals BEGIN"                                \
  " UPDATE keys SET mtime = " QEL_NOW " WHERE id = NEW.key; END;"                     \
  "CREATE TRIGGER vals_upd AFTER UPDATE ON vals BEGIN"                                \
  " UPDATE keys SET mtime = " QEL_NOW " WHERE id = NEW.key; END;"                     \
  "CREATE TRIGGER vals_del AFTER DELETE ON vals BEGIN"                                \
  " UPDATE keys SET mtime = " QEL_NOW " WHERE id = OLD.key; END;"                     \
  "CREATE TRIGGER keys_ins AFTER INSERT ON keys BEGIN"                                \
  " UPDATE keys SET mtime = " QEL_NOW " WHERE id = NEW.parent; END;"                  \
  "CREATE TRIGGER keys_del AFTER DELETE ON keys BEGIN"                                \
  " DELETE FROM vals WHERE key = OLD.id;"                                             \
  " UPDATE keys SET mtime = " QEL_NOW " WHERE id = OLD.parent; END;"

const char* const kSchema =
    "CREATE TABLE keys("
    " id INTEGER PRIMARY KEY AUTOINCREMENT,"  // never reused: a stale handle never finds a new key
    " parent INTEGER NOT NULL,"
    " name BLOB NOT NULL,"
    " fold BLOB NOT NULL,"
    " path BLOB NOT NULL,"
    " fixed INTEGER NOT NULL DEFAULT 0,"  // roots and the keys predefined handles stand for
    " mtime INTEGER NOT NULL);"
    "CREATE UNIQUE INDEX keys_path ON keys(path);"
    "CREATE UNIQUE INDEX keys_child ON keys(parent, fold);" QEL_VALS_SCHEMA;

// Stores of the first layout kept values in a rowid table with two indexes,
// so that reading a value searched an index and then the table. The upgrade
// keeps every value and its enumeration order (the old rowid).
const char* const kUpgradeFrom1 =
    "DROP TRIGGER IF EXISTS keys_ins; DROP TRIGGER IF EXISTS keys_del; DROP TRIGGER IF EXISTS vals_ins;"
    "DROP TRIGGER IF EXISTS vals_upd; DROP TRIGGER IF EXISTS vals_del;"
    "DROP INDEX IF EXISTS vals_name; DROP INDEX IF EXISTS vals_order;"
    "ALTER TABLE vals RENAME TO vals_v1;" QEL_VALS_SCHEMA
    "INSERT INTO vals(key, fold, id, name, type, data) SELECT key, fold, id, name, type, data FROM vals_v1;"
    "DROP TABLE vals_v1;";

const char* const kSqlText[detail::kSqlCount] = {
    /* kKeyById */ "SELECT id FROM keys WHERE id = ?1",
    /* kKeyByPath */ "SELECT id FROM keys WHERE path = ?1",
    /* kOpenChild */ "SELECT (SELECT id FROM keys WHERE id = ?1), (SELECT id FROM keys WHERE path = ?2)",
    /* kQueryValue */ "SELECT type, data, name FROM vals WHERE key = ?1 AND fold = ?2",
    /* kSetValue */
    "INSERT INTO vals(key, name, fold, type, data, id)"
    " SELECT ?1, ?2, ?3, ?4, ?5, coalesce((SELECT max(id) FROM vals WHERE key = ?1), 0) + 1"
    " WHERE EXISTS(SELECT 1 FROM keys WHERE id = ?1)"
    " ON CONFLICT(key, fold) DO UPDATE SET type = excluded.type, data = excluded.data",
    /* kDeleteValue */ "DELETE FROM vals WHERE key = ?1 AND fold = ?2",
    /* kInsertKey */
    "INSERT INTO keys(parent, name, fold, path, fixed, mtime) VALUES(?1, ?2, ?3, ?4, ?5, " QEL_NOW ")",
    /* kKeyState */ "SELECT fixed, EXISTS(SELECT 1 FROM keys c WHERE c.parent = keys.id) FROM keys WHERE id = ?1",
    /* kDeleteKey */ "DELETE FROM keys WHERE id = ?1",
    /* kSubtreeFixed */ "SELECT 1 FROM keys WHERE path > ?1 AND path < ?2 AND fixed <> 0 LIMIT 1",
    /* kDeleteSubtree */ "DELETE FROM keys WHERE path > ?1 AND path < ?2",
    /* kDeleteAllValues */ "DELETE FROM vals WHERE key = ?1",
    /* kEnumKeyOffset */ "SELECT name, fold, mtime FROM keys WHERE parent = ?1 ORDER BY fold LIMIT 1 OFFSET ?2",
    /* kEnumKeyAfter */
    "SELECT name, fold, mtime FROM keys WHERE parent = ?1 AND fold > ?2 ORDER BY fold LIMIT 1",
    /* kEnumValOffset */ "SELECT id, name, type, data FROM vals WHERE key = ?1 ORDER BY id LIMIT 1 OFFSET ?2",
    /* kEnumValAfter */ "SELECT id, name, type, data FROM vals WHERE key = ?1 AND id > ?2 ORDER BY id LIMIT 1",
    /* kInfoKeys */ "SELECT count(*), coalesce(max(length(name)), 0) FROM keys WHERE parent = ?1",
    /* kInfoVals */
    "SELECT count(*), coalesce(max(length(name)), 0), coalesce(max(length(data)), 0) FROM vals WHERE key = ?1",
    /* kMtime */ "SELECT mtime FROM keys WHERE id = ?1",
    /* kParentName */ "SELECT parent, name FROM keys WHERE id = ?1",
    /* kDataVersion */ "PRAGMA data_version",
    /* kBegin */ "BEGIN IMMEDIATE",
    /* kCommit */ "COMMIT",
    /* kRollback */ "ROLLBACK",
    /* kSavepoint */ "SAVEPOINT qel_change",
    /* kRelease */ "RELEASE qel_change",
    /* kRollbackTo */ "ROLLBACK TO qel_change",
    /* kBeginRead */ "BEGIN",
    /* kCommitRead */ "COMMIT",
};

// ---------------------------------------------------------------------------
// Names and paths

std::string_view NameBytes(u16view s) { return {reinterpret_cast<const char*>(s.data()), s.size() * 2}; }

u16 NameFromBytes(std::string_view b) {
  u16 out(b.size() / 2, u'\0');
  if (!out.empty()) std::memcpy(out.data(), b.data(), out.size() * 2);
  return out;
}

void AppendFoldBE(std::string& out, u16view s) {
  for (char16_t c : s) {
    char16_t f = FoldCase(c);
    out.push_back(static_cast<char>(f >> 8));
    out.push_back(static_cast<char>(f & 0xFF));
  }
}

std::string FoldBE(u16view s) {
  std::string out;
  out.reserve(s.size() * 2);
  AppendFoldBE(out, s);
  return out;
}

std::string ChildPath(std::string_view parent, u16view name) {
  std::string out(parent);
  out.push_back('\0');
  out.push_back('\\');
  AppendFoldBE(out, name);
  return out;
}

// Splits a subkey path into its names. Trailing separators are ignored as on
// Windows; a leading or doubled separator is a malformed path.
LSTATUS SplitSubKey(LPCWSTR lpSubKey, std::vector<u16view>& parts) {
  parts.clear();
  u16view s = WView(lpSubKey);
  while (!s.empty() && s.back() == u'\\') s.remove_suffix(1);
  if (s.empty()) return ERROR_SUCCESS;
  if (s.front() == u'\\') return ERROR_BAD_PATHNAME;
  std::size_t pos = 0;
  while (true) {
    std::size_t end = s.find(u'\\', pos);
    u16view part = s.substr(pos, end == u16view::npos ? u16view::npos : end - pos);
    if (part.empty()) return ERROR_BAD_PATHNAME;
    if (part.size() > kMaxKeyNameChars) return ERROR_INVALID_PARAMETER;
    parts.push_back(part);
    if (end == u16view::npos) break;
    pos = end + 1;
  }
  return ERROR_SUCCESS;
}

// ---------------------------------------------------------------------------
// Error codes

LSTATUS MapSqlite(int rc) {
  switch (rc & 0xFF) {
    case SQLITE_OK:
    case SQLITE_ROW:
    case SQLITE_DONE:
      return ERROR_SUCCESS;
    case SQLITE_READONLY:
    case SQLITE_PERM:
    case SQLITE_AUTH:
      return ERROR_ACCESS_DENIED;
    case SQLITE_NOMEM:
    case SQLITE_TOOBIG:
      return ERROR_OUTOFMEMORY;
    case SQLITE_FULL:
      return ERROR_DISK_FULL;
    case SQLITE_BUSY:
    case SQLITE_LOCKED:
      return ERROR_BUSY;
    case SQLITE_IOERR:
    case SQLITE_CANTOPEN:
    case SQLITE_PROTOCOL:
      return ERROR_REGISTRY_IO_FAILED;
    default:  // SQLITE_CORRUPT, SQLITE_NOTADB, a schema that is not ours, ...
      return ERROR_REGISTRY_CORRUPT;
  }
}

// ---------------------------------------------------------------------------
// Key objects and handles

struct Cursor {
  std::int64_t key = 0;
  DWORD index = 0;
  bool valid = false;
  std::string lastFold;   // subkeys: folded name at `index`
  std::int64_t lastId = 0;  // values: rowid at `index`
  std::int64_t changes = 0;
  std::int64_t version = 0;
};

struct KeyObj {
  std::int64_t id = 0;  // 0 for a predefined handle that stands for another key
  std::string path;     // folded full path, UTF-16BE
  REGSAM sam = 0;
  int predefined = -1;  // index of the predefined handle, or -1
  bool empty = false;   // HKEY_PERFORMANCE_DATA and HKEY_DYN_DATA: hold nothing
  Cursor sub, val;
};

constexpr ULONG_PTR kPredefinedBase = 0x80000000;
constexpr int kHKCR = 0, kHKCU = 1, kHKLM = 2, kHKU = 3, kHKPD = 4, kHKCC = 5, kHKDD = 6;
constexpr std::int64_t kRootHKLM = 1, kRootHKU = 2;

int PredefinedIndex(HKEY h) {
  auto v = reinterpret_cast<ULONG_PTR>(h);
  return v >= kPredefinedBase && v <= kPredefinedBase + 6 ? static_cast<int>(v - kPredefinedBase) : -1;
}

const u16view kRootName[2] = {u"HKEY_LOCAL_MACHINE", u"HKEY_USERS"};
const u16view kClassesPath = u"SOFTWARE\\Classes";
const u16view kConfigPath = u"SYSTEM\\CurrentControlSet\\Hardware Profiles\\Current";

std::string RootPath(int root) { return FoldBE(kRootName[root]); }

std::vector<u16view> SplitFixed(u16view path) {
  std::vector<u16view> parts;
  std::size_t pos = 0;
  while (pos <= path.size()) {
    std::size_t end = path.find(u'\\', pos);
    if (end == u16view::npos) end = path.size();
    parts.push_back(path.substr(pos, end - pos));
    pos = end + 1;
  }
  return parts;
}

std::string PathBelow(int root, u16view sub) {
  std::string p = RootPath(root);
  for (auto part : SplitFixed(sub)) p = ChildPath(p, part);
  return p;
}

u16 CurrentUserName() {
  std::string uid = std::to_string(static_cast<unsigned long>(geteuid()));
  return u16(uid.begin(), uid.end());
}

struct HandleTable {
  std::mutex lock;
  std::unordered_map<ULONG_PTR, std::shared_ptr<KeyObj>> map;
  ULONG_PTR next = 0x1000;
  std::shared_ptr<KeyObj> predefined[7];
};

HandleTable& Handles() {
  static auto* t = new HandleTable;  // never destroyed: handles may be closed during exit
  return *t;
}

std::shared_ptr<KeyObj> MakePredefined(int i) {
  auto k = std::make_shared<KeyObj>();
  k->predefined = i;
  k->sam = KEY_ALL_ACCESS;
  switch (i) {
    case kHKLM:
      k->id = kRootHKLM;
      k->path = RootPath(0);
      break;
    case kHKU:
      k->id = kRootHKU;
      k->path = RootPath(1);
      break;
    case kHKCR:
      k->path = PathBelow(0, kClassesPath);
      break;
    case kHKCC:
      k->path = PathBelow(0, kConfigPath);
      break;
    case kHKCU:
      break;  // depends on the caller's identity, resolved at each use
    default:
      k->empty = true;
  }
  return k;
}

LSTATUS FindHandle(HKEY h, std::shared_ptr<KeyObj>& out) {
  if (!h) return ERROR_INVALID_HANDLE;
  HandleTable& t = Handles();
  std::lock_guard<std::mutex> g(t.lock);
  int pre = PredefinedIndex(h);
  if (pre >= 0) {
    if (!t.predefined[pre]) t.predefined[pre] = MakePredefined(pre);
    out = t.predefined[pre];
    return ERROR_SUCCESS;
  }
  auto it = t.map.find(reinterpret_cast<ULONG_PTR>(h));
  if (it == t.map.end()) return ERROR_INVALID_HANDLE;
  out = it->second;
  return ERROR_SUCCESS;
}

HKEY NewHandle(std::shared_ptr<KeyObj> k) {
  HandleTable& t = Handles();
  std::lock_guard<std::mutex> g(t.lock);
  ULONG_PTR v = t.next;
  t.next += 4;
  t.map.emplace(v, std::move(k));
  return reinterpret_cast<HKEY>(v);
}

// The rights that change a key, its values, its subkeys or its security.
constexpr REGSAM kWriteRights = KEY_SET_VALUE | KEY_CREATE_SUB_KEY | KEY_CREATE_LINK | DELETE | WRITE_DAC | WRITE_OWNER;

REGSAM NormalizeSam(REGSAM sam) {
  if (sam & (GENERIC_ALL | MAXIMUM_ALLOWED)) sam |= KEY_ALL_ACCESS;
  if (sam & GENERIC_READ) sam |= KEY_READ;
  if (sam & GENERIC_WRITE) sam |= KEY_WRITE;
  if (sam & GENERIC_EXECUTE) sam |= KEY_EXECUTE;
  return sam & ~static_cast<REGSAM>(GENERIC_ALL | GENERIC_READ | GENERIC_WRITE | GENERIC_EXECUTE | MAXIMUM_ALLOWED |
                                    KEY_WOW64_32KEY | KEY_WOW64_64KEY);
}

// ---------------------------------------------------------------------------
// The process's connection

std::recursive_mutex& StoreLock() {
  static auto* m = new std::recursive_mutex;
  return *m;
}
std::unique_ptr<Connection> g_conn;
// Connections inherited across fork() are never used or closed by the child:
// their locks and files belong to the parent.
std::vector<std::unique_ptr<Connection>>* g_inherited = nullptr;

int ExecSql(sqlite3* db, const char* sql) { return sqlite3_exec(db, sql, nullptr, nullptr, nullptr); }

int ReadIntPragma(sqlite3* db, const char* sql, std::int64_t& value) {
  sqlite3_stmt* raw = nullptr;
  int rc = sqlite3_prepare_v2(db, sql, -1, &raw, nullptr);
  StmtPtr s(raw);
  if (rc != SQLITE_OK) return rc;
  rc = sqlite3_step(raw);
  if (rc == SQLITE_ROW) {
    value = sqlite3_column_int64(raw, 0);
    return SQLITE_OK;
  }
  return rc == SQLITE_DONE ? SQLITE_CORRUPT : rc;
}

// Inserts one key below `parentId`; the caller holds a write transaction.
int InsertKey(Connection& c, std::int64_t parentId, std::string_view parentPath, u16view name, bool fixed,
              std::int64_t& id, std::string* pathOut);

int PrepareStmt(Connection& c, int which, sqlite3_stmt** out) {
  if (!c.stmts[which]) {
    sqlite3_stmt* raw = nullptr;
    int rc = sqlite3_prepare_v3(c.db.get(), kSqlText[which], -1, SQLITE_PREPARE_PERSISTENT, &raw, nullptr);
    if (rc != SQLITE_OK) {
      sqlite3_finalize(raw);
      return rc;
    }
    c.stmts[which].reset(raw);
  }
  *out = c.stmts[which].get();
  return SQLITE_OK;
}

int SimpleStep(Connection& c, int which) {
  sqlite3_stmt* s = nullptr;
  if (int rc = PrepareStmt(c, which, &s)) return rc;
  Stmt st(s);
  int rc = st.Step();
  return rc == SQLITE_DONE || rc == SQLITE_ROW ? SQLITE_OK : rc;
}

// Write transactions: the outermost is BEGIN IMMEDIATE (it takes the write
// lock before reading, so it never fails on a stale snapshot); inner ones,
// inside a Transaction of the caller, are savepoints.
int BeginWrite(Connection& c) {
  int rc = SimpleStep(c, c.txDepth == 0 ? detail::kBegin : detail::kSavepoint);
  if (rc == SQLITE_OK) ++c.txDepth;
  return rc;
}

int EndWrite(Connection& c, bool commit) {
  int rc = SQLITE_OK;
  if (c.txDepth == 1) {
    if (commit) rc = SimpleStep(c, detail::kCommit);
    if (!commit || rc != SQLITE_OK) SimpleStep(c, detail::kRollback);
  } else {
    if (!commit) SimpleStep(c, detail::kRollbackTo);
    rc = SimpleStep(c, detail::kRelease);
  }
  --c.txDepth;
  return rc;
}

class WriteScope {
 public:
  explicit WriteScope(Connection& c) : m_c(c) {}
  ~WriteScope() {
    if (m_open) EndWrite(m_c, false);
  }
  LSTATUS Begin() {
    if (m_c.readOnly) return ERROR_ACCESS_DENIED;
    int rc = BeginWrite(m_c);
    m_open = rc == SQLITE_OK;
    return MapSqlite(rc);
  }
  LSTATUS Commit() {
    m_open = false;
    return MapSqlite(EndWrite(m_c, true));
  }

 private:
  Connection& m_c;
  bool m_open = false;
};

int InsertKey(Connection& c, std::int64_t parentId, std::string_view parentPath, u16view name, bool fixed,
              std::int64_t& id, std::string* pathOut) {
  std::string path = ChildPath(parentPath, name);
  std::string fold = FoldBE(name);
  sqlite3_stmt* s = nullptr;
  if (int rc = PrepareStmt(c, detail::kInsertKey, &s)) return rc;
  Stmt st(s);
  st.Bind(1, parentId);
  st.Bind(2, NameBytes(name));
  st.Bind(3, fold);
  st.Bind(4, path);
  st.Bind(5, fixed ? 1 : 0);
  int rc = st.Step();
  if (rc != SQLITE_DONE) return rc;
  id = sqlite3_last_insert_rowid(c.db.get());
  if (pathOut) *pathOut = std::move(path);
  return SQLITE_OK;
}

int FindByPath(Connection& c, std::string_view path, std::int64_t& id) {
  sqlite3_stmt* s = nullptr;
  if (int rc = PrepareStmt(c, detail::kKeyByPath, &s)) return rc;
  Stmt st(s);
  st.Bind(1, path);
  int rc = st.Step();
  if (rc == SQLITE_ROW) {
    id = st.Int(0);
    return SQLITE_OK;
  }
  id = 0;
  return rc == SQLITE_DONE ? SQLITE_OK : rc;
}

// Creates the missing keys of `parts` below (parentId, parentPath); the caller
// holds a write transaction. `created` tells whether the last one is new.
int CreatePath(Connection& c, std::int64_t parentId, std::string parentPath, const std::vector<u16view>& parts,
               bool fixedLast, std::int64_t& id, std::string& path, bool& created) {
  created = false;
  for (std::size_t i = 0; i < parts.size(); ++i) {
    std::string childPath = ChildPath(parentPath, parts[i]);
    std::int64_t childId = 0;
    if (int rc = FindByPath(c, childPath, childId)) return rc;
    created = childId == 0;
    if (created) {
      if (int rc = InsertKey(c, parentId, parentPath, parts[i], fixedLast && i + 1 == parts.size(), childId,
                             nullptr))
        return rc;
    }
    parentId = childId;
    parentPath = std::move(childPath);
  }
  id = parentId;
  path = std::move(parentPath);
  return SQLITE_OK;
}

int SetValueRaw(Connection& c, std::int64_t key, u16view name, DWORD type, const BYTE* data, DWORD cb) {
  sqlite3_stmt* s = nullptr;
  if (int rc = PrepareStmt(c, detail::kSetValue, &s)) return rc;
  std::string fold = FoldBE(name);
  Stmt st(s);
  st.Bind(1, key);
  st.Bind(2, NameBytes(name));
  st.Bind(3, fold);
  st.Bind(4, static_cast<std::int64_t>(type));
  st.BindBlob(5, data, cb);
  int rc = st.Step();
  return rc == SQLITE_DONE ? SQLITE_OK : rc;
}

// Creates the schema, the roots, the keys the predefined handles stand for and
// the built-in entries, all in the caller's transaction.
int CreateStore(Connection& c) {
  sqlite3* db = c.db.get();
  if (int rc = ExecSql(db, kSchema)) return rc;
  for (int root = 0; root < 2; ++root) {
    sqlite3_stmt* s = nullptr;
    if (int rc = PrepareStmt(c, detail::kInsertKey, &s)) return rc;
    Stmt st(s);
    std::string path = RootPath(root);
    st.Bind(1, 0);
    st.Bind(2, NameBytes(kRootName[root]));
    st.Bind(3, path);
    st.Bind(4, path);
    st.Bind(5, 1);
    if (int rc = st.Step(); rc != SQLITE_DONE) return rc;
  }
  if (sqlite3_last_insert_rowid(db) != kRootHKU) return SQLITE_CORRUPT;
  std::int64_t id;
  std::string path;
  bool created;
  for (u16view fixed : {kClassesPath, kConfigPath, u16view(u".DEFAULT")}) {
    bool underUsers = fixed == u".DEFAULT";
    if (int rc = CreatePath(c, underUsers ? kRootHKU : kRootHKLM, RootPath(underUsers ? 1 : 0), SplitFixed(fixed),
                            true, id, path, created))
      return rc;
  }
  for (const auto& v : builtins::StoreSeed()) {
    if (int rc = CreatePath(c, kRootHKLM, RootPath(0), SplitFixed(v.key), false, id, path, created)) return rc;
    std::vector<BYTE> data;
    if (v.type == REG_DWORD) {
      for (int i = 0; i < 4; ++i) data.push_back(static_cast<BYTE>(v.number >> (8 * i)));
    } else {
      u16 text(v.text);
      text.push_back(u'\0');
      if (v.type == REG_MULTI_SZ) text.push_back(u'\0');
      data.resize(text.size() * 2);
      std::memcpy(data.data(), text.data(), data.size());
    }
    if (int rc = SetValueRaw(c, id, v.name, v.type, data.data(), static_cast<DWORD>(data.size()))) return rc;
  }
  return ExecSql(db, ("PRAGMA user_version = " + std::to_string(kSchemaVersion)).c_str());
}

bool CallerMayWrite(const fs::path& dir, const fs::path& file, bool exists) {
  if (access(dir.c_str(), W_OK) != 0) return false;
  return !exists || access(file.c_str(), W_OK) == 0;
}

LSTATUS OpenConnection(std::unique_ptr<Connection>& out) {
  const fs::path& dir = StateDir();
  fs::path file = dir / "registry.db";
  std::error_code ec;
  bool exists = fs::exists(file, ec);
  bool writable = CallerMayWrite(dir, file, exists);
  if (!exists && !writable) return ERROR_ACCESS_DENIED;  // no store, and none may be created here

  auto c = std::make_unique<Connection>();
  c->pid = getpid();
  c->readOnly = !writable;
  sqlite3* raw = nullptr;
  int flags = (writable ? SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE : SQLITE_OPEN_READONLY) | SQLITE_OPEN_NOMUTEX;
  int rc = sqlite3_open_v2(file.c_str(), &raw, flags, nullptr);
  c->db.reset(raw);
  if (rc != SQLITE_OK) return MapSqlite(rc);
  sqlite3* db = raw;
  sqlite3_extended_result_codes(db, 1);
  sqlite3_busy_timeout(db, kBusyTimeoutMs);

  if (writable) {
    // Keep the -wal and -shm files when the last connection closes, so that
    // callers who may only read the store can still open it. With a journal
    // size limit set, the last connection to close checkpoints the WAL into
    // the store and truncates it to zero bytes; without one the kept WAL
    // would only ever grow, and every later process would replay all of it
    // when it rebuilds the WAL index.
    int persist = 1;
    sqlite3_file_control(db, "main", SQLITE_FCNTL_PERSIST_WAL, &persist);
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(kBusyTimeoutMs);
    while ((rc = ExecSql(db, "PRAGMA journal_mode = WAL")) == SQLITE_BUSY &&
           std::chrono::steady_clock::now() < deadline)
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    if (rc != SQLITE_OK) return MapSqlite(rc);
    // While another process keeps the store open (the service does, for its
    // whole run), no close can checkpoint: the writers' own checkpoints keep
    // the WAL near 1 MiB, and the limit cuts it back after each reset.
    if ((rc = ExecSql(db, kWalPragmas))) return MapSqlite(rc);
  } else {
    // A caller who may not write the store cannot checkpoint it either.
    sqlite3_db_config(db, SQLITE_DBCONFIG_NO_CKPT_ON_CLOSE, 1, nullptr);
  }
  // The page cache is filled only with the pages a process reads, so a large
  // limit costs a small store nothing and keeps a big one's lookups from
  // going back to the file (a mapped file is not used: a store file truncated
  // under a reader would crash it).
  if ((rc = ExecSql(db, "PRAGMA synchronous = NORMAL; PRAGMA cache_size = -65536"))) return MapSqlite(rc);

  std::int64_t version = 0;
  if ((rc = ReadIntPragma(db, "PRAGMA user_version", version))) return MapSqlite(rc);
  if (writable && version < kSchemaVersion) {
    // Looked at again under the write lock: another process may be creating
    // or upgrading it.
    if ((rc = BeginWrite(*c))) return MapSqlite(rc);
    rc = ReadIntPragma(db, "PRAGMA user_version", version);
    if (rc == SQLITE_OK && version == 0) {
      std::int64_t objects = 0;
      rc = ReadIntPragma(db, "SELECT count(*) FROM sqlite_master", objects);
      if (rc == SQLITE_OK && objects != 0) rc = SQLITE_NOTADB;  // some other database: leave it alone
      if (rc == SQLITE_OK) rc = CreateStore(*c);
      if (rc == SQLITE_OK) version = kSchemaVersion;
    } else if (rc == SQLITE_OK && version == 1) {
      rc = ExecSql(db, kUpgradeFrom1);
      if (rc == SQLITE_OK) rc = ExecSql(db, ("PRAGMA user_version = " + std::to_string(kSchemaVersion)).c_str());
      if (rc == SQLITE_OK) version = kSchemaVersion;
    }
    int end = EndWrite(*c, rc == SQLITE_OK);
    if (rc == SQLITE_OK) rc = end;
    if (rc != SQLITE_OK) return MapSqlite(rc);
  }
  if (version == 0) return ERROR_ACCESS_DENIED;  // never initialised, and this caller may not do it
  // A caller who may only read reads a store of the first layout as it is:
  // every statement that reads runs unchanged on it.
  if (version != kSchemaVersion && !(version == 1 && !writable)) return ERROR_REGISTRY_CORRUPT;
  out = std::move(c);
  return ERROR_SUCCESS;
}

// Holds the store lock and the process's connection for one registry call.
class Session {
 public:
  Session() : m_guard(StoreLock()) {}
  LSTATUS Open() {
    if (g_conn && g_conn->pid != getpid()) {
      if (!g_inherited) g_inherited = new std::vector<std::unique_ptr<Connection>>;
      for (auto& s : g_conn->stmts) s.release();
      g_conn->db.release();
      g_inherited->push_back(std::move(g_conn));
    }
    if (!g_conn) {
      if (LSTATUS e = OpenConnection(g_conn)) return e;
    }
    c = g_conn.get();
    return ERROR_SUCCESS;
  }
  sqlite3_stmt* Get(int which, LSTATUS& err) {
    sqlite3_stmt* s = nullptr;
    int rc = PrepareStmt(*c, which, &s);
    err = MapSqlite(rc);
    return rc == SQLITE_OK ? s : nullptr;
  }

  // The store id of the key behind `k` (predefined aliases resolved, and the
  // current user's key created on first use when the store is writable).
  LSTATUS IdOf(KeyObj& k, std::int64_t& id) {
    if (k.id) {
      id = k.id;
      return ERROR_SUCCESS;
    }
    if (k.predefined < 0) return ERROR_INVALID_HANDLE;
    if (k.predefined == kHKCU) k.path = ChildPath(RootPath(1), CurrentUserName());
    std::int64_t& cached = c->aliasIds[k.predefined];
    if (cached) {
      id = cached;
      return ERROR_SUCCESS;
    }
    if (int rc = FindByPath(*c, k.path, cached)) return MapSqlite(rc);
    if (!cached && k.predefined == kHKCU && !c->readOnly) {
      WriteScope w(*c);
      if (LSTATUS e = w.Begin()) return e;
      std::string path;
      bool created;
      std::vector<u16view> parts;
      u16 user = CurrentUserName();
      parts.push_back(user);
      if (int rc = CreatePath(*c, kRootHKU, RootPath(1), parts, true, cached, path, created)) {
        cached = 0;
        return MapSqlite(rc);
      }
      if (LSTATUS e = w.Commit()) {
        cached = 0;
        return e;
      }
    }
    if (!cached) return ERROR_FILE_NOT_FOUND;
    id = cached;
    return ERROR_SUCCESS;
  }

  LSTATUS KeyExists(std::int64_t id, bool& exists) {
    LSTATUS e;
    sqlite3_stmt* s = Get(detail::kKeyById, e);
    if (!s) return e;
    Stmt st(s);
    st.Bind(1, id);
    int rc = st.Step();
    exists = rc == SQLITE_ROW;
    return rc == SQLITE_ROW || rc == SQLITE_DONE ? ERROR_SUCCESS : MapSqlite(rc);
  }

  Connection* c = nullptr;

 private:
  std::lock_guard<std::recursive_mutex> m_guard;
};

// A consistent read of several statements (enumeration), unless the caller's
// transaction already gives one.
class ReadScope {
 public:
  explicit ReadScope(Connection& c) : m_c(c) {
    if (c.txDepth == 0) m_open = SimpleStep(c, detail::kBeginRead) == SQLITE_OK;
  }
  ~ReadScope() {
    if (m_open) SimpleStep(m_c, detail::kCommitRead);
  }

 private:
  Connection& m_c;
  bool m_open = false;
};

std::int64_t NowFiletime() {
  using namespace std::chrono;
  auto since1970 = duration_cast<nanoseconds>(system_clock::now().time_since_epoch()).count() / 100;
  return since1970 + 116444736000000000LL;
}

void PutFiletime(PFILETIME ft, std::int64_t v) {
  if (!ft) return;
  ft->dwLowDateTime = static_cast<DWORD>(v & 0xFFFFFFFF);
  ft->dwHighDateTime = static_cast<DWORD>(static_cast<std::uint64_t>(v) >> 32);
}

bool ValueNameTooLong(LPCWSTR name) { return WLen(name) > kMaxValueNameChars; }

// Opens or creates a key below `hKey`; the shared body of RegOpenKeyExW and RegCreateKeyExW.
LSTATUS OpenOrCreate(HKEY hKey, LPCWSTR lpSubKey, REGSAM sam, bool create, PHKEY phkResult, LPDWORD disposition) {
  std::shared_ptr<KeyObj> parent;
  if (LSTATUS e = FindHandle(hKey, parent)) return e;
  std::vector<u16view> parts;
  if (LSTATUS e = SplitSubKey(lpSubKey, parts)) return e;
  sam = NormalizeSam(sam);

  if (parent->empty) {
    if (!parts.empty()) return create ? ERROR_ACCESS_DENIED : ERROR_FILE_NOT_FOUND;
    *phkResult = hKey;
    if (disposition) *disposition = REG_OPENED_EXISTING_KEY;
    return ERROR_SUCCESS;
  }
  if (parts.empty() && parent->predefined >= 0 && !create) {
    *phkResult = hKey;  // Windows hands back the predefined handle itself
    return ERROR_SUCCESS;
  }

  Session s;
  if (LSTATUS e = s.Open()) return e;
  std::int64_t parentId;
  if (LSTATUS e = s.IdOf(*parent, parentId)) return e;

  std::string path = parent->path;
  for (auto p : parts) path = ChildPath(path, p);

  std::int64_t childId = 0;
  if (parent->predefined >= 0) {
    // The keys predefined handles stand for cannot be deleted: one lookup of
    // the path is enough.
    if (int rc = FindByPath(*s.c, path, childId)) return MapSqlite(rc);
  } else {
    LSTATUS e;
    sqlite3_stmt* q = s.Get(detail::kOpenChild, e);
    if (!q) return e;
    Stmt st(q);
    st.Bind(1, parentId);
    st.Bind(2, path);
    int rc = st.Step();
    if (rc != SQLITE_ROW) return MapSqlite(rc);
    if (st.IsNull(0)) return ERROR_KEY_DELETED;
    if (parts.empty())
      childId = parentId;
    else if (!st.IsNull(1))
      childId = st.Int(1);
  }

  // A caller who may not write the store is refused write access at the
  // open, as Windows refuses it for a key whose ACL grants only reading.
  if (s.c->readOnly && (sam & kWriteRights)) return childId || create ? ERROR_ACCESS_DENIED : ERROR_FILE_NOT_FOUND;
  DWORD disp = REG_OPENED_EXISTING_KEY;
  if (!childId) {
    if (!create) return ERROR_FILE_NOT_FOUND;
    if (s.c->readOnly) return ERROR_ACCESS_DENIED;
    if (!(parent->sam & KEY_CREATE_SUB_KEY)) return ERROR_ACCESS_DENIED;
    WriteScope w(*s.c);
    if (LSTATUS e2 = w.Begin()) return e2;
    bool exists = false;
    if (LSTATUS e2 = s.KeyExists(parentId, exists)) return e2;
    if (!exists) return ERROR_KEY_DELETED;
    bool created;
    std::string made;
    if (int rc = CreatePath(*s.c, parentId, parent->path, parts, false, childId, made, created))
      return MapSqlite(rc);
    if (LSTATUS e2 = w.Commit()) return e2;
    disp = created ? REG_CREATED_NEW_KEY : REG_OPENED_EXISTING_KEY;
  }

  auto k = std::make_shared<KeyObj>();
  k->id = childId;
  k->path = std::move(path);
  k->sam = sam;
  *phkResult = NewHandle(std::move(k));
  if (disposition) *disposition = disp;
  return ERROR_SUCCESS;
}

// Deletes the key `id` (at `path`) with everything below it, or only what is
// below it when `keepKey`; the caller holds a write transaction.
LSTATUS DeleteSubtree(Session& s, std::int64_t id, const std::string& path, bool keepKey) {
  std::string lo = path, hi = path;
  lo.push_back('\0');
  lo.push_back('\\');
  hi.push_back('\0');
  hi.push_back(']');
  LSTATUS e;
  {
    sqlite3_stmt* q = s.Get(detail::kSubtreeFixed, e);
    if (!q) return e;
    Stmt st(q);
    st.Bind(1, lo);
    st.Bind(2, hi);
    int rc = st.Step();
    if (rc == SQLITE_ROW) return ERROR_ACCESS_DENIED;
    if (rc != SQLITE_DONE) return MapSqlite(rc);
  }
  {
    sqlite3_stmt* q = s.Get(detail::kDeleteSubtree, e);
    if (!q) return e;
    Stmt st(q);
    st.Bind(1, lo);
    st.Bind(2, hi);
    if (int rc = st.Step(); rc != SQLITE_DONE) return MapSqlite(rc);
  }
  sqlite3_stmt* q = s.Get(keepKey ? detail::kDeleteAllValues : detail::kDeleteKey, e);
  if (!q) return e;
  Stmt st(q);
  st.Bind(1, id);
  int rc = st.Step();
  return rc == SQLITE_DONE ? ERROR_SUCCESS : MapSqlite(rc);
}

// Fixed-ness and whether the key has subkeys; ERROR_KEY_DELETED when it is gone.
LSTATUS KeyState(Session& s, std::int64_t id, bool& fixed, bool& hasChildren) {
  LSTATUS e;
  sqlite3_stmt* q = s.Get(detail::kKeyState, e);
  if (!q) return e;
  Stmt st(q);
  st.Bind(1, id);
  int rc = st.Step();
  if (rc == SQLITE_DONE) return ERROR_KEY_DELETED;
  if (rc != SQLITE_ROW) return MapSqlite(rc);
  fixed = st.Int(0) != 0;
  hasChildren = st.Int(1) != 0;
  return ERROR_SUCCESS;
}

// Finds the key `lpSubKey` names below the handle's key (the key itself for
// null or ""); ERROR_KEY_DELETED when the handle's key is gone.
LSTATUS FindTarget(Session& s, KeyObj& parent, LPCWSTR lpSubKey, std::int64_t& id, std::string& path) {
  std::vector<u16view> parts;
  if (LSTATUS e = SplitSubKey(lpSubKey, parts)) return e;
  std::int64_t parentId;
  if (LSTATUS e = s.IdOf(parent, parentId)) return e;
  path = parent.path;
  for (auto p : parts) path = ChildPath(path, p);
  LSTATUS e;
  sqlite3_stmt* q = s.Get(detail::kOpenChild, e);
  if (!q) return e;
  Stmt st(q);
  st.Bind(1, parentId);
  st.Bind(2, path);
  int rc = st.Step();
  if (rc != SQLITE_ROW) return MapSqlite(rc);
  if (st.IsNull(0)) return ERROR_KEY_DELETED;
  if (parts.empty()) {
    id = parentId;
    return ERROR_SUCCESS;
  }
  if (st.IsNull(1)) return ERROR_FILE_NOT_FOUND;
  id = st.Int(1);
  return ERROR_SUCCESS;
}

// Current change markers of the store, for enumeration cursors.
LSTATUS ChangeMarkers(Session& s, std::int64_t& changes, std::int64_t& version) {
  changes = sqlite3_total_changes64(s.c->db.get());
  LSTATUS e;
  sqlite3_stmt* q = s.Get(detail::kDataVersion, e);
  if (!q) return e;
  Stmt st(q);
  int rc = st.Step();
  if (rc != SQLITE_ROW) return MapSqlite(rc);
  version = st.Int(0);
  return ERROR_SUCCESS;
}

bool CursorContinues(const Cursor& cur, std::int64_t key, DWORD index, std::int64_t changes, std::int64_t version) {
  return cur.valid && cur.key == key && cur.changes == changes && cur.version == version && index == cur.index + 1;
}

// Finds the value `name` of the key behind `hKey`: `found` holds its row
// (type, data, stored name) for as long as `s` and `fold` (the folded name it
// is bound to) live. One indexed lookup; the key itself is looked at only when
// the value is not there.
LSTATUS FindValue(Session& s, HKEY hKey, LPCWSTR name, std::string& fold, std::optional<Stmt>& found) {
  std::shared_ptr<KeyObj> k;
  if (LSTATUS e = FindHandle(hKey, k)) return e;
  if (!(k->sam & KEY_QUERY_VALUE)) return ERROR_ACCESS_DENIED;
  if (k->empty || ValueNameTooLong(name)) return ERROR_FILE_NOT_FOUND;
  fold = FoldBE(WView(name));
  if (LSTATUS e = s.Open()) return e;
  std::int64_t id;
  if (LSTATUS e = s.IdOf(*k, id)) return e;
  LSTATUS e;
  sqlite3_stmt* q = s.Get(detail::kQueryValue, e);
  if (!q) return e;
  found.emplace(q);
  found->Bind(1, id);
  found->Bind(2, fold);
  int rc = found->Step();
  if (rc == SQLITE_ROW) return ERROR_SUCCESS;
  found.reset();
  if (rc != SQLITE_DONE) return MapSqlite(rc);
  bool exists = false;
  if (LSTATUS e2 = s.KeyExists(id, exists)) return e2;
  return exists ? ERROR_FILE_NOT_FOUND : ERROR_KEY_DELETED;
}

void ResetHook() { CloseStore(); }
[[maybe_unused]] const bool g_hookRegistered = (OnStateDirReset(&ResetHook), true);

}  // namespace

fs::path StorePath() { return StateDir() / "registry.db"; }

void CloseStore() {
  {
    std::lock_guard<std::recursive_mutex> g(StoreLock());
    if (g_conn && g_conn->pid != getpid()) {
      for (auto& s : g_conn->stmts) s.release();
      g_conn->db.release();
    }
    g_conn.reset();
  }
  HandleTable& t = Handles();
  std::lock_guard<std::mutex> g(t.lock);
  t.map.clear();
  for (auto& p : t.predefined) p.reset();
}

Transaction::~Transaction() {
  if (m_active) Rollback();
}

LSTATUS Transaction::Begin() {
  if (m_active) return ERROR_INVALID_PARAMETER;
  StoreLock().lock();
  Session s;
  LSTATUS e = s.Open();
  if (!e && s.c->readOnly) e = ERROR_ACCESS_DENIED;
  if (!e) e = MapSqlite(BeginWrite(*s.c));
  if (e) {
    StoreLock().unlock();
    return e;
  }
  m_active = true;
  return ERROR_SUCCESS;
}

LSTATUS Transaction::Commit() {
  if (!m_active) return ERROR_INVALID_PARAMETER;
  m_active = false;
  LSTATUS e = g_conn ? MapSqlite(EndWrite(*g_conn, true)) : ERROR_INVALID_HANDLE;
  StoreLock().unlock();
  return e;
}

void Transaction::Rollback() {
  if (!m_active) return;
  m_active = false;
  if (g_conn) EndWrite(*g_conn, false);
  StoreLock().unlock();
}

LSTATUS QueryPlans(std::vector<std::string>& plans) {
  plans.clear();
  Session s;
  if (LSTATUS e = s.Open()) return e;
  for (int i = 0; i < detail::kSqlCount; ++i) {
    std::string text = kSqlText[i];
    if (text.rfind("SELECT", 0) != 0 && text.rfind("INSERT", 0) != 0 && text.rfind("DELETE", 0) != 0) continue;
    sqlite3_stmt* raw = nullptr;
    int rc = sqlite3_prepare_v2(s.c->db.get(), ("EXPLAIN QUERY PLAN " + text).c_str(), -1, &raw, nullptr);
    StmtPtr st(raw);
    if (rc != SQLITE_OK) return MapSqlite(rc);
    while ((rc = sqlite3_step(raw)) == SQLITE_ROW)
      plans.push_back(text + ": " + reinterpret_cast<const char*>(sqlite3_column_text(raw, 3)));
    if (rc != SQLITE_DONE) return MapSqlite(rc);
  }
  return ERROR_SUCCESS;
}

LSTATUS StoredValueName(HKEY hKey, LPCWSTR lpValueName, std::u16string& name) {
  Session s;
  std::string fold;
  std::optional<Stmt> found;
  if (LSTATUS e = FindValue(s, hKey, lpValueName, fold, found)) return e;
  name = NameFromBytes(found->Blob(2));
  return ERROR_SUCCESS;
}

LSTATUS StoredPath(HKEY hKey, std::u16string& path) {
  std::shared_ptr<KeyObj> k;
  if (LSTATUS e = FindHandle(hKey, k)) return e;
  if (k->empty) {
    path = k->predefined == kHKPD ? u"HKEY_PERFORMANCE_DATA" : u"HKEY_DYN_DATA";
    return ERROR_SUCCESS;
  }
  Session s;
  if (LSTATUS e = s.Open()) return e;
  std::int64_t id;
  if (LSTATUS e = s.IdOf(*k, id)) return e;
  std::vector<u16> names;
  LSTATUS e;
  sqlite3_stmt* q = s.Get(detail::kParentName, e);
  if (!q) return e;
  while (id) {
    Stmt st(q);
    st.Bind(1, id);
    int rc = st.Step();
    if (rc == SQLITE_DONE) return ERROR_KEY_DELETED;
    if (rc != SQLITE_ROW) return MapSqlite(rc);
    names.push_back(NameFromBytes(st.Blob(1)));
    id = st.Int(0);
  }
  path.clear();
  for (auto it = names.rbegin(); it != names.rend(); ++it) {
    if (!path.empty()) path.push_back(u'\\');
    path += *it;
  }
  return ERROR_SUCCESS;
}

}  // namespace qel::reg

using namespace qel;
using namespace qel::reg;

extern "C" {

LSTATUS WINAPI RegOpenKeyExW(HKEY hKey, LPCWSTR lpSubKey, DWORD ulOptions, REGSAM samDesired, PHKEY phkResult) {
  QEL_FAULT_POINT("RegOpenKeyExW", c) {
    if (phkResult) *phkResult = nullptr;
    return static_cast<LSTATUS>(c);
  }
  if (!phkResult) return ERROR_INVALID_PARAMETER;
  *phkResult = nullptr;
  return OpenOrCreate(hKey, lpSubKey, samDesired, false, phkResult, nullptr);
}

LSTATUS WINAPI RegCreateKeyExW(HKEY hKey, LPCWSTR lpSubKey, DWORD Reserved, LPWSTR lpClass, DWORD dwOptions,
                               REGSAM samDesired, const SECURITY_ATTRIBUTES* lpSecurityAttributes,
                               PHKEY phkResult, LPDWORD lpdwDisposition) {
  QEL_FAULT_POINT("RegCreateKeyExW", c) {
    if (phkResult) *phkResult = nullptr;
    return static_cast<LSTATUS>(c);
  }
  if (!phkResult) return ERROR_INVALID_PARAMETER;
  *phkResult = nullptr;
  // REG_OPTION_VOLATILE keys are kept like any other: the store has no
  // separate memory-only part, so a volatile key also survives a restart.
  if (dwOptions & ~static_cast<DWORD>(REG_OPTION_VOLATILE | REG_OPTION_BACKUP_RESTORE | REG_OPTION_OPEN_LINK))
    return ERROR_INVALID_PARAMETER;
  return OpenOrCreate(hKey, lpSubKey, samDesired, true, phkResult, lpdwDisposition);
}

LSTATUS WINAPI RegCloseKey(HKEY hKey) {
  QEL_FAULT_POINT("RegCloseKey", c) return static_cast<LSTATUS>(c);
  if (!hKey) return ERROR_INVALID_HANDLE;
  if (PredefinedIndex(hKey) >= 0) return ERROR_SUCCESS;
  HandleTable& t = Handles();
  std::lock_guard<std::mutex> g(t.lock);
  return t.map.erase(reinterpret_cast<ULONG_PTR>(hKey)) ? ERROR_SUCCESS : ERROR_INVALID_HANDLE;
}

LSTATUS WINAPI RegQueryValueExW(HKEY hKey, LPCWSTR lpValueName, LPDWORD lpReserved, LPDWORD lpType, LPBYTE lpData,
                                LPDWORD lpcbData) {
  QEL_FAULT_POINT("RegQueryValueExW", c) return static_cast<LSTATUS>(c);
  if (lpData && !lpcbData) return ERROR_INVALID_PARAMETER;
  if (lpReserved) return ERROR_INVALID_PARAMETER;
  Session s;
  std::string fold;
  std::optional<Stmt> found;
  if (LSTATUS e = FindValue(s, hKey, lpValueName, fold, found)) return e;
  Stmt& st = *found;
  if (lpType) *lpType = static_cast<DWORD>(st.Int(0));
  std::string_view data = st.Blob(1);
  if (!lpcbData) return ERROR_SUCCESS;
  DWORD size = static_cast<DWORD>(data.size());
  if (lpData) {
    if (*lpcbData < size) {
      *lpcbData = size;
      return ERROR_MORE_DATA;
    }
    if (size) std::memcpy(lpData, data.data(), size);
  }
  *lpcbData = size;
  return ERROR_SUCCESS;
}

LSTATUS WINAPI RegSetValueExW(HKEY hKey, LPCWSTR lpValueName, DWORD Reserved, DWORD dwType, const BYTE* lpData,
                              DWORD cbData) {
  QEL_FAULT_POINT("RegSetValueExW", c) return static_cast<LSTATUS>(c);
  if (!lpData && cbData) return ERROR_INVALID_PARAMETER;
  if (ValueNameTooLong(lpValueName)) return ERROR_INVALID_PARAMETER;
  std::shared_ptr<KeyObj> k;
  if (LSTATUS e = FindHandle(hKey, k)) return e;
  if (!(k->sam & KEY_SET_VALUE) || k->empty) return ERROR_ACCESS_DENIED;
  Session s;
  if (LSTATUS e = s.Open()) return e;
  if (s.c->readOnly) return ERROR_ACCESS_DENIED;
  std::int64_t id;
  if (LSTATUS e = s.IdOf(*k, id)) return e;
  if (int rc = SetValueRaw(*s.c, id, WView(lpValueName), dwType, lpData, cbData)) return MapSqlite(rc);
  return sqlite3_changes(s.c->db.get()) ? ERROR_SUCCESS : ERROR_KEY_DELETED;
}

LSTATUS WINAPI RegDeleteValueW(HKEY hKey, LPCWSTR lpValueName) {
  QEL_FAULT_POINT("RegDeleteValueW", c) return static_cast<LSTATUS>(c);
  std::shared_ptr<KeyObj> k;
  if (LSTATUS e = FindHandle(hKey, k)) return e;
  if (!(k->sam & KEY_SET_VALUE) || k->empty) return ERROR_ACCESS_DENIED;
  if (ValueNameTooLong(lpValueName)) return ERROR_FILE_NOT_FOUND;
  std::string fold = FoldBE(WView(lpValueName));
  Session s;
  if (LSTATUS e = s.Open()) return e;
  if (s.c->readOnly) return ERROR_ACCESS_DENIED;
  std::int64_t id;
  if (LSTATUS e = s.IdOf(*k, id)) return e;
  LSTATUS e;
  sqlite3_stmt* q = s.Get(detail::kDeleteValue, e);
  if (!q) return e;
  {
    Stmt st(q);
    st.Bind(1, id);
    st.Bind(2, fold);
    if (int rc = st.Step(); rc != SQLITE_DONE) return MapSqlite(rc);
  }
  if (sqlite3_changes(s.c->db.get())) return ERROR_SUCCESS;
  bool exists = false;
  if (LSTATUS e2 = s.KeyExists(id, exists)) return e2;
  return exists ? ERROR_FILE_NOT_FOUND : ERROR_KEY_DELETED;
}

LSTATUS WINAPI RegDeleteKeyW(HKEY hKey, LPCWSTR lpSubKey) {
  QEL_FAULT_POINT("RegDeleteKeyW", c) return static_cast<LSTATUS>(c);
  if (!lpSubKey) return ERROR_INVALID_PARAMETER;
  std::shared_ptr<KeyObj> k;
  if (LSTATUS e = FindHandle(hKey, k)) return e;
  if (k->empty) return ERROR_ACCESS_DENIED;
  Session s;
  if (LSTATUS e = s.Open()) return e;
  std::int64_t id;
  std::string path;
  if (LSTATUS e = FindTarget(s, *k, lpSubKey, id, path)) return e;
  if (s.c->readOnly) return ERROR_ACCESS_DENIED;
  WriteScope w(*s.c);
  if (LSTATUS e = w.Begin()) return e;
  bool fixed, hasChildren;
  if (LSTATUS e = KeyState(s, id, fixed, hasChildren)) return e == ERROR_KEY_DELETED ? ERROR_FILE_NOT_FOUND : e;
  // A key with subkeys cannot be deleted on its own, as on Windows.
  if (fixed || hasChildren) return ERROR_ACCESS_DENIED;
  LSTATUS e;
  sqlite3_stmt* q = s.Get(detail::kDeleteKey, e);
  if (!q) return e;
  {
    Stmt st(q);
    st.Bind(1, id);
    if (int rc = st.Step(); rc != SQLITE_DONE) return MapSqlite(rc);
  }
  return w.Commit();
}

LSTATUS WINAPI RegDeleteTreeW(HKEY hKey, LPCWSTR lpSubKey) {
  QEL_FAULT_POINT("RegDeleteTreeW", c) return static_cast<LSTATUS>(c);
  std::shared_ptr<KeyObj> k;
  if (LSTATUS e = FindHandle(hKey, k)) return e;
  if (k->empty) return ERROR_ACCESS_DENIED;
  bool keepKey = WLen(lpSubKey) == 0;
  if (keepKey) {
    REGSAM need = DELETE | KEY_ENUMERATE_SUB_KEYS | KEY_QUERY_VALUE;
    if ((k->sam & need) != need) return ERROR_ACCESS_DENIED;
  }
  Session s;
  if (LSTATUS e = s.Open()) return e;
  std::int64_t id;
  std::string path;
  if (LSTATUS e = FindTarget(s, *k, lpSubKey, id, path)) return e;
  if (s.c->readOnly) return ERROR_ACCESS_DENIED;
  WriteScope w(*s.c);
  if (LSTATUS e = w.Begin()) return e;
  bool fixed, hasChildren;
  if (LSTATUS e = KeyState(s, id, fixed, hasChildren)) return e == ERROR_KEY_DELETED ? ERROR_FILE_NOT_FOUND : e;
  if (fixed && !keepKey) return ERROR_ACCESS_DENIED;
  if (LSTATUS e = DeleteSubtree(s, id, path, keepKey)) return e;
  return w.Commit();
}

LSTATUS WINAPI RegEnumKeyExW(HKEY hKey, DWORD dwIndex, LPWSTR lpName, LPDWORD lpcchName, LPDWORD lpReserved,
                             LPWSTR lpClass, LPDWORD lpcchClass, PFILETIME lpftLastWriteTime) {
  QEL_FAULT_POINT("RegEnumKeyExW", c) return static_cast<LSTATUS>(c);
  if (!lpName || !lpcchName || lpReserved) return ERROR_INVALID_PARAMETER;
  if (lpClass && !lpcchClass) return ERROR_INVALID_PARAMETER;
  std::shared_ptr<KeyObj> k;
  if (LSTATUS e = FindHandle(hKey, k)) return e;
  if (!(k->sam & KEY_ENUMERATE_SUB_KEYS)) return ERROR_ACCESS_DENIED;
  if (k->empty) return ERROR_NO_MORE_ITEMS;
  Session s;
  if (LSTATUS e = s.Open()) return e;
  std::int64_t id;
  if (LSTATUS e = s.IdOf(*k, id)) return e;
  ReadScope read(*s.c);
  std::int64_t changes, version;
  if (LSTATUS e = ChangeMarkers(s, changes, version)) return e;
  Cursor& cur = k->sub;
  bool next = CursorContinues(cur, id, dwIndex, changes, version);
  LSTATUS e;
  sqlite3_stmt* q = s.Get(next ? detail::kEnumKeyAfter : detail::kEnumKeyOffset, e);
  if (!q) return e;
  Stmt st(q);
  st.Bind(1, id);
  if (next)
    st.Bind(2, cur.lastFold);
  else
    st.Bind(2, static_cast<std::int64_t>(dwIndex));
  int rc = st.Step();
  if (rc == SQLITE_DONE) {
    bool exists = false;
    if (LSTATUS e2 = s.KeyExists(id, exists)) return e2;
    return exists ? ERROR_NO_MORE_ITEMS : ERROR_KEY_DELETED;
  }
  if (rc != SQLITE_ROW) return MapSqlite(rc);
  u16 name = NameFromBytes(st.Blob(0));
  cur = Cursor{id, dwIndex, true, std::string(st.Blob(1)), 0, changes, version};
  if (*lpcchName < name.size() + 1) return ERROR_MORE_DATA;
  std::memcpy(lpName, name.data(), name.size() * 2);
  lpName[name.size()] = u'\0';
  *lpcchName = static_cast<DWORD>(name.size());
  if (lpClass) {
    if (*lpcchClass < 1) return ERROR_MORE_DATA;
    lpClass[0] = u'\0';
  }
  if (lpcchClass) *lpcchClass = 0;
  PutFiletime(lpftLastWriteTime, st.Int(2));
  return ERROR_SUCCESS;
}

LSTATUS WINAPI RegEnumValueW(HKEY hKey, DWORD dwIndex, LPWSTR lpValueName, LPDWORD lpcchValueName,
                             LPDWORD lpReserved, LPDWORD lpType, LPBYTE lpData, LPDWORD lpcbData) {
  QEL_FAULT_POINT("RegEnumValueW", c) return static_cast<LSTATUS>(c);
  if (!lpValueName || !lpcchValueName || lpReserved) return ERROR_INVALID_PARAMETER;
  if (lpData && !lpcbData) return ERROR_INVALID_PARAMETER;
  std::shared_ptr<KeyObj> k;
  if (LSTATUS e = FindHandle(hKey, k)) return e;
  if (!(k->sam & KEY_QUERY_VALUE)) return ERROR_ACCESS_DENIED;
  if (k->empty) return ERROR_NO_MORE_ITEMS;
  Session s;
  if (LSTATUS e = s.Open()) return e;
  std::int64_t id;
  if (LSTATUS e = s.IdOf(*k, id)) return e;
  ReadScope read(*s.c);
  std::int64_t changes, version;
  if (LSTATUS e = ChangeMarkers(s, changes, version)) return e;
  Cursor& cur = k->val;
  bool next = CursorContinues(cur, id, dwIndex, changes, version);
  LSTATUS e;
  sqlite3_stmt* q = s.Get(next ? detail::kEnumValAfter : detail::kEnumValOffset, e);
  if (!q) return e;
  Stmt st(q);
  st.Bind(1, id);
  st.Bind(2, next ? cur.lastId : static_cast<std::int64_t>(dwIndex));
  int rc = st.Step();
  if (rc == SQLITE_DONE) {
    bool exists = false;
    if (LSTATUS e2 = s.KeyExists(id, exists)) return e2;
    return exists ? ERROR_NO_MORE_ITEMS : ERROR_KEY_DELETED;
  }
  if (rc != SQLITE_ROW) return MapSqlite(rc);
  cur = Cursor{id, dwIndex, true, {}, st.Int(0), changes, version};
  u16 name = NameFromBytes(st.Blob(1));
  if (*lpcchValueName < name.size() + 1) return ERROR_MORE_DATA;
  std::memcpy(lpValueName, name.data(), name.size() * 2);
  lpValueName[name.size()] = u'\0';
  *lpcchValueName = static_cast<DWORD>(name.size());
  if (lpType) *lpType = static_cast<DWORD>(st.Int(2));
  if (lpcbData) {
    std::string_view data = st.Blob(3);
    DWORD size = static_cast<DWORD>(data.size());
    if (lpData) {
      if (*lpcbData < size) {
        *lpcbData = size;
        return ERROR_MORE_DATA;
      }
      if (size) std::memcpy(lpData, data.data(), size);
    }
    *lpcbData = size;
  }
  return ERROR_SUCCESS;
}

LSTATUS WINAPI RegQueryInfoKeyW(HKEY hKey, LPWSTR lpClass, LPDWORD lpcchClass, LPDWORD lpReserved,
                                LPDWORD lpcSubKeys, LPDWORD lpcbMaxSubKeyLen, LPDWORD lpcbMaxClassLen,
                                LPDWORD lpcValues, LPDWORD lpcbMaxValueNameLen, LPDWORD lpcbMaxValueLen,
                                LPDWORD lpcbSecurityDescriptor, PFILETIME lpftLastWriteTime) {
  QEL_FAULT_POINT("RegQueryInfoKeyW", c) return static_cast<LSTATUS>(c);
  if (lpReserved || (lpClass && !lpcchClass)) return ERROR_INVALID_PARAMETER;
  std::shared_ptr<KeyObj> k;
  if (LSTATUS e = FindHandle(hKey, k)) return e;
  if (!(k->sam & KEY_QUERY_VALUE)) return ERROR_ACCESS_DENIED;
  DWORD subKeys = 0, maxSub = 0, values = 0, maxName = 0, maxData = 0;
  std::int64_t mtime = NowFiletime();
  if (!k->empty) {
    Session s;
    if (LSTATUS e = s.Open()) return e;
    std::int64_t id;
    if (LSTATUS e = s.IdOf(*k, id)) return e;
    ReadScope read(*s.c);
    LSTATUS e;
    {
      sqlite3_stmt* q = s.Get(detail::kMtime, e);
      if (!q) return e;
      Stmt st(q);
      st.Bind(1, id);
      int rc = st.Step();
      if (rc == SQLITE_DONE) return ERROR_KEY_DELETED;
      if (rc != SQLITE_ROW) return MapSqlite(rc);
      mtime = st.Int(0);
    }
    {
      sqlite3_stmt* q = s.Get(detail::kInfoKeys, e);
      if (!q) return e;
      Stmt st(q);
      st.Bind(1, id);
      int rc = st.Step();
      if (rc != SQLITE_ROW) return MapSqlite(rc);
      subKeys = static_cast<DWORD>(st.Int(0));
      maxSub = static_cast<DWORD>(st.Int(1) / 2);
    }
    {
      sqlite3_stmt* q = s.Get(detail::kInfoVals, e);
      if (!q) return e;
      Stmt st(q);
      st.Bind(1, id);
      int rc = st.Step();
      if (rc != SQLITE_ROW) return MapSqlite(rc);
      values = static_cast<DWORD>(st.Int(0));
      maxName = static_cast<DWORD>(st.Int(1) / 2);
      maxData = static_cast<DWORD>(st.Int(2));
    }
  }
  if (lpClass) {
    if (*lpcchClass < 1) {
      *lpcchClass = 0;
      return ERROR_MORE_DATA;
    }
    lpClass[0] = u'\0';
  }
  if (lpcchClass) *lpcchClass = 0;
  if (lpcSubKeys) *lpcSubKeys = subKeys;
  if (lpcbMaxSubKeyLen) *lpcbMaxSubKeyLen = maxSub;
  if (lpcbMaxClassLen) *lpcbMaxClassLen = 0;
  if (lpcValues) *lpcValues = values;
  if (lpcbMaxValueNameLen) *lpcbMaxValueNameLen = maxName;
  if (lpcbMaxValueLen) *lpcbMaxValueLen = maxData;
  if (lpcbSecurityDescriptor) *lpcbSecurityDescriptor = 0;
  PutFiletime(lpftLastWriteTime, mtime);
  return ERROR_SUCCESS;
}

}  // extern "C"
