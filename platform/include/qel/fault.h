// Fault-injection seam: lets tests make any platform call fail on purpose.
//
// A point is named after the platform function it guards ("RegOpenKeyExW",
// "CoCreateInstance", ...). Tests arm a point in-process with Arm(), or for a
// child process through the environment:
//   QELUPNP_FAULTS="RegSetValueExW=5,CoCreateInstance=0x80040154@1*2"
// which reads "point=code[@skip][*count]": let `skip` calls pass, then fail
// `count` calls (default 1; * alone or *-1 means every later call).
// In builds without QEL_FAULT_INJECTION, Hit() is always false and costs nothing.
#pragma once

#include <cstdint>
#include <string_view>

namespace qel::fault {

#ifdef QEL_FAULT_INJECTION
// One named point, kept for the life of the process. Each QEL_FAULT_POINT
// site finds its point once; after that a call that nothing is armed for
// costs one atomic increment, so the seam may stay in shipped builds.
struct Point;
Point& PointNamed(std::string_view point);
void Arm(std::string_view point, std::int64_t code, int skip = 0, int count = 1);
void Disarm(std::string_view point);
void Reset();
// True when this call of `point` must fail; *code receives the armed code.
[[nodiscard]] bool Hit(Point& point, std::int64_t* code);
[[nodiscard]] bool Hit(std::string_view point, std::int64_t* code);
// Number of times `point` was reached since the last Reset (armed or not).
int Calls(std::string_view point);
#else
inline void Arm(std::string_view, std::int64_t, int = 0, int = 1) {}
inline void Disarm(std::string_view) {}
inline void Reset() {}
[[nodiscard]] inline constexpr bool Hit(std::string_view, std::int64_t*) { return false; }
inline int Calls(std::string_view) { return 0; }
#endif

}  // namespace qel::fault

// Returns `expr_on_fault` from the enclosing function when `point` is armed.
// `code` names a local std::int64_t that receives the armed code. `point` is
// a string literal.
#ifdef QEL_FAULT_INJECTION
#define QEL_FAULT_POINT(point, code)                                            \
  if (std::int64_t code = 0; ::qel::fault::Hit(                                 \
          []() -> ::qel::fault::Point& {                                        \
            static ::qel::fault::Point& qelFaultPoint = ::qel::fault::PointNamed(point); \
            return qelFaultPoint;                                               \
          }(),                                                                  \
          &code))
#else
#define QEL_FAULT_POINT(point, code) if (std::int64_t code = 0; ::qel::fault::Hit(point, &code))
#endif
