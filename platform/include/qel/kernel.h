// Kernel services: last error, strings and code pages, the wide formatter,
// module paths and the command line, time, files with share modes, debugger
// output, the event log, process priority and locale information.
//
// The functions carry Win32's names, signatures, error codes and edge
// behaviour; the qel namespace at the end holds the few additions the
// platform itself needs (process entry support, test sinks).
#pragma once

#include <clocale>
#include <cstdarg>
#include <cstddef>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "qel/base.h"
#include "winerror.h"

typedef char* LPCH;
typedef const char* LPCCH;
typedef WCHAR* LPWCH;
typedef const WCHAR* LPCWCH;
typedef void* PSID;
typedef int errno_t;

typedef union _LARGE_INTEGER {
  struct {
    DWORD LowPart;
    LONG HighPart;
  };
  struct {
    DWORD LowPart;
    LONG HighPart;
  } u;
  LONGLONG QuadPart;
} LARGE_INTEGER, *PLARGE_INTEGER;

typedef struct _OVERLAPPED {
  ULONG_PTR Internal;
  ULONG_PTR InternalHigh;
  union {
    struct {
      DWORD Offset;
      DWORD OffsetHigh;
    };
    PVOID Pointer;
  };
  HANDLE hEvent;
} OVERLAPPED, *LPOVERLAPPED;

// ---- Access rights, share modes, dispositions, attributes ----------------
#ifndef GENERIC_READ
#define GENERIC_READ 0x80000000L
#define GENERIC_WRITE 0x40000000L
#define GENERIC_EXECUTE 0x20000000L
#define GENERIC_ALL 0x10000000L
#endif

#define FILE_READ_DATA 0x0001
#define FILE_WRITE_DATA 0x0002
#define FILE_APPEND_DATA 0x0004
#ifndef DELETE
#define DELETE 0x00010000L
#endif

#define FILE_SHARE_READ 0x00000001
#define FILE_SHARE_WRITE 0x00000002
#define FILE_SHARE_DELETE 0x00000004

#define CREATE_NEW 1
#define CREATE_ALWAYS 2
#define OPEN_EXISTING 3
#define OPEN_ALWAYS 4
#define TRUNCATE_EXISTING 5

#define FILE_ATTRIBUTE_READONLY 0x00000001
#define FILE_ATTRIBUTE_HIDDEN 0x00000002
#define FILE_ATTRIBUTE_SYSTEM 0x00000004
#define FILE_ATTRIBUTE_DIRECTORY 0x00000010
#define FILE_ATTRIBUTE_ARCHIVE 0x00000020
#define FILE_ATTRIBUTE_NORMAL 0x00000080
#define FILE_ATTRIBUTE_TEMPORARY 0x00000100
#define INVALID_FILE_ATTRIBUTES ((DWORD)-1)
#define FILE_FLAG_WRITE_THROUGH 0x80000000UL

#define FILE_BEGIN 0
#define FILE_CURRENT 1
#define FILE_END 2
#define INVALID_SET_FILE_POINTER ((DWORD)-1)
#define INVALID_FILE_SIZE ((DWORD)0xFFFFFFFF)

#define MOVEFILE_REPLACE_EXISTING 0x00000001
#define MOVEFILE_COPY_ALLOWED 0x00000002
#define MOVEFILE_WRITE_THROUGH 0x00000008

#define GET_MODULE_HANDLE_EX_FLAG_PIN 0x00000001
#define GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT 0x00000002
#define GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS 0x00000004

// ---- Code pages ----------------------------------------------------------
#define CP_ACP 0
#define CP_OEMCP 1
#define CP_THREAD_ACP 3
#define CP_UTF8 65001
#define MB_PRECOMPOSED 0x00000001
#define MB_ERR_INVALID_CHARS 0x00000008
#define WC_NO_BEST_FIT_CHARS 0x00000400
#define WC_ERR_INVALID_CHARS 0x00000080

// ---- Process priority classes ---------------------------------------------
#define IDLE_PRIORITY_CLASS 0x00000040
#define BELOW_NORMAL_PRIORITY_CLASS 0x00004000
#define NORMAL_PRIORITY_CLASS 0x00000020
#define ABOVE_NORMAL_PRIORITY_CLASS 0x00008000
#define HIGH_PRIORITY_CLASS 0x00000080
#define REALTIME_PRIORITY_CLASS 0x00000100

// ---- Event log -----------------------------------------------------------
#define EVENTLOG_SUCCESS 0x0000
#define EVENTLOG_ERROR_TYPE 0x0001
#define EVENTLOG_WARNING_TYPE 0x0002
#define EVENTLOG_INFORMATION_TYPE 0x0004
#define EVENTLOG_AUDIT_SUCCESS 0x0008
#define EVENTLOG_AUDIT_FAILURE 0x0010

