// The DOM document object: loading (never from the network, never expanding
// external entities), DTD validation, building, serialising and saving.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <libxml/parser.h>
#include <libxml/parserInternals.h>
#include <libxml/valid.h>
#include <libxml/xmlerror.h>
#include <libxml/xmlsave.h>

#include <strings.h>

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>

#include "codepage932.h"
#include "dom.h"
#include "qel/builtins.h"
#include "qel/fault.h"
#include "qel/kernel.h"
#include "qel/wstr.h"

namespace qel::msxml {

namespace {

// Load failures as MSXML reports them in the parse error object.
constexpr LONG kResourceNotFound = static_cast<LONG>(0x800C0005);  // INET_E_RESOURCE_NOT_FOUND
constexpr LONG kParseFailed = static_cast<LONG>(0xC00CE500);       // not well-formed
constexpr LONG kNoTopElement = static_cast<LONG>(0xC00CE558);      // empty document
constexpr LONG kInvalidAgainstDtd = static_cast<LONG>(0xC00CE00D); // DTD validation failed
constexpr LONG kBadEncoding = static_cast<LONG>(0xC00CE56E);       // bytes that are no character
constexpr LONG kEncodingSwitch = static_cast<LONG>(0xC00CE56F);    // BOM and declaration disagree

// Set while this thread loads a document: the entity loader then refuses
// everything, so nothing outside the file being loaded is ever read.
thread_local bool t_loading = false;
xmlExternalEntityLoader g_previousLoader = nullptr;

xmlParserInputPtr GuardedEntityLoader(const char* url, const char* id, xmlParserCtxtPtr ctxt) {
  if (t_loading) return nullptr;
  return g_previousLoader ? g_previousLoader(url, id, ctxt) : nullptr;
}

// libxml2 reports what it cannot tie to a parser context (encoding and I/O
// errors, mostly) through process-wide handlers that print to standard
// error. Here they go to the debugger output like every other diagnostic of
// the platform.
void GenericToDebugger(void*, const char* format, ...) {
  char text[1024];
  va_list ap;
  va_start(ap, format);
  int n = std::vsnprintf(text, sizeof text, format, ap);
  va_end(ap);
  if (n <= 0) return;
  OutputDebugStringA((std::string("msxml: ") + text).c_str());
}

void StructuredToDebugger(void*, xmlErrorPtr e) {
  if (!e || !e->message) return;
  std::string text = "msxml: ";
  text += e->message;
  if (text.back() != '\n') text += '\n';
  OutputDebugStringA(text.c_str());
}

void InitLibxml() {
  static std::once_flag once;
  std::call_once(once, [] {
    xmlInitParser();
    g_previousLoader = xmlGetExternalEntityLoader();
    xmlSetExternalEntityLoader(&GuardedEntityLoader);
    RegisterCodePage932Handler();
    xmlThrDefSetGenericErrorFunc(nullptr, &GenericToDebugger);
    xmlThrDefSetStructuredErrorFunc(nullptr, &StructuredToDebugger);
  });
  // The handlers are per thread in libxml2; threads it met before the
  // defaults above were set keep the printing ones until told otherwise.
  thread_local bool t_handlersSet = false;
  if (!t_handlersSet) {
    xmlSetGenericErrorFunc(nullptr, &GenericToDebugger);
    xmlSetStructuredErrorFunc(nullptr, &StructuredToDebugger);
    t_handlersSet = true;
  }
}

struct LoadError {
  LONG code = 0;
  std::string reason;
  std::string srcText;
  std::string url;
  LONG line = 0;
  LONG linepos = 0;
  LONG filepos = 0;
};

class CParseError final : public DispatchObject<CParseError, IXMLDOMParseError> {
 public:
  explicit CParseError(LoadError e) : m_e(std::move(e)) {}
  HRESULT STDMETHODCALLTYPE get_errorCode(LONG* v) override { return Num(v, m_e.code); }
  HRESULT STDMETHODCALLTYPE get_url(BSTR* v) override { return Str(v, m_e.url); }
  HRESULT STDMETHODCALLTYPE get_reason(BSTR* v) override { return Str(v, m_e.reason); }
  HRESULT STDMETHODCALLTYPE get_srcText(BSTR* v) override { return Str(v, m_e.srcText); }
  HRESULT STDMETHODCALLTYPE get_line(LONG* v) override { return Num(v, m_e.line); }
  HRESULT STDMETHODCALLTYPE get_linepos(LONG* v) override { return Num(v, m_e.linepos); }
  HRESULT STDMETHODCALLTYPE get_filepos(LONG* v) override { return Num(v, m_e.filepos); }

