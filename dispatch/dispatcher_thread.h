// The worker-thread base of the dispatcher (TDudDispatcherThread), the dispatcher's
// own event thread (TDispThread), and the one place where exceptions caught on
// worker threads are handed over for display.
//
// Threads: a thread object is created by the application thread (in the device
// layer's StartDispatcher) and then belongs to its own thread, which frees it when
// its run procedure has ended. Other threads may touch a thread object only while
// they hold the dispatcher's DataSection and find it in one of the dispatcher's
// thread fields (ComThread, DispThread, OutThread, StatusThread): ThreadGone clears
// that field under DataSection before the object frees itself. Terminated is
// atomic and may be set by any thread that may touch the object.
#pragma once

#include <atomic>
#include <cstdint>
#include <exception>
#include <functional>
#include <utility>

#include "platform/win32.h"

namespace dud {

class TDudBaseDispatcher;

// A method handler of trigger messages: called with (message, trigger handle, lParam).
using TTriggerMethod = std::function<void(uint32_t Msg, uint32_t TriggerHandle, int32_t LParam)>;

// ---------------------------------------------------------------- exception display

// Receives an exception that a worker thread caught (a failing thread's exit code
// raised by ThreadGone, or anything escaping a run procedure). It is called on the
// worker thread; the application installs a display that hands the text over to
// its own thread (for example by posting it to a window) and never shows it from
// the worker. The default prints the message to stderr.
using TExceptionDisplay = std::function<void(const std::exception&)>;

// Replaces the display; an empty function restores the default. Returns the
// previous display (empty when it was the default).
TExceptionDisplay SetExceptionDisplay(TExceptionDisplay Display);
// Hands E to the current display. Never throws.
void ShowException(const std::exception& E) noexcept;

// Creates a hidden message-only window, owned by the calling thread, that runs
// TDudDispatcherThread::Synchronize calls sent to it. Null when it cannot be made.
HWND CreateSyncWindow();

// ---------------------------------------------------------------- worker threads

// A framework thread bound to a dispatcher: created running, frees itself when its
// run procedure (Execute) ends, carries a terminated flag, an exit code and a
// priority. Derived classes implement Execute.
//
// The run procedure begins with Dispatcher->ThreadStarted() and ends with
// Dispatcher->ThreadGone(this). Should Execute end or throw without having called
// ThreadGone, the framework calls it (an exception is first shown through
// ShowException), so the dispatcher's thread count always comes back to 0.
class TDudDispatcherThread {
 public:
  virtual ~TDudDispatcherThread();
  TDudDispatcherThread(const TDudDispatcherThread&) = delete;
  TDudDispatcherThread& operator=(const TDudDispatcherThread&) = delete;

  // Creates a T (constructed with Args), stores it in Field and starts its thread;
  // the thread runs Execute only after Field holds it, so ThreadGone always finds
  // the thread in its field. Returns false, with Field null and the object freed,
  // when the system cannot create the thread (the last error tells why).
  template <class T, class... A>
  static bool Launch(std::atomic<TDudDispatcherThread*>& Field, A&&... Args) {
    T* Thread = new T(std::forward<A>(Args)...);  // self-freeing: deleted by its own thread
    Field.store(Thread);
    if (Thread->StartThread()) return true;
    Field.store(nullptr);
    delete Thread;
    return false;
  }

  // The dispatcher this thread serves.
  TDudBaseDispatcher* const Dispatcher;

  // Exit code: 0 when created; an error code (negative) when the thread ends
  // because of a failure. Written and read by the thread itself.
  int32_t ReturnValue = 0;

  // Asks the run procedure to end; it polls Terminated() in its loops.
  void Terminate() { FTerminated.store(true); }
  bool Terminated() const { return FTerminated.load(); }

  // The thread's priority on the Windows scale (THREAD_PRIORITY_*).
  void SetPriority(int Priority);
  int Priority() const;

  // The system's handle of the thread (signalled when it has ended).
  HANDLE ThreadHandle() const { return FHandle; }

  // The framework thread object running the calling code; null on threads that
  // are not dispatcher threads (the application thread, for example).
  static TDudDispatcherThread* Current();

  // Runs Call on the thread that owns Target (a window of the synchronisation
  // class, see TDudBaseDispatcher::SyncWindow) while this thread waits; runs it
  // directly when the caller is that thread or Target is null. Exceptions of Call
  // are shown and swallowed.
  static void Synchronize(HWND Target, const std::function<void()>& Call);

  // The pending synchronized handler call (message, trigger handle, lParam and the
  // handler), filled by the dispatcher thread just before it synchronizes.
  uint32_t SyncMsg = 0;
  uint32_t SyncTrigger = 0;
  int32_t SyncLParam = 0;
  TTriggerMethod SyncMethod;

  // Set by ThreadStarted/ThreadGone on this thread, so the framework can complete
  // the bookkeeping of a run procedure that ended early.
  bool StartedReported = false;
  bool GoneReported = false;

 protected:
  explicit TDudDispatcherThread(TDudBaseDispatcher* Dispatcher);

  // The run procedure.
  virtual void Execute() = 0;

 private:
  bool StartThread();
  static DWORD WINAPI ThreadProc(LPVOID Parameter);

  HANDLE FHandle = nullptr;
  std::atomic<bool> FTerminated{false};
  std::atomic<bool> FMayRun{false};  // the creator has finished starting the thread
};

// The dispatcher's event thread: takes status items and received bytes from
// InQueue, checks the triggers and dispatches them (see TDudBaseDispatcher).
// When its loop ends because a close was deferred (ClosePending), its ThreadGone
// runs DonePort; when it ends for KillThreads alone, whoever is closing does.
// The device layer creates it second, after the read thread, with
//   TDudDispatcherThread::Launch<TDispThread>(DispThread, this);
class TDispThread : public TDudDispatcherThread {
 public:
  explicit TDispThread(TDudBaseDispatcher* Dispatcher) : TDudDispatcherThread(Dispatcher) {}

 protected:
  void Execute() override;
};

}  // namespace dud
