// The registration script interpreter.
#include "RegistryScript.h"

#include "RegKey.h"

#include <vector>

namespace {

struct RootKeyEntry {
  LPCWSTR pszName;
  HKEY hKey;
};

const RootKeyEntry kRootKeys[] = {
    {TEXT("HKCR"), HKEY_CLASSES_ROOT},
    {TEXT("HKCU"), HKEY_CURRENT_USER},
    {TEXT("HKLM"), HKEY_LOCAL_MACHINE},
    {TEXT("HKU"), HKEY_USERS},
    {TEXT("HKPD"), HKEY_PERFORMANCE_DATA},
    {TEXT("HKDD"), HKEY_DYN_DATA},
    {TEXT("HKCC"), HKEY_CURRENT_CONFIG},
    {TEXT("HKEY_CLASSES_ROOT"), HKEY_CLASSES_ROOT},
    {TEXT("HKEY_CURRENT_USER"), HKEY_CURRENT_USER},
    {TEXT("HKEY_LOCAL_MACHINE"), HKEY_LOCAL_MACHINE},
    {TEXT("HKEY_USERS"), HKEY_USERS},
    {TEXT("HKEY_PERFORMANCE_DATA"), HKEY_PERFORMANCE_DATA},
    {TEXT("HKEY_DYN_DATA"), HKEY_DYN_DATA},
    {TEXT("HKEY_CURRENT_CONFIG"), HKEY_CURRENT_CONFIG},
};

const LPCWSTR kProtectedKeyNames[] = {TEXT("CLSID"), TEXT("TYPELIB")};

const WCHAR kForceRemove[] = TEXT("ForceRemove");
const WCHAR kDelete[] = TEXT("Delete");
const WCHAR kNoRemove[] = TEXT("NoRemove");
const WCHAR kVal[] = TEXT("Val");

HKEY FindRootKey(LPCWSTR pszName) {
  for (const auto& e : kRootKeys)
    if (lstrcmpiW(pszName, e.pszName) == 0) return e.hKey;
  return nullptr;
}

bool IsProtectedKeyName(LPCWSTR pszName) {
  for (LPCWSTR p : kProtectedKeyNames)
    if (lstrcmpiW(pszName, p) == 0) return true;
  return false;
}

bool HasBackslash(LPCWSTR psz) {
  for (; *psz; psz = CharNextW(psz))
    if (*psz == TEXT('\\')) return true;
  return false;
}

int HexDigit(WCHAR ch) {
  if (ch >= TEXT('0') && ch <= TEXT('9')) return ch - TEXT('0');
  if (ch >= TEXT('A') && ch <= TEXT('F')) return ch - TEXT('A') + 10;
  if (ch >= TEXT('a') && ch <= TEXT('f')) return ch - TEXT('a') + 10;
  return 0;
}

HRESULT HResultFromLastError() {
  DWORD dwError = GetLastError();
  if (dwError == 0) return S_OK;
  return static_cast<HRESULT>(0x80070000u | (dwError & 0xFFFF));
}

LPWSTR CopyString(LPCWSTR psz) {
  int cch = lstrlenW(psz) + 1;
  auto* p = static_cast<LPWSTR>(CoTaskMemAlloc(static_cast<SIZE_T>(cch) * sizeof(WCHAR)));
  if (p) {
    for (int i = 0; i < cch; ++i) p[i] = psz[i];
  }
  return p;
}

// A module loaded as a data file, freed on every way out of the run.
class DataFileModule {
 public:
  explicit DataFileModule(HMODULE h) : m_h(h) {}
  ~DataFileModule() {
    if (m_h) FreeLibrary(m_h);
  }
  DataFileModule(const DataFileModule&) = delete;
  DataFileModule& operator=(const DataFileModule&) = delete;
  HMODULE get() const { return m_h; }

