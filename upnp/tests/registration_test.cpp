// RegisterUPnPDevice and UnregisterDevice against the real device host, with
// the fault seam for the failures a working machine does not produce.
#include <gtest/gtest.h>

#include <filesystem>
#include <mutex>
#include <string>
#include <vector>

#include "QelUPnP.h"
#include "../devicecontrol/QelDeviceControl.h"
#include "qel/comobj.h"
#include "qel/fault.h"
#include "qel/kernel.h"
#include "qel/upnphost_api.h"
#include "qel/wstr.h"
#include "testsupport.h"
#include "upnphost.h"

QEL_COM_INTERFACE(IUPnPRegistrar, IUnknown, IID_IUPnPRegistrar);

namespace {

// Before main, while the process has one thread.
const bool g_privateNetwork = qel::upnphost::EnterPrivateNetworkForTests();

const char kScpd[] =
    "<?xml version=\"1.0\"?><scpd xmlns=\"urn:schemas-upnp-org:service-1-0\"><specVersion><major>1</major>"
    "<minor>0</minor></specVersion><actionList><action><name>GetControllerName</name><argumentList><argument>"
    "<name>ControllerName</name><direction>out</direction><relatedStateVariable>ControllerName</relatedStateVariable>"
    "</argument></argumentList></action></actionList><serviceStateTable><stateVariable sendEvents=\"no\"><name>"
    "ControllerName</name><dataType>string</dataType></stateVariable><stateVariable sendEvents=\"yes\"><name>Status"
    "</name><dataType>string</dataType></stateVariable></serviceStateTable></scpd>";

const char kDescription[] =
    "<?xml version='1.0' encoding='Shift_JIS'?><root xmlns=\"urn:schemas-upnp-org:device-1-0\"><specVersion>"
    "<major>1</major><minor>0</minor></specVersion><device><UDN>uuid:7d444840-9dc0-11d1-b245-5ffdce74fad2</UDN>"
    "<friendlyName>Workspace</friendlyName><deviceType>urn:schemas-upnp-org:device:QelUPnP:1</deviceType>"
    "<presentationURL/><manufacturer>QEL</manufacturer><manufacturerURL/><modelName>QelUPnP</modelName>"
    "<modelNumber/><modelDescription/><modelURL/><UPC/><serialNumber/><serviceList><service><serviceType>"
    "urn:schemas-upnp-org:service:Pump 1:1</serviceType><serviceId>urn:upnp-org:serviceId:Pump 1</serviceId>"
    "<SCPDURL>QelUPnPService.xml</SCPDURL><controlURL/><eventSubURL/></service></serviceList></device></root>";

const WCHAR kKey[] = TEXT("SoftWare\\Varn2\\QelUPnP");

// The device-control library next to the program: <build>/lib/qelupnp.
std::filesystem::path DeviceControlLibrary() {
  WCHAR sz[MAX_PATH] = {};
  GetModuleFileNameW(nullptr, sz, MAX_PATH);
  return std::filesystem::path(qel::ToUtf8(sz)).parent_path().parent_path() / "lib" / "qelupnp" /
         "libqeldevicecontrol.so";
}

void SetString(HKEY root, const std::u16string& key, LPCWSTR name, const std::u16string& value) {
  HKEY h = nullptr;
  ASSERT_EQ(RegCreateKeyExW(root, key.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &h, nullptr), ERROR_SUCCESS);
  ASSERT_EQ(RegSetValueExW(h, name, 0, REG_SZ, reinterpret_cast<const BYTE*>(value.c_str()),
                           static_cast<DWORD>((value.size() + 1) * 2)),
            ERROR_SUCCESS);
  RegCloseKey(h);
}

// The stored "LastDeviceID": its text and its byte length; empty when absent.
std::pair<std::u16string, DWORD> StoredId() {
  HKEY h = nullptr;
  if (RegOpenKeyExW(HKEY_CLASSES_ROOT, kKey, 0, KEY_READ, &h) != ERROR_SUCCESS) return {};
  WCHAR buf[1024] = {};
  DWORD type = 0, size = sizeof buf;
  const LSTATUS ls = RegQueryValueExW(h, TEXT("LastDeviceID"), nullptr, &type, reinterpret_cast<BYTE*>(buf), &size);
  RegCloseKey(h);
  if (ls != ERROR_SUCCESS || type != REG_SZ) return {};
  return {buf, size};
}

class RegistrationTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!g_privateNetwork) GTEST_SKIP() << "needs a private network namespace (run as root)";
    if (!std::filesystem::exists(DeviceControlLibrary())) GTEST_SKIP() << "the device-control library is not built";
    ASSERT_TRUE(SUCCEEDED(CoInitialize(nullptr)));
    m_coInit = true;
    SetString(HKEY_CLASSES_ROOT, u"CLSID\\{5B2E8C41-7A9D-4F06-B3E1-C84D29F7A650}\\InprocServer32", nullptr,
              qel::FromUtf8(DeviceControlLibrary().string()));
    qel::test::WriteFile(m_dir.path() / "QelUPnPService.xml", kScpd);
    m_module.m_bstrModuleDir = SysAllocString(qel::FromUtf8(m_dir.path().string() + "/").c_str());
    m_module.m_dwLogType = 3;  // debugger output, captured below
    qel::SetDebugOutputSinkForTests([this](std::u16string_view s) {
      std::lock_guard<std::mutex> g(m_lock);
      m_log.push_back(qel::ToUtf8(s));
    });
    m_description = SysAllocString(qel::FromUtf8(kDescription).c_str());
    qel::fault::Reset();
  }
  void TearDown() override {
    qel::fault::Reset();
    qel::SetDebugOutputSinkForTests(nullptr);
    qel::upnphost::WithdrawAllDevices();
    SysFreeString(m_description);
    SysFreeString(m_module.m_bstrModuleDir);
    m_module.m_bstrModuleDir = nullptr;
    if (m_coInit) CoUninitialize();
  }
  std::vector<std::string> Log() {
    std::lock_guard<std::mutex> g(m_lock);
    return m_log;
  }
  bool Logged(const std::string& m) {
    for (const auto& l : Log())
      if (l == m) return true;
    return false;
  }
  std::string LastId() { return qel::ToUtf8(m_module.m_szLastDeviceId); }

  qel::test::ScopedStateDir m_state;
  qel::test::TempDir m_dir;
  CQelUPnP m_module;
  BSTR m_description = nullptr;
  bool m_coInit = false;
  std::mutex m_lock;
  std::vector<std::string> m_log;
};

