// lstr* helpers, CharNext and the C runtime's path splitting.
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>

#include <glib.h>

#include "internal.h"
#include "qel/fault.h"

extern "C" int WINAPI lstrlenW(LPCWSTR lpString) {
  QEL_FAULT_POINT("lstrlenW", c) return 0;
  std::size_t n = qel::WLen(lpString);
  return n > INT_MAX ? INT_MAX : static_cast<int>(n);
}

extern "C" int WINAPI lstrlenA(LPCSTR lpString) {
  QEL_FAULT_POINT("lstrlenA", c) return 0;
  if (!lpString) return 0;
  std::size_t n = std::strlen(lpString);
  return n > INT_MAX ? INT_MAX : static_cast<int>(n);
}

extern "C" int WINAPI lstrcmpW(LPCWSTR lpString1, LPCWSTR lpString2) {
  QEL_FAULT_POINT("lstrcmpW", c) return static_cast<int>(c);
  if (!lpString1 || !lpString2) return lpString1 ? 1 : (lpString2 ? -1 : 0);
  int r = qel::WView(lpString1).compare(qel::WView(lpString2));
  return r < 0 ? -1 : (r > 0 ? 1 : 0);
}

extern "C" int WINAPI lstrcmpiW(LPCWSTR lpString1, LPCWSTR lpString2) {
  QEL_FAULT_POINT("lstrcmpiW", c) return static_cast<int>(c);
  if (!lpString1 || !lpString2) return lpString1 ? 1 : (lpString2 ? -1 : 0);
  int r = qel::CompareNoCase(qel::WView(lpString1), qel::WView(lpString2));
  return r < 0 ? -1 : (r > 0 ? 1 : 0);
}

extern "C" LPWSTR WINAPI lstrcpyW(LPWSTR lpString1, LPCWSTR lpString2) {
  QEL_FAULT_POINT("lstrcpyW", c) return nullptr;
  if (!lpString1 || !lpString2) return nullptr;
  std::size_t n = qel::WLen(lpString2);
  std::memmove(lpString1, lpString2, (n + 1) * sizeof(WCHAR));
  return lpString1;
}

extern "C" LPWSTR WINAPI lstrcpynW(LPWSTR lpString1, LPCWSTR lpString2, int iMaxLength) {
  QEL_FAULT_POINT("lstrcpynW", c) return nullptr;
  if (!lpString1 || !lpString2) return nullptr;
  if (iMaxLength <= 0) return lpString1;
  std::size_t max = static_cast<std::size_t>(iMaxLength) - 1;
  std::size_t n = 0;
  while (n < max && lpString2[n]) ++n;
  std::memmove(lpString1, lpString2, n * sizeof(WCHAR));
  lpString1[n] = 0;
  return lpString1;
}

extern "C" LPWSTR WINAPI lstrcatW(LPWSTR lpString1, LPCWSTR lpString2) {
  QEL_FAULT_POINT("lstrcatW", c) return nullptr;
  if (!lpString1 || !lpString2) return nullptr;
  std::size_t at = qel::WLen(lpString1);
  std::size_t n = qel::WLen(lpString2);
  std::memmove(lpString1 + at, lpString2, (n + 1) * sizeof(WCHAR));
  return lpString1;
}

namespace {

// A combining mark that Windows' CharNextW keeps with the character before
// it: a non-spacing or enclosing mark of the Basic Multilingual Plane
// (surrogates are stepped one unit at a time, as on Windows).
bool IsNonSpacingMark(char16_t c) {
  if (c >= 0xD800 && c <= 0xDFFF) return false;
  GUnicodeType t = g_unichar_type(c);
  return t == G_UNICODE_NON_SPACING_MARK || t == G_UNICODE_ENCLOSING_MARK;
}

}  // namespace

extern "C" LPWSTR WINAPI CharNextW(LPCWSTR lpsz) {
  if (!lpsz) return nullptr;
  if (!*lpsz) return const_cast<LPWSTR>(lpsz);
  ++lpsz;
  while (*lpsz && IsNonSpacingMark(*lpsz)) ++lpsz;
  return const_cast<LPWSTR>(lpsz);
}

extern "C" LPSTR WINAPI CharNextA(LPCSTR lpsz) {
  if (!lpsz) return nullptr;
  if (!*lpsz) return const_cast<LPSTR>(lpsz);
  // A whole character of the current code page, one byte when it is not valid.
  int n = std::mblen(lpsz, MB_CUR_MAX);
  std::mblen(nullptr, 0);
  return const_cast<LPSTR>(lpsz + (n > 0 ? n : 1));
}

