// Building blocks for implementing COM objects: interface ids as traits, the
// ComPtr<T> holder, a reference-counting base that answers QueryInterface over
// a list of interfaces, a per-library object count for DllCanUnloadNow, and a
// class factory.
//
// Only the standard library and the SDK's COM headers are used, so a server
// library can include this without linking anything of the platform, and the
// same code builds against a Windows SDK.
//
//   QEL_COM_INTERFACE(IFoo, IDispatch, IID_IFoo);   // once per interface
//
//   class CFoo final : public qel::ComObject<CFoo, IFoo, IBar> {
//     qel::ModuleRef m_moduleRef{g_module};           // keeps the library loaded
//     ...                                             // IFoo, IBar, IDispatch methods
//   };
//   qel::ComPtr<CFoo> foo = qel::MakeComObject<CFoo>();   // reference count 1
#pragma once

#include <atomic>
#include <concepts>
#include <new>
#include <type_traits>
#include <utility>

#include <objbase.h>
#include <oaidl.h>

namespace qel {

// The id of an interface and the interface it derives from (void for IUnknown),
// so QueryInterface answers for every interface on the way to IUnknown.
template <class I>
struct InterfaceTraits;  // specialised by QEL_COM_INTERFACE

template <>
struct InterfaceTraits<IUnknown> {
  using Parent = void;
  static const IID& Iid() {
    static constexpr IID iid{0x00000000, 0x0000, 0x0000, {0xC0, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x46}};
    return iid;
  }
};
template <>
struct InterfaceTraits<IClassFactory> {
  using Parent = IUnknown;
  static const IID& Iid() {
    static constexpr IID iid{0x00000001, 0x0000, 0x0000, {0xC0, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x46}};
    return iid;
  }
};
template <>
struct InterfaceTraits<IDispatch> {
  using Parent = IUnknown;
  static const IID& Iid() {
    static constexpr IID iid{0x00020400, 0x0000, 0x0000, {0xC0, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x46}};
    return iid;
  }
};

template <>
struct InterfaceTraits<IRunnableObject> {
  using Parent = IUnknown;
  static const IID& Iid() {
    static constexpr IID iid{0x00000126, 0x0000, 0x0000, {0xC0, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x46}};
    return iid;
  }
};

}  // namespace qel

// Declares the id of Interface (an expression giving a const IID&) and its parent.
#define QEL_COM_INTERFACE(Interface, ParentInterface, iidExpr) \
  template <>                                                  \
  struct qel::InterfaceTraits<Interface> {                     \
    using Parent = ParentInterface;                            \
    static const IID& Iid() { return iidExpr; }                \
  }

namespace qel {

template <class I>
inline const IID& IidOf() {
  return InterfaceTraits<I>::Iid();
}

// Owns one reference to an interface; releases it when destroyed or reset.
template <class T>
class ComPtr {
 public:
  ComPtr() noexcept = default;
  ComPtr(std::nullptr_t) noexcept {}
  // Takes a new reference (AddRef) on p.
  explicit ComPtr(T* p) noexcept : m_p(p) {
    if (m_p) m_p->AddRef();
  }
  ComPtr(const ComPtr& other) noexcept : ComPtr(other.m_p) {}
  template <class U, class = std::enable_if_t<std::is_convertible_v<U*, T*>>>
  ComPtr(const ComPtr<U>& other) noexcept : ComPtr(static_cast<T*>(other.Get())) {}
  ComPtr(ComPtr&& other) noexcept : m_p(std::exchange(other.m_p, nullptr)) {}
  ~ComPtr() { Reset(); }

  ComPtr& operator=(const ComPtr& other) noexcept {
    ComPtr(other).Swap(*this);
    return *this;
  }
  ComPtr& operator=(ComPtr&& other) noexcept {
    ComPtr(std::move(other)).Swap(*this);
    return *this;
  }
  ComPtr& operator=(std::nullptr_t) noexcept {
    Reset();
    return *this;
  }

  // Adopts a reference the caller already owns (no AddRef).
  static ComPtr Adopt(T* p) noexcept {
    ComPtr c;
    c.m_p = p;
    return c;
  }
  void Attach(T* p) noexcept {
    Reset();
    m_p = p;
  }
  // Hands the reference to the caller.
  [[nodiscard]] T* Detach() noexcept { return std::exchange(m_p, nullptr); }
  void Reset() noexcept {
    if (T* p = std::exchange(m_p, nullptr)) p->Release();
  }
  void Swap(ComPtr& other) noexcept { std::swap(m_p, other.m_p); }

  T* Get() const noexcept { return m_p; }
  T* operator->() const noexcept { return m_p; }
  T& operator*() const noexcept { return *m_p; }
  explicit operator bool() const noexcept { return m_p != nullptr; }

  // For out parameters: releases what is held and gives the slot to fill.
  T** Put() noexcept {
    Reset();
    return &m_p;
  }
  void** PutVoid() noexcept { return reinterpret_cast<void**>(Put()); }

  // A new reference for an out parameter; E_POINTER for a null one.
  HRESULT CopyTo(T** pp) const noexcept {
    if (!pp) return E_POINTER;
    *pp = m_p;
    if (m_p) m_p->AddRef();
    return S_OK;
  }
  // QueryInterface for U (declared with QEL_COM_INTERFACE).
  template <class U>
  HRESULT As(ComPtr<U>* out) const noexcept {
    if (!out) return E_POINTER;
    if (!m_p) {
      out->Reset();
      return E_POINTER;
    }
    return m_p->QueryInterface(IidOf<U>(), out->PutVoid());
  }

  friend bool operator==(const ComPtr& a, const ComPtr& b) noexcept { return a.m_p == b.m_p; }
  friend bool operator==(const ComPtr& a, std::nullptr_t) noexcept { return a.m_p == nullptr; }

