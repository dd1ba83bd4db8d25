// Module loading and resources read from program files.
#include <gtest/gtest.h>

#include <windows.h>
#include <oleauto.h>

#include <cstring>
#include <filesystem>
#include <string>

#include "qel/fault.h"
#include "qel/wstr.h"
#include "testsupport.h"

namespace {

namespace fs = std::filesystem;

qel::u16 W(const std::string& s) { return qel::FromUtf8(s); }

// A data-file module freed at the end of the test.
struct DataFile {
  HMODULE h;
  explicit DataFile(const std::string& path) : h(LoadLibraryExW(W(path).c_str(), nullptr, LOAD_LIBRARY_AS_DATAFILE)) {}
  ~DataFile() {
    if (h) FreeLibrary(h);
  }
};

std::string ResourceBytes(HMODULE h, LPCWSTR name, LPCWSTR type) {
  HRSRC r = FindResourceW(h, name, type);
  if (!r) return "<missing>";
  HGLOBAL g = LoadResource(h, r);
  DWORD n = SizeofResource(h, r);
  if (!g) return "<unloadable>";
  return std::string(static_cast<const char*>(LockResource(g)), n);
}

TEST(LoaderDataFile, FindsResourcesByIdNameAndType) {
  DataFile df(QEL_FIXTURE_SCRIPTS);
  ASSERT_NE(df.h, nullptr) << GetLastError();
  std::string script = qel::test::ReadFile(fs::path(QEL_RESOURCE_SOURCES) / "tests/fixture.rgs");
  ASSERT_FALSE(script.empty());
  EXPECT_EQ(ResourceBytes(df.h, MAKEINTRESOURCEW(100), u"REGISTRY"), script);
  // Named types and names compare without regard to case; "#n" is the id n.
  EXPECT_EQ(ResourceBytes(df.h, MAKEINTRESOURCEW(100), u"registry"), script);
  EXPECT_EQ(ResourceBytes(df.h, u"#100", u"Registry"), script);
  EXPECT_EQ(ResourceBytes(df.h, u"greeting", u"TextData"), script);
  EXPECT_EQ(ResourceBytes(df.h, MAKEINTRESOURCEW(7), RT_RCDATA), script);

  EXPECT_EQ(FindResourceW(df.h, MAKEINTRESOURCEW(100), u"NOSUCHTYPE"), nullptr);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_RESOURCE_TYPE_NOT_FOUND));
  EXPECT_EQ(FindResourceW(df.h, MAKEINTRESOURCEW(101), u"REGISTRY"), nullptr);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_RESOURCE_NAME_NOT_FOUND));
  EXPECT_EQ(FindResourceW(df.h, u"#70000", u"REGISTRY"), nullptr);
  // Data-file modules run nothing.
  EXPECT_EQ(GetProcAddress(df.h, "qel_fixture_marker"), nullptr);
}

TEST(LoaderDataFile, ProgramResourcesAreTheScriptStringAndTypeLibrary) {
  DataFile df(QEL_FIXTURE_PROGRAM);
  ASSERT_NE(df.h, nullptr);
  std::string script = ResourceBytes(df.h, MAKEINTRESOURCEW(100), u"REGISTRY");
  EXPECT_EQ(script.size(), 177u);
  EXPECT_EQ(script, qel::test::ReadFile(fs::path(QEL_RESOURCE_SOURCES) / "QelUPnP.rgs"));
  std::string tlb = ResourceBytes(df.h, MAKEINTRESOURCEW(1), u"TYPELIB");
  EXPECT_EQ(tlb.substr(0, 4), "MSFT");
  EXPECT_EQ(tlb, qel::test::ReadFile(QEL_TYPELIB_BUILT));
  WCHAR buf[256];
  EXPECT_EQ(LoadStringW(df.h, 100, buf, 256), 7);
  EXPECT_EQ(qel::u16(buf), u"QelUPnP");
}

