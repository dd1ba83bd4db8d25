// VARIANT handling: clearing, deep copies, type changes between the types in use.
#include <gtest/gtest.h>

#include <cstring>

#include "com_test_util.h"
#include "oleauto.h"
#include "qel/comobj.h"

namespace {

class Probe final : public qel::ComObject<Probe, IDispatch> {
 public:
  explicit Probe(LONG value = 0) : m_value(value) {}
  HRESULT STDMETHODCALLTYPE GetTypeInfoCount(UINT* p) override {
    *p = 0;
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE GetTypeInfo(UINT, LCID, ITypeInfo**) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE GetIDsOfNames(REFIID, LPOLESTR*, UINT, LCID, DISPID*) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE Invoke(DISPID id, REFIID, LCID, WORD flags, DISPPARAMS*, VARIANT* result, EXCEPINFO*,
                                   UINT*) override {
    if (id != DISPID_VALUE || !(flags & DISPATCH_PROPERTYGET) || !result) return DISP_E_MEMBERNOTFOUND;
    result->vt = VT_I4;
    result->lVal = m_value;
    return S_OK;
  }

 private:
  LONG m_value;
};

VARIANT Bstr(const char16_t* s) {
  VARIANT v;
  VariantInit(&v);
  v.vt = VT_BSTR;
  v.bstrVal = SysAllocString(s);
  return v;
}

TEST(Variant, InitAndClearFreeWhatTheyHold) {
  VARIANT v;
  std::memset(&v, 0xAB, sizeof v);
  VariantInit(&v);
  EXPECT_EQ(v.vt, VT_EMPTY);
  EXPECT_EQ(VariantClear(&v), S_OK);

  auto probe = qel::MakeComObject<Probe>();
  v.vt = VT_DISPATCH;
  v.pdispVal = probe.Get();
  probe->AddRef();
  EXPECT_EQ(probe->RefCountForTests(), 2u);
  EXPECT_EQ(VariantClear(&v), S_OK);
  EXPECT_EQ(v.vt, VT_EMPTY);
  EXPECT_EQ(probe->RefCountForTests(), 1u);

  v = Bstr(u"text");  // freed by VariantClear (the sanitizer build sees a leak otherwise)
  EXPECT_EQ(VariantClear(&v), S_OK);

  // A by-reference variant owns nothing.
  BSTR owned = SysAllocString(u"kept");
  v.vt = VT_BSTR | VT_BYREF;
  v.pbstrVal = &owned;
  EXPECT_EQ(VariantClear(&v), S_OK);
  EXPECT_EQ(qel::u16(owned), u"kept");
  SysFreeString(owned);

  v.vt = 0x7F;  // no such type: left untouched
  EXPECT_EQ(VariantClear(&v), DISP_E_BADVARTYPE);
  EXPECT_EQ(v.vt, 0x7F);
  EXPECT_EQ(VariantClear(nullptr), E_INVALIDARG);
}

TEST(Variant, CopyIsDeep) {
  VARIANT src = Bstr(u"abc");
  VARIANT dst;
  VariantInit(&dst);
  ASSERT_EQ(VariantCopy(&dst, &src), S_OK);
  ASSERT_EQ(dst.vt, VT_BSTR);
  EXPECT_NE(dst.bstrVal, src.bstrVal);
  EXPECT_EQ(qel::u16(dst.bstrVal), u"abc");
  // Embedded nulls and the exact length survive.
  VariantClear(&src);
  src.vt = VT_BSTR;
  src.bstrVal = SysAllocStringLen(u"a\0b", 3);
  ASSERT_EQ(VariantCopy(&dst, &src), S_OK);  // also frees the old "abc"
  EXPECT_EQ(SysStringLen(dst.bstrVal), 3u);
  EXPECT_EQ(dst.bstrVal[2], u'b');

  auto probe = qel::MakeComObject<Probe>();
  VariantClear(&src);
  src.vt = VT_UNKNOWN;
  src.punkVal = probe->GetUnknown();
  probe->AddRef();
  ASSERT_EQ(VariantCopy(&dst, &src), S_OK);
  EXPECT_EQ(dst.punkVal, probe->GetUnknown());
  EXPECT_EQ(probe->RefCountForTests(), 3u);
  // Copying onto a variant that holds the same object keeps it alive.
  ASSERT_EQ(VariantCopy(&dst, &src), S_OK);
  EXPECT_EQ(probe->RefCountForTests(), 3u);
  VariantClear(&dst);
  VariantClear(&src);
  EXPECT_EQ(probe->RefCountForTests(), 1u);

  src.vt = 0x7F;
  EXPECT_EQ(VariantCopy(&dst, &src), DISP_E_BADVARTYPE);
  EXPECT_EQ(VariantCopy(nullptr, &src), E_INVALIDARG);
}

struct ChangeCase {
  VARTYPE from;
  LONGLONG value;  // integer sources
  VARTYPE to;
  HRESULT hr;
  LONGLONG expect;
};

void SetInteger(VARIANT* v, VARTYPE vt, LONGLONG x) {
  VariantInit(v);
  v->vt = vt;
  switch (vt) {
    case VT_I2: v->iVal = static_cast<SHORT>(x); break;
    case VT_I4: v->lVal = static_cast<LONG>(x); break;
    case VT_UI4: v->ulVal = static_cast<ULONG>(x); break;
    case VT_UI1: v->bVal = static_cast<BYTE>(x); break;
    case VT_BOOL: v->boolVal = static_cast<VARIANT_BOOL>(x); break;
    default: break;
  }
}

LONGLONG GetInteger(const VARIANT& v) {
  switch (v.vt) {
    case VT_I2: return v.iVal;
    case VT_I4: return v.lVal;
    case VT_UI4: return v.ulVal;
    case VT_UI1: return v.bVal;
    case VT_BOOL: return v.boolVal;
    default: return -999999;
  }
}

TEST(Variant, ChangeTypeBetweenIntegersChecksRanges) {
  const ChangeCase cases[] = {
      {VT_I4, 70000, VT_I2, DISP_E_OVERFLOW, 0},
      {VT_I4, -32768, VT_I2, S_OK, -32768},
      {VT_I4, -1, VT_UI4, DISP_E_OVERFLOW, 0},
      {VT_UI4, 4294967295LL, VT_I4, DISP_E_OVERFLOW, 0},
      {VT_UI4, 2147483647LL, VT_I4, S_OK, 2147483647LL},
      {VT_I2, 255, VT_UI1, S_OK, 255},
      {VT_I2, 256, VT_UI1, DISP_E_OVERFLOW, 0},
      {VT_I4, 0, VT_BOOL, S_OK, VARIANT_FALSE},
      {VT_I4, 12, VT_BOOL, S_OK, VARIANT_TRUE},
      {VT_BOOL, VARIANT_TRUE, VT_I4, S_OK, -1},
      {VT_BOOL, VARIANT_TRUE, VT_UI1, S_OK, 255},
      {VT_BOOL, VARIANT_FALSE, VT_UI4, S_OK, 0},
  };
  for (const auto& c : cases) {
    VARIANT src, dst;
    SetInteger(&src, c.from, c.value);
    VariantInit(&dst);
    EXPECT_EQ(VariantChangeType(&dst, &src, 0, c.to), c.hr) << c.from << "->" << c.to << " " << c.value;
    if (c.hr == S_OK) {
      EXPECT_EQ(dst.vt, c.to);
      EXPECT_EQ(GetInteger(dst), c.expect) << c.from << "->" << c.to << " " << c.value;
    } else {
      EXPECT_EQ(dst.vt, VT_EMPTY);  // the destination is untouched on failure
    }
  }
}

TEST(Variant, ChangeTypeRoundsRealsHalfToEven) {
  const struct {
    double d;
    HRESULT hr;
    LONG expect;
  } cases[] = {{2.5, S_OK, 2}, {3.5, S_OK, 4}, {-2.5, S_OK, -2}, {2.4999, S_OK, 2}, {1e10, DISP_E_OVERFLOW, 0}};
  for (const auto& c : cases) {
    VARIANT src, dst;
    VariantInit(&src);
    VariantInit(&dst);
    src.vt = VT_R8;
    src.dblVal = c.d;
    EXPECT_EQ(VariantChangeType(&dst, &src, 0, VT_I4), c.hr) << c.d;
    if (c.hr == S_OK) {
      EXPECT_EQ(dst.lVal, c.expect) << c.d;
    }
  }
}

TEST(Variant, ChangeTypeToAndFromText) {
  VARIANT src = Bstr(u" 42 ");
  VARIANT dst;
  VariantInit(&dst);
  ASSERT_EQ(VariantChangeType(&dst, &src, 0, VT_UI4), S_OK);
  EXPECT_EQ(dst.vt, VT_UI4);
  EXPECT_EQ(dst.ulVal, 42u);
  ASSERT_EQ(VariantChangeType(&dst, &src, 0, VT_R8), S_OK);
  EXPECT_DOUBLE_EQ(dst.dblVal, 42.0);
  VariantClear(&src);

  src = Bstr(u"twelve");
  EXPECT_EQ(VariantChangeType(&dst, &src, 0, VT_I4), DISP_E_TYPEMISMATCH);
  VariantClear(&src);
  src = Bstr(u"true");
  ASSERT_EQ(VariantChangeType(&dst, &src, 0, VT_BOOL), S_OK);
  EXPECT_EQ(dst.boolVal, VARIANT_TRUE);
  VariantClear(&src);

  SetInteger(&src, VT_I4, -1234);
  ASSERT_EQ(VariantChangeType(&dst, &src, 0, VT_BSTR), S_OK);
  ASSERT_EQ(dst.vt, VT_BSTR);
  EXPECT_EQ(qel::u16(dst.bstrVal), u"-1234");
  VariantClear(&dst);

  SetInteger(&src, VT_BOOL, VARIANT_TRUE);
  ASSERT_EQ(VariantChangeType(&dst, &src, 0, VT_BSTR), S_OK);
  EXPECT_EQ(qel::u16(dst.bstrVal), u"-1");
  VariantClear(&dst);
  ASSERT_EQ(VariantChangeType(&dst, &src, VARIANT_ALPHABOOL, VT_BSTR), S_OK);
  EXPECT_EQ(qel::u16(dst.bstrVal), u"True");
  VariantClear(&dst);

  src.vt = VT_R8;
  src.dblVal = 0.1;
  ASSERT_EQ(VariantChangeType(&dst, &src, 0, VT_BSTR), S_OK);
  EXPECT_EQ(qel::u16(dst.bstrVal), u"0.1");
  VariantClear(&dst);
  src.dblVal = 1e20;
  ASSERT_EQ(VariantChangeType(&dst, &src, 0, VT_BSTR), S_OK);
  EXPECT_EQ(qel::u16(dst.bstrVal), u"1E+20");
  VariantClear(&dst);

  // Empty becomes zero, "" or false; null converts to nothing but itself.
  VariantInit(&src);
  ASSERT_EQ(VariantChangeType(&dst, &src, 0, VT_BSTR), S_OK);
  ASSERT_NE(dst.bstrVal, nullptr);
  EXPECT_EQ(SysStringLen(dst.bstrVal), 0u);
  VariantClear(&dst);
  ASSERT_EQ(VariantChangeType(&dst, &src, 0, VT_I4), S_OK);
  EXPECT_EQ(dst.lVal, 0);
  src.vt = VT_NULL;
  EXPECT_EQ(VariantChangeType(&dst, &src, 0, VT_I4), DISP_E_TYPEMISMATCH);
  EXPECT_EQ(VariantChangeType(&dst, &src, 0, VT_NULL), S_OK);
  EXPECT_EQ(dst.vt, VT_NULL);
}

TEST(Variant, ChangeTypeInPlaceReplacesTheValue) {
  VARIANT v = Bstr(u"&HFF");
  ASSERT_EQ(VariantChangeType(&v, &v, 0, VT_I4), S_OK);  // the BSTR is freed
  EXPECT_EQ(v.vt, VT_I4);
  EXPECT_EQ(v.lVal, 255);
  ASSERT_EQ(VariantChangeType(&v, &v, 0, VT_BSTR), S_OK);
  EXPECT_EQ(qel::u16(v.bstrVal), u"255");
  // A failed conversion leaves the variant as it was.
  ASSERT_EQ(VariantChangeType(&v, &v, 0, VT_UI1), S_OK);
  VARIANT big = Bstr(u"300");
  EXPECT_EQ(VariantChangeType(&big, &big, 0, VT_UI1), DISP_E_OVERFLOW);
  EXPECT_EQ(big.vt, VT_BSTR);
  EXPECT_EQ(qel::u16(big.bstrVal), u"300");
  VariantClear(&big);
}

TEST(Variant, ChangeTypeOfObjectsAndReferences) {
  auto probe = qel::MakeComObject<Probe>(7);
  VARIANT src, dst;
  VariantInit(&src);
  VariantInit(&dst);
  src.vt = VT_DISPATCH;
  src.pdispVal = probe.Get();
  // The object's value property is read, unless the caller forbids it.
  ASSERT_EQ(VariantChangeType(&dst, &src, 0, VT_I4), S_OK);
  EXPECT_EQ(dst.lVal, 7);
  EXPECT_EQ(VariantChangeType(&dst, &src, VARIANT_NOVALUEPROP, VT_I4), DISP_E_TYPEMISMATCH);
  ASSERT_EQ(VariantChangeType(&dst, &src, 0, VT_UNKNOWN), S_OK);
  EXPECT_EQ(dst.vt, VT_UNKNOWN);
  EXPECT_EQ(probe->RefCountForTests(), 2u);
  VariantClear(&dst);
  EXPECT_EQ(probe->RefCountForTests(), 1u);
  SetInteger(&src, VT_I4, 1);
  EXPECT_EQ(VariantChangeType(&dst, &src, 0, VT_DISPATCH), DISP_E_TYPEMISMATCH);

  LONG target = 99;
  src.vt = VT_I4 | VT_BYREF;
  src.byref = &target;
  ASSERT_EQ(VariantChangeType(&dst, &src, 0, VT_BSTR), S_OK);
  EXPECT_EQ(qel::u16(dst.bstrVal), u"99");
  VariantClear(&dst);
  EXPECT_EQ(VariantChangeType(&dst, &src, 0, VT_I4 | VT_BYREF), DISP_E_TYPEMISMATCH);
  src.vt = 0x7F;
  EXPECT_EQ(VariantChangeType(&dst, &src, 0, VT_I4), DISP_E_BADVARTYPE);
}

TEST(Variant, ConvertersToText) {
  BSTR b = nullptr;
  ASSERT_EQ(VarBstrFromUI4(4294967295u, 0, 0, &b), S_OK);
  EXPECT_EQ(qel::u16(b), u"4294967295");
  SysFreeString(b);
  ASSERT_EQ(VarBstrFromI4(-2147483647 - 1, 0, 0, &b), S_OK);
  EXPECT_EQ(qel::u16(b), u"-2147483648");
  SysFreeString(b);
  ASSERT_EQ(VarBstrFromR8(-1.5, 0, 0, &b), S_OK);
  EXPECT_EQ(qel::u16(b), u"-1.5");
  SysFreeString(b);
  EXPECT_EQ(VarBstrFromUI4(1, 0, 0, nullptr), E_INVALIDARG);
}

}  // namespace
