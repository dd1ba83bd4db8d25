// Object creation through the class store: in-process server libraries,
// built-in servers, local servers, ProgIDs, reference counts and unloading.
#include <dlfcn.h>
#include <gtest/gtest.h>

#include <filesystem>
#include <thread>

#include "com_test_util.h"
#include "qel/comobj.h"
#include "qel/fault.h"
#include "runtime.h"

namespace {

using namespace comtest;

// True while the dynamic loader holds the library (checked without loading it).
bool Loaded(const char* path) {
  void* h = dlopen(path, RTLD_NOW | RTLD_NOLOAD);
  if (!h) return false;
  dlclose(h);
  return true;
}

long ServerModuleCount() {
  void* h = dlopen(QEL_TEST_SERVER, RTLD_NOW | RTLD_NOLOAD);
  if (!h) return -1;
  auto fn = reinterpret_cast<long (*)()>(dlsym(h, "TestServerModuleCount"));
  const long n = fn ? fn() : -2;
  dlclose(h);
  return n;
}

class Activation : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(m_com.init(), S_OK);
    ASSERT_EQ(RegisterInproc(kClsidCounter, QEL_TEST_SERVER), ERROR_SUCCESS);
    ASSERT_EQ(RegisterInproc(kClsidAggregatable, QEL_TEST_SERVER), ERROR_SUCCESS);
  }
  void TearDown() override {
    CoFreeUnusedLibraries();
    qel::fault::Reset();
  }
  comtest::ComTest m_com;
};

TEST_F(Activation, InprocServerLibraryIsLoadedCountedAndUnloaded) {
  CoFreeUnusedLibraries();
  ASSERT_FALSE(Loaded(QEL_TEST_SERVER));
  ITestCounter* counter = nullptr;
  ASSERT_EQ(CoCreateInstance(kClsidCounter, nullptr, CLSCTX_INPROC_SERVER, kIidTestCounter,
                             reinterpret_cast<void**>(&counter)),
            S_OK);
  ASSERT_NE(counter, nullptr);
  EXPECT_TRUE(qel::com::IsLibraryLoadedForTests(QEL_TEST_SERVER));
  LONG v = 0;
  EXPECT_EQ(counter->Increment(&v), S_OK);
  EXPECT_EQ(v, 1);
  EXPECT_EQ(ServerModuleCount(), 1);  // the object; the factory is gone again

  // A second object shares the loaded library.
  IUnknown* second = nullptr;
  ASSERT_EQ(CoCreateInstance(kClsidCounter, nullptr, CLSCTX_ALL, IID_IUnknown, reinterpret_cast<void**>(&second)), S_OK);
  EXPECT_EQ(qel::com::LoadedLibraryCountForTests(), 1u);
  EXPECT_EQ(ServerModuleCount(), 2);

  // Reference counts: QueryInterface adds one, Release drops it.
  ITestCounter* again = nullptr;
  ASSERT_EQ(second->QueryInterface(kIidTestCounter, reinterpret_cast<void**>(&again)), S_OK);
  EXPECT_EQ(again->AddRef(), 3u);
  EXPECT_EQ(again->Release(), 2u);
  EXPECT_EQ(again->Release(), 1u);
  void* none = reinterpret_cast<void*>(0x1);
  EXPECT_EQ(second->QueryInterface(IID_IDispatch, &none), E_NOINTERFACE);
  EXPECT_EQ(none, nullptr);
  EXPECT_EQ(second->Release(), 0u);

  // Still referenced: CoFreeUnusedLibraries must keep it.
  CoFreeUnusedLibraries();
  EXPECT_TRUE(Loaded(QEL_TEST_SERVER));
  EXPECT_EQ(counter->Increment(&v), S_OK);
  EXPECT_EQ(v, 2);
  EXPECT_EQ(counter->Release(), 0u);
  EXPECT_EQ(ServerModuleCount(), 0);
  CoFreeUnusedLibraries();
  EXPECT_FALSE(Loaded(QEL_TEST_SERVER));
  EXPECT_EQ(qel::com::LoadedLibraryCountForTests(), 0u);
}

