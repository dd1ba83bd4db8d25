// The device description document: built through the DOM from the identity
// and the controllers, saved as "QelUPnPDevice.xml" in the program directory.
#include <string>

#include "QelUPnP.h"
#include "workspace.h"

namespace {

typedef std::basic_string<WCHAR> WString;

// The description element of each identity member, in the order of DeviceIdentity.
const LPCOLESTR kDescriptionElements[DeviceIdentity::kCount] = {
    TEXT("UDN"),          TEXT("friendlyName"), TEXT("deviceType"),       TEXT("presentationURL"),
    TEXT("manufacturer"), TEXT("manufacturerURL"), TEXT("modelName"),     TEXT("modelNumber"),
    TEXT("modelDescription"), TEXT("modelURL"), TEXT("UPC"),              TEXT("serialNumber"),
};

WString TextOf(LPCWSTR psz) {
  WString str;
  if (psz)
    while (*psz) str.push_back(*psz++);
  return str;
}

// Creates the element `pszTag` and appends it to pParent; the appended node
// through ppAppended when wanted. Nothing is created under a null parent.
HRESULT AppendElement(IXMLDOMDocument* pDoc, LPCOLESTR pszTag, IXMLDOMNode* pParent, IXMLDOMNode** ppAppended) {
  if (!pParent) return E_INVALIDARG;
  CBstrHolder bstrTag(pszTag);
  if (!bstrTag) return E_OUTOFMEMORY;
  CInterfaceHolder<IXMLDOMElement> pElement;
  HRESULT hr = pDoc->createElement(bstrTag, &pElement);
  if (FAILED(hr)) return hr;
  CInterfaceHolder<IXMLDOMNode> pAppended;
  hr = pParent->appendChild(pElement, &pAppended);
  if (FAILED(hr)) return hr;
  if (ppAppended) *ppAppended = pAppended.Detach();
  return hr;
}

// Creates the element `pszTag` with the text pszText (null: no content),
// appends it as the last child of pParent and hands the appended node back
// through ppAppended when wanted.
HRESULT AppendTextElement(IXMLDOMDocument* pDoc, LPCOLESTR pszTag, LPCOLESTR pszText, IXMLDOMNode* pParent,
                          IXMLDOMNode** ppAppended) {
  if (ppAppended) *ppAppended = nullptr;
  if (!pParent) return E_INVALIDARG;
  CBstrHolder bstrTag(pszTag);
  if (!bstrTag) return E_OUTOFMEMORY;
  CInterfaceHolder<IXMLDOMElement> pElement;
  HRESULT hr = pDoc->createElement(bstrTag, &pElement);
  if (FAILED(hr)) return hr;
  CBstrHolder bstrText(pszText);
  if (pszText && !bstrText) return E_OUTOFMEMORY;
  hr = pElement->put_text(bstrText);
  if (FAILED(hr)) return hr;
  CInterfaceHolder<IXMLDOMNode> pAppended;
  hr = pParent->appendChild(pElement, &pAppended);
  if (FAILED(hr)) return hr;
  if (ppAppended) *ppAppended = pAppended.Detach();
  return hr;
}

}  // namespace

