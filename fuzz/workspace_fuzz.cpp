// Feeds arbitrary bytes to the workspace reader as the workspace file, and
// builds the device description from whatever it read.
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <system_error>

#include "QelUPnP.h"
#include "qel/wstr.h"

namespace {

std::filesystem::path g_dir;
qel::u16 g_workspace;
qel::u16 g_moduleDir;

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  // Saves are synced to disk: work in memory where the system offers it.
  std::filesystem::path base = std::filesystem::exists("/dev/shm") ? "/dev/shm" : std::filesystem::temp_directory_path();
  std::string templ = (base / "qel-fuzz-workspace-XXXXXX").string();
  if (!mkdtemp(templ.data())) std::abort();
  g_dir = templ;
  if (!std::getenv("QELUPNP_STATE_DIR")) setenv("QELUPNP_STATE_DIR", (g_dir / "state").c_str(), 1);
  g_workspace = qel::FromUtf8((g_dir / "QelWorkspace.xml").string());
  g_moduleDir = qel::FromUtf8(g_dir.string() + "/");
  CoInitialize(nullptr);
  std::atexit([] {
    std::error_code ec;
    std::filesystem::remove_all(g_dir, ec);
  });
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  {
    std::ofstream out(g_dir / "QelWorkspace.xml", std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(data), static_cast<std::streamsize>(size));
  }
  CQelUPnP module;
  std::copy(g_workspace.begin(), g_workspace.end(), module.m_szDataPath);
  module.m_bstrModuleDir = SysAllocStringLen(g_moduleDir.data(), static_cast<UINT>(g_moduleDir.size()));
  if (SUCCEEDED(module.ReadCSQ())) {
    BSTR bstrText = nullptr;
    if (SUCCEEDED(module.CreateDDD(&bstrText)) && !bstrText) std::abort();  // success always hands text back
    SysFreeString(bstrText);
  }
  return 0;
}
