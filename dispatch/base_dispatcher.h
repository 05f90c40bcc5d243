// TDudBaseDispatcher: the device-independent core of the serial stack. One exists
// per open port. It owns the line settings (a DCB), the output ring that the write
// thread empties, the 8192-byte dispatch ring into which received bytes are moved,
// modem and line status, the trigger and handler lists, tracing and the dispatch
// log. Everything that touches the device goes through twenty virtual slots that a
// device layer (TDudWin32Dispatcher) overrides.
//
// Threads:
//   - The application thread (the thread that created the dispatcher) calls the
//     operations of the port component: InitPort, ClosePort, destruction, output,
//     line and flow control, handler registration, trigger operations, reading.
//   - The dispatcher thread (TDispThread) runs ProcessCommEvents,
//     ProcessTimersAndStatus, FillDispatchBuffer, the trigger checks and
//     DispatchEvent, and the status reads (ReadModemStatus, RefreshComError,
//     OutBuffUsed, OutBuffFree).
//   - Every worker thread calls ThreadStarted and ThreadGone.
// Locks (all recursive; the core never holds two of them at once):
//   - DataSection: DCB and line settings, DTR/RTS state, ModemStatus, the clearing
//     of LastError bits, the handler and trigger lists, HandlersDeleted and
//     TriggersDeleted, the trace ring, the six event handles while they are
//     created or closed, and the thread fields (cleared by ThreadGone; a thread
//     object may only be touched under this lock, where it is found in its field).
//   - OutputSection: the output ring (OutBuffer, OBufHead, OBufTail, OBufFull,
//     also when DonePort frees it) and ComStatus.
//   - DispSection: the dispatch ring (DBuffer, DBufHead, DBufTail, DBufFull,
//     DataDispatch, DispReadCount, DispReadMax, also when DonePort frees it).
//   - PortListSection(): the global PortList().
// Flags and counters read across threads without a lock are std::atomic.
//
// Threads and their ends: ThreadStarted counts a worker in ActiveThreads;
// ThreadGone clears the worker's field, signals ThreadGoneEvent, uncounts it and
// signals ThreadGoneEvent again. Destruction waits until ActiveThreads and
// LaunchedThreads (thread objects not yet finished) are both 0.
//
// Note for derived classes: the field DCB hides the Windows type of the same name
// inside the class; spell the type ::DCB there.
#pragma once

#include <array>
#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "device/io_queue.h"
#include "device/timing.h"
#include "dispatch/dispatch_log.h"
#include "dispatch/dispatcher_thread.h"
#include "dispatch/trace.h"
#include "errors/exceptions.h"
#include "platform/win32.h"