 private:
  HMODULE m_h;
};

// A CoTaskMemAlloc'd text, freed on every way out.
class TaskString {
 public:
  TaskString() = default;
  ~TaskString() { CoTaskMemFree(m_p); }
  TaskString(const TaskString&) = delete;
  TaskString& operator=(const TaskString&) = delete;
  LPWSTR* operator&() { return &m_p; }
  LPWSTR get() const { return m_p; }

 private:
  LPWSTR m_p = nullptr;
};

}  // namespace

// ---------------------------------------------------------------------------
// ScriptVariables

ScriptVariables::~ScriptVariables() {
  for (int i = 0; i < m_nSize; ++i) {
    CoTaskMemFree(m_pRecords[i].pszName);
    CoTaskMemFree(m_pRecords[i].pszValue);
  }
  CoTaskMemFree(m_pRecords);
}

HRESULT ScriptVariables::Add(LPCWSTR pszName, LPCWSTR pszValue) {
  if (!pszName || !pszValue) return E_INVALIDARG;
  if (m_nSize == m_nAllocated) {
    int nNew = m_nAllocated ? m_nAllocated * 2 : 10;
    auto* p = static_cast<ScriptVariableRecord*>(
        CoTaskMemRealloc(m_pRecords, static_cast<SIZE_T>(nNew) * sizeof(ScriptVariableRecord)));
    if (!p) return E_OUTOFMEMORY;
    m_pRecords = p;
    m_nAllocated = nNew;
  }
  LPWSTR pszNameCopy = CopyString(pszName);
  LPWSTR pszValueCopy = CopyString(pszValue);
  if (!pszNameCopy || !pszValueCopy) {
    CoTaskMemFree(pszNameCopy);
    CoTaskMemFree(pszValueCopy);
    return E_OUTOFMEMORY;
  }
  m_pRecords[m_nSize].pszName = pszNameCopy;
  m_pRecords[m_nSize].pszValue = pszValueCopy;
  ++m_nSize;
  return S_OK;
}

LPCWSTR ScriptVariables::Find(LPCWSTR pszName) const {
  for (int i = 0; i < m_nSize; ++i)
    if (lstrcmpiW(m_pRecords[i].pszName, pszName) == 0) return m_pRecords[i].pszValue;
  return nullptr;
}

// ---------------------------------------------------------------------------
// Reading

bool RegistryScript::IsBlank(WCHAR ch) {
  return ch == TEXT('\t') || ch == TEXT('\n') || ch == TEXT('\r') || ch == TEXT(' ');
}

void RegistryScript::SkipBlanks() {
  while (IsBlank(*m_pszPos)) m_pszPos = CharNextW(m_pszPos);
}

bool RegistryScript::AtClosingQuote() const {
  return m_pszPos[0] == TEXT('\'') && m_pszPos[1] != TEXT('\'');
}

HRESULT RegistryScript::ReadTokenInto(LPWSTR pszBuffer, int cchBuffer) {
  // A buffer of n characters takes a token of at most n - 2.
  const int cchMax = cchBuffer - 2;
  SkipBlanks();
  m_pszTokenStart = m_pszPos;
  if (m_pszLimit && m_pszPos >= m_pszLimit) {
    // Where a failed register pass stopped, every open block ends.
    pszBuffer[0] = TEXT('}');
    pszBuffer[1] = 0;
    return S_OK;
  }
  if (*m_pszPos == 0) return DISP_E_EXCEPTION;
  int cch = 0;
  // Takes the character at the read position: every unit that one step of
  // CharNextW passes over (a base character with its combining marks).
  auto take = [&]() -> bool {
    LPCWSTR pszNext = CharNextW(m_pszPos);
    if (cch + (pszNext - m_pszPos) > cchMax) return false;
    for (; m_pszPos < pszNext; ++m_pszPos) pszBuffer[cch++] = *m_pszPos;
    return true;
  };
  if (*m_pszPos == TEXT('\'')) {
    m_pszPos = CharNextW(m_pszPos);
    while (!AtClosingQuote()) {
      if (*m_pszPos == 0) return DISP_E_EXCEPTION;
      if (*m_pszPos == TEXT('\'')) m_pszPos = CharNextW(m_pszPos);  // '' stands for one quote
      if (!take()) return DISP_E_EXCEPTION;
    }
    m_pszPos = CharNextW(m_pszPos);
  } else {
    while (*m_pszPos != 0 && !IsBlank(*m_pszPos))
      if (!take()) return DISP_E_EXCEPTION;
  }
  pszBuffer[cch] = 0;
  return S_OK;
}