 private:
  static HRESULT Num(LONG* out, LONG v) {
    if (!out) return E_INVALIDARG;
    *out = v;
    return S_OK;
  }
  HRESULT Str(BSTR* out, const std::string& s) {
    if (!out) return E_INVALIDARG;
    *out = nullptr;
    if (m_e.code == 0 || s.empty()) return S_FALSE;
    *out = BstrOf(s);
    return *out ? S_OK : E_OUTOFMEMORY;
  }
  LoadError m_e;
};

std::string Trimmed(const char* msg) {
  std::string s = msg ? msg : "";
  while (!s.empty() && (s.back() == '\n' || s.back() == '\r' || s.back() == ' ')) s.pop_back();
  return s;
}

struct ParseState {
  LoadError* error;
  bool haveError = false;
};

void RecordError(ParseState* st, const xmlError* e, LONG code) {
  if (st->haveError || !e || e->level < XML_ERR_ERROR) return;
  st->haveError = true;
  st->error->code = e->code == XML_ERR_DOCUMENT_EMPTY ? kNoTopElement : code;
  st->error->reason = Trimmed(e->message);
  st->error->line = e->line;
  st->error->linepos = e->int2;
}

void CaptureParseError(void* userData, xmlErrorPtr e) {
  auto* ctxt = static_cast<xmlParserCtxtPtr>(userData);
  if (ctxt && ctxt->_private) RecordError(static_cast<ParseState*>(ctxt->_private), e, kParseFailed);
}

xmlParserInputPtr RefuseEntity(void*, const xmlChar*, const xmlChar*) { return nullptr; }
void NoExternalSubset(void*, const xmlChar*, const xmlChar*, const xmlChar*) {}
void SilentValidity(void*, const char*, ...) {}

// The file being loaded: the head already read to look at its encoding,
// then the rest from the descriptor.
struct FileSource {
  int fd;
  std::string head;
  size_t headUsed = 0;
};

int ReadDescriptor(int fd, char* buffer, size_t len) {
  for (;;) {
    ssize_t n = ::read(fd, buffer, len);
    if (n >= 0) return static_cast<int>(n);
    if (errno != EINTR) return -1;
  }
}

int ReadFile(FileSource* src, char* buffer, size_t len) {
  if (src->headUsed < src->head.size()) {
    size_t n = std::min(len, src->head.size() - src->headUsed);
    std::memcpy(buffer, src->head.data() + src->headUsed, n);
    src->headUsed += n;
    return static_cast<int>(n);
  }
  return ReadDescriptor(src->fd, buffer, len);
}

int ReadFd(void* context, char* buffer, int len) {
  return ReadFile(static_cast<FileSource*>(context), buffer, static_cast<size_t>(len));
}

// A code-page-932 file handed to the parser as UTF-8. A byte sequence that
// is no character, or a character cut off by the end of the file, ends the
// input with a read error and marks the source as failed.
struct Cp932Source {
  FileSource* file;
  CodePage932Decoder decoder;
  std::string pending;
  size_t pendingUsed = 0;
  bool ended = false;
  bool failed = false;
};

int ReadCp932(void* context, char* buffer, int len) {
  auto* src = static_cast<Cp932Source*>(context);
  const size_t want = static_cast<size_t>(len);
  while (src->pending.size() - src->pendingUsed < want && !src->ended && !src->failed) {
    src->pending.erase(0, src->pendingUsed);
    src->pendingUsed = 0;
    char raw[16384];
    int n = ReadFile(src->file, raw, sizeof raw);
    if (n < 0) {
      src->failed = true;
    } else if (n == 0) {
      src->ended = true;
      if (!src->decoder.Finish()) src->failed = true;
    } else if (!src->decoder.Decode(std::string_view(raw, static_cast<size_t>(n)), &src->pending)) {
      src->failed = true;
    }
  }
  size_t n = std::min(want, src->pending.size() - src->pendingUsed);
  if (n == 0) return src->failed ? -1 : 0;
  std::memcpy(buffer, src->pending.data() + src->pendingUsed, n);
  src->pendingUsed += n;
  return static_cast<int>(n);
}

struct MemorySource {
  std::string_view data;
};

int ReadMemory(void* context, char* buffer, int len) {
  auto* src = static_cast<MemorySource*>(context);
  size_t n = std::min(src->data.size(), static_cast<size_t>(len));
  std::memcpy(buffer, src->data.data(), n);
  src->data.remove_prefix(n);
  return static_cast<int>(n);
}

// Validates against the document's internal DTD subset. An external subset
// is never read, so a DTD that lies wholly outside the file is not checked.
bool ValidateInternalSubset(xmlDocPtr doc, LoadError* error) {
  xmlDtdPtr dtd = doc->intSubset;
  if (!dtd) return true;
  if (!dtd->children && (dtd->SystemID || dtd->ExternalID)) return true;
  const xmlChar* systemId = dtd->SystemID;
  const xmlChar* externalId = dtd->ExternalID;
  dtd->SystemID = nullptr;
  dtd->ExternalID = nullptr;
  xmlValidCtxtPtr v = xmlNewValidCtxt();
  bool ok = false;
  if (v) {
    v->error = &SilentValidity;
    v->warning = &SilentValidity;
    xmlResetLastError();
    ok = xmlValidateDocument(v, doc) == 1;
    xmlFreeValidCtxt(v);
  }
  dtd->SystemID = systemId;
  dtd->ExternalID = externalId;
  if (!ok) {
    ParseState st{error};
    xmlErrorPtr last = xmlGetLastError();
    RecordError(&st, last, kInvalidAgainstDtd);
    if (!st.haveError) {
      error->code = kInvalidAgainstDtd;
      error->reason = "The document is not valid against its DTD.";
    }
  }
  return ok;
}

enum class Bom { None, Utf8, Utf16 };

// What the start of a file says about its encoding: its byte-order mark and
// the encoding named by its XML declaration ("" when it names none).
struct EncodingMarks {
  Bom bom = Bom::None;
  std::string declared;
};

bool IsDeclSpace(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; }

// The encoding named by the XML declaration at the start of `text` (ASCII).
std::string DeclaredEncodingOf(std::string_view text) {
  if (text.substr(0, 5) != "<?xml" || text.size() < 6 || !IsDeclSpace(text[5])) return {};
  size_t end = text.find("?>");
  if (end == std::string_view::npos) return {};
  std::string_view decl = text.substr(0, end);
  for (size_t p = decl.find("encoding"); p != std::string_view::npos; p = decl.find("encoding", p + 1)) {
    if (!IsDeclSpace(decl[p - 1])) continue;
    size_t q = p + 8;
    while (q < decl.size() && IsDeclSpace(decl[q])) ++q;
    if (q >= decl.size() || decl[q] != '=') continue;
    ++q;
    while (q < decl.size() && IsDeclSpace(decl[q])) ++q;
    if (q >= decl.size() || (decl[q] != '\'' && decl[q] != '"')) continue;
    size_t r = decl.find(decl[q], q + 1);
    if (r == std::string_view::npos) return {};
    return std::string(decl.substr(q + 1, r - q - 1));
  }
  return {};
}

EncodingMarks MarksOf(std::string_view head) {
  EncodingMarks m;
  if (head.substr(0, 3) == "\xEF\xBB\xBF") {
    m.bom = Bom::Utf8;
    m.declared = DeclaredEncodingOf(head.substr(3));
  } else if (head.substr(0, 2) == "\xFF\xFE" || head.substr(0, 2) == "\xFE\xFF") {
    // The declaration is ASCII: every other byte of UTF-16 holds it.
    m.bom = Bom::Utf16;
    size_t low = head[0] == '\xFF' ? 2 : 3;
    std::string ascii;
    for (size_t i = low; i < head.size() && i - low + 1 < head.size() - 1; i += 2) {
      if (head[i ^ 1] != 0 || static_cast<unsigned char>(head[i]) >= 0x80) break;
      ascii.push_back(head[i]);
    }
    m.declared = DeclaredEncodingOf(ascii);
  } else {
    m.declared = DeclaredEncodingOf(head);
  }
  return m;
}

bool NamesUtf8(std::string_view e) { return strcasecmp(std::string(e).c_str(), "UTF-8") == 0 || strcasecmp(std::string(e).c_str(), "UTF8") == 0; }
bool NamesUtf16(std::string_view e) {
  std::string s(e);
  return strncasecmp(s.c_str(), "UTF-16", 6) == 0 || strncasecmp(s.c_str(), "UTF16", 5) == 0 ||
         strcasecmp(s.c_str(), "UCS-2") == 0 || strcasecmp(s.c_str(), "ISO-10646-UCS-2") == 0 ||
         strcasecmp(s.c_str(), "Unicode") == 0;
}

// A byte-order mark decides the encoding; a declaration that names another
// one is refused, as Windows refuses to switch encodings part-way.
bool MarksAgree(const EncodingMarks& m) {
  if (m.declared.empty()) return true;
  switch (m.bom) {
    case Bom::None: return true;
    case Bom::Utf8: return NamesUtf8(m.declared);
    case Bom::Utf16: return NamesUtf16(m.declared);
  }
  return true;
}

// Parses the bytes that `read` delivers. Null on failure, with `error` filled.
// With ignoreDeclaredEncoding the bytes are UTF-8 whatever the declaration
// says (the caller decoded them already).
xmlDocPtr Parse(xmlInputReadCallback read, void* source, bool preserveWhiteSpace, bool validate,
                bool ignoreDeclaredEncoding, LoadError* error) {
  InitLibxml();
  xmlParserCtxtPtr ctxt = xmlCreateIOParserCtxt(nullptr, nullptr, read, nullptr, source,
                                                ignoreDeclaredEncoding ? XML_CHAR_ENCODING_UTF8 : XML_CHAR_ENCODING_NONE);
  if (!ctxt) {
    error->code = static_cast<LONG>(E_OUTOFMEMORY);
    error->reason = "Not enough memory to load the document.";
    return nullptr;
  }
  // No XML_PARSE_NOENT, XML_PARSE_DTDLOAD or XML_PARSE_HUGE: entities stay
  // references, external ones are never loaded, and libxml2's limits on
  // entity amplification and node sizes stay in force.
  int options = XML_PARSE_NONET | XML_PARSE_NOERROR | XML_PARSE_NOWARNING;
  if (!preserveWhiteSpace) options |= XML_PARSE_NOBLANKS;
  if (ignoreDeclaredEncoding) options |= XML_PARSE_IGNORE_ENC;
  xmlCtxtUseOptions(ctxt, options);
  ctxt->sax->resolveEntity = &RefuseEntity;
  ctxt->sax->externalSubset = &NoExternalSubset;
  ctxt->sax->serror = &CaptureParseError;
  ctxt->vctxt.error = &SilentValidity;
  ctxt->vctxt.warning = &SilentValidity;
  ParseState st{error};
  ctxt->_private = &st;

  t_loading = true;
  xmlParseDocument(ctxt);
  xmlDocPtr doc = ctxt->myDoc;
  bool wellFormed = ctxt->wellFormed != 0 && doc && xmlDocGetRootElement(doc);
  // Bytes that the decoder refused, or a character cut off at the end of the
  // file, may lie after the root element, where the parser no longer looks.
  xmlParserInputBufferPtr in = ctxt->input ? ctxt->input->buf : nullptr;
  if (in && (in->error != 0 || (in->raw && xmlBufUse(in->raw) != 0))) {
    wellFormed = false;
    st.haveError = true;
    error->code = kBadEncoding;
    error->reason = "The file holds bytes that are no character of its encoding.";
  }
  if (!wellFormed && !st.haveError) {
    error->code = kParseFailed;
    error->reason = Trimmed(ctxt->lastError.message);
    if (error->reason.empty()) error->reason = "The document is not well-formed.";
    error->line = ctxt->lastError.line;
  }
  ctxt->myDoc = nullptr;
  xmlFreeParserCtxt(ctxt);
  if (wellFormed && validate && !ValidateInternalSubset(doc, error)) wellFormed = false;
  t_loading = false;
  if (!wellFormed) {
    if (doc) xmlFreeDoc(doc);
    return nullptr;
  }
  return doc;
}

// Records the encoding that a document decoded before parsing declared, so
// that saving it writes that encoding again.
void KeepDeclaredEncoding(xmlDocPtr doc, const std::string& declared) {
  if (!doc || declared.empty()) return;
  xmlCharEncodingHandlerPtr handler = xmlFindCharEncodingHandler(declared.c_str());
  if (!handler) return;
  xmlCharEncCloseFunc(handler);
  if (doc->encoding) xmlFree(const_cast<xmlChar*>(doc->encoding));
  doc->encoding = xmlStrdup(Xc(declared));
}

HRESULT HrFromErrno(int err) {
  switch (err) {
    case EACCES:
    case EPERM:
    case EROFS:
    case EISDIR:
    case ETXTBSY: return E_ACCESSDENIED;
    case ENOENT:
    case ENOTDIR: return HRESULT_FROM_WIN32(ERROR_PATH_NOT_FOUND);
    case ENOSPC:
    case EDQUOT: return HRESULT_FROM_WIN32(ERROR_DISK_FULL);
    case ENAMETOOLONG: return HRESULT_FROM_WIN32(ERROR_FILENAME_EXCED_RANGE);
    case ENOMEM: return E_OUTOFMEMORY;
    case EMFILE:
    case ENFILE: return HRESULT_FROM_WIN32(ERROR_TOO_MANY_OPEN_FILES);
    default: return HRESULT_FROM_WIN32(ERROR_WRITE_FAULT);
  }
}

// The encoding that the document's declaration names ("" when none).
std::string DeclaredEncoding(xmlDocPtr doc, bool* hasDeclaration) {
  *hasDeclaration = false;
  for (xmlNodePtr c = doc->children; c; c = c->next) {
    if (c->type != XML_PI_NODE || !xmlStrEqual(c->name, BAD_CAST "xml")) continue;
    *hasDeclaration = true;
    std::string data = c->content ? reinterpret_cast<const char*>(c->content) : "";
    size_t p = data.find("encoding");
    if (p == std::string::npos) return {};
    p = data.find('=', p);
    if (p == std::string::npos) return {};
    size_t q = data.find_first_of("'\"", p);
    if (q == std::string::npos) return {};
    size_t r = data.find(data[q], q + 1);
    if (r == std::string::npos) return {};
    return data.substr(q + 1, r - q - 1);
  }
  return doc->encoding ? reinterpret_cast<const char*>(doc->encoding) : "";
}

// Writes the document to a temporary file beside `path` and renames it over
// `path`, so a failed or interrupted save never leaves a partial file under
// the target's name.
HRESULT SaveToFile(xmlDocPtr doc, const std::string& path) {
  if (path.empty()) return E_INVALIDARG;
  bool hasDeclaration = false;
  std::string encoding = DeclaredEncoding(doc, &hasDeclaration);
  if (!encoding.empty()) {
    xmlCharEncodingHandlerPtr handler = xmlFindCharEncodingHandler(encoding.c_str());
    if (!handler) return E_FAIL;  // an encoding the system cannot write
    xmlCharEncCloseFunc(handler);
  }

  size_t slash = path.rfind('/');
  std::string dir = slash == std::string::npos ? std::string(".") : path.substr(0, slash == 0 ? 1 : slash);
  std::string base = slash == std::string::npos ? path : path.substr(slash + 1);
  if (base.empty()) return E_ACCESSDENIED;  // a directory, not a file
  std::string tmp = dir + "/." + base + ".XXXXXX";
  int fd = ::mkostemp(tmp.data(), O_CLOEXEC);
  if (fd < 0) return HrFromErrno(errno);

  mode_t mode = 0644;
  struct stat st;
  if (::stat(path.c_str(), &st) == 0) {
    if (S_ISDIR(st.st_mode)) {
      ::close(fd);
      ::unlink(tmp.c_str());
      return E_ACCESSDENIED;
    }
    mode = st.st_mode & 07777;
  }
  HRESULT hr = S_OK;
  if (::fchmod(fd, mode) != 0) hr = HrFromErrno(errno);

  if (SUCCEEDED(hr)) {
    QEL_FAULT_POINT("WriteFile", c) hr = static_cast<HRESULT>(c);
  }
  if (SUCCEEDED(hr)) {
    // A built document carries its declaration as a node; a loaded one gets
    // libxml2's declaration when its file declared an encoding.
    bool writeDeclaration = !hasDeclaration && doc->encoding;
    int options = XML_SAVE_AS_XML | (writeDeclaration ? 0 : XML_SAVE_NO_DECL);
    errno = 0;
    xmlSaveCtxtPtr save = xmlSaveToFd(fd, encoding.empty() ? nullptr : encoding.c_str(), options);
    if (!save) {
      hr = E_OUTOFMEMORY;
    } else {
      long written = xmlSaveDoc(save, doc);
      int closed = xmlSaveClose(save);
      if (written < 0 || closed < 0) hr = HrFromErrno(errno ? errno : EIO);
    }
  }
  if (SUCCEEDED(hr) && ::fsync(fd) != 0) hr = HrFromErrno(errno);
  if (::close(fd) != 0 && SUCCEEDED(hr)) hr = HrFromErrno(errno);
  if (SUCCEEDED(hr) && ::rename(tmp.c_str(), path.c_str()) != 0) hr = HrFromErrno(errno);
  if (FAILED(hr)) {
    ::unlink(tmp.c_str());
    return hr;
  }
  // The rename itself lasts only once the directory is on disk.
  int dfd = ::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (dfd >= 0) {
    (void)::fsync(dfd);
    ::close(dfd);
  }
  return S_OK;
}

bool PathOf(const VARIANT& v, std::string* path) {
  if (v.vt == VT_BSTR) {
    *path = Utf8Of(v.bstrVal);
    return true;
  }
  if (v.vt == (VT_BSTR | VT_BYREF) && v.pbstrVal) {
    *path = Utf8Of(*v.pbstrVal);
    return true;
  }
  if (v.vt == (VT_VARIANT | VT_BYREF) && v.pvarVal) return PathOf(*v.pvarVal, path);
  return false;
}

// A new empty document. It gets a dictionary of its own, as a parsed one
// has: element and attribute names are then kept once per document instead
// of once per node, which halves the allocations of a document built element
// by element (and the work of freeing it).
xmlDocPtr EmptyDocument() {
  xmlDocPtr doc = xmlNewDoc(BAD_CAST "1.0");
  if (!doc) return nullptr;
  doc->dict = xmlDictCreate();  // without one, names are simply copied per node
  return doc;
}

DocRef NewHolder(xmlDocPtr doc, bool preserveWhiteSpace) {
  auto h = std::make_shared<DocHolder>(doc);
  h->m_preserveWhiteSpace = preserveWhiteSpace;
  return h;
}

class CDocument final : public NodeBase<CDocument, IXMLDOMDocument2> {
 public:
  CDocument() {
    InitLibxml();
    m_holder = NewHolder(EmptyDocument(), false);
  }

