// Hidden windows and per-thread message queues over the wait machinery of kobject.h.
//
// A window belongs to the thread that created it and its procedure runs only there:
// posted messages when that thread takes them out (PeekMessageA, GetMessageA) and
// dispatches them, messages sent from other threads inside that thread's
// PeekMessageA, GetMessageA, MsgWaitForMultipleObjects or its own waiting sends.
// A sent message lives in a shared record, so a sender that gave up leaves the
// receiver nothing on the sender's stack to write into.
#include "platform/posix/messages.h"

#include <sys/eventfd.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <deque>
#include <string>
#include <unordered_map>
#include <vector>

#include "platform/dud_platform.h"

namespace dud::posix {
namespace {

constexpr DWORD kErrorWindowOfOtherThread = 1408;  // ERROR_WINDOW_OF_OTHER_THREAD
constexpr DWORD kErrorClassHasWindows = 1412;      // ERROR_CLASS_HAS_WINDOWS
constexpr DWORD kErrorInvalidIndex = 1413;         // ERROR_INVALID_INDEX
constexpr DWORD kErrorInvalidThreadId = 1444;      // ERROR_INVALID_THREAD_ID
constexpr DWORD kErrorNotEnoughQuota = 1816;       // ERROR_NOT_ENOUGH_QUOTA
// Windows refuses posts beyond this many waiting messages; so do we, rather than
// let a stalled receiver eat the memory.
constexpr size_t kMaxPostedMessages = 10000;

const HWND kThreadMessagesOnly = reinterpret_cast<HWND>(static_cast<LONG_PTR>(-1));

using Clock = std::chrono::steady_clock;

class MessageQueue;

// A message sent from another thread, shared by the sender and the receiving queue.
// Threads: the sender creates and waits; the receiver's thread finishes it.
// Locks: lock guards state and result; done is signalled after they are final.
struct SentMessage {
  enum class State { kPending, kHandled, kFailed };

  HWND hwnd = nullptr;
  UINT message = 0;
  WPARAM wParam = 0;
  LPARAM lParam = 0;
  std::shared_ptr<KSignal> done = std::make_shared<KSignal>(true, false);
  std::mutex lock;
  State state = State::kPending;
  LRESULT result = 0;

  void Finish(State s, LRESULT r) {
    {
      std::lock_guard<std::mutex> g(lock);
      state = s;
      result = r;
    }
    done->Set();
  }
};

// A window of ours. Threads: any thread reads it; only the owning thread destroys it.
// Locks: data_lock guards extra and user_data; destroyed is guarded by the owning
// queue's lock; the rest is fixed at creation.
struct Window {
  HWND hwnd = nullptr;
  DWORD tid = 0;
  std::weak_ptr<MessageQueue> queue;  // the owner's queue ends with the owner thread
  WNDPROC proc = nullptr;
  std::string class_key;
  std::mutex data_lock;
  std::vector<unsigned char> extra;
  LONG_PTR user_data = 0;
  bool destroyed = false;
  bool destroying = false;  // owner thread only: DestroyWindow is running its WM_DESTROY
};

struct ClassEntry {
  std::string name;
  WNDCLASSA cls{};
  ATOM atom = 0;
  int windows = 0;
};

// The process-wide tables. Threads: all. Locks: lock guards every member and is never
// held together with a queue's lock. Never freed: threads may still end after main.
struct Registry {
  std::mutex lock;
  std::unordered_map<std::string, ClassEntry> classes;  // by lower-case name
  ATOM next_atom = 0xC000;
  std::unordered_map<uintptr_t, std::shared_ptr<Window>> windows;
  uintptr_t next_hwnd = 0x10010;  // handle values are never reused
  std::unordered_map<DWORD, std::weak_ptr<MessageQueue>> queues;
};

Registry& Reg() {
  static Registry* registry = new Registry;
  return *registry;
}

std::string LowerCase(const char* s) {
  std::string out(s);
  for (char& c : out) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return out;
}

std::shared_ptr<Window> FindWindow(HWND hwnd) {
  Registry& r = Reg();
  std::lock_guard<std::mutex> g(r.lock);
  auto it = r.windows.find(reinterpret_cast<uintptr_t>(hwnd));
  return it == r.windows.end() ? nullptr : it->second;
}

// Removes destroyed windows from the window table and their classes' counts.
void ForgetWindows(const std::vector<std::shared_ptr<Window>>& gone) {
  Registry& r = Reg();
  std::lock_guard<std::mutex> g(r.lock);
  for (const auto& w : gone) {
    r.windows.erase(reinterpret_cast<uintptr_t>(w->hwnd));
    auto it = r.classes.find(w->class_key);
    if (it != r.classes.end()) --it->second.windows;
  }
}

// Handles a call to a window procedure that may throw: the sent message is failed
// on the way out so that its sender never waits for an answer that cannot come.
class FinishGuard {
 public:
  explicit FinishGuard(std::shared_ptr<SentMessage> sm) : sm_(std::move(sm)) {}
  ~FinishGuard() {
    if (sm_) sm_->Finish(SentMessage::State::kFailed, 0);
  }
  void Handled(LRESULT r) {
    sm_->Finish(SentMessage::State::kHandled, r);
    sm_.reset();
  }

