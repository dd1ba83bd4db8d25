// An in-process server for the COM runtime's tests. It counts its live
// objects for DllCanUnloadNow, offers a runnable object for OleRun, a class
// that supports aggregation, and registration entry points whose result and
// trace are set through the environment:
//   QEL_TESTSERVER_TRACE   file that receives one line per registration call
//   QEL_TESTSERVER_RESULT  HRESULT (hex) that the registration calls return
#include <cstdio>
#include <cstdlib>

#include "qel/comobj.h"
#include "test_server.h"

static constexpr const CLSID& kClsidCounter = kClsidTestCounter;
static constexpr const CLSID& kClsidAggregatable = kClsidTestAggregatable;

QEL_COM_INTERFACE(ITestCounter, IUnknown, kIidTestCounter);

static qel::ModuleCount g_module;

namespace {

class CCounter final : public qel::ComObject<CCounter, ITestCounter, IRunnableObject> {
 public:
  HRESULT STDMETHODCALLTYPE Increment(LONG* pValue) override {
    if (!pValue) return E_POINTER;
    *pValue = ++m_value;
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE RunCount(LONG* pValue) override {
    if (!pValue) return E_POINTER;
    *pValue = m_runs;
    return S_OK;
  }
  IUnknown* STDMETHODCALLTYPE Outer() override { return nullptr; }

  HRESULT STDMETHODCALLTYPE GetRunningClass(LPCLSID lpClsid) override {
    if (!lpClsid) return E_INVALIDARG;
    *lpClsid = kClsidCounter;
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE Run(LPBINDCTX) override {
    ++m_runs;
    return S_OK;
  }
  BOOL STDMETHODCALLTYPE IsRunning() override { return m_runs > 0; }
  HRESULT STDMETHODCALLTYPE LockRunning(BOOL, BOOL) override { return S_OK; }
  HRESULT STDMETHODCALLTYPE SetContainedObject(BOOL) override { return S_OK; }

 private:
  qel::ModuleRef m_moduleRef{g_module};
  LONG m_value = 0;
  LONG m_runs = 0;
};

// Aggregatable: its non-delegating IUnknown is what the creator gets; its
// ITestCounter delegates IUnknown calls to the outer object.
class CAggregated final : public ITestCounter {
 public:
  explicit CAggregated(IUnknown* outer) : m_outer(outer ? outer : &m_inner), m_inner(this) {}

  IUnknown* Inner() { return &m_inner; }

  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** ppv) override { return m_outer->QueryInterface(riid, ppv); }
  ULONG STDMETHODCALLTYPE AddRef() override { return m_outer->AddRef(); }
  ULONG STDMETHODCALLTYPE Release() override { return m_outer->Release(); }
  HRESULT STDMETHODCALLTYPE Increment(LONG* pValue) override {
    if (!pValue) return E_POINTER;
    *pValue = ++m_value;
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE RunCount(LONG* pValue) override {
    if (!pValue) return E_POINTER;
    *pValue = 0;
    return S_OK;
  }
  IUnknown* STDMETHODCALLTYPE Outer() override { return m_outer == &m_inner ? nullptr : m_outer; }

 private:
  struct NonDelegating final : public IUnknown {
    explicit NonDelegating(CAggregated* self) : m_self(self) {}
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** ppv) override {
      if (!ppv) return E_POINTER;
      *ppv = nullptr;
      if (riid == qel::IidOf<IUnknown>()) {
        *ppv = static_cast<IUnknown*>(this);
      } else if (riid == kIidTestCounter) {
        *ppv = static_cast<ITestCounter*>(m_self);
      } else {
        return E_NOINTERFACE;
      }
      // The outer object's reference covers a handed-out ITestCounter.
      static_cast<IUnknown*>(*ppv)->AddRef();
      return S_OK;
    }
    ULONG STDMETHODCALLTYPE AddRef() override { return ++m_refs; }
    ULONG STDMETHODCALLTYPE Release() override {
      const ULONG left = --m_refs;
      if (left == 0) delete m_self;
      return left;
    }
    CAggregated* m_self;
    std::atomic<ULONG> m_refs{0};
  };

  IUnknown* m_outer;
  NonDelegating m_inner;
  qel::ModuleRef m_moduleRef{g_module};
  LONG m_value = 0;
};

class CAggregatableFactory final : public qel::ComObject<CAggregatableFactory, IClassFactory> {
 public:
  HRESULT STDMETHODCALLTYPE CreateInstance(IUnknown* pUnkOuter, REFIID riid, void** ppv) override {
    if (!ppv) return E_POINTER;
    *ppv = nullptr;
    if (pUnkOuter && riid != qel::IidOf<IUnknown>()) return CLASS_E_NOAGGREGATION;
    auto* obj = new (std::nothrow) CAggregated(pUnkOuter);
    if (!obj) return E_OUTOFMEMORY;
    IUnknown* inner = obj->Inner();
    inner->AddRef();
    const HRESULT hr = inner->QueryInterface(riid, ppv);
    inner->Release();
    return hr;
  }
  HRESULT STDMETHODCALLTYPE LockServer(BOOL fLock) override {
    if (fLock)
      g_module.Lock();
    else
      g_module.Unlock();
    return S_OK;
  }

 private:
  qel::ModuleRef m_moduleRef{g_module};
};

HRESULT Registration(const char* what) {
  if (const char* trace = std::getenv("QEL_TESTSERVER_TRACE")) {
    if (FILE* f = std::fopen(trace, "a")) {
      std::fprintf(f, "%s\n", what);
      std::fclose(f);
    }
  }
  if (const char* result = std::getenv("QEL_TESTSERVER_RESULT"))
    return static_cast<HRESULT>(std::strtoul(result, nullptr, 16));
  return S_OK;
}

}  // namespace

extern "C" __attribute__((visibility("default"))) HRESULT DllGetClassObject(REFCLSID rclsid, REFIID riid, void** ppv) {
  if (!ppv) return E_POINTER;
  *ppv = nullptr;
  if (rclsid == kClsidCounter) return qel::GetClassFactory<CCounter>(g_module, riid, ppv);
  if (rclsid == kClsidAggregatable) {
    qel::ComPtr<CAggregatableFactory> factory = qel::MakeComObject<CAggregatableFactory>();
    if (!factory) return E_OUTOFMEMORY;
    return factory->QueryInterface(riid, ppv);
  }
  return CLASS_E_CLASSNOTAVAILABLE;
}

extern "C" __attribute__((visibility("default"))) HRESULT DllCanUnloadNow() { return g_module.CanUnloadNow(); }
extern "C" __attribute__((visibility("default"))) HRESULT DllRegisterServer() { return Registration("register"); }
extern "C" __attribute__((visibility("default"))) HRESULT DllUnregisterServer() { return Registration("unregister"); }
// How many objects and locks keep the library loaded (for the tests).
extern "C" __attribute__((visibility("default"))) long TestServerModuleCount() { return g_module.Count(); }
