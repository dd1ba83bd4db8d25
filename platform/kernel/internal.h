// Shared pieces of the kernel layer: the handle table, errno translation and
// the conversion of wide paths to the file system's bytes.
#pragma once

#include <memory>
#include <string>

#include "qel/kernel.h"
#include "qel/wstr.h"

namespace qel::kernel {

// An object behind a HANDLE. Each kind derives from it; the table owns it
// until CloseHandle (or the kind's own close function) removes it.
class Object {
 public:
  enum class Kind { File, EventSource };
  explicit Object(Kind kind) : m_kind(kind) {}
  virtual ~Object() = default;
  Object(const Object&) = delete;
  Object& operator=(const Object&) = delete;
  Kind kind() const { return m_kind; }

 private:
  Kind m_kind;
};

[[nodiscard]] HANDLE Insert(std::shared_ptr<Object> obj);
// Null when the handle is unknown or of another kind.
[[nodiscard]] std::shared_ptr<Object> Lookup(HANDLE h, Object::Kind kind);
// The object removed from the table (null when unknown or of another kind).
[[nodiscard]] std::shared_ptr<Object> Remove(HANDLE h, Object::Kind kind);

// The Win32 error for an errno value of a file operation.
DWORD ErrorFromErrno(int err);
// ENOENT is ERROR_FILE_NOT_FOUND when the parent directory exists, else ERROR_PATH_NOT_FOUND.
DWORD PathErrorFromErrno(int err, const std::string& path);

inline std::string PathBytes(const WCHAR* path) { return ToUtf8(path); }

}  // namespace qel::kernel

namespace qel::kernel {

// The character set of the current C locale as iconv names it; UTF-8 for the
// "C" locale's ASCII, since the platform's own text is UTF-8.
std::string CurrentCodeset();
// The iconv name of a Windows code page (CP_ACP, CP_OEMCP and CP_UTF8 included); empty when unknown.
std::string CharsetForCodePage(UINT codePage);
bool IsUtf8Charset(std::string_view charset);

// Bytes in `charset` to UTF-16. Invalid sequences fail when `strict`, else become U+FFFD.
[[nodiscard]] bool DecodeBytes(std::string_view bytes, const std::string& charset, bool strict, u16* out);
// UTF-16 to bytes in `charset`. What the charset cannot hold fails when
// `strict`, else becomes `replacement` and sets *usedDefault.
[[nodiscard]] bool EncodeText(u16view text, const std::string& charset, bool strict, std::string_view replacement,
                              bool* usedDefault, std::string* out);

}  // namespace qel::kernel