 private:
  std::shared_ptr<SentMessage> sm_;
};

// The message queue of one thread; waitable, signalled while it holds a posted or
// sent message or a quit request.
// Threads: any thread posts and sends into it; only the owning thread takes messages
// out, runs window procedures and shuts the queue down.
// Locks: lock_ guards the message lists, the quit request, dead_, windows_ and the
// windows' destroyed flags; ready_ is guarded by WaitLock(). lock_ may be held while
// WaitLock() is taken (it is a leaf), never the registry's lock.
class MessageQueue : public KObject {
 public:
  explicit MessageQueue(DWORD tid) : tid_(tid) {
    // Returns the descriptor, or -1 with errno; without it the queue still works,
    // only a toolkit loop cannot watch it.
    wake_fd_ = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
  }
  ~MessageQueue() override {
    if (wake_fd_ >= 0) close(wake_fd_);
  }

  bool Waitable() const override { return true; }
  bool IsSignalled() const override { return ready_; }

  DWORD tid() const { return tid_; }
  int wake_fd() const { return wake_fd_; }
  const std::shared_ptr<KSignal>& sent_signal() const { return sent_signal_; }
  const std::shared_ptr<KSignal>& changed() const { return changed_; }

  void AddWindow(std::shared_ptr<Window> w) {
    std::lock_guard<std::mutex> g(lock_);
    windows_.push_back(std::move(w));
  }

  // Appends a posted message. target is the window it is for (null for a thread
  // message). Returns false with the last error set.
  bool Post(const MSG& m, const Window* target) {
    std::lock_guard<std::mutex> g(lock_);
    if (dead_ || (target != nullptr && target->destroyed)) {
      SetLastError(target != nullptr ? ERROR_INVALID_WINDOW_HANDLE : kErrorInvalidThreadId);
      return false;
    }
    if (posted_.size() >= kMaxPostedMessages) {
      SetLastError(kErrorNotEnoughQuota);
      return false;
    }
    posted_.push_back(m);
    UpdateLocked(true);
    return true;
  }

  bool PushSent(std::shared_ptr<SentMessage> sm, const Window& target) {
    std::lock_guard<std::mutex> g(lock_);
    if (dead_ || target.destroyed) {
      SetLastError(ERROR_INVALID_WINDOW_HANDLE);
      return false;
    }
    sent_.push_back(std::move(sm));
    UpdateLocked(true);
    return true;
  }

  // Takes back a sent message whose sender gave up, if the receiver has not started it.
  void WithdrawSent(const std::shared_ptr<SentMessage>& sm) {
    std::lock_guard<std::mutex> g(lock_);
    auto it = std::find(sent_.begin(), sent_.end(), sm);
    if (it == sent_.end()) return;
    sent_.erase(it);
    UpdateLocked(false);
  }

