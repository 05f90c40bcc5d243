// Serial devices: exclusive open, line settings, and the overlapped I/O engine.
#include "platform/posix/comm_device.h"

#include <fcntl.h>
#include <pthread.h>
#include <signal.h>
#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "platform/posix/dcb_termios.h"

namespace dud::posix {
namespace {

constexpr DWORD kAllEvents = EV_RXCHAR | EV_RXFLAG | EV_TXEMPTY | EV_CTS | EV_DSR | EV_RLSD | EV_BREAK | EV_ERR |
                             EV_RING | EV_PERR | EV_RX80FULL | EV_EVENT1 | EV_EVENT2 | EV_RINGTE;
constexpr DWORD kAllPurge = PURGE_TXABORT | PURGE_RXABORT | PURGE_TXCLEAR | PURGE_RXCLEAR;
// What GetOverlappedResult reports for a finished WaitCommEvent: the size of the mask.
constexpr DWORD kWaitCount = sizeof(DWORD);

// Completing a request may call SetEvent, which must not disturb the caller's last error.
struct KeepLastError {
  DWORD saved = GetLastError();
  ~KeepLastError() { SetLastError(saved); }
};

void SignalEvent(HANDLE ev) {
  if (ev == nullptr) return;
  KeepLastError keep;
  SetEvent(ev);
}

void ClearEvent(HANDLE ev) {
  if (ev == nullptr) return;
  KeepLastError keep;
  ResetEvent(ev);
}

// The signal that interrupts a thread blocked in TIOCMIWAIT. Its handler does
// nothing; installed without SA_RESTART so that the ioctl returns EINTR.
int ModemStopSignal() {
  static const int sig = [] {
    int s = SIGRTMIN + 4;
    struct sigaction sa {};
    sa.sa_handler = [](int) {};
    sigemptyset(&sa.sa_mask);
    sa.sa_flags = 0;
    sigaction(s, &sa, nullptr);  // 0 on success; without it the stop signal would end the process
    return s;
  }();
  return sig;
}

// Errors that mean the device has gone away under an open descriptor.
bool DeviceGoneErrno(int err) { return err == EIO || err == ENXIO || err == ENODEV; }

// Errors that mean the driver has no such control (a pty has no modem lines).
bool NotOfferedErrno(int err) { return err == ENOTTY || err == EINVAL; }

}  // namespace

std::shared_ptr<CommDevice> CommDevice::Open(const std::string& path, bool overlapped, DWORD* error) {
  // open returns the descriptor, or -1 with errno.
  int fd = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) {
    int e = errno;
    // A device node without hardware behind it is, to the caller, a port that does not exist.
    *error = (e == ENXIO || e == ENODEV || e == EIO) ? ERROR_FILE_NOT_FOUND : ErrnoToWin32(e);
    return nullptr;
  }
  termios2 t{};
  if (ioctl(fd, TCGETS2, &t) != 0) {  // not a terminal: no serial device of that name
    ::close(fd);
    *error = ERROR_FILE_NOT_FOUND;
    return nullptr;
  }
  // flock holds against every other open description, in this process or another, root included.
  if (flock(fd, LOCK_EX | LOCK_NB) != 0) {
    int e = errno;
    ::close(fd);
    *error = e == EWOULDBLOCK ? ERROR_ACCESS_DENIED : ErrnoToWin32(e);
    return nullptr;
  }
  // TIOCEXCL keeps out programs that do not take the lock (root passes it); it
  // outlives the descriptor, so Close clears it.
  (void)ioctl(fd, TIOCEXCL);
  MakeRawTermios(&t);
  t.c_cc[VSTART] = 0x11;
  t.c_cc[VSTOP] = 0x13;
  if (ioctl(fd, TCSETS2, &t) != 0 || ioctl(fd, TCGETS2, &t) != 0) {
    int e = errno;
    (void)ioctl(fd, TIOCNXCL);
    ::close(fd);
    *error = ErrnoToWin32(e);
    return nullptr;
  }

  std::shared_ptr<CommDevice> dev(new CommDevice);
  dev->fd_ = fd;
  struct stat st {};
  // Majors 136-143 are the slaves of Unix 98 pseudo-terminals.
  dev->is_pty_ = fstat(fd, &st) == 0 && major(st.st_rdev) >= 136 && major(st.st_rdev) <= 143;
  dev->overlapped_ = overlapped;
  serial_icounter_struct counts{};
  dev->has_icount_ = ioctl(fd, TIOCGICOUNT, &counts) == 0;
  dev->event_counts_ = counts;
  dev->error_counts_ = counts;
  int lines = 0;
  dev->has_modem_lines_ = ioctl(fd, TIOCMGET, &lines) == 0;
  if (dev->has_modem_lines_) {
    dev->dtr_on_ = (lines & TIOCM_DTR) != 0;
    dev->rts_on_ = (lines & TIOCM_RTS) != 0;
  }
  DCB& d = dev->dcb_;
  d.DCBlength = sizeof(DCB);
  d.fDtrControl = dev->dtr_on_ ? DTR_CONTROL_ENABLE : DTR_CONTROL_DISABLE;
  d.fRtsControl = dev->rts_on_ ? RTS_CONTROL_ENABLE : RTS_CONTROL_DISABLE;
  d.fTXContinueOnXoff = 1;
  d.XonLim = 2048;
  d.XoffLim = 512;
  TermiosToDcb(t, &d);

