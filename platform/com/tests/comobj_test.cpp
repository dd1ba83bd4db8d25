// The object helpers that server code builds on: QueryInterface over interface
// chains, reference counting, ComPtr ownership, module counts and the factory.
#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

#include "com_test_util.h"
#include "qel/comobj.h"

namespace {

struct IBase : public IDispatch {
  virtual HRESULT STDMETHODCALLTYPE Base() = 0;
};
struct IDerived : public IBase {
  virtual HRESULT STDMETHODCALLTYPE Derived() = 0;
};
struct IOther : public IUnknown {
  virtual HRESULT STDMETHODCALLTYPE Other() = 0;
};
constexpr IID kIidBase = {0xA1, 0, 0, {1, 2, 3, 4, 5, 6, 7, 8}};
constexpr IID kIidDerived = {0xA2, 0, 0, {1, 2, 3, 4, 5, 6, 7, 8}};
constexpr IID kIidOther = {0xA3, 0, 0, {1, 2, 3, 4, 5, 6, 7, 8}};
constexpr IID kIidExtra = {0xA4, 0, 0, {1, 2, 3, 4, 5, 6, 7, 8}};

}  // namespace

QEL_COM_INTERFACE(IBase, IDispatch, kIidBase);
QEL_COM_INTERFACE(IDerived, IBase, kIidDerived);
QEL_COM_INTERFACE(IOther, IUnknown, kIidOther);

namespace {

qel::ModuleCount g_count;
std::atomic<int> g_destroyed{0};

class CThing final : public qel::ComObject<CThing, IDerived, IOther> {
 public:
  ~CThing() { ++g_destroyed; }
  HRESULT STDMETHODCALLTYPE GetTypeInfoCount(UINT*) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE GetTypeInfo(UINT, LCID, ITypeInfo**) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE GetIDsOfNames(REFIID, LPOLESTR*, UINT, LCID, DISPID*) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE Invoke(DISPID, REFIID, LCID, WORD, DISPPARAMS*, VARIANT*, EXCEPINFO*, UINT*) override {
    return E_NOTIMPL;
  }
  HRESULT STDMETHODCALLTYPE Base() override { return S_OK; }
  HRESULT STDMETHODCALLTYPE Derived() override { return S_OK; }
  HRESULT STDMETHODCALLTYPE Other() override { return S_FALSE; }
  // An interface answered outside the list (a tear-off, say).
  HRESULT QueryInterfaceExtra(REFIID riid, void** ppv) {
    if (riid != kIidExtra) return E_NOINTERFACE;
    *ppv = static_cast<IOther*>(this);
    AddRef();
    return S_OK;
  }

 private:
  qel::ModuleRef m_ref{g_count};
};

TEST(ComObject, QueryInterfaceAnswersEveryInterfaceOnTheChain) {
  g_destroyed = 0;
  {
    qel::ComPtr<CThing> thing = qel::MakeComObject<CThing>();
    ASSERT_TRUE(thing);
    EXPECT_EQ(thing->RefCountForTests(), 1u);
    EXPECT_EQ(g_count.Count(), 1);
    EXPECT_EQ(g_count.CanUnloadNow(), S_FALSE);

    qel::ComPtr<IUnknown> unk;
    ASSERT_EQ(thing.As(&unk), S_OK);
    EXPECT_EQ(unk.Get(), thing->GetUnknown());
    qel::ComPtr<IDispatch> disp;
    qel::ComPtr<IBase> base;
    qel::ComPtr<IDerived> derived;
    qel::ComPtr<IOther> other;
    ASSERT_EQ(thing.As(&disp), S_OK);
    ASSERT_EQ(thing.As(&base), S_OK);
    ASSERT_EQ(thing.As(&derived), S_OK);
    ASSERT_EQ(thing.As(&other), S_OK);
    EXPECT_EQ(static_cast<IUnknown*>(disp.Get()), static_cast<IUnknown*>(derived.Get()));
    EXPECT_EQ(other->Other(), S_FALSE);
    EXPECT_EQ(thing->RefCountForTests(), 6u);

    // Identity: IUnknown from any interface is the same pointer.
    qel::ComPtr<IUnknown> unk2;
    ASSERT_EQ(other.As(&unk2), S_OK);
    EXPECT_EQ(unk2.Get(), unk.Get());

    void* pv = reinterpret_cast<void*>(0x1);
    EXPECT_EQ(thing->QueryInterface(IID_IClassFactory, &pv), E_NOINTERFACE);
    EXPECT_EQ(pv, nullptr);
    EXPECT_EQ(thing->QueryInterface(IID_IUnknown, nullptr), E_POINTER);
    ASSERT_EQ(thing->QueryInterface(kIidExtra, &pv), S_OK);
    static_cast<IOther*>(pv)->Release();
  }
  EXPECT_EQ(g_destroyed.load(), 1);
  EXPECT_EQ(g_count.Count(), 0);
  EXPECT_EQ(g_count.CanUnloadNow(), S_OK);
}

TEST(ComObject, ReferenceCountingIsThreadSafe) {
  g_destroyed = 0;
  qel::ComPtr<CThing> thing = qel::MakeComObject<CThing>();
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([p = thing.Get()] {
      for (int i = 0; i < 20000; ++i) {
        p->AddRef();
        p->Release();
      }
    });
  }
  for (auto& t : threads) t.join();
  EXPECT_EQ(thing->RefCountForTests(), 1u);
  thing.Reset();
  EXPECT_EQ(g_destroyed.load(), 1);
}

