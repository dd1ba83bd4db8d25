#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <future>
#include <thread>
#include <vector>

#include "qel/fault.h"
#include "qel/kernel.h"
#include "qel/user.h"
#include "testsupport.h"

namespace {

TEST(MessageQueue, QuitPostedBeforeTheLoopRunsIsNeverLost) {
  std::atomic<DWORD> tid{0};
  std::atomic<bool> posted{false};
  std::promise<std::vector<UINT>> seen;
  std::thread loop([&] {
    tid = GetCurrentThreadId();
    while (!posted) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    // Only now does this thread look at its queue for the first time.
    std::vector<UINT> got;
    MSG msg;
    BOOL r;
    while ((r = GetMessageW(&msg, nullptr, 0, 0)) != 0) {
      if (r == -1) break;
      got.push_back(msg.message);
      DispatchMessageW(&msg);
    }
    got.push_back(msg.message);
    seen.set_value(got);
  });
  while (!tid) std::this_thread::sleep_for(std::chrono::milliseconds(1));
  ASSERT_TRUE(PostThreadMessageW(tid, WM_USER + 1, 1, 2));
  ASSERT_TRUE(PostThreadMessageW(tid, WM_QUIT, 0, 0));
  posted = true;
  auto f = seen.get_future();
  ASSERT_EQ(f.wait_for(std::chrono::seconds(10)), std::future_status::ready);
  loop.join();
  EXPECT_EQ(f.get(), (std::vector<UINT>{WM_USER + 1, WM_QUIT}));
}

TEST(MessageQueue, GetMessageBlocksUntilAPostArrives) {
  std::promise<DWORD> ready;
  std::atomic<bool> returned{false};
  MSG got{};
  std::thread loop([&] {
    MSG probe;
    PeekMessageW(&probe, nullptr, 0, 0, PM_NOREMOVE);  // creates the queue
    ready.set_value(GetCurrentThreadId());
    GetMessageW(&got, nullptr, 0, 0);
    returned = true;
  });
  DWORD tid = ready.get_future().get();
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  EXPECT_FALSE(returned);
  ASSERT_TRUE(PostThreadMessageW(tid, WM_APP, 42, -7));
  loop.join();
  EXPECT_TRUE(returned);
  EXPECT_EQ(got.message, static_cast<UINT>(WM_APP));
  EXPECT_EQ(got.wParam, 42u);
  EXPECT_EQ(got.lParam, -7);
  EXPECT_EQ(got.hwnd, nullptr);
}

TEST(MessageQueue, PeekFiltersAndPostQuitMessageComesLast) {
  DWORD self = GetCurrentThreadId();
  MSG m;
  EXPECT_FALSE(PeekMessageW(&m, nullptr, 0, 0, PM_REMOVE));
  PostQuitMessage(5);
  ASSERT_TRUE(PostThreadMessageW(self, WM_USER + 10, 0, 0));
  ASSERT_TRUE(PostThreadMessageW(self, WM_USER + 20, 0, 0));
  ASSERT_TRUE(PeekMessageW(&m, nullptr, WM_USER + 15, WM_USER + 25, PM_NOREMOVE));
  EXPECT_EQ(m.message, static_cast<UINT>(WM_USER + 20));
  ASSERT_TRUE(PeekMessageW(&m, nullptr, WM_USER + 15, WM_USER + 25, PM_REMOVE));
  EXPECT_EQ(m.message, static_cast<UINT>(WM_USER + 20));
  EXPECT_EQ(GetMessageW(&m, nullptr, 0, 0), TRUE);
  EXPECT_EQ(m.message, static_cast<UINT>(WM_USER + 10));
  EXPECT_EQ(GetMessageW(&m, nullptr, 0, 0), FALSE);  // the quit request, after everything else
  EXPECT_EQ(m.message, static_cast<UINT>(WM_QUIT));
  EXPECT_EQ(m.wParam, 5u);
  EXPECT_FALSE(PeekMessageW(&m, nullptr, 0, 0, PM_REMOVE));
  EXPECT_FALSE(TranslateMessage(&m));
  EXPECT_EQ(DispatchMessageW(&m), 0);
}

TEST(MessageQueue, UnknownAndEndedThreadsAreRefused) {
  EXPECT_FALSE(PostThreadMessageW(0, WM_QUIT, 0, 0));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_THREAD_ID));
  EXPECT_FALSE(PostThreadMessageW(0x7FFFFFF0, WM_QUIT, 0, 0));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_THREAD_ID));
  DWORD ended = 0;
  std::thread([&] { ended = GetCurrentThreadId(); }).join();
  // The kernel may take a moment to drop the task entry of a joined thread.
  bool refused = false;
  for (int i = 0; i < 200 && !refused; ++i) {
    refused = !PostThreadMessageW(ended, WM_QUIT, 0, 0);
    if (!refused) std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  EXPECT_TRUE(refused);
  MSG m;
  EXPECT_EQ(GetMessageW(&m, reinterpret_cast<HWND>(0x1234), 0, 0), -1);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_WINDOW_HANDLE));
  EXPECT_EQ(GetMessageW(nullptr, nullptr, 0, 0), -1);
}

TEST(MessageQueue, ManyPostersLoseNothing) {
  std::promise<DWORD> ready;
  std::atomic<int> count{0};
  std::thread loop([&] {
    MSG m;
    PeekMessageW(&m, nullptr, 0, 0, PM_NOREMOVE);
    ready.set_value(GetCurrentThreadId());
    while (GetMessageW(&m, nullptr, 0, 0) > 0) ++count;
  });
  DWORD tid = ready.get_future().get();
  std::vector<std::thread> posters;
  for (int t = 0; t < 4; ++t)
    posters.emplace_back([tid] {
      for (int i = 0; i < 500; ++i) PostThreadMessageW(tid, WM_USER, static_cast<WPARAM>(i), 0);
    });
  for (auto& p : posters) p.join();
  ASSERT_TRUE(PostThreadMessageW(tid, WM_QUIT, 0, 0));
  loop.join();
  EXPECT_EQ(count, 2000);
}

TEST(MessageQueue, FaultSeamFailsGetAndPost) {
  qel::test::ScopedStateDir state;
  qel::fault::Arm("GetMessageW", ERROR_INVALID_PARAMETER);
  MSG m;
  EXPECT_EQ(GetMessageW(&m, nullptr, 0, 0), -1);
  qel::fault::Arm("PostThreadMessageW", ERROR_NOT_ENOUGH_QUOTA);
  EXPECT_FALSE(PostThreadMessageW(GetCurrentThreadId(), WM_QUIT, 0, 0));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NOT_ENOUGH_QUOTA));
}

}  // namespace
