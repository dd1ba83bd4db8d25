#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <regex>
#include <sstream>
#include <string>

#include "qel/fault.h"
#include "qel/kernel.h"
#include "qel/wstr.h"
#include "testsupport.h"

namespace {

namespace fs = std::filesystem;

qel::u16 W(const fs::path& p) { return qel::FromUtf8(p.string()); }

HANDLE Open(const fs::path& p, DWORD access, DWORD share, DWORD disposition) {
  return CreateFileW(W(p).c_str(), access, share, nullptr, disposition, 0, nullptr);
}

class Files : public testing::Test {
 protected:
  qel::test::ScopedStateDir m_state;
  qel::test::TempDir m_dir;
  fs::path Path(const char* name) const { return m_dir.path() / name; }
};

TEST_F(Files, DispositionsAndTheirLastErrors) {
  fs::path p = Path("log.txt");
  HANDLE h = Open(p, GENERIC_WRITE, 0, OPEN_EXISTING);
  EXPECT_EQ(h, INVALID_HANDLE_VALUE);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
  EXPECT_EQ(Open(Path("nodir/x"), GENERIC_WRITE, 0, CREATE_ALWAYS), INVALID_HANDLE_VALUE);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_PATH_NOT_FOUND));

  h = Open(p, GENERIC_WRITE, 0, OPEN_ALWAYS);
  ASSERT_NE(h, INVALID_HANDLE_VALUE);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_SUCCESS));  // created
  DWORD written = 0;
  ASSERT_TRUE(WriteFile(h, "abc", 3, &written, nullptr));
  EXPECT_EQ(written, 3u);
  ASSERT_TRUE(CloseHandle(h));

  h = Open(p, GENERIC_WRITE, 0, OPEN_ALWAYS);
  ASSERT_NE(h, INVALID_HANDLE_VALUE);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ALREADY_EXISTS));
  EXPECT_EQ(SetFilePointer(h, 0, nullptr, FILE_END), 3u);  // never truncated
  ASSERT_TRUE(WriteFile(h, "de", 2, &written, nullptr));
  CloseHandle(h);
  EXPECT_EQ(qel::test::ReadFile(p), "abcde");

  EXPECT_EQ(Open(p, GENERIC_WRITE, 0, CREATE_NEW), INVALID_HANDLE_VALUE);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILE_EXISTS));

  h = Open(p, GENERIC_WRITE, 0, CREATE_ALWAYS);
  ASSERT_NE(h, INVALID_HANDLE_VALUE);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ALREADY_EXISTS));
  EXPECT_EQ(GetFileSize(h, nullptr), 0u);
  CloseHandle(h);

  qel::test::WriteFile(p, "12345");
  h = Open(p, GENERIC_WRITE, 0, TRUNCATE_EXISTING);
  ASSERT_NE(h, INVALID_HANDLE_VALUE);
  CloseHandle(h);
  EXPECT_EQ(qel::test::ReadFile(p), "");
  EXPECT_EQ(Open(p, GENERIC_READ, 0, TRUNCATE_EXISTING), INVALID_HANDLE_VALUE);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));

  EXPECT_EQ(CreateFileW(TEXT(""), GENERIC_WRITE, 0, nullptr, OPEN_ALWAYS, 0, nullptr), INVALID_HANDLE_VALUE);
  EXPECT_EQ(Open(m_dir.path(), GENERIC_READ, FILE_SHARE_READ, OPEN_EXISTING), INVALID_HANDLE_VALUE);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
}

// A planted symbolic link, FIFO or device at a path the program writes is
// refused at once and changes nothing; the planted FIFO never makes the
// open wait, with or without a reader at its other end.
TEST_F(Files, OnlyRegularFilesAndNoLinksAreOpened) {
  fs::path target = Path("target"), link = Path("link"), dangling = Path("dangling");
  fs::path fifo = Path("fifo"), fifoWithReader = Path("fifo-read");
  qel::test::WriteFile(target, "keep");
  fs::create_symlink(target, link);
  fs::create_symlink(Path("created-through-link"), dangling);
  ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
  ASSERT_EQ(mkfifo(fifoWithReader.c_str(), 0600), 0);
  int reader = open(fifoWithReader.c_str(), O_RDONLY | O_NONBLOCK);
  ASSERT_GE(reader, 0);
  for (const fs::path& p : {link, dangling, fifo, fifoWithReader, fs::path("/dev/null"), m_dir.path()}) {
    for (DWORD disposition : {DWORD(OPEN_ALWAYS), DWORD(OPEN_EXISTING), DWORD(CREATE_ALWAYS)}) {
      for (DWORD access : {DWORD(GENERIC_WRITE), DWORD(GENERIC_READ)}) {
        if (disposition == CREATE_ALWAYS && p == "/dev/null") continue;
        SetLastError(0);
        EXPECT_EQ(Open(p, access, 0, disposition), INVALID_HANDLE_VALUE) << p << ' ' << disposition;
        EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED)) << p << ' ' << disposition;
      }
    }
  }
  close(reader);
  EXPECT_EQ(qel::test::ReadFile(target), "keep");
  EXPECT_FALSE(fs::exists(Path("created-through-link")));
  EXPECT_TRUE(fs::is_symlink(link));
  EXPECT_TRUE(fs::is_fifo(fifo));
  // The file itself is still opened, by a path through a linked directory too.
  fs::create_directory_symlink(m_dir.path(), Path("dirlink"));
  HANDLE h = Open(Path("dirlink") / "target", GENERIC_WRITE, 0, OPEN_EXISTING);
  ASSERT_NE(h, INVALID_HANDLE_VALUE);
  CloseHandle(h);
}

