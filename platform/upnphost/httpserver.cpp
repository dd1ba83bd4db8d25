// The device host's HTTP server over libmicrohttpd.
#include "httpserver.h"

#include <arpa/inet.h>
#include <glib.h>
#include <microhttpd.h>
#include <netinet/in.h>
#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <chrono>
#include <map>
#include <mutex>
#include <thread>
#include <unordered_map>
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
  // Wakes the server's thread, which runs the daemon: a daemon without a
  // thread of its own does not notice a resumed connection by itself.
  int kick = -1;

  // Hands the loop's answer to its connection, unless the server has
  // stopped (and answered the connection itself).
  void Finish(const std::shared_ptr<Pending>& p, HttpResponse&& r) {
    std::lock_guard<std::mutex> g(lock);
    if (stopping || !suspended.erase(p)) return;
    p->response = std::move(r);
    p->ready = true;
    MHD_resume_connection(p->connection);
    const uint64_t one = 1;
    [[maybe_unused]] const ssize_t n = ::write(kick, &one, sizeof one);
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
      // An answer queued before the daemon has seen the end of the request
      // closes the connection without reading on: right for a request
      // with a body nobody wants, wasteful for a plain GET, which is
      // answered on the next call and keeps its connection.
      const char* len = req.Header("Content-Length");
      if ((len && std::strcmp(len, "0") != 0) || req.Header("Transfer-Encoding")) {
        ex->answered = true;
        return Queue(c, st, std::move(ex->route.answer));
      }
      return MHD_YES;
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
    if (ex->request.body.size() + *uploadSize > ex->route.maxBody) {
      // Only a chunked body gets here (a Content-Length over the bound was
      // refused on the headers). The daemon cannot answer in the middle of
      // a body, so the connection is dropped.
      ex->answered = true;
      return MHD_NO;
    }
    ex->request.body.append(upload, *uploadSize);
    *uploadSize = 0;
    return MHD_YES;
  }
  if (ex->route.answerNow) {
    ex->answered = true;
    return Queue(c, st, std::move(ex->route.answer));
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

std::string AddressKey(const sockaddr_storage& a) {
  HttpRequest r;
  r.peer = a;
  return r.PeerAddress();
}

}  // namespace

