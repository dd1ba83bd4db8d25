// The device host: every device this process publishes, the network thread
// that serves them, and the withdrawal of devices earlier processes left.
#pragma once

#include <libgupnp/gupnp.h>
#include <libsoup/soup.h>

#include <condition_variable>
#include <filesystem>
#include <map>
#include <memory>
#include <mutex>
#include <shared_mutex>
#include <string>
#include <unordered_map>
#include <thread>
#include <vector>

#include "cominterfaces.h"
#include "devicedoc.h"
#include "glibptr.h"
#include "httpserver.h"
#include "internal.h"
#include "records.h"

namespace qel::upnphost {

struct Device;

struct Subscription {
  std::string sid;
  std::string peer;                    // the address that subscribed
  std::vector<std::string> callbacks;  // tried in this order until one takes the event
  std::uint32_t seq = 0;
  gint64 expiresUs = 0;  // g_get_monotonic_time() deadline
};

// One published service: its service object, and its event subscribers.
// Lives and is used on the network thread only (the event sink posts there).
struct ServiceRuntime {
  Device* device = nullptr;
  const ServiceEntry* entry = nullptr;
  ComPtr<IDispatch> dispatch;
  ComPtr<IUPnPEventSource> eventSource;
  ComPtr<IUPnPEventSink> sink;
  std::map<std::string, DISPID> variableIds;  // evented variables the object knows
  std::vector<Subscription> subscriptions;
  bool live = true;  // false once the device is taken down (network thread)
};

// A document the description names, served from the resource directory.
struct NamedDocument {
  std::string file;  // path below the resource directory, '/'-separated
  std::string contentType;
};

// What the HTTP server needs of a device to answer requests on its own
// threads; immutable once published.
struct DeviceRoutes {
  std::shared_ptr<const std::string> description;
  std::filesystem::path resourceDir;
  std::unordered_map<std::string, NamedDocument> documents;  // by the path below "<prefix>/res/"
  std::vector<std::weak_ptr<ServiceRuntime>> services;       // by the number in the control and event paths
};

struct NetContext {
  GObjectPtr<GUPnPContext> context;
  std::string hostAddress;
};

struct Device {
  std::string id;
  std::string key;     // id without braces, lower case: the server path segment
  std::string prefix;  // "/upnphost/<key>"
  DeviceDoc doc;
  std::filesystem::path resourceDir;
  std::filesystem::path recordDir;
  unsigned maxAge = 1800;
  unsigned announceSeconds = 600;
  ComPtr<IUPnPDeviceControl> control;
  std::vector<std::shared_ptr<ServiceRuntime>> services;
  std::vector<GObjectPtr<GSSDPResourceGroup>> roots;  // one per network context
  std::vector<std::string> locations;
  Record record;
  GSourcePtr announceTimer;
  GSourcePtr expiryTimer;
  GObjectPtr<GCancellable> cancel;
};

// A search target the SSDP library cannot match itself (it reads targets
// as patterns): the host answers searches for it. Network thread only.
struct OwnSearchTarget {
  Device* device;
  size_t net;
  SsdpTarget target;
};

class Host {
 public:
  static Host& Get();

  HRESULT Register(std::string_view xmlUtf8, IUnknown* control, const std::u16string& initString,
                   const std::filesystem::path& resourceDir, LONG lifetime, std::string* id);
  HRESULT Unregister(const std::string& id);
  HRESULT UniqueDeviceName(const std::string& id, const std::string& templateUdn, std::string* udn);
  void WithdrawAll();
  int LiveCount();

  // Network-thread services for the control and eventing handlers.
  GMainContext* LoopContext() const { return m_mainContext; }
  SoupSession* NotifySession() const { return m_session.get(); }
  const std::string& ServerId() const { return m_serverId; }
  unsigned HttpPort() const { return m_http ? m_http->Port() : 0; }
  void AnswerSearch(GSSDPClient* client, const char* fromAddress, unsigned fromPort, const char* st);

 private:
  Host() = default;
  HRESULT StartLocked(const Settings& settings);
  void StopLocked();
  HRESULT GoLive(Device& d);          // network thread
  void TakeDown(Device& d);           // network thread
  void Announce(Device& d);           // network thread
  template <class F>
  void OnLoop(F&& f);
  HttpRoute Route(const HttpRequest& req);  // the HTTP server's threads
  void Publish(const Device& d);            // makes the device's paths answer
  void Withdraw(const Device& d);

  std::mutex m_lock;  // API calls; the network thread never takes it
  std::map<std::string, std::unique_ptr<Device>> m_devices;
  GMainContext* m_mainContext = nullptr;
  GMainLoop* m_loop = nullptr;
  std::thread m_thread;
  std::vector<NetContext> m_nets;
  std::vector<OwnSearchTarget> m_ownTargets;
  GObjectPtr<SoupSession> m_session;
  std::unique_ptr<HttpServer> m_http;
  std::shared_mutex m_routesLock;  // the server's threads read m_routes
  std::unordered_map<std::string, std::shared_ptr<const DeviceRoutes>> m_routes;  // by Device::key
  std::string m_serverId;
  Settings m_settings;
  bool m_hooksInstalled = false;
};

// The published XML's SSDP targets of a device.
std::vector<SsdpTarget> TargetsOf(const DeviceDoc& doc);

// "http://<address>:<port><prefix>/description.xml", the address bracketed when IPv6.
std::string DescriptionUrl(const std::string& hostAddress, unsigned port, const std::string& prefix);

// Bodies of control and eventing requests are read up to this size; larger
// ones are refused (413) before any of them is read.
constexpr std::size_t kMaxControlBody = 256 * 1024;
constexpr std::size_t kMaxEventBody = 4 * 1024;

// Control and eventing handlers (control.cpp, eventing.cpp), on the network thread.
void HandleControl(const HttpRequest& req, HttpResponse& resp, ServiceRuntime& svc);
void HandleEventSubscription(const HttpRequest& req, HttpResponse& resp, ServiceRuntime& svc);
void NotifyVariables(ServiceRuntime& svc, const std::vector<std::string>& names, const Subscription* only);
void ExpireSubscriptions(ServiceRuntime& svc);
ComPtr<IUPnPEventSink> MakeEventSink(std::weak_ptr<ServiceRuntime> svc, GMainContext* loop);
// The value of a variable through IDispatch::Invoke(DISPATCH_PROPERTYGET), as UPnP text.
std::string ReadVariable(ServiceRuntime& svc, const std::string& name);
std::string VariantToText(const VARIANT& v);
std::string XmlEscape(std::string_view s);

}  // namespace qel::upnphost
