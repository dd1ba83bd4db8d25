// UPnP Device Host: the registrar that publishes devices on the network, and
// the interfaces a device-control object implements for the host.
//
// Written against SDK names only: the Windows build uses this header where the
// toolchain has none (MinGW-w64), next to that toolchain's own headers.
#pragma once

#include "winerror.h"
#include "unknwn.h"
#include "oaidl.h"

// Status codes of the device host and of UPnP control.
#ifndef UPNP_E_ROOT_ELEMENT_EXPECTED
#define UPNP_E_ROOT_ELEMENT_EXPECTED _HRESULT_TYPEDEF_(0x80040200L)
#define UPNP_E_DEVICE_ELEMENT_EXPECTED _HRESULT_TYPEDEF_(0x80040201L)
#define UPNP_E_SERVICE_ELEMENT_EXPECTED _HRESULT_TYPEDEF_(0x80040202L)
#define UPNP_E_SERVICE_NODE_INCOMPLETE _HRESULT_TYPEDEF_(0x80040203L)
#define UPNP_E_DEVICE_NODE_INCOMPLETE _HRESULT_TYPEDEF_(0x80040204L)
#define UPNP_E_ICON_ELEMENT_EXPECTED _HRESULT_TYPEDEF_(0x80040205L)
#define UPNP_E_ICON_NODE_INCOMPLETE _HRESULT_TYPEDEF_(0x80040206L)
#define UPNP_E_INVALID_ACTION _HRESULT_TYPEDEF_(0x80040207L)
#define UPNP_E_INVALID_ARGUMENTS _HRESULT_TYPEDEF_(0x80040208L)
#define UPNP_E_OUT_OF_SYNC _HRESULT_TYPEDEF_(0x80040209L)
#define UPNP_E_ACTION_REQUEST_FAILED _HRESULT_TYPEDEF_(0x80040210L)
#define UPNP_E_TRANSPORT_ERROR _HRESULT_TYPEDEF_(0x80040211L)
#define UPNP_E_VARIABLE_VALUE_UNKNOWN _HRESULT_TYPEDEF_(0x80040212L)
#define UPNP_E_INVALID_VARIABLE _HRESULT_TYPEDEF_(0x80040213L)
#define UPNP_E_DEVICE_ERROR _HRESULT_TYPEDEF_(0x80040214L)
#define UPNP_E_PROTOCOL_ERROR _HRESULT_TYPEDEF_(0x80040215L)
#define UPNP_E_ERROR_PROCESSING_RESPONSE _HRESULT_TYPEDEF_(0x80040216L)
#define UPNP_E_DEVICE_TIMEOUT _HRESULT_TYPEDEF_(0x80040217L)
#define UPNP_E_INVALID_DOCUMENT _HRESULT_TYPEDEF_(0x80040500L)
#define UPNP_E_EVENT_SUBSCRIPTION_FAILED _HRESULT_TYPEDEF_(0x80040501L)
#define UPNP_E_ACTION_SPECIFIC_BASE _HRESULT_TYPEDEF_(0x80040300L)
#define UPNP_E_ACTION_SPECIFIC_MAX _HRESULT_TYPEDEF_(0x800403FFL)
#endif

// A service object that wants to fail an action with a UPnP error code NNN
// (600-899) returns UPNP_E_ACTION_SPECIFIC_BASE + (NNN - 600) from Invoke;
// the host answers 401 Invalid Action for UPNP_E_INVALID_ACTION and for
// DISP_E_MEMBERNOTFOUND / DISP_E_UNKNOWNNAME, 402 for UPNP_E_INVALID_ARGUMENTS.
#ifndef FAULT_INVALID_ACTION
#define FAULT_INVALID_ACTION 401
#define FAULT_INVALID_ARG 402
#define FAULT_DEVICE_INTERNAL_ERROR 501
#define FAULT_ACTION_SPECIFIC_BASE 600
#define FAULT_ACTION_SPECIFIC_MAX 899
#endif

