// A serial device behind a Windows file handle: CreateFileA on a COM name gives
// one, and the Comm functions, ReadFile, WriteFile, WaitCommEvent and
// GetOverlappedResult work on it.
//
// Each open device has one service thread. It sleeps in epoll_wait on the
// device (edge-triggered, so bytes that nobody reads do not wake it again and
// again) and on an eventfd through which callers announce new requests; it
// wakes only when the device changes state, a request arrives, or a pending
// request's time-out falls due. An idle port, even with a pending wait, costs
// no CPU. Where the driver reports modem-line changes (TIOCMIWAIT), a second
// thread blocks in that call; a signal ends it when the device closes.
//
// Requests that can finish at once are finished by the caller's thread. The
// others are queued; the service thread finishes them and, for overlapped
// calls, stores the result in the OVERLAPPED and sets its event.
//
// Threads: every public function may be called from any thread.
// Locks: lock_ guards all the state below it, the OVERLAPPED records of pending
// requests and every use of fd_ except the modem thread's blocking TIOCMIWAIT.
// While it is held, SetEvent may be called (handle table lock, then WaitLock):
// those locks never call back into a device.
#pragma once

#include <asm/termbits.h>
#include <linux/serial.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "platform/posix/kobject.h"
#include "platform/win32.h"

namespace dud::posix {

class CommDevice : public KObject {
 public:
  // Opens the device at path for exclusive use; null with *error set (2 missing,
  // 5 in use by this or another process).
  static std::shared_ptr<CommDevice> Open(const std::string& path, bool overlapped, DWORD* error);
  ~CommDevice() override;

  // Ends pending requests with 995, stops the threads, gives up exclusive use
  // and closes the descriptor.
  BOOL Close() override;

  // The Win32 functions of the same names; each sets the last error on failure.
  BOOL Read(void* buffer, DWORD size, DWORD* done, OVERLAPPED* ov);
  BOOL Write(const void* buffer, DWORD size, DWORD* done, OVERLAPPED* ov);
  BOOL WaitEvent(DWORD* events, OVERLAPPED* ov);
  BOOL OverlappedResult(OVERLAPPED* ov, DWORD* count, bool wait);
  BOOL Cancel();
  BOOL Setup(DWORD in_queue, DWORD out_queue);
  BOOL GetState(DCB* dcb);
  BOOL SetState(const DCB* dcb);
  BOOL GetTimeouts(COMMTIMEOUTS* t);
  BOOL SetTimeouts(const COMMTIMEOUTS* t);
  BOOL GetMask(DWORD* mask);
  BOOL SetMask(DWORD mask);
  BOOL ClearError(DWORD* errors, COMSTAT* stat);
  BOOL Escape(DWORD func);
  BOOL Purge(DWORD flags);
  BOOL ModemStatus(DWORD* status);

 private:
  using Clock = std::chrono::steady_clock;

  struct Request {
    enum class Kind { kRead, kWrite, kWait };
    Kind kind = Kind::kRead;
    OVERLAPPED* ov = nullptr;  // null for a call that blocks its caller
    uint8_t* data = nullptr;
    DWORD size = 0;
    DWORD done = 0;
    DWORD* events = nullptr;  // where WaitCommEvent reports
    std::thread::id owner;    // CancelIo ends only the calling thread's requests
    Clock::time_point deadline = Clock::time_point::max();  // total time-out
    DWORD interval_ms = 0;                                   // read interval time-out, 0 = none
    Clock::time_point last_byte{};
    bool return_on_any = false;  // a read that ends with its first bytes
    bool at_once = false;        // a read that ends with whatever is there, even nothing
    bool finished = false;
    DWORD error = 0;
    // A queued write sends from its own copy, so that a caller that frees its
    // block before the write has finished does not send freed memory.
    std::unique_ptr<uint8_t[]> copy;
  };
  using RequestPtr = std::shared_ptr<Request>;

  CommDevice() = default;

  bool Usable();  // false with the last error set (6 closed, 1167 gone)
  void Complete(const RequestPtr& r, DWORD error, DWORD count);
  void FailQueue(std::deque<RequestPtr>* q, DWORD error, bool only_mine);
  void FailAll(DWORD error);
  void MarkGone();
  BOOL Submit(const RequestPtr& r, std::unique_lock<std::mutex>& lock, DWORD* done);
  BOOL FinishedAtOnce(OVERLAPPED* ov, DWORD count, DWORD* done);
  // Move bytes between r and the device without blocking; 0, or the error that
  // ends the request (1167 when the device is gone).
  DWORD ReadInto(Request* r);
  DWORD WriteFrom(Request* r);
  bool ReadDone(const Request& r) const;
  void NoteArrivals();
  void NoteWritten(DWORD count);
  void NoteOutputDrained();
  void CheckCounters(serial_icounter_struct* seen, DWORD* events, DWORD* errors);
  bool CompleteWaitIfDue();
  void ServeRequests();
  int NextTimeoutMs();
  void Wake();
  void ServiceLoop();
  void ModemLoop();
  DWORD SetLineLevel(int bit, bool on);
  void StopModemThread();

  std::mutex lock_;
  std::condition_variable done_cv_;  // notified whenever a request finishes
  int fd_ = -1;
  int epoll_fd_ = -1;
  int wake_fd_ = -1;
  bool overlapped_ = false;
  bool closed_ = false;
  bool gone_ = false;
  bool stop_ = false;
  bool has_icount_ = false;
  bool has_modem_lines_ = false;
  bool rs485_on_ = false;
  // A pseudo-terminal forces 8 data bits without parity (it has no wire to
  // frame bits on); its byte size, parity and stop bits are only recorded.
  bool is_pty_ = false;
  DCB dcb_{};  // the last accepted DCB; GetState overlays what termios holds
  COMMTIMEOUTS timeouts_{};
  DWORD mask_ = 0;
  DWORD history_ = 0;     // events seen and not yet reported by a wait
  int rx_baseline_ = 0;   // bytes in the input queue already accounted for EV_RXCHAR
  bool tx_unsent_ = false;  // bytes were written and the output queue was not yet seen empty
  bool dtr_on_ = true;    // recorded line levels (a pty has no lines)
  bool rts_on_ = true;
  serial_icounter_struct event_counts_{};  // counters as last turned into events
  serial_icounter_struct error_counts_{};  // counters as last reported by ClearCommError
  std::deque<RequestPtr> reads_;
  std::deque<RequestPtr> writes_;
  RequestPtr wait_;
  std::thread service_;
  std::thread modem_;
  std::atomic<bool> modem_running_{false};
  std::atomic<bool> modem_exited_{false};
};

}  // namespace dud::posix
