// Registration of the module's type library.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "comreg.h"
#include "qel/fault.h"
#include "qel/wstr.h"
#include "testsupport.h"

namespace {

namespace fs = std::filesystem;

const char16_t kVersionKey[] = u"TypeLib\\{E4190B6C-2A7F-4C3D-8E25-5B9F17D4A0C6}\\1.0";
const char16_t kLibKey[] = u"TypeLib\\{E4190B6C-2A7F-4C3D-8E25-5B9F17D4A0C6}";

qel::u16 W(const std::string& s) { return qel::FromUtf8(s); }

qel::u16 DefaultValue(const qel::u16& path) {
  HKEY h = nullptr;
  if (RegOpenKeyExW(HKEY_CLASSES_ROOT, path.c_str(), 0, KEY_READ, &h) != ERROR_SUCCESS) return u"<no key>";
  WCHAR buf[512];
  DWORD cb = sizeof buf, type = 0;
  LSTATUS st = RegQueryValueExW(h, nullptr, nullptr, &type, reinterpret_cast<BYTE*>(buf), &cb);
  RegCloseKey(h);
  if (st != ERROR_SUCCESS) return u"<no value>";
  return qel::u16(buf, cb / 2 ? cb / 2 - 1 : 0);
}

bool Exists(const qel::u16& path) {
  HKEY h = nullptr;
  if (RegOpenKeyExW(HKEY_CLASSES_ROOT, path.c_str(), 0, KEY_READ, &h) != ERROR_SUCCESS) return false;
  RegCloseKey(h);
  return true;
}

// A module part whose type library instance is a loaded library file.
class TypeLibRegTest : public ::testing::Test {
 protected:
  void SetUp() override { CoInitialize(nullptr); }
  void TearDown() override {
    for (HMODULE h : m_loaded) FreeLibrary(h);
    CoUninitialize();
    qel::fault::Reset();
  }
  CComPart ModuleFor(const fs::path& file) {
    HMODULE h = LoadLibraryW(W(file.string()).c_str());
    EXPECT_NE(h, nullptr) << file;
    m_loaded.push_back(h);
    CComPart m;
    m.m_hInstance = h;
    m.m_hTypeLibInstance = h;
    m.m_classTable = m_table;
    return m;
  }

