// The DOM document classes over libxml2: shared pieces of the implementation.
//
// Every node object wraps one xmlNode and shares ownership of the libxml2
// document it belongs to (DocHolder), so a node stays valid for as long as any
// object refers to it, even after its document object was released or loaded
// another file. Nodes are never freed while the document lives: a node taken
// out of the tree is kept on the holder's detached list and freed with it.
#pragma once

#include <libxml/tree.h>
#include <libxml/xpath.h>

#include <memory>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include <msxml2.h>

#include "qel/comobj.h"

QEL_COM_INTERFACE(IXMLDOMNode, IDispatch, IID_IXMLDOMNode);
QEL_COM_INTERFACE(IXMLDOMNodeList, IDispatch, IID_IXMLDOMNodeList);
QEL_COM_INTERFACE(IXMLDOMElement, IXMLDOMNode, IID_IXMLDOMElement);
QEL_COM_INTERFACE(IXMLDOMCharacterData, IXMLDOMNode, IID_IXMLDOMCharacterData);
QEL_COM_INTERFACE(IXMLDOMText, IXMLDOMCharacterData, IID_IXMLDOMText);
QEL_COM_INTERFACE(IXMLDOMProcessingInstruction, IXMLDOMNode, IID_IXMLDOMProcessingInstruction);
QEL_COM_INTERFACE(IXMLDOMAttribute, IXMLDOMNode, IID_IXMLDOMAttribute);
QEL_COM_INTERFACE(IXMLDOMParseError, IDispatch, IID_IXMLDOMParseError);
QEL_COM_INTERFACE(IXMLDOMDocument, IXMLDOMNode, IID_IXMLDOMDocument);
QEL_COM_INTERFACE(IXMLDOMDocument2, IXMLDOMDocument, IID_IXMLDOMDocument2);

namespace qel::msxml {

// Owns one libxml2 document, the nodes made for it that are not in its tree,
// and the compiled XPath expressions used on it.
class DocHolder {
 public:
  explicit DocHolder(xmlDocPtr doc) : m_doc(doc) {}
  ~DocHolder();
  DocHolder(const DocHolder&) = delete;
  DocHolder& operator=(const DocHolder&) = delete;

  xmlDocPtr Doc() const { return m_doc; }
  // A node outside the tree (new, or taken out): freed with the document
  // unless it is in the tree again by then.
  void KeepDetached(xmlNodePtr node) { m_detached.push_back(node); }
  // `node` now hangs below a parent, which frees it: it leaves the list of
  // detached nodes. A node is nearly always linked right after it was made,
  // so only the newest few entries are looked at; an entry left behind is
  // harmless (the destructor frees only nodes without a parent), and the list
  // no longer grows with every node of a document built in one go.
  void Attached(xmlNodePtr node) {
    const size_t last = m_detached.size() < 8 ? 0 : m_detached.size() - 8;
    for (size_t i = m_detached.size(); i > last; --i) {
      if (m_detached[i - 1] != node) continue;
      m_detached[i - 1] = m_detached.back();
      m_detached.pop_back();
      return;
    }
  }

  // Evaluates `query` with `context` as context node; the matching nodes in
  // document order. E_FAIL for a bad expression or one that gives no node set.
  [[nodiscard]] HRESULT Select(xmlNodePtr context, std::string_view query, std::vector<xmlNodePtr>* out);

  bool m_preserveWhiteSpace = false;
  // Set for a loaded document: its elements are numbered in document order
  // before the first query, which lets the query engine sort results fast.
  // Documents that are only walked, never queried, skip the pass.
  bool m_numberBeforeQuery = false;

 private:
  xmlDocPtr m_doc;
  std::vector<xmlNodePtr> m_detached;
  xmlXPathContextPtr m_xpath = nullptr;
  std::unordered_map<std::string, xmlXPathCompExprPtr> m_compiled;
};
using DocRef = std::shared_ptr<DocHolder>;

// What the implementation needs of any node object handed back to it.
struct NodeAccess {
  virtual xmlNodePtr XmlNode() = 0;
  virtual DocRef Holder() = 0;

