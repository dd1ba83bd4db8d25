// Interface traits of the UPnP interfaces, for qel::ComObject and qel::ComPtr.
#pragma once

#include "qel/comobj.h"
#include "upnphost.h"

QEL_COM_INTERFACE(IUPnPRegistrar, IUnknown, IID_IUPnPRegistrar);
QEL_COM_INTERFACE(IUPnPDeviceControl, IUnknown, IID_IUPnPDeviceControl);
QEL_COM_INTERFACE(IUPnPEventSink, IUnknown, IID_IUPnPEventSink);
QEL_COM_INTERFACE(IUPnPEventSource, IUnknown, IID_IUPnPEventSource);
