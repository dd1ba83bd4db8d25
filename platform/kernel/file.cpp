// Files with Win32 share modes.
//
// Within the process every open is checked against the others exactly as
// Windows checks access against share modes. Across processes an advisory
// flock stands in for it: share mode 0 takes the lock exclusively, any
// sharing takes it shared, and a conflict is ERROR_SHARING_VIOLATION. That
// keeps an exclusive open (the diagnostic log's, say) whole against every
// other process of the platform.
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <filesystem>
#include <map>
#include <mutex>
#include <utility>

#include "internal.h"
#include "qel/fault.h"

namespace qel::kernel {
namespace {

using FileKey = std::pair<dev_t, ino_t>;

struct OpenRecord {
  bool read, write, del;
  DWORD share;
};

struct OpenTable {
  std::mutex lock;
  std::multimap<FileKey, const OpenRecord*> opens;
};

OpenTable& Opens() {
  static auto* t = new OpenTable;  // files may be closed during exit
  return *t;
}

class File : public Object {
 public:
  File(int fd, FileKey key, OpenRecord rec) : Object(Kind::File), m_fd(fd), m_key(key), m_rec(rec) {}
  ~File() override {
    {
      OpenTable& t = Opens();
      std::lock_guard<std::mutex> g(t.lock);
      auto range = t.opens.equal_range(m_key);
      for (auto it = range.first; it != range.second; ++it)
        if (it->second == &m_rec) {
          t.opens.erase(it);
          break;
        }
    }
    ::close(m_fd);
  }
  int fd() const { return m_fd; }
  const OpenRecord& record() const { return m_rec; }
  const FileKey& key() const { return m_key; }
  OpenRecord* mutableRecord() { return &m_rec; }

 private:
  int m_fd;
  FileKey m_key;
  OpenRecord m_rec;
};

// Windows' rule: each side's access must be allowed by the other side's share mode.
bool Compatible(const OpenRecord& a, const OpenRecord& b) {
  if (a.read && !(b.share & FILE_SHARE_READ)) return false;
  if (a.write && !(b.share & FILE_SHARE_WRITE)) return false;
  if (a.del && !(b.share & FILE_SHARE_DELETE)) return false;
  if (b.read && !(a.share & FILE_SHARE_READ)) return false;
  if (b.write && !(a.share & FILE_SHARE_WRITE)) return false;
  if (b.del && !(a.share & FILE_SHARE_DELETE)) return false;
  return true;
}

std::shared_ptr<File> GetFile(HANDLE h) {
  auto obj = Lookup(h, Object::Kind::File);
  if (!obj) SetLastError(ERROR_INVALID_HANDLE);
  return std::static_pointer_cast<File>(obj);
}

bool ExistsAsFile(const std::string& path, FileKey* key) {
  struct stat st;
  if (::stat(path.c_str(), &st) != 0) return false;
  *key = {st.st_dev, st.st_ino};
  return true;
}

// True when an open of this process refuses deletion (no FILE_SHARE_DELETE).
bool DeleteRefused(const FileKey& key) {
  OpenTable& t = Opens();
  std::lock_guard<std::mutex> g(t.lock);
  auto range = t.opens.equal_range(key);
  for (auto it = range.first; it != range.second; ++it)
    if (!(it->second->share & FILE_SHARE_DELETE)) return true;
  return false;
}

bool FailWith(DWORD err) {
  SetLastError(err);
  return false;
}

}  // namespace
}  // namespace qel::kernel

using namespace qel::kernel;