 protected:
  ~NodeAccess() = default;
};
// Answers for NodeAccess in QueryInterface; the pointer is borrowed (no AddRef).
extern const IID kNodeAccessIid;
NodeAccess* AccessOf(IUnknown* p);

// Text conversions between BSTRs and libxml2's UTF-8.
std::string Utf8Of(BSTR s);
BSTR BstrOf(std::string_view utf8);
inline BSTR BstrOf(const xmlChar* utf8) {
  return BstrOf(utf8 ? std::string_view(reinterpret_cast<const char*>(utf8)) : std::string_view());
}
inline const xmlChar* Xc(const std::string& s) { return reinterpret_cast<const xmlChar*>(s.c_str()); }
// False when the text holds a character XML 1.0 cannot carry (most C0 controls).
bool IsXmlText(std::string_view utf8);
// The text of a variant as a string (VT_BSTR, numbers, booleans); false for other types.
bool VariantText(const VARIANT& v, std::string* out);

// The object for `node`, typed by its kind (element, text, attribute, ...).
[[nodiscard]] HRESULT WrapNode(const DocRef& holder, xmlNodePtr node, IXMLDOMNode** out);
[[nodiscard]] HRESULT MakeNodeList(const DocRef& holder, std::vector<xmlNodePtr> nodes, IXMLDOMNodeList** out);

// The DOM's text of a node: descendant text concatenated, leading and trailing
// white space trimmed unless the document preserves white space.
std::string NodeText(const DocHolder& holder, xmlNodePtr node);
// Serialises a node (a document with its children) as UTF-8 text.
[[nodiscard]] HRESULT NodeXml(xmlNodePtr node, std::string* out);

// The operations shared by every node kind, on the node and its document.
namespace node_ops {
HRESULT get_nodeName(xmlNodePtr n, BSTR* name);
HRESULT get_nodeValue(xmlNodePtr n, VARIANT* value);
HRESULT put_nodeValue(xmlNodePtr n, VARIANT value);
HRESULT get_nodeType(xmlNodePtr n, DOMNodeType* type);
HRESULT get_parentNode(const DocRef& h, xmlNodePtr n, IXMLDOMNode** parent);
HRESULT get_childNodes(const DocRef& h, xmlNodePtr n, IXMLDOMNodeList** list);
HRESULT get_firstChild(const DocRef& h, xmlNodePtr n, IXMLDOMNode** child);
HRESULT get_lastChild(const DocRef& h, xmlNodePtr n, IXMLDOMNode** child);
HRESULT get_previousSibling(const DocRef& h, xmlNodePtr n, IXMLDOMNode** sibling);
HRESULT get_nextSibling(const DocRef& h, xmlNodePtr n, IXMLDOMNode** sibling);
HRESULT removeChild(const DocRef& h, xmlNodePtr n, IXMLDOMNode* child, IXMLDOMNode** oldChild);
HRESULT appendChild(const DocRef& h, xmlNodePtr n, IXMLDOMNode* newChild, IXMLDOMNode** outNewChild);
HRESULT hasChildNodes(xmlNodePtr n, VARIANT_BOOL* has);
HRESULT get_nodeTypeString(xmlNodePtr n, BSTR* type);
HRESULT get_text(const DocRef& h, xmlNodePtr n, BSTR* text);
HRESULT put_text(const DocRef& h, xmlNodePtr n, BSTR text);
HRESULT get_xml(xmlNodePtr n, BSTR* xml);
HRESULT selectNodes(const DocRef& h, xmlNodePtr n, BSTR query, IXMLDOMNodeList** list);
HRESULT selectSingleNode(const DocRef& h, xmlNodePtr n, BSTR query, IXMLDOMNode** node);
HRESULT get_namespaceURI(xmlNodePtr n, BSTR* uri);
HRESULT get_prefix(xmlNodePtr n, BSTR* prefix);
HRESULT get_baseName(xmlNodePtr n, BSTR* name);
}  // namespace node_ops

// IDispatch for objects that offer no type information: late binding is not
// supported, early-bound calls are.
template <class Derived, class... Interfaces>
class DispatchObject : public ComObject<Derived, Interfaces...> {
 public:
  HRESULT STDMETHODCALLTYPE GetTypeInfoCount(UINT* pctinfo) override {
    if (!pctinfo) return E_POINTER;
    *pctinfo = 0;
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE GetTypeInfo(UINT, LCID, ITypeInfo** ppTInfo) override {
    if (ppTInfo) *ppTInfo = nullptr;
    return DISP_E_BADINDEX;
  }
  HRESULT STDMETHODCALLTYPE GetIDsOfNames(REFIID, LPOLESTR*, UINT, LCID, DISPID*) override {
    return DISP_E_UNKNOWNNAME;
  }
  HRESULT STDMETHODCALLTYPE Invoke(DISPID, REFIID, LCID, WORD, DISPPARAMS*, VARIANT*, EXCEPINFO*, UINT*) override {
    return DISP_E_MEMBERNOTFOUND;
  }
};

// IXMLDOMNode for every node class. Derived provides XmlNode() and Holder().
template <class Derived, class Iface>
class NodeBase : public DispatchObject<Derived, Iface>, public NodeAccess {
 public:
  HRESULT QueryInterfaceExtra(REFIID riid, void** ppv) {
    if (riid == kNodeAccessIid) {
      *ppv = static_cast<NodeAccess*>(this);
      return S_OK;
    }
    return E_NOINTERFACE;
  }

