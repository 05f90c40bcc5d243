// TDudComPort: the object an application holds to use one serial port.
//
// It keeps the port's settings as properties (getter and setter pairs) that may be
// set before the port opens or while it is open, creates and owns a dispatcher
// (TDudWin32Dispatcher) while the port is open, forwards every change to it, and
// turns failing error codes into exceptions with CheckResultCode. While the port is
// open a hidden window of class "dudComWindow" receives the dispatcher's trigger
// messages and turns them into the component's events, on the thread that opened
// the port.
//
// Threads: a component belongs to the thread that created it (the application
// thread); every operation, every property and every event runs there. The
// dispatcher's threads never call into the component: they reach it only through
// messages to its notification window, which the application thread handles while
// it pumps its window messages. The component holds no lock of its own. The one
// exception: a worker thread that ends with an error reads Loading() (through
// CheckResultCode); the loading state changes only while no port is open.
#pragma once

#include <cstdint>
#include <functional>
#include <initializer_list>
#include <memory>
#include <string>

#include "dispatch/base_dispatcher.h"
#include "errors/exceptions.h"
#include "platform/win32.h"

namespace dud {

// ---------------------------------------------------------------- enumerations and sets

enum TDeviceLayer : uint8_t { dlWin32, dlWinsock };
enum TParity : uint8_t { pNone, pOdd, pEven, pMark, pSpace };
enum THWFlowOptions : uint8_t { hwfUseDTR, hwfUseRTS, hwfRequireDSR, hwfRequireCTS };
enum TSWFlowOptions : uint8_t { swfNone, swfReceive, swfTransmit, swfBoth };
// Requests of the Tracing and Logging properties (and the states they report).
enum TTraceLogState : uint8_t { tlOff, tlOn, tlDump, tlAppend, tlClear, tlPause, tlAppendAndContinue };
enum TTapiMode : uint8_t { tmNone, tmAuto, tmOn, tmOff };
// The port's own state: a close may have to wait for the dispatcher (closing).
enum TPortState : uint8_t { psClosed, psClosing, psOpen };

// A small set of enumeration values (at most 32 of them), as "set of" types are.
template <class E>
class TSmallSet {
 public:
  constexpr TSmallSet() = default;
  constexpr TSmallSet(std::initializer_list<E> Items) {
    for (E Item : Items) Bits |= Bit(Item);
  }
  constexpr bool Contains(E Item) const { return (Bits & Bit(Item)) != 0; }
  constexpr bool Empty() const { return Bits == 0; }
  constexpr TSmallSet& Include(E Item) {
    Bits |= Bit(Item);
    return *this;
  }
  constexpr TSmallSet& Exclude(E Item) {
    Bits &= ~Bit(Item);
    return *this;
  }
  constexpr uint32_t Mask() const { return Bits; }  // bit n for the value n
  friend constexpr bool operator==(TSmallSet A, TSmallSet B) { return A.Bits == B.Bits; }