// ---------------------------------------------------------------------------
// Expansion

HRESULT RegistryScript::ExpandVariables(LPCWSTR pszSource, LPWSTR* ppszOut) {
  *ppszOut = nullptr;
  int cchRoom = lstrlenW(pszSource) * 2;
  // An empty text still needs room for its terminator.
  if (cchRoom < 1) cchRoom = 1;
  auto* pszOut = static_cast<LPWSTR>(CoTaskMemAlloc(static_cast<SIZE_T>(cchRoom) * sizeof(WCHAR)));
  if (!pszOut) return E_OUTOFMEMORY;
  int cchOut = 0;
  auto put = [&](WCHAR ch) -> bool {
    if (cchOut == cchRoom) {
      auto* p = static_cast<LPWSTR>(CoTaskMemRealloc(pszOut, static_cast<SIZE_T>(cchRoom) * 2 * sizeof(WCHAR)));
      if (!p) return false;
      pszOut = p;
      cchRoom *= 2;
    }
    pszOut[cchOut++] = ch;
    return true;
  };
  auto fail = [&](HRESULT hr) {
    CoTaskMemFree(pszOut);
    return hr;
  };
  // Copies every unit from p up to the next step of CharNextW.
  auto copyStep = [&](LPCWSTR& p) -> bool {
    for (LPCWSTR pszNext = CharNextW(p); p < pszNext; ++p)
      if (!put(*p)) return false;
    return true;
  };
  LPCWSTR p = pszSource;
  while (*p) {
    if (*p != TEXT('%')) {
      if (!copyStep(p)) return fail(E_OUTOFMEMORY);
      continue;
    }
    LPCWSTR pNext = CharNextW(p);
    if (*pNext == TEXT('%')) {
      if (!put(TEXT('%'))) return fail(E_OUTOFMEMORY);
      p = CharNextW(pNext);
      continue;
    }
    if (*pNext == 0) return fail(DISP_E_EXCEPTION);
    LPCWSTR pEnd = pNext;
    while (*pEnd && *pEnd != TEXT('%')) pEnd = CharNextW(pEnd);
    if (*pEnd == 0) return fail(DISP_E_EXCEPTION);
    if (pEnd - pNext > kVariableNameChars - 1) return fail(E_FAIL);
    WCHAR szName[kVariableNameChars];
    int cchName = 0;
    for (LPCWSTR q = pNext; q < pEnd; ++q) szName[cchName++] = *q;
    szName[cchName] = 0;
    LPCWSTR pszValue = m_vars.Find(szName);
    if (!pszValue) return fail(DISP_E_EXCEPTION);
    while (*pszValue)
      if (!copyStep(pszValue)) return fail(E_OUTOFMEMORY);
    p = CharNextW(pEnd);
  }
  if (!put(0)) return fail(E_OUTOFMEMORY);
  *ppszOut = pszOut;
  return S_OK;
}

// ---------------------------------------------------------------------------
// Values