extern "C" HANDLE WINAPI CreateFileW(LPCWSTR lpFileName, DWORD dwDesiredAccess, DWORD dwShareMode,
                                     LPSECURITY_ATTRIBUTES lpSecurityAttributes, DWORD dwCreationDisposition,
                                     DWORD dwFlagsAndAttributes, HANDLE hTemplateFile) {
  QEL_FAULT_POINT("CreateFileW", c) {
    SetLastError(static_cast<DWORD>(c));
    return INVALID_HANDLE_VALUE;
  }
  if (!lpFileName || dwCreationDisposition < CREATE_NEW || dwCreationDisposition > TRUNCATE_EXISTING) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return INVALID_HANDLE_VALUE;
  }
  std::string path = PathBytes(lpFileName);
  if (path.empty()) {
    SetLastError(ERROR_PATH_NOT_FOUND);
    return INVALID_HANDLE_VALUE;
  }
  OpenRecord rec;
  rec.read = (dwDesiredAccess & (GENERIC_READ | GENERIC_ALL | FILE_READ_DATA)) != 0;
  rec.write = (dwDesiredAccess & (GENERIC_WRITE | GENERIC_ALL | FILE_WRITE_DATA | FILE_APPEND_DATA)) != 0;
  rec.del = (dwDesiredAccess & (DELETE | GENERIC_ALL)) != 0;
  rec.share = dwShareMode & (FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE);
  bool appendOnly = (dwDesiredAccess & FILE_APPEND_DATA) &&
                    !(dwDesiredAccess & (GENERIC_WRITE | GENERIC_ALL | FILE_WRITE_DATA));
  bool truncate = dwCreationDisposition == CREATE_ALWAYS || dwCreationDisposition == TRUNCATE_EXISTING;
  if (dwCreationDisposition == TRUNCATE_EXISTING && !rec.write) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return INVALID_HANDLE_VALUE;
  }

  // Only regular files are opened, and a symbolic link as the last part of
  // the path is never followed: a file the program writes (its diagnostic
  // log, say, often as root) cannot be turned by a planted link into a write
  // to a file of someone else's choosing, and a FIFO or device planted at the
  // path can never make the open (or a later write) wait. O_NONBLOCK keeps the
  // open itself from waiting for a FIFO's other end; on a regular file it
  // changes nothing.
  int flags = O_CLOEXEC | O_NOCTTY | O_NOFOLLOW | O_NONBLOCK;
  // Truncation needs a writable descriptor even when only reading was asked for.
  if (rec.write || truncate)
    flags |= rec.read ? O_RDWR : O_WRONLY;
  else
    flags |= O_RDONLY;
  if (appendOnly) flags |= O_APPEND;
  mode_t mode = (dwFlagsAndAttributes & FILE_ATTRIBUTE_READONLY) ? 0444 : 0666;

  int fd = -1;
  bool existed = false;
  bool created = false;
  for (int attempt = 0; attempt < 8 && fd < 0; ++attempt) {
    if (dwCreationDisposition == CREATE_NEW) {
      fd = ::open(path.c_str(), flags | O_CREAT | O_EXCL, mode);
      created = fd >= 0;
      break;
    }
    fd = ::open(path.c_str(), flags);
    if (fd >= 0) {
      existed = true;
      break;
    }
    if (errno != ENOENT || dwCreationDisposition == OPEN_EXISTING || dwCreationDisposition == TRUNCATE_EXISTING)
      break;
    fd = ::open(path.c_str(), flags | O_CREAT | O_EXCL, mode);
    if (fd >= 0) {
      created = true;
      break;
    }
    if (errno != EEXIST) break;  // created by someone else meanwhile: open it again
  }
  if (fd < 0) {
    int err = errno;
    // ELOOP: the name is a symbolic link; ENXIO: a FIFO with no reader.
    SetLastError(err == EEXIST                   ? ERROR_FILE_EXISTS
                 : err == ELOOP || err == ENXIO ? ERROR_ACCESS_DENIED
                                                : PathErrorFromErrno(err, path));
    return INVALID_HANDLE_VALUE;
  }
  auto fail = [&](DWORD err) {
    ::close(fd);
    if (created) ::unlink(path.c_str());
    SetLastError(err);
    return INVALID_HANDLE_VALUE;
  };
  struct stat st;
  if (::fstat(fd, &st) != 0) return fail(ErrorFromErrno(errno));
  if (!S_ISREG(st.st_mode)) return fail(ERROR_ACCESS_DENIED);
  FileKey key{st.st_dev, st.st_ino};

  auto file = std::make_shared<File>(fd, key, rec);
  bool conflict = false;
  {
    OpenTable& t = Opens();
    std::lock_guard<std::mutex> g(t.lock);
    auto range = t.opens.equal_range(key);
    for (auto it = range.first; it != range.second && !conflict; ++it) conflict = !Compatible(rec, *it->second);
    if (!conflict && ::flock(fd, (rec.share == 0 ? LOCK_EX : LOCK_SH) | LOCK_NB) != 0) conflict = true;
    if (!conflict) t.opens.emplace(key, &file->record());
  }
  if (conflict) {
    // Even a file this call created stays: the conflict means another opener
    // holds it now, and removing the name would send that opener's writes
    // into an unlinked file.
    file.reset();  // closes the descriptor (outside the table's lock, which its destructor takes)
    SetLastError(ERROR_SHARING_VIOLATION);
    return INVALID_HANDLE_VALUE;
  }
  // Truncate only once the share check has passed, so a refused open loses nothing.
  if (truncate && existed && ::ftruncate(fd, 0) != 0) {
    SetLastError(ErrorFromErrno(errno));
    return INVALID_HANDLE_VALUE;  // `file` closes the descriptor and leaves the table
  }
  HANDLE h = Insert(file);
  if (!h) {
    SetLastError(ERROR_TOO_MANY_OPEN_FILES);
    return INVALID_HANDLE_VALUE;
  }
  SetLastError(existed && (dwCreationDisposition == OPEN_ALWAYS || dwCreationDisposition == CREATE_ALWAYS)
                   ? ERROR_ALREADY_EXISTS
                   : ERROR_SUCCESS);
  return h;
}