 private:
  static constexpr uint32_t Bit(E Item) { return uint32_t{1} << static_cast<uint32_t>(Item); }
  uint32_t Bits = 0;
};

using THWFlowOptionSet = TSmallSet<THWFlowOptions>;
using TDeviceLayerSet = TSmallSet<TDeviceLayer>;

// The framework's component state flags.
enum TComponentStateFlag : uint8_t { csLoading, csDesigning };
using TComponentState = TSmallSet<TComponentStateFlag>;

// ---------------------------------------------------------------- events

class TDudCustomComPort;

// Every event gets the component as its first argument.
using TNotifyEvent = std::function<void(TDudCustomComPort* CP)>;
using TTriggerEvent =
    std::function<void(TDudCustomComPort* CP, uint16_t Msg, uint16_t TriggerHandle, uint16_t Data)>;
using TTriggerAvailEvent = std::function<void(TDudCustomComPort* CP, uint16_t Count)>;
using TTriggerDataEvent = std::function<void(TDudCustomComPort* CP, uint16_t TriggerHandle)>;
using TTriggerStatusEvent = std::function<void(TDudCustomComPort* CP, uint16_t TriggerHandle)>;
using TTriggerTimerEvent = std::function<void(TDudCustomComPort* CP, uint16_t TriggerHandle)>;
using TTriggerLineErrorEvent = std::function<void(TDudCustomComPort* CP, uint16_t Error, bool LineBreak)>;

// The close-completion message the component posts to its own notification window.
constexpr UINT ComCloseCompleteMsg = 0x7E0A;
// The window class of the notification windows.
inline constexpr const char* ComWindowClassName = "dudComWindow";

// Asked for a port number when a port is to be opened without one. Returns true
// and sets ComNumber when the user chose a port. May raise (a choice that is not
// a number, for instance).
using TPortPrompt = std::function<bool(uint16_t& ComNumber)>;
// Replaces the process-wide prompt that TDudCustomComPort::SelectPort uses by
// default (the port selection dialog installs itself here). An empty function
// means "no way to ask": opening without a port number then raises
// ENoPortSelected. Returns the previous prompt. Application thread only.
TPortPrompt SetPortPrompt(TPortPrompt Prompt);

// ---------------------------------------------------------------- components

// A component of the windowing framework: an owner, a name, a Tag and the
// loading state that the framework sets while it reads stored properties.
// The owner is recorded only; whoever holds the component (through a
// std::unique_ptr) destroys it.
class TDudBaseComponent : public TDudResultOwner {
 public:
  explicit TDudBaseComponent(TDudBaseComponent* Owner) : FOwner(Owner) {}
  ~TDudBaseComponent() override = default;
  TDudBaseComponent(const TDudBaseComponent&) = delete;
  TDudBaseComponent& operator=(const TDudBaseComponent&) = delete;

  TDudBaseComponent* Owner() const { return FOwner; }
  const std::string& Name() const { return FName; }
  void SetName(const std::string& V) { FName = V; }
  intptr_t Tag() const { return FTag; }
  void SetTag(intptr_t V) { FTag = V; }
  // Always "v4.07"; assigning it has no effect.
  std::string Version() const { return "v4.07"; }
  void SetVersion(const std::string&) {}

  TComponentState ComponentState() const { return FComponentState; }
  bool Loading() const override { return FComponentState.Contains(csLoading); }
  bool Designing() const { return FComponentState.Contains(csDesigning); }
  // The framework's loading protocol: BeginLoading before the stored properties
  // are set, Loaded after them.
  void BeginLoading() { FComponentState.Include(csLoading); }
  // Ends the loading state; derived components add their own work after it.
  virtual void Loaded() { FComponentState.Exclude(csLoading); }
  void SetDesigning(bool V) {
    if (V) FComponentState.Include(csDesigning);
    else FComponentState.Exclude(csDesigning);
  }

 private:
  TDudBaseComponent* FOwner;
  std::string FName;
  intptr_t FTag = 0;
  TComponentState FComponentState;
};

// All behaviour of the port component. See the file comment for threads.
class TDudCustomComPort : public TDudBaseComponent {
 public:
  // Capacity limits of the trace ring (entries) and of the dispatch log (bytes).
  static constexpr uint32_t MaxTraceSize = 4000000;
  static constexpr uint32_t MaxLogSize = 16000000;
  // Longest trace and log file name.
  static constexpr size_t MaxFileNameLength = 255;
  // The device layers this component can create.
  static constexpr TDeviceLayerSet SupportedLayers{dlWin32};

  explicit TDudCustomComPort(TDudBaseComponent* Owner = nullptr);
  // Closes an open port (completing a deferred close first) and frees the saved
  // triggers. A failure while closing cannot leave a destructor: it is shown.
  // Not to be destroyed from inside one of its own events.
  ~TDudCustomComPort() override;

  // After the stored properties were read: opens the port when Open was set while
  // loading. A failure of that open is shown, Open becomes False, loading goes on.
  void Loaded() override;

  // Copies the settings (not the port) of Source; Open becomes False without
  // closing anything. Meant for closed components. When Source is open its
  // triggers are saved here and restored at this component's next open.
  void Assign(const TDudCustomComPort& Source);