TEST_F(RegistrationTest, RegistersStoresTheIdAndWithdraws) {
  ASSERT_EQ(m_module.RegisterUPnPDevice(m_description), S_OK);
  EXPECT_EQ(qel::fault::Calls("UnregisterDevice"), 0);  // nothing known from an earlier run
  EXPECT_EQ(qel::upnphost::LiveDeviceCount(), 1);
  const std::u16string id = m_module.m_szLastDeviceId;
  ASSERT_FALSE(id.empty());
  auto [stored, bytes] = StoredId();
  EXPECT_EQ(stored, id);
  EXPECT_EQ(bytes, (id.size() + 1) * 2);
  EXPECT_TRUE(Log().empty());

  EXPECT_EQ(m_module.UnregisterDevice(), S_OK);
  EXPECT_EQ(qel::upnphost::LiveDeviceCount(), 0);
  EXPECT_TRUE(StoredId().first.empty());
  EXPECT_EQ(m_module.m_szLastDeviceId, id);  // not cleared

  // The host remembers a device withdrawn cleanly once more (a later run may
  // still hold its id): the withdrawal succeeds, the value is gone already.
  EXPECT_EQ(m_module.UnregisterDevice(), E_FAIL);
  EXPECT_TRUE(Logged("QelUPnP:Failed to delete registry."));
  EXPECT_FALSE(Logged("QelUPnP:UnregisterDevice failed."));
  // After that it no longer knows the id.
  EXPECT_EQ(m_module.UnregisterDevice(), qel::upnphost::kErrUnknownDevice);
  EXPECT_TRUE(Logged("QelUPnP:UnregisterDevice failed."));
}

