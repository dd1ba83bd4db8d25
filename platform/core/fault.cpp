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

}  // namespace

struct Point {
  std::atomic<int> calls{0};
  std::atomic<bool> ruled{false};  // a rule names this point: take the lock and look
  std::string_view name;           // the table's key
};

namespace {

struct Table {
  std::mutex lock;
  std::map<std::string, Rule, std::less<>> rules;
  std::map<std::string, Point, std::less<>> points;  // nodes never move: sites keep references
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
  }
}

Point& PointLocked(Table& t, std::string_view name) {
  auto it = t.points.find(name);
  if (it == t.points.end()) {
    it = t.points.try_emplace(std::string(name)).first;
    it->second.name = it->first;
  }
  return it->second;
}

void EnsureEnvironment(Table& t) {
  if (t.envRead) return;
  ReadEnvironment(t);
  for (const auto& [name, rule] : t.rules) PointLocked(t, name).ruled = true;
}

}  // namespace

Point& PointNamed(std::string_view point) {
  Table& t = T();
  std::lock_guard<std::mutex> g(t.lock);
  EnsureEnvironment(t);
  return PointLocked(t, point);
}

void Arm(std::string_view point, std::int64_t code, int skip, int count) {
  Table& t = T();
  std::lock_guard<std::mutex> g(t.lock);
  EnsureEnvironment(t);
  t.rules[std::string(point)] = Rule{code, skip, count};
  PointLocked(t, point).ruled = true;
}

void Disarm(std::string_view point) {
  Table& t = T();
  std::lock_guard<std::mutex> g(t.lock);
  auto it = t.rules.find(point);
  if (it != t.rules.end()) t.rules.erase(it);
  PointLocked(t, point).ruled = false;
}

void Reset() {
  Table& t = T();
  std::lock_guard<std::mutex> g(t.lock);
  t.rules.clear();
  for (auto& [name, p] : t.points) {
    p.ruled = false;
    p.calls = 0;
  }
  t.envRead = true;  // an explicit reset also drops what the environment armed
}

bool Hit(std::string_view point, std::int64_t* code) { return Hit(PointNamed(point), code); }

bool Hit(Point& p, std::int64_t* code) {
  p.calls.fetch_add(1, std::memory_order_relaxed);
  if (!p.ruled.load(std::memory_order_acquire)) return false;
  Table& t = T();
  std::lock_guard<std::mutex> g(t.lock);
  auto it = t.rules.find(p.name);
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
  auto c = t.points.find(point);
  return c == t.points.end() ? 0 : c->second.calls.load();
}

}  // namespace qel::fault

#endif
