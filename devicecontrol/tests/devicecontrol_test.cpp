// QelDeviceControl as the COM runtime and the UPnP Device Host see it: self-
// registration, creation by class id, service objects and their answers.
#include <gtest/gtest.h>

#include <objbase.h>
#include <oleauto.h>
#include <upnphost.h>

#include <string>

#include "QelDeviceControl.h"
#include "qel/comobj.h"
#include "qel/wstr.h"
#include "testsupport.h"

QEL_COM_INTERFACE(IUPnPDeviceControl, IUnknown, IID_IUPnPDeviceControl);
QEL_COM_INTERFACE(IUPnPEventSource, IUnknown, IID_IUPnPEventSource);

namespace {

const WCHAR kServerKey[] = TEXT("CLSID\\{5B2E8C41-7A9D-4F06-B3E1-C84D29F7A650}\\InprocServer32");

std::u16string RegString(LPCWSTR key, LPCWSTR name) {
  HKEY h = nullptr;
  if (RegOpenKeyExW(HKEY_CLASSES_ROOT, key, 0, KEY_READ, &h) != ERROR_SUCCESS) return u"<missing>";
  WCHAR buf[1024] = {};
  DWORD type = 0, size = sizeof buf;
  const LSTATUS ls = RegQueryValueExW(h, name, nullptr, &type, reinterpret_cast<BYTE*>(buf), &size);
  RegCloseKey(h);
  return ls == ERROR_SUCCESS && type == REG_SZ ? std::u16string(buf) : u"<missing>";
}

typedef HRESULT(STDAPICALLTYPE* EntryFn)();

// The library keeps its own view of the state directory once loaded, so the
// whole suite shares one.
class DeviceControlTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    s_state = new qel::test::ScopedStateDir();
    s_library = LoadLibraryW(qel::FromUtf8(QEL_DEVICECONTROL_LIBRARY).c_str());
  }
  static void TearDownTestSuite() {
    delete s_state;
    s_state = nullptr;
  }
  void SetUp() override {
    ASSERT_NE(s_library, nullptr);
    ASSERT_TRUE(SUCCEEDED(CoInitialize(nullptr)));
  }
  void TearDown() override { CoUninitialize(); }
  static HRESULT Call(const char* entry) {
    auto fn = reinterpret_cast<EntryFn>(GetProcAddress(s_library, entry));
    return fn ? fn() : E_NOTIMPL;
  }
  qel::ComPtr<IUPnPDeviceControl> Create() {
    qel::ComPtr<IUnknown> unk;
    EXPECT_EQ(CoCreateInstance(CLSID_QelDeviceControl, nullptr, CLSCTX_INPROC_SERVER, IID_IUnknown, unk.PutVoid()),
              S_OK);
    qel::ComPtr<IUPnPDeviceControl> control;
    if (unk) EXPECT_EQ(unk.As(&control), S_OK);
    return control;
  }
  static qel::test::ScopedStateDir* s_state;
  static HMODULE s_library;
};
qel::test::ScopedStateDir* DeviceControlTest::s_state = nullptr;
HMODULE DeviceControlTest::s_library = nullptr;

TEST_F(DeviceControlTest, RegistersItsOwnPathAndUnregisters) {
  ASSERT_EQ(Call("DllRegisterServer"), S_OK);
  EXPECT_EQ(qel::ToUtf8(RegString(kServerKey, nullptr)),
            std::filesystem::canonical(QEL_DEVICECONTROL_LIBRARY).string());
  EXPECT_EQ(RegString(kServerKey, TEXT("ThreadingModel")), u"Both");
  ASSERT_EQ(Call("DllUnregisterServer"), S_OK);
  EXPECT_EQ(RegString(kServerKey, nullptr), u"<missing>");
  EXPECT_EQ(Call("DllUnregisterServer"), S_OK);  // nothing left to remove is no failure
  qel::ComPtr<IUnknown> unk;
  EXPECT_EQ(CoCreateInstance(CLSID_QelDeviceControl, nullptr, CLSCTX_INPROC_SERVER, IID_IUnknown, unk.PutVoid()),
            REGDB_E_CLASSNOTREG);
}

