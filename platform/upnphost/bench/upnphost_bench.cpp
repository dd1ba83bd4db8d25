// Device host figures against a minimal publisher written directly on GUPnP
// with the same description:
//   registration to the first ssdp:alive, M-SEARCH answer time,
//   withdrawal to the last ssdp:byebye, process end to the last byebye,
//   resident memory of a process hosting one device.
// Run inside a private network namespace (bench/run does; so does the
// program itself when it may).
#include <arpa/inet.h>
#include <libgupnp/gupnp.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <mutex>
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
const char kUdn[] = "uuid:3f2a9c1e-8b7d-4e6f-a5c4-0d1e2f3a4b5c";
std::string g_fixture, g_description, g_resourceDir;

double Ms(Clock::duration d) { return std::chrono::duration<double, std::milli>(d).count(); }
double Median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  return v.empty() ? 0 : v[v.size() / 2];
}

std::string ReadAll(const std::string& p) {
  std::ifstream f(p, std::ios::binary);
  std::stringstream s;
  s << f.rdbuf();
  return s.str();
}

std::string HeaderOf(const std::string& m, const char* name) {
  const std::string key = std::string("\r\n") + name + ":";
  auto p = m.find(key);
  if (p == std::string::npos) return {};
  p += key.size();
  while (p < m.size() && m[p] == ' ') ++p;
  return m.substr(p, m.find("\r\n", p) - p);
}

