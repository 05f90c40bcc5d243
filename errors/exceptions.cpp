#include "errors/exceptions.h"

#include <algorithm>
#include <array>
#include <new>

namespace dud {

std::string EDudException::MessageForCode(int32_t Code) {
  // The absolute value, computed wide so that INT32_MIN does not overflow; the
  // lookup uses only the low 16 bits, so the wrap back to 32 bits loses nothing.
  const int64_t abs_code = Code < 0 ? -static_cast<int64_t>(Code) : Code;
  return ErrorText(static_cast<int32_t>(static_cast<uint32_t>(abs_code)));
}

namespace {

using RaiseFn = void (*)(int32_t);

template <class E>
[[noreturn]] void Raise(int32_t code) {
  throw E::CreateFromCode(code);
}

struct Mapping {
  int32_t Code;
  RaiseFn Raise;
};

// Every code with a class of its own, in descending order (ascending by magnitude).
constexpr auto kMappings = std::to_array<Mapping>({
    {ecBadArgument, &Raise<EBadArgument>},
    {ecGotQuitMsg, &Raise<EGotQuitMsg>},
    {ecBufferTooBig, &Raise<EBufferTooBig>},
    {ecPortNotAssigned, &Raise<EPortNotAssigned>},
    {ecInternal, &Raise<EInternal>},
    {ecModemNotAssigned, &Raise<EModemNotAssigned>},
    {ecPhonebookNotAssigned, &Raise<EPhonebookNotAssigned>},
    {ecCannotUseWithWinSock, &Raise<ECannotUseWithWinSock>},

    {ecBadId, &Raise<EBadId>},
    {ecBaudRate, &Raise<EBaudRate>},
    {ecByteSize, &Raise<EByteSize>},
    {ecDefault, &Raise<EDefault>},
    {ecHardware, &Raise<EHardware>},
    {ecMemory, &Raise<EMemory>},
    {ecCommNotOpen, &Raise<ECommNotOpen>},
    {ecAlreadyOpen, &Raise<EAlreadyOpen>},
    {ecNoHandles, &Raise<ENoHandles>},
    {ecNoTimers, &Raise<ENoTimers>},
    {ecNoPortSelected, &Raise<ENoPortSelected>},
    {ecNotOpenedByTapi, &Raise<ENotOpenedByTapi>},

    {ecNullApi, &Raise<ENullApi>},
    {ecRegisterHandlerFailed, &Raise<ERegisterHandlerFailed>},
    {ecPutBlockFail, &Raise<EPutBlockFail>},
    {ecGetBlockFail, &Raise<EGetBlockFail>},
    {ecOutputBufferTooSmall, &Raise<EOutputBufferTooSmall>},
    {ecBufferIsEmpty, &Raise<EBufferIsEmpty>},
    {ecTracingNotEnabled, &Raise<ETracingNotEnabled>},
    {ecLoggingNotEnabled, &Raise<ELoggingNotEnabled>},
    {ecBaseAddressNotSet, &Raise<EBaseAddressNotSet>},

    {ecModemNotStarted, &Raise<EModemNotStarted>},
    {ecModemBusy, &Raise<EModemBusy>},
    {ecModemNotDialing, &Raise<EModemNotDialing>},
    {ecNotDialing, &Raise<ENotDialing>},
    {ecAlreadyDialing, &Raise<EAlreadyDialing>},
    {ecModemNotResponding, &Raise<EModemNotResponding>},
    {ecModemRejectedCommand, &Raise<EModemRejectedCommand>},
    {ecModemStatusMismatch, &Raise<EModemStatusMismatch>},

    {ecNoMoreTriggers, &Raise<ENoMoreTriggers>},
    {ecTriggerTooLong, &Raise<ETriggerTooLong>},
    {ecBadTriggerHandle, &Raise<EBadTriggerHandle>},

    {ecCancelRequested, &Raise<EProtocol>},
    {ecAbortNoCarrier, &Raise<EProtocol>},
    {ecFileRejected, &Raise<EProtocol>},

    {ecKeyTooLong, &Raise<EKeyTooLong>},
    {ecDataTooLarge, &Raise<EDataTooLarge>},
    {ecIniInternal1, &Raise<EInternal>},
    {ecIniWrite, &Raise<EIniWrite>},
    {ecIniRead, &Raise<EIniRead>},
    {ecIniInternal2, &Raise<EInternal>},
    {ecRecordExists, &Raise<ERecordExists>},
    {ecRecordNotFound, &Raise<ERecordNotFound>},
    {ecDatabaseFull, &Raise<EDatabaseFull>},
    {ecDatabaseEmpty, &Raise<EDatabaseEmpty>},
    {ecIniInternal3, &Raise<EInternal>},
    {ecBadFieldList, &Raise<EBadFieldList>},
    {ecBadFieldForIndex, &Raise<EBadFieldForIndex>},

    {ecFaxBadFormat, &Raise<EFaxBadFormat>},
    {ecBadGraphicsFormat, &Raise<EBadGraphicsFormat>},
    {ecConvertAbort, &Raise<EConvertAbort>},
    {ecUnpackAbort, &Raise<EUnpackAbort>},
    {ecCantMakeBitmap, &Raise<ECantMakeBitmap>},
    {ecInvalidPageNumber, &Raise<EInvalidPageNumber>},
    {ecFaxBadMachine, &Raise<EFaxBadMachine>},
    {ecFaxBadModemResult, &Raise<EFaxBadModemResult>},
    {ecFaxTrainError, &Raise<EFaxTrainError>},
    {ecFaxInitError, &Raise<EFaxInitError>},
    {ecFaxBusy, &Raise<EFaxBusy>},
    {ecFaxVoiceCall, &Raise<EFaxVoiceCall>},
    {ecFaxDataCall, &Raise<EFaxDataCall>},
    {ecFaxNoDialTone, &Raise<EFaxNoDialTone>},
    {ecFaxNoCarrier, &Raise<EFaxNoCarrier>},
    {ecFaxSessionError, &Raise<EFaxSessionError>},
    {ecFaxPageError, &Raise<EFaxPageError>},

#define DUD_TAPI_MAPPING(Name, Code) {Code, &Raise<Name>},
    DUD_TAPI_EXCEPTIONS(DUD_TAPI_MAPPING)
#undef DUD_TAPI_MAPPING

    {ecRasLoadFail, &Raise<ERasLoadFail>},
});

constexpr bool Descending() {
  for (std::size_t i = 1; i < kMappings.size(); ++i)
    if (kMappings[i - 1].Code <= kMappings[i].Code) return false;
  return true;
}
static_assert(Descending(), "mappings must be sorted for the search and hold no code twice");

constexpr int32_t kFirstRuntimeCode = -2;
constexpr int32_t kLastRuntimeCode = -162;

}  // namespace

int32_t CheckResultCode(const TDudResultOwner* Owner, int32_t Code) {
  if (Code >= 0) return Code;
  if (Owner != nullptr && Owner->Loading()) return Code;

  if (Code == ecOutOfMemory) throw std::bad_alloc();
  if (Code <= kFirstRuntimeCode && Code >= kLastRuntimeCode) {
    const int32_t number = -Code;
    throw EInOutError(number, ErrorText(number));
  }
  const auto it = std::lower_bound(kMappings.begin(), kMappings.end(), Code,
                                   [](const Mapping& m, int32_t code) { return m.Code > code; });
  if (it != kMappings.end() && it->Code == Code) it->Raise(Code);
  throw EDudException::CreateFromText(kDefaultExceptionText);
}

}  // namespace dud