namespace {

// Reads or writes the whole count unless the end of the file or an error
// comes first; `offset` < 0 uses and moves the file pointer.
bool Transfer(int fd, bool writing, char* buf, DWORD count, long long offset, DWORD* done) {
  DWORD total = 0;
  while (total < count) {
    ssize_t n;
    if (writing)
      n = offset < 0 ? ::write(fd, buf + total, count - total) : ::pwrite(fd, buf + total, count - total, offset + total);
    else
      n = offset < 0 ? ::read(fd, buf + total, count - total) : ::pread(fd, buf + total, count - total, offset + total);
    if (n < 0) {
      if (errno == EINTR) continue;
      *done = total;
      SetLastError(errno == EBADF ? ERROR_ACCESS_DENIED : ErrorFromErrno(errno));
      return false;
    }
    if (n == 0) break;
    total += static_cast<DWORD>(n);
  }
  *done = total;
  return true;
}

long long OverlappedOffset(LPOVERLAPPED ov) {
  if (!ov) return -1;
  return static_cast<long long>((static_cast<unsigned long long>(ov->OffsetHigh) << 32) | ov->Offset);
}

// The new position for a move, or -1 with the last error set.
long long Seek(int fd, long long distance, DWORD method) {
  long long from;
  if (method == FILE_BEGIN) {
    from = 0;
  } else if (method == FILE_CURRENT) {
    from = ::lseek(fd, 0, SEEK_CUR);
  } else if (method == FILE_END) {
    struct stat st;
    from = ::fstat(fd, &st) == 0 ? static_cast<long long>(st.st_size) : -1;
  } else {
    SetLastError(ERROR_INVALID_PARAMETER);
    return -1;
  }
  if (from < 0) {
    SetLastError(ErrorFromErrno(errno));
    return -1;
  }
  if ((distance < 0 && from + distance < 0)) {
    SetLastError(ERROR_NEGATIVE_SEEK);
    return -1;
  }
  long long target = from + distance;
  if (::lseek(fd, target, SEEK_SET) < 0) {
    SetLastError(ErrorFromErrno(errno));
    return -1;
  }
  return target;
}

}  // namespace

extern "C" BOOL WINAPI ReadFile(HANDLE hFile, LPVOID lpBuffer, DWORD nNumberOfBytesToRead,
                                LPDWORD lpNumberOfBytesRead, LPOVERLAPPED lpOverlapped) {
  QEL_FAULT_POINT("ReadFile", c) {
    SetLastError(static_cast<DWORD>(c));
    return FALSE;
  }
  if (lpNumberOfBytesRead) *lpNumberOfBytesRead = 0;
  auto f = GetFile(hFile);
  if (!f) return FALSE;
  if (!lpBuffer && nNumberOfBytesToRead) return FailWith(ERROR_INVALID_PARAMETER);
  if (!f->record().read) return FailWith(ERROR_ACCESS_DENIED);
  DWORD done = 0;
  bool ok = Transfer(f->fd(), false, static_cast<char*>(lpBuffer), nNumberOfBytesToRead, OverlappedOffset(lpOverlapped),
                     &done);
  if (lpNumberOfBytesRead) *lpNumberOfBytesRead = done;
  return ok ? TRUE : FALSE;
}

