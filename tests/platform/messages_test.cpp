// Hidden windows and message queues: posting, sending across threads, time-outs,
// destroyed windows, quit requests, waits and the queue's wake-up descriptor.
#include <gtest/gtest.h>
#include <poll.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <future>
#include <mutex>
#include <thread>
#include <vector>

#include "platform/dud_platform.h"
#include "platform/posix/messages.h"
#include "platform/win32.h"

namespace {

constexpr DWORD kErrorInvalidIndex = 1413;
constexpr DWORD kErrorClassHasWindows = 1412;
constexpr DWORD kErrorInvalidThreadId = 1444;

struct Seen {
  UINT message;
  WPARAM wParam;
  LPARAM lParam;
  DWORD tid;
};

// What a test window received, and how it answers. The answer runs on the window's thread.
class Recorder {
 public:
  std::function<LRESULT(UINT, WPARAM, LPARAM)> answer = [](UINT, WPARAM w, LPARAM l) {
    return static_cast<LRESULT>(w) + l;
  };

  LRESULT On(UINT m, WPARAM w, LPARAM l) {
    {
      std::lock_guard<std::mutex> g(lock_);
      seen_.push_back({m, w, l, GetCurrentThreadId()});
    }
    return answer(m, w, l);
  }
  std::vector<Seen> seen() {
    std::lock_guard<std::mutex> g(lock_);
    return seen_;
  }
  std::vector<UINT> messages() {
    std::vector<UINT> out;
    for (const auto& s : seen()) out.push_back(s.message);
    return out;
  }

 private:
  std::mutex lock_;
  std::vector<Seen> seen_;
};

LRESULT CALLBACK TestProc(HWND h, UINT m, WPARAM w, LPARAM l) {
  auto* r = reinterpret_cast<Recorder*>(GetWindowLongPtrA(h, GWLP_USERDATA));
  return r != nullptr ? r->On(m, w, l) : DefWindowProcA(h, m, w, l);
}

constexpr char kClass[] = "msgsTestWindow";
constexpr int kExtra = 2 * static_cast<int>(sizeof(LONG_PTR));

bool EnsureClass() {
  static const bool registered = [] {
    WNDCLASSA wc{};
    wc.lpfnWndProc = TestProc;
    wc.cbWndExtra = kExtra;
    wc.hInstance = GetModuleHandleA(nullptr);
    wc.lpszClassName = kClass;
    return RegisterClassA(&wc) != 0;
  }();
  return registered;
}

HWND MakeWindow(Recorder* r) {
  if (!EnsureClass()) return nullptr;
  HWND h = CreateWindowExA(0, kClass, "", 0, 0, 0, 0, 0, nullptr, nullptr, GetModuleHandleA(nullptr), nullptr);
  if (h != nullptr) SetWindowLongPtrA(h, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(r));
  return h;
}

// Takes out and dispatches every waiting message of the calling thread; returns how many.
int Drain() {
  MSG m{};
  int n = 0;
  while (PeekMessageA(&m, nullptr, 0, 0, PM_REMOVE)) {
    DispatchMessageA(&m);
    ++n;
  }
  return n;
}

// Handles the calling thread's messages until ev is signalled; false after 10 s.
bool PumpUntilSignalled(HANDLE ev) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  for (;;) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) return false;
    DWORD r = MsgWaitForMultipleObjects(1, &ev, FALSE, static_cast<DWORD>(left.count()), QS_ALLINPUT);
    if (r == WAIT_OBJECT_0) return true;
    if (r == WAIT_OBJECT_0 + 1) Drain();
  }
}

// A worker thread that signals an event when its work is done.
class Worker {
 public:
  explicit Worker(std::function<void()> work) : done_(CreateEventA(nullptr, TRUE, FALSE, nullptr)) {
    thread_ = std::thread([this, work = std::move(work)] {
      work();
      SetEvent(done_);
    });
  }
  ~Worker() {
    if (thread_.joinable()) thread_.join();
    CloseHandle(done_);
  }
  HANDLE done() const { return done_; }
  void Join() { thread_.join(); }

 private:
  HANDLE done_;
  std::thread thread_;
};