TEST_F(RegistrationTest, AValueDeletedAlreadyIsReportedAfterTheWithdrawal) {
  ASSERT_EQ(m_module.RegisterUPnPDevice(m_description), S_OK);
  HKEY h = nullptr;
  ASSERT_EQ(RegOpenKeyExW(HKEY_CLASSES_ROOT, kKey, 0, KEY_ALL_ACCESS, &h), ERROR_SUCCESS);
  ASSERT_EQ(RegDeleteValueW(h, TEXT("LastDeviceID")), ERROR_SUCCESS);
  RegCloseKey(h);
  EXPECT_EQ(m_module.UnregisterDevice(), E_FAIL);
  EXPECT_TRUE(Logged("QelUPnP:Failed to delete registry."));
  EXPECT_EQ(qel::upnphost::LiveDeviceCount(), 0);  // the host withdrew it first
}

TEST_F(RegistrationTest, WithdrawsTheEarlierDeviceFirst) {
  ASSERT_EQ(m_module.RegisterUPnPDevice(m_description), S_OK);
  const std::string first = LastId();
  ASSERT_EQ(m_module.RegisterUPnPDevice(m_description), S_OK);
  EXPECT_NE(LastId(), first);
  EXPECT_EQ(qel::upnphost::LiveDeviceCount(), 1);
  EXPECT_EQ(qel::ToUtf8(StoredId().first), LastId());
}

TEST_F(RegistrationTest, ARefusedWithdrawalOfTheEarlierIdDoesNotStopTheRegistration) {
  ASSERT_EQ(m_module.RegisterUPnPDevice(m_description), S_OK);
  const std::string first = LastId();
  qel::fault::Arm("UnregisterDevice", static_cast<std::int64_t>(E_ACCESSDENIED));
  ASSERT_EQ(m_module.RegisterUPnPDevice(m_description), S_OK);
  EXPECT_TRUE(Logged("QelUPnP:UnregisterDevice failed."));
  EXPECT_NE(LastId(), first);
  EXPECT_EQ(qel::upnphost::LiveDeviceCount(), 2);
}

TEST_F(RegistrationTest, DeviceControlNotAvailable) {
  ASSERT_EQ(RegDeleteTreeW(HKEY_CLASSES_ROOT, TEXT("CLSID\\{5B2E8C41-7A9D-4F06-B3E1-C84D29F7A650}")), ERROR_SUCCESS);
  lstrcpyW(m_module.m_szLastDeviceId, TEXT("{00000000-0000-0000-0000-000000000001}"));
  EXPECT_EQ(m_module.RegisterUPnPDevice(m_description), E_FAIL);
  EXPECT_TRUE(Logged("QelUPnP:CoCreateInstance failed."));
  EXPECT_EQ(qel::fault::Calls("UnregisterDevice"), 0);
  EXPECT_EQ(qel::fault::Calls("RegisterRunningDevice"), 0);
  EXPECT_EQ(LastId(), "{00000000-0000-0000-0000-000000000001}");
}

TEST_F(RegistrationTest, RegistrarNotAvailable) {
  const HRESULT code = REGDB_E_CLASSNOTREG;
  qel::fault::Arm("CoCreateInstance", code, 1);
  EXPECT_EQ(m_module.RegisterUPnPDevice(m_description), code);
  EXPECT_TRUE(Logged("QelUPnP:Failed to create UPnPRegistrar instance."));
  EXPECT_EQ(qel::upnphost::LiveDeviceCount(), 0);

  qel::fault::Arm("CoCreateInstance", code);
  EXPECT_EQ(m_module.UnregisterDevice(), code);
  EXPECT_TRUE(Logged("QelUPnP:CoCreateInstance failed."));
}

TEST_F(RegistrationTest, RegistrationRefusedStoresNothing) {
  lstrcpyW(m_module.m_szLastDeviceId, TEXT(""));
  qel::fault::Arm("RegisterRunningDevice", static_cast<std::int64_t>(UPNP_E_INVALID_DOCUMENT));
  EXPECT_EQ(m_module.RegisterUPnPDevice(m_description), UPNP_E_INVALID_DOCUMENT);
  EXPECT_TRUE(Logged("QelUPnP:Failed to register a Device."));
  EXPECT_EQ(LastId(), "");
  EXPECT_TRUE(StoredId().first.empty());
}

