// Checking and completing a device description (libxml2).
#include "devicedoc.h"

#include <glib.h>
#include <libxml/parser.h>
#include <libxml/tree.h>
#include <sys/stat.h>

#include <climits>
#include <fstream>
#include <set>
#include <sstream>

#include "glibptr.h"
#include "internal.h"
#include "upnphost.h"

namespace qel::upnphost {

namespace {

constexpr const char* kDeviceNs = "urn:schemas-upnp-org:device-1-0";
constexpr const char* kServiceNs = "urn:schemas-upnp-org:service-1-0";
// A service description or icon is a small file; one larger than this is
// refused when the description is registered, with its size.
constexpr std::uintmax_t kMaxFileBytes = 16u << 20;

// The parser never touches the network, never expands external entities and
// ignores the declared encoding: the text reaches us as UTF-8 whatever the
// declaration says (the program's description declares Shift_JIS).
constexpr int kParseOptions = XML_PARSE_NONET | XML_PARSE_NOERROR | XML_PARSE_NOWARNING | XML_PARSE_NOCDATA;

struct ParserCtxtFree {
  void operator()(xmlParserCtxt* c) const {
    if (c) xmlFreeParserCtxt(c);
  }
};

// Parses `text`; on failure `why` says what the parser found and where, so
// a limit of the parser is reported as that limit, not as bad XML.
XmlDocPtr ParseUtf8(std::string_view text, std::string* why) {
  if (text.size() > static_cast<size_t>(INT_MAX)) {
    if (why)
      *why = "it is " + std::to_string(text.size()) + " bytes; the XML parser takes at most " +
             std::to_string(INT_MAX) + " bytes";
    return nullptr;
  }
  std::unique_ptr<xmlParserCtxt, ParserCtxtFree> ctxt(xmlNewParserCtxt());
  if (!ctxt) {
    if (why) *why = "out of memory";
    return nullptr;
  }
  XmlDocPtr doc(xmlCtxtReadMemory(ctxt.get(), text.data(), static_cast<int>(text.size()), "description.xml", "UTF-8",
                                  kParseOptions));
  if (!doc && why) {
    const xmlError* e = xmlCtxtGetLastError(ctxt.get());
    std::string msg = e && e->message ? e->message : "not well-formed XML";
    while (!msg.empty() && (msg.back() == '\n' || msg.back() == ' ')) msg.pop_back();
    *why = "not well-formed XML (" + msg + (e ? " at line " + std::to_string(e->line) : std::string()) + ", " +
           std::to_string(text.size()) + " bytes)";
  }
  return doc;
}

bool IsElement(const xmlNode* n, const char* local) {
  return n && n->type == XML_ELEMENT_NODE && xmlStrcmp(n->name, BAD_CAST local) == 0;
}

bool InNamespace(const xmlNode* n, const char* ns) {
  return n->ns && n->ns->href && xmlStrcmp(n->ns->href, BAD_CAST ns) == 0;
}

xmlNode* Child(xmlNode* parent, const char* local) {
  if (!parent) return nullptr;
  for (xmlNode* c = parent->children; c; c = c->next)
    if (IsElement(c, local)) return c;
  return nullptr;
}

std::string Trim(std::string s) {
  const char* ws = " \t\r\n";
  const auto b = s.find_first_not_of(ws);
  if (b == std::string::npos) return {};
  const auto e = s.find_last_not_of(ws);
  return s.substr(b, e - b + 1);
}

std::string Text(const xmlNode* n) {
  if (!n) return {};
  XmlCharPtr c(xmlNodeGetContent(n));
  return c ? Trim(reinterpret_cast<const char*>(c.get())) : std::string();
}

std::string ChildText(xmlNode* parent, const char* local) { return Text(Child(parent, local)); }

void SetText(xmlNode* n, const std::string& text) {
  xmlNodeSetContent(n, nullptr);
  xmlAddChild(n, xmlNewText(BAD_CAST text.c_str()));
}

xmlNode* EnsureChild(xmlNode* parent, const char* local) {
  if (xmlNode* c = Child(parent, local)) return c;
  return xmlNewChild(parent, parent->ns, BAD_CAST local, nullptr);
}

bool ReadSmallFile(const std::filesystem::path& p, std::string* out, std::string* why) {
  std::error_code ec;
  const auto size = std::filesystem::file_size(p, ec);
  if (ec) {
    *why = "cannot be read";
    return false;
  }
  if (size > kMaxFileBytes) {
    *why = "is " + std::to_string(size) + " bytes; a service description may have at most " +
           std::to_string(kMaxFileBytes);
    return false;
  }
  std::ifstream f(p, std::ios::binary);
  if (!f) return false;
  std::ostringstream ss;
  ss << f.rdbuf();
  *out = ss.str();
  return true;
}

std::string EscapePath(const std::string& rel) {
  GCharPtr e(g_uri_escape_string(rel.c_str(), "/", FALSE));
  return e ? std::string(e.get()) : rel;
}

class Builder {
 public:
  Builder(const std::filesystem::path& resourceDir, const std::string& prefix,
          const std::vector<std::string>& inUse, DeviceDoc* out, std::string* why)
      : m_resourceDir(resourceDir), m_prefix(prefix), m_out(out), m_why(why) {
    m_udns.insert(inUse.begin(), inUse.end());
  }