class Messages : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(EnsureClass());
    Drain();
  }
  void TearDown() override {
    Drain();
    for (HWND h : windows_) {
      SetWindowLongPtrA(h, GWLP_USERDATA, 0);  // the test's recorder is gone by now
      DestroyWindow(h);
    }
  }
  HWND Window(Recorder* r) {
    HWND h = MakeWindow(r);
    windows_.push_back(h);
    return h;
  }

 private:
  std::vector<HWND> windows_;
};

TEST(WindowClass, NamesCompareWithoutCaseAndClassesWithWindowsStay) {
  WNDCLASSA wc{};
  wc.lpfnWndProc = TestProc;
  wc.cbWndExtra = 4;
  wc.lpszClassName = "CaseClass";
  ASSERT_NE(RegisterClassA(&wc), 0);
  wc.lpszClassName = "CASECLASS";
  EXPECT_EQ(RegisterClassA(&wc), 0);
  EXPECT_EQ(GetLastError(), ERROR_CLASS_ALREADY_EXISTS);

  WNDCLASSA info{};
  ASSERT_TRUE(GetClassInfoA(nullptr, "caseclass", &info));
  EXPECT_EQ(info.cbWndExtra, 4);
  EXPECT_EQ(info.lpfnWndProc, &TestProc);

  HWND h = CreateWindowExA(0, "caseCLASS", "", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr, nullptr, nullptr);
  ASSERT_NE(h, nullptr);
  EXPECT_FALSE(UnregisterClassA("CaseClass", nullptr));
  EXPECT_EQ(GetLastError(), kErrorClassHasWindows);
  EXPECT_TRUE(DestroyWindow(h));
  EXPECT_TRUE(UnregisterClassA("caseclass", nullptr));

  EXPECT_FALSE(GetClassInfoA(nullptr, "CaseClass", &info));
  EXPECT_EQ(GetLastError(), ERROR_CLASS_DOES_NOT_EXIST);
  EXPECT_EQ(CreateWindowExA(0, "CaseClass", "", 0, 0, 0, 0, 0, nullptr, nullptr, nullptr, nullptr), nullptr);
  EXPECT_EQ(GetLastError(), ERROR_CANNOT_FIND_WND_CLASS);
  EXPECT_FALSE(UnregisterClassA("CaseClass", nullptr));
  EXPECT_EQ(GetLastError(), ERROR_CLASS_DOES_NOT_EXIST);
}

TEST_F(Messages, ExtraBytesByOffsetAndUserDataAreSeparateSlots) {
  HWND h = Window(nullptr);
  ASSERT_NE(h, nullptr);
  constexpr int kSecond = sizeof(LONG_PTR);
  EXPECT_EQ(GetWindowLongPtrA(h, 0), 0);
  EXPECT_EQ(GetWindowLongPtrA(h, kSecond), 0);
  EXPECT_EQ(SetWindowLongPtrA(h, 0, 0x1234), 0);
  EXPECT_EQ(SetWindowLongPtrA(h, kSecond, -7), 0);
  EXPECT_EQ(SetWindowLongPtrA(h, GWLP_USERDATA, 99), 0);
  EXPECT_EQ(GetWindowLongPtrA(h, 0), 0x1234);
  EXPECT_EQ(GetWindowLongPtrA(h, kSecond), -7);
  EXPECT_EQ(GetWindowLongPtrA(h, GWLP_USERDATA), 99);
  EXPECT_EQ(SetWindowLongPtrA(h, 0, 5), 0x1234);  // the previous value comes back
  EXPECT_EQ(GetWindowLongPtrA(h, 0), 5);

  const int out_of_range[] = {kExtra - kSecond + 1, kExtra, -1, -4};
  for (int index : out_of_range) {
    SetLastError(0);
    EXPECT_EQ(GetWindowLongPtrA(h, index), 0) << index;
    EXPECT_EQ(GetLastError(), kErrorInvalidIndex) << index;
    SetLastError(0);
    EXPECT_EQ(SetWindowLongPtrA(h, index, 1), 0) << index;
    EXPECT_EQ(GetLastError(), kErrorInvalidIndex) << index;
  }
  EXPECT_EQ(GetWindowLongPtrA(h, kSecond), -7);  // the refused writes changed nothing

  DWORD pid = 0;
  EXPECT_EQ(GetWindowThreadProcessId(h, &pid), GetCurrentThreadId());
  EXPECT_EQ(pid, static_cast<DWORD>(getpid()));
  EXPECT_NE(GetModuleHandleA(nullptr), nullptr);
  EXPECT_EQ(GetModuleHandleA(nullptr), GetModuleHandleA(nullptr));
}