// ---- Locale information types ----------------------------------------------
#define LOCALE_NOUSEROVERRIDE 0x80000000UL
#define LOCALE_RETURN_NUMBER 0x20000000UL
#define LOCALE_SENGLANGUAGE 0x00001001
#define LOCALE_SENGLISHLANGUAGENAME 0x00001001
#define LOCALE_SENGCOUNTRY 0x00001002
#define LOCALE_SENGLISHCOUNTRYNAME 0x00001002
#define LOCALE_IDEFAULTANSICODEPAGE 0x00001004
#define LOCALE_SISO639LANGNAME 0x00000059
#define LOCALE_SISO3166CTRYNAME 0x0000005A
#define LOCALE_SNAME 0x0000005c

#ifndef ERROR_NEGATIVE_SEEK
#define ERROR_NEGATIVE_SEEK 131L
#endif
#ifndef ERROR_ENVVAR_NOT_FOUND
#define ERROR_ENVVAR_NOT_FOUND 203L
#endif
#ifndef ERROR_DIRECTORY
#define ERROR_DIRECTORY 267L
#endif

// ---- C runtime path and formatter limits -----------------------------------
#define _MAX_PATH 260
#define _MAX_DRIVE 3
#define _MAX_DIR 256
#define _MAX_FNAME 256
#define _MAX_EXT 256
#define _TRUNCATE ((size_t)-1)
#define INFINITE 0xFFFFFFFF