  HRESULT Device(xmlNode* device) {
    for (const char* field : {"deviceType", "friendlyName", "manufacturer", "modelName"}) {
      if (ChildText(device, field).empty()) return Fail(UPNP_E_DEVICE_NODE_INCOMPLETE, std::string("the device has no ") + field);
    }
    xmlNode* udnNode = Child(device, "UDN");
    if (!udnNode) return Fail(UPNP_E_DEVICE_NODE_INCOMPLETE, "the device has no UDN");
    DeviceEntry entry;
    entry.templateUdn = Text(udnNode);
    entry.deviceType = ChildText(device, "deviceType");
    entry.udn = entry.templateUdn;
    if (!IsValidUuidUdn(entry.udn) || m_udns.count(Lower(entry.udn))) {
      const std::string made = "uuid:" + NewUuid();
      m_out->notes.push_back((IsValidUuidUdn(entry.udn) ? "the UDN \"" + entry.udn + "\" is in use already"
                                                        : "the UDN \"" + entry.udn + "\" is not a uuid: UDN") +
                             "; the device is announced as " + made);
      entry.udn = made;
      SetText(udnNode, made);
    }
    m_udns.insert(Lower(entry.udn));
    m_out->devices.push_back(entry);

    if (xmlNode* icons = Child(device, "iconList")) {
      for (xmlNode* icon = icons->children; icon; icon = icon->next) {
        if (icon->type != XML_ELEMENT_NODE) continue;
        if (!IsElement(icon, "icon")) return Fail(UPNP_E_ICON_ELEMENT_EXPECTED, "iconList holds an element that is not an icon");
        for (const char* field : {"mimetype", "width", "height", "depth", "url"})
          if (ChildText(icon, field).empty()) return Fail(UPNP_E_ICON_NODE_INCOMPLETE, std::string("an icon has no ") + field);
        std::string rel;
        if (HRESULT hr = Resource(ChildText(icon, "url"), &rel); FAILED(hr)) return hr;
        Named(rel);
        SetText(Child(icon, "url"), m_prefix + "/res/" + EscapePath(rel));
      }
    }

    if (xmlNode* list = Child(device, "serviceList")) {
      for (xmlNode* svc = list->children; svc; svc = svc->next) {
        if (svc->type != XML_ELEMENT_NODE) continue;
        if (!IsElement(svc, "service")) return Fail(UPNP_E_SERVICE_ELEMENT_EXPECTED, "serviceList holds an element that is not a service");
        if (HRESULT hr = Service(svc, entry.udn); FAILED(hr)) return hr;
      }
    }

    if (xmlNode* list = Child(device, "deviceList")) {
      for (xmlNode* sub = list->children; sub; sub = sub->next) {
        if (sub->type != XML_ELEMENT_NODE) continue;
        if (!IsElement(sub, "device")) return Fail(UPNP_E_DEVICE_ELEMENT_EXPECTED, "deviceList holds an element that is not a device");
        if (HRESULT hr = Device(sub); FAILED(hr)) return hr;
      }
    }
    return S_OK;
  }

  HRESULT CheckResourceDir() {
    if (m_resourceDir.empty()) return S_OK;
    std::error_code ec;
    if (!std::filesystem::is_directory(m_resourceDir, ec))
      return Fail(HRESULT_FROM_WIN32(ERROR_PATH_NOT_FOUND), "the resource directory " + m_resourceDir.string() + " does not exist");
    return S_OK;
  }

 private:
  static std::string Lower(std::string s) {
    for (char& c : s)
      if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    return s;
  }

  HRESULT Fail(HRESULT hr, std::string why) {
    if (m_why) *m_why = std::move(why);
    return hr;
  }

