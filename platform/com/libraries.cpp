// In-process server libraries: loaded with the dynamic loader on first use,
// entered through DllGetClassObject, and kept loaded until
// CoFreeUnusedLibraries finds that DllCanUnloadNow allows unloading.
#include <dlfcn.h>
#include <sys/stat.h>

#include <algorithm>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "runtime.h"

namespace qel::com {
namespace {

thread_local std::string t_lastActivationError;

struct LoadedServer {
  std::string path;
  void* handle = nullptr;  // the one dlopen reference the table holds
  LPFNGETCLASSOBJECT pfnGetClassObject = nullptr;
  LPFNCANUNLOADNOW pfnCanUnloadNow = nullptr;  // null: never unloaded
  int nInFlight = 0;  // DllGetClassObject calls running now
};

std::mutex g_mutex;
std::vector<std::unique_ptr<LoadedServer>> g_servers;

std::string LoaderError() {
  const char* text = dlerror();
  return text ? std::string(text) : std::string("unknown loader error");
}

}  // namespace

std::string LastActivationError() { return t_lastActivationError; }
void SetLastActivationError(std::string text) { t_lastActivationError = std::move(text); }

Library& Library::operator=(Library&& other) noexcept {
  if (this != &other) {
    if (m_handle) dlclose(m_handle);
    m_handle = std::exchange(other.m_handle, nullptr);
  }
  return *this;
}

Library::~Library() {
  if (m_handle) dlclose(m_handle);
}

HRESULT Library::Open(const std::string& path, Library* out, std::string* error) {
  *out = Library();
  if (path.empty()) {
    if (error) *error = "empty library path";
    return CO_E_DLLNOTFOUND;
  }
  void* handle = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
  if (!handle) {
    const std::string text = LoaderError();
    if (error) *error = text;
    bool missing;
    if (path.find('/') != std::string::npos) {
      struct stat st {};
      missing = stat(path.c_str(), &st) != 0;
    } else {
      missing = text.find("No such file") != std::string::npos;
    }
    return missing ? CO_E_DLLNOTFOUND : CO_E_ERRORINDLL;
  }
  out->m_handle = handle;
  return S_OK;
}

void* Library::Symbol(const char* name) const {
  if (!m_handle) return nullptr;
  dlerror();
  return dlsym(m_handle, name);
}

HRESULT GetClassObjectFromLibrary(const std::string& path, REFCLSID rclsid, REFIID riid, void** ppv) {
  // dlopen runs outside the lock: the library's constructors may use COM.
  Library lib;
  std::string error;
  HRESULT hr = Library::Open(path, &lib, &error);
  if (FAILED(hr)) {
    SetLastActivationError(path + ": " + error);
    return hr;
  }
  LoadedServer* server = nullptr;
  {
    std::lock_guard lock(g_mutex);
    auto it = std::find_if(g_servers.begin(), g_servers.end(),
                           [&](const auto& s) { return s->handle == lib.handle(); });
    if (it != g_servers.end()) {
      server = it->get();
    } else {
      auto pfnGet = reinterpret_cast<LPFNGETCLASSOBJECT>(lib.Symbol("DllGetClassObject"));
      if (!pfnGet) {
        SetLastActivationError(path + ": the library does not export DllGetClassObject");
        return CO_E_ERRORINDLL;
      }
      auto entry = std::make_unique<LoadedServer>();
      entry->path = path;
      entry->pfnGetClassObject = pfnGet;
      entry->pfnCanUnloadNow = reinterpret_cast<LPFNCANUNLOADNOW>(lib.Symbol("DllCanUnloadNow"));
      entry->handle = lib.Release();
      server = entry.get();
      g_servers.push_back(std::move(entry));
    }
    ++server->nInFlight;
  }
  // `lib` still holds a second reference when the table had one already; it
  // is dropped when `lib` goes out of scope.
  hr = server->pfnGetClassObject(rclsid, riid, ppv);
  {
    std::lock_guard lock(g_mutex);
    --server->nInFlight;
  }
  if (FAILED(hr)) {
    if (ppv) *ppv = nullptr;
    SetLastActivationError(path + ": DllGetClassObject failed");
  } else {
    SetLastActivationError({});
  }
  return hr;
}

void FreeUnusedLibraries() {
  std::vector<void*> unload;
  {
    std::lock_guard lock(g_mutex);
    auto keep = std::stable_partition(g_servers.begin(), g_servers.end(), [&](const auto& s) {
      return s->nInFlight > 0 || !s->pfnCanUnloadNow || s->pfnCanUnloadNow() != S_OK;
    });
    for (auto it = keep; it != g_servers.end(); ++it) unload.push_back((*it)->handle);
    g_servers.erase(keep, g_servers.end());
  }
  for (void* handle : unload) dlclose(handle);
}

std::size_t LoadedLibraryCountForTests() {
  std::lock_guard lock(g_mutex);
  return g_servers.size();
}

bool IsLibraryLoadedForTests(const std::string& path) {
  std::lock_guard lock(g_mutex);
  return std::any_of(g_servers.begin(), g_servers.end(), [&](const auto& s) { return s->path == path; });
}

}  // namespace qel::com

extern "C" void WINAPI CoFreeUnusedLibraries(void) { qel::com::FreeUnusedLibraries(); }