HRESULT RegistryScript::WriteValue(HKEY hKey, LPCWSTR pszValueName, LPWSTR pszToken) {
  WCHAR szType[kTokenChars];
  SkipBlanks();
  if (*m_pszPos == 0) return DISP_E_EXCEPTION;
  HRESULT hr = ReadTokenInto(szType, kTokenChars);
  if (FAILED(hr)) return hr;
  DWORD dwType;
  if (lstrcmpiW(szType, TEXT("S")) == 0)
    dwType = REG_SZ;
  else if (lstrcmpiW(szType, TEXT("D")) == 0)
    dwType = REG_DWORD;
  else if (lstrcmpiW(szType, TEXT("B")) == 0)
    dwType = REG_BINARY;
  else
    return DISP_E_EXCEPTION;

  std::vector<WCHAR> value(kTokenChars);
  SkipBlanks();
  hr = ReadTokenInto(value.data(), kTokenChars);
  if (FAILED(hr)) return hr;
  LPCWSTR pszValue = value.data();

  m_bValueStored = true;
  switch (dwType) {
    case REG_SZ:
      RegSetValueExW(hKey, pszValueName, 0, REG_SZ, reinterpret_cast<const BYTE*>(pszValue),
                     static_cast<DWORD>((lstrlenW(pszValue) + 1) * sizeof(WCHAR)));
      break;
    case REG_DWORD: {
      ULONG ulValue = 0;
      // A text that is not a number must not store whatever the conversion left behind.
      // The writable buffer is passed: MinGW-w64 declares the string non-const.
      if (FAILED(VarUI4FromStr(value.data(), 0, 0, &ulValue))) {
        m_bValueStored = false;
        return DISP_E_TYPEMISMATCH;
      }
      DWORD dw = ulValue;
      RegSetValueExW(hKey, pszValueName, 0, REG_DWORD, reinterpret_cast<const BYTE*>(&dw), sizeof dw);
      break;
    }
    case REG_BINARY: {
      int cch = lstrlenW(pszValue);
      if (cch % 2 != 0) {
        m_bValueStored = false;
        return E_FAIL;
      }
      std::vector<BYTE> bytes(static_cast<size_t>(cch / 2), 0);
      for (int i = 0; i < cch / 2; ++i)
        bytes[i] = static_cast<BYTE>((HexDigit(pszValue[2 * i]) << 4) | HexDigit(pszValue[2 * i + 1]));
      RegSetValueExW(hKey, pszValueName, 0, REG_BINARY, bytes.data(), static_cast<DWORD>(bytes.size()));
      break;
    }
  }
  return ReadToken(pszToken);
}

HRESULT RegistryScript::SkipValueAssignment(LPWSTR pszToken) {
  if (pszToken[0] != TEXT('=')) return S_OK;
  HRESULT hr = ReadToken(pszToken);
  if (FAILED(hr)) return hr;
  std::vector<WCHAR> scratch(kTokenChars);
  SkipBlanks();
  hr = ReadTokenInto(scratch.data(), kTokenChars);
  if (FAILED(hr)) return hr;
  return ReadToken(pszToken);
}

bool RegistryScript::HasSubkeys(HKEY hKey) {
  DWORD cSubKeys = 0;
  if (RegQueryInfoKeyW(hKey, nullptr, nullptr, nullptr, &cSubKeys, nullptr, nullptr, nullptr, nullptr, nullptr,
                       nullptr, nullptr) != ERROR_SUCCESS)
    return false;
  return cSubKeys > 0;
}

bool RegistryScript::HasNamedValues(HKEY hKey) {
  DWORD cValues = 0;
  if (RegQueryInfoKeyW(hKey, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, &cValues, nullptr, nullptr,
                       nullptr, nullptr) != ERROR_SUCCESS)
    return false;
  if (cValues > 1) return true;
  if (cValues == 0) return false;
  std::vector<WCHAR> name(kTokenChars);
  DWORD cchName = kTokenChars;
  if (RegEnumValueW(hKey, 0, name.data(), &cchName, nullptr, nullptr, nullptr, nullptr) != ERROR_SUCCESS)
    return false;
  return name[0] != 0;
}

// ---------------------------------------------------------------------------
// Blocks

