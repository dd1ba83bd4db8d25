// Code pages: MultiByteToWideChar / WideCharToMultiByte over the platform's
// UTF-8 helpers and iconv, with Win32's size and error rules.
#include <iconv.h>
#include <langinfo.h>
#include <strings.h>

#include <cerrno>
#include <climits>
#include <cstring>
#include <string>

#include "internal.h"
#include "qel/fault.h"

namespace qel::kernel {
namespace {

class Iconv {
 public:
  Iconv(const std::string& to, const std::string& from) : m_cd(iconv_open(to.c_str(), from.c_str())) {}
  ~Iconv() {
    if (ok()) iconv_close(m_cd);
  }
  Iconv(const Iconv&) = delete;
  Iconv& operator=(const Iconv&) = delete;
  bool ok() const { return m_cd != reinterpret_cast<iconv_t>(-1); }
  iconv_t get() const { return m_cd; }

 private:
  iconv_t m_cd;
};

bool HasLoneSurrogate(u16view s) {
  for (std::size_t i = 0; i < s.size(); ++i) {
    char16_t c = s[i];
    if (c >= 0xD800 && c <= 0xDBFF) {
      if (i + 1 < s.size() && s[i + 1] >= 0xDC00 && s[i + 1] <= 0xDFFF) {
        ++i;
        continue;
      }
      return true;
    }
    if (c >= 0xDC00 && c <= 0xDFFF) return true;
  }
  return false;
}

}  // namespace

bool IsUtf8Charset(std::string_view cs) {
  return (cs.size() == 5 && strncasecmp(cs.data(), "UTF-8", 5) == 0) ||
         (cs.size() == 4 && strncasecmp(cs.data(), "UTF8", 4) == 0);
}

std::string CurrentCodeset() {
  const char* cs = nl_langinfo(CODESET);
  if (!cs || !*cs || std::strcmp(cs, "ANSI_X3.4-1968") == 0 || std::strcmp(cs, "ASCII") == 0) return "UTF-8";
  return cs;
}

std::string CharsetForCodePage(UINT cp) {
  switch (cp) {
    case CP_ACP:
    case CP_OEMCP:
    case CP_THREAD_ACP: return CurrentCodeset();
    case CP_UTF8: return "UTF-8";
    case 65000: return "UTF-7";
    case 932: return "CP932";
    case 936: return "GBK";
    case 949: return "CP949";
    case 950: return "BIG5";
    case 20127: return "ASCII";
    case 20866: return "KOI8-R";
    case 20932: return "EUC-JP";
    case 51932: return "EUC-JP";
    case 50220: return "ISO-2022-JP";
    case 54936: return "GB18030";
    default: break;
  }
  if (cp >= 28591 && cp <= 28606) return "ISO-8859-" + std::to_string(cp - 28590);
  if (cp == 437 || cp == 850 || cp == 852 || cp == 855 || cp == 866 || cp == 874 || (cp >= 1250 && cp <= 1258))
    return "CP" + std::to_string(cp);
  return {};
}

bool DecodeBytes(std::string_view bytes, const std::string& charset, bool strict, u16* out) {
  out->clear();
  if (IsUtf8Charset(charset)) {
    if (strict && !IsValidUtf8(bytes)) return false;
    *out = FromUtf8(bytes);
    return true;
  }
  Iconv cd("UTF-16LE", charset);
  if (!cd.ok()) return false;
  char* in = const_cast<char*>(bytes.data());
  std::size_t inLeft = bytes.size();
  char chunk[4096];
  auto flush = [&](char* end) {
    std::size_t n = static_cast<std::size_t>(end - chunk) / 2;
    std::size_t at = out->size();
    out->resize(at + n);
    std::memcpy(out->data() + at, chunk, n * 2);
  };
  while (inLeft > 0) {
    char* o = chunk;
    std::size_t oLeft = sizeof chunk;
    std::size_t r = iconv(cd.get(), &in, &inLeft, &o, &oLeft);
    int err = errno;
    flush(o);
    if (r != static_cast<std::size_t>(-1) || err == E2BIG) continue;
    if (err != EILSEQ && err != EINVAL) return false;
    if (strict) return false;
    out->push_back(u'\uFFFD');
    ++in;
    --inLeft;
  }
  char* o = chunk;
  std::size_t oLeft = sizeof chunk;
  iconv(cd.get(), nullptr, nullptr, &o, &oLeft);
  flush(o);
  return true;
}

bool EncodeText(u16view text, const std::string& charset, bool strict, std::string_view replacement, bool* usedDefault,
                std::string* out) {
  out->clear();
  if (IsUtf8Charset(charset)) {
    if (HasLoneSurrogate(text)) {
      if (strict) return false;
      if (usedDefault) *usedDefault = true;
    }
    *out = ToUtf8(text);
    return true;
  }
  Iconv cd(charset, "UTF-16LE");
  if (!cd.ok()) return false;
  char* in = reinterpret_cast<char*>(const_cast<char16_t*>(text.data()));
  std::size_t inLeft = text.size() * 2;
  char chunk[4096];
  while (inLeft > 0) {
    char* o = chunk;
    std::size_t oLeft = sizeof chunk;
    std::size_t r = iconv(cd.get(), &in, &inLeft, &o, &oLeft);
    int err = errno;
    out->append(chunk, static_cast<std::size_t>(o - chunk));
    if (r != static_cast<std::size_t>(-1) || err == E2BIG) continue;
    if (err != EILSEQ && err != EINVAL) return false;
    if (strict) return false;
    // Skip the character that has no form in the target (a surrogate pair whole).
    char16_t first;
    std::memcpy(&first, in, 2);
    std::size_t skip = 2;
    if (first >= 0xD800 && first <= 0xDBFF && inLeft >= 4) {
      char16_t second;
      std::memcpy(&second, in + 2, 2);
      if (second >= 0xDC00 && second <= 0xDFFF) skip = 4;
    }
    if (skip > inLeft) skip = inLeft;
    in += skip;
    inLeft -= skip;
    out->append(replacement);
    if (usedDefault) *usedDefault = true;
  }
  char* o = chunk;
  std::size_t oLeft = sizeof chunk;
  iconv(cd.get(), nullptr, nullptr, &o, &oLeft);
  out->append(chunk, static_cast<std::size_t>(o - chunk));
  return true;
}

}  // namespace qel::kernel