  dev->epoll_fd_ = epoll_create1(EPOLL_CLOEXEC);            // -1 with errno on failure
  dev->wake_fd_ = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);  // likewise
  if (dev->epoll_fd_ < 0 || dev->wake_fd_ < 0) {
    *error = ErrnoToWin32(errno);
    dev->Close();
    return nullptr;
  }
  epoll_event ev{};
  // Edge-triggered: one report per change of the device, so unread bytes do not keep waking the thread.
  ev.events = EPOLLIN | EPOLLOUT | EPOLLET;
  ev.data.fd = fd;
  epoll_event wev{};
  wev.events = EPOLLIN;
  wev.data.fd = dev->wake_fd_;
  if (epoll_ctl(dev->epoll_fd_, EPOLL_CTL_ADD, fd, &ev) != 0 ||
      epoll_ctl(dev->epoll_fd_, EPOLL_CTL_ADD, dev->wake_fd_, &wev) != 0) {
    *error = ErrnoToWin32(errno);
    dev->Close();
    return nullptr;
  }
  try {
    dev->service_ = std::thread([p = dev.get()] { p->ServiceLoop(); });
    if (dev->has_modem_lines_ && dev->has_icount_) {
      ModemStopSignal();
      dev->modem_running_ = true;
      dev->modem_ = std::thread([p = dev.get()] { p->ModemLoop(); });
    }
  } catch (const std::system_error&) {
    *error = ERROR_NOT_ENOUGH_MEMORY;
    dev->Close();
    return nullptr;
  }
  return dev;
}

CommDevice::~CommDevice() { Close(); }

BOOL CommDevice::Close() {
  {
    std::lock_guard<std::mutex> g(lock_);
    if (closed_) return TRUE;
    closed_ = true;
    stop_ = true;
    FailAll(ERROR_OPERATION_ABORTED);
    Wake();
  }
  StopModemThread();
  if (service_.joinable()) service_.join();
  std::lock_guard<std::mutex> g(lock_);
  if (fd_ >= 0) {
    if (rs485_on_) {
      serial_rs485 rs{};
      (void)ioctl(fd_, TIOCSRS485, &rs);
    }
    (void)ioctl(fd_, TIOCNXCL);  // fails harmlessly when the device is gone
    (void)flock(fd_, LOCK_UN);
    ::close(fd_);
    fd_ = -1;
  }
  if (epoll_fd_ >= 0) ::close(epoll_fd_);
  if (wake_fd_ >= 0) ::close(wake_fd_);
  epoll_fd_ = wake_fd_ = -1;
  return TRUE;
}

