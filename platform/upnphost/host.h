// The device host: every device this process publishes, the network thread
// that serves them, and the withdrawal of devices earlier processes left.
#pragma once

#include <libgupnp/gupnp.h>
#include <libsoup/soup.h>

#include <condition_variable>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <shared_mutex>
#include <random>
#include <string>
#include <unordered_map>
#include <thread>
#include <vector>

#include "cominterfaces.h"
#include "devicedoc.h"
#include "glibptr.h"
#include "httpserver.h"
#include "internal.h"
#include "netwatch.h"
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

// A device as served on one network context: its description's URL there
// (the context's address, the host's one HTTP server).
struct DeviceOnNet {
  std::string location;
};

// One announcement set going out on one context: a first pass after a short
// random delay, then the repeats.
struct AliveBurst {
  Device* device = nullptr;
  unsigned net = 0;  // NetContext::serial
  int passesLeft = 0;
  GSourcePtr timer;
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
  std::map<unsigned, DeviceOnNet> nets;  // by NetContext::serial
  std::vector<std::unique_ptr<AliveBurst>> bursts;
  Record record;
  GSourcePtr announceTimer;
  GSourcePtr expiryTimer;
  GObjectPtr<GCancellable> cancel;
};

// An answer to a search, waiting for its random delay within MX.
struct PendingAnswer {
  unsigned net = 0;  // NetContext::serial
  std::string to;
  unsigned port = 0;
  std::vector<std::string> datagrams;
};

// Answers by the time they are due: one timer for all of them, however many
// searches a flood brings (a GLib source per answer would make every loop
// iteration walk them all).
class AnswerQueue {
 public:
  AnswerQueue() = default;
  ~AnswerQueue() { Stop(); }
  AnswerQueue(const AnswerQueue&) = delete;
  AnswerQueue& operator=(const AnswerQueue&) = delete;
  // `send` runs on the loop of `ctx` for each answer when it is due.
  void Start(GMainContext* ctx, std::function<void(PendingAnswer&)> send);
  void Stop();
  void Add(gint64 dueUs, PendingAnswer a);
  void DropNet(unsigned net);
  size_t Bytes() const { return m_bytes; }

 private:
  static gboolean Dispatch(GSource* s, GSourceFunc, gpointer);
  void Arm();
  std::multimap<gint64, PendingAnswer> m_due;
  size_t m_bytes = 0;
  GSource* m_source = nullptr;
  std::function<void(PendingAnswer&)> m_send;
};

// Searches the host did not answer, reported at most once a minute.
struct SearchDrops {
  unsigned offLink = 0;
  unsigned overLimit = 0;
  unsigned malformed = 0;
  gint64 lastReportUs = 0;
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
  void Reannounce(Device& d);

 private:
  Host() = default;
  HRESULT StartLocked(const Settings& settings);
  void StopLocked();
  HRESULT GoLive(Device& d);          // network thread
  void TakeDown(Device& d);           // network thread
  // Network thread: following the network, announcing, answering searches
  // (announce.cpp).
  void OnNetAdded(NetContext& n);
  void OnNetRemoved(NetContext& n);
  bool Attach(Device& d, NetContext& n);
  void Detach(Device& d, NetContext& n, bool sayByebye);
  void StartAliveBurst(Device& d, NetContext& n);
  void SendAlivePass(Device& d, NetContext& n);
  void OnSearch(NetContext& n, const char* from, unsigned port, SoupMessageHeaders* headers);
  void SendAnswer(PendingAnswer& a);  // network thread
  void CountDrop(unsigned SearchDrops::*what);
  void RecordAddresses(Device& d);
  void SayWhereServed();
  void ScheduleWhereServed();
  static gboolean OnBurstTimer(gpointer burst);
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
  std::unique_ptr<NetWatch> m_net;  // network thread only
  AnswerQueue m_answers;
  SearchDrops m_drops;
  std::vector<Device*> m_live;  // devices on the network: network thread only
  int m_servedState = -1;  // what SayWhereServed said last
  GSourcePtr m_whereTimer;
  std::mt19937 m_rng{std::random_device{}()};
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

// The LOCATION of a document served at `path` on context `n`'s HTTP port.
std::string LocationFor(const NetContext& n, unsigned port, const std::string& path);

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
