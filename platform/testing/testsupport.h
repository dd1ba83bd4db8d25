// Helpers shared by the unit tests of every folder.
#pragma once

#include <filesystem>
#include <string>

namespace qel::test {

// A private, empty state directory for the life of the object: QELUPNP_STATE_DIR
// points at it, and facilities drop their cached state on entry and on exit.
class ScopedStateDir {
 public:
  ScopedStateDir();
  ~ScopedStateDir();
  ScopedStateDir(const ScopedStateDir&) = delete;
  ScopedStateDir& operator=(const ScopedStateDir&) = delete;
  const std::filesystem::path& path() const { return m_path; }

 private:
  std::filesystem::path m_path;
  std::string m_previous;
  bool m_hadPrevious = false;
};

// A fresh empty temporary directory, removed with its contents on destruction.
class TempDir {
 public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  const std::filesystem::path& path() const { return m_path; }

 private:
  std::filesystem::path m_path;
};

// Reads a whole file as bytes ("" when missing).
std::string ReadFile(const std::filesystem::path& p);
void WriteFile(const std::filesystem::path& p, const std::string& bytes);

}  // namespace qel::test
