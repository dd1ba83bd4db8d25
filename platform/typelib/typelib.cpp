// Type libraries: reading MSFT files and TYPELIB resources, ITypeLib, and the
// registry entries under HKEY_CLASSES_ROOT\TypeLib.
#include "qel/typelib.h"

#include <iconv.h>

#include <atomic>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "msft.h"
#include "qel/fault.h"
#include "qel/kernel.h"
#include "qel/loader.h"
#include "qel/wstr.h"
#include "winreg.h"

extern "C" const IID IID_ITypeLib = {0x00020402, 0x0000, 0x0000, {0xC0, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x46}};

namespace {

constexpr GUID kIUnknown = {0x00000000, 0x0000, 0x0000, {0xC0, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x46}};
// Larger than any type library a program carries; keeps a bogus file from
// being read whole into memory.
constexpr std::uintmax_t kMaxLibraryBytes = 64u << 20;

// The code page a library's 8-bit names and strings are written in, from its locale.
const char* CodePageOf(LCID lcid) {
  switch (PRIMARYLANGID(LANGIDFROMLCID(lcid))) {
    case 0x11: return "CP932";  // Japanese
    case 0x04: return SUBLANGID(LANGIDFROMLCID(lcid)) == 0x02 || SUBLANGID(LANGIDFROMLCID(lcid)) == 0x04
                          ? "CP936"
                          : "CP950";
    case 0x12: return "CP949";
    case 0x19:
    case 0x22:
    case 0x23:
    case 0x02: return "CP1251";
    case 0x05:
    case 0x15:
    case 0x0E:
    case 0x1A: return "CP1250";
    case 0x08: return "CP1253";
    case 0x1F: return "CP1254";
    case 0x0D: return "CP1255";
    case 0x01: return "CP1256";
    case 0x1E: return "CP874";
    default: return "CP1252";
  }
}

qel::u16 Decode(std::string_view bytes, LCID lcid) {
  iconv_t cd = iconv_open("UTF-16LE", CodePageOf(lcid));
  if (cd == reinterpret_cast<iconv_t>(-1)) return qel::FromUtf8(bytes);
  std::string in(bytes);
  std::u16string out(in.size() * 2 + 4, u'\0');
  char* pin = in.data();
  size_t nin = in.size();
  char* pout = reinterpret_cast<char*>(out.data());
  size_t nout = out.size() * 2;
  while (nin > 0) {
    if (iconv(cd, &pin, &nin, &pout, &nout) == static_cast<size_t>(-1)) {
      if (nout < 2) break;
      // An unmappable byte reads as '?', as the system's conversion would give it.
      *reinterpret_cast<char16_t*>(pout) = u'?';
      pout += 2;
      nout -= 2;
      ++pin;
      --nin;
    }
  }
  iconv_close(cd);
  out.resize((reinterpret_cast<char16_t*>(pout) - out.data()));
  return out;
}

std::int32_t I32(std::span<const BYTE> b, size_t off) {
  std::int32_t v;
  std::memcpy(&v, b.data() + off, 4);
  return v;
}

// What a library says about itself.
struct LibraryInfo {
  TLIBATTR attr{};
  qel::u16 name;
  std::optional<qel::u16> helpString;
  std::optional<qel::u16> helpFile;
  DWORD dwHelpContext = 0;
  UINT cTypeInfos = 0;
};

// Reads and checks an MSFT image; every offset is checked against the image
// before it is followed.
HRESULT ParseMsft(std::span<const BYTE> b, LibraryInfo* out) {
  using namespace qel::msft;
  if (b.size() < sizeof(Header)) return TYPE_E_INVALIDSTATE;
  Header h;
  std::memcpy(&h, b.data(), sizeof h);
  if (static_cast<std::uint32_t>(h.magic1) != kMagic1 || static_cast<std::uint32_t>(h.magic2) != kMagic2)
    return TYPE_E_INVALIDSTATE;
  if (h.nrtypeinfos < 0 || static_cast<size_t>(h.nrtypeinfos) > b.size() / 4) return TYPE_E_INVALIDSTATE;
  size_t segdir = sizeof(Header) + ((h.varflags & kHasHelpDll) ? 4 : 0) + size_t(h.nrtypeinfos) * 4;
  if (segdir + kSegmentCount * sizeof(Segment) > b.size()) return TYPE_E_INVALIDSTATE;
  Segment seg[kSegmentCount];
  std::memcpy(seg, b.data() + segdir, sizeof seg);
  for (const auto& s : seg) {
    if (s.offset == -1 && s.length == 0) continue;
    if (s.offset < 0 || s.length < 0 || size_t(s.offset) > b.size() || size_t(s.length) > b.size() - s.offset)
      return TYPE_E_INVALIDSTATE;
  }
  auto in = [&](SegmentIndex i, std::int32_t off, size_t len) -> std::optional<size_t> {
    if (off < 0 || size_t(off) > size_t(seg[i].length) || len > size_t(seg[i].length) - off) return std::nullopt;
    return size_t(seg[i].offset) + off;
  };
  auto guidAt = in(kGuidTab, h.posguid, sizeof(GuidEntry));
  if (!guidAt) return TYPE_E_INVALIDSTATE;
  GUID g;
  std::memcpy(&g, b.data() + *guidAt, 16);
  LCID lcid = static_cast<LCID>(h.lcid);
  // Strings of a locale-neutral library are in the code page it was built with.
  LCID textLcid = lcid ? lcid : static_cast<LCID>(h.lcid2);
  auto nameAt = in(kNameTab, h.NameOffset, sizeof(NameIntro));
  if (!nameAt) return TYPE_E_INVALIDSTATE;
  size_t nameLen = static_cast<std::uint32_t>(I32(b, *nameAt + 8)) & 0xFF;
  auto nameChars = in(kNameTab, h.NameOffset + std::int32_t(sizeof(NameIntro)), nameLen);
  if (!nameChars) return TYPE_E_INVALIDSTATE;
  auto readString = [&](std::int32_t off, std::optional<qel::u16>* dst) -> bool {
    if (off == -1) return true;
    auto at = in(kStringTab, off, 2);
    if (!at) return false;
    std::uint16_t len;
    std::memcpy(&len, b.data() + *at, 2);
    auto chars = in(kStringTab, off + 2, len);
    if (!chars) return false;
    *dst = Decode({reinterpret_cast<const char*>(b.data() + *chars), len}, textLcid);
    return true;
  };
  if (!readString(h.helpstring, &out->helpString)) return TYPE_E_INVALIDSTATE;
  if ((h.varflags & kHasHelpFile) && !readString(h.helpfile, &out->helpFile)) return TYPE_E_INVALIDSTATE;
  out->attr.guid = g;
  out->attr.lcid = lcid;
  out->attr.syskind = static_cast<SYSKIND>(h.varflags & kSysKindMask);
  out->attr.wMajorVerNum = static_cast<WORD>(h.version & 0xFFFF);
  out->attr.wMinorVerNum = static_cast<WORD>((static_cast<std::uint32_t>(h.version) >> 16) & 0xFFFF);
  out->attr.wLibFlags = static_cast<WORD>(h.flags);
  out->name = Decode({reinterpret_cast<const char*>(b.data() + *nameChars), nameLen}, textLcid);
  out->dwHelpContext = static_cast<DWORD>(h.helpcontext);
  out->cTypeInfos = static_cast<UINT>(h.nrtypeinfos);
  return S_OK;
}

BSTR MakeBstr(const qel::u16& s) { return SysAllocStringLen(s.data(), static_cast<UINT>(s.size())); }

class TypeLib final : public ITypeLib {
 public:
  explicit TypeLib(LibraryInfo info) : m_info(std::move(info)) {}

  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** ppv) override {
    if (!ppv) return E_POINTER;
    if (riid == kIUnknown || riid == IID_ITypeLib) {
      *ppv = static_cast<ITypeLib*>(this);
      AddRef();
      return S_OK;
    }
    *ppv = nullptr;
    return E_NOINTERFACE;
  }
  ULONG STDMETHODCALLTYPE AddRef() override { return ++m_cRef; }
  ULONG STDMETHODCALLTYPE Release() override {
    ULONG n = --m_cRef;
    if (n == 0) delete this;
    return n;
  }

