// Linked only when the platform is built without its DOM: the document classes
// are registered but have no server.
#include "qel/builtins.h"

extern "C" HRESULT qel_msxml_DllGetClassObject(REFCLSID, REFIID, void** ppv) {
  if (ppv) *ppv = nullptr;
  return CLASS_E_CLASSNOTAVAILABLE;
}
