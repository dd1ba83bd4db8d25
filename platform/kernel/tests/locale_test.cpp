#include <gtest/gtest.h>

#include <clocale>
#include <cstdlib>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "qel/fault.h"
#include "qel/kernel.h"
#include "qel/wstr.h"
#include "testsupport.h"

#if defined(__SANITIZE_ADDRESS__)
#include <sanitizer/lsan_interface.h>
#endif

namespace {

std::u16string Info(LCID lcid, LCTYPE type) {
  WCHAR buf[64];
  int n = GetLocaleInfoW(lcid, type, buf, 64);
  return n > 0 ? std::u16string(buf, static_cast<size_t>(n - 1)) : u"<fail>";
}

TEST(LocaleInfo, NamesCodesAndCodePagesOfKnownLocales) {
  EXPECT_EQ(Info(0x0409, LOCALE_SENGLANGUAGE), u"English");
  EXPECT_EQ(Info(0x0409, LOCALE_SENGCOUNTRY), u"United States");
  EXPECT_EQ(Info(0x0409, LOCALE_SNAME), u"en-US");
  EXPECT_EQ(Info(0x0409, LOCALE_IDEFAULTANSICODEPAGE), u"1252");
  EXPECT_EQ(Info(0x0411, LOCALE_SENGLISHLANGUAGENAME), u"Japanese");
  EXPECT_EQ(Info(0x0411, LOCALE_IDEFAULTANSICODEPAGE), u"932");
  EXPECT_EQ(Info(0x0411, LOCALE_SISO639LANGNAME), u"ja");
  EXPECT_EQ(Info(0x0411, LOCALE_SISO3166CTRYNAME), u"JP");
  EXPECT_EQ(Info(0x0407, LOCALE_SENGLANGUAGE), u"German");
  EXPECT_EQ(Info(0x040C, LOCALE_SENGLANGUAGE), u"French");
  EXPECT_EQ(Info(0x0804, LOCALE_SNAME), u"zh-CN");
  EXPECT_EQ(Info(0x0804, LOCALE_IDEFAULTANSICODEPAGE), u"936");
  // Language-neutral primary ids answer for their main locale.
  EXPECT_EQ(Info(0x09, LOCALE_SENGLANGUAGE), u"English");
  EXPECT_EQ(Info(0x11, LOCALE_SENGLANGUAGE), u"Japanese");
  EXPECT_EQ(Info(0x07, LOCALE_SISO3166CTRYNAME), u"DE");

  const LCID common[] = {0x0401, 0x0402, 0x0403, 0x0404, 0x0405, 0x0406, 0x0407, 0x0408, 0x0409, 0x040A,
                         0x040B, 0x040C, 0x040D, 0x040E, 0x040F, 0x0410, 0x0411, 0x0412, 0x0413, 0x0414,
                         0x0415, 0x0416, 0x0418, 0x0419, 0x041A, 0x041B, 0x041D, 0x041E, 0x041F, 0x0421,
                         0x0422, 0x0424, 0x0425, 0x0426, 0x0427, 0x042A, 0x0804, 0x0809, 0x080A, 0x0816,
                         0x0C07, 0x0C0A, 0x0C0C, 0x1009};
  for (LCID id : common) EXPECT_NE(Info(id, LOCALE_SENGLANGUAGE), u"<fail>") << std::hex << id;
}

TEST(LocaleInfo, Win32BufferAndErrorRules) {
  EXPECT_EQ(GetLocaleInfoW(0x0409, LOCALE_SENGLANGUAGE, nullptr, 0), 8);  // "English" and its terminator
  struct {
    WCHAR buf[7];
    WCHAR guard;
  } b;
  b.guard = u'#';
  EXPECT_EQ(GetLocaleInfoW(0x0409, LOCALE_SENGLANGUAGE, b.buf, 7), 0);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER));
  EXPECT_EQ(b.guard, u'#');
  WCHAR buf[32];
  EXPECT_EQ(GetLocaleInfoW(0x9999, LOCALE_SENGLANGUAGE, buf, 32), 0);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
  EXPECT_EQ(GetLocaleInfoW(0x12340409, LOCALE_SENGLANGUAGE, buf, 32), 0);
  EXPECT_EQ(GetLocaleInfoW(0x0409, 0x7777, buf, 32), 0);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_FLAGS));
  EXPECT_EQ(GetLocaleInfoW(0x0409, LOCALE_SENGLANGUAGE, nullptr, 5), 0);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
  DWORD cp = 0;
  EXPECT_EQ(GetLocaleInfoW(0x0411, LOCALE_IDEFAULTANSICODEPAGE | LOCALE_RETURN_NUMBER, reinterpret_cast<LPWSTR>(&cp),
                           sizeof cp / sizeof(WCHAR)),
            2);
  EXPECT_EQ(cp, 932u);
}

class EnvGuard {
 public:
  EnvGuard() {
    for (const char* v : {"LC_ALL", "LC_MESSAGES", "LANG", "LOCPATH"}) {
      const char* cur = std::getenv(v);
      m_saved.emplace_back(v, cur ? std::optional<std::string>(cur) : std::nullopt);
      unsetenv(v);
    }
  }
  ~EnvGuard() {
    for (auto& [name, value] : m_saved) {
      if (value)
        setenv(name.c_str(), value->c_str(), 1);
      else
        unsetenv(name.c_str());
    }
    std::setlocale(LC_ALL, "C");
  }

 private:
  std::vector<std::pair<std::string, std::optional<std::string>>> m_saved;
};

