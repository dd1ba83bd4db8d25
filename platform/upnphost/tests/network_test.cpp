// The device on the (loopback) wire: SSDP announcements and searches, HTTP
// serving, SOAP control, GENA eventing, withdrawal, and bad input of each kind.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <map>
#include <thread>

#include "../records.h"
#include "hostfixture.h"
#include "../netwatch.h"
#include "upnphost.h"
#include "winreg.h"

namespace qel::test {
namespace {

using namespace std::chrono_literals;

const char kDeviceType[] = "urn:schemas-upnp-org:device:QelTest:1";

bool AnyMessage(const std::vector<std::string>& msgs, const std::string& nts, const std::string& usn) {
  return std::any_of(msgs.begin(), msgs.end(), [&](const std::string& m) {
    return Header(m, "NTS") == nts && Header(m, "USN") == usn;
  });
}

std::string Soap(const std::string& serviceType, const std::string& action, const std::string& args) {
  return "<?xml version=\"1.0\"?><s:Envelope xmlns:s=\"http://schemas.xmlsoap.org/soap/envelope/\" "
         "s:encodingStyle=\"http://schemas.xmlsoap.org/soap/encoding/\"><s:Body><u:" +
         action + " xmlns:u=\"" + serviceType + "\">" + args + "</u:" + action + "></s:Body></s:Envelope>";
}

class NetworkTest : public HostTest {
 protected:
  void SetUp() override {
    HostTest::SetUp();
    if (IsSkipped()) return;
    ASSERT_EQ(Register(Description({"Ctl1", "日本 語&x", "Pump (2)+[a]*"}), &m_id, 0), S_OK);
    m_location = Location();
    ASSERT_TRUE(SplitUrl(m_location, &m_port, &m_descPath)) << m_location;
    const std::string& d = m_control->description;
    const auto c = d.find("<controlURL>"), e = d.find("<eventSubURL>");
    m_controlPath = d.substr(c + 12, d.find('<', c + 12) - c - 12);
    m_eventPath = d.substr(e + 13, d.find('<', e + 13) - e - 13);
  }
  HttpReply Control(const std::string& body, const std::string& soapAction) {
    std::string req = "POST " + m_controlPath + " HTTP/1.1\r\nHost: 127.0.0.1\r\nConnection: close\r\n"
                      "Content-Type: text/xml; charset=\"utf-8\"\r\n";
    if (!soapAction.empty()) req += "SOAPACTION: \"" + soapAction + "\"\r\n";
    req += "Content-Length: " + std::to_string(body.size()) + "\r\n\r\n" + body;
    return HttpRaw(m_port, req);
  }
  HttpReply Call(const std::string& action, const std::string& args) {
    const std::string type = "urn:schemas-upnp-org:service:Ctl1:1";
    return Control(Soap(type, action, args), type + "#" + action);
  }
  HttpReply Gena(const std::string& method, const std::string& headers) {
    return HttpRaw(m_port, method + " " + m_eventPath + " HTTP/1.1\r\nHost: 127.0.0.1\r\nConnection: close\r\n" +
                               headers + "Content-Length: 0\r\n\r\n");
  }

