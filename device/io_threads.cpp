// The read, write and status threads of the Win32 device layer.
#include "device/io_threads.h"

#include <algorithm>
#include <cstring>
#include <new>

#include "device/io_queue.h"
#include "device/win32_dispatcher.h"
#include "errors/error_codes.h"

namespace dud {

namespace {

// How long a cancelled request may take to complete before it is given up
// (its memory is then never freed), in slices of DeviceWaitSlice.
constexpr int AbandonWaitSlices = 50;

}  // namespace

bool PlatformIsNT() {
  static const bool IsNT = [] {
    OSVERSIONINFOA Info{};
    Info.dwOSVersionInfoSize = sizeof(Info);
    // Returns FALSE when the version cannot be read; take the NT family then.
    if (!GetVersionExA(&Info)) return true;
    return Info.dwPlatformId == VER_PLATFORM_WIN32_NT;
  }();
  return IsNT;
}

// ---------------------------------------------------------------- TDudWin32Thread

TDudWin32Thread::TDudWin32Thread(TDudWin32Dispatcher* Dispatcher) : TDudDispatcherThread(Dispatcher) {}

TDudWin32Dispatcher* TDudWin32Thread::Device() const { return static_cast<TDudWin32Dispatcher*>(Dispatcher); }

bool TDudWin32Thread::StopRequested() const { return Terminated() || Dispatcher->KillThreads.load(); }

void TDudWin32Thread::EndWithError(int32_t Code) {
  if (!Dispatcher->SignalKillThreads()) ReturnValue = Code;
}

bool TDudWin32Thread::CreateIo() {
  Io = std::make_unique<TOverlappedIo>();
  // Manual reset, not signalled, unnamed; null when the system has no event left.
  Io->Overlapped.hEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  return Io->Overlapped.hEvent != nullptr;
}

void TDudWin32Thread::ReleaseIo() {
  if (!Io) return;
  if (IoStuck) {
    // The device may still complete into this record: leave it and its event alone.
    (void)Io.release();
    return;
  }
  if (Io->Overlapped.hEvent != nullptr) CloseHandle(Io->Overlapped.hEvent);
  Io.reset();
}

int32_t TDudWin32Thread::FinishIo(TOverlappedIo& Io, int32_t ErrorCode) {
  DWORD Count = 0;
  // Returns FALSE with the request's error (995 when it was aborted) as the last error.
  if (!GetOverlappedResult(Device()->ComHandle, &Io.Overlapped, &Count, TRUE)) return ErrorCode;
  ResetEvent(Io.Overlapped.hEvent);
  return static_cast<int32_t>(Count);
}

bool TDudWin32Thread::AbandonIo(TOverlappedIo& Io) {
  const DWORD SavedError = GetLastError();
  // Ends this thread's pending requests; they complete with 995 and set their event.
  CancelIo(Device()->ComHandle);
  bool Done = false;
  for (int I = 0; I < AbandonWaitSlices && !Done; ++I) {
    const DWORD R = WaitForSingleObject(Io.Overlapped.hEvent, DeviceWaitSlice);
    if (R == WAIT_OBJECT_0)
      Done = true;
    else if (R != WAIT_TIMEOUT)
      break;
  }
  if (Done) {
    DWORD Count = 0;
    GetOverlappedResult(Device()->ComHandle, &Io.Overlapped, &Count, FALSE);
    ResetEvent(Io.Overlapped.hEvent);
  } else {
    IoStuck = true;
  }
  SetLastError(SavedError);
  return Done;
}

int32_t TDudWin32Thread::WaitForOverlapped(TOverlappedIo& Io) {
  const HANDLE Event = Io.Overlapped.hEvent;
  DWORD R;
  do {
    // A stop ends the wait as a time-out does.
    R = Dispatcher->WaitOrStop(1, &Event, IdleWaitSlice);
  } while (R == WAIT_TIMEOUT && !StopRequested());
  if (R == WAIT_OBJECT_0) return FinishIo(Io, ecDeviceRead);
  // Stopped, or the wait failed: the request must not outlive the buffer it fills.
  AbandonIo(Io);
  if (R == WAIT_TIMEOUT) return 0;
  return ecDeviceRead;
}

// ---------------------------------------------------------------- TReadThread

int32_t TReadThread::ReadData(uint8_t* Buf, DWORD Size, TOverlappedIo& Io) {
  TDudWin32Dispatcher* D = Device();
  DWORD Count = 0;
  // TRUE when the read finished at once (with the read time-outs set, it always does).
  if (ReadFile(D->ComHandle, Buf, Size, &Count, &Io.Overlapped)) return static_cast<int32_t>(Count);
  if (GetLastError() != ERROR_IO_PENDING) return ecDeviceRead;
  const int32_t R = WaitForOverlapped(Io);
  if (R < 0 && GetLastError() == ERROR_OPERATION_ABORTED) return 0;
  return R;
}

void TReadThread::Execute() {
  TDudWin32Dispatcher* D = Device();
  D->ThreadStarted();
  std::unique_ptr<TDataBuffer> Buffer;
  // A new chunk for the next read; on failure the thread ends with ecTapiNoMem.
  auto NewBuffer = [&]() -> bool {
    try {
      Buffer = std::make_unique<TDataBuffer>(ReadChunkSize);
      return true;
    } catch (const std::exception&) {
      Buffer.reset();
      EndWithError(ecTapiNoMem);
      return false;
    }
  };

  if (!CreateIo()) {
    EndWithError(ecTapiNoMem);
  } else {
    // Reads return at once with whatever the driver holds.
    COMMTIMEOUTS Timeouts{MAXDWORD, 0, 0, 0, 0};
    SetCommTimeouts(D->ComHandle, &Timeouts);

    const HANDLE Objects[1] = {D->ReadEvent};
    // The first round reads what the driver already holds.
    bool First = true;
    while (!StopRequested()) {
      // The status thread sets ReadEvent for every received character (and once
      // after it has set the event mask, for bytes that came before); a stop ends
      // the wait as a time-out does.
      const DWORD W = First ? WAIT_OBJECT_0 : D->WaitOrStop(1, Objects, ReadEventBackstop);
      First = false;
      if (W != WAIT_OBJECT_0 && W != WAIT_TIMEOUT) {
        EndWithError(ecDeviceRead);
        break;
      }
      if (StopRequested()) break;
      if (!Buffer && !NewBuffer()) break;
      int32_t N = ReadData(Buffer->Data.get(), ReadChunkSize, *Io);
      // Read until the driver has nothing more; a peer that never pauses must not
      // keep the thread from seeing that it is to end.
      while (N > 0) {
        Buffer->Filled = N;
        D->InQueue.Push(std::move(Buffer));
        if (StopRequested() || !NewBuffer()) break;
        N = ReadData(Buffer->Data.get(), ReadChunkSize, *Io);
      }
      if (N < 0) {
        if (GetLastError() == ERROR_INVALID_HANDLE)
          D->SignalKillThreads();  // the device was closed under the thread: no error of its own
        else
          EndWithError(ecDeviceRead);
        break;
      }
      if (!Buffer) break;  // no memory for the next chunk, or told to end
    }
  }
  if (IoStuck) (void)Buffer.release();  // a read that could not be cancelled still fills it
  ReleaseIo();
  Buffer.reset();
  D->ThreadGone(this);
}

// ---------------------------------------------------------------- TWriteThread

int32_t TWriteThread::WaitForOverlapped(TOverlappedIo& Io) {
  const HANDLE Objects[2] = {Io.Overlapped.hEvent, OutFlushEvent};
  DWORD R;
  do {
    R = Device()->WaitOrStop(2, Objects, IdleWaitSlice);
  } while (R == WAIT_TIMEOUT && !StopRequested());
  if (R == WAIT_OBJECT_0) return FinishIo(Io, ecDeviceWrite);
  AbandonIo(Io);
  if (R == WAIT_OBJECT_0 + 1) return -1;
  // Told to end: the write was abandoned by us, which is no failure of the device.
  if (R == WAIT_TIMEOUT) SetLastError(ERROR_OPERATION_ABORTED);
  return ecDeviceWrite;
}

int32_t TWriteThread::WriteData(TOverlappedIo& Io) {
  TDudWin32Dispatcher* D = Device();
  for (;;) {
    uint32_t Len = 0;
    {
      std::lock_guard<std::recursive_mutex> Guard(D->OutputSection);
      if (!D->OBufFull && D->OBufHead == D->OBufTail) return 0;
      if (!D->OutBuffer || D->OutQue == 0) return 0;
      Len = D->OutBufUsed();
      if (Len > BlockSize) {
        // Room for a whole ring, kept for the next rounds: a busy line would
        // otherwise allocate and free a block for every round.
        const uint32_t Size = std::max(Len, D->OutQue);
        Block.reset(new (std::nothrow) uint8_t[Size]);
        BlockSize = Block ? Size : 0;
      }
      if (!Block) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return ecDeviceWrite;
      }
      const uint8_t* Ring = D->OutBuffer.get();
      if (D->OBufTail < D->OBufHead) {
        std::memcpy(Block.get(), Ring + D->OBufTail, Len);
      } else {
        // From the tail to the end of the ring, then from index 0 up to the head
        // (the whole ring when it is full).
        const uint32_t First = D->OutQue - D->OBufTail;
        std::memcpy(Block.get(), Ring + D->OBufTail, First);
        std::memcpy(Block.get() + First, Ring, D->OBufHead);
      }
      D->OBufHead = D->OBufTail = 0;
      D->OBufFull = false;
    }

    uint32_t Done = 0;
    while (Done < Len) {
      DWORD N = 0;
      int32_t Written;
      // TRUE when the write finished at once; FALSE with 997 while it runs on.
      if (WriteFile(D->ComHandle, Block.get() + Done, Len - Done, &N, &Io.Overlapped)) {
        Written = static_cast<int32_t>(N);
      } else {
        if (GetLastError() != ERROR_IO_PENDING) return ecDeviceWrite;
        Written = WaitForOverlapped(Io);
        if (IoStuck) {
          (void)Block.release();  // the device still reads from it
          BlockSize = 0;
        }
        if (Written == ecDeviceWrite) return GetLastError() == ERROR_OPERATION_ABORTED ? 0 : ecDeviceWrite;
        if (Written == -1) {
          // Flushed: the rest of this block is dropped; acknowledge for FlushCom.
          SetEvent(ReadyEvent);
          return 0;
        }
      }
      if (Written == 0) {
        // Without write time-outs a write never ends with nothing written; retrying
        // would only spin.
        SetLastError(ERROR_WRITE_FAULT);
        return ecDeviceWrite;
      }
      Done += static_cast<uint32_t>(Written);
    }

    // RS485 direction control where the driver cannot toggle RTS itself: lower RTS
    // once the UART's transmitter is empty (PutBlock raised it).
    if (!PlatformIsNT() && D->RS485Mode.load() && D->BaseAddress != 0) {
      while ((D->ReadPortByte(static_cast<uint16_t>(D->BaseAddress + 5)) & 0x40) == 0 && !StopRequested()) Sleep(1);
      D->SetRTS(false);
    }
  }
}

