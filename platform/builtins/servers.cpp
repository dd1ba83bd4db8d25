#include "qel/builtins.h"

namespace qel::builtins {

GetClassObjectFn FindServer(std::u16string_view name) {
  if (name == u"msxml") return &qel_msxml_DllGetClassObject;
  if (name == u"upnphost") return &qel_upnphost_DllGetClassObject;
  return nullptr;
}

}  // namespace qel::builtins