namespace dud {

// Size of the dispatch ring; fixed, never resized.
constexpr uint32_t DispatchBufferSize = 8192;

// Longest data trigger pattern: one match counter per pattern position.
constexpr uint32_t MaxTriggerLen = 22;

// How often the dispatcher thread runs a pass while timer or status triggers are
// armed, in ms.
constexpr DWORD TriggerPollSlice = 50;
// Longest wait of a worker whose wait also ends on StopEvent and on the event of
// its work, in ms: nothing is polled then, and the slice only bounds the wait
// should a stop come without the event.
constexpr DWORD IdleWaitSlice = 1000;

// Trigger messages sent to the registered handlers and windows.
constexpr uint32_t TriggerAvailMsg = 0x7E01;   // wParam: bytes available
constexpr uint32_t TriggerDataMsg = 0x7E02;    // wParam: trigger handle; lParam low word: pattern length
constexpr uint32_t TriggerTimerMsg = 0x7E03;   // wParam: trigger handle
constexpr uint32_t TriggerStatusMsg = 0x7E04;  // wParam: trigger handle; lParam low word: value by kind

// How long one synchronous send to a handler window may take.
constexpr UINT TriggerSendTimeout = 3000;

// Status trigger kinds; also the low three bits of a status trigger's handle.
enum TStatusTriggerKind : uint32_t {
  stNotActive = 0,
  stModem = 1,          // (low byte of Value XOR ModemStatus) AND high byte of Value
  stLine = 2,           // Value AND LastError
  stOutBuffFree = 3,    // OutBuffFree >= Value
  stOutBuffUsed = 4,    // OutBuffUsed <= Value
  stOutSent = 5,        // OutSentPending
};

// Modes of UpdateHandlerFlags.
enum TUpdateHandlerMode : int32_t {
  uhRecompute = 0,    // HandlersInstalled from the lists and ForceWndDispatch
  uhForceWndOn = 1,   // deliver to the first (the component's) window too
  uhForceWndOff = 2,  // the first window only while others are registered
};

// InitPort option bits.
constexpr uint32_t ipRaiseDTR = 0x01;
constexpr uint32_t ipRaiseRTS = 0x02;
constexpr uint32_t ipDTRFlow = 0x10;  // hwfUseDTR: DTR belongs to hardware flow control
constexpr uint32_t ipRTSFlow = 0x20;  // hwfUseRTS

// Hardware flow option bits (SetHardwareFlow, GetFlowOptions).
constexpr uint32_t hfUseDTR = 0x01;
constexpr uint32_t hfUseRTS = 0x02;
constexpr uint32_t hfRequireDSR = 0x04;
constexpr uint32_t hfRequireCTS = 0x08;
// Software flow option bits (SetSoftwareFlow, GetFlowOptions).
constexpr uint32_t sfTransmitFlow = 0x01;
constexpr uint32_t sfReceiveFlow = 0x02;

// ---------------------------------------------------------------- records

// A procedure handler of trigger messages: called with (message, trigger handle, lParam).
using TTriggerProc = void (*)(uint32_t Msg, uint32_t TriggerHandle, int32_t LParam);

struct TWndHandlerRec {
  HWND Window = nullptr;
  bool Deleted = false;
};

struct TProcHandlerRec {
  TTriggerProc Proc = nullptr;
  bool Deleted = false;
};

struct TEventHandlerRec {
  TTriggerMethod Method;
  bool Deleted = false;
  bool Sync = false;  // run the method on the thread that registered it
  uint32_t Id = 0;    // given by RegisterEventHandler
};

struct TTimerTrigger {
  uint32_t Handle = 0;
  TickTimer Timer;
  int32_t Ticks = 0;      // the length the timer was last armed with
  uint32_t UserData = 0;  // copied, never interpreted
  int32_t Active = 0;     // non-zero: armed
  bool Deleted = false;   // removed during a dispatch; freed when it ends
};

struct TDataTrigger {
  uint32_t Handle = 0;
  uint32_t Length = 0;  // 0: inactive
  std::array<uint32_t, MaxTriggerLen> Match{};
  bool Matched = false;
  bool IgnoreCase = false;  // the pattern is stored in upper case
  std::array<uint8_t, MaxTriggerLen + 2> Pattern{};
  bool Deleted = false;
};

struct TStatusTrigger {
  uint32_t Handle = 0;
  uint32_t Kind = stNotActive;
  uint16_t Value = 0;
  bool Enabled = false;
  bool Hit = false;  // fired during the current pass
  bool Deleted = false;
};

// Triggers saved across a close (SaveTriggers/RestoreTriggers); owned by the
// port component. A null list restores nothing.
struct TTriggerSave {
  uint32_t AvailLevel = 0;
  std::unique_ptr<std::vector<TTimerTrigger>> TimerTriggers;
  std::unique_ptr<std::vector<TDataTrigger>> DataTriggers;
  std::unique_ptr<std::vector<TStatusTrigger>> StatusTriggers;
};

// Updates the match counters of one data trigger for the received byte B and
// tells whether B completes the pattern (Match holds one counter per candidate
// alignment, packed at the front). Matches do not overlap: after a match the next
// one begins after its last byte. With IgnoreCase, B is upper-cased and the
// pattern compared as stored.
bool MatchDataChar(std::array<uint32_t, MaxTriggerLen>& Match, uint8_t B, uint32_t Length, bool IgnoreCase,
                   const uint8_t* Pattern);

// Turns a Windows baud index code (0xFEFF, 0xFF10..0xFF27) into bits per second;
// other values are bits per second already.
uint32_t DecodeBaud(uint32_t Baud);

// ---------------------------------------------------------------- the dispatcher

class TDudBaseDispatcher;

// The global list of dispatchers: a dispatcher's Handle is its index; freed slots
// are null and reused. Guarded by PortListSection().
std::vector<TDudBaseDispatcher*>& PortList();
std::recursive_mutex& PortListSection();

class TDudBaseDispatcher {
 public:
  // Takes the first free slot of PortList as Handle. Owner may be null.
  explicit TDudBaseDispatcher(TDudResultOwner* Owner);
  // Releases the PortList slot and everything owned. The device slots cannot be
  // called from here (the derived part is gone), so every derived class's
  // destructor must begin with Destroy().
  virtual ~TDudBaseDispatcher();
  // Closes the port if it is open (or finishes a deferred close) and waits for
  // every worker thread to end, handling the calling thread's window messages
  // meanwhile. Idempotent. The first statement of every derived destructor.
  void Destroy();
  TDudBaseDispatcher(const TDudBaseDispatcher&) = delete;
  TDudBaseDispatcher& operator=(const TDudBaseDispatcher&) = delete;

