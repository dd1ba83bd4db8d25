// Following the network with GUPnP's context manager (netlink underneath):
// contexts arrive and leave as addresses and links do; the host's settings
// decide which of them it serves.
#include "netwatch.h"

#include <net/if.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstring>

namespace qel::upnphost {

namespace {

constexpr gint64 kChangeLogGapUs = 5 * G_USEC_PER_SEC;

struct IfFlags {
  bool loopback = false;
  bool multicast = false;
};

IfFlags FlagsOf(const std::string& name) {
  IfFlags f;
  const int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return f;
  ifreq req{};
  std::strncpy(req.ifr_name, name.c_str(), IFNAMSIZ - 1);
  if (::ioctl(fd, SIOCGIFFLAGS, &req) == 0) {
    f.loopback = (req.ifr_flags & IFF_LOOPBACK) != 0;
    f.multicast = (req.ifr_flags & IFF_MULTICAST) != 0;
  }
  ::close(fd);
  return f;
}

std::string Canonical(const std::string& text) {
  GInetAddress* a = g_inet_address_new_from_string(text.c_str());
  if (!a) return {};
  GCharPtr s(g_inet_address_to_string(a));
  g_object_unref(a);
  return s.get();
}

}  // namespace

std::string NetContext::GroupHost() const {
  if (!ipv6) return "239.255.255.250:1900";
  return linkLocal || loopback ? "[FF02::C]:1900" : "[FF05::C]:1900";
}

bool NetContext::OnLink(const char* address) const {
  GInetAddress* a = address ? g_inet_address_new_from_string(address) : nullptr;
  if (!a) return false;
  bool ok = false;
  if (g_inet_address_get_family(a) == (ipv6 ? G_SOCKET_FAMILY_IPV6 : G_SOCKET_FAMILY_IPV4)) {
    // A link-local sender reached this context through its own link: the
    // datagram arrived on this interface, so the sender is a neighbour.
    if (ipv6 && g_inet_address_get_is_link_local(a))
      ok = true;
    else if (network)
      ok = g_inet_address_mask_matches(network.get(), a);
  }
  g_object_unref(a);
  return ok;
}

std::vector<InterfaceRule> ParseInterfaceRules(const std::vector<std::string>& entries,
                                               std::vector<std::string>* problems) {
  std::vector<InterfaceRule> rules;
  for (const auto& e : entries) {
    const auto pct = e.find('%');
    const std::string addrPart = e.substr(0, pct);
    const std::string canonical = Canonical(addrPart);
    if (!canonical.empty()) {
      InterfaceRule r{{}, canonical, pct == std::string::npos ? std::string() : e.substr(pct + 1)};
      if (pct != std::string::npos && (r.scope.empty() || r.scope.size() >= IFNAMSIZ)) {
        problems->push_back("\"" + e + "\" is not an address with an interface (address%interface)");
        continue;
      }
      rules.push_back(std::move(r));
    } else if (pct != std::string::npos || addrPart.find(':') != std::string::npos ||
               addrPart.find_first_not_of("0123456789.") == std::string::npos) {
      problems->push_back("\"" + e + "\" is not a valid address");
    } else if (e.size() >= IFNAMSIZ) {
      problems->push_back("\"" + e + "\" is not an interface name (longer than " + std::to_string(IFNAMSIZ - 1) +
                          " characters)");
    } else {
      rules.push_back({e, {}, {}});
    }
  }
  return rules;
}

bool ContextAllowed(const std::vector<InterfaceRule>& rules, bool configured, const std::string& interface,
                    const std::string& address, bool loopback, bool multicast) {
  if (!configured) return !loopback && multicast;
  const std::string canonical = Canonical(address);
  for (const auto& r : rules) {
    if (!r.name.empty() && r.name == interface) return true;
    if (!r.address.empty() && r.address == canonical && (r.scope.empty() || r.scope == interface)) return true;
  }
  return false;
}

ChangeLog::~ChangeLog() {
  for (auto& [key, e] : m_entries)
    if (e.flush) {
      g_source_destroy(e.flush);
      g_source_unref(e.flush);
    }
}

void ChangeLog::Say(const std::string& key, const std::string& text) {
  Entry& e = m_entries[key];
  const gint64 now = g_get_monotonic_time();
  if (e.lastUs != 0 && now - e.lastUs < kChangeLogGapUs) {
    ++e.held;
    e.heldText = text;
    if (!e.flush) {
      e.flush = g_timeout_source_new(static_cast<guint>((e.lastUs + kChangeLogGapUs - now) / 1000 + 1));
      g_source_set_callback(e.flush, &ChangeLog::OnFlush, &e, nullptr);
      g_source_attach(e.flush, g_main_context_get_thread_default());
    }
    return;
  }
  LogLine("%s", text.c_str());
  e.lastUs = now;
}

gboolean ChangeLog::OnFlush(gpointer p) {
  auto* e = static_cast<Entry*>(p);
  if (e->held > 1)
    LogLine("%s (the last of %u changes in a few seconds)", e->heldText.c_str(), e->held);
  else
    LogLine("%s", e->heldText.c_str());
  e->held = 0;
  e->lastUs = g_get_monotonic_time();
  g_source_unref(e->flush);
  e->flush = nullptr;
  return G_SOURCE_REMOVE;
}

NetWatch::NetWatch(const Settings& settings, Handler added, Handler removed, SearchHandler search)
    : m_settings(settings), m_added(std::move(added)), m_removed(std::move(removed)), m_search(std::move(search)) {
  std::vector<std::string> problems;
  m_rules = ParseInterfaceRules(settings.interfaces, &problems);
  for (const auto& p : problems) LogLine("upnphost\\Parameters\\Interfaces: %s; ignored", p.c_str());
  for (const auto& r : m_rules) {
    const std::string& name = r.name.empty() ? r.scope : r.name;
    if (!name.empty() && ::if_nametoindex(name.c_str()) == 0)
      LogLine("the interface \"%s\" (upnphost\\Parameters\\Interfaces) does not exist yet; it is served when it appears",
              name.c_str());
  }
  if (!settings.interfaces.empty() && m_rules.empty())
    LogLine("upnphost\\Parameters\\Interfaces names nothing usable: no interface is served");

  m_manager.reset(gupnp_context_manager_create_full(GSSDP_UDA_VERSION_1_0, G_SOCKET_FAMILY_INVALID,
                                                    0));  // the contexts carry SSDP; the host serves HTTP itself
  // The library's filter narrows what it hands out to the names and addresses
  // configured; ContextAllowed then applies what the filter cannot say (an
  // address bound to one interface, no loopback by default).
  if (!m_rules.empty()) {
    GUPnPContextFilter* filter = gupnp_context_manager_get_context_filter(m_manager.get());
    for (const auto& r : m_rules) gupnp_context_filter_add_entry(filter, r.name.empty() ? r.address.c_str() : r.name.c_str());
    gupnp_context_filter_set_enabled(filter, TRUE);
  }
  g_signal_connect(m_manager.get(), "context-available", G_CALLBACK(OnAvailable), this);
  g_signal_connect(m_manager.get(), "context-unavailable", G_CALLBACK(OnUnavailable), this);
}

NetWatch::~NetWatch() {
  g_signal_handlers_disconnect_by_data(m_manager.get(), this);
  for (auto& n : m_nets) {
    g_signal_handler_disconnect(n->context.get(), n->messageHandler);
    m_removed(*n);
  }
  m_nets.clear();
  m_manager.reset();
}

NetContext* NetWatch::BySerial(unsigned serial) const {
  for (const auto& n : m_nets)
    if (n->serial == serial) return n.get();
  return nullptr;
}

NetContext* NetWatch::ByServer(SoupServer* server) const {
  for (const auto& n : m_nets)
    if (gupnp_context_get_server(n->context.get()) == server) return n.get();
  return nullptr;
}

void NetWatch::OnAvailable(GUPnPContextManager*, GUPnPContext* ctx, gpointer self) {
  static_cast<NetWatch*>(self)->Add(ctx);
}

void NetWatch::OnUnavailable(GUPnPContextManager*, GUPnPContext* ctx, gpointer self) {
  static_cast<NetWatch*>(self)->Remove(ctx);
}

void NetWatch::OnMessage(GSSDPClient* client, const char* from, guint port, gint type, SoupMessageHeaders* headers,
                         gpointer self) {
  if (type != 0 || !headers) return;  // only discovery requests (M-SEARCH)
  auto* w = static_cast<NetWatch*>(self);
  for (auto& n : w->m_nets)
    if (GSSDP_CLIENT(n->context.get()) == client) {
      w->m_search(*n, from, port, headers);
      return;
    }
}

void NetWatch::Add(GUPnPContext* ctx) {
  GSSDPClient* client = GSSDP_CLIENT(ctx);
  for (const auto& n : m_nets)
    if (n->context.get() == ctx) return;
  auto n = std::make_unique<NetContext>();
  n->interface = gssdp_client_get_interface(client) ? gssdp_client_get_interface(client) : "";
  n->hostAddress = gssdp_client_get_host_ip(client) ? gssdp_client_get_host_ip(client) : "";
  n->ifIndex = gssdp_client_get_index(client);
  const IfFlags flags = FlagsOf(n->interface);
  if (!ContextAllowed(m_rules, !m_settings.interfaces.empty(), n->interface, n->hostAddress, flags.loopback,
                      flags.multicast))
    return;
  n->serial = m_nextSerial++;
  n->ipv6 = gssdp_client_get_family(client) == G_SOCKET_FAMILY_IPV6;
  n->loopback = flags.loopback;
  if (GInetAddress* a = g_inet_address_new_from_string(n->hostAddress.c_str())) {
    n->linkLocal = n->ipv6 && g_inet_address_get_is_link_local(a);
    g_object_unref(a);
  }
  if (GInetAddressMask* mask = gssdp_client_get_address_mask(client)) n->network.reset(G_INET_ADDRESS_MASK(g_object_ref(mask)));
  n->context.reset(GUPNP_CONTEXT(g_object_ref(ctx)));
  // After a link goes down and up again the manager hands back the context it
  // had, still inactive, and nothing would be sent or received on it.
  if (!gssdp_client_get_active(client)) g_object_set(client, "active", TRUE, nullptr);
  n->messageHandler = g_signal_connect(ctx, "message-received", G_CALLBACK(OnMessage), this);
  m_log.Say(n->Endpoint(), "serving on " + n->interface + " (" + n->hostAddress + ")");
  NetContext& ref = *n;
  m_nets.push_back(std::move(n));
  m_added(ref);
}

void NetWatch::Remove(GUPnPContext* ctx) {
  for (auto it = m_nets.begin(); it != m_nets.end(); ++it) {
    if ((*it)->context.get() != ctx) continue;
    std::unique_ptr<NetContext> n = std::move(*it);
    m_nets.erase(it);
    g_signal_handler_disconnect(ctx, n->messageHandler);
    m_log.Say(n->Endpoint(), "no longer serving on " + n->interface + " (" + n->hostAddress + ")");
    m_removed(*n);
    return;
  }
}

}  // namespace qel::upnphost
