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

// A copy of an executable in a fresh directory that every user may enter, for
// tests that run it under another user id: the build tree may lie where only
// its owner can go (a checkout under /root or in a `mktemp -d` directory).
// The copy and its directory are removed on destruction. When no such place
// can be made, ok() is false and why() says why.
class ReachableCopy {
 public:
  explicit ReachableCopy(const std::filesystem::path& program);
  ~ReachableCopy();
  ReachableCopy(const ReachableCopy&) = delete;
  ReachableCopy& operator=(const ReachableCopy&) = delete;
  bool ok() const { return !m_path.empty(); }
  const std::filesystem::path& path() const { return m_path; }
  const std::string& why() const { return m_why; }

 private:
  std::filesystem::path m_dir;
  std::filesystem::path m_path;
  std::string m_why;
};

// Reads a whole file as bytes ("" when missing).
std::string ReadFile(const std::filesystem::path& p);
void WriteFile(const std::filesystem::path& p, const std::string& bytes);

}  // namespace qel::test