  // ------------------------------------------------------------ the device slots, in slot order

  // 0: performs a line function (3 set RTS, 4 clear RTS, 5 set DTR, 6 clear DTR);
  // negative on failure.
  virtual int32_t EscapeComFunction(int32_t Func) = 0;
  // 1: Queue 0 discards pending output (and empties the output ring), 1 discards
  // device input. Returns an error code.
  virtual int32_t FlushCom(int32_t Queue) = 0;
  // 2: returns the device's error bits (CE_*) and fills Stat; Stat.cbOutQue is the
  // number of bytes in the output ring.
  virtual int32_t GetComError(COMSTAT& Stat) = 0;
  // 3: called with 0xFFFFFFFF after a failed read.
  virtual int32_t ClearComEvents(uint32_t Mask) = 0;
  // 4: reads the device state into State; 0 on success.
  virtual int32_t GetComState(::DCB& State) = 0;
  // 5: copies up to Size received bytes out of InQueue; returns the count.
  virtual int32_t ReadCom(uint8_t* Buf, uint32_t Size) = 0;
  // 6: applies State; returns an error code.
  virtual int32_t SetComState(::DCB& State) = 0;
  // 7: appends Size bytes to the output ring (the caller made sure they fit) and
  // signals OutputEvent; returns the count written.
  virtual int32_t WriteCom(const uint8_t* Buf, uint32_t Size) = 0;
  // 8: not used by the core.
  virtual bool ReservedQuery(uint32_t& Value) = 0;
  // 9: sizes the device queues; true on success.
  virtual bool SetupCom(uint32_t InSize, uint32_t OutSize) = 0;
  // 10: stops the dispatcher if threads are active, closes the events that are
  // still open and frees OutBuffer and DBuffer.
  virtual void DonePort();
  // 11: starts the read, dispatcher, write and status threads; sets ThreadsActive.
  virtual void StartDispatcher() = 0;
  // 12: stops the threads and closes the six events.
  virtual void StopDispatcher() = 0;
  // 13: bytes waiting in the output ring.
  virtual uint32_t OutBufUsed() = 0;
  // 14: bytes readable from the first item of InQueue; 0 here.
  virtual uint32_t InQueueUsed();
  // 15: opens the device and stores its handle in ComHandle. Returns 0 or more on
  // success; a negative value on failure: -8 (ecOutOfMemory), or any other
  // negative value with the reason in GetLastError().
  virtual int32_t OpenCom(const std::string& Name, uint32_t InSize, uint32_t OutSize) = 0;
  // 16: stops the worker threads and closes the device; ComHandle becomes invalid.
  virtual int32_t CloseCom() = 0;
  // 17: lets the device layer run briefly.
  virtual int32_t ProcessCommunications() = 0;
  // 18: worker priorities := normal + Boost (the write thread one step more in RS485 mode).
  virtual void SetThreadBoost(uint8_t Boost);
  // 19: see TUpdateHandlerMode.
  virtual void UpdateHandlerFlags(int32_t Mode);