  void PostQuit(int code) {
    std::lock_guard<std::mutex> g(lock_);
    if (dead_) return;
    quit_pending_ = true;
    quit_code_ = code;
    UpdateLocked(true);
  }

  // Owner thread: runs the procedures of every waiting sent message, oldest first.
  void HandleSentMessages() {
    for (;;) {
      std::shared_ptr<SentMessage> sm;
      {
        std::lock_guard<std::mutex> g(lock_);
        if (sent_.empty()) return;
        sm = std::move(sent_.front());
        sent_.pop_front();
        UpdateLocked(false);
      }
      auto win = FindWindow(sm->hwnd);
      if (!win || win->tid != tid_) {
        sm->Finish(SentMessage::State::kFailed, 0);
        continue;
      }
      FinishGuard guard(sm);
      guard.Handled(win->proc(sm->hwnd, sm->message, sm->wParam, sm->lParam));
    }
  }

  // Owner thread: the first posted message that passes the filters, then the quit
  // request once no posted message passes. Returns false when there is none.
  bool TakePosted(MSG* out, HWND hwnd, UINT min, UINT max, bool remove) {
    std::lock_guard<std::mutex> g(lock_);
    const bool all_messages = min == 0 && max == 0;
    for (auto it = posted_.begin(); it != posted_.end(); ++it) {
      if (hwnd == kThreadMessagesOnly) {
        if (it->hwnd != nullptr) continue;
      } else if (hwnd != nullptr && it->hwnd != hwnd) {
        continue;
      }
      if (!all_messages && (it->message < min || it->message > max)) continue;
      *out = *it;
      if (remove) {
        posted_.erase(it);
        UpdateLocked(false);
      }
      return true;
    }
    // The quit request passes every range filter, as on Windows, and is not a window's.
    if (quit_pending_ && (hwnd == nullptr || hwnd == kThreadMessagesOnly)) {
      *out = MSG{};
      out->message = WM_QUIT;
      out->wParam = static_cast<WPARAM>(static_cast<LONG_PTR>(quit_code_));
      out->time = timeGetTime();
      if (remove) {
        quit_pending_ = false;
        UpdateLocked(false);
      }
      return true;
    }
    return false;
  }

  // Owner thread: marks the window destroyed and drops what waits for it; its
  // senders fail at once.
  void DropWindow(const std::shared_ptr<Window>& w) {
    std::vector<std::shared_ptr<SentMessage>> failed;
    {
      std::lock_guard<std::mutex> g(lock_);
      w->destroyed = true;
      windows_.erase(std::remove(windows_.begin(), windows_.end(), w), windows_.end());
      posted_.erase(std::remove_if(posted_.begin(), posted_.end(), [&](const MSG& m) { return m.hwnd == w->hwnd; }),
                    posted_.end());
      for (auto it = sent_.begin(); it != sent_.end();) {
        if ((*it)->hwnd == w->hwnd) {
          failed.push_back(std::move(*it));
          it = sent_.erase(it);
        } else {
          ++it;
        }
      }
      UpdateLocked(false);
    }
    for (auto& sm : failed) sm->Finish(SentMessage::State::kFailed, 0);
  }

  // Owner thread, when it ends: the queue refuses everything from now on, its
  // windows are gone and waiting senders fail.
  void Shutdown() {
    std::vector<std::shared_ptr<SentMessage>> failed;
    std::vector<std::shared_ptr<Window>> gone;
    {
      std::lock_guard<std::mutex> g(lock_);
      dead_ = true;
      gone.swap(windows_);
      for (auto& w : gone) w->destroyed = true;
      failed.assign(sent_.begin(), sent_.end());
      sent_.clear();
      posted_.clear();
      quit_pending_ = false;
      UpdateLocked(false);
    }
    for (auto& sm : failed) sm->Finish(SentMessage::State::kFailed, 0);
    ForgetWindows(gone);
    Registry& r = Reg();
    std::lock_guard<std::mutex> g(r.lock);
    auto it = r.queues.find(tid_);
    if (it != r.queues.end() && it->second.lock().get() == this) r.queues.erase(it);
  }

