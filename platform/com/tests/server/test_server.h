// The classes and the interface of the test server library, shared by the
// library and the tests that drive it.
#pragma once

#include "unknwn.h"

// {6E1F3C2A-0B7D-4E59-8A43-21C9D5F0B711}
inline constexpr CLSID kClsidTestCounter = {0x6E1F3C2A, 0x0B7D, 0x4E59, {0x8A, 0x43, 0x21, 0xC9, 0xD5, 0xF0, 0xB7, 0x11}};
// {6E1F3C2A-0B7D-4E59-8A43-21C9D5F0B712}
inline constexpr CLSID kClsidTestAggregatable = {0x6E1F3C2A, 0x0B7D, 0x4E59, {0x8A, 0x43, 0x21, 0xC9, 0xD5, 0xF0, 0xB7, 0x12}};
// {6E1F3C2A-0B7D-4E59-8A43-21C9D5F0B7A0}
inline constexpr IID kIidTestCounter = {0x6E1F3C2A, 0x0B7D, 0x4E59, {0x8A, 0x43, 0x21, 0xC9, 0xD5, 0xF0, 0xB7, 0xA0}};

struct ITestCounter : public IUnknown {
  virtual HRESULT STDMETHODCALLTYPE Increment(LONG* pValue) = 0;
  virtual HRESULT STDMETHODCALLTYPE RunCount(LONG* pValue) = 0;
  // The outer object this one was created for (aggregation), not AddRef'd.
  virtual IUnknown* STDMETHODCALLTYPE Outer() = 0;

 protected:
  ~ITestCounter() = default;
};
