// The common setting of the host's tests: a private state directory and
// network, a resource directory with a service description, a registrar.
#pragma once

#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "fakes.h"
#include "nettest.h"
#include "qel/builtins.h"
#include "qel/upnphost_api.h"
#include "testsupport.h"

namespace qel::test {

inline const char kScpd[] = R"(<?xml version="1.0"?>
<scpd xmlns="urn:schemas-upnp-org:service-1-0">
  <specVersion><major>1</major><minor>0</minor></specVersion>
  <actionList>
    <action><name>GetControllerName</name><argumentList>
      <argument><name>ControllerName</name><direction>out</direction><relatedStateVariable>ControllerName</relatedStateVariable></argument>
    </argumentList></action>
    <action><name>Echo</name><argumentList>
      <argument><name>Text</name><direction>in</direction><relatedStateVariable>Text</relatedStateVariable></argument>
      <argument><name>Result</name><direction>out</direction><relatedStateVariable>Text</relatedStateVariable></argument>
    </argumentList></action>
    <action><name>Sum</name><argumentList>
      <argument><name>A</name><direction>in</direction><relatedStateVariable>Number</relatedStateVariable></argument>
      <argument><name>B</name><direction>in</direction><relatedStateVariable>Number</relatedStateVariable></argument>
      <argument><name>Total</name><direction>out</direction><retval/><relatedStateVariable>Number</relatedStateVariable></argument>
    </argumentList></action>
    <action><name>Boom</name></action>
    <action><name>Nope</name></action>
  </actionList>
  <serviceStateTable>
    <stateVariable sendEvents="yes"><name>Status</name><dataType>string</dataType></stateVariable>
    <stateVariable sendEvents="no"><name>ControllerName</name><dataType>string</dataType></stateVariable>
    <stateVariable sendEvents="no"><name>Text</name><dataType>string</dataType></stateVariable>
    <stateVariable sendEvents="no"><name>Number</name><dataType>ui4</dataType></stateVariable>
  </serviceStateTable>
</scpd>
)";

inline const char kUdn[] = "uuid:6a1f0c2e-5b3d-4e8f-9a7b-112233445566";

// A description in the program's shape: one service per controller name.
inline std::string Description(const std::vector<std::string>& controllers = {"Ctl1"},
                               const std::string& udn = kUdn) {
  std::string s = "<?xml version='1.0' encoding='Shift_JIS'?>\n"
                  "<root xmlns=\"urn:schemas-upnp-org:device-1-0\"><specVersion><major>1</major><minor>0</minor>"
                  "</specVersion><device><UDN>" +
                  udn +
                  "</UDN><friendlyName>Test device</friendlyName>"
                  "<deviceType>urn:schemas-upnp-org:device:QelTest:1</deviceType><presentationURL/>"
                  "<manufacturer>Maker</manufacturer><manufacturerURL/><modelName>Model</modelName>"
                  "<modelNumber/><modelDescription/><modelURL/><UPC/><serialNumber/><serviceList>";
  for (const auto& name : controllers) {
    std::string c;
    for (char ch : name) c += ch == '&' ? std::string("&amp;") : ch == '<' ? std::string("&lt;") : std::string(1, ch);
    s += "<service><serviceType>urn:schemas-upnp-org:service:" + c + ":1</serviceType><serviceId>urn:upnp-org:serviceId:" +
         c + "</serviceId><SCPDURL>svc.xml</SCPDURL><controlURL/><eventSubURL/></service>";
  }
  s += "</serviceList></device></root>";
  return s;
}

inline BSTR Bstr(const std::string& s) { return SysAllocString(FromUtf8(s).c_str()); }

struct BstrHolder {
  BSTR b = nullptr;
  ~BstrHolder() { SysFreeString(b); }
  std::string Utf8() const { return ToUtf8(b); }
};

class HostTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!InPrivateNetwork()) GTEST_SKIP() << "needs a private network namespace (run as root)";
    WriteFile(m_res.path() / "svc.xml", kScpd);
    // The host serves no loopback by default: the tests' network is loopback.
    SetHostValue(u"Interfaces", REG_SZ, u"lo", sizeof u"lo");
    ComPtr<IClassFactory> factory;
    ASSERT_EQ(qel_upnphost_DllGetClassObject(CLSID_UPnPRegistrar, IID_IClassFactory, factory.PutVoid()), S_OK);
    ASSERT_EQ(factory->CreateInstance(nullptr, IID_IUPnPRegistrar, m_registrar.PutVoid()), S_OK);
  }
  void TearDown() override {
    upnphost::WithdrawAllDevices();
    EXPECT_EQ(upnphost::LiveDeviceCount(), 0);
  }

  void SetHostValue(const char16_t* name, DWORD type, const void* data, DWORD size) {
    HKEY key = nullptr;
    ASSERT_EQ(RegCreateKeyExW(HKEY_LOCAL_MACHINE, u"SYSTEM\\CurrentControlSet\\Services\\upnphost\\Parameters", 0,
                              nullptr, 0, KEY_ALL_ACCESS, nullptr, &key, nullptr),
              ERROR_SUCCESS);
    ASSERT_EQ(RegSetValueExW(key, name, 0, type, static_cast<const BYTE*>(data), size), ERROR_SUCCESS);
    RegCloseKey(key);
  }

  HRESULT Register(const std::string& xml, BstrHolder* id, LONG lifetime = 1800, IUnknown* control = nullptr,
                   const std::string& init = "QelUPnP") {
    if (!control) control = m_control->GetUnknown();
    BSTR desc = Bstr(xml), ini = Bstr(init), dir = Bstr(m_res.path().string() + "/");
    const HRESULT hr = m_registrar->RegisterRunningDevice(desc, control, ini, dir, lifetime, &id->b);
    SysFreeString(desc);
    SysFreeString(ini);
    SysFreeString(dir);
    return hr;
  }
  HRESULT Unregister(const std::string& id) {
    BSTR b = Bstr(id);
    const HRESULT hr = m_registrar->UnregisterDevice(b, TRUE);
    SysFreeString(b);
    return hr;
  }
  size_t RecordCount() {
    size_t n = 0;
    std::error_code ec;
    for (const auto& e : std::filesystem::directory_iterator(m_state.path() / "upnphost", ec))
      if (e.path().extension() == ".device") ++n;
    return n;
  }
  // The LOCATION the device answers an M-SEARCH for its UDN with.
  std::string Location(const std::string& udn = kUdn) {
    for (int attempt = 0; attempt < 3; ++attempt)
      for (const auto& r : SsdpSearch(MSearch(udn, 1), std::chrono::milliseconds(1500)))
        if (Header(r, "USN") == udn) return Header(r, "LOCATION");
    return {};
  }

  ScopedStateDir m_state;
  TempDir m_res;
  ComPtr<IUPnPRegistrar> m_registrar;
  ComPtr<FakeControl> m_control = MakeComObject<FakeControl>();
};

}  // namespace qel::test