  // ------------------------------------------------------------ opening and closing

  // Opens Name with the line settings and starts the threads. Parity 0 none, 1 odd,
  // 2 even, 3 mark, 4 space; Options: ip* bits. Every failure releases what was
  // taken so far and returns the error code.
  int32_t InitPort(const std::string& Name, uint32_t Baud, uint16_t Parity, uint16_t DataBits, uint16_t StopBits,
                   uint32_t InSize, uint32_t OutSize, uint32_t Options);
  // Flushes and closes the device; frees the buffers now, or, while a dispatch is
  // in progress, sets ClosePending and leaves that to the end of the dispatcher thread.
  void ClosePort();

  // ------------------------------------------------------------ worker-thread bookkeeping

  // Called by each worker thread as it starts: counts it and signals ReadyEvent.
  void ThreadStarted();
  // Called by each worker thread as it ends: raises its failing exit code against
  // Owner (shown through ShowException), clears its thread field, runs a deferred
  // DonePort after the dispatcher thread, and uncounts it.
  void ThreadGone(TDudDispatcherThread* Thread);

  // Sets KillThreads and StopEvent, so that every worker wakes from its wait at
  // once. Returns whether KillThreads was already set. Any thread.
  bool SignalKillThreads();
  // Clears KillThreads and StopEvent before threads are started.
  void ClearKillThreads();
  // A worker's wait: WaitForMultipleObjects (any of Count objects, at most
  // MAXIMUM_WAIT_OBJECTS - 1) that also ends when StopEvent is set. A stop ends
  // it as a time-out does, so a caller that tests KillThreads after a time-out
  // stops; a stop event left set without KillThreads (a caller that cleared the
  // flag alone) is reset and reported as a time-out, so it never makes a wait
  // return at once over and over.
  DWORD WaitOrStop(DWORD Count, const HANDLE* Objects, DWORD Timeout);
  // Dispatcher thread: true while a timer trigger is armed or a status trigger is
  // enabled; only a pass finds out when those fire, so the event loop then looks
  // every TriggerPollSlice ms instead of sleeping until something arrives.
  bool TimedChecksPending();
  // Makes the dispatcher thread run a pass now (after a change that a pass may
  // act on without new input, such as a lower avail level), also when it waits
  // for room in a full dispatch ring. Any thread.
  void WakeDispatcherThread() {
    InQueue.Wake();
    SetEvent(RoomEvent);
  }

  // ------------------------------------------------------------ dispatch ring

  // Unread bytes in the dispatch ring (minus what handlers consumed so far during
  // an avail or data dispatch).
  uint32_t InBuffUsed();
  // Discards device input and everything unread in the ring.
  int32_t FlushInBuffer();
  // Dispatcher thread: moves received bytes from InQueue into the ring. True when
  // bytes were available or the ring was full.
  bool FillDispatchBuffer();
  // Dispatcher thread: the ring is full and received bytes wait at the head of
  // InQueue, so a pass can make no progress until something is read.
  bool RingStalled();

  // Reading the ring (application thread, also from inside an avail or data
  // dispatch: then the bytes are counted as consumed and leave the ring when the
  // dispatch ends). Whole block or nothing: ecBufferIsEmpty when fewer than Len
  // bytes are unread; ecCommNotOpen when the port is not open.
  int32_t GetChar(uint8_t& C);
  int32_t GetBlock(void* Buf, uint32_t Len);
  // Copies Len unread bytes without consuming them.
  int32_t PeekChar(uint8_t& C);
  int32_t PeekBlock(void* Buf, uint32_t Len);

  // ------------------------------------------------------------ output

  int32_t PutChar(uint8_t C);
  // Appends the whole block to the output ring or nothing (ecOutputBufferTooSmall).
  int32_t PutBlock(const void* Buf, uint32_t Len);
  uint32_t OutBuffUsed();
  uint32_t OutBuffFree();
  void FlushOutBuffer();

