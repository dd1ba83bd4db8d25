// qelupnp-reg: .reg files in and out, the reg command's output and exit codes.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <sstream>
#include <string>
#include <vector>

#include "qel/wstr.h"
#include "regcmd.h"
#include "regfile.h"
#include "testsupport.h"
#include "winreg.h"

namespace {

namespace fs = std::filesystem;
using u16 = std::u16string;

struct Result {
  int rc = -1;
  std::string out, err;
};

// Runs the built tool with stdin from /dev/null (no terminal to answer prompts).
Result RunTool(const std::vector<std::string>& args) {
  qel::test::TempDir tmp;
  fs::path out = tmp.path() / "out", err = tmp.path() / "err";
  pid_t pid = fork();
  if (pid == 0) {
    int in = open("/dev/null", O_RDONLY);
    int o = open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    int e = open(err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    dup2(in, 0);
    dup2(o, 1);
    dup2(e, 2);
    std::vector<char*> argv;
    argv.push_back(const_cast<char*>(QEL_REG_TOOL));
    for (const auto& a : args) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    execv(QEL_REG_TOOL, argv.data());
    _exit(127);
  }
  Result r;
  int status = 0;
  waitpid(pid, &status, 0);
  r.rc = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  r.out = qel::test::ReadFile(out);
  r.err = qel::test::ReadFile(err);
  return r;
}

// Runs a command in-process; `answer` is what the user says to a prompt.
Result RunHere(const std::vector<std::string>& args, bool answer = false, std::string* asked = nullptr) {
  std::ostringstream out, err;
  qel::regtool::Io io{out, err, [&](const std::string& q) {
                        if (asked) *asked = q;
                        return answer;
                      }};
  Result r;
  r.rc = qel::regtool::Run(args, io);
  r.out = out.str();
  r.err = err.str();
  return r;
}

std::string Fixture(const char* name) { return qel::test::ReadFile(fs::path(QEL_REG_FIXTURES) / name); }

std::string Utf16File(const std::string& utf8) {
  u16 text = qel::FromUtf8(utf8);
  std::string out = "\xFF\xFE";
  for (char16_t c : text) {
    out.push_back(static_cast<char>(c & 0xFF));
    out.push_back(static_cast<char>(c >> 8));
  }
  return out;
}

const char* const kNotFound = "ERROR: The system was unable to find the specified registry key or value.\n";

class RegTool : public ::testing::Test {
 protected:
  qel::test::ScopedStateDir m_state;
  qel::test::TempDir m_tmp;

  std::string File(const char* name, const std::string& bytes) {
    fs::path p = m_tmp.path() / name;
    qel::test::WriteFile(p, bytes);
    return p.string();
  }
};

TEST_F(RegTool, RegeditExportRoundTripsByteForByte) {
  std::string original = Fixture("regedit-export.reg");
  ASSERT_FALSE(original.empty());
  std::string in = File("in.reg", original);
  Result imp = RunTool({"import", in});
  ASSERT_EQ(0, imp.rc) << imp.err;
  EXPECT_EQ("The operation completed successfully.\n", imp.out);
  EXPECT_EQ("", imp.err);

  std::string out = (m_tmp.path() / "out.reg").string();
  Result exp = RunTool({"export", "HKLM\\SOFTWARE\\QelFixture", out});
  ASSERT_EQ(0, exp.rc) << exp.err;
  EXPECT_EQ(original, qel::test::ReadFile(out));

  // Values come back with the exact bytes the file names.
  HKEY k = nullptr;
  ASSERT_EQ(ERROR_SUCCESS, RegOpenKeyExW(HKEY_LOCAL_MACHINE, u"SOFTWARE\\QelFixture", 0, KEY_READ, &k));
  BYTE buf[64];
  DWORD cb = sizeof buf, type = 0;
  ASSERT_EQ(ERROR_SUCCESS, RegQueryValueExW(k, u"Empty", nullptr, &type, buf, &cb));
  EXPECT_EQ(static_cast<DWORD>(REG_SZ), type);
  EXPECT_EQ(2u, cb);
  cb = sizeof buf;
  ASSERT_EQ(ERROR_SUCCESS, RegQueryValueExW(k, u"日本語の名前", nullptr, &type, buf, &cb));
  EXPECT_EQ(u16(u"値", 2), u16(reinterpret_cast<char16_t*>(buf), 2));
  cb = sizeof buf;
  ASSERT_EQ(ERROR_SUCCESS, RegQueryValueExW(k, u"Quad", nullptr, &type, buf, &cb));
  EXPECT_EQ(static_cast<DWORD>(REG_QWORD), type);
  EXPECT_EQ(8u, cb);
  EXPECT_EQ(0xEF, buf[0]);
  RegCloseKey(k);

  // Exporting without /y does not overwrite a file nobody agreed to replace.
  Result again = RunTool({"export", "HKLM\\SOFTWARE\\QelFixture", out});
  EXPECT_EQ(1, again.rc);
  EXPECT_EQ("ERROR: The operation was canceled by the user.\n", again.err);
  EXPECT_EQ(0, RunTool({"export", "HKLM\\SOFTWARE\\QelFixture", out, "/y"}).rc);
}

TEST_F(RegTool, ImportReadsUtf8AndRegedit4AndApplyDeletions) {
  ASSERT_EQ(0, RunHere({"add", "HKCU\\Software\\QelImp\\Old", "/f"}).rc);
  ASSERT_EQ(0, RunHere({"add", "HKCU\\Software\\QelImp", "/v", "Drop", "/d", "x", "/f"}).rc);
  std::string utf8 =
      "\xEF\xBB\xBFWindows Registry Editor Version 5.00\n\n"
      "[-HKEY_CURRENT_USER\\Software\\QelImp\\Old]\n\n"
      "[HKEY_CURRENT_USER\\Software\\QelImp]\n"
      "\"Drop\"=-\n"
      "\"Text\"=\"ü\"  ; a comment\n"
      "\"Bin\"=hex:01,02,\\\n"
      "    03\n";
  Result r = RunHere({"import", File("u8.reg", utf8)});
  ASSERT_EQ(0, r.rc) << r.err;
  Result q = RunHere({"query", "HKCU\\Software\\QelImp"});
  EXPECT_EQ("\nHKEY_CURRENT_USER\\Software\\QelImp\n    Text    REG_SZ    ü\n    Bin    REG_BINARY    010203\n\n",
            q.out);

  std::string v4 =
      "REGEDIT4\r\n\r\n[HKEY_CURRENT_USER\\Software\\QelImp4]\r\n\"Exp\"=hex(2):25,41,25,00\r\n@=\"d\"\r\n";
  ASSERT_EQ(0, RunHere({"import", File("v4.reg", v4)}).rc);
  HKEY k = nullptr;
  ASSERT_EQ(ERROR_SUCCESS, RegOpenKeyExW(HKEY_CURRENT_USER, u"Software\\QelImp4", 0, KEY_READ, &k));
  WCHAR buf[8];
  DWORD cb = sizeof buf;
  ASSERT_EQ(ERROR_SUCCESS, RegQueryValueExW(k, u"Exp", nullptr, nullptr, reinterpret_cast<BYTE*>(buf), &cb));
  EXPECT_EQ(8u, cb);  // the 8-bit text became UTF-16
  EXPECT_EQ(u"%A%", u16(buf));
  RegCloseKey(k);
}

TEST_F(RegTool, MalformedFilesChangeNothing) {
  const char* const bad[] = {
      "Not a registry file\r\n[HKEY_CURRENT_USER\\Software\\QelBad]\r\n",
      "[HKEY_CURRENT_USER\\Software\\QelBad]\r\n",  // no header
      "Windows Registry Editor Version 5.00\r\n\"v\"=\"before any key\"\r\n",
      "Windows Registry Editor Version 5.00\r\n[HKEY_CURRENT_USER\\Software\\QelBad]\r\n\"v\"=\"open\r\n",
      "Windows Registry Editor Version 5.00\r\n[HKEY_CURRENT_USER\\Software\\QelBad]\r\n\"v\"=hex:01,zz\r\n",
      "Windows Registry Editor Version 5.00\r\n[HKEY_CURRENT_USER\\Software\\QelBad]\r\n\"v\"=hex:01,\\\r\n",
      "Windows Registry Editor Version 5.00\r\n[HKEY_CURRENT_USER\\Software\\QelBad]\r\n\"v\"=dword:123456789\r\n",
      "Windows Registry Editor Version 5.00\r\n[HKEY_CURRENT_USER\\Software\\QelBad]\r\n\"v\"=word:1\r\n",
      "Windows Registry Editor Version 5.00\r\n[HKEY_CURRENT_USER\\Software\\QelBad]\r\n\"v\"\r\n",
      "Windows Registry Editor Version 5.00\r\n[HKEY_CURRENT_USER\\Software\\QelBad\r\n",
      "Windows Registry Editor Version 5.00\r\n[HKEY_CURRENT_USER\\Software\\QelBad]\r\n\"v\"=\"ok\"\r\n"
      "[HKEY_NOWHERE\\X]\r\n",
      "",
  };
  int n = 0;
  for (const char* text : bad) {
    std::string name = "bad" + std::to_string(n++) + ".reg";
    for (bool wide : {false, true}) {
      Result r = RunTool({"import", File(name.c_str(), wide ? Utf16File(text) : std::string(text))});
      EXPECT_EQ(1, r.rc) << text;
      EXPECT_EQ(0u, r.err.rfind("ERROR: ", 0)) << r.err;
      EXPECT_EQ(r.err.size() - 1, r.err.find('\n')) << "one line: " << r.err;
      EXPECT_EQ("", r.out);
    }
  }
  HKEY k = nullptr;
  EXPECT_EQ(ERROR_FILE_NOT_FOUND, RegOpenKeyExW(HKEY_CURRENT_USER, u"Software\\QelBad", 0, KEY_READ, &k));
  Result missing = RunTool({"import", (m_tmp.path() / "none.reg").string()});
  EXPECT_EQ(1, missing.rc);
  EXPECT_EQ("ERROR: Error opening the file. There may be a disk or file system error.\n", missing.err);
}

TEST_F(RegTool, QueryLayout) {
  ASSERT_EQ(0, RunHere({"add", "HKCR\\SoftWare\\QelUPnP", "/v", "DataPath", "/d", "/srv/qel/ws.xml", "/f"}).rc);
  ASSERT_EQ(0, RunHere({"add", "HKCR\\SoftWare\\QelUPnP", "/v", "LogLevel", "/t", "REG_DWORD", "/d", "0x1F", "/f"}).rc);
  ASSERT_EQ(0, RunHere({"add", "HKCR\\SoftWare\\QelUPnP", "/ve", "/d", "settings", "/f"}).rc);
  ASSERT_EQ(0, RunHere({"add", "HKCR\\SoftWare\\QelUPnP", "/v", "M", "/t", "REG_MULTI_SZ", "/d", "a\\0b", "/f"}).rc);
  ASSERT_EQ(0, RunHere({"add", "HKCR\\SoftWare\\QelUPnP", "/v", "B", "/t", "REG_BINARY", "/d", "0aFF", "/f"}).rc);
  ASSERT_EQ(0, RunHere({"add", "HKCR\\SoftWare\\QelUPnP", "/v", "Q", "/t", "REG_QWORD", "/d", "4294967296", "/f"}).rc);
  ASSERT_EQ(0, RunHere({"add", "HKCR\\SoftWare\\QelUPnP\\Zed", "/f"}).rc);
  ASSERT_EQ(0, RunHere({"add", "HKCR\\SoftWare\\QelUPnP\\alpha", "/v", "x", "/d", "1", "/f"}).rc);

  Result r = RunTool({"query", "HKCR\\SoftWare\\QelUPnP"});
  EXPECT_EQ(0, r.rc);
  EXPECT_EQ(
      "\nHKEY_CLASSES_ROOT\\SoftWare\\QelUPnP\n"
      "    DataPath    REG_SZ    /srv/qel/ws.xml\n"
      "    LogLevel    REG_DWORD    0x1f\n"
      "    (Default)    REG_SZ    settings\n"
      "    M    REG_MULTI_SZ    a\\0b\n"
      "    B    REG_BINARY    0AFF\n"
      "    Q    REG_QWORD    0x100000000\n"
      "\n"
      "HKEY_CLASSES_ROOT\\SoftWare\\QelUPnP\\alpha\n"
      "HKEY_CLASSES_ROOT\\SoftWare\\QelUPnP\\Zed\n",
      r.out);

  EXPECT_EQ("\nHKEY_CLASSES_ROOT\\SoftWare\\QelUPnP\n    LogLevel    REG_DWORD    0x1f\n\n",
            RunHere({"query", "HKCR\\SoftWare\\QelUPnP", "/v", "loglevel"}).out);
  EXPECT_EQ("\nHKEY_CLASSES_ROOT\\SoftWare\\QelUPnP\\Zed\n    (Default)    REG_SZ    (value not set)\n\n",
            RunHere({"query", "HKCR\\SoftWare\\QelUPnP\\Zed", "/ve"}).out);
  EXPECT_EQ(
      "\nHKEY_CLASSES_ROOT\\SoftWare\\QelUPnP\n"
      "    DataPath    REG_SZ    /srv/qel/ws.xml\n"
      "    LogLevel    REG_DWORD    0x1f\n"
      "    (Default)    REG_SZ    settings\n"
      "    M    REG_MULTI_SZ    a\\0b\n"
      "    B    REG_BINARY    0AFF\n"
      "    Q    REG_QWORD    0x100000000\n"
      "\n"
      "HKEY_CLASSES_ROOT\\SoftWare\\QelUPnP\\alpha\n"
      "    x    REG_SZ    1\n"
      "\n"
      "HKEY_CLASSES_ROOT\\SoftWare\\QelUPnP\\Zed\n"
      "\n"
      "End of search: 9 match(es) found.\n",
      RunHere({"query", "HKCR\\SoftWare\\QelUPnP\\", "/s"}).out);
  EXPECT_EQ("\nHKEY_CLASSES_ROOT\\SoftWare\\QelUPnP\\alpha\n    x    REG_SZ    1\n\nEnd of search: 1 match(es) found.\n",
            RunHere({"query", "HKCR\\SoftWare", "/v", "X", "/s"}).out);

  Result missing = RunTool({"query", "HKCR\\SoftWare\\QelUPnP", "/v", "Nope"});
  EXPECT_EQ(1, missing.rc);
  EXPECT_EQ(kNotFound, missing.err);
  EXPECT_EQ("", missing.out);
  EXPECT_EQ(1, RunTool({"query", "HKCR\\NoSuchKey"}).rc);
}

TEST_F(RegTool, DeleteAsksAndWithoutAnAnswerDeletesNothing) {
  ASSERT_EQ(0, RunHere({"add", "HKLM\\SOFTWARE\\QelDel\\Sub", "/v", "v", "/d", "1", "/f"}).rc);
  ASSERT_EQ(0, RunHere({"add", "HKLM\\SOFTWARE\\QelDel", "/v", "a", "/d", "1", "/f"}).rc);
  ASSERT_EQ(0, RunHere({"add", "HKLM\\SOFTWARE\\QelDel", "/v", "b", "/d", "1", "/f"}).rc);

  Result r = RunTool({"delete", "HKLM\\SOFTWARE\\QelDel"});  // no terminal: the answer is No
  EXPECT_EQ(1, r.rc);
  EXPECT_NE(std::string::npos, r.out.find("Permanently delete the registry key HKEY_LOCAL_MACHINE\\SOFTWARE\\QelDel? (Yes/No)"));
  EXPECT_EQ("ERROR: The operation was canceled by the user.\n", r.err);
  std::string asked;
  EXPECT_EQ(1, RunHere({"delete", "HKLM\\SOFTWARE\\QelDel", "/v", "a"}, false, &asked).rc);
  EXPECT_EQ("Delete the registry value a (Yes/No)?", asked);
  EXPECT_EQ(0, RunHere({"query", "HKLM\\SOFTWARE\\QelDel", "/v", "a"}).rc);

  EXPECT_EQ(0, RunHere({"delete", "HKLM\\SOFTWARE\\QelDel", "/v", "a"}, true).rc);
  EXPECT_EQ(1, RunHere({"query", "HKLM\\SOFTWARE\\QelDel", "/v", "a"}).rc);
  EXPECT_EQ(kNotFound, RunHere({"delete", "HKLM\\SOFTWARE\\QelDel", "/v", "a", "/f"}).err);
  Result va = RunTool({"delete", "HKLM\\SOFTWARE\\QelDel", "/va", "/f"});
  EXPECT_EQ(0, va.rc);
  EXPECT_EQ("The operation completed successfully.\n", va.out);
  EXPECT_EQ("\nHKEY_LOCAL_MACHINE\\SOFTWARE\\QelDel\nHKEY_LOCAL_MACHINE\\SOFTWARE\\QelDel\\Sub\n",
            RunHere({"query", "HKLM\\SOFTWARE\\QelDel"}).out);
  EXPECT_EQ(0, RunTool({"delete", "HKLM\\SOFTWARE\\QelDel", "/f"}).rc);
  Result gone = RunTool({"delete", "HKLM\\SOFTWARE\\QelDel", "/f"});
  EXPECT_EQ(1, gone.rc);
  EXPECT_EQ(kNotFound, gone.err);
  EXPECT_EQ(1, RunTool({"delete", "HKLM", "/f"}).rc);  // a root stays
}

TEST_F(RegTool, AddChecksItsDataAndAsksBeforeOverwriting) {
  ASSERT_EQ(0, RunHere({"add", "HKLM\\SOFTWARE\\QelAdd", "/v", "n", "/t", "REG_DWORD", "/d", "4294967295"}).rc);
  std::string asked;
  EXPECT_EQ(1, RunHere({"add", "HKLM\\SOFTWARE\\QelAdd", "/v", "n", "/t", "REG_DWORD", "/d", "7"}, false, &asked).rc);
  EXPECT_EQ("Value n exists, overwrite(Yes/No)?", asked);
  EXPECT_EQ("\nHKEY_LOCAL_MACHINE\\SOFTWARE\\QelAdd\n    n    REG_DWORD    0xffffffff\n\n",
            RunHere({"query", "HKLM\\SOFTWARE\\QelAdd", "/v", "n"}).out);
  EXPECT_EQ(0, RunHere({"add", "HKLM\\SOFTWARE\\QelAdd", "/v", "n", "/t", "REG_DWORD", "/d", "7"}, true).rc);

  const std::vector<std::vector<std::string>> bad = {
      {"add", "HKLM\\SOFTWARE\\QelAdd", "/v", "n", "/t", "REG_DWORD", "/d", "4294967296"},
      {"add", "HKLM\\SOFTWARE\\QelAdd", "/v", "n", "/t", "REG_DWORD", "/d", "-1"},
      {"add", "HKLM\\SOFTWARE\\QelAdd", "/v", "n", "/t", "REG_DWORD", "/d", "12abc"},
      {"add", "HKLM\\SOFTWARE\\QelAdd", "/v", "n", "/t", "REG_BINARY", "/d", "abc"},
      {"add", "HKLM\\SOFTWARE\\QelAdd", "/v", "n", "/t", "REG_BINARY", "/d", "zz"},
      {"add", "HKLM\\SOFTWARE\\QelAdd", "/v", "n", "/t", "REG_WHATEVER"},
      {"add", "HKLM\\SOFTWARE\\QelAdd", "/v", "n", "/ve"},
      {"add", "HKLM\\SOFTWARE\\QelAdd", "/v"},
      {"add", "HKLM\\SOFTWARE\\QelAdd", "/bogus"},
      {"add", "HKXX\\SOFTWARE\\QelAdd"},
      {"add"},
      {"frobnicate"},
      {},
  };
  for (const auto& args : bad) {
    Result r = RunTool(args);
    EXPECT_EQ(1, r.rc) << (args.empty() ? "" : args.back());
    EXPECT_EQ(0u, r.err.rfind("ERROR: ", 0)) << r.err;
    EXPECT_EQ(r.err.size() - 1, r.err.find('\n')) << r.err;
  }
  EXPECT_EQ("\nHKEY_LOCAL_MACHINE\\SOFTWARE\\QelAdd\n    n    REG_DWORD    0x7\n\n",
            RunHere({"query", "HKLM\\SOFTWARE\\QelAdd", "/v", "n"}).out);
}

TEST_F(RegTool, HelpAndErrorsOfTheStore) {
  for (const char* h : {"/?", "--help"}) {
    Result r = RunTool({h});
    EXPECT_EQ(0, r.rc);
    EXPECT_NE(std::string::npos, r.out.find("QUERY | ADD | DELETE | IMPORT | EXPORT"));
  }
  Result q = RunTool({"query", "/?"});
  EXPECT_EQ(0, q.rc);
  EXPECT_NE(std::string::npos, q.out.find("qelupnp-reg QUERY KeyName"));

  qel::test::WriteFile(m_state.path() / "registry.db", std::string(4096, 'Z'));
  Result corrupt = RunTool({"query", "HKLM\\SOFTWARE"});
  EXPECT_EQ(1, corrupt.rc);
  EXPECT_EQ(0u, corrupt.err.rfind("ERROR: The registry is corrupted.", 0)) << corrupt.err;
}

TEST(RegFileWriter, WrapsHexListsAsRegeditDoes) {
  qel::regfile::Writer w;
  w.Key(u"HKEY_CURRENT_USER\\X");
  std::vector<BYTE> data(49);
  for (std::size_t i = 0; i < data.size(); ++i) data[i] = static_cast<BYTE>(i);
  w.Value(u"ab", REG_BINARY, data);
  w.Value(u"", REG_SZ, std::vector<BYTE>{'x', 0});       // no terminator: kept exactly, as hex(1)
  w.Value(u"t", REG_SZ, std::vector<BYTE>{'a', 0, 0, 0});  // "a" with its terminator
  std::string bytes = w.Finish();
  std::string text = qel::ToUtf8(u16(reinterpret_cast<const char16_t*>(bytes.data() + 2), (bytes.size() - 2) / 2));
  std::istringstream lines(text);
  std::string line;
  std::vector<std::string> all;
  while (std::getline(lines, line)) all.push_back(line);
  ASSERT_GE(all.size(), 7u);
  EXPECT_EQ("\"ab\"=hex:00,01,02,03,04,05,06,07,08,09,0a,0b,0c,0d,0e,0f,10,11,12,13,14,15,16,\\\r", all[3]);
  EXPECT_EQ("  17,18,19,1a,1b,1c,1d,1e,1f,20,21,22,23,24,25,26,27,28,29,2a,2b,2c,2d,2e,2f,\\\r", all[4]);
  EXPECT_EQ("  30\r", all[5]);
  EXPECT_EQ("@=hex(1):78,00\r", all[6]);
  EXPECT_EQ("\"t\"=\"a\"\r", all[7]);
  for (const auto& l : all) EXPECT_LE(l.size(), 81u) << l;  // 80 columns and the CR
}

}  // namespace
