#include "qel/statedir.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <mutex>
#include <system_error>
#include <vector>

namespace qel {
namespace {

std::mutex g_lock;
std::filesystem::path* g_dir = nullptr;
std::vector<void (*)()>& Hooks() {
  static auto* h = new std::vector<void (*)()>;
  return *h;
}

std::filesystem::path Compute() {
  if (const char* env = std::getenv("QELUPNP_STATE_DIR"); env && *env) return env;
  if (geteuid() == 0) return "/var/lib/qelupnp";
  if (const char* xdg = std::getenv("XDG_STATE_HOME"); xdg && *xdg) return std::filesystem::path(xdg) / "qelupnp";
  const char* home = std::getenv("HOME");
  return std::filesystem::path(home && *home ? home : "/tmp") / ".local/state/qelupnp";
}

}  // namespace

const std::filesystem::path& StateDir() {
  std::lock_guard<std::mutex> g(g_lock);
  if (!g_dir) {
    g_dir = new std::filesystem::path(Compute());
    std::error_code ec;
    std::filesystem::create_directories(*g_dir, ec);
  }
  return *g_dir;
}

void ResetStateDirForTests() {
  std::vector<void (*)()> hooks;
  {
    std::lock_guard<std::mutex> g(g_lock);
    delete g_dir;
    g_dir = nullptr;
    hooks = Hooks();
  }
  for (auto h : hooks) h();
}

void OnStateDirReset(void (*hook)()) {
  std::lock_guard<std::mutex> g(g_lock);
  Hooks().push_back(hook);
}

}  // namespace qel