// The server's one thread: it accepts connections, hands each to the daemon
// once its first byte is in, and runs the daemon (which polls nothing of
// its own). libmicrohttpd waits for a whole request line before it answers
// anything, so a TLS hello (which has no line end) would hold a connection
// until the idle timeout; here it is answered 400 at once. A connection
// that sends nothing at all is closed after `firstByteSeconds`.
//
// Accepting and serving on the same thread is what keeps a fresh
// connection cheap: the daemon takes the connection in at once, with no
// hand-over to another thread and no wakeup of it, and under load the
// request has usually arrived by the time the connection is accepted, so
// it is checked and served in the same pass.
class HttpServer::Acceptor {
 public:
  static std::unique_ptr<Acceptor> Listen(unsigned port, const HttpLimits& limits, bool* dualStack, int* error) {
    std::unique_ptr<Acceptor> a(new Acceptor);
    a->m_limits = limits;
    for (const bool dual : {true, false}) {
      const int fd = ::socket(dual ? AF_INET6 : AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
      if (fd < 0) {
        *error = errno;
        continue;
      }
      const int one = 1, zero = 0;
      ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
      sockaddr_storage ss{};
      socklen_t len = 0;
      if (dual) {
        ::setsockopt(fd, IPPROTO_IPV6, IPV6_V6ONLY, &zero, sizeof zero);
        auto& a6 = reinterpret_cast<sockaddr_in6&>(ss);
        a6.sin6_family = AF_INET6;
        a6.sin6_addr = in6addr_any;
        a6.sin6_port = htons(static_cast<uint16_t>(port));
        len = sizeof a6;
      } else {
        auto& a4 = reinterpret_cast<sockaddr_in&>(ss);
        a4.sin_family = AF_INET;
        a4.sin_addr.s_addr = htonl(INADDR_ANY);
        a4.sin_port = htons(static_cast<uint16_t>(port));
        len = sizeof a4;
      }
      if (::bind(fd, reinterpret_cast<sockaddr*>(&ss), len) != 0 ||
          ::listen(fd, static_cast<int>(limits.listenBacklog)) != 0) {
        *error = errno;
        ::close(fd);
        if (*error == EADDRINUSE || *error == EACCES) return nullptr;
        continue;
      }
      len = sizeof ss;
      ::getsockname(fd, reinterpret_cast<sockaddr*>(&ss), &len);
      a->m_port = ntohs(ss.ss_family == AF_INET6 ? reinterpret_cast<sockaddr_in6&>(ss).sin6_port
                                                 : reinterpret_cast<sockaddr_in&>(ss).sin_port);
      a->m_listen = fd;
      *dualStack = dual;
      break;
    }
    if (a->m_listen < 0) return nullptr;
    a->m_epoll = ::epoll_create1(EPOLL_CLOEXEC);
    a->m_wake = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    a->m_kick = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (a->m_epoll < 0 || a->m_wake < 0 || a->m_kick < 0) {
      *error = errno;
      return nullptr;
    }
    a->Watch(a->m_listen);
    a->Watch(a->m_wake);
    a->Watch(a->m_kick);
    return a;
  }

  // Starts the thread; false if the daemon has no descriptor to wait on.
  bool Run(MHD_Daemon* daemon) {
    const MHD_DaemonInfo* info = MHD_get_daemon_info(daemon, MHD_DAEMON_INFO_EPOLL_FD);
    if (!info || info->epoll_fd < 0) return false;
    m_daemon = daemon;
    m_daemonFd = info->epoll_fd;
    Watch(m_daemonFd);
    m_thread = std::thread([this] { Loop(); });
    return true;
  }
  unsigned Port() const { return m_port; }
  // Written to after a connection is resumed from another thread.
  int Kick() const { return m_kick; }

  // Ends the thread; from then on only the caller runs the daemon.
  void Stop() {
    if (!m_thread.joinable()) return;
    const uint64_t one = 1;
    [[maybe_unused]] const ssize_t n = ::write(m_wake, &one, sizeof one);
    m_thread.join();
  }

  ~Acceptor() {
    Stop();
    for (const auto& [fd, w] : m_waiting) ::close(fd);
    for (int fd : {m_listen, m_epoll, m_wake, m_kick})
      if (fd >= 0) ::close(fd);
  }

 private:
  using Clock = std::chrono::steady_clock;
  static constexpr int kAcceptBatch = 16;
  struct Waiting {
    sockaddr_storage addr;
    socklen_t len;
    Clock::time_point deadline;
    std::string key;
    bool watched = false;  // on the epoll set, waiting for its first byte
  };

  void Watch(int fd) {
    epoll_event ev{};
    ev.events = EPOLLIN;
    ev.data.fd = fd;
    ::epoll_ctl(m_epoll, EPOLL_CTL_ADD, fd, &ev);
  }

  void Drop(int fd, const char* answer) {
    auto it = m_waiting.find(fd);
    if (it == m_waiting.end()) return;
    if (--m_perAddress[it->second.key] == 0) m_perAddress.erase(it->second.key);
    if (it->second.watched) ::epoll_ctl(m_epoll, EPOLL_CTL_DEL, fd, nullptr);
    m_waiting.erase(it);
    if (answer) {
      [[maybe_unused]] const ssize_t n = ::send(fd, answer, std::strlen(answer), MSG_DONTWAIT | MSG_NOSIGNAL);
      ::shutdown(fd, SHUT_WR);
      // Closing with unread bytes would reset the connection and could
      // destroy the answer on its way: what has arrived is read first.
      char sink[4096];
      for (int i = 0; i < 16 && ::recv(fd, sink, sizeof sink, MSG_DONTWAIT) > 0; ++i) {
      }
    }
    ::close(fd);
  }

  // Accepts what is queued, at most a batch: a burst of connections is
  // served a batch at a time rather than all accepted before any is served
  // (the listening socket stays ready for the next pass). True if a
  // connection went to the daemon.
  bool AcceptSome() {
    bool handed = false;
    for (int i = 0; i < kAcceptBatch; ++i) {
      Waiting w{};
      w.len = sizeof w.addr;
      const int fd = ::accept4(m_listen, reinterpret_cast<sockaddr*>(&w.addr), &w.len, SOCK_NONBLOCK | SOCK_CLOEXEC);
      if (fd < 0) break;  // EAGAIN, or a connection that went away meanwhile
      w.key = AddressKey(w.addr);
      // Connections that have not spoken yet count against the same limits
      // as the daemon's.
      if (m_waiting.size() >= m_limits.totalConnections || m_perAddress[w.key] >= m_limits.perAddressConnections) {
        if (m_perAddress[w.key] == 0) m_perAddress.erase(w.key);
        ::close(fd);
        continue;
      }
      ++m_perAddress[w.key];
      w.deadline = Clock::now() + std::chrono::seconds(m_limits.firstByteSeconds);
      auto& entry = m_waiting.emplace(fd, std::move(w)).first->second;
      // Only a connection that has not spoken yet waits on the epoll set.
      if (FirstByte(fd)) {
        handed = true;
      } else if (m_waiting.count(fd)) {
        Watch(fd);
        entry.watched = true;
      }
    }
    return handed;
  }

  // Checks a waiting connection's first byte: true if the connection went
  // to the daemon, false if it is still silent or was dropped.
  bool FirstByte(int fd) {
    unsigned char b = 0;
    const ssize_t n = ::recv(fd, &b, 1, MSG_PEEK | MSG_DONTWAIT);
    if (n < 0 && (errno == EAGAIN || errno == EINTR)) return false;
    if (n <= 0) return Drop(fd, nullptr), false;
    // Every request line starts with a method in capitals (an empty line
    // before it is tolerated); a TLS record, an SSLv2 hello or binary
    // garbage cannot be HTTP.
    if (!((b >= 'A' && b <= 'Z') || b == '\r' || b == '\n'))
      return Drop(fd, "HTTP/1.1 400 Bad Request\r\nContent-Length: 0\r\nConnection: close\r\n\r\n"), false;
    auto it = m_waiting.find(fd);
    const Waiting w = std::move(it->second);
    m_waiting.erase(it);
    if (--m_perAddress[w.key] == 0) m_perAddress.erase(w.key);
    if (w.watched) ::epoll_ctl(m_epoll, EPOLL_CTL_DEL, fd, nullptr);
    // The daemon owns (and closes) the socket from here, refused or not.
    // It runs on this thread, so it takes the connection in at once.
    (void)MHD_add_connection(m_daemon, fd, reinterpret_cast<const sockaddr*>(&w.addr), w.len);
    return true;
  }

  static void Drain(int fd) {
    uint64_t count = 0;
    [[maybe_unused]] const ssize_t n = ::read(fd, &count, sizeof count);
  }

  // Lets the daemon work off what is ready (reads, answers, closes,
  // resumed connections, its timeouts).
  void RunDaemon() { (void)MHD_run(m_daemon); }

  void Loop() {
    epoll_event events[64];
    for (;;) {
      // Idle, the thread sleeps until a connection or a request comes; with
      // connections waiting for their first byte, at most until the
      // earliest of their deadlines; with connections in the daemon, at
      // most until the daemon's next timeout is due.
      int timeoutMs = -1;
      if (!m_waiting.empty()) {
        auto first = m_waiting.begin()->second.deadline;
        for (const auto& [fd, w] : m_waiting) first = std::min(first, w.deadline);
        const auto left = std::chrono::ceil<std::chrono::milliseconds>(first - Clock::now()).count();
        timeoutMs = static_cast<int>(std::clamp<long long>(left, 0, 1000));
      }
      MHD_UNSIGNED_LONG_LONG daemonMs = 0;
      const bool daemonTimed = MHD_get_timeout(m_daemon, &daemonMs) == MHD_YES;
      if (daemonTimed) {
        const int ms = static_cast<int>(std::min<MHD_UNSIGNED_LONG_LONG>(daemonMs, 3600 * 1000));
        timeoutMs = timeoutMs < 0 ? ms : std::min(timeoutMs, ms);
      }
      const int n = ::epoll_wait(m_epoll, events, 64, timeoutMs);
      // The daemon must run after every wait while it has a timeout.
      bool run = daemonTimed;
      for (int i = 0; i < n; ++i) {
        const int fd = events[i].data.fd;
        if (fd == m_wake) return;
        if (fd == m_listen)
          run |= AcceptSome();
        else if (fd == m_daemonFd)
          run = true;
        else if (fd == m_kick)
          run = true, Drain(m_kick);
        else
          run |= FirstByte(fd);
      }
      if (run) RunDaemon();
      const auto now = Clock::now();
      std::vector<int> late;
      for (const auto& [fd, w] : m_waiting)
        if (w.deadline <= now) late.push_back(fd);
      for (int fd : late)
        Drop(fd, "HTTP/1.1 408 Request Timeout\r\nContent-Length: 0\r\nConnection: close\r\n\r\n");
    }
  }

  HttpLimits m_limits;
  int m_listen = -1, m_epoll = -1, m_wake = -1, m_kick = -1;
  int m_daemonFd = -1;  // the daemon's own epoll set, owned by the daemon
  unsigned m_port = 0;
  MHD_Daemon* m_daemon = nullptr;
  std::thread m_thread;
  std::unordered_map<int, Waiting> m_waiting;
  std::map<std::string, unsigned> m_perAddress;
};

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
  // Every connection is a descriptor: the process may need more than the
  // usual soft limit of 1024, and the hard limit allows it.
  rlimit nofile{};
  if (::getrlimit(RLIMIT_NOFILE, &nofile) == 0) {
    const rlim_t want = std::min<rlim_t>(nofile.rlim_max, 2 * static_cast<rlim_t>(limits.totalConnections) + 256);
    if (nofile.rlim_cur < want) {
      nofile.rlim_cur = want;
      ::setrlimit(RLIMIT_NOFILE, &nofile);
    }
  }
  int err = 0;
  server->m_acceptor = Acceptor::Listen(port, limits, &server->m_dualStack, &err);
  if (!server->m_acceptor) {
    if (error) *error = err ? err : EIO;
    if (why) *why = err ? std::strerror(err) : "the HTTP server cannot listen";
    return nullptr;
  }
  // The daemon polls with epoll but has no thread of its own: the
  // acceptor's thread runs it. It reads and writes without asking epoll
  // first where that is likely to succeed (a request that has arrived with
  // its connection, an answer to a fresh request). The client closing a
  // connection closes and frees it at once.
  MHD_Daemon* d = MHD_start_daemon(
      MHD_USE_EPOLL | MHD_USE_TURBO | MHD_ALLOW_SUSPEND_RESUME | MHD_USE_NO_LISTEN_SOCKET, 0,
      nullptr, nullptr, &OnRequest, st.get(),
      MHD_OPTION_NOTIFY_COMPLETED, &OnCompleted, nullptr,
      MHD_OPTION_CONNECTION_LIMIT, limits.totalConnections,
      MHD_OPTION_PER_IP_CONNECTION_LIMIT, limits.perAddressConnections,
      MHD_OPTION_CONNECTION_TIMEOUT, limits.idleTimeoutSeconds,
      MHD_OPTION_CONNECTION_MEMORY_LIMIT, limits.headerBytes,
      MHD_OPTION_STRICT_FOR_CLIENT, 1,
      MHD_OPTION_END);
  if (!d) {
    if (error) *error = errno ? errno : EIO;
    if (why) *why = "the HTTP server cannot start";
    return nullptr;
  }
  server->m_daemon.reset(d);
  server->m_port = server->m_acceptor->Port();
  st->kick = server->m_acceptor->Kick();
  if (!server->m_acceptor->Run(d)) {
    if (error) *error = EIO;
    if (why) *why = "the HTTP server cannot start";
    return nullptr;
  }
  server->m_state = std::move(st);
  return server;
}

HttpServer::~HttpServer() {
  // The daemon refuses to stop while a connection is suspended: once the
  // server's thread has ended, those waiting for the loop are answered 503
  // and the daemon (now run by this thread alone) sends what it can.
  if (m_acceptor) m_acceptor->Stop();
  if (m_state) m_state->ResumeAll();
  if (m_daemon) (void)MHD_run(m_daemon.get());
  m_acceptor.reset();
  m_daemon.reset();
}

}  // namespace qel::upnphost