TEST_F(RegistrationTest, ANullModuleDirectoryStillCallsTheHost) {
  SysFreeString(m_module.m_bstrModuleDir);
  m_module.m_bstrModuleDir = nullptr;
  EXPECT_EQ(m_module.RegisterUPnPDevice(m_description), HRESULT_FROM_WIN32(ERROR_PATH_NOT_FOUND));
  EXPECT_EQ(qel::fault::Calls("RegisterRunningDevice"), 1);
  EXPECT_TRUE(Logged("QelUPnP:Failed to register a Device."));
}

TEST_F(RegistrationTest, RegistryFailuresAfterRegistrationKeepTheDevice) {
  struct Row {
    const char* point;
    const char* message;
  };
  auto fresh = [&] {
    qel::upnphost::WithdrawAllDevices();
    lstrcpyW(m_module.m_szLastDeviceId, TEXT(""));
    std::lock_guard<std::mutex> g(m_lock);
    m_log.clear();
  };
  for (const Row& row : {Row{"RegCreateKeyExW", "QelUPnP:Failed to open registry."},
                         Row{"RegSetValueExW", "QelUPnP:Failed to write to registry."},
                         Row{"RegCloseKey", "QelUPnP:Failed to close registry."}}) {
    // The COM runtime reads the class store through the same functions: the
    // registration's own call is the last one of a registration.
    fresh();
    qel::fault::Reset();
    ASSERT_EQ(m_module.RegisterUPnPDevice(m_description), S_OK);
    const int calls = qel::fault::Calls(row.point);
    ASSERT_GE(calls, 1) << row.point;
    fresh();
    qel::fault::Reset();
    qel::fault::Arm(row.point, ERROR_ACCESS_DENIED, calls - 1);
    EXPECT_EQ(m_module.RegisterUPnPDevice(m_description), E_FAIL) << row.point;
    EXPECT_TRUE(Logged(row.message)) << row.point;
    EXPECT_EQ(qel::upnphost::LiveDeviceCount(), 1) << row.point;
    EXPECT_FALSE(LastId().empty()) << row.point;
    if (std::string(row.point) == "RegSetValueExW") EXPECT_GE(qel::fault::Calls("RegCloseKey"), 1);
  }
}

TEST_F(RegistrationTest, MessageLevels) {
  // Level 1 messages pass a threshold of 1, level 0 ones do not.
  m_module.m_dwLogLevel = 1;
  qel::fault::Arm("RegSetValueExW", ERROR_ACCESS_DENIED);
  EXPECT_EQ(m_module.RegisterUPnPDevice(m_description), E_FAIL);
  EXPECT_TRUE(Logged("QelUPnP:Failed to write to registry."));
  qel::fault::Arm("RegisterRunningDevice", static_cast<std::int64_t>(E_FAIL));
  EXPECT_EQ(m_module.RegisterUPnPDevice(m_description), E_FAIL);
  EXPECT_FALSE(Logged("QelUPnP:Failed to register a Device."));
  EXPECT_FALSE(Logged("QelUPnP:UnregisterDevice failed."));
}