extern "C" BOOL WINAPI WriteFile(HANDLE hFile, LPCVOID lpBuffer, DWORD nNumberOfBytesToWrite,
                                 LPDWORD lpNumberOfBytesWritten, LPOVERLAPPED lpOverlapped) {
  QEL_FAULT_POINT("WriteFile", c) {
    SetLastError(static_cast<DWORD>(c));
    return FALSE;
  }
  if (lpNumberOfBytesWritten) *lpNumberOfBytesWritten = 0;
  auto f = GetFile(hFile);
  if (!f) return FALSE;
  if (!lpBuffer && nNumberOfBytesToWrite) return FailWith(ERROR_INVALID_PARAMETER);
  if (!f->record().write) return FailWith(ERROR_ACCESS_DENIED);
  DWORD done = 0;
  bool ok = Transfer(f->fd(), true, static_cast<char*>(const_cast<void*>(lpBuffer)), nNumberOfBytesToWrite,
                     OverlappedOffset(lpOverlapped), &done);
  if (lpNumberOfBytesWritten) *lpNumberOfBytesWritten = done;
  return ok ? TRUE : FALSE;
}

extern "C" DWORD WINAPI SetFilePointer(HANDLE hFile, LONG lDistanceToMove, PLONG lpDistanceToMoveHigh,
                                       DWORD dwMoveMethod) {
  QEL_FAULT_POINT("SetFilePointer", c) {
    SetLastError(static_cast<DWORD>(c));
    return INVALID_SET_FILE_POINTER;
  }
  auto f = GetFile(hFile);
  if (!f) return INVALID_SET_FILE_POINTER;
  long long distance = lpDistanceToMoveHigh
                           ? static_cast<long long>((static_cast<unsigned long long>(
                                                         static_cast<DWORD>(*lpDistanceToMoveHigh))
                                                     << 32) |
                                                    static_cast<DWORD>(lDistanceToMove))
                           : static_cast<long long>(lDistanceToMove);
  if (!lpDistanceToMoveHigh) {
    // Without the high part the new position must fit 32 bits; check before moving.
    long long cur = ::lseek(f->fd(), 0, SEEK_CUR);
    long long pos = Seek(f->fd(), distance, dwMoveMethod);
    if (pos < 0) return INVALID_SET_FILE_POINTER;
    if (pos > 0xFFFFFFFELL) {
      ::lseek(f->fd(), cur, SEEK_SET);
      SetLastError(ERROR_INVALID_PARAMETER);
      return INVALID_SET_FILE_POINTER;
    }
    SetLastError(ERROR_SUCCESS);
    return static_cast<DWORD>(pos);
  }
  long long pos = Seek(f->fd(), distance, dwMoveMethod);
  if (pos < 0) return INVALID_SET_FILE_POINTER;
  *lpDistanceToMoveHigh = static_cast<LONG>(static_cast<unsigned long long>(pos) >> 32);
  SetLastError(ERROR_SUCCESS);  // 0xFFFFFFFF can be a valid low part: callers check the last error
  return static_cast<DWORD>(pos);
}

extern "C" BOOL WINAPI SetFilePointerEx(HANDLE hFile, LARGE_INTEGER liDistanceToMove, PLARGE_INTEGER lpNewFilePointer,
                                        DWORD dwMoveMethod) {
  QEL_FAULT_POINT("SetFilePointerEx", c) {
    SetLastError(static_cast<DWORD>(c));
    return FALSE;
  }
  auto f = GetFile(hFile);
  if (!f) return FALSE;
  long long pos = Seek(f->fd(), liDistanceToMove.QuadPart, dwMoveMethod);
  if (pos < 0) return FALSE;
  if (lpNewFilePointer) lpNewFilePointer->QuadPart = pos;
  return TRUE;
}

extern "C" DWORD WINAPI GetFileSize(HANDLE hFile, LPDWORD lpFileSizeHigh) {
  QEL_FAULT_POINT("GetFileSize", c) {
    SetLastError(static_cast<DWORD>(c));
    return INVALID_FILE_SIZE;
  }
  auto f = GetFile(hFile);
  if (!f) return INVALID_FILE_SIZE;
  struct stat st;
  if (::fstat(f->fd(), &st) != 0) {
    SetLastError(ErrorFromErrno(errno));
    return INVALID_FILE_SIZE;
  }
  auto size = static_cast<unsigned long long>(st.st_size);
  if (lpFileSizeHigh) *lpFileSizeHigh = static_cast<DWORD>(size >> 32);
  SetLastError(ERROR_SUCCESS);
  return static_cast<DWORD>(size);
}