TEST_F(Activation, LockServerKeepsTheLibraryLoaded) {
  IClassFactory* factory = nullptr;
  ASSERT_EQ(CoGetClassObject(kClsidCounter, CLSCTX_INPROC_SERVER, nullptr, IID_IClassFactory,
                             reinterpret_cast<void**>(&factory)),
            S_OK);
  EXPECT_EQ(factory->LockServer(TRUE), S_OK);
  factory->Release();
  CoFreeUnusedLibraries();
  ASSERT_TRUE(Loaded(QEL_TEST_SERVER));
  ASSERT_EQ(CoGetClassObject(kClsidCounter, CLSCTX_INPROC_SERVER, nullptr, IID_IClassFactory,
                             reinterpret_cast<void**>(&factory)),
            S_OK);
  EXPECT_EQ(factory->LockServer(FALSE), S_OK);
  factory->Release();
  CoFreeUnusedLibraries();
  EXPECT_FALSE(Loaded(QEL_TEST_SERVER));
}

TEST_F(Activation, DeletedOrMissingRegistrationIsClassNotRegistered) {
  void* pv = reinterpret_cast<void*>(0x1);
  EXPECT_EQ(CoCreateInstance(kClsidUnknown, nullptr, CLSCTX_ALL, IID_IUnknown, &pv), REGDB_E_CLASSNOTREG);
  EXPECT_EQ(pv, nullptr);

  IUnknown* obj = nullptr;
  ASSERT_EQ(CoCreateInstance(kClsidCounter, nullptr, CLSCTX_INPROC_SERVER, IID_IUnknown, reinterpret_cast<void**>(&obj)), S_OK);
  obj->Release();
  ASSERT_EQ(DeleteClassesTree(u"CLSID\\" + GuidText(kClsidCounter)), ERROR_SUCCESS);
  pv = reinterpret_cast<void*>(0x1);
  EXPECT_EQ(CoCreateInstance(kClsidCounter, nullptr, CLSCTX_INPROC_SERVER, IID_IUnknown, &pv), REGDB_E_CLASSNOTREG);
  EXPECT_EQ(pv, nullptr);

  // The key without its server entry, or with an empty one, is not a registration either.
  ASSERT_EQ(SetClassesDefault(u"CLSID\\" + GuidText(kClsidCounter), u"Counter"), ERROR_SUCCESS);
  EXPECT_EQ(CoCreateInstance(kClsidCounter, nullptr, CLSCTX_ALL, IID_IUnknown, &pv), REGDB_E_CLASSNOTREG);
  ASSERT_EQ(RegisterInproc(kClsidCounter, ""), ERROR_SUCCESS);
  EXPECT_EQ(CoCreateInstance(kClsidCounter, nullptr, CLSCTX_ALL, IID_IUnknown, &pv), REGDB_E_CLASSNOTREG);
}

TEST_F(Activation, ContextsSelectTheServerEntry) {
  void* pv = reinterpret_cast<void*>(0x1);
  // Registered in process only: a local-server request does not find it.
  EXPECT_EQ(CoCreateInstance(kClsidCounter, nullptr, CLSCTX_LOCAL_SERVER, IID_IUnknown, &pv), REGDB_E_CLASSNOTREG);
  EXPECT_EQ(pv, nullptr);
  EXPECT_EQ(CoCreateInstance(kClsidCounter, nullptr, 0, IID_IUnknown, &pv), E_INVALIDARG);
  EXPECT_EQ(CoCreateInstance(kClsidCounter, nullptr, CLSCTX_INPROC_SERVER, IID_IUnknown, nullptr), E_POINTER);

  // A local server naming an executable cannot be started here.
  ASSERT_EQ(RegisterLocal(kClsidUnknown, "/usr/bin/true -Embedding"), ERROR_SUCCESS);
  pv = reinterpret_cast<void*>(0x1);
  EXPECT_EQ(CoCreateInstance(kClsidUnknown, nullptr, CLSCTX_LOCAL_SERVER, IID_IUnknown, &pv), CO_E_SERVER_EXEC_FAILURE);
  EXPECT_EQ(pv, nullptr);
  EXPECT_NE(qel::com::LastActivationError().find("not supported"), std::string::npos);
  // CLSCTX_ALL tries in process first (nothing there), then the local server.
  EXPECT_EQ(CoCreateInstance(kClsidUnknown, nullptr, CLSCTX_ALL, IID_IUnknown, &pv), CO_E_SERVER_EXEC_FAILURE);
  EXPECT_EQ(CoCreateInstance(kClsidUnknown, nullptr, CLSCTX_INPROC_SERVER, IID_IUnknown, &pv), REGDB_E_CLASSNOTREG);

  // With both entries, CLSCTX_SERVER takes the in-process one.
  ASSERT_EQ(RegisterLocal(kClsidCounter, "/usr/bin/true"), ERROR_SUCCESS);
  IUnknown* obj = nullptr;
  ASSERT_EQ(CoCreateInstance(kClsidCounter, nullptr, CLSCTX_SERVER, IID_IUnknown, reinterpret_cast<void**>(&obj)), S_OK);
  obj->Release();
}