HRESULT RegistryScript::ProcessBlock(LPWSTR pszToken, HKEY hkParent, BOOL bRegister, BOOL bSkip, int nDepth) {
  if (nDepth > kMaxDepth) {
    m_bTooDeep = true;
    if (bRegister && !m_pszFailAt) m_pszFailAt = m_pszTokenStart;
    return DISP_E_EXCEPTION;
  }
  return bRegister ? RegisterBlock(pszToken, hkParent, nDepth) : RemoveBlock(pszToken, hkParent, bSkip, nDepth);
}

HRESULT RegistryScript::RegisterBlock(LPWSTR pszToken, HKEY hkParent, int nDepth) {
  RegKey key;
  HRESULT hr = ReadToken(pszToken);
  if (FAILED(hr)) return hr;
  while (pszToken[0] != TEXT('}')) {
    // Where the run stops when this entry fails: after the token that failed
    // once the entry has changed the registry, else before the whole entry,
    // so that taking the block back touches only what this pass reached.
    // A failure inside a nested block has set the point already.
    const LPCWSTR pszEntry = m_pszTokenStart;
    bool bReached = false;
    auto fail = [&](HRESULT hrFail) {
      if (!m_pszFailAt) m_pszFailAt = bReached ? m_pszTokenStart : pszEntry;
      return hrFail;
    };
    bool bKeyEntry = true;
    if (lstrcmpiW(pszToken, kForceRemove) == 0 || lstrcmpiW(pszToken, kDelete) == 0) {
      bool bDelete = lstrcmpiW(pszToken, kDelete) == 0;
      hr = ReadToken(pszToken);
      if (FAILED(hr)) return fail(hr);
      if (HasBackslash(pszToken)) return fail(DISP_E_EXCEPTION);
      if (!IsProtectedKeyName(pszToken)) {
        // The parent is borrowed: the holder lets go of it without closing it.
        RegKey parent;
        parent.m_hKey = hkParent;
        parent.DeleteTree(pszToken);
        parent.m_hKey = nullptr;
      }
      if (bDelete) {
        bReached = true;
        hr = ReadToken(pszToken);
        if (FAILED(hr)) return fail(hr);
        hr = SkipValueAssignment(pszToken);
        if (FAILED(hr)) return fail(hr);
        bKeyEntry = false;
      }
    } else if (lstrcmpiW(pszToken, kNoRemove) == 0) {
      hr = ReadToken(pszToken);
      if (FAILED(hr)) return fail(hr);
    }
    if (bKeyEntry && lstrcmpiW(pszToken, kVal) == 0) {
      WCHAR szValueName[kValueNameChars];
      hr = ReadTokenInto(szValueName, kValueNameChars);
      if (FAILED(hr)) return fail(hr);
      hr = ReadToken(pszToken);
      if (FAILED(hr)) return fail(hr);
      if (pszToken[0] != TEXT('=')) return fail(DISP_E_EXCEPTION);
      m_bValueStored = false;
      hr = WriteValue(hkParent, szValueName, pszToken);
      bReached = m_bValueStored;
      if (FAILED(hr)) return fail(hr);
      bKeyEntry = false;
    }
    if (bKeyEntry) {
      if (HasBackslash(pszToken)) return fail(DISP_E_EXCEPTION);
      if (key.Open(hkParent, pszToken, KEY_ALL_ACCESS) != ERROR_SUCCESS &&
          key.Open(hkParent, pszToken, KEY_READ) != ERROR_SUCCESS &&
          key.Create(hkParent, pszToken) != ERROR_SUCCESS)
        return fail(DISP_E_EXCEPTION);
      bReached = true;
      hr = ReadToken(pszToken);
      if (FAILED(hr)) return fail(hr);
      if (pszToken[0] == TEXT('=')) {
        hr = WriteValue(key.m_hKey, nullptr, pszToken);
        if (FAILED(hr)) return fail(hr);
      }
    }
    if (lstrcmpW(pszToken, TEXT("{")) == 0) {
      // A block needs a key to live under; one after "Val" or "Delete" with
      // no key entry before it in this block has none.
      if (!key.m_hKey) return fail(DISP_E_EXCEPTION);
      hr = ProcessBlock(pszToken, key.m_hKey, TRUE, FALSE, nDepth + 1);
      if (FAILED(hr)) return fail(hr);
      bReached = true;
      hr = ReadToken(pszToken);
      if (FAILED(hr)) return fail(hr);
    }
  }
  return S_OK;
}