  // ------------------------------------------------------------ properties

  TDeviceLayer DeviceLayer() const { return FDeviceLayer; }
  void SetDeviceLayer(TDeviceLayer V);
  uint16_t ComNumber() const { return FComNumber; }
  void SetComNumber(uint16_t V);
  int32_t Baud() const { return FBaud; }
  void SetBaud(int32_t V);
  bool PromptForPort() const { return FPromptForPort; }
  void SetPromptForPort(bool V) { FPromptForPort = V; }
  TParity Parity() const { return FParity; }
  void SetParity(TParity V);
  uint16_t DataBits() const { return FDataBits; }
  void SetDataBits(uint16_t V);
  uint16_t StopBits() const { return FStopBits; }
  void SetStopBits(uint16_t V);
  uint16_t InSize() const { return FInSize; }
  void SetInSize(uint16_t V);
  uint16_t OutSize() const { return FOutSize; }
  void SetOutSize(uint16_t V);
  bool AutoOpen() const { return FAutoOpen; }
  void SetAutoOpen(bool V) { FAutoOpen = V; }
  // True while the port is open. False as soon as a close has been asked for, also
  // while a deferred close still waits for the dispatcher.
  bool Open() const { return FOpen; }
  void SetOpen(bool V);
  bool DTR() const { return FDTR; }
  void SetDTR(bool V);
  bool RTS() const { return FRTS; }
  void SetRTS(bool V);
  THWFlowOptionSet HWFlowOptions() const { return FHWFlowOptions; }
  void SetHWFlowOptions(THWFlowOptionSet V);
  TSWFlowOptions SWFlowOptions() const { return FSWFlowOptions; }
  void SetSWFlowOptions(TSWFlowOptions V);
  char XOnChar() const { return FXOnChar; }
  void SetXOnChar(char V);
  char XOffChar() const { return FXOffChar; }
  void SetXOffChar(char V);
  uint16_t BufferFull() const { return FBufferFull; }
  void SetBufferFull(uint16_t V);
  uint16_t BufferResume() const { return FBufferResume; }
  void SetBufferResume(uint16_t V);
  TTraceLogState Tracing() const { return FTracing; }
  void SetTracing(TTraceLogState V);
  uint32_t TraceSize() const { return FTraceSize; }
  void SetTraceSize(uint32_t V);
  const std::string& TraceName() const { return FTraceName; }
  void SetTraceName(const std::string& V) { FTraceName = V.substr(0, MaxFileNameLength); }
  bool TraceHex() const { return FTraceHex; }
  void SetTraceHex(bool V) { FTraceHex = V; }
  bool TraceAllHex() const { return FTraceAllHex; }
  void SetTraceAllHex(bool V) { FTraceAllHex = V; }
  TTraceLogState Logging() const { return FLogging; }
  void SetLogging(TTraceLogState V);
  uint32_t LogSize() const { return FLogSize; }
  void SetLogSize(uint32_t V);
  const std::string& LogName() const { return FLogName; }
  void SetLogName(const std::string& V) { FLogName = V.substr(0, MaxFileNameLength); }
  bool LogHex() const { return FLogHex; }
  void SetLogHex(bool V) { FLogHex = V; }
  bool LogAllHex() const { return FLogAllHex; }
  void SetLogAllHex(bool V) { FLogAllHex = V; }
  // Always True; the setter is a hook of derived components and stores nothing.
  bool UseMSRShadow() const { return FUseMSRShadow; }
  virtual void SetUseMSRShadow(bool V);
  bool UseEventWord() const { return FUseEventWord; }
  void SetUseEventWord(bool V);
  uint16_t CommNotificationLevel() const { return FCommNotificationLevel; }
  void SetCommNotificationLevel(uint16_t V);
  TTapiMode TapiMode() const { return FTapiMode; }
  void SetTapiMode(TTapiMode V) { FTapiMode = V; }
  bool RS485Mode() const { return FRS485Mode; }
  void SetRS485Mode(bool V);

