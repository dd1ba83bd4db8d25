// The device host: registration, the network thread, SSDP and HTTP serving.
#include "host.h"

#include <fcntl.h>
#include <net/if.h>
#include <sys/stat.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/utsname.h>
#include <signal.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <fstream>
#include <future>
#include <set>

#include "qel/kernel.h"
#include "qel/statedir.h"
#include "qel/wstr.h"
#include "objbase.h"

namespace qel::upnphost {

namespace {

constexpr unsigned kDefaultLifetime = 1800;
constexpr unsigned kMinLifetime = 900;

std::string ContentTypeFor(const std::filesystem::path& p) {
  std::string ext = p.extension().string();
  for (char& c : ext)
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  if (ext == ".xml") return "text/xml; charset=\"utf-8\"";
  if (ext == ".png") return "image/png";
  if (ext == ".jpg" || ext == ".jpeg") return "image/jpeg";
  if (ext == ".gif") return "image/gif";
  if (ext == ".bmp") return "image/bmp";
  if (ext == ".htm" || ext == ".html") return "text/html; charset=\"utf-8\"";
  if (ext == ".txt") return "text/plain; charset=\"utf-8\"";
  return "application/octet-stream";
}

// Limits of the HTTP server: no one client address can hold more than a
// small share of the connections, and a silent connection is closed.
HttpLimits ServerLimits() { return HttpLimits{}; }

HttpRoute Answer(unsigned status, const char* allow = nullptr) {
  HttpRoute r;
  r.answer = HttpResponse(status);
  if (allow) r.answer.Add("Allow", allow);
  return r;
}

// A named document, opened for streaming; 404 when it has gone or now
// resolves outside the resource directory.
HttpResponse OpenDocument(const DeviceRoutes& routes, const NamedDocument& doc) {
  const auto file = ResolveInside(routes.resourceDir, doc.file);
  const int fd = file.empty() ? -1 : ::open(file.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
  struct stat st {};
  if (fd < 0 || ::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
    if (fd >= 0) ::close(fd);
    return HttpResponse(404);
  }
  HttpResponse r(200);
  r.fd = fd;
  r.fileSize = static_cast<std::uint64_t>(st.st_size);
  r.Add("Content-Type", doc.contentType);
  return r;
}

// "control/3" → 3; npos for anything else.
size_t ServiceIndex(std::string_view rest, std::string_view kind) {
  if (rest.substr(0, kind.size()) != kind) return std::string::npos;
  rest.remove_prefix(kind.size());
  if (rest.empty() || rest.size() > 9 || rest.find_first_not_of("0123456789") != std::string_view::npos)
    return std::string::npos;
  return static_cast<size_t>(std::strtoul(std::string(rest).c_str(), nullptr, 10));
}

gboolean OnAnnounceTimer(gpointer user) {
  // Re-announcing: the same ssdp:alive set, well before max-age runs out.
  Host::Get().Reannounce(*static_cast<Device*>(user));
  return G_SOURCE_CONTINUE;
}

gboolean OnExpiryTimer(gpointer user) {
  auto* d = static_cast<Device*>(user);
  for (auto& s : d->services) ExpireSubscriptions(*s);
  return G_SOURCE_CONTINUE;
}

GSourcePtr AddTimer(GMainContext* ctx, unsigned seconds, GSourceFunc fn, gpointer user) {
  GSource* s = g_timeout_source_new_seconds(seconds);
  g_source_set_callback(s, fn, user, nullptr);
  g_source_attach(s, ctx);
  return GSourcePtr(s);
}

// The libraries report a taken port only as text: ask the system directly.
bool PortInUse(unsigned port) {
  const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return false;
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_port = htons(static_cast<uint16_t>(port));
  const bool inUse = ::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 && errno == EADDRINUSE;
  ::close(fd);
  return inUse;
}

bool ProcessAlive(long pid) { return pid > 0 && (::kill(static_cast<pid_t>(pid), 0) == 0 || errno == EPERM); }

void RemoveStaleWwwDirs(const std::filesystem::path& hostDir) {
  std::error_code ec;
  for (const auto& e : std::filesystem::directory_iterator(hostDir, ec)) {
    const std::string name = e.path().filename().string();
    if (name.rfind("www-", 0) != 0) continue;
    const long pid = std::strtol(name.c_str() + 4, nullptr, 10);
    if (pid != static_cast<long>(::getpid()) && !ProcessAlive(pid)) std::filesystem::remove_all(e.path(), ec);
  }
}

// The SERVER header: "OS/version UPnP/1.0 product/version".
std::string ServerIdentity() {
  utsname u{};
  if (::uname(&u) != 0) return "Linux UPnP/1.0 QelUPnP/1.0";
  return std::string(u.sysname) + "/" + u.release + " UPnP/1.0 QelUPnP/1.0";
}

void ShutdownHook() { Host::Get().WithdrawAll(); }
void StateDirResetHook() { Host::Get().WithdrawAll(); }

}  // namespace

std::vector<SsdpTarget> TargetsOf(const DeviceDoc& doc) {
  std::vector<SsdpTarget> t;
  std::set<std::string> seen;
  auto add = [&](const std::string& nt, const std::string& usn) {
    if (seen.insert(usn).second) t.push_back({nt, usn});
  };
  if (doc.devices.empty()) return t;
  add("upnp:rootdevice", doc.devices[0].udn + "::upnp:rootdevice");
  for (const auto& d : doc.devices) {
    add(d.udn, d.udn);
    add(d.deviceType, d.udn + "::" + d.deviceType);
  }
  for (const auto& s : doc.services) add(s.serviceType, s.deviceUdn + "::" + s.serviceType);
  return t;
}

Host& Host::Get() {
  // Never destroyed: the network thread may still run while static objects
  // go away; WithdrawAll (an exit hook) stops it first.
  static Host* host = new Host();
  return *host;
}

template <class F>
void Host::OnLoop(F&& f) {
  if (g_main_context_is_owner(m_mainContext)) {
    f();
    return;
  }
  struct Call {
    F* fn;
    std::promise<void> done;
  } call{&f, {}};
  auto fut = call.done.get_future();
  g_main_context_invoke(
      m_mainContext,
      [](gpointer p) -> gboolean {
        auto* c = static_cast<Call*>(p);
        (*c->fn)();
        c->done.set_value();
        return G_SOURCE_REMOVE;
      },
      &call);
  fut.wait();
}

HttpRoute Host::Route(const HttpRequest& req) {
  static constexpr std::string_view kBase = "/upnphost/";
  std::string_view path = req.path;
  if (path.substr(0, kBase.size()) != kBase) return Answer(404);
  path.remove_prefix(kBase.size());
  const auto slash = path.find('/');
  if (slash == std::string_view::npos) return Answer(404);
  const std::string key(path.substr(0, slash));
  const std::string_view rest = path.substr(slash + 1);
  std::shared_ptr<const DeviceRoutes> routes;
  {
    std::shared_lock<std::shared_mutex> g(m_routesLock);
    auto it = m_routes.find(key);
    if (it != m_routes.end()) routes = it->second;
  }
  if (!routes) return Answer(404);
  const bool get = req.method == "GET" || req.method == "HEAD";
  if (rest == "description.xml") {
    if (!get) return Answer(405, "GET, HEAD");
    HttpRoute r = Answer(200);
    r.answer.shared = routes->description;
    r.answer.Add("Content-Type", "text/xml; charset=\"utf-8\"");
    return r;
  }
  if (rest.substr(0, 4) == "res/") {
    auto it = routes->documents.find(std::string(rest.substr(4)));
    if (it == routes->documents.end()) return Answer(404);
    if (!get) return Answer(405, "GET, HEAD");
    HttpRoute r;
    r.answer = OpenDocument(*routes, it->second);
    return r;
  }
  const bool control = rest.substr(0, 8) == "control/";
  const size_t n = control ? ServiceIndex(rest, "control/") : ServiceIndex(rest, "event/");
  if (n >= routes->services.size()) return Answer(404);
  if (control && req.method != "POST" && req.method != "M-POST") return Answer(405, "POST");
  if (!control && req.method != "SUBSCRIBE" && req.method != "UNSUBSCRIBE") return Answer(405, "SUBSCRIBE, UNSUBSCRIBE");
  HttpRoute r;
  r.answerNow = false;
  r.maxBody = control ? kMaxControlBody : kMaxEventBody;
  r.work = [svc = routes->services[n], control](const HttpRequest& q, HttpResponse& out) {
    auto s = svc.lock();
    if (!s || !s->live) {
      out.status = 404;
      return;
    }
    if (control)
      HandleControl(q, out, *s);
    else
      HandleEventSubscription(q, out, *s);
  };
  return r;
}

void Host::Publish(const Device& d) {
  auto routes = std::make_shared<DeviceRoutes>();
  routes->description = std::make_shared<const std::string>(d.doc.publishedXml);
  routes->resourceDir = d.resourceDir;
  for (const auto& file : d.doc.documents)
    routes->documents.emplace(file, NamedDocument{file, ContentTypeFor(file)});
  for (const auto& s : d.services) routes->services.push_back(s);
  std::unique_lock<std::shared_mutex> g(m_routesLock);
  m_routes[d.key] = std::move(routes);
}

void Host::Withdraw(const Device& d) {
  std::shared_ptr<const DeviceRoutes> gone;
  std::unique_lock<std::shared_mutex> g(m_routesLock);
  auto it = m_routes.find(d.key);
  if (it == m_routes.end()) return;
  gone = std::move(it->second);
  m_routes.erase(it);
}

HRESULT Host::StartLocked(const Settings& settings) {
  if (m_loop) return S_OK;
  m_settings = settings;
  // A configured port that another program holds fails the registration at
  // once; the contexts would otherwise fail one by one, quietly.
  if (settings.httpPort != 0 && PortInUse(settings.httpPort)) {
    LogLine("the HTTP port %u (upnphost\\Parameters\\HttpPort) is in use", settings.httpPort);
    return kErrPortInUse;
  }

  m_mainContext = g_main_context_new();
  m_serverId = ServerIdentity();
  // The one HTTP server serves every context; requests that need the
  // network thread wait in its main context until the loop runs.
  int err = 0;
  std::string why;
  m_http = HttpServer::Start(
      m_settings.httpPort, m_mainContext, [this](const HttpRequest& req) { return Route(req); }, m_serverId,
      ServerLimits(), &err, &why);
  if (!m_http) {
    g_main_context_unref(m_mainContext);
    m_mainContext = nullptr;
    if (err == EADDRINUSE) {
      LogLine("the HTTP port %u (upnphost\\Parameters\\HttpPort) is in use: %s", m_settings.httpPort, why.c_str());
      return kErrPortInUse;
    }
    LogLine("the HTTP server cannot start on port %u: %s", m_settings.httpPort, why.c_str());
    return E_FAIL;
  }
  m_loop = g_main_loop_new(m_mainContext, FALSE);
  std::promise<HRESULT> started;
  auto startedFuture = started.get_future();
  m_thread = std::thread([this, &started] {
    g_main_context_push_thread_default(m_mainContext);
    // Service objects are called on this thread; it joins the free-threaded apartment.
    const HRESULT coHr = CoInitializeEx(nullptr, COINIT_MULTITHREADED);
    HRESULT hr = S_OK;
    m_session.reset(soup_session_new_with_options("proxy-resolver", nullptr, "timeout", 10u, "idle-timeout", 30u,
                                                  "max-conns-per-host", 4, nullptr));
    m_answers.Start(m_mainContext, [this](PendingAnswer& a) { SendAnswer(a); });
    m_net = std::make_unique<NetWatch>(
        m_settings, [this](NetContext& n) { OnNetAdded(n); }, [this](NetContext& n) { OnNetRemoved(n); },
        [this](NetContext& n, const char* from, unsigned port, SoupMessageHeaders* h) { OnSearch(n, from, port, h); });
    started.set_value(hr);
    if (SUCCEEDED(hr)) g_main_loop_run(m_loop);
    m_answers.Stop();
    m_net.reset();  // says byebye where a device is still attached, and may schedule a note
    m_whereTimer.reset();
    m_session.reset();
    m_servedState = -1;
    // Let the libraries finish what their disposal queued.
    while (g_main_context_iteration(m_mainContext, FALSE)) {
    }
    if (SUCCEEDED(coHr)) CoUninitialize();
    g_main_context_pop_thread_default(m_mainContext);
  });
  const HRESULT hr = startedFuture.get();
  if (FAILED(hr)) {
    m_thread.join();
    m_http.reset();
    g_main_loop_unref(m_loop);
    g_main_context_unref(m_mainContext);
    m_loop = nullptr;
    m_mainContext = nullptr;
    return hr;
  }
  std::error_code ec;
  std::filesystem::create_directories(HostDir(), ec);
  // Descriptions are served from memory now; folders earlier versions
  // served them from are removed once their process has gone.
  RemoveStaleWwwDirs(HostDir());
  if (!m_hooksInstalled) {
    m_hooksInstalled = true;
    AddShutdownHook(&ShutdownHook);
    std::atexit(&ShutdownHook);
    OnStateDirReset(&StateDirResetHook);
  }
  return S_OK;
}

void Host::StopLocked() {
  if (!m_loop) return;
  g_main_context_invoke(
      m_mainContext,
      [](gpointer p) -> gboolean {
        g_main_loop_quit(static_cast<GMainLoop*>(p));
        return G_SOURCE_REMOVE;
      },
      m_loop);
  m_thread.join();
  // Requests still waiting for the loop are answered 503 as the server stops.
  m_http.reset();
  {
    std::unique_lock<std::shared_mutex> g(m_routesLock);
    m_routes.clear();
  }
  g_main_loop_unref(m_loop);
  g_main_context_unref(m_mainContext);
  m_loop = nullptr;
  m_mainContext = nullptr;
}

HRESULT Host::GoLive(Device& d) {
  d.cancel.reset(g_cancellable_new());
  Publish(d);
  m_live.push_back(&d);
  // Contexts that arrive later get the device from OnNetAdded; one that is
  // here now and cannot take it is said in the log and tried again when it
  // comes back.
  for (const auto& n : m_net->Contexts()) Attach(d, *n);
  RecordAddresses(d);
  for (const auto& n : m_net->Contexts())
    if (d.nets.count(n->serial)) StartAliveBurst(d, *n);
  d.announceTimer = AddTimer(m_mainContext, d.announceSeconds, OnAnnounceTimer, &d);
  d.expiryTimer = AddTimer(m_mainContext, 30, OnExpiryTimer, &d);
  ScheduleWhereServed();
  return S_OK;
}

void Host::TakeDown(Device& d) {
  std::erase(m_live, &d);
  d.announceTimer.reset();
  d.expiryTimer.reset();
  d.bursts.clear();
  if (d.cancel) g_cancellable_cancel(d.cancel.get());
  Withdraw(d);
  if (m_net)
    for (const auto& n : m_net->Contexts()) Detach(d, *n, true);
  d.nets.clear();
  for (auto& s : d.services) {
    s->live = false;
    if (s->eventSource && s->sink) s->eventSource->Unadvise(s->sink.Get());
    s->subscriptions.clear();
  }
}

HRESULT Host::Register(std::string_view xmlUtf8, IUnknown* controlUnknown, const std::u16string& initString,
                       const std::filesystem::path& resourceDir, LONG lifetime, std::string* idOut) {
  if (!idOut) return E_POINTER;
  if (xmlUtf8.empty() || !controlUnknown) return E_INVALIDARG;
  if (lifetime < 0 || (lifetime > 0 && static_cast<unsigned>(lifetime) < kMinLifetime)) return E_INVALIDARG;
  const unsigned maxAge = lifetime == 0 ? kDefaultLifetime : static_cast<unsigned>(lifetime);
  ComPtr<IUPnPDeviceControl> control;
  if (FAILED(controlUnknown->QueryInterface(IID_IUPnPDeviceControl, control.PutVoid())) || !control)
    return E_NOINTERFACE;

  std::lock_guard<std::mutex> guard(m_lock);
  auto d = std::make_unique<Device>();
  d->id = NewDeviceId();
  d->key = d->id.substr(1, 36);
  for (char& c : d->key) c = g_ascii_tolower(c);
  d->prefix = "/upnphost/" + d->key;
  d->resourceDir = resourceDir;
  d->maxAge = maxAge;
  d->control = control;

  std::vector<std::string> inUse;
  for (const auto& [id, dev] : m_devices)
    for (const auto& e : dev->doc.devices) {
      std::string u = e.udn;
      for (char& c : u) c = g_ascii_tolower(c);
      inUse.push_back(u);
    }
  std::string why;
  if (HRESULT hr = PrepareDescription(xmlUtf8, resourceDir, d->prefix, inUse, &d->doc, &why); FAILED(hr)) {
    LogLine("device refused (0x%08X): %s", static_cast<unsigned>(hr), why.c_str());
    return hr;
  }
  for (const auto& note : d->doc.notes) LogLine("%s", note.c_str());

  const bool wasRunning = m_loop != nullptr;
  if (HRESULT hr = StartLocked(wasRunning ? m_settings : ReadSettings()); FAILED(hr)) return hr;
  auto stopIfIdle = [&] {
    if (m_devices.empty()) StopLocked();
  };
  const unsigned configured = m_settings.announceSeconds;
  d->announceSeconds = (configured > 0 && configured <= maxAge / 3) ? configured : maxAge / 3;

  // The control object learns the description as published before anything
  // can reach it.
  {
    BSTR desc = SysAllocString(FromUtf8(d->doc.publishedXml).c_str());
    BSTR id = SysAllocString(FromUtf8(d->id).c_str());
    BSTR init = SysAllocString(initString.c_str());
    const HRESULT hr = control->Initialize(desc, id, init);
    SysFreeString(desc);
    SysFreeString(id);
    SysFreeString(init);
    if (FAILED(hr)) {
      LogLine("the device control's Initialize failed (0x%08X)", static_cast<unsigned>(hr));
      stopIfIdle();
      return hr;
    }
  }
  for (const auto& entry : d->doc.services) {
    auto svc = std::make_shared<ServiceRuntime>();
    svc->device = d.get();
    svc->entry = &entry;
    BSTR udn = SysAllocString(FromUtf8(entry.deviceUdn).c_str());
    BSTR sid = SysAllocString(FromUtf8(entry.serviceId).c_str());
    const HRESULT hr = control->GetServiceObject(udn, sid, svc->dispatch.Put());
    SysFreeString(udn);
    SysFreeString(sid);
    if (FAILED(hr) || !svc->dispatch) {
      LogLine("the device control has no service object for %s (0x%08X)", entry.serviceId.c_str(),
              static_cast<unsigned>(hr));
      stopIfIdle();
      return FAILED(hr) ? hr : E_POINTER;
    }
    for (const auto& var : entry.scpd->eventedVariables) {
      std::u16string name = FromUtf8(var);
      LPOLESTR names[1] = {name.data()};
      DISPID dispid = DISPID_UNKNOWN;
      if (SUCCEEDED(svc->dispatch->GetIDsOfNames(IID_NULL, names, 1, LOCALE_SYSTEM_DEFAULT, &dispid)))
        svc->variableIds[var] = dispid;
    }
    d->services.push_back(std::move(svc));
  }

  // The record is on disk before the first ssdp:alive: a crash from here on
  // leaves what the next process needs to withdraw the device.
  d->record.id = d->id;
  d->record.udn = d->doc.devices.front().udn;
  StampOwner(&d->record);
  d->record.targets = TargetsOf(d->doc);
  d->recordDir = HostDir();
  // The look for another live owner of the UDNs and this record's claim are
  // one step for every process on the host.
  RecordsLock recordsLock(d->recordDir);
  if (const auto owner = FindLiveOwner(d->recordDir, UdnsOf(d->record))) {
    LogLine("device refused: %s is announced by the live process %ld (device %s); one process owns a UDN",
            d->record.udn.c_str(), owner->pid, owner->id.c_str());
    stopIfIdle();
    return kErrUdnAnnouncedElsewhere;
  }
  if (!WriteRecord(d->recordDir, d->record)) {
    LogLine("cannot write the registration record in %s", d->recordDir.c_str());
    stopIfIdle();
    return HRESULT_FROM_WIN32(ERROR_WRITE_FAULT);
  }
  for (auto& s : d->services) {
    if (SUCCEEDED(s->dispatch.As(&s->eventSource)) && s->eventSource) {
      s->sink = MakeEventSink(s, m_mainContext);
      if (!s->sink || FAILED(s->eventSource->Advise(s->sink.Get()))) {
        s->sink = nullptr;
        s->eventSource = nullptr;
      }
    }
  }

  HRESULT live = S_OK;
  OnLoop([&] {
    live = GoLive(*d);
    if (FAILED(live)) TakeDown(*d);
  });
  if (FAILED(live)) {
    std::error_code ec;
    std::filesystem::remove(RecordPath(d->recordDir, d->id), ec);
    stopIfIdle();
    return live;
  }
  *idOut = d->id;
  m_devices.emplace(d->id, std::move(d));
  return S_OK;
}

HRESULT Host::Unregister(const std::string& id) {
  if (!IsWellFormedDeviceId(id)) return kErrUnknownDevice;
  std::unique_ptr<Device> dead;
  {
    std::lock_guard<std::mutex> guard(m_lock);
    auto it = m_devices.find(id);
    if (it != m_devices.end()) {
      dead = std::move(it->second);
      m_devices.erase(it);
      OnLoop([&] { TakeDown(*dead); });
      {
        RecordsLock recordsLock(dead->recordDir);
        MarkWithdrawn(dead->recordDir, id);
      }
      if (m_devices.empty()) StopLocked();
    } else {
      const auto file = RecordPath(HostDir(), id);
      RecordsLock recordsLock(HostDir());
      std::error_code ec;
      if (!std::filesystem::exists(file, ec)) return TakeWithdrawnMark(HostDir(), id) ? S_OK : kErrUnknownDevice;
      Record rec;
      if (!ReadRecord(file, &rec) || rec.id != id) {
        LogLine("the registration record %s is damaged", file.c_str());
        return HRESULT_FROM_WIN32(ERROR_INVALID_DATA);
      }
      if (OwnedByAnotherLiveProcess(rec)) {
        LogLine("device %s is announced by the live process %ld; only that process withdraws it", id.c_str(),
                rec.pid);
        return kErrDeviceOwnedElsewhere;
      }
      bool sent = true;
      for (const auto& a : rec.hostAddresses) sent = SendSsdpMulticast(a, ByebyeSet(rec.targets, a)) && sent;
      if (!sent) LogLine("could not send every ssdp:byebye for the earlier device %s", id.c_str());
      std::filesystem::remove(file, ec);
    }
  }
  // The service objects and the control object are released outside the lock.
  dead.reset();
  return S_OK;
}

HRESULT Host::UniqueDeviceName(const std::string& id, const std::string& templateUdn, std::string* udn) {
  if (!udn) return E_POINTER;
  std::lock_guard<std::mutex> guard(m_lock);
  auto it = m_devices.find(id);
  if (it == m_devices.end()) {
    Record rec;
    if (IsWellFormedDeviceId(id) && ReadRecord(RecordPath(HostDir(), id), &rec) &&
        (templateUdn.empty() || g_ascii_strcasecmp(templateUdn.c_str(), rec.udn.c_str()) == 0)) {
      *udn = rec.udn;
      return S_OK;
    }
    return IsWellFormedDeviceId(id) && !ReadRecord(RecordPath(HostDir(), id), &rec) ? kErrUnknownDevice
                                                                                     : E_INVALIDARG;
  }
  const auto& devices = it->second->doc.devices;
  if (templateUdn.empty()) {
    *udn = devices.front().udn;
    return S_OK;
  }
  for (const auto& e : devices) {
    if (g_ascii_strcasecmp(e.templateUdn.c_str(), templateUdn.c_str()) == 0 ||
        g_ascii_strcasecmp(e.udn.c_str(), templateUdn.c_str()) == 0) {
      *udn = e.udn;
      return S_OK;
    }
  }
  return E_INVALIDARG;
}

void Host::WithdrawAll() {
  std::vector<std::string> ids;
  {
    std::lock_guard<std::mutex> guard(m_lock);
    for (const auto& [id, d] : m_devices) ids.push_back(id);
  }
  for (const auto& id : ids) (void)Unregister(id);
  std::lock_guard<std::mutex> guard(m_lock);
  if (m_devices.empty()) StopLocked();
}

int Host::LiveCount() {
  std::lock_guard<std::mutex> guard(m_lock);
  return static_cast<int>(m_devices.size());
}

void WithdrawAllDevices() { Host::Get().WithdrawAll(); }
int LiveDeviceCount() { return Host::Get().LiveCount(); }

}  // namespace qel::upnphost