using namespace qel::kernel;

extern "C" int WINAPI MultiByteToWideChar(UINT CodePage, DWORD dwFlags, LPCCH lpMultiByteStr, int cbMultiByte,
                                          LPWSTR lpWideCharStr, int cchWideChar) {
  QEL_FAULT_POINT("MultiByteToWideChar", c) {
    SetLastError(static_cast<DWORD>(c));
    return 0;
  }
  if (!lpMultiByteStr || cbMultiByte == 0 || cbMultiByte < -1 || cchWideChar < 0 ||
      (!lpWideCharStr && cchWideChar != 0) ||
      (lpWideCharStr && reinterpret_cast<const void*>(lpWideCharStr) == reinterpret_cast<const void*>(lpMultiByteStr))) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return 0;
  }
  std::string charset = CharsetForCodePage(CodePage);
  if (charset.empty()) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return 0;
  }
  std::size_t len = cbMultiByte == -1 ? std::strlen(lpMultiByteStr) + 1 : static_cast<std::size_t>(cbMultiByte);
  qel::u16 wide;
  if (!DecodeBytes(std::string_view(lpMultiByteStr, len), charset, (dwFlags & MB_ERR_INVALID_CHARS) != 0, &wide)) {
    SetLastError(ERROR_NO_UNICODE_TRANSLATION);
    return 0;
  }
  if (wide.size() > INT_MAX) {
    SetLastError(ERROR_INSUFFICIENT_BUFFER);
    return 0;
  }
  int needed = static_cast<int>(wide.size());
  if (cchWideChar == 0) return needed;
  if (needed > cchWideChar) {
    std::memcpy(lpWideCharStr, wide.data(), static_cast<std::size_t>(cchWideChar) * sizeof(WCHAR));
    SetLastError(ERROR_INSUFFICIENT_BUFFER);
    return 0;
  }
  std::memcpy(lpWideCharStr, wide.data(), wide.size() * sizeof(WCHAR));
  return needed;
}