extern "C" BOOL WINAPI GetFileSizeEx(HANDLE hFile, PLARGE_INTEGER lpFileSize) {
  QEL_FAULT_POINT("GetFileSizeEx", c) {
    SetLastError(static_cast<DWORD>(c));
    return FALSE;
  }
  auto f = GetFile(hFile);
  if (!f) return FALSE;
  if (!lpFileSize) return FailWith(ERROR_INVALID_PARAMETER);
  struct stat st;
  if (::fstat(f->fd(), &st) != 0) return FailWith(ErrorFromErrno(errno));
  lpFileSize->QuadPart = static_cast<LONGLONG>(st.st_size);
  return TRUE;
}

extern "C" BOOL WINAPI SetEndOfFile(HANDLE hFile) {
  QEL_FAULT_POINT("SetEndOfFile", c) {
    SetLastError(static_cast<DWORD>(c));
    return FALSE;
  }
  auto f = GetFile(hFile);
  if (!f) return FALSE;
  if (!f->record().write) return FailWith(ERROR_ACCESS_DENIED);
  off_t pos = ::lseek(f->fd(), 0, SEEK_CUR);
  if (pos < 0 || ::ftruncate(f->fd(), pos) != 0) return FailWith(ErrorFromErrno(errno));
  return TRUE;
}

extern "C" BOOL WINAPI FlushFileBuffers(HANDLE hFile) {
  QEL_FAULT_POINT("FlushFileBuffers", c) {
    SetLastError(static_cast<DWORD>(c));
    return FALSE;
  }
  auto f = GetFile(hFile);
  if (!f) return FALSE;
  if (!f->record().write) return FailWith(ERROR_ACCESS_DENIED);
  if (::fsync(f->fd()) != 0) return FailWith(ErrorFromErrno(errno));
  return TRUE;
}

extern "C" BOOL WINAPI CloseHandle(HANDLE hObject) {
  QEL_FAULT_POINT("CloseHandle", c) {
    SetLastError(static_cast<DWORD>(c));
    return FALSE;
  }
  // The pseudo handles of the current process and thread close as a no-op.
  if (hObject == GetCurrentProcess() || hObject == GetCurrentThread()) return TRUE;
  if (!Remove(hObject, Object::Kind::File)) return FailWith(ERROR_INVALID_HANDLE);
  return TRUE;
}

extern "C" BOOL WINAPI DeleteFileW(LPCWSTR lpFileName) {
  QEL_FAULT_POINT("DeleteFileW", c) {
    SetLastError(static_cast<DWORD>(c));
    return FALSE;
  }
  if (!lpFileName) return FailWith(ERROR_INVALID_PARAMETER);
  std::string path = PathBytes(lpFileName);
  if (path.empty()) return FailWith(ERROR_PATH_NOT_FOUND);
  struct stat st;
  if (::lstat(path.c_str(), &st) != 0) return FailWith(PathErrorFromErrno(errno, path));
  if (S_ISDIR(st.st_mode)) return FailWith(ERROR_ACCESS_DENIED);
  if (DeleteRefused({st.st_dev, st.st_ino})) return FailWith(ERROR_SHARING_VIOLATION);
  if (::unlink(path.c_str()) != 0) return FailWith(PathErrorFromErrno(errno, path));
  return TRUE;
}

