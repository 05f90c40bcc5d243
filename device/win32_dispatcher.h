// The Win32 device layer of the dispatcher: TDudWin32Dispatcher fills in the
// device slots of TDudBaseDispatcher with the Windows communications functions on
// a COM device opened for overlapped I/O. It never reads or writes the device on
// the caller's thread: the read, write and status threads (io_threads.h) do, and
// the operations here move bytes between the caller and the queue and ring those
// threads serve. TDudTAPI32Dispatcher takes over a device that the telephony
// layer opened.
//
// Threads: the application thread calls every slot; the dispatcher thread calls
// ReadCom, InQueueUsed, OutBufUsed and GetComError (status reads); the write
// thread shares the output ring.
// Locks: OutputSection guards the output ring (WriteCom, OutBufUsed, the output
// part of FlushCom); InQueue has its own lock (ReadCom, InQueueUsed, the input
// part of FlushCom); DataSection guards Closing and is held by StartDispatcher
// while it creates the threads, and by CloseCom only to test and set Closing,
// never while it waits. A CloseCom that finds another one running returns at once
// on a worker thread (or on the closing thread itself) and otherwise waits until
// that close has finished, so that on return the threads and the device are gone.
#pragma once

#include <cstdint>
#include <functional>
#include <string>

#include "dispatch/base_dispatcher.h"
#include "platform/win32.h"

namespace dud {

// How long StartDispatcher waits for each new thread to report that it runs.
constexpr DWORD ThreadStartTimeout = 3000;
// How long FlushCom(0) waits for the write thread to acknowledge a flush.
constexpr DWORD FlushAckTimeout = 5000;
// How long CloseCom waits for the dispatcher thread, in ticks of 55 ms, before
// waiting the same again and then setting the thread's terminated flag.
constexpr int32_t DispThreadStopTicks = 36;

class TDudWin32Dispatcher : public TDudBaseDispatcher {
 public:
  // Creates ReadEvent; raises std::bad_alloc when the system has no event left.
  explicit TDudWin32Dispatcher(TDudResultOwner* Owner);
  // Closes the port, waits for every worker thread, then releases ReadEvent.
  ~TDudWin32Dispatcher() override;

  // ------------------------------------------------------------ the device slots

  int32_t EscapeComFunction(int32_t Func) override;
  int32_t FlushCom(int32_t Queue) override;
  int32_t GetComError(COMSTAT& Stat) override;
  int32_t ClearComEvents(uint32_t Mask) override;
  int32_t GetComState(::DCB& State) override;
  int32_t ReadCom(uint8_t* Buf, uint32_t Size) override;
  int32_t SetComState(::DCB& State) override;
  int32_t WriteCom(const uint8_t* Buf, uint32_t Size) override;
  bool ReservedQuery(uint32_t& Value) override;
  bool SetupCom(uint32_t InSize, uint32_t OutSize) override;
  // Raises Exception("Dispatcher already started.") while the threads run.
  void StartDispatcher() override;
  void StopDispatcher() override;
  uint32_t OutBufUsed() override;
  uint32_t InQueueUsed() override;
  int32_t OpenCom(const std::string& Name, uint32_t InSize, uint32_t OutSize) override;
  int32_t CloseCom() override;
  int32_t ProcessCommunications() override;

  // ------------------------------------------------------------ device-layer state

  // Wakes the read thread (auto-reset): set by the status thread on a received
  // character and by CloseCom.
  HANDLE ReadEvent = nullptr;
  // Set while CloseCom runs (DataSection), with the thread that runs it.
  bool Closing = false;
  DWORD ClosingThreadId = 0;

 private:
  // Waits until Done() holds, handling the calling thread's window messages
  // meanwhile (a worker may be blocked in a synchronous send to one of its
  // windows); with a Timer, gives up when it expires. Sleeps until a thread has
  // gone, a message arrives or 100 ms have passed; never spins. Returns Done().
  bool WaitPumping(const std::function<bool()>& Done, const TickTimer* Timer);
  // Waits until ThreadGone has cleared Field.
  bool WaitThreadCleared(const std::atomic<TDudDispatcherThread*>& Field, const TickTimer* Timer);
  // Creates one worker thread into Field and waits for its start report.
  template <class T>
  void StartThread(std::atomic<TDudDispatcherThread*>& Field);
};

// A Win32 dispatcher on a device that the telephony layer has already opened.
class TDudTAPI32Dispatcher : public TDudWin32Dispatcher {
 public:
  TDudTAPI32Dispatcher(TDudResultOwner* Owner, HANDLE Device);

  // Adopts the handle given to the constructor; fails with ecCommNotOpen (last
  // error 2007) when it is null.
  int32_t OpenCom(const std::string& Name, uint32_t InSize, uint32_t OutSize) override;
};

}  // namespace dud