  qel::test::ScopedStateDir m_state;
  ClassObjectEntry m_table[1] = {};
  std::vector<HMODULE> m_loaded;
};

TEST_F(TypeLibRegTest, RegistersTheProgramFilesLibraryWithItsFolderAsHelpDir) {
  qel::test::TempDir dir;
  fs::path prog = dir.path() / "prog.v2" / "qelupnp";
  fs::create_directories(prog.parent_path());
  fs::copy_file(QEL_FIXTURE_PROGRAM, prog);
  CComPart m = ModuleFor(prog);
  ASSERT_EQ(RegisterModule(&m, TRUE, nullptr), S_OK);
  ASSERT_EQ(RegisterModule(&m, TRUE, nullptr), S_OK);  // twice is fine
  EXPECT_EQ(DefaultValue(kVersionKey), u"QelUPnPHost 1.0 ﾀｲﾌﾟ ﾗｲﾌﾞﾗﾘ");
  EXPECT_EQ(DefaultValue(qel::u16(kVersionKey) + u"\\0\\win32"), W(prog.string()));
  EXPECT_EQ(DefaultValue(qel::u16(kVersionKey) + u"\\HELPDIR"), W(prog.parent_path().string() + "/"));
  EXPECT_EQ(DefaultValue(qel::u16(kVersionKey) + u"\\FLAGS"), u"0");

  EXPECT_EQ(UnregisterModule(&m, TRUE, nullptr), S_OK);
  EXPECT_FALSE(Exists(kLibKey));
  // Unregistering a library that is not registered still succeeds.
  EXPECT_EQ(UnregisterModule(&m, TRUE, nullptr), S_OK);
  // Without the flag nothing is registered.
  EXPECT_EQ(RegisterModule(&m, FALSE, nullptr), S_OK);
  EXPECT_FALSE(Exists(kLibKey));
}

TEST_F(TypeLibRegTest, FallsBackToTheTlbFileBesideTheProgram) {
  qel::test::TempDir dir;
  fs::path prog = dir.path() / "bare.so";
  fs::copy_file(QEL_FIXTURE_BARE, prog);
  CComPart m = ModuleFor(prog);
  // No resource and no .tlb: the load's failure is the result.
  EXPECT_EQ(RegisterModule(&m, TRUE, nullptr), TYPE_E_CANTLOADLIBRARY);
  EXPECT_EQ(UnregisterModule(&m, TRUE, nullptr), S_OK);
  fs::copy_file(QEL_TYPELIB_BUILT, dir.path() / "bare.tlb");
  ASSERT_EQ(RegisterModule(&m, TRUE, nullptr), S_OK);
  EXPECT_EQ(DefaultValue(qel::u16(kVersionKey) + u"\\0\\win32"), W((dir.path() / "bare.tlb").string()));
  EXPECT_EQ(UnregisterModule(&m, TRUE, nullptr), S_OK);
  EXPECT_FALSE(Exists(kLibKey));

  // A file name without any dot gets ".tlb" appended.
  fs::path nodot = dir.path() / "nodot";
  fs::copy_file(QEL_FIXTURE_BARE, nodot);
  fs::copy_file(QEL_TYPELIB_BUILT, dir.path() / "nodot.tlb");
  CComPart m2 = ModuleFor(nodot);
  ASSERT_EQ(RegisterTypeLibrary(&m2, nullptr), S_OK);
  EXPECT_EQ(DefaultValue(qel::u16(kVersionKey) + u"\\0\\win32"), W((dir.path() / "nodot.tlb").string()));
}

TEST_F(TypeLibRegTest, IndexTextNullModuleAndFailures) {
  EXPECT_EQ(RegisterModule(nullptr, TRUE, nullptr), E_INVALIDARG);
  EXPECT_EQ(UnregisterModule(nullptr, TRUE, nullptr), E_INVALIDARG);
  EXPECT_EQ(RegisterTypeLibrary(nullptr, nullptr), E_INVALIDARG);
  CComPart m = ModuleFor(QEL_FIXTURE_PROGRAM);
  ASSERT_EQ(RegisterTypeLibrary(&m, u"\\1"), S_OK);
  EXPECT_EQ(DefaultValue(qel::u16(kVersionKey) + u"\\0\\win32"), W(std::string(QEL_FIXTURE_PROGRAM) + "\\1"));
  EXPECT_EQ(UnregisterTypeLibrary(&m, u"\\1"), S_OK);
  EXPECT_FALSE(Exists(kLibKey));
  EXPECT_EQ(RegisterTypeLibrary(&m, u"\\2"), TYPE_E_CANTLOADLIBRARY);
  // A path that no longer fits the buffer with the index text is refused.
  EXPECT_EQ(RegisterTypeLibrary(&m, qel::u16(300, u'x').c_str()), HRESULT_FROM_WIN32(ERROR_INSUFFICIENT_BUFFER));

  // The registration's failure is the result of RegisterModule.
  qel::fault::Arm("RegisterTypeLib", TYPE_E_REGISTRYACCESS);
  EXPECT_EQ(RegisterModule(&m, TRUE, nullptr), TYPE_E_REGISTRYACCESS);
  ASSERT_EQ(RegisterModule(&m, TRUE, nullptr), S_OK);
  // Without oleaut32's UnRegisterTypeLib, or attributes, the library stays and
  // the removal still reports success.
  qel::fault::Arm("GetProcAddress", ERROR_PROC_NOT_FOUND);
  EXPECT_EQ(UnregisterModule(&m, TRUE, nullptr), S_OK);
  EXPECT_TRUE(Exists(kVersionKey));
  qel::fault::Arm("ITypeLib::GetLibAttr", E_OUTOFMEMORY);
  EXPECT_EQ(UnregisterTypeLibrary(&m, nullptr), S_OK);
  EXPECT_TRUE(Exists(kVersionKey));
  qel::fault::Arm("LoadLibraryExW", ERROR_NOT_ENOUGH_MEMORY);
  EXPECT_EQ(UnregisterTypeLibrary(&m, nullptr), TYPE_E_CANTLOADLIBRARY);
  EXPECT_TRUE(Exists(kVersionKey));
  EXPECT_EQ(UnregisterTypeLibrary(&m, nullptr), S_OK);
  EXPECT_FALSE(Exists(kLibKey));
}

int g_nUpdates = 0;
HRESULT WINAPI CountingUpdate(BOOL bRegister) {
  g_nUpdates += bRegister ? 1 : 100;
  return S_OK;
}
HRESULT WINAPI FailingUpdate(BOOL) { return E_ACCESSDENIED; }

TEST_F(TypeLibRegTest, ClassTableEntriesAreUpdatedBeforeTheLibrary) {
  const CLSID a = {1, 2, 3, {4, 5, 6, 7, 8, 9, 10, 11}};
  const CLSID b = {9, 2, 3, {4, 5, 6, 7, 8, 9, 10, 11}};
  ClassObjectEntry table[3] = {};
  table[0].pclsid = &a;
  table[0].pfnUpdateRegistry = &CountingUpdate;
  table[1].pclsid = &b;
  table[1].pfnUpdateRegistry = &FailingUpdate;
  CComPart m = ModuleFor(QEL_FIXTURE_PROGRAM);
  m.m_classTable = table;
  g_nUpdates = 0;
  EXPECT_EQ(RegisterModule(&m, TRUE, &a), S_OK);
  EXPECT_EQ(g_nUpdates, 1);
  EXPECT_EQ(RegisterModule(&m, TRUE, nullptr), E_ACCESSDENIED);
  EXPECT_EQ(UnregisterModule(&m, FALSE, &a), S_OK);
  EXPECT_EQ(g_nUpdates, 102);
}

}  // namespace
