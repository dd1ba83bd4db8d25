// The device host's HTTP server under load, against a minimal GUPnP
// publisher and the minimal libupnp device serving the same description:
//   - 100,000 description fetches over fresh connections, then 100,000 over
//     keep-alive connections: the host's open descriptors and resident
//     memory before and after (goal: growth < 10 descriptors, < 1 MB);
//   - throughput of each server on both kinds of fetch;
//   - 256 concurrent connections, each fetching the description over and
//     over on fresh connections: p50 and p99 latency (goal: p99 <= 20 ms),
//     and the CPU time one fetch costs the server and the load generator.
// Each server runs in a process of its own; the load comes from one epoll
// client in this process, from 8 source addresses (a LAN of control
// points, not one peer). Runs in a private network namespace (bench/run
// starts bench_net_* in one) with a veth pair it creates, since libupnp
// does not serve on loopback.
//
//   bench_net_http [--fetches N]   (default 100000 for the host; baselines get a fifth)
#include <arpa/inet.h>
#include <fcntl.h>
#include <libgupnp/gupnp.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <signal.h>
#include <sys/epoll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "qel/builtins.h"
#include "qel/comobj.h"
#include "qel/upnphost_api.h"
#include "qel/wstr.h"
#include "nullcontrol.h"
#include "upnphost.h"
#include "winreg.h"

QEL_COM_INTERFACE(IUPnPDeviceControl, IUnknown, IID_IUPnPDeviceControl);
QEL_COM_INTERFACE(IUPnPRegistrar, IUnknown, IID_IUPnPRegistrar);