extern "C" BOOL WINAPI MoveFileExW(LPCWSTR lpExistingFileName, LPCWSTR lpNewFileName, DWORD dwFlags) {
  QEL_FAULT_POINT("MoveFileExW", c) {
    SetLastError(static_cast<DWORD>(c));
    return FALSE;
  }
  if (!lpExistingFileName || !lpNewFileName) return FailWith(ERROR_INVALID_PARAMETER);
  std::string from = PathBytes(lpExistingFileName);
  std::string to = PathBytes(lpNewFileName);
  if (from.empty() || to.empty()) return FailWith(ERROR_PATH_NOT_FOUND);
  struct stat st;
  if (::lstat(from.c_str(), &st) != 0) return FailWith(PathErrorFromErrno(errno, from));
  if (!S_ISDIR(st.st_mode) && DeleteRefused({st.st_dev, st.st_ino})) return FailWith(ERROR_SHARING_VIOLATION);
  FileKey target;
  if (ExistsAsFile(to, &target)) {
    if (!(dwFlags & MOVEFILE_REPLACE_EXISTING)) return FailWith(ERROR_ALREADY_EXISTS);
    struct stat tst;
    if (::stat(to.c_str(), &tst) == 0 && S_ISDIR(tst.st_mode)) return FailWith(ERROR_ACCESS_DENIED);
    if (DeleteRefused(target)) return FailWith(ERROR_SHARING_VIOLATION);
  }
  unsigned renameFlags = (dwFlags & MOVEFILE_REPLACE_EXISTING) ? 0 : RENAME_NOREPLACE;
  if (::renameat2(AT_FDCWD, from.c_str(), AT_FDCWD, to.c_str(), renameFlags) != 0) {
    int err = errno;
    if (err == EEXIST) return FailWith(ERROR_ALREADY_EXISTS);
    if (err != EXDEV) return FailWith(PathErrorFromErrno(err, err == ENOENT ? to : from));
    if (!(dwFlags & MOVEFILE_COPY_ALLOWED) || S_ISDIR(st.st_mode)) return FailWith(17);  // ERROR_NOT_SAME_DEVICE
    std::error_code ec;
    auto opts = (dwFlags & MOVEFILE_REPLACE_EXISTING) ? std::filesystem::copy_options::overwrite_existing
                                                      : std::filesystem::copy_options::none;
    if (!std::filesystem::copy_file(from, to, opts, ec)) return FailWith(ErrorFromErrno(ec.value()));
    if (::unlink(from.c_str()) != 0) return FailWith(ErrorFromErrno(errno));
  }
  if (dwFlags & MOVEFILE_WRITE_THROUGH) {
    std::string dir = std::filesystem::path(to).parent_path().string();
    int dfd = ::open(dir.empty() ? "." : dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dfd >= 0) {
      ::fsync(dfd);
      ::close(dfd);
    }
  }
  return TRUE;
}

extern "C" BOOL WINAPI CreateDirectoryW(LPCWSTR lpPathName, LPSECURITY_ATTRIBUTES lpSecurityAttributes) {
  QEL_FAULT_POINT("CreateDirectoryW", c) {
    SetLastError(static_cast<DWORD>(c));
    return FALSE;
  }
  if (!lpPathName) return FailWith(ERROR_INVALID_PARAMETER);
  std::string path = PathBytes(lpPathName);
  if (path.empty()) return FailWith(ERROR_PATH_NOT_FOUND);
  if (::mkdir(path.c_str(), 0777) != 0) {
    int err = errno;
    if (err == EEXIST) return FailWith(ERROR_ALREADY_EXISTS);
    return FailWith(err == ENOENT ? ERROR_PATH_NOT_FOUND : ErrorFromErrno(err));
  }
  return TRUE;
}

extern "C" BOOL WINAPI RemoveDirectoryW(LPCWSTR lpPathName) {
  QEL_FAULT_POINT("RemoveDirectoryW", c) {
    SetLastError(static_cast<DWORD>(c));
    return FALSE;
  }
  if (!lpPathName) return FailWith(ERROR_INVALID_PARAMETER);
  std::string path = PathBytes(lpPathName);
  if (path.empty()) return FailWith(ERROR_PATH_NOT_FOUND);
  if (::rmdir(path.c_str()) != 0) {
    int err = errno;
    return FailWith(err == ENOTDIR ? ERROR_DIRECTORY : PathErrorFromErrno(err, path));
  }
  return TRUE;
}

extern "C" DWORD WINAPI GetFileAttributesW(LPCWSTR lpFileName) {
  QEL_FAULT_POINT("GetFileAttributesW", c) {
    SetLastError(static_cast<DWORD>(c));
    return INVALID_FILE_ATTRIBUTES;
  }
  if (!lpFileName) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return INVALID_FILE_ATTRIBUTES;
  }
  std::string path = PathBytes(lpFileName);
  struct stat st;
  if (path.empty() || ::stat(path.c_str(), &st) != 0) {
    SetLastError(path.empty() ? ERROR_PATH_NOT_FOUND : PathErrorFromErrno(errno, path));
    return INVALID_FILE_ATTRIBUTES;
  }
  if (S_ISDIR(st.st_mode)) return FILE_ATTRIBUTE_DIRECTORY;
  // A file nobody may write reads as read-only, whatever privileges the caller has.
  return (st.st_mode & 0222) == 0 ? FILE_ATTRIBUTE_READONLY : FILE_ATTRIBUTE_NORMAL;
}