TEST(LoaderStrings, TruncatesTerminatesAndHandsOutPointers) {
  DataFile df(QEL_FIXTURE_SCRIPTS);
  ASSERT_NE(df.h, nullptr);
  WCHAR buf[64];
  EXPECT_EQ(LoadStringW(df.h, 1, buf, 64), 3);
  EXPECT_EQ(qel::u16(buf), u"one");
  EXPECT_EQ(LoadStringW(df.h, 17, buf, 64), 9);
  EXPECT_EQ(qel::u16(buf), u"seventeen");
  // Too small a buffer: the string is cut and terminated.
  WCHAR small[6];
  std::memset(small, 0x55, sizeof small);
  EXPECT_EQ(LoadStringW(df.h, 101, small, 5), 4);
  EXPECT_EQ(qel::u16(small), u"a lo");
  EXPECT_EQ(small[5], 0x5555);  // nothing written past the buffer
  // cch 0: a pointer to the text itself, not terminated, and its length.
  const WCHAR* ro = nullptr;
  int n = LoadStringW(df.h, 101, reinterpret_cast<LPWSTR>(&ro), 0);
  ASSERT_EQ(n, 30);
  EXPECT_EQ(qel::u16(ro, n), u"a longer string for truncation");
  // Absent strings, in a present block and in an absent one.
  buf[0] = u'x';
  EXPECT_EQ(LoadStringW(df.h, 2, buf, 64), 0);
  EXPECT_EQ(buf[0], 0);
  EXPECT_EQ(LoadStringW(df.h, 5000, buf, 64), 0);
  // The Japanese table is a language variant of block 7.
  HRSRC r = FindResourceExW(df.h, RT_STRING, MAKEINTRESOURCEW(7), MAKELANGID(0x11, 1));
  ASSERT_NE(r, nullptr);
  EXPECT_EQ(FindResourceExW(df.h, RT_STRING, MAKEINTRESOURCEW(7), MAKELANGID(0x07, 1)), nullptr);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_RESOURCE_LANG_NOT_FOUND));
}

TEST(LoaderFailures, MissingSectionBadFilesAndHandles) {
  {
    DataFile bare(QEL_FIXTURE_BARE);
    ASSERT_NE(bare.h, nullptr);
    EXPECT_EQ(FindResourceW(bare.h, MAKEINTRESOURCEW(100), u"REGISTRY"), nullptr);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_RESOURCE_DATA_NOT_FOUND));
  }
  qel::test::TempDir dir;
  EXPECT_EQ(LoadLibraryExW(W((dir.path() / "absent").string()).c_str(), nullptr, LOAD_LIBRARY_AS_DATAFILE), nullptr);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
  qel::test::WriteFile(dir.path() / "text.exe", "this is not a program\n");
  EXPECT_EQ(LoadLibraryExW(W((dir.path() / "text.exe").string()).c_str(), nullptr, LOAD_LIBRARY_AS_DATAFILE),
            nullptr);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_BAD_EXE_FORMAT));
  EXPECT_EQ(LoadLibraryExW(W(dir.path().string()).c_str(), nullptr, LOAD_LIBRARY_AS_DATAFILE), nullptr);
  EXPECT_EQ(LoadLibraryW(W((dir.path() / "text.exe").string()).c_str()), nullptr);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_BAD_EXE_FORMAT));
  EXPECT_EQ(LoadLibraryW(W((dir.path() / "absent.so").string()).c_str()), nullptr);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_MOD_NOT_FOUND));

  EXPECT_FALSE(FreeLibrary(nullptr));
  EXPECT_FALSE(FreeLibrary(reinterpret_cast<HMODULE>(0x10)));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
  // The test program itself carries no resources.
  WCHAR buf[8] = {u'x'};
  EXPECT_EQ(LoadStringW(GetModuleHandleW(nullptr), 100, buf, 8), 0);
  EXPECT_EQ(buf[0], 0);
  EXPECT_EQ(FindResourceW(nullptr, MAKEINTRESOURCEW(100), u"REGISTRY"), nullptr);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_RESOURCE_DATA_NOT_FOUND));
}

