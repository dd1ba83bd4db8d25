// Node, element, text, processing-instruction and attribute objects, node
// lists, and the operations they share.
#include <libxml/entities.h>
#include <libxml/xmlerror.h>
#include <libxml/xmlsave.h>
#include <libxml/xpathInternals.h>

#include <algorithm>
#include <cstdio>
#include <cstring>

#include "dom.h"
#include "qel/fault.h"
#include "qel/oleaut_api.h"
#include "qel/wstr.h"

namespace qel::msxml {

// {7C3A5E12-9B41-4D0E-A8F6-2E51C0D94B37}: private to this library.
const IID kNodeAccessIid = {0x7C3A5E12, 0x9B41, 0x4D0E, {0xA8, 0xF6, 0x2E, 0x51, 0xC0, 0xD9, 0x4B, 0x37}};

NodeAccess* AccessOf(IUnknown* p) {
  if (!p) return nullptr;
  void* pv = nullptr;
  if (FAILED(p->QueryInterface(kNodeAccessIid, &pv))) return nullptr;
  return static_cast<NodeAccess*>(pv);
}

DocHolder::~DocHolder() {
  // Read every parent link before freeing anything: a detached node may hang
  // below another detached node, which frees it with itself.
  std::vector<xmlNodePtr> roots;
  for (xmlNodePtr n : m_detached)
    if (n->parent == nullptr) roots.push_back(n);
  std::sort(roots.begin(), roots.end());
  roots.erase(std::unique(roots.begin(), roots.end()), roots.end());
  for (xmlNodePtr n : roots) xmlFreeNode(n);
  for (auto& [text, expr] : m_compiled) xmlXPathFreeCompExpr(expr);
  if (m_xpath) xmlXPathFreeContext(m_xpath);
  if (m_doc) xmlFreeDoc(m_doc);
}

namespace {

void SilentXPathError(void*, xmlErrorPtr) {}

}  // namespace

HRESULT DocHolder::Select(xmlNodePtr context, std::string_view query, std::vector<xmlNodePtr>* out) {
  out->clear();
  if (!m_xpath) {
    m_xpath = xmlXPathNewContext(m_doc);
    if (!m_xpath) return E_OUTOFMEMORY;
    m_xpath->error = &SilentXPathError;
  }
  std::string key(query);
  xmlXPathCompExprPtr expr = nullptr;
  bool cached = true;
  if (auto it = m_compiled.find(key); it != m_compiled.end()) {
    expr = it->second;
  } else {
    expr = xmlXPathCtxtCompile(m_xpath, Xc(key));
    if (!expr) return E_FAIL;
    // The program asks the same few queries over and over; a bounded cache
    // keeps a stream of distinct queries from growing it without end.
    cached = m_compiled.size() < 64;
    if (cached) m_compiled.emplace(std::move(key), expr);
  }
  if (m_numberBeforeQuery) {
    xmlXPathOrderDocElems(m_doc);
    m_numberBeforeQuery = false;
  }
  m_xpath->node = context;
  m_xpath->doc = m_doc;
  xmlXPathObjectPtr result = xmlXPathCompiledEval(expr, m_xpath);
  if (!cached) xmlXPathFreeCompExpr(expr);
  if (!result) return E_FAIL;
  HRESULT hr = S_OK;
  if (result->type != XPATH_NODESET) {
    hr = E_FAIL;  // "Expression does not return a DOM node."
  } else if (xmlNodeSetPtr set = result->nodesetval) {
    xmlXPathNodeSetSort(set);
    out->reserve(static_cast<size_t>(set->nodeNr));
    for (int i = 0; i < set->nodeNr; ++i) {
      // Namespace nodes are copies owned by the result, and no DOM node.
      if (set->nodeTab[i]->type != XML_NAMESPACE_DECL) out->push_back(set->nodeTab[i]);
    }
  }
  xmlXPathFreeObject(result);
  return hr;
}

std::string Utf8Of(BSTR s) {
  if (!s) return {};
  return ToUtf8(std::u16string_view(s, SysStringLen(s)));
}

BSTR BstrOf(std::string_view utf8) {
  // Decoded straight into a string of the exact length: a large text (a
  // whole document's XML) exists once in UTF-8 and once in the result.
  const std::size_t units = Utf16LengthOf(utf8);
  if (units > 0x7FFFFFFEu / sizeof(OLECHAR)) return nullptr;  // over what a BSTR can count
  BSTR s = SysAllocStringLen(nullptr, static_cast<UINT>(units));
  if (s) FromUtf8Into(utf8, s);
  return s;
}

bool IsXmlText(std::string_view utf8) {
  // One pass: control characters other than tab and line ends, and U+FFFE
  // and U+FFFF (EF BF BE / EF BF BF), which are not characters either.
  const auto* p = reinterpret_cast<const unsigned char*>(utf8.data());
  const size_t n = utf8.size();
  for (size_t i = 0; i < n; ++i) {
    unsigned char c = p[i];
    if (c >= 0x20 && c != 0xEF) continue;
    if (c < 0x20) {
      if (c != '\t' && c != '\n' && c != '\r') return false;
    } else if (i + 2 < n && p[i + 1] == 0xBF && (p[i + 2] & 0xFE) == 0xBE) {
      return false;
    }
  }
  return true;
}

bool VariantText(const VARIANT& v, std::string* out) {
  char buf[64];
  switch (v.vt) {
    case VT_BSTR: *out = Utf8Of(v.bstrVal); return true;
    case VT_BSTR | VT_BYREF: *out = v.pbstrVal ? Utf8Of(*v.pbstrVal) : std::string(); return true;
    case VT_VARIANT | VT_BYREF: return v.pvarVal && VariantText(*v.pvarVal, out);
    case VT_BOOL: *out = v.boolVal ? "true" : "false"; return true;
    case VT_I2: std::snprintf(buf, sizeof buf, "%d", v.iVal); break;
    case VT_I4: case VT_INT: std::snprintf(buf, sizeof buf, "%d", static_cast<int>(v.lVal)); break;
    case VT_UI4: case VT_UINT: std::snprintf(buf, sizeof buf, "%u", static_cast<unsigned>(v.ulVal)); break;
    case VT_I8: std::snprintf(buf, sizeof buf, "%lld", static_cast<long long>(v.llVal)); break;
    case VT_UI8: std::snprintf(buf, sizeof buf, "%llu", static_cast<unsigned long long>(v.ullVal)); break;
    case VT_R8: std::snprintf(buf, sizeof buf, "%.17g", v.dblVal); break;
    default: return false;
  }
  *out = buf;
  return true;
}

namespace {

bool IsXmlSpace(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r'; }

void AppendText(xmlDocPtr doc, xmlNodePtr first, std::string* out, int depth) {
  // Entity contents are walked through their references; libxml2 refuses
  // reference loops and amplification at parse time, the depth bound guards
  // against anything it let through.
  if (depth > 40) return;
  for (xmlNodePtr n = first; n; n = n->next) {
    switch (n->type) {
      case XML_TEXT_NODE:
      case XML_CDATA_SECTION_NODE:
        if (n->content) out->append(reinterpret_cast<const char*>(n->content));
        break;
      case XML_ELEMENT_NODE:
        AppendText(doc, n->children, out, depth + 1);
        break;
      case XML_ENTITY_REF_NODE:
        if (xmlEntityPtr ent = xmlGetDocEntity(doc, n->name)) {
          if (ent->children)
            AppendText(doc, ent->children, out, depth + 1);
          else if (ent->etype == XML_INTERNAL_PREDEFINED_ENTITY && ent->content)
            out->append(reinterpret_cast<const char*>(ent->content));
        }
        break;
      default:
        break;  // comments and processing instructions carry no text
    }
  }
}

}  // namespace

std::string NodeText(const DocHolder& holder, xmlNodePtr node) {
  std::string text;
  switch (node->type) {
    case XML_TEXT_NODE:
    case XML_CDATA_SECTION_NODE:
    case XML_COMMENT_NODE:
    case XML_PI_NODE:
      if (node->content) text = reinterpret_cast<const char*>(node->content);
      break;
    case XML_ATTRIBUTE_NODE: {
      xmlChar* v = xmlNodeGetContent(node);
      if (v) text = reinterpret_cast<const char*>(v);
      xmlFree(v);
      break;
    }
    case XML_DOCUMENT_NODE:
    case XML_ELEMENT_NODE:
    case XML_DOCUMENT_FRAG_NODE:
      AppendText(holder.Doc(), node->children, &text, 0);
      break;
    case XML_ENTITY_REF_NODE: {
      // Walk the reference alone, without its following siblings.
      xmlNodePtr saved = node->next;
      node->next = nullptr;
      AppendText(holder.Doc(), node, &text, 0);
      node->next = saved;
      break;
    }
    default:
      break;
  }
  if (!holder.m_preserveWhiteSpace) {
    size_t b = 0, e = text.size();
    while (b < e && IsXmlSpace(text[b])) ++b;
    while (e > b && IsXmlSpace(text[e - 1])) --e;
    text = text.substr(b, e - b);
  }
  return text;
}

namespace {

std::string PiDataWithoutEncoding(std::string_view data) {
  // The wide-character text of a document is no longer in the declared
  // encoding, so its declaration keeps version and standalone only.
  std::string out(data);
  size_t p = out.find("encoding");
  if (p == std::string::npos) return out;
  size_t q = out.find_first_of("'\"", p);
  if (q == std::string::npos) return out;
  size_t r = out.find(out[q], q + 1);
  if (r == std::string::npos) return out;
  size_t start = p;
  while (start > 0 && IsXmlSpace(out[start - 1])) --start;
  out.erase(start, r + 1 - start);
  return out;
}

int AppendToString(void* context, const char* buffer, int len) {
  // Called from the serialiser's C code: no exception may leave here.
  try {
    static_cast<std::string*>(context)->append(buffer, static_cast<size_t>(len));
  } catch (...) {
    return -1;
  }
  return len;
}

// Appends the node's XML to `out`, written there directly by the serialiser.
HRESULT DumpTree(xmlNodePtr node, std::string* out) {
  xmlSaveCtxtPtr save = xmlSaveToIO(&AppendToString, nullptr, out, "UTF-8", XML_SAVE_NO_DECL | XML_SAVE_AS_XML);
  if (!save) return E_OUTOFMEMORY;
  const size_t before = out->size();
  long written = xmlSaveTree(save, node);
  int closed = xmlSaveClose(save);
  if (written < 0 || closed < 0) {
    out->resize(before);
    return E_FAIL;
  }
  return S_OK;
}

}  // namespace

HRESULT NodeXml(xmlNodePtr node, std::string* out) {
  out->clear();
  if (node->type != XML_DOCUMENT_NODE) return DumpTree(node, out);
  for (xmlNodePtr c = node->children; c; c = c->next) {
    if (c->type == XML_PI_NODE && xmlStrEqual(c->name, BAD_CAST "xml")) {
      out->append("<?xml ");
      out->append(PiDataWithoutEncoding(c->content ? reinterpret_cast<const char*>(c->content) : ""));
      out->append("?>");
    } else if (HRESULT hr = DumpTree(c, out); FAILED(hr)) {
      return hr;
    }
    out->append("\r\n");
  }
  return S_OK;
}

// ---- node objects ---------------------------------------------------------

namespace {

class CNode final : public TreeNode<CNode, IXMLDOMNode> {
 public:
  using TreeNode::TreeNode;
};

class CElement final : public TreeNode<CElement, IXMLDOMElement> {
 public:
  using TreeNode::TreeNode;