// SSDP datagrams on loopback with their arrival times.
class Listener {
 public:
  Listener() {
    m_fd = socket(AF_INET, SOCK_DGRAM, 0);
    const int one = 1;
    setsockopt(m_fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    setsockopt(m_fd, SOL_SOCKET, SO_REUSEPORT, &one, sizeof one);
    sockaddr_in any{};
    any.sin_family = AF_INET;
    any.sin_port = htons(1900);
    bind(m_fd, reinterpret_cast<sockaddr*>(&any), sizeof any);
    ip_mreq mreq{};
    inet_pton(AF_INET, "239.255.255.250", &mreq.imr_multiaddr);
    inet_pton(AF_INET, "127.0.0.1", &mreq.imr_interface);
    setsockopt(m_fd, IPPROTO_IP, IP_ADD_MEMBERSHIP, &mreq, sizeof mreq);
    m_thread = std::thread([this] {
      char buf[65536];
      while (!m_stop) {
        pollfd p{m_fd, POLLIN, 0};
        if (poll(&p, 1, 50) <= 0) continue;
        const ssize_t n = recv(m_fd, buf, sizeof buf, 0);
        if (n <= 0) continue;
        std::lock_guard<std::mutex> g(m_lock);
        m_seen.push_back({Clock::now(), std::string(buf, static_cast<size_t>(n))});
      }
    });
  }
  ~Listener() {
    m_stop = true;
    m_thread.join();
    close(m_fd);
  }
  void Clear() {
    std::lock_guard<std::mutex> g(m_lock);
    m_seen.clear();
  }
  // Arrival of the first (or `count`-th distinct USN of) NOTIFY with `nts`
  // for the device, waiting at most `timeout`; Clock::time_point{} if none.
  Clock::time_point WaitNotify(const std::string& nts, size_t count, std::chrono::milliseconds timeout) {
    const auto end = Clock::now() + timeout;
    while (Clock::now() < end) {
      {
        std::lock_guard<std::mutex> g(m_lock);
        std::vector<std::string> usns;
        for (const auto& [t, m] : m_seen) {
          if (HeaderOf(m, "NTS") != nts || HeaderOf(m, "USN").rfind(kUdn, 0) != 0) continue;
          const std::string usn = HeaderOf(m, "USN");
          if (std::find(usns.begin(), usns.end(), usn) != usns.end()) continue;
          usns.push_back(usn);
          if (usns.size() >= count) return t;
        }
      }
      std::this_thread::sleep_for(std::chrono::microseconds(200));
    }
    return {};
  }

 private:
  int m_fd = -1;
  std::atomic<bool> m_stop{false};
  std::thread m_thread;
  std::mutex m_lock;
  std::vector<std::pair<Clock::time_point, std::string>> m_seen;
};

// Time to the first answer to an M-SEARCH for the device's UDN.
double SearchMs() {
  const int fd = socket(AF_INET, SOCK_DGRAM, 0);
  in_addr lo{};
  inet_pton(AF_INET, "127.0.0.1", &lo);
  setsockopt(fd, IPPROTO_IP, IP_MULTICAST_IF, &lo, sizeof lo);
  sockaddr_in to{};
  to.sin_family = AF_INET;
  to.sin_port = htons(1900);
  inet_pton(AF_INET, "239.255.255.250", &to.sin_addr);
  const std::string req = std::string("M-SEARCH * HTTP/1.1\r\nHOST: 239.255.255.250:1900\r\nMAN: \"ssdp:discover\"\r\n"
                                      "MX: 1\r\nST: ") + kUdn + "\r\n\r\n";
  const auto t0 = Clock::now();
  sendto(fd, req.data(), req.size(), 0, reinterpret_cast<sockaddr*>(&to), sizeof to);
  double ms = -1;
  char buf[65536];
  while (Clock::now() - t0 < std::chrono::seconds(3)) {
    pollfd p{fd, POLLIN, 0};
    if (poll(&p, 1, 100) <= 0) continue;
    const ssize_t n = recv(fd, buf, sizeof buf, 0);
    if (n > 0 && std::string(buf, static_cast<size_t>(n)).find(kUdn) != std::string::npos) {
      ms = Ms(Clock::now() - t0);
      break;
    }
  }
  close(fd);
  return ms;
}

qel::ComPtr<IUPnPRegistrar> Registrar() {
  qel::ComPtr<IClassFactory> f;
  qel::ComPtr<IUPnPRegistrar> r;
  if (SUCCEEDED(qel_upnphost_DllGetClassObject(CLSID_UPnPRegistrar, IID_IClassFactory, f.PutVoid())))
    f->CreateInstance(nullptr, IID_IUPnPRegistrar, r.PutVoid());
  return r;
}

std::string HostRegister(IUPnPRegistrar* reg) {
  auto control = qel::MakeComObject<Control>();
  BSTR desc = SysAllocString(qel::FromUtf8(g_description).c_str());
  BSTR dir = SysAllocString(qel::FromUtf8(g_resourceDir).c_str());
  BSTR id = nullptr;
  const HRESULT hr = reg->RegisterRunningDevice(desc, control->GetUnknown(), nullptr, dir, 1800, &id);
  SysFreeString(desc);
  SysFreeString(dir);
  std::string s = SUCCEEDED(hr) ? qel::ToUtf8(qel::WView(id)) : "";
  SysFreeString(id);
  return s;
}

void HostUnregister(IUPnPRegistrar* reg, const std::string& id) {
  BSTR b = SysAllocString(qel::FromUtf8(id).c_str());
  (void)reg->UnregisterDevice(b, TRUE);
  SysFreeString(b);
}

// The minimal publisher: GUPnP alone, on a main loop thread of its own.
class Minimal {
 public:
  Minimal() {
    m_ctx = g_main_context_new();
    m_loop = g_main_loop_new(m_ctx, FALSE);
    m_thread = std::thread([this] {
      g_main_context_push_thread_default(m_ctx);
      g_main_loop_run(m_loop);
      g_main_context_pop_thread_default(m_ctx);
    });
  }
  ~Minimal() {
    Run([this] { g_main_loop_quit(m_loop); });
    m_thread.join();
    g_main_loop_unref(m_loop);
    g_main_context_unref(m_ctx);
  }
  void Publish() {
    Run([this] {
      m_context = gupnp_context_new_full("lo", nullptr, 0, GSSDP_UDA_VERSION_1_0, nullptr);
      xmlDoc* doc = xmlReadMemory(g_description.data(), static_cast<int>(g_description.size()), nullptr, "UTF-8", 0);
      GUPnPXMLDoc* xd = gupnp_xml_doc_new(doc);
      m_root = gupnp_root_device_new_full(m_context, gupnp_resource_factory_get_default(), xd, "device.xml",
                                          g_fixture.c_str(), nullptr);
      g_object_unref(xd);
      gssdp_resource_group_set_max_age(gupnp_root_device_get_ssdp_resource_group(m_root), 1800);
      gupnp_root_device_set_available(m_root, TRUE);
    });
  }
  void Withdraw() {
    Run([this] {
      g_object_unref(m_root);
      g_object_unref(m_context);
    });
  }