  // Not stored with a form.
  uint16_t AvailLevel() const { return FAvailLevel; }
  void SetAvailLevel(uint16_t V);
  uint8_t ThreadBoost() const { return FThreadBoost; }
  void SetThreadBoost(uint8_t V);
  uint16_t TapiHandle() const { return FTapiHandle; }
  void SetTapiHandle(uint16_t V) { FTapiHandle = V; }
  TPortState PortState() const { return FPortState; }
  // The open dispatcher, or null; never opens the port.
  TDudBaseDispatcher* Dispatcher() const { return FDispatcher.get(); }
  // The notification window while the port is open (or a close waits), else null.
  HWND NotificationWindow() const { return FWindow; }

  // ------------------------------------------------------------ events

  const TNotifyEvent& OnPortClose() const { return FOnPortClose; }
  void SetOnPortClose(TNotifyEvent F) { FOnPortClose = std::move(F); }
  const TNotifyEvent& OnPortOpen() const { return FOnPortOpen; }
  void SetOnPortOpen(TNotifyEvent F) { FOnPortOpen = std::move(F); }
  // Assigning one of the ten trigger events tells an open dispatcher whether
  // trigger messages are wanted at all.
  const TTriggerEvent& OnTrigger() const { return FOnTrigger; }
  void SetOnTrigger(TTriggerEvent F);
  const TTriggerAvailEvent& OnTriggerAvail() const { return FOnTriggerAvail; }
  void SetOnTriggerAvail(TTriggerAvailEvent F);
  const TTriggerDataEvent& OnTriggerData() const { return FOnTriggerData; }
  void SetOnTriggerData(TTriggerDataEvent F);
  const TTriggerStatusEvent& OnTriggerStatus() const { return FOnTriggerStatus; }
  void SetOnTriggerStatus(TTriggerStatusEvent F);
  const TTriggerTimerEvent& OnTriggerTimer() const { return FOnTriggerTimer; }
  void SetOnTriggerTimer(TTriggerTimerEvent F);
  const TTriggerLineErrorEvent& OnTriggerLineError() const { return FOnTriggerLineError; }
  void SetOnTriggerLineError(TTriggerLineErrorEvent F);
  const TNotifyEvent& OnTriggerModemStatus() const { return FOnTriggerModemStatus; }
  void SetOnTriggerModemStatus(TNotifyEvent F);
  const TNotifyEvent& OnTriggerOutbuffFree() const { return FOnTriggerOutbuffFree; }
  void SetOnTriggerOutbuffFree(TNotifyEvent F);
  const TNotifyEvent& OnTriggerOutbuffUsed() const { return FOnTriggerOutbuffUsed; }
  void SetOnTriggerOutbuffUsed(TNotifyEvent F);
  const TNotifyEvent& OnTriggerOutSent() const { return FOnTriggerOutSent; }
  void SetOnTriggerOutSent(TNotifyEvent F);

  // ------------------------------------------------------------ data operations
  // Each needs the dispatcher: on a closed port it opens the port first when
  // AutoOpen allows it, and raises ECommNotOpen (-2007) when there still is none.
  // While a close is being completed they do nothing (reads find nothing).

  // Puts one byte into the output ring; the write thread sends it.
  void PutChar(char C);
  // Puts all bytes of S (zero bytes included) into the output ring as one block,
  // or none of them (EOutputBufferTooSmall).
  void PutString(const std::string& S);

  // Reading received bytes out of the dispatch ring. Usable inside an avail or
  // data event: the bytes read there leave the ring when the dispatch ends.
  // Bytes waiting to be read.
  uint32_t InBuffUsed();
  bool CharReady() { return InBuffUsed() > 0; }
  // Takes one byte; raises EBufferIsEmpty when none waits.
  char GetChar();
  // Takes exactly Len bytes, or raises EBufferIsEmpty and takes none.
  std::string GetBlock(uint32_t Len);
  // As GetChar and GetBlock, but the bytes stay in the ring.
  char PeekChar();
  std::string PeekBlock(uint32_t Len);
  // Discards received bytes (device input and the ring).
  void FlushInBuffer();
  // Discards output that has not been sent.
  void FlushOutBuffer();
  uint32_t OutBuffFree();
  uint32_t OutBuffUsed();