TEST_F(Activation, LibrariesThatCannotBeUsedGiveTheirCodesAndTheLoaderText) {
  void* pv = reinterpret_cast<void*>(0x1);
  qel::test::TempDir dir;
  const std::string missing = (dir.path() / "libabsent.so").string();
  ASSERT_EQ(RegisterInproc(kClsidUnknown, missing), ERROR_SUCCESS);
  EXPECT_EQ(CoCreateInstance(kClsidUnknown, nullptr, CLSCTX_INPROC_SERVER, IID_IUnknown, &pv), CO_E_DLLNOTFOUND);
  EXPECT_EQ(pv, nullptr);
  EXPECT_NE(qel::com::LastActivationError().find("libabsent.so"), std::string::npos);

  const std::string garbage = (dir.path() / "libgarbage.so").string();
  qel::test::WriteFile(garbage, "this is not an ELF object\n");
  ASSERT_EQ(RegisterInproc(kClsidUnknown, garbage), ERROR_SUCCESS);
  pv = reinterpret_cast<void*>(0x1);
  EXPECT_EQ(CoCreateInstance(kClsidUnknown, nullptr, CLSCTX_INPROC_SERVER, IID_IUnknown, &pv), CO_E_ERRORINDLL);
  EXPECT_EQ(pv, nullptr);
  EXPECT_FALSE(qel::com::LastActivationError().empty());

  ASSERT_EQ(RegisterInproc(kClsidUnknown, QEL_TEST_UNRESOLVED), ERROR_SUCCESS);
  EXPECT_EQ(CoCreateInstance(kClsidUnknown, nullptr, CLSCTX_INPROC_SERVER, IID_IUnknown, &pv), CO_E_ERRORINDLL);
  EXPECT_NE(qel::com::LastActivationError().find("comtest_symbol_defined_nowhere"), std::string::npos)
      << qel::com::LastActivationError();

  ASSERT_EQ(RegisterInproc(kClsidUnknown, QEL_TEST_NOENTRY), ERROR_SUCCESS);
  EXPECT_EQ(CoCreateInstance(kClsidUnknown, nullptr, CLSCTX_INPROC_SERVER, IID_IUnknown, &pv), CO_E_ERRORINDLL);
  EXPECT_NE(qel::com::LastActivationError().find("DllGetClassObject"), std::string::npos);
  EXPECT_FALSE(Loaded(QEL_TEST_NOENTRY));  // not kept loaded

  // A library that does not serve the class.
  ASSERT_EQ(RegisterInproc(kClsidUnknown, QEL_TEST_SERVER), ERROR_SUCCESS);
  EXPECT_EQ(CoCreateInstance(kClsidUnknown, nullptr, CLSCTX_INPROC_SERVER, IID_IUnknown, &pv), CLASS_E_CLASSNOTAVAILABLE);
  EXPECT_EQ(pv, nullptr);
}

TEST_F(Activation, QuotedAndExpandableServerPaths) {
  const std::filesystem::path server(QEL_TEST_SERVER);
  ASSERT_EQ(RegisterInproc(kClsidCounter, "\"" + server.string() + "\""), ERROR_SUCCESS);
  IUnknown* obj = nullptr;
  ASSERT_EQ(CoCreateInstance(kClsidCounter, nullptr, CLSCTX_INPROC_SERVER, IID_IUnknown, reinterpret_cast<void**>(&obj)), S_OK);
  obj->Release();
  setenv("QEL_COMTEST_SERVER_DIR", server.parent_path().c_str(), 1);
  ASSERT_EQ(SetClassesDefault(u"CLSID\\" + GuidText(kClsidCounter) + u"\\InprocServer32",
                              qel::FromUtf8("%QEL_COMTEST_SERVER_DIR%/" + server.filename().string()), REG_EXPAND_SZ),
            ERROR_SUCCESS);
  ASSERT_EQ(CoCreateInstance(kClsidCounter, nullptr, CLSCTX_INPROC_SERVER, IID_IUnknown, reinterpret_cast<void**>(&obj)), S_OK);
  obj->Release();
  unsetenv("QEL_COMTEST_SERVER_DIR");
}

