// The device host's one HTTP server: a libmicrohttpd daemon on a wildcard
// dual-stack socket that serves every device's description, documents,
// control and eventing.
//
// Requests are answered in two ways. What needs nothing but immutable data
// (a description, a document) is answered on the server's own thread at
// once. What calls into a device's service objects (SOAP control, GENA) has
// its body read, bounded, and then runs on the host's GLib loop thread, the
// thread that owns those objects: the connection is suspended meanwhile and
// resumed with the answer, so the COM calls stay on one apartment thread.
#pragma once

#include <sys/socket.h>

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

struct MHD_Daemon;
typedef struct _GMainContext GMainContext;

namespace qel::upnphost {

struct HttpRequest {
  std::string method;
  std::string path;  // percent-decoded by the server
  std::vector<std::pair<std::string, std::string>> headers;
  std::string body;
  sockaddr_storage peer{};   // the client
  sockaddr_storage local{};  // the address the request came in on
  // The value of a header (case-insensitive name), or nullptr.
  const char* Header(std::string_view name) const;
  // The client's address as text; an IPv4 peer on the dual-stack socket is
  // given as plain IPv4.
  std::string PeerAddress() const;
};

struct HttpResponse {
  unsigned status = 200;
  std::vector<std::pair<std::string, std::string>> headers;
  std::string body;
  // A body shared with its owner and served without a copy.
  std::shared_ptr<const std::string> shared;
  // A file streamed from this descriptor (the response owns it), `fileSize` bytes.
  int fd = -1;
  std::uint64_t fileSize = 0;
  bool close = false;  // Connection: close after this answer

  HttpResponse() = default;
  explicit HttpResponse(unsigned s) : status(s) {}
  HttpResponse(HttpResponse&& o) noexcept;
  HttpResponse& operator=(HttpResponse&& o) noexcept;
  HttpResponse(const HttpResponse&) = delete;
  HttpResponse& operator=(const HttpResponse&) = delete;
  ~HttpResponse();
  void Add(std::string name, std::string value) { headers.emplace_back(std::move(name), std::move(value)); }
  void Set(unsigned s, std::string contentType, std::string text);
};

// What the host makes of a request from its line and headers, before any of
// its body is read: an answer at once (a body that came with it is never
// read; the connection is closed after the answer), or work on the loop
// thread once a body of at most `maxBody` bytes is in.
struct HttpRoute {
  bool answerNow = true;
  HttpResponse answer{404};
  std::size_t maxBody = 0;
  std::function<void(const HttpRequest&, HttpResponse&)> work;
};

struct HttpLimits {
  unsigned perAddressConnections = 64;  // open connections from one client address
  unsigned totalConnections = 1024;     // open connections altogether
  unsigned idleTimeoutSeconds = 20;     // no byte from the client for this long: closed
  unsigned listenBacklog = 1024;
  std::size_t headerBytes = 16 * 1024;  // request line and headers of one request
  unsigned firstByteSeconds = 10;       // a new connection that sends nothing for this long: closed
};

class HttpServer {
 public:
  using Router = std::function<HttpRoute(const HttpRequest&)>;

  // Starts serving on `port` (0: any free port) of every address. `loop`
  // runs the routes' work. On failure: null, and `error` holds the errno of
  // the failed listen (EADDRINUSE for a taken port) and `why` a text.
  static std::unique_ptr<HttpServer> Start(unsigned port, GMainContext* loop, Router router, std::string serverId,
                                           const HttpLimits& limits, int* error, std::string* why);
  ~HttpServer();
  HttpServer(const HttpServer&) = delete;
  HttpServer& operator=(const HttpServer&) = delete;

  unsigned Port() const { return m_port; }
  bool DualStack() const { return m_dualStack; }

  struct State;  // shared with requests whose work is on the loop
  class Acceptor;

 private:
  HttpServer() = default;
  struct DaemonStop {
    void operator()(MHD_Daemon* d) const;
  };
  std::shared_ptr<State> m_state;
  std::unique_ptr<MHD_Daemon, DaemonStop> m_daemon;
  std::unique_ptr<Acceptor> m_acceptor;  // its thread runs the daemon; stops first
  unsigned m_port = 0;
  bool m_dualStack = false;
};

}  // namespace qel::upnphost