void TWriteThread::Execute() {
  TDudWin32Dispatcher* D = Device();
  // Set before StartDispatcher created this thread (which holds DataSection
  // meanwhile, so it cannot be taken here).
  OutputEvent = D->OutputEvent;
  OutFlushEvent = D->OutFlushEvent;
  ReadyEvent = D->ReadyEvent;
  D->ThreadStarted();
  if (!CreateIo()) {
    EndWithError(ecTapiNoMem);
  } else {
    const HANDLE Objects[2] = {OutputEvent, OutFlushEvent};
    while (!StopRequested()) {
      // A stop ends the wait as a time-out does.
      const DWORD R = D->WaitOrStop(2, Objects, IdleWaitSlice);
      if (R == WAIT_OBJECT_0) {
        if (D->KillThreads.load()) continue;
        if (WriteData(*Io) != 0) {
          if (GetLastError() == ERROR_INVALID_HANDLE)
            D->SignalKillThreads();
          else
            EndWithError(ecDeviceWrite);
        }
      } else if (R == WAIT_OBJECT_0 + 1) {
        SetEvent(ReadyEvent);  // a flush seen: FlushCom goes on
      } else if (R != WAIT_TIMEOUT) {
        EndWithError(ecDeviceWrite);
        break;
      }
    }
  }
  ReleaseIo();
  D->ThreadGone(this);
}

