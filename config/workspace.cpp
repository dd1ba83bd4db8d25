// The workspace file reader: the device identity and the enabled controllers.
#include "QelUPnP.h"
#include "workspace.h"

namespace {

// The workspace element of each identity member, in the order of DeviceIdentity.
const LPCOLESTR kIdentityElements[DeviceIdentity::kCount] = {
    TEXT("m_strUDN"),          TEXT("m_strFriendlyName"),  TEXT("m_strDeviceType"),
    TEXT("m_strPresentationURL"), TEXT("m_strManufacturer"), TEXT("m_strManufacturerURL"),
    TEXT("m_strModelName"),    TEXT("m_strModelNumber"),   TEXT("m_strModelDescription"),
    TEXT("m_strModelURL"),     TEXT("m_strUPC"),           TEXT("m_strSerialNumber"),
};

// "True" in any letter case, as the whole string. Only the ASCII letters fold:
// the word is English whatever the locale.
bool IsTrueText(BSTR bstrText) {
  static const WCHAR kTrue[] = TEXT("true");
  if (SysStringLen(bstrText) != 4) return false;
  for (int i = 0; i < 4; ++i) {
    WCHAR ch = bstrText[i];
    if (ch >= 'A' && ch <= 'Z') ch = static_cast<WCHAR>(ch - 'A' + 'a');
    if (ch != kTrue[i]) return false;
  }
  return true;
}

}  // namespace

HRESULT CreateInstanceFromClsid(REFCLSID rclsid, DWORD dwClsContext, REFIID riid, void** ppv) {
  if (!ppv) return E_POINTER;
  *ppv = nullptr;
  CInterfaceHolder<IUnknown> pUnknown;
  HRESULT hr = CoCreateInstance(rclsid, nullptr, dwClsContext, IID_IUnknown, pUnknown.AsOut());
  if (FAILED(hr)) return hr;
  if (!pUnknown) return E_NOINTERFACE;
  hr = OleRun(pUnknown);
  if (FAILED(hr)) return hr;
  return pUnknown->QueryInterface(riid, ppv);
}

HRESULT CreateInstanceFromName(LPCOLESTR pszName, DWORD dwClsContext, REFIID riid, void** ppv) {
  if (!pszName) return E_INVALIDARG;
  CLSID clsid;
  HRESULT hr = pszName[0] == '{' ? CLSIDFromString(pszName, &clsid) : CLSIDFromProgID(pszName, &clsid);
  if (FAILED(hr)) return hr;
  return CreateInstanceFromClsid(clsid, dwClsContext, riid, ppv);
}

HRESULT ReadChildText(IXMLDOMNode* pNode, LPCOLESTR pszName, BSTR* pbstrText) {
  if (!pNode || !pszName || !pbstrText) return E_INVALIDARG;
  CBstrHolder bstrName(pszName);
  if (!bstrName) return E_OUTOFMEMORY;
  CInterfaceHolder<IXMLDOMNode> pChild;
  HRESULT hr = pNode->selectSingleNode(bstrName, &pChild);
  if (hr != S_OK) return hr;
  if (!pChild) return S_FALSE;
  CBstrHolder bstrText;
  hr = pChild->get_text(&bstrText);
  if (hr != S_OK) return hr;
  // A successful get_text with no string is an empty text, not a missing one.
  if (!static_cast<BSTR>(bstrText)) {
    bstrText.Attach(SysAllocString(TEXT("")));
    if (!static_cast<BSTR>(bstrText)) return E_OUTOFMEMORY;
  }
  *pbstrText = bstrText.Detach();
  return S_OK;
}

HRESULT CQelUPnP::ReadCSQ() {
  // The settings fill m_szDataPath; its copy never reads past the buffer,
  // terminated or not.
  UINT cchPath = 0;
  while (cchPath < MAX_PATH && m_szDataPath[cchPath]) ++cchPath;
  CBstrHolder bstrPath;
  bstrPath.Attach(SysAllocStringLen(m_szDataPath, cchPath));
  if (!static_cast<BSTR>(bstrPath)) return E_OUTOFMEMORY;

  CInterfaceHolder<IXMLDOMDocument2> pDoc;
  HRESULT hr = CreateInstanceFromClsid(CLSID_DOMDocument40, CLSCTX_ALL, IID_IXMLDOMDocument2, pDoc.AsOut());
  if (FAILED(hr)) return hr;

  hr = pDoc->put_async(VARIANT_FALSE);
  if (FAILED(hr)) return hr;
  hr = pDoc->put_validateOnParse(VARIANT_TRUE);
  if (FAILED(hr)) return hr;

  VARIANT varPath;
  VariantInit(&varPath);
  varPath.vt = VT_BSTR;
  varPath.bstrVal = bstrPath;  // borrowed: bstrPath frees it
  // Only the flag counts; it starts false so that a load that fails without
  // setting it is not taken for a success.
  VARIANT_BOOL bLoaded = VARIANT_FALSE;
  (void)pDoc->load(varPath, &bLoaded);
  if (bLoaded == VARIANT_FALSE) return E_FAIL;

  CInterfaceHolder<IXMLDOMElement> pRoot;
  if (pDoc->get_documentElement(&pRoot) != S_OK || !pRoot) return E_POINTER;

  CBstrHolder bstrWorkspaceQuery(TEXT("INode"));
  CInterfaceHolder<IXMLDOMNode> pWorkspace;
  hr = pRoot->selectSingleNode(bstrWorkspaceQuery, &pWorkspace);
  if (FAILED(hr)) return hr;
  if (!pWorkspace) return E_INVALIDARG;

  CBstrHolder bstrIdentityQuery(TEXT("clsQelSQLWorkspace"));
  CInterfaceHolder<IXMLDOMNode> pIdentity;
  hr = pWorkspace->selectSingleNode(bstrIdentityQuery, &pIdentity);
  if (FAILED(hr)) return hr;

  if (pIdentity) {
    for (int i = 0; i < DeviceIdentity::kCount; ++i) {
      BSTR bstrValue = nullptr;
      if (ReadChildText(pIdentity, kIdentityElements[i], &bstrValue) != S_OK) continue;
      BSTR* pMember = m_identity.Member(i);
      // A value from an earlier read is replaced, not leaked.
      SysFreeString(*pMember);
      *pMember = bstrValue;
    }
  }

  CBstrHolder bstrControllerQuery(TEXT("INode[@Type='clsQelSQLController']"));
  CInterfaceHolder<IXMLDOMNodeList> pControllers;
  if (pWorkspace->selectNodes(bstrControllerQuery, &pControllers) != S_OK || !pControllers) return S_FALSE;

  LONG cControllers = 0;
  if (FAILED(pControllers->get_length(&cControllers))) cControllers = 0;
  CBstrHolder bstrControllerElement(TEXT("clsQelSQLController"));
  for (LONG i = 0; i < cControllers; ++i) {
    CInterfaceHolder<IXMLDOMNode> pNode;
    if (pControllers->get_item(i, &pNode) != S_OK || !pNode) continue;
    CInterfaceHolder<IXMLDOMNode> pController;
    if (pNode->selectSingleNode(bstrControllerElement, &pController) != S_OK || !pController) continue;
    CBstrHolder bstrEnabled;
    if (ReadChildText(pController, TEXT("m_bEnabled"), &bstrEnabled) != S_OK) continue;
    if (!IsTrueText(bstrEnabled)) continue;
    CBstrHolder bstrName;
    if (ReadChildText(pController, TEXT("RSQLCtrlName"), &bstrName) != S_OK) continue;
    m_controllers.Add(bstrName.Detach());
  }
  return S_OK;
}
