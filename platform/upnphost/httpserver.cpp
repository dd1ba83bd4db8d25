// The device host's HTTP server over libmicrohttpd.
#include "httpserver.h"

#include <arpa/inet.h>
#include <glib.h>
#include <microhttpd.h>
#include <netinet/in.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <mutex>
#include <unordered_set>

namespace qel::upnphost {

HttpResponse::HttpResponse(HttpResponse&& o) noexcept
    : status(o.status),
      headers(std::move(o.headers)),
      body(std::move(o.body)),
      shared(std::move(o.shared)),
      fd(std::exchange(o.fd, -1)),
      fileSize(o.fileSize),
      close(o.close) {}

HttpResponse& HttpResponse::operator=(HttpResponse&& o) noexcept {
  if (this != &o) {
    if (fd >= 0) ::close(fd);
    status = o.status;
    headers = std::move(o.headers);
    body = std::move(o.body);
    shared = std::move(o.shared);
    fd = std::exchange(o.fd, -1);
    fileSize = o.fileSize;
    close = o.close;
  }
  return *this;
}

HttpResponse::~HttpResponse() {
  if (fd >= 0) ::close(fd);
}

void HttpResponse::Set(unsigned s, std::string contentType, std::string text) {
  status = s;
  Add("Content-Type", std::move(contentType));
  body = std::move(text);
}

const char* HttpRequest::Header(std::string_view name) const {
  for (const auto& [n, v] : headers)
    if (n.size() == name.size() && g_ascii_strncasecmp(n.data(), name.data(), n.size()) == 0) return v.c_str();
  return nullptr;
}

std::string HttpRequest::PeerAddress() const {
  char text[INET6_ADDRSTRLEN] = "";
  if (peer.ss_family == AF_INET) {
    inet_ntop(AF_INET, &reinterpret_cast<const sockaddr_in&>(peer).sin_addr, text, sizeof text);
  } else if (peer.ss_family == AF_INET6) {
    const auto& a6 = reinterpret_cast<const sockaddr_in6&>(peer).sin6_addr;
    if (IN6_IS_ADDR_V4MAPPED(&a6))
      inet_ntop(AF_INET, a6.s6_addr + 12, text, sizeof text);
    else
      inet_ntop(AF_INET6, &a6, text, sizeof text);
  }
  return text;
}

// A request whose answer is being worked out on the loop thread while its
// connection is suspended.
struct Pending {
  MHD_Connection* connection = nullptr;
  HttpResponse response;
  bool ready = false;
};

struct HttpServer::State : std::enable_shared_from_this<HttpServer::State> {
  GMainContext* loop = nullptr;
  Router router;
  std::string serverId;
  std::size_t headerBytes = 0;
  std::mutex lock;  // guards the fields below
  bool stopping = false;
  std::unordered_set<std::shared_ptr<Pending>> suspended;