 private:
  template <class F>
  void Run(F f) {
    struct Call {
      F* f;
      std::atomic<bool> done{false};
    } c{&f};
    g_main_context_invoke(
        m_ctx,
        [](gpointer p) -> gboolean {
          auto* c = static_cast<Call*>(p);
          (*c->f)();
          c->done = true;
          return G_SOURCE_REMOVE;
        },
        &c);
    while (!c.done) std::this_thread::sleep_for(std::chrono::microseconds(50));
  }
  GMainContext* m_ctx;
  GMainLoop* m_loop;
  std::thread m_thread;
  GUPnPContext* m_context = nullptr;
  GUPnPRootDevice* m_root = nullptr;
};

long RssKb(pid_t pid) {
  std::ifstream f("/proc/" + std::to_string(pid) + "/status");
  std::string line;
  while (std::getline(f, line))
    if (line.rfind("VmRSS:", 0) == 0) return std::atol(line.c_str() + 6);
  return -1;
}

// A child that publishes (host or minimal), says "ready" and ends when its
// stdin closes; the host child ends through the normal exit path.
struct Child {
  pid_t pid = -1;
  int in = -1, out = -1;
};
Child Spawn(const char* self, const char* mode) {
  int toChild[2], fromChild[2];
  if (pipe(toChild) != 0 || pipe(fromChild) != 0) return {};
  Child c;
  c.pid = fork();
  if (c.pid == 0) {
    dup2(toChild[0], 0);
    dup2(fromChild[1], 1);
    close(toChild[1]);
    close(fromChild[0]);
    execl(self, self, mode, static_cast<char*>(nullptr));
    _exit(127);
  }
  close(toChild[0]);
  close(fromChild[1]);
  c.in = toChild[1];
  c.out = fromChild[0];
  char ch;
  std::string got;
  while (got.find("ready") == std::string::npos && read(c.out, &ch, 1) == 1) got += ch;
  return c;
}

int ChildMain(const std::string& mode) {
  std::string id;
  qel::ComPtr<IUPnPRegistrar> reg;
  std::unique_ptr<Minimal> minimal;
  if (mode == "child-host") {
    reg = Registrar();
    id = HostRegister(reg.Get());
    if (id.empty()) return 1;
  } else {
    minimal = std::make_unique<Minimal>();
    minimal->Publish();
  }
  std::printf("ready\n");
  std::fflush(stdout);
  char ch;
  while (read(0, &ch, 1) > 0) {
  }
  if (minimal) minimal->Withdraw();
  return 0;  // the host withdraws what is left at exit
}

}  // namespace

