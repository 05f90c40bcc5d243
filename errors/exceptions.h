// The exception classes of the stack and CheckResultCode, which turns a failing
// error code into the matching exception.
//
// Threads: exceptions are plain values; CheckResultCode keeps no state and may be
// called from any thread.
#pragma once

#include <cstdint>
#include <exception>
#include <string>
#include <string_view>

#include "errors/error_codes.h"
#include "errors/messages.h"

namespace dud {

// The general exception: a message text and a help context.
class Exception : public std::exception {
 public:
  explicit Exception(std::string Message, int32_t HelpContext = 0)
      : message_(std::move(Message)), help_context_(HelpContext) {}

  const char* what() const noexcept override { return message_.c_str(); }
  const std::string& Message() const noexcept { return message_; }
  int32_t HelpContext() const noexcept { return help_context_; }

 private:
  std::string message_;
  int32_t help_context_;
};

// The general input/output error: outside the stack's own tree, carrying the
// positive runtime or system error number.
class EInOutError : public Exception {
 public:
  EInOutError(int32_t ErrorCode, std::string Message) : Exception(std::move(Message)), error_code_(ErrorCode) {}
  int32_t ErrorCode() const noexcept { return error_code_; }

 private:
  int32_t error_code_;
};

// The root of the stack's exceptions.
class EDudException : public Exception {
 public:
  EDudException(int32_t ErrorCode, std::string Message) : Exception(std::move(Message)), error_code_(ErrorCode) {}

  // ErrorCode is Code as given; the message is ErrorText of its absolute value.
  static EDudException CreateFromCode(int32_t Code) { return EDudException(Code, MessageForCode(Code)); }
  // ErrorCode 0 and the message Text.
  static EDudException CreateFromText(std::string_view Text) { return EDudException(0, std::string(Text)); }

  int32_t ErrorCode() const noexcept { return error_code_; }

 protected:
  static std::string MessageForCode(int32_t Code);