namespace {

bool IsSeparator(WCHAR c) { return c == u'/' || c == u'\\'; }

struct PathParts {
  qel::u16view dir, fname, ext;
};

PathParts Split(qel::u16view path) {
  PathParts p;
  std::size_t lastSep = qel::u16view::npos;
  for (std::size_t i = 0; i < path.size(); ++i)
    if (IsSeparator(path[i])) lastSep = i;
  std::size_t nameStart = lastSep == qel::u16view::npos ? 0 : lastSep + 1;
  p.dir = path.substr(0, nameStart);
  qel::u16view rest = path.substr(nameStart);
  std::size_t dot = rest.rfind(u'.');
  if (dot == qel::u16view::npos) {
    p.fname = rest;
  } else {
    p.fname = rest.substr(0, dot);
    p.ext = rest.substr(dot);
  }
  return p;
}

// A (buffer, size) pair is valid when both are given or both are absent.
bool ValidPair(const WCHAR* buf, std::size_t size) { return (buf == nullptr) == (size == 0); }

void Clear(WCHAR* buf, std::size_t size) {
  if (buf && size) buf[0] = 0;
}

// Copies `part` cut to size - 1 characters.
void CopyCut(WCHAR* buf, std::size_t size, qel::u16view part) {
  if (!buf || !size) return;
  std::size_t n = part.size() < size - 1 ? part.size() : size - 1;
  if (n) std::memcpy(buf, part.data(), n * sizeof(WCHAR));
  buf[n] = 0;
}

}  // namespace

extern "C" errno_t _wsplitpath_s(const WCHAR* path, WCHAR* drive, size_t driveNumberOfElements, WCHAR* dir,
                                 size_t dirNumberOfElements, WCHAR* fname, size_t nameNumberOfElements, WCHAR* ext,
                                 size_t extNumberOfElements) {
  QEL_FAULT_POINT("_wsplitpath_s", c) return static_cast<errno_t>(c);
  if (!path || !ValidPair(drive, driveNumberOfElements) || !ValidPair(dir, dirNumberOfElements) ||
      !ValidPair(fname, nameNumberOfElements) || !ValidPair(ext, extNumberOfElements)) {
    Clear(drive, driveNumberOfElements);
    Clear(dir, dirNumberOfElements);
    Clear(fname, nameNumberOfElements);
    Clear(ext, extNumberOfElements);
    errno = EINVAL;
    return EINVAL;
  }
  PathParts p = Split(qel::WView(path));
  // Every requested part must fit with its terminator, or no part is given.
  if ((dir && p.dir.size() >= dirNumberOfElements) || (fname && p.fname.size() >= nameNumberOfElements) ||
      (ext && p.ext.size() >= extNumberOfElements)) {
    Clear(drive, driveNumberOfElements);
    Clear(dir, dirNumberOfElements);
    Clear(fname, nameNumberOfElements);
    Clear(ext, extNumberOfElements);
    errno = ERANGE;
    return ERANGE;
  }
  Clear(drive, driveNumberOfElements);
  CopyCut(dir, dirNumberOfElements, p.dir);
  CopyCut(fname, nameNumberOfElements, p.fname);
  CopyCut(ext, extNumberOfElements, p.ext);
  return 0;
}

extern "C" void _wsplitpath(const WCHAR* path, WCHAR* drive, WCHAR* dir, WCHAR* fname, WCHAR* ext) {
  QEL_FAULT_POINT("_wsplitpath", c) {
    Clear(drive, _MAX_DRIVE);
    Clear(dir, _MAX_DIR);
    Clear(fname, _MAX_FNAME);
    Clear(ext, _MAX_EXT);
    return;
  }
  PathParts p = Split(qel::WView(path));
  Clear(drive, _MAX_DRIVE);
  CopyCut(dir, dir ? _MAX_DIR : 0, p.dir);
  CopyCut(fname, fname ? _MAX_FNAME : 0, p.fname);
  CopyCut(ext, ext ? _MAX_EXT : 0, p.ext);
}

extern "C" errno_t _wmakepath_s(WCHAR* path, size_t sizeInWords, const WCHAR* drive, const WCHAR* dir,
                                const WCHAR* fname, const WCHAR* ext) {
  QEL_FAULT_POINT("_wmakepath_s", c) return static_cast<errno_t>(c);
  if (!path || sizeInWords == 0) {
    errno = EINVAL;
    return EINVAL;
  }
  qel::u16 out;
  if (drive && *drive) {
    out.push_back(drive[0]);
    out.push_back(u':');
  }
  if (dir && *dir) {
    out += qel::WView(dir);
    if (!IsSeparator(out.back())) out.push_back(u'/');
  }
  if (fname) out += qel::WView(fname);
  if (ext && *ext) {
    if (ext[0] != u'.') out.push_back(u'.');
    out += qel::WView(ext);
  }
  if (out.size() >= sizeInWords) {
    path[0] = 0;
    errno = ERANGE;
    return ERANGE;
  }
  std::memcpy(path, out.data(), out.size() * sizeof(WCHAR));
  path[out.size()] = 0;
  return 0;
}

extern "C" LPWSTR WINAPI PathFindFileNameW(LPCWSTR pszPath) {
  if (!pszPath) return nullptr;
  // After the last separator that something other than another separator follows,
  // so "dir/sub/" gives "sub/" as on Windows.
  LPCWSTR result = pszPath;
  for (LPCWSTR p = pszPath; *p; ++p)
    if (IsSeparator(*p) && p[1] && !IsSeparator(p[1])) result = p + 1;
  return const_cast<LPWSTR>(result);
}