TEST_F(Activation, AggregationOnlyWhereTheServerSupportsIt) {
  class Outer final : public qel::ComObject<Outer, IRunnableObject> {
   public:
    HRESULT STDMETHODCALLTYPE GetRunningClass(LPCLSID) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE Run(LPBINDCTX) override { return S_OK; }
    BOOL STDMETHODCALLTYPE IsRunning() override { return TRUE; }
    HRESULT STDMETHODCALLTYPE LockRunning(BOOL, BOOL) override { return S_OK; }
    HRESULT STDMETHODCALLTYPE SetContainedObject(BOOL) override { return S_OK; }
  };
  auto outer = qel::MakeComObject<Outer>();
  void* pv = reinterpret_cast<void*>(0x1);
  EXPECT_EQ(CoCreateInstance(kClsidCounter, outer->GetUnknown(), CLSCTX_INPROC_SERVER, IID_IUnknown, &pv),
            CLASS_E_NOAGGREGATION);
  EXPECT_EQ(pv, nullptr);

  IUnknown* inner = nullptr;
  ASSERT_EQ(CoCreateInstance(kClsidAggregatable, outer->GetUnknown(), CLSCTX_INPROC_SERVER, IID_IUnknown,
                             reinterpret_cast<void**>(&inner)),
            S_OK);
  ITestCounter* counter = nullptr;
  ASSERT_EQ(inner->QueryInterface(kIidTestCounter, reinterpret_cast<void**>(&counter)), S_OK);
  EXPECT_EQ(counter->Outer(), outer->GetUnknown());
  // The inner object's interfaces count on the outer object.
  EXPECT_EQ(outer->RefCountForTests(), 2u);
  counter->Release();
  EXPECT_EQ(outer->RefCountForTests(), 1u);
  EXPECT_EQ(inner->Release(), 0u);
}

TEST_F(Activation, OleRunRunsRunnableObjectsAndAcceptsOthers) {
  ITestCounter* counter = nullptr;
  ASSERT_EQ(CoCreateInstance(kClsidCounter, nullptr, CLSCTX_ALL, kIidTestCounter, reinterpret_cast<void**>(&counter)), S_OK);
  EXPECT_EQ(OleRun(counter), S_OK);
  LONG runs = 0;
  EXPECT_EQ(counter->RunCount(&runs), S_OK);
  EXPECT_EQ(runs, 1);
  counter->Release();

  IUnknown* plain = nullptr;
  ASSERT_EQ(CoCreateInstance(kClsidAggregatable, nullptr, CLSCTX_ALL, IID_IUnknown, reinterpret_cast<void**>(&plain)), S_OK);
  EXPECT_EQ(OleRun(plain), S_OK);
  plain->Release();
  EXPECT_EQ(OleRun(nullptr), E_INVALIDARG);
}

TEST_F(Activation, BuiltinServersAreFoundByName) {
  // The store is seeded with the DOM document classes under the built-in server.
  constexpr CLSID kDomDocument40 = {0x88D969C0, 0xF192, 0x11D4, {0xA6, 0x5F, 0x00, 0x40, 0x96, 0x32, 0x51, 0xE5}};
  qel::u16 server;
  ASSERT_EQ(qel::com::ReadClassesDefault(u"CLSID\\" + GuidText(kDomDocument40) + u"\\InprocServer32", &server), S_OK);
  EXPECT_EQ(server, u"qel-builtin:msxml");
  IUnknown* doc = nullptr;
  const HRESULT hr = CoCreateInstance(kDomDocument40, nullptr, CLSCTX_ALL, IID_IUnknown, reinterpret_cast<void**>(&doc));
  // Whether the DOM is built into this platform or not, the class is registered.
  EXPECT_TRUE(hr == S_OK || hr == CLASS_E_CLASSNOTAVAILABLE) << std::hex << hr;
  if (doc) doc->Release();
  ASSERT_EQ(DeleteClassesTree(u"CLSID\\" + GuidText(kDomDocument40)), ERROR_SUCCESS);
  EXPECT_EQ(CoCreateInstance(kDomDocument40, nullptr, CLSCTX_ALL, IID_IUnknown, reinterpret_cast<void**>(&doc)),
            REGDB_E_CLASSNOTREG);

  void* pv = reinterpret_cast<void*>(0x1);
  ASSERT_EQ(RegisterInproc(kClsidUnknown, "qel-builtin:nosuchserver"), ERROR_SUCCESS);
  EXPECT_EQ(CoCreateInstance(kClsidUnknown, nullptr, CLSCTX_INPROC_SERVER, IID_IUnknown, &pv), CO_E_DLLNOTFOUND);
  EXPECT_EQ(pv, nullptr);
}

