// The registration script interpreter: script variables, expansion, tokens and
// the register and removal passes over the registry.
#pragma once

#include "comreg.h"

class RegKey;

// One variable of a run; both strings are owned (CoTaskMemAlloc).
struct ScriptVariableRecord {
  LPWSTR pszName;
  LPWSTR pszValue;
};

// The variables of one ApplyRegistryScript call.
class ScriptVariables {
 public:
  ScriptVariables() = default;
  ~ScriptVariables();
  ScriptVariables(const ScriptVariables&) = delete;
  ScriptVariables& operator=(const ScriptVariables&) = delete;

  HRESULT Add(LPCWSTR pszName, LPCWSTR pszValue);
  // The value of the first variable of that name (case-insensitive), or null.
  LPCWSTR Find(LPCWSTR pszName) const;
  int GetSize() const { return m_nSize; }

 private:
  ScriptVariableRecord* m_pRecords = nullptr;
  int m_nSize = 0;
  int m_nAllocated = 0;
};

class RegistryScript {
 public:
  // Buffer capacities in characters, terminating null included.
  static constexpr int kTokenChars = 4096;
  static constexpr int kValueNameChars = 260;
  static constexpr int kKeyNameChars = 260;
  static constexpr int kVariableNameChars = 32;
  // Nested blocks beyond this depth fail the run instead of the stack.
  static constexpr int kMaxDepth = 128;

  explicit RegistryScript(ScriptVariables& vars) : m_vars(vars) {}
  RegistryScript(const RegistryScript&) = delete;
  RegistryScript& operator=(const RegistryScript&) = delete;

  // Loads resource nResID of type pszType from the file as a data file and runs it.
  HRESULT RunScriptResource(LPCWSTR pszPath, UINT nResID, LPCWSTR pszType, BOOL bRegister);
  // Runs converted (not yet expanded) script text: expansion, then the root blocks.
  HRESULT RunScriptText(LPCWSTR pszText, BOOL bRegister);
  // On success *ppszOut is a CoTaskMemAlloc'd copy of the text with every
  // %NAME% replaced and every %% made one %.
  HRESULT ExpandVariables(LPCWSTR pszSource, LPWSTR* ppszOut);

 private:
  static bool IsBlank(WCHAR ch);
  void SkipBlanks();
  bool AtClosingQuote() const;
  // Reads one token (quoted or bare) into a buffer of cchBuffer characters.
  HRESULT ReadTokenInto(LPWSTR pszBuffer, int cchBuffer);
  HRESULT ReadToken(LPWSTR pszToken) { return ReadTokenInto(pszToken, kTokenChars); }
  HRESULT ProcessBlock(LPWSTR pszToken, HKEY hkParent, BOOL bRegister, BOOL bSkip, int nDepth);
  HRESULT RegisterBlock(LPWSTR pszToken, HKEY hkParent, int nDepth);
  HRESULT RemoveBlock(LPWSTR pszToken, HKEY hkParent, BOOL bSkip, int nDepth);
  static LONG OpenForRemoval(RegKey& key, HKEY hkParent, LPCWSTR pszName);
  HRESULT WriteValue(HKEY hKey, LPCWSTR pszValueName, LPWSTR pszToken);
  HRESULT SkipValueAssignment(LPWSTR pszToken);
  static bool HasSubkeys(HKEY hKey);
  static bool HasNamedValues(HKEY hKey);
  HRESULT RunRootBlocks(BOOL bRegister);

  ScriptVariables& m_vars;
  LPCWSTR m_pszPos = nullptr;
  // Where the token last read (or attempted) begins, blanks skipped.
  LPCWSTR m_pszTokenStart = nullptr;
  // Where a failed register pass stopped (see RegisterBlock).
  LPCWSTR m_pszFailAt = nullptr;
  // When set, reading at or past it gives "}": the removal pass that takes
  // back a failed root block ends there.
  LPCWSTR m_pszLimit = nullptr;
  bool m_bValueStored = false;
  bool m_bTooDeep = false;
};