  // Hands the loop's answer to its connection, unless the server has
  // stopped (and answered the connection itself).
  void Finish(const std::shared_ptr<Pending>& p, HttpResponse&& r) {
    std::lock_guard<std::mutex> g(lock);
    if (stopping || !suspended.erase(p)) return;
    p->response = std::move(r);
    p->ready = true;
    MHD_resume_connection(p->connection);
  }
  void ResumeAll() {
    std::lock_guard<std::mutex> g(lock);
    stopping = true;
    for (const auto& p : suspended) {
      p->response = HttpResponse(503);
      p->response.close = true;
      p->ready = true;
      MHD_resume_connection(p->connection);
    }
    suspended.clear();
  }
};

namespace {

using State = HttpServer::State;

// What one request holds between the calls the daemon makes for it.
struct Exchange {
  HttpRequest request;
  HttpRoute route;
  bool answered = false;
  std::shared_ptr<Pending> pending;
};

struct Job {
  std::shared_ptr<State> state;
  std::shared_ptr<Pending> pending;
  HttpRequest request;
  std::function<void(const HttpRequest&, HttpResponse&)> work;
};

gboolean RunJob(gpointer p) {
  auto* job = static_cast<Job*>(p);
  HttpResponse r;
  job->work(job->request, r);
  job->state->Finish(job->pending, std::move(r));
  return G_SOURCE_REMOVE;
}

void DeleteJob(gpointer p) { delete static_cast<Job*>(p); }

void FreeShared(void* p) { delete static_cast<std::shared_ptr<const std::string>*>(p); }

MHD_Result Queue(MHD_Connection* c, const State& st, HttpResponse&& r) {
  MHD_Response* mr = nullptr;
  if (r.fd >= 0) {
    mr = MHD_create_response_from_fd64(r.fileSize, r.fd);
    if (mr) r.fd = -1;  // the daemon owns the descriptor now
  } else if (r.shared) {
    auto* keep = new std::shared_ptr<const std::string>(std::move(r.shared));
    mr = MHD_create_response_from_buffer_with_free_callback_cls((*keep)->size(), const_cast<char*>((*keep)->data()),
                                                                 &FreeShared, keep);
    if (!mr) delete keep;
  } else {
    mr = MHD_create_response_from_buffer(r.body.size(), r.body.data(), MHD_RESPMEM_MUST_COPY);
  }
  if (!mr) return MHD_NO;
  for (const auto& [n, v] : r.headers) MHD_add_response_header(mr, n.c_str(), v.c_str());
  MHD_add_response_header(mr, MHD_HTTP_HEADER_SERVER, st.serverId.c_str());
  if (r.close) MHD_add_response_header(mr, MHD_HTTP_HEADER_CONNECTION, "close");
  const MHD_Result ok = MHD_queue_response(c, r.status, mr);
  MHD_destroy_response(mr);
  return ok;
}

MHD_Result CollectHeader(void* cls, MHD_ValueKind, const char* key, size_t keyLen, const char* value,
                         size_t valueLen) {
  auto* req = static_cast<HttpRequest*>(cls);
  req->headers.emplace_back(std::string(key, keyLen), value ? std::string(value, valueLen) : std::string());
  return MHD_YES;
}

// Framing that no well-behaved client sends and that proxies may read
// differently from us: refused before anything else.
bool BadFraming(const HttpRequest& req) {
  const std::string* length = nullptr;
  bool chunked = false;
  for (const auto& [n, v] : req.headers) {
    if (g_ascii_strcasecmp(n.c_str(), "Content-Length") == 0) {
      if (v.empty() || v.find_first_not_of("0123456789") != std::string::npos) return true;
      if (length && *length != v) return true;
      length = &v;
    } else if (g_ascii_strcasecmp(n.c_str(), "Transfer-Encoding") == 0) {
      chunked = true;
    }
  }
  return chunked && length;
}

void LocalAddress(MHD_Connection* c, sockaddr_storage* out) {
  const MHD_ConnectionInfo* info = MHD_get_connection_info(c, MHD_CONNECTION_INFO_CONNECTION_FD);
  if (!info) return;
  socklen_t len = sizeof *out;
  if (::getsockname(info->connect_fd, reinterpret_cast<sockaddr*>(out), &len) != 0) out->ss_family = AF_UNSPEC;
}

MHD_Result OnRequest(void* cls, MHD_Connection* c, const char* url, const char* method, const char*,
                     const char* upload, size_t* uploadSize, void** slot) {
  auto& st = *static_cast<State*>(cls);
  auto* ex = static_cast<Exchange*>(*slot);
  if (!ex) {
    // Line and headers are in; nothing of the body has been read yet.
    ex = new Exchange;
    *slot = ex;
    HttpRequest& req = ex->request;
    req.method = method ? method : "";
    req.path = url ? url : "";
    MHD_get_connection_values_n(c, MHD_HEADER_KIND, &CollectHeader, &req);
    if (const MHD_ConnectionInfo* info = MHD_get_connection_info(c, MHD_CONNECTION_INFO_CLIENT_ADDRESS)) {
      const sockaddr* sa = info->client_addr;
      std::memcpy(&req.peer, sa, sa->sa_family == AF_INET6 ? sizeof(sockaddr_in6) : sizeof(sockaddr_in));
    }
    LocalAddress(c, &req.local);
    if (BadFraming(req)) {
      ex->answered = true;
      HttpResponse r(400);
      r.close = true;
      return Queue(c, st, std::move(r));
    }
    ex->route = st.router(req);
    if (ex->route.answerNow) {
      ex->answered = true;
      return Queue(c, st, std::move(ex->route.answer));
    }
    if (const char* len = req.Header("Content-Length")) {
      if (std::strtoull(len, nullptr, 10) > ex->route.maxBody) {
        ex->answered = true;
        HttpResponse r(413);
        r.close = true;
        return Queue(c, st, std::move(r));
      }
    }
    return MHD_YES;
  }
  if (ex->answered) {
    // The answer is queued; whatever body follows is not kept.
    *uploadSize = 0;
    return MHD_YES;
  }
  if (*uploadSize) {
    // A chunked body can outgrow its bound only here.
    if (ex->request.body.size() + *uploadSize > ex->route.maxBody) {
      ex->answered = true;
      *uploadSize = 0;
      HttpResponse r(413);
      r.close = true;
      return Queue(c, st, std::move(r));
    }
    ex->request.body.append(upload, *uploadSize);
    *uploadSize = 0;
    return MHD_YES;
  }
  if (ex->pending) {
    if (!ex->pending->ready) return MHD_YES;
    ex->answered = true;
    return Queue(c, st, std::move(ex->pending->response));
  }
  // The whole body is in: the work goes to the loop thread.
  ex->pending = std::make_shared<Pending>();
  ex->pending->connection = c;
  {
    std::lock_guard<std::mutex> g(st.lock);
    if (st.stopping) {
      ex->answered = true;
      HttpResponse r(503);
      r.close = true;
      return Queue(c, st, std::move(r));
    }
    st.suspended.insert(ex->pending);
    MHD_suspend_connection(c);
  }
  auto* job = new Job{st.shared_from_this(), ex->pending, std::move(ex->request), std::move(ex->route.work)};
  g_main_context_invoke_full(st.loop, G_PRIORITY_DEFAULT, &RunJob, job, &DeleteJob);
  return MHD_YES;
}

void OnCompleted(void*, MHD_Connection*, void** slot, MHD_RequestTerminationCode) {
  delete static_cast<Exchange*>(*slot);
  *slot = nullptr;
}

}  // namespace

void HttpServer::DaemonStop::operator()(MHD_Daemon* d) const {
  if (d) MHD_stop_daemon(d);
}

std::unique_ptr<HttpServer> HttpServer::Start(unsigned port, GMainContext* loop, Router router, std::string serverId,
                                              const HttpLimits& limits, int* error, std::string* why) {
  std::unique_ptr<HttpServer> server(new HttpServer);
  auto st = std::make_shared<State>();
  st->loop = loop;
  st->router = std::move(router);
  st->serverId = std::move(serverId);
  st->headerBytes = limits.headerBytes;
  // One thread per core polls with epoll; the client closing a connection
  // closes and frees it at once. Dual-stack first; an IPv4-only kernel
  // gets an IPv4 socket.
  const unsigned base = MHD_USE_INTERNAL_POLLING_THREAD | MHD_USE_EPOLL | MHD_ALLOW_SUSPEND_RESUME;
  for (const bool dual : {true, false}) {
    errno = 0;
    MHD_Daemon* d = MHD_start_daemon(
        base | (dual ? MHD_USE_DUAL_STACK : 0), static_cast<uint16_t>(port), nullptr, nullptr, &OnRequest, st.get(),
        MHD_OPTION_NOTIFY_COMPLETED, &OnCompleted, nullptr,
        MHD_OPTION_THREAD_POOL_SIZE, limits.threads,
        MHD_OPTION_CONNECTION_LIMIT, limits.totalConnections,
        MHD_OPTION_PER_IP_CONNECTION_LIMIT, limits.perAddressConnections,
        MHD_OPTION_CONNECTION_TIMEOUT, limits.idleTimeoutSeconds,
        MHD_OPTION_CONNECTION_MEMORY_LIMIT, limits.headerBytes,
        MHD_OPTION_LISTEN_BACKLOG_SIZE, limits.listenBacklog,
        MHD_OPTION_STRICT_FOR_CLIENT, 1,
        MHD_OPTION_END);
    const int err = errno;
    if (d) {
      server->m_daemon.reset(d);
      server->m_dualStack = dual;
      break;
    }
    if (err == EADDRINUSE || err == EACCES || !dual) {
      if (error) *error = err ? err : EIO;
      if (why) *why = err ? std::strerror(err) : "the HTTP server cannot start";
      return nullptr;
    }
  }
  const MHD_DaemonInfo* info = MHD_get_daemon_info(server->m_daemon.get(), MHD_DAEMON_INFO_BIND_PORT);
  server->m_port = info ? info->port : port;
  server->m_state = std::move(st);
  return server;
}

HttpServer::~HttpServer() {
  // The daemon refuses to stop while a connection is suspended: those
  // waiting for the loop are answered 503 first.
  if (m_state) m_state->ResumeAll();
  m_daemon.reset();
}

}  // namespace qel::upnphost