void CommDevice::StopModemThread() {
  if (!modem_.joinable()) return;
  modem_running_ = false;
  // The signal may reach the thread just before it enters the ioctl; repeat it until the thread has left.
  while (!modem_exited_.load()) {
    pthread_kill(modem_.native_handle(), ModemStopSignal());
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
  modem_.join();
}

bool CommDevice::Usable() {
  if (closed_) {
    SetLastError(ERROR_INVALID_HANDLE);
    return false;
  }
  if (gone_) {
    SetLastError(ERROR_DEVICE_NOT_CONNECTED);
    return false;
  }
  return true;
}

void CommDevice::Wake() {
  uint64_t one = 1;
  // Returns 8 on success; a full counter (EAGAIN) already means "wake up".
  (void)!::write(wake_fd_, &one, sizeof one);
}

void CommDevice::Complete(const RequestPtr& r, DWORD error, DWORD count) {
  r->finished = true;
  r->error = error;
  r->done = count;
  if (r->ov != nullptr) {
    r->ov->InternalHigh = count;
    r->ov->Internal = error;
    SignalEvent(r->ov->hEvent);
  }
  done_cv_.notify_all();
}

void CommDevice::FailQueue(std::deque<RequestPtr>* q, DWORD error, bool only_mine) {
  const auto me = std::this_thread::get_id();
  std::deque<RequestPtr> keep;
  while (!q->empty()) {
    RequestPtr r = std::move(q->front());
    q->pop_front();
    if (only_mine && r->owner != me) {
      keep.push_back(std::move(r));
      continue;
    }
    Complete(r, error, r->done);
  }
  *q = std::move(keep);
}

void CommDevice::FailAll(DWORD error) {
  FailQueue(&reads_, error, false);
  FailQueue(&writes_, error, false);
  if (wait_) {
    RequestPtr w = std::move(wait_);
    wait_.reset();
    *w->events = 0;
    Complete(w, error, 0);
  }
}

void CommDevice::MarkGone() {
  if (gone_) return;
  gone_ = true;
  if (epoll_fd_ >= 0) (void)epoll_ctl(epoll_fd_, EPOLL_CTL_DEL, fd_, nullptr);
  FailAll(ERROR_DEVICE_NOT_CONNECTED);
}

BOOL CommDevice::FinishedAtOnce(OVERLAPPED* ov, DWORD count, DWORD* done) {
  if (done != nullptr) *done = count;
  if (ov != nullptr) {
    ov->InternalHigh = count;
    ov->Internal = ERROR_SUCCESS;
    SignalEvent(ov->hEvent);  // Windows sets the event also when the call finishes at once
  }
  return TRUE;
}

BOOL CommDevice::Submit(const RequestPtr& r, std::unique_lock<std::mutex>& lock, DWORD* done) {
  switch (r->kind) {
    case Request::Kind::kRead: reads_.push_back(r); break;
    case Request::Kind::kWrite: writes_.push_back(r); break;
    case Request::Kind::kWait: wait_ = r; break;
  }
  Wake();  // the service thread recomputes its time-out and serves the queue
  if (r->ov != nullptr) {
    r->ov->Internal = ERROR_IO_PENDING;
    r->ov->InternalHigh = 0;
    if (done != nullptr) *done = 0;
    SetLastError(ERROR_IO_PENDING);
    return FALSE;
  }
  done_cv_.wait(lock, [&] { return r->finished; });
  if (done != nullptr) *done = r->done;
  if (r->error != ERROR_SUCCESS) {
    SetLastError(r->error);
    return FALSE;
  }
  return TRUE;
}

DWORD CommDevice::ReadInto(Request* r) {
  while (r->done < r->size) {
    // read returns the byte count, 0 once the other side has hung up (VMIN is 1), or -1 with errno.
    ssize_t n = ::read(fd_, r->data + r->done, r->size - r->done);
    if (n > 0) {
      r->done += static_cast<DWORD>(n);
      r->last_byte = Clock::now();
      rx_baseline_ = std::max(0, rx_baseline_ - static_cast<int>(n));
      continue;
    }
    if (n == 0) return ERROR_DEVICE_NOT_CONNECTED;
    if (errno == EINTR) continue;
    if (errno == EAGAIN) return ERROR_SUCCESS;
    return DeviceGoneErrno(errno) ? ERROR_DEVICE_NOT_CONNECTED : ErrnoToWin32(errno);
  }
  return ERROR_SUCCESS;
}

DWORD CommDevice::WriteFrom(Request* r) {
  while (r->done < r->size) {
    // write returns the byte count (possibly fewer than asked) or -1 with errno.
    ssize_t n = ::write(fd_, r->data + r->done, r->size - r->done);
    if (n > 0) {
      r->done += static_cast<DWORD>(n);
      continue;
    }
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && errno == EAGAIN) return ERROR_SUCCESS;
    return (n < 0 && !DeviceGoneErrno(errno)) ? ErrnoToWin32(errno) : ERROR_DEVICE_NOT_CONNECTED;
  }
  return ERROR_SUCCESS;
}

bool CommDevice::ReadDone(const Request& r) const {
  return r.at_once || r.done == r.size || (r.return_on_any && r.done > 0);
}

void CommDevice::CheckCounters(serial_icounter_struct* seen, DWORD* events, DWORD* errors) {
  serial_icounter_struct now{};
  if (ioctl(fd_, TIOCGICOUNT, &now) != 0) return;  // 0 on success
  if (events != nullptr) {
    if (now.cts != seen->cts) *events |= EV_CTS;
    if (now.dsr != seen->dsr) *events |= EV_DSR;
    if (now.dcd != seen->dcd) *events |= EV_RLSD;
    if (now.rng != seen->rng) *events |= EV_RING;
    if (now.brk != seen->brk) *events |= EV_BREAK;
    if (now.frame != seen->frame || now.parity != seen->parity || now.overrun != seen->overrun ||
        now.buf_overrun != seen->buf_overrun)
      *events |= EV_ERR;
  }
  if (errors != nullptr) {
    if (now.frame != seen->frame) *errors |= CE_FRAME;
    if (now.parity != seen->parity) *errors |= CE_RXPARITY;
    if (now.overrun != seen->overrun) *errors |= CE_OVERRUN;
    if (now.buf_overrun != seen->buf_overrun) *errors |= CE_RXOVER;
    if (now.brk != seen->brk) *errors |= CE_BREAK;
  }
  *seen = now;
}