  UINT STDMETHODCALLTYPE GetTypeInfoCount() override { return m_info.cTypeInfos; }
  // The descriptions of types are not read: the libraries this platform
  // registers carry their identity only.
  HRESULT STDMETHODCALLTYPE GetTypeInfo(UINT index, ITypeInfo** pp) override {
    if (!pp) return E_INVALIDARG;
    *pp = nullptr;
    return index < m_info.cTypeInfos ? E_NOTIMPL : TYPE_E_ELEMENTNOTFOUND;
  }
  HRESULT STDMETHODCALLTYPE GetTypeInfoType(UINT index, TYPEKIND* p) override {
    if (!p) return E_INVALIDARG;
    return index < m_info.cTypeInfos ? E_NOTIMPL : TYPE_E_ELEMENTNOTFOUND;
  }
  HRESULT STDMETHODCALLTYPE GetTypeInfoOfGuid(REFGUID, ITypeInfo** pp) override {
    if (!pp) return E_INVALIDARG;
    *pp = nullptr;
    return TYPE_E_ELEMENTNOTFOUND;
  }
  HRESULT STDMETHODCALLTYPE GetLibAttr(TLIBATTR** pp) override {
    QEL_FAULT_POINT("ITypeLib::GetLibAttr", c) return static_cast<HRESULT>(c);
    if (!pp) return E_INVALIDARG;
    auto a = std::make_unique<TLIBATTR>(m_info.attr);
    *pp = a.release();
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE GetTypeComp(ITypeComp** pp) override {
    if (pp) *pp = nullptr;
    return E_NOTIMPL;
  }
  HRESULT STDMETHODCALLTYPE GetDocumentation(INT index, BSTR* pName, BSTR* pDoc, DWORD* pCtx,
                                             BSTR* pFile) override {
    if (index != -1) {
      if (index < 0 || static_cast<UINT>(index) >= m_info.cTypeInfos) return TYPE_E_ELEMENTNOTFOUND;
      return E_NOTIMPL;
    }
    if (pName) *pName = MakeBstr(m_info.name);
    if (pDoc) *pDoc = m_info.helpString ? MakeBstr(*m_info.helpString) : nullptr;
    if (pCtx) *pCtx = m_info.dwHelpContext;
    if (pFile) *pFile = m_info.helpFile ? MakeBstr(*m_info.helpFile) : nullptr;
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE IsName(LPOLESTR sz, ULONG, BOOL* pf) override {
    if (!sz || !pf) return E_INVALIDARG;
    *pf = qel::EqualsNoCase(qel::WView(sz), m_info.name) ? TRUE : FALSE;
    if (*pf) {
      // As on Windows, the buffer receives the name in its stored case.
      std::memcpy(sz, m_info.name.data(), m_info.name.size() * 2);
    }
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE FindName(LPOLESTR sz, ULONG, ITypeInfo**, MEMBERID*, USHORT* pc) override {
    if (!sz || !pc) return E_INVALIDARG;
    *pc = 0;
    return S_OK;
  }
  void STDMETHODCALLTYPE ReleaseTLibAttr(TLIBATTR* p) override { delete p; }

 private:
  ~TypeLib() = default;
  std::atomic<ULONG> m_cRef{1};
  LibraryInfo m_info;
};

HRESULT MakeLibrary(std::span<const BYTE> image, ITypeLib** pp) {
  LibraryInfo info;
  HRESULT hr = ParseMsft(image, &info);
  if (FAILED(hr)) return hr;
  *pp = new TypeLib(std::move(info));
  return S_OK;
}

// A module loaded as a data file, freed on every way out.
struct DataFile {
  HMODULE h = nullptr;
  ~DataFile() {
    if (h) FreeLibrary(h);
  }
};

HRESULT LoadFromImage(const qel::u16& path, WORD wIndex, ITypeLib** pp) {
  DataFile df;
  df.h = LoadLibraryExW(path.c_str(), nullptr, LOAD_LIBRARY_AS_DATAFILE);
  if (!df.h) return TYPE_E_CANTLOADLIBRARY;
  HRSRC hr = FindResourceW(df.h, MAKEINTRESOURCEW(wIndex), u"TYPELIB");
  if (!hr) return TYPE_E_CANTLOADLIBRARY;
  HGLOBAL hg = LoadResource(df.h, hr);
  DWORD cb = SizeofResource(df.h, hr);
  if (!hg) return TYPE_E_CANTLOADLIBRARY;
  return MakeLibrary({static_cast<const BYTE*>(LockResource(hg)), cb}, pp);
}

bool IsRegularFile(const std::string& p) {
  std::error_code ec;
  return std::filesystem::is_regular_file(p, ec);
}

HRESULT LoadFile(const qel::u16& path, ITypeLib** pp) {
  std::string p8 = qel::ToUtf8(path);
  std::optional<WORD> index;
  qel::u16 file = path;
  if (!IsRegularFile(p8)) {
    // "program\2" names TYPELIB resource 2 of the program file.
    size_t sep = path.find_last_of(u"\\/");
    if (sep == qel::u16::npos || sep + 1 == path.size() || path.size() - sep > 6) return TYPE_E_CANTLOADLIBRARY;
    unsigned v = 0;
    for (char16_t c : path.substr(sep + 1)) {
      if (c < u'0' || c > u'9') return TYPE_E_CANTLOADLIBRARY;
      v = v * 10 + (c - u'0');
    }
    if (v == 0 || v > 0xFFFF) return TYPE_E_CANTLOADLIBRARY;
    file = path.substr(0, sep);
    p8 = qel::ToUtf8(file);
    if (!IsRegularFile(p8)) return TYPE_E_CANTLOADLIBRARY;
    index = static_cast<WORD>(v);
  }
  std::ifstream in(p8, std::ios::binary);
  if (!in) return TYPE_E_CANTLOADLIBRARY;
  char magic[4] = {};
  in.read(magic, 4);
  if (in.gcount() == 4 && std::memcmp(magic, "\x7F" "ELF", 4) == 0) return LoadFromImage(file, index.value_or(1), pp);
  if (index) return TYPE_E_CANTLOADLIBRARY;
  if (in.gcount() < 4 || std::memcmp(magic, "MSFT", 4) != 0) return TYPE_E_CANTLOADLIBRARY;
  std::error_code ec;
  std::uintmax_t size = std::filesystem::file_size(p8, ec);
  if (ec || size > kMaxLibraryBytes) return TYPE_E_INVALIDSTATE;
  std::vector<BYTE> bytes(static_cast<size_t>(size));
  in.seekg(0);
  in.read(reinterpret_cast<char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
  if (static_cast<size_t>(in.gcount()) != bytes.size()) return TYPE_E_INVALIDSTATE;
  return MakeLibrary(bytes, pp);
}

qel::u16 GuidText(const GUID& g) {
  char buf[40];
  std::snprintf(buf, sizeof buf, "{%08X-%04X-%04X-%02X%02X-%02X%02X%02X%02X%02X%02X}", g.Data1, g.Data2, g.Data3,
                g.Data4[0], g.Data4[1], g.Data4[2], g.Data4[3], g.Data4[4], g.Data4[5], g.Data4[6], g.Data4[7]);
  return qel::FromUtf8(buf);
}

qel::u16 VersionText(WORD maj, WORD min) {
  char buf[16];
  std::snprintf(buf, sizeof buf, "%x.%x", maj, min);
  return qel::FromUtf8(buf);
}

qel::u16 LcidText(LCID lcid) {
  char buf[16];
  std::snprintf(buf, sizeof buf, "%x", lcid);
  return qel::FromUtf8(buf);
}

const char16_t* PlatformKey(SYSKIND k) {
  switch (k) {
    case SYS_WIN16: return u"win16";
    case SYS_WIN32: return u"win32";
    case SYS_WIN64: return u"win64";
    case SYS_MAC: return u"mac";
  }
  return nullptr;
}

// An open registry key, closed when it goes out of scope.
class Key {
 public:
  Key() = default;
  ~Key() { Close(); }
  Key(const Key&) = delete;
  Key& operator=(const Key&) = delete;
  [[nodiscard]] LSTATUS Create(HKEY parent, const qel::u16& name) {
    return RegCreateKeyExW(parent, name.c_str(), 0, nullptr, REG_OPTION_NON_VOLATILE, KEY_ALL_ACCESS, nullptr, &m_h,
                           nullptr);
  }
  [[nodiscard]] LSTATUS Open(HKEY parent, const qel::u16& name, REGSAM sam) {
    return RegOpenKeyExW(parent, name.c_str(), 0, sam, &m_h);
  }
  [[nodiscard]] LSTATUS SetString(const char16_t* valueName, const qel::u16& text) {
    return RegSetValueExW(m_h, valueName, 0, REG_SZ, reinterpret_cast<const BYTE*>(text.c_str()),
                          static_cast<DWORD>((text.size() + 1) * 2));
  }
  void Close() {
    if (m_h) RegCloseKey(m_h);
    m_h = nullptr;
  }
  HKEY get() const { return m_h; }

 private:
  HKEY m_h = nullptr;
};

DWORD SubkeyCount(HKEY h) {
  DWORD n = 0;
  if (RegQueryInfoKeyW(h, nullptr, nullptr, nullptr, &n, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr,
                       nullptr) != ERROR_SUCCESS)
    return 1;  // unknown: keep the key
  return n;
}

// Deletes a key with everything below it.
LSTATUS DeleteKeyTree(HKEY parent, const qel::u16& name) {
  {
    Key k;
    LSTATUS st = k.Open(parent, name, KEY_READ | KEY_WRITE);
    if (st != ERROR_SUCCESS) return st;
    WCHAR sub[256];
    for (;;) {
      DWORD cch = 256;
      if (RegEnumKeyExW(k.get(), 0, sub, &cch, nullptr, nullptr, nullptr, nullptr) != ERROR_SUCCESS) break;
      st = DeleteKeyTree(k.get(), qel::u16(sub, cch));
      if (st != ERROR_SUCCESS) return st;
    }
  }
  return RegDeleteKeyW(parent, name.c_str());
}

}  // namespace

extern "C" HRESULT WINAPI LoadTypeLibEx(LPCOLESTR szFile, REGKIND regkind, ITypeLib** pptlib) {
  QEL_FAULT_POINT("LoadTypeLibEx", c) return static_cast<HRESULT>(c);
  if (!pptlib) return E_INVALIDARG;
  *pptlib = nullptr;
  if (!szFile || !*szFile) return E_INVALIDARG;
  if (regkind != REGKIND_DEFAULT && regkind != REGKIND_REGISTER && regkind != REGKIND_NONE) return E_INVALIDARG;
  qel::u16 path(qel::WView(szFile));
  HRESULT hr = LoadFile(path, pptlib);
  if (FAILED(hr)) return hr;
  if (regkind == REGKIND_REGISTER) {
    size_t sep = path.find_last_of(u"\\/");
    qel::u16 dir = sep == qel::u16::npos ? qel::u16() : path.substr(0, sep + 1);
    hr = RegisterTypeLib(*pptlib, path.c_str(), dir.c_str());
    if (FAILED(hr)) {
      (*pptlib)->Release();
      *pptlib = nullptr;
      return hr;
    }
  }
  return S_OK;
}

extern "C" HRESULT WINAPI LoadTypeLib(LPCOLESTR szFile, ITypeLib** pptlib) {
  QEL_FAULT_POINT("LoadTypeLib", c) {
    if (pptlib) *pptlib = nullptr;
    return static_cast<HRESULT>(c);
  }
  // Libraries are named by full path here, which Windows loads without registering.
  return LoadTypeLibEx(szFile, REGKIND_NONE, pptlib);
}

extern "C" HRESULT WINAPI RegisterTypeLib(ITypeLib* ptlib, LPCOLESTR szFullPath, LPCOLESTR szHelpDir) {
  QEL_FAULT_POINT("RegisterTypeLib", c) return static_cast<HRESULT>(c);
  if (!ptlib || !szFullPath) return E_INVALIDARG;
  TLIBATTR* attr = nullptr;
  HRESULT hr = ptlib->GetLibAttr(&attr);
  if (FAILED(hr)) return hr;
  TLIBATTR a = *attr;
  ptlib->ReleaseTLibAttr(attr);
  BSTR name = nullptr, doc = nullptr;
  hr = ptlib->GetDocumentation(-1, &name, &doc, nullptr, nullptr);
  if (FAILED(hr)) return hr;
  qel::u16 title(qel::WView(doc && *doc ? doc : name));
  SysFreeString(name);
  SysFreeString(doc);
  const char16_t* platform = PlatformKey(a.syskind);
  if (!platform) return TYPE_E_REGISTRYACCESS;

  qel::u16 versionPath = u"TypeLib\\" + GuidText(a.guid) + u"\\" + VersionText(a.wMajorVerNum, a.wMinorVerNum);
  Key ver;
  if (ver.Create(HKEY_CLASSES_ROOT, versionPath) != ERROR_SUCCESS) return TYPE_E_REGISTRYACCESS;
  if (ver.SetString(nullptr, title) != ERROR_SUCCESS) return TYPE_E_REGISTRYACCESS;
  Key flags;
  char buf[16];
  std::snprintf(buf, sizeof buf, "%u", static_cast<unsigned>(a.wLibFlags));
  if (flags.Create(ver.get(), u"FLAGS") != ERROR_SUCCESS || flags.SetString(nullptr, qel::FromUtf8(buf)) != ERROR_SUCCESS)
    return TYPE_E_REGISTRYACCESS;
  if (szHelpDir) {
    Key help;
    if (help.Create(ver.get(), u"HELPDIR") != ERROR_SUCCESS ||
        help.SetString(nullptr, qel::u16(qel::WView(szHelpDir))) != ERROR_SUCCESS)
      return TYPE_E_REGISTRYACCESS;
  }
  Key path;
  if (path.Create(ver.get(), LcidText(a.lcid) + u"\\" + platform) != ERROR_SUCCESS ||
      path.SetString(nullptr, qel::u16(qel::WView(szFullPath))) != ERROR_SUCCESS)
    return TYPE_E_REGISTRYACCESS;
  return S_OK;
}

extern "C" HRESULT WINAPI UnRegisterTypeLib(REFGUID libID, WORD wVerMajor, WORD wVerMinor, LCID lcid,
                                            SYSKIND syskind) {
  QEL_FAULT_POINT("UnRegisterTypeLib", c) return static_cast<HRESULT>(c);
  const char16_t* platform = PlatformKey(syskind);
  if (!platform) return E_INVALIDARG;
  qel::u16 libPath = u"TypeLib\\" + GuidText(libID);
  qel::u16 version = VersionText(wVerMajor, wVerMinor);
  Key lib;
  if (lib.Open(HKEY_CLASSES_ROOT, libPath, KEY_ALL_ACCESS) != ERROR_SUCCESS) return TYPE_E_REGISTRYACCESS;
  // A registration that stopped part-way (a key that could not be created)
  // lacks the keys after that point: whatever of it exists is removed, and a
  // missing key is no reason to stop.
  bool removed = false;
  {
    Key ver;
    if (ver.Open(lib.get(), version, KEY_ALL_ACCESS) == ERROR_SUCCESS) {
      qel::u16 lcidName = LcidText(lcid);
      {
        Key loc;
        if (loc.Open(ver.get(), lcidName, KEY_ALL_ACCESS) == ERROR_SUCCESS) {
          removed = RegDeleteKeyW(loc.get(), platform) == ERROR_SUCCESS;
          if (SubkeyCount(loc.get()) != 0) return removed ? S_OK : TYPE_E_REGISTRYACCESS;  // other platforms stay
          loc.Close();
          if (RegDeleteKeyW(ver.get(), lcidName.c_str()) == ERROR_SUCCESS) removed = true;
        }
      }
      // The version goes when only its FLAGS and HELPDIR entries are left;
      // another locale's entry keeps it.
      WCHAR sub[256];
      for (DWORD i = 0;; ++i) {
        DWORD cch = 256;
        if (RegEnumKeyExW(ver.get(), i, sub, &cch, nullptr, nullptr, nullptr, nullptr) != ERROR_SUCCESS) break;
        qel::u16view s(sub, cch);
        if (!qel::EqualsNoCase(s, u"FLAGS") && !qel::EqualsNoCase(s, u"HELPDIR"))
          return removed ? S_OK : TYPE_E_REGISTRYACCESS;
      }
      ver.Close();
      if (DeleteKeyTree(lib.get(), version) != ERROR_SUCCESS) return TYPE_E_REGISTRYACCESS;
      removed = true;
    }
  }
  if (SubkeyCount(lib.get()) == 0) {
    lib.Close();
    if (RegDeleteKeyW(HKEY_CLASSES_ROOT, libPath.c_str()) == ERROR_SUCCESS) removed = true;
  }
  return removed ? S_OK : TYPE_E_REGISTRYACCESS;
}

extern "C" HRESULT WINAPI QueryPathOfRegTypeLib(REFGUID guid, USHORT wMaj, USHORT wMin, LCID lcid,
                                                BSTR* lpbstrPathName) {
  QEL_FAULT_POINT("QueryPathOfRegTypeLib", c) return static_cast<HRESULT>(c);
  if (!lpbstrPathName) return E_INVALIDARG;
  *lpbstrPathName = nullptr;
  qel::u16 base = u"TypeLib\\" + GuidText(guid) + u"\\" + VersionText(wMaj, wMin) + u"\\";
  LCID tries[] = {lcid, static_cast<LCID>(PRIMARYLANGID(LANGIDFROMLCID(lcid))), 0};
  for (LCID l : tries) {
    for (const char16_t* plat : {u"win32", u"win64"}) {
      Key k;
      if (k.Open(HKEY_CLASSES_ROOT, base + LcidText(l) + u"\\" + plat, KEY_READ) != ERROR_SUCCESS) continue;
      WCHAR buf[1024];
      DWORD cb = sizeof buf - 2, type = 0;
      if (RegQueryValueExW(k.get(), nullptr, nullptr, &type, reinterpret_cast<BYTE*>(buf), &cb) != ERROR_SUCCESS ||
          type != REG_SZ)
        continue;
      buf[cb / 2] = 0;
      *lpbstrPathName = SysAllocString(buf);
      return *lpbstrPathName ? S_OK : E_OUTOFMEMORY;
    }
  }
  return TYPE_E_LIBNOTREGISTERED;
}

extern "C" HRESULT WINAPI LoadRegTypeLib(REFGUID rguid, WORD wVerMajor, WORD wVerMinor, LCID lcid, ITypeLib** pptlib) {
  QEL_FAULT_POINT("LoadRegTypeLib", c) return static_cast<HRESULT>(c);
  if (!pptlib) return E_INVALIDARG;
  *pptlib = nullptr;
  BSTR path = nullptr;
  HRESULT hr = QueryPathOfRegTypeLib(rguid, wVerMajor, wVerMinor, lcid, &path);
  if (FAILED(hr)) return hr;
  hr = LoadTypeLib(path, pptlib);
  SysFreeString(path);
  return hr;
}
