// BSTRs: a 4-byte byte count, the characters, then a null character. The
// pointer handed out addresses the characters, so a BSTR reads as an ordinary
// null-terminated wide string; a null BSTR counts as empty.
#include <cstdlib>
#include <cstring>
#include <limits>

#include "oaidl.h"
#include "qel/fault.h"
#include "qel/kernel.h"

namespace {

constexpr std::size_t kPrefix = sizeof(std::uint32_t);

// Room for `bytes` bytes of characters plus the null character; the content
// is zeroed so a string allocated without a source reads as empty text.
BSTR Allocate(std::size_t bytes) {
  if (bytes > std::numeric_limits<std::uint32_t>::max() - kPrefix - sizeof(WCHAR)) return nullptr;
  auto* block = static_cast<unsigned char*>(std::calloc(1, kPrefix + bytes + sizeof(WCHAR)));
  if (!block) return nullptr;
  const std::uint32_t count = static_cast<std::uint32_t>(bytes);
  std::memcpy(block, &count, kPrefix);
  return reinterpret_cast<BSTR>(block + kPrefix);
}

std::uint32_t ByteCount(BSTR s) {
  std::uint32_t count;
  std::memcpy(&count, reinterpret_cast<const unsigned char*>(s) - kPrefix, kPrefix);
  return count;
}

}  // namespace

extern "C" BSTR WINAPI SysAllocString(const OLECHAR* psz) {
  QEL_FAULT_POINT("SysAllocString", c) return nullptr;
  if (!psz) return nullptr;
  std::size_t n = 0;
  while (psz[n]) ++n;
  BSTR s = Allocate(n * sizeof(WCHAR));
  if (s) std::memcpy(s, psz, n * sizeof(WCHAR));
  return s;
}

extern "C" BSTR WINAPI SysAllocStringLen(const OLECHAR* strIn, UINT ui) {
  QEL_FAULT_POINT("SysAllocStringLen", c) return nullptr;
  BSTR s = Allocate(static_cast<std::size_t>(ui) * sizeof(WCHAR));
  if (s && strIn) std::memcpy(s, strIn, static_cast<std::size_t>(ui) * sizeof(WCHAR));
  return s;
}

extern "C" BSTR WINAPI SysAllocStringByteLen(LPCSTR psz, UINT len) {
  QEL_FAULT_POINT("SysAllocStringByteLen", c) return nullptr;
  BSTR s = Allocate(len);
  if (s && psz) std::memcpy(s, psz, len);
  return s;
}

extern "C" INT WINAPI SysReAllocString(BSTR* pbstr, const OLECHAR* psz) {
  QEL_FAULT_POINT("SysReAllocString", c) return FALSE;
  if (!pbstr) return FALSE;
  // The new text may lie inside the old string: copy it before freeing.
  BSTR fresh = psz ? SysAllocString(psz) : SysAllocStringLen(nullptr, 0);
  if (!fresh) return FALSE;
  SysFreeString(*pbstr);
  *pbstr = fresh;
  return TRUE;
}

extern "C" UINT WINAPI SysStringLen(BSTR pbstr) { return pbstr ? ByteCount(pbstr) / sizeof(WCHAR) : 0; }

extern "C" UINT WINAPI SysStringByteLen(BSTR bstr) { return bstr ? ByteCount(bstr) : 0; }

extern "C" void WINAPI SysFreeString(BSTR bstrString) {
  if (bstrString) std::free(reinterpret_cast<unsigned char*>(bstrString) - kPrefix);
}