TEST_F(Messages, PostedMessagesKeepTheirOrderAndReachTheProcedureOnItsThread) {
  Recorder r;
  HWND h = Window(&r);
  constexpr int kCount = 100;
  std::thread poster([h] {
    for (int i = 0; i < kCount; ++i) PostMessageA(h, WM_USER + static_cast<UINT>(i), static_cast<WPARAM>(i), 2 * i);
  });
  poster.join();
  MSG m{};
  for (int i = 0; i < kCount; ++i) {
    ASSERT_TRUE(PeekMessageA(&m, nullptr, 0, 0, PM_REMOVE)) << i;
    EXPECT_EQ(m.hwnd, h);
    EXPECT_EQ(m.message, WM_USER + static_cast<UINT>(i));
    EXPECT_EQ(DispatchMessageA(&m), 3 * i);
  }
  EXPECT_FALSE(PeekMessageA(&m, nullptr, 0, 0, PM_REMOVE));
  auto seen = r.seen();
  ASSERT_EQ(seen.size(), static_cast<size_t>(kCount));
  for (const auto& s : seen) EXPECT_EQ(s.tid, GetCurrentThreadId());
}

TEST_F(Messages, PeekFiltersByWindowAndRangeAndNoRemoveLeavesTheMessage) {
  Recorder ra, rb;
  HWND a = Window(&ra);
  HWND b = Window(&rb);
  ASSERT_TRUE(PostMessageA(a, WM_USER + 1, 0, 0));
  ASSERT_TRUE(PostMessageA(b, WM_USER + 2, 0, 0));
  ASSERT_TRUE(PostThreadMessageA(GetCurrentThreadId(), WM_USER + 3, 0, 0));
  ASSERT_TRUE(PostMessageA(a, WM_USER + 10, 0, 0));

  MSG m{};
  const HWND thread_only = reinterpret_cast<HWND>(static_cast<LONG_PTR>(-1));
  struct Case {
    HWND filter;
    UINT min, max, flags;
    HWND hwnd;
    UINT message;
  };
  const Case cases[] = {
      {b, 0, 0, PM_NOREMOVE, b, WM_USER + 2},
      {b, 0, 0, PM_NOREMOVE, b, WM_USER + 2},  // still there
      {nullptr, WM_USER + 5, WM_USER + 20, PM_REMOVE, a, WM_USER + 10},
      {thread_only, 0, 0, PM_REMOVE, nullptr, WM_USER + 3},
      {a, 0, 0, PM_REMOVE, a, WM_USER + 1},
      {nullptr, 0, 0, PM_REMOVE, b, WM_USER + 2},
  };
  for (const auto& c : cases) {
    ASSERT_TRUE(PeekMessageA(&m, c.filter, c.min, c.max, c.flags)) << c.message;
    EXPECT_EQ(m.hwnd, c.hwnd);
    EXPECT_EQ(m.message, c.message);
  }
  EXPECT_FALSE(PeekMessageA(&m, nullptr, 0, 0, PM_REMOVE));
  EXPECT_TRUE(ra.seen().empty());  // peeking dispatches nothing

  HWND gone = MakeWindow(nullptr);
  ASSERT_TRUE(DestroyWindow(gone));
  EXPECT_FALSE(PeekMessageA(&m, gone, 0, 0, PM_REMOVE));
  EXPECT_EQ(GetLastError(), ERROR_INVALID_WINDOW_HANDLE);
}