  xmlNodePtr XmlNode() override { return reinterpret_cast<xmlNodePtr>(m_holder->Doc()); }
  DocRef Holder() override { return m_holder; }

  HRESULT STDMETHODCALLTYPE get_doctype(IXMLDOMDocumentType** out) override { return Unsupported(out); }
  HRESULT STDMETHODCALLTYPE get_implementation(IXMLDOMImplementation** out) override { return Unsupported(out); }

  HRESULT STDMETHODCALLTYPE get_documentElement(IXMLDOMElement** out) override {
    QEL_FAULT_POINT("IXMLDOMDocument::get_documentElement", c) return static_cast<HRESULT>(c);
    if (!out) return E_INVALIDARG;
    *out = nullptr;
    xmlNodePtr root = xmlDocGetRootElement(m_holder->Doc());
    if (!root) return S_FALSE;
    ComPtr<IXMLDOMNode> node;
    if (HRESULT hr = WrapNode(m_holder, root, node.Put()); FAILED(hr)) return hr;
    return node->QueryInterface(IID_IXMLDOMElement, reinterpret_cast<void**>(out));
  }
  HRESULT STDMETHODCALLTYPE putref_documentElement(IXMLDOMElement*) override { return E_NOTIMPL; }

  HRESULT STDMETHODCALLTYPE createElement(BSTR tagName, IXMLDOMElement** out) override {
    QEL_FAULT_POINT("IXMLDOMDocument::createElement", c) return static_cast<HRESULT>(c);
    if (!out) return E_INVALIDARG;
    *out = nullptr;
    if (!tagName) return E_INVALIDARG;
    const std::string* name = ValidElementName(tagName);
    if (!name) return E_FAIL;  // not an XML name
    xmlNodePtr n = xmlNewDocNode(m_holder->Doc(), nullptr, Xc(*name), nullptr);
    return Created(n, IID_IXMLDOMElement, reinterpret_cast<void**>(out));
  }
  HRESULT STDMETHODCALLTYPE createDocumentFragment(IXMLDOMDocumentFragment** out) override {
    return Unsupported(out);
  }
  HRESULT STDMETHODCALLTYPE createTextNode(BSTR data, IXMLDOMText** out) override {
    QEL_FAULT_POINT("IXMLDOMDocument::createTextNode", c) return static_cast<HRESULT>(c);
    if (!out) return E_INVALIDARG;
    *out = nullptr;
    std::string text = Utf8Of(data);
    if (!IsXmlText(text)) return E_INVALIDARG;
    xmlNodePtr n = xmlNewDocTextLen(m_holder->Doc(), Xc(text), static_cast<int>(text.size()));
    return Created(n, IID_IXMLDOMText, reinterpret_cast<void**>(out));
  }
  HRESULT STDMETHODCALLTYPE createComment(BSTR, IXMLDOMComment** out) override { return Unsupported(out); }
  HRESULT STDMETHODCALLTYPE createCDATASection(BSTR, IXMLDOMCDATASection** out) override { return Unsupported(out); }
  HRESULT STDMETHODCALLTYPE createProcessingInstruction(BSTR target, BSTR data,
                                                        IXMLDOMProcessingInstruction** out) override {
    QEL_FAULT_POINT("IXMLDOMDocument::createProcessingInstruction", c) return static_cast<HRESULT>(c);
    if (!out) return E_INVALIDARG;
    *out = nullptr;
    if (!target) return E_INVALIDARG;
    std::string t = Utf8Of(target), d = Utf8Of(data);
    if (t.empty() || xmlValidateName(Xc(t), 0) != 0) return E_FAIL;
    if (!IsXmlText(d) || d.find("?>") != std::string::npos) return E_INVALIDARG;
    xmlNodePtr n = xmlNewDocPI(m_holder->Doc(), Xc(t), d.empty() ? nullptr : Xc(d));
    return Created(n, IID_IXMLDOMProcessingInstruction, reinterpret_cast<void**>(out));
  }
  HRESULT STDMETHODCALLTYPE createAttribute(BSTR, IXMLDOMAttribute** out) override { return Unsupported(out); }
  HRESULT STDMETHODCALLTYPE createEntityReference(BSTR, IXMLDOMEntityReference** out) override {
    return Unsupported(out);
  }
  HRESULT STDMETHODCALLTYPE getElementsByTagName(BSTR tagName, IXMLDOMNodeList** out) override {
    if (!out) return E_INVALIDARG;
    *out = nullptr;
    ComPtr<IXMLDOMElement> root;
    if (HRESULT hr = get_documentElement(root.Put()); hr != S_OK) {
      return FAILED(hr) ? hr : MakeNodeList(m_holder, {}, out);
    }
    // The root itself counts as a descendant of the document.
    std::vector<xmlNodePtr> nodes;
    std::string t = Utf8Of(tagName);
    xmlNodePtr r = xmlDocGetRootElement(m_holder->Doc());
    if (t == "*" || xmlStrEqual(r->name, Xc(t))) nodes.push_back(r);
    ComPtr<IXMLDOMNodeList> below;
    if (HRESULT hr = root->getElementsByTagName(tagName, below.Put()); FAILED(hr)) return hr;
    LONG n = 0;
    (void)below->get_length(&n);
    for (LONG i = 0; i < n; ++i) {
      ComPtr<IXMLDOMNode> item;
      if (below->get_item(i, item.Put()) == S_OK)
        if (NodeAccess* a = AccessOf(item.Get())) nodes.push_back(a->XmlNode());
    }
    return MakeNodeList(m_holder, std::move(nodes), out);
  }
  HRESULT STDMETHODCALLTYPE createNode(VARIANT, BSTR, BSTR, IXMLDOMNode** out) override { return Unsupported(out); }
  HRESULT STDMETHODCALLTYPE nodeFromID(BSTR, IXMLDOMNode** out) override { return Unsupported(out); }

