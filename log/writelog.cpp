// WriteLog: the one diagnostic routine of the program, with its level threshold
// and its outputs (message box, event log, debugger output, log file, stdout).
#include "QelUPnP.h"

#include <cstdarg>
#include <mutex>

namespace {

constexpr int kMessageChars = 256;     // formatted message, terminator included
constexpr int kBoxChars = 350;         // message-box text, terminator included
constexpr int kTimestampChars = 26;    // timestamp text is always 25 characters
constexpr DWORD kEventId = 0x4F010000;
constexpr UINT kBoxStyle = MB_OKCANCEL | MB_TASKMODAL | MB_TOPMOST;  // 0x42001

const WCHAR kBoxSuffix[] = TEXT("\r\n\r\nClick [Cancel] to output a message into 'Debug Viewer' after this.");

// The run thread and the control handler may log at the same time. The log file
// is opened without sharing, so without this the second thread's open would fail
// and its message would be lost.
std::mutex g_fileLock;

// Another process holding the file (an administrator's second instance, a
// viewer that opened it exclusively) releases it within moments; wait for it a
// little rather than drop the message at once.
constexpr int kShareRetries = 50;

void AppendToLogFile(LPCWSTR pszPath, LPCWSTR pszMessage) {
  SYSTEMTIME st;
  GetLocalTime(&st);
  WCHAR szTime[kTimestampChars];
  swprintf_s(szTime, kTimestampChars, TEXT("%04d/%02d/%02d %02d:%02d:%02d.%04d\t"), st.wYear, st.wMonth, st.wDay,
             st.wHour, st.wMinute, st.wSecond, st.wMilliseconds);

  std::lock_guard<std::mutex> guard(g_fileLock);
  HANDLE hFile = INVALID_HANDLE_VALUE;
  for (int i = 0; i <= kShareRetries; ++i) {
    hFile = CreateFileW(pszPath, GENERIC_WRITE, 0, nullptr, OPEN_ALWAYS, 0, nullptr);
    if (hFile != INVALID_HANDLE_VALUE || GetLastError() != ERROR_SHARING_VIOLATION) break;
    Sleep(2);
  }
  if (hFile == INVALID_HANDLE_VALUE) return;

  // With the high part given, the move works for a file of any size; a move
  // that fails drops the message rather than write it over the file's start.
  LONG lHigh = 0;
  SetLastError(ERROR_SUCCESS);
  if (SetFilePointer(hFile, 0, &lHigh, FILE_END) == INVALID_SET_FILE_POINTER && GetLastError() != ERROR_SUCCESS) {
    CloseHandle(hFile);
    return;
  }
  DWORD dwWritten = 0;
  WriteFile(hFile, szTime, static_cast<DWORD>(lstrlenW(szTime)) * sizeof(WCHAR), &dwWritten, nullptr);
  WriteFile(hFile, pszMessage, static_cast<DWORD>(lstrlenW(pszMessage)) * sizeof(WCHAR), &dwWritten, nullptr);
  CloseHandle(hFile);
}

}  // namespace

void CQelUPnP::WriteLog(DWORD dwLevel, LPCWSTR pszFormat, ...) {
  DWORD dwThreshold;
  WCHAR szLogFile[MAX_PATH];
  {
    std::lock_guard<std::mutex> guard(m_settingsLock);
    dwThreshold = m_dwLogLevel;
    lstrcpynW(szLogFile, m_szLogFile, MAX_PATH);
  }
  if (dwLevel < dwThreshold) return;

  // A message longer than the buffer is cut at 255 characters.
  WCHAR szMessage[kMessageChars];
  szMessage[0] = 0;
  va_list args;
  va_start(args, pszFormat);
  _vsnwprintf_s(szMessage, kMessageChars, _TRUNCATE, pszFormat, args);
  va_end(args);

  switch (m_dwLogType.load()) {
    case 1: {
      WCHAR szBox[kBoxChars];
      lstrcpynW(szBox, szMessage, kBoxChars);
      const int cch = lstrlenW(szBox);
      lstrcpynW(szBox + cch, kBoxSuffix, kBoxChars - cch);
      if (MessageBoxW(nullptr, szBox, TEXT("QelUPnP"), kBoxStyle) == IDCANCEL) m_dwLogType.store(3);
      break;
    }
    case 2: {
      if (!m_bRunAsService) break;
      HANDLE hEventSource = RegisterEventSourceW(nullptr, m_szName);
      if (hEventSource == nullptr) break;
      LPCWSTR rgStrings[1] = {szMessage};
      ReportEventW(hEventSource, EVENTLOG_INFORMATION_TYPE, 0, kEventId, nullptr, 1, 0, rgStrings, nullptr);
      DeregisterEventSource(hEventSource);
      break;
    }
    case 3:
      OutputDebugStringW(szMessage);
      break;
    case 4:
      if (szLogFile[0] != 0) AppendToLogFile(szLogFile, szMessage);
      break;
    default:
      _putws(szMessage);
      break;
  }
}