TEST_F(Messages, GetMessageWithAWindowFilterWaitsForThatWindow) {
  Recorder ra, rb;
  HWND a = Window(&ra);
  HWND b = Window(&rb);
  ASSERT_TRUE(PostMessageA(a, WM_USER + 1, 0, 0));
  std::thread poster([b] { PostMessageA(b, WM_USER + 2, 0, 0); });
  MSG m{};
  EXPECT_EQ(GetMessageA(&m, b, 0, 0), TRUE);
  poster.join();
  EXPECT_EQ(m.message, WM_USER + 2);
  ASSERT_TRUE(PeekMessageA(&m, nullptr, 0, 0, PM_REMOVE));
  EXPECT_EQ(m.message, WM_USER + 1);
}

TEST_F(Messages, QuitRequestComesAfterThePostedMessagesAndPassesEveryRange) {
  Recorder r;
  HWND h = Window(&r);
  ASSERT_TRUE(PostMessageA(h, WM_USER + 1, 0, 0));
  PostQuitMessage(7);
  ASSERT_TRUE(PostMessageA(h, WM_USER + 2, 0, 0));
  MSG m{};
  EXPECT_EQ(GetMessageA(&m, nullptr, 0, 0), TRUE);
  EXPECT_EQ(m.message, WM_USER + 1);
  EXPECT_EQ(GetMessageA(&m, nullptr, 0, 0), TRUE);
  EXPECT_EQ(m.message, WM_USER + 2);
  EXPECT_EQ(GetMessageA(&m, nullptr, 0, 0), FALSE);
  EXPECT_EQ(m.message, WM_QUIT);
  EXPECT_EQ(m.wParam, 7u);
  EXPECT_FALSE(PeekMessageA(&m, nullptr, 0, 0, PM_REMOVE));

  PostQuitMessage(3);
  ASSERT_TRUE(PeekMessageA(&m, nullptr, WM_USER, WM_USER, PM_NOREMOVE));
  EXPECT_EQ(m.message, WM_QUIT);
  ASSERT_TRUE(PeekMessageA(&m, nullptr, 0, 0, PM_REMOVE));
  EXPECT_EQ(m.message, WM_QUIT);
  EXPECT_EQ(m.wParam, 3u);
  EXPECT_FALSE(PeekMessageA(&m, nullptr, 0, 0, PM_REMOVE));
}

TEST_F(Messages, SameThreadSendCallsTheProcedureAtOnce) {
  Recorder r;
  HWND h = Window(&r);
  EXPECT_EQ(SendMessageA(h, WM_USER, 2, 3), 5);
  DWORD_PTR result = 0;
  EXPECT_NE(SendMessageTimeoutA(h, WM_USER, 4, 5, SMTO_NORMAL, 0, &result), 0);
  EXPECT_EQ(result, 9u);
  EXPECT_EQ(r.messages().size(), 2u);
}

TEST_F(Messages, SendFromAWorkerRunsOnTheWindowThreadAndReturnsTheResult) {
  Recorder r;
  HWND h = Window(&r);
  LRESULT ok = 0, plain = 0;
  DWORD_PTR result = 0;
  Worker w([&] {
    ok = SendMessageTimeoutA(h, WM_USER + 1, 40, 2, SMTO_NORMAL, 5000, &result);
    plain = SendMessageA(h, WM_USER + 2, 5, 6);
  });
  ASSERT_TRUE(PumpUntilSignalled(w.done()));
  w.Join();
  EXPECT_NE(ok, 0);
  EXPECT_EQ(result, 42u);
  EXPECT_EQ(plain, 11);
  auto seen = r.seen();
  ASSERT_EQ(seen.size(), 2u);
  for (const auto& s : seen) EXPECT_EQ(s.tid, GetCurrentThreadId());
}

TEST_F(Messages, SendGivesUpAfterItsTimeOutWhenTheWindowThreadDoesNotPump) {
  Recorder r;
  HWND h = Window(&r);
  LRESULT ok = 1;
  DWORD error = 0;
  DWORD_PTR result = 0xdead;
  std::thread sender([&] {
    ok = SendMessageTimeoutA(h, WM_USER + 1, 1, 1, SMTO_NORMAL, 100, &result);
    error = GetLastError();
  });
  sender.join();  // this thread does not pump meanwhile
  EXPECT_EQ(ok, 0);
  EXPECT_EQ(error, ERROR_TIMEOUT);
  EXPECT_EQ(result, 0xdeadu);
  EXPECT_EQ(Drain(), 0);  // the message was taken back: it is not handled late
  EXPECT_TRUE(r.seen().empty());
}

