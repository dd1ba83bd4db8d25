// qelupnp-dbgview: shows the platform's debugger output. It binds the
// debug-output socket in the state directory and prints each message on its
// own line until Ctrl+C (or, with --count N, after N messages). Any local
// user may write to that socket, so control characters (terminal escapes,
// carriage returns, line breaks inside a message) and bytes that are not
// UTF-8 are printed as escapes, never sent to the terminal as they are.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>

#include "qel/kernel.h"
#include "qel/statedir.h"

namespace {

int g_pipe[2] = {-1, -1};

void OnSignal(int) {
  int saved = errno;
  char b = 1;
  ssize_t r = ::write(g_pipe[1], &b, 1);
  (void)r;
  errno = saved;
}

class Fd {
 public:
  explicit Fd(int fd) : m_fd(fd) {}
  ~Fd() {
    if (m_fd >= 0) ::close(m_fd);
  }
  Fd(const Fd&) = delete;
  Fd& operator=(const Fd&) = delete;
  int get() const { return m_fd; }

 private:
  int m_fd;
};

void Usage(FILE* out) {
  std::fprintf(out,
               "Usage: qelupnp-dbgview [--count N]\n"
               "Prints the debugger output (OutputDebugString) of QelUPnP processes that share\n"
               "the state directory (QELUPNP_STATE_DIR), one message per line, until Ctrl+C.\n"
               "  --count N   stop after N messages\n"
               "  --help      show this text\n");
}

// The message as one line of text that a terminal shows as it is: C0 and C1
// control characters (but tab) as \n, \r, \xNN or \u00NN, bytes that are
// not part of a well-formed UTF-8 sequence as \xNN.
std::string Printable(std::string_view msg) {
  std::string out;
  out.reserve(msg.size());
  char esc[8];
  auto byteEscape = [&](unsigned char c) {
    std::snprintf(esc, sizeof esc, "\\x%02X", c);
    out += esc;
  };
  for (std::size_t i = 0; i < msg.size();) {
    auto c = static_cast<unsigned char>(msg[i]);
    if (c == '\t' || (c >= 0x20 && c < 0x7F)) {
      out.push_back(static_cast<char>(c));
      ++i;
      continue;
    }
    if (c == '\n' || c == '\r') {
      out += c == '\n' ? "\\n" : "\\r";
      ++i;
      continue;
    }
    if (c < 0x80) {  // other C0 controls and DEL
      byteEscape(c);
      ++i;
      continue;
    }
    // The length of a well-formed UTF-8 sequence starting here, or 0.
    std::size_t len = c >= 0xC2 && c <= 0xDF ? 2 : c >= 0xE0 && c <= 0xEF ? 3 : c >= 0xF0 && c <= 0xF4 ? 4 : 0;
    std::uint32_t cp = len == 2 ? c & 0x1F : len == 3 ? c & 0x0F : c & 0x07;
    for (std::size_t k = 1; k < len; ++k) {
      if (i + k >= msg.size() || (static_cast<unsigned char>(msg[i + k]) & 0xC0) != 0x80) {
        len = 0;
        break;
      }
      cp = (cp << 6) | (static_cast<unsigned char>(msg[i + k]) & 0x3F);
    }
    bool overlong = (len == 3 && cp < 0x800) || (len == 4 && cp < 0x10000);
    if (len == 0 || overlong || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) {
      byteEscape(c);
      ++i;
      continue;
    }
    if (cp >= 0x80 && cp <= 0x9F) {  // C1 controls (CSI among them)
      std::snprintf(esc, sizeof esc, "\\u%04X", static_cast<unsigned>(cp));
      out += esc;
    } else {
      out.append(msg.substr(i, len));
    }
    i += len;
  }
  return out;
}

}  // namespace

int main(int argc, char** argv) {
  long limit = -1;
  for (int i = 1; i < argc; ++i) {
    std::string a = argv[i];
    if (a == "--help" || a == "-h" || a == "/?") {
      Usage(stdout);
      return 0;
    }
    if (a == "--count" && i + 1 < argc) {
      char* end = nullptr;
      limit = std::strtol(argv[++i], &end, 10);
      if (!end || *end || limit < 0) {
        std::fprintf(stderr, "qelupnp-dbgview: --count needs a number, not '%s'\n", argv[i]);
        return 1;
      }
      continue;
    }
    std::fprintf(stderr, "qelupnp-dbgview: unknown argument '%s'\n", argv[i]);
    Usage(stderr);
    return 1;
  }

  std::string path = (qel::StateDir() / qel::kDebugSocketName).string();
  sockaddr_un addr{};
  addr.sun_family = AF_UNIX;
  if (path.size() >= sizeof addr.sun_path) {
    std::fprintf(stderr, "qelupnp-dbgview: the socket path %s is too long\n", path.c_str());
    return 1;
  }
  std::memcpy(addr.sun_path, path.c_str(), path.size() + 1);
  Fd sock(::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0));
  if (sock.get() < 0) {
    std::fprintf(stderr, "qelupnp-dbgview: cannot create a socket: %s\n", std::strerror(errno));
    return 1;
  }
  {
    // A socket file that nobody serves is left over from a viewer that died: replace it.
    Fd probe(::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0));
    if (::connect(probe.get(), reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0) {
      std::fprintf(stderr, "qelupnp-dbgview: another viewer is listening on %s\n", path.c_str());
      return 1;
    }
    ::unlink(path.c_str());
  }
  if (::bind(sock.get(), reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
    std::fprintf(stderr, "qelupnp-dbgview: cannot listen on %s: %s\n", path.c_str(), std::strerror(errno));
    return 1;
  }
  // Every local process of the platform may write its debugger output here.
  ::chmod(path.c_str(), 0666);

  if (::pipe2(g_pipe, O_CLOEXEC) != 0) return 1;
  struct sigaction sa {};
  sa.sa_handler = OnSignal;
  sigemptyset(&sa.sa_mask);
  ::sigaction(SIGINT, &sa, nullptr);
  ::sigaction(SIGTERM, &sa, nullptr);

  std::fprintf(stderr, "qelupnp-dbgview: listening on %s\n", path.c_str());
  std::fflush(stderr);
  std::string buf(65536, '\0');
  long seen = 0;
  int status = 0;
  while (limit < 0 || seen < limit) {
    pollfd fds[2] = {{sock.get(), POLLIN, 0}, {g_pipe[0], POLLIN, 0}};
    if (::poll(fds, 2, -1) < 0) {
      if (errno == EINTR) continue;
      status = 1;
      break;
    }
    if (fds[1].revents) break;
    if (!(fds[0].revents & POLLIN)) continue;
    ssize_t n = ::recv(sock.get(), buf.data(), buf.size(), 0);
    if (n < 0) {
      if (errno == EINTR) continue;
      status = 1;
      break;
    }
    std::string_view raw(buf.data(), static_cast<std::size_t>(n));
    // A message that ends its own line keeps one line break, not two.
    if (!raw.empty() && raw.back() == '\n') raw.remove_suffix(1);
    if (!raw.empty() && raw.back() == '\r') raw.remove_suffix(1);
    std::string msg = Printable(raw);
    std::fwrite(msg.data(), 1, msg.size(), stdout);
    std::fputc('\n', stdout);
    std::fflush(stdout);
    ++seen;
  }
  ::unlink(path.c_str());
  return status;
}