void CommDevice::NoteArrivals() {
  if (gone_ || closed_) return;
  int queued = 0;
  // FIONREAD: 0 on success; -1 with EIO once the other side of a pty is gone.
  if (ioctl(fd_, FIONREAD, &queued) != 0) {
    if (DeviceGoneErrno(errno)) MarkGone();
    return;
  }
  // Only bytes beyond those already accounted for are news: old unread bytes never count twice.
  if (queued > rx_baseline_ && (mask_ & EV_RXCHAR) != 0) history_ |= EV_RXCHAR;
  rx_baseline_ = queued;
  if (has_icount_) {
    DWORD events = 0;
    CheckCounters(&event_counts_, &events, nullptr);
    history_ |= events & mask_;
  }
  NoteOutputDrained();
}

void CommDevice::NoteOutputDrained() {
  if (!tx_unsent_ || !writes_.empty() || gone_) return;
  int unsent = 0;
  // TIOCOUTQ: bytes still in the driver's output queue; 0 on success.
  if (ioctl(fd_, TIOCOUTQ, &unsent) == 0 && unsent == 0) {
    tx_unsent_ = false;
    history_ |= mask_ & EV_TXEMPTY;
  }
}

void CommDevice::NoteWritten(DWORD count) {
  if (count == 0) return;
  tx_unsent_ = true;
  if ((mask_ & EV_TXEMPTY) != 0) Wake();  // the service thread watches the queue drain
}

bool CommDevice::CompleteWaitIfDue() {
  if (!wait_ || (history_ & mask_) == 0) return false;
  RequestPtr w = std::move(wait_);
  wait_.reset();
  *w->events = history_ & mask_;
  history_ = 0;
  Complete(w, ERROR_SUCCESS, kWaitCount);
  return true;
}

void CommDevice::ServeRequests() {
  NoteArrivals();
  while (!gone_ && !reads_.empty()) {
    RequestPtr r = reads_.front();
    DWORD err = ReadInto(r.get());
    if (err == ERROR_DEVICE_NOT_CONNECTED) {
      MarkGone();
      return;
    }
    if (err != ERROR_SUCCESS || ReadDone(*r)) {
      reads_.pop_front();
      Complete(r, err, r->done);
      continue;
    }
    break;  // waits for more bytes
  }
  while (!gone_ && !writes_.empty()) {
    RequestPtr r = writes_.front();
    const DWORD before = r->done;
    DWORD err = WriteFrom(r.get());
    NoteWritten(r->done - before);
    if (err == ERROR_DEVICE_NOT_CONNECTED) {
      MarkGone();
      return;
    }
    if (err != ERROR_SUCCESS || r->done == r->size) {
      writes_.pop_front();
      Complete(r, err, r->done);
      continue;
    }
    break;  // waits for room in the driver
  }
  // Time-outs end a request successfully with what it has transferred, as on Windows.
  const auto now = Clock::now();
  auto expired = [&](const RequestPtr& r) {
    if (now >= r->deadline) return true;
    return r->interval_ms != 0 && r->done > 0 && now >= r->last_byte + std::chrono::milliseconds(r->interval_ms);
  };
  for (auto* q : {&reads_, &writes_}) {
    for (auto it = q->begin(); it != q->end();) {
      if (expired(*it)) {
        RequestPtr r = *it;
        it = q->erase(it);
        Complete(r, ERROR_SUCCESS, r->done);
      } else {
        ++it;
      }
    }
  }
  NoteOutputDrained();
  CompleteWaitIfDue();
}

int CommDevice::NextTimeoutMs() {
  auto next = Clock::time_point::max();
  for (auto* q : {&reads_, &writes_}) {
    for (const RequestPtr& r : *q) {
      next = std::min(next, r->deadline);
      if (r->interval_ms != 0 && r->done > 0)
        next = std::min(next, r->last_byte + std::chrono::milliseconds(r->interval_ms));
    }
  }
  // A UART reports room in its queue, not its end: while someone waits for the
  // output to drain, look again every few milliseconds until it has.
  if (tx_unsent_ && writes_.empty() && wait_ && (mask_ & EV_TXEMPTY) != 0)
    next = std::min(next, Clock::now() + std::chrono::milliseconds(5));
  if (next == Clock::time_point::max()) return -1;
  auto ms = std::chrono::ceil<std::chrono::milliseconds>(next - Clock::now()).count();
  return static_cast<int>(std::clamp<long long>(ms, 0, 24LL * 3600 * 1000));
}