TEST_F(Activation, FaultSeamFailsCreation) {
  qel::fault::Arm("CoCreateInstance", E_OUTOFMEMORY);
  void* pv = reinterpret_cast<void*>(0x1);
  EXPECT_EQ(CoCreateInstance(kClsidCounter, nullptr, CLSCTX_ALL, IID_IUnknown, &pv), E_OUTOFMEMORY);
  EXPECT_EQ(pv, nullptr);
  IUnknown* obj = nullptr;
  EXPECT_EQ(CoCreateInstance(kClsidCounter, nullptr, CLSCTX_ALL, IID_IUnknown, reinterpret_cast<void**>(&obj)), S_OK);
  obj->Release();
  qel::fault::Arm("RegOpenKeyExW", ERROR_ACCESS_DENIED);
  EXPECT_EQ(CoCreateInstance(kClsidCounter, nullptr, CLSCTX_ALL, IID_IUnknown, &pv), REGDB_E_READREGDB);
  EXPECT_EQ(pv, nullptr);
}

// ---- ProgIDs -------------------------------------------------------------------

TEST_F(Activation, ProgIdsFollowCurVerAndMapBack) {
  ASSERT_EQ(SetClassesDefault(u"QelTest.Counter.1\\CLSID", GuidText(kClsidCounter)), ERROR_SUCCESS);
  ASSERT_EQ(SetClassesDefault(u"QelTest.Counter\\CurVer", u"QelTest.Counter.1"), ERROR_SUCCESS);
  ASSERT_EQ(SetClassesDefault(u"CLSID\\" + GuidText(kClsidCounter) + u"\\ProgID", u"QelTest.Counter.1"), ERROR_SUCCESS);

  CLSID c{};
  ASSERT_EQ(CLSIDFromProgID(u"QelTest.Counter.1", &c), S_OK);
  EXPECT_TRUE(c == kClsidCounter);
  c = CLSID_NULL;
  ASSERT_EQ(CLSIDFromProgID(u"qeltest.counter", &c), S_OK);  // names are case-insensitive
  EXPECT_TRUE(c == kClsidCounter);
  c = CLSID_NULL;
  ASSERT_EQ(CLSIDFromString(u"QelTest.Counter", &c), S_OK);
  EXPECT_TRUE(c == kClsidCounter);

  // A ProgID with a CLSID of its own does not follow CurVer.
  ASSERT_EQ(SetClassesDefault(u"QelTest.Counter\\CLSID", GuidText(kClsidAggregatable)), ERROR_SUCCESS);
  ASSERT_EQ(CLSIDFromProgID(u"QelTest.Counter", &c), S_OK);
  EXPECT_TRUE(c == kClsidAggregatable);

  LPOLESTR progId = nullptr;
  ASSERT_EQ(ProgIDFromCLSID(kClsidCounter, &progId), S_OK);
  EXPECT_EQ(qel::u16(progId), u"QelTest.Counter.1");
  CoTaskMemFree(progId);
  EXPECT_EQ(ProgIDFromCLSID(kClsidUnknown, &progId), REGDB_E_CLASSNOTREG);
  EXPECT_EQ(progId, nullptr);
}