 private:
  T* m_p = nullptr;
};

// Live objects and LockServer locks of one server library: DllCanUnloadNow
// answers S_OK only at zero. Each library defines its own (not shared).
class ModuleCount {
 public:
  void Lock() noexcept { m_count.fetch_add(1, std::memory_order_relaxed); }
  void Unlock() noexcept { m_count.fetch_sub(1, std::memory_order_acq_rel); }
  long Count() const noexcept { return m_count.load(std::memory_order_acquire); }
  HRESULT CanUnloadNow() const noexcept { return Count() == 0 ? S_OK : S_FALSE; }

 private:
  std::atomic<long> m_count{0};
};

// Counts its owner in a ModuleCount for as long as the owner lives.
class ModuleRef {
 public:
  explicit ModuleRef(ModuleCount& count) noexcept : m_count(&count) { m_count->Lock(); }
  ModuleRef(const ModuleRef& other) noexcept : ModuleRef(*other.m_count) {}
  ModuleRef& operator=(const ModuleRef&) = delete;
  ~ModuleRef() { m_count->Unlock(); }

 private:
  ModuleCount* m_count;
};

namespace detail {

template <class I>
bool MatchesInterface(REFIID riid) {
  if (IidOf<I>() == riid) return true;
  using P = typename InterfaceTraits<I>::Parent;
  if constexpr (std::is_void_v<P>) {
    return false;
  } else {
    return MatchesInterface<P>(riid);
  }
}

template <class T>
concept HasQueryInterfaceExtra = requires(T& t, REFIID riid, void** ppv) {
  { t.QueryInterfaceExtra(riid, ppv) } -> std::same_as<HRESULT>;
};

}  // namespace detail

// Thread-safe reference counting and QueryInterface over Interfaces (the first
// one also stands for IUnknown). A Derived that defines
//   HRESULT QueryInterfaceExtra(REFIID, void**)
// is asked for any interface the list does not answer. Objects start with a
// reference count of 0; MakeComObject hands out the first reference.
template <class Derived, class First, class... Rest>
class ComObject : public First, public Rest... {
 public:
  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** ppv) override {
    if (!ppv) return E_POINTER;
    *ppv = nullptr;
    if (riid == IidOf<IUnknown>()) {
      *ppv = static_cast<IUnknown*>(static_cast<First*>(this));
    } else if (!FindInterface<First, Rest...>(riid, ppv)) {
      if constexpr (detail::HasQueryInterfaceExtra<Derived>) {
        return static_cast<Derived*>(this)->QueryInterfaceExtra(riid, ppv);
      } else {
        return E_NOINTERFACE;
      }
    }
    AddRef();
    return S_OK;
  }
  ULONG STDMETHODCALLTYPE AddRef() override { return m_refs.fetch_add(1, std::memory_order_relaxed) + 1; }
  ULONG STDMETHODCALLTYPE Release() override {
    const ULONG left = m_refs.fetch_sub(1, std::memory_order_acq_rel) - 1;
    if (left == 0) delete static_cast<Derived*>(this);
    return left;
  }

  IUnknown* GetUnknown() { return static_cast<IUnknown*>(static_cast<First*>(this)); }
  // The current count, for tests of reference counting.
  ULONG RefCountForTests() const { return m_refs.load(); }

 protected:
  ComObject() = default;
  ComObject(const ComObject&) = delete;
  ComObject& operator=(const ComObject&) = delete;
  ~ComObject() = default;

 private:
  template <class I, class... More>
  bool FindInterface(REFIID riid, void** ppv) {
    if (detail::MatchesInterface<I>(riid)) {
      *ppv = static_cast<I*>(static_cast<Derived*>(this));
      return true;
    }
    if constexpr (sizeof...(More) > 0) {
      return FindInterface<More...>(riid, ppv);
    } else {
      return false;
    }
  }

  std::atomic<ULONG> m_refs{0};
};

// A new object holding its first reference, or empty when memory runs out.
template <class T, class... Args>
ComPtr<T> MakeComObject(Args&&... args) {
  T* p = new (std::nothrow) T(std::forward<Args>(args)...);
  return ComPtr<T>(p);
}

// Creates T (default-constructed, through MakeComObject) for CoCreateInstance.
// Aggregation is refused. The factory and every LockServer(TRUE) count in
// the library's ModuleCount.
template <class T>
class ClassFactory final : public ComObject<ClassFactory<T>, IClassFactory> {
 public:
  explicit ClassFactory(ModuleCount& count) : m_count(count), m_moduleRef(count) {}

  HRESULT STDMETHODCALLTYPE CreateInstance(IUnknown* pUnkOuter, REFIID riid, void** ppv) override {
    if (!ppv) return E_POINTER;
    *ppv = nullptr;
    if (pUnkOuter) return CLASS_E_NOAGGREGATION;
    ComPtr<T> obj = MakeComObject<T>();
    if (!obj) return E_OUTOFMEMORY;
    return obj->QueryInterface(riid, ppv);
  }
  HRESULT STDMETHODCALLTYPE LockServer(BOOL fLock) override {
    if (fLock)
      m_count.Lock();
    else
      m_count.Unlock();
    return S_OK;
  }

 private:
  ModuleCount& m_count;
  ModuleRef m_moduleRef;
};

// The body of a server's DllGetClassObject for one class.
template <class T>
HRESULT GetClassFactory(ModuleCount& count, REFIID riid, void** ppv) {
  if (!ppv) return E_POINTER;
  *ppv = nullptr;
  ComPtr<ClassFactory<T>> factory = MakeComObject<ClassFactory<T>>(count);
  if (!factory) return E_OUTOFMEMORY;
  return factory->QueryInterface(riid, ppv);
}

}  // namespace qel