TEST_F(Files, ReadWriteSeekAndSize) {
  fs::path p = Path("data.bin");
  HANDLE h = Open(p, GENERIC_READ | GENERIC_WRITE, 0, CREATE_NEW);
  ASSERT_NE(h, INVALID_HANDLE_VALUE);
  DWORD n = 0;
  ASSERT_TRUE(WriteFile(h, "0123456789", 10, &n, nullptr));
  EXPECT_EQ(SetFilePointer(h, 2, nullptr, FILE_BEGIN), 2u);
  char buf[8] = {};
  ASSERT_TRUE(ReadFile(h, buf, 3, &n, nullptr));
  EXPECT_EQ(std::string(buf, n), "234");
  EXPECT_EQ(SetFilePointer(h, -1, nullptr, FILE_CURRENT), 4u);
  EXPECT_EQ(SetFilePointer(h, -20, nullptr, FILE_CURRENT), INVALID_SET_FILE_POINTER);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NEGATIVE_SEEK));
  LARGE_INTEGER to, now;
  to.QuadPart = -3;
  ASSERT_TRUE(SetFilePointerEx(h, to, &now, FILE_END));
  EXPECT_EQ(now.QuadPart, 7);
  ASSERT_TRUE(ReadFile(h, buf, 8, &n, nullptr));
  EXPECT_EQ(std::string(buf, n), "789");
  ASSERT_TRUE(ReadFile(h, buf, 8, &n, nullptr));  // end of file: success, nothing read
  EXPECT_EQ(n, 0u);
  DWORD high = 1;
  EXPECT_EQ(GetFileSize(h, &high), 10u);
  EXPECT_EQ(high, 0u);
  EXPECT_EQ(SetFilePointer(h, 4, nullptr, FILE_BEGIN), 4u);
  ASSERT_TRUE(SetEndOfFile(h));
  ASSERT_TRUE(FlushFileBuffers(h));
  LARGE_INTEGER size;
  ASSERT_TRUE(GetFileSizeEx(h, &size));
  EXPECT_EQ(size.QuadPart, 4);
  ASSERT_TRUE(CloseHandle(h));

  // A handle is dead once closed, and a read-only handle refuses writes.
  EXPECT_FALSE(CloseHandle(h));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
  EXPECT_FALSE(WriteFile(h, "x", 1, &n, nullptr));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
  h = Open(p, GENERIC_READ, FILE_SHARE_READ, OPEN_EXISTING);
  ASSERT_NE(h, INVALID_HANDLE_VALUE);
  EXPECT_FALSE(WriteFile(h, "x", 1, &n, nullptr));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
  CloseHandle(h);
  EXPECT_EQ(qel::test::ReadFile(p), "0123");
}

TEST_F(Files, ShareModesInsideTheProcess) {
  fs::path p = Path("shared.txt");
  HANDLE a = Open(p, GENERIC_WRITE, 0, OPEN_ALWAYS);
  ASSERT_NE(a, INVALID_HANDLE_VALUE);
  EXPECT_EQ(Open(p, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, OPEN_EXISTING), INVALID_HANDLE_VALUE);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_SHARING_VIOLATION));
  // A refused CREATE_ALWAYS must not have truncated the file held by the other open.
  DWORD n;
  ASSERT_TRUE(WriteFile(a, "keep", 4, &n, nullptr));
  EXPECT_EQ(Open(p, GENERIC_WRITE, 0, CREATE_ALWAYS), INVALID_HANDLE_VALUE);
  EXPECT_EQ(qel::test::ReadFile(p), "keep");
  EXPECT_FALSE(DeleteFileW(W(p).c_str()));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_SHARING_VIOLATION));
  CloseHandle(a);

  HANDLE r1 = Open(p, GENERIC_READ, FILE_SHARE_READ, OPEN_EXISTING);
  HANDLE r2 = Open(p, GENERIC_READ, FILE_SHARE_READ, OPEN_EXISTING);
  EXPECT_NE(r1, INVALID_HANDLE_VALUE);
  EXPECT_NE(r2, INVALID_HANDLE_VALUE);
  // Readers that do not share writing keep a writer out, even one that shares everything.
  EXPECT_EQ(Open(p, GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, OPEN_EXISTING), INVALID_HANDLE_VALUE);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_SHARING_VIOLATION));
  CloseHandle(r1);
  CloseHandle(r2);

  HANDLE d = Open(p, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_DELETE, OPEN_EXISTING);
  ASSERT_NE(d, INVALID_HANDLE_VALUE);
  EXPECT_TRUE(DeleteFileW(W(p).c_str()));
  CloseHandle(d);
  EXPECT_FALSE(fs::exists(p));
}

