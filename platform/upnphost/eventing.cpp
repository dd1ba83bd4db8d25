// GENA eventing: SUBSCRIBE, renewal and UNSUBSCRIBE, and the NOTIFY messages
// with the values of the service's evented variables.
#include <arpa/inet.h>
#include <ifaddrs.h>
#include <net/if.h>
#include <netinet/in.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>

#include "host.h"
#include "qel/wstr.h"

namespace qel::upnphost {

namespace {

constexpr unsigned kDefaultTimeout = 1800;
constexpr unsigned kMinTimeout = 60;
// Longer than this a subscriber must renew (UDA suggests 1800 s): a peer
// that went away frees its places within half an hour.
constexpr unsigned kMaxTimeout = 1800;
constexpr size_t kMaxSubscriptions = 64;        // per service
constexpr size_t kMaxSubscriptionsPerPeer = 8;  // per service and client address
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

struct IfAddrsFree {
  void operator()(ifaddrs* p) const {
    if (p) freeifaddrs(p);
  }
};

// An address as IPv4 when it is one (an IPv4 peer on the dual-stack socket
// shows as ::ffff:a.b.c.d).
sockaddr_storage Plain(const sockaddr_storage& in) {
  if (in.ss_family != AF_INET6) return in;
  const auto& a6 = reinterpret_cast<const sockaddr_in6&>(in);
  if (!IN6_IS_ADDR_V4MAPPED(&a6.sin6_addr)) return in;
  sockaddr_storage out{};
  auto& a4 = reinterpret_cast<sockaddr_in&>(out);
  a4.sin_family = AF_INET;
  std::memcpy(&a4.sin_addr, a6.sin6_addr.s6_addr + 12, 4);
  return out;
}

bool SameAddress(const sockaddr* a, const sockaddr_storage& b) {
  if (a->sa_family != b.ss_family) return false;
  if (a->sa_family == AF_INET)
    return reinterpret_cast<const sockaddr_in*>(a)->sin_addr.s_addr ==
           reinterpret_cast<const sockaddr_in&>(b).sin_addr.s_addr;
  const auto* x = reinterpret_cast<const sockaddr_in6*>(a);
  const auto& y = reinterpret_cast<const sockaddr_in6&>(b);
  return std::memcmp(&x->sin6_addr, &y.sin6_addr, 16) == 0 &&
         (!IN6_IS_ADDR_LINKLOCAL(&y.sin6_addr) || !y.sin6_scope_id || x->sin6_scope_id == y.sin6_scope_id);
}

bool InPrefix(const unsigned char* a, const unsigned char* net, const unsigned char* mask, size_t len) {
  for (size_t i = 0; i < len; ++i)
    if ((a[i] & mask[i]) != (net[i] & mask[i])) return false;
  return true;
}

// Whether `host` (an address literal, with an optional "%zone") lies on the
// network of the interface the request came in on: the subnet of one of its
// addresses, or any link-local address of that link. For an IPv6
// link-local callback `zone` receives the interface's name, which the
// address needs to be reached.
bool OnRequestersLink(const std::string& host, const sockaddr_storage& localIn, std::string* zone) {
  std::string literal = host, given;
  if (const auto pct = literal.find('%'); pct != std::string::npos) {
    given = literal.substr(pct + 1);
    literal.resize(pct);
  }
  unsigned char addr[16];
  int family = AF_INET;
  if (inet_pton(AF_INET, literal.c_str(), addr) != 1) {
    if (inet_pton(AF_INET6, literal.c_str(), addr) != 1) return false;
    family = AF_INET6;
    if (IN6_IS_ADDR_V4MAPPED(reinterpret_cast<in6_addr*>(addr))) {
      std::memmove(addr, addr + 12, 4);
      family = AF_INET;
    }
  }
  const sockaddr_storage local = Plain(localIn);
  ifaddrs* raw = nullptr;
  if (getifaddrs(&raw) != 0) return false;
  std::unique_ptr<ifaddrs, IfAddrsFree> list(raw);
  const char* ifname = nullptr;
  for (ifaddrs* i = raw; i; i = i->ifa_next)
    if (i->ifa_addr && SameAddress(i->ifa_addr, local)) ifname = i->ifa_name;
  if (!ifname) return false;
  if (family == AF_INET6 && IN6_IS_ADDR_LINKLOCAL(reinterpret_cast<in6_addr*>(addr))) {
    // Every link-local neighbour is on the link; a zone that names another
    // interface is not.
    if (!given.empty() && given != ifname && std::to_string(if_nametoindex(ifname)) != given) return false;
    *zone = ifname;
    return true;
  }
  if (!given.empty()) return false;
  for (ifaddrs* i = raw; i; i = i->ifa_next) {
    if (!i->ifa_addr || !i->ifa_netmask || std::strcmp(i->ifa_name, ifname) != 0 || i->ifa_addr->sa_family != family)
      continue;
    if (family == AF_INET) {
      const auto* a = reinterpret_cast<const unsigned char*>(&reinterpret_cast<sockaddr_in*>(i->ifa_addr)->sin_addr);
      const auto* m = reinterpret_cast<const unsigned char*>(&reinterpret_cast<sockaddr_in*>(i->ifa_netmask)->sin_addr);
      if (InPrefix(addr, a, m, 4)) return true;
    } else {
      const auto* a = reinterpret_cast<sockaddr_in6*>(i->ifa_addr)->sin6_addr.s6_addr;
      const auto* m = reinterpret_cast<sockaddr_in6*>(i->ifa_netmask)->sin6_addr.s6_addr;
      if (InPrefix(addr, a, m, 16)) return true;
    }
  }
  return false;
}

// "<http://a/b><http://c/d>": the http URLs whose host is on the network the
// request came in on, in the order given. Unusable URLs are dropped.
std::vector<std::string> ParseCallbacks(const char* header, const sockaddr_storage& local) {
  std::vector<std::string> out;
  if (!header) return out;
  std::string_view rest = header;
  for (size_t seen = 0; seen < kMaxCallbacks; ++seen) {
    const auto open = rest.find('<');
    if (open == std::string_view::npos) break;
    const auto close = rest.find('>', open);
    if (close == std::string_view::npos) break;
    const std::string url(rest.substr(open + 1, close - open - 1));
    rest.remove_prefix(close + 1);
    GUri* uri = g_uri_parse(url.c_str(), G_URI_FLAGS_NONE, nullptr);
    if (!uri) continue;
    const char* host = g_uri_get_host(uri);
    std::string zone;
    if (g_strcmp0(g_uri_get_scheme(uri), "http") == 0 && host && OnRequestersLink(host, local, &zone)) {
      if (zone.empty() || std::string_view(host).find('%') != std::string_view::npos) {
        out.push_back(url);
      } else {
        // A link-local callback is reached through the interface it was given on.
        const std::string scoped = std::string(host) + "%" + zone;
        GUri* withZone = g_uri_build(G_URI_FLAGS_NONE, "http", nullptr, scoped.c_str(), g_uri_get_port(uri),
                                     g_uri_get_path(uri), g_uri_get_query(uri), nullptr);
        GCharPtr text(g_uri_to_string(withZone));
        g_uri_unref(withZone);
        out.push_back(text.get());
      }
    }
    g_uri_unref(uri);
  }
  return out;
}

void Status(HttpResponse& resp, unsigned code) { resp.status = code; }

std::string PropertySet(ServiceRuntime& svc, const std::vector<std::string>& names) {
  std::string body = "<?xml version=\"1.0\"?>\n<e:propertyset xmlns:e=\"urn:schemas-upnp-org:event-1-0\">";
  for (const auto& n : names)
    body += "<e:property><" + n + ">" + XmlEscape(ReadVariable(svc, n)) + "</" + n + "></e:property>";
  body += "</e:propertyset>\n";
  return body;
}

// One event on its way to a subscriber: the CALLBACK URLs are tried in
// order until one takes it (UDA 1.0 4.1.1); when none does the event is
// lost for that subscriber, whose subscription stays until it expires.
struct PendingNotify {
  std::vector<std::string> urls;
  size_t next = 0;
  std::string sid;
  std::string seq;
  GBytesPtr body;
  GObjectPtr<GCancellable> cancel;
  GObjectPtr<SoupMessage> message;
};

void SendTo(std::unique_ptr<PendingNotify> p);

void OnNotifySent(GObject* source, GAsyncResult* res, gpointer user) {
  std::unique_ptr<PendingNotify> p(static_cast<PendingNotify*>(user));
  GErrorPtr err;
  GBytesPtr reply(soup_session_send_and_read_finish(SOUP_SESSION(source), res, Out(err)));
  const guint status = soup_message_get_status(p->message.get());
  if (!err && status >= 200 && status < 300) return;
  if (err && g_error_matches(err.get(), G_IO_ERROR, G_IO_ERROR_CANCELLED)) return;
  SendTo(std::move(p));
}

void SendTo(std::unique_ptr<PendingNotify> p) {
  while (p->next < p->urls.size()) {
    SoupMessage* m = soup_message_new("NOTIFY", p->urls[p->next++].c_str());
    if (!m) continue;
    SoupMessageHeaders* h = soup_message_get_request_headers(m);
    soup_message_headers_append(h, "NT", "upnp:event");
    soup_message_headers_append(h, "NTS", "upnp:propchange");
    soup_message_headers_append(h, "SID", p->sid.c_str());
    soup_message_headers_append(h, "SEQ", p->seq.c_str());
    soup_message_set_request_body_from_bytes(m, "text/xml; charset=\"utf-8\"", p->body.get());
    p->message.reset(m);
    GCancellable* cancel = p->cancel.get();
    soup_session_send_and_read_async(Host::Get().NotifySession(), m, G_PRIORITY_DEFAULT, cancel, OnNotifySent,
                                     p.release());
    return;
  }
}

void SendNotify(ServiceRuntime& svc, Subscription& sub, const std::string& body) {
  if (sub.callbacks.empty()) return;
  auto p = std::make_unique<PendingNotify>();
  p->urls = sub.callbacks;
  p->sid = sub.sid;
  p->seq = std::to_string(sub.seq);
  sub.seq = sub.seq == 0xFFFFFFFFu ? 1 : sub.seq + 1;
  p->body.reset(g_bytes_new(body.data(), body.size()));
  if (GCancellable* c = svc.device->cancel.get()) p->cancel.reset(G_CANCELLABLE(g_object_ref(c)));
  SendTo(std::move(p));
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
        NotifyVariables(*svc, svc->entry->scpd->eventedVariables, &s);
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

void HandleEventSubscription(const HttpRequest& req, HttpResponse& resp, ServiceRuntime& svc) {
  const char* sid = req.Header("SID");
  const char* nt = req.Header("NT");
  const char* callback = req.Header("CALLBACK");
  ExpireSubscriptions(svc);

  if (req.method == "UNSUBSCRIBE") {
    if (!sid) return Status(resp, 412);
    if (nt || callback) return Status(resp, 400);
    const auto before = svc.subscriptions.size();
    std::erase_if(svc.subscriptions, [&](const Subscription& s) { return s.sid == sid; });
    return Status(resp, before == svc.subscriptions.size() ? 412 : 200);
  }
  if (req.method != "SUBSCRIBE") {
    resp.Add("Allow", "SUBSCRIBE, UNSUBSCRIBE");
    return Status(resp, 405);
  }
  const unsigned timeout = ParseTimeout(req.Header("TIMEOUT"));
  const gint64 expires = g_get_monotonic_time() + static_cast<gint64>(timeout) * G_USEC_PER_SEC;
  const std::string timeoutText = "Second-" + std::to_string(timeout);

  if (sid) {  // renewal
    if (nt || callback) return Status(resp, 400);
    for (auto& s : svc.subscriptions) {
      if (s.sid == sid) {
        s.expiresUs = expires;
        resp.Add("SID", s.sid);
        resp.Add("TIMEOUT", timeoutText);
        return Status(resp, 200);
      }
    }
    return Status(resp, 412);
  }
  if (g_strcmp0(nt, "upnp:event") != 0) return Status(resp, 412);
  // A callback outside the requester's network is never contacted.
  std::vector<std::string> callbacks = ParseCallbacks(callback, req.local);
  if (callbacks.empty()) return Status(resp, 412);
  // One client address cannot take every place of a service.
  const std::string peer = req.PeerAddress();
  const auto fromPeer = std::count_if(svc.subscriptions.begin(), svc.subscriptions.end(),
                                      [&](const Subscription& s) { return s.peer == peer; });
  if (svc.subscriptions.size() >= kMaxSubscriptions || static_cast<size_t>(fromPeer) >= kMaxSubscriptionsPerPeer)
    return Status(resp, 503);

  Subscription s;
  s.sid = "uuid:" + NewUuid();
  s.peer = peer;
  s.callbacks = std::move(callbacks);
  s.expiresUs = expires;
  resp.Add("SID", s.sid);
  resp.Add("TIMEOUT", timeoutText);
  Status(resp, 200);
  svc.subscriptions.push_back(s);

  GSource* src = g_timeout_source_new(50);
  g_source_set_callback(src, OnInitialEvent, new InitialEvent{SharedOf(svc), s.sid}, DeleteInitialEvent);
  g_source_attach(src, Host::Get().LoopContext());
  g_source_unref(src);
}

}  // namespace qel::upnphost
