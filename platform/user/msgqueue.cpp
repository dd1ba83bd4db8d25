// Thread message queues. A queue belongs to a thread id and is created by
// whichever comes first, the thread reading it or someone posting to it, so a
// WM_QUIT posted before the thread reaches its loop waits for it there.
// Queues remember their thread's start time: a later thread that reuses the
// id never sees the messages of the one before.
#include <unistd.h>

#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <deque>
#include <fstream>
#include <map>
#include <memory>
#include <mutex>
#include <string>

#include "qel/fault.h"
#include "qel/kernel.h"
#include "qel/user.h"

namespace {

// Windows refuses a post once a queue holds this many messages.
constexpr std::size_t kQueueLimit = 10000;

struct Queue {
  std::mutex lock;
  std::condition_variable ready;
  std::deque<MSG> messages;
  bool quitPending = false;
  int quitCode = 0;
  unsigned long long startTime = 0;
};

struct Registry {
  std::mutex lock;
  std::map<DWORD, std::shared_ptr<Queue>> queues;
};

Registry& R() {
  static auto* r = new Registry;  // threads may post during exit
  return *r;
}

// Field 22 of /proc/self/task/<tid>/stat; 0 when the thread does not exist.
unsigned long long ThreadStartTime(DWORD tid) {
  char path[64];
  std::snprintf(path, sizeof path, "/proc/self/task/%u/stat", tid);
  std::ifstream in(path);
  std::string stat;
  if (!std::getline(in, stat)) return 0;
  // The command name may hold blanks and parentheses: count fields after the last ')'.
  std::size_t close = stat.rfind(')');
  if (close == std::string::npos) return 0;
  const char* p = stat.c_str() + close + 1;
  for (int field = 3; field < 22 && *p; ++field) {
    while (*p == ' ') ++p;
    while (*p && *p != ' ') ++p;
  }
  return std::strtoull(p, nullptr, 10);
}

std::shared_ptr<Queue> QueueFor(DWORD tid, unsigned long long startTime) {
  Registry& r = R();
  std::lock_guard<std::mutex> g(r.lock);
  auto& q = r.queues[tid];
  if (!q || q->startTime != startTime) {
    q = std::make_shared<Queue>();
    q->startTime = startTime;
  }
  return q;
}

// The calling thread's queue; dropped from the registry when the thread ends.
struct OwnQueue {
  std::shared_ptr<Queue> queue;
  DWORD tid = 0;
  ~OwnQueue() {
    if (!queue) return;
    Registry& r = R();
    std::lock_guard<std::mutex> g(r.lock);
    auto it = r.queues.find(tid);
    if (it != r.queues.end() && it->second == queue) r.queues.erase(it);
  }
};

Queue& Own() {
  thread_local OwnQueue own;
  if (!own.queue) {
    own.tid = GetCurrentThreadId();
    own.queue = QueueFor(own.tid, ThreadStartTime(own.tid));
  }
  return *own.queue;
}

bool InFilter(UINT msg, UINT min, UINT max) {
  if (msg == WM_QUIT) return true;  // always retrieved, whatever the filter
  if (min == 0 && max == 0) return true;
  return msg >= min && msg <= max;
}

bool ValidWindow(HWND hWnd) { return !hWnd || hWnd == reinterpret_cast<HWND>(static_cast<LONG_PTR>(-1)); }

// Takes (or copies, without `remove`) the first message in the filter. Caller holds q.lock.
bool Take(Queue& q, LPMSG out, UINT min, UINT max, bool remove) {
  for (auto it = q.messages.begin(); it != q.messages.end(); ++it) {
    if (!InFilter(it->message, min, max)) continue;
    *out = *it;
    if (remove) q.messages.erase(it);
    return true;
  }
  if (q.quitPending) {
    std::memset(out, 0, sizeof *out);
    out->message = WM_QUIT;
    out->wParam = static_cast<WPARAM>(q.quitCode);
    out->time = GetTickCount();
    if (remove) q.quitPending = false;
    return true;
  }
  return false;
}

}  // namespace

extern "C" BOOL WINAPI GetMessageW(LPMSG lpMsg, HWND hWnd, UINT wMsgFilterMin, UINT wMsgFilterMax) {
  QEL_FAULT_POINT("GetMessageW", c) {
    SetLastError(static_cast<DWORD>(c));
    return -1;
  }
  if (!lpMsg) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return -1;
  }
  if (!ValidWindow(hWnd)) {
    SetLastError(ERROR_INVALID_WINDOW_HANDLE);
    return -1;
  }
  Queue& q = Own();
  std::unique_lock<std::mutex> g(q.lock);
  q.ready.wait(g, [&] { return Take(q, lpMsg, wMsgFilterMin, wMsgFilterMax, true); });
  return lpMsg->message == WM_QUIT ? FALSE : TRUE;
}

extern "C" BOOL WINAPI PeekMessageW(LPMSG lpMsg, HWND hWnd, UINT wMsgFilterMin, UINT wMsgFilterMax,
                                    UINT wRemoveMsg) {
  QEL_FAULT_POINT("PeekMessageW", c) {
    SetLastError(static_cast<DWORD>(c));
    return FALSE;
  }
  if (!lpMsg || !ValidWindow(hWnd)) {
    SetLastError(!lpMsg ? ERROR_INVALID_PARAMETER : ERROR_INVALID_WINDOW_HANDLE);
    return FALSE;
  }
  Queue& q = Own();
  std::lock_guard<std::mutex> g(q.lock);
  return Take(q, lpMsg, wMsgFilterMin, wMsgFilterMax, (wRemoveMsg & PM_REMOVE) != 0) ? TRUE : FALSE;
}

// Only keyboard messages are translated, and there is no keyboard here.
extern "C" BOOL WINAPI TranslateMessage(const MSG* lpMsg) { return FALSE; }

// Thread messages have no window procedure to go to.
extern "C" LRESULT WINAPI DispatchMessageW(const MSG* lpMsg) { return 0; }

extern "C" BOOL WINAPI PostThreadMessageW(DWORD idThread, UINT Msg, WPARAM wParam, LPARAM lParam) {
  QEL_FAULT_POINT("PostThreadMessageW", c) {
    SetLastError(static_cast<DWORD>(c));
    return FALSE;
  }
  unsigned long long start = idThread ? ThreadStartTime(idThread) : 0;
  if (start == 0) {
    // Not a live thread of this process: forget any queue left under its id.
    if (idThread) {
      Registry& r = R();
      std::lock_guard<std::mutex> g(r.lock);
      r.queues.erase(idThread);
    }
    SetLastError(ERROR_INVALID_THREAD_ID);
    return FALSE;
  }
  std::shared_ptr<Queue> q = QueueFor(idThread, start);
  {
    std::lock_guard<std::mutex> g(q->lock);
    if (q->messages.size() >= kQueueLimit) {
      SetLastError(ERROR_NOT_ENOUGH_QUOTA);
      return FALSE;
    }
    MSG m{};
    m.message = Msg;
    m.wParam = wParam;
    m.lParam = lParam;
    m.time = GetTickCount();
    q->messages.push_back(m);
  }
  q->ready.notify_all();
  return TRUE;
}

extern "C" void WINAPI PostQuitMessage(int nExitCode) {
  Queue& q = Own();
  {
    std::lock_guard<std::mutex> g(q.lock);
    q.quitPending = true;
    q.quitCode = nExitCode;
  }
  q.ready.notify_all();
}
