// Task memory: the allocator shared by callers and callees across COM calls.
#include <cstdlib>

#include "qel/fault.h"
#include "qel/com_api.h"

extern "C" LPVOID WINAPI CoTaskMemAlloc(SIZE_T cb) {
  QEL_FAULT_POINT("CoTaskMemAlloc", c) return nullptr;
  // A zero-byte request still gives a distinct pointer that CoTaskMemFree accepts.
  return std::malloc(cb ? cb : 1);
}

extern "C" LPVOID WINAPI CoTaskMemRealloc(LPVOID pv, SIZE_T cb) {
  QEL_FAULT_POINT("CoTaskMemRealloc", c) return nullptr;
  if (!pv) return std::malloc(cb ? cb : 1);
  if (cb == 0) {
    std::free(pv);
    return nullptr;
  }
  return std::realloc(pv, cb);
}

extern "C" void WINAPI CoTaskMemFree(LPVOID pv) { std::free(pv); }
