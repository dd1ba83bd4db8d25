// The module object: construction values, InitModule, the class-object entry,
// the program directory, and the run sequence's stages and failure rows.
#include "servicetest.h"

#include <chrono>
#include <clocale>
#include <future>
#include <thread>

namespace {

using servicetest::Capture;

const WCHAR kSettings[] = TEXT("SoftWare\\QelUPnP");

TEST(ModuleTest, ConstructionValues) {
  CQelUPnP module;
  EXPECT_EQ(module.m_szName[0], 0);
  EXPECT_EQ(module.m_hStatus, nullptr);
  EXPECT_EQ(module.m_dwMainThreadId.load(), 0u);
  EXPECT_EQ(module.m_bRunAsService, FALSE);
  EXPECT_EQ(module.m_dwLogLevel, 0u);
  EXPECT_EQ(module.m_dwLogType.load(), 0u);
  EXPECT_EQ(module.m_szDataPath[0], 0);
  EXPECT_EQ(module.m_szLogFile[0], 0);
  EXPECT_EQ(module.m_szLastDeviceId[0], 0);
  EXPECT_EQ(module.m_dwPriorityClass, 0x20u);
  EXPECT_EQ(module.m_dwLcid, 1024u);
  for (int i = 0; i < DeviceIdentity::kCount; ++i) EXPECT_EQ(*module.m_identity.Member(i), nullptr);
  EXPECT_EQ(module.m_bstrModuleDir, nullptr);
  EXPECT_EQ(module.m_controllers.GetSize(), 0);
  EXPECT_EQ(module.m_hInstance, nullptr);
  EXPECT_EQ(module.m_classTable, nullptr);
}

int g_objectMainCalls = 0;
bool g_objectMainArg = false;
void WINAPI CountingObjectMain(bool bStarting) {
  ++g_objectMainCalls;
  g_objectMainArg = bStarting;
}

TEST(ModuleTest, InitModuleSetsHandlesAndStartsEachEntryUntilTheEnd) {
  static const CLSID clsid = {1, 2, 3, {4, 5, 6, 7, 8, 9, 10, 11}};
  ClassObjectEntry table[] = {
      {&clsid, nullptr, nullptr, nullptr, 0, nullptr, nullptr, CountingObjectMain},
      {&clsid, nullptr, nullptr, nullptr, 0, nullptr, nullptr, nullptr},
      {&clsid, nullptr, nullptr, nullptr, 0, nullptr, nullptr, CountingObjectMain},
      {nullptr, nullptr, nullptr, nullptr, 0, nullptr, nullptr, CountingObjectMain},
  };
  g_objectMainCalls = 0;
  HINSTANCE hInst = reinterpret_cast<HINSTANCE>(static_cast<ULONG_PTR>(0x400000));
  g_pModule = nullptr;
  EXPECT_EQ(g_Module.InitModule(table, hInst), S_OK);
  EXPECT_EQ(g_pModule, &g_Module);
  EXPECT_EQ(g_Module.m_hInstance, hInst);
  EXPECT_EQ(g_Module.m_hTypeLibInstance, hInst);
  EXPECT_EQ(g_Module.m_classTable, table);
  EXPECT_EQ(g_objectMainCalls, 2);
  EXPECT_TRUE(g_objectMainArg);

  // The program's own table is the end entry alone.
  EXPECT_EQ(ModuleClassTable()->pclsid, nullptr);
  g_objectMainCalls = 0;
  EXPECT_EQ(g_Module.InitModule(ModuleClassTable(), hInst), S_OK);
  EXPECT_EQ(g_objectMainCalls, 0);
}

// A class object that counts its references.
struct CountedObject : IUnknown {
  LONG refs = 1;
  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** ppv) override {
    if (riid == IID_IUnknown || riid == IID_IClassFactory) {
      *ppv = this;
      AddRef();
      return S_OK;
    }
    *ppv = nullptr;
    return E_NOINTERFACE;
  }
  ULONG STDMETHODCALLTYPE AddRef() override { return ++refs; }
  ULONG STDMETHODCALLTYPE Release() override { return --refs; }
};
CountedObject g_classObject;
HRESULT g_getClassObjectResult = S_OK;
void* g_creatorSeen = nullptr;
HRESULT WINAPI DummyCreator(void*, REFIID, LPVOID* ppv) {
  *ppv = nullptr;
  return E_NOTIMPL;
}
HRESULT WINAPI TestGetClassObject(ClassObjectEntry::CreatorFn pfnCreate, REFIID riid, LPVOID* ppv) {
  g_creatorSeen = reinterpret_cast<void*>(pfnCreate);
  if (FAILED(g_getClassObjectResult)) {
    *ppv = nullptr;
    return g_getClassObjectResult;
  }
  return g_classObject.QueryInterface(riid, ppv);
}