TEST(LocaleInfo, UserDefaultFollowsTheEnvironment) {
  EnvGuard env;
  EXPECT_EQ(Info(LOCALE_USER_DEFAULT, LOCALE_SENGLANGUAGE), u"English");  // nothing set: C
  setenv("LANG", "ja_JP.UTF-8", 1);
  EXPECT_EQ(Info(LOCALE_USER_DEFAULT, LOCALE_SENGLANGUAGE), u"Japanese");
  EXPECT_EQ(GetUserDefaultLCID(), 0x0411u);
  setenv("LC_MESSAGES", "fr_CA", 1);
  EXPECT_EQ(Info(LOCALE_SYSTEM_DEFAULT, LOCALE_SNAME), u"fr-CA");
  setenv("LC_ALL", "POSIX", 1);
  EXPECT_EQ(Info(LOCALE_USER_DEFAULT, LOCALE_SENGLANGUAGE), u"English");
  setenv("LC_ALL", "de_LU.UTF-8", 1);  // a country the table lacks: the language's main locale
  EXPECT_EQ(Info(LOCALE_USER_DEFAULT, LOCALE_SNAME), u"de-DE");
}

// Builds a few glibc locales into a private directory that LOCPATH names.
class InstalledLocales : public testing::Test {
 protected:
  void SetUp() override {
    std::string dir = m_dir.path().string();
    std::string cmd = "localedef -i ja_JP -f UTF-8 " + dir + "/ja_JP.UTF-8 >/dev/null 2>&1 && "
                      "localedef --no-warnings=ascii -i ja_JP -f SHIFT_JIS " + dir + "/ja_JP.SJIS >/dev/null 2>&1";
    if (std::system(cmd.c_str()) != 0) GTEST_SKIP() << "localedef cannot build test locales here";
    setenv("LOCPATH", dir.c_str(), 1);
#if defined(__SANITIZE_ADDRESS__)
    // glibc keeps (and never frees) its parsed copy of LOCPATH on each locale load.
    __lsan_disable();
#endif
  }
  void TearDown() override {
#if defined(__SANITIZE_ADDRESS__)
    if (std::getenv("LOCPATH")) __lsan_enable();
#endif
  }
  EnvGuard m_env;
  qel::test::TempDir m_dir;
};

TEST_F(InstalledLocales, WindowsNamesSelectInstalledLocalesUtf8First) {
  WCHAR* r = _wsetlocale(LC_ALL, TEXT("Japanese"));
  ASSERT_NE(r, nullptr);
  EXPECT_EQ(qel::ToUtf8(r), "ja_JP.UTF-8");
  EXPECT_EQ(std::string(std::setlocale(LC_ALL, nullptr)), "ja_JP.UTF-8");
  EXPECT_EQ(GetACP(), static_cast<UINT>(CP_UTF8));

  r = _wsetlocale(LC_ALL, TEXT("Japanese_Japan.932"));
  ASSERT_NE(r, nullptr);
  EXPECT_EQ(qel::ToUtf8(r), "ja_JP.SJIS");
  EXPECT_EQ(GetACP(), 932u);
  EXPECT_EQ(qel::ToUtf8(_wsetlocale(LC_ALL, nullptr)), "ja_JP.SJIS");

  // In a Shift_JIS locale the console text is Shift_JIS, what it cannot hold a '?'.
  testing::internal::CaptureStdout();
  EXPECT_GE(_putws(u"\u65e5\u672c \u00e9"), 0);
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "\x93\xfa\x96\x7b ?\n");

  r = _wsetlocale(LC_ALL, TEXT("ja-JP"));
  ASSERT_NE(r, nullptr);
  EXPECT_EQ(qel::ToUtf8(r), "ja_JP.UTF-8");
  testing::internal::CaptureStdout();
  EXPECT_GE(_putws(u"\u65e5\u672c"), 0);
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "\xE6\x97\xA5\xE6\x9C\xAC\n");

  setenv("LANG", "ja_JP.UTF-8", 1);
  r = _wsetlocale(LC_ALL, TEXT(""));
  ASSERT_NE(r, nullptr);
  EXPECT_EQ(qel::ToUtf8(r), "ja_JP.UTF-8");
}

TEST_F(InstalledLocales, MissingLocalesLeaveTheCurrentOneAlone) {
  ASSERT_NE(_wsetlocale(LC_ALL, TEXT("C")), nullptr);
  EXPECT_EQ(_wsetlocale(LC_ALL, TEXT("German")), nullptr);  // not built into LOCPATH
  EXPECT_EQ(_wsetlocale(LC_ALL, TEXT("Klingon")), nullptr);
  EXPECT_EQ(_wsetlocale(LC_ALL, TEXT("Japanese_Japan.51949")), nullptr);
  EXPECT_EQ(_wsetlocale(9999, TEXT("C")), nullptr);
  EXPECT_EQ(std::string(std::setlocale(LC_ALL, nullptr)), "C");
  // English always finds the C library's own UTF-8 locale.
  WCHAR* r = _wsetlocale(LC_ALL, TEXT("English"));
  ASSERT_NE(r, nullptr);
  EXPECT_NE(qel::ToUtf8(r).find("UTF-8"), std::string::npos);
}

TEST(PutWs, CLocaleWritesUtf8AndAddsALineFeed) {
  EnvGuard env;
  std::setlocale(LC_ALL, "C");
  testing::internal::CaptureStdout();
  EXPECT_GE(_putws(u"QelUPnP:Service started"), 0);
  EXPECT_GE(_putws(u"caf\u00e9"), 0);
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "QelUPnP:Service started\ncaf\xC3\xA9\n");
  EXPECT_EQ(_putws(nullptr), -1);
}

}  // namespace
