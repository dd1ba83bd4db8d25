// The networks the host serves: one context (interface and address, with its
// SSDP client and HTTP server) per address that the host's settings allow,
// following the system as interfaces and addresses come and go.
#pragma once

#include <libgupnp/gupnp.h>

#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "glibptr.h"
#include "internal.h"

namespace qel::upnphost {

struct NetContext {
  unsigned serial = 0;  // never reused within the process: timers refer to it
  GObjectPtr<GUPnPContext> context;
  std::string hostAddress;  // "192.168.1.10" or "fe80::1" (no scope)
  std::string interface;    // "eth0"
  unsigned ifIndex = 0;
  bool ipv6 = false;
  bool linkLocal = false;   // IPv6 fe80::/10
  bool loopback = false;
  GObjectPtr<GInetAddressMask> network;  // the address's own network
  gulong messageHandler = 0;

  // "192.168.1.10%eth0" / "fe80::1%eth0": what the SSDP sender takes.
  std::string Endpoint() const { return hostAddress + "%" + interface; }
  // The SSDP group address of this context, as a HOST header value.
  std::string GroupHost() const;
  // True when `address` (a sender) is on this context's own network.
  bool OnLink(const char* address) const;
};

// One entry of the "Interfaces" setting, checked.
struct InterfaceRule {
  std::string name;     // an interface name, or
  std::string address;  // a canonical address, with
  std::string scope;    // an optional interface name ("fe80::1%eth0")
};

// Splits and checks the "Interfaces" entries; what is wrong with an entry is
// said in `problems` (one text each) and the entry is left out.
std::vector<InterfaceRule> ParseInterfaceRules(const std::vector<std::string>& entries,
                                               std::vector<std::string>* problems);

// True when a context on `interface` with `address` is to be served: with no
// rules, every interface that is not loopback and can multicast.
bool ContextAllowed(const std::vector<InterfaceRule>& rules, bool configured, const std::string& interface,
                    const std::string& address, bool loopback, bool multicast);

// Lets a burst of changes through as one line per address ("addr%if") at
// most every few seconds: the line held back last is said when the burst is
// over, with the number of changes it stands for. Runs on the thread whose
// default main context it was made on.
class ChangeLog {
 public:
  ChangeLog() = default;
  ~ChangeLog();
  ChangeLog(const ChangeLog&) = delete;
  ChangeLog& operator=(const ChangeLog&) = delete;
  void Say(const std::string& key, const std::string& text);

 private:
  struct Entry {
    gint64 lastUs = 0;
    unsigned held = 0;
    std::string heldText;
    GSource* flush = nullptr;
  };
  static gboolean OnFlush(gpointer entry);
  std::map<std::string, Entry> m_entries;
};

// Lives on the host's network thread, which must be running its main context
// as the thread default when it is made.
class NetWatch {
 public:
  using Handler = std::function<void(NetContext&)>;
  using SearchHandler = std::function<void(NetContext&, const char* from, unsigned port, SoupMessageHeaders*)>;

  NetWatch(const Settings& settings, Handler added, Handler removed, SearchHandler search);
  ~NetWatch();
  NetWatch(const NetWatch&) = delete;
  NetWatch& operator=(const NetWatch&) = delete;

  const std::vector<std::unique_ptr<NetContext>>& Contexts() const { return m_nets; }
  NetContext* BySerial(unsigned serial) const;
  NetContext* ByServer(SoupServer* server) const;

 private:
  static void OnAvailable(GUPnPContextManager*, GUPnPContext* ctx, gpointer self);
  static void OnUnavailable(GUPnPContextManager*, GUPnPContext* ctx, gpointer self);
  static void OnMessage(GSSDPClient* client, const char* from, guint port, gint type, SoupMessageHeaders* headers,
                        gpointer self);
  void Add(GUPnPContext* ctx);
  void Remove(GUPnPContext* ctx);

  Settings m_settings;
  std::vector<InterfaceRule> m_rules;
  Handler m_added, m_removed;
  SearchHandler m_search;
  GObjectPtr<GUPnPContextManager> m_manager;
  std::vector<std::unique_ptr<NetContext>> m_nets;
  unsigned m_nextSerial = 1;
  ChangeLog m_log;
};

}  // namespace qel::upnphost