TEST(ModuleTest, RegisterClassEntry) {
  qel::test::ScopedStateDir state;
  ASSERT_TRUE(SUCCEEDED(CoInitialize(nullptr)));
  static const CLSID clsid = {0x1234, 5, 6, {1, 2, 3, 4, 5, 6, 7, 8}};
  CQelUPnP module;

  ClassObjectEntry noRoutine = {&clsid, nullptr, nullptr, nullptr, 0, nullptr, nullptr, nullptr};
  EXPECT_EQ(module.RegisterClassEntry(&noRoutine, CLSCTX_LOCAL_SERVER, REGCLS_MULTIPLEUSE), S_OK);
  EXPECT_EQ(qel::fault::Calls("CoRegisterClassObject"), 0);

  ClassObjectEntry entry = {&clsid, nullptr, TestGetClassObject, DummyCreator, 0, nullptr, nullptr, nullptr};
  g_getClassObjectResult = E_OUTOFMEMORY;
  EXPECT_EQ(module.RegisterClassEntry(&entry, CLSCTX_LOCAL_SERVER, REGCLS_MULTIPLEUSE), E_OUTOFMEMORY);
  EXPECT_EQ(qel::fault::Calls("CoRegisterClassObject"), 0);
  EXPECT_EQ(g_creatorSeen, reinterpret_cast<void*>(&DummyCreator));

  g_getClassObjectResult = S_OK;
  EXPECT_EQ(module.RegisterClassEntry(&entry, CLSCTX_LOCAL_SERVER | CLSCTX_REMOTE_SERVER, REGCLS_MULTIPLEUSE), S_OK);
  EXPECT_NE(entry.dwRegister, 0u);
  // The routine's reference is released; the registration keeps its own.
  EXPECT_EQ(CoRevokeClassObject(entry.dwRegister), S_OK);
  EXPECT_EQ(g_classObject.refs, 1);

  qel::fault::Arm("CoRegisterClassObject", CO_E_OBJISREG);
  EXPECT_EQ(module.RegisterClassEntry(&entry, CLSCTX_LOCAL_SERVER, REGCLS_MULTIPLEUSE), CO_E_OBJISREG);
  EXPECT_EQ(g_classObject.refs, 1) << "released in any case";
  CoUninitialize();
}

TEST(ModuleTest, QueryModuleDirectory) {
  CQelUPnP module;
  EXPECT_EQ(module.QueryModuleDirectory(nullptr), E_INVALIDARG);

  const std::string self = servicetest::SelfPath();
  BSTR bstr = nullptr;
  const HRESULT hr = module.QueryModuleDirectory(&bstr);
  EXPECT_EQ(hr, static_cast<HRESULT>(self.size()));
  ASSERT_NE(bstr, nullptr);
  const std::string dir = qel::ToUtf8(bstr);
  EXPECT_EQ(dir, self.substr(0, self.rfind('/') + 1));
  EXPECT_EQ(dir.back(), '/');
  SysFreeString(bstr);

  qel::fault::Arm("GetModuleFileNameW", ERROR_NOT_ENOUGH_MEMORY);
  BSTR untouched = reinterpret_cast<BSTR>(&module);
  EXPECT_EQ(module.QueryModuleDirectory(&untouched), E_FAIL);
  EXPECT_EQ(untouched, reinterpret_cast<BSTR>(&module));
  qel::fault::Reset();
}

// Runs the sequence on a thread of its own, with a bound: a sequence that
// unexpectedly reaches its message loop is ended and reported.
class RunServiceTest : public ::testing::Test {
 protected:
  void SetUp() override {
    qel::fault::Reset();
    lstrcpynW(m_module.m_szName, TEXT("QelUPnP"), 256);
    m_module.m_dwLogType = 3;
    m_locale = std::setlocale(LC_ALL, nullptr);
  }
  void TearDown() override {
    qel::fault::Reset();
    std::setlocale(LC_ALL, m_locale.c_str());
    SetPriorityClass(GetCurrentProcess(), NORMAL_PRIORITY_CLASS);
  }