 private:
  // With lock_ held, after every change: brings the waitable state, the sent-message
  // signal and the wake-up descriptor in line with the lists.
  void UpdateLocked(bool arrived) {
    const bool any = !posted_.empty() || !sent_.empty() || quit_pending_;
    if (wake_fd_ >= 0 && any != fd_readable_) {
      uint64_t value = 1;
      // Both return the byte count, or -1 with errno: EAGAIN cannot happen for a
      // counter that only ever holds 0 or 1.
      if (any)
        (void)!write(wake_fd_, &value, sizeof value);
      else
        (void)!read(wake_fd_, &value, sizeof value);
      fd_readable_ = any;
    }
    if (sent_.empty() == sent_flag_) {
      sent_flag_ = !sent_.empty();
      if (sent_flag_)
        sent_signal_->Set();
      else
        sent_signal_->Reset();
    }
    if (arrived) changed_->Set();
    std::lock_guard<std::mutex> g(WaitLock());
    ready_ = any;
    if (any) WakeWaiters();
  }

  const DWORD tid_;
  int wake_fd_ = -1;
  std::mutex lock_;
  std::deque<MSG> posted_;
  std::deque<std::shared_ptr<SentMessage>> sent_;
  std::vector<std::shared_ptr<Window>> windows_;
  bool quit_pending_ = false;
  int quit_code_ = 0;
  bool dead_ = false;
  bool fd_readable_ = false;
  bool sent_flag_ = false;  // what sent_signal_ was last set to
  bool ready_ = false;  // guarded by WaitLock()
  // Signalled while sent_ holds something: what a waiting sender watches on its own queue.
  const std::shared_ptr<KSignal> sent_signal_ = std::make_shared<KSignal>(true, false);
  // Set by every arrival, reset by GetMessageA before it looks: it sleeps until
  // something new arrives even while messages that its filter skips are waiting.
  const std::shared_ptr<KSignal> changed_ = std::make_shared<KSignal>(true, false);
};

// The calling thread's queue, shut down when the thread ends.
struct QueueHolder {
  std::shared_ptr<MessageQueue> queue;
  ~QueueHolder() {
    if (queue) queue->Shutdown();
  }
};

thread_local QueueHolder t_queue_holder;

MessageQueue* CurrentQueueIfAny() { return t_queue_holder.queue.get(); }

const std::shared_ptr<MessageQueue>& CurrentQueue() {
  if (!t_queue_holder.queue) {
    auto q = std::make_shared<MessageQueue>(GetCurrentThreadId());
    Registry& r = Reg();
    {
      std::lock_guard<std::mutex> g(r.lock);
      r.queues[q->tid()] = q;
    }
    t_queue_holder.queue = std::move(q);
  }
  return t_queue_holder.queue;
}

std::shared_ptr<MessageQueue> QueueOfThread(DWORD tid) {
  Registry& r = Reg();
  std::lock_guard<std::mutex> g(r.lock);
  auto it = r.queues.find(tid);
  return it == r.queues.end() ? nullptr : it->second.lock();
}

// A window's extra bytes and user data: the slot for nIndex, or null with the last error.
LONG_PTR* Slot(Window& w, int nIndex, LONG_PTR* scratch) {
  if (nIndex == GWLP_USERDATA) return &w.user_data;
  if (nIndex >= 0 && static_cast<size_t>(nIndex) + sizeof(LONG_PTR) <= w.extra.size()) {
    std::memcpy(scratch, w.extra.data() + nIndex, sizeof(LONG_PTR));
    return scratch;
  }
  SetLastError(kErrorInvalidIndex);
  return nullptr;
}

// Checks a retrieval filter: null, "thread messages only" or a window of ours.
bool ValidFilter(HWND hwnd) {
  if (hwnd == nullptr || hwnd == kThreadMessagesOnly) return true;
  if (FindWindow(hwnd)) return true;
  SetLastError(ERROR_INVALID_WINDOW_HANDLE);
  return false;
}

bool Peek(MessageQueue& q, LPMSG msg, HWND hwnd, UINT min, UINT max, UINT flags) {
  q.HandleSentMessages();  // sent messages come before posted ones
  return q.TakePosted(msg, hwnd, min, max, (flags & PM_REMOVE) != 0);
}

// Sends to a window of another thread and waits for its answer, handling messages
// sent to the calling thread meanwhile (unless SMTO_BLOCK), so two threads sending
// to each other cannot lock up.
LRESULT SendToOtherThread(const std::shared_ptr<Window>& win, UINT msg, WPARAM wParam, LPARAM lParam, UINT flags,
                          UINT timeout, DWORD_PTR* result) {
  auto target = win->queue.lock();
  if (!target) {
    SetLastError(ERROR_INVALID_WINDOW_HANDLE);
    return 0;
  }
  auto sm = std::make_shared<SentMessage>();
  sm->hwnd = win->hwnd;
  sm->message = msg;
  sm->wParam = wParam;
  sm->lParam = lParam;
  if (!target->PushSent(sm, *win)) return 0;

  std::vector<std::shared_ptr<KObject>> objs{sm->done};
  MessageQueue* own = CurrentQueueIfAny();
  if (own != nullptr && (flags & SMTO_BLOCK) == 0) objs.push_back(own->sent_signal());
  const bool forever = timeout == INFINITE;
  const auto deadline = Clock::now() + std::chrono::milliseconds(forever ? 0 : timeout);
  for (;;) {
    DWORD wait = INFINITE;
    if (!forever) {
      auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now()).count();
      wait = static_cast<DWORD>(std::max<decltype(left)>(left, 0));
    }
    DWORD r = WaitForObjects(objs, false, wait);
    if (r == WAIT_OBJECT_0) break;
    if (r == WAIT_OBJECT_0 + 1) {
      own->HandleSentMessages();
      continue;
    }
    // Time-out: a message not yet started is taken back; one being handled finishes
    // into the shared record, which nobody reads any more.
    target->WithdrawSent(sm);
    break;
  }
  std::lock_guard<std::mutex> g(sm->lock);
  switch (sm->state) {
    case SentMessage::State::kHandled:
      if (result != nullptr) *result = static_cast<DWORD_PTR>(sm->result);
      return 1;
    case SentMessage::State::kFailed:
      SetLastError(ERROR_INVALID_WINDOW_HANDLE);
      return 0;
    case SentMessage::State::kPending:
      break;
  }
  SetLastError(ERROR_TIMEOUT);
  return 0;
}

}  // namespace

