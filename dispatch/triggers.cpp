// Trigger records and their checks: the avail level, data patterns, timers and
// status conditions, with the operations that add, arm, save and remove them.
#include <algorithm>
#include <utility>

#include "dispatch/base_dispatcher.h"
#include "dispatch/core_internal.h"
#include "errors/error_codes.h"

namespace dud {

namespace {

// Most triggers of one kind a dispatcher holds.
constexpr size_t MaxTriggersPerKind = 256;

// Upper case of one character of the Windows Latin code page (1252).
uint8_t UpperChar(uint8_t C) {
  if (C >= 'a' && C <= 'z') return static_cast<uint8_t>(C - 0x20);
  if (C >= 0xE0 && C <= 0xFE && C != 0xF7) return static_cast<uint8_t>(C - 0x20);
  switch (C) {
    case 0x9A: return 0x8A;
    case 0x9C: return 0x8C;
    case 0x9E: return 0x8E;
    case 0xFF: return 0x9F;
    default: return C;
  }
}

template <class T>
T* FindTrigger(std::vector<T>& List, uint32_t Handle) {
  for (T& Trigger : List)
    if (Trigger.Handle == Handle && !Trigger.Deleted) return &Trigger;
  return nullptr;
}

// Whether an avail report would reach a handler now. One that reaches nobody must
// not count as made: the port component registers its window and asks for
// messages only after the threads run, and bytes that arrived before would
// otherwise not be reported until more came.
bool AvailListened(TDudBaseDispatcher& D) {
  if (!D.HandlersInstalled.load()) return false;
  std::lock_guard<std::recursive_mutex> Guard(D.DataSection);
  if (!D.EventHandlers.empty() || !D.ProcHandlers.empty()) return true;
  return !D.WndHandlers.empty() && (D.WndHandlers.size() >= 2 || D.ForceWndDispatch.load());
}

}  // namespace

// The counters of live candidates sit at the front of Match, each holding how many
// pattern characters its alignment has matched. A byte advances every candidate it
// continues, drops the others, and starts a new one when it equals the pattern's
// first character. A completed pattern reports true and clears every candidate, so
// matches never overlap: the next one starts after the byte that completed this.
bool MatchDataChar(std::array<uint32_t, MaxTriggerLen>& Match, uint8_t B, uint32_t Length, bool IgnoreCase,
                   const uint8_t* Pattern) {
  if (Length == 0 || Length > MaxTriggerLen) return false;
  if (IgnoreCase) B = UpperChar(B);
  std::array<uint32_t, MaxTriggerLen> Next{};
  size_t Live = 0;
  bool Complete = false;
  for (uint32_t I = 0; I < MaxTriggerLen && Match[I] != 0; ++I) {
    const uint32_t K = Match[I];
    if (K < Length && Pattern[K] == B) {
      if (K + 1 == Length)
        Complete = true;
      else
        Next[Live++] = K + 1;
    }
  }
  if (Pattern[0] == B) {
    if (Length == 1)
      Complete = true;
    else if (Live < MaxTriggerLen)
      Next[Live++] = 1;
  }
  if (Complete) Next.fill(0);
  Match = Next;
  return Complete;
}

void TDudBaseDispatcher::ClearTriggers() {
  std::lock_guard<std::recursive_mutex> Guard(DataSection);
  AvailLevel.store(0);
  TimerTriggers.clear();
  DataTriggers.clear();
  StatusTriggers.clear();
  TriggersDeleted = false;
}

void TDudBaseDispatcher::ResetDataMatches() {
  std::lock_guard<std::recursive_mutex> Guard(DataSection);
  for (TDataTrigger& T : DataTriggers) T.Match.fill(0);
}

// ---------------------------------------------------------------- adding and removing

int32_t TDudBaseDispatcher::AddTimerTrigger() {
  std::lock_guard<std::recursive_mutex> Guard(DataSection);
  if (TimerTriggers.size() >= MaxTriggersPerKind) return ecNoMoreTriggers;
  TTimerTrigger T;
  T.Handle = (NextTriggerId++) << 3;
  TimerTriggers.push_back(T);
  return static_cast<int32_t>(T.Handle);
}

int32_t TDudBaseDispatcher::SetTimerTrigger(uint32_t TriggerHandle, int32_t Ticks, bool Activate) {
  if (Ticks < 0) return ecBadArgument;
  std::lock_guard<std::recursive_mutex> Guard(DataSection);
  TTimerTrigger* T = FindTrigger(TimerTriggers, TriggerHandle);
  if (T == nullptr) return ecBadTriggerHandle;
  T->Ticks = Ticks;
  if (Activate) StartTickTimer(T->Timer, Ticks);
  T->Active = Activate ? 1 : 0;
  // The event loop may be asleep without a time limit: it must start looking.
  if (Activate) WakeDispatcherThread();
  return ecOK;
}

int32_t TDudBaseDispatcher::AddDataTrigger(const std::string& Pattern, bool IgnoreCase) {
  if (Pattern.empty()) return ecBadArgument;
  if (Pattern.size() > MaxTriggerLen) return ecTriggerTooLong;
  std::lock_guard<std::recursive_mutex> Guard(DataSection);
  if (DataTriggers.size() >= MaxTriggersPerKind) return ecNoMoreTriggers;
  TDataTrigger T;
  T.Handle = (NextTriggerId++) << 3;
  T.Length = static_cast<uint32_t>(Pattern.size());
  T.IgnoreCase = IgnoreCase;
  // Case-insensitive patterns are kept in upper case; only received bytes are converted.
  for (size_t I = 0; I < Pattern.size(); ++I) {
    const auto C = static_cast<uint8_t>(Pattern[I]);
    T.Pattern[I] = IgnoreCase ? UpperChar(C) : C;
  }
  DataTriggers.push_back(T);
  return static_cast<int32_t>(T.Handle);
}

int32_t TDudBaseDispatcher::AddStatusTrigger(uint32_t Kind) {
  if (Kind < stModem || Kind > stOutSent) return ecBadArgument;
  std::lock_guard<std::recursive_mutex> Guard(DataSection);
  if (StatusTriggers.size() >= MaxTriggersPerKind) return ecNoMoreTriggers;
  TStatusTrigger T;
  T.Handle = ((NextTriggerId++) << 3) | Kind;
  T.Kind = Kind;
  StatusTriggers.push_back(T);
  return static_cast<int32_t>(T.Handle);
}

int32_t TDudBaseDispatcher::SetStatusTrigger(uint32_t TriggerHandle, uint16_t Value, bool Activate) {
  std::lock_guard<std::recursive_mutex> Guard(DataSection);
  TStatusTrigger* T = FindTrigger(StatusTriggers, TriggerHandle);
  if (T == nullptr) return ecBadTriggerHandle;
  T->Value = Value;
  T->Enabled = Activate;
  if (Activate) WakeDispatcherThread();
  return ecOK;
}

int32_t TDudBaseDispatcher::RemoveTrigger(uint32_t TriggerHandle) {
  std::lock_guard<std::recursive_mutex> Guard(DataSection);
  // During a dispatch the record is only marked (and disarmed); the end of the
  // dispatch frees it, so a check that walks the list meanwhile keeps its place.
  const bool Defer = DispActive.load();
  auto Remove = [&](auto& List) -> bool {
    for (size_t I = 0; I < List.size(); ++I) {
      if (List[I].Handle != TriggerHandle || List[I].Deleted) continue;
      if (Defer) {
        List[I].Deleted = true;
        TriggersDeleted = true;
      } else {
        List.erase(List.begin() + static_cast<std::ptrdiff_t>(I));
      }
      return true;
    }
    return false;
  };
  if (Remove(TimerTriggers) || Remove(DataTriggers) || Remove(StatusTriggers)) return ecOK;
  return ecBadTriggerHandle;
}

// ---------------------------------------------------------------- saving and restoring

void TDudBaseDispatcher::FreeTriggerSet(TTriggerSave& Save) {
  Save.TimerTriggers.reset();
  Save.DataTriggers.reset();
  Save.StatusTriggers.reset();
}

void TDudBaseDispatcher::SaveTriggers(TTriggerSave& Save) {
  std::lock_guard<std::recursive_mutex> Guard(DataSection);
  FreeTriggerSet(Save);
  Save.AvailLevel = AvailLevel.load();
  auto Copy = [](const auto& List) {
    using TRec = typename std::decay_t<decltype(List)>::value_type;
    auto Out = std::make_unique<std::vector<TRec>>();
    for (const TRec& R : List)
      if (!R.Deleted) Out->push_back(R);
    return Out;
  };
  Save.TimerTriggers = Copy(TimerTriggers);
  Save.DataTriggers = Copy(DataTriggers);
  Save.StatusTriggers = Copy(StatusTriggers);
}

void TDudBaseDispatcher::RestoreTriggers(TTriggerSave& Save) {
  std::lock_guard<std::recursive_mutex> Guard(DataSection);
  AvailLevel.store(Save.AvailLevel);
  TimerTriggers.clear();
  DataTriggers.clear();
  StatusTriggers.clear();
  if (Save.TimerTriggers) TimerTriggers = *Save.TimerTriggers;
  if (Save.DataTriggers) DataTriggers = *Save.DataTriggers;
  if (Save.StatusTriggers) StatusTriggers = *Save.StatusTriggers;
  // New handles must not collide with restored ones.
  for (const auto& T : TimerTriggers) NextTriggerId = std::max(NextTriggerId, (T.Handle >> 3) + 1);
  for (const auto& T : DataTriggers) NextTriggerId = std::max(NextTriggerId, (T.Handle >> 3) + 1);
  for (const auto& T : StatusTriggers) NextTriggerId = std::max(NextTriggerId, (T.Handle >> 3) + 1);
  WakeDispatcherThread();
}

void TDudBaseDispatcher::SetAvailLevel(uint32_t Level) {
  std::lock_guard<std::recursive_mutex> Guard(DataSection);
  AvailLevel.store(Level);
  if (Log.LoggingOn.load()) AddDispatchEntry(core::lgTriggerDataChange, core::lsAvailLevel, Level, nullptr, 0);
  // Bytes already in the ring may reach the new level without any more arriving.
  WakeDispatcherThread();
}

// ---------------------------------------------------------------- checks (dispatcher thread)

bool TDudBaseDispatcher::StatusTriggerFires(TStatusTrigger& T, uint32_t Used, uint32_t Free, uint32_t& Data) {
  Data = 0;
  switch (T.Kind) {
    case stModem: {
      const uint32_t Expected = T.Value & 0xFF;
      const uint32_t Mask = T.Value >> 8;
      return ((Expected ^ ModemStatus) & Mask) != 0;
    }
    case stLine: {
      const uint32_t Errors = LastError.load();
      if ((T.Value & Errors) == 0) return false;
      T.Value = static_cast<uint16_t>(Errors & 0xFFFF);
      return true;
    }
    case stOutBuffFree:
      if (Free < T.Value) return false;
      Data = Free;
      return true;
    case stOutBuffUsed:
      if (Used > T.Value) return false;
      Data = Used;
      return true;
    case stOutSent:
      return OutSentPending.exchange(false);
    default:
      return false;
  }
}

bool TDudBaseDispatcher::CheckStatusTriggers() {
  // The output counts take OutputSection, so they are read before DataSection,
  // and only when a trigger needs them.
  bool NeedOutput = false;
  {
    std::lock_guard<std::recursive_mutex> Guard(DataSection);
    for (const TStatusTrigger& T : StatusTriggers)
      if (T.Enabled && !T.Hit && !T.Deleted && (T.Kind == stOutBuffFree || T.Kind == stOutBuffUsed)) NeedOutput = true;
  }
  uint32_t Used = 0;
  uint32_t Free = 0;
  if (NeedOutput) {
    Used = OutBuffUsed();
    Free = OutQue > Used ? OutQue - Used : 0;
  }
  uint32_t Handle = 0;
  uint32_t Data = 0;
  bool Fired = false;
  {
    std::lock_guard<std::recursive_mutex> Guard(DataSection);
    for (TStatusTrigger& T : StatusTriggers) {
      if (!T.Enabled || T.Hit || T.Deleted) continue;
      if (!StatusTriggerFires(T, Used, Free, Data)) continue;
      // A status trigger fires once until it is armed again.
      T.Enabled = false;
      T.Hit = true;
      StatusHitsPending = true;
      Handle = T.Handle;
      Fired = true;
      break;
    }
  }
  if (!Fired) return false;
  if (Log.LoggingOn.load()) AddDispatchEntry(core::lgTrigger, core::lsStatus, Handle, nullptr, 0);
  return DispatchEvent(TriggerStatusMsg, Handle, Data);
}

bool TDudBaseDispatcher::CheckTimerTriggers() {
  uint32_t Handle = 0;
  bool Fired = false;
  {
    std::lock_guard<std::recursive_mutex> Guard(DataSection);
    for (TTimerTrigger& T : TimerTriggers) {
      if (T.Active == 0 || T.Deleted || !TickTimerExpired(T.Timer)) continue;
      T.Active = 0;
      Handle = T.Handle;
      Fired = true;
      break;
    }
  }
  if (!Fired) return false;
  if (Log.LoggingOn.load()) AddDispatchEntry(core::lgTrigger, core::lsTimerTrigger, Handle, nullptr, 0);
  return DispatchEvent(TriggerTimerMsg, Handle, 0);
}

bool TDudBaseDispatcher::TimedChecksPending() {
  std::lock_guard<std::recursive_mutex> Guard(DataSection);
  for (const TTimerTrigger& T : TimerTriggers)
    if (T.Active != 0 && !T.Deleted) return true;
  for (const TStatusTrigger& T : StatusTriggers)
    if (T.Enabled && !T.Deleted) return true;
  return false;
}

void TDudBaseDispatcher::ResetStatusHits() {
  std::lock_guard<std::recursive_mutex> Guard(DataSection);
  for (TStatusTrigger& T : StatusTriggers) T.Hit = false;
  StatusHitsPending = false;
}

bool TDudBaseDispatcher::CheckReceiveTriggers() {
  bool Result = true;
  uint32_t Head;
  const uint8_t* Ring;
  {
    std::lock_guard<std::recursive_mutex> Guard(DispSection);
    if (DBuffer == nullptr) return false;
    Head = DBufHead;
    // Only this thread stores into the ring, and the bytes between the tail and
    // the head stay as they are, so they are read without the lock.
    Ring = DBuffer.get();
    if (RescanFromTail.exchange(false)) {
      ScanPos = DBufTail;
      ScanLap = false;  // the flush emptied the ring
    }
  }
  uint32_t Pos = ScanPos;
  // A whole ring stored at once starts and ends at ScanPos: scan all of it.
  bool Lap = std::exchange(ScanLap, false);
  while (Pos != Head || Lap) {
    Lap = false;
    const uint8_t B = Ring[Pos];
    uint32_t MaxLen = 0;
    bool AnyMatched = false;
    {
      std::lock_guard<std::recursive_mutex> Guard(DataSection);
      for (TDataTrigger& T : DataTriggers) {
        if (T.Length == 0 || T.Deleted) continue;
        if (!T.Matched) T.Matched = MatchDataChar(T.Match, B, T.Length, T.IgnoreCase, T.Pattern.data());
        if (T.Matched) {
          AnyMatched = true;
          MaxLen = std::max(MaxLen, T.Length);
        }
      }
    }
    if (AnyMatched) {
      // The bytes in front of the match first, as an avail trigger.
      const uint32_t Level = AvailLevel.load();
      if (Level != 0 && LastAvailPos != Pos && AvailListened(*this)) {
        int64_t Count;
        {
          std::lock_guard<std::recursive_mutex> Guard(DispSection);
          const uint32_t ToPos = (Pos + DispatchBufferSize - DBufTail) % DispatchBufferSize;
          Count = static_cast<int64_t>(ToPos) + 1 - MaxLen;
          if (DataDispatch) Count -= DispReadCount;
        }
        if (Count >= static_cast<int64_t>(Level)) {
          if (Log.LoggingOn.load())
            AddDispatchEntry(core::lgTrigger, core::lsAvailTrigger, static_cast<uint32_t>(Count), nullptr, 0);
          Result = DispatchEvent(TriggerAvailMsg, static_cast<uint32_t>(Count), 0);
          ScanPos = Pos;
          LastAvailPos = Pos;
        }
      }
      // Then every matched data trigger, from the last to the first.
      for (size_t I = DataTriggersCount(); I-- > 0;) {
        uint32_t Handle = 0;
        uint32_t Length = 0;
        {
          std::lock_guard<std::recursive_mutex> Guard(DataSection);
          if (I >= DataTriggers.size()) break;  // a handler removed triggers
          TDataTrigger& T = DataTriggers[I];
          if (!T.Matched) continue;
          T.Matched = false;
          if (T.Deleted) continue;
          Handle = T.Handle;
          Length = T.Length;
        }
        if (Log.LoggingOn.load()) AddDispatchEntry(core::lgTrigger, core::lsDataTrigger, Handle, nullptr, 0);
        Result = DispatchEvent(TriggerDataMsg, Handle, Length);
      }
      ScanPos = core::NextPos(Pos);
      return Result;
    }
    Pos = core::NextPos(Pos);
  }
  ScanPos = Pos;

  const uint32_t Level = AvailLevel.load();
  if (Level != 0 && LastAvailPos != Pos && AvailListened(*this)) {
    const uint32_t Used = InBuffUsed();
    if (Used >= Level) {
      if (Log.LoggingOn.load()) AddDispatchEntry(core::lgTrigger, core::lsAvailTrigger, Used, nullptr, 0);
      Result = DispatchEvent(TriggerAvailMsg, Used, 0);
      LastAvailPos = Pos;
      return Result;
    }
  }
  return false;
}

size_t TDudBaseDispatcher::DataTriggersCount() {
  std::lock_guard<std::recursive_mutex> Guard(DataSection);
  return DataTriggers.size();
}

}  // namespace dud
