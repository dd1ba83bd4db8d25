// Object creation: registered class objects first, then the class store
// (InprocServer32, then LocalServer32), then CreateInstance on the factory.
#include <algorithm>
#include <mutex>
#include <vector>

#include "qel/builtins.h"
#include "qel/fault.h"
#include "qel/kernel.h"
#include "runtime.h"

namespace qel::com {
namespace {

constexpr DWORD kServerContexts = CLSCTX_INPROC_SERVER | CLSCTX_INPROC_HANDLER | CLSCTX_LOCAL_SERVER |
                                  CLSCTX_REMOTE_SERVER;

struct Registration {
  DWORD dwCookie = 0;
  CLSID clsid{};
  IUnknown* pUnk = nullptr;  // one reference held by the table
  DWORD dwContext = 0;       // contexts the object answers for
  DWORD dwFlags = 0;
  std::uint64_t apartment = 0;
  bool bSuspended = false;
  bool bUsed = false;  // a single-use object already handed out
};

std::mutex g_regMutex;
std::vector<Registration> g_registrations;
DWORD g_nextCookie = 0;

bool Answers(const Registration& r, REFCLSID clsid, DWORD ctx) {
  return r.clsid == clsid && !r.bSuspended && !r.bUsed && (r.dwContext & ctx) != 0;
}

// A registered class object for clsid, AddRef'd, or null.
IUnknown* FindRegistered(REFCLSID clsid, DWORD ctx) {
  std::lock_guard lock(g_regMutex);
  for (Registration& r : g_registrations) {
    if (!Answers(r, clsid, ctx)) continue;
    r.pUnk->AddRef();
    if ((r.dwFlags & (REGCLS_MULTIPLEUSE | REGCLS_MULTI_SEPARATE)) == 0) r.bUsed = true;
    return r.pUnk;
  }
  return nullptr;
}

qel::u16 Unquote(qel::u16 text) {
  const auto first = text.find_first_not_of(u" \t");
  if (first == qel::u16::npos) return {};
  text.erase(0, first);
  while (!text.empty() && (text.back() == u' ' || text.back() == u'\t')) text.pop_back();
  if (text.size() >= 2 && text.front() == u'"' && text.back() == u'"') text = text.substr(1, text.size() - 2);
  return text;
}

bool IsBuiltin(const qel::u16& server, qel::u16view* name) {
  const auto prefix = qel::builtins::kBuiltinPrefix;
  if (server.size() < prefix.size() || !qel::EqualsNoCase(qel::u16view(server).substr(0, prefix.size()), prefix))
    return false;
  *name = qel::u16view(server).substr(prefix.size());
  return true;
}

HRESULT FromBuiltin(qel::u16view name, REFCLSID clsid, REFIID riid, void** ppv) {
  const qel::builtins::GetClassObjectFn fn = qel::builtins::FindServer(name);
  if (!fn) {
    SetLastActivationError("no built-in server named \"" + qel::ToUtf8(name) + "\"");
    return CO_E_DLLNOTFOUND;
  }
  const HRESULT hr = fn(clsid, riid, ppv);
  if (FAILED(hr)) *ppv = nullptr;
  SetLastActivationError(SUCCEEDED(hr) ? std::string() : "the built-in server refused the class");
  return hr;
}

HRESULT ActivateInproc(const qel::u16& server, REFCLSID clsid, REFIID riid, void** ppv) {
  qel::u16view builtin;
  if (IsBuiltin(server, &builtin)) return FromBuiltin(builtin, clsid, riid, ppv);
  return GetClassObjectFromLibrary(qel::ToUtf8(server), clsid, riid, ppv);
}

HRESULT ActivateLocal(const qel::u16& server, REFCLSID clsid, REFIID riid, void** ppv) {
  qel::u16view builtin;
  // The platform's own local servers run inside the calling process.
  if (IsBuiltin(server, &builtin)) return FromBuiltin(builtin, clsid, riid, ppv);
  const std::string text = "cannot start local server " + qel::ToUtf8(server) +
                           ": out-of-process activation of an executable is not supported on this platform";
  SetLastActivationError(text);
  OutputDebugStringW(qel::FromUtf8("COM: " + text + "\n").c_str());
  return CO_E_SERVER_EXEC_FAILURE;
}

HRESULT GetClassObjectImpl(REFCLSID rclsid, DWORD dwClsContext, LPVOID pvServerInfo, REFIID riid, void** ppv) {
  if (!ppv) return E_INVALIDARG;
  *ppv = nullptr;
  if (!InApartment()) return CO_E_NOTINITIALIZED;
  if (pvServerInfo) return E_NOTIMPL;  // no remote machines
  const DWORD ctx = dwClsContext & kServerContexts;
  if (ctx == 0) return E_INVALIDARG;

  if (IUnknown* registered = FindRegistered(rclsid, ctx)) {
    const HRESULT hr = registered->QueryInterface(riid, ppv);
    registered->Release();
    if (FAILED(hr)) *ppv = nullptr;
    return hr;
  }

  const qel::u16 classKey = u"CLSID\\" + GuidToString(rclsid);
  HRESULT hrInproc = REGDB_E_CLASSNOTREG;
  if (ctx & CLSCTX_INPROC_SERVER) {
    qel::u16 server;
    hrInproc = ReadClassesDefault(classKey + u"\\InprocServer32", &server);
    if (SUCCEEDED(hrInproc)) {
      server = Unquote(server);
      hrInproc = server.empty() ? REGDB_E_CLASSNOTREG : ActivateInproc(server, rclsid, riid, ppv);
      if (SUCCEEDED(hrInproc)) return hrInproc;
    }
  }
  HRESULT hrLocal = REGDB_E_CLASSNOTREG;
  if (ctx & (CLSCTX_LOCAL_SERVER | CLSCTX_REMOTE_SERVER)) {
    qel::u16 server;
    hrLocal = ReadClassesDefault(classKey + u"\\LocalServer32", &server);
    if (SUCCEEDED(hrLocal)) {
      server = Unquote(server);
      hrLocal = server.empty() ? REGDB_E_CLASSNOTREG : ActivateLocal(server, rclsid, riid, ppv);
      if (SUCCEEDED(hrLocal)) return hrLocal;
    }
  }
  *ppv = nullptr;
  // The most telling failure: a server that is registered but broken beats "not registered".
  if (hrLocal != REGDB_E_CLASSNOTREG) return hrLocal;
  if (hrInproc == REGDB_E_CLASSNOTREG) SetLastActivationError("class not registered for the requested context");
  return hrInproc;
}

}  // namespace

void ReleaseApartmentRegistrations(std::uint64_t apartment) {
  std::vector<IUnknown*> release;
  {
    std::lock_guard lock(g_regMutex);
    auto gone = std::stable_partition(g_registrations.begin(), g_registrations.end(),
                                      [&](const Registration& r) { return r.apartment != apartment; });
    for (auto it = gone; it != g_registrations.end(); ++it) release.push_back(it->pUnk);
    g_registrations.erase(gone, g_registrations.end());
  }
  for (IUnknown* p : release) p->Release();
}

}  // namespace qel::com

