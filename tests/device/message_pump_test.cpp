// The one-message pump of the application thread's wait loops.
#include "device/message_pump.h"

#include <gtest/gtest.h>

#include <thread>
#include <vector>

#include "platform/win32.h"

namespace {

std::vector<UINT> g_seen;  // touched only by this test's own thread

LRESULT CALLBACK PumpTestProc(HWND, UINT m, WPARAM, LPARAM) {
  g_seen.push_back(m);
  return 0;
}

HWND MakeWindow() {
  static const bool registered = [] {
    WNDCLASSA wc{};
    wc.lpfnWndProc = PumpTestProc;
    wc.lpszClassName = "msgsPumpTestWindow";
    return RegisterClassA(&wc) != 0;
  }();
  if (!registered) return nullptr;
  return CreateWindowExA(0, "msgsPumpTestWindow", "", 0, 0, 0, 0, 0, nullptr, nullptr, nullptr, nullptr);
}

// Each case runs on a fresh thread, so it starts with an empty queue of its own.
template <class F>
void OnFreshThread(F f) {
  std::thread t(f);
  t.join();
}

TEST(PumpOneMessage, HandlesOneMessagePerCallInOrder) {
  OnFreshThread([] {
    g_seen.clear();
    HWND h = MakeWindow();
    ASSERT_NE(h, nullptr);
    PostMessageA(h, WM_USER + 1, 0, 0);
    PostMessageA(h, WM_USER + 2, 0, 0);
    dud::PumpOneMessage();
    EXPECT_EQ(g_seen, std::vector<UINT>{WM_USER + 1});
    dud::PumpOneMessage();
    EXPECT_EQ(g_seen, (std::vector<UINT>{WM_USER + 1, WM_USER + 2}));
    dud::PumpOneMessage();  // empty queue: returns without waiting
    EXPECT_EQ(g_seen.size(), 2u);
    DestroyWindow(h);
  });
}

TEST(PumpOneMessage, PutsTheQuitRequestBackWithItsExitCode) {
  OnFreshThread([] {
    g_seen.clear();
    HWND h = MakeWindow();
    ASSERT_NE(h, nullptr);
    PostQuitMessage(42);
    PostMessageA(h, WM_USER + 1, 0, 0);
    dud::PumpOneMessage();  // the posted message comes first
    dud::PumpOneMessage();  // then the quit request, which stays
    dud::PumpOneMessage();
    EXPECT_EQ(g_seen, std::vector<UINT>{WM_USER + 1});
    MSG m{};
    ASSERT_EQ(GetMessageA(&m, nullptr, 0, 0), FALSE);
    EXPECT_EQ(m.message, WM_QUIT);
    EXPECT_EQ(m.wParam, 42u);
    EXPECT_FALSE(PeekMessageA(&m, nullptr, 0, 0, PM_REMOVE));  // exactly one quit request
    DestroyWindow(h);
  });
}

}  // namespace