extern "C" {

// ---- Last error (per thread) ------------------------------------------------
DWORD WINAPI GetLastError(void);
void WINAPI SetLastError(DWORD dwErrCode);

// ---- Strings -------------------------------------------------------------------
int WINAPI lstrlenW(LPCWSTR lpString);
int WINAPI lstrlenA(LPCSTR lpString);
int WINAPI lstrcmpW(LPCWSTR lpString1, LPCWSTR lpString2);
int WINAPI lstrcmpiW(LPCWSTR lpString1, LPCWSTR lpString2);
LPWSTR WINAPI lstrcpyW(LPWSTR lpString1, LPCWSTR lpString2);
// Copies at most iMaxLength - 1 characters and always terminates (iMaxLength > 0).
LPWSTR WINAPI lstrcpynW(LPWSTR lpString1, LPCWSTR lpString2, int iMaxLength);
LPWSTR WINAPI lstrcatW(LPWSTR lpString1, LPCWSTR lpString2);
// The next code unit; stays on the terminator.
LPWSTR WINAPI CharNextW(LPCWSTR lpsz);
LPSTR WINAPI CharNextA(LPCSTR lpsz);

// CP_ACP/CP_OEMCP are the codeset of the current C locale (UTF-8 under "C");
// CP_UTF8; other code pages (932, 1252, ...) through iconv.
int WINAPI MultiByteToWideChar(UINT CodePage, DWORD dwFlags, LPCCH lpMultiByteStr, int cbMultiByte,
                               LPWSTR lpWideCharStr, int cchWideChar);
int WINAPI WideCharToMultiByte(UINT CodePage, DWORD dwFlags, LPCWCH lpWideCharStr, int cchWideChar,
                               LPSTR lpMultiByteStr, int cbMultiByte, LPCCH lpDefaultChar, LPBOOL lpUsedDefaultChar);
UINT WINAPI GetACP(void);
UINT WINAPI GetOEMCP(void);

// Paths: '/' and '\' both separate; the drive is always empty here.
errno_t _wsplitpath_s(const WCHAR* path, WCHAR* drive, size_t driveNumberOfElements, WCHAR* dir,
                      size_t dirNumberOfElements, WCHAR* fname, size_t nameNumberOfElements, WCHAR* ext,
                      size_t extNumberOfElements);
// Buffers of _MAX_DRIVE, _MAX_DIR, _MAX_FNAME and _MAX_EXT characters; longer parts are cut.
void _wsplitpath(const WCHAR* path, WCHAR* drive, WCHAR* dir, WCHAR* fname, WCHAR* ext);
errno_t _wmakepath_s(WCHAR* path, size_t sizeInWords, const WCHAR* drive, const WCHAR* dir, const WCHAR* fname,
                     const WCHAR* ext);
LPWSTR WINAPI PathFindFileNameW(LPCWSTR pszPath);

// ---- Wide formatter (Microsoft semantics: %s is a wide string, %hs narrow) ----
// Never writes past sizeOfBuffer. swprintf_s: output that does not fit leaves
// an empty string and gives -1. _snwprintf_s with count _TRUNCATE: writes what
// fits, always terminates, gives -1 when it cut.
int swprintf_s(WCHAR* buffer, size_t sizeOfBuffer, const WCHAR* format, ...);
int vswprintf_s(WCHAR* buffer, size_t sizeOfBuffer, const WCHAR* format, va_list argptr);
int _snwprintf_s(WCHAR* buffer, size_t sizeOfBuffer, size_t count, const WCHAR* format, ...);
int _vsnwprintf_s(WCHAR* buffer, size_t sizeOfBuffer, size_t count, const WCHAR* format, va_list argptr);
// The user32 formatter: at most 1024 characters including the terminator.
int WINAPIV wsprintfW(LPWSTR lpOut, LPCWSTR lpFmt, ...);
int WINAPI wvsprintfW(LPWSTR lpOut, LPCWSTR lpFmt, va_list arglist);

// ---- Modules, process, command line, environment --------------------------------
// An HMODULE is the load base of an ELF object; NULL is the program itself.
DWORD WINAPI GetModuleFileNameW(HMODULE hModule, LPWSTR lpFilename, DWORD nSize);
HMODULE WINAPI GetModuleHandleW(LPCWSTR lpModuleName);
// With GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS, lpModuleName is an address inside the module.
BOOL WINAPI GetModuleHandleExW(DWORD dwFlags, LPCWSTR lpModuleName, HMODULE* phModule);
DWORD WINAPI GetShortPathNameW(LPCWSTR lpszLongPath, LPWSTR lpszShortPath, DWORD cchBuffer);
LPWSTR WINAPI GetCommandLineW(void);
HANDLE WINAPI GetCurrentProcess(void);
HANDLE WINAPI GetCurrentThread(void);
DWORD WINAPI GetCurrentProcessId(void);
DWORD WINAPI GetCurrentThreadId(void);
[[noreturn]] void WINAPI ExitProcess(UINT uExitCode);
DWORD WINAPI GetEnvironmentVariableW(LPCWSTR lpName, LPWSTR lpBuffer, DWORD nSize);
BOOL WINAPI SetEnvironmentVariableW(LPCWSTR lpName, LPCWSTR lpValue);
void WINAPI Sleep(DWORD dwMilliseconds);
DWORD WINAPI GetTickCount(void);
ULONGLONG WINAPI GetTickCount64(void);

// ---- Time ------------------------------------------------------------------------
void WINAPI GetLocalTime(LPSYSTEMTIME lpSystemTime);
void WINAPI GetSystemTime(LPSYSTEMTIME lpSystemTime);
void WINAPI GetSystemTimeAsFileTime(LPFILETIME lpSystemTimeAsFileTime);
BOOL WINAPI FileTimeToSystemTime(const FILETIME* lpFileTime, LPSYSTEMTIME lpSystemTime);
BOOL WINAPI SystemTimeToFileTime(const SYSTEMTIME* lpSystemTime, LPFILETIME lpFileTime);

// ---- Files -------------------------------------------------------------------------
// Share mode 0 excludes every other open of the file, in this process and in
// others (ERROR_SHARING_VIOLATION).
HANDLE WINAPI CreateFileW(LPCWSTR lpFileName, DWORD dwDesiredAccess, DWORD dwShareMode,
                          LPSECURITY_ATTRIBUTES lpSecurityAttributes, DWORD dwCreationDisposition,
                          DWORD dwFlagsAndAttributes, HANDLE hTemplateFile);
BOOL WINAPI ReadFile(HANDLE hFile, LPVOID lpBuffer, DWORD nNumberOfBytesToRead, LPDWORD lpNumberOfBytesRead,
                     LPOVERLAPPED lpOverlapped);
BOOL WINAPI WriteFile(HANDLE hFile, LPCVOID lpBuffer, DWORD nNumberOfBytesToWrite, LPDWORD lpNumberOfBytesWritten,
                      LPOVERLAPPED lpOverlapped);
DWORD WINAPI SetFilePointer(HANDLE hFile, LONG lDistanceToMove, PLONG lpDistanceToMoveHigh, DWORD dwMoveMethod);
BOOL WINAPI SetFilePointerEx(HANDLE hFile, LARGE_INTEGER liDistanceToMove, PLARGE_INTEGER lpNewFilePointer,
                             DWORD dwMoveMethod);
DWORD WINAPI GetFileSize(HANDLE hFile, LPDWORD lpFileSizeHigh);
BOOL WINAPI GetFileSizeEx(HANDLE hFile, PLARGE_INTEGER lpFileSize);
BOOL WINAPI SetEndOfFile(HANDLE hFile);
BOOL WINAPI FlushFileBuffers(HANDLE hFile);
BOOL WINAPI CloseHandle(HANDLE hObject);
BOOL WINAPI DeleteFileW(LPCWSTR lpFileName);
BOOL WINAPI MoveFileExW(LPCWSTR lpExistingFileName, LPCWSTR lpNewFileName, DWORD dwFlags);
BOOL WINAPI CreateDirectoryW(LPCWSTR lpPathName, LPSECURITY_ATTRIBUTES lpSecurityAttributes);
BOOL WINAPI RemoveDirectoryW(LPCWSTR lpPathName);
DWORD WINAPI GetFileAttributesW(LPCWSTR lpFileName);

// ---- Debugger output -----------------------------------------------------------------
// To the viewer socket StateDir()/debug.sock when one listens, else to
// standard error when a debugger is attached, else nowhere.
void WINAPI OutputDebugStringW(LPCWSTR lpOutputString);
void WINAPI OutputDebugStringA(LPCSTR lpOutputString);
BOOL WINAPI IsDebuggerPresent(void);

// ---- Event log (the system log, with the source as identity) ---------------------------
HANDLE WINAPI RegisterEventSourceW(LPCWSTR lpUNCServerName, LPCWSTR lpSourceName);
BOOL WINAPI ReportEventW(HANDLE hEventLog, WORD wType, WORD wCategory, DWORD dwEventID, PSID lpUserSid,
                         WORD wNumStrings, DWORD dwDataSize, LPCWSTR* lpStrings, LPVOID lpRawData);
BOOL WINAPI DeregisterEventSource(HANDLE hEventLog);

// ---- Process priority (nice levels of every thread of the process) ------------------------
DWORD WINAPI GetPriorityClass(HANDLE hProcess);
BOOL WINAPI SetPriorityClass(HANDLE hProcess, DWORD dwPriorityClass);

// ---- Locale --------------------------------------------------------------------------
int WINAPI GetLocaleInfoW(LCID Locale, LCTYPE LCType, LPWSTR lpLCData, int cchData);
LCID WINAPI GetUserDefaultLCID(void);
LCID WINAPI GetSystemDefaultLCID(void);
// The C runtime's wide setlocale: English language names ("Japanese"),
// "Language_Country[.codepage]", "" and "C"; null when no matching locale is installed.
WCHAR* _wsetlocale(int category, const WCHAR* locale);
// Writes the text and a line feed to standard output in the C locale's encoding.
int _putws(const WCHAR* str);

// ---- Process entry ------------------------------------------------------------------------
// Defined by the program; called by the platform's main().
int WINAPI wWinMain(HINSTANCE hInstance, HINSTANCE hPrevInstance, LPWSTR lpCmdLine, int nShowCmd);

}  // extern "C"

