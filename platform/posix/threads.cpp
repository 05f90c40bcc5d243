// Threads with Windows handles: the handle is signalled when the thread ends and
// keeps its exit code until it is closed.
#include <sys/resource.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>
#include <thread>

#include "platform/posix/kobject.h"

namespace dud::posix {
namespace {

pid_t CurrentTid() { return static_cast<pid_t>(syscall(SYS_gettid)); }

// Windows priority steps as nice values. Raising a priority needs privileges;
// without them the request is recorded and otherwise ignored.
int NiceFor(int priority) {
  if (priority <= THREAD_PRIORITY_IDLE) return 19;
  if (priority >= THREAD_PRIORITY_TIME_CRITICAL) return -15;
  switch (priority) {
    case THREAD_PRIORITY_LOWEST: return 10;
    case THREAD_PRIORITY_BELOW_NORMAL: return 5;
    case THREAD_PRIORITY_ABOVE_NORMAL: return -5;
    case THREAD_PRIORITY_HIGHEST: return -10;
    default: return 0;
  }
}

bool ValidPriority(int p) {
  return p == THREAD_PRIORITY_IDLE || p == THREAD_PRIORITY_TIME_CRITICAL ||
         (p >= THREAD_PRIORITY_LOWEST && p <= THREAD_PRIORITY_HIGHEST);
}

void ApplyPriority(pid_t tid, int priority) {
  // Returns 0 on success, -1 with errno on failure; failure leaves the thread as it was.
  (void)setpriority(PRIO_PROCESS, static_cast<id_t>(tid), NiceFor(priority));
}

class KThread : public KObject {
 public:
  bool Waitable() const override { return true; }
  bool IsSignalled() const override { return ended_; }

  void Started() {
    {
      std::lock_guard<std::mutex> g(lock_);
      tid_ = CurrentTid();
      if (priority_ != THREAD_PRIORITY_NORMAL) ApplyPriority(tid_, priority_);
    }
    id_.store(static_cast<DWORD>(tid_));
    id_.notify_all();
  }
  // The thread's id, once the thread has started running.
  DWORD WaitForId() {
    id_.wait(0);
    return id_.load();
  }
  void Ended(DWORD code) {
    exit_code_.store(code);
    {
      std::lock_guard<std::mutex> g(lock_);
      tid_ = 0;
    }
    std::lock_guard<std::mutex> g(WaitLock());
    ended_ = true;
    WakeWaiters();
  }
  void SetPriority(int p) {
    std::lock_guard<std::mutex> g(lock_);
    priority_ = p;
    if (tid_ != 0) ApplyPriority(tid_, p);
  }
  int Priority() {
    std::lock_guard<std::mutex> g(lock_);
    return priority_;
  }
  DWORD ExitCode() const { return exit_code_.load(); }

 private:
  bool ended_ = false;  // guarded by WaitLock()
  std::atomic<DWORD> exit_code_{STILL_ACTIVE};
  std::atomic<DWORD> id_{0};
  std::mutex lock_;  // guards tid_ and priority_
  pid_t tid_ = 0;
  int priority_ = THREAD_PRIORITY_NORMAL;
};

// The calling thread's own priority, for the pseudo handle of GetCurrentThread.
thread_local int t_own_priority = THREAD_PRIORITY_NORMAL;
thread_local KThread* t_self = nullptr;

const HANDLE kCurrentThreadPseudoHandle = reinterpret_cast<HANDLE>(static_cast<LONG_PTR>(-2));

}  // namespace
}  // namespace dud::posix

using namespace dud::posix;

HANDLE WINAPI CreateThread(LPSECURITY_ATTRIBUTES, size_t, LPTHREAD_START_ROUTINE lpStartAddress, LPVOID lpParameter,
                           DWORD dwCreationFlags, LPDWORD lpThreadId) {
  if (lpStartAddress == nullptr || (dwCreationFlags & CREATE_SUSPENDED) != 0) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return nullptr;
  }
  auto thread = std::make_shared<KThread>();
  try {
    std::thread([thread, lpStartAddress, lpParameter] {
      t_self = thread.get();
      thread->Started();
      DWORD code = lpStartAddress(lpParameter);
      t_self = nullptr;
      thread->Ended(code);
    }).detach();
  } catch (const std::system_error&) {
    SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return nullptr;
  }
  DWORD id = thread->WaitForId();  // known before the new thread runs the caller's code
  if (lpThreadId != nullptr) *lpThreadId = id;
  return RegisterHandle(thread);
}

HANDLE WINAPI GetCurrentThread() { return kCurrentThreadPseudoHandle; }

DWORD WINAPI GetCurrentThreadId() { return static_cast<DWORD>(CurrentTid()); }

BOOL WINAPI GetExitCodeThread(HANDLE hThread, LPDWORD lpExitCode) {
  auto thread = LookupHandleAs<KThread>(hThread);
  if (!thread) return FALSE;
  if (lpExitCode == nullptr) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  *lpExitCode = thread->ExitCode();
  return TRUE;
}

BOOL WINAPI SetThreadPriority(HANDLE hThread, int nPriority) {
  if (!ValidPriority(nPriority)) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  if (hThread == kCurrentThreadPseudoHandle) {
    if (t_self != nullptr) {
      t_self->SetPriority(nPriority);
    } else {
      t_own_priority = nPriority;
      ApplyPriority(CurrentTid(), nPriority);
    }
    return TRUE;
  }
  auto thread = LookupHandleAs<KThread>(hThread);
  if (!thread) return FALSE;
  thread->SetPriority(nPriority);
  return TRUE;
}

int WINAPI GetThreadPriority(HANDLE hThread) {
  if (hThread == kCurrentThreadPseudoHandle) return t_self != nullptr ? t_self->Priority() : t_own_priority;
  auto thread = LookupHandleAs<KThread>(hThread);
  if (!thread) return THREAD_PRIORITY_ERROR_RETURN;
  return thread->Priority();
}