void CommDevice::ServiceLoop() {
  epoll_event events[4];
  for (;;) {
    int timeout;
    {
      std::lock_guard<std::mutex> g(lock_);
      if (stop_) return;
      timeout = NextTimeoutMs();
    }
    // Returns the number of ready entries, 0 on time-out, -1 with errno (EINTR on a signal).
    int n = epoll_wait(epoll_fd_, events, 4, timeout);
    std::lock_guard<std::mutex> g(lock_);
    if (stop_) return;
    bool hung_up = false;
    for (int i = 0; i < n; ++i) {
      if (events[i].data.fd == wake_fd_) {
        uint64_t count;
        (void)!::read(wake_fd_, &count, sizeof count);
      } else if ((events[i].events & (EPOLLHUP | EPOLLERR)) != 0) {
        hung_up = true;
      }
    }
    // The other side hung up: the device is gone for good (a pty's bytes go with it).
    if (hung_up) MarkGone();
    if (!gone_) ServeRequests();
  }
}

void CommDevice::ModemLoop() {
  const int lines = TIOCM_CTS | TIOCM_DSR | TIOCM_CD | TIOCM_RNG;
  while (modem_running_.load()) {
    // Blocks until one of the lines changes: 0, or -1 with errno (EINTR when told to stop).
    int rc = ioctl(fd_, TIOCMIWAIT, lines);
    int err = errno;
    if (!modem_running_.load()) break;
    std::lock_guard<std::mutex> g(lock_);
    if (rc != 0 && err != EINTR) {
      if (DeviceGoneErrno(err)) MarkGone();
      break;  // the driver does not report line changes after all
    }
    NoteArrivals();
    CompleteWaitIfDue();
  }
  modem_exited_ = true;
}

// ---------------------------------------------------------------- requests

BOOL CommDevice::Read(void* buffer, DWORD size, DWORD* done, OVERLAPPED* ov) {
  std::unique_lock<std::mutex> lock(lock_);
  if (!Usable()) return FALSE;
  if (buffer == nullptr && size > 0) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  if (ov != nullptr) ClearEvent(ov->hEvent);  // as Windows does when an operation starts
  auto r = std::make_shared<Request>();
  r->kind = Request::Kind::kRead;
  r->ov = ov;
  r->data = static_cast<uint8_t*>(buffer);
  r->size = size;
  r->owner = std::this_thread::get_id();
  const COMMTIMEOUTS& t = timeouts_;
  if (t.ReadIntervalTimeout == MAXDWORD && t.ReadTotalTimeoutMultiplier == 0 && t.ReadTotalTimeoutConstant == 0) {
    r->at_once = true;
  } else if (t.ReadIntervalTimeout == MAXDWORD && t.ReadTotalTimeoutMultiplier == MAXDWORD) {
    r->return_on_any = true;
    r->deadline = Clock::now() + std::chrono::milliseconds(t.ReadTotalTimeoutConstant);
  } else {
    uint64_t total = static_cast<uint64_t>(t.ReadTotalTimeoutMultiplier) * size + t.ReadTotalTimeoutConstant;
    if (total != 0) r->deadline = Clock::now() + std::chrono::milliseconds(total);
    r->interval_ms = t.ReadIntervalTimeout;
  }
  if (reads_.empty()) {
    NoteArrivals();
    if (gone_) {
      SetLastError(ERROR_DEVICE_NOT_CONNECTED);
      return FALSE;
    }
    DWORD err = ReadInto(r.get());
    if (err == ERROR_DEVICE_NOT_CONNECTED) MarkGone();
    if (err != ERROR_SUCCESS) {
      SetLastError(err);
      return FALSE;
    }
    if (ReadDone(*r)) return FinishedAtOnce(ov, r->done, done);
  }
  // Behind other reads, a read that must not wait ends as soon as the service thread sees it.
  if (r->at_once) r->deadline = Clock::now();
  return Submit(r, lock, done);
}

BOOL CommDevice::Write(const void* buffer, DWORD size, DWORD* done, OVERLAPPED* ov) {
  std::unique_lock<std::mutex> lock(lock_);
  if (!Usable()) return FALSE;
  if (buffer == nullptr && size > 0) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  if (ov != nullptr) ClearEvent(ov->hEvent);
  auto r = std::make_shared<Request>();
  r->kind = Request::Kind::kWrite;
  r->ov = ov;
  // The engine only reads from the caller's bytes.
  r->data = const_cast<uint8_t*>(static_cast<const uint8_t*>(buffer));
  r->size = size;
  r->owner = std::this_thread::get_id();
  if (writes_.empty()) {
    DWORD err = WriteFrom(r.get());
    NoteWritten(r->done);
    if (err == ERROR_DEVICE_NOT_CONNECTED) MarkGone();
    if (err != ERROR_SUCCESS) {
      SetLastError(err);
      return FALSE;
    }
    if (r->done == r->size) return FinishedAtOnce(ov, r->done, done);
  }
  r->copy = std::make_unique<uint8_t[]>(size);
  if (size > 0) std::memcpy(r->copy.get(), buffer, size);
  r->data = r->copy.get();
  uint64_t total = static_cast<uint64_t>(timeouts_.WriteTotalTimeoutMultiplier) * size +
                   timeouts_.WriteTotalTimeoutConstant;
  if (total != 0) r->deadline = Clock::now() + std::chrono::milliseconds(total);
  return Submit(r, lock, done);
}

