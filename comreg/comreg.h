// COM registration support: the registration script interpreter and the
// registration of the program's type library.
#pragma once

#include "QelUPnP.h"

// One caller-supplied script variable; an array of them ends with a null name.
struct ScriptVariable {
  LPCWSTR pszName;
  LPCWSTR pszValue;
};

// Runs the "REGISTRY" resource nResID of the module's program file: the
// register pass when bRegister is nonzero, else the removal pass. "Module"
// (the program's path) is always defined; pVariables adds more (may be null).
HRESULT ApplyRegistryScript(CComPart* pModule, UINT nResID, BOOL bRegister, const ScriptVariable* pVariables);

// Registers (or removes) the module's class objects (all, or the one pCLSID
// names) and, when asked, its type library.
HRESULT RegisterModule(CComPart* pModule, BOOL bRegTypeLib, const CLSID* pCLSID);
HRESULT UnregisterModule(CComPart* pModule, BOOL bUnRegTypeLib, const CLSID* pCLSID);

// Registers (or removes) the type library of the module's program file; the
// index text, when given, is appended to the path ("\2" for resource 2).
HRESULT RegisterTypeLibrary(CComPart* pModule, LPCWSTR lpszIndex);
HRESULT UnregisterTypeLibrary(CComPart* pModule, LPCWSTR lpszIndex);
