// WriteLog throughput: messages per second appended to the log file (each one
// opens, appends to and closes the file), from one thread and from two, and
// the cost of a message dropped by the threshold.
#include "QelUPnP.h"

#include <benchmark/benchmark.h>

#include <atomic>
#include <filesystem>
#include <memory>
#include <string>
#include <system_error>

#include "qel/wstr.h"

namespace {

std::filesystem::path LogPath(const char* name) {
  static std::atomic<int> counter{0};
  const auto dir = std::filesystem::temp_directory_path() /
                   ("qel-log-bench-" + std::to_string(GetCurrentProcessId()) + "-" + std::to_string(counter++));
  std::filesystem::create_directories(dir);
  return dir / name;
}

void UseFile(CQelUPnP& module, const std::filesystem::path& path) {
  module.m_dwLogType = 4;
  const std::u16string w = qel::FromUtf8(path.string());
  lstrcpynW(module.m_szLogFile, w.c_str(), MAX_PATH);
}

void Cleanup(const std::filesystem::path& path) {
  std::error_code ec;
  std::filesystem::remove_all(path.parent_path(), ec);
}

void BM_WriteLogToFile(benchmark::State& state) {
  CQelUPnP module;
  const auto path = LogPath("qel.log");
  UseFile(module, path);
  for (auto _ : state) module.WriteLog(1, TEXT("QelUPnP:Service started"));
  state.SetItemsProcessed(state.iterations());
  state.counters["file_bytes"] = static_cast<double>(std::filesystem::file_size(path));
  Cleanup(path);
}
BENCHMARK(BM_WriteLogToFile)->UseRealTime()->Unit(benchmark::kMicrosecond);

void BM_WriteLogFormattedToFile(benchmark::State& state) {
  CQelUPnP module;
  const auto path = LogPath("qel.log");
  UseFile(module, path);
  int i = 0;
  for (auto _ : state) module.WriteLog(1, TEXT("entry %d of %s\n"), ++i, TEXT("the benchmark"));
  state.SetItemsProcessed(state.iterations());
  Cleanup(path);
}
BENCHMARK(BM_WriteLogFormattedToFile)->UseRealTime()->Unit(benchmark::kMicrosecond);

// The run thread and the control handler logging into one file at once.
std::unique_ptr<CQelUPnP> g_shared;
std::filesystem::path g_sharedPath;
void BM_WriteLogToFileTwoThreads(benchmark::State& state) {
  if (state.thread_index() == 0) {
    g_shared = std::make_unique<CQelUPnP>();
    g_sharedPath = LogPath("qel.log");
    UseFile(*g_shared, g_sharedPath);
  }
  for (auto _ : state) g_shared->WriteLog(1, TEXT("QelUPnP:Service started"));
  state.SetItemsProcessed(state.iterations());
  if (state.thread_index() == 0) {
    g_shared.reset();
    Cleanup(g_sharedPath);
  }
}
BENCHMARK(BM_WriteLogToFileTwoThreads)->Threads(2)->UseRealTime()->Unit(benchmark::kMicrosecond);

void BM_WriteLogBelowThreshold(benchmark::State& state) {
  CQelUPnP module;
  module.m_dwLogLevel = 2;
  module.m_dwLogType = 4;
  for (auto _ : state) module.WriteLog(0, TEXT("CQelUPnP::ReadRegInfo was called."));
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_WriteLogBelowThreshold);

}  // namespace

BENCHMARK_MAIN();
