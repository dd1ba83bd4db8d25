// Type libraries: reading the program's library and its registration entries.
#include <gtest/gtest.h>

#include <oleauto.h>
#include <windows.h>

#include <filesystem>
#include <string>

#include "qel/fault.h"
#include "qel/wstr.h"
#include "testsupport.h"

namespace {

namespace fs = std::filesystem;

const GUID kLibId = {0xE4190B6C, 0x2A7F, 0x4C3D, {0x8E, 0x25, 0x5B, 0x9F, 0x17, 0xD4, 0xA0, 0xC6}};
const char16_t kLibKey[] = u"TypeLib\\{E4190B6C-2A7F-4C3D-8E25-5B9F17D4A0C6}";

qel::u16 W(const std::string& s) { return qel::FromUtf8(s); }

struct Lib {
  ITypeLib* p = nullptr;
  ~Lib() {
    if (p) p->Release();
  }
};

qel::u16 Bstr(BSTR b) {
  qel::u16 s = b ? qel::u16(b, SysStringLen(b)) : qel::u16();
  SysFreeString(b);
  return s;
}

bool KeyExists(const qel::u16& path) {
  HKEY h = nullptr;
  if (RegOpenKeyExW(HKEY_CLASSES_ROOT, path.c_str(), 0, KEY_READ, &h) != ERROR_SUCCESS) return false;
  RegCloseKey(h);
  return true;
}

qel::u16 DefaultValue(const qel::u16& path) {
  HKEY h = nullptr;
  if (RegOpenKeyExW(HKEY_CLASSES_ROOT, path.c_str(), 0, KEY_READ, &h) != ERROR_SUCCESS) return u"<no key>";
  WCHAR buf[512];
  DWORD cb = sizeof buf, type = 0;
  LSTATUS st = RegQueryValueExW(h, nullptr, nullptr, &type, reinterpret_cast<BYTE*>(buf), &cb);
  RegCloseKey(h);
  if (st != ERROR_SUCCESS || type != REG_SZ) return u"<no value>";
  return qel::u16(buf, cb / 2 ? cb / 2 - 1 : 0);
}

void ExpectProgramIdentity(ITypeLib* lib) {
  TLIBATTR* a = nullptr;
  ASSERT_EQ(lib->GetLibAttr(&a), S_OK);
  EXPECT_TRUE(a->guid == kLibId);
  EXPECT_EQ(a->wMajorVerNum, 1);
  EXPECT_EQ(a->wMinorVerNum, 0);
  EXPECT_EQ(a->syskind, SYS_WIN32);
  EXPECT_EQ(a->lcid, 0u);
  EXPECT_EQ(a->wLibFlags, 0);
  lib->ReleaseTLibAttr(a);
  EXPECT_EQ(lib->GetTypeInfoCount(), 0u);
  BSTR name = nullptr, doc = nullptr, file = nullptr;
  DWORD ctx = 99;
  ASSERT_EQ(lib->GetDocumentation(-1, &name, &doc, &ctx, &file), S_OK);
  EXPECT_EQ(Bstr(name), u"QELUPNPHOSTLib");
  EXPECT_EQ(Bstr(doc), u"QelUPnPHost 1.0 ﾀｲﾌﾟ ﾗｲﾌﾞﾗﾘ");
  EXPECT_EQ(file, nullptr);
  EXPECT_EQ(ctx, 0u);
  EXPECT_EQ(lib->GetDocumentation(0, &name, nullptr, nullptr, nullptr), TYPE_E_ELEMENTNOTFOUND);
}

TEST(TypeLibLoad, ProgramResourceAndTlbFileCarryTheIdentity) {
  {
    Lib lib;
    ASSERT_EQ(LoadTypeLib(W(QEL_FIXTURE_PROGRAM).c_str(), &lib.p), S_OK);
    ExpectProgramIdentity(lib.p);
    // Reference counting and interface queries.
    IUnknown* unk = nullptr;
    ASSERT_EQ(lib.p->QueryInterface(IID_ITypeLib, reinterpret_cast<void**>(&unk)), S_OK);
    EXPECT_EQ(unk->Release(), 1u);
  }
  {
    Lib lib;
    ASSERT_EQ(LoadTypeLib(W(std::string(QEL_FIXTURE_PROGRAM) + "\\1").c_str(), &lib.p), S_OK);
    ExpectProgramIdentity(lib.p);
  }
  Lib other;
  EXPECT_EQ(LoadTypeLib(W(std::string(QEL_FIXTURE_PROGRAM) + "\\2").c_str(), &other.p), TYPE_E_CANTLOADLIBRARY);
  EXPECT_EQ(other.p, nullptr);
  Lib tlb;
  ASSERT_EQ(LoadTypeLib(W(QEL_TYPELIB_BUILT).c_str(), &tlb.p), S_OK);
  ExpectProgramIdentity(tlb.p);
}

TEST(TypeLibLoad, FilesThatAreNoTypeLibraryFailCleanly) {
  qel::test::TempDir dir;
  Lib lib;
  EXPECT_EQ(LoadTypeLib(W((dir.path() / "absent.tlb").string()).c_str(), &lib.p), TYPE_E_CANTLOADLIBRARY);
  qel::test::WriteFile(dir.path() / "text.tlb", "not a type library at all");
  EXPECT_EQ(LoadTypeLib(W((dir.path() / "text.tlb").string()).c_str(), &lib.p), TYPE_E_CANTLOADLIBRARY);
  qel::test::WriteFile(dir.path() / "empty.tlb", "");
  EXPECT_EQ(LoadTypeLib(W((dir.path() / "empty.tlb").string()).c_str(), &lib.p), TYPE_E_CANTLOADLIBRARY);
  // A program file without a TYPELIB resource.
  EXPECT_EQ(LoadTypeLib(W(QEL_FIXTURE_BARE).c_str(), &lib.p), TYPE_E_CANTLOADLIBRARY);
  EXPECT_EQ(LoadTypeLib(nullptr, &lib.p), E_INVALIDARG);
  EXPECT_EQ(LoadTypeLib(W(QEL_TYPELIB_BUILT).c_str(), nullptr), E_INVALIDARG);
  // Every truncation of a real library, and damaged offsets, are refused.
  std::string full = qel::test::ReadFile(QEL_TYPELIB_BUILT);
  ASSERT_GT(full.size(), 0x200u);
  fs::path cut = dir.path() / "cut.tlb";
  for (size_t len = 4; len < full.size(); len += 7) {
    qel::test::WriteFile(cut, full.substr(0, len));
    EXPECT_EQ(LoadTypeLib(W(cut.string()).c_str(), &lib.p), TYPE_E_INVALIDSTATE) << len;
    EXPECT_EQ(lib.p, nullptr);
  }
  std::string bad = full;
  bad[0x38] = '\x7f';  // the name's offset, far outside the name table
  qel::test::WriteFile(cut, bad);
  EXPECT_EQ(LoadTypeLib(W(cut.string()).c_str(), &lib.p), TYPE_E_INVALIDSTATE);
}

TEST(TypeLibRegistry, RegisterWritesTheWindowsEntriesAndUnregisterRemovesThem) {
  qel::test::ScopedStateDir state;
  Lib lib;
  ASSERT_EQ(LoadTypeLib(W(QEL_FIXTURE_PROGRAM).c_str(), &lib.p), S_OK);
  qel::u16 path = W(QEL_FIXTURE_PROGRAM);
  ASSERT_EQ(RegisterTypeLib(lib.p, path.c_str(), u"/opt/dir/"), S_OK);
  ASSERT_EQ(RegisterTypeLib(lib.p, path.c_str(), u"/opt/dir/"), S_OK);  // twice is fine
  qel::u16 ver = qel::u16(kLibKey) + u"\\1.0";
  EXPECT_EQ(DefaultValue(ver), u"QelUPnPHost 1.0 ﾀｲﾌﾟ ﾗｲﾌﾞﾗﾘ");
  EXPECT_EQ(DefaultValue(ver + u"\\FLAGS"), u"0");
  EXPECT_EQ(DefaultValue(ver + u"\\HELPDIR"), u"/opt/dir/");
  EXPECT_EQ(DefaultValue(ver + u"\\0\\win32"), path);

  BSTR found = nullptr;
  ASSERT_EQ(QueryPathOfRegTypeLib(kLibId, 1, 0, 0x0411, &found), S_OK);
  EXPECT_EQ(Bstr(found), path);

  // Another version keeps the LIBID key alive.
  HKEY h = nullptr;
  ASSERT_EQ(RegCreateKeyExW(HKEY_CLASSES_ROOT, (qel::u16(kLibKey) + u"\\2.0").c_str(), 0, nullptr, 0, KEY_ALL_ACCESS,
                            nullptr, &h, nullptr),
            ERROR_SUCCESS);
  RegCloseKey(h);
  EXPECT_EQ(UnRegisterTypeLib(kLibId, 1, 0, 0, SYS_WIN32), S_OK);
  EXPECT_FALSE(KeyExists(ver));
  EXPECT_TRUE(KeyExists(kLibKey));
  EXPECT_EQ(UnRegisterTypeLib(kLibId, 1, 0, 0, SYS_WIN32), TYPE_E_REGISTRYACCESS);
  ASSERT_EQ(RegDeleteKeyW(HKEY_CLASSES_ROOT, (qel::u16(kLibKey) + u"\\2.0").c_str()), ERROR_SUCCESS);

  // Alone, the version and then the LIBID key go.
  ASSERT_EQ(RegisterTypeLib(lib.p, path.c_str(), nullptr), S_OK);
  EXPECT_FALSE(KeyExists(ver + u"\\HELPDIR"));
  EXPECT_EQ(UnRegisterTypeLib(kLibId, 1, 0, 0, SYS_WIN32), S_OK);
  EXPECT_FALSE(KeyExists(kLibKey));
  EXPECT_EQ(RegisterTypeLib(nullptr, path.c_str(), nullptr), E_INVALIDARG);
  EXPECT_EQ(RegisterTypeLib(lib.p, nullptr, nullptr), E_INVALIDARG);
}

// A registration that stopped part-way, wherever it stopped, is removed by
// UnRegisterTypeLib; entries of another locale or platform keep theirs.
TEST(TypeLibRegistry, HalfWrittenRegistrationIsAlwaysRemoved) {
  qel::test::ScopedStateDir state;
  Lib lib;
  ASSERT_EQ(LoadTypeLib(W(QEL_FIXTURE_PROGRAM).c_str(), &lib.p), S_OK);
  qel::u16 path = W(QEL_FIXTURE_PROGRAM);
  const qel::u16 ver = qel::u16(kLibKey) + u"\\1.0";
  // The key creations and value stores of one registration, each failing in turn.
  struct Stop {
    const char* point;
    int skip;
  };
  const Stop stops[] = {{"RegCreateKeyExW", 1}, {"RegCreateKeyExW", 2}, {"RegCreateKeyExW", 3},
                        {"RegSetValueExW", 0},  {"RegSetValueExW", 1},  {"RegSetValueExW", 2},
                        {"RegSetValueExW", 3}};
  for (const Stop& stop : stops) {
    SCOPED_TRACE(std::string(stop.point) + "@" + std::to_string(stop.skip));
    qel::fault::Arm(stop.point, ERROR_ACCESS_DENIED, stop.skip);
    EXPECT_EQ(RegisterTypeLib(lib.p, path.c_str(), u"/opt/dir/"), TYPE_E_REGISTRYACCESS);
    qel::fault::Reset();
    ASSERT_TRUE(KeyExists(ver));
    EXPECT_EQ(UnRegisterTypeLib(kLibId, 1, 0, 0, SYS_WIN32), S_OK);
    EXPECT_FALSE(KeyExists(kLibKey));
  }
  // A locale key without its platform key.
  HKEY h = nullptr;
  ASSERT_EQ(RegCreateKeyExW(HKEY_CLASSES_ROOT, (ver + u"\\0").c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &h,
                            nullptr),
            ERROR_SUCCESS);
  RegCloseKey(h);
  EXPECT_EQ(UnRegisterTypeLib(kLibId, 1, 0, 0, SYS_WIN32), S_OK);
  EXPECT_FALSE(KeyExists(kLibKey));
  // Nothing registered: nothing to remove.
  EXPECT_EQ(UnRegisterTypeLib(kLibId, 1, 0, 0, SYS_WIN32), TYPE_E_REGISTRYACCESS);

  // Another locale's complete entry keeps the version; only ours goes.
  ASSERT_EQ(RegisterTypeLib(lib.p, path.c_str(), nullptr), S_OK);
  ASSERT_EQ(RegCreateKeyExW(HKEY_CLASSES_ROOT, (ver + u"\\411\\win32").c_str(), 0, nullptr, 0, KEY_ALL_ACCESS,
                            nullptr, &h, nullptr),
            ERROR_SUCCESS);
  RegCloseKey(h);
  EXPECT_EQ(UnRegisterTypeLib(kLibId, 1, 0, 0, SYS_WIN32), S_OK);
  EXPECT_FALSE(KeyExists(ver + u"\\0"));
  EXPECT_TRUE(KeyExists(ver + u"\\411\\win32"));
}

}  // namespace