TEST_F(Activation, BadProgIdsAreInvalidClassStrings) {
  CLSID c = kClsidCounter;
  EXPECT_EQ(CLSIDFromProgID(u"QelTest.Nothing", &c), CO_E_CLASSSTRING);
  EXPECT_TRUE(c == CLSID_NULL);
  EXPECT_EQ(CLSIDFromProgID(nullptr, &c), E_INVALIDARG);
  EXPECT_EQ(CLSIDFromProgID(u"QelTest.Nothing", nullptr), E_INVALIDARG);
  // A CLSID value that is not a class string.
  ASSERT_EQ(SetClassesDefault(u"QelTest.Broken\\CLSID", u"not-a-guid"), ERROR_SUCCESS);
  EXPECT_EQ(CLSIDFromProgID(u"QelTest.Broken", &c), CO_E_CLASSSTRING);
  // CurVer chains that loop or lead nowhere end with an error, not a hang.
  ASSERT_EQ(SetClassesDefault(u"QelTest.LoopA\\CurVer", u"QelTest.LoopB"), ERROR_SUCCESS);
  ASSERT_EQ(SetClassesDefault(u"QelTest.LoopB\\CurVer", u"QelTest.LoopA"), ERROR_SUCCESS);
  EXPECT_EQ(CLSIDFromProgID(u"QelTest.LoopA", &c), CO_E_CLASSSTRING);
  ASSERT_EQ(SetClassesDefault(u"QelTest.Self\\CurVer", u"QelTest.Self"), ERROR_SUCCESS);
  EXPECT_EQ(CLSIDFromProgID(u"QelTest.Self", &c), CO_E_CLASSSTRING);
  ASSERT_EQ(SetClassesDefault(u"QelTest.Dangling\\CurVer", u"QelTest.Dangling.9"), ERROR_SUCCESS);
  EXPECT_EQ(CLSIDFromProgID(u"QelTest.Dangling", &c), CO_E_CLASSSTRING);
}

// ---- Registered class objects ---------------------------------------------------------

class CountingFactory final : public qel::ComObject<CountingFactory, IClassFactory> {
 public:
  HRESULT STDMETHODCALLTYPE CreateInstance(IUnknown* pUnkOuter, REFIID riid, void** ppv) override {
    *ppv = nullptr;
    if (pUnkOuter) return CLASS_E_NOAGGREGATION;
    ++m_created;
    auto obj = qel::MakeComObject<CountingFactory>();
    return obj->QueryInterface(riid, ppv);
  }
  HRESULT STDMETHODCALLTYPE LockServer(BOOL) override { return S_OK; }
  int m_created = 0;
};

TEST_F(Activation, RegisteredClassObjectsComeFirstAndGoWhenRevoked) {
  auto factory = qel::MakeComObject<CountingFactory>();
  DWORD cookie = 0;
  ASSERT_EQ(CoRegisterClassObject(kClsidCounter, factory.Get(), CLSCTX_LOCAL_SERVER, REGCLS_MULTIPLEUSE, &cookie), S_OK);
  EXPECT_NE(cookie, 0u);
  EXPECT_EQ(factory->RefCountForTests(), 2u);
  DWORD again = 0;
  EXPECT_EQ(CoRegisterClassObject(kClsidCounter, factory.Get(), CLSCTX_LOCAL_SERVER, REGCLS_MULTIPLEUSE, &again),
            CO_E_OBJISREG);

  IUnknown* obj = nullptr;
  ASSERT_EQ(CoCreateInstance(kClsidCounter, nullptr, CLSCTX_LOCAL_SERVER, IID_IUnknown, reinterpret_cast<void**>(&obj)), S_OK);
  obj->Release();
  // A multiple-use local server also serves its own process in process, ahead of the store.
  ASSERT_EQ(CoCreateInstance(kClsidCounter, nullptr, CLSCTX_INPROC_SERVER, IID_IUnknown, reinterpret_cast<void**>(&obj)), S_OK);
  obj->Release();
  EXPECT_EQ(factory->m_created, 2);

  EXPECT_EQ(CoRevokeClassObject(cookie), S_OK);
  EXPECT_EQ(factory->RefCountForTests(), 1u);
  EXPECT_EQ(CoRevokeClassObject(cookie), CO_E_OBJNOTREG);
  EXPECT_EQ(CoRevokeClassObject(0xDEAD), CO_E_OBJNOTREG);
  void* pv = reinterpret_cast<void*>(0x1);
  EXPECT_EQ(CoCreateInstance(kClsidCounter, nullptr, CLSCTX_LOCAL_SERVER, IID_IUnknown, &pv), REGDB_E_CLASSNOTREG);
  EXPECT_EQ(pv, nullptr);
}

