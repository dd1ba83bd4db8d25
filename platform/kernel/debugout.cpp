// Debugger output: a datagram to the viewer's socket in the state directory
// when a viewer listens there, else standard error when a debugger is
// attached, else nowhere.
#include <fcntl.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <mutex>
#include <string>

#include "internal.h"
#include "qel/fault.h"
#include "qel/statedir.h"

namespace {

// The largest message sent in one datagram; longer text is cut.
constexpr std::size_t kMaxDatagram = 65000;

std::mutex g_sinkLock;
std::function<void(std::u16string_view)>* g_sink = nullptr;

class Socket {
 public:
  Socket() : m_fd(::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0)) {}
  ~Socket() {
    if (m_fd >= 0) ::close(m_fd);
  }
  Socket(const Socket&) = delete;
  Socket& operator=(const Socket&) = delete;
  int fd() const { return m_fd; }

 private:
  int m_fd;
};

// True when a viewer received the text.
bool SendToViewer(const std::string& text) {
  std::string path = (qel::StateDir() / qel::kDebugSocketName).string();
  sockaddr_un addr{};
  addr.sun_family = AF_UNIX;
  if (path.size() >= sizeof addr.sun_path) return false;
  std::memcpy(addr.sun_path, path.c_str(), path.size() + 1);
  static Socket* sock = new Socket;  // one unbound sender for the process, never closed
  if (sock->fd() < 0) return false;
  std::size_t n = text.size() < kMaxDatagram ? text.size() : kMaxDatagram;
  ssize_t r;
  do {
    r = ::sendto(sock->fd(), text.data(), n, MSG_NOSIGNAL, reinterpret_cast<sockaddr*>(&addr), sizeof addr);
  } while (r < 0 && errno == EINTR);
  return r >= 0;
}

bool TracerAttached() {
  std::ifstream in("/proc/self/status");
  std::string line;
  while (std::getline(in, line))
    if (line.compare(0, 10, "TracerPid:") == 0) return std::strtol(line.c_str() + 10, nullptr, 10) != 0;
  return false;
}

void Output(const std::string& utf8, std::u16string_view wide) {
  {
    std::lock_guard<std::mutex> g(g_sinkLock);
    if (g_sink && *g_sink) {
      (*g_sink)(wide);
      return;
    }
  }
  if (SendToViewer(utf8)) return;
  if (TracerAttached()) {
    std::fwrite(utf8.data(), 1, utf8.size(), stderr);
    std::fflush(stderr);
  }
}

}  // namespace

namespace qel {
void SetDebugOutputSinkForTests(std::function<void(std::u16string_view)> sink) {
  std::lock_guard<std::mutex> g(g_sinkLock);
  if (!g_sink) g_sink = new std::function<void(std::u16string_view)>;  // NOLINT: process lifetime
  *g_sink = std::move(sink);
}
}  // namespace qel

extern "C" void WINAPI OutputDebugStringW(LPCWSTR lpOutputString) {
  QEL_FAULT_POINT("OutputDebugStringW", c) return;
  if (!lpOutputString) return;
  qel::u16view text = qel::WView(lpOutputString);
  Output(qel::ToUtf8(text), text);
}

extern "C" void WINAPI OutputDebugStringA(LPCSTR lpOutputString) {
  QEL_FAULT_POINT("OutputDebugStringA", c) return;
  if (!lpOutputString) return;
  qel::u16 wide;
  std::string_view bytes(lpOutputString);
  if (!qel::kernel::DecodeBytes(bytes, qel::kernel::CurrentCodeset(), false, &wide)) wide = qel::FromUtf8(bytes);
  Output(qel::ToUtf8(wide), wide);
}

extern "C" BOOL WINAPI IsDebuggerPresent(void) { return TracerAttached() ? TRUE : FALSE; }
