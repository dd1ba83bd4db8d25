// Registration timings: the built program's -RegServer and -UnregServer in a
// private state directory, and the registration script's passes in-process.
#include <benchmark/benchmark.h>


#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "RegistryScript.h"
#include "qel/statedir.h"
#include "qel/wstr.h"


namespace {

namespace fs = std::filesystem;

// A private state directory for the whole benchmark run.
const std::string& StateDir() {
  static const std::string dir = [] {
    const char* base = std::getenv("QELUPNP_STATE_DIR_BASE");
    std::string tmpl = std::string(base ? base : fs::temp_directory_path().c_str()) + "/comreg-bench-XXXXXX";
    std::vector<char> buf(tmpl.begin(), tmpl.end());
    buf.push_back('\0');
    if (!mkdtemp(buf.data())) std::abort();
    setenv("QELUPNP_STATE_DIR", buf.data(), 1);
    setenv("QELUPNP_MSGBOX_ANSWER", "ok", 1);
    qel::ResetStateDirForTests();
    return std::string(buf.data());
  }();
  return dir;
}

// Runs the program with one switch, as an administrator's shell would; the
// shell's own start adds about a millisecond to the figure.
int RunProgram(const char* sw) {
  std::string cmd = std::string("'") + QEL_BENCH_PROGRAM + "' " + sw + " >/dev/null 2>&1";
  int status = std::system(cmd.c_str());
  return status == -1 ? -1 : (status >> 8) & 0xff;
}

void BM_ProgramRegServer(benchmark::State& state) {
  StateDir();
  if (!*QEL_BENCH_PROGRAM) {
    state.SkipWithError("the program is not built");
    return;
  }
  for (auto _ : state) {
    if (RunProgram("-RegServer") != 0) state.SkipWithError("-RegServer failed");
    state.PauseTiming();
    RunProgram("-UnregServer");
    state.ResumeTiming();
  }
}
BENCHMARK(BM_ProgramRegServer)->Unit(benchmark::kMillisecond)->UseRealTime();

void BM_ProgramUnregServer(benchmark::State& state) {
  StateDir();
  if (!*QEL_BENCH_PROGRAM) {
    state.SkipWithError("the program is not built");
    return;
  }
  for (auto _ : state) {
    state.PauseTiming();
    RunProgram("-RegServer");
    state.ResumeTiming();
    if (RunProgram("-UnregServer") != 0) state.SkipWithError("-UnregServer failed");
  }
}
BENCHMARK(BM_ProgramUnregServer)->Unit(benchmark::kMillisecond)->UseRealTime();

// The program's script from a program file's resources, both passes.
void BM_ScriptPasses(benchmark::State& state) {
  StateDir();
  CoInitialize(nullptr);
  qel::u16 path = qel::FromUtf8(QEL_FIXTURE_PROGRAM);
  for (auto _ : state) {
    ScriptVariables vars;
    RegistryScript script(vars);
    if (FAILED(script.RunScriptResource(path.c_str(), 100, TEXT("REGISTRY"), TRUE)) ||
        FAILED(script.RunScriptResource(path.c_str(), 100, TEXT("REGISTRY"), FALSE)))
      state.SkipWithError("script run failed");
  }
  CoUninitialize();
}
BENCHMARK(BM_ScriptPasses)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