TEST_F(Messages, AnAnswerAfterTheSenderGaveUpTouchesNothingOfTheSender) {
  Recorder r;
  HWND h = Window(&r);
  HANDLE sender_gave_up = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  r.answer = [&](UINT, WPARAM, LPARAM) -> LRESULT {
    // Still busy when the sender's time-out passes; answers once the sender has left.
    WaitForSingleObject(sender_gave_up, 5000);
    return 77;
  };
  LRESULT ok = 1;
  DWORD error = 0;
  DWORD_PTR result = 0xdead;
  Worker w([&] {
    ok = SendMessageTimeoutA(h, WM_USER + 1, 0, 0, SMTO_NORMAL, 100, &result);
    error = GetLastError();
    SetEvent(sender_gave_up);
  });
  ASSERT_TRUE(PumpUntilSignalled(w.done()));
  w.Join();
  EXPECT_EQ(ok, 0);
  EXPECT_EQ(error, ERROR_TIMEOUT);
  EXPECT_EQ(result, 0xdeadu);
  EXPECT_EQ(r.messages(), std::vector<UINT>{WM_USER + 1});
  CloseHandle(sender_gave_up);
}

TEST_F(Messages, SentMessagesAreHandledBeforePostedOnes) {
  Recorder r;
  HWND h = Window(&r);
  Worker w([h] {
    PostMessageA(h, WM_USER + 1, 0, 0);
    SendMessageTimeoutA(h, WM_USER + 2, 0, 0, SMTO_NORMAL, 5000, nullptr);
  });
  // Both are queued once the sent one is: the post came first.
  ASSERT_EQ(dud::posix::WaitForObjects({dud::posix::CurrentQueueSentSignal()}, false, 5000), WAIT_OBJECT_0);
  MSG m{};
  ASSERT_TRUE(PeekMessageA(&m, nullptr, 0, 0, PM_REMOVE));
  EXPECT_EQ(m.message, WM_USER + 1);
  EXPECT_EQ(r.messages(), std::vector<UINT>{WM_USER + 2});  // handled inside the peek, before the posted one
  DispatchMessageA(&m);
  ASSERT_TRUE(PumpUntilSignalled(w.done()));
  EXPECT_EQ(r.messages(), (std::vector<UINT>{WM_USER + 2, WM_USER + 1}));
}

TEST_F(Messages, ADestroyedWindowLosesItsMessagesAndRefusesNewOnes) {
  Recorder r;
  HWND h = MakeWindow(&r);
  ASSERT_TRUE(PostMessageA(h, WM_USER + 1, 0, 0));
  ASSERT_TRUE(PostMessageA(h, WM_USER + 2, 0, 0));
  std::thread other([h] {
    EXPECT_FALSE(DestroyWindow(h));  // only the owning thread may
    EXPECT_EQ(GetLastError(), ERROR_ACCESS_DENIED);
  });
  other.join();
  ASSERT_TRUE(DestroyWindow(h));
  EXPECT_EQ(r.messages(), std::vector<UINT>{WM_DESTROY});
  EXPECT_EQ(Drain(), 0);
  EXPECT_FALSE(IsWindow(h));

  EXPECT_FALSE(PostMessageA(h, WM_USER, 0, 0));
  EXPECT_EQ(GetLastError(), ERROR_INVALID_WINDOW_HANDLE);
  DWORD_PTR result = 0;
  EXPECT_EQ(SendMessageTimeoutA(h, WM_USER, 0, 0, SMTO_NORMAL, 100, &result), 0);
  EXPECT_EQ(GetLastError(), ERROR_INVALID_WINDOW_HANDLE);
  EXPECT_EQ(SendMessageA(h, WM_USER, 1, 2), 0);
  EXPECT_EQ(GetWindowLongPtrA(h, GWLP_USERDATA), 0);
  EXPECT_EQ(GetLastError(), ERROR_INVALID_WINDOW_HANDLE);
  EXPECT_EQ(GetWindowThreadProcessId(h, nullptr), 0u);
  EXPECT_FALSE(DestroyWindow(h));
  EXPECT_EQ(GetLastError(), ERROR_INVALID_WINDOW_HANDLE);
  LRESULT ok = 1;
  DWORD error = 0;
  std::thread sender([&] {
    ok = SendMessageTimeoutA(h, WM_USER, 0, 0, SMTO_NORMAL, 100, nullptr);
    error = GetLastError();
  });
  sender.join();
  EXPECT_EQ(ok, 0);
  EXPECT_EQ(error, ERROR_INVALID_WINDOW_HANDLE);
  EXPECT_EQ(r.messages(), std::vector<UINT>{WM_DESTROY});
}

