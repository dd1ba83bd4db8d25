#include "qel/fault.h"

#ifdef QEL_FAULT_INJECTION

#include <atomic>
#include <cstdlib>
#include <map>
#include <mutex>
#include <string>

namespace qel::fault {
namespace {

struct Rule {
  std::int64_t code = 0;
  int skip = 0;
  int count = 1;  // < 0: every call once the skips are used up
};

struct Table {
  std::mutex lock;
  std::map<std::string, Rule, std::less<>> rules;
  std::map<std::string, int, std::less<>> calls;
  std::atomic<bool> armed{false};
  bool envRead = false;
};

Table& T() {
  static Table* t = new Table;  // never destroyed: platform calls may run during exit
  return *t;
}

std::int64_t ParseNumber(const std::string& s) {
  if (s.empty()) return 0;
  return static_cast<std::int64_t>(std::strtoll(s.c_str(), nullptr, 0));
}

// "point=code[@skip][*count]" entries, comma-separated.
void ReadEnvironment(Table& t) {
  t.envRead = true;
  const char* env = std::getenv("QELUPNP_FAULTS");
  if (!env || !*env) return;
  std::string all(env);
  std::size_t pos = 0;
  while (pos <= all.size()) {
    std::size_t end = all.find(',', pos);
    if (end == std::string::npos) end = all.size();
    std::string item = all.substr(pos, end - pos);
    pos = end + 1;
    std::size_t eq = item.find('=');
    if (eq == std::string::npos || eq == 0) continue;
    Rule r;
    std::string rest = item.substr(eq + 1);
    std::size_t star = rest.find('*');
    if (star != std::string::npos) {
      std::string c = rest.substr(star + 1);
      r.count = (c.empty() || c == "-1") ? -1 : static_cast<int>(ParseNumber(c));
      rest.resize(star);
    }
    std::size_t at = rest.find('@');
    if (at != std::string::npos) {
      r.skip = static_cast<int>(ParseNumber(rest.substr(at + 1)));
      rest.resize(at);
    }
    r.code = ParseNumber(rest);
    t.rules[item.substr(0, eq)] = r;
    t.armed = true;
  }
}

}  // namespace

void Arm(std::string_view point, std::int64_t code, int skip, int count) {
  Table& t = T();
  std::lock_guard<std::mutex> g(t.lock);
  if (!t.envRead) ReadEnvironment(t);
  t.rules[std::string(point)] = Rule{code, skip, count};
  t.armed = true;
}

void Disarm(std::string_view point) {
  Table& t = T();
  std::lock_guard<std::mutex> g(t.lock);
  auto it = t.rules.find(point);
  if (it != t.rules.end()) t.rules.erase(it);
}

void Reset() {
  Table& t = T();
  std::lock_guard<std::mutex> g(t.lock);
  t.rules.clear();
  t.calls.clear();
  t.envRead = true;  // an explicit reset also drops what the environment armed
  t.armed = true;    // keep counting calls
}

bool Hit(std::string_view point, std::int64_t* code) {
  Table& t = T();
  std::lock_guard<std::mutex> g(t.lock);
  if (!t.envRead) ReadEnvironment(t);
  auto c = t.calls.find(point);
  if (c == t.calls.end())
    t.calls.emplace(std::string(point), 1);
  else
    ++c->second;
  auto it = t.rules.find(point);
  if (it == t.rules.end()) return false;
  Rule& r = it->second;
  if (r.skip > 0) {
    --r.skip;
    return false;
  }
  if (r.count == 0) return false;
  if (r.count > 0) --r.count;
  if (code) *code = r.code;
  return true;
}

int Calls(std::string_view point) {
  Table& t = T();
  std::lock_guard<std::mutex> g(t.lock);
  auto c = t.calls.find(point);
  return c == t.calls.end() ? 0 : c->second;
}

}  // namespace qel::fault

#endif