using namespace qel::com;

extern "C" HRESULT WINAPI CoGetClassObject(REFCLSID rclsid, DWORD dwClsContext, LPVOID pvServerInfo, REFIID riid,
                                           LPVOID* ppv) {
  QEL_FAULT_POINT("CoGetClassObject", c) {
    if (ppv) *ppv = nullptr;
    return static_cast<HRESULT>(c);
  }
  return GetClassObjectImpl(rclsid, dwClsContext, pvServerInfo, riid, ppv);
}

extern "C" HRESULT WINAPI CoCreateInstance(REFCLSID rclsid, LPUNKNOWN pUnkOuter, DWORD dwClsContext, REFIID riid,
                                           LPVOID* ppv) {
  QEL_FAULT_POINT("CoCreateInstance", c) {
    if (ppv) *ppv = nullptr;
    return static_cast<HRESULT>(c);
  }
  if (!ppv) return E_POINTER;
  *ppv = nullptr;
  IClassFactory* pFactory = nullptr;
  HRESULT hr = GetClassObjectImpl(rclsid, dwClsContext, nullptr, IID_IClassFactory, reinterpret_cast<void**>(&pFactory));
  if (FAILED(hr)) return hr;
  hr = pFactory->CreateInstance(pUnkOuter, riid, ppv);
  pFactory->Release();
  if (FAILED(hr)) *ppv = nullptr;
  return hr;
}

