// Locale information over a table of Windows locale ids, the C runtime's
// wide setlocale over installed glibc locales, and _putws.
#include <langinfo.h>
#include <locale.h>
#include <strings.h>

#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "internal.h"
#include "qel/fault.h"

namespace {

struct LocaleEntry {
  LANGID id;
  const char* language;  // LOCALE_SENGLISHLANGUAGENAME
  const char* country;   // LOCALE_SENGLISHCOUNTRYNAME
  const char* iso639;
  const char* iso3166;
  const char* name;  // LOCALE_SNAME
  unsigned ansiCodePage;
};

// Specific locales; a neutral (primary) id answers with its first entry here.
constexpr LocaleEntry kLocales[] = {
    {0x0409, "English", "United States", "en", "US", "en-US", 1252},
    {0x0809, "English", "United Kingdom", "en", "GB", "en-GB", 1252},
    {0x0C09, "English", "Australia", "en", "AU", "en-AU", 1252},
    {0x1009, "English", "Canada", "en", "CA", "en-CA", 1252},
    {0x1409, "English", "New Zealand", "en", "NZ", "en-NZ", 1252},
    {0x1809, "English", "Ireland", "en", "IE", "en-IE", 1252},
    {0x4009, "English", "India", "en", "IN", "en-IN", 1252},
    {0x0411, "Japanese", "Japan", "ja", "JP", "ja-JP", 932},
    {0x0407, "German", "Germany", "de", "DE", "de-DE", 1252},
    {0x0807, "German", "Switzerland", "de", "CH", "de-CH", 1252},
    {0x0C07, "German", "Austria", "de", "AT", "de-AT", 1252},
    {0x040C, "French", "France", "fr", "FR", "fr-FR", 1252},
    {0x080C, "French", "Belgium", "fr", "BE", "fr-BE", 1252},
    {0x0C0C, "French", "Canada", "fr", "CA", "fr-CA", 1252},
    {0x100C, "French", "Switzerland", "fr", "CH", "fr-CH", 1252},
    {0x0804, "Chinese", "China", "zh", "CN", "zh-CN", 936},
    {0x0404, "Chinese", "Taiwan", "zh", "TW", "zh-TW", 950},
    {0x0C04, "Chinese", "Hong Kong SAR", "zh", "HK", "zh-HK", 950},
    {0x1004, "Chinese", "Singapore", "zh", "SG", "zh-SG", 936},
    {0x0412, "Korean", "Korea", "ko", "KR", "ko-KR", 949},
    {0x0C0A, "Spanish", "Spain", "es", "ES", "es-ES", 1252},
    {0x040A, "Spanish", "Spain", "es", "ES", "es-ES_tradnl", 1252},
    {0x080A, "Spanish", "Mexico", "es", "MX", "es-MX", 1252},
    {0x2C0A, "Spanish", "Argentina", "es", "AR", "es-AR", 1252},
    {0x0410, "Italian", "Italy", "it", "IT", "it-IT", 1252},
    {0x0810, "Italian", "Switzerland", "it", "CH", "it-CH", 1252},
    {0x0416, "Portuguese", "Brazil", "pt", "BR", "pt-BR", 1252},
    {0x0816, "Portuguese", "Portugal", "pt", "PT", "pt-PT", 1252},
    {0x0413, "Dutch", "Netherlands", "nl", "NL", "nl-NL", 1252},
    {0x0813, "Dutch", "Belgium", "nl", "BE", "nl-BE", 1252},
    {0x0419, "Russian", "Russia", "ru", "RU", "ru-RU", 1251},
    {0x0415, "Polish", "Poland", "pl", "PL", "pl-PL", 1250},
    {0x0405, "Czech", "Czech Republic", "cs", "CZ", "cs-CZ", 1250},
    {0x041B, "Slovak", "Slovakia", "sk", "SK", "sk-SK", 1250},
    {0x040E, "Hungarian", "Hungary", "hu", "HU", "hu-HU", 1250},
    {0x0418, "Romanian", "Romania", "ro", "RO", "ro-RO", 1250},
    {0x0402, "Bulgarian", "Bulgaria", "bg", "BG", "bg-BG", 1251},
    {0x041A, "Croatian", "Croatia", "hr", "HR", "hr-HR", 1250},
    {0x0424, "Slovenian", "Slovenia", "sl", "SI", "sl-SI", 1250},
    {0x0422, "Ukrainian", "Ukraine", "uk", "UA", "uk-UA", 1251},
    {0x0408, "Greek", "Greece", "el", "GR", "el-GR", 1253},
    {0x041F, "Turkish", "Turkey", "tr", "TR", "tr-TR", 1254},
    {0x040D, "Hebrew", "Israel", "he", "IL", "he-IL", 1255},
    {0x0401, "Arabic", "Saudi Arabia", "ar", "SA", "ar-SA", 1256},
    {0x0C01, "Arabic", "Egypt", "ar", "EG", "ar-EG", 1256},
    {0x041E, "Thai", "Thailand", "th", "TH", "th-TH", 874},
    {0x042A, "Vietnamese", "Vietnam", "vi", "VN", "vi-VN", 1258},
    {0x0421, "Indonesian", "Indonesia", "id", "ID", "id-ID", 1252},
    {0x043E, "Malay", "Malaysia", "ms", "MY", "ms-MY", 1252},
    {0x0439, "Hindi", "India", "hi", "IN", "hi-IN", 0},
    {0x041D, "Swedish", "Sweden", "sv", "SE", "sv-SE", 1252},
    {0x0406, "Danish", "Denmark", "da", "DK", "da-DK", 1252},
    {0x0414, "Norwegian", "Norway", "nb", "NO", "nb-NO", 1252},
    {0x040B, "Finnish", "Finland", "fi", "FI", "fi-FI", 1252},
    {0x040F, "Icelandic", "Iceland", "is", "IS", "is-IS", 1252},
    {0x0425, "Estonian", "Estonia", "et", "EE", "et-EE", 1257},
    {0x0426, "Latvian", "Latvia", "lv", "LV", "lv-LV", 1257},
    {0x0427, "Lithuanian", "Lithuania", "lt", "LT", "lt-LT", 1257},
    {0x0403, "Catalan", "Spain", "ca", "ES", "ca-ES", 1252},
    {0x042D, "Basque", "Spain", "eu", "ES", "eu-ES", 1252},
    {0x0456, "Galician", "Spain", "gl", "ES", "gl-ES", 1252},
    {0x0436, "Afrikaans", "South Africa", "af", "ZA", "af-ZA", 1252},
    {0x0429, "Persian", "Iran", "fa", "IR", "fa-IR", 1256},
};

constexpr LocaleEntry kInvariant = {0x007F, "Invariant Language", "Invariant Country", "iv", "IV", "", 1252};

const LocaleEntry* FindById(LANGID id) {
  for (const auto& e : kLocales)
    if (e.id == id) return &e;
  return nullptr;
}

const LocaleEntry* FindByIso(std::string_view lang, std::string_view country) {
  const LocaleEntry* first = nullptr;
  for (const auto& e : kLocales) {
    if (strncasecmp(e.iso639, lang.data(), lang.size()) != 0 || std::strlen(e.iso639) != lang.size()) continue;
    if (!first) first = &e;
    if (!country.empty() && std::strlen(e.iso3166) == country.size() &&
        strncasecmp(e.iso3166, country.data(), country.size()) == 0)
      return &e;
  }
  return country.empty() ? first : nullptr;
}

// "ja_JP.UTF-8@mod" -> ("ja", "JP"); "C"/"POSIX" -> nothing.
bool ParsePosixName(const char* name, std::string* lang, std::string* country) {
  if (!name || !*name || std::strcmp(name, "C") == 0 || std::strcmp(name, "POSIX") == 0 ||
      std::strncmp(name, "C.", 2) == 0)
    return false;
  std::string s(name);
  s = s.substr(0, s.find_first_of(".@"));
  std::size_t us = s.find('_');
  *lang = s.substr(0, us);
  *country = us == std::string::npos ? std::string() : s.substr(us + 1);
  return !lang->empty();
}

const char* EnvLocaleName() {
  for (const char* var : {"LC_ALL", "LC_MESSAGES", "LANG"})
    if (const char* v = std::getenv(var); v && *v) return v;
  return nullptr;
}

const LocaleEntry* UserDefault() {
  std::string lang, country;
  if (ParsePosixName(EnvLocaleName(), &lang, &country)) {
    if (const LocaleEntry* e = FindByIso(lang, country)) return e;
    if (const LocaleEntry* e = FindByIso(lang, {})) return e;
  }
  return FindById(0x0409);
}

// Null when the id is not a locale this table knows.
const LocaleEntry* Resolve(LCID lcid) {
  if (lcid == LOCALE_USER_DEFAULT || lcid == LOCALE_SYSTEM_DEFAULT || lcid == LOCALE_NEUTRAL) return UserDefault();
  if (lcid == LOCALE_INVARIANT) return &kInvariant;
  if ((lcid >> 16) != 0) return nullptr;  // only the default sort order
  LANGID id = LANGIDFROMLCID(lcid);
  if (SUBLANGID(id) == SUBLANG_NEUTRAL) {
    for (const auto& e : kLocales)
      if (PRIMARYLANGID(e.id) == PRIMARYLANGID(id)) return &e;
    return nullptr;
  }
  if (SUBLANGID(id) == SUBLANG_SYS_DEFAULT && PRIMARYLANGID(id) == LANG_NEUTRAL) return UserDefault();
  if (SUBLANGID(id) == SUBLANG_DEFAULT && PRIMARYLANGID(id) == LANG_NEUTRAL) return UserDefault();
  return FindById(id);
}

thread_local std::u16string t_setlocaleResult;

bool Installed(const std::string& name) {
  locale_t l = ::newlocale(LC_ALL_MASK, name.c_str(), static_cast<locale_t>(nullptr));
  if (!l) return false;
  ::freelocale(l);
  return true;
}

std::string Lower(std::string s) {
  for (char& c : s) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return s;
}

// The glibc spellings of a charset in locale names, UTF-8 first.
std::vector<std::string> CharsetSpellings(const std::string& charset) {
  std::string l = Lower(charset);
  if (l == "utf-8" || l == "utf8") return {"UTF-8", "utf8"};
  if (l == "cp932" || l == "shift_jis" || l == "sjis") return {"SJIS", "SHIFT_JIS", "sjis"};
  if (l == "euc-jp") return {"eucJP", "EUC-JP", "eucjp"};
  if (l == "gbk") return {"GBK", "gbk"};
  if (l == "big5") return {"BIG5", "big5"};
  if (l == "cp949") return {"eucKR", "EUC-KR", "euckr"};
  if (l.rfind("iso-8859-", 0) == 0) {
    std::string n = l.substr(9);
    return {"ISO-8859-" + n, "iso8859" + n};
  }
  if (l == "cp1252") return {"CP1252", "ISO-8859-1", "iso88591"};
  if (l.rfind("cp", 0) == 0) return {"CP" + l.substr(2), "cp" + l.substr(2)};
  return {charset};
}

struct Request {
  const LocaleEntry* entry = nullptr;  // language (and country, when given)
  bool countryGiven = false;
  std::string charset;  // empty: prefer UTF-8
};

bool MatchName(std::string_view text, const char* name) {
  return std::strlen(name) == text.size() && strncasecmp(name, text.data(), text.size()) == 0;
}

// "Japanese", "Japanese_Japan", "English_United States.1252", "ja-JP", "ja_JP.UTF-8".
bool ParseWindowsName(const std::string& s, Request* req) {
  std::string body = s;
  std::string cp;
  if (std::size_t dot = body.find('.'); dot != std::string::npos) {
    cp = body.substr(dot + 1);
    body.resize(dot);
  }
  std::size_t sep = body.find_first_of("_-");
  std::string lang = body.substr(0, sep);
  std::string country = sep == std::string::npos ? std::string() : body.substr(sep + 1);
  if (lang.empty()) return false;
  for (const auto& e : kLocales) {
    bool langMatch = MatchName(lang, e.language) || MatchName(lang, e.iso639);
    if (!langMatch) continue;
    if (country.empty()) {
      req->entry = &e;
      break;
    }
    if (MatchName(country, e.country) || MatchName(country, e.iso3166)) {
      req->entry = &e;
      req->countryGiven = true;
      break;
    }
  }
  if (!req->entry) return false;
  if (!cp.empty()) {
    std::string l = Lower(cp);
    if (l == "acp" || l == "ocp") {
      req->charset = qel::kernel::CharsetForCodePage(req->entry->ansiCodePage ? req->entry->ansiCodePage : CP_UTF8);
    } else if (!l.empty() && std::isdigit(static_cast<unsigned char>(l[0]))) {
      req->charset = qel::kernel::CharsetForCodePage(static_cast<UINT>(std::strtoul(l.c_str(), nullptr, 10)));
      if (req->charset.empty()) return false;
    } else {
      req->charset = cp;
    }
  }
  return true;
}

std::vector<std::string> Candidates(const Request& req) {
  std::vector<std::string> names;
  std::vector<const LocaleEntry*> places;
  places.push_back(req.entry);
  if (!req.countryGiven)
    for (const auto& e : kLocales)
      if (&e != req.entry && std::strcmp(e.iso639, req.entry->iso639) == 0) places.push_back(&e);
  std::vector<std::string> charsets = req.charset.empty() ? CharsetSpellings("UTF-8") : CharsetSpellings(req.charset);
  for (const LocaleEntry* e : places) {
    std::string base = std::string(e->iso639) + "_" + e->iso3166;
    for (const auto& cs : charsets) names.push_back(base + "." + cs);
    if (req.charset.empty()) names.push_back(base);  // the locale's own legacy charset
  }
  // English falls back on the C library's own UTF-8 locale.
  if (std::strcmp(req.entry->iso639, "en") == 0 && (req.charset.empty() || qel::kernel::IsUtf8Charset(req.charset))) {
    names.push_back("C.UTF-8");
    names.push_back("C.utf8");
  }
  return names;
}

bool ValidCategory(int category) {
  switch (category) {
    case LC_ALL:
    case LC_COLLATE:
    case LC_CTYPE:
    case LC_MONETARY:
    case LC_NUMERIC:
    case LC_TIME:
    case LC_MESSAGES: return true;
    default: return false;
  }
}

WCHAR* Result(const char* name) {
  if (!name) return nullptr;
  t_setlocaleResult = qel::FromUtf8(name);
  return t_setlocaleResult.data();
}

}  // namespace