  // ------------------------------------------------------------ line control

  // Baud 0, Parity 5, DataBits 9, StopBits 3 keep the current value.
  int32_t SetLine(uint32_t Baud, uint16_t Parity, uint16_t DataBits, uint16_t StopBits);
  void GetLine(uint32_t& Baud, uint16_t& Parity, uint16_t& DataBits, uint16_t& StopBits);
  // 1 when flow control owns the line; otherwise 0, or ecBadArgument when the
  // device refused (the level is still recorded).
  int32_t SetDTR(bool On);
  int32_t SetRTS(bool On);
  int32_t SetHardwareFlow(uint32_t Full, uint32_t Resume, uint32_t Options);
  int32_t SetSoftwareFlow(uint32_t Full, uint32_t Resume, uint32_t Options);
  int32_t ClearSoftwareFlow();
  int32_t SetFlowChars(char XOn, char XOff);
  int32_t GetFlowOptions(uint32_t& HWOpts, uint32_t& SWOpts, char& XOn, char& XOff);
  void SetRS485Mode(bool On);
  // The modem status byte (lines in the high nibble, deltas in the low); clears the deltas.
  uint8_t GetModemStatus();
  // 0 none, 1 receive overflow, 2 overrun, 3 parity, 4 framing, 9 break; clears what it reports.
  uint16_t GetLineError();
  bool CheckLineBreak();
  void SetOptionFlags(uint32_t Mask);
  void ClearOptionFlags(uint32_t Mask);

  // ------------------------------------------------------------ handlers and triggers

  void RegisterWndHandler(HWND Window);
  void DeregisterWndHandler(HWND Window);
  void RegisterProcHandler(TTriggerProc Proc);
  void DeregisterProcHandler(TTriggerProc Proc);
  // With Sync, the method runs on the calling (registering) thread while the
  // dispatcher thread waits. Returns an id for DeregisterEventHandler.
  uint32_t RegisterEventHandler(TTriggerMethod Method, bool Sync);
  void DeregisterEventHandler(uint32_t Id);

  void SetAvailLevel(uint32_t Level);
  void SaveTriggers(TTriggerSave& Save);
  void RestoreTriggers(TTriggerSave& Save);
  static void FreeTriggerSet(TTriggerSave& Save);
  static uint32_t StatusKindOf(uint32_t TriggerHandle) { return TriggerHandle & 7; }

  // Adding, arming and removing triggers. Results: a handle (positive) or an error
  // code (ecNoMoreTriggers, ecTriggerTooLong, ecBadTriggerHandle, ecBadArgument).
  int32_t AddTimerTrigger();
  int32_t SetTimerTrigger(uint32_t TriggerHandle, int32_t Ticks, bool Activate);
  int32_t AddDataTrigger(const std::string& Pattern, bool IgnoreCase);
  int32_t AddStatusTrigger(uint32_t Kind);
  // Modem: Value = (mask << 8) | expected-line bits; line: error bit mask; out
  // buffer free/used: byte count; out sent: ignored. Activate arms it (again).
  int32_t SetStatusTrigger(uint32_t TriggerHandle, uint16_t Value, bool Activate);
  int32_t RemoveTrigger(uint32_t TriggerHandle);

  // ------------------------------------------------------------ event dispatch (dispatcher thread)

  void ProcessCommEvents();
  void ProcessTimersAndStatus();
  bool CheckStatusTriggers();
  bool CheckTimerTriggers();
  bool CheckReceiveTriggers();
  void ResetStatusHits();
  // Hands a trigger to the handlers; false stops further checks of this pass.
  bool DispatchEvent(uint32_t Msg, uint32_t TriggerHandle, uint32_t Data);

  // ------------------------------------------------------------ helpers

  int32_t ApplyComState(::DCB& State);
  void WaitForOutputDrain();
  uint8_t ReadModemStatus(uint8_t ClearMask);
  void UpdateModemDeltas();
  void RefreshComError();
  uint8_t ReadPortByte(uint16_t Address);

