// The port component: properties, opening and closing, data operations, the
// notification window and the events.
#include "comport/com_port.h"

#include <exception>
#include <mutex>
#include <thread>
#include <utility>

#include "device/message_pump.h"
#include "device/win32_dispatcher.h"
#include "errors/error_codes.h"

namespace dud {
namespace {

// Captured while the program's static objects are built, which happens on its main
// thread: exceptions of event methods are shown only there.
const std::thread::id MainThreadId = std::this_thread::get_id();

bool OnMainThread() { return std::this_thread::get_id() == MainThreadId; }

TPortPrompt& CurrentPortPrompt() {
  static TPortPrompt Prompt;
  return Prompt;
}

// The notification window class, registered once per process on first use.
bool RegisterComWindowClass() {
  static std::once_flag Once;
  static bool Registered = false;
  std::call_once(Once, [] {
    WNDCLASSA Class{};
    Class.lpfnWndProc = ComWindowProc;
    Class.cbWndExtra = 4;
    Class.hInstance = GetModuleHandleA(nullptr);
    Class.lpszClassName = ComWindowClassName;
    Registered = RegisterClassA(&Class) != 0 || GetLastError() == ERROR_CLASS_ALREADY_EXISTS;
  });
  return Registered;
}

bool IsComWindowMessage(UINT Msg) {
  return (Msg >= TriggerAvailMsg && Msg <= TriggerStatusMsg) || Msg == ComCloseCompleteMsg;
}

// Sets the force flag for its lifetime and restores the previous value after.
class TForceScope {
 public:
  explicit TForceScope(bool& Flag) : Flag(Flag), Saved(Flag) { Flag = true; }
  ~TForceScope() { Flag = Saved; }
  TForceScope(const TForceScope&) = delete;
  TForceScope& operator=(const TForceScope&) = delete;

 private:
  bool& Flag;
  bool Saved;
};

// Counts the trigger events running on this component (they may nest when an
// event handles window messages).
class TNotifyingScope {
 public:
  explicit TNotifyingScope(int32_t& Depth) : Depth(Depth) { ++Depth; }
  ~TNotifyingScope() { --Depth; }
  TNotifyingScope(const TNotifyingScope&) = delete;
  TNotifyingScope& operator=(const TNotifyingScope&) = delete;

