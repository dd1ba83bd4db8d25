// Workspace read + description build for 1,000, 10,000 and 100,000
// controllers: wall time and peak memory of each size in a process of its
// own, against libxml2 parsing the same file with one XPath query.
//
//   bench_workspace [--sizes 1000,10000,100000] [--repeat 3]
#include <libxml/parser.h>
#include <libxml/xpath.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "QelUPnP.h"
#include "qel/kernel.h"
#include "qel/wstr.h"

namespace {

namespace fs = std::filesystem;

void WriteWorkspace(const fs::path& path, int controllers) {
  std::ofstream out(path, std::ios::binary);
  out << "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<QelWorkspace>\n <INode Type=\"clsQelSQLWorkspace\">\n"
         "  <clsQelSQLWorkspace><m_strUDN>uuid:6f9a3c2e-4b1d-4e8a-9c55-2d7b8e1f0a34</m_strUDN>"
         "<m_strFriendlyName>本社第一工場</m_strFriendlyName><m_strManufacturer>株式会社キューイーエル</m_strManufacturer>"
         "</clsQelSQLWorkspace>\n";
  for (int i = 0; i < controllers; ++i) {
    out << "  <INode Type=\"clsQelSQLController\" Name=\"c" << i << "\"><clsQelSQLController><m_bEnabled>"
        << (i % 10 == 9 ? "False" : "True") << "</m_bEnabled><RSQLCtrlName>Controller" << i
        << "</RSQLCtrlName><m_nPollInterval>500</m_nPollInterval></clsQelSQLController></INode>\n";
  }
  out << " </INode>\n</QelWorkspace>\n";
}

double Now() {
  return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

// The program's path: the heap set up as the process entry sets it, then
// ReadCSQ and CreateDDD, as RunService runs them.
int RunProgram(const fs::path& file, const fs::path& outDir, int* found) {
  qel::ConfigureProcessHeap();
  CoInitialize(nullptr);
  int rc = 0;
  {
    CQelUPnP module;
    qel::u16 p = qel::FromUtf8(file.string());
    std::copy(p.begin(), p.end(), module.m_szDataPath);
    qel::u16 d = qel::FromUtf8(outDir.string() + "/");
    module.m_bstrModuleDir = SysAllocStringLen(d.data(), static_cast<UINT>(d.size()));
    BSTR text = nullptr;
    if (FAILED(module.ReadCSQ()) || FAILED(module.CreateDDD(&text))) rc = 1;
    *found = module.m_controllers.GetSize();
    SysFreeString(text);
  }
  CoUninitialize();
  return rc;
}

// The baseline: libxml2 alone, parse plus the one controller query.
int RunLibxml2(const fs::path& file, int* found) {
  xmlDocPtr doc = xmlReadFile(file.c_str(), nullptr, XML_PARSE_NONET | XML_PARSE_NOBLANKS);
  if (!doc) return 1;
  xmlXPathContextPtr ctx = xmlXPathNewContext(doc);
  xmlXPathObjectPtr res =
      xmlXPathEvalExpression(BAD_CAST "/*/INode[1]/INode[@Type='clsQelSQLController']", ctx);
  *found = (res && res->nodesetval) ? res->nodesetval->nodeNr : 0;
  xmlXPathFreeObject(res);
  xmlXPathFreeContext(ctx);
  xmlFreeDoc(doc);
  return 0;
}

struct Sample {
  double seconds = 0;
  long peakKb = 0;
  int found = 0;
};

// Runs one measurement in a child so that its peak memory is its own.
bool Measure(bool program, const fs::path& file, const fs::path& outDir, Sample* s) {
  int fds[2];
  if (pipe(fds) != 0) return false;
  pid_t pid = fork();
  if (pid == 0) {
    close(fds[0]);
    Sample r;
    double t0 = Now();
    int rc = program ? RunProgram(file, outDir, &r.found) : RunLibxml2(file, &r.found);
    r.seconds = Now() - t0;
    struct rusage ru {};
    getrusage(RUSAGE_SELF, &ru);
    r.peakKb = ru.ru_maxrss;
    if (write(fds[1], &r, sizeof r) != static_cast<ssize_t>(sizeof r)) rc = 1;
    _exit(rc);
  }
  close(fds[1]);
  bool ok = read(fds[0], s, sizeof *s) == static_cast<ssize_t>(sizeof *s);
  close(fds[0]);
  int status = 0;
  waitpid(pid, &status, 0);
  return ok && WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

}  // namespace

int main(int argc, char** argv) {
  std::vector<int> sizes = {1000, 10000, 100000};
  int repeat = 3;
  for (int i = 1; i < argc; ++i) {
    if (!std::strcmp(argv[i], "--sizes") && i + 1 < argc) {
      sizes.clear();
      for (char* tok = std::strtok(argv[++i], ","); tok; tok = std::strtok(nullptr, ",")) sizes.push_back(std::atoi(tok));
    } else if (!std::strcmp(argv[i], "--repeat") && i + 1 < argc) {
      repeat = std::max(1, std::atoi(argv[++i]));
    } else {
      std::printf("usage: %s [--sizes 1000,10000,100000] [--repeat N]\n", argv[0]);
      return std::strcmp(argv[i], "--help") ? 2 : 0;
    }
  }
  char tmpl[] = "/tmp/qel-bench-workspace-XXXXXX";
  if (!mkdtemp(tmpl)) return 1;
  fs::path dir = tmpl;
  setenv("QELUPNP_STATE_DIR", (dir / "state").c_str(), 1);  // a private registry store

  std::printf("%-10s %12s %12s %12s %12s %8s\n", "controllers", "program s", "program MB", "libxml2 s",
              "libxml2 MB", "ratio");
  double firstTime = 0, goal = 0;
  int status = 0;
  for (int n : sizes) {
    fs::path file = dir / ("ws" + std::to_string(n) + ".xml");
    WriteWorkspace(file, n);
    Sample best{1e9, 0, 0}, base{1e9, 0, 0};
    for (int r = 0; r < repeat; ++r) {
      Sample s, b;
      if (!Measure(true, file, dir, &s) || !Measure(false, file, dir, &b)) {
        std::fprintf(stderr, "bench_workspace: run for %d controllers failed\n", n);
        status = 1;
        break;
      }
      if (s.seconds < best.seconds) best = s;
      if (b.seconds < base.seconds) base = b;
    }
    if (firstTime == 0) firstTime = best.seconds;
    if (n == 100000) goal = best.seconds / base.seconds;
    std::printf("%-10d %12.4f %12.1f %12.4f %12.1f %8.2f   (%d enabled, %.1fx the first size)\n", n, best.seconds,
                best.peakKb / 1024.0, base.seconds, base.peakKb / 1024.0, best.seconds / base.seconds, best.found,
                best.seconds / firstTime);
  }
  if (goal > 0)
    std::printf("100,000 controllers: workspace read + description build %.2fx libxml2 parse + XPath count   "
                "goal: <= 3x: %s\n",
                goal, goal <= 3 ? "met" : "MISSED");
  std::error_code ec;
  fs::remove_all(dir, ec);
  return status;
}
