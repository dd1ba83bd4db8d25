// Additions of the registry store beyond the Win32 functions of winreg.h,
// for the platform's own tools (qelupnp-reg) and its tests.
#pragma once

#include <filesystem>
#include <string>
#include <vector>

#include "winreg.h"

namespace qel::reg {

// The store file: StateDir()/"registry.db".
std::filesystem::path StorePath();

// Runs every registry call made by this thread between Begin() and Commit()
// as one store transaction: either all of it is kept or none. Other threads
// of the process wait until it ends. Destroying an uncommitted transaction
// rolls it back.
class Transaction {
 public:
  Transaction() = default;
  ~Transaction();
  Transaction(const Transaction&) = delete;
  Transaction& operator=(const Transaction&) = delete;

  [[nodiscard]] LSTATUS Begin();
  [[nodiscard]] LSTATUS Commit();
  void Rollback();

 private:
  bool m_active = false;
};

// The full name of an open key as stored, each name in its stored case, from
// the store's own roots: "HKEY_LOCAL_MACHINE\SOFTWARE\Classes\CLSID" for
// HKEY_CLASSES_ROOT\CLSID.
[[nodiscard]] LSTATUS StoredPath(HKEY hKey, std::u16string& path);

// The name of the value `lpValueName` (any case) of an open key as stored,
// found by one indexed lookup: ERROR_FILE_NOT_FOUND when there is none.
[[nodiscard]] LSTATUS StoredValueName(HKEY hKey, LPCWSTR lpValueName, std::u16string& name);

// The query plan of each statement the store runs (one line per plan step:
// "<statement>: <step>"), so that tests can check that none scans a table.
[[nodiscard]] LSTATUS QueryPlans(std::vector<std::string>& plans);

// Drops the process's store connection and every open key handle (a test
// that switches state directories; also registered as the state-dir reset hook).
void CloseStore();

}  // namespace qel::reg
