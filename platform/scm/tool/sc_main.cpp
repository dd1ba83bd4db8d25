// qelupnp-sc: the service control tool, with the commands, output and exit
// codes of the Windows `sc` command.
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <optional>
#include <string>
#include <vector>

#include "qel/kernel.h"
#include "scm_internal.h"

namespace {

using qel::u16;
using qel::u16view;
using namespace qel::scm;

constexpr const char* kTool = "qelupnp-sc";

std::string Lower(std::string s) {
  for (auto& c : s)
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  return s;
}

std::string U8(u16view s) { return qel::ToUtf8(s); }
std::string U8(const WCHAR* s) { return s ? qel::ToUtf8(qel::WView(s)) : std::string(); }

const char* kMainUsage =
    "DESCRIPTION:\n"
    "        SC is a command line program used for communicating with the\n"
    "        Service Control Manager and services.\n"
    "USAGE:\n"
    "        qelupnp-sc <server> [command] [service name] <option1> <option2>...\n"
    "\n"
    "\n"
    "        The option <server> has the form \"\\\\ServerName\"\n"
    "        Further help on commands can be obtained by typing: \"qelupnp-sc [command]\"\n"
    "        Commands:\n"
    "          query-----------Queries the status for a service, or\n"
    "                          enumerates the status for types of services.\n"
    "          queryex---------Queries the extended status for a service, or\n"
    "                          enumerates the status for types of services.\n"
    "          start-----------Starts a service.\n"
    "          pause-----------Sends a PAUSE control request to a service.\n"
    "          interrogate-----Sends an INTERROGATE control request to a service.\n"
    "          continue--------Sends a CONTINUE control request to a service.\n"
    "          stop------------Sends a STOP request to a service.\n"
    "          config----------Changes the configuration of a service (persistent).\n"
    "          description-----Changes the description of a service.\n"
    "          qc--------------Queries the configuration information for a service.\n"
    "          qdescription----Queries the description for a service.\n"
    "          delete----------Deletes a service (from the registry).\n"
    "          create----------Creates a service. (adds it to the registry).\n"
    "          control---------Sends a control to a service.\n"
    "          log-------------Shows the log of a service (its standard output and error).\n"
    "\n"
    "The service database is kept in the registry of the platform's state\n"
    "directory (QELUPNP_STATE_DIR).\n";

const char* kCreateOptions =
    "OPTIONS:\n"
    "NOTE: The option name includes the equal sign.\n"
    "      A space is required between the equal sign and the value.\n"
    " type= <own|share|interact>\n"
    "       (default = own)\n"
    " start= <auto|demand|disabled>\n"
    "       (default = demand)\n"
    " error= <normal|severe|critical|ignore>\n"
    "       (default = normal)\n"
    " binPath= <BinaryPathName to the executable file>\n"
    " group= <LoadOrderGroup>\n"
    " depend= <Dependencies(separated by / (forward slash))>\n"
    " obj= <AccountName|ObjectName>\n"
    "       (default = LocalSystem)\n"
    " DisplayName= <display name>\n"
    " password= <password>\n";

void CommandUsage(const std::string& cmd) {
  struct Help {
    const char* cmd;
    const char* what;
    const char* usage;
  };
  static const Help helps[] = {
      {"query", "Obtains and displays information about the specified service.",
       "qelupnp-sc <server> query [service name] <state= active|inactive|all>"},
      {"queryex", "Obtains and displays extended information about the specified service.",
       "qelupnp-sc <server> queryex [service name] <state= active|inactive|all>"},
      {"start", "Starts a service running.", "qelupnp-sc <server> start [service name] <arg1> <arg2> ..."},
      {"stop", "Sends a STOP control request to a service.", "qelupnp-sc <server> stop [service name]"},
      {"pause", "Sends a PAUSE control request to a service.", "qelupnp-sc <server> pause [service name]"},
      {"continue", "Sends a CONTINUE control request to a service.",
       "qelupnp-sc <server> continue [service name]"},
      {"interrogate", "Sends an INTERROGATE control request to a service.",
       "qelupnp-sc <server> interrogate [service name]"},
      {"control", "Sends a CONTROL code to a service.",
       "qelupnp-sc <server> control [service name] <value>\n"
       "    <value> = user-defined control code (128-255)\n"
       "    <value> = <paramchange|\n"
       "               netbindadd|netbindremove|\n"
       "               netbindenable|netbinddisable>"},
      {"delete", "Deletes a service entry from the registry.\n"
                 "        If the service is running, or another process has an\n"
                 "        open handle to the service, the service is simply marked\n"
                 "        for deletion.",
       "qelupnp-sc <server> delete [service name]"},
      {"qc", "Queries the configuration information for a service.",
       "qelupnp-sc <server> qc [service name] <bufferSize>"},
      {"qdescription", "Retrieves the description string of a service.",
       "qelupnp-sc <server> qdescription [service name] <bufferSize>"},
      {"description", "Sets the description string for a service.",
       "qelupnp-sc <server> description [service name] [description]"},
      {"log", "Shows what the service's process wrote to its standard output and error, with the\n"
               "        service control manager's lines about its starts. The log is\n"
               "        <state directory>/scm/<NAME in capitals>.log; above 1 MiB it is moved to\n"
               "        <...>.log.old when the service starts.",
       "qelupnp-sc <server> log [service name]"},
      {"create", "Creates a service entry in the registry and Service Database.",
       "qelupnp-sc <server> create [service name] [binPath= ] <option1> <option2>..."},
      {"config", "Modifies a service entry in the registry and Service Database.",
       "qelupnp-sc <server> config [service name] <option1> <option2>..."},
  };
  for (const auto& h : helps) {
    if (cmd != h.cmd) continue;
    std::printf("DESCRIPTION:\n        %s\nUSAGE:\n        %s\n", h.what, h.usage);
    if (cmd == "create" || cmd == "config") std::printf("\n%s", kCreateOptions);
    return;
  }
  std::fputs(kMainUsage, stdout);
}

int Exit(DWORD code) {
  std::fflush(stdout);
  return qel::ExitStatusForCode(code, kTool);
}

int Failed(const char* api, DWORD code) {
  std::printf("[SC] %s FAILED %u:\n\n%s\n\n", api, static_cast<unsigned>(code), std::string(ErrorText(code)).c_str());
  return Exit(code);
}

int UsageError(const std::string& cmd) {
  CommandUsage(cmd);
  return Exit(ERROR_INVALID_COMMAND_LINE);
}

// ---- Status output --------------------------------------------------------

std::string TypeName(DWORD t) {
  switch (t) {
    case SERVICE_KERNEL_DRIVER: return "KERNEL_DRIVER";
    case SERVICE_FILE_SYSTEM_DRIVER: return "FILE_SYSTEM_DRIVER";
    case SERVICE_WIN32_OWN_PROCESS: return "WIN32_OWN_PROCESS";
    case SERVICE_WIN32_SHARE_PROCESS: return "WIN32_SHARE_PROCESS";
    case SERVICE_WIN32_OWN_PROCESS | SERVICE_INTERACTIVE_PROCESS: return "WIN32_OWN_PROCESS (interactive)";
    case SERVICE_WIN32_SHARE_PROCESS | SERVICE_INTERACTIVE_PROCESS: return "WIN32_SHARE_PROCESS (interactive)";
    default: return "";
  }
}

const char* StateName(DWORD s) {
  switch (s) {
    case SERVICE_STOPPED: return "STOPPED";
    case SERVICE_START_PENDING: return "START_PENDING";
    case SERVICE_STOP_PENDING: return "STOP_PENDING";
    case SERVICE_RUNNING: return "RUNNING";
    case SERVICE_CONTINUE_PENDING: return "CONTINUE_PENDING";
    case SERVICE_PAUSE_PENDING: return "PAUSE_PENDING";
    case SERVICE_PAUSED: return "PAUSED";
    default: return "";
  }
}

void PrintStatus(const std::string& name, const std::string* display, const SERVICE_STATUS_PROCESS& st, bool ex) {
  std::printf("\nSERVICE_NAME: %s\n", name.c_str());
  if (display) std::printf("DISPLAY_NAME: %s\n", display->c_str());
  std::printf("        TYPE               : %x  %s\n", static_cast<unsigned>(st.dwServiceType),
              TypeName(st.dwServiceType).c_str());
  std::printf("        STATE              : %u  %s\n", static_cast<unsigned>(st.dwCurrentState),
              StateName(st.dwCurrentState));
  if (st.dwCurrentState != SERVICE_STOPPED) {
    DWORD a = st.dwControlsAccepted;
    std::printf("                                (%s, %s, %s)\n", (a & SERVICE_ACCEPT_STOP) ? "STOPPABLE" : "NOT_STOPPABLE",
                (a & SERVICE_ACCEPT_PAUSE_CONTINUE) ? "PAUSABLE" : "NOT_PAUSABLE",
                (a & SERVICE_ACCEPT_SHUTDOWN) ? "ACCEPTS_SHUTDOWN" : "IGNORES_SHUTDOWN");
  }
  std::printf("        WIN32_EXIT_CODE    : %u  (0x%x)\n", static_cast<unsigned>(st.dwWin32ExitCode),
              static_cast<unsigned>(st.dwWin32ExitCode));
  std::printf("        SERVICE_EXIT_CODE  : %u  (0x%x)\n", static_cast<unsigned>(st.dwServiceSpecificExitCode),
              static_cast<unsigned>(st.dwServiceSpecificExitCode));
  std::printf("        CHECKPOINT         : 0x%x\n", static_cast<unsigned>(st.dwCheckPoint));
  std::printf("        WAIT_HINT          : 0x%x\n", static_cast<unsigned>(st.dwWaitHint));
  if (ex) {
    std::printf("        PID                : %u\n", static_cast<unsigned>(st.dwProcessId));
    std::printf("        FLAGS              : %s\n", (st.dwServiceFlags & 1) ? "RUNS_IN_SYSTEM_PROCESS" : "");
  }
}

// ---- Handles ------------------------------------------------------------

struct ScHandle {
  SC_HANDLE h = nullptr;
  ScHandle() = default;
  explicit ScHandle(SC_HANDLE x) : h(x) {}
  ~ScHandle() {
    if (h) (void)CloseServiceHandle(h);
  }
  ScHandle(const ScHandle&) = delete;
  ScHandle& operator=(const ScHandle&) = delete;
};

struct Context {
  u16 server;
  bool hasServer = false;
};

// Opens the manager; on failure prints sc's message and gives the code.
DWORD OpenManager(const Context& ctx, DWORD access, ScHandle* out) {
  SC_HANDLE h = OpenSCManagerW(ctx.hasServer ? ctx.server.c_str() : nullptr, nullptr, access);
  if (!h) {
    DWORD e = GetLastError();
    std::printf("[SC] OpenSCManager FAILED %u:\n\n%s\n\n", static_cast<unsigned>(e), std::string(ErrorText(e)).c_str());
    return e;
  }
  out->h = h;
  return ERROR_SUCCESS;
}

DWORD OpenSvc(const Context& ctx, const std::string& name, DWORD access, ScHandle* scm, ScHandle* out,
              const char* api = "OpenService") {
  if (DWORD e = OpenManager(ctx, SC_MANAGER_CONNECT, scm)) return e;
  u16 wname = qel::FromUtf8(name);
  SC_HANDLE h = OpenServiceW(scm->h, wname.c_str(), access);
  if (!h) {
    DWORD e = GetLastError();
    std::printf("[SC] %s FAILED %u:\n\n%s\n\n", api, static_cast<unsigned>(e), std::string(ErrorText(e)).c_str());
    return e;
  }
  out->h = h;
  return ERROR_SUCCESS;
}

// ---- Commands -----------------------------------------------------------

int QueryAll(const Context& ctx, bool ex, const std::vector<std::string>& opts) {
  DWORD wanted = 1;  // 1 active, 2 inactive, 3 all
  for (std::size_t i = 0; i < opts.size(); i += 2) {
    std::string k = Lower(opts[i]);
    if (i + 1 >= opts.size()) return UsageError(ex ? "queryex" : "query");
    std::string v = Lower(opts[i + 1]);
    if (k == "state=") {
      if (v == "active") wanted = 1;
      else if (v == "inactive") wanted = 2;
      else if (v == "all") wanted = 3;
      else return UsageError(ex ? "queryex" : "query");
    } else if (k == "type=") {
      if (v != "service" && v != "all") return UsageError(ex ? "queryex" : "query");
    } else {
      return UsageError(ex ? "queryex" : "query");
    }
  }
  ScHandle scm;
  if (DWORD e = OpenManager(ctx, SC_MANAGER_CONNECT | SC_MANAGER_ENUMERATE_SERVICE, &scm)) return Exit(e);
  std::vector<u16> names;
  if (LSTATUS rc = ListServices(&names); rc != ERROR_SUCCESS)
    return Failed("EnumQueryServicesStatus", static_cast<DWORD>(rc));
  for (const auto& n : names) {
    ScHandle svc(OpenServiceW(scm.h, n.c_str(), SERVICE_QUERY_STATUS | SERVICE_QUERY_CONFIG));
    if (!svc.h) continue;
    SERVICE_STATUS_PROCESS st{};
    DWORD needed = 0;
    if (!QueryServiceStatusEx(svc.h, SC_STATUS_PROCESS_INFO, reinterpret_cast<LPBYTE>(&st), sizeof st, &needed))
      continue;
    bool active = st.dwCurrentState != SERVICE_STOPPED;
    if ((wanted == 1 && !active) || (wanted == 2 && active)) continue;
    ServiceRecord rec;
    std::string display = ReadRecord(n, &rec) == ERROR_SUCCESS ? U8(rec.displayName) : U8(n);
    PrintStatus(U8(n), &display, st, ex);
  }
  return Exit(ERROR_SUCCESS);
}

int Query(const Context& ctx, const std::vector<std::string>& a, bool ex) {
  if (a.empty() || Lower(a[0]).back() == '=') return QueryAll(ctx, ex, a);
  if (a.size() > 1) return UsageError(ex ? "queryex" : "query");
  ScHandle scm, svc;
  if (DWORD e = OpenSvc(ctx, a[0], SERVICE_QUERY_STATUS, &scm, &svc, "EnumQueryServicesStatus:OpenService"))
    return Exit(e);
  SERVICE_STATUS_PROCESS st{};
  DWORD needed = 0;
  if (!QueryServiceStatusEx(svc.h, SC_STATUS_PROCESS_INFO, reinterpret_cast<LPBYTE>(&st), sizeof st, &needed))
    return Failed("QueryServiceStatusEx", GetLastError());
  PrintStatus(a[0], nullptr, st, ex);
  return Exit(ERROR_SUCCESS);
}

int Start(const Context& ctx, const std::vector<std::string>& a) {
  if (a.empty()) return UsageError("start");
  ScHandle scm, svc;
  if (DWORD e = OpenSvc(ctx, a[0], SERVICE_START | SERVICE_QUERY_STATUS, &scm, &svc)) return Exit(e);
  std::vector<u16> args;
  for (std::size_t i = 1; i < a.size(); ++i) args.push_back(qel::FromUtf8(a[i]));
  std::vector<LPCWSTR> argv;
  for (auto& s : args) argv.push_back(s.c_str());
  if (!StartServiceW(svc.h, static_cast<DWORD>(argv.size()), argv.empty() ? nullptr : argv.data()))
    return Failed("StartService", GetLastError());
  SERVICE_STATUS_PROCESS st{};
  DWORD needed = 0;
  if (!QueryServiceStatusEx(svc.h, SC_STATUS_PROCESS_INFO, reinterpret_cast<LPBYTE>(&st), sizeof st, &needed))
    return Failed("QueryServiceStatusEx", GetLastError());
  PrintStatus(a[0], nullptr, st, true);
  return Exit(ERROR_SUCCESS);
}

DWORD RightForControl(DWORD code) {
  switch (code) {
    case SERVICE_CONTROL_STOP: return SERVICE_STOP;
    case SERVICE_CONTROL_INTERROGATE: return SERVICE_INTERROGATE;
    case SERVICE_CONTROL_PAUSE:
    case SERVICE_CONTROL_CONTINUE:
    case SERVICE_CONTROL_PARAMCHANGE:
    case 7:
    case 8:
    case 9:
    case 10: return SERVICE_PAUSE_CONTINUE;
    default: return SERVICE_USER_DEFINED_CONTROL;
  }
}

int Control(const Context& ctx, const std::string& cmd, const std::string& name, DWORD code) {
  ScHandle scm, svc;
  if (DWORD e = OpenSvc(ctx, name, RightForControl(code) | SERVICE_QUERY_STATUS, &scm, &svc)) return Exit(e);
  SERVICE_STATUS st{};
  if (!ControlService(svc.h, code, &st)) return Failed("ControlService", GetLastError());
  SERVICE_STATUS_PROCESS sp{};
  std::memcpy(&sp, &st, sizeof st);
  PrintStatus(name, nullptr, sp, false);
  (void)cmd;
  return Exit(ERROR_SUCCESS);
}

bool ParseControlCode(const std::string& text, DWORD* code) {
  static const struct {
    const char* name;
    DWORD code;
  } named[] = {{"paramchange", 6}, {"netbindadd", 7}, {"netbindremove", 8}, {"netbindenable", 9}, {"netbinddisable", 10}};
  std::string t = Lower(text);
  for (const auto& n : named)
    if (t == n.name) {
      *code = n.code;
      return true;
    }
  if (t.empty() || t.size() > 10) return false;
  unsigned long long v = 0;
  for (char c : t) {
    if (c < '0' || c > '9') return false;
    v = v * 10 + static_cast<unsigned>(c - '0');
  }
  if (v > 0xFFFFFFFFull) return false;
  *code = static_cast<DWORD>(v);
  return true;
}

int Delete(const Context& ctx, const std::vector<std::string>& a) {
  if (a.size() != 1) return UsageError("delete");
  ScHandle scm, svc;
  if (DWORD e = OpenSvc(ctx, a[0], DELETE, &scm, &svc)) return Exit(e);
  if (!DeleteService(svc.h)) return Failed("DeleteService", GetLastError());
  std::printf("[SC] DeleteService SUCCESS\n");
  return Exit(ERROR_SUCCESS);
}

int Qc(const Context& ctx, const std::vector<std::string>& a) {
  if (a.empty() || a.size() > 2) return UsageError("qc");
  DWORD bufSize = 8192;
  if (a.size() == 2 && !ParseControlCode(a[1], &bufSize)) return UsageError("qc");
  ScHandle scm, svc;
  if (DWORD e = OpenSvc(ctx, a[0], SERVICE_QUERY_CONFIG, &scm, &svc)) return Exit(e);
  std::vector<std::uint64_t> buf(bufSize / 8 + 1);
  DWORD needed = 0;
  auto* q = reinterpret_cast<QUERY_SERVICE_CONFIGW*>(buf.data());
  if (!QueryServiceConfigW(svc.h, q, bufSize, &needed)) {
    DWORD e = GetLastError();
    std::printf("[SC] QueryServiceConfig FAILED %u:\n\n%s\n\n", static_cast<unsigned>(e),
                std::string(ErrorText(e)).c_str());
    if (e == ERROR_INSUFFICIENT_BUFFER) std::printf("[SC] GetServiceConfig needs %u bytes\n", static_cast<unsigned>(needed));
    return Exit(e);
  }
  static const char* starts[] = {"BOOT_START", "SYSTEM_START", "AUTO_START", "DEMAND_START", "DISABLED"};
  static const char* errors[] = {"IGNORE", "NORMAL", "SEVERE", "CRITICAL"};
  std::printf("[SC] QueryServiceConfig SUCCESS\n\n");
  std::printf("SERVICE_NAME: %s\n", a[0].c_str());
  std::printf("        TYPE               : %x  %s\n", static_cast<unsigned>(q->dwServiceType),
              TypeName(q->dwServiceType).c_str());
  std::printf("        START_TYPE         : %u   %s\n", static_cast<unsigned>(q->dwStartType),
              q->dwStartType <= 4 ? starts[q->dwStartType] : "");
  std::printf("        ERROR_CONTROL      : %u   %s\n", static_cast<unsigned>(q->dwErrorControl),
              q->dwErrorControl <= 3 ? errors[q->dwErrorControl] : "");
  std::printf("        BINARY_PATH_NAME   : %s\n", U8(q->lpBinaryPathName).c_str());
  std::printf("        LOAD_ORDER_GROUP   : %s\n", U8(q->lpLoadOrderGroup).c_str());
  std::printf("        TAG                : %u\n", static_cast<unsigned>(q->dwTagId));
  std::printf("        DISPLAY_NAME       : %s\n", U8(q->lpDisplayName).c_str());
  const WCHAR* d = q->lpDependencies;
  std::printf("        DEPENDENCIES       : %s\n", d && *d ? U8(d).c_str() : "");
  if (d && *d) {
    d += qel::WLen(d) + 1;
    while (*d) {
      std::printf("                           : %s\n", U8(d).c_str());
      d += qel::WLen(d) + 1;
    }
  }
  std::printf("        SERVICE_START_NAME : %s\n", U8(q->lpServiceStartName).c_str());
  return Exit(ERROR_SUCCESS);
}

// Writes the service's log (what its process wrote to standard output and
// error, and the manager's lines about its starts): the older part first.
int Log(const Context& ctx, const std::vector<std::string>& a) {
  if (a.size() != 1) return UsageError("log");
  ScHandle scm, svc;
  if (DWORD e = OpenSvc(ctx, a[0], SERVICE_QUERY_STATUS, &scm, &svc)) return Exit(e);
  const auto path = LogPath(qel::FromUtf8(a[0]));
  auto old = path;
  old += ".old";
  bool any = false;
  for (const auto& p : {old, path}) {
    std::FILE* f = std::fopen(p.c_str(), "rb");
    if (!f) {
      if (errno == EACCES) return Failed("log", ERROR_ACCESS_DENIED);
      continue;
    }
    any = true;
    char buf[8192];
    std::size_t n;
    while ((n = std::fread(buf, 1, sizeof buf, f)) > 0) std::fwrite(buf, 1, n, stdout);
    std::fclose(f);
  }
  if (!any) {
    std::fprintf(stderr, "%s: no log at %s yet\n", kTool, path.c_str());
    return Failed("log", ERROR_FILE_NOT_FOUND);
  }
  return Exit(ERROR_SUCCESS);
}

int QDescription(const Context& ctx, const std::vector<std::string>& a) {
  if (a.empty() || a.size() > 2) return UsageError("qdescription");
  DWORD bufSize = 8192;
  if (a.size() == 2 && !ParseControlCode(a[1], &bufSize)) return UsageError("qdescription");
  ScHandle scm, svc;
  if (DWORD e = OpenSvc(ctx, a[0], SERVICE_QUERY_CONFIG, &scm, &svc)) return Exit(e);
  std::vector<std::uint64_t> buf(bufSize / 8 + 1);
  DWORD needed = 0;
  if (!QueryServiceConfig2W(svc.h, SERVICE_CONFIG_DESCRIPTION, reinterpret_cast<LPBYTE>(buf.data()), bufSize,
                            &needed)) {
    DWORD e = GetLastError();
    std::printf("[SC] QueryServiceConfig2 FAILED %u:\n\n%s\n\n", static_cast<unsigned>(e),
                std::string(ErrorText(e)).c_str());
    if (e == ERROR_INSUFFICIENT_BUFFER)
      std::printf("[SC] GetServiceConfig2 needs %u bytes\n", static_cast<unsigned>(needed));
    return Exit(e);
  }
  auto* desc = reinterpret_cast<SERVICE_DESCRIPTIONW*>(buf.data());
  std::printf("[SC] QueryServiceConfig2 SUCCESS\n\n");
  std::printf("SERVICE_NAME: %s\n", a[0].c_str());
  std::printf("DESCRIPTION:  %s\n", U8(desc->lpDescription).c_str());
  return Exit(ERROR_SUCCESS);
}

int Description(const Context& ctx, const std::vector<std::string>& a) {
  if (a.empty()) return UsageError("description");
  std::string text;
  for (std::size_t i = 1; i < a.size(); ++i) {
    if (i > 1) text += ' ';
    text += a[i];
  }
  ScHandle scm, svc;
  if (DWORD e = OpenSvc(ctx, a[0], SERVICE_CHANGE_CONFIG, &scm, &svc)) return Exit(e);
  u16 w = qel::FromUtf8(text);
  SERVICE_DESCRIPTIONW d{w.data()};
  if (!ChangeServiceConfig2W(svc.h, SERVICE_CONFIG_DESCRIPTION, &d)) return Failed("ChangeServiceConfig2", GetLastError());
  std::printf("[SC] ChangeServiceConfig2 SUCCESS\n");
  return Exit(ERROR_SUCCESS);
}

// The "name= value" options of create and config.
struct ConfigOptions {
  DWORD type = SERVICE_NO_CHANGE;
  bool interactive = false;
  DWORD start = SERVICE_NO_CHANGE;
  DWORD error = SERVICE_NO_CHANGE;
  std::optional<u16> binPath, group, depend, obj, display, password;
};

bool ParseOptions(const std::vector<std::string>& a, std::size_t from, ConfigOptions* o) {
  for (std::size_t i = from; i < a.size(); i += 2) {
    std::string k = Lower(a[i]);
    if (k.empty() || k.back() != '=' || i + 1 >= a.size()) return false;
    const std::string& raw = a[i + 1];
    std::string v = Lower(raw);
    if (k == "type=") {
      if (v == "own") o->type = SERVICE_WIN32_OWN_PROCESS;
      else if (v == "share") o->type = SERVICE_WIN32_SHARE_PROCESS;
      else if (v == "interact") o->interactive = true;
      else return false;
    } else if (k == "start=") {
      if (v == "auto") o->start = SERVICE_AUTO_START;
      else if (v == "demand") o->start = SERVICE_DEMAND_START;
      else if (v == "disabled") o->start = SERVICE_DISABLED;
      else return false;
    } else if (k == "error=") {
      if (v == "normal") o->error = SERVICE_ERROR_NORMAL;
      else if (v == "severe") o->error = SERVICE_ERROR_SEVERE;
      else if (v == "critical") o->error = SERVICE_ERROR_CRITICAL;
      else if (v == "ignore") o->error = SERVICE_ERROR_IGNORE;
      else return false;
    } else if (k == "binpath=") {
      o->binPath = qel::FromUtf8(raw);
    } else if (k == "group=") {
      o->group = qel::FromUtf8(raw);
    } else if (k == "depend=") {
      // "A/B" becomes the list "A\0B\0\0"; "/" alone clears it.
      u16 list;
      for (char16_t c : qel::FromUtf8(raw)) list += c == u'/' ? u'\0' : c;
      u16 cleaned;
      std::size_t pos = 0;
      while (pos <= list.size()) {
        std::size_t end = list.find(u'\0', pos);
        if (end == u16::npos) end = list.size();
        if (end > pos) {
          cleaned += list.substr(pos, end - pos);
          cleaned += u'\0';
        }
        pos = end + 1;
      }
      cleaned += u'\0';
      o->depend = cleaned;
    } else if (k == "obj=") {
      o->obj = qel::FromUtf8(raw);
    } else if (k == "displayname=") {
      o->display = qel::FromUtf8(raw);
    } else if (k == "password=") {
      o->password = qel::FromUtf8(raw);
    } else {
      return false;
    }
  }
  return true;
}

const WCHAR* Opt(const std::optional<u16>& v) { return v ? v->c_str() : nullptr; }

int Create(const Context& ctx, const std::vector<std::string>& a) {
  ConfigOptions o;
  if (a.empty() || !ParseOptions(a, 1, &o) || !o.binPath) return UsageError("create");
  DWORD type = o.type == SERVICE_NO_CHANGE ? SERVICE_WIN32_OWN_PROCESS : o.type;
  if (o.interactive) type |= SERVICE_INTERACTIVE_PROCESS;
  ScHandle scm;
  if (DWORD e = OpenManager(ctx, SC_MANAGER_CREATE_SERVICE, &scm)) return Exit(e);
  u16 name = qel::FromUtf8(a[0]);
  ScHandle svc(CreateServiceW(scm.h, name.c_str(), Opt(o.display), SERVICE_ALL_ACCESS, type,
                              o.start == SERVICE_NO_CHANGE ? SERVICE_DEMAND_START : o.start,
                              o.error == SERVICE_NO_CHANGE ? SERVICE_ERROR_NORMAL : o.error, o.binPath->c_str(),
                              Opt(o.group), nullptr, Opt(o.depend), Opt(o.obj), Opt(o.password)));
  if (!svc.h) return Failed("CreateService", GetLastError());
  std::printf("[SC] CreateService SUCCESS\n");
  return Exit(ERROR_SUCCESS);
}

int Config(const Context& ctx, const std::vector<std::string>& a) {
  ConfigOptions o;
  if (a.size() < 3 || !ParseOptions(a, 1, &o)) return UsageError("config");
  ScHandle scm, svc;
  if (DWORD e = OpenSvc(ctx, a[0], SERVICE_CHANGE_CONFIG | SERVICE_QUERY_CONFIG, &scm, &svc)) return Exit(e);
  DWORD type = o.type;
  if (o.interactive) {
    if (type == SERVICE_NO_CHANGE) {
      // "type= interact" alone keeps the process type and adds the flag.
      std::vector<std::uint64_t> buf(1024);
      DWORD needed = 0;
      auto* q = reinterpret_cast<QUERY_SERVICE_CONFIGW*>(buf.data());
      if (!QueryServiceConfigW(svc.h, q, 8192, &needed)) return Failed("QueryServiceConfig", GetLastError());
      type = q->dwServiceType;
    }
    type |= SERVICE_INTERACTIVE_PROCESS;
  }
  if (!ChangeServiceConfigW(svc.h, type, o.start, o.error, Opt(o.binPath), Opt(o.group), nullptr, Opt(o.depend),
                            Opt(o.obj), Opt(o.password), Opt(o.display)))
    return Failed("ChangeServiceConfig", GetLastError());
  std::printf("[SC] ChangeServiceConfig SUCCESS\n");
  return Exit(ERROR_SUCCESS);
}

}  // namespace