extern "C" int WINAPI GetLocaleInfoW(LCID Locale, LCTYPE LCType, LPWSTR lpLCData, int cchData) {
  QEL_FAULT_POINT("GetLocaleInfoW", c) {
    SetLastError(static_cast<DWORD>(c));
    return 0;
  }
  if (cchData < 0 || (!lpLCData && cchData != 0)) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return 0;
  }
  const LocaleEntry* e = Resolve(Locale);
  if (!e) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return 0;
  }
  bool number = (LCType & LOCALE_RETURN_NUMBER) != 0;
  LCTYPE type = LCType & ~(LOCALE_NOUSEROVERRIDE | LOCALE_RETURN_NUMBER);
  std::string text;
  switch (type) {
    case LOCALE_SENGLANGUAGE: text = e->language; break;
    case LOCALE_SENGCOUNTRY: text = e->country; break;
    case LOCALE_SNAME: text = e->name; break;
    case LOCALE_SISO639LANGNAME: text = e->iso639; break;
    case LOCALE_SISO3166CTRYNAME: text = e->iso3166; break;
    case LOCALE_IDEFAULTANSICODEPAGE:
      if (number) {
        // The number itself, in the two characters a DWORD takes.
        constexpr int kChars = sizeof(DWORD) / sizeof(WCHAR);
        if (cchData == 0) return kChars;
        if (cchData < kChars) {
          SetLastError(ERROR_INSUFFICIENT_BUFFER);
          return 0;
        }
        DWORD v = e->ansiCodePage;
        std::memcpy(lpLCData, &v, sizeof v);
        return kChars;
      }
      text = std::to_string(e->ansiCodePage);
      break;
    default: SetLastError(ERROR_INVALID_FLAGS); return 0;
  }
  if (number) {
    SetLastError(ERROR_INVALID_FLAGS);
    return 0;
  }
  qel::u16 wide = qel::FromUtf8(text);
  int needed = static_cast<int>(wide.size()) + 1;
  if (cchData == 0) return needed;
  if (cchData < needed) {
    SetLastError(ERROR_INSUFFICIENT_BUFFER);
    return 0;
  }
  std::memcpy(lpLCData, wide.data(), wide.size() * sizeof(WCHAR));
  lpLCData[wide.size()] = 0;
  return needed;
}