TEST(ComPtr, OwnsExactlyOneReference) {
  g_destroyed = 0;
  qel::ComPtr<CThing> a = qel::MakeComObject<CThing>();
  CThing* raw = a.Get();
  {
    qel::ComPtr<CThing> b = a;  // copy: +1
    EXPECT_EQ(raw->RefCountForTests(), 2u);
    qel::ComPtr<CThing> c = std::move(b);  // move: no change
    EXPECT_EQ(raw->RefCountForTests(), 2u);
    EXPECT_FALSE(b);
    qel::ComPtr<IOther> up = qel::ComPtr<IOther>(raw);
    EXPECT_EQ(raw->RefCountForTests(), 3u);
    c = nullptr;
    EXPECT_EQ(raw->RefCountForTests(), 2u);
  }
  EXPECT_EQ(raw->RefCountForTests(), 1u);
  IOther* out = nullptr;
  qel::ComPtr<IOther> other(raw);
  ASSERT_EQ(other.CopyTo(&out), S_OK);
  EXPECT_EQ(raw->RefCountForTests(), 3u);
  out->Release();
  IOther* detached = other.Detach();
  EXPECT_FALSE(other);
  qel::ComPtr<IOther> adopted = qel::ComPtr<IOther>::Adopt(detached);
  EXPECT_EQ(raw->RefCountForTests(), 2u);
  // Put() releases what is held before handing out the slot.
  *adopted.Put() = nullptr;
  EXPECT_EQ(raw->RefCountForTests(), 1u);
  qel::ComPtr<IOther> empty;
  qel::ComPtr<IUnknown> none;
  EXPECT_EQ(empty.As(&none), E_POINTER);
  a.Reset();
  EXPECT_EQ(g_destroyed.load(), 1);
}

TEST(ClassFactory, CreatesObjectsRefusesAggregationAndCountsLocks) {
  {
    IClassFactory* factory = nullptr;
    ASSERT_EQ(qel::GetClassFactory<CThing>(g_count, IID_IClassFactory, reinterpret_cast<void**>(&factory)), S_OK);
    EXPECT_EQ(g_count.Count(), 1);  // the factory itself keeps the library
    IOther* other = nullptr;
    ASSERT_EQ(factory->CreateInstance(nullptr, kIidOther, reinterpret_cast<void**>(&other)), S_OK);
    EXPECT_EQ(g_count.Count(), 2);
    void* pv = reinterpret_cast<void*>(0x1);
    EXPECT_EQ(factory->CreateInstance(other, IID_IUnknown, &pv), CLASS_E_NOAGGREGATION);
    EXPECT_EQ(pv, nullptr);
    pv = reinterpret_cast<void*>(0x1);
    EXPECT_EQ(factory->CreateInstance(nullptr, IID_IClassFactory, &pv), E_NOINTERFACE);
    EXPECT_EQ(pv, nullptr);
    EXPECT_EQ(g_count.Count(), 2);  // the refused object is gone again
    EXPECT_EQ(factory->LockServer(TRUE), S_OK);
    EXPECT_EQ(g_count.Count(), 3);
    EXPECT_EQ(factory->LockServer(FALSE), S_OK);
    other->Release();
    factory->Release();
  }
  EXPECT_EQ(g_count.CanUnloadNow(), S_OK);
}

}  // namespace
