// The three worker threads that drive a COM device for a TDudWin32Dispatcher:
// the read thread moves received bytes into the dispatcher's InQueue in chunks of
// up to 256 bytes, the write thread empties the output ring onto the device, and
// the status thread waits for the device's events and reports them.
//
// All device I/O is overlapped, and every wait of these threads also ends when
// the dispatcher's StopEvent is set (SignalKillThreads, which CloseCom and a
// failing thread use), so KillThreads is noticed at once. Nothing is polled: an
// idle port sleeps, each wait bounded by IdleWaitSlice in case a stop comes
// without the event (the terminated flag, or a flag set directly).
//
// Threads: each object is created by StartDispatcher on the application thread
// and from then on belongs to its own thread, which frees it when Execute has
// ended (TDudDispatcherThread). Other threads touch it only as the base allows
// (under the dispatcher's DataSection while its thread field holds it).
// Shared state: the dispatcher's InQueue (its own lock), the output ring (the
// dispatcher's OutputSection, held only while bytes are copied, never during
// device I/O), the events, and KillThreads (atomic).
#pragma once

#include <cstdint>
#include <memory>

#include "dispatch/dispatcher_thread.h"
#include "platform/win32.h"

namespace dud {

class TDudWin32Dispatcher;

// Size of the chunks in which received bytes are queued.
constexpr int32_t ReadChunkSize = 256;

// Longest wait for an object that nothing else can cut short (a cancelled
// request, a close or flush handshake), in ms.
constexpr DWORD DeviceWaitSlice = 100;
// Longest sleep of the read thread between two looks at the driver, in ms. The
// status thread's received-character event wakes it at once; this only bounds
// the delay should that event ever be missed (idle, 5 wake-ups a second).
constexpr DWORD ReadEventBackstop = 200;

// Device events the status thread watches: received character, CTS, DSR,
// carrier detect, break, line error, ring; older (non-NT) drivers also report
// the end of a ring signal.
constexpr DWORD StatusEventMaskNT = 0x01F9;
constexpr DWORD StatusEventMaskOther = 0x21F9;
// Every watched event but the received character: worth a status item.
constexpr DWORD StatusItemEvents = 0x21F8;

// True on platforms of the NT family (GetVersionExA), where the driver toggles
// RTS for RS485 and rejects the end-of-ring event bit.
bool PlatformIsNT();

// The overlapped record of one device thread, with the word a pending
// WaitCommEvent fills in. It lives on the heap so that a request that could not
// be cancelled never writes into freed memory (see TDudWin32Thread::AbandonIo).
struct TOverlappedIo {
  OVERLAPPED Overlapped{};
  DWORD Events = 0;
};

// The common base of the three device threads.
class TDudWin32Thread : public TDudDispatcherThread {
 public:
  // Waits for the pending request of Io to complete, or until the thread is to
  // end (StopEvent, or the terminated flag or KillThreads seen after a slice of
  // IdleWaitSlice). Returns the bytes
  // transferred; 0 when the wait was stopped (the request is then cancelled);
  // ecDeviceRead when the request or the wait failed.
  virtual int32_t WaitForOverlapped(TOverlappedIo& Io);

 protected:
  explicit TDudWin32Thread(TDudWin32Dispatcher* Dispatcher);

  // The dispatcher as its device layer.
  TDudWin32Dispatcher* Device() const;
  // True once this thread is to end: its terminated flag or KillThreads.
  bool StopRequested() const;

  // Ends the thread because of a failure: sets KillThreads, which ends all four
  // threads, and takes Code as the return value unless another thread (or a
  // close) had set KillThreads already, so that one failure of the device is
  // reported once and a failure caused by closing not at all.
  void EndWithError(int32_t Code);

  // Creates the overlapped record with its event (manual reset, not signalled);
  // false when the system has no event left.
  bool CreateIo();
  // Closes the record's event and frees it, unless a request on it could not be
  // ended, in which case both are left alone on purpose.
  void ReleaseIo();

  // Cancels the pending request of Io and waits (bounded) for the cancellation to
  // complete, so that its buffer may be reused or freed. False when the request
  // did not end: then its buffer and Io must never be freed (see IoStuck).
  bool AbandonIo(TOverlappedIo& Io);

  // Completes a signalled request: the byte count, or ErrorCode on failure.
  int32_t FinishIo(TOverlappedIo& Io, int32_t ErrorCode);

  std::unique_ptr<TOverlappedIo> Io;
  // A request that could not be cancelled still owns its buffer.
  bool IoStuck = false;
};

// Moves received bytes from the device into InQueue. Sleeps on ReadEvent (set by
// the status thread on a received character, once when it has set the event
// mask, and by CloseCom) and then reads until the driver holds nothing more.
class TReadThread : public TDudWin32Thread {
 public:
  explicit TReadThread(TDudWin32Dispatcher* Dispatcher) : TDudWin32Thread(Dispatcher) {}

  // Reads up to Size bytes at once (the device returns at once with what it has).
  // Returns the count, 0 when the request was aborted or nothing was there,
  // ecDeviceRead on failure.
  int32_t ReadData(uint8_t* Buf, DWORD Size, TOverlappedIo& Io);

 protected:
  void Execute() override;
};

// Empties the output ring onto the device.
class TWriteThread : public TDudWin32Thread {
 public:
  explicit TWriteThread(TDudWin32Dispatcher* Dispatcher) : TDudWin32Thread(Dispatcher) {}

  // As the base, but also wakes on OutFlushEvent: returns -1 then (the output is
  // being flushed; the pending write is cancelled), and ecDeviceWrite on failure.
  int32_t WaitForOverlapped(TOverlappedIo& Io) override;

  // Writes everything the ring holds, copying it out first so that the ring is
  // free again before the device write starts. 0 when the ring is empty (also
  // after an abort or a flush), ecDeviceWrite on failure.
  int32_t WriteData(TOverlappedIo& Io);

 protected:
  void Execute() override;

 private:
  // The dispatcher's events, taken when the thread starts: a close that runs on
  // another thread may close them (and reset the fields) before this thread ends.
  HANDLE OutputEvent = nullptr;
  HANDLE OutFlushEvent = nullptr;
  HANDLE ReadyEvent = nullptr;
  // The block the waiting bytes are copied into, reused from round to round;
  // BlockSize bytes. Left alone (never freed) when a write on it got stuck.
  std::unique_ptr<uint8_t[]> Block;
  uint32_t BlockSize = 0;
};

// Waits for the device's events: a received character wakes the read thread,
// every other watched event becomes a TStatusBuffer in InQueue.
class TStatusThread : public TDudWin32Thread {
 public:
  explicit TStatusThread(TDudWin32Dispatcher* Dispatcher) : TDudWin32Thread(Dispatcher) {}

  // Waits for the next device event; leaves the event bits in Io.Events. Returns
  // 0 or a byte count on success (Events may then be 0: the wait was stopped or
  // the mask cleared), ecDeviceRead on failure.
  int32_t WaitComEvent(TOverlappedIo& Io);

  // The event mask set on the device.
  uint32_t EventMask = 0;

 protected:
  void Execute() override;
};

}  // namespace dud