extern "C" LCID WINAPI GetUserDefaultLCID(void) { return UserDefault()->id; }
extern "C" LCID WINAPI GetSystemDefaultLCID(void) { return UserDefault()->id; }

extern "C" WCHAR* _wsetlocale(int category, const WCHAR* locale) {
  QEL_FAULT_POINT("_wsetlocale", c) {
    errno = static_cast<int>(c);
    return nullptr;
  }
  if (!ValidCategory(category)) {
    errno = EINVAL;
    return nullptr;
  }
  if (!locale) return Result(::setlocale(category, nullptr));
  std::string name = qel::ToUtf8(locale);
  if (name == "C" || name == "POSIX") return Result(::setlocale(category, name.c_str()));
  if (name.empty()) {
    // The user's default: the environment's locale when it is installed, else
    // the best installed locale for the user's language.
    if (const char* r = ::setlocale(category, "")) return Result(r);
    std::string lang, country;
    Request req;
    if (ParsePosixName(EnvLocaleName(), &lang, &country)) req.entry = FindByIso(lang, country);
    if (!req.entry) req.entry = UserDefault();
    req.countryGiven = false;
    for (const std::string& cand : Candidates(req))
      if (Installed(cand)) return Result(::setlocale(category, cand.c_str()));
    return nullptr;
  }
  Request req;
  if (ParseWindowsName(name, &req)) {
    for (const std::string& cand : Candidates(req))
      if (Installed(cand)) return Result(::setlocale(category, cand.c_str()));
    return nullptr;
  }
  // A glibc locale name given as it is.
  if (Installed(name)) return Result(::setlocale(category, name.c_str()));
  return nullptr;
}

extern "C" int _putws(const WCHAR* str) {
  QEL_FAULT_POINT("_putws", c) return -1;
  if (!str) {
    errno = EINVAL;
    return -1;
  }
  std::string bytes;
  bool used = false;
  if (!qel::kernel::EncodeText(qel::WView(str), qel::kernel::CurrentCodeset(), false, "?", &used, &bytes))
    bytes = qel::ToUtf8(str);
  bytes.push_back('\n');
  if (std::fwrite(bytes.data(), 1, bytes.size(), stdout) != bytes.size()) return -1;
  if (std::fflush(stdout) != 0) return -1;
  return 0;
}
