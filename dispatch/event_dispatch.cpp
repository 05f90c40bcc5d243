// The dispatcher thread's passes over InQueue and the delivery of triggers to
// method, procedure and window handlers.
#include <algorithm>
#include <utility>

#include "dispatch/base_dispatcher.h"
#include "dispatch/core_internal.h"
#include "errors/error_codes.h"

namespace dud {

namespace {

// Device event bits of a status item.
constexpr uint32_t evModemLines = EV_CTS | EV_DSR | EV_RLSD | EV_RING | EV_RINGTE;
constexpr uint32_t evRing = EV_RING | EV_RINGTE;
constexpr uint32_t evLineStatus = EV_BREAK | EV_ERR;

}  // namespace

const TDudBaseDispatcher*& core::SyncHandlerRunningFor() {
  thread_local const TDudBaseDispatcher* Running = nullptr;
  return Running;
}

// ---------------------------------------------------------------- the passes

void TDudBaseDispatcher::ProcessCommEvents() {
  CurrentEvent = 0;
  if (TIOBuffer* Head = InQueue.Peek()) {
    if (auto* Status = dynamic_cast<TStatusBuffer*>(Head)) {
      CurrentEvent = Status->Status;
      InQueue.Pop();  // the head is still this item: only Pop removes a peeked one
    } else {
      Head->Locked.store(false);  // received bytes, for FillDispatchBuffer
    }
  }

  // Runs the status triggers until none fires; true when a close was requested.
  auto StatusRound = [this]() {
    if (DispActive.load()) return false;
    while (CheckStatusTriggers())
      if (ClosePending.load()) return true;
    if (ClosePending.load()) return true;
    if (StatusHitsPending) ResetStatusHits();
    return false;
  };

  if ((CurrentEvent & evRing) != 0) RingFlag.store(true);
  if ((CurrentEvent & evModemLines) != 0) {
    UpdateModemDeltas();
    if (StatusRound()) return;
  }
  if ((CurrentEvent & evLineStatus) != 0) {
    RefreshComError();
    if (StatusRound()) return;
  }

  FillDispatchBuffer();

  if (!DispActive.load()) {
    // The lines as they are now, with the deltas as they were before the read.
    const uint8_t Status = GetModemStatus();
    {
      std::lock_guard<std::recursive_mutex> Guard(DataSection);
      ModemStatus = Status;
    }
    while (CheckStatusTriggers())
      if (ClosePending.load()) return;
    if (ClosePending.load()) return;
    while (CheckReceiveTriggers())
      if (ClosePending.load()) return;
    if (ClosePending.load()) return;
  }

  if (StatusHitsPending) ResetStatusHits();
  if (DispatchedEvent != INVALID_HANDLE_VALUE) SetEvent(DispatchedEvent);
}

void TDudBaseDispatcher::ProcessTimersAndStatus() {
  if (ClosePending.load() || DispActive.load()) return;
  StatusHitsPending = false;
  for (;;) {
    if (!CheckStatusTriggers() && !CheckTimerTriggers()) break;
    if (ClosePending.load()) break;
  }
  if (StatusHitsPending) ResetStatusHits();
}

// ---------------------------------------------------------------- delivery

bool TDudBaseDispatcher::DispatchEvent(uint32_t Msg, uint32_t TriggerHandle, uint32_t Data) {
  if (!HandlersInstalled.load()) return true;
  {
    std::lock_guard<std::recursive_mutex> Guard(DataSection);
    DispActive.store(true);
  }
  const bool ForData = Msg == TriggerAvailMsg || Msg == TriggerDataMsg;
  {
    std::lock_guard<std::recursive_mutex> Guard(DispSection);
    DispReadMax = 0;
    DataDispatch = ForData;
  }
  const auto LParam = static_cast<int32_t>(static_cast<uint32_t>(Handle) * 65536u + Data);

  // The end of the dispatch runs however it ends, also when a handler throws.
  struct TEndOfDispatch {
    TDudBaseDispatcher* D;
    ~TEndOfDispatch() {
      {
        std::lock_guard<std::recursive_mutex> Guard(D->DispSection);
        D->DataDispatch = false;  // a dispatch cut short keeps its bytes in the ring
      }
      std::lock_guard<std::recursive_mutex> Guard(D->DataSection);
      D->DispActive.store(false);
      if (D->HandlersDeleted || D->TriggersDeleted) {
        const bool Handlers = D->HandlersDeleted;
        D->PurgeDeleted();
        if (Handlers) D->UpdateHandlerFlags(uhRecompute);
      }
    }
  } End{this};

  auto BeforeHandler = [this] {
    std::lock_guard<std::recursive_mutex> Guard(DispSection);
    DispReadCount = 0;
  };
  // After each handler: false when a close was requested meanwhile.
  auto AfterHandler = [this] {
    if (ClosePending.load()) return false;
    std::lock_guard<std::recursive_mutex> Guard(DispSection);
    DispReadMax = std::max(DispReadMax, DispReadCount);
    return true;
  };

  // Method handlers. Records are copied under DataSection and called without it,
  // so a handler may register or deregister handlers.
  for (size_t I = 0;; ++I) {
    TEventHandlerRec Rec;
    HWND Target;
    {
      std::lock_guard<std::recursive_mutex> Guard(DataSection);
      if (I >= EventHandlers.size()) break;
      Rec = EventHandlers[I];
      Target = SyncWindow;
    }
    BeforeHandler();
    if (!Rec.Deleted && Rec.Method) {
      if (Rec.Sync) {
        if (TDudDispatcherThread* Self = TDudDispatcherThread::Current()) {
          Self->SyncMsg = Msg;
          Self->SyncTrigger = TriggerHandle;
          Self->SyncLParam = LParam;
          Self->SyncMethod = Rec.Method;
        }
        TDudDispatcherThread::Synchronize(Target, [&] {
          // Marks the handler as running on this (the registering) thread for ClosePort.
          struct TMark {
            const TDudBaseDispatcher* Outer;
            ~TMark() { core::SyncHandlerRunningFor() = Outer; }
          } Mark{std::exchange(core::SyncHandlerRunningFor(), this)};
          Rec.Method(Msg, TriggerHandle, LParam);
        });
      } else {
        Rec.Method(Msg, TriggerHandle, LParam);
      }
    }
    if (!AfterHandler()) return false;
  }

  // Procedure handlers.
  for (size_t I = 0;; ++I) {
    TProcHandlerRec Rec;
    {
      std::lock_guard<std::recursive_mutex> Guard(DataSection);
      if (I >= ProcHandlers.size()) break;
      Rec = ProcHandlers[I];
    }
    BeforeHandler();
    if (!Rec.Deleted && Rec.Proc != nullptr) Rec.Proc(Msg, TriggerHandle, LParam);
    if (!AfterHandler()) return false;
  }

  // Window handlers: the first is the port component's own window, which gets
  // trigger messages only when asked for (ForceWndDispatch) or when others listen.
  bool ToWindows;
  {
    std::lock_guard<std::recursive_mutex> Guard(DataSection);
    ToWindows = WndHandlers.size() >= 2 || ForceWndDispatch.load();
  }
  if (ToWindows) {
    for (size_t I = 0;; ++I) {
      TWndHandlerRec Rec;
      {
        std::lock_guard<std::recursive_mutex> Guard(DataSection);
        if (I >= WndHandlers.size()) break;
        Rec = WndHandlers[I];
      }
      BeforeHandler();
      if (!Rec.Deleted) {
        DWORD_PTR Reply = 0;
        // Returns 0 on time-out or when the window is gone; the window is then
        // given up for this message and the next one gets it.
        SendMessageTimeoutA(Rec.Window, Msg, TriggerHandle, static_cast<LPARAM>(LParam), SMTO_BLOCK,
                            TriggerSendTimeout, &Reply);
      }
      if (!AfterHandler()) return false;
    }
  }

  bool Result = true;
  if (ForData) {
    std::lock_guard<std::recursive_mutex> Guard(DispSection);
    DataDispatch = false;
    // The ring loses as many bytes as the handler that read most.
    DBufTail += DispReadMax;
    if (DBufTail >= DispatchBufferSize) DBufTail -= DispatchBufferSize;
    if (DispReadMax != 0) DBufFull = false;
    if (Msg == TriggerAvailMsg && DispReadMax != TriggerHandle) Result = false;
  }
  return Result;
}

void TDudBaseDispatcher::PurgeDeleted() {
  auto Purge = [](auto& List) {
    List.erase(std::remove_if(List.begin(), List.end(), [](const auto& R) { return R.Deleted; }), List.end());
  };
  if (HandlersDeleted) {
    Purge(EventHandlers);
    Purge(ProcHandlers);
    Purge(WndHandlers);
    HandlersDeleted = false;
  }
  if (TriggersDeleted) {
    Purge(TimerTriggers);
    Purge(DataTriggers);
    Purge(StatusTriggers);
    TriggersDeleted = false;
  }
}

void TDudBaseDispatcher::UpdateHandlerFlags(int32_t Mode) {
  std::lock_guard<std::recursive_mutex> Guard(DataSection);
  const bool Some = WndHandlers.size() >= 2 || !ProcHandlers.empty() || !EventHandlers.empty();
  switch (Mode) {
    case uhForceWndOn:
      ForceWndDispatch.store(true);
      HandlersInstalled.store(true);
      break;
    case uhForceWndOff:
      ForceWndDispatch.store(false);
      HandlersInstalled.store(Some);
      break;
    default:
      HandlersInstalled.store(Some || ForceWndDispatch.load());
      break;
  }
  // A pass may now report what arrived while nobody listened.
  if (HandlersInstalled.load()) WakeDispatcherThread();
}

// ---------------------------------------------------------------- registration

void TDudBaseDispatcher::RegisterWndHandler(HWND Window) {
  std::lock_guard<std::recursive_mutex> Guard(DataSection);
  WndHandlers.push_back(TWndHandlerRec{Window, false});
  HandlersInstalled.store(true);
  if (Log.LoggingOn.load())
    AddDispatchEntry(core::lgHandlerAlloc, core::lsWindow, static_cast<uint32_t>(reinterpret_cast<uintptr_t>(Window)),
                     nullptr, 0);
  WakeDispatcherThread();
}

void TDudBaseDispatcher::DeregisterWndHandler(HWND Window) {
  std::lock_guard<std::recursive_mutex> Guard(DataSection);
  for (size_t I = 0; I < WndHandlers.size(); ++I) {
    if (WndHandlers[I].Window != Window || WndHandlers[I].Deleted) continue;
    if (Log.LoggingOn.load())
      AddDispatchEntry(core::lgHandlerDispose, core::lsWindow,
                       static_cast<uint32_t>(reinterpret_cast<uintptr_t>(Window)), nullptr, 0);
    if (DispActive.load()) {
      // A message may be on its way to this window: free the record after the dispatch.
      WndHandlers[I].Deleted = true;
      HandlersDeleted = true;
    } else {
      WndHandlers.erase(WndHandlers.begin() + static_cast<std::ptrdiff_t>(I));
    }
    return;
  }
  UpdateHandlerFlags(uhRecompute);
}

void TDudBaseDispatcher::RegisterProcHandler(TTriggerProc Proc) {
  std::lock_guard<std::recursive_mutex> Guard(DataSection);
  ProcHandlers.push_back(TProcHandlerRec{Proc, false});
  UpdateHandlerFlags(uhRecompute);
}

void TDudBaseDispatcher::DeregisterProcHandler(TTriggerProc Proc) {
  std::lock_guard<std::recursive_mutex> Guard(DataSection);
  for (size_t I = 0; I < ProcHandlers.size(); ++I) {
    if (ProcHandlers[I].Proc != Proc || ProcHandlers[I].Deleted) continue;
    if (DispActive.load()) {
      ProcHandlers[I].Deleted = true;
      HandlersDeleted = true;
      return;
    }
    ProcHandlers.erase(ProcHandlers.begin() + static_cast<std::ptrdiff_t>(I));
    break;
  }
  UpdateHandlerFlags(uhRecompute);
}

uint32_t TDudBaseDispatcher::RegisterEventHandler(TTriggerMethod Method, bool Sync) {
  std::lock_guard<std::recursive_mutex> Guard(DataSection);
  // Synchronized methods run on the thread that registers them, through a window
  // that thread owns.
  if (Sync && SyncWindow == nullptr) SyncWindow = CreateSyncWindow();
  TEventHandlerRec Rec;
  Rec.Method = std::move(Method);
  Rec.Sync = Sync;
  Rec.Id = NextEventHandlerId++;
  EventHandlers.push_back(std::move(Rec));
  UpdateHandlerFlags(uhRecompute);
  return EventHandlers.back().Id;
}

void TDudBaseDispatcher::DeregisterEventHandler(uint32_t Id) {
  std::lock_guard<std::recursive_mutex> Guard(DataSection);
  for (size_t I = 0; I < EventHandlers.size(); ++I) {
    if (EventHandlers[I].Id != Id || EventHandlers[I].Deleted) continue;
    if (DispActive.load()) {
      EventHandlers[I].Deleted = true;
      HandlersDeleted = true;
      return;
    }
    EventHandlers.erase(EventHandlers.begin() + static_cast<std::ptrdiff_t>(I));
    break;
  }
  UpdateHandlerFlags(uhRecompute);
}

}  // namespace dud
