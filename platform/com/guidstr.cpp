// GUID text and ProgIDs.
#include <cstring>

#include "qel/fault.h"
#include "runtime.h"

namespace qel::com {
namespace {

int HexValue(char16_t c) {
  if (c >= u'0' && c <= u'9') return c - u'0';
  if (c >= u'a' && c <= u'f') return c - u'a' + 10;
  if (c >= u'A' && c <= u'F') return c - u'A' + 10;
  return -1;
}

bool ReadHex(qel::u16view text, std::size_t pos, int digits, std::uint32_t* out) {
  std::uint32_t v = 0;
  for (int i = 0; i < digits; ++i) {
    const int h = HexValue(text[pos + i]);
    if (h < 0) return false;
    v = (v << 4) | static_cast<std::uint32_t>(h);
  }
  *out = v;
  return true;
}

// Allocates a task-memory copy of `text` with its terminator.
HRESULT TaskString(qel::u16view text, LPOLESTR* out) {
  auto* p = static_cast<LPOLESTR>(CoTaskMemAlloc((text.size() + 1) * sizeof(OLECHAR)));
  if (!p) return E_OUTOFMEMORY;
  std::memcpy(p, text.data(), text.size() * sizeof(OLECHAR));
  p[text.size()] = u'\0';
  *out = p;
  return S_OK;
}

constexpr int kMaxCurVerHops = 16;

}  // namespace

bool ParseGuid(qel::u16view text, GUID* out) {
  // {XXXXXXXX-XXXX-XXXX-XXXX-XXXXXXXXXXXX}
  if (text.size() != 38 || text[0] != u'{' || text[37] != u'}' || text[9] != u'-' || text[14] != u'-' ||
      text[19] != u'-' || text[24] != u'-')
    return false;
  GUID g{};
  std::uint32_t v = 0;
  if (!ReadHex(text, 1, 8, &v)) return false;
  g.Data1 = v;
  if (!ReadHex(text, 10, 4, &v)) return false;
  g.Data2 = static_cast<USHORT>(v);
  if (!ReadHex(text, 15, 4, &v)) return false;
  g.Data3 = static_cast<USHORT>(v);
  static constexpr std::size_t kBytePos[8] = {20, 22, 25, 27, 29, 31, 33, 35};
  for (int i = 0; i < 8; ++i) {
    if (!ReadHex(text, kBytePos[i], 2, &v)) return false;
    g.Data4[i] = static_cast<BYTE>(v);
  }
  *out = g;
  return true;
}

qel::u16 GuidToString(const GUID& g) {
  static constexpr char16_t kHex[] = u"0123456789ABCDEF";
  qel::u16 s;
  s.reserve(38);
  auto put = [&](std::uint32_t v, int digits) {
    for (int i = digits - 1; i >= 0; --i) s += kHex[(v >> (4 * i)) & 0xF];
  };
  s += u'{';
  put(g.Data1, 8);
  s += u'-';
  put(g.Data2, 4);
  s += u'-';
  put(g.Data3, 4);
  s += u'-';
  put(g.Data4[0], 2);
  put(g.Data4[1], 2);
  s += u'-';
  for (int i = 2; i < 8; ++i) put(g.Data4[i], 2);
  s += u'}';
  return s;
}

}  // namespace qel::com

using namespace qel::com;

extern "C" int WINAPI StringFromGUID2(REFGUID rguid, LPOLESTR lpsz, int cchMax) {
  QEL_FAULT_POINT("StringFromGUID2", c) return 0;
  if (!lpsz || cchMax < 39) return 0;
  const qel::u16 s = GuidToString(rguid);
  std::memcpy(lpsz, s.data(), s.size() * sizeof(OLECHAR));
  lpsz[s.size()] = u'\0';
  return 39;
}

extern "C" HRESULT WINAPI StringFromCLSID(REFCLSID rclsid, LPOLESTR* lplpsz) {
  QEL_FAULT_POINT("StringFromCLSID", c) return static_cast<HRESULT>(c);
  if (!lplpsz) return E_INVALIDARG;
  *lplpsz = nullptr;
  return TaskString(GuidToString(rclsid), lplpsz);
}