HRESULT CQelUPnP::CreateDDD(BSTR* pbstrDescription) {
  CInterfaceHolder<IXMLDOMDocument2> pDoc;
  HRESULT hr = CreateInstanceFromName(TEXT("MSXML.DOMDocument"), CLSCTX_ALL, IID_IXMLDOMDocument2, pDoc.AsOut());
  if (FAILED(hr)) return hr;

  // The parts of the tree are made without looking at the results: a part
  // that cannot be made is left out, with everything that would hang below it.
  {
    CBstrHolder bstrTarget(TEXT("xml"));
    CBstrHolder bstrData(TEXT("version='1.0' encoding='Shift_JIS'"));
    CInterfaceHolder<IXMLDOMProcessingInstruction> pDeclaration;
    if (SUCCEEDED(pDoc->createProcessingInstruction(bstrTarget, bstrData, &pDeclaration)) && pDeclaration)
      (void)pDoc->appendChild(pDeclaration, nullptr);
  }

  CInterfaceHolder<IXMLDOMNode> pRoot;
  {
    CBstrHolder bstrRoot(TEXT("root"));
    CInterfaceHolder<IXMLDOMElement> pRootElement;
    if (SUCCEEDED(pDoc->createElement(bstrRoot, &pRootElement)) && pRootElement &&
        SUCCEEDED(pDoc->appendChild(pRootElement, &pRoot)) && pRoot) {
      CBstrHolder bstrName(TEXT("xmlns"));
      CBstrHolder bstrNamespace(TEXT("urn:schemas-upnp-org:device-1-0"));
      VARIANT varNamespace;
      VariantInit(&varNamespace);
      varNamespace.vt = VT_BSTR;
      varNamespace.bstrVal = bstrNamespace;  // borrowed
      (void)pRootElement->setAttribute(bstrName, varNamespace);
    }
  }

  CInterfaceHolder<IXMLDOMNode> pSpecVersion;
  (void)AppendElement(pDoc, TEXT("specVersion"), pRoot, &pSpecVersion);
  (void)AppendTextElement(pDoc, TEXT("major"), TEXT("1"), pSpecVersion, nullptr);
  (void)AppendTextElement(pDoc, TEXT("minor"), TEXT("0"), pSpecVersion, nullptr);

  CInterfaceHolder<IXMLDOMNode> pDevice;
  (void)AppendElement(pDoc, TEXT("device"), pRoot, &pDevice);
  for (int i = 0; i < DeviceIdentity::kCount; ++i)
    (void)AppendTextElement(pDoc, kDescriptionElements[i], *m_identity.Member(i), pDevice, nullptr);

  CInterfaceHolder<IXMLDOMNode> pServiceList;
  (void)AppendTextElement(pDoc, TEXT("serviceList"), nullptr, pDevice, &pServiceList);

  for (int i = 0; i < m_controllers.GetSize(); ++i) {
    CInterfaceHolder<IXMLDOMNode> pService;
    (void)AppendTextElement(pDoc, TEXT("service"), nullptr, pServiceList, &pService);
    const WString strName = TextOf(m_controllers[i]);
    const WString strServiceType = TEXT("urn:schemas-upnp-org:service:") + strName + TEXT(":1");
    const WString strServiceId = TEXT("urn:upnp-org:serviceId:") + strName;
    (void)AppendTextElement(pDoc, TEXT("serviceType"), strServiceType.c_str(), pService, nullptr);
    (void)AppendTextElement(pDoc, TEXT("serviceId"), strServiceId.c_str(), pService, nullptr);
    (void)AppendTextElement(pDoc, TEXT("SCPDURL"), TEXT("QelUPnPService.xml"), pService, nullptr);
    (void)AppendTextElement(pDoc, TEXT("controlURL"), nullptr, pService, nullptr);
    (void)AppendTextElement(pDoc, TEXT("eventSubURL"), nullptr, pService, nullptr);
  }

  const WString strPath = TextOf(m_bstrModuleDir) + TEXT("QelUPnPDevice.xml");
  CBstrHolder bstrPath(strPath.c_str());
  if (!bstrPath) return E_OUTOFMEMORY;
  VARIANT varPath;
  VariantInit(&varPath);
  varPath.vt = VT_BSTR;
  varPath.bstrVal = bstrPath;  // borrowed
  hr = pDoc->save(varPath);
  if (FAILED(hr)) return hr;

  if (!pbstrDescription) return S_OK;
  BSTR bstrXml = nullptr;
  hr = pDoc->get_xml(&bstrXml);
  if (FAILED(hr)) {
    SysFreeString(bstrXml);
    return hr;
  }
  *pbstrDescription = bstrXml;
  return hr;
}