extern "C" int WINAPI WideCharToMultiByte(UINT CodePage, DWORD dwFlags, LPCWCH lpWideCharStr, int cchWideChar,
                                          LPSTR lpMultiByteStr, int cbMultiByte, LPCCH lpDefaultChar,
                                          LPBOOL lpUsedDefaultChar) {
  QEL_FAULT_POINT("WideCharToMultiByte", c) {
    SetLastError(static_cast<DWORD>(c));
    return 0;
  }
  if (!lpWideCharStr || cchWideChar == 0 || cchWideChar < -1 || cbMultiByte < 0 ||
      (!lpMultiByteStr && cbMultiByte != 0) ||
      (lpMultiByteStr && reinterpret_cast<const void*>(lpWideCharStr) == reinterpret_cast<const void*>(lpMultiByteStr))) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return 0;
  }
  std::string charset = CharsetForCodePage(CodePage);
  if (charset.empty()) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return 0;
  }
  // UTF-8 has no default character: Windows refuses one.
  if (CodePage == CP_UTF8 && (lpDefaultChar || lpUsedDefaultChar)) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return 0;
  }
  std::size_t len = cchWideChar == -1 ? qel::WLen(lpWideCharStr) + 1 : static_cast<std::size_t>(cchWideChar);
  bool used = false;
  std::string bytes;
  std::string_view replacement = lpDefaultChar ? std::string_view(lpDefaultChar, 1) : std::string_view("?");
  if (!EncodeText(qel::u16view(lpWideCharStr, len), charset, (dwFlags & WC_ERR_INVALID_CHARS) != 0, replacement,
                  &used, &bytes)) {
    SetLastError(ERROR_NO_UNICODE_TRANSLATION);
    return 0;
  }
  if (lpUsedDefaultChar) *lpUsedDefaultChar = used ? TRUE : FALSE;
  if (bytes.size() > INT_MAX) {
    SetLastError(ERROR_INSUFFICIENT_BUFFER);
    return 0;
  }
  int needed = static_cast<int>(bytes.size());
  if (cbMultiByte == 0) return needed;
  if (needed > cbMultiByte) {
    std::memcpy(lpMultiByteStr, bytes.data(), static_cast<std::size_t>(cbMultiByte));
    SetLastError(ERROR_INSUFFICIENT_BUFFER);
    return 0;
  }
  std::memcpy(lpMultiByteStr, bytes.data(), bytes.size());
  return needed;
}

namespace {
UINT CodePageOfCodeset(const std::string& cs) {
  if (IsUtf8Charset(cs)) return CP_UTF8;
  if (strcasecmp(cs.c_str(), "SHIFT_JIS") == 0 || strcasecmp(cs.c_str(), "CP932") == 0 ||
      strcasecmp(cs.c_str(), "SJIS") == 0)
    return 932;
  if (strcasecmp(cs.c_str(), "EUC-JP") == 0) return 20932;
  if (strcasecmp(cs.c_str(), "GBK") == 0 || strcasecmp(cs.c_str(), "GB2312") == 0) return 936;
  if (strcasecmp(cs.c_str(), "GB18030") == 0) return 54936;
  if (strcasecmp(cs.c_str(), "BIG5") == 0 || strcasecmp(cs.c_str(), "BIG5-HKSCS") == 0) return 950;
  if (strcasecmp(cs.c_str(), "EUC-KR") == 0) return 949;
  if (strcasecmp(cs.c_str(), "KOI8-R") == 0) return 20866;
  if (strncasecmp(cs.c_str(), "ISO-8859-", 9) == 0) return 28590 + static_cast<UINT>(std::atoi(cs.c_str() + 9));
  if (strncasecmp(cs.c_str(), "CP", 2) == 0) return static_cast<UINT>(std::atoi(cs.c_str() + 2));
  return CP_UTF8;
}
}  // namespace

extern "C" UINT WINAPI GetACP(void) { return CodePageOfCodeset(CurrentCodeset()); }
extern "C" UINT WINAPI GetOEMCP(void) { return CodePageOfCodeset(CurrentCodeset()); }