std::shared_ptr<KObject> CurrentQueueSentSignal() { return CurrentQueue()->sent_signal(); }

}  // namespace dud::posix

namespace dud::platform {

int MessageQueueWakeFd() { return dud::posix::CurrentQueue()->wake_fd(); }

}  // namespace dud::platform

using namespace dud::posix;

HMODULE WINAPI GetModuleHandleA(LPCSTR) {
  // One module: the program. Its handle only needs to be stable and non-null.
  static char module_marker;
  return reinterpret_cast<HMODULE>(&module_marker);
}

ATOM WINAPI RegisterClassA(const WNDCLASSA* lpWndClass) {
  if (lpWndClass == nullptr || lpWndClass->lpszClassName == nullptr || *lpWndClass->lpszClassName == '\0' ||
      lpWndClass->lpfnWndProc == nullptr || lpWndClass->cbWndExtra < 0 || lpWndClass->cbClsExtra < 0) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return 0;
  }
  std::string key = LowerCase(lpWndClass->lpszClassName);
  Registry& r = Reg();
  std::lock_guard<std::mutex> g(r.lock);
  if (r.classes.count(key) != 0) {
    SetLastError(ERROR_CLASS_ALREADY_EXISTS);
    return 0;
  }
  ClassEntry& e = r.classes[key];
  e.name = lpWndClass->lpszClassName;
  e.cls = *lpWndClass;
  e.cls.lpszClassName = nullptr;  // the caller's text may go; GetClassInfoA fills in the caller's own
  e.cls.lpszMenuName = nullptr;
  e.atom = r.next_atom++;
  if (r.next_atom == 0) r.next_atom = 0xC000;
  return e.atom;
}

