// A test double of the device slots: an in-memory device with a DCB, an output
// ring filled by WriteCom, received bytes fed through InQueue, and switches that
// make single slots fail. It lets the core's tests reach cases a real port cannot
// show (a failing open, a full dispatch ring, a write that fails).
//
// Threads: the test thread drives it; with RunDispThread a real TDispThread runs
// the dispatcher's event loop and calls ReadCom, InQueueUsed, OutBufUsed and
// GetComError from its own thread.
#pragma once

#include <algorithm>
#include <atomic>
#include <cstring>
#include <string>
#include <vector>

#include "device/message_pump.h"
#include "dispatch/base_dispatcher.h"
#include "platform/win32.h"

namespace dud::test {

class FakeDevice : public TDudBaseDispatcher {
 public:
  explicit FakeDevice(TDudResultOwner* Owner = nullptr) : TDudBaseDispatcher(Owner) {
    Device.DCBlength = sizeof(::DCB);
    Device.BaudRate = 9600;
    Device.ByteSize = 8;
    Device.Parity = NOPARITY;
    Device.StopBits = ONESTOPBIT;
  }
  ~FakeDevice() override { Destroy(); }

  // ------------------------------------------------------------ switches and records

  ::DCB Device{};                  // the "hardware" state
  bool FailOpen = false;           // OpenCom fails with last error 2
  bool OpenOutOfMemory = false;    // OpenCom returns -8
  bool FailSetup = false;          // SetupCom fails with last error 87
  bool FailGetState = false;       // GetComState fails with last error 31
  int32_t SetStateResult = 0;      // non-zero: SetComState returns it and changes nothing
  int32_t EscapeResult = 0;        // returned by EscapeComFunction
  bool WriteFails = false;         // WriteCom returns 0
  bool RunDispThread = false;      // StartDispatcher launches a real TDispThread
  std::atomic<uint32_t> ErrorBits{0};  // reported (and cleared) by the next GetComError

  int SetStateCount = 0;
  int OpenCount = 0;
  int CloseCount = 0;
  int StartCount = 0;
  int StopCount = 0;
  std::vector<int32_t> Escapes;
  std::vector<uint32_t> ReadRequests;  // Size of every ReadCom call
  std::string Written;                 // every byte WriteCom accepted

  // Queues Bytes as one received data item (at most 256 bytes per item, as the
  // read thread cuts them).
  void Receive(const std::string& Bytes) {
    for (size_t At = 0; At < Bytes.size(); At += 256) {
      const size_t N = std::min<size_t>(256, Bytes.size() - At);
      auto Buffer = std::make_unique<TDataBuffer>(256);
      std::memcpy(Buffer->Data.get(), Bytes.data() + At, N);
      Buffer->Filled = static_cast<int32_t>(N);
      InQueue.Push(std::move(Buffer));
    }
  }
  // Queues a device status event word.
  void Status(uint32_t Events) {
    auto Buffer = std::make_unique<TStatusBuffer>();
    Buffer->Status = Events;
    InQueue.Push(std::move(Buffer));
  }
  // Opens with 1200-8-N-1, DTR and RTS raised.
  int32_t Open(uint32_t InSize = 4096, uint32_t OutSize = 64) {
    return InitPort("\\\\.\\COM7", 1200, 0, 8, 1, InSize, OutSize, ipRaiseDTR | ipRaiseRTS);
  }
  bool EventsClosed() const {
    for (HANDLE H : {ComEvent, DispatchedEvent, ReadyEvent, OutputEvent, SentEvent, OutFlushEvent})
      if (H != INVALID_HANDLE_VALUE) return false;
    return true;
  }

  // ------------------------------------------------------------ the slots