// ---------------------------------------------------------------- TStatusThread

int32_t TStatusThread::WaitComEvent(TOverlappedIo& Io) {
  TDudWin32Dispatcher* D = Device();
  Io.Events = 0;
  // TRUE when an event was already waiting; FALSE with 997 while the wait runs on.
  if (WaitCommEvent(D->ComHandle, &Io.Events, &Io.Overlapped)) return 0;
  DWORD Err = GetLastError();
  if (Err == ERROR_INVALID_PARAMETER && (EventMask & EV_RINGTE) != 0) {
    // A driver that does not know the end-of-ring event: watch the others.
    EventMask &= ~EV_RINGTE;
    SetCommMask(D->ComHandle, EventMask);
    Io.Events = 0;
    if (WaitCommEvent(D->ComHandle, &Io.Events, &Io.Overlapped)) return 0;
    Err = GetLastError();
  }
  if (Err == ERROR_IO_PENDING) return WaitForOverlapped(Io);
  SetLastError(Err);
  return ecDeviceRead;
}

void TStatusThread::Execute() {
  TDudWin32Dispatcher* D = Device();
  D->ThreadStarted();
  if (!CreateIo()) {
    EndWithError(ecTapiNoMem);
  } else {
    EventMask = PlatformIsNT() ? StatusEventMaskNT : StatusEventMaskOther;
    SetCommMask(D->ComHandle, EventMask);
    // Bytes that came before the mask was set are no news to the device; the read
    // thread, which sleeps until told, takes them now.
    SetEvent(D->ReadEvent);
    while (!StopRequested()) {
      const int32_t R = WaitComEvent(*Io);
      if (R < 0) {
        if (GetLastError() == ERROR_INVALID_HANDLE)
          D->SignalKillThreads();
        else
          EndWithError(R);
        break;
      }
      const DWORD Events = Io->Events;
      if ((Events & EV_RXCHAR) != 0) SetEvent(D->ReadEvent);
      if ((Events & StatusItemEvents) != 0) {
        std::unique_ptr<TStatusBuffer> Status(new (std::nothrow) TStatusBuffer());
        if (!Status) {
          EndWithError(ecTapiNoMem);
          break;
        }
        Status->Status = Events;
        D->InQueue.Push(std::move(Status));
      }
    }
  }
  ReleaseIo();
  D->ThreadGone(this);
}

}  // namespace dud
