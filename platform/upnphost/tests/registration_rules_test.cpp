// What RegisterRunningDevice refuses, with which code, and that a refused
// device leaves nothing behind.
#include <unistd.h>

#include "hostfixture.h"
#include "upnphost.h"

namespace qel::test {
namespace {

std::string Replace(std::string s, const std::string& from, const std::string& to) {
  const auto p = s.find(from);
  EXPECT_NE(p, std::string::npos) << from;
  if (p != std::string::npos) s.replace(p, from.size(), to);
  return s;
}

struct Row {
  const char* name;
  std::string xml;
  HRESULT expected;
};

class RulesTest : public HostTest {};

TEST_F(RulesTest, RefusesDescriptionsThatLackWhatAControlPointNeeds) {
  const std::string good = Description();
  const std::string svc = "<service><serviceType>urn:schemas-upnp-org:service:Ctl1:1</serviceType>";
  const std::vector<Row> rows = {
      {"not XML", "<root><device>", UPNP_E_INVALID_DOCUMENT},
      {"other root", Replace(Replace(good, "<root xmlns", "<rooty xmlns"), "</root>", "</rooty>"),
       UPNP_E_ROOT_ELEMENT_EXPECTED},
      {"root in another namespace", Replace(good, "device-1-0", "device-9-9"), UPNP_E_ROOT_ELEMENT_EXPECTED},
      {"no specVersion", Replace(good, "<specVersion><major>1</major><minor>0</minor></specVersion>", ""),
       UPNP_E_INVALID_DOCUMENT},
      {"no device", "<root xmlns=\"urn:schemas-upnp-org:device-1-0\"><specVersion><major>1</major></specVersion></root>",
       UPNP_E_DEVICE_ELEMENT_EXPECTED},
      {"no deviceType", Replace(good, "<deviceType>urn:schemas-upnp-org:device:QelTest:1</deviceType>", ""),
       UPNP_E_DEVICE_NODE_INCOMPLETE},
      {"empty friendlyName", Replace(good, "<friendlyName>Test device</friendlyName>", "<friendlyName/>"),
       UPNP_E_DEVICE_NODE_INCOMPLETE},
      {"no manufacturer", Replace(good, "<manufacturer>Maker</manufacturer>", ""), UPNP_E_DEVICE_NODE_INCOMPLETE},
      {"no modelName", Replace(good, "<modelName>Model</modelName>", ""), UPNP_E_DEVICE_NODE_INCOMPLETE},
      {"no UDN", Replace(good, std::string("<UDN>") + kUdn + "</UDN>", ""), UPNP_E_DEVICE_NODE_INCOMPLETE},
      {"a non-service in serviceList", Replace(good, "<serviceList>", "<serviceList><bogus/>"),
       UPNP_E_SERVICE_ELEMENT_EXPECTED},
      {"no serviceType", Replace(good, "<serviceType>urn:schemas-upnp-org:service:Ctl1:1</serviceType>", ""),
       UPNP_E_SERVICE_NODE_INCOMPLETE},
      {"no serviceId", Replace(good, "<serviceId>urn:upnp-org:serviceId:Ctl1</serviceId>", ""),
       UPNP_E_SERVICE_NODE_INCOMPLETE},
      {"empty SCPDURL", Replace(good, "<SCPDURL>svc.xml</SCPDURL>", "<SCPDURL></SCPDURL>"),
       UPNP_E_SERVICE_NODE_INCOMPLETE},
      {"a non-icon in iconList", Replace(good, "<serviceList>", "<iconList><img/></iconList><serviceList>"),
       UPNP_E_ICON_ELEMENT_EXPECTED},
      {"an icon without url",
       Replace(good, "<serviceList>",
               "<iconList><icon><mimetype>image/png</mimetype><width>16</width><height>16</height><depth>8</depth>"
               "</icon></iconList><serviceList>"),
       UPNP_E_ICON_NODE_INCOMPLETE},
      {"service description absent", Replace(good, "svc.xml", "missing.xml"), HRESULT_FROM_WIN32(ERROR_FILE_NOT_FOUND)},
      {"service description outside by ..", Replace(good, "svc.xml", "../secret.xml"), E_ACCESSDENIED},
      {"service description through a symlink out", Replace(good, "svc.xml", "link.xml"), E_ACCESSDENIED},
      {"service description not XML", Replace(good, "svc.xml", "broken.xml"), UPNP_E_INVALID_DOCUMENT},
      {"service description not an scpd", Replace(good, "svc.xml", "notscpd.xml"), UPNP_E_INVALID_DOCUMENT},
      {"SCPDURL on another host", Replace(good, "svc.xml", "http://10.0.0.1/svc.xml"), E_INVALIDARG},
  };
  WriteFile(m_res.path().parent_path() / "secret.xml", kScpd);
  std::filesystem::create_symlink(m_res.path().parent_path() / "secret.xml", m_res.path() / "link.xml");
  WriteFile(m_res.path() / "broken.xml", "<scpd><actionList>");
  WriteFile(m_res.path() / "notscpd.xml", "<html/>");
  for (const auto& row : rows) {
    BstrHolder id;
    EXPECT_EQ(Register(row.xml, &id), row.expected) << row.name;
    EXPECT_EQ(id.b, nullptr) << row.name;
  }
  std::filesystem::remove(m_res.path().parent_path() / "secret.xml");
  EXPECT_EQ(m_control->initializeCalls, 0);
  EXPECT_EQ(upnphost::LiveDeviceCount(), 0);
  EXPECT_EQ(RecordCount(), 0u);
}

TEST_F(RulesTest, ChecksArgumentsAndLifetime) {
  BstrHolder id;
  EXPECT_EQ(Register(Description(), &id, 899), E_INVALIDARG);
  EXPECT_EQ(Register(Description(), &id, -1), E_INVALIDARG);
  EXPECT_EQ(Register("", &id), E_INVALIDARG);
  // An object that is no device control.
  auto notControl = MakeComObject<FakeService>("x");
  EXPECT_EQ(Register(Description(), &id, 1800, notControl->GetUnknown()), E_NOINTERFACE);
  BSTR desc = Bstr(Description());
  EXPECT_EQ(m_registrar->RegisterRunningDevice(desc, nullptr, nullptr, nullptr, 1800, &id.b), E_INVALIDARG);
  EXPECT_EQ(m_registrar->RegisterRunningDevice(desc, m_control->GetUnknown(), nullptr, nullptr, 1800, nullptr),
            E_POINTER);
  SysFreeString(desc);
  EXPECT_EQ(upnphost::LiveDeviceCount(), 0);
  // 900 seconds is the shortest lifetime the host accepts.
  ASSERT_EQ(Register(Description(), &id, 900), S_OK);
  EXPECT_EQ(Unregister(id.Utf8()), S_OK);
}

TEST_F(RulesTest, MissingResourceDirectoryIsPathNotFound) {
  BSTR desc = Bstr(Description()), dir = Bstr((m_res.path() / "gone/").string());
  BstrHolder id;
  EXPECT_EQ(m_registrar->RegisterRunningDevice(desc, m_control->GetUnknown(), nullptr, dir, 1800, &id.b),
            HRESULT_FROM_WIN32(ERROR_PATH_NOT_FOUND));
  SysFreeString(dir);
  // An empty resource path (the program's null module directory) cannot hold the service description either.
  EXPECT_EQ(m_registrar->RegisterRunningDevice(desc, m_control->GetUnknown(), nullptr, nullptr, 1800, &id.b),
            HRESULT_FROM_WIN32(ERROR_PATH_NOT_FOUND));
  SysFreeString(desc);
}

TEST_F(RulesTest, FailuresOfTheDeviceControlFailTheRegistration) {
  BstrHolder id;
  m_control->initializeResult = E_ACCESSDENIED;
  EXPECT_EQ(Register(Description(), &id), E_ACCESSDENIED);
  m_control->initializeResult = S_OK;
  m_control->serviceObjectResult = E_OUTOFMEMORY;
  EXPECT_EQ(Register(Description(), &id), E_OUTOFMEMORY);
  EXPECT_EQ(upnphost::LiveDeviceCount(), 0);
  EXPECT_EQ(RecordCount(), 0u);
}

TEST_F(RulesTest, PublishesTheCompletedDescriptionToTheDeviceControl) {
  BstrHolder id;
  ASSERT_EQ(Register(Description({"Ctl1", "Ctl2"}), &id, 1800, nullptr, "init-text"), S_OK);
  EXPECT_EQ(m_control->initializeCalls, 1);
  EXPECT_EQ(m_control->deviceId, id.Utf8());
  EXPECT_EQ(m_control->initString, "init-text");
  const std::string& d = m_control->description;
  const std::string key = [&] {
    std::string k = id.Utf8().substr(1, 36);
    for (char& c : k) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return k;
  }();
  EXPECT_NE(d.find("<controlURL>/upnphost/" + key + "/control/0</controlURL>"), std::string::npos) << d;
  EXPECT_NE(d.find("<eventSubURL>/upnphost/" + key + "/event/1</eventSubURL>"), std::string::npos) << d;
  EXPECT_NE(d.find("<SCPDURL>/upnphost/" + key + "/res/svc.xml</SCPDURL>"), std::string::npos) << d;
  EXPECT_NE(d.find(std::string("<UDN>") + kUdn + "</UDN>"), std::string::npos);
  ASSERT_EQ(m_control->requestedServices.size(), 2u);
  EXPECT_EQ(m_control->requestedServices[1], std::string(kUdn) + "|urn:upnp-org:serviceId:Ctl2");

  BstrHolder udn;
  BSTR b = Bstr(id.Utf8()), t = Bstr(kUdn);
  EXPECT_EQ(m_registrar->GetUniqueDeviceName(b, t, &udn.b), S_OK);
  EXPECT_EQ(udn.Utf8(), kUdn);
  SysFreeString(b);
  SysFreeString(t);
  EXPECT_EQ(RecordCount(), 1u);
  EXPECT_EQ(Unregister(id.Utf8()), S_OK);
  EXPECT_EQ(RecordCount(), 0u);
}

TEST_F(RulesTest, MakesAUdnWhenTheDescriptionHasNoValidOne) {
  for (const std::string bad : {"", "uuid:not-a-uuid", "urn:foo"}) {
    BstrHolder id, udn;
    ASSERT_EQ(Register(Description({"Ctl1"}, bad), &id), S_OK) << bad;
    BSTR b = Bstr(id.Utf8()), t = Bstr(bad);
    ASSERT_EQ(m_registrar->GetUniqueDeviceName(b, t, &udn.b), S_OK);
    SysFreeString(b);
    SysFreeString(t);
    EXPECT_EQ(udn.Utf8().rfind("uuid:", 0), 0u);
    EXPECT_EQ(udn.Utf8().size(), 41u);
    EXPECT_NE(m_control->description.find("<UDN>" + udn.Utf8() + "</UDN>"), std::string::npos);
    EXPECT_EQ(Unregister(id.Utf8()), S_OK);
  }
  // A second live device with the same UDN is announced under a new one.
  BstrHolder a, b, udn;
  ASSERT_EQ(Register(Description(), &a), S_OK);
  ASSERT_EQ(Register(Description(), &b), S_OK);
  BSTR bb = Bstr(b.Utf8());
  ASSERT_EQ(m_registrar->GetUniqueDeviceName(bb, nullptr, &udn.b), S_OK);
  SysFreeString(bb);
  EXPECT_NE(udn.Utf8(), kUdn);
}

TEST_F(RulesTest, UnknownIdsFail) {
  EXPECT_EQ(Unregister("{00000000-0000-0000-0000-000000000000}"), upnphost::kErrUnknownDevice);
  EXPECT_EQ(Unregister("../../etc/passwd"), upnphost::kErrUnknownDevice);
  EXPECT_EQ(Unregister(""), E_INVALIDARG);
  BstrHolder id;
  ASSERT_EQ(Register(Description(), &id), S_OK);
  EXPECT_EQ(Unregister(id.Utf8()), S_OK);
  // A device withdrawn cleanly is remembered: one later withdrawal of its id
  // (by a run that kept the id) succeeds.
  EXPECT_EQ(Unregister(id.Utf8()), S_OK);
  EXPECT_EQ(Unregister(id.Utf8()), upnphost::kErrUnknownDevice);
  BstrHolder udn;
  BSTR b = Bstr(id.Utf8());
  EXPECT_EQ(m_registrar->GetUniqueDeviceName(b, nullptr, &udn.b), upnphost::kErrUnknownDevice);
  SysFreeString(b);
}

}  // namespace
}  // namespace qel::test