namespace {

using Clock = std::chrono::steady_clock;
constexpr const char* kServerAddress = "10.77.0.1";
constexpr int kSources = 8;  // 10.77.0.11 .. 10.77.0.18
constexpr unsigned kHostPort = 49231;
std::string g_fixture;

// ---- the servers ------------------------------------------------------------

std::string ReadAll(const std::string& p) {
  std::ifstream f(p, std::ios::binary);
  std::stringstream s;
  s << f.rdbuf();
  return s.str();
}

// The fixture's description with `services` services ("Controller<n>"),
// all naming the fixture's service description; 0: the fixture as it is.
std::string DescriptionWith(long services) {
  std::string xml = ReadAll(g_fixture + "/device.xml");
  if (services <= 0) return xml;
  const auto from = xml.find("<serviceList>") + 13, to = xml.find("</serviceList>");
  std::string list;
  list.reserve(static_cast<size_t>(services) * 200);
  for (long i = 0; i < services; ++i) {
    const std::string n = "Controller" + std::to_string(i);
    list += "<service><serviceType>urn:schemas-upnp-org:service:" + n + ":1</serviceType><serviceId>urn:upnp-org:serviceId:" +
            n + "</serviceId><SCPDURL>QelUPnPService.xml</SCPDURL><controlURL/><eventSubURL/></service>";
  }
  return xml.substr(0, from) + list + xml.substr(to);
}

// The device host: registers the fixture device (or one with `services`
// services) with HttpPort set, prints its description URL and the time the
// registration took.
int HostChild(long services) {
  HKEY key = nullptr;
  if (RegCreateKeyExW(HKEY_LOCAL_MACHINE, TEXT("SYSTEM\\CurrentControlSet\\Services\\upnphost\\Parameters"), 0,
                      nullptr, 0, KEY_ALL_ACCESS, nullptr, &key, nullptr) == ERROR_SUCCESS) {
    const DWORD port = kHostPort;
    RegSetValueExW(key, TEXT("HttpPort"), 0, REG_DWORD, reinterpret_cast<const BYTE*>(&port), sizeof port);
    RegCloseKey(key);
  }
  qel::ComPtr<IClassFactory> f;
  qel::ComPtr<IUPnPRegistrar> reg;
  if (FAILED(qel_upnphost_DllGetClassObject(CLSID_UPnPRegistrar, IID_IClassFactory, f.PutVoid())) ||
      FAILED(f->CreateInstance(nullptr, IID_IUPnPRegistrar, reg.PutVoid())))
    return 1;
  auto control = qel::MakeComObject<Control>();
  const auto t0 = Clock::now();
  BSTR desc = SysAllocString(qel::FromUtf8(DescriptionWith(services)).c_str());
  BSTR dir = SysAllocString(qel::FromUtf8(g_fixture + "/").c_str());
  BSTR id = nullptr;
  const HRESULT hr = reg->RegisterRunningDevice(desc, control->GetUnknown(), nullptr, dir, 1800, &id);
  SysFreeString(desc);
  SysFreeString(dir);
  if (FAILED(hr)) return std::fprintf(stderr, "registration failed: 0x%08X\n", static_cast<unsigned>(hr)), 1;
  std::string key16 = qel::ToUtf8(qel::WView(id)).substr(1, 36);
  SysFreeString(id);
  for (char& c : key16) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  std::printf("location=http://%s:%u/upnphost/%s/description.xml\n", kServerAddress, kHostPort, key16.c_str());
  std::fprintf(stderr, "host: registration of the device took %.0f ms\n",
               std::chrono::duration<double, std::milli>(Clock::now() - t0).count());
  std::fflush(stdout);
  char ch;
  while (read(0, &ch, 1) > 0) {
  }
  return 0;
}

// The minimal GUPnP publisher, on the veth end, with as many descriptors
// as the system allows (its HTTP library keeps closed connections open).
int GupnpChild() {
  rlimit lim{};
  getrlimit(RLIMIT_NOFILE, &lim);
  lim.rlim_cur = lim.rlim_max;
  setrlimit(RLIMIT_NOFILE, &lim);
  GUPnPContext* ctx = gupnp_context_new_full("qhb0", nullptr, 0, GSSDP_UDA_VERSION_1_0, nullptr);
  if (!ctx) return 1;
  const std::string text = ReadAll(g_fixture + "/device.xml");
  xmlDoc* doc = xmlReadMemory(text.data(), static_cast<int>(text.size()), nullptr, "UTF-8", 0);
  GUPnPXMLDoc* xd = gupnp_xml_doc_new(doc);
  GUPnPRootDevice* root = gupnp_root_device_new_full(ctx, gupnp_resource_factory_get_default(), xd, "device.xml",
                                                     g_fixture.c_str(), nullptr);
  if (!root) return 1;
  gupnp_root_device_set_available(root, TRUE);
  std::printf("location=%s\n", gupnp_device_info_get_location(GUPNP_DEVICE_INFO(root)));
  std::fflush(stdout);
  GMainLoop* loop = g_main_loop_new(nullptr, FALSE);
  GIOChannel* in = g_io_channel_unix_new(0);
  g_io_add_watch(in, static_cast<GIOCondition>(G_IO_IN | G_IO_HUP | G_IO_ERR),
                 [](GIOChannel* ch, GIOCondition, gpointer l) -> gboolean {
                   char buf[64];
                   if (read(g_io_channel_unix_get_fd(ch), buf, sizeof buf) <= 0) g_main_loop_quit(static_cast<GMainLoop*>(l));
                   return G_SOURCE_CONTINUE;
                 },
                 loop);
  g_main_loop_run(loop);
  return 0;
}

struct Server {
  const char* name = "";
  pid_t pid = -1;
  int in = -1;
  std::string path;
  int port = 0;
};

Server Spawn(const char* name, const std::vector<std::string>& argv) {
  Server s;
  s.name = name;
  int toChild[2], fromChild[2];
  if (pipe(toChild) != 0 || pipe(fromChild) != 0) return s;
  s.pid = fork();
  if (s.pid == 0) {
    dup2(toChild[0], 0);
    dup2(fromChild[1], 1);
    close(toChild[1]);
    close(fromChild[0]);
    std::vector<char*> args;
    for (const auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    execv(args[0], args.data());
    _exit(127);
  }
  close(toChild[0]);
  close(fromChild[1]);
  s.in = toChild[1];
  std::string got;
  char ch;
  while (read(fromChild[0], &ch, 1) == 1 && ch != '\n') got += ch;
  close(fromChild[0]);
  // location=http://10.77.0.1:PORT/PATH
  const auto hostEnd = got.find(':', got.find("//") + 2);
  if (got.rfind("location=", 0) != 0 || hostEnd == std::string::npos) {
    std::fprintf(stderr, "%s did not start: \"%s\"\n", name, got.c_str());
    s.pid = -1;
    return s;
  }
  s.port = std::atoi(got.c_str() + hostEnd + 1);
  s.path = got.substr(got.find('/', hostEnd));
  return s;
}

void Stop(Server& s) {
  if (s.pid <= 0) return;
  close(s.in);
  if (std::string(s.name) == "libupnp") kill(s.pid, SIGTERM);
  waitpid(s.pid, nullptr, 0);
  s.pid = -1;
}

long RssKb(pid_t pid) {
  std::ifstream f("/proc/" + std::to_string(pid) + "/status");
  std::string line;
  while (std::getline(f, line))
    if (line.rfind("VmRSS:", 0) == 0) return std::atol(line.c_str() + 6);
  return -1;
}

// CPU time (clock ticks) the process has used so far.
long CpuTicks(pid_t pid) {
  std::ifstream f("/proc/" + std::to_string(pid) + "/stat");
  std::string all((std::istreambuf_iterator<char>(f)), std::istreambuf_iterator<char>());
  const auto paren = all.rfind(')');
  if (paren == std::string::npos) return -1;
  std::istringstream rest(all.substr(paren + 2));
  std::string field;
  long utime = 0, stime = 0;
  for (int i = 3; i <= 15 && rest >> field; ++i) {
    if (i == 14) utime = std::atol(field.c_str());
    if (i == 15) stime = std::atol(field.c_str());
  }
  return utime + stime;
}

// Waits (at most 15 s) until a server has stopped working off what an
// earlier round left it, so that it takes no CPU from the next server's round.
void Settle(pid_t pid) {
  long before = CpuTicks(pid);
  for (int i = 0; i < 75; ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    const long now = CpuTicks(pid);
    if (now <= before + 1) return;  // at most one tick in 200 ms: idle
    before = now;
  }
}

// CPU time (user and system) this process has used so far, in seconds.
double SelfCpuSeconds() {
  rusage u{};
  getrusage(RUSAGE_SELF, &u);
  return static_cast<double>(u.ru_utime.tv_sec + u.ru_stime.tv_sec) +
         static_cast<double>(u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e6;
}

long OpenFds(pid_t pid) {
  long n = 0;
  std::error_code ec;
  for (auto it = std::filesystem::directory_iterator("/proc/" + std::to_string(pid) + "/fd", ec);
       !ec && it != std::filesystem::directory_iterator(); it.increment(ec))
    ++n;
  return n;
}

// ---- the load ---------------------------------------------------------------

struct Result {
  long done = 0, failed = 0;
  double seconds = 0;
  std::vector<double> latencyMs;
  double Rate() const { return seconds > 0 ? static_cast<double>(done) / seconds : 0; }
  double Percentile(double p) {
    if (latencyMs.empty()) return -1;
    std::sort(latencyMs.begin(), latencyMs.end());
    return latencyMs[std::min(latencyMs.size() - 1, static_cast<size_t>(p * static_cast<double>(latencyMs.size())))];
  }
};

// `concurrency` connections fetch `path` until `total` answers are in (or
// `budget` has passed: the rate is then over what was answered); each
// connection carries `perConnection` requests (1: a fresh connection for
// every fetch), then the client closes it.
Result Load(const Server& s, int concurrency, long total, int perConnection,
            std::chrono::seconds budget = std::chrono::seconds(600)) {
  struct Conn {
    int fd = -1;
    int served = 0;
    Clock::time_point start;
    std::string in;
  };
  Result r;
  const std::string request = "GET " + s.path + " HTTP/1.1\r\nHost: " + kServerAddress + ":" +
                              std::to_string(s.port) + "\r\nUser-Agent: bench\r\n\r\n";
  const int ep = epoll_create1(EPOLL_CLOEXEC);
  std::vector<Conn> conns(static_cast<size_t>(concurrency));
  long started = 0;
  sockaddr_in to{};
  to.sin_family = AF_INET;
  to.sin_port = htons(static_cast<uint16_t>(s.port));
  inet_pton(AF_INET, kServerAddress, &to.sin_addr);

  auto send = [&](size_t i) {
    Conn& c = conns[i];
    c.start = Clock::now();
    c.in.clear();
    ++started;
    if (::send(c.fd, request.data(), request.size(), MSG_NOSIGNAL) != static_cast<ssize_t>(request.size())) return false;
    return true;
  };
  std::function<void(size_t)> open = [&](size_t i) {
    Conn& c = conns[i];
    while (started < total) {
      c.fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
      const int one = 1;
      setsockopt(c.fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
      // The port is chosen at connect, per destination: after 100,000 fresh
      // fetches the sources hold tens of thousands of ports in TIME_WAIT,
      // and choosing one at bind time would make the client itself slow.
      setsockopt(c.fd, IPPROTO_IP, IP_BIND_ADDRESS_NO_PORT, &one, sizeof one);
      sockaddr_in from{};
      from.sin_family = AF_INET;
      const std::string src = "10.77.0." + std::to_string(11 + static_cast<int>(i) % kSources);
      inet_pton(AF_INET, src.c_str(), &from.sin_addr);
      bind(c.fd, reinterpret_cast<sockaddr*>(&from), sizeof from);
      c.served = 0;
      const auto t0 = Clock::now();
      if (connect(c.fd, reinterpret_cast<sockaddr*>(&to), sizeof to) == 0 && send(i)) {
        c.start = t0;  // a fresh connection's fetch includes its set-up
        epoll_event ev{};
        ev.events = EPOLLIN;
        ev.data.u64 = i;
        epoll_ctl(ep, EPOLL_CTL_ADD, c.fd, &ev);
        return;
      }
      ++r.failed;
      ++started;
      close(c.fd);
      c.fd = -1;
    }
  };
  auto finish = [&](size_t i, bool ok) {
    Conn& c = conns[i];
    if (ok) {
      ++r.done;
      r.latencyMs.push_back(std::chrono::duration<double, std::milli>(Clock::now() - c.start).count());
      ++c.served;
      if (c.served < perConnection && started < total && send(i)) return;
    } else {
      ++r.failed;
    }
    epoll_ctl(ep, EPOLL_CTL_DEL, c.fd, nullptr);
    close(c.fd);
    c.fd = -1;
    open(i);
  };
  // The whole answer is in: head, and as many body bytes as announced.
  auto complete = [](const std::string& in) {
    const auto head = in.find("\r\n\r\n");
    if (head == std::string::npos) return false;
    const char* cl = strcasestr(in.c_str(), "\r\nContent-Length:");
    if (cl && cl < in.c_str() + head) return in.size() >= head + 4 + std::strtoul(cl + 17, nullptr, 10);
    return in.find("\r\n0\r\n\r\n", head) != std::string::npos;
  };

  const auto t0 = Clock::now();
  for (size_t i = 0; i < conns.size(); ++i) open(i);
  const auto deadline = t0 + budget;
  epoll_event events[256];
  char buf[65536];
  while (r.done + r.failed < total && Clock::now() < deadline) {
    const int n = epoll_wait(ep, events, 256, 1000);
    if (n == 0) {
      // Nothing moved for a second: what is open has stalled.
      for (size_t i = 0; i < conns.size(); ++i)
        if (conns[i].fd >= 0 && Clock::now() - conns[i].start > std::chrono::seconds(10)) finish(i, false);
      continue;
    }
    for (int k = 0; k < n; ++k) {
      const size_t i = events[k].data.u64;
      Conn& c = conns[i];
      if (c.fd < 0) continue;
      const ssize_t got = recv(c.fd, buf, sizeof buf, 0);
      if (got <= 0) {
        finish(i, complete(c.in));
        continue;
      }
      c.in.append(buf, static_cast<size_t>(got));
      if (complete(c.in)) finish(i, c.in.compare(0, 12, "HTTP/1.1 200") == 0 || c.in.compare(0, 12, "HTTP/1.0 200") == 0);
    }
  }
  r.seconds = std::chrono::duration<double>(Clock::now() - t0).count();
  for (auto& c : conns)
    if (c.fd >= 0) close(c.fd);
  close(ep);
  return r;
}

bool Sh(const std::string& cmd) { return std::system(cmd.c_str()) == 0; }

}  // namespace

int main(int argc, char** argv) {
  const std::filesystem::path self = std::filesystem::canonical("/proc/self/exe");
  g_fixture = (self.parent_path().parent_path() / "bench-fixtures" / "upnphost").string();
  if (argc > 1 && std::string(argv[1]) == "child-host") return HostChild(argc > 2 ? std::atol(argv[2]) : 0);
  if (argc > 1 && std::string(argv[1]) == "child-gupnp") return GupnpChild();
  long fetches = 100000, services = 100000;
  bool hostOnly = false;
  for (int i = 1; i < argc; ++i) {
    if (std::string(argv[i]) == "--fetches" && i + 1 < argc) {
      fetches = std::max(1000L, std::atol(argv[++i]));
    } else if (std::string(argv[i]) == "--services" && i + 1 < argc) {
      services = std::atol(argv[++i]);
    } else if (std::string(argv[i]) == "--host-only") {
      hostOnly = true;
    } else {
      std::printf("usage: %s [--fetches N] [--services N] [--host-only]\n", argv[0]);
      return std::string(argv[i]) == "--help" ? 0 : 2;
    }
  }
  if (!std::getenv("QELUPNP_STATE_DIR")) {
    // Never the machine's own store: the children register into a private one.
    char dir[] = "/tmp/qel-http-bench-XXXXXX";
    if (!mkdtemp(dir)) return 1;
    setenv("QELUPNP_STATE_DIR", dir, 1);
  }
  if (!qel::upnphost::EnterPrivateNetworkForTests())
    std::fprintf(stderr, "note: could not enter a private network namespace; running in the current one\n");
  // The LAN: one veth pair inside this namespace, the servers on one end,
  // the control points' addresses on the other.
  std::string setup = "ip link add qhb0 type veth peer name qhb1 && ip addr add 10.77.0.1/24 dev qhb0 && "
                      "ip link set qhb0 up && ip link set qhb1 up";
  for (int i = 0; i < kSources; ++i) setup += " && ip addr add 10.77.0." + std::to_string(11 + i) + "/24 dev qhb1";
  // The client closes first, so its ports wait in TIME_WAIT: with 100,000
  // fresh fetches behind it, finding a free port would cost the client more
  // than the server's answer. This namespace's client may reuse them.
  setup += " && sysctl -qw net.ipv4.tcp_tw_reuse=1 && sysctl -qw net.ipv4.ip_local_port_range='1024 65535'";
  if (!Sh(setup + " 2>/dev/null")) {
    std::fprintf(stderr, "cannot create the veth pair (needs a private network namespace as root)\n");
    return 1;
  }
  rlimit lim{};
  getrlimit(RLIMIT_NOFILE, &lim);
  lim.rlim_cur = std::min<rlim_t>(lim.rlim_max, 65536);
  setrlimit(RLIMIT_NOFILE, &lim);

  const std::string libupnp = (self.parent_path() / "qel_libupnp_device").string();
  const long baseline = std::max(1000L, fetches / 5);
  std::printf("description GETs; host: %ld per kind, baselines: %ld per kind; 16 connections, keep-alive: 100 "
              "requests per connection\n",
              fetches, baseline);

  Server host = Spawn("host", {self.string(), "child-host"});
  if (host.pid <= 0) return 1;
  // Descriptors and memory are read once the server has seen every close.
  auto settled = [] { std::this_thread::sleep_for(std::chrono::seconds(1)); };
  Load(host, 16, 5000, 1);  // warm-up
  settled();
  const long fd0 = OpenFds(host.pid), rss0 = RssKb(host.pid);
  Result hostFresh = Load(host, 16, fetches, 1);
  settled();
  const long fd1 = OpenFds(host.pid), rss1 = RssKb(host.pid);
  Result hostKeep = Load(host, 16, fetches, 100);
  settled();
  const long fd2 = OpenFds(host.pid), rss2 = RssKb(host.pid);
  std::printf("host after %ld fresh fetches (%ld failed): descriptors %ld -> %ld (%+ld), resident %ld -> %ld KiB "
              "(%+ld)   goal: < 10 descriptors, < 1024 KiB\n",
              hostFresh.done, hostFresh.failed, fd0, fd1, fd1 - fd0, rss0, rss1, rss1 - rss0);
  std::printf("host after %ld keep-alive fetches (%ld failed): descriptors %ld -> %ld (%+ld), resident %ld -> %ld "
              "KiB (%+ld)   goal: < 10 descriptors, < 1024 KiB\n",
              hostKeep.done, hostKeep.failed, fd1, fd2, fd2 - fd1, rss1, rss2, rss2 - rss1);

  struct Row {
    const char* name;
    Result fresh, keep;
    std::vector<double> p50, p99;  // of each round at 256 connections
    long failed256 = 0;
    // CPU time the server and this client spent on the 256-connection
    // rounds, and the fetches answered in them: the cost of one fetch,
    // which the machine's other load disturbs far less than the latency.
    double serverCpuS = 0, clientCpuS = 0;
    long done256 = 0;
    double Median(std::vector<double> v) const {
      std::sort(v.begin(), v.end());
      return v.empty() ? -1 : v[v.size() / 2];
    }
  };
  // A baseline that serves slowly is measured for a minute per figure.
  const std::chrono::seconds budget(60);
  auto measure256 = [](Server& s, Row& row, std::chrono::seconds limit) {
    Settle(s.pid);
    const long ticks0 = CpuTicks(s.pid);
    const double self0 = SelfCpuSeconds();
    Result r = Load(s, 256, 256 * 20, 1, limit);
    row.clientCpuS += SelfCpuSeconds() - self0;
    // What the server still had to do for this round (the last closes) is
    // in once it has settled.
    Settle(s.pid);
    row.serverCpuS += static_cast<double>(CpuTicks(s.pid) - ticks0) / static_cast<double>(sysconf(_SC_CLK_TCK));
    row.done256 += r.done;
    row.p50.push_back(r.Percentile(0.5));
    row.p99.push_back(r.Percentile(0.99));
    row.failed256 += r.failed;
  };
  std::vector<Row> rows{{"host", hostFresh, hostKeep}};
  // libupnp runs beside the host and the two take turns at 256 connections,
  // so a busy moment of the machine hits both alike; each round starts once
  // the other server has worked off its last one.
  Server upnp = hostOnly ? Server{} : Spawn("libupnp", {libupnp, g_fixture + "/device.xml", g_fixture, "qhb0"});
  if (upnp.pid > 0) {
    Load(upnp, 16, 1000, 1, std::chrono::seconds(10));
    rows.push_back({"libupnp", Load(upnp, 16, baseline, 1, budget), Load(upnp, 16, baseline, 100, budget)});
  } else {
    std::printf("libupnp: not available\n");
  }
  // Drops in the kernel's listen queues and SYN retransmits (counters of
  // this namespace, since it was made) show whether a slow fetch waited for
  // the server's process or for a dropped SYN.
  auto kernel = [] {
    std::fflush(stdout);
    Sh("nstat -asz TcpExtListenOverflows TcpExtListenDrops TcpExtTCPReqQFullDrop TcpExtTCPSynRetrans TcpRetransSegs "
       "2>/dev/null | awk 'NR > 1 { printf \" %s=%s\", $1, $2 } END { print \"\" }'");
  };
  std::printf("kernel before the 256-connection rounds:");
  kernel();
  for (int round = 0; round < 3; ++round) {
    measure256(host, rows[0], budget);
    std::printf("host round %d at 256 connections: p99 %.2f ms; kernel:", round + 1, rows[0].p99.back());
    kernel();
    if (upnp.pid > 0) measure256(upnp, rows[1], budget);
  }
  Stop(upnp);
  Stop(host);
  Server gupnp = hostOnly ? Server{} : Spawn("gupnp", {self.string(), "child-gupnp"});
  if (gupnp.pid > 0) {
    Load(gupnp, 16, 100, 1, std::chrono::seconds(10));
    Row row{"gupnp", Load(gupnp, 16, baseline, 1, budget), Load(gupnp, 16, baseline, 100, budget)};
    measure256(gupnp, row, std::chrono::seconds(30));
    rows.push_back(std::move(row));
    Stop(gupnp);
  } else {
    std::printf("gupnp: not available\n");
  }

  std::printf("%-8s %14s %14s %12s %12s %8s\n", "server", "fresh GET/s", "keep-alive/s", "256: p50", "p99",
              "failed");
  for (auto& r : rows)
    std::printf("%-8s %14.0f %14.0f %10.2fms %10.2fms %8ld\n", r.name, r.fresh.Rate(), r.keep.Rate(),
                r.Median(r.p50), r.Median(r.p99), r.fresh.failed + r.keep.failed + r.failed256);
  for (auto& r : rows)
    if (r.done256 > 0)
      std::printf("%-8s CPU per fetch at 256 connections: server %.1f us, load generator %.1f us\n", r.name,
                  1e6 * r.serverCpuS / static_cast<double>(r.done256), 1e6 * r.clientCpuS / static_cast<double>(r.done256));
  std::printf("(256 connections: median of %zu rounds of %d fetches; %s)\n", rows[0].p99.size(), 256 * 20,
              "each fetch on a fresh connection, timed from connect to the last byte");
  for (size_t i = 1; i < rows.size(); ++i)
    std::printf("host / %-8s fresh %.2fx, keep-alive %.2fx, p99 at 256 connections %.3fx\n", rows[i].name,
                rows[0].fresh.Rate() / rows[i].fresh.Rate(), rows[0].keep.Rate() / rows[i].keep.Rate(),
                rows[0].Median(rows[0].p99) / rows[i].Median(rows[i].p99));
  std::printf("host p99 at 256 connections: %.2f ms (rounds:", rows[0].Median(rows[0].p99));
  for (double v : rows[0].p99) std::printf(" %.2f", v);
  std::printf(")   goal: <= 20 ms\n");

  if (services > 0) {
    // A workspace of that many controllers: process start to the whole
    // description served.
    const auto t0 = Clock::now();
    Server big = Spawn("host", {self.string(), "child-host", std::to_string(services)});
    if (big.pid <= 0) {
      std::printf("%ld services: the host did not publish the device   goal: served within 60 s\n", services);
    } else {
      Result r = Load(big, 1, 1, 1);
      const double s = std::chrono::duration<double>(Clock::now() - t0).count();
      std::printf("%ld services: start -> description served (%s) %.1f s, resident %ld KiB   goal: within 60 s\n",
                  services, r.done == 1 ? "200" : "failed", s, RssKb(big.pid));
      Stop(big);
    }
  }
  Sh("ip link del qhb0 2>/dev/null");
  return 0;
}
