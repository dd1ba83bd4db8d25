// Apartments: each thread joins the single-threaded model (its own apartment)
// or the process's one multithreaded apartment, and leaves it again with as
// many CoUninitialize calls as it had successful initialisations.
#include <atomic>
#include <cstdint>
#include <mutex>

#include "qel/fault.h"
#include "runtime.h"

namespace qel::com {
namespace {

struct ThreadApartment {
  int nInit = 0;
  std::uint64_t id = 0;  // valid while nInit > 0
};

thread_local ThreadApartment t_apartment;
std::atomic<std::uint64_t> g_nextStaId{kMultiThreaded + 1};
std::mutex g_mtaMutex;
int g_mtaThreads = 0;

}  // namespace

std::uint64_t CurrentApartment() { return t_apartment.nInit > 0 ? t_apartment.id : 0; }

}  // namespace qel::com

using namespace qel::com;

static HRESULT InitializeApartment(LPVOID pvReserved, DWORD dwCoInit) {
  if (pvReserved) return E_INVALIDARG;
  constexpr DWORD kKnown = COINIT_APARTMENTTHREADED | COINIT_DISABLE_OLE1DDE | COINIT_SPEED_OVER_MEMORY;
  if (dwCoInit & ~kKnown) return E_INVALIDARG;
  const bool single = (dwCoInit & COINIT_APARTMENTTHREADED) != 0;
  ThreadApartment& apt = t_apartment;
  if (apt.nInit > 0) {
    const bool wasSingle = apt.id != kMultiThreaded;
    if (wasSingle != single) return RPC_E_CHANGED_MODE;
    ++apt.nInit;
    return S_FALSE;
  }
  if (single) {
    apt.id = g_nextStaId.fetch_add(1);
  } else {
    std::lock_guard lock(g_mtaMutex);
    ++g_mtaThreads;
    apt.id = kMultiThreaded;
  }
  apt.nInit = 1;
  return S_OK;
}

extern "C" HRESULT WINAPI CoInitializeEx(LPVOID pvReserved, DWORD dwCoInit) {
  QEL_FAULT_POINT("CoInitializeEx", c) return static_cast<HRESULT>(c);
  return InitializeApartment(pvReserved, dwCoInit);
}

extern "C" HRESULT WINAPI CoInitialize(LPVOID pvReserved) {
  QEL_FAULT_POINT("CoInitialize", c) return static_cast<HRESULT>(c);
  return InitializeApartment(pvReserved, COINIT_APARTMENTTHREADED);
}

extern "C" void WINAPI CoUninitialize(void) {
  ThreadApartment& apt = t_apartment;
  if (apt.nInit == 0) return;
  if (--apt.nInit > 0) return;
  const std::uint64_t id = apt.id;
  apt.id = 0;
  if (id == kMultiThreaded) {
    bool last = false;
    {
      std::lock_guard lock(g_mtaMutex);
      last = --g_mtaThreads == 0;
    }
    if (last) ReleaseApartmentRegistrations(id);
  } else {
    ReleaseApartmentRegistrations(id);
  }
}