LONG RegistryScript::OpenForRemoval(RegKey& key, HKEY hkParent, LPCWSTR pszName) {
  // Write access lets the entry's block delete the values it names; a key
  // that grants only reading is still walked, its deletions then fail.
  LONG lRes = key.Open(hkParent, pszName, KEY_READ | KEY_WRITE);
  if (lRes != ERROR_SUCCESS) lRes = key.Open(hkParent, pszName, KEY_READ);
  return lRes;
}

HRESULT RegistryScript::RemoveBlock(LPWSTR pszToken, HKEY hkParent, BOOL bSkip, int nDepth) {
  // The key of the last key entry (while it is open), its remembered name and
  // whether "NoRemove" protects it.
  RegKey key;
  WCHAR szKey[kKeyNameChars];
  BOOL bKeyNoRemove = FALSE;
  auto deleteKey = [&]() -> HRESULT {
    if (key.Close() != ERROR_SUCCESS) return DISP_E_EXCEPTION;
    if (!bKeyNoRemove) RegDeleteKeyW(hkParent, szKey);
    return S_OK;
  };
  HRESULT hr = ReadToken(pszToken);
  if (FAILED(hr)) return hr;
  while (pszToken[0] != TEXT('}')) {
    // "NoRemove" protects the one key entry it precedes.
    BOOL bNoRemove = FALSE;
    // After "Delete" the token names a key whatever it says, as in the
    // register pass, so that both passes see the same blocks.
    bool bKeyName = false;
    if (lstrcmpiW(pszToken, kForceRemove) == 0 || lstrcmpiW(pszToken, kDelete) == 0) {
      bKeyName = lstrcmpiW(pszToken, kDelete) == 0;
      hr = ReadToken(pszToken);
      if (FAILED(hr)) return hr;
    } else if (lstrcmpiW(pszToken, kNoRemove) == 0) {
      bNoRemove = TRUE;
      hr = ReadToken(pszToken);
      if (FAILED(hr)) return hr;
    }

    if (!bKeyName && lstrcmpiW(pszToken, kVal) == 0) {
      WCHAR szValueName[kValueNameChars];
      hr = ReadTokenInto(szValueName, kValueNameChars);
      if (FAILED(hr)) return hr;
      hr = ReadToken(pszToken);
      if (FAILED(hr)) return hr;
      if (pszToken[0] != TEXT('=')) return DISP_E_EXCEPTION;
      if (!bSkip) RegDeleteValueW(hkParent, szValueName);
      hr = SkipValueAssignment(pszToken);
      if (FAILED(hr)) return hr;
      if (lstrcmpW(pszToken, TEXT("{")) == 0) {
        // The register pass runs such a block under the key of the last key
        // entry of this block; it is taken back there, if that key is still open.
        HKEY hkBlock = bSkip ? nullptr : key.m_hKey;
        hr = ProcessBlock(pszToken, hkBlock, FALSE, hkBlock == nullptr, nDepth + 1);
        if (FAILED(hr)) return hr;
        // That key stayed for its subkeys; the block may have taken the last.
        if (hkBlock && !HasSubkeys(key.m_hKey)) {
          hr = deleteKey();
          if (FAILED(hr)) return hr;
        }
        hr = ReadToken(pszToken);
        if (FAILED(hr)) return hr;
      }
      continue;
    }

    if (HasBackslash(pszToken)) return DISP_E_EXCEPTION;
    // No key has a name longer than the remembered name can hold: such an
    // entry names nothing, and only it is skipped.
    bool bNameFits = lstrlenW(pszToken) <= kKeyNameChars - 1;
    key.Close();
    // Skip mode entered here covers this key entry only.
    BOOL bSkipEntry = bSkip || !bNameFits;
    if (!bSkipEntry && OpenForRemoval(key, hkParent, pszToken) != ERROR_SUCCESS) bSkipEntry = TRUE;
    lstrcpynW(szKey, pszToken, kKeyNameChars);
    bKeyNoRemove = bNoRemove;
    if (!bSkipEntry && !HasSubkeys(key.m_hKey) && !HasNamedValues(key.m_hKey)) {
      // Nothing below the key is left to delete: it goes at once, before its
      // assignment and block are read, and the block is only read.
      hr = deleteKey();
      if (FAILED(hr)) return hr;
      bSkipEntry = TRUE;
    }

    hr = ReadToken(pszToken);
    if (FAILED(hr)) return hr;
    hr = SkipValueAssignment(pszToken);
    if (FAILED(hr)) return hr;
    bool bHasBlock = lstrcmpW(pszToken, TEXT("{")) == 0;
    if (bHasBlock) {
      hr = ProcessBlock(pszToken, bSkipEntry ? nullptr : key.m_hKey, FALSE, bSkipEntry, nDepth + 1);
      if (FAILED(hr)) return hr;
    }
    // A key that still holds subkeys the script does not name stays.
    if (!bSkipEntry && !HasSubkeys(key.m_hKey)) {
      hr = deleteKey();
      if (FAILED(hr)) return hr;
    }
    if (bHasBlock) {
      hr = ReadToken(pszToken);
      if (FAILED(hr)) return hr;
    }
  }
  return S_OK;
}