BOOL CommDevice::WaitEvent(DWORD* events, OVERLAPPED* ov) {
  std::unique_lock<std::mutex> lock(lock_);
  if (!Usable()) return FALSE;
  // Windows refuses a wait without a mask, and a second wait while one is pending.
  if (events == nullptr || mask_ == 0 || wait_) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  if (ov != nullptr) ClearEvent(ov->hEvent);
  NoteArrivals();
  if (gone_) {
    SetLastError(ERROR_DEVICE_NOT_CONNECTED);
    return FALSE;
  }
  if ((history_ & mask_) != 0) {
    *events = history_ & mask_;
    history_ = 0;
    return FinishedAtOnce(ov, kWaitCount, nullptr);
  }
  auto r = std::make_shared<Request>();
  r->kind = Request::Kind::kWait;
  r->ov = ov;
  r->events = events;
  r->owner = std::this_thread::get_id();
  return Submit(r, lock, nullptr);
}

BOOL CommDevice::OverlappedResult(OVERLAPPED* ov, DWORD* count, bool wait) {
  if (ov == nullptr) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  std::unique_lock<std::mutex> lock(lock_);
  if (ov->Internal == ERROR_IO_PENDING) {
    if (!wait) {
      SetLastError(ERROR_IO_INCOMPLETE);
      return FALSE;
    }
    done_cv_.wait(lock, [&] { return ov->Internal != ERROR_IO_PENDING; });
  }
  if (count != nullptr) *count = static_cast<DWORD>(ov->InternalHigh);
  if (ov->Internal != ERROR_SUCCESS) {
    SetLastError(static_cast<DWORD>(ov->Internal));
    return FALSE;
  }
  return TRUE;
}