  // True when the sequence ended by itself.
  bool Run() {
    std::promise<void> done;
    auto ended = done.get_future();
    std::atomic<DWORD> tid{0};
    std::thread t([&] {
      tid = GetCurrentThreadId();
      m_module.RunService();
      done.set_value();
    });
    const bool bEnded = ended.wait_for(std::chrono::seconds(60)) == std::future_status::ready;
    if (!bEnded) PostThreadMessageW(m_module.m_dwMainThreadId.load(), WM_QUIT, 0, 0);
    t.join();
    EXPECT_EQ(m_module.m_dwMainThreadId.load(), tid.load());
    return bEnded;
  }

  void Configure(const std::string& workspace) {
    m_workspace = m_dir.path() / "workspace.xml";
    qel::test::WriteFile(m_workspace, workspace);
    const std::u16string path = qel::FromUtf8(m_workspace.string());
    servicetest::SetRegString(HKEY_CLASSES_ROOT, kSettings, TEXT("DataPath"), path.c_str());
    servicetest::SetRegDword(HKEY_CLASSES_ROOT, kSettings, TEXT("LogType"), 3);
    servicetest::SetRegDword(HKEY_CLASSES_ROOT, kSettings, TEXT("LogLevel"), 1);
  }

  qel::test::ScopedStateDir m_state;
  qel::test::TempDir m_dir;
  std::filesystem::path m_workspace;
  std::string m_locale;
  Capture m_capture;
  CQelUPnP m_module;
};

TEST_F(RunServiceTest, UnconfiguredSystemEndsBeforeStarting) {
  // The settings key is there but has no "DataPath".
  servicetest::SetRegDword(HKEY_CLASSES_ROOT, kSettings, TEXT("LogLevel"), 0);
  m_module.m_bRunAsService = TRUE;
  ASSERT_TRUE(Run());
  EXPECT_EQ(m_capture.Messages(), (std::vector<std::string>{"CQelUPnP::ReadRegInfo was called.",
                                                            "QelUPnP:This system has not be configured yet.\n"}));
  EXPECT_EQ(qel::fault::Calls("SetServiceStatus"), 0) << "SERVICE_RUNNING is never reported";
  EXPECT_EQ(qel::fault::Calls("SetPriorityClass"), 0);
  ASSERT_NE(m_module.m_bstrModuleDir, nullptr) << "the program directory is noted first";
  EXPECT_EQ(qel::ToUtf8(m_module.m_bstrModuleDir).back(), '/');
}

TEST_F(RunServiceTest, NoSettingsKeyStartsThenFailsTheWorkspaceReadOnStandardOutput) {
  m_module.m_dwLogType = 0;
  m_module.m_bRunAsService = TRUE;
  ::testing::internal::CaptureStdout();
  const bool bEnded = Run();
  const std::string out = ::testing::internal::GetCapturedStdout();
  ASSERT_TRUE(bEnded);
  EXPECT_EQ(out,
            "CQelUPnP::ReadRegInfo was called.\nQelUPnP:Service started\n"
            "QelUPnP::ReadCSQ() Failed.\n");
  // In service mode SERVICE_RUNNING is reported once the settings are read.
  EXPECT_EQ(qel::fault::Calls("SetServiceStatus"), 1);
  EXPECT_EQ(m_module.m_svcStatus.dwCurrentState, static_cast<DWORD>(SERVICE_RUNNING));
}

TEST_F(RunServiceTest, ForegroundReportsNoState) {
  Configure("<not a workspace");
  ASSERT_TRUE(Run());
  EXPECT_EQ(m_capture.Messages(),
            (std::vector<std::string>{"CQelUPnP::ReadRegInfo was called.", "QelUPnP:Service started", "QelUPnP::ReadCSQ() Failed."}));
  EXPECT_EQ(qel::fault::Calls("SetServiceStatus"), 0);
}

TEST_F(RunServiceTest, FailuresOfComAndTheDirectoryDoNotStopTheSequence) {
  qel::fault::Arm("CoInitialize", E_OUTOFMEMORY);
  qel::fault::Arm("GetModuleFileNameW", ERROR_NOT_ENOUGH_MEMORY);
  ASSERT_TRUE(Run());
  EXPECT_EQ(m_module.m_bstrModuleDir, nullptr);
  EXPECT_EQ(m_capture.Count("QelUPnP:Service started"), 1);
}