  // Line status helpers for the events; 0 and False while the port is not open.
  // Both clear what they report.
  uint16_t LineError();
  bool LineBreak();

  // ------------------------------------------------------------ triggers
  // Trigger handles as the trigger events report them. Failures are raised
  // (ENoMoreTriggers, ETriggerTooLong, EBadTriggerHandle, EBadArgument).

  // A timer trigger, disarmed; arm it with SetTimerTrigger.
  uint16_t AddTimerTrigger();
  // Arms (Activate) or disarms a timer trigger for Ticks ticks of 55 ms.
  void SetTimerTrigger(uint16_t TriggerHandle, int32_t Ticks, bool Activate);
  // A data trigger for Pattern (at most 22 bytes); with IgnoreCase, letters match
  // in either case.
  uint16_t AddDataTrigger(const std::string& Pattern, bool IgnoreCase);
  // A status trigger of Kind (stModem .. stOutSent), disarmed.
  uint16_t AddStatusTrigger(uint32_t Kind);
  // Sets a status trigger's value (see TDudBaseDispatcher::SetStatusTrigger) and
  // arms it when Activate is set.
  void SetStatusTrigger(uint16_t TriggerHandle, uint16_t Value, bool Activate);
  void RemoveTrigger(uint16_t TriggerHandle);

 protected:
  // ------------------------------------------------------------ virtual slots, in slot order

  // Creates the dispatcher for DeviceLayer and TapiMode; raises ENullApi for a
  // layer it cannot create.
  virtual std::unique_ptr<TDudBaseDispatcher> CreateDispatcher();
  // Called after DeviceLayer changed; nothing here.
  virtual void DeviceLayerChanged() {}
  // Opens the device through the new dispatcher (InitPort) and returns the result,
  // mapped: -5 (held by another program) -> ecAlreadyOpen, -2 and -3 -> ecBadId.
  virtual int32_t OpenDevice();
  // Creates (and registers with the dispatcher) or deregisters and destroys the
  // notification window.
  virtual void PortWindow(bool Create);
  // Asks for a port when one is to be opened without a number. True and a number
  // when one was chosen. Here: the process-wide prompt (SetPortPrompt), if any.
  virtual bool SelectPort(uint16_t& Number);
  // (SetUseMSRShadow is the next slot; declared with the properties.)
  // The event handlers: each calls its event if one is assigned.
  virtual void TriggerHandler(uint16_t Msg, uint16_t TriggerHandle, uint16_t Data);
  virtual void TriggerAvail(uint16_t Count);
  virtual void TriggerData(uint16_t TriggerHandle);
  virtual void TriggerStatus(uint16_t TriggerHandle);
  virtual void TriggerTimer(uint16_t TriggerHandle);
  // Tells an open dispatcher whether this component wants trigger messages: mode
  // 1 when any of the ten trigger events is assigned, else mode 2.
  virtual void UpdateHandlerFlags();
  virtual void TriggerLineError(uint16_t Error, bool LineBreak);
  virtual void TriggerModemStatus();
  virtual void TriggerOutbuffFree();
  virtual void TriggerOutbuffUsed();
  virtual void TriggerOutSent();
  // A handler no message of this system reaches; kept for derived components.
  virtual void TriggerReserved(uint16_t Value);
  // Closing (Open := False).
  virtual void ClosePort();
  // Lets the dispatcher process pending communications; raises its failure.
  virtual void ProcessCommunications();

  // Opening (Open := True) and the three notifications.
  virtual void OpenPort();
  virtual void PortOpenNotify();
  virtual void PortClosingNotify() {}
  virtual void PortClosedNotify();

  // The dispatcher to work with, opening the port first when AutoOpen allows it.
  // Raises ECommNotOpen when there is none (null only while loading, when nothing
  // is raised).
  TDudBaseDispatcher* ValidDispatcher();
  bool Force() const { return FForce; }

 private:
  friend LRESULT CALLBACK ComWindowProc(HWND Window, UINT Msg, WPARAM WParam, LPARAM LParam);