  HRESULT STDMETHODCALLTYPE get_nodeName(BSTR* name) override { return node_ops::get_nodeName(N(), name); }
  HRESULT STDMETHODCALLTYPE get_nodeValue(VARIANT* value) override { return node_ops::get_nodeValue(N(), value); }
  HRESULT STDMETHODCALLTYPE put_nodeValue(VARIANT value) override { return node_ops::put_nodeValue(N(), value); }
  HRESULT STDMETHODCALLTYPE get_nodeType(DOMNodeType* type) override { return node_ops::get_nodeType(N(), type); }
  HRESULT STDMETHODCALLTYPE get_parentNode(IXMLDOMNode** p) override { return node_ops::get_parentNode(H(), N(), p); }
  HRESULT STDMETHODCALLTYPE get_childNodes(IXMLDOMNodeList** l) override {
    return node_ops::get_childNodes(H(), N(), l);
  }
  HRESULT STDMETHODCALLTYPE get_firstChild(IXMLDOMNode** c) override { return node_ops::get_firstChild(H(), N(), c); }
  HRESULT STDMETHODCALLTYPE get_lastChild(IXMLDOMNode** c) override { return node_ops::get_lastChild(H(), N(), c); }
  HRESULT STDMETHODCALLTYPE get_previousSibling(IXMLDOMNode** s) override {
    return node_ops::get_previousSibling(H(), N(), s);
  }
  HRESULT STDMETHODCALLTYPE get_nextSibling(IXMLDOMNode** s) override {
    return node_ops::get_nextSibling(H(), N(), s);
  }
  HRESULT STDMETHODCALLTYPE get_attributes(IXMLDOMNamedNodeMap** m) override { return Unsupported(m); }
  HRESULT STDMETHODCALLTYPE insertBefore(IXMLDOMNode*, VARIANT, IXMLDOMNode** out) override {
    return Unsupported(out);
  }
  HRESULT STDMETHODCALLTYPE replaceChild(IXMLDOMNode*, IXMLDOMNode*, IXMLDOMNode** out) override {
    return Unsupported(out);
  }
  HRESULT STDMETHODCALLTYPE removeChild(IXMLDOMNode* child, IXMLDOMNode** old) override {
    return node_ops::removeChild(H(), N(), child, old);
  }
  HRESULT STDMETHODCALLTYPE appendChild(IXMLDOMNode* child, IXMLDOMNode** out) override {
    return node_ops::appendChild(H(), N(), child, out);
  }
  HRESULT STDMETHODCALLTYPE hasChildNodes(VARIANT_BOOL* has) override { return node_ops::hasChildNodes(N(), has); }
  HRESULT STDMETHODCALLTYPE get_ownerDocument(IXMLDOMDocument** d) override { return Unsupported(d); }
  HRESULT STDMETHODCALLTYPE cloneNode(VARIANT_BOOL, IXMLDOMNode** c) override { return Unsupported(c); }
  HRESULT STDMETHODCALLTYPE get_nodeTypeString(BSTR* t) override { return node_ops::get_nodeTypeString(N(), t); }
  HRESULT STDMETHODCALLTYPE get_text(BSTR* text) override { return node_ops::get_text(H(), N(), text); }
  HRESULT STDMETHODCALLTYPE put_text(BSTR text) override { return node_ops::put_text(H(), N(), text); }
  HRESULT STDMETHODCALLTYPE get_specified(VARIANT_BOOL* s) override {
    if (!s) return E_INVALIDARG;
    *s = VARIANT_TRUE;
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE get_definition(IXMLDOMNode** d) override { return Unsupported(d); }
  HRESULT STDMETHODCALLTYPE get_nodeTypedValue(VARIANT* v) override { return get_nodeValue(v); }
  HRESULT STDMETHODCALLTYPE put_nodeTypedValue(VARIANT v) override { return put_nodeValue(v); }
  HRESULT STDMETHODCALLTYPE get_dataType(VARIANT* v) override {
    if (!v) return E_INVALIDARG;
    v->vt = VT_NULL;
    return S_FALSE;
  }
  HRESULT STDMETHODCALLTYPE put_dataType(BSTR) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE get_xml(BSTR* xml) override { return node_ops::get_xml(N(), xml); }
  HRESULT STDMETHODCALLTYPE transformNode(IXMLDOMNode*, BSTR* out) override { return Unsupported(out); }
  HRESULT STDMETHODCALLTYPE selectNodes(BSTR q, IXMLDOMNodeList** l) override {
    return node_ops::selectNodes(H(), N(), q, l);
  }
  HRESULT STDMETHODCALLTYPE selectSingleNode(BSTR q, IXMLDOMNode** n) override {
    return node_ops::selectSingleNode(H(), N(), q, n);
  }
  HRESULT STDMETHODCALLTYPE get_parsed(VARIANT_BOOL* p) override {
    if (!p) return E_INVALIDARG;
    *p = VARIANT_TRUE;
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE get_namespaceURI(BSTR* u) override { return node_ops::get_namespaceURI(N(), u); }
  HRESULT STDMETHODCALLTYPE get_prefix(BSTR* p) override { return node_ops::get_prefix(N(), p); }
  HRESULT STDMETHODCALLTYPE get_baseName(BSTR* b) override { return node_ops::get_baseName(N(), b); }
  HRESULT STDMETHODCALLTYPE transformNodeToObject(IXMLDOMNode*, VARIANT) override { return E_NOTIMPL; }

 protected:
  template <class T>
  static HRESULT Unsupported(T** out) {
    if (out) *out = nullptr;
    return E_NOTIMPL;
  }
  xmlNodePtr N() { return static_cast<Derived*>(this)->XmlNode(); }
  DocRef H() { return static_cast<Derived*>(this)->Holder(); }
};

// A node of the tree (anything but the document object itself).
template <class Derived, class Iface>
class TreeNode : public NodeBase<Derived, Iface> {
 public:
  TreeNode(DocRef holder, xmlNodePtr node) : m_holder(std::move(holder)), m_node(node) {}
  xmlNodePtr XmlNode() override { return m_node; }
  DocRef Holder() override { return m_holder; }

 protected:
  DocRef m_holder;
  xmlNodePtr m_node;
};

// The document object of both DOM document classes.
ComPtr<IXMLDOMDocument2> MakeDocument();

}  // namespace qel::msxml