  HRESULT STDMETHODCALLTYPE load(VARIANT xmlSource, VARIANT_BOOL* isSuccessful) override {
    QEL_FAULT_POINT("IXMLDOMDocument::load", c) return static_cast<HRESULT>(c);
    if (isSuccessful) *isSuccessful = VARIANT_FALSE;
    std::string path;
    if (!PathOf(xmlSource, &path)) return E_INVALIDARG;
    m_error = LoadError{};
    m_error.url = path;
    m_url = path;
    xmlDocPtr doc = nullptr;
    int fd = path.empty() ? -1 : ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK);
    if (fd < 0) {
      int err = path.empty() ? ENOENT : errno;
      Fail(err == EACCES || err == EPERM ? static_cast<LONG>(E_ACCESSDENIED) : kResourceNotFound,
           err == EACCES || err == EPERM ? "Access is denied." : "The system cannot locate the object specified.");
      return S_FALSE;
    }
    struct stat st;
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
      ::close(fd);
      Fail(kResourceNotFound, "The system cannot locate the object specified.");
      return S_FALSE;
    }
    (void)::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) & ~O_NONBLOCK);
    FileSource file{fd, {}};
    doc = LoadFile(&file);
    ::close(fd);
    return Loaded(doc, isSuccessful);
  }
  HRESULT STDMETHODCALLTYPE get_readyState(LONG* value) override {
    if (!value) return E_INVALIDARG;
    *value = 4;  // complete: loading is always synchronous here
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE get_parseError(IXMLDOMParseError** out) override {
    if (!out) return E_INVALIDARG;
    ComPtr<CParseError> e = MakeComObject<CParseError>(m_error);
    if (!e) return E_OUTOFMEMORY;
    *out = e.Detach();
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE get_url(BSTR* url) override {
    if (!url) return E_INVALIDARG;
    *url = nullptr;
    if (m_url.empty()) return S_FALSE;
    *url = BstrOf(m_url);
    return *url ? S_OK : E_OUTOFMEMORY;
  }
  HRESULT STDMETHODCALLTYPE get_async(VARIANT_BOOL* v) override { return GetFlag(v, m_async); }
  HRESULT STDMETHODCALLTYPE put_async(VARIANT_BOOL v) override {
    QEL_FAULT_POINT("IXMLDOMDocument::put_async", c) return static_cast<HRESULT>(c);
    // Loads complete before load returns either way; the flag is kept for its getter.
    m_async = v != VARIANT_FALSE;
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE abort() override { return S_OK; }
  HRESULT STDMETHODCALLTYPE loadXML(BSTR bstrXML, VARIANT_BOOL* isSuccessful) override {
    if (isSuccessful) *isSuccessful = VARIANT_FALSE;
    m_error = LoadError{};
    m_url.clear();
    // The text is Unicode already: parse it as UTF-8 whatever its declaration says.
    std::string text = Utf8Of(bstrXML);
    if (text.empty()) {
      Fail(kNoTopElement, "XML document must have a top level element.");
      return S_FALSE;
    }
    MemorySource src{text};
    xmlDocPtr doc = Parse(&ReadMemory, &src, m_preserveWhiteSpace, m_validateOnParse, true, &m_error);
    KeepDeclaredEncoding(doc, DeclaredEncodingOf(text));
    return Loaded(doc, isSuccessful);
  }
  HRESULT STDMETHODCALLTYPE save(VARIANT destination) override {
    QEL_FAULT_POINT("IXMLDOMDocument::save", c) return static_cast<HRESULT>(c);
    std::string path;
    if (!PathOf(destination, &path)) return E_INVALIDARG;
    return SaveToFile(m_holder->Doc(), path);
  }
  HRESULT STDMETHODCALLTYPE get_validateOnParse(VARIANT_BOOL* v) override { return GetFlag(v, m_validateOnParse); }
  HRESULT STDMETHODCALLTYPE put_validateOnParse(VARIANT_BOOL v) override {
    QEL_FAULT_POINT("IXMLDOMDocument::put_validateOnParse", c) return static_cast<HRESULT>(c);
    m_validateOnParse = v != VARIANT_FALSE;
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE get_resolveExternals(VARIANT_BOOL* v) override { return GetFlag(v, false); }
  HRESULT STDMETHODCALLTYPE put_resolveExternals(VARIANT_BOOL v) override {
    // External entities and DTD subsets are never read, whatever is asked.
    return v == VARIANT_FALSE ? S_OK : E_NOTIMPL;
  }
  HRESULT STDMETHODCALLTYPE get_preserveWhiteSpace(VARIANT_BOOL* v) override {
    return GetFlag(v, m_preserveWhiteSpace);
  }
  HRESULT STDMETHODCALLTYPE put_preserveWhiteSpace(VARIANT_BOOL v) override {
    m_preserveWhiteSpace = v != VARIANT_FALSE;
    m_holder->m_preserveWhiteSpace = m_preserveWhiteSpace;
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE put_onreadystatechange(VARIANT) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE put_ondataavailable(VARIANT) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE put_ontransformnode(VARIANT) override { return E_NOTIMPL; }

  HRESULT STDMETHODCALLTYPE get_namespaces(IXMLDOMSchemaCollection** out) override { return Unsupported(out); }
  HRESULT STDMETHODCALLTYPE get_schemas(VARIANT* v) override {
    if (!v) return E_INVALIDARG;
    v->vt = VT_NULL;
    return S_FALSE;
  }
  HRESULT STDMETHODCALLTYPE putref_schemas(VARIANT) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE validate(IXMLDOMParseError** out) override { return Unsupported(out); }
  HRESULT STDMETHODCALLTYPE setProperty(BSTR name, VARIANT value) override {
    std::string n = Utf8Of(name), v;
    if (n == "SelectionLanguage") {
      // Queries are XPath; the older pattern language is a subset for the simple
      // paths it is used with.
      if (!VariantText(value, &v) || (v != "XPath" && v != "XSLPattern")) return E_FAIL;
      m_selectionLanguage = v;
      return S_OK;
    }
    return E_INVALIDARG;
  }
  HRESULT STDMETHODCALLTYPE getProperty(BSTR name, VARIANT* value) override {
    if (!value) return E_INVALIDARG;
    if (Utf8Of(name) != "SelectionLanguage") return E_INVALIDARG;
    value->bstrVal = BstrOf(m_selectionLanguage);
    if (!value->bstrVal) return E_OUTOFMEMORY;
    value->vt = VT_BSTR;
    return S_OK;
  }

 private:
  static HRESULT GetFlag(VARIANT_BOOL* out, bool v) {
    if (!out) return E_INVALIDARG;
    *out = v ? VARIANT_TRUE : VARIANT_FALSE;
    return S_OK;
  }
  // Parses an open file. The head of the file tells its encoding: a
  // byte-order mark that contradicts the declaration is refused, and the
  // labels Windows reads as code page 932 are decoded here, since libxml2
  // would read them as strict Shift_JIS.
  xmlDocPtr LoadFile(FileSource* file) {
    constexpr size_t kHead = 1024;
    file->head.resize(kHead);
    size_t got = 0;
    while (got < kHead) {
      int n = ReadDescriptor(file->fd, file->head.data() + got, kHead - got);
      if (n < 0) {
        m_error.code = kResourceNotFound;
        m_error.reason = "The file cannot be read.";
        return nullptr;
      }
      if (n == 0) break;
      got += static_cast<size_t>(n);
    }
    file->head.resize(got);
    file->headUsed = 0;
    EncodingMarks marks = MarksOf(file->head);
    if (!MarksAgree(marks)) {
      m_error.code = kEncodingSwitch;
      m_error.reason = "Switch from current encoding to specified encoding not supported.";
      return nullptr;
    }
    if (marks.bom != Bom::None || !IsCodePage932Label(marks.declared))
      return Parse(&ReadFd, file, m_preserveWhiteSpace, m_validateOnParse, false, &m_error);

    Cp932Source src{file, {}, {}};
    xmlDocPtr doc = Parse(&ReadCp932, &src, m_preserveWhiteSpace, m_validateOnParse, true, &m_error);
    if (src.failed) {
      if (doc) xmlFreeDoc(doc);
      m_error = LoadError{};
      m_error.url = m_url;
      m_error.code = kBadEncoding;
      m_error.reason = "The file holds bytes that are no character of its encoding.";
      m_error.filepos = static_cast<LONG>(src.decoder.Failed() ? src.decoder.ErrorOffset() : 0);
      return nullptr;
    }
    KeepDeclaredEncoding(doc, marks.declared);
    return doc;
  }
  void Fail(LONG code, const char* reason) {
    m_error.code = code;
    m_error.reason = reason;
    m_holder = NewHolder(EmptyDocument(), m_preserveWhiteSpace);
  }
  HRESULT Loaded(xmlDocPtr doc, VARIANT_BOOL* isSuccessful) {
    if (!doc) {
      // A failed load leaves an empty document, as MSXML does.
      m_holder = NewHolder(EmptyDocument(), m_preserveWhiteSpace);
      return S_FALSE;
    }
    m_holder = NewHolder(doc, m_preserveWhiteSpace);
    m_holder->m_numberBeforeQuery = true;
    if (isSuccessful) *isSuccessful = VARIANT_TRUE;
    return S_OK;
  }
  // A document is built from a handful of element names used over and over:
  // the last few that proved to be XML names are kept with their UTF-8 form.
  // Null when the name is not an XML name.
  const std::string* ValidElementName(BSTR tagName) {
    std::u16string_view wide(tagName, SysStringLen(tagName));
    for (const auto& [w, utf8] : m_names)
      if (w == wide) return &utf8;
    std::string name = Utf8Of(tagName);
    if (name.empty() || xmlValidateQName(Xc(name), 0) != 0) return nullptr;
    if (m_names.size() >= kNameCache) m_names.erase(m_names.begin());
    m_names.emplace_back(std::u16string(wide), std::move(name));
    return &m_names.back().second;
  }

  HRESULT Created(xmlNodePtr n, REFIID iid, void** out) {
    if (!n) return E_OUTOFMEMORY;
    m_holder->KeepDetached(n);
    ComPtr<IXMLDOMNode> node;
    if (HRESULT hr = WrapNode(m_holder, n, node.Put()); FAILED(hr)) return hr;
    return node->QueryInterface(iid, out);
  }

  static constexpr size_t kNameCache = 16;
  std::vector<std::pair<std::u16string, std::string>> m_names;
  DocRef m_holder;
  LoadError m_error;
  std::string m_url;
  std::string m_selectionLanguage = "XPath";
  bool m_async = true;
  bool m_validateOnParse = true;
  bool m_preserveWhiteSpace = false;
};

ModuleCount g_objects;

}  // namespace

ComPtr<IXMLDOMDocument2> MakeDocument() {
  ComPtr<CDocument> doc = MakeComObject<CDocument>();
  return ComPtr<IXMLDOMDocument2>(doc.Get());
}

}  // namespace qel::msxml

// Both DOM document classes are served by the same object; they differ on
// Windows only in defaults this program does not rely on.
extern "C" HRESULT qel_msxml_DllGetClassObject(REFCLSID rclsid, REFIID riid, void** ppv) {
  if (!ppv) return E_POINTER;
  *ppv = nullptr;
  if (rclsid != CLSID_DOMDocument40 && rclsid != CLSID_DOMDocument) return CLASS_E_CLASSNOTAVAILABLE;
  return qel::GetClassFactory<qel::msxml::CDocument>(qel::msxml::g_objects, riid, ppv);
}