  bool AnyTriggerEventAssigned() const;
  void AdjustFlowLevels(uint32_t FullPercent, uint32_t ResumePercent);
  void ReapplyFlowOptions();
  // The requested state carried out on the open dispatcher.
  void RequestTracing(TTraceLogState V);
  void RequestLogging(TTraceLogState V);
  // Destroys the window and the dispatcher after a close: Open False, closed.
  void FinishClose();
  // The close-completion message: finishes a deferred close once the threads are gone.
  void CompleteDeferredClose(LPARAM LParam);
  // Runs a window message on this component (steps 3 and 4 of the window procedure).
  void HandleNotification(UINT Msg, WPARAM WParam, LPARAM LParam);

  TDeviceLayer FDeviceLayer = dlWin32;
  uint16_t FComNumber = 0;
  int32_t FBaud = 19200;
  bool FPromptForPort = true;
  TParity FParity = pNone;
  uint16_t FDataBits = 8;
  uint16_t FStopBits = 1;
  uint16_t FInSize = 4096;
  uint16_t FOutSize = 4096;
  bool FAutoOpen = true;
  bool FOpen = false;
  bool FDTR = true;
  bool FRTS = true;
  THWFlowOptionSet FHWFlowOptions;
  TSWFlowOptions FSWFlowOptions = swfNone;
  char FXOnChar = 17;
  char FXOffChar = 19;
  uint16_t FBufferFull = 0;
  uint16_t FBufferResume = 0;
  TTraceLogState FTracing = tlOff;
  uint32_t FTraceSize = 10000;
  std::string FTraceName = "RIZI.TRC";
  bool FTraceHex = true;
  bool FTraceAllHex = false;
  TTraceLogState FLogging = tlOff;
  uint32_t FLogSize = 10000;
  std::string FLogName = "RIZI.LOG";
  bool FLogHex = true;
  bool FLogAllHex = false;
  bool FUseMSRShadow = true;
  bool FUseEventWord = true;
  uint16_t FCommNotificationLevel = 10;
  TTapiMode FTapiMode = tmAuto;
  bool FRS485Mode = false;

  TPortState FPortState = psClosed;
  std::unique_ptr<TDudBaseDispatcher> FDispatcher;
  HWND FWindow = nullptr;
  bool FForce = false;
  bool FOpenPending = false;  // Open := True arrived while a close was being completed
  bool FOpenAtLoad = false;   // Open := True arrived while loading
  // A close asked for inside a trigger event leaves the dispatcher's ClosePort to
  // the completion message (the dispatcher's thread waits for that event).
  bool FCloseDispatcherLater = false;
  int32_t FNotifying = 0;  // trigger events running (nested) on this component
  TTriggerSave FSavedTriggers;
  bool FRestoreTriggers = false;
  uint8_t FThreadBoost = 0;
  uint16_t FAvailLevel = 1;
  uint16_t FTapiHandle = 0;

  TNotifyEvent FOnPortClose;
  TNotifyEvent FOnPortOpen;
  TTriggerEvent FOnTrigger;
  TTriggerAvailEvent FOnTriggerAvail;
  TTriggerDataEvent FOnTriggerData;
  TTriggerStatusEvent FOnTriggerStatus;
  TTriggerTimerEvent FOnTriggerTimer;
  TTriggerLineErrorEvent FOnTriggerLineError;
  TNotifyEvent FOnTriggerModemStatus;
  TNotifyEvent FOnTriggerOutbuffFree;
  TNotifyEvent FOnTriggerOutbuffUsed;
  TNotifyEvent FOnTriggerOutSent;
};

// The component an application places on its window: every property of
// TDudCustomComPort, nothing added. A program may derive from it, for example to
// answer SelectPort itself.
class TDudComPort : public TDudCustomComPort {
 public:
  using TDudCustomComPort::TDudCustomComPort;
};

// The window procedure of the "dudComWindow" class.
LRESULT CALLBACK ComWindowProc(HWND Window, UINT Msg, WPARAM WParam, LPARAM LParam);

}  // namespace dud
