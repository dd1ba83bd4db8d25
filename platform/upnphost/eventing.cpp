// GENA eventing: SUBSCRIBE, renewal and UNSUBSCRIBE, and the NOTIFY messages
// with the values of the service's evented variables.
#include <cstdlib>

#include "host.h"
#include "qel/wstr.h"

namespace qel::upnphost {

namespace {

constexpr unsigned kDefaultTimeout = 1800;
constexpr unsigned kMinTimeout = 60;
constexpr unsigned kMaxTimeout = 86400;
constexpr size_t kMaxSubscriptions = 64;  // per service
constexpr size_t kMaxCallbacks = 8;

unsigned ParseTimeout(const char* header) {
  if (!header) return kDefaultTimeout;
  const std::string v = header;
  if (g_ascii_strncasecmp(v.c_str(), "Second-", 7) != 0) return kDefaultTimeout;
  if (g_ascii_strcasecmp(v.c_str() + 7, "infinite") == 0) return kDefaultTimeout;
  char* end = nullptr;
  const unsigned long n = std::strtoul(v.c_str() + 7, &end, 10);
  if (end == v.c_str() + 7) return kDefaultTimeout;
  if (n < kMinTimeout) return kMinTimeout;
  if (n > kMaxTimeout) return kMaxTimeout;
  return static_cast<unsigned>(n);
}

// "<http://a/b><http://c/d>": the http URLs, each checked for reachability
// from the network the request came in on. Unusable URLs are dropped.
std::vector<std::string> ParseCallbacks(const char* header, GUPnPContext* context) {
  std::vector<std::string> out;
  if (!header) return out;
  std::string_view rest = header;
  while (out.size() < kMaxCallbacks) {
    const auto open = rest.find('<');
    if (open == std::string_view::npos) break;
    const auto close = rest.find('>', open);
    if (close == std::string_view::npos) break;
    const std::string url(rest.substr(open + 1, close - open - 1));
    rest.remove_prefix(close + 1);
    GUri* uri = g_uri_parse(url.c_str(), G_URI_FLAGS_NONE, nullptr);
    if (!uri) continue;
    const bool http = g_strcmp0(g_uri_get_scheme(uri), "http") == 0;
    const char* host = g_uri_get_host(uri);
    GInetAddress* addr = host ? g_inet_address_new_from_string(host) : nullptr;
    bool reachable = false;
    if (http && addr && context) {
      const int port = g_uri_get_port(uri);
      GSocketAddress* sa = g_inet_socket_address_new(addr, static_cast<guint16>(port > 0 ? port : 80));
      reachable = gssdp_client_can_reach(GSSDP_CLIENT(context), G_INET_SOCKET_ADDRESS(sa));
      g_object_unref(sa);
    }
    if (addr) g_object_unref(addr);
    g_uri_unref(uri);
    if (reachable) out.push_back(url);
  }
  return out;
}

void Status(SoupServerMessage* msg, guint code) { soup_server_message_set_status(msg, code, nullptr); }

std::string PropertySet(ServiceRuntime& svc, const std::vector<std::string>& names) {
  std::string body = "<?xml version=\"1.0\"?>\n<e:propertyset xmlns:e=\"urn:schemas-upnp-org:event-1-0\">";
  for (const auto& n : names)
    body += "<e:property><" + n + ">" + XmlEscape(ReadVariable(svc, n)) + "</" + n + "></e:property>";
  body += "</e:propertyset>\n";
  return body;
}

struct PendingNotify {
  GObjectPtr<SoupMessage> message;
};

void OnNotifySent(GObject* source, GAsyncResult* res, gpointer user) {
  std::unique_ptr<PendingNotify> p(static_cast<PendingNotify*>(user));
  GErrorPtr err;
  GBytesPtr reply(soup_session_send_and_read_finish(SOUP_SESSION(source), res, Out(err)));
  // A subscriber that does not take the event loses it; the subscription
  // stays until it expires, as GENA has it.
}

void SendNotify(ServiceRuntime& svc, Subscription& sub, const std::string& body) {
  if (sub.callbacks.empty()) return;
  SoupMessage* m = soup_message_new("NOTIFY", sub.callbacks.front().c_str());
  if (!m) return;
  SoupMessageHeaders* h = soup_message_get_request_headers(m);
  soup_message_headers_append(h, "NT", "upnp:event");
  soup_message_headers_append(h, "NTS", "upnp:propchange");
  soup_message_headers_append(h, "SID", sub.sid.c_str());
  soup_message_headers_append(h, "SEQ", std::to_string(sub.seq).c_str());
  sub.seq = sub.seq == 0xFFFFFFFFu ? 1 : sub.seq + 1;
  GBytes* bytes = g_bytes_new(body.data(), body.size());
  soup_message_set_request_body_from_bytes(m, "text/xml; charset=\"utf-8\"", bytes);
  g_bytes_unref(bytes);
  auto* pending = new PendingNotify{GObjectPtr<SoupMessage>(m)};
  soup_session_send_and_read_async(Host::Get().NotifySession(), m, G_PRIORITY_DEFAULT, svc.device->cancel.get(),
                                   OnNotifySent, pending);
}

// The first event of a subscription goes out once the SUBSCRIBE answer has.
struct InitialEvent {
  std::weak_ptr<ServiceRuntime> svc;
  std::string sid;
};

gboolean OnInitialEvent(gpointer user) {
  auto* ie = static_cast<InitialEvent*>(user);
  if (auto svc = ie->svc.lock()) {
    for (auto& s : svc->subscriptions) {
      if (s.sid == ie->sid) {
        NotifyVariables(*svc, svc->entry->scpd.eventedVariables, &s);
        break;
      }
    }
  }
  return G_SOURCE_REMOVE;
}

void DeleteInitialEvent(gpointer user) { delete static_cast<InitialEvent*>(user); }

std::shared_ptr<ServiceRuntime> SharedOf(ServiceRuntime& svc) {
  for (auto& s : svc.device->services)
    if (s.get() == &svc) return s;
  return nullptr;
}

// Receives IUPnPEventSink calls on any thread and hands the changed
// variables to the network thread.
class EventSink final : public ComObject<EventSink, IUPnPEventSink> {
 public:
  EventSink(std::weak_ptr<ServiceRuntime> svc, GMainContext* loop) : m_svc(std::move(svc)), m_loop(loop) {
    g_main_context_ref(m_loop);
  }
  ~EventSink() { g_main_context_unref(m_loop); }