// A child process holds the file open with `share` until told to let go.
class Holder {
 public:
  Holder(const fs::path& p, DWORD share) {
    int up[2], down[2];
    EXPECT_EQ(pipe(up), 0);
    EXPECT_EQ(pipe(down), 0);
    m_pid = fork();
    if (m_pid == 0) {
      close(up[0]);
      close(down[1]);
      HANDLE h = CreateFileW(W(p).c_str(), GENERIC_WRITE, share, nullptr, OPEN_ALWAYS, 0, nullptr);
      char ok = h != INVALID_HANDLE_VALUE ? 'y' : 'n';
      (void)!write(up[1], &ok, 1);
      char b;
      (void)!read(down[0], &b, 1);
      _exit(0);
    }
    close(up[1]);
    close(down[0]);
    m_down = down[1];
    char ok = 0;
    EXPECT_EQ(read(up[0], &ok, 1), 1);
    EXPECT_EQ(ok, 'y');
    close(up[0]);
  }
  ~Holder() {
    close(m_down);
    waitpid(m_pid, nullptr, 0);
  }

 private:
  pid_t m_pid;
  int m_down;
};

TEST_F(Files, ShareModeZeroExcludesOtherProcesses) {
  fs::path p = Path("cross.log");
  {
    Holder other(p, 0);
    EXPECT_EQ(Open(p, GENERIC_WRITE, 0, OPEN_ALWAYS), INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_SHARING_VIOLATION));
    EXPECT_EQ(Open(p, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, OPEN_EXISTING), INVALID_HANDLE_VALUE);
  }
  {
    Holder other(p, FILE_SHARE_READ | FILE_SHARE_WRITE);
    HANDLE h = Open(p, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, OPEN_EXISTING);
    EXPECT_NE(h, INVALID_HANDLE_VALUE);
    CloseHandle(h);
    EXPECT_EQ(Open(p, GENERIC_WRITE, 0, OPEN_EXISTING), INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_SHARING_VIOLATION));
  }
  HANDLE h = Open(p, GENERIC_WRITE, 0, OPEN_EXISTING);  // free again once the other has gone
  EXPECT_NE(h, INVALID_HANDLE_VALUE);
  CloseHandle(h);
}

// The diagnostic log's pattern: open with share 0, append one entry, close.
// A collision refuses the open (the log drops that entry; here the writer
// tries again), but entries of two processes are never mixed.
TEST_F(Files, ExclusiveAppendsFromTwoProcessesNeverInterleave) {
  fs::path p = Path("two.log");
  auto writer = [&](char tag) {
    for (int i = 0; i < 300; ++i) {
      HANDLE h = INVALID_HANDLE_VALUE;
      for (int attempt = 0; attempt < 100000 && h == INVALID_HANDLE_VALUE; ++attempt) {
        h = Open(p, GENERIC_WRITE, 0, OPEN_ALWAYS);
        if (h == INVALID_HANDLE_VALUE && GetLastError() != ERROR_SHARING_VIOLATION) return;
      }
      if (h == INVALID_HANDLE_VALUE) return;
      SetFilePointer(h, 0, nullptr, FILE_END);
      std::string head = std::string(1, tag) + "-start-";
      std::string tail = std::to_string(i) + "-end\n";
      DWORD n;
      WriteFile(h, head.data(), static_cast<DWORD>(head.size()), &n, nullptr);
      WriteFile(h, tail.data(), static_cast<DWORD>(tail.size()), &n, nullptr);
      CloseHandle(h);
    }
  };
  pid_t child = fork();
  if (child == 0) {
    writer('b');
    _exit(0);
  }
  writer('a');
  int st = 0;
  waitpid(child, &st, 0);
  std::istringstream in(qel::test::ReadFile(p));
  std::string line;
  int a = 0, b = 0;
  std::regex entry("[ab]-start-[0-9]+-end");
  while (std::getline(in, line)) {
    EXPECT_TRUE(std::regex_match(line, entry)) << line;
    (line[0] == 'a' ? a : b)++;
  }
  EXPECT_EQ(a, 300);
  EXPECT_EQ(b, 300);
}