TEST_F(RunServiceTest, CreateDDDFailureEndsWithoutRegistration) {
  Configure(servicetest::kWorkspaceXml);
  servicetest::SetRegDword(HKEY_CLASSES_ROOT, kSettings, TEXT("LCID"), 0);
  qel::fault::Arm("CLSIDFromProgID", REGDB_E_CLASSNOTREG, 0, -1);
  ASSERT_TRUE(Run()) << "the message loop is not entered";
  EXPECT_EQ(m_capture.Messages(),
            (std::vector<std::string>{"CQelUPnP::ReadRegInfo was called.", "QelUPnP:Service started", "QelUPnP::CreateDDD() Failed."}));
  // LCID 0: no locale lookup, and the id becomes 1024.
  EXPECT_EQ(qel::fault::Calls("GetLocaleInfoW"), 0);
  EXPECT_EQ(m_module.m_dwLcid, 1024u);
  EXPECT_EQ(m_module.m_controllers.GetSize(), 2);
}

TEST_F(RunServiceTest, PriorityAndLocaleFailuresAreLoggedAndTheSequenceGoesOn) {
  Configure(servicetest::kWorkspaceXml);
  servicetest::SetRegDword(HKEY_CLASSES_ROOT, kSettings, TEXT("LCID"), 0x7FFF);  // no such locale
  qel::fault::Arm("SetPriorityClass", ERROR_ACCESS_DENIED);
  qel::fault::Arm("CLSIDFromProgID", REGDB_E_CLASSNOTREG, 0, -1);
  ASSERT_TRUE(Run());
  EXPECT_EQ(m_capture.Messages(),
            (std::vector<std::string>{"CQelUPnP::ReadRegInfo was called.", "QelUPnP:Service started", "QelUPnP:SetPriorityClass Failed.",
                                      "QelUPnP:GetLocaleInfo Failed.", "QelUPnP::CreateDDD() Failed."}));
  EXPECT_EQ(m_module.m_dwLcid, 1024u);
}

TEST_F(RunServiceTest, KnownLocaleSetsTheRuntimeLocaleAndPriorityIsApplied) {
  Configure(servicetest::kWorkspaceXml);
  servicetest::SetRegDword(HKEY_CLASSES_ROOT, kSettings, TEXT("LCID"), 0x409);
  servicetest::SetRegDword(HKEY_CLASSES_ROOT, kSettings, TEXT("ProcessPriority"), 0);
  qel::fault::Arm("CLSIDFromProgID", REGDB_E_CLASSNOTREG, 0, -1);
  ASSERT_TRUE(Run());
  EXPECT_EQ(m_capture.Count("QelUPnP:GetLocaleInfo Failed."), 0);
  EXPECT_EQ(m_capture.Count("QelUPnP:SetPriorityClass Failed."), 0);
  EXPECT_EQ(m_module.m_dwLcid, 0x409u);
  EXPECT_EQ(qel::fault::Calls("_wsetlocale"), 1);
  EXPECT_EQ(GetPriorityClass(GetCurrentProcess()), static_cast<DWORD>(IDLE_PRIORITY_CLASS));
}

TEST_F(RunServiceTest, RegistrationFailureEndsTheRun) {
  // A program directory of its own, so the description saved there is private;
  // the device-control class is not registered in the fresh store.
  if (!servicetest::InChild()) {
    qel::test::TempDir programDir;
    servicetest::ChildOptions options;
    options.programDir = programDir.path();
    EXPECT_EQ(servicetest::ChildRun(options), 0);
    return;
  }
  Configure(servicetest::kWorkspaceXml);
  ASSERT_TRUE(Run());
  EXPECT_EQ(m_capture.Messages(),
            (std::vector<std::string>{"CQelUPnP::ReadRegInfo was called.", "QelUPnP:Service started", "QelUPnP:egisterUPnPDevice() Failed."}));
  const std::string dir = qel::ToUtf8(m_module.m_bstrModuleDir);
  EXPECT_TRUE(std::filesystem::exists(dir + "QelUPnPDevice.xml"));
}

}  // namespace