  HRESULT STDMETHODCALLTYPE OnStateChanged(DWORD cChanges, DISPID rgdispidChanges[]) override {
    if (cChanges && !rgdispidChanges) return E_POINTER;
    struct Change {
      std::weak_ptr<ServiceRuntime> svc;
      std::vector<DISPID> ids;
    };
    auto* c = new Change{m_svc, std::vector<DISPID>(rgdispidChanges, rgdispidChanges + cChanges)};
    g_main_context_invoke_full(
        m_loop, G_PRIORITY_DEFAULT,
        [](gpointer p) -> gboolean {
          auto* ch = static_cast<Change*>(p);
          if (auto svc = ch->svc.lock()) {
            std::vector<std::string> names;
            for (DISPID id : ch->ids)
              for (const auto& [name, known] : svc->variableIds)
                if (known == id) names.push_back(name);
            if (!names.empty()) NotifyVariables(*svc, names, nullptr);
          }
          return G_SOURCE_REMOVE;
        },
        c, [](gpointer p) { delete static_cast<Change*>(p); });
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE OnStateChangedSafe(VARIANT) override { return E_NOTIMPL; }

 private:
  std::weak_ptr<ServiceRuntime> m_svc;
  GMainContext* m_loop;
};

}  // namespace

ComPtr<IUPnPEventSink> MakeEventSink(std::weak_ptr<ServiceRuntime> svc, GMainContext* loop) {
  ComPtr<EventSink> s = MakeComObject<EventSink>(std::move(svc), loop);
  return ComPtr<IUPnPEventSink>(s.Get());
}

void NotifyVariables(ServiceRuntime& svc, const std::vector<std::string>& names, const Subscription* only) {
  ExpireSubscriptions(svc);
  if (names.empty() || svc.subscriptions.empty()) return;
  const std::string body = PropertySet(svc, names);
  for (auto& s : svc.subscriptions)
    if (!only || s.sid == only->sid) SendNotify(svc, s, body);
}

void ExpireSubscriptions(ServiceRuntime& svc) {
  const gint64 now = g_get_monotonic_time();
  std::erase_if(svc.subscriptions, [now](const Subscription& s) { return s.expiresUs <= now; });
}

void HandleEventSubscription(SoupServerMessage* msg, ServiceRuntime& svc, GUPnPContext* context) {
  const char* method = soup_server_message_get_method(msg);
  SoupMessageHeaders* in = soup_server_message_get_request_headers(msg);
  SoupMessageHeaders* out = soup_server_message_get_response_headers(msg);
  const char* sid = soup_message_headers_get_one(in, "SID");
  const char* nt = soup_message_headers_get_one(in, "NT");
  const char* callback = soup_message_headers_get_one(in, "CALLBACK");
  ExpireSubscriptions(svc);

  if (g_strcmp0(method, "UNSUBSCRIBE") == 0) {
    if (!sid) return Status(msg, SOUP_STATUS_PRECONDITION_FAILED);
    if (nt || callback) return Status(msg, SOUP_STATUS_BAD_REQUEST);
    const auto before = svc.subscriptions.size();
    std::erase_if(svc.subscriptions, [&](const Subscription& s) { return s.sid == sid; });
    return Status(msg, before == svc.subscriptions.size() ? SOUP_STATUS_PRECONDITION_FAILED : SOUP_STATUS_OK);
  }
  if (g_strcmp0(method, "SUBSCRIBE") != 0) {
    soup_message_headers_append(out, "Allow", "SUBSCRIBE, UNSUBSCRIBE");
    return Status(msg, SOUP_STATUS_METHOD_NOT_ALLOWED);
  }
  const unsigned timeout = ParseTimeout(soup_message_headers_get_one(in, "TIMEOUT"));
  const gint64 expires = g_get_monotonic_time() + static_cast<gint64>(timeout) * G_USEC_PER_SEC;
  const std::string timeoutText = "Second-" + std::to_string(timeout);

  if (sid) {  // renewal
    if (nt || callback) return Status(msg, SOUP_STATUS_BAD_REQUEST);
    for (auto& s : svc.subscriptions) {
      if (s.sid == sid) {
        s.expiresUs = expires;
        soup_message_headers_append(out, "SID", s.sid.c_str());
        soup_message_headers_append(out, "TIMEOUT", timeoutText.c_str());
        soup_message_headers_replace(out, "Server", Host::Get().ServerId().c_str());
        return Status(msg, SOUP_STATUS_OK);
      }
    }
    return Status(msg, SOUP_STATUS_PRECONDITION_FAILED);
  }
  if (g_strcmp0(nt, "upnp:event") != 0) return Status(msg, SOUP_STATUS_PRECONDITION_FAILED);
  // A callback outside the requester's network is never contacted.
  std::vector<std::string> callbacks = ParseCallbacks(callback, context);
  if (callbacks.empty()) return Status(msg, SOUP_STATUS_PRECONDITION_FAILED);
  if (svc.subscriptions.size() >= kMaxSubscriptions) return Status(msg, SOUP_STATUS_SERVICE_UNAVAILABLE);

  Subscription s;
  s.sid = "uuid:" + NewUuid();
  s.callbacks = std::move(callbacks);
  s.expiresUs = expires;
  soup_message_headers_append(out, "SID", s.sid.c_str());
  soup_message_headers_append(out, "TIMEOUT", timeoutText.c_str());
  soup_message_headers_replace(out, "Server", Host::Get().ServerId().c_str());
  Status(msg, SOUP_STATUS_OK);
  svc.subscriptions.push_back(s);

  GSource* src = g_timeout_source_new(50);
  g_source_set_callback(src, OnInitialEvent, new InitialEvent{SharedOf(svc), s.sid}, DeleteInitialEvent);
  g_source_attach(src, Host::Get().LoopContext());
  g_source_unref(src);
}

}  // namespace qel::upnphost
