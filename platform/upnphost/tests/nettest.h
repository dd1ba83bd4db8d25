// Test helpers for the device host: a private network namespace for the test
// process, an SSDP listener and searcher, a raw HTTP client and a callback
// server for event notifications. Everything stays on loopback.
#pragma once

#include <atomic>
#include <chrono>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace qel::test {

// True when the process runs in a network namespace of its own with lo up,
// multicast on and 239.0.0.0/8 routed to it (entered before main starts).
bool InPrivateNetwork();

// Datagrams that reach 239.255.255.250:1900 on loopback while it lives.
class SsdpListener {
 public:
  SsdpListener();
  ~SsdpListener();
  // Everything received so far.
  std::vector<std::string> Messages();
  // Waits until `pred` holds for the messages received, at most `timeout`.
  template <class Pred>
  bool WaitFor(Pred pred, std::chrono::milliseconds timeout = std::chrono::milliseconds(5000)) {
    const auto end = std::chrono::steady_clock::now() + timeout;
    while (std::chrono::steady_clock::now() < end) {
      if (pred(Messages())) return true;
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return pred(Messages());
  }

 private:
  void Run();
  int m_fd = -1;
  int m_wake[2] = {-1, -1};
  std::thread m_thread;
  std::mutex m_lock;
  std::vector<std::string> m_messages;
};

// Sends `request` (a whole datagram) to the SSDP group and collects the
// unicast answers for `wait`.
std::vector<std::string> SsdpSearch(const std::string& request, std::chrono::milliseconds wait);
std::string MSearch(const std::string& st, int mx);
// Sends one datagram to the SSDP group and nothing else.
void SsdpSend(const std::string& datagram);

// The value of header `name` (case-insensitive) in an HTTP-style message, or "".
std::string Header(const std::string& message, const std::string& name);
bool HasLine(const std::string& message, const std::string& line);

struct HttpReply {
  int status = 0;
  std::string head;
  std::string body;
};
// Sends `raw` to 127.0.0.1:`port` and reads the reply until the peer closes
// (or `timeout`).
HttpReply HttpRaw(int port, const std::string& raw, std::chrono::milliseconds timeout = std::chrono::milliseconds(5000));
HttpReply HttpGet(const std::string& url);
// Splits "http://127.0.0.1:1234/a/b" into its port and path.
bool SplitUrl(const std::string& url, int* port, std::string* path);

// A one-thread HTTP server on 127.0.0.1 (or on `address`, IPv4 or IPv6, an
// IPv6 one with an optional "%interface") that answers 200 to everything and
// keeps each request.
class CallbackServer {
 public:
  explicit CallbackServer(const std::string& address = "127.0.0.1");
  ~CallbackServer();
  int port() const { return m_port; }
  std::vector<std::string> Requests();
  bool WaitForRequests(size_t n, std::chrono::milliseconds timeout = std::chrono::milliseconds(5000));

 private:
  void Run();
  int m_fd = -1;
  int m_port = 0;
  std::atomic<bool> m_stop{false};
  std::thread m_thread;
  std::mutex m_lock;
  std::vector<std::string> m_requests;
};

}  // namespace qel::test
