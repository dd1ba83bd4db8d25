// Last error, the handle table and errno translation.
#include <cerrno>
#include <filesystem>
#include <mutex>
#include <system_error>
#include <vector>

#include "internal.h"

namespace {
thread_local DWORD t_lastError = 0;
}

extern "C" DWORD WINAPI GetLastError(void) { return t_lastError; }
extern "C" void WINAPI SetLastError(DWORD dwErrCode) { t_lastError = dwErrCode; }

namespace qel::kernel {
namespace {

// Handles are multiples of four from a base well away from 0 and from the
// pseudo handles (-1, -2); each slot carries a generation so that a stale
// handle never reaches the object that reuses its slot.
constexpr std::uintptr_t kBase = 0x10000;
constexpr unsigned kSlotBits = 16;

struct Slot {
  std::shared_ptr<Object> obj;
  std::uint32_t generation = 0;
};

struct Table {
  std::mutex lock;
  std::vector<Slot> slots;
  std::vector<std::size_t> free;
};

Table& T() {
  static Table* t = new Table;  // handles may be closed during exit
  return *t;
}

bool Decode(HANDLE h, std::size_t* index, std::uint32_t* gen) {
  auto v = reinterpret_cast<std::uintptr_t>(h);
  if (v < kBase || (v & 3) != 0) return false;
  v = (v - kBase) >> 2;
  *index = v & ((1u << kSlotBits) - 1);
  *gen = static_cast<std::uint32_t>(v >> kSlotBits);
  return true;
}

}  // namespace

HANDLE Insert(std::shared_ptr<Object> obj) {
  Table& t = T();
  std::lock_guard<std::mutex> g(t.lock);
  std::size_t index;
  if (!t.free.empty()) {
    index = t.free.back();
    t.free.pop_back();
  } else {
    if (t.slots.size() >= (1u << kSlotBits)) return nullptr;
    index = t.slots.size();
    t.slots.emplace_back();
  }
  Slot& s = t.slots[index];
  s.obj = std::move(obj);
  s.generation = (s.generation + 1) & 0xFFFF;
  if (s.generation == 0) s.generation = 1;
  std::uintptr_t v = kBase + ((static_cast<std::uintptr_t>(s.generation) << kSlotBits | index) << 2);
  return reinterpret_cast<HANDLE>(v);
}

std::shared_ptr<Object> Lookup(HANDLE h, Object::Kind kind) {
  std::size_t index;
  std::uint32_t gen;
  if (!Decode(h, &index, &gen)) return nullptr;
  Table& t = T();
  std::lock_guard<std::mutex> g(t.lock);
  if (index >= t.slots.size()) return nullptr;
  Slot& s = t.slots[index];
  if (!s.obj || s.generation != gen || s.obj->kind() != kind) return nullptr;
  return s.obj;
}

std::shared_ptr<Object> Remove(HANDLE h, Object::Kind kind) {
  std::size_t index;
  std::uint32_t gen;
  if (!Decode(h, &index, &gen)) return nullptr;
  Table& t = T();
  std::lock_guard<std::mutex> g(t.lock);
  if (index >= t.slots.size()) return nullptr;
  Slot& s = t.slots[index];
  if (!s.obj || s.generation != gen || s.obj->kind() != kind) return nullptr;
  std::shared_ptr<Object> obj = std::move(s.obj);
  s.obj.reset();
  t.free.push_back(index);
  return obj;
}

DWORD ErrorFromErrno(int err) {
  switch (err) {
    case 0: return ERROR_SUCCESS;
    case ENOENT: return ERROR_FILE_NOT_FOUND;
    case ENOTDIR: return ERROR_PATH_NOT_FOUND;
    case EACCES:
    case EPERM:
    case EROFS:
    case EISDIR: return ERROR_ACCESS_DENIED;
    case EEXIST: return ERROR_FILE_EXISTS;
    case ENOTEMPTY: return ERROR_DIR_NOT_EMPTY;
    case EBADF: return ERROR_INVALID_HANDLE;
    case EMFILE:
    case ENFILE: return ERROR_TOO_MANY_OPEN_FILES;
    case ENOSPC:
    case EDQUOT: return ERROR_DISK_FULL;
    case ENAMETOOLONG: return ERROR_FILENAME_EXCED_RANGE;
    case ENOMEM: return ERROR_NOT_ENOUGH_MEMORY;
    case EINVAL: return ERROR_INVALID_PARAMETER;
    case EBUSY: return ERROR_BUSY;
    case EWOULDBLOCK: return ERROR_SHARING_VIOLATION;
    case EIO: return ERROR_GEN_FAILURE;
    case ELOOP: return 1921;  // ERROR_CANT_RESOLVE_FILENAME
    default: return ERROR_GEN_FAILURE;
  }
}

DWORD PathErrorFromErrno(int err, const std::string& path) {
  if (err != ENOENT) return ErrorFromErrno(err);
  std::filesystem::path parent = std::filesystem::path(path).parent_path();
  if (parent.empty()) return ERROR_FILE_NOT_FOUND;
  std::error_code ec;
  return std::filesystem::is_directory(parent, ec) ? ERROR_FILE_NOT_FOUND : ERROR_PATH_NOT_FOUND;
}

}  // namespace qel::kernel