 private:
  int32_t error_code_;
};

// Each class of the tree adds no fields; its factories make an object of its own type.
#define DUD_DECLARE_EXCEPTION(Name, Base)                                                       \
  class Name : public Base {                                                                   \
   public:                                                                                     \
    using Base::Base;                                                                          \
    static Name CreateFromCode(int32_t Code) { return Name(Code, MessageForCode(Code)); }      \
    static Name CreateFromText(std::string_view Text) { return Name(0, std::string(Text)); }   \
  };

// Families.
DUD_DECLARE_EXCEPTION(EGeneral, EDudException)
DUD_DECLARE_EXCEPTION(EOpenComm, EDudException)
DUD_DECLARE_EXCEPTION(ESerialIO, EDudException)
DUD_DECLARE_EXCEPTION(EModem, EDudException)
DUD_DECLARE_EXCEPTION(ETrigger, EDudException)
DUD_DECLARE_EXCEPTION(EProtocol, EDudException)
DUD_DECLARE_EXCEPTION(EINI, EDudException)
DUD_DECLARE_EXCEPTION(EFax, EDudException)
DUD_DECLARE_EXCEPTION(ETapi, EDudException)
DUD_DECLARE_EXCEPTION(ERas, EDudException)

DUD_DECLARE_EXCEPTION(EBadArgument, EGeneral)
DUD_DECLARE_EXCEPTION(EGotQuitMsg, EGeneral)
DUD_DECLARE_EXCEPTION(EBufferTooBig, EGeneral)
DUD_DECLARE_EXCEPTION(EPortNotAssigned, EGeneral)
DUD_DECLARE_EXCEPTION(EInternal, EGeneral)
DUD_DECLARE_EXCEPTION(EModemNotAssigned, EGeneral)
DUD_DECLARE_EXCEPTION(EPhonebookNotAssigned, EGeneral)
DUD_DECLARE_EXCEPTION(ECannotUseWithWinSock, EGeneral)

DUD_DECLARE_EXCEPTION(EBadId, EOpenComm)
DUD_DECLARE_EXCEPTION(EBaudRate, EOpenComm)
DUD_DECLARE_EXCEPTION(EByteSize, EOpenComm)
DUD_DECLARE_EXCEPTION(EDefault, EOpenComm)
DUD_DECLARE_EXCEPTION(EHardware, EOpenComm)
DUD_DECLARE_EXCEPTION(EMemory, EOpenComm)
DUD_DECLARE_EXCEPTION(ECommNotOpen, EOpenComm)
DUD_DECLARE_EXCEPTION(EAlreadyOpen, EOpenComm)
DUD_DECLARE_EXCEPTION(ENoHandles, EOpenComm)
DUD_DECLARE_EXCEPTION(ENoTimers, EOpenComm)
DUD_DECLARE_EXCEPTION(ENoPortSelected, EOpenComm)
DUD_DECLARE_EXCEPTION(ENotOpenedByTapi, EOpenComm)

DUD_DECLARE_EXCEPTION(ENullApi, ESerialIO)
DUD_DECLARE_EXCEPTION(ERegisterHandlerFailed, ESerialIO)
DUD_DECLARE_EXCEPTION(EPutBlockFail, ESerialIO)
DUD_DECLARE_EXCEPTION(EGetBlockFail, ESerialIO)
DUD_DECLARE_EXCEPTION(EOutputBufferTooSmall, ESerialIO)
DUD_DECLARE_EXCEPTION(EBufferIsEmpty, ESerialIO)
DUD_DECLARE_EXCEPTION(ETracingNotEnabled, ESerialIO)
DUD_DECLARE_EXCEPTION(ELoggingNotEnabled, ESerialIO)
DUD_DECLARE_EXCEPTION(EBaseAddressNotSet, ESerialIO)

DUD_DECLARE_EXCEPTION(EModemNotStarted, EModem)
DUD_DECLARE_EXCEPTION(EModemBusy, EModem)
DUD_DECLARE_EXCEPTION(EModemNotDialing, EModem)
DUD_DECLARE_EXCEPTION(EModemNotResponding, EModem)
DUD_DECLARE_EXCEPTION(EModemRejectedCommand, EModem)
DUD_DECLARE_EXCEPTION(EModemStatusMismatch, EModem)
DUD_DECLARE_EXCEPTION(EAlreadyDialing, EModem)
DUD_DECLARE_EXCEPTION(ENotDialing, EModem)

DUD_DECLARE_EXCEPTION(ENoMoreTriggers, ETrigger)
DUD_DECLARE_EXCEPTION(ETriggerTooLong, ETrigger)
DUD_DECLARE_EXCEPTION(EBadTriggerHandle, ETrigger)

DUD_DECLARE_EXCEPTION(EKeyTooLong, EINI)
DUD_DECLARE_EXCEPTION(EDataTooLarge, EINI)
DUD_DECLARE_EXCEPTION(EIniWrite, EINI)
DUD_DECLARE_EXCEPTION(EIniRead, EINI)
DUD_DECLARE_EXCEPTION(ERecordExists, EINI)
DUD_DECLARE_EXCEPTION(ERecordNotFound, EINI)
DUD_DECLARE_EXCEPTION(EDatabaseFull, EINI)
DUD_DECLARE_EXCEPTION(EDatabaseEmpty, EINI)
DUD_DECLARE_EXCEPTION(EBadFieldList, EINI)
DUD_DECLARE_EXCEPTION(EBadFieldForIndex, EINI)

DUD_DECLARE_EXCEPTION(EFaxBadFormat, EFax)
DUD_DECLARE_EXCEPTION(EBadGraphicsFormat, EFax)
DUD_DECLARE_EXCEPTION(EConvertAbort, EFax)
DUD_DECLARE_EXCEPTION(EUnpackAbort, EFax)
DUD_DECLARE_EXCEPTION(ECantMakeBitmap, EFax)
DUD_DECLARE_EXCEPTION(EInvalidPageNumber, EFax)
DUD_DECLARE_EXCEPTION(EFaxBadMachine, EFax)
DUD_DECLARE_EXCEPTION(EFaxBadModemResult, EFax)
DUD_DECLARE_EXCEPTION(EFaxTrainError, EFax)
DUD_DECLARE_EXCEPTION(EFaxInitError, EFax)
DUD_DECLARE_EXCEPTION(EFaxBusy, EFax)
DUD_DECLARE_EXCEPTION(EFaxVoiceCall, EFax)
DUD_DECLARE_EXCEPTION(EFaxDataCall, EFax)
DUD_DECLARE_EXCEPTION(EFaxNoDialTone, EFax)
DUD_DECLARE_EXCEPTION(EFaxNoCarrier, EFax)
DUD_DECLARE_EXCEPTION(EFaxSessionError, EFax)
DUD_DECLARE_EXCEPTION(EFaxPageError, EFax)

DUD_DECLARE_EXCEPTION(ERasLoadFail, ERas)

// The telephony errors that have a class of their own: X(class, code).
#define DUD_TAPI_EXCEPTIONS(X) \
  X(ETapiAllocated, ecTapiAllocated) \
  X(ETapiBadDeviceID, ecTapiBadDeviceID) \
  X(ETapiBearerModeUnavail, ecTapiBearerModeUnavail) \
  X(ETapiCallUnavail, ecTapiCallUnavail) \
  X(ETapiCompletionOverrun, ecTapiCompletionOverrun) \
  X(ETapiConferenceFull, ecTapiConferenceFull) \
  X(ETapiDialBilling, ecTapiDialBilling) \
  X(ETapiDialDialtone, ecTapiDialDialtone) \
  X(ETapiDialPrompt, ecTapiDialPrompt) \
  X(ETapiDialQuiet, ecTapiDialQuiet) \
  X(ETapiIncompatibleApiVersion, ecTapiIncompatibleApiVersion) \
  X(ETapiIncompatibleExtVersion, ecTapiIncompatibleExtVersion) \
  X(ETapiIniFileCorrupt, ecTapiIniFileCorrupt) \
  X(ETapiInUse, ecTapiInUse) \
  X(ETapiInvalAddress, ecTapiInvalAddress) \
  X(ETapiInvalAddressID, ecTapiInvalAddressID) \
  X(ETapiInvalAddressMode, ecTapiInvalAddressMode) \
  X(ETapiInvalAddressState, ecTapiInvalAddressState) \
  X(ETapiInvalAppHandle, ecTapiInvalAppHandle) \
  X(ETapiInvalAppName, ecTapiInvalAppName) \
  X(ETapiInvalBearerMode, ecTapiInvalBearerMode) \
  X(ETapiInvalCallComplMode, ecTapiInvalCallComplMode) \
  X(ETapiInvalCallHandle, ecTapiInvalCallHandle) \
  X(ETapiInvalCallParams, ecTapiInvalCallParams) \
  X(ETapiInvalCallPrivilege, ecTapiInvalCallPrivilege) \
  X(ETapiInvalCallSelect, ecTapiInvalCallSelect) \
  X(ETapiInvalCallState, ecTapiInvalCallState) \
  X(ETapiInvalCallStatelist, ecTapiInvalCallStatelist) \
  X(ETapiInvalCard, ecTapiInvalCard) \
  X(ETapiInvalCompletionID, ecTapiInvalCompletionID) \
  X(ETapiInvalConfCallHandle, ecTapiInvalConfCallHandle) \
  X(ETapiInvalConsultCallHandle, ecTapiInvalConsultCallHandle) \
  X(ETapiInvalCountryCode, ecTapiInvalCountryCode) \
  X(ETapiInvalDeviceClass, ecTapiInvalDeviceClass) \
  X(ETapiInvalDeviceHandle, ecTapiInvalDeviceHandle) \
  X(ETapiInvalDialParams, ecTapiInvalDialParams) \
  X(ETapiInvalDigitList, ecTapiInvalDigitList) \
  X(ETapiInvalDigitMode, ecTapiInvalDigitMode) \
  X(ETapiInvalDigits, ecTapiInvalDigits) \
  X(ETapiInvalExtVersion, ecTapiInvalExtVersion) \
  X(ETapiInvalGroupID, ecTapiInvalGroupID) \
  X(ETapiInvalLineHandle, ecTapiInvalLineHandle) \
  X(ETapiInvalLineState, ecTapiInvalLineState) \
  X(ETapiInvalLocation, ecTapiInvalLocation) \
  X(ETapiInvalMediaList, ecTapiInvalMediaList) \
  X(ETapiInvalMediaMode, ecTapiInvalMediaMode) \
  X(ETapiInvalMessageID, ecTapiInvalMessageID) \
  X(ETapiInvalParam, ecTapiInvalParam) \
  X(ETapiInvalParkID, ecTapiInvalParkID) \
  X(ETapiInvalParkMode, ecTapiInvalParkMode) \
  X(ETapiInvalPointer, ecTapiInvalPointer) \
  X(ETapiInvalPrivSelect, ecTapiInvalPrivSelect) \
  X(ETapiInvalRate, ecTapiInvalRate) \
  X(ETapiInvalRequestMode, ecTapiInvalRequestMode) \
  X(ETapiInvalTerminalID, ecTapiInvalTerminalID) \
  X(ETapiInvalTerminalMode, ecTapiInvalTerminalMode) \
  X(ETapiInvalTimeout, ecTapiInvalTimeout) \
  X(ETapiInvalTone, ecTapiInvalTone) \
  X(ETapiInvalToneList, ecTapiInvalToneList) \
  X(ETapiInvalToneMode, ecTapiInvalToneMode) \
  X(ETapiInvalTransferMode, ecTapiInvalTransferMode) \
  X(ETapiLineMapperFailed, ecTapiLineMapperFailed) \
  X(ETapiNoConference, ecTapiNoConference) \
  X(ETapiNoDevice, ecTapiNoDevice) \
  X(ETapiNoDriver, ecTapiNoDriver) \
  X(ETapiNoMem, ecTapiNoMem) \
  X(ETapiNoRequest, ecTapiNoRequest) \
  X(ETapiNotOwner, ecTapiNotOwner) \
  X(ETapiNotRegistered, ecTapiNotRegistered) \
  X(ETapiOperationFailed, ecTapiOperationFailed) \
  X(ETapiOperationUnavail, ecTapiOperationUnavail) \
  X(ETapiRateUnavail, ecTapiRateUnavail) \
  X(ETapiResourceUnavail, ecTapiResourceUnavail) \
  X(ETapiRequestOverrun, ecTapiRequestOverrun) \
  X(ETapiStructureTooSmall, ecTapiStructureTooSmall) \
  X(ETapiTargetNotFound, ecTapiTargetNotFound) \
  X(ETapiTargetSelf, ecTapiTargetSelf) \
  X(ETapiUninitialized, ecTapiUninitialized) \
  X(ETapiUserUserInfoTooBig, ecTapiUserUserInfoTooBig) \
  X(ETapiReinit, ecTapiReinit) \
  X(ETapiAddressBlocked, ecTapiAddressBlocked) \
  X(ETapiBillingRejected, ecTapiBillingRejected) \
  X(ETapiInvalFeature, ecTapiInvalFeature) \
  X(ETapiNoMultipleInstance, ecTapiNoMultipleInstance) \
  X(ETapiBusy, ecTapiBusy) \
  X(ETapiNotSet, ecTapiNotSet) \
  X(ETapiNoSelect, ecTapiNoSelect) \
  X(ETapiLoadFail, ecTapiLoadFail) \
  X(ETapiGetAddrFail, ecTapiGetAddrFail) \
  X(ETapiVoiceNotSupported, ecTapiVoiceNotSupported) \
  X(ETapiWaveFail, ecTapiWaveFail) \
  X(ETapiTranslateFail, ecTapiTranslateFail)

#define DUD_DECLARE_TAPI_EXCEPTION(Name, Code) DUD_DECLARE_EXCEPTION(Name, ETapi)
DUD_TAPI_EXCEPTIONS(DUD_DECLARE_TAPI_EXCEPTION)
#undef DUD_DECLARE_TAPI_EXCEPTION

// The object on whose behalf a code was produced: the port component. While it
// is being loaded (its stored properties being read) failures are not raised.
class TDudResultOwner {
 public:
  virtual ~TDudResultOwner() = default;
  virtual bool Loading() const = 0;
};

// The message of the exception raised for a code that has no class of its own.
inline constexpr std::string_view kDefaultExceptionText = "Rizi exception";

// Returns Code when it is 0 or positive, or when Owner is loading (a null Owner is
// not loading). Otherwise raises: std::bad_alloc for -8; EInOutError with the
// positive number for the other runtime codes -2 .. -162 (Windows numbers among
// them included); the code's own class for the mapped codes; and for every other
// negative code EDudException "Rizi exception" with ErrorCode 0.
int32_t CheckResultCode(const TDudResultOwner* Owner, int32_t Code);

}  // namespace dud