// Every truncation of a program file and a damaged resource directory fail
// cleanly: an error at load or at lookup, never a crash or a wrong resource.
TEST(LoaderFailures, TruncatedAndCorruptFilesNeverCrash) {
  std::string full = qel::test::ReadFile(QEL_FIXTURE_SCRIPTS);
  ASSERT_GT(full.size(), 1000u);
  std::string script = qel::test::ReadFile(fs::path(QEL_RESOURCE_SOURCES) / "tests/fixture.rgs");
  qel::test::TempDir dir;
  fs::path copy = dir.path() / "copy.so";
  size_t step = full.size() / 150 + 1;
  for (size_t len = 0; len < full.size(); len += step) {
    qel::test::WriteFile(copy, full.substr(0, len));
    DataFile df(copy.string());
    if (!df.h) {
      EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_BAD_EXE_FORMAT)) << len;
      continue;
    }
    std::string got = ResourceBytes(df.h, MAKEINTRESOURCEW(100), u"REGISTRY");
    EXPECT_TRUE(got == "<missing>" || got == script) << len;
  }
  // A resource directory that claims more entries than it holds.
  size_t at = full.find("QRSC");
  ASSERT_NE(at, std::string::npos);
  std::string bad = full;
  bad[at + 8] = '\xff';
  bad[at + 9] = '\xff';
  qel::test::WriteFile(copy, bad);
  DataFile df(copy.string());
  ASSERT_NE(df.h, nullptr);
  EXPECT_EQ(FindResourceW(df.h, MAKEINTRESOURCEW(100), u"REGISTRY"), nullptr);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_RESOURCE_DATA_NOT_FOUND));
  // A handle from another module is not taken for one of this module's.
  DataFile good(QEL_FIXTURE_SCRIPTS);
  HRSRC r = FindResourceW(good.h, MAKEINTRESOURCEW(100), u"REGISTRY");
  ASSERT_NE(r, nullptr);
  EXPECT_EQ(LoadResource(df.h, r), nullptr);
  EXPECT_EQ(SizeofResource(df.h, r), 0u);
}

TEST(LoaderLibraries, RealLibraryAndBuiltinModule) {
  HMODULE h = LoadLibraryW(W(QEL_FIXTURE_SCRIPTS).c_str());
  ASSERT_NE(h, nullptr) << GetLastError();
  auto fn = reinterpret_cast<int (*)()>(reinterpret_cast<void*>(GetProcAddress(h, "qel_fixture_marker")));
  ASSERT_NE(fn, nullptr);
  EXPECT_EQ(fn(), 42);
  EXPECT_EQ(GetProcAddress(h, "no_such_function"), nullptr);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_PROC_NOT_FOUND));
  // The module handle of a loaded library leads to its file and its resources.
  WCHAR path[MAX_PATH];
  DWORD n = GetModuleFileNameW(h, path, MAX_PATH);
  ASSERT_GT(n, 0u);
  EXPECT_EQ(fs::canonical(qel::ToUtf8(qel::u16(path, n))), fs::canonical(QEL_FIXTURE_SCRIPTS));
  WCHAR buf[16];
  EXPECT_EQ(LoadStringW(h, 100, buf, 16), 7);
  EXPECT_EQ(qel::u16(buf), u"QelUPnP");
  HMODULE again = LoadLibraryW(W(QEL_FIXTURE_SCRIPTS).c_str());
  EXPECT_EQ(again, h);
  EXPECT_TRUE(FreeLibrary(again));
  EXPECT_TRUE(FreeLibrary(h));

  for (const char16_t* name : {u"oleaut32.dll", u"OLEAUT32.DLL", u"OleAut32"}) {
    HMODULE ole = LoadLibraryW(name);
    ASSERT_NE(ole, nullptr);
    EXPECT_EQ(reinterpret_cast<void*>(GetProcAddress(ole, "UnRegisterTypeLib")),
              reinterpret_cast<void*>(&UnRegisterTypeLib));
    EXPECT_EQ(reinterpret_cast<void*>(GetProcAddress(ole, "LoadTypeLib")), reinterpret_cast<void*>(&LoadTypeLib));
    EXPECT_EQ(GetProcAddress(ole, "unregistertypelib"), nullptr);  // export names keep their case
    EXPECT_TRUE(FreeLibrary(ole));
  }
}

TEST(LoaderFaults, ArmedPointsFailWithTheirCode) {
  qel::fault::Arm("LoadLibraryExW", ERROR_ACCESS_DENIED);
  EXPECT_EQ(LoadLibraryExW(W(QEL_FIXTURE_SCRIPTS).c_str(), nullptr, LOAD_LIBRARY_AS_DATAFILE), nullptr);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
  DataFile df(QEL_FIXTURE_SCRIPTS);
  ASSERT_NE(df.h, nullptr);
  qel::fault::Arm("FindResourceW", ERROR_RESOURCE_TYPE_NOT_FOUND);
  EXPECT_EQ(FindResourceW(df.h, MAKEINTRESOURCEW(100), u"REGISTRY"), nullptr);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_RESOURCE_TYPE_NOT_FOUND));
  qel::fault::Reset();
}

}  // namespace