BOOL WINAPI UnregisterClassA(LPCSTR lpClassName, HINSTANCE) {
  if (lpClassName == nullptr) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  Registry& r = Reg();
  std::lock_guard<std::mutex> g(r.lock);
  auto it = r.classes.find(LowerCase(lpClassName));
  if (it == r.classes.end()) {
    SetLastError(ERROR_CLASS_DOES_NOT_EXIST);
    return FALSE;
  }
  if (it->second.windows > 0) {
    SetLastError(kErrorClassHasWindows);
    return FALSE;
  }
  r.classes.erase(it);
  return TRUE;
}

BOOL WINAPI GetClassInfoA(HINSTANCE, LPCSTR lpClassName, WNDCLASSA* lpWndClass) {
  if (lpClassName == nullptr || lpWndClass == nullptr) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  Registry& r = Reg();
  std::lock_guard<std::mutex> g(r.lock);
  auto it = r.classes.find(LowerCase(lpClassName));
  if (it == r.classes.end()) {
    SetLastError(ERROR_CLASS_DOES_NOT_EXIST);
    return FALSE;
  }
  *lpWndClass = it->second.cls;
  lpWndClass->lpszClassName = lpClassName;
  return TRUE;
}

HWND WINAPI CreateWindowExA(DWORD, LPCSTR lpClassName, LPCSTR, DWORD, int, int, int, int, HWND, HMENU, HINSTANCE,
                            LPVOID) {
  if (lpClassName == nullptr) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return nullptr;
  }
  const auto& queue = CurrentQueue();
  auto w = std::make_shared<Window>();
  w->tid = queue->tid();
  w->queue = queue;
  w->class_key = LowerCase(lpClassName);
  {
    Registry& r = Reg();
    std::lock_guard<std::mutex> g(r.lock);
    auto it = r.classes.find(w->class_key);
    if (it == r.classes.end()) {
      SetLastError(ERROR_CANNOT_FIND_WND_CLASS);
      return nullptr;
    }
    w->proc = it->second.cls.lpfnWndProc;
    w->extra.assign(static_cast<size_t>(it->second.cls.cbWndExtra), 0);
    ++it->second.windows;
    w->hwnd = reinterpret_cast<HWND>(r.next_hwnd);
    r.next_hwnd += 2;
    r.windows.emplace(reinterpret_cast<uintptr_t>(w->hwnd), w);
  }
  queue->AddWindow(w);
  return w->hwnd;
}

BOOL WINAPI DestroyWindow(HWND hWnd) {
  auto w = FindWindow(hWnd);
  if (!w) {
    SetLastError(ERROR_INVALID_WINDOW_HANDLE);
    return FALSE;
  }
  if (w->tid != GetCurrentThreadId()) {
    SetLastError(ERROR_ACCESS_DENIED);  // only the owning thread may destroy a window
    return FALSE;
  }
  if (w->destroying) return TRUE;  // called again from its own WM_DESTROY
  w->destroying = true;
  w->proc(hWnd, WM_DESTROY, 0, 0);
  if (auto q = w->queue.lock()) q->DropWindow(w);
  ForgetWindows({w});
  return TRUE;
}

BOOL WINAPI IsWindow(HWND hWnd) { return FindWindow(hWnd) ? TRUE : FALSE; }

