// ReadRegInfo: the service's settings from HKCR\SoftWare\QelUPnP and the device
// id of the previous run from HKCR\SoftWare\Varn2\QelUPnP.
#include "QelUPnP.h"
#include "RegKey.h"

#include <mutex>

namespace {

// "ProcessPriority" is an index into this table, not a priority class.
const DWORD kPriorityClasses[] = {
    IDLE_PRIORITY_CLASS,      // 0
    NORMAL_PRIORITY_CLASS,    // 1
    HIGH_PRIORITY_CLASS,      // 2
    REALTIME_PRIORITY_CLASS,  // 3
};

// Reads a string value into a zeroed buffer of MAX_PATH characters. The read is
// given the buffer's whole capacity, so a value of up to 259 characters and its
// terminator fits and a longer one fails with ERROR_MORE_DATA. A value stored
// without its terminator that fills the buffer is cut at 259 characters, so the
// buffer always ends in a null. *pcbData receives the size of the data.
LONG ReadString(RegKey& key, LPCWSTR pszName, WCHAR (&szBuffer)[MAX_PATH], DWORD* pcbData) {
  for (WCHAR& ch : szBuffer) ch = 0;
  *pcbData = sizeof(szBuffer);
  LONG lRes = key.QueryValue(szBuffer, pszName, pcbData);
  szBuffer[MAX_PATH - 1] = 0;
  return lRes;
}

// Reads a value of at most four bytes over *pdwValue, which keeps its bytes
// beyond the data's size; a longer value fails and leaves it untouched.
LONG ReadDword(RegKey& key, LPCWSTR pszName, DWORD* pdwValue) {
  DWORD dwValue = *pdwValue;
  DWORD cbData = sizeof(DWORD);
  LONG lRes = key.QueryValue(&dwValue, pszName, &cbData);
  if (lRes == ERROR_SUCCESS) *pdwValue = dwValue;
  return lRes;
}

}  // namespace

HRESULT CQelUPnP::ReadRegInfo() {
  WriteLog(0, TEXT("CQelUPnP::ReadRegInfo was called."));

  HRESULT hr = S_OK;
  WCHAR szBuffer[MAX_PATH];
  DWORD cbData = 0;

  RegKey key;
  if (key.Open(HKEY_CLASSES_ROOT, TEXT("SoftWare\\QelUPnP"), KEY_READ) == ERROR_SUCCESS) {
    if (ReadString(key, TEXT("DataPath"), szBuffer, &cbData) != ERROR_SUCCESS || cbData == 0) {
      key.Close();
      return E_FAIL;
    }
    lstrcpynW(m_szDataPath, szBuffer, MAX_PATH);

    // The log settings are read by WriteLog on the control handler's thread too.
    DWORD dwLogLevel = m_dwLogLevel;
    if (ReadDword(key, TEXT("LogLevel"), &dwLogLevel) == ERROR_SUCCESS) {
      std::lock_guard<std::mutex> guard(m_settingsLock);
      m_dwLogLevel = dwLogLevel;
    } else {
      hr = S_FALSE;
    }

    DWORD dwLogType = m_dwLogType.load();
    if (ReadDword(key, TEXT("LogType"), &dwLogType) == ERROR_SUCCESS)
      m_dwLogType.store(dwLogType);
    else
      hr = S_FALSE;

    DWORD dwPriority = 0;
    if (ReadDword(key, TEXT("ProcessPriority"), &dwPriority) != ERROR_SUCCESS) {
      hr = S_FALSE;
    } else if (dwPriority < sizeof(kPriorityClasses) / sizeof(kPriorityClasses[0])) {
      m_dwPriorityClass = kPriorityClasses[dwPriority];
    } else {
      // No class for this index: keep the current one.
      hr = S_FALSE;
    }

    if (ReadDword(key, TEXT("LCID"), &m_dwLcid) != ERROR_SUCCESS) hr = S_FALSE;

    if (ReadString(key, TEXT("FileName"), szBuffer, &cbData) == ERROR_SUCCESS) {
      std::lock_guard<std::mutex> guard(m_settingsLock);
      lstrcpynW(m_szLogFile, szBuffer, MAX_PATH);
    } else {
      hr = S_FALSE;
    }
    key.Close();
  } else {
    // Nothing of the settings could be read: not an error, but not complete.
    hr = S_FALSE;
  }

  if (key.Open(HKEY_CLASSES_ROOT, TEXT("SoftWare\\Varn2\\QelUPnP"), KEY_READ) != ERROR_SUCCESS) return S_FALSE;
  if (ReadString(key, TEXT("LastDeviceID"), szBuffer, &cbData) == ERROR_SUCCESS) {
    std::lock_guard<std::recursive_mutex> guard(m_deviceLock);
    lstrcpynW(m_szLastDeviceId, szBuffer, MAX_PATH);
  }
  if (key.Close() != ERROR_SUCCESS) hr = S_FALSE;
  return hr;
}