TEST_F(Messages, ASenderWaitingOnAWindowThatIsDestroyedFailsAtOnce) {
  Recorder r;
  HWND h = MakeWindow(&r);
  LRESULT ok = 1;
  DWORD error = 0;
  std::thread sender([&] {
    ok = SendMessageTimeoutA(h, WM_USER + 5, 0, 0, SMTO_NORMAL, 30000, nullptr);  // far beyond the test's length
    error = GetLastError();
  });
  ASSERT_EQ(dud::posix::WaitForObjects({dud::posix::CurrentQueueSentSignal()}, false, 5000), WAIT_OBJECT_0);
  ASSERT_TRUE(DestroyWindow(h));
  sender.join();
  EXPECT_EQ(ok, 0);
  EXPECT_EQ(error, ERROR_INVALID_WINDOW_HANDLE);
  EXPECT_EQ(r.messages(), std::vector<UINT>{WM_DESTROY});
  EXPECT_EQ(Drain(), 0);
}

TEST(MessagesOwnerThread, WindowsOfAnEndedThreadAreGoneAndSendsToThemFail) {
  HWND h = nullptr;
  DWORD tid = 0;
  std::thread owner([&] {
    h = MakeWindow(nullptr);
    tid = GetCurrentThreadId();
    PostMessageA(h, WM_USER, 0, 0);  // left behind
  });
  owner.join();
  ASSERT_NE(h, nullptr);
  EXPECT_FALSE(IsWindow(h));
  EXPECT_FALSE(PostMessageA(h, WM_USER, 0, 0));
  EXPECT_EQ(GetLastError(), ERROR_INVALID_WINDOW_HANDLE);
  EXPECT_EQ(SendMessageTimeoutA(h, WM_USER, 0, 0, SMTO_NORMAL, 100, nullptr), 0);
  EXPECT_EQ(GetLastError(), ERROR_INVALID_WINDOW_HANDLE);
  EXPECT_FALSE(PostThreadMessageA(tid, WM_USER, 0, 0));
  EXPECT_EQ(GetLastError(), kErrorInvalidThreadId);
}

TEST(MessagesOwnerThread, ASenderFailsWhenTheOwnerEndsWithoutHandlingTheMessage) {
  std::promise<HWND> window;
  std::thread owner([&] {
    window.set_value(MakeWindow(nullptr));
    // Waits until the message has arrived, then ends without handling it.
    dud::posix::WaitForObjects({dud::posix::CurrentQueueSentSignal()}, false, 5000);
  });
  HWND h = window.get_future().get();
  DWORD_PTR result = 0;
  EXPECT_EQ(SendMessageTimeoutA(h, WM_USER, 0, 0, SMTO_NORMAL, 30000, &result), 0);
  EXPECT_EQ(GetLastError(), ERROR_INVALID_WINDOW_HANDLE);
  owner.join();
}