DWORD WINAPI GetWindowThreadProcessId(HWND hWnd, LPDWORD lpdwProcessId) {
  auto w = FindWindow(hWnd);
  if (!w) {
    SetLastError(ERROR_INVALID_WINDOW_HANDLE);
    return 0;
  }
  if (lpdwProcessId != nullptr) *lpdwProcessId = static_cast<DWORD>(getpid());
  return w->tid;
}

LONG_PTR WINAPI GetWindowLongPtrA(HWND hWnd, int nIndex) {
  auto w = FindWindow(hWnd);
  if (!w) {
    SetLastError(ERROR_INVALID_WINDOW_HANDLE);
    return 0;
  }
  std::lock_guard<std::mutex> g(w->data_lock);
  LONG_PTR scratch = 0;
  LONG_PTR* slot = Slot(*w, nIndex, &scratch);
  return slot != nullptr ? *slot : 0;
}

LONG_PTR WINAPI SetWindowLongPtrA(HWND hWnd, int nIndex, LONG_PTR dwNewLong) {
  auto w = FindWindow(hWnd);
  if (!w) {
    SetLastError(ERROR_INVALID_WINDOW_HANDLE);
    return 0;
  }
  std::lock_guard<std::mutex> g(w->data_lock);
  LONG_PTR scratch = 0;
  LONG_PTR* slot = Slot(*w, nIndex, &scratch);
  if (slot == nullptr) return 0;
  LONG_PTR previous = *slot;
  if (slot == &scratch)
    std::memcpy(w->extra.data() + nIndex, &dwNewLong, sizeof(LONG_PTR));
  else
    *slot = dwNewLong;
  return previous;
}

BOOL WINAPI PostMessageA(HWND hWnd, UINT Msg, WPARAM wParam, LPARAM lParam) {
  if (hWnd == nullptr) return PostThreadMessageA(GetCurrentThreadId(), Msg, wParam, lParam);
  auto w = FindWindow(hWnd);
  auto q = w ? w->queue.lock() : nullptr;
  if (!q) {
    SetLastError(ERROR_INVALID_WINDOW_HANDLE);
    return FALSE;
  }
  MSG m{};
  m.hwnd = hWnd;
  m.message = Msg;
  m.wParam = wParam;
  m.lParam = lParam;
  m.time = timeGetTime();
  return q->Post(m, w.get()) ? TRUE : FALSE;
}

BOOL WINAPI PostThreadMessageA(DWORD idThread, UINT Msg, WPARAM wParam, LPARAM lParam) {
  std::shared_ptr<MessageQueue> q =
      idThread == GetCurrentThreadId() ? CurrentQueue() : QueueOfThread(idThread);
  if (!q) {
    SetLastError(kErrorInvalidThreadId);
    return FALSE;
  }
  MSG m{};
  m.message = Msg;
  m.wParam = wParam;
  m.lParam = lParam;
  m.time = timeGetTime();
  return q->Post(m, nullptr) ? TRUE : FALSE;
}

LRESULT WINAPI SendMessageTimeoutA(HWND hWnd, UINT Msg, WPARAM wParam, LPARAM lParam, UINT fuFlags, UINT uTimeout,
                                   DWORD_PTR* lpdwResult) {
  auto w = FindWindow(hWnd);
  if (!w) {
    SetLastError(ERROR_INVALID_WINDOW_HANDLE);
    return 0;
  }
  if (w->tid == GetCurrentThreadId()) {
    LRESULT r = w->proc(hWnd, Msg, wParam, lParam);
    if (lpdwResult != nullptr) *lpdwResult = static_cast<DWORD_PTR>(r);
    return 1;
  }
  return SendToOtherThread(w, Msg, wParam, lParam, fuFlags, uTimeout, lpdwResult);
}

LRESULT WINAPI SendMessageA(HWND hWnd, UINT Msg, WPARAM wParam, LPARAM lParam) {
  DWORD_PTR result = 0;
  if (SendMessageTimeoutA(hWnd, Msg, wParam, lParam, SMTO_NORMAL, INFINITE, &result) == 0) return 0;
  return static_cast<LRESULT>(result);
}

