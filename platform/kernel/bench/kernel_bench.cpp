// The kernel layer's hot paths for the diagnostic log: formatting a message
// and a timestamp, and one exclusive open + append + close of the log file.
#include <benchmark/benchmark.h>
#include <unistd.h>

#include <filesystem>
#include <string>
#include <system_error>

#include "qel/kernel.h"
#include "qel/wstr.h"

namespace {

void BM_FormatTimestamp(benchmark::State& state) {
  WCHAR buf[26];
  SYSTEMTIME st{2004, 7, 4, 15, 9, 5, 3, 42};
  for (auto _ : state) {
    int n = swprintf_s(buf, 26, TEXT("%04d/%02d/%02d %02d:%02d:%02d.%04d\t"), st.wYear, st.wMonth, st.wDay, st.wHour,
                       st.wMinute, st.wSecond, st.wMilliseconds);
    benchmark::DoNotOptimize(n);
  }
}
BENCHMARK(BM_FormatTimestamp);

void BM_FormatMessageTruncated(benchmark::State& state) {
  WCHAR buf[256];
  std::u16string arg(300, u'x');
  for (auto _ : state) {
    int n = _snwprintf_s(buf, 256, _TRUNCATE, TEXT("QelUPnP:%s %d"), arg.c_str(), 42);
    benchmark::DoNotOptimize(n);
  }
}
BENCHMARK(BM_FormatMessageTruncated);

void BM_LocalTime(benchmark::State& state) {
  SYSTEMTIME st;
  for (auto _ : state) {
    GetLocalTime(&st);
    benchmark::DoNotOptimize(st);
  }
}
BENCHMARK(BM_LocalTime);

void BM_ExclusiveAppendCycle(benchmark::State& state) {
  auto dir = std::filesystem::temp_directory_path() / ("qel-kernel-bench-" + std::to_string(getpid()));
  std::filesystem::create_directories(dir);
  qel::u16 path = qel::FromUtf8((dir / "qel.log").string());
  const char16_t entry[] = u"2004/07/15 09:05:03.0042\tQelUPnP:Service started";
  for (auto _ : state) {
    HANDLE h = CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, OPEN_ALWAYS, 0, nullptr);
    if (h == INVALID_HANDLE_VALUE) {
      state.SkipWithError("open failed");
      break;
    }
    SetFilePointer(h, 0, nullptr, FILE_END);
    DWORD n;
    WriteFile(h, entry, sizeof entry - sizeof(char16_t), &n, nullptr);
    CloseHandle(h);
  }
  state.SetItemsProcessed(state.iterations());
  std::error_code ec;
  std::filesystem::remove_all(dir, ec);
}
BENCHMARK(BM_ExclusiveAppendCycle);

}  // namespace

BENCHMARK_MAIN();