TEST_F(Messages, ThreadsSendingToEachOtherDoNotLockUp) {
  std::atomic<HWND> worker_window{nullptr};
  Recorder mine;
  HWND h = Window(&mine);
  mine.answer = [&](UINT, WPARAM, LPARAM) -> LRESULT {
    // The worker is blocked in its send to us; it must still answer ours.
    DWORD_PTR inner = 0;
    if (SendMessageTimeoutA(worker_window.load(), WM_USER + 2, 0, 0, SMTO_NORMAL, 5000, &inner) == 0) return -1;
    return static_cast<LRESULT>(inner) + 1;
  };
  DWORD_PTR outer = 0;
  LRESULT ok = 0;
  Worker w([&] {
    Recorder theirs;
    theirs.answer = [](UINT, WPARAM, LPARAM) -> LRESULT { return 10; };
    HWND mine_there = MakeWindow(&theirs);
    worker_window.store(mine_there);
    ok = SendMessageTimeoutA(h, WM_USER + 1, 0, 0, SMTO_NORMAL, 5000, &outer);
    DestroyWindow(mine_there);
  });
  ASSERT_TRUE(PumpUntilSignalled(w.done()));
  w.Join();
  EXPECT_NE(ok, 0);
  EXPECT_EQ(outer, 11u);
}

TEST_F(Messages, PostThreadMessageReachesTheThreadWithoutAWindow) {
  DWORD me = GetCurrentThreadId();
  std::thread poster([me] { EXPECT_TRUE(PostThreadMessageA(me, WM_USER + 9, 1, 2)); });
  poster.join();
  MSG m{};
  ASSERT_TRUE(PeekMessageA(&m, nullptr, 0, 0, PM_REMOVE));
  EXPECT_EQ(m.hwnd, nullptr);
  EXPECT_EQ(m.message, WM_USER + 9);
  EXPECT_EQ(m.lParam, 2);
  EXPECT_EQ(DispatchMessageA(&m), 0);
  EXPECT_FALSE(TranslateMessage(&m));
  EXPECT_FALSE(PostThreadMessageA(0x7ffffff0u, WM_USER, 0, 0));
  EXPECT_EQ(GetLastError(), kErrorInvalidThreadId);
}

TEST_F(Messages, MsgWaitReportsObjectsBeforeMessagesAndTimesOut) {
  Recorder r;
  HWND h = Window(&r);
  HANDLE ev = CreateEventA(nullptr, FALSE, FALSE, nullptr);  // auto-reset
  EXPECT_EQ(MsgWaitForMultipleObjects(1, &ev, FALSE, 20, QS_ALLINPUT), WAIT_TIMEOUT);

  std::thread setter([ev] { SetEvent(ev); });
  EXPECT_EQ(MsgWaitForMultipleObjects(1, &ev, FALSE, 5000, QS_ALLINPUT), WAIT_OBJECT_0);
  setter.join();
  EXPECT_EQ(WaitForSingleObject(ev, 0), static_cast<DWORD>(WAIT_TIMEOUT));  // the wait took the signal

  std::thread poster([h] { PostMessageA(h, WM_USER + 1, 0, 0); });
  EXPECT_EQ(MsgWaitForMultipleObjects(1, &ev, FALSE, 5000, QS_ALLINPUT), WAIT_OBJECT_0 + 1);
  poster.join();
  // A message left in the queue keeps the wait from sleeping; an object still comes first.
  EXPECT_EQ(MsgWaitForMultipleObjects(1, &ev, FALSE, 5000, QS_ALLINPUT), WAIT_OBJECT_0 + 1);
  SetEvent(ev);
  EXPECT_EQ(MsgWaitForMultipleObjects(1, &ev, FALSE, 5000, QS_ALLINPUT), WAIT_OBJECT_0);
  // Posted messages do not wake a wait for sent messages alone.
  EXPECT_EQ(MsgWaitForMultipleObjects(0, nullptr, FALSE, 20, QS_SENDMESSAGE), WAIT_TIMEOUT);
  EXPECT_EQ(Drain(), 1);
  EXPECT_EQ(MsgWaitForMultipleObjects(0, nullptr, FALSE, 0, QS_ALLINPUT), WAIT_TIMEOUT);

  HANDLE bogus = reinterpret_cast<HANDLE>(static_cast<uintptr_t>(0x7ffff000));
  EXPECT_EQ(MsgWaitForMultipleObjects(1, &bogus, FALSE, 0, QS_ALLINPUT), WAIT_FAILED);
  EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
  CloseHandle(ev);
}