extern "C" HRESULT WINAPI CoRegisterClassObject(REFCLSID rclsid, LPUNKNOWN pUnk, DWORD dwClsContext, DWORD flags,
                                                LPDWORD lpdwRegister) {
  QEL_FAULT_POINT("CoRegisterClassObject", c) return static_cast<HRESULT>(c);
  if (!pUnk || !lpdwRegister) return E_INVALIDARG;
  *lpdwRegister = 0;
  const std::uint64_t apartment = CurrentApartment();
  if (apartment == 0) return CO_E_NOTINITIALIZED;
  DWORD ctx = dwClsContext & kServerContexts;
  if (ctx == 0) return E_INVALIDARG;
  constexpr DWORD kKnownFlags = REGCLS_MULTIPLEUSE | REGCLS_MULTI_SEPARATE | REGCLS_SUSPENDED | REGCLS_SURROGATE;
  if (flags & ~kKnownFlags) return E_INVALIDARG;
  // A multiple-use local server is also the process's own in-process server.
  if ((flags & REGCLS_MULTIPLEUSE) && (ctx & CLSCTX_LOCAL_SERVER)) ctx |= CLSCTX_INPROC_SERVER;

  std::lock_guard lock(g_regMutex);
  for (const Registration& r : g_registrations) {
    if (r.clsid == rclsid && !r.bUsed && (r.dwContext & ctx) != 0 &&
        (r.dwFlags & (REGCLS_MULTIPLEUSE | REGCLS_MULTI_SEPARATE)) != 0)
      return CO_E_OBJISREG;
  }
  Registration reg;
  do {
    reg.dwCookie = ++g_nextCookie;
  } while (reg.dwCookie == 0);
  reg.clsid = rclsid;
  reg.pUnk = pUnk;
  reg.dwContext = ctx;
  reg.dwFlags = flags;
  reg.apartment = apartment;
  reg.bSuspended = (flags & REGCLS_SUSPENDED) != 0;
  g_registrations.push_back(reg);
  pUnk->AddRef();
  *lpdwRegister = reg.dwCookie;
  return S_OK;
}

extern "C" HRESULT WINAPI CoRevokeClassObject(DWORD dwRegister) {
  QEL_FAULT_POINT("CoRevokeClassObject", c) return static_cast<HRESULT>(c);
  const std::uint64_t apartment = CurrentApartment();
  if (apartment == 0) return CO_E_NOTINITIALIZED;
  IUnknown* pUnk = nullptr;
  {
    std::lock_guard lock(g_regMutex);
    auto it = std::find_if(g_registrations.begin(), g_registrations.end(),
                           [&](const Registration& r) { return r.dwCookie == dwRegister; });
    if (it == g_registrations.end() || dwRegister == 0) return CO_E_OBJNOTREG;
    // An object registered in a single-threaded apartment belongs to its thread.
    if (it->apartment != apartment) return RPC_E_WRONG_THREAD;
    pUnk = it->pUnk;
    g_registrations.erase(it);
  }
  pUnk->Release();
  return S_OK;
}

extern "C" HRESULT WINAPI CoResumeClassObjects(void) {
  QEL_FAULT_POINT("CoResumeClassObjects", c) return static_cast<HRESULT>(c);
  if (!InApartment()) return CO_E_NOTINITIALIZED;
  std::lock_guard lock(g_regMutex);
  for (Registration& r : g_registrations) r.bSuspended = false;
  return S_OK;
}

extern "C" HRESULT WINAPI OleRun(LPUNKNOWN pUnknown) {
  QEL_FAULT_POINT("OleRun", c) return static_cast<HRESULT>(c);
  if (!pUnknown) return E_INVALIDARG;
  IRunnableObject* pRunnable = nullptr;
  if (FAILED(pUnknown->QueryInterface(IID_IRunnableObject, reinterpret_cast<void**>(&pRunnable))) || !pRunnable)
    return S_OK;
  const HRESULT hr = pRunnable->Run(nullptr);
  pRunnable->Release();
  return hr;
}
