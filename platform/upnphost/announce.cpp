// SSDP as the host speaks it: each context's devices are announced in bursts
// when they appear, re-announced over their max-age and withdrawn with
// byebye; searches are answered with the LOCATION of the context the search
// came in on. The SSDP library only carries the datagrams in: its own
// announcer paces every datagram and its search answers ignore MX 0 and
// unicast searches, so neither is used.
#include <algorithm>
#include <cstdlib>

#include "host.h"

namespace qel::upnphost {

namespace {

constexpr int kAlivePasses = 3;           // the set goes out this many times
constexpr guint kFirstPassMaxDelayMs = 100;
constexpr guint kPassSpacingMs = 300;
constexpr int kMaxMx = 5;                 // a larger MX is taken as 5
// Answers waiting for their delay, in bytes: a flood of searches costs at
// most this much memory; what would go beyond is dropped (and counted).
constexpr size_t kMaxPendingAnswerBytes = 16u << 20;
constexpr gint64 kDropReportGapUs = 60 * G_USEC_PER_SEC;

std::string AliveDatagram(const SsdpTarget& t, const std::string& groupHost, const std::string& location,
                          unsigned maxAge, const std::string& server) {
  return "NOTIFY * HTTP/1.1\r\nHOST: " + groupHost + "\r\nCACHE-CONTROL: max-age=" + std::to_string(maxAge) +
         "\r\nLOCATION: " + location + "\r\nNT: " + t.nt + "\r\nNTS: ssdp:alive\r\nSERVER: " + server +
         "\r\nUSN: " + t.usn + "\r\n\r\n";
}

std::string SearchReply(const std::string& st, const std::string& usn, const std::string& location, unsigned maxAge,
                        const std::string& server) {
  GDateTime* now = g_date_time_new_now_utc();
  GCharPtr date(g_date_time_format(now, "%a, %d %b %Y %H:%M:%S GMT"));
  g_date_time_unref(now);
  return "HTTP/1.1 200 OK\r\nCACHE-CONTROL: max-age=" + std::to_string(maxAge) + "\r\nDATE: " + date.get() +
         "\r\nEXT: \r\nLOCATION: " + location + "\r\nSERVER: " + server + "\r\nST: " + st + "\r\nUSN: " + usn +
         "\r\n\r\n";
}

// "urn:...:Name:2" -> ("urn:...:Name", 2); false when there is no version.
bool SplitVersion(const std::string& s, std::string* base, long* version) {
  const auto colon = s.rfind(':');
  if (colon == std::string::npos || colon + 1 >= s.size() || s.compare(0, 4, "urn:") != 0) return false;
  char* end = nullptr;
  *version = std::strtol(s.c_str() + colon + 1, &end, 10);
  if (!end || *end != '\0' || *version < 1) return false;
  *base = s.substr(0, colon);
  return true;
}

// Whether a search for `st` finds target `nt`, and the ST to answer with: a
// device or service type answers a search for any earlier version of itself.
bool Matches(const std::string& st, const std::string& nt, std::string* answerSt) {
  if (st == "ssdp:all" || st == nt) {
    *answerSt = nt;
    return true;
  }
  std::string sb, nb;
  long sv = 0, nv = 0;
  if (SplitVersion(st, &sb, &sv) && SplitVersion(nt, &nb, &nv) && sb == nb && nv >= sv) {
    *answerSt = st;
    return true;
  }
  return false;
}

bool IsGroupHost(const char* host) {
  if (!host) return true;  // no HOST: treated as the usual multicast search
  std::string h(host);
  for (char& c : h) c = g_ascii_tolower(c);
  return h.rfind("239.255.255.250", 0) == 0 || h.rfind("[ff0", 0) == 0;
}

}  // namespace

std::string LocationFor(const NetContext& n, unsigned port, const std::string& path) {
  const std::string host = n.ipv6 ? "[" + n.hostAddress + "]" : n.hostAddress;
  return "http://" + host + ":" + std::to_string(port) + path;
}

void Host::OnNetAdded(NetContext& n) {
  for (Device* d : m_live)
    if (Attach(*d, n)) {
      RecordAddresses(*d);
      StartAliveBurst(*d, n);
    }
  ScheduleWhereServed();
}

void Host::OnNetRemoved(NetContext& n) {
  for (Device* d : m_live) Detach(*d, n, true);
  m_answers.DropNet(n.serial);
  ScheduleWhereServed();
}

void Host::StartAliveBurst(Device& d, NetContext& n) {
  std::erase_if(d.bursts, [](const std::unique_ptr<AliveBurst>& b) { return b->passesLeft <= 0; });
  auto b = std::make_unique<AliveBurst>();
  b->device = &d;
  b->net = n.serial;
  b->passesLeft = kAlivePasses;
  std::uniform_int_distribution<guint> delay(0, kFirstPassMaxDelayMs);
  GSource* s = g_timeout_source_new(delay(m_rng));
  g_source_set_callback(s, &Host::OnBurstTimer, b.get(), nullptr);
  g_source_attach(s, m_mainContext);
  b->timer.reset(s);
  d.bursts.push_back(std::move(b));
}

gboolean Host::OnBurstTimer(gpointer p) {
  auto* b = static_cast<AliveBurst*>(p);
  Host& h = Host::Get();
  NetContext* n = h.m_net ? h.m_net->BySerial(b->net) : nullptr;
  if (n && b->device->nets.count(b->net)) h.SendAlivePass(*b->device, *n);
  if (!n || --b->passesLeft <= 0) {
    b->passesLeft = 0;
    return G_SOURCE_REMOVE;
  }
  GSource* s = g_timeout_source_new(kPassSpacingMs);
  g_source_set_callback(s, &Host::OnBurstTimer, b, nullptr);
  g_source_attach(s, h.m_mainContext);
  b->timer.reset(s);  // destroys the source now dispatching: allowed
  return G_SOURCE_REMOVE;
}

void Host::SendAlivePass(Device& d, NetContext& n) {
  const auto it = d.nets.find(n.serial);
  if (it == d.nets.end()) return;
  const std::string group = n.GroupHost();
  std::vector<std::string> datagrams;
  datagrams.reserve(d.record.targets.size());
  for (const auto& t : d.record.targets)
    datagrams.push_back(AliveDatagram(t, group, it->second.location, d.maxAge, m_serverId));
  SendSsdpMulticast(n.Endpoint(), datagrams);
}

void Host::Reannounce(Device& d) {
  if (!m_net) return;
  for (const auto& n : m_net->Contexts())
    if (d.nets.count(n->serial)) SendAlivePass(d, *n);
}

bool Host::Attach(Device& d, NetContext& n) {
  if (d.nets.count(n.serial) || !m_http) return false;
  // Every context announces its own address with the one server's port.
  d.nets[n.serial].location = LocationFor(n, m_http->Port(), d.prefix + "/description.xml");
  return true;
}

void Host::Detach(Device& d, NetContext& n, bool sayByebye) {
  const auto it = d.nets.find(n.serial);
  if (it == d.nets.end()) return;
  for (auto& b : d.bursts)
    if (b->net == n.serial) {
      b->timer.reset();
      b->passesLeft = 0;
    }
  // The byebye set goes out in one pass, after any alive pass for the same
  // targets and never interleaved with one (both run on this thread).
  if (sayByebye) SendSsdpMulticast(n.Endpoint(), ByebyeSet(d.record.targets, n.Endpoint()));
  d.nets.erase(it);
}

void Host::OnSearch(NetContext& n, const char* from, unsigned port, SoupMessageHeaders* headers) {
  const char* st = soup_message_headers_get_one(headers, "ST");
  const char* man = soup_message_headers_get_one(headers, "MAN");
  if (!st || !*st || !man || g_strcmp0(man, "\"ssdp:discover\"") != 0 || port == 0) {
    CountDrop(&SearchDrops::malformed);
    return;
  }
  // Only neighbours on the interface's own network are answered: an answer
  // to a spoofed or routed-in source would go to someone who never asked.
  if (!n.OnLink(from)) {
    CountDrop(&SearchDrops::offLink);
    return;
  }
  const bool unicast = !IsGroupHost(soup_message_headers_get_one(headers, "HOST"));
  guint delayMs = 0;
  if (!unicast) {
    long mx = 1;  // a search without MX is answered as one with MX 1
    if (const char* text = soup_message_headers_get_one(headers, "MX")) {
      char* end = nullptr;
      mx = std::strtol(text, &end, 10);
      while (end && (*end == ' ' || *end == '\t')) ++end;
      if (!end || end == text || *end != '\0' || mx < 0) {
        CountDrop(&SearchDrops::malformed);
        return;
      }
    }
    if (mx > kMaxMx) mx = kMaxMx;
    std::uniform_int_distribution<guint> delay(0, mx == 0 ? kFirstPassMaxDelayMs : static_cast<guint>(mx) * 1000);
    delayMs = delay(m_rng);
  }
  PendingAnswer answer;
  answer.net = n.serial;
  answer.to = from;
  answer.port = port;
  const std::string searched(st);
  size_t bytes = 0;
  for (Device* d : m_live) {
    const auto on = d->nets.find(n.serial);
    if (on == d->nets.end()) continue;
    std::string answerSt;
    for (const auto& t : d->record.targets)
      if (Matches(searched, t.nt, &answerSt)) {
        answer.datagrams.push_back(SearchReply(answerSt, t.usn, on->second.location, d->maxAge, m_serverId));
        bytes += answer.datagrams.back().size();
      }
  }
  if (answer.datagrams.empty()) return;
  if (delayMs == 0) {
    SendAnswer(answer);
    return;
  }
  if (m_answers.Bytes() + bytes > kMaxPendingAnswerBytes) {
    CountDrop(&SearchDrops::overLimit);
    return;
  }
  m_answers.Add(g_get_monotonic_time() + static_cast<gint64>(delayMs) * 1000, std::move(answer));
}

void AnswerQueue::Start(GMainContext* ctx, std::function<void(PendingAnswer&)> send) {
  static GSourceFuncs funcs = {nullptr, nullptr, &AnswerQueue::Dispatch, nullptr, nullptr, nullptr};
  Stop();
  m_send = std::move(send);
  m_source = g_source_new(&funcs, sizeof(GSource));
  g_source_set_callback(m_source, nullptr, this, nullptr);
  g_source_attach(m_source, ctx);
  Arm();
}

void AnswerQueue::Stop() {
  m_due.clear();
  m_bytes = 0;
  if (m_source) {
    g_source_destroy(m_source);
    g_source_unref(m_source);
    m_source = nullptr;
  }
}

void AnswerQueue::Add(gint64 dueUs, PendingAnswer a) {
  for (const auto& d : a.datagrams) m_bytes += d.size();
  m_due.emplace(dueUs, std::move(a));
  Arm();
}

void AnswerQueue::DropNet(unsigned net) {
  for (auto it = m_due.begin(); it != m_due.end();) {
    if (it->second.net != net) {
      ++it;
      continue;
    }
    for (const auto& d : it->second.datagrams) m_bytes -= d.size();
    it = m_due.erase(it);
  }
  Arm();
}

void AnswerQueue::Arm() {
  if (m_source) g_source_set_ready_time(m_source, m_due.empty() ? -1 : m_due.begin()->first);
}

gboolean AnswerQueue::Dispatch(GSource* s, GSourceFunc, gpointer self) {
  auto* q = static_cast<AnswerQueue*>(self);
  const gint64 now = g_get_monotonic_time();
  while (!q->m_due.empty() && q->m_due.begin()->first <= now) {
    PendingAnswer a = std::move(q->m_due.begin()->second);
    q->m_due.erase(q->m_due.begin());
    for (const auto& d : a.datagrams) q->m_bytes -= d.size();
    q->m_send(a);
  }
  (void)s;
  q->Arm();
  return G_SOURCE_CONTINUE;
}

void Host::SendAnswer(PendingAnswer& a) {
  NetContext* n = m_net ? m_net->BySerial(a.net) : nullptr;
  if (n) SendSsdpUnicast(n->Endpoint(), a.to, a.port, a.datagrams);
}

void Host::CountDrop(unsigned SearchDrops::*what) {
  ++(m_drops.*what);
  const gint64 now = g_get_monotonic_time();
  if (m_drops.lastReportUs != 0 && now - m_drops.lastReportUs < kDropReportGapUs) return;
  LogLine("searches not answered since the last report: %u from outside the network of the interface they came in "
          "on, %u malformed, %u over the limit of %zu bytes of waiting answers",
          m_drops.offLink, m_drops.malformed, m_drops.overLimit, kMaxPendingAnswerBytes);
  m_drops = SearchDrops{};
  m_drops.lastReportUs = now;
}

void Host::RecordAddresses(Device& d) {
  if (!m_net) return;
  bool changed = false;
  for (const auto& n : m_net->Contexts()) {
    if (!d.nets.count(n->serial)) continue;
    const std::string e = n->Endpoint();
    if (std::find(d.record.hostAddresses.begin(), d.record.hostAddresses.end(), e) == d.record.hostAddresses.end()) {
      d.record.hostAddresses.push_back(e);
      changed = true;
    }
  }
  if (changed && !WriteRecord(d.recordDir, d.record))
    LogLine("cannot update the registration record in %s", d.recordDir.c_str());
}

void Host::ScheduleWhereServed() {
  if (m_whereTimer) return;
  // Said once the network has settled, not for each context that arrives.
  GSource* s = g_timeout_source_new(1000);
  g_source_set_callback(
      s,
      [](gpointer) -> gboolean {
        Host& h = Host::Get();
        h.SayWhereServed();
        g_source_unref(h.m_whereTimer.release());  // the loop drops its own reference
        return G_SOURCE_REMOVE;
      },
      nullptr, nullptr);
  g_source_attach(s, m_mainContext);
  m_whereTimer.reset(s);
}

void Host::SayWhereServed() {
  if (m_live.empty() || !m_net) return;
  int state = 0;  // 0 nowhere, 1 loopback only, 2 a network
  for (const auto& n : m_net->Contexts()) state = std::max(state, n->loopback ? 1 : 2);
  if (state == m_servedState) return;
  m_servedState = state;
  if (state == 0)
    LogLine("no network interface to serve on yet: the device is announced as soon as one comes up "
            "(upnphost\\Parameters\\Interfaces lists the interfaces to serve; empty: every one)");
  else if (state == 1)
    LogLine("the device is served on loopback only: no control point on another machine can find it "
            "(upnphost\\Parameters\\Interfaces lists the interfaces to serve; empty: every one)");
}

}  // namespace qel::upnphost
