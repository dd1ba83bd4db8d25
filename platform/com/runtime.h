// Inside the COM runtime: what the apartments, the class store, the server
// libraries and the regsvr tool share, and what tests may look at.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <utility>

#include "qel/com_api.h"
#include "qel/wstr.h"

namespace qel::com {

// ---- Apartments ---------------------------------------------------------------
// The apartment of the calling thread: 0 when it has none, kMultiThreaded for
// the process's multithreaded apartment, else a number unique to the thread's
// single-threaded apartment.
inline constexpr std::uint64_t kMultiThreaded = 1;
std::uint64_t CurrentApartment();
inline bool InApartment() { return CurrentApartment() != 0; }

// Called (without locks held) when an apartment ends, to revoke what it registered.
void ReleaseApartmentRegistrations(std::uint64_t apartment);

// ---- Server libraries ------------------------------------------------------------
// One dlopen reference; closed when destroyed.
class Library {
 public:
  Library() = default;
  Library(const Library&) = delete;
  Library& operator=(const Library&) = delete;
  Library(Library&& other) noexcept : m_handle(other.m_handle) { other.m_handle = nullptr; }
  Library& operator=(Library&& other) noexcept;
  ~Library();

  // RTLD_NOW | RTLD_LOCAL. CO_E_DLLNOTFOUND when there is no such file,
  // CO_E_ERRORINDLL when it exists but cannot be loaded; *error gets the
  // loader's text in both cases.
  [[nodiscard]] static HRESULT Open(const std::string& path, Library* out, std::string* error);
  // Null when the library does not export `name`.
  [[nodiscard]] void* Symbol(const char* name) const;
  void* handle() const { return m_handle; }
  [[nodiscard]] void* Release() { return std::exchange(m_handle, nullptr); }

 private:
  void* m_handle = nullptr;
};

// Class object of rclsid from the server library at `path`, which stays loaded
// until CoFreeUnusedLibraries finds its DllCanUnloadNow answering S_OK.
HRESULT GetClassObjectFromLibrary(const std::string& path, REFCLSID rclsid, REFIID riid, void** ppv);
void FreeUnusedLibraries();

// The text of the last failed activation on this thread (the loader's message
// for a library that did not load, or why a server could not be started);
// empty after a successful one.
std::string LastActivationError();
void SetLastActivationError(std::string text);

// Number of server libraries held loaded, and whether `path` is one of them.
std::size_t LoadedLibraryCountForTests();
bool IsLibraryLoadedForTests(const std::string& path);

// ---- GUID text -----------------------------------------------------------------
// Exactly "{XXXXXXXX-XXXX-XXXX-XXXX-XXXXXXXXXXXX}", hex digits in any case.
bool ParseGuid(qel::u16view text, GUID* out);
qel::u16 GuidToString(const GUID& g);

// ---- Class store -----------------------------------------------------------------
// The default value (REG_SZ, or REG_EXPAND_SZ expanded) of HKCR\<path>.
// S_OK, REGDB_E_CLASSNOTREG when the key or value is missing, REGDB_E_READREGDB
// when the store cannot be read.
HRESULT ReadClassesDefault(qel::u16view path, qel::u16* value);

}  // namespace qel::com
