// Handle table, waits and events over std::mutex and std::condition_variable.
#include "platform/posix/kobject.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <thread>
#include <unordered_map>

namespace dud::posix {

std::mutex& WaitLock() {
  static std::mutex lock;
  return lock;
}

void KObject::AddWaiter(Waiter* w) { waiters_.push_back(w); }

void KObject::RemoveWaiter(Waiter* w) {
  auto it = std::find(waiters_.begin(), waiters_.end(), w);
  if (it != waiters_.end()) waiters_.erase(it);
}

void KObject::WakeWaiters() {
  for (Waiter* w : waiters_) w->cv.notify_one();
}

void KSignal::Set() {
  std::lock_guard<std::mutex> g(WaitLock());
  set_ = true;
  WakeWaiters();
}

void KSignal::Reset() {
  std::lock_guard<std::mutex> g(WaitLock());
  set_ = false;
}

namespace {

struct HandleTable {
  std::mutex lock;
  std::unordered_map<uintptr_t, std::shared_ptr<KObject>> objects;
  uintptr_t next = 0x1000;
};

HandleTable& Table() {
  static HandleTable* table = new HandleTable;  // outlives every thread that may still close a handle
  return *table;
}

}  // namespace

HANDLE RegisterHandle(std::shared_ptr<KObject> obj) {
  HandleTable& t = Table();
  std::lock_guard<std::mutex> g(t.lock);
  uintptr_t value = t.next;
  t.next += 4;
  t.objects.emplace(value, std::move(obj));
  return reinterpret_cast<HANDLE>(value);
}

std::shared_ptr<KObject> LookupHandle(HANDLE h) {
  HandleTable& t = Table();
  {
    std::lock_guard<std::mutex> g(t.lock);
    auto it = t.objects.find(reinterpret_cast<uintptr_t>(h));
    if (it != t.objects.end()) return it->second;
  }
  SetLastError(ERROR_INVALID_HANDLE);
  return nullptr;
}

std::shared_ptr<KObject> UnregisterHandle(HANDLE h) {
  HandleTable& t = Table();
  std::shared_ptr<KObject> obj;
  {
    std::lock_guard<std::mutex> g(t.lock);
    auto it = t.objects.find(reinterpret_cast<uintptr_t>(h));
    if (it != t.objects.end()) {
      obj = std::move(it->second);
      t.objects.erase(it);
    }
  }
  if (!obj) SetLastError(ERROR_INVALID_HANDLE);
  return obj;
}

DWORD WaitForObjects(const std::vector<std::shared_ptr<KObject>>& objs, bool wait_all, DWORD ms) {
  using Clock = std::chrono::steady_clock;
  const bool forever = ms == INFINITE;
  const auto deadline = Clock::now() + std::chrono::milliseconds(forever ? 0 : ms);

  Waiter waiter;
  std::unique_lock<std::mutex> lock(WaitLock());
  bool registered = false;
  DWORD result = WAIT_TIMEOUT;
  for (;;) {
    if (wait_all) {
      bool all = std::all_of(objs.begin(), objs.end(), [](const auto& o) { return o->IsSignalled(); });
      if (all) {
        for (const auto& o : objs) o->Acquire();
        result = WAIT_OBJECT_0;
        break;
      }
    } else {
      bool found = false;
      for (size_t i = 0; i < objs.size(); ++i) {
        if (objs[i]->IsSignalled()) {
          objs[i]->Acquire();
          result = WAIT_OBJECT_0 + static_cast<DWORD>(i);
          found = true;
          break;
        }
      }
      if (found) break;
    }
    if (!forever && Clock::now() >= deadline) break;
    if (!registered) {
      for (const auto& o : objs) o->AddWaiter(&waiter);
      registered = true;
    }
    if (forever)
      waiter.cv.wait(lock);
    else
      waiter.cv.wait_until(lock, deadline);
  }
  if (registered)
    for (const auto& o : objs) o->RemoveWaiter(&waiter);
  return result;
}

DWORD ErrnoToWin32(int err) {
  switch (err) {
    case 0: return ERROR_SUCCESS;
    case ENOENT: return ERROR_FILE_NOT_FOUND;
    case ENOTDIR:
    case ENAMETOOLONG:
    case ELOOP: return ERROR_PATH_NOT_FOUND;
    case EMFILE:
    case ENFILE: return ERROR_TOO_MANY_OPEN_FILES;
    case EACCES:
    case EPERM:
    case EBUSY:
    case EROFS:
    case EISDIR:
    case EWOULDBLOCK: return ERROR_ACCESS_DENIED;  // for flock: held by another program
    case EBADF: return ERROR_INVALID_HANDLE;
    case ENOMEM: return ERROR_NOT_ENOUGH_MEMORY;
    case EINVAL:
    case ERANGE: return ERROR_INVALID_PARAMETER;
    case ENOSPC:
    case EDQUOT:
    case EFBIG: return ERROR_DISK_FULL;
    case ECANCELED:
    case EINTR: return ERROR_OPERATION_ABORTED;
    case ENXIO:
    case ENODEV:
    case EIO:
    case EPIPE: return ERROR_DEVICE_NOT_CONNECTED;
    case ETIMEDOUT: return ERROR_TIMEOUT;
    case ENOTTY:
    case EOPNOTSUPP: return ERROR_NOT_SUPPORTED;
    case EEXIST: return ERROR_ALREADY_EXISTS;
    default: return ERROR_GEN_FAILURE;
  }
}

void SetLastErrorFromErrno(int err) { SetLastError(ErrnoToWin32(err)); }

namespace {
thread_local DWORD t_last_error = 0;

class KEvent : public KSignal {
 public:
  KEvent(bool manual, bool initial) : KSignal(manual, initial) {}
};
}  // namespace

}  // namespace dud::posix