namespace qel {

// Records the process's arguments for GetCommandLineW (done by the process
// entry; processes without it read /proc/self/cmdline).
void SetCommandLineArgs(int argc, const char* const* argv);

// Shutdown hooks run once, in reverse order of registration: when SIGINT or
// SIGTERM ends the process and when main() returns normally.
void AddShutdownHook(void (*hook)());
void RunShutdownHooks();

// SIGINT and SIGTERM. Their handler only wakes a watcher thread. By default
// the watcher runs the shutdown hooks and ends the process with 128 + the
// signal; a further signal while the hooks run ends it at once. The process
// entry installs the watcher.
void InstallSignalWatcher();
// While a service dispatcher runs it takes the signals instead (as the
// shutdown control of its service): `sink` is called on the watcher thread
// and must only wake the dispatcher.
using SignalSink = void (*)(int signal);
// In a process the service control manager started, signals that arrive
// before a dispatcher takes them are held for it.
void HoldSignalsForDispatcher();
// Routes the signals to `sink`; a signal held so far reaches it at once.
void SetSignalSink(SignalSink sink);
// Back to the default: a signal held and never taken ends the process now.
void ReleaseSignals();
// What the default does: the shutdown hooks, then the end with 128 + signal.
[[noreturn]] void EndOnSignal(int signal);

// The exit-code rule: 0..255 is the exit status; any other code exits 255
// and is written in hex on standard error ("<program>: exit code 0x80070002").
int ExitStatusForCode(DWORD code, const char* program);

// Captures every ReportEventW in-process (tests); an empty function removes it.
struct EventLogRecord {
  std::u16string source;
  WORD wType = 0;
  WORD wCategory = 0;
  DWORD dwEventID = 0;
  std::vector<std::u16string> strings;
};
void SetEventLogSinkForTests(std::function<void(const EventLogRecord&)> sink);

// Captures every OutputDebugStringW in-process (tests); an empty function removes it.
void SetDebugOutputSinkForTests(std::function<void(std::u16string_view)> sink);

// The name of the debug-output socket inside the state directory.
inline constexpr const char* kDebugSocketName = "debug.sock";

}  // namespace qel
