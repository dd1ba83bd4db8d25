// What every new registry store holds from the start, "as if installed with the
// system": the platform's own COM classes and its own always-running services.
//
// The registry seeds these entries in the transaction that creates a store, and
// never again: an entry that an administrator deletes stays deleted.
#pragma once

#include <cstdint>
#include <span>
#include <string_view>

#include "qel/base.h"
#include "unknwn.h"

namespace qel::builtins {

struct SeedValue {
  std::u16string_view key;   // path below HKEY_LOCAL_MACHINE, '\' separated
  std::u16string_view name;  // empty: the key's default value
  DWORD type;                // REG_SZ, REG_MULTI_SZ (data holds '\0'-separated strings) or REG_DWORD
  std::u16string_view text;  // REG_SZ / REG_MULTI_SZ data, without the final terminator(s)
  DWORD number;              // REG_DWORD data
};

// All seed entries, parents before children.
std::span<const SeedValue> StoreSeed();

// Class-store server names of the platform's own classes. An InprocServer32 or
// LocalServer32 default value "qel-builtin:<name>" names a server linked into
// the platform instead of a shared library on disk.
inline constexpr std::u16string_view kBuiltinPrefix = u"qel-builtin:";

typedef HRESULT (*GetClassObjectFn)(REFCLSID rclsid, REFIID riid, void** ppv);
// The entry point of a built-in server ("msxml", "upnphost"), or null.
GetClassObjectFn FindServer(std::u16string_view name);

}  // namespace qel::builtins

// Entry points of the built-in servers, defined by their subsystems.
extern "C" HRESULT qel_msxml_DllGetClassObject(REFCLSID rclsid, REFIID riid, void** ppv);
extern "C" HRESULT qel_upnphost_DllGetClassObject(REFCLSID rclsid, REFIID riid, void** ppv);