TEST_F(DeviceControlTest, ServiceObjectsAnswerForTheirController) {
  ASSERT_EQ(Call("DllRegisterServer"), S_OK);
  auto control = Create();
  ASSERT_TRUE(control);
  BSTR udn = SysAllocString(TEXT("uuid:7d444840-9dc0-11d1-b245-5ffdce74fad2"));
  BSTR sid = SysAllocString(TEXT("urn:upnp-org:serviceId:Pump 1 \u65e5\u672c"));
  qel::ComPtr<IDispatch> svc;
  EXPECT_EQ(control->GetServiceObject(udn, sid, svc.Put()), E_UNEXPECTED);  // before Initialize
  BSTR desc = SysAllocString(TEXT("<root/>")), id = SysAllocString(TEXT("{id}")), init = SysAllocString(TEXT("QelUPnP"));
  EXPECT_EQ(control->Initialize(nullptr, id, init), E_INVALIDARG);
  ASSERT_EQ(control->Initialize(desc, id, init), S_OK);
  ASSERT_EQ(control->GetServiceObject(udn, sid, svc.Put()), S_OK);
  ASSERT_TRUE(svc);

  LPOLESTR name = const_cast<LPOLESTR>(TEXT("GetControllerName"));
  DISPID dispid = DISPID_UNKNOWN;
  ASSERT_EQ(svc->GetIDsOfNames(IID_NULL, &name, 1, 0, &dispid), S_OK);
  VARIANT out, arg, result;
  VariantInit(&out);
  VariantInit(&result);
  arg.vt = VT_BYREF | VT_VARIANT;
  arg.pvarVal = &out;
  DISPPARAMS dp{&arg, nullptr, 1, 0};
  ASSERT_EQ(svc->Invoke(dispid, IID_NULL, 0, DISPATCH_METHOD, &dp, &result, nullptr, nullptr), S_OK);
  ASSERT_EQ(out.vt, VT_BSTR);
  EXPECT_EQ(qel::WView(out.bstrVal), u"Pump 1 \u65e5\u672c");
  VariantClear(&out);
  VariantClear(&result);

  LPOLESTR status = const_cast<LPOLESTR>(TEXT("Status"));
  ASSERT_EQ(svc->GetIDsOfNames(IID_NULL, &status, 1, 0, &dispid), S_OK);
  DISPPARAMS none{nullptr, nullptr, 0, 0};
  ASSERT_EQ(svc->Invoke(dispid, IID_NULL, 0, DISPATCH_PROPERTYGET, &none, &result, nullptr, nullptr), S_OK);
  EXPECT_EQ(qel::WView(result.bstrVal), u"OK");
  VariantClear(&result);

  // Every other action is Invalid Action.
  LPOLESTR other = const_cast<LPOLESTR>(TEXT("SetControllerName"));
  EXPECT_EQ(svc->GetIDsOfNames(IID_NULL, &other, 1, 0, &dispid), DISP_E_UNKNOWNNAME);
  EXPECT_EQ(svc->Invoke(77, IID_NULL, 0, DISPATCH_METHOD, &none, &result, nullptr, nullptr), UPNP_E_INVALID_ACTION);

  qel::ComPtr<IUPnPEventSource> events;
  EXPECT_EQ(svc.As(&events), S_OK);

  // A service id without the usual prefix names the controller as it stands.
  BSTR bare = SysAllocString(TEXT("Valve"));
  qel::ComPtr<IDispatch> svc2;
  ASSERT_EQ(control->GetServiceObject(udn, bare, svc2.Put()), S_OK);
  LPOLESTR n2 = const_cast<LPOLESTR>(TEXT("GetControllerName"));
  ASSERT_EQ(svc2->GetIDsOfNames(IID_NULL, &n2, 1, 0, &dispid), S_OK);
  ASSERT_EQ(svc2->Invoke(dispid, IID_NULL, 0, DISPATCH_METHOD, &dp, &result, nullptr, nullptr), S_OK);
  EXPECT_EQ(qel::WView(result.bstrVal), u"Valve");
  VariantClear(&out);
  VariantClear(&result);

  for (BSTR b : {udn, sid, desc, id, init, bare}) SysFreeString(b);
  auto canUnload = reinterpret_cast<EntryFn>(GetProcAddress(s_library, "DllCanUnloadNow"));
  ASSERT_NE(canUnload, nullptr);
  EXPECT_EQ(canUnload(), S_FALSE);
  svc = nullptr;
  svc2 = nullptr;
  events = nullptr;
  control = nullptr;
  CoFreeUnusedLibraries();
  EXPECT_EQ(canUnload(), S_OK);
}

}  // namespace
