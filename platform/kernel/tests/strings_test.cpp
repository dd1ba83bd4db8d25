#include <gtest/gtest.h>

#include <clocale>
#include <cstring>
#include <string>
#include <vector>

#include "qel/kernel.h"
#include "qel/wstr.h"

namespace {

// ASCII runs are copied in bulk: the conversions must stay exact where runs
// meet multi-byte characters, surrogate pairs and malformed input.
TEST(Utf, ConversionsAcrossAsciiRunsAndMultiByteCharacters) {
  struct Row {
    std::string utf8;
    qel::u16 utf16;
  } rows[] = {
      {"", u""},
      {"plain ascii", u"plain ascii"},
      {"\xE6\x9C\xAC\xE7\xA4\xBE", u"\u672C\u793E"},
      {"a\xC3\xA9" "b\xE6\x9C\xAC" "cd", u"a\u00E9b\u672Ccd"},
      {"x\xF0\x9F\x98\x80y", u"x\U0001F600y"},
      {"\xE6\x9C\xAC tail", u"\u672C tail"},
      // Runs are taken eight bytes at a time: characters inside, at and after a block's end.
      {"1234567\xE6\x9C\xAC" "89abcdefghij", u"1234567\u672C89abcdefghij"},
      {"01234567" "89abcdef" "\xC3\xA9", u"0123456789abcdef\u00E9"},
      {"0123456789abcde\xF0\x9F\x98\x80", u"0123456789abcde\U0001F600"},
  };
  auto checkDirect = [](const std::string& utf8, const qel::u16& expected) {
    // The sized conversion: the same units, exactly as many as counted, nothing past them.
    ASSERT_EQ(qel::Utf16LengthOf(utf8), expected.size()) << utf8;
    std::vector<char16_t> buffer(expected.size() + 1, u'#');
    EXPECT_EQ(qel::FromUtf8Into(utf8, buffer.data()), expected.size()) << utf8;
    EXPECT_EQ(qel::u16(buffer.data(), expected.size()), expected) << utf8;
    EXPECT_EQ(buffer.back(), u'#') << utf8;
  };
  for (const auto& r : rows) {
    EXPECT_EQ(qel::FromUtf8(r.utf8), r.utf16) << r.utf8;
    EXPECT_EQ(qel::ToUtf8(r.utf16), r.utf8) << r.utf8;
    checkDirect(r.utf8, r.utf16);
  }
  // Each byte of a broken sequence between ASCII runs becomes U+FFFD and the runs survive.
  EXPECT_EQ(qel::FromUtf8("ab\xE6\x9C" "cd"), qel::u16(u"ab\uFFFD\uFFFDcd"));
  checkDirect("ab\xE6\x9C" "cd", u"ab\uFFFD\uFFFDcd");
  checkDirect("abcdefgh\xE6\x9C", u"abcdefgh\uFFFD\uFFFD");
  checkDirect("abcdefg\xFF" "hijklmnop", u"abcdefg\uFFFDhijklmnop");
  EXPECT_EQ(qel::ToUtf8(qel::u16(u"ab\xD800" u"cd")), "ab\xEF\xBF\xBD" "cd");
}

TEST(Lstr, LengthsCompareAndNulls) {
  EXPECT_EQ(lstrlenW(TEXT("abc")), 3);
  EXPECT_EQ(lstrlenW(nullptr), 0);
  EXPECT_EQ(lstrlenA("abcd"), 4);
  EXPECT_EQ(lstrlenA(nullptr), 0);
  EXPECT_EQ(lstrcmpiW(TEXT("REGSERVER"), TEXT("RegServer")), 0);
  EXPECT_EQ(lstrcmpiW(TEXT("Service "), TEXT("Service")), 1);
  EXPECT_LT(lstrcmpiW(TEXT("abc"), TEXT("ABD")), 0);
  EXPECT_NE(lstrcmpW(TEXT("abc"), TEXT("ABC")), 0);
  EXPECT_EQ(lstrcmpW(TEXT("abc"), TEXT("abc")), 0);
  EXPECT_EQ(lstrcmpiW(nullptr, nullptr), 0);
  EXPECT_LT(lstrcmpiW(nullptr, TEXT("a")), 0);
}

TEST(Lstr, CopyNeverPassesTheGivenLength) {
  WCHAR buf[8];
  for (auto& c : buf) c = u'#';
  EXPECT_EQ(lstrcpynW(buf, TEXT("abcdefghij"), 4), buf);
  EXPECT_EQ(std::u16string(buf), u"abc");
  EXPECT_EQ(buf[4], u'#');
  EXPECT_EQ(lstrcpynW(buf, TEXT("x"), 0), buf);  // nothing written
  EXPECT_EQ(buf[0], u'a');
  EXPECT_EQ(lstrcpynW(buf, TEXT("xy"), 1), buf);
  EXPECT_EQ(buf[0], 0);
  lstrcpyW(buf, TEXT("ab"));
  lstrcatW(buf, TEXT("cd"));
  EXPECT_EQ(std::u16string(buf), u"abcd");
  EXPECT_EQ(lstrcpyW(nullptr, TEXT("x")), nullptr);
}

TEST(CharNext, StepsOverCombiningMarksAndStaysOnTheTerminator) {
  const WCHAR* s = TEXT("ab");
  EXPECT_EQ(CharNextW(s), s + 1);
  EXPECT_EQ(CharNextW(s + 2), s + 2);
  // Steps from each position of the text to the next, as offsets.
  struct Row {
    const char16_t* text;
    std::vector<int> steps;
  };
  const Row rows[] = {
      {u"a\u0301\u0323b", {3, 4}},   // non-spacing marks stay with their base
      {u"\u0301x", {1, 2}},           // a mark at the start is a step of its own
      {u"1\u20DD2", {2, 3}},          // enclosing mark
      {u"\u0915\u093Fx", {1, 2, 3}},  // a spacing mark is a character
      {u"\U0001F600\u0301", {1, 3}},  // surrogates one unit at a time
      {u"\u30AB\u3099", {2}},        // kana voiced sound mark
  };
  for (const Row& r : rows) {
    std::vector<int> got;
    for (const char16_t* p = r.text; *p; p = CharNextW(p)) got.push_back(static_cast<int>(CharNextW(p) - r.text));
    EXPECT_EQ(got, r.steps) << qel::ToUtf8(r.text);
  }
  const char* a = "x";
  EXPECT_EQ(CharNextA(a), a + 1);
  EXPECT_EQ(CharNextA(a + 1), a + 1);
}

TEST(SplitPath, KeepsTheFinalSeparatorWithEitherSlash) {
  WCHAR drive[_MAX_DRIVE], dir[_MAX_DIR], fname[_MAX_FNAME], ext[_MAX_EXT];
  ASSERT_EQ(_wsplitpath_s(TEXT("/opt/qel upnp/lib/qelupnp.bin"), drive, _MAX_DRIVE, dir, _MAX_DIR, fname,
                          _MAX_FNAME, ext, _MAX_EXT),
            0);
  EXPECT_EQ(std::u16string(drive), u"");
  EXPECT_EQ(std::u16string(dir), u"/opt/qel upnp/lib/");
  EXPECT_EQ(std::u16string(fname), u"qelupnp");
  EXPECT_EQ(std::u16string(ext), u".bin");

  _wsplitpath(TEXT("D:\\Apps\\Svc\\svc.tar.gz"), drive, dir, fname, ext);
  EXPECT_EQ(std::u16string(dir), u"D:\\Apps\\Svc\\");
  EXPECT_EQ(std::u16string(fname), u"svc.tar");
  EXPECT_EQ(std::u16string(ext), u".gz");

  _wsplitpath(TEXT("noslash"), drive, dir, fname, ext);
  EXPECT_EQ(std::u16string(dir), u"");
  EXPECT_EQ(std::u16string(fname), u"noslash");
  EXPECT_EQ(std::u16string(ext), u"");

  WCHAR path[_MAX_PATH];
  ASSERT_EQ(_wmakepath_s(path, _MAX_PATH, drive, TEXT("/a/b/"), nullptr, nullptr), 0);
  EXPECT_EQ(std::u16string(path), u"/a/b/");
  ASSERT_EQ(_wmakepath_s(path, _MAX_PATH, nullptr, TEXT("/a/b"), TEXT("f"), TEXT("xml")), 0);
  EXPECT_EQ(std::u16string(path), u"/a/b/f.xml");
}

TEST(SplitPath, TooSmallBuffersGiveRangeErrorAndEmptyParts) {
  WCHAR dir[4], fname[16];
  dir[0] = u'#';
  EXPECT_EQ(_wsplitpath_s(TEXT("/long/dir/file"), nullptr, 0, dir, 4, fname, 16, nullptr, 0), ERANGE);
  EXPECT_EQ(dir[0], 0);
  EXPECT_EQ(fname[0], 0);
  EXPECT_EQ(_wsplitpath_s(TEXT("/a/f"), nullptr, 0, dir, 0, nullptr, 0, nullptr, 0), EINVAL);
  EXPECT_EQ(_wsplitpath_s(nullptr, nullptr, 0, nullptr, 0, nullptr, 0, nullptr, 0), EINVAL);

  // The unsized form cuts a directory longer than _MAX_DIR instead of overrunning.
  std::u16string longDir(400, u'd');
  std::u16string path = u"/" + longDir + u"/f.x";
  struct {
    WCHAR dir[_MAX_DIR];
    WCHAR guard[4];
  } b;
  for (auto& c : b.guard) c = u'#';
  _wsplitpath(path.c_str(), nullptr, b.dir, nullptr, nullptr);
  EXPECT_EQ(qel::WLen(b.dir), static_cast<size_t>(_MAX_DIR - 1));
  EXPECT_EQ(b.guard[0], u'#');

  WCHAR small[6];
  EXPECT_EQ(_wmakepath_s(small, 6, nullptr, TEXT("/abc/"), TEXT("def"), nullptr), ERANGE);
  EXPECT_EQ(small[0], 0);
}

TEST(PathFindFileName, FindsTheLastPartAsWindowsDoes) {
  const WCHAR* p = TEXT("/usr/lib/qelupnp/qelupnp");
  EXPECT_EQ(std::u16string(PathFindFileNameW(p)), u"qelupnp");
  EXPECT_EQ(std::u16string(PathFindFileNameW(TEXT("C:\\dir\\file.txt"))), u"file.txt");
  EXPECT_EQ(std::u16string(PathFindFileNameW(TEXT("/dir/sub/"))), u"sub/");
  EXPECT_EQ(std::u16string(PathFindFileNameW(TEXT("plain"))), u"plain");
  EXPECT_EQ(PathFindFileNameW(nullptr), nullptr);
}

TEST(CodePages, Win32SizeRules) {
  const char* text = "Qel\xC3\xA9";  // "Qelé"
  EXPECT_EQ(MultiByteToWideChar(CP_UTF8, 0, text, -1, nullptr, 0), 5);  // terminator counted
  EXPECT_EQ(MultiByteToWideChar(CP_UTF8, 0, text, 3, nullptr, 0), 3);
  WCHAR buf[5];
  EXPECT_EQ(MultiByteToWideChar(CP_UTF8, 0, text, -1, buf, 5), 5);
  EXPECT_EQ(std::u16string(buf), u"Qel\u00e9");

  WCHAR small[3] = {u'#', u'#', u'#'};
  struct {
    WCHAR buf[2];
    WCHAR guard;
  } g{{0, 0}, u'#'};
  EXPECT_EQ(MultiByteToWideChar(CP_UTF8, 0, text, -1, g.buf, 2), 0);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER));
  EXPECT_EQ(g.guard, u'#');
  (void)small;

  EXPECT_EQ(MultiByteToWideChar(CP_UTF8, 0, nullptr, -1, buf, 5), 0);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
  EXPECT_EQ(MultiByteToWideChar(CP_UTF8, 0, text, 0, buf, 5), 0);
  EXPECT_EQ(MultiByteToWideChar(12345, 0, text, -1, buf, 5), 0);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));

  char out[8];
  EXPECT_EQ(WideCharToMultiByte(CP_UTF8, 0, u"Qel\u00e9", -1, nullptr, 0, nullptr, nullptr), 6);
  EXPECT_EQ(WideCharToMultiByte(CP_UTF8, 0, u"Qel\u00e9", -1, out, 8, nullptr, nullptr), 6);
  EXPECT_STREQ(out, text);
  EXPECT_EQ(WideCharToMultiByte(CP_UTF8, 0, u"Qel\u00e9", -1, out, 4, nullptr, nullptr), 0);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER));
  BOOL used = FALSE;
  EXPECT_EQ(WideCharToMultiByte(CP_UTF8, 0, u"x", -1, out, 8, "?", &used), 0);  // UTF-8 has no default char
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
}