extern "C" const CLSID CLSID_UPnPRegistrar;     // {204810B9-73B2-11D4-BF42-00B0D0118B56}
extern "C" const IID IID_IUPnPRegistrar;        // {204810B6-73B2-11D4-BF42-00B0D0118B56}
extern "C" const IID IID_IUPnPDeviceControl;    // {204810BA-73B2-11D4-BF42-00B0D0118B56}
extern "C" const IID IID_IUPnPEventSink;        // {204810B4-73B2-11D4-BF42-00B0D0118B56}
extern "C" const IID IID_IUPnPEventSource;      // {204810B5-73B2-11D4-BF42-00B0D0118B56}

// The registrar. RegisterRunningDevice publishes a device whose control object
// already runs in the caller; the id it hands back names the device for
// GetUniqueDeviceName and UnregisterDevice, also in a later process.
struct DECLSPEC_NOVTABLE IUPnPRegistrar : public IUnknown {
  virtual HRESULT STDMETHODCALLTYPE RegisterDevice(BSTR bstrXMLDesc, BSTR bstrProgIDDeviceControlClass,
                                                   BSTR bstrInitString, BSTR bstrContainerId,
                                                   BSTR bstrResourcePath, LONG nLifeTime,
                                                   BSTR* pbstrDeviceIdentifier) = 0;
  virtual HRESULT STDMETHODCALLTYPE RegisterRunningDevice(BSTR bstrXMLDesc, IUnknown* punkDeviceControl,
                                                          BSTR bstrInitString, BSTR bstrResourcePath,
                                                          LONG nLifeTime, BSTR* pbstrDeviceIdentifier) = 0;
  virtual HRESULT STDMETHODCALLTYPE RegisterDeviceProvider(BSTR bstrProviderName, BSTR bstrProgIDProviderClass,
                                                           BSTR bstrInitString, BSTR bstrContainerId) = 0;
  virtual HRESULT STDMETHODCALLTYPE GetUniqueDeviceName(BSTR bstrDeviceIdentifier, BSTR bstrTemplateUDN,
                                                        BSTR* pbstrUDN) = 0;
  virtual HRESULT STDMETHODCALLTYPE UnregisterDevice(BSTR bstrDeviceIdentifier, BOOL fPermanent) = 0;
  virtual HRESULT STDMETHODCALLTYPE UnregisterDeviceProvider(BSTR bstrProviderName) = 0;
 protected:
  ~IUPnPRegistrar() = default;
};

// Implemented by the device's control object. The host calls Initialize once
// with the description as published (control and event URLs filled in), the
// device's id and the caller's init string, then asks for one service object
// per service; SOAP actions reach that object through IDispatch.
struct DECLSPEC_NOVTABLE IUPnPDeviceControl : public IUnknown {
  virtual HRESULT STDMETHODCALLTYPE Initialize(BSTR bstrXMLDesc, BSTR bstrDeviceIdentifier,
                                               BSTR bstrInitString) = 0;
  virtual HRESULT STDMETHODCALLTYPE GetServiceObject(BSTR bstrUDN, BSTR bstrServiceId,
                                                     IDispatch** ppdispService) = 0;
 protected:
  ~IUPnPDeviceControl() = default;
};

// The host's side of eventing: a service object that offers IUPnPEventSource
// is handed a sink and tells it which of its variables (by DISPID) changed;
// the host then reads them with IDispatch::Invoke(DISPATCH_PROPERTYGET).
struct DECLSPEC_NOVTABLE IUPnPEventSink : public IUnknown {
  virtual HRESULT STDMETHODCALLTYPE OnStateChanged(DWORD cChanges, DISPID rgdispidChanges[]) = 0;
  virtual HRESULT STDMETHODCALLTYPE OnStateChangedSafe(VARIANT varsadispidChanges) = 0;
 protected:
  ~IUPnPEventSink() = default;
};

struct DECLSPEC_NOVTABLE IUPnPEventSource : public IUnknown {
  virtual HRESULT STDMETHODCALLTYPE Advise(IUnknown* pesSubscriber) = 0;
  virtual HRESULT STDMETHODCALLTYPE Unadvise(IUnknown* pesSubscriber) = 0;
 protected:
  ~IUPnPEventSource() = default;
};
