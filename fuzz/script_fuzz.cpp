// Fuzz target: the registration script interpreter over arbitrary text, both
// passes, against a private registry store.
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "RegistryScript.h"

namespace {

// The store lives in a directory of its own for the whole fuzzing run.
void UsePrivateState() {
  std::string base = std::filesystem::temp_directory_path().string() + "/qelupnp-script-fuzz-XXXXXX";
  std::vector<char> dir(base.begin(), base.end());
  dir.push_back('\0');
  if (!mkdtemp(dir.data())) std::abort();
  setenv("QELUPNP_STATE_DIR", dir.data(), 1);
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  UsePrivateState();
  CoInitialize(nullptr);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size > 1 << 16) return -1;
  // The bytes are read as a script resource is: 8-bit text up to its first null.
  std::string text(reinterpret_cast<const char*>(data), size);
  text.resize(lstrlenA(text.c_str()));
  std::vector<WCHAR> wide(text.size() + 1, 0);
  MultiByteToWideChar(CP_ACP, 0, text.c_str(), -1, wide.data(), static_cast<int>(wide.size()));
  wide.back() = 0;

  ScriptVariables vars;
  vars.Add(TEXT("Module"), TEXT("/opt/qel''upnp/qelupnp"));
  vars.Add(TEXT("Name"), TEXT("Fuzz"));
  for (BOOL bRegister : {TRUE, FALSE}) {
    RegistryScript script(vars);
    script.RunScriptText(wide.data(), bRegister);
  }
  return 0;
}
