// The registration script interpreter against a private registry store.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "RegistryScript.h"
#include "qel/fault.h"
#include "qel/wstr.h"
#include "testsupport.h"

namespace {

namespace fs = std::filesystem;

const char16_t kAppIdKey[] = u"AppID\\{3C5E9A17-6B2D-4E80-9F41-A2D7C06E8B35}";

qel::u16 W(const std::string& s) { return qel::FromUtf8(s); }

class ScriptTest : public ::testing::Test {
 protected:
  void SetUp() override { CoInitialize(nullptr); }
  void TearDown() override {
    CoUninitialize();
    qel::fault::Reset();
  }

  // Runs script text with "Module" and the given extra variables.
  HRESULT Run(const qel::u16& text, BOOL bRegister, std::vector<std::pair<qel::u16, qel::u16>> extra = {}) {
    ScriptVariables vars;
    EXPECT_EQ(vars.Add(u"Module", u"/opt/it''s/qelupnp"), S_OK);
    for (auto& [n, v] : extra) EXPECT_EQ(vars.Add(n.c_str(), v.c_str()), S_OK);
    RegistryScript script(vars);
    return script.RunScriptText(text.c_str(), bRegister);
  }

  static bool Exists(HKEY root, const qel::u16& path) {
    HKEY h = nullptr;
    if (RegOpenKeyExW(root, path.c_str(), 0, KEY_READ, &h) != ERROR_SUCCESS) return false;
    RegCloseKey(h);
    return true;
  }
  static void Make(HKEY root, const qel::u16& path) {
    HKEY h = nullptr;
    ASSERT_EQ(RegCreateKeyExW(root, path.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &h, nullptr), ERROR_SUCCESS);
    RegCloseKey(h);
  }
  static void SetString(HKEY root, const qel::u16& path, const char16_t* name, const qel::u16& value) {
    HKEY h = nullptr;
    ASSERT_EQ(RegCreateKeyExW(root, path.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &h, nullptr), ERROR_SUCCESS);
    RegSetValueExW(h, name, 0, REG_SZ, reinterpret_cast<const BYTE*>(value.c_str()),
                   static_cast<DWORD>((value.size() + 1) * 2));
    RegCloseKey(h);
  }
  // The value's type and bytes, or type REG_NONE with "<absent>".
  static std::pair<DWORD, std::string> Value(HKEY root, const qel::u16& path, const char16_t* name) {
    HKEY h = nullptr;
    if (RegOpenKeyExW(root, path.c_str(), 0, KEY_READ, &h) != ERROR_SUCCESS) return {REG_NONE, "<no key>"};
    BYTE buf[8192];
    DWORD cb = sizeof buf, type = 0;
    LSTATUS st = RegQueryValueExW(h, name, nullptr, &type, buf, &cb);
    RegCloseKey(h);
    if (st != ERROR_SUCCESS) return {REG_NONE, "<absent>"};
    return {type, std::string(reinterpret_cast<char*>(buf), cb)};
  }
  static std::string Sz(const qel::u16& s) {
    return std::string(reinterpret_cast<const char*>(s.c_str()), (s.size() + 1) * 2);
  }

