// Test helper: publishes a device description with the platform's UPnP Device
// Host and QelDeviceControl, as the service does, and waits until it is ended
// (Ctrl+C / SIGTERM, or killed); or withdraws a device by its id.
//   qel_net_publish serve DESCRIPTION RESOURCE_DIR [LIFETIME]   prints "id=<id>"
//   qel_net_publish withdraw ID
#include <windows.h>
#include <objbase.h>
#include <oleauto.h>
#include <upnphost.h>

#include <cstdio>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "../../devicecontrol/QelDeviceControl.h"
#include "qel/wstr.h"

namespace {

std::vector<std::string> SplitArgs(LPCWSTR cmd) {
  std::vector<std::string> out;
  std::string cur, all = qel::ToUtf8(qel::WView(cmd));
  bool quoted = false, any = false;
  for (char c : all) {
    if (c == '"') {
      quoted = !quoted;
      any = true;
    } else if (c == ' ' && !quoted) {
      if (any) out.push_back(cur);
      cur.clear();
      any = false;
    } else {
      cur += c;
      any = true;
    }
  }
  if (any) out.push_back(cur);
  return out;
}

BSTR Bstr(const std::string& s) { return SysAllocString(qel::FromUtf8(s).c_str()); }

}  // namespace

int WINAPI wWinMain(HINSTANCE, HINSTANCE, LPWSTR lpCmdLine, int) {
  const std::vector<std::string> args = SplitArgs(lpCmdLine);
  if (args.empty() || (args[0] == "serve" && args.size() < 3) || (args[0] == "withdraw" && args.size() < 2)) {
    std::fprintf(stderr, "usage: qel_net_publish serve DESCRIPTION RESOURCE_DIR [LIFETIME] | withdraw ID\n");
    return 1;
  }
  CoInitialize(nullptr);
  IUPnPRegistrar* pRegistrar = nullptr;
  HRESULT hr = CoCreateInstance(CLSID_UPnPRegistrar, nullptr, CLSCTX_LOCAL_SERVER, IID_IUPnPRegistrar,
                                reinterpret_cast<void**>(&pRegistrar));
  if (FAILED(hr)) {
    std::fprintf(stderr, "no registrar: 0x%08X\n", static_cast<unsigned>(hr));
    return 2;
  }
  if (args[0] == "withdraw") {
    BSTR id = Bstr(args[1]);
    hr = pRegistrar->UnregisterDevice(id, TRUE);
    SysFreeString(id);
    pRegistrar->Release();
    std::printf("withdraw=0x%08X\n", static_cast<unsigned>(hr));
    return SUCCEEDED(hr) ? 0 : 3;
  }
  IUnknown* pControl = nullptr;
  hr = CoCreateInstance(CLSID_QelDeviceControl, nullptr, CLSCTX_INPROC_SERVER, IID_IUnknown,
                        reinterpret_cast<void**>(&pControl));
  if (FAILED(hr)) {
    std::fprintf(stderr, "no device control: 0x%08X\n", static_cast<unsigned>(hr));
    return 4;
  }
  std::ifstream f(args[1], std::ios::binary);
  std::stringstream text;
  text << f.rdbuf();
  BSTR desc = Bstr(text.str()), init = Bstr("QelUPnP"), dir = Bstr(args[2]), id = nullptr;
  const LONG lifetime = args.size() > 3 ? std::stol(args[3]) : 3200;
  hr = pRegistrar->RegisterRunningDevice(desc, pControl, init, dir, lifetime, &id);
  SysFreeString(desc);
  SysFreeString(init);
  SysFreeString(dir);
  pControl->Release();
  pRegistrar->Release();
  if (FAILED(hr)) {
    std::fprintf(stderr, "register: 0x%08X\n", static_cast<unsigned>(hr));
    return 5;
  }
  std::printf("id=%s\n", qel::ToUtf8(qel::WView(id)).c_str());
  std::fflush(stdout);
  SysFreeString(id);
  MSG msg;
  while (GetMessageW(&msg, nullptr, 0, 0) > 0) DispatchMessageW(&msg);
  return 0;
}
