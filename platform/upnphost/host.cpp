// The device host: registration, the network thread, SSDP and HTTP serving.
#include "host.h"

#include <net/if.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <signal.h>
#include <unistd.h>

#include <cstdlib>
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

// Files of the resource directory, below "<prefix>/res/". Anything that does
// not resolve to a regular file inside the directory is 404, symlinks that
// leave it included.
void OnResource(SoupServer*, SoupServerMessage* msg, const char* path, GHashTable*, gpointer user) {
  auto* d = static_cast<Device*>(user);
  const char* method = soup_server_message_get_method(msg);
  if (g_strcmp0(method, "GET") != 0 && g_strcmp0(method, "HEAD") != 0) {
    soup_server_message_set_status(msg, SOUP_STATUS_METHOD_NOT_ALLOWED, nullptr);
    soup_message_headers_append(soup_server_message_get_response_headers(msg), "Allow", "GET, HEAD");
    return;
  }
  const std::string base = d->prefix + "/res/";
  const std::string p = path ? path : "";
  if (p.compare(0, base.size(), base) != 0) {
    soup_server_message_set_status(msg, SOUP_STATUS_NOT_FOUND, nullptr);
    return;
  }
  // An escaped '/' or NUL must not split or end a name.
  GCharPtr rel(g_uri_unescape_string(p.c_str() + base.size(), "/"));
  if (!rel || std::string_view(rel.get()).find('\0') != std::string_view::npos) {
    soup_server_message_set_status(msg, SOUP_STATUS_NOT_FOUND, nullptr);
    return;
  }
  const auto file = ResolveInside(d->resourceDir, rel.get());
  gchar* data = nullptr;
  gsize len = 0;
  if (file.empty() || !g_file_get_contents(file.c_str(), &data, &len, nullptr)) {
    soup_server_message_set_status(msg, SOUP_STATUS_NOT_FOUND, nullptr);
    return;
  }
  soup_server_message_set_status(msg, SOUP_STATUS_OK, nullptr);
  soup_server_message_set_response(msg, ContentTypeFor(file).c_str(), SOUP_MEMORY_TAKE, data, len);
}

void OnControl(SoupServer*, SoupServerMessage* msg, const char*, GHashTable*, gpointer user) {
  HandleControl(msg, *static_cast<ServiceRuntime*>(user));
}

void OnEvent(SoupServer* server, SoupServerMessage* msg, const char*, GHashTable*, gpointer user) {
  auto* svc = static_cast<ServiceRuntime*>(user);
  HandleEventSubscription(msg, *svc, Host::Get().ContextForServer(server));
}

// Requests with a body larger than any description, SOAP call or
// subscription are refused before the body is read.
constexpr goffset kMaxRequestBody = 256 * 1024;

void OnEarly(SoupServer*, SoupServerMessage* msg, const char*, GHashTable*, gpointer) {
  SoupMessageHeaders* h = soup_server_message_get_request_headers(msg);
  const goffset len = soup_message_headers_get_content_length(h);
  if (len <= kMaxRequestBody && soup_message_headers_get_encoding(h) != SOUP_ENCODING_CHUNKED) return;
  // The server would read (and keep) the whole body before answering: take
  // the connection over, answer 413 and close it.
  GIOStream* stream = soup_server_message_steal_connection(msg);
  if (!stream) {
    soup_message_body_set_accumulate(soup_server_message_get_request_body(msg), FALSE);
    soup_server_message_set_status(msg, SOUP_STATUS_REQUEST_ENTITY_TOO_LARGE, nullptr);
    return;
  }
  static const char kReply[] =
      "HTTP/1.1 413 Request Entity Too Large\r\nContent-Length: 0\r\nConnection: close\r\n\r\n";
  gsize written = 0;
  g_output_stream_write_all(g_io_stream_get_output_stream(stream), kReply, sizeof kReply - 1, &written, nullptr,
                            nullptr);
  g_io_stream_close(stream, nullptr, nullptr);
  g_object_unref(stream);
}