int main(int argc, char** argv) {
  std::vector<std::string> a(argv + 1, argv + argc);
  Context ctx;
  if (!a.empty() && a[0].size() > 2 && a[0][0] == '\\' && a[0][1] == '\\') {
    ctx.server = qel::FromUtf8(a[0]);
    ctx.hasServer = true;
    a.erase(a.begin());
  }
  if (a.empty()) {
    std::fputs(kMainUsage, stdout);
    return Exit(ERROR_INVALID_COMMAND_LINE);
  }
  std::string cmd = Lower(a[0]);
  a.erase(a.begin());
  if (cmd == "/?" || cmd == "-?" || cmd == "--help" || cmd == "-h" || cmd == "help") {
    std::fputs(kMainUsage, stdout);
    return Exit(ERROR_SUCCESS);
  }
  if (!a.empty() && (a[0] == "/?" || a[0] == "--help")) {
    CommandUsage(cmd);
    return Exit(ERROR_SUCCESS);
  }
  if (cmd == "query") return Query(ctx, a, false);
  if (cmd == "queryex") return Query(ctx, a, true);
  if (cmd == "start") return Start(ctx, a);
  if (cmd == "qc") return Qc(ctx, a);
  if (cmd == "qdescription") return QDescription(ctx, a);
  if (cmd == "description") return Description(ctx, a);
  if (cmd == "delete") return Delete(ctx, a);
  if (cmd == "create") return Create(ctx, a);
  if (cmd == "config") return Config(ctx, a);
  if (cmd == "log") return Log(ctx, a);
  if (cmd == "stop" || cmd == "pause" || cmd == "continue" || cmd == "interrogate") {
    if (a.size() != 1) return UsageError(cmd);
    DWORD code = cmd == "stop"       ? SERVICE_CONTROL_STOP
                 : cmd == "pause"    ? SERVICE_CONTROL_PAUSE
                 : cmd == "continue" ? SERVICE_CONTROL_CONTINUE
                                     : SERVICE_CONTROL_INTERROGATE;
    return Control(ctx, cmd, a[0], code);
  }
  if (cmd == "control") {
    DWORD code = 0;
    if (a.size() != 2 || !ParseControlCode(a[1], &code)) return UsageError("control");
    return Control(ctx, cmd, a[0], code);
  }
  std::printf("ERROR:  Unrecognized command\n\n");
  std::fputs(kMainUsage, stdout);
  return Exit(ERROR_INVALID_COMMAND_LINE);
}