 private:
  int32_t& Depth;
};

// The longest a deferred close lets the application thread sleep before it
// looks at the dispatcher's threads again (it wakes earlier for a new message).
constexpr DWORD DeferredCloseRecheckMs = 10;

}  // namespace

TPortPrompt SetPortPrompt(TPortPrompt Prompt) { return std::exchange(CurrentPortPrompt(), std::move(Prompt)); }

// ---------------------------------------------------------------- construction

TDudCustomComPort::TDudCustomComPort(TDudBaseComponent* Owner) : TDudBaseComponent(Owner) {}

TDudCustomComPort::~TDudCustomComPort() {
  try {
    if (FPortState == psOpen) ClosePort();
  } catch (const std::exception& E) {
    if (OnMainThread()) ShowException(E);
  } catch (...) {
  }
  // A close that waits for its completion message is completed now: the window
  // goes first, so that nothing posted to it reaches this component any more, then
  // the dispatcher, whose destruction waits for its threads.
  if (FPortState == psClosing) FinishClose();
  TDudBaseDispatcher::FreeTriggerSet(FSavedTriggers);
}

void TDudCustomComPort::Loaded() {
  TDudBaseComponent::Loaded();
  if (Designing()) return;
  if (FOpenAtLoad) FOpen = true;
  if (!FOpen) return;
  FOpenAtLoad = false;
  FOpen = false;
  try {
    SetOpen(true);
  } catch (const std::exception& E) {
    FOpen = false;
    ShowException(E);
  }
}

void TDudCustomComPort::Assign(const TDudCustomComPort& Source) {
  if (&Source == this) return;
  FDeviceLayer = Source.FDeviceLayer;
  FComNumber = Source.FComNumber;
  FBaud = Source.FBaud;
  FParity = Source.FParity;
  FDataBits = Source.FDataBits;
  FStopBits = Source.FStopBits;
  FInSize = Source.FInSize;
  FOutSize = Source.FOutSize;
  FAutoOpen = Source.FAutoOpen;
  FPromptForPort = Source.FPromptForPort;
  FRS485Mode = Source.FRS485Mode;
  FThreadBoost = Source.FThreadBoost;
  FDTR = Source.FDTR;
  FRTS = Source.FRTS;
  FBufferFull = Source.FBufferFull;
  FBufferResume = Source.FBufferResume;
  FHWFlowOptions = Source.FHWFlowOptions;
  FSWFlowOptions = Source.FSWFlowOptions;
  FXOnChar = Source.FXOnChar;
  FXOffChar = Source.FXOffChar;
  FTracing = Source.FTracing;
  FTraceSize = Source.FTraceSize;
  FTraceName = Source.FTraceName;
  FTraceHex = Source.FTraceHex;
  FTraceAllHex = Source.FTraceAllHex;
  FLogging = Source.FLogging;
  FLogSize = Source.FLogSize;
  FLogName = Source.FLogName;
  FLogHex = Source.FLogHex;
  FLogAllHex = Source.FLogAllHex;
  FAvailLevel = Source.FAvailLevel;
  FTapiMode = Source.FTapiMode;
  FForce = Source.FForce;
  SetOnTrigger(Source.FOnTrigger);
  SetOnTriggerAvail(Source.FOnTriggerAvail);
  SetOnTriggerData(Source.FOnTriggerData);
  SetOnTriggerStatus(Source.FOnTriggerStatus);
  SetOnTriggerTimer(Source.FOnTriggerTimer);
  FOnPortOpen = Source.FOnPortOpen;
  FOnPortClose = Source.FOnPortClose;
  if (Source.FPortState == psOpen && Source.FDispatcher) {
    Source.FDispatcher->SaveTriggers(FSavedTriggers);
    FRestoreTriggers = true;
  }
  FOpen = false;
}

// ---------------------------------------------------------------- properties

void TDudCustomComPort::SetDeviceLayer(TDeviceLayer V) {
  if (V == FDeviceLayer || FPortState != psClosed) return;
  if (!SupportedLayers.Contains(V)) return;
  FDeviceLayer = V;
  DeviceLayerChanged();
}

void TDudCustomComPort::SetComNumber(uint16_t V) {
  if (V == FComNumber) return;
  if (FPortState != psOpen || Loading() || Designing()) {
    FComNumber = V;
    return;
  }
  // Reopen on the new number with the same triggers and trace and log requests.
  TTriggerSave Save;
  FDispatcher->SaveTriggers(Save);
  const TTraceLogState SavedTracing = FTracing;
  const TTraceLogState SavedLogging = FLogging;
  std::exception_ptr CloseFailure;
  try {
    SetOpen(false);
  } catch (...) {
    // A trace or log that could not be written; the port is closed all the same.
    CloseFailure = std::current_exception();
  }
  FComNumber = V;
  SetTracing(SavedTracing);
  SetLogging(SavedLogging);
  SetOpen(true);
  // After a deferred close the open waits for its completion; the triggers saved
  // by the close are restored then.
  if (FPortState == psOpen && FDispatcher) FDispatcher->RestoreTriggers(Save);
  TDudBaseDispatcher::FreeTriggerSet(Save);
  if (CloseFailure) std::rethrow_exception(CloseFailure);
}

void TDudCustomComPort::SetBaud(int32_t V) {
  if (V == FBaud) return;
  FBaud = V;
  if (FPortState == psOpen)
    CheckResultCode(this, FDispatcher->SetLine(static_cast<uint32_t>(FBaud), FParity, FDataBits, FStopBits));
}

void TDudCustomComPort::SetParity(TParity V) {
  if (V == FParity) return;
  FParity = V;
  if (FPortState == psOpen)
    CheckResultCode(this, FDispatcher->SetLine(static_cast<uint32_t>(FBaud), FParity, FDataBits, FStopBits));
}

void TDudCustomComPort::SetDataBits(uint16_t V) {
  if (V == FDataBits) return;
  FDataBits = V;
  if (FPortState == psOpen)
    CheckResultCode(this, FDispatcher->SetLine(static_cast<uint32_t>(FBaud), FParity, FDataBits, FStopBits));
}

void TDudCustomComPort::SetStopBits(uint16_t V) {
  if (V == FStopBits) return;
  FStopBits = V;
  if (FPortState == psOpen)
    CheckResultCode(this, FDispatcher->SetLine(static_cast<uint32_t>(FBaud), FParity, FDataBits, FStopBits));
}

void TDudCustomComPort::SetInSize(uint16_t V) {
  if (V == FInSize) return;
  FInSize = V;
  // The device may keep its old queue sizes; nothing depends on it.
  if (FPortState == psOpen) FDispatcher->SetupCom(FInSize, FOutSize);
}

void TDudCustomComPort::SetOutSize(uint16_t V) {
  if (V == FOutSize) return;
  FOutSize = V;
  if (FPortState == psOpen) FDispatcher->SetupCom(FInSize, FOutSize);
}

void TDudCustomComPort::SetOpen(bool V) {
  // Closing again while a close waits withdraws the open requested meanwhile.
  if (!V && FOpenPending) {
    FOpenPending = false;
    return;
  }
  if (V == FOpen) return;
  if (Designing() || Loading()) {
    FOpen = V;
    FOpenAtLoad = V;
    return;
  }
  if (V) OpenPort();
  else ClosePort();
}

void TDudCustomComPort::SetDTR(bool V) {
  if (V == FDTR && !FForce) return;
  if (FPortState != psOpen) {
    FDTR = V;
    return;
  }
  // 1: flow control owns the line, which keeps its level.
  if (CheckResultCode(this, FDispatcher->SetDTR(V)) == 0) FDTR = V;
}

void TDudCustomComPort::SetRTS(bool V) {
  if (V == FRTS && !FForce) return;
  if (FPortState != psOpen) {
    FRTS = V;
    return;
  }
  if (CheckResultCode(this, FDispatcher->SetRTS(V)) == 0) FRTS = V;
}

// Levels that are unset or out of range become fractions of InSize (truncated).
void TDudCustomComPort::AdjustFlowLevels(uint32_t FullPercent, uint32_t ResumePercent) {
  if (FBufferFull == 0 || FBufferFull > FInSize) FBufferFull = static_cast<uint16_t>(FInSize * FullPercent / 100);
  if (FBufferResume == 0 || FBufferResume > FBufferFull)
    FBufferResume = static_cast<uint16_t>(FInSize * ResumePercent / 100);
}

void TDudCustomComPort::SetHWFlowOptions(THWFlowOptionSet V) {
  if (V == FHWFlowOptions && !FForce) return;
  if (!V.Empty()) AdjustFlowLevels(90, 10);
  // The set's bits are the dispatcher's: 1 use DTR, 2 use RTS, 4 require DSR, 8 require CTS.
  if (FPortState == psOpen) CheckResultCode(this, FDispatcher->SetHardwareFlow(FBufferFull, FBufferResume, V.Mask()));
  FHWFlowOptions = V;
  // RTS cannot both pace the peer and switch an RS485 driver.
  if (V.Contains(hwfUseRTS) || V.Contains(hwfRequireCTS)) SetRS485Mode(false);
}

void TDudCustomComPort::SetSWFlowOptions(TSWFlowOptions V) {
  if (V == FSWFlowOptions && !FForce) return;
  if (V != swfNone) AdjustFlowLevels(75, 25);
  if (FPortState == psOpen) {
    if (V == swfNone) {
      CheckResultCode(this, FDispatcher->ClearSoftwareFlow());
    } else {
      const uint32_t Options =
          V == swfTransmit ? sfTransmitFlow : V == swfReceive ? sfReceiveFlow : sfTransmitFlow | sfReceiveFlow;
      CheckResultCode(this, FDispatcher->SetSoftwareFlow(FBufferFull, FBufferResume, Options));
      // Turning software flow on resets the device's characters to 17 and 19; our
      // own characters go back on (when opening, the XOnChar and XOffChar steps
      // that follow do it).
      if (!FForce && (FXOnChar != 17 || FXOffChar != 19))
        CheckResultCode(this, FDispatcher->SetFlowChars(FXOnChar, FXOffChar));
    }
  }
  FSWFlowOptions = V;
}

void TDudCustomComPort::SetXOnChar(char V) {
  if (V == FXOnChar && !FForce) return;
  FXOnChar = V;
  if (FPortState == psOpen) CheckResultCode(this, FDispatcher->SetFlowChars(FXOnChar, FXOffChar));
}

void TDudCustomComPort::SetXOffChar(char V) {
  if (V == FXOffChar && !FForce) return;
  FXOffChar = V;
  if (FPortState == psOpen) CheckResultCode(this, FDispatcher->SetFlowChars(FXOnChar, FXOffChar));
}

void TDudCustomComPort::ReapplyFlowOptions() {
  TForceScope Scope(FForce);
  SetHWFlowOptions(FHWFlowOptions);
  SetSWFlowOptions(FSWFlowOptions);
}

void TDudCustomComPort::SetBufferFull(uint16_t V) {
  if (V == FBufferFull && !FForce) return;
  // 90 % of the value given (not of InSize).
  if (V > FInSize) V = static_cast<uint16_t>(uint32_t{V} * 9 / 10);
  FBufferFull = V;
  ReapplyFlowOptions();
}

void TDudCustomComPort::SetBufferResume(uint16_t V) {
  if (V == FBufferResume && !FForce) return;
  if (V > FBufferFull) V = static_cast<uint16_t>(FBufferFull / 10);
  FBufferResume = V;
  ReapplyFlowOptions();
}

void TDudCustomComPort::SetTracing(TTraceLogState V) {
  if (V == FTracing && !FForce) return;
  if (FPortState != psOpen) {
    FTracing = V == tlOn ? tlOn : tlOff;
    return;
  }
  RequestTracing(V);
}

void TDudCustomComPort::RequestTracing(TTraceLogState V) {
  TDudBaseDispatcher& D = *FDispatcher;
  const bool Active = FTracing == tlOn || FTracing == tlPause;
  switch (V) {
    case tlOff:
      if (Active) D.AbortTracing();
      FTracing = tlOff;
      break;
    case tlOn:
      if (FTracing == tlPause) D.StartTracing();
      else CheckResultCode(this, D.InitTracing(FTraceSize));
      FTracing = tlOn;
      break;
    case tlDump:
    case tlAppend:
      if (Active) {
        D.StartTracing();
        // A failed write aborts the trace in the dispatcher: off either way.
        FTracing = tlOff;
        CheckResultCode(this, V == tlDump ? D.DumpTracing(FTraceName, FTraceHex, FTraceAllHex)
                                          : D.AppendTracing(FTraceName, FTraceHex, FTraceAllHex));
      }
      break;
    case tlClear:
      if (Active) D.ClearTracing();
      break;
    case tlPause:
      if (FTracing == tlOn) {
        D.StopTracing();
        FTracing = tlPause;
      }
      break;
    case tlAppendAndContinue:
      if (Active) {
        D.StartTracing();
        const int32_t Result = D.AppendTracing(FTraceName, FTraceHex, FTraceAllHex);
        FTracing = Result < 0 ? tlOff : tlOn;
        CheckResultCode(this, Result);
      }
      break;
  }
}

void TDudCustomComPort::SetTraceSize(uint32_t V) {
  if (V > MaxTraceSize) V = MaxTraceSize;
  if (V == FTraceSize) return;
  FTraceSize = V;
  // A running trace starts afresh with the new size; a paused one ends.
  if (FPortState == psOpen && (FTracing == tlOn || FTracing == tlPause)) {
    const TTraceLogState Previous = FTracing;
    RequestTracing(tlOff);
    RequestTracing(Previous);
  }
}

void TDudCustomComPort::SetLogging(TTraceLogState V) {
  if (V == FLogging && !FForce) return;
  if (FPortState != psOpen) {
    FLogging = V == tlOn ? tlOn : tlOff;
    return;
  }
  RequestLogging(V);
}

void TDudCustomComPort::RequestLogging(TTraceLogState V) {
  TDudBaseDispatcher& D = *FDispatcher;
  const bool Active = FLogging == tlOn || FLogging == tlPause;
  switch (V) {
    case tlOff:
      if (Active) D.AbortDispatchLogging();
      FLogging = tlOff;
      break;
    case tlOn:
      if (FLogging == tlPause) D.StartDispatchLogging();
      else D.InitDispatchLogging(FLogSize);
      FLogging = tlOn;
      break;
    case tlDump:
    case tlAppend:
      if (Active) {
        D.StartDispatchLogging();
        FLogging = tlOff;
        const int32_t Result = V == tlDump ? D.DumpDispatchLog(FLogName, FLogHex, FLogAllHex)
                                           : D.AppendDispatchLog(FLogName, FLogHex, FLogAllHex);
        // A report that could not be opened keeps its entries, and the log goes on
        // recording: it stays on, so that a request with a name that works can
        // still write them instead of a later tlOn throwing them away.
        if (Result < 0 && !D.Log.Empty()) FLogging = tlOn;
        CheckResultCode(this, Result);
      }
      break;
    case tlClear:
      if (Active) D.ClearDispatchLogging();
      break;
    case tlPause:
      if (FLogging == tlOn) {
        D.StopDispatchLogging();
        FLogging = tlPause;
      }
      break;
    case tlAppendAndContinue:
      if (Active) {
        D.StartDispatchLogging();
        // A report that cannot be written leaves the log recording.
        FLogging = tlOn;
        CheckResultCode(this, D.AppendDispatchLog(FLogName, FLogHex, FLogAllHex));
      }
      break;
  }
}

void TDudCustomComPort::SetLogSize(uint32_t V) {
  if (V > MaxLogSize) V = MaxLogSize;
  if (V == FLogSize) return;
  FLogSize = V;
  if (FPortState == psOpen && (FLogging == tlOn || FLogging == tlPause)) {
    const TTraceLogState Previous = FLogging;
    RequestLogging(tlOff);
    RequestLogging(Previous);
  }
}

void TDudCustomComPort::SetUseMSRShadow(bool) {}

void TDudCustomComPort::SetUseEventWord(bool V) {
  if (V == FUseEventWord && !FForce) return;
  FUseEventWord = V;
  constexpr uint32_t EventWordOption = 4;
  if (FPortState == psOpen) {
    if (V) FDispatcher->SetOptionFlags(EventWordOption);
    else FDispatcher->ClearOptionFlags(EventWordOption);
  }
}

void TDudCustomComPort::SetCommNotificationLevel(uint16_t V) { FCommNotificationLevel = V; }

void TDudCustomComPort::SetRS485Mode(bool V) {
  if (V == FRS485Mode && !FForce) return;
  if (FPortState == psOpen) FDispatcher->SetRS485Mode(V);
  FRS485Mode = V;
  if (V) {
    // The driver switches the line direction with RTS: RTS is not ours to use.
    THWFlowOptionSet Options = FHWFlowOptions;
    Options.Exclude(hwfUseRTS).Exclude(hwfRequireCTS);
    SetHWFlowOptions(Options);
    SetRTS(false);
  }
}

void TDudCustomComPort::SetAvailLevel(uint16_t V) {
  if (V == FAvailLevel && !FForce) return;
  FAvailLevel = V;
  if (FPortState == psOpen) FDispatcher->SetAvailLevel(V);
}

void TDudCustomComPort::SetThreadBoost(uint8_t V) {
  if (V == FThreadBoost && !FForce) return;
  FThreadBoost = V;
  if (FPortState == psOpen) FDispatcher->SetThreadBoost(V);
}

// ---------------------------------------------------------------- events

bool TDudCustomComPort::AnyTriggerEventAssigned() const {
  return FOnTrigger || FOnTriggerAvail || FOnTriggerData || FOnTriggerStatus || FOnTriggerTimer ||
         FOnTriggerLineError || FOnTriggerModemStatus || FOnTriggerOutbuffFree || FOnTriggerOutbuffUsed ||
         FOnTriggerOutSent;
}

void TDudCustomComPort::SetOnTrigger(TTriggerEvent F) {
  FOnTrigger = std::move(F);
  UpdateHandlerFlags();
}
void TDudCustomComPort::SetOnTriggerAvail(TTriggerAvailEvent F) {
  FOnTriggerAvail = std::move(F);
  UpdateHandlerFlags();
}
void TDudCustomComPort::SetOnTriggerData(TTriggerDataEvent F) {
  FOnTriggerData = std::move(F);
  UpdateHandlerFlags();
}
void TDudCustomComPort::SetOnTriggerStatus(TTriggerStatusEvent F) {
  FOnTriggerStatus = std::move(F);
  UpdateHandlerFlags();
}
void TDudCustomComPort::SetOnTriggerTimer(TTriggerTimerEvent F) {
  FOnTriggerTimer = std::move(F);
  UpdateHandlerFlags();
}
void TDudCustomComPort::SetOnTriggerLineError(TTriggerLineErrorEvent F) {
  FOnTriggerLineError = std::move(F);
  UpdateHandlerFlags();
}
void TDudCustomComPort::SetOnTriggerModemStatus(TNotifyEvent F) {
  FOnTriggerModemStatus = std::move(F);
  UpdateHandlerFlags();
}
void TDudCustomComPort::SetOnTriggerOutbuffFree(TNotifyEvent F) {
  FOnTriggerOutbuffFree = std::move(F);
  UpdateHandlerFlags();
}
void TDudCustomComPort::SetOnTriggerOutbuffUsed(TNotifyEvent F) {
  FOnTriggerOutbuffUsed = std::move(F);
  UpdateHandlerFlags();
}
void TDudCustomComPort::SetOnTriggerOutSent(TNotifyEvent F) {
  FOnTriggerOutSent = std::move(F);
  UpdateHandlerFlags();
}

void TDudCustomComPort::UpdateHandlerFlags() {
  if (FPortState != psOpen) return;
  FDispatcher->UpdateHandlerFlags(AnyTriggerEventAssigned() ? uhForceWndOn : uhForceWndOff);
}

void TDudCustomComPort::TriggerHandler(uint16_t Msg, uint16_t TriggerHandle, uint16_t Data) {
  if (FOnTrigger) FOnTrigger(this, Msg, TriggerHandle, Data);
}
void TDudCustomComPort::TriggerAvail(uint16_t Count) {
  if (FOnTriggerAvail) FOnTriggerAvail(this, Count);
}
void TDudCustomComPort::TriggerData(uint16_t TriggerHandle) {
  if (FOnTriggerData) FOnTriggerData(this, TriggerHandle);
}
void TDudCustomComPort::TriggerStatus(uint16_t TriggerHandle) {
  if (FOnTriggerStatus) FOnTriggerStatus(this, TriggerHandle);
}
void TDudCustomComPort::TriggerTimer(uint16_t TriggerHandle) {
  if (FOnTriggerTimer) FOnTriggerTimer(this, TriggerHandle);
}
void TDudCustomComPort::TriggerLineError(uint16_t Error, bool LineBreak) {
  if (FOnTriggerLineError) FOnTriggerLineError(this, Error, LineBreak);
}
void TDudCustomComPort::TriggerModemStatus() {
  if (FOnTriggerModemStatus) FOnTriggerModemStatus(this);
}
void TDudCustomComPort::TriggerOutbuffFree() {
  if (FOnTriggerOutbuffFree) FOnTriggerOutbuffFree(this);
}
void TDudCustomComPort::TriggerOutbuffUsed() {
  if (FOnTriggerOutbuffUsed) FOnTriggerOutbuffUsed(this);
}
void TDudCustomComPort::TriggerOutSent() {
  if (FOnTriggerOutSent) FOnTriggerOutSent(this);
}
void TDudCustomComPort::TriggerReserved(uint16_t) {}

void TDudCustomComPort::PortOpenNotify() {
  if (FOnPortOpen) FOnPortOpen(this);
}
void TDudCustomComPort::PortClosedNotify() {
  if (FOnPortClose) FOnPortClose(this);
}

// ---------------------------------------------------------------- opening

std::unique_ptr<TDudBaseDispatcher> TDudCustomComPort::CreateDispatcher() {
  if (FDeviceLayer == dlWin32) {
    // The telephony layer hands over a device it opened; its handle travels as a number.
    if (FTapiMode == tmOn)
      return std::make_unique<TDudTAPI32Dispatcher>(this, reinterpret_cast<HANDLE>(uintptr_t{FTapiHandle}));
    return std::make_unique<TDudWin32Dispatcher>(this);
  }
  CheckResultCode(this, ecNullApi);
  return nullptr;
}

int32_t TDudCustomComPort::OpenDevice() {
  const std::string Name = FTapiMode == tmOn ? std::string() : "\\\\.\\COM" + std::to_string(FComNumber);
  uint32_t Options = 0;
  if (FDTR) Options |= ipRaiseDTR;
  if (FRTS) Options |= ipRaiseRTS;
  if (FHWFlowOptions.Contains(hwfUseDTR)) Options |= ipDTRFlow;
  if (FHWFlowOptions.Contains(hwfUseRTS)) Options |= ipRTSFlow;
  int32_t Result = FDispatcher->InitPort(Name, static_cast<uint32_t>(FBaud), FParity, FDataBits, FStopBits, FInSize,
                                         FOutSize, Options);
  // Access denied: another program holds the port. Not found: no such port.
  if (Result == -static_cast<int32_t>(ERROR_ACCESS_DENIED)) Result = ecAlreadyOpen;
  else if (Result == -static_cast<int32_t>(ERROR_FILE_NOT_FOUND) ||
           Result == -static_cast<int32_t>(ERROR_PATH_NOT_FOUND))
    Result = ecBadId;
  return Result;
}

bool TDudCustomComPort::SelectPort(uint16_t& Number) {
  const TPortPrompt& Prompt = CurrentPortPrompt();
  return Prompt ? Prompt(Number) : false;
}

void TDudCustomComPort::OpenPort() {
  if (FPortState != psClosed) {
    FOpenPending = true;
    return;
  }
  if (FTapiMode != tmOn && FComNumber == 0) {
    uint16_t Number = 0;
    if (!FPromptForPort || !SelectPort(Number) || Number == 0) {
      CheckResultCode(this, ecNoPortSelected);
      return;
    }
    FComNumber = Number;
  }
  std::unique_ptr<TDudBaseDispatcher> Created = CreateDispatcher();
  if (!Created) return;
  Created->DeviceName = "COM" + std::to_string(FComNumber);
  FDispatcher = std::move(Created);
  // From here on a failure undoes the open and goes on to the caller.
  try {
    if (FTapiMode == tmOn) {
      if (FDispatcher->ComHandle == INVALID_HANDLE_VALUE || FDispatcher->ComHandle == nullptr)
        CheckResultCode(this, ecNotOpenedByTapi);
      uint32_t LineBaud = 0;
      uint16_t LineParity = 0, LineDataBits = 0, LineStopBits = 0;
      FDispatcher->GetLine(LineBaud, LineParity, LineDataBits, LineStopBits);
      FBaud = static_cast<int32_t>(LineBaud);
      FParity = static_cast<TParity>(LineParity);
      FDataBits = LineDataBits;
      FStopBits = LineStopBits;
      uint32_t HWOptions = 0, SWOptions = 0;
      FDispatcher->GetFlowOptions(HWOptions, SWOptions, FXOnChar, FXOffChar);
      FHWFlowOptions = THWFlowOptionSet{};
      for (THWFlowOptions O : {hwfUseDTR, hwfUseRTS, hwfRequireDSR, hwfRequireCTS})
        if (HWOptions & (1u << O)) FHWFlowOptions.Include(O);
      const bool Tx = (SWOptions & sfTransmitFlow) != 0, Rx = (SWOptions & sfReceiveFlow) != 0;
      FSWFlowOptions = Tx && Rx ? swfBoth : Tx ? swfTransmit : Rx ? swfReceive : swfNone;
    }
    if (CheckResultCode(this, OpenDevice()) < 0) {
      // Not raised while loading: give up quietly.
      FDispatcher.reset();
      return;
    }
    FPortState = psOpen;
    UpdateHandlerFlags();
    {
      TForceScope Scope(FForce);
      SetTracing(FTracing);
      SetLogging(FLogging);
      SetHWFlowOptions(FHWFlowOptions);
      SetSWFlowOptions(FSWFlowOptions);
      SetXOnChar(FXOnChar);
      SetXOffChar(FXOffChar);
      SetAvailLevel(FAvailLevel);
      SetDTR(FDTR);
      SetRTS(FRTS);
      SetUseEventWord(FUseEventWord);
      SetRS485Mode(FRS485Mode);
      SetThreadBoost(FThreadBoost);
    }
    FForce = false;
    FOpen = true;
    PortWindow(true);
    if (FRestoreTriggers) {
      FRestoreTriggers = false;
      FDispatcher->RestoreTriggers(FSavedTriggers);
    }
    PortOpenNotify();
  } catch (...) {
    FOpen = false;
    FPortState = psClosed;
    PortWindow(false);
    FDispatcher.reset();
    throw;
  }
}

// ---------------------------------------------------------------- closing

void TDudCustomComPort::ClosePort() {
  if (FPortState != psOpen) return;
  // Write a running trace and log; a file that cannot be written must not keep the
  // port open, so its failure is raised after the close.
  std::exception_ptr DumpFailure;
  try {
    SetTracing(tlDump);
  } catch (...) {
    DumpFailure = std::current_exception();
  }
  try {
    SetLogging(tlDump);
  } catch (...) {
    if (!DumpFailure) DumpFailure = std::current_exception();
  }
  FPortState = psClosing;
  FOpen = false;
  PortClosingNotify();
  FDispatcher->SaveTriggers(FSavedTriggers);
  FRestoreTriggers = true;
  const LPARAM CompletionParam = MAKELONG(0, FDispatcher->Handle);
  if (FNotifying > 0 && FWindow != nullptr) {
    // Inside one of our trigger events: the dispatcher's thread waits for this
    // event to return, so its threads cannot be stopped from here without
    // blocking until its send times out. The completion message closes the
    // dispatcher once the event has returned.
    FCloseDispatcherLater = true;
    PostMessageA(FWindow, ComCloseCompleteMsg, 0, CompletionParam);
  } else {
    FDispatcher->ClosePort();
    if (FDispatcher->ClosePending.load() && FWindow != nullptr) {
      // A dispatch was running: the dispatcher finishes when its thread ends, and
      // the completion message finishes here.
      PostMessageA(FWindow, ComCloseCompleteMsg, 0, CompletionParam);
      PumpOneMessage();
    } else {
      FinishClose();
    }
  }
  PortClosedNotify();
  if (DumpFailure) std::rethrow_exception(DumpFailure);
}

void TDudCustomComPort::FinishClose() {
  PortWindow(false);
  FDispatcher.reset();
  FPortState = psClosed;
  FOpen = false;
}

void TDudCustomComPort::CompleteDeferredClose(LPARAM LParam) {
  if (FPortState != psClosing || !FDispatcher) return;
  if (FNotifying == 0 && FCloseDispatcherLater) {
    FCloseDispatcherLater = false;
    FDispatcher->ClosePort();
  }
  if (FCloseDispatcherLater || FDispatcher->ThreadsActive.load()) {
    // Not yet (still inside an event, or the threads are ending): look again
    // shortly, without keeping the thread busy meanwhile.
    MsgWaitForMultipleObjects(0, nullptr, FALSE, DeferredCloseRecheckMs, QS_ALLINPUT);
    PostMessageA(FWindow, ComCloseCompleteMsg, 0, LParam);
    return;
  }
  FinishClose();
  if (FOpenPending) {
    FOpenPending = false;
    SetOpen(true);
  }
}

void TDudCustomComPort::ProcessCommunications() {
  TDudBaseDispatcher* D = ValidDispatcher();
  if (D != nullptr) CheckResultCode(this, D->ProcessCommunications());
}

// ---------------------------------------------------------------- notification window

void TDudCustomComPort::PortWindow(bool Create) {
  if (Create) {
    if (FWindow != nullptr) return;
    if (!RegisterComWindowClass()) CheckResultCode(this, ecInternal);
    HWND Window = CreateWindowExA(0, ComWindowClassName, "", 0, 0, 0, 0, 0, nullptr, nullptr,
                                  GetModuleHandleA(nullptr), nullptr);
    if (Window == nullptr) {
      CheckResultCode(this, ecInternal);
      return;
    }
    FWindow = Window;
    if (FDispatcher) FDispatcher->RegisterWndHandler(Window);
  } else {
    if (FWindow == nullptr) return;
    HWND Window = std::exchange(FWindow, nullptr);
    if (FDispatcher) FDispatcher->DeregisterWndHandler(Window);
    DestroyWindow(Window);
  }
}

void TDudCustomComPort::HandleNotification(UINT Msg, WPARAM WParam, LPARAM LParam) {
  if (Msg == ComCloseCompleteMsg) {
    TriggerHandler(static_cast<uint16_t>(Msg), LOWORD(WParam), LOWORD(LParam));
    CompleteDeferredClose(LParam);
    return;
  }
  // Once a close was asked for, no further trigger events.
  if (FPortState != psOpen) return;
  TNotifyingScope Scope(FNotifying);
  const uint16_t TriggerHandle = LOWORD(WParam);
  // For avail the data is the byte count, which travels in the word parameter.
  TriggerHandler(static_cast<uint16_t>(Msg), TriggerHandle, Msg == TriggerAvailMsg ? LOWORD(WParam) : LOWORD(LParam));
  switch (Msg) {
    case TriggerAvailMsg:
      TriggerAvail(LOWORD(WParam));
      break;
    case TriggerDataMsg:
      TriggerData(TriggerHandle);
      break;
    case TriggerTimerMsg:
      TriggerTimer(TriggerHandle);
      break;
    case TriggerStatusMsg:
      TriggerStatus(TriggerHandle);
      switch (TDudBaseDispatcher::StatusKindOf(TriggerHandle)) {
        case stModem:
          TriggerModemStatus();
          break;
        case stLine: {
          const bool Break = LineBreak();
          const uint16_t Error = LineError();
          TriggerLineError(Error, Break);
          break;
        }
        case stOutBuffFree:
          TriggerOutbuffFree();
          break;
        case stOutBuffUsed:
          TriggerOutbuffUsed();
          break;
        case stOutSent:
          TriggerOutSent();
          break;
        default:
          break;
      }
      break;
    default:
      break;
  }
}

LRESULT CALLBACK ComWindowProc(HWND Window, UINT Msg, WPARAM WParam, LPARAM LParam) {
  if (!IsComWindowMessage(Msg)) return DefWindowProcA(Window, Msg, WParam, LParam);
  std::lock_guard<std::recursive_mutex> Lock(PortListSection());
  const std::vector<TDudBaseDispatcher*>& List = PortList();
  const size_t Index = HIWORD(LParam);
  if (Index >= List.size() || List[Index] == nullptr) return 0;
  TDudBaseDispatcher* Dispatcher = List[Index];
  auto* Port = dynamic_cast<TDudCustomComPort*>(Dispatcher->Owner);
  // Only the component whose window this is and whose dispatcher sent it: a
  // message that outlived its port finds nobody.
  if (Port == nullptr || Port->FWindow != Window || Port->FDispatcher.get() != Dispatcher) return 0;
  try {
    Port->HandleNotification(Msg, WParam, LParam);
  } catch (const std::exception& E) {
    // Never back to the dispatcher's thread: shown on the main thread, else dropped.
    if (OnMainThread()) ShowException(E);
  } catch (...) {
    if (OnMainThread()) ShowException(Exception("Unknown exception in a port event"));
  }
  return 0;
}

// ---------------------------------------------------------------- data operations

TDudBaseDispatcher* TDudCustomComPort::ValidDispatcher() {
  if (!FDispatcher && !Designing() && !Loading() && FPortState != psOpen && FAutoOpen) SetOpen(true);
  if (!FDispatcher || FPortState != psOpen) {
    CheckResultCode(this, ecCommNotOpen);
    return nullptr;
  }
  return FDispatcher.get();
}

void TDudCustomComPort::PutChar(char C) {
  if (FPortState == psClosing) return;
  TDudBaseDispatcher* D = ValidDispatcher();
  if (D != nullptr) CheckResultCode(this, D->PutChar(static_cast<uint8_t>(C)));
}

void TDudCustomComPort::PutString(const std::string& S) {
  if (FPortState == psClosing) return;
  TDudBaseDispatcher* D = ValidDispatcher();
  if (D != nullptr) CheckResultCode(this, D->PutBlock(S.data(), static_cast<uint32_t>(S.size())));
}

uint32_t TDudCustomComPort::InBuffUsed() {
  if (FPortState == psClosing) return 0;
  TDudBaseDispatcher* D = ValidDispatcher();
  return D != nullptr ? D->InBuffUsed() : 0;
}

char TDudCustomComPort::GetChar() {
  if (FPortState == psClosing) {
    CheckResultCode(this, ecBufferIsEmpty);
    return 0;
  }
  TDudBaseDispatcher* D = ValidDispatcher();
  uint8_t C = 0;
  if (D != nullptr) CheckResultCode(this, D->GetChar(C));
  return static_cast<char>(C);
}

std::string TDudCustomComPort::GetBlock(uint32_t Len) {
  if (FPortState == psClosing) {
    if (Len > 0) CheckResultCode(this, ecBufferIsEmpty);
    return std::string();
  }
  TDudBaseDispatcher* D = ValidDispatcher();
  std::string Block(Len, '\0');
  if (D == nullptr || CheckResultCode(this, D->GetBlock(Block.data(), Len)) < 0) return std::string();
  return Block;
}

char TDudCustomComPort::PeekChar() {
  if (FPortState == psClosing) {
    CheckResultCode(this, ecBufferIsEmpty);
    return 0;
  }
  TDudBaseDispatcher* D = ValidDispatcher();
  uint8_t C = 0;
  if (D != nullptr) CheckResultCode(this, D->PeekChar(C));
  return static_cast<char>(C);
}

std::string TDudCustomComPort::PeekBlock(uint32_t Len) {
  if (FPortState == psClosing) {
    if (Len > 0) CheckResultCode(this, ecBufferIsEmpty);
    return std::string();
  }
  TDudBaseDispatcher* D = ValidDispatcher();
  std::string Block(Len, '\0');
  if (D == nullptr || CheckResultCode(this, D->PeekBlock(Block.data(), Len)) < 0) return std::string();
  return Block;
}

void TDudCustomComPort::FlushInBuffer() {
  if (FPortState == psClosing) return;
  TDudBaseDispatcher* D = ValidDispatcher();
  if (D != nullptr) CheckResultCode(this, D->FlushInBuffer());
}

void TDudCustomComPort::FlushOutBuffer() {
  if (FPortState == psClosing) return;
  TDudBaseDispatcher* D = ValidDispatcher();
  if (D != nullptr) D->FlushOutBuffer();
}

uint32_t TDudCustomComPort::OutBuffFree() {
  if (FPortState == psClosing) return 0;
  TDudBaseDispatcher* D = ValidDispatcher();
  return D != nullptr ? D->OutBuffFree() : 0;
}

uint32_t TDudCustomComPort::OutBuffUsed() {
  if (FPortState == psClosing) return 0;
  TDudBaseDispatcher* D = ValidDispatcher();
  return D != nullptr ? D->OutBuffUsed() : 0;
}

uint16_t TDudCustomComPort::LineError() {
  if (FPortState != psOpen) return 0;
  return static_cast<uint16_t>(CheckResultCode(this, FDispatcher->GetLineError()));
}

bool TDudCustomComPort::LineBreak() {
  if (FPortState != psOpen) return false;
  return FDispatcher->CheckLineBreak();
}

// ---------------------------------------------------------------- triggers

uint16_t TDudCustomComPort::AddTimerTrigger() {
  TDudBaseDispatcher* D = ValidDispatcher();
  if (D == nullptr) return 0;
  const int32_t Result = CheckResultCode(this, D->AddTimerTrigger());
  return Result > 0 ? static_cast<uint16_t>(Result) : 0;
}

void TDudCustomComPort::SetTimerTrigger(uint16_t TriggerHandle, int32_t Ticks, bool Activate) {
  TDudBaseDispatcher* D = ValidDispatcher();
  if (D != nullptr) CheckResultCode(this, D->SetTimerTrigger(TriggerHandle, Ticks, Activate));
}

uint16_t TDudCustomComPort::AddDataTrigger(const std::string& Pattern, bool IgnoreCase) {
  TDudBaseDispatcher* D = ValidDispatcher();
  if (D == nullptr) return 0;
  const int32_t Result = CheckResultCode(this, D->AddDataTrigger(Pattern, IgnoreCase));
  return Result > 0 ? static_cast<uint16_t>(Result) : 0;
}

uint16_t TDudCustomComPort::AddStatusTrigger(uint32_t Kind) {
  TDudBaseDispatcher* D = ValidDispatcher();
  if (D == nullptr) return 0;
  const int32_t Result = CheckResultCode(this, D->AddStatusTrigger(Kind));
  return Result > 0 ? static_cast<uint16_t>(Result) : 0;
}

void TDudCustomComPort::SetStatusTrigger(uint16_t TriggerHandle, uint16_t Value, bool Activate) {
  TDudBaseDispatcher* D = ValidDispatcher();
  if (D != nullptr) CheckResultCode(this, D->SetStatusTrigger(TriggerHandle, Value, Activate));
}

void TDudCustomComPort::RemoveTrigger(uint16_t TriggerHandle) {
  TDudBaseDispatcher* D = ValidDispatcher();
  if (D != nullptr) CheckResultCode(this, D->RemoveTrigger(TriggerHandle));
}

}  // namespace dud