// ---------------------------------------------------------------------------
// Runs

HRESULT RegistryScript::RunRootBlocks(BOOL bRegister) {
  std::vector<WCHAR> token(kTokenChars);
  LPWSTR pszToken = token.data();
  while (*m_pszPos != 0) {
    SkipBlanks();
    if (*m_pszPos == 0) return DISP_E_EXCEPTION;
    HRESULT hr = ReadToken(pszToken);
    if (FAILED(hr)) return hr;
    HKEY hkRoot = FindRootKey(pszToken);
    if (!hkRoot) return DISP_E_EXCEPTION;
    hr = ReadToken(pszToken);
    if (FAILED(hr)) return hr;
    if (pszToken[0] != TEXT('{')) return DISP_E_EXCEPTION;
    if (bRegister) {
      LPCWSTR pszBlock = m_pszPos;
      // A block nested too deeply could not be taken back by the removal pass
      // either, so it is refused before anything is written: a read in skip
      // mode touches nothing, and both passes see the same blocks.
      m_bTooDeep = false;
      (void)ProcessBlock(pszToken, hkRoot, FALSE, TRUE, 1);
      m_pszPos = pszBlock;
      if (m_bTooDeep) return DISP_E_EXCEPTION;
      m_pszFailAt = nullptr;
      hr = ProcessBlock(pszToken, hkRoot, TRUE, FALSE, 1);
      if (FAILED(hr)) {
        // Take back what this root block wrote before it failed, and nothing
        // that the script names after that point.
        m_pszLimit = m_pszFailAt ? m_pszFailAt : m_pszPos;
        m_pszPos = pszBlock;
        (void)ProcessBlock(pszToken, hkRoot, FALSE, FALSE, 1);
        m_pszLimit = nullptr;
        return hr;
      }
    } else {
      hr = ProcessBlock(pszToken, hkRoot, FALSE, FALSE, 1);
      if (FAILED(hr)) return hr;
    }
    SkipBlanks();
  }
  return S_OK;
}

