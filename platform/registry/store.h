// The registry store: one SQLite database per state directory, shared by
// every process and thread of the platform. Private to platform/registry.
#pragma once

#include <sqlite3.h>
#include <sys/types.h>

#include <array>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>

#include "winreg.h"

namespace qel::reg::detail {

struct DbCloser {
  void operator()(sqlite3* db) const { sqlite3_close_v2(db); }
};
using DbPtr = std::unique_ptr<sqlite3, DbCloser>;

struct StmtFinalizer {
  void operator()(sqlite3_stmt* s) const { sqlite3_finalize(s); }
};
using StmtPtr = std::unique_ptr<sqlite3_stmt, StmtFinalizer>;

// The statements the store runs, prepared once per connection.
enum Sql : int {
  kKeyById,
  kKeyByPath,
  kOpenChild,
  kQueryValue,
  kSetValue,
  kDeleteValue,
  kInsertKey,
  kKeyState,
  kDeleteKey,
  kSubtreeFixed,
  kDeleteSubtree,
  kDeleteAllValues,
  kEnumKeyOffset,
  kEnumKeyAfter,
  kEnumValOffset,
  kEnumValAfter,
  kInfoKeys,
  kInfoVals,
  kMtime,
  kParentName,
  kDataVersion,
  kBegin,
  kCommit,
  kRollback,
  kSavepoint,
  kRelease,
  kRollbackTo,
  kBeginRead,
  kCommitRead,
  kSqlCount
};

// A cached statement in use: bound, stepped, and reset when it goes out of scope
// so that it holds no read snapshot open between calls.
class Stmt {
 public:
  explicit Stmt(sqlite3_stmt* s) : m_s(s) {}
  ~Stmt() {
    if (m_s) {
      sqlite3_reset(m_s);
      sqlite3_clear_bindings(m_s);
    }
  }
  Stmt(const Stmt&) = delete;
  Stmt& operator=(const Stmt&) = delete;

  void Bind(int i, std::int64_t v) { sqlite3_bind_int64(m_s, i, v); }
  // The bytes must outlive the statement's use (it does not copy them).
  void Bind(int i, std::string_view bytes) {
    sqlite3_bind_blob(m_s, i, bytes.empty() ? "" : bytes.data(), static_cast<int>(bytes.size()), SQLITE_STATIC);
  }
  void BindBlob(int i, const void* p, std::size_t n) {
    sqlite3_bind_blob(m_s, i, n ? p : "", static_cast<int>(n), SQLITE_STATIC);
  }
  int Step() { return sqlite3_step(m_s); }
  std::int64_t Int(int col) const { return sqlite3_column_int64(m_s, col); }
  bool IsNull(int col) const { return sqlite3_column_type(m_s, col) == SQLITE_NULL; }
  std::string_view Blob(int col) const {
    const void* p = sqlite3_column_blob(m_s, col);
    int n = sqlite3_column_bytes(m_s, col);
    return p ? std::string_view(static_cast<const char*>(p), static_cast<std::size_t>(n)) : std::string_view();
  }

 private:
  sqlite3_stmt* m_s;
};

struct Connection {
  DbPtr db;
  pid_t pid = 0;
  bool readOnly = false;
  int txDepth = 0;  // open write transactions and savepoints
  std::array<StmtPtr, kSqlCount> stmts;
  // Ids of the keys that HKEY_CLASSES_ROOT, HKEY_CURRENT_CONFIG and
  // HKEY_CURRENT_USER stand for; they cannot be deleted, so they stay valid.
  std::array<std::int64_t, 8> aliasIds{};
};

}  // namespace qel::reg::detail
