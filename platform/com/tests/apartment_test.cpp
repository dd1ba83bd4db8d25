// Apartments: per-thread models, balanced uninitialisation, and what a thread
// without an apartment is refused.
#include <gtest/gtest.h>

#include <thread>

#include "com_test_util.h"
#include "qel/comobj.h"
#include "qel/fault.h"
#include "runtime.h"

namespace {

using comtest::kClsidUnknown;

TEST(Apartment, FirstInitIsOkRepeatIsFalseOtherModelIsChangedMode) {
  std::thread([] {
    EXPECT_EQ(CoInitialize(nullptr), S_OK);
    EXPECT_EQ(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED), S_FALSE);
    EXPECT_EQ(CoInitializeEx(nullptr, COINIT_MULTITHREADED), RPC_E_CHANGED_MODE);
    // Two successes need two CoUninitialize calls; the refused one needs none.
    CoUninitialize();
    EXPECT_TRUE(qel::com::InApartment());
    CoUninitialize();
    EXPECT_FALSE(qel::com::InApartment());
    // Once left, the thread may choose the other model.
    EXPECT_EQ(CoInitializeEx(nullptr, COINIT_MULTITHREADED | COINIT_DISABLE_OLE1DDE), S_OK);
    EXPECT_EQ(CoInitialize(nullptr), RPC_E_CHANGED_MODE);
    CoUninitialize();
    EXPECT_FALSE(qel::com::InApartment());
    // An extra CoUninitialize is harmless.
    CoUninitialize();
    EXPECT_FALSE(qel::com::InApartment());
  }).join();
}

TEST(Apartment, BadArgumentsAreRefused) {
  std::thread([] {
    int reserved = 0;
    EXPECT_EQ(CoInitialize(&reserved), E_INVALIDARG);
    EXPECT_EQ(CoInitializeEx(nullptr, 0x100), E_INVALIDARG);
    EXPECT_FALSE(qel::com::InApartment());
  }).join();
}

TEST(Apartment, EachThreadHasItsOwn) {
  std::thread([] {
    ASSERT_EQ(CoInitialize(nullptr), S_OK);
    const auto mine = qel::com::CurrentApartment();
    std::uint64_t other = 0;
    HRESULT hrOther = E_FAIL;
    std::thread([&] {
      // This thread starts without an apartment although its creator has one.
      EXPECT_FALSE(qel::com::InApartment());
      hrOther = CoInitialize(nullptr);
      other = qel::com::CurrentApartment();
      CoUninitialize();
    }).join();
    EXPECT_EQ(hrOther, S_OK);
    EXPECT_NE(other, mine);
    EXPECT_NE(other, qel::com::kMultiThreaded);
    CoUninitialize();
  }).join();
}

TEST(Apartment, MultithreadedThreadsShareOneApartment) {
  std::thread([] {
    ASSERT_EQ(CoInitializeEx(nullptr, COINIT_MULTITHREADED), S_OK);
    std::uint64_t other = 0;
    std::thread([&] {
      EXPECT_EQ(CoInitializeEx(nullptr, COINIT_MULTITHREADED), S_OK);
      other = qel::com::CurrentApartment();
      CoUninitialize();
    }).join();
    EXPECT_EQ(other, qel::com::kMultiThreaded);
    EXPECT_EQ(qel::com::CurrentApartment(), qel::com::kMultiThreaded);
    CoUninitialize();
  }).join();
}

class Factory final : public qel::ComObject<Factory, IClassFactory> {
 public:
  HRESULT STDMETHODCALLTYPE CreateInstance(IUnknown*, REFIID, void** ppv) override {
    *ppv = nullptr;
    return E_NOTIMPL;
  }
  HRESULT STDMETHODCALLTYPE LockServer(BOOL) override { return S_OK; }
};

TEST(Apartment, WithoutOneObjectsCannotBeMadeOrRegistered) {
  qel::test::ScopedStateDir state;
  std::thread([] {
    void* pv = reinterpret_cast<void*>(0x1);
    EXPECT_EQ(CoCreateInstance(kClsidUnknown, nullptr, CLSCTX_ALL, IID_IUnknown, &pv), CO_E_NOTINITIALIZED);
    EXPECT_EQ(pv, nullptr);
    pv = reinterpret_cast<void*>(0x1);
    EXPECT_EQ(CoGetClassObject(kClsidUnknown, CLSCTX_ALL, nullptr, IID_IClassFactory, &pv), CO_E_NOTINITIALIZED);
    EXPECT_EQ(pv, nullptr);
    auto factory = qel::MakeComObject<Factory>();
    DWORD cookie = 77;
    EXPECT_EQ(CoRegisterClassObject(kClsidUnknown, factory.Get(), CLSCTX_LOCAL_SERVER, REGCLS_MULTIPLEUSE, &cookie),
              CO_E_NOTINITIALIZED);
    EXPECT_EQ(cookie, 0u);
    EXPECT_EQ(factory->RefCountForTests(), 1u);  // nothing kept a reference
    EXPECT_EQ(CoRevokeClassObject(1), CO_E_NOTINITIALIZED);
  }).join();
}

TEST(Apartment, FaultSeamFailsInitialisation) {
  std::thread([] {
    qel::fault::Arm("CoInitialize", E_OUTOFMEMORY);
    EXPECT_EQ(CoInitialize(nullptr), E_OUTOFMEMORY);
    EXPECT_FALSE(qel::com::InApartment());
    qel::fault::Reset();
    EXPECT_EQ(CoInitialize(nullptr), S_OK);
    CoUninitialize();
  }).join();
}

}  // namespace
