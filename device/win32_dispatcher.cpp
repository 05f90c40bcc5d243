// The Win32 device layer: the device slots of the dispatcher on a COM device
// opened for overlapped I/O, and the start and stop of its worker threads.
#include "device/win32_dispatcher.h"

#include <algorithm>
#include <cstring>
#include <new>

#include "device/io_threads.h"
#include "device/message_pump.h"
#include "device/timing.h"
#include "errors/error_codes.h"
#include "errors/exceptions.h"

namespace dud {

namespace {

// The code of a failed system call: its negated last error, or Fallback when the
// call left no reason.
int32_t FailureCode(int32_t Fallback) {
  const DWORD Err = GetLastError();
  if (Err == 0) return Fallback;
  return -static_cast<int32_t>(Err & 0x7FFFFFFF);
}

}  // namespace

// ---------------------------------------------------------------- construction

TDudWin32Dispatcher::TDudWin32Dispatcher(TDudResultOwner* Owner) : TDudBaseDispatcher(Owner) {
  // Auto-reset, not signalled, unnamed; null when the system has no event left.
  ReadEvent = CreateEventA(nullptr, FALSE, FALSE, nullptr);
  if (ReadEvent == nullptr) throw std::bad_alloc();
}

TDudWin32Dispatcher::~TDudWin32Dispatcher() {
  // Destroy returns only when every worker thread has gone, so nothing uses
  // ReadEvent any more.
  Destroy();
  if (ReadEvent != nullptr) CloseHandle(ReadEvent);
  ReadEvent = nullptr;
}

// ---------------------------------------------------------------- simple slots

int32_t TDudWin32Dispatcher::EscapeComFunction(int32_t Func) {
  // Returns FALSE when the device refuses the function.
  if (!EscapeCommFunction(ComHandle, static_cast<DWORD>(Func))) return FailureCode(-1);
  return ecOK;
}

int32_t TDudWin32Dispatcher::ClearComEvents(uint32_t) { return ecOK; }

int32_t TDudWin32Dispatcher::GetComState(::DCB& State) {
  State.DCBlength = sizeof(::DCB);
  // Nonzero on success.
  return GetCommState(ComHandle, &State) ? 0 : -1;
}

int32_t TDudWin32Dispatcher::SetComState(::DCB& State) {
  State.DCBlength = sizeof(::DCB);
  // Nonzero on success; 87 when the device cannot do what State asks.
  if (!SetCommState(ComHandle, &State)) return FailureCode(-1);
  return ecOK;
}

bool TDudWin32Dispatcher::ReservedQuery(uint32_t& Value) {
  Value = 0;
  return true;
}

bool TDudWin32Dispatcher::SetupCom(uint32_t InSize, uint32_t OutSize) {
  // Nonzero on success.
  return SetupComm(ComHandle, InSize, OutSize) != FALSE;
}

int32_t TDudWin32Dispatcher::ProcessCommunications() {
  Sleep(0);
  return ecOK;
}

int32_t TDudWin32Dispatcher::OpenCom(const std::string& Name, uint32_t, uint32_t) {
  // Read and write access, no sharing, open existing, overlapped I/O. Returns
  // INVALID_HANDLE_VALUE with the reason in the last error (2 missing, 5 in use).
  HANDLE H = CreateFileA(Name.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                         FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OVERLAPPED, nullptr);
  if (H == INVALID_HANDLE_VALUE) return -1;
  ComHandle = H;
  return 0;
}

// ---------------------------------------------------------------- input

int32_t TDudWin32Dispatcher::ReadCom(uint8_t* Buf, uint32_t Size) {
  uint32_t Got = 0;
  while (Got < Size) {
    TIOBuffer* Head = InQueue.Peek();
    if (Head == nullptr) break;
    auto* Data = dynamic_cast<TDataBuffer*>(Head);
    if (Data == nullptr) {
      // A status item holds back the data behind it until the dispatcher has taken it.
      Head->Locked.store(false);
      break;
    }
    const uint32_t Unread = static_cast<uint32_t>(Data->Filled - Data->Consumed);
    const uint32_t Take = std::min(Size - Got, Unread);
    std::memcpy(Buf + Got, Data->Data.get() + Data->Consumed, Take);
    Data->Consumed += static_cast<int32_t>(Take);
    Got += Take;
    if (Data->Consumed >= Data->Filled)
      InQueue.Pop();  // the peeked head, freed here
    else
      Data->Locked.store(false);
  }
  return static_cast<int32_t>(Got);
}

uint32_t TDudWin32Dispatcher::InQueueUsed() {
  TIOBuffer* Head = InQueue.Peek();
  if (Head == nullptr) return 0;
  uint32_t Used = 0;
  if (auto* Data = dynamic_cast<TDataBuffer*>(Head)) Used = static_cast<uint32_t>(Data->Filled - Data->Consumed);
  Head->Locked.store(false);
  return Used;
}

// ---------------------------------------------------------------- output

int32_t TDudWin32Dispatcher::WriteCom(const uint8_t* Buf, uint32_t Size) {
  {
    std::lock_guard<std::recursive_mutex> Guard(OutputSection);
    // PutBlock made sure the bytes fit; a caller that did not gets nothing written
    // rather than a ring overrun.
    if (!OutBuffer || Size > OutQue || OBufHead >= OutQue) return 0;
    const uint32_t First = std::min(Size, OutQue - OBufHead);
    std::memcpy(OutBuffer.get() + OBufHead, Buf, First);
    if (First < Size) {
      std::memcpy(OutBuffer.get(), Buf + First, Size - First);
      OBufHead = Size - First;
    } else {
      OBufHead += Size;
      if (OBufHead == OutQue) OBufHead = 0;
    }
  }
  if (OutputEvent != INVALID_HANDLE_VALUE) SetEvent(OutputEvent);
  return static_cast<int32_t>(Size);
}

uint32_t TDudWin32Dispatcher::OutBufUsed() {
  std::lock_guard<std::recursive_mutex> Guard(OutputSection);
  if (OBufFull) return OutQue;
  if (OBufTail < OBufHead) return OBufHead - OBufTail;
  if (OBufTail > OBufHead) return OutQue - OBufTail + OBufHead;
  return 0;
}

int32_t TDudWin32Dispatcher::FlushCom(int32_t Queue) {
  if (Queue == 0) {
    if (OutThread.load() == nullptr) return ecOK;
    {
      std::lock_guard<std::recursive_mutex> Guard(OutputSection);
      OBufHead = OBufTail = 0;
      OBufFull = false;
    }
    HANDLE Flush, Ready;
    {
      // The dispatcher thread closes the events when it ends after a deferred close (DonePort).
      std::lock_guard<std::recursive_mutex> Guard(DataSection);
      Flush = OutFlushEvent;
      Ready = ReadyEvent;
    }
    // Aborts a running write and discards what the driver still holds.
    const int32_t Result = PurgeComm(ComHandle, PURGE_TXABORT | PURGE_TXCLEAR) ? ecOK : FailureCode(-1);
    SetEvent(Flush);
    // The write thread acknowledges on ReadyEvent; a thread that ends meanwhile never will.
    for (DWORD Waited = 0; Waited < FlushAckTimeout && OutThread.load() != nullptr; Waited += DeviceWaitSlice)
      if (WaitForSingleObject(Ready, DeviceWaitSlice) != WAIT_TIMEOUT) break;
    return Result;
  }
  if (Queue == 1) {
    const int32_t Result = PurgeComm(ComHandle, PURGE_RXABORT | PURGE_RXCLEAR) ? ecOK : FailureCode(-1);
    InQueue.Clear();
    return Result;
  }
  return ecBadArgument;
}

int32_t TDudWin32Dispatcher::GetComError(COMSTAT& Stat) {
  DWORD Errors = 0;
  // Nonzero on success, with the error bits since the last call.
  const int32_t Result = ClearCommError(ComHandle, &Errors, &Stat) ? static_cast<int32_t>(Errors) : 0;
  // The base wants the bytes still in its own output ring, not the driver's count.
  Stat.cbOutQue = OutBufUsed();
  return Result;
}

// ---------------------------------------------------------------- threads

template <class T>
void TDudWin32Dispatcher::StartThread(std::atomic<TDudDispatcherThread*>& Field) {
  if (!TDudDispatcherThread::Launch<T>(Field, this)) return;
  // The new thread reports on ReadyEvent as it starts; one that does not report
  // in time is not waited for any longer.
  WaitForSingleObject(ReadyEvent, ThreadStartTimeout);
}

void TDudWin32Dispatcher::StartDispatcher() {
  std::lock_guard<std::recursive_mutex> Guard(DataSection);
  if (ThreadsActive.load()) throw Exception("Dispatcher already started.");
  ThreadsActive.store(true);
  ClearKillThreads();
  StartThread<TReadThread>(ComThread);
  StartThread<TDispThread>(DispThread);
  StartThread<TWriteThread>(OutThread);
  StartThread<TStatusThread>(StatusThread);
}

bool TDudWin32Dispatcher::WaitPumping(const std::function<bool()>& Done, const TickTimer* Timer) {
  // ThreadGone signals ThreadGoneEvent after it has cleared the thread's field and
  // uncounted it, so that is what the waits below sleep on.
  std::shared_ptr<void> Gone = ThreadGoneEvent;
  bool QuitSeen = false;
  while (!Done()) {
    if (Timer != nullptr && TickTimerExpired(*Timer)) return false;
    HANDLE Objects[1] = {Gone.get()};
    // A quit request stays queued for the main loop; once one is seen, only sent
    // messages can wake the wait, or it would find the queue non-empty forever.
    const DWORD Mask = QuitSeen ? QS_SENDMESSAGE : QS_ALLINPUT;
    const DWORD R = MsgWaitForMultipleObjects(1, Objects, FALSE, DeviceWaitSlice, Mask);
    if (R == WAIT_OBJECT_0 + 1 && !QuitSeen) {
      PumpOneMessage();
      MSG Msg{};
      if (PeekMessageA(&Msg, nullptr, WM_QUIT, WM_QUIT, PM_NOREMOVE)) QuitSeen = true;
    } else if (R == WAIT_FAILED) {
      Sleep(10);  // keeps the wait bounded and cheap should the event be unusable
    }
  }
  return true;
}

bool TDudWin32Dispatcher::WaitThreadCleared(const std::atomic<TDudDispatcherThread*>& Field, const TickTimer* Timer) {
  return WaitPumping([&Field] { return Field.load() == nullptr; }, Timer);
}

int32_t TDudWin32Dispatcher::CloseCom() {
  // The dispatcher thread closes the port itself when it ends after a deferred
  // close (DonePort from ThreadGone), so two closes can meet.
  const bool OnWorker = TDudDispatcherThread::Current() != nullptr;
  bool Running = false;
  {
    std::lock_guard<std::recursive_mutex> Guard(DataSection);
    if (Closing) {
      // A worker, or the closing thread itself (from a message handled while it
      // waits), must not wait for the running close.
      if (OnWorker || ClosingThreadId == GetCurrentThreadId()) return ecOK;
      Running = true;
    } else {
      Closing = true;
      ClosingThreadId = GetCurrentThreadId();
    }
  }
  if (Running) {
    // The application thread returns only when the threads are stopped and the
    // device closed, as after a close of its own.
    WaitPumping(
        [this] {
          std::lock_guard<std::recursive_mutex> Guard(DataSection);
          return !Closing;
        },
        nullptr);
    return ecOK;
  }
  struct TClearClosing {
    TDudWin32Dispatcher* D;
    ~TClearClosing() {
      std::lock_guard<std::recursive_mutex> Guard(D->DataSection);
      D->Closing = false;
      D->ClosingThreadId = 0;
    }
  } ClearClosing{this};

  if (ThreadsActive.load()) {
    HANDLE Flush, Ready;
    {
      // Taken before the threads are told to end: after a deferred close the
      // dispatcher thread closes the events when it ends (DonePort), possibly
      // before the other threads have gone.
      std::lock_guard<std::recursive_mutex> Guard(DataSection);
      Flush = OutFlushEvent;
      Ready = ReadyEvent;
    }
    // Wakes every worker at once; the steps below are each thread's own stop
    // signal as well, in the order in which the threads are waited for.
    SignalKillThreads();
    if (StatusThread.load() != nullptr) {
      SetCommMask(ComHandle, 0);  // completes the status thread's pending event wait
      WaitThreadCleared(StatusThread, nullptr);
    }
    if (OutThread.load() != nullptr) {
      SetEvent(Flush);  // a closed handle just fails: its thread is ending anyway
      WaitThreadCleared(OutThread, nullptr);
    }
    if (ComThread.load() != nullptr) {
      SetEvent(ReadEvent);
      ResetEvent(Ready);  // drops the write thread's acknowledgement of the flush above
      WaitThreadCleared(ComThread, nullptr);
    }
    if (DispThread.load() != nullptr) {
      TickTimer Timer;
      StartTickTimer(Timer, DispThreadStopTicks);
      if (!WaitThreadCleared(DispThread, &Timer)) {
        StartTickTimer(Timer, DispThreadStopTicks);
        if (!WaitThreadCleared(DispThread, &Timer)) {
          {
            // The thread object may be touched only while its field holds it.
            std::lock_guard<std::recursive_mutex> Guard(DataSection);
            if (TDudDispatcherThread* Thread = DispThread.load()) Thread->Terminate();
          }
          WaitThreadCleared(DispThread, nullptr);
        }
      }
    }
    // The fields clear before the last steps of ThreadGone (the dispatcher thread
    // may still be running DonePort); a thread that is not a worker waits for
    // those too, so that nothing of the threads overlaps what follows.
    if (!OnWorker) WaitPumping([this] { return ActiveThreads.load() == 0; }, nullptr);
  }

  if (ComHandle == INVALID_HANDLE_VALUE) return ecOK;
  // Nonzero on success.
  if (!CloseHandle(ComHandle)) return -1;
  ComHandle = INVALID_HANDLE_VALUE;
  return ecOK;
}

void TDudWin32Dispatcher::StopDispatcher() {
  if (ThreadsActive.load()) CloseCom();
  std::lock_guard<std::recursive_mutex> Guard(DataSection);
  for (HANDLE* H : {&ComEvent, &DispatchedEvent, &ReadyEvent, &OutputEvent, &SentEvent, &OutFlushEvent}) {
    if (*H == INVALID_HANDLE_VALUE) continue;
    // Nonzero on success; a handle that did not close keeps its value.
    if (*H == nullptr || CloseHandle(*H)) *H = INVALID_HANDLE_VALUE;
  }
  for (HANDLE& H : OutWaitObjects1) H = INVALID_HANDLE_VALUE;
  for (HANDLE& H : OutWaitObjects2) H = INVALID_HANDLE_VALUE;
}

// ---------------------------------------------------------------- TDudTAPI32Dispatcher

TDudTAPI32Dispatcher::TDudTAPI32Dispatcher(TDudResultOwner* Owner, HANDLE Device) : TDudWin32Dispatcher(Owner) {
  ComHandle = Device;
}

int32_t TDudTAPI32Dispatcher::OpenCom(const std::string&, uint32_t, uint32_t) {
  if (ComHandle == nullptr || ComHandle == INVALID_HANDLE_VALUE) {
    // Nothing to adopt; a null handle must not be closed as if it were a device.
    ComHandle = INVALID_HANDLE_VALUE;
    SetLastError(static_cast<DWORD>(-ecCommNotOpen));
    return ecCommNotOpen;
  }
  return 0;
}

}  // namespace dud