  BstrHolder m_id;
  std::string m_location, m_descPath, m_controlPath, m_eventPath;
  int m_port = 0;
};

TEST_F(NetworkTest, AnswersSearchesForEveryTarget) {
  const std::string udn = kUdn;
  const std::vector<std::pair<std::string, std::string>> targets = {
      {"upnp:rootdevice", udn + "::upnp:rootdevice"},
      {udn, udn},
      {kDeviceType, udn + "::" + kDeviceType},
      {"urn:schemas-upnp-org:service:Ctl1:1", udn + "::urn:schemas-upnp-org:service:Ctl1:1"},
      // Published as it stands: blanks, symbols and Japanese, in UTF-8.
      {"urn:schemas-upnp-org:service:日本 語&x:1", udn + "::urn:schemas-upnp-org:service:日本 語&x:1"},
      // Pattern characters, searched for literally.
      {"urn:schemas-upnp-org:service:Pump (2)+[a]*:1", udn + "::urn:schemas-upnp-org:service:Pump (2)+[a]*:1"},
  };
  for (const auto& [st, usn] : targets) {
    bool found = false;
    for (int attempt = 0; attempt < 3 && !found; ++attempt)
      for (const auto& r : SsdpSearch(MSearch(st, 1), 1500ms))
        if (Header(r, "ST") == st && Header(r, "USN") == usn) {
          found = true;
          EXPECT_EQ(Header(r, "LOCATION"), m_location);
          EXPECT_EQ(Header(r, "CACHE-CONTROL"), "max-age=1800");  // lifetime 0 means 1800 s
        }
    EXPECT_TRUE(found) << st;
  }
  size_t all = 0;
  for (const auto& r : SsdpSearch(MSearch("ssdp:all", 1), 1500ms))
    if (Header(r, "USN").rfind(udn, 0) == 0) ++all;
  EXPECT_GE(all, targets.size());
}

TEST_F(NetworkTest, KeepsAnsweringAfterMalformedDatagrams) {
  SsdpSend(std::string(9000, 'x'));
  SsdpSend("M-SEARCH * HTTP/1.1\r\nHOST: 239.255.255.250:1900\r\nMAN: \"ssdp:discover\"\r\nMX: -7\r\nST: ssdp:all\r\n\r\n");
  SsdpSend("M-SEARCH * HTTP/1.1\r\nHOST: 239.255.255.250:1900\r\nMAN: \"ssdp:discover\"\r\nMX: banana\r\n\r\n");
  SsdpSend("M-SEARCH * HTTP/1.1\r\nMX: 1\r\nST: \r\n\r\n");
  SsdpSend("NOTIFY * HTTP/1.1\r\n" + std::string(4000, ':') + "\r\n\r\n");
  SsdpSend(std::string("\0\0\0\r\n\r\n", 7));
  // Searching for what nobody offers gets no answer.
  for (const auto& r : SsdpSearch(MSearch("urn:schemas-upnp-org:device:Nothing:1", 1), 1200ms))
    EXPECT_EQ(Header(r, "USN").find(kUdn), std::string::npos) << r;
  EXPECT_FALSE(Location().empty());
}

TEST_F(NetworkTest, ServesTheDescriptionAndTheDocumentsItNamesOnly) {
  HttpReply desc = HttpGet(m_location);
  ASSERT_EQ(desc.status, 200);
  EXPECT_NE(desc.body.find(m_controlPath), std::string::npos);
  EXPECT_NE(desc.body.find("日本 語&amp;x"), std::string::npos);
  const auto s = desc.body.find("<SCPDURL>");
  const std::string scpd = desc.body.substr(s + 9, desc.body.find('<', s + 9) - s - 9);
  HttpReply svc = HttpRaw(m_port, "GET " + scpd + " HTTP/1.1\r\nHost: x\r\nConnection: close\r\n\r\n");
  EXPECT_EQ(svc.status, 200);
  EXPECT_EQ(svc.body, kScpd);

  WriteFile(m_res.path().parent_path() / "outside.txt", "secret");
  std::filesystem::create_symlink(m_res.path().parent_path() / "outside.txt", m_res.path() / "escape.txt");
  std::filesystem::create_directory(m_res.path() / "sub");
  WriteFile(m_res.path() / "sub" / "in.txt", "inside");
  const std::string res = scpd.substr(0, scpd.rfind('/') + 1);
  // Only what the description names is served: a file beside it is not.
  for (const std::string bad : {"sub/in.txt", "../control/0", "..%2f..%2fetc/passwd", "%2e%2e/%2e%2e/etc/passwd", "escape.txt",
                                "sub/../../outside.txt", "sub", "nothing.xml", "%00svc.xml"}) {
    HttpReply r = HttpRaw(m_port, "GET " + res + bad + " HTTP/1.1\r\nHost: x\r\nConnection: close\r\n\r\n");
    EXPECT_EQ(r.status, 404) << bad;
    EXPECT_EQ(r.body.find("secret"), std::string::npos) << bad;
  }
  EXPECT_EQ(HttpRaw(m_port, "PUT " + scpd + " HTTP/1.1\r\nHost: x\r\nContent-Length: 0\r\nConnection: close\r\n\r\n")
                .status,
            405);
  std::filesystem::remove(m_res.path().parent_path() / "outside.txt");
}

TEST_F(NetworkTest, SurvivesOverlongHeadersOversizedBodiesAndSlowClients) {
  // A client that sends half a request and waits does not hold up others.
  const int slow = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_port = htons(static_cast<uint16_t>(m_port));
  ::inet_pton(AF_INET, "127.0.0.1", &a.sin_addr);
  ASSERT_EQ(::connect(slow, reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
  const std::string partial = "GET " + m_descPath + " HTTP/1.1\r\nHost: 127.0.0.1\r\nX-Slow: ";
  ASSERT_EQ(::send(slow, partial.data(), partial.size(), 0), static_cast<ssize_t>(partial.size()));

  HttpReply huge = HttpRaw(m_port, "GET " + m_descPath + " HTTP/1.1\r\nHost: x\r\nX-Big: " + std::string(200000, 'a') +
                                       "\r\nConnection: close\r\n\r\n");
  EXPECT_NE(huge.status, 200);
  HttpReply body = HttpRaw(m_port, "POST " + m_controlPath +
                                       " HTTP/1.1\r\nHost: x\r\nContent-Length: 100000000\r\nConnection: close\r\n\r\n",
                           3000ms);
  EXPECT_EQ(body.status, 413);
  EXPECT_EQ(HttpGet(m_location).status, 200);
  ::close(slow);
}

TEST_F(NetworkTest, RoutesControlRequestsToTheServiceObject) {
  HttpReply r = Call("GetControllerName", "");
  ASSERT_EQ(r.status, 200) << r.body;
  EXPECT_NE(r.body.find("<ControllerName>Ctl1</ControllerName>"), std::string::npos) << r.body;
  EXPECT_NE(r.body.find("GetControllerNameResponse"), std::string::npos);
  EXPECT_EQ(Header(r.head, "EXT"), "");

  r = Call("Echo", "<Text>日本 &amp; &lt;x&gt;</Text>");
  EXPECT_NE(r.body.find("<Result>echo:日本 &amp; &lt;x&gt;</Result>"), std::string::npos) << r.body;
  r = Call("Sum", "<A>40</A><B>2</B>");
  EXPECT_NE(r.body.find("<Total>42</Total>"), std::string::npos) << r.body;

  // The second service answers with its own name.
  const std::string type2 = "urn:schemas-upnp-org:service:日本 語&x:1";
  const std::string path0 = m_controlPath;
  m_controlPath = path0.substr(0, path0.size() - 1) + "1";
  r = Control(Soap("urn:schemas-upnp-org:service:日本 語&amp;x:1", "GetControllerName", ""), "");
  EXPECT_NE(r.body.find("<ControllerName>日本 語&amp;x</ControllerName>"), std::string::npos) << r.body;
  m_controlPath = path0;
}

TEST_F(NetworkTest, AnswersFaultsWithUpnpErrors) {
  auto code = [](const HttpReply& r) {
    const auto p = r.body.find("<errorCode>");
    return p == std::string::npos ? -1 : std::atoi(r.body.c_str() + p + 11);
  };
  HttpReply r = Call("NoSuchAction", "");
  EXPECT_EQ(r.status, 500);
  EXPECT_EQ(code(r), 401);
  EXPECT_NE(r.body.find("Invalid Action"), std::string::npos);
  EXPECT_EQ(code(Call("Nope", "")), 401);  // in the description, unknown to the object
  EXPECT_EQ(code(Call("Boom", "")), 601);
  EXPECT_EQ(code(Call("Echo", "")), 402);
  EXPECT_EQ(code(Call("Sum", "<A>x</A><B>2</B>")), 402);
  EXPECT_EQ(code(Call("Sum", "<A>1</A><B>2</B><C>3</C>")), 402);
  // SOAPACTION that names another action than the body.
  EXPECT_EQ(code(Control(Soap("urn:schemas-upnp-org:service:Ctl1:1", "Echo", "<Text>a</Text>"),
                         "urn:schemas-upnp-org:service:Ctl1:1#Sum")),
            401);
  EXPECT_EQ(Control("this is not xml", "").status, 400);
  EXPECT_EQ(Control("<Envelope><Body><Echo/></Body></Envelope>", "").status, 400);
  EXPECT_EQ(Control("<?xml version=\"1.0\"?><s:Envelope xmlns:s=\"http://schemas.xmlsoap.org/soap/envelope/\"/>", "")
                .status,
            400);
  EXPECT_EQ(HttpRaw(m_port, "GET " + m_controlPath + " HTTP/1.1\r\nHost: x\r\nConnection: close\r\n\r\n").status, 405);
  // Still serving.
  EXPECT_EQ(Call("GetControllerName", "").status, 200);
}

TEST_F(NetworkTest, SubscribersGetTheEventedVariables) {
  CallbackServer cb;
  HttpReply r = Gena("SUBSCRIBE", "CALLBACK: <http://127.0.0.1:" + std::to_string(cb.port()) +
                                      "/ev>\r\nNT: upnp:event\r\nTIMEOUT: Second-1800\r\n");
  ASSERT_EQ(r.status, 200);
  const std::string sid = Header(r.head, "SID");
  EXPECT_EQ(sid.rfind("uuid:", 0), 0u);
  EXPECT_EQ(Header(r.head, "TIMEOUT"), "Second-1800");
  ASSERT_TRUE(cb.WaitForRequests(1));
  const std::string first = cb.Requests()[0];
  EXPECT_EQ(first.rfind("NOTIFY /ev HTTP/1.1", 0), 0u) << first;
  EXPECT_EQ(Header(first, "SID"), sid);
  EXPECT_EQ(Header(first, "SEQ"), "0");
  EXPECT_EQ(Header(first, "NT"), "upnp:event");
  EXPECT_EQ(Header(first, "NTS"), "upnp:propchange");
  EXPECT_NE(first.find("<Status>OK</Status>"), std::string::npos) << first;

  // A change the service object reports reaches the subscriber.
  ASSERT_FALSE(m_control->services.empty());
  ComPtr<IUPnPEventSink> sink = m_control->services[0]->Sink();
  ASSERT_TRUE(sink);
  DISPID status = 5;
  EXPECT_EQ(sink->OnStateChanged(1, &status), S_OK);
  ASSERT_TRUE(cb.WaitForRequests(2));
  EXPECT_EQ(Header(cb.Requests()[1], "SEQ"), "1");

  EXPECT_EQ(Gena("SUBSCRIBE", "SID: " + sid + "\r\nTIMEOUT: Second-600\r\n").status, 200);
  EXPECT_EQ(Gena("SUBSCRIBE", "SID: " + sid + "\r\nNT: upnp:event\r\n").status, 400);
  EXPECT_EQ(Gena("SUBSCRIBE", "SID: uuid:00000000-0000-0000-0000-000000000000\r\n").status, 412);
  EXPECT_EQ(Gena("UNSUBSCRIBE", "SID: " + sid + "\r\n").status, 200);
  EXPECT_EQ(Gena("UNSUBSCRIBE", "SID: " + sid + "\r\n").status, 412);
}

TEST_F(NetworkTest, RefusesCallbacksOutsideTheRequestersNetwork) {
  CallbackServer cb;
  const std::vector<std::string> callbacks = {"<http://10.1.2.3:" + std::to_string(cb.port()) + "/ev>",
                                     "<http://192.0.2.7/x>", "<ftp://127.0.0.1/x>", "<http://example.invalid/x>",
                                     "no brackets", ""};
  for (const std::string& callback : callbacks) {
    EXPECT_EQ(Gena("SUBSCRIBE", "CALLBACK: " + callback + "\r\nNT: upnp:event\r\n").status, 412) << callback;
  }
  EXPECT_EQ(Gena("SUBSCRIBE", "CALLBACK: <http://127.0.0.1:" + std::to_string(cb.port()) + "/>\r\nNT: upnp:other\r\n")
                .status,
            412);
  std::this_thread::sleep_for(200ms);
  EXPECT_TRUE(cb.Requests().empty());
}

TEST_F(NetworkTest, WithdrawalSendsByebyeForEveryTargetAndStopsServing) {
  SsdpListener listener;
  const std::string udn = kUdn;
  ASSERT_EQ(Unregister(m_id.Utf8()), S_OK);
  for (const std::string usn : {udn + "::upnp:rootdevice", udn, udn + "::" + kDeviceType,
                                udn + "::urn:schemas-upnp-org:service:Ctl1:1",
                                udn + "::urn:schemas-upnp-org:service:日本 語&x:1"}) {
    EXPECT_TRUE(listener.WaitFor([&](const auto& m) { return AnyMessage(m, "ssdp:byebye", usn); })) << usn;
  }
  EXPECT_EQ(upnphost::LiveDeviceCount(), 0);
  EXPECT_EQ(RecordCount(), 0u);
  EXPECT_NE(HttpGet(m_location).status, 200);
}

TEST_F(NetworkTest, AnnouncesAliveWithTheLifetimeAsMaxAge) {
  SsdpListener listener;
  BstrHolder id;
  const std::string udn = "uuid:0b9e6f40-1c2d-4e3f-8a9b-aabbccddeeff";
  ASSERT_EQ(Register(Description({"Ctl1"}, udn), &id, 3200), S_OK);
  EXPECT_TRUE(listener.WaitFor([&](const auto& msgs) {
    for (const auto& m : msgs)
      if (Header(m, "NTS") == "ssdp:alive" && Header(m, "USN") == udn + "::upnp:rootdevice")
        return Header(m, "CACHE-CONTROL") == "max-age=3200" && !Header(m, "LOCATION").empty();
    return false;
  }));
  EXPECT_EQ(Unregister(id.Utf8()), S_OK);
}

// The announcement set of a new device: every target alive, each at most
// three times, never a byebye for it before or between; then, on
// withdrawal, byebye for each after its last alive.
TEST_F(NetworkTest, AnnouncesInAtMostThreePassesWithoutByebyeInBetween) {
  SsdpListener listener;
  BstrHolder id;
  const std::string udn = "uuid:0a1b2c3d-0000-4000-8000-00000000abcd";
  ASSERT_EQ(Register(Description({"A", "B"}, udn), &id), S_OK);
  std::this_thread::sleep_for(1500ms);  // longer than the burst and its repeats
  ASSERT_EQ(Unregister(id.Utf8()), S_OK);
  ASSERT_TRUE(listener.WaitFor([&](const auto& m) { return AnyMessage(m, "ssdp:byebye", udn + "::upnp:rootdevice"); }));
  std::map<std::string, int> alive;
  std::map<std::string, bool> gone;
  for (const auto& m : listener.Messages()) {
    const std::string usn = Header(m, "USN");
    if (usn.rfind(udn, 0) != 0) continue;
    if (Header(m, "NTS") == "ssdp:alive") {
      EXPECT_FALSE(gone[usn]) << "alive after byebye: " << usn;
      ++alive[usn];
    } else {
      EXPECT_GT(alive[usn], 0) << "byebye before alive: " << usn;
      gone[usn] = true;
    }
  }
  EXPECT_EQ(alive.size(), 5u);  // root, UDN, device type, two service types
  for (const auto& [usn, n] : alive) EXPECT_LE(n, 3) << usn;
}

TEST_F(NetworkTest, WithdrawsADeviceAnEarlierProcessLeftBehind) {
  upnphost::Record old;
  old.id = "{0F0E0D0C-0B0A-4909-8807-060504030201}";
  old.udn = "uuid:0f0e0d0c-0b0a-4909-8807-060504030201";
  old.pid = 999999;
  old.hostAddresses = {"127.0.0.1"};
  old.targets = {{"upnp:rootdevice", old.udn + "::upnp:rootdevice"},
                 {old.udn, old.udn},
                 {"urn:schemas-upnp-org:service:名前 x:1", old.udn + "::urn:schemas-upnp-org:service:名前 x:1"}};
  ASSERT_TRUE(upnphost::WriteRecord(m_state.path() / "upnphost", old));
  SsdpListener listener;
  EXPECT_EQ(Unregister(old.id), S_OK);
  for (const auto& t : old.targets)
    EXPECT_TRUE(listener.WaitFor([&](const auto& m) { return AnyMessage(m, "ssdp:byebye", t.usn); })) << t.usn;
  EXPECT_FALSE(std::filesystem::exists(upnphost::RecordPath(m_state.path() / "upnphost", old.id)));
  EXPECT_EQ(Unregister(old.id), upnphost::kErrUnknownDevice);
}

TEST_F(NetworkTest, WithdrawAllSaysByebyeForEachDevice) {
  SsdpListener listener;
  upnphost::WithdrawAllDevices();
  EXPECT_TRUE(listener.WaitFor([&](const auto& m) { return AnyMessage(m, "ssdp:byebye", kUdn); }));
  EXPECT_EQ(upnphost::LiveDeviceCount(), 0);
}

class SettingsTest : public HostTest {
 protected:
  void SetValue(const char16_t* name, DWORD type, const void* data, DWORD size) {
    SetHostValue(name, type, data, size);
  }
};

// Interfaces that are absent, malformed or overlong never fail the
// registration: the device waits for them (and is served on what is there).
TEST_F(SettingsTest, AbsentOrMalformedInterfacesDoNotFailTheRegistration) {
  for (const char16_t* value : {u"nosuch0", u"192.0.2.99", u"fe80::zz%lo", u"an-interface-name-far-too-long",
                                u"999.1.2.3", u"nosuch0, 127.0.0.1"}) {
    SetValue(u"Interfaces", REG_SZ, value, static_cast<DWORD>((std::char_traits<char16_t>::length(value) + 1) * 2));
    BstrHolder id;
    ASSERT_EQ(Register(Description(), &id), S_OK) << ToUtf8(value);
    EXPECT_EQ(RecordCount(), 1u);
    if (std::u16string_view(value) == u"nosuch0, 127.0.0.1") {
      EXPECT_NE(Location().find("http://127.0.0.1:"), std::string::npos);
    } else {
      // MX 0 is answered within 100 ms when anything answers at all.
      EXPECT_TRUE(SsdpSearch(MSearch(kUdn, 0), std::chrono::milliseconds(400)).empty()) << ToUtf8(value);
    }
    EXPECT_EQ(Unregister(id.Utf8()), S_OK);
  }
  // A list kept as REG_MULTI_SZ names its interfaces as a blank-separated one does.
  static const char16_t kList[] = u"nosuch0\0lo\0";
  SetValue(u"Interfaces", REG_MULTI_SZ, kList, sizeof kList);
  BstrHolder id;
  ASSERT_EQ(Register(Description(), &id), S_OK);
  EXPECT_NE(Location().find("http://127.0.0.1:"), std::string::npos);
  EXPECT_EQ(Unregister(id.Utf8()), S_OK);
}

TEST(InterfaceRulesTest, ParsesNamesAndAddressesAndDecidesWhatIsServed) {
  std::vector<std::string> problems;
  const auto rules = upnphost::ParseInterfaceRules(
      {"eth0", "FE80::0001%eth1", "192.168.1.10", "fe80::zz%eth0", "300.1.1.1", "abcdefghijklmnop", "fe80::2%"},
      &problems);
  ASSERT_EQ(rules.size(), 3u);
  EXPECT_EQ(rules[1].address, "fe80::1");
  EXPECT_EQ(rules[1].scope, "eth1");
  EXPECT_EQ(problems.size(), 4u);
  struct Case {
    const char* interface;
    const char* address;
    bool loopback, multicast, configured, served;
  } cases[] = {
      {"eth0", "10.0.0.1", false, true, true, true},      // by name
      {"eth1", "fe80::1", false, true, true, true},       // by address and scope
      {"eth2", "fe80::1", false, true, true, false},      // the address, on another interface
      {"eth3", "192.168.1.10", false, true, true, true},  // by address on any interface
      {"lo", "127.0.0.1", true, true, true, false},       // not named
      {"lo", "127.0.0.1", true, true, false, false},      // default: no loopback
      {"eth9", "10.0.0.9", false, false, false, false},   // default: no multicast, no service
      {"eth9", "fe80::9", false, true, false, true},      // default: every other interface
  };
  for (const auto& c : cases)
    EXPECT_EQ(upnphost::ContextAllowed(c.configured ? rules : std::vector<upnphost::InterfaceRule>{}, c.configured,
                                       c.interface, c.address, c.loopback, c.multicast),
              c.served)
        << c.interface << " " << c.address;
}

TEST_F(SettingsTest, HonoursTheHttpPortAndFailsWhenItIsTaken) {
  const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  ::inet_pton(AF_INET, "127.0.0.1", &a.sin_addr);
  ASSERT_EQ(::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
  ASSERT_EQ(::listen(fd, 1), 0);
  socklen_t len = sizeof a;
  ::getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len);
  const DWORD taken = ntohs(a.sin_port);
  SetValue(u"HttpPort", REG_DWORD, &taken, sizeof taken);
  BstrHolder id;
  EXPECT_EQ(Register(Description(), &id), upnphost::kErrPortInUse);
  ::close(fd);
  // Now free: the device is served on exactly that port.
  ASSERT_EQ(Register(Description(), &id), S_OK);
  EXPECT_NE(Location().find("http://127.0.0.1:" + std::to_string(taken) + "/"), std::string::npos);
  EXPECT_EQ(Unregister(id.Utf8()), S_OK);
}

}  // namespace
}  // namespace qel::test
