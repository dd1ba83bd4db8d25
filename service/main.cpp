// The process entry: prepares the module, applies one of the registration
// switches, or starts the service (or runs it in the foreground).
#include "cmdline.h"

int WINAPI wWinMain(HINSTANCE hInstance, HINSTANCE /*hPrevInstance*/, LPWSTR /*lpCmdLine*/, int /*nShowCmd*/) {
  return static_cast<int>(RunProcessEntry(hInstance, GetCommandLineW()));
}
