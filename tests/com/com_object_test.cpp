// The COM object base and class factory: identity, interface map, aggregation, the module
// lock each object holds, and the class factory's rules.
#include <gtest/gtest.h>

#include "class_factory.h"
#include "com_object.h"
#include "opc.h"
#include "server_module.h"
#include "test_objects.h"

namespace {

class TwoFaced final : public ComObject<TwoFaced, IOPCCommon, IOPCShutdown> {
  public:
    static inline LONG alive = 0;
    TwoFaced() { ++alive; }
    ~TwoFaced() override { --alive; }
    STDMETHODIMP SetLocaleID(LCID) override { return S_OK; }
    STDMETHODIMP GetLocaleID(LCID* lcid) override {
        *lcid = 1049;
        return S_OK;
    }
    STDMETHODIMP QueryAvailableLocaleIDs(DWORD*, LCID**) override { return E_NOTIMPL; }
    STDMETHODIMP GetErrorString(HRESULT, LPWSTR*) override { return E_NOTIMPL; }
    STDMETHODIMP SetClientName(LPCWSTR) override { throw std::bad_alloc(); }
    STDMETHODIMP ShutdownRequest(LPCWSTR) override { return S_OK; }
};

// An outer object that aggregates a TwoFaced and counts its own references.
class Outer final : public IUnknown {
  public:
    STDMETHODIMP QueryInterface(REFIID riid, void** ppv) override {
        if (riid == IID_IUnknown) {
            *ppv = this;
            AddRef();
            return S_OK;
        }
        return inner->QueryInterface(riid, ppv);
    }
    STDMETHODIMP_(ULONG) AddRef() override { return InterlockedIncrement(&refs); }
    STDMETHODIMP_(ULONG) Release() override { return InterlockedDecrement(&refs); }
    volatile LONG refs = 1;
    IUnknown* inner = nullptr;
};

TEST(ComObject, AnswersTheListedInterfacesWithOneIdentity) {
    ComPtr<IOPCCommon> common;
    ASSERT_EQ(S_OK, TwoFaced::CreateInstance(nullptr, IID_IOPCCommon, common.PutVoid()));
    ComPtr<IOPCShutdown> shutdown;
    ASSERT_EQ(S_OK, common.As(shutdown));
    ComPtr<IUnknown> a, b;
    ASSERT_EQ(S_OK, common.As(a));
    ASSERT_EQ(S_OK, shutdown.As(b));
    EXPECT_TRUE(a == b);

    ComPtr<IOPCServer> missing;
    void* raw = reinterpret_cast<void*>(1);
    EXPECT_EQ(E_NOINTERFACE, common->QueryInterface(IID_IOPCServer, &raw));
    EXPECT_EQ(nullptr, raw);
    EXPECT_EQ(E_POINTER, common->QueryInterface(IID_IUnknown, nullptr));
}

TEST(ComObject, LivesByItsReferencesAndHoldsAModuleLock) {
    const LONG before = Module().LockCount();
    IOPCCommon* common = nullptr;
    ASSERT_EQ(S_OK,
              TwoFaced::CreateInstance(nullptr, IID_IOPCCommon, reinterpret_cast<void**>(&common)));
    EXPECT_EQ(1, TwoFaced::alive);
    EXPECT_EQ(before + 1, Module().LockCount());
    EXPECT_EQ(2u, common->AddRef());
    EXPECT_EQ(1u, common->Release());
    EXPECT_EQ(0u, common->Release());
    EXPECT_EQ(0, TwoFaced::alive);
    EXPECT_EQ(before, Module().LockCount());
}

TEST(ComObject, ExceptionsBecomeErrorCodesThroughComCall) {
    EXPECT_EQ(E_OUTOFMEMORY, ComCall([]() -> HRESULT { throw std::bad_alloc(); }));
    EXPECT_EQ(E_FAIL, ComCall([]() -> HRESULT { throw 42; }));
    EXPECT_EQ(S_FALSE, ComCall([] { return S_FALSE; }));
}

TEST(ComObject, AggregatedObjectDelegatesToItsOuterObject) {
    Outer outer;
    ASSERT_EQ(S_OK, TwoFaced::CreateInstance(&outer, IID_IUnknown,
                                             reinterpret_cast<void**>(&outer.inner)));
    ASSERT_NE(nullptr, outer.inner);
    IOPCCommon* common = nullptr;
    ASSERT_EQ(S_OK, outer.QueryInterface(IID_IOPCCommon, reinterpret_cast<void**>(&common)));
    EXPECT_EQ(2, outer.refs) << "a reference taken through the inner object counts on the outer";
    IUnknown* identity = nullptr;
    ASSERT_EQ(S_OK, common->QueryInterface(IID_IUnknown, reinterpret_cast<void**>(&identity)));
    EXPECT_EQ(static_cast<IUnknown*>(&outer), identity);
    identity->Release();
    common->Release();
    EXPECT_EQ(1, outer.refs);
    EXPECT_EQ(1, TwoFaced::alive);
    EXPECT_EQ(0u, outer.inner->Release());
    EXPECT_EQ(0, TwoFaced::alive);
}

TEST(ClassFactory, FollowsTheCreateInstanceRules) {
    IClassFactory* factory = ClassFactory<TwoFaced>::New();
    ASSERT_NE(nullptr, factory);
    EXPECT_EQ(E_POINTER, factory->CreateInstance(nullptr, IID_IOPCCommon, nullptr));

    Outer outer;
    void* object = reinterpret_cast<void*>(1);
    EXPECT_EQ(CLASS_E_NOAGGREGATION, factory->CreateInstance(&outer, IID_IOPCCommon, &object));
    EXPECT_EQ(nullptr, object);
    EXPECT_EQ(0, TwoFaced::alive);

    EXPECT_EQ(E_NOINTERFACE, factory->CreateInstance(nullptr, IID_IOPCServer, &object));
    EXPECT_EQ(nullptr, object);
    EXPECT_EQ(0, TwoFaced::alive) << "a refused interface must not leak the new object";

    ComPtr<IUnknown> first, second;
    ASSERT_EQ(S_OK, factory->CreateInstance(nullptr, IID_IUnknown, first.PutVoid()));
    ASSERT_EQ(S_OK, factory->CreateInstance(nullptr, IID_IUnknown, second.PutVoid()));
    EXPECT_FALSE(first == second) << "every call makes a new object";
    EXPECT_EQ(2, TwoFaced::alive);

    ASSERT_EQ(S_OK, factory->CreateInstance(&outer, IID_IUnknown,
                                            reinterpret_cast<void**>(&outer.inner)));
    EXPECT_EQ(3, TwoFaced::alive);
    outer.inner->Release();
    factory->Release();
}

TEST(ClassFactory, LockServerCountsOnTheModuleButTheFactoryDoesNot) {
    const LONG before = Module().LockCount();
    IClassFactory* factory = ClassFactory<TwoFaced>::New();
    EXPECT_EQ(before, Module().LockCount());
    EXPECT_EQ(S_OK, factory->LockServer(TRUE));
    EXPECT_EQ(before + 1, Module().LockCount());
    EXPECT_EQ(S_OK, factory->LockServer(FALSE));
    EXPECT_EQ(before, Module().LockCount());
    IClassFactory* same = nullptr;
    ASSERT_EQ(S_OK, factory->QueryInterface(IID_IClassFactory, reinterpret_cast<void**>(&same)));
    EXPECT_EQ(factory, same);
    same->Release();
    factory->Release();
}

}  // namespace