using namespace dud::posix;

DWORD WINAPI GetLastError() { return t_last_error; }
void WINAPI SetLastError(DWORD dwErrCode) { t_last_error = dwErrCode; }

BOOL WINAPI CloseHandle(HANDLE hObject) {
  auto obj = UnregisterHandle(hObject);
  if (!obj) return FALSE;
  return obj->Close();
}

HANDLE WINAPI CreateEventA(LPSECURITY_ATTRIBUTES, BOOL bManualReset, BOOL bInitialState, LPCSTR lpName) {
  if (lpName != nullptr && *lpName != '\0') {
    // Named events are shared between processes on Windows; nothing here needs them.
    SetLastError(ERROR_NOT_SUPPORTED);
    return nullptr;
  }
  return RegisterHandle(std::make_shared<KEvent>(bManualReset != FALSE, bInitialState != FALSE));
}

BOOL WINAPI SetEvent(HANDLE hEvent) {
  auto ev = LookupHandleAs<KEvent>(hEvent);
  if (!ev) return FALSE;
  ev->Set();
  return TRUE;
}

BOOL WINAPI ResetEvent(HANDLE hEvent) {
  auto ev = LookupHandleAs<KEvent>(hEvent);
  if (!ev) return FALSE;
  ev->Reset();
  return TRUE;
}

DWORD WINAPI WaitForMultipleObjects(DWORD nCount, const HANDLE* lpHandles, BOOL bWaitAll, DWORD dwMilliseconds) {
  if (nCount == 0 || nCount > MAXIMUM_WAIT_OBJECTS || lpHandles == nullptr) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return WAIT_FAILED;
  }
  std::vector<std::shared_ptr<KObject>> objs;
  objs.reserve(nCount);
  for (DWORD i = 0; i < nCount; ++i) {
    auto obj = LookupHandle(lpHandles[i]);
    if (!obj || !obj->Waitable()) {
      SetLastError(ERROR_INVALID_HANDLE);
      return WAIT_FAILED;
    }
    objs.push_back(std::move(obj));
  }
  return WaitForObjects(objs, bWaitAll != FALSE, dwMilliseconds);
}

DWORD WINAPI WaitForSingleObject(HANDLE hHandle, DWORD dwMilliseconds) {
  return WaitForMultipleObjects(1, &hHandle, FALSE, dwMilliseconds);
}

void WINAPI Sleep(DWORD dwMilliseconds) {
  if (dwMilliseconds == 0)
    std::this_thread::yield();
  else if (dwMilliseconds == INFINITE)
    for (;;) std::this_thread::sleep_for(std::chrono::hours(24));
  else
    std::this_thread::sleep_for(std::chrono::milliseconds(dwMilliseconds));
}
