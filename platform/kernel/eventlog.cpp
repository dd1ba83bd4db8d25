// The event log over syslog(3): the event source is the identity, the event
// type gives the priority. QELUPNP_EVENTLOG_FILE, when set, receives a copy
// of every report as one line, so tests and administrators can see exactly
// what was reported.
#include <fcntl.h>
#include <syslog.h>
#include <unistd.h>

#include <cstdlib>
#include <mutex>
#include <string>

#include "internal.h"
#include "qel/fault.h"

namespace {

class EventSource : public qel::kernel::Object {
 public:
  explicit EventSource(qel::u16 source) : Object(Kind::EventSource), m_source(std::move(source)), m_ident(qel::ToUtf8(m_source)) {}
  const qel::u16& source() const { return m_source; }
  const std::string& ident() const { return m_ident; }

 private:
  qel::u16 m_source;
  std::string m_ident;
};

std::mutex g_lock;  // openlog's identity is process-wide
std::function<void(const qel::EventLogRecord&)>* g_sink = nullptr;

int Priority(WORD type) {
  switch (type) {
    case EVENTLOG_ERROR_TYPE: return LOG_ERR;
    case EVENTLOG_WARNING_TYPE: return LOG_WARNING;
    case EVENTLOG_AUDIT_FAILURE: return LOG_WARNING;
    case EVENTLOG_AUDIT_SUCCESS: return LOG_NOTICE;
    default: return LOG_INFO;  // EVENTLOG_SUCCESS, EVENTLOG_INFORMATION_TYPE
  }
}

// One line per report: separators and line breaks inside a string are escaped.
void AppendEscaped(std::string& out, const std::string& s) {
  for (char c : s) {
    switch (c) {
      case '\n': out += "\\n"; break;
      case '\r': out += "\\r"; break;
      case '\t': out += "\\t"; break;
      case '\\': out += "\\\\"; break;
      case '|': out += "\\|"; break;
      default: out.push_back(c);
    }
  }
}

void AppendToFile(const char* file, const qel::EventLogRecord& rec) {
  std::string line;
  AppendEscaped(line, qel::ToUtf8(rec.source));
  char head[48];
  std::snprintf(head, sizeof head, "\t%u\t0x%08X\t", static_cast<unsigned>(rec.wType), rec.dwEventID);
  line += head;
  for (std::size_t i = 0; i < rec.strings.size(); ++i) {
    if (i) line.push_back('|');
    AppendEscaped(line, qel::ToUtf8(rec.strings[i]));
  }
  line.push_back('\n');
  int fd = ::open(file, O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
  if (fd < 0) return;
  // One write per line: appends from several processes never interleave.
  std::size_t done = 0;
  while (done < line.size()) {
    ssize_t n = ::write(fd, line.data() + done, line.size() - done);
    if (n <= 0) break;
    done += static_cast<std::size_t>(n);
  }
  ::close(fd);
}

bool IsLocalServer(LPCWSTR server) {
  if (!server || !*server) return true;
  qel::u16view s = qel::WView(server);
  while (s.size() > 0 && s.front() == u'\\') s.remove_prefix(1);
  return s == u"." || qel::EqualsNoCase(s, u"localhost");
}

}  // namespace

namespace qel {
void SetEventLogSinkForTests(std::function<void(const EventLogRecord&)> sink) {
  std::lock_guard<std::mutex> g(g_lock);
  if (!g_sink) g_sink = new std::function<void(const EventLogRecord&)>;  // NOLINT: process lifetime
  *g_sink = std::move(sink);
}
}  // namespace qel

extern "C" HANDLE WINAPI RegisterEventSourceW(LPCWSTR lpUNCServerName, LPCWSTR lpSourceName) {
  QEL_FAULT_POINT("RegisterEventSourceW", c) {
    SetLastError(static_cast<DWORD>(c));
    return nullptr;
  }
  if (!lpSourceName || !*lpSourceName) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return nullptr;
  }
  if (!IsLocalServer(lpUNCServerName)) {
    SetLastError(53);  // ERROR_BAD_NETPATH: only the local computer has an event log here
    return nullptr;
  }
  HANDLE h = qel::kernel::Insert(std::make_shared<EventSource>(qel::u16(qel::WView(lpSourceName))));
  if (!h) SetLastError(ERROR_NOT_ENOUGH_MEMORY);
  return h;
}

extern "C" BOOL WINAPI ReportEventW(HANDLE hEventLog, WORD wType, WORD wCategory, DWORD dwEventID, PSID lpUserSid,
                                    WORD wNumStrings, DWORD dwDataSize, LPCWSTR* lpStrings, LPVOID lpRawData) {
  QEL_FAULT_POINT("ReportEventW", c) {
    SetLastError(static_cast<DWORD>(c));
    return FALSE;
  }
  auto obj = qel::kernel::Lookup(hEventLog, qel::kernel::Object::Kind::EventSource);
  if (!obj) {
    SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  if ((wNumStrings && !lpStrings) || (dwDataSize && !lpRawData)) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  const auto& src = static_cast<const EventSource&>(*obj);
  qel::EventLogRecord rec;
  rec.source = src.source();
  rec.wType = wType;
  rec.wCategory = wCategory;
  rec.dwEventID = dwEventID;
  for (WORD i = 0; i < wNumStrings; ++i) rec.strings.emplace_back(qel::WView(lpStrings[i]));

  if (const char* file = std::getenv("QELUPNP_EVENTLOG_FILE"); file && *file) AppendToFile(file, rec);

  std::lock_guard<std::mutex> g(g_lock);
  if (g_sink && *g_sink) {
    (*g_sink)(rec);
    return TRUE;
  }
  std::string text;
  for (std::size_t i = 0; i < rec.strings.size(); ++i) {
    if (i) text += " | ";
    text += qel::ToUtf8(rec.strings[i]);
  }
  ::openlog(src.ident().c_str(), LOG_PID | LOG_NDELAY, LOG_DAEMON);
  ::syslog(Priority(wType), "%s", text.c_str());
  ::closelog();
  return TRUE;
}

extern "C" BOOL WINAPI DeregisterEventSource(HANDLE hEventLog) {
  QEL_FAULT_POINT("DeregisterEventSource", c) {
    SetLastError(static_cast<DWORD>(c));
    return FALSE;
  }
  if (!qel::kernel::Remove(hEventLog, qel::kernel::Object::Kind::EventSource)) {
    SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  return TRUE;
}