BOOL WINAPI PeekMessageA(LPMSG lpMsg, HWND hWnd, UINT wMsgFilterMin, UINT wMsgFilterMax, UINT wRemoveMsg) {
  if (lpMsg == nullptr) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  if (!ValidFilter(hWnd)) return FALSE;
  return Peek(*CurrentQueue(), lpMsg, hWnd, wMsgFilterMin, wMsgFilterMax, wRemoveMsg) ? TRUE : FALSE;
}

BOOL WINAPI GetMessageA(LPMSG lpMsg, HWND hWnd, UINT wMsgFilterMin, UINT wMsgFilterMax) {
  if (lpMsg == nullptr) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return -1;
  }
  if (!ValidFilter(hWnd)) return -1;
  const auto& q = CurrentQueue();
  const std::vector<std::shared_ptr<KObject>> changed{q->changed()};
  for (;;) {
    q->changed()->Reset();  // before looking, so an arrival during the look is not missed
    if (Peek(*q, lpMsg, hWnd, wMsgFilterMin, wMsgFilterMax, PM_REMOVE)) return lpMsg->message == WM_QUIT ? FALSE : TRUE;
    WaitForObjects(changed, false, INFINITE);
  }
}

BOOL WINAPI TranslateMessage(const MSG*) { return FALSE; }  // no keyboard input to translate

LRESULT WINAPI DispatchMessageA(const MSG* lpMsg) {
  if (lpMsg == nullptr) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return 0;
  }
  if (lpMsg->hwnd == nullptr) return 0;  // a thread message has no procedure
  auto w = FindWindow(lpMsg->hwnd);
  if (!w) {
    SetLastError(ERROR_INVALID_WINDOW_HANDLE);
    return 0;
  }
  if (w->tid != GetCurrentThreadId()) {
    SetLastError(kErrorWindowOfOtherThread);
    return 0;
  }
  return w->proc(lpMsg->hwnd, lpMsg->message, lpMsg->wParam, lpMsg->lParam);
}

void WINAPI PostQuitMessage(int nExitCode) { CurrentQueue()->PostQuit(nExitCode); }

LRESULT WINAPI DefWindowProcA(HWND, UINT, WPARAM, LPARAM) { return 0; }

// The queue counts as long as it holds a message (not only messages new since the
// last look, as on Windows): a message left in the queue can never be slept past.
// A wake mask of only QS_SENDMESSAGE waits for sent messages alone; a mask of 0
// for the objects alone. Sent messages that arrive are handled before returning.
DWORD WINAPI MsgWaitForMultipleObjects(DWORD nCount, const HANDLE* pHandles, BOOL fWaitAll, DWORD dwMilliseconds,
                                       DWORD dwWakeMask) {
  if (nCount >= MAXIMUM_WAIT_OBJECTS || (nCount > 0 && pHandles == nullptr)) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return WAIT_FAILED;
  }
  std::vector<std::shared_ptr<KObject>> objs;
  objs.reserve(nCount + 1);
  for (DWORD i = 0; i < nCount; ++i) {
    auto obj = LookupHandle(pHandles[i]);
    if (!obj || !obj->Waitable()) {
      SetLastError(ERROR_INVALID_HANDLE);
      return WAIT_FAILED;
    }
    objs.push_back(std::move(obj));
  }
  const auto& q = CurrentQueue();
  if ((dwWakeMask & ~QS_SENDMESSAGE) != 0)
    objs.push_back(q);
  else if ((dwWakeMask & QS_SENDMESSAGE) != 0)
    objs.push_back(q->sent_signal());
  DWORD r = WaitForObjects(objs, fWaitAll != FALSE, dwMilliseconds);
  if (dwWakeMask != 0 && r != WAIT_TIMEOUT && (fWaitAll != FALSE || r == WAIT_OBJECT_0 + nCount))
    q->HandleSentMessages();
  return r;
}