TEST_F(RegistrationTest, WithdrawalFailures) {
  ASSERT_EQ(m_module.RegisterUPnPDevice(m_description), S_OK);
  const std::u16string id = m_module.m_szLastDeviceId;

  qel::fault::Arm("UnregisterDevice", static_cast<std::int64_t>(E_ACCESSDENIED));
  EXPECT_EQ(m_module.UnregisterDevice(), E_ACCESSDENIED);
  EXPECT_TRUE(Logged("QelUPnP:UnregisterDevice failed."));
  EXPECT_EQ(StoredId().first, id);  // left alone
  EXPECT_EQ(qel::upnphost::LiveDeviceCount(), 1);

  qel::fault::Arm("RegDeleteValueW", ERROR_ACCESS_DENIED);
  EXPECT_EQ(m_module.UnregisterDevice(), E_FAIL);
  EXPECT_TRUE(Logged("QelUPnP:Failed to delete registry."));
  EXPECT_EQ(qel::upnphost::LiveDeviceCount(), 0);  // withdrawn all the same

  ASSERT_EQ(m_module.RegisterUPnPDevice(m_description), S_OK);
  ASSERT_EQ(RegDeleteTreeW(HKEY_CLASSES_ROOT, kKey), ERROR_SUCCESS);
  EXPECT_EQ(m_module.UnregisterDevice(), E_FAIL);
  EXPECT_TRUE(Logged("QelUPnP:Failed to open registry."));
  EXPECT_EQ(qel::upnphost::LiveDeviceCount(), 0);

  ASSERT_EQ(m_module.RegisterUPnPDevice(m_description), S_OK);
  // The withdrawal's own close is the last RegCloseKey of a withdrawal.
  qel::fault::Reset();
  ASSERT_EQ(m_module.UnregisterDevice(), S_OK);
  const int closes = qel::fault::Calls("RegCloseKey");
  ASSERT_EQ(m_module.RegisterUPnPDevice(m_description), S_OK);
  qel::fault::Reset();
  qel::fault::Arm("RegCloseKey", ERROR_INVALID_HANDLE, closes - 1);
  EXPECT_EQ(m_module.UnregisterDevice(), E_FAIL);
  EXPECT_TRUE(Logged("QelUPnP:Failed to close registry."));
}

TEST_F(RegistrationTest, AStopRequestDuringRegistrationWithdrawsTheDeviceAtOnce) {
  m_module.m_bStopRequested = true;
  EXPECT_EQ(m_module.RegisterUPnPDevice(m_description), S_OK);
  EXPECT_EQ(qel::upnphost::LiveDeviceCount(), 0);
  EXPECT_TRUE(StoredId().first.empty());
}

// A registrar whose ids are longer than the module's buffer.
class LongIdRegistrar final : public qel::ComObject<LongIdRegistrar, IUPnPRegistrar> {
 public:
  HRESULT STDMETHODCALLTYPE RegisterDevice(BSTR, BSTR, BSTR, BSTR, BSTR, LONG, BSTR*) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE RegisterRunningDevice(BSTR, IUnknown*, BSTR, BSTR, LONG, BSTR* id) override {
    *id = SysAllocString(std::u16string(300, u'x').c_str());
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE RegisterDeviceProvider(BSTR, BSTR, BSTR, BSTR) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE GetUniqueDeviceName(BSTR, BSTR, BSTR*) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE UnregisterDevice(BSTR id, BOOL) override {
    withdrawn.push_back(SysStringLen(id));
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE UnregisterDeviceProvider(BSTR) override { return E_NOTIMPL; }
  static std::vector<UINT> withdrawn;
};
std::vector<UINT> LongIdRegistrar::withdrawn;

class LongIdFactory final : public qel::ComObject<LongIdFactory, IClassFactory> {
 public:
  HRESULT STDMETHODCALLTYPE CreateInstance(IUnknown*, REFIID riid, void** ppv) override {
    return qel::MakeComObject<LongIdRegistrar>()->QueryInterface(riid, ppv);
  }
  HRESULT STDMETHODCALLTYPE LockServer(BOOL) override { return S_OK; }
};

TEST_F(RegistrationTest, AnIdLongerThanTheBufferIsRefusedAndWithdrawn) {
  auto factory = qel::MakeComObject<LongIdFactory>();
  DWORD cookie = 0;
  ASSERT_EQ(CoRegisterClassObject(CLSID_UPnPRegistrar, factory->GetUnknown(), CLSCTX_LOCAL_SERVER,
                                  REGCLS_MULTIPLEUSE, &cookie),
            S_OK);
  lstrcpyW(m_module.m_szLastDeviceId, TEXT(""));
  EXPECT_EQ(m_module.RegisterUPnPDevice(m_description), HRESULT_FROM_WIN32(ERROR_INSUFFICIENT_BUFFER));
  CoRevokeClassObject(cookie);
  ASSERT_EQ(LongIdRegistrar::withdrawn.size(), 1u);
  EXPECT_EQ(LongIdRegistrar::withdrawn[0], 300u);
  EXPECT_EQ(LastId(), "");  // nothing cut, nothing stored
  EXPECT_TRUE(StoredId().first.empty());
  EXPECT_TRUE(Logged("QelUPnP:Failed to register a Device."));
}

}  // namespace