  HRESULT STDMETHODCALLTYPE get_tagName(BSTR* tagName) override { return get_nodeName(tagName); }
  HRESULT STDMETHODCALLTYPE getAttribute(BSTR name, VARIANT* value) override {
    if (!name || !value) return E_INVALIDARG;
    value->vt = VT_NULL;
    std::string n = Utf8Of(name);
    xmlChar* v = xmlGetProp(m_node, Xc(n));
    if (!v) return S_FALSE;
    value->bstrVal = BstrOf(v);
    xmlFree(v);
    if (!value->bstrVal) return E_OUTOFMEMORY;
    value->vt = VT_BSTR;
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE setAttribute(BSTR name, VARIANT value) override {
    QEL_FAULT_POINT("IXMLDOMElement::setAttribute", c) return static_cast<HRESULT>(c);
    if (!name || !*name) return E_INVALIDARG;
    std::string n = Utf8Of(name), v;
    if (!VariantText(value, &v)) return DISP_E_TYPEMISMATCH;
    if (xmlValidateQName(Xc(n), 0) != 0) return E_FAIL;
    if (!IsXmlText(v)) return E_INVALIDARG;
    return xmlSetProp(m_node, Xc(n), Xc(v)) ? S_OK : E_OUTOFMEMORY;
  }
  HRESULT STDMETHODCALLTYPE removeAttribute(BSTR name) override {
    if (!name) return E_INVALIDARG;
    std::string n = Utf8Of(name);
    xmlAttrPtr attr = xmlHasProp(m_node, Xc(n));
    if (!attr || attr->type != XML_ATTRIBUTE_NODE) return S_FALSE;
    // An attribute object may still refer to it: keep it until the document goes.
    xmlUnlinkNode(reinterpret_cast<xmlNodePtr>(attr));
    m_holder->KeepDetached(reinterpret_cast<xmlNodePtr>(attr));
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE getAttributeNode(BSTR name, IXMLDOMAttribute** out) override {
    if (!out) return E_INVALIDARG;
    *out = nullptr;
    if (!name) return E_INVALIDARG;
    std::string n = Utf8Of(name);
    xmlAttrPtr attr = xmlHasProp(m_node, Xc(n));
    if (!attr || attr->type != XML_ATTRIBUTE_NODE) return S_FALSE;
    ComPtr<IXMLDOMNode> node;
    HRESULT hr = WrapNode(m_holder, reinterpret_cast<xmlNodePtr>(attr), node.Put());
    if (FAILED(hr)) return hr;
    return node->QueryInterface(IID_IXMLDOMAttribute, reinterpret_cast<void**>(out));
  }
  HRESULT STDMETHODCALLTYPE setAttributeNode(IXMLDOMAttribute*, IXMLDOMAttribute** out) override {
    return Unsupported(out);
  }
  HRESULT STDMETHODCALLTYPE removeAttributeNode(IXMLDOMAttribute*, IXMLDOMAttribute** out) override {
    return Unsupported(out);
  }
  HRESULT STDMETHODCALLTYPE getElementsByTagName(BSTR tagName, IXMLDOMNodeList** out) override {
    if (!out) return E_INVALIDARG;
    *out = nullptr;
    if (!tagName) return E_INVALIDARG;
    std::string t = Utf8Of(tagName);
    std::vector<xmlNodePtr> nodes;
    for (xmlNodePtr n = m_node->children; n;) {
      if (n->type == XML_ELEMENT_NODE && (t == "*" || xmlStrEqual(n->name, Xc(t)))) nodes.push_back(n);
      if (n->type == XML_ELEMENT_NODE && n->children) {
        n = n->children;
        continue;
      }
      while (n && !n->next && n != m_node) n = n->parent;
      if (!n || n == m_node) break;
      n = n->next;
    }
    return MakeNodeList(m_holder, std::move(nodes), out);
  }
  HRESULT STDMETHODCALLTYPE normalize() override { return S_OK; }
};

template <class Derived, class Iface>
class CharacterData : public TreeNode<Derived, Iface> {
 public:
  using TreeNode<Derived, Iface>::TreeNode;

  HRESULT STDMETHODCALLTYPE get_data(BSTR* data) override {
    if (!data) return E_INVALIDARG;
    *data = BstrOf(this->m_node->content);
    return *data ? S_OK : E_OUTOFMEMORY;
  }
  HRESULT STDMETHODCALLTYPE put_data(BSTR data) override {
    std::string d = Utf8Of(data);
    if (!IsXmlText(d)) return E_INVALIDARG;
    xmlNodeSetContentLen(this->m_node, Xc(d), static_cast<int>(d.size()));
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE get_length(LONG* length) override {
    if (!length) return E_INVALIDARG;
    *length = static_cast<LONG>(FromUtf8(this->m_node->content ? reinterpret_cast<const char*>(this->m_node->content) : "").size());
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE substringData(LONG offset, LONG count, BSTR* data) override {
    if (!data) return E_INVALIDARG;
    *data = nullptr;
    u16 all = FromUtf8(this->m_node->content ? reinterpret_cast<const char*>(this->m_node->content) : "");
    if (offset < 0 || count < 0 || static_cast<size_t>(offset) > all.size()) return E_INVALIDARG;
    u16 part = all.substr(static_cast<size_t>(offset), static_cast<size_t>(count));
    *data = SysAllocStringLen(part.data(), static_cast<UINT>(part.size()));
    return *data ? S_OK : E_OUTOFMEMORY;
  }
  HRESULT STDMETHODCALLTYPE appendData(BSTR data) override {
    std::string d = Utf8Of(data);
    if (!IsXmlText(d)) return E_INVALIDARG;
    xmlNodeAddContentLen(this->m_node, Xc(d), static_cast<int>(d.size()));
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE insertData(LONG, BSTR) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE deleteData(LONG, LONG) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE replaceData(LONG, LONG, BSTR) override { return E_NOTIMPL; }
};

class CText final : public CharacterData<CText, IXMLDOMText> {
 public:
  using CharacterData::CharacterData;
  HRESULT STDMETHODCALLTYPE splitText(LONG, IXMLDOMText** out) override { return Unsupported(out); }
};

class CProcessingInstruction final : public TreeNode<CProcessingInstruction, IXMLDOMProcessingInstruction> {
 public:
  using TreeNode::TreeNode;
  HRESULT STDMETHODCALLTYPE get_target(BSTR* name) override { return get_nodeName(name); }
  HRESULT STDMETHODCALLTYPE get_data(BSTR* value) override {
    if (!value) return E_INVALIDARG;
    *value = BstrOf(m_node->content);
    return *value ? S_OK : E_OUTOFMEMORY;
  }
  HRESULT STDMETHODCALLTYPE put_data(BSTR value) override { return put_text(value); }
};

class CAttribute final : public TreeNode<CAttribute, IXMLDOMAttribute> {
 public:
  using TreeNode::TreeNode;
  HRESULT STDMETHODCALLTYPE get_name(BSTR* name) override { return get_nodeName(name); }
  HRESULT STDMETHODCALLTYPE get_value(VARIANT* value) override { return get_nodeValue(value); }
  HRESULT STDMETHODCALLTYPE put_value(VARIANT value) override { return put_nodeValue(value); }
};

class CNodeList final : public DispatchObject<CNodeList, IXMLDOMNodeList> {
 public:
  CNodeList(DocRef holder, std::vector<xmlNodePtr> nodes) : m_holder(std::move(holder)), m_nodes(std::move(nodes)) {}

  HRESULT STDMETHODCALLTYPE get_item(LONG index, IXMLDOMNode** item) override {
    QEL_FAULT_POINT("IXMLDOMNodeList::get_item", c) return static_cast<HRESULT>(c);
    if (!item) return E_INVALIDARG;
    *item = nullptr;
    if (index < 0 || static_cast<size_t>(index) >= m_nodes.size()) return S_FALSE;
    return WrapNode(m_holder, m_nodes[static_cast<size_t>(index)], item);
  }
  HRESULT STDMETHODCALLTYPE get_length(LONG* length) override {
    QEL_FAULT_POINT("IXMLDOMNodeList::get_length", c) return static_cast<HRESULT>(c);
    if (!length) return E_INVALIDARG;
    *length = static_cast<LONG>(m_nodes.size());
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE nextNode(IXMLDOMNode** item) override {
    if (!item) return E_INVALIDARG;
    *item = nullptr;
    if (m_cursor >= m_nodes.size()) return S_FALSE;
    return WrapNode(m_holder, m_nodes[m_cursor++], item);
  }
  HRESULT STDMETHODCALLTYPE reset() override {
    m_cursor = 0;
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE get__newEnum(IUnknown** out) override {
    if (out) *out = nullptr;
    return E_NOTIMPL;
  }

 private:
  DocRef m_holder;
  std::vector<xmlNodePtr> m_nodes;
  size_t m_cursor = 0;
};

template <class T, class I>
HRESULT Hand(const DocRef& holder, xmlNodePtr node, IXMLDOMNode** out) {
  ComPtr<T> obj = MakeComObject<T>(holder, node);
  if (!obj) return E_OUTOFMEMORY;
  *out = static_cast<I*>(obj.Detach());
  return S_OK;
}

bool TakesChildren(xmlNodePtr n) {
  return n->type == XML_ELEMENT_NODE || n->type == XML_DOCUMENT_NODE || n->type == XML_DOCUMENT_FRAG_NODE;
}

}  // namespace

HRESULT WrapNode(const DocRef& holder, xmlNodePtr node, IXMLDOMNode** out) {
  if (!out) return E_INVALIDARG;
  *out = nullptr;
  switch (node->type) {
    case XML_ELEMENT_NODE: return Hand<CElement, IXMLDOMElement>(holder, node, out);
    case XML_TEXT_NODE:
    case XML_CDATA_SECTION_NODE: return Hand<CText, IXMLDOMText>(holder, node, out);
    case XML_PI_NODE: return Hand<CProcessingInstruction, IXMLDOMProcessingInstruction>(holder, node, out);
    case XML_ATTRIBUTE_NODE: return Hand<CAttribute, IXMLDOMAttribute>(holder, node, out);
    default: return Hand<CNode, IXMLDOMNode>(holder, node, out);
  }
}

HRESULT MakeNodeList(const DocRef& holder, std::vector<xmlNodePtr> nodes, IXMLDOMNodeList** out) {
  ComPtr<CNodeList> list = MakeComObject<CNodeList>(holder, std::move(nodes));
  if (!list) return E_OUTOFMEMORY;
  *out = list.Detach();
  return S_OK;
}

// ---- the shared node operations -------------------------------------------

namespace node_ops {

namespace {

HRESULT Give(const DocRef& h, xmlNodePtr n, IXMLDOMNode** out) {
  if (!out) return E_INVALIDARG;
  *out = nullptr;
  if (!n) return S_FALSE;
  return WrapNode(h, n, out);
}

std::string QualifiedName(xmlNodePtr n) {
  std::string name;
  if ((n->type == XML_ELEMENT_NODE || n->type == XML_ATTRIBUTE_NODE) && n->ns && n->ns->prefix) {
    name = reinterpret_cast<const char*>(n->ns->prefix);
    name += ':';
  }
  if (n->name) name += reinterpret_cast<const char*>(n->name);
  return name;
}

HRESULT OutString(BSTR* out, std::string_view utf8) {
  if (!out) return E_INVALIDARG;
  *out = BstrOf(utf8);
  return *out ? S_OK : E_OUTOFMEMORY;
}

bool IsAncestorOrSelf(xmlNodePtr candidate, xmlNodePtr n) {
  for (xmlNodePtr p = n; p; p = p->parent)
    if (p == candidate) return true;
  return false;
}

// Links `child` as the last child of `parent`. xmlAddChild would merge
// adjacent text nodes and free the child, leaving its object dangling.
void LinkLast(xmlNodePtr parent, xmlNodePtr child) {
  child->parent = parent;
  child->next = nullptr;
  child->prev = parent->last;
  if (parent->last)
    parent->last->next = child;
  else
    parent->children = child;
  parent->last = child;
}

}  // namespace

HRESULT get_nodeName(xmlNodePtr n, BSTR* name) {
  switch (n->type) {
    case XML_TEXT_NODE: return OutString(name, "#text");
    case XML_CDATA_SECTION_NODE: return OutString(name, "#cdata-section");
    case XML_COMMENT_NODE: return OutString(name, "#comment");
    case XML_DOCUMENT_NODE: return OutString(name, "#document");
    case XML_DOCUMENT_FRAG_NODE: return OutString(name, "#document-fragment");
    default: return OutString(name, QualifiedName(n));
  }
}

HRESULT get_nodeValue(xmlNodePtr n, VARIANT* value) {
  if (!value) return E_INVALIDARG;
  value->vt = VT_NULL;
  switch (n->type) {
    case XML_TEXT_NODE:
    case XML_CDATA_SECTION_NODE:
    case XML_COMMENT_NODE:
    case XML_PI_NODE:
    case XML_ATTRIBUTE_NODE: {
      xmlChar* v = xmlNodeGetContent(n);
      value->bstrVal = BstrOf(v);
      xmlFree(v);
      if (!value->bstrVal) return E_OUTOFMEMORY;
      value->vt = VT_BSTR;
      return S_OK;
    }
    default:
      return S_FALSE;
  }
}

HRESULT put_nodeValue(xmlNodePtr n, VARIANT value) {
  switch (n->type) {
    case XML_TEXT_NODE:
    case XML_CDATA_SECTION_NODE:
    case XML_COMMENT_NODE:
    case XML_PI_NODE:
    case XML_ATTRIBUTE_NODE: {
      std::string v;
      if (!VariantText(value, &v)) return DISP_E_TYPEMISMATCH;
      if (!IsXmlText(v)) return E_INVALIDARG;
      xmlNodeSetContentLen(n, Xc(v), static_cast<int>(v.size()));
      return S_OK;
    }
    default:
      return E_FAIL;  // elements and documents have no value
  }
}

HRESULT get_nodeType(xmlNodePtr n, DOMNodeType* type) {
  if (!type) return E_INVALIDARG;
  switch (n->type) {
    case XML_ELEMENT_NODE: *type = NODE_ELEMENT; break;
    case XML_ATTRIBUTE_NODE: *type = NODE_ATTRIBUTE; break;
    case XML_TEXT_NODE: *type = NODE_TEXT; break;
    case XML_CDATA_SECTION_NODE: *type = NODE_CDATA_SECTION; break;
    case XML_ENTITY_REF_NODE: *type = NODE_ENTITY_REFERENCE; break;
    case XML_ENTITY_DECL: *type = NODE_ENTITY; break;
    case XML_PI_NODE: *type = NODE_PROCESSING_INSTRUCTION; break;
    case XML_COMMENT_NODE: *type = NODE_COMMENT; break;
    case XML_DOCUMENT_NODE: *type = NODE_DOCUMENT; break;
    case XML_DTD_NODE: *type = NODE_DOCUMENT_TYPE; break;
    case XML_DOCUMENT_FRAG_NODE: *type = NODE_DOCUMENT_FRAGMENT; break;
    case XML_NOTATION_NODE: *type = NODE_NOTATION; break;
    default: *type = NODE_INVALID; break;
  }
  return S_OK;
}

HRESULT get_parentNode(const DocRef& h, xmlNodePtr n, IXMLDOMNode** parent) {
  // An attribute has no parent in the DOM; its element is not its parent.
  if (n->type == XML_ATTRIBUTE_NODE || n->type == XML_DOCUMENT_NODE) return Give(h, nullptr, parent);
  xmlNodePtr p = n->parent;
  if (p && p->type == XML_ENTITY_DECL) p = nullptr;
  return Give(h, p, parent);
}

HRESULT get_childNodes(const DocRef& h, xmlNodePtr n, IXMLDOMNodeList** list) {
  if (!list) return E_INVALIDARG;
  *list = nullptr;
  std::vector<xmlNodePtr> nodes;
  if (TakesChildren(n))
    for (xmlNodePtr c = n->children; c; c = c->next) nodes.push_back(c);
  return MakeNodeList(h, std::move(nodes), list);
}

HRESULT get_firstChild(const DocRef& h, xmlNodePtr n, IXMLDOMNode** child) {
  return Give(h, TakesChildren(n) ? n->children : nullptr, child);
}
HRESULT get_lastChild(const DocRef& h, xmlNodePtr n, IXMLDOMNode** child) {
  return Give(h, TakesChildren(n) ? n->last : nullptr, child);
}
HRESULT get_previousSibling(const DocRef& h, xmlNodePtr n, IXMLDOMNode** sibling) {
  return Give(h, n->type == XML_ATTRIBUTE_NODE ? nullptr : n->prev, sibling);
}
HRESULT get_nextSibling(const DocRef& h, xmlNodePtr n, IXMLDOMNode** sibling) {
  return Give(h, n->type == XML_ATTRIBUTE_NODE ? nullptr : n->next, sibling);
}

HRESULT removeChild(const DocRef& h, xmlNodePtr n, IXMLDOMNode* child, IXMLDOMNode** oldChild) {
  if (oldChild) *oldChild = nullptr;
  NodeAccess* access = AccessOf(child);
  if (!access) return E_INVALIDARG;
  xmlNodePtr c = access->XmlNode();
  if (c->parent != n || c->type == XML_ATTRIBUTE_NODE) return E_INVALIDARG;
  xmlUnlinkNode(c);
  h->KeepDetached(c);
  if (oldChild) {
    child->AddRef();
    *oldChild = child;
  }
  return S_OK;
}

HRESULT appendChild(const DocRef& h, xmlNodePtr n, IXMLDOMNode* newChild, IXMLDOMNode** outNewChild) {
  QEL_FAULT_POINT("IXMLDOMNode::appendChild", c) return static_cast<HRESULT>(c);
  if (outNewChild) *outNewChild = nullptr;
  if (!newChild) return E_INVALIDARG;
  NodeAccess* access = AccessOf(newChild);
  if (!access) return E_INVALIDARG;
  xmlNodePtr child = access->XmlNode();
  // Nodes move only within their own document.
  if (access->Holder() != h) return E_INVALIDARG;
  if (!TakesChildren(n)) return E_FAIL;
  switch (child->type) {
    case XML_DOCUMENT_NODE:
    case XML_ATTRIBUTE_NODE:
    case XML_DTD_NODE:
    case XML_ENTITY_DECL:
    case XML_DOCUMENT_FRAG_NODE:
      return E_FAIL;
    default:
      break;
  }
  if (IsAncestorOrSelf(child, n)) return E_FAIL;  // a node cannot hold itself
  if (child->type == XML_PI_NODE && xmlStrcasecmp(child->name, BAD_CAST "xml") == 0) {
    // The declaration stands first in the document or nowhere.
    if (n->type != XML_DOCUMENT_NODE) return E_FAIL;
    for (xmlNodePtr c = n->children; c; c = c->next)
      if (c != child) return E_FAIL;
  }
  if (n->type == XML_DOCUMENT_NODE) {
    if (child->type == XML_ELEMENT_NODE) {
      for (xmlNodePtr c = n->children; c; c = c->next)
        if (c->type == XML_ELEMENT_NODE && c != child) return E_FAIL;  // "Only one top level element is allowed."
    } else if (child->type == XML_TEXT_NODE || child->type == XML_CDATA_SECTION_NODE ||
               child->type == XML_ENTITY_REF_NODE) {
      return E_FAIL;  // text cannot stand at the top level
    }
  }
  if (child->parent) xmlUnlinkNode(child);
  LinkLast(n, child);
  h->Attached(child);
  if (outNewChild) {
    newChild->AddRef();
    *outNewChild = newChild;
  }
  return S_OK;
}

HRESULT hasChildNodes(xmlNodePtr n, VARIANT_BOOL* has) {
  if (!has) return E_INVALIDARG;
  *has = (TakesChildren(n) && n->children) ? VARIANT_TRUE : VARIANT_FALSE;
  return *has ? S_OK : S_FALSE;
}

HRESULT get_nodeTypeString(xmlNodePtr n, BSTR* type) {
  DOMNodeType t;
  (void)get_nodeType(n, &t);
  static const char* const kNames[] = {"invalid",   "element",  "attribute", "text",     "cdatasection",
                                       "entityreference", "entity", "processinginstruction", "comment",
                                       "document",  "documenttype", "documentfragment", "notation"};
  return OutString(type, kNames[t]);
}

HRESULT get_text(const DocRef& h, xmlNodePtr n, BSTR* text) {
  QEL_FAULT_POINT("IXMLDOMNode::get_text", c) return static_cast<HRESULT>(c);
  if (!text) return E_INVALIDARG;
  return OutString(text, NodeText(*h, n));
}

HRESULT put_text(const DocRef& h, xmlNodePtr n, BSTR text) {
  QEL_FAULT_POINT("IXMLDOMNode::put_text", c) return static_cast<HRESULT>(c);
  std::string t = Utf8Of(text);
  if (!IsXmlText(t)) return E_INVALIDARG;
  switch (n->type) {
    case XML_ELEMENT_NODE:
    case XML_DOCUMENT_FRAG_NODE: {
      // The old children may still have objects: they are kept, not freed.
      while (xmlNodePtr c = n->children) {
        xmlUnlinkNode(c);
        h->KeepDetached(c);
      }
      if (t.empty()) return S_OK;
      xmlNodePtr tn = xmlNewDocTextLen(h->Doc(), Xc(t), static_cast<int>(t.size()));
      if (!tn) return E_OUTOFMEMORY;
      LinkLast(n, tn);
      return S_OK;
    }
    case XML_TEXT_NODE:
    case XML_CDATA_SECTION_NODE:
    case XML_COMMENT_NODE:
    case XML_PI_NODE:
    case XML_ATTRIBUTE_NODE:
      xmlNodeSetContentLen(n, Xc(t), static_cast<int>(t.size()));
      return S_OK;
    default:
      return E_FAIL;  // the document's text is not writable
  }
}

HRESULT get_xml(xmlNodePtr n, BSTR* xml) {
  QEL_FAULT_POINT("IXMLDOMNode::get_xml", c) return static_cast<HRESULT>(c);
  if (!xml) return E_INVALIDARG;
  *xml = nullptr;
  std::string text;
  if (HRESULT hr = NodeXml(n, &text); FAILED(hr)) return hr;
  return OutString(xml, text);
}

namespace {

// A query that is nothing but an ASCII name: a child step with a name test.
// The operator names stay with the query engine.
bool IsPlainChildName(BSTR query, UINT len) {
  if (len == 0 || len > 256) return false;
  for (UINT i = 0; i < len; ++i) {
    char16_t c = query[i];
    bool letter = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || c == '_';
    bool other = (c >= '0' && c <= '9') || c == '-' || c == '.';
    if (!letter && !(i > 0 && other)) return false;
  }
  std::u16string_view q(query, len);
  return q != u"and" && q != u"or" && q != u"mod" && q != u"div";
}

// False when the query is not a plain child name; else true, with the first
// matching child or null.
bool FirstChildNamed(xmlNodePtr n, BSTR query, xmlNodePtr* found) {
  *found = nullptr;
  if (!n || (n->type != XML_ELEMENT_NODE && n->type != XML_DOCUMENT_NODE && n->type != XML_DOCUMENT_FRAG_NODE))
    return false;
  UINT len = SysStringLen(query);
  if (!IsPlainChildName(query, len)) return false;
  char name[257];
  for (UINT i = 0; i < len; ++i) name[i] = static_cast<char>(query[i]);
  name[len] = '\0';
  for (xmlNodePtr c = n->children; c; c = c->next) {
    if (c->type == XML_ELEMENT_NODE && c->ns == nullptr && c->name &&
        std::strcmp(reinterpret_cast<const char*>(c->name), name) == 0) {
      *found = c;
      break;
    }
  }
  return true;
}

bool IsPlainName(std::string_view name) {
  if (name.empty() || name.size() > 256) return false;
  for (size_t i = 0; i < name.size(); ++i) {
    char c = name[i];
    bool letter = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || c == '_';
    bool other = (c >= '0' && c <= '9') || c == '-' || c == '.';
    if (!letter && !(i > 0 && other)) return false;
  }
  return name != "and" && name != "or" && name != "mod" && name != "div";
}

// The attribute's value as a single text, or false when it is held as more
// than a plain text (an entity reference in it): the query engine reads such
// a value its own way, so those queries stay with it.
bool PlainValueOf(xmlAttrPtr a, std::string_view* value) {
  xmlNodePtr only = a->children;
  if (!only) {
    *value = {};
    return true;
  }
  if (only->next || only->type != XML_TEXT_NODE) return false;
  *value = only->content ? reinterpret_cast<const char*>(only->content) : "";
  return true;
}

// False when the query is not exactly `name[@attribute='value']` (or with
// double quotes), with plain ASCII names; else true, with the child elements
// of that name in no namespace whose attribute of that name in no namespace
// has that value, in document order: what the query engine selects.
bool ChildrenByAttribute(xmlNodePtr n, BSTR query, std::vector<xmlNodePtr>* out) {
  if (!n || (n->type != XML_ELEMENT_NODE && n->type != XML_DOCUMENT_NODE && n->type != XML_DOCUMENT_FRAG_NODE))
    return false;
  UINT len = SysStringLen(query);
  if (len < 8 || len > 1024 || query[len - 1] != u']') return false;
  std::string q = Utf8Of(query);
  size_t open = q.find("[@");
  if (open == std::string::npos) return false;
  size_t eq = q.find('=', open);
  if (eq == std::string::npos || eq + 3 > q.size() - 1) return false;
  char quote = q[eq + 1];
  if ((quote != '\'' && quote != '"') || q[q.size() - 2] != quote) return false;
  std::string_view element(q.data(), open);
  std::string_view attribute(q.data() + open + 2, eq - open - 2);
  std::string_view value(q.data() + eq + 2, q.size() - eq - 4);
  if (!IsPlainName(element) || !IsPlainName(attribute) || value.find(quote) != std::string_view::npos) return false;
  out->clear();
  for (xmlNodePtr c = n->children; c; c = c->next) {
    if (c->type != XML_ELEMENT_NODE || c->ns || !c->name || element != reinterpret_cast<const char*>(c->name))
      continue;
    for (xmlAttrPtr a = c->properties; a; a = a->next) {
      if (a->ns || !a->name || attribute != reinterpret_cast<const char*>(a->name)) continue;
      std::string_view actual;
      if (!PlainValueOf(a, &actual)) {
        out->clear();
        return false;
      }
      if (actual == value) out->push_back(c);
      break;
    }
  }
  return true;
}

}  // namespace

HRESULT selectNodes(const DocRef& h, xmlNodePtr n, BSTR query, IXMLDOMNodeList** list) {
  QEL_FAULT_POINT("IXMLDOMNode::selectNodes", c) return static_cast<HRESULT>(c);
  if (!list) return E_INVALIDARG;
  *list = nullptr;
  if (!query) return E_INVALIDARG;
  std::vector<xmlNodePtr> nodes;
  // The children of one name whose attribute has one value (how the
  // workspace lists its controllers) are found by walking the children.
  if (ChildrenByAttribute(n, query, &nodes)) return MakeNodeList(h, std::move(nodes), list);
  if (HRESULT hr = h->Select(n, Utf8Of(query), &nodes); FAILED(hr)) return hr;
  return MakeNodeList(h, std::move(nodes), list);
}

HRESULT selectSingleNode(const DocRef& h, xmlNodePtr n, BSTR query, IXMLDOMNode** node) {
  QEL_FAULT_POINT("IXMLDOMNode::selectSingleNode", c) return static_cast<HRESULT>(c);
  if (!node) return E_INVALIDARG;
  *node = nullptr;
  if (!query) return E_INVALIDARG;
  // The commonest question, one child element by its plain name, is answered
  // by walking the children: the same first match the query engine would
  // give (an element of that name in no namespace), without evaluating it.
  if (xmlNodePtr child = nullptr; FirstChildNamed(n, query, &child)) {
    if (!child) return S_FALSE;
    return WrapNode(h, child, node);
  }
  std::vector<xmlNodePtr> nodes;
  if (HRESULT hr = h->Select(n, Utf8Of(query), &nodes); FAILED(hr)) return hr;
  if (nodes.empty()) return S_FALSE;
  return WrapNode(h, nodes.front(), node);
}

HRESULT get_namespaceURI(xmlNodePtr n, BSTR* uri) {
  bool named = n->type == XML_ELEMENT_NODE || n->type == XML_ATTRIBUTE_NODE;
  return OutString(uri, named && n->ns && n->ns->href ? reinterpret_cast<const char*>(n->ns->href) : "");
}
HRESULT get_prefix(xmlNodePtr n, BSTR* prefix) {
  bool named = n->type == XML_ELEMENT_NODE || n->type == XML_ATTRIBUTE_NODE;
  return OutString(prefix, named && n->ns && n->ns->prefix ? reinterpret_cast<const char*>(n->ns->prefix) : "");
}
HRESULT get_baseName(xmlNodePtr n, BSTR* name) {
  bool named = n->type == XML_ELEMENT_NODE || n->type == XML_ATTRIBUTE_NODE || n->type == XML_PI_NODE;
  return OutString(name, named && n->name ? reinterpret_cast<const char*>(n->name) : "");
}

}  // namespace node_ops

}  // namespace qel::msxml