TEST_F(Activation, SingleUseSuspendedAndWrongThread) {
  auto factory = qel::MakeComObject<CountingFactory>();
  DWORD cookie = 0;
  ASSERT_EQ(CoRegisterClassObject(kClsidUnknown, factory.Get(), CLSCTX_LOCAL_SERVER, REGCLS_SINGLEUSE, &cookie), S_OK);
  IUnknown* obj = nullptr;
  ASSERT_EQ(CoCreateInstance(kClsidUnknown, nullptr, CLSCTX_LOCAL_SERVER, IID_IUnknown, reinterpret_cast<void**>(&obj)), S_OK);
  obj->Release();
  void* pv = nullptr;
  EXPECT_EQ(CoCreateInstance(kClsidUnknown, nullptr, CLSCTX_LOCAL_SERVER, IID_IUnknown, &pv), REGDB_E_CLASSNOTREG);
  EXPECT_EQ(CoRevokeClassObject(cookie), S_OK);

  ASSERT_EQ(CoRegisterClassObject(kClsidUnknown, factory.Get(), CLSCTX_LOCAL_SERVER,
                                  REGCLS_MULTIPLEUSE | REGCLS_SUSPENDED, &cookie),
            S_OK);
  EXPECT_EQ(CoCreateInstance(kClsidUnknown, nullptr, CLSCTX_LOCAL_SERVER, IID_IUnknown, &pv), REGDB_E_CLASSNOTREG);
  EXPECT_EQ(CoResumeClassObjects(), S_OK);
  ASSERT_EQ(CoCreateInstance(kClsidUnknown, nullptr, CLSCTX_LOCAL_SERVER, IID_IUnknown, reinterpret_cast<void**>(&obj)), S_OK);
  obj->Release();

  HRESULT hrOther = E_FAIL;
  std::thread([&] {
    CoInitialize(nullptr);
    hrOther = CoRevokeClassObject(cookie);
    CoUninitialize();
  }).join();
  EXPECT_EQ(hrOther, RPC_E_WRONG_THREAD);
  EXPECT_EQ(CoRevokeClassObject(cookie), S_OK);
  EXPECT_EQ(factory->RefCountForTests(), 1u);
}

TEST(ClassObjects, LeavingTheApartmentRevokesItsRegistrations) {
  qel::test::ScopedStateDir state;
  auto factory = qel::MakeComObject<CountingFactory>();
  std::thread([&] {
    ASSERT_EQ(CoInitialize(nullptr), S_OK);
    DWORD cookie = 0;
    ASSERT_EQ(CoRegisterClassObject(kClsidUnknown, factory.Get(), CLSCTX_LOCAL_SERVER, REGCLS_MULTIPLEUSE, &cookie), S_OK);
    EXPECT_EQ(factory->RefCountForTests(), 2u);
    CoUninitialize();
    EXPECT_EQ(factory->RefCountForTests(), 1u);
  }).join();
  std::thread([] {
    ASSERT_EQ(CoInitialize(nullptr), S_OK);
    void* pv = nullptr;
    EXPECT_EQ(CoCreateInstance(kClsidUnknown, nullptr, CLSCTX_LOCAL_SERVER, IID_IUnknown, &pv), REGDB_E_CLASSNOTREG);
    CoUninitialize();
  }).join();
}

}  // namespace

namespace {

// Creation from several threads while another keeps unloading unused libraries:
// an object handed out is always usable, and the library goes only when unused.
TEST(ServerLibraries, ConcurrentCreationAndUnloading) {
  qel::test::ScopedStateDir state;
  ASSERT_EQ(comtest::RegisterInproc(comtest::kClsidCounter, QEL_TEST_SERVER), ERROR_SUCCESS);
  std::atomic<bool> stop{false};
  std::atomic<int> failures{0};
  std::thread unloader([&] {
    while (!stop) CoFreeUnusedLibraries();
  });
  std::vector<std::thread> workers;
  for (int t = 0; t < 3; ++t) {
    workers.emplace_back([&] {
      if (FAILED(CoInitializeEx(nullptr, COINIT_MULTITHREADED))) {
        ++failures;
        return;
      }
      for (int i = 0; i < 150; ++i) {
        comtest::ITestCounter* counter = nullptr;
        if (FAILED(CoCreateInstance(comtest::kClsidCounter, nullptr, CLSCTX_INPROC_SERVER, comtest::kIidTestCounter,
                                    reinterpret_cast<void**>(&counter)))) {
          ++failures;
          continue;
        }
        LONG v = 0;
        if (counter->Increment(&v) != S_OK || v != 1) ++failures;
        counter->Release();
      }
      CoUninitialize();
    });
  }
  for (auto& w : workers) w.join();
  stop = true;
  unloader.join();
  EXPECT_EQ(failures.load(), 0);
  CoFreeUnusedLibraries();
  EXPECT_EQ(qel::com::LoadedLibraryCountForTests(), 0u);
}

}  // namespace