HRESULT RegistryScript::RunScriptText(LPCWSTR pszText, BOOL bRegister) {
  // An empty script names nothing, so there is nothing to do.
  if (!pszText || *pszText == 0) return S_OK;
  TaskString expanded;
  HRESULT hr = ExpandVariables(pszText, &expanded);
  if (FAILED(hr)) return hr;
  m_pszPos = expanded.get();
  hr = RunRootBlocks(bRegister);
  m_pszPos = nullptr;
  return hr;
}

HRESULT RegistryScript::RunScriptResource(LPCWSTR pszPath, UINT nResID, LPCWSTR pszType, BOOL bRegister) {
  DataFileModule module(LoadLibraryExW(pszPath, nullptr, LOAD_LIBRARY_AS_DATAFILE));
  if (!module.get()) return HResultFromLastError();
  HRSRC hrsrc = FindResourceW(module.get(), MAKEINTRESOURCEW(nResID), pszType);
  if (!hrsrc) return HResultFromLastError();
  HGLOBAL hData = LoadResource(module.get(), hrsrc);
  if (!hData) return HResultFromLastError();
  DWORD cbData = SizeofResource(module.get(), hrsrc);
  auto* pbData = static_cast<const BYTE*>(LockResource(hData));
  if (!pbData && cbData) return E_FAIL;

  // The text need not end with a null byte; a copy that does is always made,
  // since the byte after the resource may lie beyond the file.
  std::vector<CHAR> text(static_cast<size_t>(cbData) + 1, 0);
  for (DWORD i = 0; i < cbData; ++i) text[i] = static_cast<CHAR>(pbData[i]);
  int cchWide = lstrlenA(text.data()) + 1;
  std::vector<WCHAR> wide(static_cast<size_t>(cchWide), 0);
  MultiByteToWideChar(CP_ACP, 0, text.data(), -1, wide.data(), cchWide);
  wide[static_cast<size_t>(cchWide) - 1] = 0;
  return RunScriptText(wide.data(), bRegister);
}

// ---------------------------------------------------------------------------

HRESULT ApplyRegistryScript(CComPart* pModule, UINT nResID, BOOL bRegister, const ScriptVariable* pVariables) {
  ScriptVariables vars;
  WCHAR szModule[MAX_PATH];
  DWORD cch = GetModuleFileNameW(g_pModule ? g_pModule->m_hInstance : nullptr, szModule, MAX_PATH);
  // A path that does not fit would be the wrong file.
  if (cch == 0) return HResultFromLastError();
  if (cch >= MAX_PATH) return HRESULT_FROM_WIN32(ERROR_INSUFFICIENT_BUFFER);
  szModule[cch] = 0;

  LPCWSTR pszPath = szModule;
  WCHAR szShort[MAX_PATH];
  if (pModule && (pModule->m_hInstance == nullptr || pModule->m_hInstance == GetModuleHandleW(nullptr))) {
    DWORD cchShort = GetShortPathNameW(szModule, szShort, MAX_PATH);
    if (cchShort != 0 && cchShort < MAX_PATH) pszPath = szShort;
  }

  // "Module" goes inside quoted tokens: its quotes are doubled.
  std::vector<WCHAR> quoted;
  for (LPCWSTR p = pszPath; *p;) {
    bool bQuote = *p == TEXT('\'');
    for (LPCWSTR pszNext = CharNextW(p); p < pszNext; ++p) quoted.push_back(*p);
    if (bQuote) quoted.push_back(TEXT('\''));
  }
  quoted.push_back(0);
  HRESULT hr = vars.Add(TEXT("Module"), quoted.data());
  if (FAILED(hr)) return hr;
  if (pVariables) {
    for (const ScriptVariable* v = pVariables; v->pszName; ++v) {
      hr = vars.Add(v->pszName, v->pszValue ? v->pszValue : TEXT(""));
      if (FAILED(hr)) return hr;
    }
  }
  RegistryScript script(vars);
  return script.RunScriptResource(pszPath, nResID & 0xFFFF, TEXT("REGISTRY"), bRegister);
}
