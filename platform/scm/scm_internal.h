// Internals of the service control manager shared by its parts, its tool and
// its tests. Nothing here is part of the Win32 surface.
//
// Where things live:
//   registry  HKLM\SYSTEM\CurrentControlSet\Services\<name>   the service database
//   StateDir()/scm/<stem>.status   the last status a service reported (atomic rename)
//   StateDir()/scm/<stem>.lock     start serialisation and status-write locks
//   StateDir()/scm/<stem>.sock     the running dispatcher's control socket
//   StateDir()/scm/<stem>.log      the standard error of the service process
#pragma once

#include <cstdint>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "qel/base.h"
#include "qel/wstr.h"
#include "winerror.h"
#include "winreg.h"
#include "winsvc.h"

#ifndef ERROR_INVALID_LEVEL
#define ERROR_INVALID_LEVEL 124L
#endif
#ifndef ERROR_SERVICE_NOT_IN_EXE
#define ERROR_SERVICE_NOT_IN_EXE 1083L
#endif
#ifndef ERROR_INVALID_COMMAND_LINE
#define ERROR_INVALID_COMMAND_LINE 1639L
#endif
#ifndef RPC_X_NULL_REF_POINTER
#define RPC_X_NULL_REF_POINTER 1780L
#endif
#ifndef RPC_S_SERVER_UNAVAILABLE
#define RPC_S_SERVER_UNAVAILABLE 1722L
#endif

namespace qel::scm {

inline constexpr std::u16string_view kServicesKey = u"SYSTEM\\CurrentControlSet\\Services";

// Environment of a process the manager started: the service name, a one-time
// token and the inherited descriptor of the start handshake.
inline constexpr const char* kEnvService = "QELUPNP_SCM_SERVICE";
inline constexpr const char* kEnvToken = "QELUPNP_SCM_TOKEN";
inline constexpr const char* kEnvFd = "QELUPNP_SCM_FD";
// Milliseconds the manager waits for a dispatcher to connect and for a handler
// to answer (Windows' ServicesPipeTimeout, 30000 by default).
inline constexpr const char* kEnvTimeout = "QELUPNP_SCM_TIMEOUT_MS";
// Fault plan handed to service processes as their QELUPNP_FAULTS (the caller's
// own plan is never passed on).
inline constexpr const char* kEnvServiceFaults = "QELUPNP_SCM_SERVICE_FAULTS";

// The descriptor number a service process finds its handshake socket on.
inline constexpr int kHandshakeFd = 3;

int TimeoutMs();

// ---- Handles -------------------------------------------------------------

// What an SC_HANDLE stands for: the manager, or one service opened with
// a set of access rights (generic rights already mapped).
struct ScObject {
  bool manager = false;
  DWORD access = 0;
  u16 name;  // the service name as the caller gave it
};
// The object of a live handle, or null (ERROR_INVALID_HANDLE).
std::shared_ptr<const ScObject> LookupHandle(SC_HANDLE h);
// The service object behind `h`, when it holds every right in `needed`;
// otherwise null with *error set (ERROR_INVALID_HANDLE or ERROR_ACCESS_DENIED).
std::shared_ptr<const ScObject> ServiceFromHandle(SC_HANDLE h, DWORD needed, DWORD* error);

// ---- Paths -------------------------------------------------------------

// File-name stem for a service: the case-folded name, with anything outside
// [A-Z0-9._-] percent-encoded; long names are hashed so socket paths fit.
std::string FileStem(u16view name);
std::filesystem::path ScmDir();
std::filesystem::path StatusPath(u16view name);
std::filesystem::path LockPath(u16view name);
std::filesystem::path SocketPath(u16view name);
std::filesystem::path LogPath(u16view name);
// Creates StateDir()/scm when missing; false when it cannot.
bool EnsureScmDir();

// ---- Store access --------------------------------------------------------

// True when the caller may write the store (the state directory and the
// registry database file).
bool StoreWritable();

// An open registry key, closed on destruction.
class Key {
 public:
  Key() = default;
  explicit Key(HKEY h) : m_h(h) {}
  ~Key() { Reset(); }
  Key(Key&& o) noexcept : m_h(o.m_h) { o.m_h = nullptr; }
  Key& operator=(Key&& o) noexcept {
    if (this != &o) {
      Reset();
      m_h = o.m_h;
      o.m_h = nullptr;
    }
    return *this;
  }
  Key(const Key&) = delete;
  Key& operator=(const Key&) = delete;
  HKEY get() const { return m_h; }
  explicit operator bool() const { return m_h != nullptr; }
  void Reset();

