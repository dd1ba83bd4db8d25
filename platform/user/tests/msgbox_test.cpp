#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <string>

#include "qel/user.h"

namespace {

struct BoxRun {
  int answer = -1;
  std::string err;
};

// Shows the box in a child whose standard input and error are pipes (no terminal).
BoxRun ShowInChild(const char* envAnswer, const WCHAR* text, const WCHAR* caption, UINT type) {
  int err[2];
  int in[2];
  if (pipe(err) != 0 || pipe(in) != 0) return {};
  pid_t pid = fork();
  if (pid == 0) {
    dup2(err[1], 2);
    dup2(in[0], 0);
    close(err[0]);
    if (envAnswer)
      setenv("QELUPNP_MSGBOX_ANSWER", envAnswer, 1);
    else
      unsetenv("QELUPNP_MSGBOX_ANSWER");
    _exit(MessageBoxW(nullptr, text, caption, type));
  }
  close(err[1]);
  close(in[0]);  // the child gets end-of-input if it ever read, which it must not
  BoxRun r;
  char b[512];
  ssize_t n;
  while ((n = read(err[0], b, sizeof b)) > 0) r.err.append(b, static_cast<size_t>(n));
  close(err[0]);
  close(in[1]);
  int st = 0;
  waitpid(pid, &st, 0);
  r.answer = WIFEXITED(st) ? WEXITSTATUS(st) : -1;
  return r;
}

TEST(MessageBox, WithoutATerminalTheEnvironmentAnswers) {
  BoxRun r = ShowInChild(nullptr, TEXT("'/RegServer' failed."), TEXT("QelUPnP"), MB_OK);
  EXPECT_EQ(r.answer, IDOK);
  EXPECT_EQ(r.err, "[QelUPnP] '/RegServer' failed.\n");

  r = ShowInChild("cancel", TEXT("msg\r\n\r\nClick [Cancel] to output a message into 'Debug Viewer' after this."),
                  TEXT("QelUPnP"), MB_OKCANCEL | MB_TASKMODAL | MB_TOPMOST);
  EXPECT_EQ(r.answer, IDCANCEL);
  EXPECT_EQ(r.err.rfind("[QelUPnP] msg", 0), 0u);
  r = ShowInChild("ok", TEXT("t"), TEXT("c"), MB_OKCANCEL);
  EXPECT_EQ(r.answer, IDOK);
  r = ShowInChild("CANCEL", TEXT("t"), TEXT("c"), MB_OKCANCEL);
  EXPECT_EQ(r.answer, IDCANCEL);
  // An answer the box has no button for, or nonsense, is its default button.
  r = ShowInChild("cancel", TEXT("t"), TEXT("c"), MB_OK);
  EXPECT_EQ(r.answer, IDOK);
  r = ShowInChild("maybe", TEXT("t"), TEXT("c"), MB_OKCANCEL);
  EXPECT_EQ(r.answer, IDOK);
  r = ShowInChild("no", TEXT("t"), TEXT("c"), MB_YESNO);
  EXPECT_EQ(r.answer, IDNO);
  r = ShowInChild(nullptr, u"caf\u00e9", nullptr, MB_OK);
  EXPECT_EQ(r.err, "[Error] caf\xC3\xA9\n");
}

TEST(MessageBox, TestHookAnswersInProcess) {
  std::u16string seenText, seenCaption;
  UINT seenType = 0;
  qel::SetMessageBoxHookForTests([&](std::u16string_view t, std::u16string_view c, UINT type) {
    seenText = t;
    seenCaption = c;
    seenType = type;
    return IDCANCEL;
  });
  EXPECT_EQ(MessageBoxW(nullptr, TEXT("text"), TEXT("QelUPnP"), 0x42001), IDCANCEL);
  qel::SetMessageBoxHookForTests(nullptr);
  EXPECT_EQ(seenText, u"text");
  EXPECT_EQ(seenCaption, u"QelUPnP");
  EXPECT_EQ(seenType, 0x42001u);
}

}  // namespace

#include <poll.h>
#include <pty.h>
#include <signal.h>

namespace {

// Shows the box in a child on a pseudo terminal and types `keys` once the prompt is there.
BoxRun ShowOnTerminal(const char* keys, UINT type) {
  int master = -1;
  pid_t pid = forkpty(&master, nullptr, nullptr, nullptr);
  if (pid < 0) return {};
  if (pid == 0) {
    setenv("QELUPNP_MSGBOX_ANSWER", "ok", 1);  // must not be consulted on a terminal
    _exit(MessageBoxW(nullptr, TEXT("Stop?"), TEXT("QelUPnP"), type));
  }
  BoxRun r;
  bool typed = false;
  for (int i = 0; i < 100; ++i) {
    pollfd p{master, POLLIN, 0};
    if (poll(&p, 1, 100) <= 0) continue;
    char b[512];
    ssize_t n = read(master, b, sizeof b);
    if (n <= 0) break;
    r.err.append(b, static_cast<size_t>(n));
    if (!typed && r.err.find("] ") != std::string::npos && r.err.find('[', r.err.find('\n')) != std::string::npos) {
      (void)!write(master, keys, std::strlen(keys));
      typed = true;
    }
  }
  int st = 0;
  for (int i = 0; i < 300 && waitpid(pid, &st, WNOHANG) == 0; ++i) usleep(10000);
  if (kill(pid, 0) == 0) {
    kill(pid, SIGKILL);
    waitpid(pid, &st, 0);
  }
  close(master);
  r.answer = WIFEXITED(st) ? WEXITSTATUS(st) : -1;
  return r;
}

TEST(MessageBox, OnATerminalTheUserAnswers) {
  BoxRun r = ShowOnTerminal("c\n", MB_OKCANCEL);
  EXPECT_EQ(r.answer, IDCANCEL);
  EXPECT_NE(r.err.find("[QelUPnP] Stop?"), std::string::npos) << r.err;
  r = ShowOnTerminal("\n", MB_OKCANCEL);  // Enter is OK
  EXPECT_EQ(r.answer, IDOK);
  r = ShowOnTerminal("x\nn\n", MB_YESNO);  // an unknown key asks again
  EXPECT_EQ(r.answer, IDNO);
}

}  // namespace
