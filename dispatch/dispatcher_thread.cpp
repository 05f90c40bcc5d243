// Worker-thread plumbing of the dispatcher, the hand-over of caught exceptions, the
// synchronized call onto the application thread, and the dispatcher's event loop.
#include "dispatch/dispatcher_thread.h"

#include <cstdio>
#include <mutex>

#include "dispatch/base_dispatcher.h"
#include "errors/exceptions.h"

namespace dud {

// ---------------------------------------------------------------- exception display

namespace {

std::mutex& DisplayLock() {
  static std::mutex Lock;
  return Lock;
}

TExceptionDisplay& DisplaySlot() {
  static TExceptionDisplay Display;
  return Display;
}

thread_local TDudDispatcherThread* CurrentThread = nullptr;

// The message that carries a synchronized call to its window: lParam points at the
// std::function to run, which lives on the sender's stack while it waits.
constexpr UINT SyncCallMsg = WM_USER + 0x7E20;

}  // namespace

TExceptionDisplay SetExceptionDisplay(TExceptionDisplay Display) {
  std::lock_guard<std::mutex> Guard(DisplayLock());
  TExceptionDisplay Previous = std::move(DisplaySlot());
  DisplaySlot() = std::move(Display);
  return Previous;
}

void ShowException(const std::exception& E) noexcept {
  TExceptionDisplay Display;
  {
    std::lock_guard<std::mutex> Guard(DisplayLock());
    Display = DisplaySlot();
  }
  try {
    if (Display) {
      Display(E);
      return;
    }
  } catch (...) {
    // A display that fails falls back to the default below.
  }
  std::fprintf(stderr, "%s\n", E.what());
}

// ---------------------------------------------------------------- TDudDispatcherThread

TDudDispatcherThread::TDudDispatcherThread(TDudBaseDispatcher* Dispatcher) : Dispatcher(Dispatcher) {}

TDudDispatcherThread::~TDudDispatcherThread() {
  if (FHandle != nullptr) CloseHandle(FHandle);
}

bool TDudDispatcherThread::StartThread() {
  // Counted before it can run, so that destroying the dispatcher waits also for a
  // thread that has not reached ThreadStarted yet.
  Dispatcher->LaunchedThreads.fetch_add(1);
  // Returns the thread's handle, or null with the last error set.
  FHandle = CreateThread(nullptr, 0, &TDudDispatcherThread::ThreadProc, this, 0, nullptr);
  if (FHandle == nullptr) {
    Dispatcher->LaunchedThreads.fetch_sub(1);
    return false;
  }
  FMayRun.store(true);
  FMayRun.notify_all();
  return true;
}

DWORD WINAPI TDudDispatcherThread::ThreadProc(LPVOID Parameter) {
  auto* Thread = static_cast<TDudDispatcherThread*>(Parameter);
  // Wait until the creator has stored the handle and the thread field.
  Thread->FMayRun.wait(false);
  CurrentThread = Thread;
  try {
    Thread->Execute();
  } catch (const std::exception& E) {
    ShowException(E);
  } catch (...) {
    ShowException(Exception("Unknown exception in a dispatcher thread."));
  }
  // The bookkeeping must complete, or the dispatcher would wait for this thread forever.
  TDudBaseDispatcher* D = Thread->Dispatcher;
  if (!Thread->GoneReported) D->ThreadGone(Thread);
  CurrentThread = nullptr;
  const auto Code = static_cast<DWORD>(Thread->ReturnValue);
  delete Thread;  // self-freeing; touches nothing of the dispatcher
  // The last use of the dispatcher: once LaunchedThreads is 0 it may be destroyed.
  std::shared_ptr<void> Gone = D->ThreadGoneEvent;
  D->LaunchedThreads.fetch_sub(1);
  SetEvent(Gone.get());
  return Code;
}

void TDudDispatcherThread::SetPriority(int Priority) {
  // Returns FALSE when the priority cannot be set; it is then left as it was.
  SetThreadPriority(FHandle, Priority);
}

int TDudDispatcherThread::Priority() const { return GetThreadPriority(FHandle); }

TDudDispatcherThread* TDudDispatcherThread::Current() { return CurrentThread; }

namespace {

LRESULT CALLBACK SyncWndProc(HWND Wnd, UINT Msg, WPARAM wParam, LPARAM lParam) {
  if (Msg == SyncCallMsg) {
    const auto* Call = reinterpret_cast<const std::function<void()>*>(lParam);
    try {
      (*Call)();
    } catch (const std::exception& E) {
      ShowException(E);
    } catch (...) {
      ShowException(Exception("Unknown exception in a synchronized handler."));
    }
    return 1;
  }
  return DefWindowProcA(Wnd, Msg, wParam, lParam);
}

constexpr const char* SyncWindowClass = "dudSyncWindow";

}  // namespace

HWND CreateSyncWindow() {
  static std::once_flag Registered;
  std::call_once(Registered, [] {
    WNDCLASSA Class{};
    Class.lpfnWndProc = &SyncWndProc;
    Class.hInstance = GetModuleHandleA(nullptr);
    Class.lpszClassName = SyncWindowClass;
    // Returns 0 when the class cannot be registered; CreateWindowExA then fails too.
    RegisterClassA(&Class);
  });
  return CreateWindowExA(0, SyncWindowClass, "", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr, GetModuleHandleA(nullptr),
                         nullptr);
}

void TDudDispatcherThread::Synchronize(HWND Target, const std::function<void()>& Call) {
  if (Target == nullptr || GetWindowThreadProcessId(Target, nullptr) == GetCurrentThreadId()) {
    try {
      Call();
    } catch (const std::exception& E) {
      ShowException(E);
    }
    return;
  }
  // Blocks until the window's thread has run the call; that thread handles sent
  // messages also while it waits for worker threads.
  SendMessageA(Target, SyncCallMsg, 0, reinterpret_cast<LPARAM>(&Call));
}

// ---------------------------------------------------------------- TDispThread

void TDispThread::Execute() {
  TDudBaseDispatcher* D = Dispatcher;
  D->ThreadStarted();
  try {
    for (;;) {
      // Wakes as soon as an item is queued or the threads are to end. Armed timer
      // and status triggers are noticed only by a pass, so while there are any
      // the wait lasts at most TriggerPollSlice; otherwise nothing is polled.
      // While the ring is full and bytes wait in the queue a pass can do nothing,
      // and the queue's wait would return at once: wait for room instead.
      if (D->RingStalled()) {
        const HANDLE Room = D->RoomEvent;
        D->WaitOrStop(1, &Room, D->TimedChecksPending() ? TriggerPollSlice : IdleWaitSlice);
      } else if (D->InQueue.Count() == 0) {
        const HANDLE Added = D->InQueue.AddedEvent();
        D->WaitOrStop(1, &Added, D->TimedChecksPending() ? TriggerPollSlice : IdleWaitSlice);
      }
      if (D->KillThreads.load() || Terminated()) break;
      D->ProcessCommEvents();
      D->ProcessTimersAndStatus();
      if (D->KillThreads.load() || D->ClosePending.load() || Terminated()) {
        if (D->ReadyEvent != INVALID_HANDLE_VALUE) SetEvent(D->ReadyEvent);
        break;
      }
    }
  } catch (const std::exception& E) {
    ShowException(E);
  }
  // Only a close that was deferred because a dispatch was running is finished
  // here. When the loop ends for KillThreads alone (a close in progress on the
  // application thread, or a failing worker), that thread's ClosePort or the
  // destructor runs DonePort; doing it here as well would close the device and
  // the events from two threads at once.
  D->DoDonePortLater.store(D->ClosePending.load());
  D->ThreadGone(this);
}

}  // namespace dud
