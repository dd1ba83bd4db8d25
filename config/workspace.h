// Workspace reader helpers shared with the description builder: scoped
// holders for COM interfaces and BSTRs, object creation by class id or
// ProgID, and the read of one child element's text.
#pragma once

#include <windows.h>
#include <objbase.h>
#include <oleauto.h>
#include <msxml2.h>

// Holds one interface reference and releases it on every way out.
template <class T>
class CInterfaceHolder {
 public:
  CInterfaceHolder() = default;
  ~CInterfaceHolder() { Release(); }
  CInterfaceHolder(const CInterfaceHolder&) = delete;
  CInterfaceHolder& operator=(const CInterfaceHolder&) = delete;

  T* operator->() const { return m_p; }
  operator T*() const { return m_p; }
  // For out parameters: drops what is held and gives the slot.
  T** operator&() {
    Release();
    return &m_p;
  }
  void** AsOut() { return reinterpret_cast<void**>(&*this); }
  T* Detach() {
    T* p = m_p;
    m_p = nullptr;
    return p;
  }
  void Release() {
    if (m_p) {
      T* p = m_p;
      m_p = nullptr;
      p->Release();
    }
  }

 private:
  T* m_p = nullptr;
};

// Holds one BSTR and frees it on every way out; a null BSTR is empty.
class CBstrHolder {
 public:
  CBstrHolder() = default;
  explicit CBstrHolder(LPCOLESTR psz) : m_bstr(psz ? SysAllocString(psz) : nullptr) {}
  ~CBstrHolder() { Free(); }
  CBstrHolder(const CBstrHolder&) = delete;
  CBstrHolder& operator=(const CBstrHolder&) = delete;

  operator BSTR() const { return m_bstr; }
  BSTR* operator&() {
    Free();
    return &m_bstr;
  }
  // Takes ownership of b.
  void Attach(BSTR b) {
    Free();
    m_bstr = b;
  }
  BSTR Detach() {
    BSTR b = m_bstr;
    m_bstr = nullptr;
    return b;
  }
  void Free() {
    SysFreeString(m_bstr);
    m_bstr = nullptr;
  }

 private:
  BSTR m_bstr = nullptr;
};

// Creates an object of the class for IID_IUnknown, puts it in the running
// state with OleRun (the class context may admit a local server), queries it
// for riid and releases the first reference.
HRESULT CreateInstanceFromClsid(REFCLSID rclsid, DWORD dwClsContext, REFIID riid, void** ppv);
// The same for a class named by a ProgID, or by a class id string when the
// name begins with "{". A null name gives E_INVALIDARG.
HRESULT CreateInstanceFromName(LPCOLESTR pszName, DWORD dwClsContext, REFIID riid, void** ppv);

// Reads the text of the first child element `pszName` of `pNode` into a fresh
// BSTR: E_INVALIDARG for a missing node or name, the selection's result when
// it is not S_OK (S_FALSE when there is no such child), get_text's result when
// it is not S_OK, else S_OK.
HRESULT ReadChildText(IXMLDOMNode* pNode, LPCOLESTR pszName, BSTR* pbstrText);
