// Message boxes on a text console: "[caption] text" on standard error. On a
// terminal the user picks the button; otherwise the answer comes from
// QELUPNP_MSGBOX_ANSWER (default "ok"), so a service never blocks on a box.
#include <strings.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>
#include <vector>

#include "qel/fault.h"
#include "qel/kernel.h"
#include "qel/user.h"
#include "qel/wstr.h"

namespace {

std::mutex g_hookLock;
std::function<int(std::u16string_view, std::u16string_view, UINT)>* g_hook = nullptr;

struct Button {
  int id;
  const char* word;  // what the user or QELUPNP_MSGBOX_ANSWER types
  const char* label;
};

std::vector<Button> ButtonsFor(UINT type) {
  switch (type & MB_TYPEMASK) {
    case MB_OKCANCEL: return {{IDOK, "ok", "OK"}, {IDCANCEL, "cancel", "Cancel"}};
    case MB_ABORTRETRYIGNORE:
      return {{IDABORT, "abort", "Abort"}, {IDRETRY, "retry", "Retry"}, {IDIGNORE, "ignore", "Ignore"}};
    case MB_YESNOCANCEL: return {{IDYES, "yes", "Yes"}, {IDNO, "no", "No"}, {IDCANCEL, "cancel", "Cancel"}};
    case MB_YESNO: return {{IDYES, "yes", "Yes"}, {IDNO, "no", "No"}};
    case MB_RETRYCANCEL: return {{IDRETRY, "retry", "Retry"}, {IDCANCEL, "cancel", "Cancel"}};
    default: return {{IDOK, "ok", "OK"}};
  }
}

std::size_t DefaultIndex(UINT type, std::size_t count) {
  std::size_t i = (type & 0x00000F00L) >> 8;  // MB_DEFBUTTON1..4
  return i < count ? i : 0;
}

// The button the answer names: its word, its first letter, or its id;
// an empty answer is the default button. -1 when it names none.
int Match(const std::vector<Button>& buttons, const std::string& answer, std::size_t def) {
  std::string a;
  for (char ch : answer)
    if (ch != ' ' && ch != '\t' && ch != '\r' && ch != '\n') a.push_back(ch);
  if (a.empty()) return buttons[def].id;
  for (const Button& b : buttons)
    if (strcasecmp(a.c_str(), b.word) == 0 || (a.size() == 1 && std::tolower(a[0]) == b.word[0]) ||
        a == std::to_string(b.id))
      return b.id;
  return -1;
}

std::string Encode(std::u16string_view s) {
  // stderr carries the locale's multibyte text; UTF-8 under the "C" locale.
  char16_t sentinel = 0;
  std::u16string copy(s);
  copy.push_back(sentinel);
  int n = WideCharToMultiByte(CP_ACP, 0, copy.c_str(), static_cast<int>(copy.size()), nullptr, 0, nullptr, nullptr);
  if (n <= 0) return qel::ToUtf8(s);
  std::string out(static_cast<std::size_t>(n), '\0');
  WideCharToMultiByte(CP_ACP, 0, copy.c_str(), static_cast<int>(copy.size()), out.data(), n, nullptr, nullptr);
  out.resize(std::strlen(out.c_str()));
  return out;
}

}  // namespace

namespace qel {
void SetMessageBoxHookForTests(std::function<int(std::u16string_view, std::u16string_view, UINT)> hook) {
  std::lock_guard<std::mutex> g(g_hookLock);
  if (!g_hook) g_hook = new std::function<int(std::u16string_view, std::u16string_view, UINT)>;  // NOLINT
  *g_hook = std::move(hook);
}
}  // namespace qel

extern "C" int WINAPI MessageBoxW(HWND hWnd, LPCWSTR lpText, LPCWSTR lpCaption, UINT uType) {
  QEL_FAULT_POINT("MessageBoxW", c) {
    SetLastError(static_cast<DWORD>(c));
    return 0;
  }
  std::u16string_view text = qel::WView(lpText);
  std::u16string_view caption = lpCaption ? qel::WView(lpCaption) : std::u16string_view(u"Error");
  {
    std::lock_guard<std::mutex> g(g_hookLock);
    if (g_hook && *g_hook) return (*g_hook)(text, caption, uType);
  }
  std::vector<Button> buttons = ButtonsFor(uType);
  std::size_t def = DefaultIndex(uType, buttons.size());

  std::string line = "[" + Encode(caption) + "] " + Encode(text) + "\n";
  std::fwrite(line.data(), 1, line.size(), stderr);
  std::fflush(stderr);

  if (::isatty(STDIN_FILENO) && ::isatty(STDERR_FILENO)) {
    std::string prompt;
    if (buttons.size() == 1) {
      prompt = "Press Enter to continue. ";
    } else {
      for (std::size_t i = 0; i < buttons.size(); ++i) {
        if (i) prompt += ", ";
        prompt += std::string(1, buttons[i].word[0]) + " = " + buttons[i].label;
      }
      prompt = "[" + prompt + "; Enter = " + buttons[def].label + "] ";
    }
    for (;;) {
      std::fputs(prompt.c_str(), stderr);
      std::fflush(stderr);
      char answer[128];
      if (!std::fgets(answer, sizeof answer, stdin)) {
        // End of input: the box is closed, which is Cancel where there is one.
        for (const Button& b : buttons)
          if (b.id == IDCANCEL) return IDCANCEL;
        return buttons[def].id;
      }
      if (buttons.size() == 1) return buttons[0].id;
      int id = Match(buttons, answer, def);
      if (id > 0) return id;
    }
  }

  const char* env = std::getenv("QELUPNP_MSGBOX_ANSWER");
  int id = Match(buttons, env ? env : "", def);
  return id > 0 ? id : buttons[def].id;
}
