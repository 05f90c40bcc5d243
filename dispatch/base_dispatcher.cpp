// The dispatcher's life cycle: construction and the global port list, opening,
// closing and destruction, worker-thread bookkeeping and thread priorities.
#include "dispatch/base_dispatcher.h"

#include <algorithm>
#include <new>

#include "device/message_pump.h"
#include "device/timing.h"
#include "dispatch/core_internal.h"
#include "errors/error_codes.h"

namespace dud {

// ---------------------------------------------------------------- the port list

std::vector<TDudBaseDispatcher*>& PortList() {
  static std::vector<TDudBaseDispatcher*> List;
  return List;
}

std::recursive_mutex& PortListSection() {
  static std::recursive_mutex Section;
  return Section;
}

// ---------------------------------------------------------------- construction

TDudBaseDispatcher::TDudBaseDispatcher(TDudResultOwner* Owner) : Owner(Owner) {
  // Returns the event handle, or null when the system has none left.
  HANDLE Gone = CreateEventA(nullptr, FALSE, FALSE, nullptr);
  if (Gone == nullptr) throw std::bad_alloc();
  ThreadGoneEvent = std::shared_ptr<void>(Gone, [](void* H) { CloseHandle(H); });
  RoomEvent = CreateEventA(nullptr, FALSE, FALSE, nullptr);
  if (RoomEvent == nullptr) throw std::bad_alloc();
  // Manual reset: it stays set for every worker until the next start.
  StopEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  if (StopEvent == nullptr) {
    CloseHandle(RoomEvent);
    throw std::bad_alloc();
  }

  std::lock_guard<std::recursive_mutex> Guard(PortListSection());
  auto& List = PortList();
  Handle = -1;
  for (size_t I = 0; I < List.size(); ++I) {
    if (List[I] == nullptr) {
      List[I] = this;
      Handle = static_cast<int32_t>(I);
      break;
    }
  }
  if (Handle < 0) {
    List.push_back(this);
    Handle = static_cast<int32_t>(List.size() - 1);
  }
}

TDudBaseDispatcher::~TDudBaseDispatcher() {
  if (!Destroyed) {
    // A derived destructor that did not call Destroy: the device slots are gone, so
    // all that can be done is to make the threads end and wait for them.
    SignalKillThreads();
    WaitForThreads();
  }
  CloseHandle(RoomEvent);
  CloseHandle(StopEvent);
  std::lock_guard<std::recursive_mutex> Guard(PortListSection());
  auto& List = PortList();
  if (Handle >= 0 && static_cast<size_t>(Handle) < List.size() && List[Handle] == this) List[Handle] = nullptr;
  while (!List.empty() && List.back() == nullptr) List.pop_back();
}

void TDudBaseDispatcher::Destroy() {
  if (Destroyed) return;
  Destroyed = true;
  if (ClosePending.load())
    DonePort();
  else
    ClosePort();
  WaitForThreads();
  std::lock_guard<std::recursive_mutex> Guard(DataSection);
  WndHandlers.clear();
  ProcHandlers.clear();
  EventHandlers.clear();
  TimerTriggers.clear();
  DataTriggers.clear();
  StatusTriggers.clear();
  if (SyncWindow != nullptr) {
    DestroyWindow(SyncWindow);
    SyncWindow = nullptr;
  }
}

void TDudBaseDispatcher::WaitForThreads() {
  // A worker may be blocked in a synchronous send to a window of this thread, so
  // the wait keeps handling this thread's messages. It sleeps until a message
  // arrives or a thread has gone; it never spins.
  bool QuitSeen = false;
  while (ActiveThreads.load() > 0 || LaunchedThreads.load() > 0) {
    HANDLE Gone = ThreadGoneEvent.get();
    // A pending quit request stays in the queue (it belongs to the main loop), so
    // once one is seen only sent messages can wake the wait.
    const DWORD Mask = QuitSeen ? QS_SENDMESSAGE : QS_ALLINPUT;
    const DWORD R = MsgWaitForMultipleObjects(1, &Gone, FALSE, 1000, Mask);
    if (R == WAIT_OBJECT_0 + 1 && !QuitSeen) {
      PumpOneMessage();
      MSG Msg{};
      if (PeekMessageA(&Msg, nullptr, WM_QUIT, WM_QUIT, PM_NOREMOVE)) QuitSeen = true;
    } else if (R == WAIT_FAILED) {
      Sleep(10);  // the event is gone; keep the wait bounded and cheap
    }
  }
}

// ---------------------------------------------------------------- opening

namespace {

// The code of a failed system call: its negated last error, never 0.
int32_t LastErrorCode(int32_t Fallback) {
  const DWORD Err = GetLastError();
  if (Err == 0) return Fallback;
  return -static_cast<int32_t>(Err & 0x7FFFFFFF);
}

}  // namespace

bool TDudBaseDispatcher::CreateEvents() {
  CloseEvents();
  std::lock_guard<std::recursive_mutex> Guard(DataSection);
  HANDLE* Events[6] = {&ComEvent, &DispatchedEvent, &ReadyEvent, &OutputEvent, &SentEvent, &OutFlushEvent};
  for (int I = 0; I < 6; ++I) {
    // The fifth is manual-reset, the others auto-reset. Returns null on failure.
    HANDLE H = CreateEventA(nullptr, I == 4 ? TRUE : FALSE, FALSE, nullptr);
    if (H == nullptr) return false;
    *Events[I] = H;
  }
  OutWaitObjects1[0] = OutputEvent;
  OutWaitObjects1[1] = OutFlushEvent;
  OutWaitObjects2[0] = SentEvent;
  OutWaitObjects2[1] = OutFlushEvent;
  return true;
}

void TDudBaseDispatcher::CloseEvents() {
  std::lock_guard<std::recursive_mutex> Guard(DataSection);
  for (HANDLE* H : {&ComEvent, &DispatchedEvent, &ReadyEvent, &OutputEvent, &SentEvent, &OutFlushEvent}) {
    if (*H != INVALID_HANDLE_VALUE && *H != nullptr) CloseHandle(*H);
    *H = INVALID_HANDLE_VALUE;
  }
  for (HANDLE& H : OutWaitObjects1) H = INVALID_HANDLE_VALUE;
  for (HANDLE& H : OutWaitObjects2) H = INVALID_HANDLE_VALUE;
}

int32_t TDudBaseDispatcher::InitPort(const std::string& Name, uint32_t Baud, uint16_t Parity, uint16_t DataBits,
                                     uint16_t StopBits, uint32_t InSize, uint32_t OutSize, uint32_t Options) {
  RingFlag.store(false);
  {
    std::lock_guard<std::recursive_mutex> Guard(OutputSection);
    OutBuffer.reset();
  }
  {
    std::lock_guard<std::recursive_mutex> Guard(DispSection);
    DBuffer.reset();
  }
  DispActive.store(false);
  {
    std::lock_guard<std::recursive_mutex> Guard(DataSection);
    HandlersDeleted = false;
    TriggersDeleted = false;
  }
  ClosePending.store(false);
  DoDonePortLater.store(false);

  if (!CreateEvents()) {
    const int32_t Result = LastErrorCode(ecOutOfMemory);
    ClosePort();
    return Result;
  }

  SetLastError(0);
  const int32_t Opened = OpenCom(Name, InSize, OutSize);
  if (Opened < 0 || ComHandle == INVALID_HANDLE_VALUE) {
    const int32_t Result = Opened == ecOutOfMemory ? ecOutOfMemory : LastErrorCode(Opened < 0 ? Opened : ecBadId);
    ClosePort();
    return Result;
  }

  SetLastError(0);
  if (!SetupCom(InSize, OutSize)) {
    const int32_t Result = LastErrorCode(ecBadArgument);
    ClosePort();
    return Result;
  }

  try {
    auto NewDBuffer = std::make_unique<uint8_t[]>(DispatchBufferSize);
    auto NewOutBuffer = std::make_unique<uint8_t[]>(OutSize > 0 ? OutSize : 1);
    {
      std::lock_guard<std::recursive_mutex> Guard(DispSection);
      DBuffer = std::move(NewDBuffer);
    }
    std::lock_guard<std::recursive_mutex> Guard(OutputSection);
    OutBuffer = std::move(NewOutBuffer);
    OBufHead = OBufTail = 0;
    OBufFull = false;
  } catch (const std::bad_alloc&) {
    ClosePort();
    return ecOutOfMemory;
  }

  InQue = InSize;
  OutQue = OutSize;
  LastError.store(0);
  OutSentPending.store(false);
  {
    std::lock_guard<std::recursive_mutex> Guard(DispSection);
    DBufFull = false;
    DispReadCount = 0;
  }
  RS485Mode.store(false);
  BaseAddress = 0;

  int32_t Got;
  {
    std::lock_guard<std::recursive_mutex> Guard(DataSection);
    SetLastError(0);
    Got = GetComState(DCB);
  }
  if (Got < 0) {
    const int32_t Result = LastErrorCode(Got);
    ClosePort();
    return Result;
  }

  if ((Options & ipDTRFlow) != 0) {
    DTRFlowControlled = true;
  } else {
    DTRFlowControlled = false;
    SetDTR((Options & ipRaiseDTR) != 0);
  }
  if ((Options & ipRTSFlow) != 0) {
    RTSFlowControlled = true;
  } else {
    RTSFlowControlled = false;
    SetRTS((Options & ipRaiseRTS) != 0);
  }

  ScanPos = 0;
  ScanLap = false;
  ClearTriggers();
  {
    std::lock_guard<std::recursive_mutex> Guard(DispSection);
    DBufHead = DBufTail = 0;
    DataDispatch = false;
  }
  LastAvailPos = 0;
  StatusHitsPending = false;

  {
    std::lock_guard<std::recursive_mutex> Guard(DataSection);
    ModemStatus = 0;
  }
  ReadModemStatus(0xF0);

  LastBaud = 115200;
  const int32_t LineResult = SetLine(Baud, Parity, DataBits, StopBits);
  if (LineResult < 0) {
    ClosePort();
    return LineResult;
  }

  RefreshComError();

  AbortTracing();
  Log.LogStart.store(MillisecondClock());
  Log.LoggingOn.store(false);
  Log.LogSize.store(0);

  try {
    StartDispatcher();
  } catch (...) {
    ClosePort();
    throw;
  }
  return ecOK;
}

// ---------------------------------------------------------------- closing

void TDudBaseDispatcher::ClosePort() {
  TDudDispatcherThread* Current = TDudDispatcherThread::Current();
  const bool OnDispatcherThread = Current != nullptr && Current == DispThread.load();
  // A synchronized handler runs here while the dispatcher thread waits for it.
  const bool InSyncHandler = core::SyncHandlerRunningFor() == this;
  if (ComHandle != INVALID_HANDLE_VALUE) {
    FlushCom(0);
    FlushInBuffer();
    if (OnDispatcherThread || InSyncHandler) {
      // A handler that the dispatcher thread runs or waits for cannot wait for that
      // thread to end: let its loop end instead; ThreadGone then finishes the close.
      SignalKillThreads();
      ClosePending.store(true);
      return;
    }
    CloseCom();
  }
  if (DispActive.load()) {
    ClosePending.store(true);
    return;
  }
  DonePort();
}

void TDudBaseDispatcher::DonePort() {
  DoDonePortLater.store(false);
  if (ThreadsActive.load()) StopDispatcher();
  // The events stay open when no thread was ever started (a failed InitPort) or
  // when the threads had already gone; they are closed here in every case.
  CloseEvents();
  {
    std::lock_guard<std::recursive_mutex> Guard(OutputSection);
    OutBuffer.reset();
    OBufHead = OBufTail = 0;
    OBufFull = false;
  }
  std::lock_guard<std::recursive_mutex> Guard(DispSection);
  DBuffer.reset();
}

// ---------------------------------------------------------------- worker threads

void TDudBaseDispatcher::ThreadStarted() {
  if (TDudDispatcherThread* Thread = TDudDispatcherThread::Current()) Thread->StartedReported = true;
  RunningThreads.fetch_add(1);
  ActiveThreads.fetch_add(1);
  if (ReadyEvent != INVALID_HANDLE_VALUE) SetEvent(ReadyEvent);
}

void TDudBaseDispatcher::ThreadGone(TDudDispatcherThread* Thread) {
  if (Thread != nullptr) Thread->GoneReported = true;
  try {
    CheckResultCode(Owner, Thread != nullptr ? Thread->ReturnValue : 0);
  } catch (const std::exception& E) {
    ShowException(E);
  }

  // Keep the event alive to the end: once ActiveThreads reaches 0 the dispatcher
  // may be destroyed, so the decrement below is the last use of this.
  std::shared_ptr<void> Gone = ThreadGoneEvent;
  bool WasDispatcher = false;
  if (Thread != nullptr) {
    std::lock_guard<std::recursive_mutex> Guard(DataSection);
    TDudDispatcherThread* Expected = Thread;
    ComThread.compare_exchange_strong(Expected, nullptr);
    Expected = Thread;
    OutThread.compare_exchange_strong(Expected, nullptr);
    Expected = Thread;
    StatusThread.compare_exchange_strong(Expected, nullptr);
    Expected = Thread;
    WasDispatcher = DispThread.compare_exchange_strong(Expected, nullptr);
  }
  SetEvent(Gone.get());  // wakes a CloseCom waiting for this thread's field to clear
  if (WasDispatcher && DoDonePortLater.load()) {
    DonePort();
    DoDonePortLater.store(false);
  }

  if (Thread == nullptr || Thread->StartedReported) {
    if (RunningThreads.fetch_sub(1) == 1) ThreadsActive.store(false);
    ActiveThreads.fetch_sub(1);
  }
  SetEvent(Gone.get());  // wakes the destructor's wait for ActiveThreads
}

bool TDudBaseDispatcher::SignalKillThreads() {
  const bool Was = KillThreads.exchange(true);
  SetEvent(StopEvent);
  return Was;
}

void TDudBaseDispatcher::ClearKillThreads() {
  KillThreads.store(false);
  ResetEvent(StopEvent);
}

DWORD TDudBaseDispatcher::WaitOrStop(DWORD Count, const HANDLE* Objects, DWORD Timeout) {
  HANDLE All[MAXIMUM_WAIT_OBJECTS];
  if (Count >= MAXIMUM_WAIT_OBJECTS) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return WAIT_FAILED;
  }
  std::copy(Objects, Objects + Count, All);
  All[Count] = StopEvent;
  // Any of the objects; WAIT_OBJECT_0 + i for the first one signalled.
  const DWORD R = WaitForMultipleObjects(Count + 1, All, FALSE, Timeout);
  if (R != WAIT_OBJECT_0 + Count) return R;
  if (!KillThreads.load()) {
    // Left set by someone who cleared KillThreads alone. Reset it, then look
    // again: a SignalKillThreads that came meanwhile must not be lost.
    ResetEvent(StopEvent);
    if (KillThreads.load()) SetEvent(StopEvent);
  }
  return WAIT_TIMEOUT;
}