 private:
  HKEY m_h = nullptr;
};

[[nodiscard]] LSTATUS OpenServicesKey(REGSAM sam, Key* out);
[[nodiscard]] LSTATUS OpenServiceKey(u16view name, REGSAM sam, Key* out);

// A value read from the registry: present or not, and with which type.
struct RegValue {
  bool present = false;
  DWORD type = REG_NONE;
  std::vector<BYTE> data;
};
[[nodiscard]] LSTATUS ReadValue(HKEY key, const char16_t* name, RegValue* out);
std::optional<DWORD> AsDword(const RegValue& v);
// REG_SZ or REG_EXPAND_SZ text without its terminator.
std::optional<u16> AsString(const RegValue& v);
std::vector<u16> AsMultiString(const RegValue& v);
[[nodiscard]] LSTATUS WriteDword(HKEY key, const char16_t* name, DWORD value);
[[nodiscard]] LSTATUS WriteString(HKEY key, const char16_t* name, u16view value, DWORD type = REG_SZ);
[[nodiscard]] LSTATUS WriteMultiString(HKEY key, const char16_t* name, const std::vector<u16>& items);

// A service's record as the manager understands it. Missing values take the
// defaults Windows uses; a value of the wrong type makes the record defective
// (`defect` holds the code a start gives), but it can still be shown and deleted.
struct ServiceRecord {
  u16 name;
  DWORD type = 0;
  DWORD start = SERVICE_DEMAND_START;
  DWORD errorControl = SERVICE_ERROR_NORMAL;
  u16 imagePath;
  bool imagePathExpand = false;
  bool imagePathPresent = false;
  u16 displayName;
  u16 group;
  std::vector<u16> dependencies;
  u16 objectName;
  std::optional<u16> description;
  bool deleteFlag = false;
  DWORD defect = ERROR_SUCCESS;
  bool Builtin() const;
};
// ERROR_SERVICE_DOES_NOT_EXIST when there is no such key. kStatus reads only
// what a status query needs (type, image path, deletion mark).
enum class RecordPart { kFull, kStatus };
[[nodiscard]] LSTATUS ReadRecord(u16view name, ServiceRecord* out, RecordPart part = RecordPart::kFull);
// Names of every key under Services, as stored.
[[nodiscard]] LSTATUS ListServices(std::vector<u16>* out);

// Removes a service that is marked for deletion and no longer runs.
void FinishIfMarked(u16view name);

// ---- Status --------------------------------------------------------------

// What the status file holds: the last report and who made it.
struct StatusFile {
  SERVICE_STATUS status{};
  DWORD pid = 0;
  std::uint64_t startTime = 0;  // the process's start time, in clock ticks after boot
  std::string boot;             // the boot the process belongs to
  std::string token;            // the start it belongs to
};
std::optional<StatusFile> ReadStatusFile(u16view name);
// Writes atomically. With `requireToken`, writes only when the file on disk
// belongs to that start (a late report of an earlier instance never
// overwrites a newer one); false when skipped or failed.
bool WriteStatusFile(u16view name, const StatusFile& s, const std::string* requireToken);
void RemoveStatusFile(u16view name);

// The status as clients see it: a process that died without reporting
// SERVICE_STOPPED shows as stopped with ERROR_PROCESS_ABORTED; a service that
// never ran shows ERROR_SERVICE_NEVER_STARTED.
struct LiveStatus {
  SERVICE_STATUS_PROCESS status{};
  std::string token;
  bool aborted = false;  // the recorded process is gone without a final report
};
LiveStatus CurrentStatus(const ServiceRecord& rec);

std::string BootId();
// Start time of a live process (0 when it is gone or a zombie).
std::uint64_t ProcessStartTime(DWORD pid);

// ---- Locks ---------------------------------------------------------------

// An open-file-description lock on one byte of a service's lock file.
class ServiceLock {
 public:
  enum Slot : int { kStart = 0, kStatus = 1 };
  ServiceLock() = default;
  ~ServiceLock();
  ServiceLock(const ServiceLock&) = delete;
  ServiceLock& operator=(const ServiceLock&) = delete;
  // Waits up to `timeoutMs` (0: try once; -1: forever).
  bool Acquire(u16view name, Slot slot, int timeoutMs);
  void Release();

 private:
  int m_fd = -1;
};

// ---- Starting ------------------------------------------------------------

// A program and its arguments, as the manager found them in an ImagePath.
struct ParsedImage {
  std::string program;            // resolved path of the executable
  std::vector<std::string> args;  // argv[1..]
};
// Parses `commandLine` as Windows parses an unquoted or quoted service path
// and finds the program: a quoted path is taken as it stands; an unquoted one
// is tried at each blank from the left, then whole. Names without '/' are
// looked up in PATH; relative paths are taken from '/', the services' working
// directory. Gives ERROR_FILE_NOT_FOUND, ERROR_PATH_NOT_FOUND or
// ERROR_ACCESS_DENIED (no execute permission, or a directory).
[[nodiscard]] DWORD ParseImagePath(u16view commandLine, ParsedImage* out);
// %NAME% references replaced from the environment; unknown names stay.
u16 ExpandEnvironment(u16view s);
// Windows command-line splitting (CommandLineToArgvW rules).
std::vector<u16> SplitArguments(u16view s);

// ---- Wire formats ---------------------------------------------------------

inline constexpr std::uint32_t kHelloMagic = 0x51534831;    // dispatcher -> manager
inline constexpr std::uint32_t kAckMagic = 0x51534132;      // manager -> dispatcher
inline constexpr std::uint32_t kControlMagic = 0x51534333;  // client -> dispatcher
inline constexpr std::uint32_t kReplyMagic = 0x51535234;    // dispatcher -> client

struct Hello {
  std::uint32_t magic;
  std::uint32_t pid;
  char token[33];
};
struct ControlRequest {
  std::uint32_t magic;
  std::uint32_t control;
};
struct ControlReply {
  std::uint32_t magic;
  std::uint32_t error;
  SERVICE_STATUS status;
};

// send/recv of a whole buffer within a deadline (-1: no deadline); false on
// timeout, end of stream or error.
bool SendAll(int fd, const void* buf, std::size_t len, int timeoutMs);
bool RecvAll(int fd, void* buf, std::size_t len, int timeoutMs);

// ---- Texts ---------------------------------------------------------------

// The system message text of a Win32 error code, as FormatMessage gives it
// without inserts.
std::string_view ErrorText(DWORD code);

}  // namespace qel::scm
