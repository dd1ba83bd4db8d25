#include "testsupport.h"

#include <stdlib.h>
#include <sys/stat.h>

#include <fstream>
#include <sstream>
#include <system_error>

#include "qel/fault.h"
#include "qel/statedir.h"

namespace qel::test {
namespace {
std::filesystem::path MakeTempIn(const std::filesystem::path& parent, const char* prefix) {
  std::string templ = (parent / (std::string(prefix) + "XXXXXX")).string();
  char* p = mkdtemp(templ.data());
  return p ? std::filesystem::path(p) : std::filesystem::path();
}

std::filesystem::path MakeTemp(const char* prefix) {
  return MakeTempIn(std::filesystem::temp_directory_path(), prefix);
}

// True when a user who is neither owner nor group member can pass through
// every directory above `dir` and `dir` itself.
bool EveryoneCanEnter(const std::filesystem::path& dir) {
  std::filesystem::path p = std::filesystem::absolute(dir);
  for (;;) {
    struct stat st{};
    if (::stat(p.c_str(), &st) != 0 || !(st.st_mode & S_IXOTH)) return false;
    if (p == p.root_path()) return true;
    p = p.parent_path();
  }
}
}  // namespace

ScopedStateDir::ScopedStateDir() : m_path(MakeTemp("qelstate-")) {
  if (const char* prev = getenv("QELUPNP_STATE_DIR")) {
    m_hadPrevious = true;
    m_previous = prev;
  }
  setenv("QELUPNP_STATE_DIR", m_path.c_str(), 1);
  ResetStateDirForTests();
  fault::Reset();
}

ScopedStateDir::~ScopedStateDir() {
  fault::Reset();
  if (m_hadPrevious)
    setenv("QELUPNP_STATE_DIR", m_previous.c_str(), 1);
  else
    unsetenv("QELUPNP_STATE_DIR");
  ResetStateDirForTests();
  std::error_code ec;
  std::filesystem::remove_all(m_path, ec);
}

TempDir::TempDir() : m_path(MakeTemp("qeltmp-")) {}
TempDir::~TempDir() {
  std::error_code ec;
  // Make everything removable again (tests chmod directories read-only).
  for (auto it = std::filesystem::recursive_directory_iterator(m_path, ec);
       !ec && it != std::filesystem::recursive_directory_iterator(); it.increment(ec))
    std::filesystem::permissions(it->path(), std::filesystem::perms::owner_all, std::filesystem::perm_options::add, ec);
  std::filesystem::permissions(m_path, std::filesystem::perms::owner_all, std::filesystem::perm_options::add, ec);
  std::filesystem::remove_all(m_path, ec);
}

ReachableCopy::ReachableCopy(const std::filesystem::path& program) {
  std::error_code ec;
  const std::filesystem::path candidates[] = {std::filesystem::temp_directory_path(ec), "/tmp", "/var/tmp"};
  for (const auto& parent : candidates) {
    if (parent.empty() || !EveryoneCanEnter(parent)) continue;
    m_dir = MakeTempIn(parent, "qelbin-");
    if (m_dir.empty()) continue;
    ::chmod(m_dir.c_str(), 0755);
    break;
  }
  if (m_dir.empty()) {
    m_why = "no temporary directory that every user can enter";
    return;
  }
  const auto copy = m_dir / program.filename();
  std::filesystem::copy_file(program, copy, ec);
  if (ec || ::chmod(copy.c_str(), 0755) != 0) {
    m_why = "cannot copy " + program.string() + " to " + m_dir.string() + ": " + ec.message();
    return;
  }
  m_path = copy;
}

ReachableCopy::~ReachableCopy() {
  std::error_code ec;
  if (!m_dir.empty()) std::filesystem::remove_all(m_dir, ec);
}

std::string ReadFile(const std::filesystem::path& p) {
  std::ifstream in(p, std::ios::binary);
  std::ostringstream ss;
  ss << in.rdbuf();
  return ss.str();
}

void WriteFile(const std::filesystem::path& p, const std::string& bytes) {
  std::ofstream out(p, std::ios::binary | std::ios::trunc);
  out << bytes;
}

}  // namespace qel::test