  // A file the description names, found in the resource directory.
  HRESULT Resource(std::string url, std::string* rel) {
    if (url.find("://") != std::string::npos)
      return Fail(E_INVALIDARG, "\"" + url + "\" is not a path inside the resource directory");
    while (!url.empty() && url.front() == '/') url.erase(0, 1);
    // Thousands of services name the same few files: each is looked up on
    // disk once per registration, not once per service.
    if (m_found.count(url)) {
      *rel = url;
      return S_OK;
    }
    std::error_code ec;
    if (m_resourceDir.empty() || !std::filesystem::is_directory(m_resourceDir, ec))
      return Fail(HRESULT_FROM_WIN32(ERROR_PATH_NOT_FOUND),
                  "the resource directory \"" + m_resourceDir.string() + "\" does not exist");
    std::filesystem::path lexical = m_resourceDir / url;
    if (!std::filesystem::exists(lexical, ec))
      return Fail(HRESULT_FROM_WIN32(ERROR_FILE_NOT_FOUND), "\"" + url + "\" is not in the resource directory");
    if (ResolveInside(m_resourceDir, url).empty())
      return Fail(E_ACCESSDENIED, "\"" + url + "\" lies outside the resource directory");
    m_found.insert(url);
    *rel = url;
    return S_OK;
  }

  HRESULT Service(xmlNode* svc, const std::string& udn) {
    ServiceEntry e;
    e.deviceUdn = udn;
    e.serviceType = ChildText(svc, "serviceType");
    e.serviceId = ChildText(svc, "serviceId");
    const std::string scpdUrl = ChildText(svc, "SCPDURL");
    if (e.serviceType.empty()) return Fail(UPNP_E_SERVICE_NODE_INCOMPLETE, "a service has no serviceType");
    if (e.serviceId.empty()) return Fail(UPNP_E_SERVICE_NODE_INCOMPLETE, "a service has no serviceId");
    if (scpdUrl.empty()) return Fail(UPNP_E_SERVICE_NODE_INCOMPLETE, "a service has no SCPDURL");
    if (HRESULT hr = Resource(scpdUrl, &e.scpdFile); FAILED(hr)) return hr;
    // Many services name the same file: it is read and parsed once.
    auto& known = m_scpds[e.scpdFile];
    if (!known) {
      std::string text, readWhy;
      if (!ReadSmallFile(ResolveInside(m_resourceDir, e.scpdFile), &text, &readWhy))
        return Fail(UPNP_E_INVALID_DOCUMENT, "the service description \"" + e.scpdFile + "\" " + readWhy);
      auto parsed = std::make_shared<Scpd>();
      std::string scpdWhy;
      if (FAILED(ParseScpd(text, parsed.get(), &scpdWhy)))
        return Fail(UPNP_E_INVALID_DOCUMENT, "the service description \"" + e.scpdFile + "\": " + scpdWhy);
      known = std::move(parsed);
      Named(e.scpdFile);
    }
    e.scpd = known;
    const std::string n = std::to_string(m_out->services.size());
    e.controlPath = m_prefix + "/control/" + n;
    e.eventPath = m_prefix + "/event/" + n;
    e.scpdPath = m_prefix + "/res/" + EscapePath(e.scpdFile);
    SetText(EnsureChild(svc, "SCPDURL"), e.scpdPath);
    SetText(EnsureChild(svc, "controlURL"), e.controlPath);
    SetText(EnsureChild(svc, "eventSubURL"), e.eventPath);
    m_out->services.push_back(std::move(e));
    return S_OK;
  }

  std::filesystem::path m_resourceDir;
  std::string m_prefix;
  DeviceDoc* m_out;
  std::string* m_why;
  std::set<std::string> m_udns;
  std::map<std::string, std::shared_ptr<const Scpd>> m_scpds;
  std::set<std::string> m_named;
  std::set<std::string> m_found;  // names already found inside the resource directory