TEST_F(Files, PermissionsAreEnforcedForAnUnprivilegedCaller) {
  fs::path secret = Path("secret");
  qel::test::WriteFile(secret, "x");
  chmod(secret.c_str(), 0600);
  fs::path locked = Path("locked");
  fs::create_directory(locked);
  chmod(locked.c_str(), 0555);
  chmod(m_dir.path().c_str(), 0755);
  pid_t child = fork();
  if (child == 0) {
    if (setgid(65534) != 0 || setuid(65534) != 0) _exit(90);
    if (Open(secret, GENERIC_READ, FILE_SHARE_READ, OPEN_EXISTING) != INVALID_HANDLE_VALUE) _exit(91);
    if (GetLastError() != ERROR_ACCESS_DENIED) _exit(92);
    if (Open(locked / "new", GENERIC_WRITE, 0, CREATE_NEW) != INVALID_HANDLE_VALUE) _exit(93);
    if (GetLastError() != ERROR_ACCESS_DENIED) _exit(94);
    _exit(0);
  }
  int st = 0;
  waitpid(child, &st, 0);
  ASSERT_TRUE(WIFEXITED(st));
  if (WEXITSTATUS(st) == 90) GTEST_SKIP() << "cannot drop privileges here";
  EXPECT_EQ(WEXITSTATUS(st), 0);
}

TEST_F(Files, DeleteMoveDirectoriesAndAttributes) {
  fs::path a = Path("a.txt"), b = Path("b.txt"), sub = Path("sub");
  qel::test::WriteFile(a, "A");
  qel::test::WriteFile(b, "B");
  EXPECT_FALSE(MoveFileExW(W(a).c_str(), W(b).c_str(), 0));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ALREADY_EXISTS));
  ASSERT_TRUE(MoveFileExW(W(a).c_str(), W(b).c_str(), MOVEFILE_REPLACE_EXISTING));
  EXPECT_EQ(qel::test::ReadFile(b), "A");
  EXPECT_FALSE(fs::exists(a));
  EXPECT_FALSE(MoveFileExW(W(a).c_str(), W(b).c_str(), MOVEFILE_REPLACE_EXISTING));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));

  ASSERT_TRUE(CreateDirectoryW(W(sub).c_str(), nullptr));
  EXPECT_FALSE(CreateDirectoryW(W(sub).c_str(), nullptr));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ALREADY_EXISTS));
  EXPECT_FALSE(CreateDirectoryW(W(Path("x/y")).c_str(), nullptr));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_PATH_NOT_FOUND));
  EXPECT_EQ(GetFileAttributesW(W(sub).c_str()), static_cast<DWORD>(FILE_ATTRIBUTE_DIRECTORY));
  EXPECT_EQ(GetFileAttributesW(W(b).c_str()), static_cast<DWORD>(FILE_ATTRIBUTE_NORMAL));
  chmod(b.c_str(), 0444);
  EXPECT_EQ(GetFileAttributesW(W(b).c_str()), static_cast<DWORD>(FILE_ATTRIBUTE_READONLY));
  EXPECT_EQ(GetFileAttributesW(W(a).c_str()), INVALID_FILE_ATTRIBUTES);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));

  EXPECT_FALSE(DeleteFileW(W(sub).c_str()));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
  qel::test::WriteFile(sub / "f", "");
  EXPECT_FALSE(RemoveDirectoryW(W(sub).c_str()));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_DIR_NOT_EMPTY));
  ASSERT_TRUE(DeleteFileW(W(sub / "f").c_str()));
  EXPECT_TRUE(RemoveDirectoryW(W(sub).c_str()));
  EXPECT_FALSE(DeleteFileW(W(sub / "f").c_str()));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_PATH_NOT_FOUND));
}

TEST_F(Files, FaultSeamFailsOpenAndWrite) {
  fs::path p = Path("f.log");
  qel::fault::Arm("CreateFileW", ERROR_SHARING_VIOLATION);
  EXPECT_EQ(Open(p, GENERIC_WRITE, 0, OPEN_ALWAYS), INVALID_HANDLE_VALUE);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_SHARING_VIOLATION));
  EXPECT_FALSE(fs::exists(p));
  HANDLE h = Open(p, GENERIC_WRITE, 0, OPEN_ALWAYS);
  ASSERT_NE(h, INVALID_HANDLE_VALUE);
  qel::fault::Arm("WriteFile", ERROR_DISK_FULL);
  DWORD n = 7;
  EXPECT_FALSE(WriteFile(h, "x", 1, &n, nullptr));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_DISK_FULL));
  CloseHandle(h);
}

}  // namespace