  // ------------------------------------------------------------ tracing and dispatch log
  // (defined with the trace ring and the log)

  int32_t InitTracing(uint32_t NumEntries);
  int32_t ClearTracing();
  void AbortTracing();
  void AddTraceEntry(char Kind, uint8_t Ch);
  void StartTracing();
  void StopTracing();
  int32_t DumpTracing(const std::string& FileName, bool InHex, bool AllHex);
  int32_t AppendTracing(const std::string& FileName, bool InHex, bool AllHex);

  void InitDispatchLogging(uint32_t MaxBytes);
  void AddDispatchEntry(uint8_t EntryType, uint16_t EntrySubType, uint32_t Data, const void* Bytes,
                        uint32_t Length);
  void ClearDispatchLogging();
  void AbortDispatchLogging();
  void StartDispatchLogging();
  void StopDispatchLogging();
  int32_t DumpDispatchLog(const std::string& FileName, bool InHex, bool AllHex);
  int32_t AppendDispatchLog(const std::string& FileName, bool InHex, bool AllHex);

  // ------------------------------------------------------------ fields, in declaration order

  TDudResultOwner* Owner = nullptr;
  int32_t Handle = -1;                       // index in PortList
  // The device; INVALID_HANDLE_VALUE while none is open. Atomic: after a deferred
  // close the dispatcher thread closes it while the application may still look.
  std::atomic<HANDLE> ComHandle{INVALID_HANDLE_VALUE};
  std::atomic<uint32_t> LastError{0};        // line-error bits: 1 rx overflow, 2 overrun, 4 parity, 8 framing, 16 break
  uint32_t InQue = 0;
  uint32_t OutQue = 0;
  uint32_t ModemStatus = 0;                  // high nibble lines, low nibble deltas (DataSection)
  COMSTAT ComStatus{};                       // (OutputSection)
  ::DCB DCB{};                               // device state last read or applied (DataSection)
  uint32_t LastBaud = 0;
  std::atomic<uint32_t> OptionFlags{0};
  bool DTRState = false;
  bool DTRFlowControlled = false;
  bool RTSState = false;
  bool RTSFlowControlled = false;
  std::atomic<bool> RS485Mode{false};
  uint16_t BaseAddress = 0;
  std::atomic<bool> ForceWndDispatch{false};
  std::atomic<bool> HandlersInstalled{false};
  std::vector<TWndHandlerRec> WndHandlers;      // DataSection
  std::vector<TProcHandlerRec> ProcHandlers;    // DataSection
  std::vector<TEventHandlerRec> EventHandlers;  // DataSection
  std::vector<TTimerTrigger> TimerTriggers;     // DataSection
  std::vector<TDataTrigger> DataTriggers;       // DataSection
  std::vector<TStatusTrigger> StatusTriggers;   // DataSection
  uint32_t ScanPos = 0;                      // dispatcher thread
  bool ScanLap = false;                      // dispatcher thread: a pass stored a whole ring at ScanPos
  std::atomic<uint32_t> AvailLevel{0};
  bool StatusHitsPending = false;            // dispatcher thread
  bool DataDispatch = false;                 // DispSection
  uint32_t DispReadCount = 0;                // DispSection
  uint32_t DispReadMax = 0;                  // DispSection
  bool DBufFull = false;                     // DispSection
  uint32_t LastAvailPos = 0;                 // dispatcher thread
  std::atomic<bool> KillThreads{false};
  std::atomic<TDudDispatcherThread*> ComThread{nullptr};     // read thread
  std::atomic<TDudDispatcherThread*> DispThread{nullptr};    // TDispThread
  std::atomic<TDudDispatcherThread*> OutThread{nullptr};     // write thread
  std::atomic<TDudDispatcherThread*> StatusThread{nullptr};  // status thread
  uint8_t ThreadBoost = 0;
  std::recursive_mutex DataSection;
  std::recursive_mutex OutputSection;
  std::recursive_mutex DispSection;
  // The six events, created by InitPort; INVALID_HANDLE_VALUE while not created.
  HANDLE ComEvent = INVALID_HANDLE_VALUE;         // device layer: wakes the dispatcher thread when stopping
  HANDLE DispatchedEvent = INVALID_HANDLE_VALUE;  // signalled after every pass of the event loop
  HANDLE ReadyEvent = INVALID_HANDLE_VALUE;       // thread start/stop and flush handshakes
  HANDLE OutputEvent = INVALID_HANDLE_VALUE;      // bytes were added to the output ring
  HANDLE SentEvent = INVALID_HANDLE_VALUE;        // device layer, manual reset
  HANDLE OutFlushEvent = INVALID_HANDLE_VALUE;    // the output ring was flushed
  // The two pairs the device threads wait on: {OutputEvent, OutFlushEvent} and
  // {SentEvent, OutFlushEvent}.
  HANDLE OutWaitObjects1[2] = {INVALID_HANDLE_VALUE, INVALID_HANDLE_VALUE};
  HANDLE OutWaitObjects2[2] = {INVALID_HANDLE_VALUE, INVALID_HANDLE_VALUE};
  uint32_t CurrentEvent = 0;                 // dispatcher thread
  std::atomic<bool> RingFlag{false};
  TIOQueue InQueue;
  std::unique_ptr<uint8_t[]> OutBuffer;      // OutQue bytes (OutputSection)
  uint32_t OBufHead = 0;                     // write index (OutputSection)
  uint32_t OBufTail = 0;                     // read index (OutputSection)
  bool OBufFull = false;                     // (OutputSection)
  std::unique_ptr<uint8_t[]> DBuffer;        // DispatchBufferSize bytes (DispSection)
  uint32_t DBufHead = 0;                     // next byte to store (DispSection)
  uint32_t DBufTail = 0;                     // next byte to consume (DispSection)
  std::atomic<bool> DispActive{false};
  bool HandlersDeleted = false;              // DataSection
  std::atomic<bool> ClosePending{false};
  std::atomic<bool> OutSentPending{false};
  TDudTrace Trace;                           // DataSection
  std::string DeviceName;                    // "COMn", set by the port component
  TDudDispatchLog Log;
  std::atomic<bool> ThreadsActive{false};
  std::atomic<bool> DoDonePortLater{false};
  std::atomic<int32_t> ActiveThreads{0};