  void Named(const std::string& rel) {
    if (m_named.insert(rel).second) m_out->documents.push_back(rel);
  }
};

}  // namespace

const ScpdAction* Scpd::FindAction(std::string_view name) const {
  for (const auto& a : actions)
    if (a.name == name) return &a;
  return nullptr;
}

std::filesystem::path ResolveInside(const std::filesystem::path& root, std::string_view relative) {
  if (relative.empty() || relative.front() == '/' || relative.find('\0') != std::string_view::npos ||
      relative.find('\\') != std::string_view::npos)
    return {};
  std::string_view rest = relative;
  while (!rest.empty()) {
    const auto slash = rest.find('/');
    const std::string_view seg = rest.substr(0, slash);
    if (seg == ".." || seg == "." || seg.empty()) return {};
    if (slash == std::string_view::npos) break;
    rest.remove_prefix(slash + 1);
  }
  std::error_code ec;
  const auto realRoot = std::filesystem::canonical(root, ec);
  if (ec) return {};
  const auto real = std::filesystem::canonical(realRoot / std::string(relative), ec);
  if (ec) return {};
  // Symlinks are followed, and the target must still lie below the root.
  const std::string r = realRoot.string(), p = real.string();
  if (p.size() <= r.size() || p.compare(0, r.size(), r) != 0 || (r != "/" && p[r.size()] != '/')) return {};
  struct stat st {};
  if (::stat(p.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) return {};
  return real;
}

HRESULT ParseScpd(std::string_view xmlUtf8, Scpd* out, std::string* why) {
  std::string parseWhy;
  XmlDocPtr doc = ParseUtf8(xmlUtf8, &parseWhy);
  auto fail = [&](std::string w) {
    if (why) *why = std::move(w);
    return UPNP_E_INVALID_DOCUMENT;
  };
  if (!doc) return fail(parseWhy);
  xmlNode* root = xmlDocGetRootElement(doc.get());
  if (!IsElement(root, "scpd") || !InNamespace(root, kServiceNs)) return fail("the root element is not scpd");
  Scpd s;
  if (xmlNode* table = Child(root, "serviceStateTable")) {
    for (xmlNode* v = table->children; v; v = v->next) {
      if (!IsElement(v, "stateVariable")) continue;
      const std::string name = ChildText(v, "name");
      if (name.empty()) return fail("a state variable has no name");
      std::string type = ChildText(v, "dataType");
      s.variableTypes[name] = type.empty() ? "string" : type;
      XmlCharPtr ev(xmlGetProp(v, BAD_CAST "sendEvents"));
      if (!ev || xmlStrcasecmp(ev.get(), BAD_CAST "no") != 0) s.eventedVariables.push_back(name);
    }
  }
  if (xmlNode* list = Child(root, "actionList")) {
    for (xmlNode* a = list->children; a; a = a->next) {
      if (!IsElement(a, "action")) continue;
      ScpdAction action;
      action.name = ChildText(a, "name");
      if (action.name.empty()) return fail("an action has no name");
      if (xmlNode* args = Child(a, "argumentList")) {
        for (xmlNode* g = args->children; g; g = g->next) {
          if (!IsElement(g, "argument")) continue;
          ScpdArgument arg;
          arg.name = ChildText(g, "name");
          arg.stateVariable = ChildText(g, "relatedStateVariable");
          arg.retval = Child(g, "retval") != nullptr;
          const std::string dir = ChildText(g, "direction");
          if (arg.name.empty()) return fail("an argument of " + action.name + " has no name");
          auto t = s.variableTypes.find(arg.stateVariable);
          arg.dataType = t == s.variableTypes.end() ? "string" : t->second;
          if (dir == "in")
            action.in.push_back(arg);
          else if (dir == "out")
            action.out.push_back(arg);
          else
            return fail("the argument " + arg.name + " of " + action.name + " has no direction in or out");
        }
      }
      s.actions.push_back(std::move(action));
    }
  }
  *out = std::move(s);
  return S_OK;
}

HRESULT PrepareDescription(std::string_view xmlUtf8, const std::filesystem::path& resourceDir,
                           const std::string& urlPrefix, const std::vector<std::string>& udnsInUse,
                           DeviceDoc* out, std::string* why) {
  auto fail = [&](HRESULT hr, std::string w) {
    if (why) *why = std::move(w);
    return hr;
  };
  std::string parseWhy;
  XmlDocPtr doc = ParseUtf8(xmlUtf8, &parseWhy);
  if (!doc) return fail(UPNP_E_INVALID_DOCUMENT, "the description is " + parseWhy);
  xmlNode* root = xmlDocGetRootElement(doc.get());
  if (!IsElement(root, "root") || !InNamespace(root, kDeviceNs))
    return fail(UPNP_E_ROOT_ELEMENT_EXPECTED, "the document element is not root in urn:schemas-upnp-org:device-1-0");
  xmlNode* spec = Child(root, "specVersion");
  if (!spec || ChildText(spec, "major") != "1")
    return fail(UPNP_E_INVALID_DOCUMENT, "the description has no specVersion 1.x");
  xmlNode* device = Child(root, "device");
  if (!device) return fail(UPNP_E_DEVICE_ELEMENT_EXPECTED, "root holds no device");

  DeviceDoc result;
  Builder b(resourceDir, urlPrefix, udnsInUse, &result, why);
  if (HRESULT hr = b.CheckResourceDir(); FAILED(hr)) return hr;
  if (HRESULT hr = b.Device(device); FAILED(hr)) return hr;
  // A URLBase would send control points elsewhere than the host's server.
  if (xmlNode* base = Child(root, "URLBase")) {
    xmlUnlinkNode(base);
    xmlFreeNode(base);
  }
  xmlChar* mem = nullptr;
  int size = 0;
  xmlDocDumpFormatMemoryEnc(doc.get(), &mem, &size, "UTF-8", 0);
  if (!mem) return fail(E_OUTOFMEMORY, "the description cannot be written");
  result.publishedXml.assign(reinterpret_cast<const char*>(mem), static_cast<size_t>(size));
  xmlFree(mem);
  *out = std::move(result);
  return S_OK;
}

}  // namespace qel::upnphost
