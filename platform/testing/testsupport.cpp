#include "testsupport.h"

#include <stdlib.h>

#include <fstream>
#include <sstream>
#include <system_error>

#include "qel/fault.h"
#include "qel/statedir.h"

namespace qel::test {
namespace {
std::filesystem::path MakeTemp(const char* prefix) {
  std::string templ = (std::filesystem::temp_directory_path() / (std::string(prefix) + "XXXXXX")).string();
  char* p = mkdtemp(templ.data());
  return p ? std::filesystem::path(p) : std::filesystem::path();
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