TEST(CodePages, InvalidInputIsReplacedOrRefused) {
  const char bad[] = "a\xFF" "b";
  WCHAR buf[8];
  EXPECT_EQ(MultiByteToWideChar(CP_UTF8, 0, bad, -1, buf, 8), 4);
  EXPECT_EQ(buf[1], 0xFFFD);
  EXPECT_EQ(MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, bad, -1, buf, 8), 0);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NO_UNICODE_TRANSLATION));

  const WCHAR lone[] = {u'a', 0xD800, u'b', 0};
  char out[16];
  EXPECT_EQ(WideCharToMultiByte(CP_UTF8, WC_ERR_INVALID_CHARS, lone, -1, out, 16, nullptr, nullptr), 0);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NO_UNICODE_TRANSLATION));
  EXPECT_GT(WideCharToMultiByte(CP_UTF8, 0, lone, -1, out, 16, nullptr, nullptr), 0);
}

TEST(CodePages, ShiftJisRoundTripAndDefaultCharacter) {
  const char16_t* jp = u"\u65e5\u672c\u8a9e";  // 日本語
  char sjis[16];
  int n = WideCharToMultiByte(932, 0, jp, -1, sjis, sizeof sjis, nullptr, nullptr);
  ASSERT_EQ(n, 7);
  EXPECT_EQ(std::string(sjis), "\x93\xfa\x96\x7b\x8c\xea");
  WCHAR back[8];
  ASSERT_EQ(MultiByteToWideChar(932, 0, sjis, -1, back, 8), 4);
  EXPECT_EQ(std::u16string(back), jp);

  BOOL used = FALSE;
  char latin[8];
  ASSERT_EQ(WideCharToMultiByte(1252, 0, u"a\u65e5b", -1, latin, 8, "*", &used), 4);
  EXPECT_STREQ(latin, "a*b");
  EXPECT_TRUE(used);
  EXPECT_EQ(WideCharToMultiByte(1252, WC_ERR_INVALID_CHARS, u"a\u65e5b", -1, latin, 8, nullptr, nullptr), 0);
}

TEST(CodePages, AnsiCodePageFollowsTheCLocaleAndIsUtf8UnderC) {
  const char* old = std::setlocale(LC_ALL, nullptr);
  std::string saved = old ? old : "C";
  std::setlocale(LC_ALL, "C");
  EXPECT_EQ(GetACP(), static_cast<UINT>(CP_UTF8));
  WCHAR buf[4];
  EXPECT_EQ(MultiByteToWideChar(CP_ACP, 0, "\xC3\xA9", -1, buf, 4), 2);
  EXPECT_EQ(buf[0], 0x00E9);
  std::setlocale(LC_ALL, saved.c_str());
}

}  // namespace