TEST_F(Messages, MsgWaitHandlesASentMessageBeforeItReturns) {
  Recorder r;
  HWND h = Window(&r);
  LRESULT ok = 0;
  DWORD_PTR result = 0;
  std::thread sender([&] { ok = SendMessageTimeoutA(h, WM_USER + 3, 20, 3, SMTO_NORMAL, 5000, &result); });
  EXPECT_EQ(MsgWaitForMultipleObjects(0, nullptr, FALSE, 5000, QS_SENDMESSAGE), WAIT_OBJECT_0);
  EXPECT_EQ(r.messages(), std::vector<UINT>{WM_USER + 3});
  sender.join();
  EXPECT_NE(ok, 0);
  EXPECT_EQ(result, 23u);
}

bool Readable(int fd, int timeout_ms) {
  pollfd p{fd, POLLIN, 0};
  return poll(&p, 1, timeout_ms) == 1 && (p.revents & POLLIN) != 0;
}

TEST_F(Messages, WakeDescriptorIsReadableExactlyWhileAMessageWaits) {
  Recorder r;
  HWND h = Window(&r);
  const int fd = dud::platform::MessageQueueWakeFd();
  ASSERT_GE(fd, 0);
  EXPECT_EQ(dud::platform::MessageQueueWakeFd(), fd);
  EXPECT_FALSE(Readable(fd, 0));

  ASSERT_TRUE(PostMessageA(h, WM_USER, 0, 0));
  EXPECT_TRUE(Readable(fd, 0));
  MSG m{};
  ASSERT_TRUE(PeekMessageA(&m, nullptr, 0, 0, PM_NOREMOVE));
  EXPECT_TRUE(Readable(fd, 0));  // still waiting
  ASSERT_TRUE(PeekMessageA(&m, nullptr, 0, 0, PM_REMOVE));
  EXPECT_FALSE(Readable(fd, 0));

  LRESULT ok = 0;
  std::thread sender([&] { ok = SendMessageTimeoutA(h, WM_USER + 1, 0, 0, SMTO_NORMAL, 5000, nullptr); });
  EXPECT_TRUE(Readable(fd, 5000));
  EXPECT_FALSE(PeekMessageA(&m, nullptr, 0, 0, PM_REMOVE));  // handles the sent message, returns no posted one
  sender.join();
  EXPECT_NE(ok, 0);
  EXPECT_FALSE(Readable(fd, 0));

  PostQuitMessage(0);
  EXPECT_TRUE(Readable(fd, 0));
  EXPECT_EQ(GetMessageA(&m, nullptr, 0, 0), FALSE);
  EXPECT_FALSE(Readable(fd, 0));

  int other_fd = -1;
  std::thread other([&] { other_fd = dud::platform::MessageQueueWakeFd(); });
  other.join();
  EXPECT_NE(other_fd, fd);
}

TEST_F(Messages, AQueueDrainedOnlyThroughItsWakeDescriptorLosesNothing) {
  std::atomic<uint64_t> sum{0};
  std::atomic<int> received{0};
  Recorder r;
  r.answer = [&](UINT, WPARAM w, LPARAM) -> LRESULT {
    sum += w;
    ++received;
    return 0;
  };
  HWND h = Window(&r);
  const int fd = dud::platform::MessageQueueWakeFd();
  constexpr int kProducers = 3, kEach = 2000;
  std::vector<std::thread> producers;
  for (int p = 0; p < kProducers; ++p)
    producers.emplace_back([h, p] {
      for (int i = 1; i <= kEach; ++i) {
        WPARAM v = static_cast<WPARAM>(p * kEach + i);
        if (i % 3 == 0)
          SendMessageTimeoutA(h, WM_USER, v, 0, SMTO_NORMAL, 5000, nullptr);
        else
          EXPECT_TRUE(PostMessageA(h, WM_USER, v, 0));  // 6000 in all: below the queue's limit
      }
    });
  // What a toolkit loop does: sleep in poll, drain when woken.
  while (received.load() < kProducers * kEach) {
    ASSERT_TRUE(Readable(fd, 5000)) << "woken no more after " << received.load() << " messages";
    Drain();
  }
  for (auto& t : producers) t.join();
  const uint64_t n = kProducers * kEach;
  EXPECT_EQ(sum.load(), n * (n + 1) / 2);
  EXPECT_FALSE(Readable(fd, 0));
}

}  // namespace
