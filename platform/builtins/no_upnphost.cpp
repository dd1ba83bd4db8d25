// Linked only when the platform is built without a UPnP library: the registrar
// class is registered but has no server, as on a system without the device host.
#include "qel/builtins.h"

extern "C" HRESULT qel_upnphost_DllGetClassObject(REFCLSID, REFIID, void** ppv) {
  if (ppv) *ppv = nullptr;
  return CLASS_E_CLASSNOTAVAILABLE;
}