  // Beyond the core's record: removed triggers waiting for the end of a dispatch,
  // the event ThreadGone signals (waited on by the destructor), the window that
  // runs synchronized method handlers, and the source of trigger handles.
  bool TriggersDeleted = false;              // DataSection
  std::shared_ptr<void> ThreadGoneEvent;     // auto-reset event; shared so a late SetEvent stays valid
  std::atomic<int32_t> RunningThreads{0};    // like ActiveThreads, decremented first: tells the last thread
  std::atomic<int32_t> LaunchedThreads{0};   // thread objects created and not yet finished (destruction waits)
  HANDLE RoomEvent = nullptr;                // auto reset: bytes left a full dispatch ring
  HANDLE StopEvent = nullptr;                // manual reset: set while KillThreads is (SignalKillThreads)
  std::atomic<bool> RescanFromTail{false};   // a flush discarded bytes the data triggers had not seen
  HWND SyncWindow = nullptr;                 // created by the first synchronized handler
  uint32_t NextTriggerId = 1;                // DataSection
  uint32_t NextEventHandlerId = 1;           // DataSection

 private:
  void WaitForThreads();
  bool CreateEvents();
  void CloseEvents();
  static int PriorityFor(uint32_t Steps);
  void ApplyThreadPriorities();
  uint32_t RingCount() const;  // with DispSection held
  int32_t ReadRing(void* Buf, uint32_t Len, bool Consume);
  void ClearTriggers();
  void ResetDataMatches();
  bool StatusTriggerFires(TStatusTrigger& T, uint32_t Used, uint32_t Free, uint32_t& Data);
  size_t DataTriggersCount();
  void PurgeDeleted();  // with DataSection held
  bool Destroyed = false;
};

}  // namespace dud