int main(int argc, char** argv) {
  const std::filesystem::path self = std::filesystem::canonical("/proc/self/exe");
  g_fixture = (self.parent_path().parent_path() / "bench-fixtures" / "upnphost").string();
  g_description = ReadAll(g_fixture + "/device.xml");
  g_resourceDir = g_fixture + "/";
  if (g_description.empty()) {
    std::fprintf(stderr, "fixture missing: %s\n", g_fixture.c_str());
    return 1;
  }
  if (argc > 1) return ChildMain(argv[1]);
  if (!qel::upnphost::EnterPrivateNetworkForTests())
    std::fprintf(stderr, "note: could not enter a private network namespace; running in the current one\n");

  {
    // The benchmark's network is the namespace's loopback: name it.
    HKEY key = nullptr;
    static const char16_t kLo[] = u"lo";
    if (RegCreateKeyExW(HKEY_LOCAL_MACHINE, u"SYSTEM\\CurrentControlSet\\Services\\upnphost\\Parameters", 0,
                        nullptr, 0, KEY_ALL_ACCESS, nullptr, &key, nullptr) == ERROR_SUCCESS) {
      RegSetValueExW(key, u"Interfaces", 0, REG_SZ, reinterpret_cast<const BYTE*>(kLo), sizeof kLo);
      RegCloseKey(key);
    }
  }
  const int rounds = 8;
  const size_t targets = 5;  // root, UDN, device type, two service types
  std::vector<double> hostAlive, minAlive, hostSearch, minSearch, hostBye, minBye;
  Listener listener;
  auto reg = Registrar();
  for (int i = 0; i < rounds; ++i) {
    listener.Clear();
    auto t0 = Clock::now();
    const std::string id = HostRegister(reg.Get());
    auto t1 = listener.WaitNotify("ssdp:alive", 1, std::chrono::seconds(3));
    if (id.empty() || t1 == Clock::time_point{}) return std::fprintf(stderr, "host registration failed\n"), 1;
    hostAlive.push_back(Ms(t1 - t0));
    std::this_thread::sleep_for(std::chrono::milliseconds(2500));  // after the announcement burst
    for (int k = 0; k < 10; ++k) hostSearch.push_back(SearchMs());
    listener.Clear();
    t0 = Clock::now();
    HostUnregister(reg.Get(), id);
    t1 = listener.WaitNotify("ssdp:byebye", targets, std::chrono::seconds(3));
    hostBye.push_back(t1 == Clock::time_point{} ? -1 : Ms(t1 - t0));

    Minimal m;
    listener.Clear();
    t0 = Clock::now();
    m.Publish();
    t1 = listener.WaitNotify("ssdp:alive", 1, std::chrono::seconds(3));
    minAlive.push_back(Ms(t1 - t0));
    std::this_thread::sleep_for(std::chrono::milliseconds(2500));  // after the announcement burst
    for (int k = 0; k < 10; ++k) minSearch.push_back(SearchMs());
    listener.Clear();
    t0 = Clock::now();
    m.Withdraw();
    t1 = listener.WaitNotify("ssdp:byebye", targets, std::chrono::seconds(3));
    minBye.push_back(t1 == Clock::time_point{} ? -1 : Ms(t1 - t0));
  }
  std::printf("median of %d rounds                      host     minimal GUPnP   ratio\n", rounds);
  std::printf("registration -> first ssdp:alive (ms) %8.2f %12.2f %9.2fx\n", Median(hostAlive), Median(minAlive),
              Median(hostAlive) / Median(minAlive));
  std::printf("M-SEARCH (MX 1) -> first answer (ms)  %8.2f %12.2f %9.2fx\n", Median(hostSearch), Median(minSearch),
              Median(hostSearch) / Median(minSearch));
  std::printf("withdrawal -> last ssdp:byebye (ms)   %8.2f %12.2f\n", Median(hostBye), Median(minBye));

  // Process end with a device registered, and resident memory.
  std::vector<double> ends;
  long hostRss = 0, minRss = 0;
  for (int i = 0; i < 5; ++i) {
    Child c = Spawn(self.c_str(), "child-host");
    hostRss = RssKb(c.pid);
    listener.Clear();
    const auto t0 = Clock::now();
    close(c.in);
    int status = 0;
    waitpid(c.pid, &status, 0);
    const auto exited = Clock::now();
    const auto t1 = listener.WaitNotify("ssdp:byebye", targets, std::chrono::seconds(3));
    ends.push_back(t1 == Clock::time_point{} ? -1 : Ms(std::max(t1, exited) - t0));
    close(c.out);
  }
  {
    Child c = Spawn(self.c_str(), "child-minimal");
    minRss = RssKb(c.pid);
    close(c.in);
    waitpid(c.pid, nullptr, 0);
    close(c.out);
  }
  std::printf("process end -> exit and last byebye (ms) %8.2f\n", Median(ends));
  std::printf("resident memory, one device (KiB)     %8ld %12ld %9.2fx\n", hostRss, minRss,
              minRss > 0 ? static_cast<double>(hostRss) / static_cast<double>(minRss) : 0.0);
  return 0;
}
