// Kernel objects of the POSIX platform layer: the handle table and the waiting
// machinery shared by events, threads, message queues and devices.
//
// Threads: every function here may be called from any thread.
// Locks: the handle table has its own lock. All wait state (the signalled state
// of waitable objects and their waiter lists) is guarded by WaitLock(), a leaf
// lock: nothing that takes another lock is called while it is held.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <vector>

#include "platform/win32.h"

namespace dud::posix {

// A thread blocked in one of the wait functions; woken by the objects it waits on.
struct Waiter {
  std::condition_variable cv;
};

std::mutex& WaitLock();

class KObject {
 public:
  KObject() = default;
  KObject(const KObject&) = delete;
  KObject& operator=(const KObject&) = delete;
  virtual ~KObject() = default;

  // Called once, by CloseHandle, when the handle is removed from the table. Ends
  // whatever the object still has pending. Returns FALSE with the last error set.
  virtual BOOL Close() { return TRUE; }

  // The wait interface; IsSignalled and Acquire are called with WaitLock() held.
  virtual bool Waitable() const { return false; }
  virtual bool IsSignalled() const { return false; }
  // Takes the signal that satisfied a wait (an auto-reset event resets itself).
  virtual void Acquire() {}

  // With WaitLock() held.
  void AddWaiter(Waiter* w);
  void RemoveWaiter(Waiter* w);
  // Wakes every thread waiting on this object. With WaitLock() held.
  void WakeWaiters();

 private:
  std::vector<Waiter*> waiters_;
};

// A manual flag that a waiter sees as signalled while it is set: the building
// block of events, thread ends and message queues.
class KSignal : public KObject {
 public:
  explicit KSignal(bool manual_reset = true, bool initial = false) : manual_reset_(manual_reset), set_(initial) {}
  bool Waitable() const override { return true; }
  bool IsSignalled() const override { return set_; }
  void Acquire() override {
    if (!manual_reset_) set_ = false;
  }
  void Set();
  void Reset();

 private:
  const bool manual_reset_;
  bool set_;  // guarded by WaitLock()
};

// Handle table. Handle values are never reused, so a stale handle fails with 6
// instead of reaching an object that took its place.
HANDLE RegisterHandle(std::shared_ptr<KObject> obj);
// The object behind h, or null with the last error 6.
std::shared_ptr<KObject> LookupHandle(HANDLE h);
// Removes h from the table and returns its object, or null with the last error 6.
std::shared_ptr<KObject> UnregisterHandle(HANDLE h);

template <class T>
std::shared_ptr<T> LookupHandleAs(HANDLE h) {
  auto obj = std::dynamic_pointer_cast<T>(LookupHandle(h));
  if (!obj) SetLastError(ERROR_INVALID_HANDLE);
  return obj;
}

// Waits for one (wait_all false) or all of objs to be signalled, for at most
// ms milliseconds (INFINITE for no limit). Returns WAIT_OBJECT_0 + index of the
// first signalled object (0 when wait_all), or WAIT_TIMEOUT.
DWORD WaitForObjects(const std::vector<std::shared_ptr<KObject>>& objs, bool wait_all, DWORD ms);

// errno → Windows error number, the one mapping that every POSIX failure goes through.
DWORD ErrnoToWin32(int err);
// SetLastError(ErrnoToWin32(err)).
void SetLastErrorFromErrno(int err);

}  // namespace dud::posix