BOOL CommDevice::Cancel() {
  std::lock_guard<std::mutex> g(lock_);
  if (closed_) {
    SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  FailQueue(&reads_, ERROR_OPERATION_ABORTED, true);
  FailQueue(&writes_, ERROR_OPERATION_ABORTED, true);
  if (wait_ && wait_->owner == std::this_thread::get_id()) {
    RequestPtr w = std::move(wait_);
    wait_.reset();
    *w->events = 0;
    Complete(w, ERROR_OPERATION_ABORTED, 0);
  }
  return TRUE;
}

// ---------------------------------------------------------------- line control

BOOL CommDevice::Setup(DWORD, DWORD) {
  // The kernel's queues have fixed sizes; the request is accepted as Windows drivers may round it.
  std::lock_guard<std::mutex> g(lock_);
  return Usable() ? TRUE : FALSE;
}

BOOL CommDevice::GetState(DCB* dcb) {
  std::lock_guard<std::mutex> g(lock_);
  if (!Usable()) return FALSE;
  if (dcb == nullptr) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  termios2 t{};
  if (ioctl(fd_, TCGETS2, &t) != 0) {  // 0 on success
    if (DeviceGoneErrno(errno)) MarkGone();
    SetLastErrorFromErrno(errno);
    return FALSE;
  }
  DCB d = dcb_;
  TermiosToDcb(t, &d);
  if (is_pty_) {
    d.ByteSize = dcb_.ByteSize;
    d.Parity = dcb_.Parity;
    d.StopBits = dcb_.StopBits;
  }
  d.DCBlength = sizeof(DCB);
  *dcb = d;
  return TRUE;
}

DWORD CommDevice::SetLineLevel(int bit, bool on) {
  // TIOCMBIS/TIOCMBIC: 0 on success; ENOTTY where the device has no modem lines.
  if (ioctl(fd_, on ? TIOCMBIS : TIOCMBIC, &bit) != 0) {
    int e = errno;
    if (DeviceGoneErrno(e)) {
      MarkGone();
      return ERROR_DEVICE_NOT_CONNECTED;
    }
    if (!NotOfferedErrno(e)) return ErrnoToWin32(e);
  }
  (bit == TIOCM_DTR ? dtr_on_ : rts_on_) = on;
  return ERROR_SUCCESS;
}

BOOL CommDevice::SetState(const DCB* dcb) {
  std::lock_guard<std::mutex> g(lock_);
  if (!Usable()) return FALSE;
  if (dcb == nullptr) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  termios2 current{};
  if (ioctl(fd_, TCGETS2, &current) != 0) {
    if (DeviceGoneErrno(errno)) MarkGone();
    SetLastErrorFromErrno(errno);
    return FALSE;
  }
  termios2 wanted{};
  DWORD err = DcbToTermios(*dcb, current, &wanted);
  if (err != ERROR_SUCCESS) {
    SetLastError(err);
    return FALSE;
  }
  // RTS toggling for RS485 is the driver's (TIOCSRS485); a device without it cannot do it.
  const bool want_rs485 = dcb->fRtsControl == RTS_CONTROL_TOGGLE;
  if (want_rs485 != rs485_on_) {
    serial_rs485 rs{};
    if (want_rs485) rs.flags = SER_RS485_ENABLED | SER_RS485_RTS_ON_SEND;
    if (ioctl(fd_, TIOCSRS485, &rs) != 0 && want_rs485) {
      SetLastError(ERROR_INVALID_PARAMETER);
      return FALSE;
    }
  }
  auto undo_rs485 = [&] {
    if (want_rs485 == rs485_on_) return;
    serial_rs485 rs{};
    if (rs485_on_) rs.flags = SER_RS485_ENABLED | SER_RS485_RTS_ON_SEND;
    (void)ioctl(fd_, TIOCSRS485, &rs);
  };
  termios2 actual{};
  if (ioctl(fd_, TCSETS2, &wanted) != 0 || ioctl(fd_, TCGETS2, &actual) != 0) {
    int e = errno;
    (void)ioctl(fd_, TCSETS2, &current);
    undo_rs485();
    if (DeviceGoneErrno(e)) MarkGone();
    SetLastError(DeviceGoneErrno(e) ? ERROR_DEVICE_NOT_CONNECTED : ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  // The driver may quietly adjust what it cannot do; then nothing changes and the caller hears 87.
  termios2 expected = wanted;
  if (is_pty_) {
    constexpr tcflag_t kForced = CSIZE | PARENB;
    expected.c_cflag = (expected.c_cflag & ~kForced) | (actual.c_cflag & kForced);
  }
  if (!SameLineSettings(expected, actual)) {
    (void)ioctl(fd_, TCSETS2, &current);
    undo_rs485();
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  rs485_on_ = want_rs485;
  if (dcb->fDtrControl == DTR_CONTROL_ENABLE || dcb->fDtrControl == DTR_CONTROL_DISABLE) {
    err = SetLineLevel(TIOCM_DTR, dcb->fDtrControl == DTR_CONTROL_ENABLE);
  }
  if (err == ERROR_SUCCESS &&
      (dcb->fRtsControl == RTS_CONTROL_ENABLE || dcb->fRtsControl == RTS_CONTROL_DISABLE)) {
    err = SetLineLevel(TIOCM_RTS, dcb->fRtsControl == RTS_CONTROL_ENABLE);
  }
  dcb_ = *dcb;
  dcb_.DCBlength = sizeof(DCB);
  if (err != ERROR_SUCCESS) {
    SetLastError(err);
    return FALSE;
  }
  return TRUE;
}

BOOL CommDevice::GetTimeouts(COMMTIMEOUTS* t) {
  std::lock_guard<std::mutex> g(lock_);
  if (!Usable()) return FALSE;
  if (t == nullptr) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  *t = timeouts_;
  return TRUE;
}

BOOL CommDevice::SetTimeouts(const COMMTIMEOUTS* t) {
  std::lock_guard<std::mutex> g(lock_);
  if (!Usable()) return FALSE;
  // All three read values MAXDWORD is the one combination Windows refuses.
  if (t == nullptr || (t->ReadIntervalTimeout == MAXDWORD && t->ReadTotalTimeoutMultiplier == MAXDWORD &&
                       t->ReadTotalTimeoutConstant == MAXDWORD)) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  timeouts_ = *t;
  return TRUE;
}

BOOL CommDevice::GetMask(DWORD* mask) {
  std::lock_guard<std::mutex> g(lock_);
  if (!Usable()) return FALSE;
  if (mask == nullptr) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  *mask = mask_;
  return TRUE;
}

BOOL CommDevice::SetMask(DWORD mask) {
  std::lock_guard<std::mutex> g(lock_);
  if (!Usable()) return FALSE;
  if ((mask & ~kAllEvents) != 0) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  // A new mask starts a new history: what was there before is not news.
  NoteArrivals();
  mask_ = mask;
  history_ = 0;
  if (wait_) {
    RequestPtr w = std::move(wait_);
    wait_.reset();
    *w->events = 0;
    Complete(w, ERROR_SUCCESS, kWaitCount);
  }
  return TRUE;
}

BOOL CommDevice::ClearError(DWORD* errors, COMSTAT* stat) {
  std::lock_guard<std::mutex> g(lock_);
  if (!Usable()) return FALSE;
  DWORD found = 0;
  if (has_icount_) CheckCounters(&error_counts_, nullptr, &found);
  if (stat != nullptr) {
    std::memset(stat, 0, sizeof *stat);
    int in = 0, out = 0;
    // FIONREAD and TIOCOUTQ: 0 on success; EIO once a pty's other side is gone.
    if (ioctl(fd_, FIONREAD, &in) != 0 || ioctl(fd_, TIOCOUTQ, &out) != 0) {
      int e = errno;
      if (DeviceGoneErrno(e)) {
        MarkGone();
        SetLastError(ERROR_DEVICE_NOT_CONNECTED);
      } else {
        SetLastErrorFromErrno(e);
      }
      return FALSE;
    }
    stat->cbInQue = static_cast<DWORD>(in);
    stat->cbOutQue = static_cast<DWORD>(out);
  }
  if (errors != nullptr) *errors = found;
  return TRUE;
}

BOOL CommDevice::Escape(DWORD func) {
  std::lock_guard<std::mutex> g(lock_);
  if (!Usable()) return FALSE;
  DWORD err = ERROR_SUCCESS;
  int rc = 0;
  switch (func) {
    case SETDTR: err = SetLineLevel(TIOCM_DTR, true); break;
    case CLRDTR: err = SetLineLevel(TIOCM_DTR, false); break;
    case SETRTS: err = SetLineLevel(TIOCM_RTS, true); break;
    case CLRRTS: err = SetLineLevel(TIOCM_RTS, false); break;
    case SETBREAK: rc = ioctl(fd_, TIOCSBRK); break;  // 0 on success
    case CLRBREAK: rc = ioctl(fd_, TIOCCBRK); break;
    case SETXOFF: rc = ioctl(fd_, TCXONC, TCOOFF); break;  // as if XOFF had been received
    case SETXON: rc = ioctl(fd_, TCXONC, TCOON); break;
    case RESETDEV: break;  // meaningful for printers only
    default: err = ERROR_INVALID_PARAMETER; break;
  }
  if (rc != 0) {
    int e = errno;
    if (DeviceGoneErrno(e)) MarkGone();
    err = DeviceGoneErrno(e) ? ERROR_DEVICE_NOT_CONNECTED : ErrnoToWin32(e);
  }
  if (err != ERROR_SUCCESS) {
    SetLastError(err);
    return FALSE;
  }
  return TRUE;
}

BOOL CommDevice::Purge(DWORD flags) {
  std::lock_guard<std::mutex> g(lock_);
  if (!Usable()) return FALSE;
  if ((flags & ~kAllPurge) != 0) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  if ((flags & PURGE_TXABORT) != 0) FailQueue(&writes_, ERROR_OPERATION_ABORTED, false);
  if ((flags & PURGE_RXABORT) != 0) FailQueue(&reads_, ERROR_OPERATION_ABORTED, false);
  int rc = 0;
  // TCFLSH: 0 on success.
  if ((flags & PURGE_TXCLEAR) != 0) rc |= ioctl(fd_, TCFLSH, TCOFLUSH);
  if ((flags & PURGE_RXCLEAR) != 0) {
    rc |= ioctl(fd_, TCFLSH, TCIFLUSH);
    rx_baseline_ = 0;
  }
  if (rc != 0) {
    int e = errno;
    if (DeviceGoneErrno(e)) MarkGone();
    SetLastError(DeviceGoneErrno(e) ? ERROR_DEVICE_NOT_CONNECTED : ErrnoToWin32(e));
    return FALSE;
  }
  return TRUE;
}

BOOL CommDevice::ModemStatus(DWORD* status) {
  std::lock_guard<std::mutex> g(lock_);
  if (!Usable()) return FALSE;
  if (status == nullptr) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  int lines = 0;
  // TIOCMGET: 0 on success; ENOTTY where the device has no modem lines (then all lines read as off).
  if (ioctl(fd_, TIOCMGET, &lines) != 0) {
    int e = errno;
    if (DeviceGoneErrno(e)) {
      MarkGone();
      SetLastError(ERROR_DEVICE_NOT_CONNECTED);
      return FALSE;
    }
    if (!NotOfferedErrno(e)) {
      SetLastErrorFromErrno(e);
      return FALSE;
    }
    lines = 0;
  }
  DWORD s = 0;
  if ((lines & TIOCM_CTS) != 0) s |= MS_CTS_ON;
  if ((lines & TIOCM_DSR) != 0) s |= MS_DSR_ON;
  if ((lines & TIOCM_RNG) != 0) s |= MS_RING_ON;
  if ((lines & TIOCM_CD) != 0) s |= MS_RLSD_ON;
  *status = s;
  return TRUE;
}

}  // namespace dud::posix