extern "C" HRESULT WINAPI StringFromIID(REFIID riid, LPOLESTR* lplpsz) {
  QEL_FAULT_POINT("StringFromIID", c) return static_cast<HRESULT>(c);
  if (!lplpsz) return E_INVALIDARG;
  *lplpsz = nullptr;
  return TaskString(GuidToString(riid), lplpsz);
}

extern "C" HRESULT WINAPI IIDFromString(LPCOLESTR lpsz, LPIID lpiid) {
  QEL_FAULT_POINT("IIDFromString", c) return static_cast<HRESULT>(c);
  if (!lpiid) return E_INVALIDARG;
  if (!lpsz) {
    *lpiid = IID_NULL;
    return S_OK;
  }
  return ParseGuid(qel::WView(lpsz), lpiid) ? S_OK : E_INVALIDARG;
}

static HRESULT ProgIdToClsid(qel::u16view progId, CLSID* out) {
  qel::u16 name(progId);
  for (int hop = 0; hop <= kMaxCurVerHops; ++hop) {
    if (name.empty() || name.size() > 255 || name.find(u'\\') != qel::u16::npos) return CO_E_CLASSSTRING;
    qel::u16 text;
    HRESULT hr = ReadClassesDefault(name + u"\\CLSID", &text);
    if (SUCCEEDED(hr)) return ParseGuid(text, out) ? S_OK : CO_E_CLASSSTRING;
    if (hr != REGDB_E_CLASSNOTREG) return hr;
    // A version-independent ProgID names its current version.
    hr = ReadClassesDefault(name + u"\\CurVer", &text);
    if (FAILED(hr)) return hr == REGDB_E_CLASSNOTREG ? CO_E_CLASSSTRING : hr;
    if (qel::EqualsNoCase(text, name)) return CO_E_CLASSSTRING;
    name = text;
  }
  return CO_E_CLASSSTRING;  // a CurVer chain that does not end
}

extern "C" HRESULT WINAPI CLSIDFromProgID(LPCOLESTR lpszProgID, LPCLSID lpclsid) {
  QEL_FAULT_POINT("CLSIDFromProgID", c) return static_cast<HRESULT>(c);
  if (!lpszProgID || !lpclsid) return E_INVALIDARG;
  CLSID clsid{};
  const HRESULT hr = ProgIdToClsid(qel::WView(lpszProgID), &clsid);
  *lpclsid = SUCCEEDED(hr) ? clsid : CLSID_NULL;
  return hr;
}

extern "C" HRESULT WINAPI CLSIDFromString(LPCOLESTR lpsz, LPCLSID pclsid) {
  QEL_FAULT_POINT("CLSIDFromString", c) return static_cast<HRESULT>(c);
  if (!pclsid) return E_INVALIDARG;
  if (!lpsz) {
    *pclsid = CLSID_NULL;
    return S_OK;
  }
  const qel::u16view text = qel::WView(lpsz);
  if (!text.empty() && text[0] == u'{') {
    if (ParseGuid(text, pclsid)) return S_OK;
    *pclsid = CLSID_NULL;
    return CO_E_CLASSSTRING;
  }
  CLSID clsid{};
  HRESULT hr = ProgIdToClsid(text, &clsid);
  *pclsid = SUCCEEDED(hr) ? clsid : CLSID_NULL;
  return hr;
}

extern "C" HRESULT WINAPI ProgIDFromCLSID(REFCLSID clsid, LPOLESTR* lplpszProgID) {
  QEL_FAULT_POINT("ProgIDFromCLSID", c) return static_cast<HRESULT>(c);
  if (!lplpszProgID) return E_INVALIDARG;
  *lplpszProgID = nullptr;
  qel::u16 text;
  const HRESULT hr = ReadClassesDefault(u"CLSID\\" + GuidToString(clsid) + u"\\ProgID", &text);
  if (FAILED(hr)) return hr;
  if (text.empty()) return REGDB_E_CLASSNOTREG;
  return TaskString(text, lplpszProgID);
}