void TDudBaseDispatcher::SetThreadBoost(uint8_t Boost) {
  if (Boost == ThreadBoost) return;
  ThreadBoost = Boost;
  ApplyThreadPriorities();
}

int TDudBaseDispatcher::PriorityFor(uint32_t Steps) {
  // The framework's scale above idle; boosts past its top stay at time-critical.
  static constexpr int Scale[] = {THREAD_PRIORITY_IDLE,         THREAD_PRIORITY_LOWEST,  THREAD_PRIORITY_BELOW_NORMAL,
                                  THREAD_PRIORITY_NORMAL,       THREAD_PRIORITY_ABOVE_NORMAL,
                                  THREAD_PRIORITY_HIGHEST,      THREAD_PRIORITY_TIME_CRITICAL};
  const uint32_t Index = std::min<uint32_t>(3 + Steps, 6);
  return Scale[Index];
}

void TDudBaseDispatcher::ApplyThreadPriorities() {
  // Thread objects are touched only under DataSection, where ThreadGone clears them.
  std::lock_guard<std::recursive_mutex> Guard(DataSection);
  const int Normal = PriorityFor(ThreadBoost);
  for (auto* Field : {&ComThread, &DispThread, &StatusThread}) {
    if (TDudDispatcherThread* T = Field->load()) T->SetPriority(Normal);
  }
  if (TDudDispatcherThread* T = OutThread.load()) T->SetPriority(PriorityFor(ThreadBoost + (RS485Mode.load() ? 1u : 0u)));
}

uint32_t TDudBaseDispatcher::InQueueUsed() { return 0; }

}  // namespace dud