  qel::test::ScopedStateDir m_state;
};

// ---------------------------------------------------------------------------
// The program's own script, from the program's resources

TEST_F(ScriptTest, ProgramScriptRegistersAndRemovesItsEntries) {
  ScriptVariables vars;
  RegistryScript run(vars);
  qel::u16 path = W(QEL_FIXTURE_PROGRAM);
  ASSERT_EQ(run.RunScriptResource(path.c_str(), 100, u"REGISTRY", TRUE), S_OK);
  EXPECT_EQ(Value(HKEY_CLASSES_ROOT, kAppIdKey, nullptr), std::make_pair(DWORD{REG_SZ}, Sz(u"QelUPnP")));
  EXPECT_EQ(Value(HKEY_CLASSES_ROOT, u"AppID\\QelUPnP.EXE", u"AppID"),
            std::make_pair(DWORD{REG_SZ}, Sz(u"{3C5E9A17-6B2D-4E80-9F41-A2D7C06E8B35}")));
  // Registering twice changes nothing.
  ASSERT_EQ(run.RunScriptResource(path.c_str(), 100, u"REGISTRY", TRUE), S_OK);

  // The values the command line adds go with the key.
  SetString(HKEY_CLASSES_ROOT, kAppIdKey, u"LocalService", u"QelUPnP");
  SetString(HKEY_CLASSES_ROOT, kAppIdKey, u"ServiceParameters", u"-Service");
  Make(HKEY_CLASSES_ROOT, u"AppID\\{11111111-2222-3333-4444-555555555555}");  // another application
  ASSERT_EQ(run.RunScriptResource(path.c_str(), 100, u"REGISTRY", FALSE), S_OK);
  EXPECT_FALSE(Exists(HKEY_CLASSES_ROOT, kAppIdKey));
  EXPECT_FALSE(Exists(HKEY_CLASSES_ROOT, u"AppID\\QelUPnP.EXE"));
  EXPECT_TRUE(Exists(HKEY_CLASSES_ROOT, u"AppID\\{11111111-2222-3333-4444-555555555555}"));
  // A second removal finds nothing to do and still succeeds.
  EXPECT_EQ(run.RunScriptResource(path.c_str(), 100, u"REGISTRY", FALSE), S_OK);
  EXPECT_TRUE(Exists(HKEY_CLASSES_ROOT, u"AppID"));
  // AppID is NoRemove: even when empty it stays.
  RegDeleteKeyW(HKEY_CLASSES_ROOT, u"AppID\\{11111111-2222-3333-4444-555555555555}");
  EXPECT_EQ(run.RunScriptResource(path.c_str(), 100, u"REGISTRY", FALSE), S_OK);
  EXPECT_TRUE(Exists(HKEY_CLASSES_ROOT, u"AppID"));
}

TEST_F(ScriptTest, ResourceFailuresGiveTheLoaderErrorAsHResult) {
  ScriptVariables vars;
  RegistryScript run(vars);
  qel::test::TempDir dir;
  EXPECT_EQ(run.RunScriptResource(W((dir.path() / "absent").string()).c_str(), 100, u"REGISTRY", TRUE),
            static_cast<HRESULT>(0x80070002));
  // A program file copied without its resources.
  EXPECT_EQ(run.RunScriptResource(W(QEL_FIXTURE_BARE).c_str(), 100, u"REGISTRY", TRUE),
            static_cast<HRESULT>(0x80070714));
  EXPECT_EQ(run.RunScriptResource(W(QEL_FIXTURE_PROGRAM).c_str(), 101, u"REGISTRY", TRUE),
            static_cast<HRESULT>(0x80070716));
  EXPECT_EQ(run.RunScriptResource(W(QEL_FIXTURE_PROGRAM).c_str(), 100, u"NOSCRIPT", TRUE),
            static_cast<HRESULT>(0x80070715));
  // A truncated program file.
  std::string full = qel::test::ReadFile(QEL_FIXTURE_PROGRAM);
  qel::test::WriteFile(dir.path() / "cut.so", full.substr(0, full.size() / 3));
  EXPECT_EQ(run.RunScriptResource(W((dir.path() / "cut.so").string()).c_str(), 100, u"REGISTRY", TRUE),
            static_cast<HRESULT>(0x800700C1));
  qel::fault::Arm("LoadResource", ERROR_NOT_ENOUGH_MEMORY);
  EXPECT_EQ(run.RunScriptResource(W(QEL_FIXTURE_PROGRAM).c_str(), 100, u"REGISTRY", TRUE),
            static_cast<HRESULT>(0x80070008));
  EXPECT_FALSE(Exists(HKEY_CLASSES_ROOT, kAppIdKey));
}

// ApplyRegistryScript finds the program file through the module's instance
// handle and gives the script its path as "Module".
TEST_F(ScriptTest, ApplyRegistryScriptUsesTheModulesFileAndPath) {
  qel::test::TempDir dir;
  fs::path copy = dir.path() / "it's he\xcc\x81re" / "fixture.so";  // a quote and a combining mark
  fs::create_directories(copy.parent_path());
  fs::copy_file(QEL_FIXTURE_SCRIPTS, copy);
  HMODULE h = LoadLibraryW(W(copy.string()).c_str());
  ASSERT_NE(h, nullptr);
  CQelUPnP* saved = g_pModule;
  HINSTANCE savedInstance = g_Module.m_hInstance;
  g_pModule = &g_Module;
  g_Module.m_hInstance = h;
  EXPECT_EQ(ApplyRegistryScript(&g_Module, 100, TRUE, nullptr), S_OK);
  EXPECT_EQ(Value(HKEY_CURRENT_USER, u"QelFixture", nullptr), std::make_pair(DWORD{REG_SZ}, Sz(W(copy.string()))));
  EXPECT_EQ(ApplyRegistryScript(&g_Module, 100, FALSE, nullptr), S_OK);
  EXPECT_FALSE(Exists(HKEY_CURRENT_USER, u"QelFixture"));
  // Only the low 16 bits of the id count.
  EXPECT_EQ(ApplyRegistryScript(&g_Module, 0x10064, TRUE, nullptr), S_OK);
  EXPECT_TRUE(Exists(HKEY_CURRENT_USER, u"QelFixture"));

  // The test program itself has no resources.
  g_Module.m_hInstance = nullptr;
  EXPECT_EQ(ApplyRegistryScript(&g_Module, 100, TRUE, nullptr), static_cast<HRESULT>(0x80070714));
  g_Module.m_hInstance = savedInstance;
  g_pModule = saved;
  FreeLibrary(h);
}

// ---------------------------------------------------------------------------
// Syntax and its one error code

struct Case {
  const char* text;
  HRESULT hr;         // register pass
  HRESULT hrRemoval;  // removal pass, which neither looks up types nor converts values
};

TEST_F(ScriptTest, SyntaxErrorsAndAcceptedForms) {
  const Case cases[] = {
      {"", S_OK, S_OK},  // an empty script does nothing
      {" \t\r\n ", DISP_E_EXCEPTION, DISP_E_EXCEPTION},
      {"HKCU { }\r\n\r\n  ", S_OK, S_OK},
      {"hkcu { } HKEY_Current_User { } hkdd { } HKCC { } HKEY_USERS { }", S_OK, S_OK},
      {"'HKCU' '{' '}'", S_OK, S_OK},  // quoting changes nothing
      {"HKCU\\Software { }", DISP_E_EXCEPTION, DISP_E_EXCEPTION},
      {"HKXX { }", DISP_E_EXCEPTION, DISP_E_EXCEPTION},
      {"HKCU{ }", DISP_E_EXCEPTION, DISP_E_EXCEPTION},
      {"HKCU", DISP_E_EXCEPTION, DISP_E_EXCEPTION},
      {"HKCU x", DISP_E_EXCEPTION, DISP_E_EXCEPTION},
      {"HKCU { A { B }", DISP_E_EXCEPTION, DISP_E_EXCEPTION},  // unbalanced
      {"HKCU { 'A }", DISP_E_EXCEPTION, DISP_E_EXCEPTION},      // unterminated quote
      {"HKCU { A\\B }", DISP_E_EXCEPTION, DISP_E_EXCEPTION},
      {"HKCU { Val }", DISP_E_EXCEPTION, DISP_E_EXCEPTION},
      {"HKCU { 'Val' x }", DISP_E_EXCEPTION, DISP_E_EXCEPTION},  // a quoted keyword is the keyword
      {"HKCU { val x s y }", DISP_E_EXCEPTION, DISP_E_EXCEPTION},
      {"HKCU { A = q 1 }", DISP_E_EXCEPTION, S_OK},
      {"HKCU { A = s", DISP_E_EXCEPTION, DISP_E_EXCEPTION},
      {"HKCU { A = s x", DISP_E_EXCEPTION, DISP_E_EXCEPTION},
      {"HKCU { A = b 123 }", E_FAIL, S_OK},
      {"HKCU { A = d 12ab }", DISP_E_TYPEMISMATCH, S_OK},
      {"HKCU { A = d '' }", DISP_E_TYPEMISMATCH, S_OK},
      {"HKCU { A } }", DISP_E_EXCEPTION, DISP_E_EXCEPTION},
      {"HKCU { A } HKCU", DISP_E_EXCEPTION, DISP_E_EXCEPTION},
      {"HKCU { %Absent% }", DISP_E_EXCEPTION, DISP_E_EXCEPTION},
      {"HKCU { A = s 100% }", DISP_E_EXCEPTION, DISP_E_EXCEPTION},
      {"HKCU { A = s %Module }", DISP_E_EXCEPTION, DISP_E_EXCEPTION},
      {"HKCU { %abcdefghijabcdefghijabcdefghij12% }", E_FAIL, E_FAIL},  // 32 characters
      {"HKCU { Delete }", DISP_E_EXCEPTION, DISP_E_EXCEPTION},
      {"HKCU { Delete A\\B }", DISP_E_EXCEPTION, DISP_E_EXCEPTION},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(Run(W(c.text), TRUE), c.hr) << c.text;
    EXPECT_EQ(Run(W(c.text), FALSE), c.hrRemoval) << c.text;
  }
  // Nothing any of them wrote is left behind.
  EXPECT_FALSE(Exists(HKEY_CURRENT_USER, u"A"));
}

TEST_F(ScriptTest, QuotesExpansionAndValueTypes) {
  const char* text =
      "HKCU { T {"
      " val Quote = s 'It''s'"
      " val Empty = s ''"
      " val Path = s '%Module%'"
      " val Upper = s '%MODULE%'"
      " val Percent = s 100%%"
      " val Extra = s %Extra%"
      " val Num = d 255"
      " val Big = d 4294967295"
      " val Bin = b 0aFf"
      " val NotHex = b zz1G"
      " val NoBytes = b ''"
      " val 'name with blanks' = s '{ = }'"
      " {3C5E9A17-6B2D-4E80-9F41-A2D7C06E8B35} = s 'a key, not a block'"
      // Combining marks travel with the character before them.
      " val Marked = s 'e\u0301''\u0301 x\u20DD'"
      " val Bare\u0301 = s c\u0327%Marks%"
      " } }";
  ASSERT_EQ(Run(W(text), TRUE, {{u"Extra", u"more"}, {u"extra", u"shadowed"}, {u"Marks", u"a\u0301"}}), S_OK);
  qel::u16 t = u"T";
  EXPECT_EQ(Value(HKEY_CURRENT_USER, t, u"Quote").second, Sz(u"It's"));
  EXPECT_EQ(Value(HKEY_CURRENT_USER, t, u"Empty").second, Sz(u""));
  EXPECT_EQ(Value(HKEY_CURRENT_USER, t, u"Path").second, Sz(u"/opt/it's/qelupnp"));
  EXPECT_EQ(Value(HKEY_CURRENT_USER, t, u"Upper").second, Sz(u"/opt/it's/qelupnp"));
  EXPECT_EQ(Value(HKEY_CURRENT_USER, t, u"Percent").second, Sz(u"100%"));
  EXPECT_EQ(Value(HKEY_CURRENT_USER, t, u"Extra").second, Sz(u"more"));
  EXPECT_EQ(Value(HKEY_CURRENT_USER, t, u"Num"), std::make_pair(DWORD{REG_DWORD}, std::string("\xff\0\0\0", 4)));
  EXPECT_EQ(Value(HKEY_CURRENT_USER, t, u"Big").second, std::string("\xff\xff\xff\xff", 4));
  EXPECT_EQ(Value(HKEY_CURRENT_USER, t, u"Bin"), std::make_pair(DWORD{REG_BINARY}, std::string("\x0a\xff", 2)));
  EXPECT_EQ(Value(HKEY_CURRENT_USER, t, u"NotHex").second, std::string("\x00\x10", 2));
  EXPECT_EQ(Value(HKEY_CURRENT_USER, t, u"NoBytes"), std::make_pair(DWORD{REG_BINARY}, std::string()));
  EXPECT_EQ(Value(HKEY_CURRENT_USER, t, u"name with blanks").second, Sz(u"{ = }"));
  EXPECT_EQ(Value(HKEY_CURRENT_USER, t, u"Marked").second, Sz(u"e\u0301'\u0301 x\u20DD"));
  EXPECT_EQ(Value(HKEY_CURRENT_USER, t, u"Bare\u0301").second, Sz(u"c\u0327a\u0301"));
  EXPECT_EQ(Value(HKEY_CURRENT_USER, u"T\\{3C5E9A17-6B2D-4E80-9F41-A2D7C06E8B35}", nullptr).second,
            Sz(u"a key, not a block"));
  // The removal pass reads the same text and takes it all back.
  ASSERT_EQ(Run(W(text), FALSE, {{u"Extra", u"more"}, {u"Marks", u""}}), S_OK);
  EXPECT_FALSE(Exists(HKEY_CURRENT_USER, u"T"));
}

TEST_F(ScriptTest, BufferLimitsFailWithoutWritingPastThem) {
  auto run = [&](const std::string& text) { return Run(W(text), TRUE); };
  std::string v4094(4094, 'v'), v4095(4095, 'v');
  EXPECT_EQ(run("HKCU { Long = s " + v4094 + " }"), S_OK);
  EXPECT_EQ(Value(HKEY_CURRENT_USER, u"Long", nullptr).second, Sz(W(v4094)));
  EXPECT_EQ(run("HKCU { Long = s '" + v4095 + "' }"), DISP_E_EXCEPTION);
  EXPECT_EQ(run("HKCU { Long = " + v4095 + " v }"), DISP_E_EXCEPTION);
  EXPECT_EQ(run("HKCU { " + v4095 + " }"), DISP_E_EXCEPTION);
  EXPECT_EQ(run("HKCU { Long { val " + std::string(258, 'n') + " = s x } }"), S_OK);
  EXPECT_EQ(run("HKCU { Long { val " + std::string(259, 'n') + " = s x } }"), DISP_E_EXCEPTION);
  EXPECT_EQ(Run(u"HKCU { Long { val x = s %abcdefghijabcdefghijabcdefghij1% } }", TRUE,
                {{u"abcdefghijabcdefghijabcdefghij1", u"31"}}),
            S_OK);
  ASSERT_EQ(Run(u"HKCU { Long }", FALSE), S_OK);
  // Expansion grows past twice the text's length.
  qel::u16 big(2000, u'x');
  ASSERT_EQ(Run(u"HKCU { Long = s %Big%%Big% }", TRUE, {{u"Big", big}}), S_OK);
  EXPECT_EQ(Value(HKEY_CURRENT_USER, u"Long", nullptr).second, Sz(big + big));
}

TEST_F(ScriptTest, DeepNestingIsRefusedBeforeAnythingIsWritten) {
  auto nested = [](int depth) {
    std::string s = "HKCU {";
    for (int i = 0; i < depth; ++i) s += " N {";
    for (int i = 0; i < depth; ++i) s += " }";
    return s + " }";
  };
  EXPECT_EQ(Run(W(nested(20)), TRUE), S_OK);
  EXPECT_TRUE(Exists(HKEY_CURRENT_USER, u"N\\N\\N"));
  EXPECT_EQ(Run(W(nested(20)), FALSE), S_OK);
  EXPECT_FALSE(Exists(HKEY_CURRENT_USER, u"N"));
  for (bool reg : {true, false}) {
    EXPECT_EQ(Run(W(nested(200)), reg), DISP_E_EXCEPTION);
    EXPECT_FALSE(Exists(HKEY_CURRENT_USER, u"N"));
  }
  // Very deep text ends the run long before the stack does.
  std::string deep = "HKCU {";
  for (int i = 0; i < 100000; ++i) deep += " N {";
  EXPECT_EQ(Run(W(deep), TRUE), DISP_E_EXCEPTION);
  EXPECT_FALSE(Exists(HKEY_CURRENT_USER, u"N"));
}

// ---------------------------------------------------------------------------
// Register pass

TEST_F(ScriptTest, ForceRemoveAndDeleteSpareProtectedNames) {
  for (const char* name : {"CLSID", "TypeLib", "clsid"}) {
    Make(HKEY_CURRENT_USER, W(std::string(name) + "\\Old"));
    ASSERT_EQ(Run(W(std::string("HKCU { ForceRemove ") + name + " { New } }"), TRUE), S_OK) << name;
    EXPECT_TRUE(Exists(HKEY_CURRENT_USER, W(std::string(name) + "\\Old"))) << name;
    EXPECT_TRUE(Exists(HKEY_CURRENT_USER, W(std::string(name) + "\\New"))) << name;
    ASSERT_EQ(Run(W(std::string("HKCU { P { Delete ") + name + " } }"), TRUE), S_OK);
    Make(HKEY_CURRENT_USER, W(std::string("P\\") + name));
    ASSERT_EQ(Run(W(std::string("HKCU { P { Delete ") + name + " } }"), TRUE), S_OK);
    EXPECT_TRUE(Exists(HKEY_CURRENT_USER, W(std::string("P\\") + name)));
  }
  // Other names are removed with their whole subtree first.
  Make(HKEY_CURRENT_USER, u"App\\Old\\Deeper");
  SetString(HKEY_CURRENT_USER, u"App", u"Stale", u"x");
  ASSERT_EQ(Run(u"HKCU { ForceRemove App = s fresh { New } }", TRUE), S_OK);
  EXPECT_FALSE(Exists(HKEY_CURRENT_USER, u"App\\Old"));
  EXPECT_TRUE(Exists(HKEY_CURRENT_USER, u"App\\New"));
  EXPECT_EQ(Value(HKEY_CURRENT_USER, u"App", u"Stale").second, "<absent>");
  EXPECT_EQ(Value(HKEY_CURRENT_USER, u"App", nullptr).second, Sz(u"fresh"));
  ASSERT_EQ(Run(u"HKCU { Delete App = s ignored Other }", TRUE), S_OK);
  EXPECT_FALSE(Exists(HKEY_CURRENT_USER, u"App"));
  EXPECT_TRUE(Exists(HKEY_CURRENT_USER, u"Other"));
}

TEST_F(ScriptTest, FailedRootBlockIsTakenBackAlone) {
  Make(HKEY_CURRENT_USER, u"Existing\\Child");
  const char* text =
      "HKCU { First = s ok }\r\n"
      "HKCU { Second = s x  Existing { Added = s y }  Third = b 123 }\r\n"
      "HKCU { Fourth }";
  EXPECT_EQ(Run(W(text), TRUE), E_FAIL);
  EXPECT_TRUE(Exists(HKEY_CURRENT_USER, u"First"));  // an earlier root block stays
  EXPECT_FALSE(Exists(HKEY_CURRENT_USER, u"Second"));
  EXPECT_FALSE(Exists(HKEY_CURRENT_USER, u"Existing\\Added"));
  EXPECT_TRUE(Exists(HKEY_CURRENT_USER, u"Existing\\Child"));  // not the script's: kept
  EXPECT_FALSE(Exists(HKEY_CURRENT_USER, u"Third"));
  EXPECT_FALSE(Exists(HKEY_CURRENT_USER, u"Fourth"));  // later blocks are not run

  EXPECT_EQ(Run(u"HKCU { Num = d 12ab }", TRUE), DISP_E_TYPEMISMATCH);
  EXPECT_FALSE(Exists(HKEY_CURRENT_USER, u"Num"));
  // An opened key that cannot be written fails only what it cannot do.
  qel::fault::Arm("RegCreateKeyExW", ERROR_ACCESS_DENIED, 0, -1);
  EXPECT_EQ(Run(u"HKCU { Brand { New } }", TRUE), DISP_E_EXCEPTION);
  qel::fault::Reset();
  EXPECT_FALSE(Exists(HKEY_CURRENT_USER, u"Brand"));
}

// ---------------------------------------------------------------------------
// Removal pass

TEST_F(ScriptTest, RemovalKeepsWhatTheScriptDoesNotName) {
  Make(HKEY_CURRENT_USER, u"K\\Sub");
  Make(HKEY_CURRENT_USER, u"K\\Foreign");
  Make(HKEY_CURRENT_USER, u"Gone\\Sub");
  SetString(HKEY_CURRENT_USER, u"Gone", u"Named", u"x");
  SetString(HKEY_CURRENT_USER, u"Plain", nullptr, u"default only");
  SetString(HKEY_CURRENT_USER, u"Valued", u"Kept", u"x");
  SetString(HKEY_CURRENT_USER, u"Valued", u"Dropped", u"x");
  ASSERT_EQ(Run(u"HKCU { K { Sub } Gone { Sub } Plain = s x { val Never = s y } Valued { val Dropped = s x } }",
                FALSE),
            S_OK);
  EXPECT_TRUE(Exists(HKEY_CURRENT_USER, u"K\\Foreign"));
  EXPECT_FALSE(Exists(HKEY_CURRENT_USER, u"K\\Sub"));
  EXPECT_FALSE(Exists(HKEY_CURRENT_USER, u"Gone"));   // its block removed every subkey
  EXPECT_FALSE(Exists(HKEY_CURRENT_USER, u"Plain"));  // only a default value: deleted at once
  // A key with named values but no subkeys loses the script's values and goes,
  // taking its other values with it.
  EXPECT_FALSE(Exists(HKEY_CURRENT_USER, u"Valued"));
}

TEST_F(ScriptTest, NoRemoveAndSkipModeCoverOnlyTheirEntry) {
  Make(HKEY_CURRENT_USER, u"Kept");
  Make(HKEY_CURRENT_USER, u"After");
  Make(HKEY_CURRENT_USER, u"Later");
  ASSERT_EQ(Run(u"HKCU { NoRemove Kept After Missing { Later } Later }", FALSE), S_OK);
  EXPECT_TRUE(Exists(HKEY_CURRENT_USER, u"Kept"));
  EXPECT_FALSE(Exists(HKEY_CURRENT_USER, u"After"));
  // The block of a missing key deletes nothing; the entry after it is removed.
  EXPECT_FALSE(Exists(HKEY_CURRENT_USER, u"Later"));

  Make(HKEY_CURRENT_USER, u"Outer\\Missing2");
  Make(HKEY_CURRENT_USER, u"Outer\\Next");
  ASSERT_EQ(Run(u"HKCU { Outer { NoRemove Absent { Missing2 } Next } }", FALSE), S_OK);
  EXPECT_TRUE(Exists(HKEY_CURRENT_USER, u"Outer\\Missing2"));  // under a key that is not there
  EXPECT_FALSE(Exists(HKEY_CURRENT_USER, u"Outer\\Next"));
}

TEST_F(ScriptTest, KeyWithOwnNameSubkeyStaysWhole) {
  Make(HKEY_CURRENT_USER, u"Twin\\Twin");
  ASSERT_EQ(Run(u"HKCU { Twin }", FALSE), S_OK);
  EXPECT_TRUE(Exists(HKEY_CURRENT_USER, u"Twin\\Twin"));
}

TEST_F(ScriptTest, RemovalFailuresEndTheRunOrAreIgnoredAsSpecified) {
  Make(HKEY_CURRENT_USER, u"A");
  Make(HKEY_CURRENT_USER, u"B");
  // A key or value that cannot be deleted does not fail the run.
  qel::fault::Arm("RegDeleteKeyW", ERROR_ACCESS_DENIED, 0, 1);
  EXPECT_EQ(Run(u"HKCU { A B }", FALSE), S_OK);
  qel::fault::Reset();
  EXPECT_TRUE(Exists(HKEY_CURRENT_USER, u"A"));
  EXPECT_FALSE(Exists(HKEY_CURRENT_USER, u"B"));
  // Closing a key before its deletion fails the run.
  qel::fault::Arm("RegCloseKey", ERROR_INVALID_HANDLE, 0, 1);
  EXPECT_EQ(Run(u"HKCU { A }", FALSE), DISP_E_EXCEPTION);
  qel::fault::Reset();
}

// The removal pass deletes the values a block names even where the key
// stays; skips only an entry whose name no key can have; taking back a failed
// registration stops where that registration stopped; and both passes count
// nesting alike.
TEST_F(ScriptTest, RemovalPassDeletesValuesSkipsImpossibleNamesAndUndoesOnlyWhatWasReached) {
  // Values inside kept keys.
  ASSERT_EQ(Run(u"HKCU { K { val V = s x } NoRemove N { val W = s y } }", TRUE), S_OK);
  Make(HKEY_CURRENT_USER, u"K\\Foreign");
  ASSERT_EQ(Run(u"HKCU { K { val V = s x } NoRemove N { val W = s y } }", FALSE), S_OK);
  EXPECT_TRUE(Exists(HKEY_CURRENT_USER, u"K\\Foreign"));
  EXPECT_EQ(Value(HKEY_CURRENT_USER, u"K", u"V").second, "<absent>");
  EXPECT_TRUE(Exists(HKEY_CURRENT_USER, u"N"));
  EXPECT_EQ(Value(HKEY_CURRENT_USER, u"N", u"W").second, "<absent>");

  // The program's own script: a foreign subkey keeps QelUPnP.EXE, not its "AppID".
  ScriptVariables vars;
  RegistryScript program(vars);
  qel::u16 path = W(QEL_FIXTURE_PROGRAM);
  ASSERT_EQ(program.RunScriptResource(path.c_str(), 100, u"REGISTRY", TRUE), S_OK);
  Make(HKEY_CLASSES_ROOT, u"AppID\\QelUPnP.EXE\\Foreign");
  ASSERT_EQ(program.RunScriptResource(path.c_str(), 100, u"REGISTRY", FALSE), S_OK);
  EXPECT_TRUE(Exists(HKEY_CLASSES_ROOT, u"AppID\\QelUPnP.EXE\\Foreign"));
  EXPECT_EQ(Value(HKEY_CLASSES_ROOT, u"AppID\\QelUPnP.EXE", u"AppID").second, "<absent>");
  EXPECT_FALSE(Exists(HKEY_CLASSES_ROOT, kAppIdKey));

  // A name longer than any key's skips that entry only.
  Make(HKEY_CURRENT_USER, u"After");
  EXPECT_EQ(Run(W("HKCU { " + std::string(300, 'k') + " = s x { Inner } After }"), FALSE), S_OK);
  EXPECT_FALSE(Exists(HKEY_CURRENT_USER, u"After"));

  // Failed registrations: what the pass created goes, even when reading the
  // entry's assignment or block is what failed; what the script names after
  // the failure point is not touched.
  SetString(HKEY_CURRENT_USER, u"Foreign", u"Keep", u"theirs");
  const std::string v4095(4095, 'v');
  struct Failed {
    std::string text;
    HRESULT hr;
    const char16_t* gone;
  };
  const Failed failed[] = {
      {"HKCU { Made = s 'unterminated", DISP_E_EXCEPTION, u"Made"},
      {"HKCU { Made = s " + v4095 + " Foreign }", DISP_E_EXCEPTION, u"Made"},
      {"HKCU { Made { val A = s ok val B = s " + v4095 + " } Foreign }", DISP_E_EXCEPTION, u"Made"},
      {"HKCU { Made = s x Bad = b 123 Foreign { val Keep = s z } }", E_FAIL, u"Bad"},
      {"HKCU { Made { Deep = q 1 } Foreign }", DISP_E_EXCEPTION, u"Made"},
      {"HKCU { Made val Keep = s " + v4095 + " Foreign }", DISP_E_EXCEPTION, u"Made"},
  };
  for (const Failed& f : failed) {
    SCOPED_TRACE(f.text.substr(0, 60));
    EXPECT_EQ(Run(W(f.text), TRUE), f.hr);
    EXPECT_FALSE(Exists(HKEY_CURRENT_USER, f.gone));
    EXPECT_FALSE(Exists(HKEY_CURRENT_USER, u"Made"));
    EXPECT_EQ(Value(HKEY_CURRENT_USER, u"Foreign", u"Keep").second, Sz(u"theirs"));
  }
  EXPECT_EQ(Value(HKEY_CURRENT_USER, u"", u"Keep").second, "<absent>");  // the root's value was never set

  // A block after a "val" entry nests in both passes: the pre-check refuses
  // what is too deep before anything is written.
  auto afterVal = [](int depth) {
    std::string s = "HKCU { Top {";
    for (int i = 0; i < depth; ++i) s += " Lv val a = s x {";
    for (int i = 0; i < depth; ++i) s += " }";
    return s + " } }";
  };
  EXPECT_EQ(Run(W(afterVal(200)), TRUE), DISP_E_EXCEPTION);
  EXPECT_FALSE(Exists(HKEY_CURRENT_USER, u"Top"));
  ASSERT_EQ(Run(W(afterVal(20)), TRUE), S_OK);
  EXPECT_EQ(Value(HKEY_CURRENT_USER, u"Top\\Lv\\Lv", u"a").second, Sz(u"x"));
  ASSERT_EQ(Run(W(afterVal(20)), FALSE), S_OK);
  EXPECT_FALSE(Exists(HKEY_CURRENT_USER, u"Top"));
  // After "Delete", even "Val" names a key in both passes.
  EXPECT_EQ(Run(u"HKCU { Top Delete Val = s v { N } }", TRUE), S_OK);
  EXPECT_EQ(Run(u"HKCU { Top Delete Val = s v { N } }", FALSE), S_OK);
}

// ---------------------------------------------------------------------------
// Variables

TEST(ScriptVariablesTest, FirstMatchWinsAndTheTableGrows) {
  CoInitialize(nullptr);
  {
    ScriptVariables vars;
    for (int i = 0; i < 25; ++i) {
      qel::u16 n = W("v" + std::to_string(i));
      ASSERT_EQ(vars.Add(n.c_str(), W(std::to_string(i)).c_str()), S_OK);
    }
    ASSERT_EQ(vars.Add(u"V3", u"late"), S_OK);
    EXPECT_EQ(vars.GetSize(), 26);
    EXPECT_EQ(qel::u16(vars.Find(u"V3")), u"3");
    EXPECT_EQ(qel::u16(vars.Find(u"v24")), u"24");
    EXPECT_EQ(vars.Find(u"v25"), nullptr);
    qel::fault::Arm("CoTaskMemAlloc", 0);
    EXPECT_EQ(vars.Add(u"x", u"y"), E_OUTOFMEMORY);
    qel::fault::Reset();
  }
  CoUninitialize();
}

}  // namespace