  int32_t EscapeComFunction(int32_t Func) override {
    Escapes.push_back(Func);
    return EscapeResult;
  }
  int32_t FlushCom(int32_t Queue) override {
    if (Queue == 0) {
      std::lock_guard<std::recursive_mutex> Guard(OutputSection);
      OBufHead = OBufTail = 0;
      OBufFull = false;
    } else {
      InQueue.Clear();
    }
    return 0;
  }
  int32_t GetComError(COMSTAT& Stat) override {
    Stat.cbOutQue = OutBufUsed();
    return static_cast<int32_t>(ErrorBits.exchange(0));
  }
  int32_t ClearComEvents(uint32_t) override { return 0; }
  int32_t GetComState(::DCB& State) override {
    if (FailGetState) {
      SetLastError(31);
      return -1;
    }
    State = Device;
    return 0;
  }
  int32_t ReadCom(uint8_t* Buf, uint32_t Size) override {
    ReadRequests.push_back(Size);
    uint32_t Got = 0;
    while (Got < Size) {
      TIOBuffer* Head = InQueue.Peek();
      if (Head == nullptr) break;
      auto* Data = dynamic_cast<TDataBuffer*>(Head);
      if (Data == nullptr) {
        Head->Locked.store(false);
        break;
      }
      const uint32_t Take = std::min(Size - Got, static_cast<uint32_t>(Data->Filled - Data->Consumed));
      std::memcpy(Buf + Got, Data->Data.get() + Data->Consumed, Take);
      Data->Consumed += static_cast<int32_t>(Take);
      Got += Take;
      if (Data->Consumed >= Data->Filled)
        InQueue.Pop();
      else
        Data->Locked.store(false);
    }
    return static_cast<int32_t>(Got);
  }
  int32_t SetComState(::DCB& State) override {
    if (SetStateResult != 0) return SetStateResult;
    Device = State;
    ++SetStateCount;
    return 0;
  }
  int32_t WriteCom(const uint8_t* Buf, uint32_t Size) override {
    if (WriteFails) return 0;
    std::lock_guard<std::recursive_mutex> Guard(OutputSection);
    for (uint32_t I = 0; I < Size; ++I) {
      OutBuffer[OBufHead] = Buf[I];
      OBufHead = OBufHead + 1 == OutQue ? 0 : OBufHead + 1;
    }
    Written.append(reinterpret_cast<const char*>(Buf), Size);
    return static_cast<int32_t>(Size);
  }
  bool ReservedQuery(uint32_t& Value) override {
    Value = 0;
    return true;
  }
  bool SetupCom(uint32_t, uint32_t) override {
    if (FailSetup) SetLastError(87);
    return !FailSetup;
  }
  void StartDispatcher() override {
    ++StartCount;
    ThreadsActive.store(true);
    ClearKillThreads();
    if (RunDispThread) {
      std::lock_guard<std::recursive_mutex> Guard(DataSection);
      TDudDispatcherThread::Launch<TDispThread>(DispThread, this);
      WaitForSingleObject(ReadyEvent, 3000);
    }
  }
  void StopDispatcher() override {
    ++StopCount;
    if (ThreadsActive.load()) CloseCom();
    if (!RunDispThread) ThreadsActive.store(false);
  }
  uint32_t OutBufUsed() override {
    std::lock_guard<std::recursive_mutex> Guard(OutputSection);
    if (OBufFull) return OutQue;
    if (OBufTail < OBufHead) return OBufHead - OBufTail;
    if (OBufTail > OBufHead) return OutQue - OBufTail + OBufHead;
    return 0;
  }
  uint32_t InQueueUsed() override {
    TIOBuffer* Head = InQueue.Peek();
    if (Head == nullptr) return 0;
    uint32_t Used = 0;
    if (auto* Data = dynamic_cast<TDataBuffer*>(Head)) Used = static_cast<uint32_t>(Data->Filled - Data->Consumed);
    Head->Locked.store(false);
    return Used;
  }
  int32_t OpenCom(const std::string&, uint32_t, uint32_t) override {
    ++OpenCount;
    if (OpenOutOfMemory) return -8;
    if (FailOpen) {
      SetLastError(2);
      return -1;
    }
    ComHandle = reinterpret_cast<HANDLE>(static_cast<intptr_t>(0x7000));  // never a real handle
    return 0;
  }
  int32_t CloseCom() override {
    ++CloseCount;
    if (ThreadsActive.load()) {
      SignalKillThreads();
      // Waits for the dispatcher thread as the device layer does: handling this
      // thread's messages, bounded per round.
      while (DispThread.load() != nullptr && TDudDispatcherThread::Current() != DispThread.load()) {
        HANDLE Gone = ThreadGoneEvent.get();
        if (MsgWaitForMultipleObjects(1, &Gone, FALSE, 100, QS_ALLINPUT) == WAIT_OBJECT_0 + 1) PumpOneMessage();
      }
    }
    ComHandle = INVALID_HANDLE_VALUE;
    return 0;
  }
  int32_t ProcessCommunications() override {
    Sleep(0);
    return 0;
  }
};

}  // namespace dud::test