gboolean OnAnnounceTimer(gpointer user) {
  auto* d = static_cast<Device*>(user);
  for (size_t i = 0; i < d->roots.size(); ++i) {
    // Re-announcing: the same ssdp:alive set, well before max-age runs out.
    std::vector<std::string> datagrams;
    for (const auto& t : d->record.targets) {
      datagrams.push_back("NOTIFY * HTTP/1.1\r\nHOST: 239.255.255.250:1900\r\nCACHE-CONTROL: max-age=" +
                          std::to_string(d->maxAge) + "\r\nLOCATION: " + d->locations[i] + "\r\nNT: " + t.nt +
                          "\r\nNTS: ssdp:alive\r\nSERVER: " + Host::Get().ServerId() + "\r\nUSN: " + t.usn +
                          "\r\n\r\n");
    }
    SendSsdpMulticast(d->record.hostAddresses[i], datagrams);
  }
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

// Characters that make a search target a pattern to the SSDP library.
bool NeedsOwnSearchAnswer(const std::string& nt) { return nt.find_first_of("()[]{}*+?|^$\\") != std::string::npos; }

// M-SEARCH requests as the SSDP library sees them (type 0: discovery request).
void OnSsdpMessage(GSSDPClient* client, const char* from, guint port, gint type, SoupMessageHeaders* headers,
                   gpointer) {
  if (type != 0 || !headers) return;
  const char* st = soup_message_headers_get_one(headers, "ST");
  const char* man = soup_message_headers_get_one(headers, "MAN");
  if (!st || !man || g_strcmp0(man, "\"ssdp:discover\"") != 0) return;
  Host::Get().AnswerSearch(client, from, port, st);
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

GUPnPContext* Host::ContextForServer(SoupServer* server) const {
  for (const auto& n : m_nets)
    if (gupnp_context_get_server(n.context.get()) == server) return n.context.get();
  return m_nets.empty() ? nullptr : m_nets.front().context.get();
}

void Host::AnswerSearch(GSSDPClient* client, const char* fromAddress, unsigned fromPort, const char* st) {
  for (const auto& t : m_ownTargets) {
    if (t.target.nt != st || GSSDP_CLIENT(m_nets[t.net].context.get()) != client) continue;
    const std::string reply = "HTTP/1.1 200 OK\r\nCACHE-CONTROL: max-age=" + std::to_string(t.device->maxAge) +
                              "\r\nEXT: \r\nLOCATION: " + t.device->locations[t.net] + "\r\nSERVER: " + m_serverId +
                              "\r\nST: " + t.target.nt + "\r\nUSN: " + t.target.usn + "\r\n\r\n";
    SendSsdpUnicast(m_nets[t.net].hostAddress, fromAddress, fromPort, reply);
  }
}

HRESULT Host::StartLocked(const Settings& settings) {
  if (m_loop) return S_OK;
  m_settings = settings;
  for (const auto& name : settings.interfaces) {
    GInetAddress* probe = g_inet_address_new_from_string(name.c_str());
    const bool isAddress = probe != nullptr;
    if (probe) g_object_unref(probe);
    if (!isAddress && ::if_nametoindex(name.c_str()) == 0) {
      LogLine("the interface \"%s\" (upnphost\\Parameters\\Interfaces) does not exist", name.c_str());
      return kErrNoSuchInterface;
    }
  }

  m_mainContext = g_main_context_new();
  m_loop = g_main_loop_new(m_mainContext, FALSE);
  std::promise<HRESULT> started;
  auto startedFuture = started.get_future();
  m_thread = std::thread([this, &started] {
    g_main_context_push_thread_default(m_mainContext);
    // Service objects are called on this thread; it joins the free-threaded apartment.
    const HRESULT coHr = CoInitializeEx(nullptr, COINIT_MULTITHREADED);
    HRESULT hr = S_OK;
    for (const auto& name : m_settings.interfaces) {
      GErrorPtr err;
      GUPnPContext* ctx = nullptr;
      if (GInetAddress* addr = g_inet_address_new_from_string(name.c_str())) {
        ctx = gupnp_context_new_full(nullptr, addr, static_cast<guint16>(m_settings.httpPort),
                                     GSSDP_UDA_VERSION_1_0, Out(err));
        g_object_unref(addr);
      } else {
        ctx = gupnp_context_new_full(name.c_str(), nullptr, static_cast<guint16>(m_settings.httpPort),
                                     GSSDP_UDA_VERSION_1_0, Out(err));
      }
      if (!ctx) {
        const char* why = err ? err->message : "unknown error";
        if (m_settings.httpPort != 0 && PortInUse(m_settings.httpPort)) {
          LogLine("the HTTP port %u (upnphost\\Parameters\\HttpPort) is in use: %s", m_settings.httpPort, why);
          hr = kErrPortInUse;
        } else {
          LogLine("cannot serve on \"%s\": %s", name.c_str(), why);
          hr = kErrNoSuchInterface;
        }
        break;
      }
      g_signal_connect(ctx, "message-received", G_CALLBACK(OnSsdpMessage), nullptr);
      m_nets.push_back({GObjectPtr<GUPnPContext>(ctx), gssdp_client_get_host_ip(GSSDP_CLIENT(ctx))});
    }
    if (SUCCEEDED(hr)) {
      m_serverId = m_nets.empty() ? "Linux UPnP/1.0 QelUPnP/1.0"
                                  : gssdp_client_get_server_id(GSSDP_CLIENT(m_nets.front().context.get()));
      m_session.reset(soup_session_new_with_options("proxy-resolver", nullptr, "timeout", 10u, "idle-timeout", 30u,
                                                    "max-conns-per-host", 4, nullptr));
    } else {
      m_nets.clear();
    }
    started.set_value(hr);
    if (SUCCEEDED(hr)) g_main_loop_run(m_loop);
    m_session.reset();
    m_ownTargets.clear();
    m_nets.clear();
    // Let the libraries finish what their disposal queued.
    while (g_main_context_iteration(m_mainContext, FALSE)) {
    }
    if (SUCCEEDED(coHr)) CoUninitialize();
    g_main_context_pop_thread_default(m_mainContext);
  });
  const HRESULT hr = startedFuture.get();
  if (FAILED(hr)) {
    m_thread.join();
    g_main_loop_unref(m_loop);
    g_main_context_unref(m_mainContext);
    m_loop = nullptr;
    m_mainContext = nullptr;
    return hr;
  }
  std::error_code ec;
  std::filesystem::create_directories(HostDir(), ec);
  RemoveStaleWwwDirs(HostDir());
  m_wwwDir = HostDir() / ("www-" + std::to_string(::getpid()));
  std::filesystem::create_directories(m_wwwDir, ec);
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
  g_main_loop_unref(m_loop);
  g_main_context_unref(m_mainContext);
  m_loop = nullptr;
  m_mainContext = nullptr;
  std::error_code ec;
  std::filesystem::remove_all(m_wwwDir, ec);
}

HRESULT Host::GoLive(Device& d) {
  d.cancel.reset(g_cancellable_new());
  for (size_t i = 0; i < m_nets.size(); ++i) {
    GUPnPContext* ctx = m_nets[i].context.get();
    XmlDocPtr xml(xmlReadMemory(d.doc.publishedXml.data(), static_cast<int>(d.doc.publishedXml.size()),
                                "description.xml", "UTF-8", XML_PARSE_NONET));
    if (!xml) return UPNP_E_INVALID_DOCUMENT;
    GObjectPtr<GUPnPXMLDoc> doc(gupnp_xml_doc_new(xml.release()));
    GErrorPtr err;
    GUPnPRootDevice* root =
        gupnp_root_device_new_full(ctx, gupnp_resource_factory_get_default(), doc.get(),
                                   d.descriptionFile.filename().c_str(), m_wwwDir.c_str(), Out(err));
    if (!root) {
      LogLine("cannot publish the device %s: %s", d.id.c_str(), err ? err->message : "unknown error");
      return E_FAIL;
    }
    d.roots.emplace_back(root);
    d.locations.push_back(gupnp_device_info_get_location(GUPNP_DEVICE_INFO(root)));
    gssdp_resource_group_set_max_age(gupnp_root_device_get_ssdp_resource_group(root), d.maxAge);
    // Early handlers belong to the handler of the same path: each path gets one.
    SoupServer* server = gupnp_context_get_server(ctx);
    const std::string res = d.prefix + "/res";
    gupnp_context_add_server_handler(ctx, FALSE, res.c_str(), OnResource, &d, nullptr);
    soup_server_add_early_handler(server, res.c_str(), OnEarly, nullptr, nullptr);
    for (auto& s : d.services) {
      gupnp_context_add_server_handler(ctx, FALSE, s->entry->controlPath.c_str(), OnControl, s.get(), nullptr);
      soup_server_add_early_handler(server, s->entry->controlPath.c_str(), OnEarly, nullptr, nullptr);
      gupnp_context_add_server_handler(ctx, FALSE, s->entry->eventPath.c_str(), OnEvent, s.get(), nullptr);
      soup_server_add_early_handler(server, s->entry->eventPath.c_str(), OnEarly, nullptr, nullptr);
    }
  }
  for (auto& r : d.roots) gupnp_root_device_set_available(r.get(), TRUE);
  for (size_t i = 0; i < d.roots.size(); ++i)
    for (const auto& t : d.record.targets)
      if (NeedsOwnSearchAnswer(t.nt)) m_ownTargets.push_back({&d, i, t});
  d.announceTimer = AddTimer(m_mainContext, d.announceSeconds, OnAnnounceTimer, &d);
  d.expiryTimer = AddTimer(m_mainContext, 30, OnExpiryTimer, &d);
  return S_OK;
}

void Host::TakeDown(Device& d) {
  std::erase_if(m_ownTargets, [&](const OwnSearchTarget& t) { return t.device == &d; });
  d.announceTimer.reset();
  d.expiryTimer.reset();
  if (d.cancel) g_cancellable_cancel(d.cancel.get());
  // The byebye set goes out at once, before the objects are disposed (which
  // sends it again through the library: harmless, and nothing is missed).
  std::vector<std::string> byebye;
  for (const auto& t : d.record.targets) byebye.push_back(ByebyeDatagram(t));
  for (size_t i = 0; i < d.roots.size(); ++i) SendSsdpMulticast(m_nets[i].hostAddress, byebye);
  for (size_t i = 0; i < d.roots.size(); ++i) {
    GUPnPContext* ctx = m_nets[i].context.get();
    gupnp_root_device_set_available(d.roots[i].get(), FALSE);
    gupnp_context_remove_server_handler(ctx, (d.prefix + "/res").c_str());
    for (auto& s : d.services) {
      gupnp_context_remove_server_handler(ctx, s->entry->controlPath.c_str());
      gupnp_context_remove_server_handler(ctx, s->entry->eventPath.c_str());
    }
  }
  d.roots.clear();
  for (auto& s : d.services) {
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
    for (const auto& var : entry.scpd.eventedVariables) {
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
  for (const auto& n : m_nets) d->record.hostAddresses.push_back(n.hostAddress);
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
  d->descriptionFile = m_wwwDir / (d->key + ".xml");
  {
    std::ofstream f(d->descriptionFile, std::ios::binary | std::ios::trunc);
    f << d->doc.publishedXml;
    if (!f.flush()) {
      std::error_code ec;
      std::filesystem::remove(RecordPath(d->recordDir, d->id), ec);
      stopIfIdle();
      return HRESULT_FROM_WIN32(ERROR_WRITE_FAULT);
    }
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
    std::filesystem::remove(d->descriptionFile, ec);
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
      std::error_code ec;
      std::filesystem::remove(dead->descriptionFile, ec);
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
      std::vector<std::string> byebye;
      for (const auto& t : rec.targets) byebye.push_back(ByebyeDatagram(t));
      bool sent = true;
      for (const auto& a : rec.hostAddresses) sent = SendSsdpMulticast(a, byebye) && sent;
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
