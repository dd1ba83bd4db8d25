// SOAP control: each action request becomes IDispatch::GetIDsOfNames and
// Invoke on the service object, its out arguments the SOAP response.
#include <libxml/parser.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "host.h"
#include "oleauto.h"
#include "qel/wstr.h"

namespace qel::upnphost {

namespace {

constexpr const char* kSoapNs = "http://schemas.xmlsoap.org/soap/envelope/";
constexpr const char* kControlNs = "urn:schemas-upnp-org:control-1-0";

bool IsNsElement(const xmlNode* n, const char* local, const char* ns) {
  return n && n->type == XML_ELEMENT_NODE && xmlStrcmp(n->name, BAD_CAST local) == 0 &&
         (!ns || (n->ns && xmlStrcmp(n->ns->href, BAD_CAST ns) == 0));
}

xmlNode* FirstElement(xmlNode* parent) {
  for (xmlNode* c = parent ? parent->children : nullptr; c; c = c->next)
    if (c->type == XML_ELEMENT_NODE) return c;
  return nullptr;
}

// libxml2 keeps a namespace name that is no valid URI (a service type with
// blanks or '&') with its character references re-escaped ("&#38;").
std::string UnescapeReferences(const std::string& s) {
  if (s.find('&') == std::string::npos) return s;
  std::string o;
  for (size_t i = 0; i < s.size(); ++i) {
    const auto semi = s[i] == '&' ? s.find(';', i) : std::string::npos;
    if (semi == std::string::npos || semi - i > 10) {
      o += s[i];
      continue;
    }
    const std::string ref = s.substr(i + 1, semi - i - 1);
    unsigned long cp = 0;
    if (ref == "amp") cp = '&';
    else if (ref == "lt") cp = '<';
    else if (ref == "gt") cp = '>';
    else if (ref == "quot") cp = '"';
    else if (ref == "apos") cp = '\'';
    else if (ref.size() > 1 && ref[0] == '#')
      cp = ref[1] == 'x' ? std::strtoul(ref.c_str() + 2, nullptr, 16) : std::strtoul(ref.c_str() + 1, nullptr, 10);
    if (cp == 0 || cp > 0x10FFFF) {
      o += s[i];
      continue;
    }
    char buf[8];
    o.append(buf, static_cast<size_t>(g_unichar_to_utf8(static_cast<gunichar>(cp), buf)));
    i = semi;
  }
  return o;
}

void Respond(HttpResponse& resp, unsigned status, std::string body) {
  resp.status = status;
  resp.Add("EXT", "");
  resp.Add("Content-Type", "text/xml; charset=\"utf-8\"");
  resp.body = std::move(body);
}

const char* Envelope() {
  return "<?xml version=\"1.0\"?>\n<s:Envelope xmlns:s=\"http://schemas.xmlsoap.org/soap/envelope/\" "
         "s:encodingStyle=\"http://schemas.xmlsoap.org/soap/encoding/\"><s:Body>";
}

void RespondError(HttpResponse& resp, int code, const std::string& description) {
  std::string body = Envelope();
  body += "<s:Fault><faultcode>s:Client</faultcode><faultstring>UPnPError</faultstring><detail>"
          "<UPnPError xmlns=\"urn:schemas-upnp-org:control-1-0\"><errorCode>" +
          std::to_string(code) + "</errorCode><errorDescription>" + XmlEscape(description) +
          "</errorDescription></UPnPError></detail></s:Fault></s:Body></s:Envelope>\n";
  Respond(resp, 500, std::move(body));
}

// A fault of the SOAP layer itself, before any action is looked at.
void RespondSoapFault(HttpResponse& resp, const char* text) {
  std::string body = Envelope();
  body += "<s:Fault><faultcode>s:Client</faultcode><faultstring>" + XmlEscape(text) +
          "</faultstring></s:Fault></s:Body></s:Envelope>\n";
  Respond(resp, 500, std::move(body));
}

void RespondBadRequest(HttpResponse& resp) { resp.status = 400; }

// The text of an argument element: its text nodes only, at most `limit`
// bytes. Anything else inside it (an entity reference, an element) makes
// it no argument value: false.
bool ArgumentText(const xmlNode* n, size_t limit, std::string* out) {
  out->clear();
  for (const xmlNode* c = n->children; c; c = c->next) {
    if (c->type != XML_TEXT_NODE && c->type != XML_CDATA_SECTION_NODE) {
      if (c->type == XML_COMMENT_NODE || c->type == XML_PI_NODE) continue;
      return false;
    }
    const size_t len = c->content ? std::strlen(reinterpret_cast<const char*>(c->content)) : 0;
    if (out->size() + len > limit) return false;
    out->append(reinterpret_cast<const char*>(c->content), len);
  }
  return true;
}

// An in argument as the VARIANT its state variable's data type calls for;
// false when the text is not a value of that type.
bool TextToVariant(const std::string& text, const std::string& type, VARIANT* v) {
  VariantInit(v);
  auto allDigits = [](const std::string& s, bool sign) {
    size_t i = (sign && !s.empty() && (s[0] == '-' || s[0] == '+')) ? 1 : 0;
    if (i >= s.size()) return false;
    for (; i < s.size(); ++i)
      if (s[i] < '0' || s[i] > '9') return false;
    return true;
  };
  if (type == "ui1" || type == "ui2" || type == "ui4") {
    if (!allDigits(text, false)) return false;
    errno = 0;
    const unsigned long long n = std::strtoull(text.c_str(), nullptr, 10);
    const unsigned long long max = type == "ui1" ? 0xFF : type == "ui2" ? 0xFFFF : 0xFFFFFFFFull;
    if (errno || n > max) return false;
    v->vt = VT_UI4;
    v->ulVal = static_cast<ULONG>(n);
    return true;
  }
  if (type == "i1" || type == "i2" || type == "i4" || type == "int") {
    if (!allDigits(text, true)) return false;
    errno = 0;
    const long long n = std::strtoll(text.c_str(), nullptr, 10);
    const long long lim = type == "i1" ? 0x7F : type == "i2" ? 0x7FFF : 0x7FFFFFFFll;
    if (errno || n > lim || n < -lim - 1) return false;
    v->vt = VT_I4;
    v->lVal = static_cast<LONG>(n);
    return true;
  }
  if (type == "r4" || type == "r8" || type == "number" || type == "float" || type == "fixed.14.4") {
    char* end = nullptr;
    errno = 0;
    const double d = std::strtod(text.c_str(), &end);
    if (text.empty() || errno || *end) return false;
    v->vt = VT_R8;
    v->dblVal = d;
    return true;
  }
  if (type == "boolean") {
    if (text == "1" || text == "true" || text == "yes") {
      v->vt = VT_BOOL;
      v->boolVal = VARIANT_TRUE;
      return true;
    }
    if (text == "0" || text == "false" || text == "no") {
      v->vt = VT_BOOL;
      v->boolVal = VARIANT_FALSE;
      return true;
    }
    return false;
  }
  v->vt = VT_BSTR;
  v->bstrVal = SysAllocString(FromUtf8(text).c_str());
  return v->bstrVal != nullptr || text.empty();
}

// UPnP error code and description for a failed Invoke.
std::pair<int, std::string> FaultFor(HRESULT hr, const EXCEPINFO& ei) {
  HRESULT code = hr;
  std::string description;
  if (hr == DISP_E_EXCEPTION) {
    code = ei.scode;
    if (ei.bstrDescription) description = ToUtf8(ei.bstrDescription);
  }
  if (code == DISP_E_MEMBERNOTFOUND || code == DISP_E_UNKNOWNNAME || code == UPNP_E_INVALID_ACTION)
    return {401, "Invalid Action"};
  if (code == DISP_E_BADPARAMCOUNT || code == DISP_E_TYPEMISMATCH || code == DISP_E_PARAMNOTFOUND ||
      code == UPNP_E_INVALID_ARGUMENTS)
    return {402, "Invalid Args"};
  if (code >= UPNP_E_ACTION_SPECIFIC_BASE && code <= UPNP_E_ACTION_SPECIFIC_MAX) {
    const int n = FAULT_ACTION_SPECIFIC_BASE + static_cast<int>(code - UPNP_E_ACTION_SPECIFIC_BASE);
    if (n <= FAULT_ACTION_SPECIFIC_MAX) return {n, description.empty() ? "Action Failed" : description};
  }
  return {501, "Action Failed"};
}

void QueryStateVariable(HttpResponse& resp, ServiceRuntime& svc, xmlNode* action) {
  std::string name;
  for (xmlNode* c = action->children; c; c = c->next)
    if (IsNsElement(c, "varName", nullptr) && !ArgumentText(c, kMaxControlBody, &name)) name.clear();
  if (!svc.entry->scpd->variableTypes.count(name)) {
    RespondError(resp, 404, "Invalid Var");
    return;
  }
  std::string body = Envelope();
  body += "<u:QueryStateVariableResponse xmlns:u=\"urn:schemas-upnp-org:control-1-0\"><return>" +
          XmlEscape(ReadVariable(svc, name)) + "</return></u:QueryStateVariableResponse></s:Body></s:Envelope>\n";
  Respond(resp, 200, std::move(body));
}

}  // namespace

std::string XmlEscape(std::string_view s) {
  std::string o;
  o.reserve(s.size());
  for (char c : s) {
    switch (c) {
      case '&': o += "&amp;"; break;
      case '<': o += "&lt;"; break;
      case '>': o += "&gt;"; break;
      case '"': o += "&quot;"; break;
      case '\'': o += "&apos;"; break;
      default: o += c;
    }
  }
  return o;
}

std::string VariantToText(const VARIANT& in) {
  const VARIANT* v = &in;
  if (v->vt == (VT_BYREF | VT_VARIANT) && v->pvarVal) v = v->pvarVal;
  switch (v->vt) {
    case VT_EMPTY:
    case VT_NULL: return {};
    case VT_BSTR: return ToUtf8(v->bstrVal);
    case VT_BOOL: return v->boolVal ? "1" : "0";
    default: break;
  }
  VARIANT tmp;
  VariantInit(&tmp);
  std::string out;
  if (SUCCEEDED(VariantChangeType(&tmp, v, 0, VT_BSTR))) out = ToUtf8(tmp.bstrVal);
  VariantClear(&tmp);
  return out;
}

std::string ReadVariable(ServiceRuntime& svc, const std::string& name) {
  DISPID dispid = DISPID_UNKNOWN;
  auto it = svc.variableIds.find(name);
  if (it != svc.variableIds.end()) {
    dispid = it->second;
  } else {
    std::u16string w = FromUtf8(name);
    LPOLESTR names[1] = {w.data()};
    if (FAILED(svc.dispatch->GetIDsOfNames(IID_NULL, names, 1, LOCALE_SYSTEM_DEFAULT, &dispid))) return {};
  }
  DISPPARAMS none{nullptr, nullptr, 0, 0};
  VARIANT result;
  VariantInit(&result);
  EXCEPINFO ei{};
  UINT argErr = 0;
  std::string text;
  if (SUCCEEDED(svc.dispatch->Invoke(dispid, IID_NULL, LOCALE_SYSTEM_DEFAULT, DISPATCH_PROPERTYGET, &none, &result,
                                     &ei, &argErr)))
    text = VariantToText(result);
  VariantClear(&result);
  SysFreeString(ei.bstrSource);
  SysFreeString(ei.bstrDescription);
  SysFreeString(ei.bstrHelpFile);
  return text;
}

void HandleControl(const HttpRequest& req, HttpResponse& resp, ServiceRuntime& svc) {
  // SOAP forbids a document type declaration, and one can declare entities
  // whose expansion costs far more than the message: refused before parsing.
  if (req.body.find("<!DOCTYPE") != std::string::npos)
    return RespondSoapFault(resp, "A SOAP message must not contain a Document Type Declaration");
  XmlDocPtr doc(!req.body.empty() ? xmlReadMemory(req.body.data(), static_cast<int>(req.body.size()), "soap.xml",
                                                  nullptr, XML_PARSE_NONET | XML_PARSE_NOERROR | XML_PARSE_NOWARNING)
                                  : nullptr);
  if (doc && (doc->intSubset || doc->extSubset))
    return RespondSoapFault(resp, "A SOAP message must not contain a Document Type Declaration");
  xmlNode* env = doc ? xmlDocGetRootElement(doc.get()) : nullptr;
  if (!IsNsElement(env, "Envelope", kSoapNs)) return RespondBadRequest(resp);
  xmlNode* bodyNode = nullptr;
  for (xmlNode* c = env->children; c; c = c->next)
    if (IsNsElement(c, "Body", kSoapNs)) bodyNode = c;
  xmlNode* action = FirstElement(bodyNode);
  if (!action || !action->ns || !action->ns->href) return RespondBadRequest(resp);

  const std::string actionName = reinterpret_cast<const char*>(action->name);
  const std::string actionNs = UnescapeReferences(reinterpret_cast<const char*>(action->ns->href));
  // SOAPACTION names the same service type and action as the body.
  if (const char* sa = req.Header("SOAPACTION")) {
    std::string v = sa;
    if (v.size() >= 2 && v.front() == '"' && v.back() == '"') v = v.substr(1, v.size() - 2);
    if (v != actionNs + "#" + actionName) return RespondError(resp, 401, "Invalid Action");
  }
  if (actionNs == kControlNs && actionName == "QueryStateVariable") return QueryStateVariable(resp, svc, action);
  if (actionNs != svc.entry->serviceType) return RespondError(resp, 401, "Invalid Action");
  const ScpdAction* spec = svc.entry->scpd->FindAction(actionName);
  if (!spec) return RespondError(resp, 401, "Invalid Action");

  std::map<std::string, std::string> given;
  for (xmlNode* c = action->children; c; c = c->next) {
    if (c->type != XML_ELEMENT_NODE) continue;
    std::string text;
    if (!ArgumentText(c, kMaxControlBody, &text) ||
        !given.emplace(reinterpret_cast<const char*>(c->name), std::move(text)).second)
      return RespondError(resp, 402, "Invalid Args");
  }
  if (given.size() != spec->in.size()) return RespondError(resp, 402, "Invalid Args");

  std::u16string wname = FromUtf8(actionName);
  LPOLESTR names[1] = {wname.data()};
  DISPID dispid = DISPID_UNKNOWN;
  if (FAILED(svc.dispatch->GetIDsOfNames(IID_NULL, names, 1, LOCALE_SYSTEM_DEFAULT, &dispid)))
    return RespondError(resp, 401, "Invalid Action");

  // In arguments in description order, then the out arguments by reference
  // (the retval one is Invoke's result); DISPPARAMS holds them last first.
  const ScpdArgument* retval = nullptr;
  std::vector<const ScpdArgument*> outs;
  for (const auto& a : spec->out) {
    if (a.retval && !retval)
      retval = &a;
    else
      outs.push_back(&a);
  }
  const size_t count = spec->in.size() + outs.size();
  std::vector<VARIANT> args(count), outValues(outs.size());
  for (auto& v : outValues) VariantInit(&v);
  bool argsOk = true;
  for (size_t i = 0; i < spec->in.size(); ++i) {
    VARIANT& slot = args[count - 1 - i];
    auto it = given.find(spec->in[i].name);
    if (it == given.end() || !TextToVariant(it->second, spec->in[i].dataType, &slot)) {
      VariantInit(&slot);
      argsOk = false;
    }
  }
  for (size_t j = 0; j < outs.size(); ++j) {
    VARIANT& slot = args[count - 1 - spec->in.size() - j];
    VariantInit(&slot);
    slot.vt = VT_BYREF | VT_VARIANT;
    slot.pvarVal = &outValues[j];
  }
  VARIANT result;
  VariantInit(&result);
  if (!argsOk) {
    for (size_t i = 0; i < spec->in.size(); ++i) VariantClear(&args[count - 1 - i]);
    return RespondError(resp, 402, "Invalid Args");
  }
  DISPPARAMS dp{args.data(), nullptr, static_cast<UINT>(count), 0};
  EXCEPINFO ei{};
  UINT argErr = 0;
  const HRESULT hr = svc.dispatch->Invoke(dispid, IID_NULL, LOCALE_SYSTEM_DEFAULT, DISPATCH_METHOD, &dp, &result,
                                          &ei, &argErr);
  for (size_t i = 0; i < spec->in.size(); ++i) VariantClear(&args[count - 1 - i]);
  if (FAILED(hr)) {
    auto [code, description] = FaultFor(hr, ei);
    SysFreeString(ei.bstrSource);
    SysFreeString(ei.bstrDescription);
    SysFreeString(ei.bstrHelpFile);
    for (auto& v : outValues) VariantClear(&v);
    VariantClear(&result);
    return RespondError(resp, code, description);
  }
  std::string response = Envelope();
  response += "<u:" + actionName + "Response xmlns:u=\"" + XmlEscape(actionNs) + "\">";
  size_t j = 0;
  for (const auto& a : spec->out) {
    const std::string value = &a == retval ? VariantToText(result) : VariantToText(outValues[j++]);
    response += "<" + a.name + ">" + XmlEscape(value) + "</" + a.name + ">";
  }
  response += "</u:" + actionName + "Response></s:Body></s:Envelope>\n";
  for (auto& v : outValues) VariantClear(&v);
  VariantClear(&result);
  Respond(resp, 200, std::move(response));
}

}  // namespace qel::upnphost
