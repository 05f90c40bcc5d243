// CheckResultCode and the exception tree: which class each failing code raises,
// with which ErrorCode and message, and what is never raised.
#include <gtest/gtest.h>

#include <climits>
#include <functional>
#include <new>
#include <string>
#include <typeindex>
#include <typeinfo>

#include "errors/error_codes.h"
#include "errors/exceptions.h"
#include "errors/messages.h"

namespace dud {
namespace {

class FakeOwner : public TDudResultOwner {
 public:
  explicit FakeOwner(bool loading) : loading_(loading) {}
  bool Loading() const override { return loading_; }

 private:
  bool loading_;
};

const FakeOwner kLoaded(false);

// What CheckResultCode did with a code.
struct Outcome {
  bool raised = false;
  std::type_index type = typeid(void);
  int32_t error_code = 0;  // EDudException's or EInOutError's
  std::string message;
  int32_t returned = 0;
};

Outcome Check(const TDudResultOwner* owner, int32_t code) {
  Outcome o;
  try {
    o.returned = CheckResultCode(owner, code);
  } catch (const EDudException& e) {
    o = {true, typeid(e), e.ErrorCode(), e.Message(), 0};
  } catch (const EInOutError& e) {
    o = {true, typeid(e), e.ErrorCode(), e.Message(), 0};
  } catch (const std::exception& e) {
    o = {true, typeid(e), 0, e.what(), 0};
  }
  return o;
}

struct ClassCase {
  int32_t Code;
  std::type_index Type;
};

// Every code with a class of its own, as the serial path's table and the family
// lists name them.
const ClassCase kClassCases[] = {
    {-160, typeid(EInOutError)},
    {-161, typeid(EInOutError)},
    {-1002, typeid(EBadArgument)},
    {-1003, typeid(EGotQuitMsg)},
    {-1004, typeid(EBufferTooBig)},
    {-1005, typeid(EPortNotAssigned)},
    {-1006, typeid(EInternal)},
    {-1007, typeid(EModemNotAssigned)},
    {-1008, typeid(EPhonebookNotAssigned)},
    {-1009, typeid(ECannotUseWithWinSock)},
    {-2001, typeid(EBadId)},
    {-2002, typeid(EBaudRate)},
    {-2003, typeid(EByteSize)},
    {-2004, typeid(EDefault)},
    {-2005, typeid(EHardware)},
    {-2006, typeid(EMemory)},
    {-2007, typeid(ECommNotOpen)},
    {-2008, typeid(EAlreadyOpen)},
    {-2009, typeid(ENoHandles)},
    {-2010, typeid(ENoTimers)},
    {-2011, typeid(ENoPortSelected)},
    {-2012, typeid(ENotOpenedByTapi)},
    {-3001, typeid(ENullApi)},
    {-3003, typeid(ERegisterHandlerFailed)},
    {-3004, typeid(EPutBlockFail)},
    {-3005, typeid(EGetBlockFail)},
    {-3006, typeid(EOutputBufferTooSmall)},
    {-3007, typeid(EBufferIsEmpty)},
    {-3008, typeid(ETracingNotEnabled)},
    {-3009, typeid(ELoggingNotEnabled)},
    {-3010, typeid(EBaseAddressNotSet)},
    {-5001, typeid(ENoMoreTriggers)},
    {-5002, typeid(ETriggerTooLong)},
    {-5003, typeid(EBadTriggerHandle)},
    {-13868, typeid(ETapiNoMem)},
    {-4001, typeid(EModemNotStarted)},
    {-4002, typeid(EModemBusy)},
    {-4003, typeid(EModemNotDialing)},
    {-4004, typeid(ENotDialing)},
    {-4005, typeid(EAlreadyDialing)},
    {-4006, typeid(EModemNotResponding)},
    {-4007, typeid(EModemRejectedCommand)},
    {-4008, typeid(EModemStatusMismatch)},
    {-7001, typeid(EKeyTooLong)},
    {-7002, typeid(EDataTooLarge)},
    {-7003, typeid(EInternal)},
    {-7004, typeid(EIniWrite)},
    {-7005, typeid(EIniRead)},
    {-7006, typeid(EInternal)},
    {-7007, typeid(ERecordExists)},
    {-7008, typeid(ERecordNotFound)},
    {-7010, typeid(EDatabaseFull)},
    {-7011, typeid(EDatabaseEmpty)},
    {-7012, typeid(EInternal)},
    {-7013, typeid(EBadFieldList)},
    {-7014, typeid(EBadFieldForIndex)},
    {-8001, typeid(EFaxBadFormat)},
    {-8002, typeid(EBadGraphicsFormat)},
    {-8003, typeid(EConvertAbort)},
    {-8004, typeid(EUnpackAbort)},
    {-8005, typeid(ECantMakeBitmap)},
    {-8053, typeid(EInvalidPageNumber)},
    {-8060, typeid(EFaxBadMachine)},
    {-8061, typeid(EFaxBadModemResult)},
    {-8062, typeid(EFaxTrainError)},
    {-8063, typeid(EFaxInitError)},
    {-8064, typeid(EFaxBusy)},
    {-8065, typeid(EFaxVoiceCall)},
    {-8066, typeid(EFaxDataCall)},
    {-8067, typeid(EFaxNoDialTone)},
    {-8068, typeid(EFaxNoCarrier)},
    {-8069, typeid(EFaxSessionError)},
    {-8070, typeid(EFaxPageError)},
    {-13801, typeid(ETapiAllocated)},
    {-13802, typeid(ETapiBadDeviceID)},
    {-13803, typeid(ETapiBearerModeUnavail)},
    {-13805, typeid(ETapiCallUnavail)},
    {-13806, typeid(ETapiCompletionOverrun)},
    {-13807, typeid(ETapiConferenceFull)},
    {-13808, typeid(ETapiDialBilling)},
    {-13809, typeid(ETapiDialDialtone)},
    {-13810, typeid(ETapiDialPrompt)},
    {-13811, typeid(ETapiDialQuiet)},
    {-13812, typeid(ETapiIncompatibleApiVersion)},
    {-13813, typeid(ETapiIncompatibleExtVersion)},
    {-13814, typeid(ETapiIniFileCorrupt)},
    {-13815, typeid(ETapiInUse)},
    {-13816, typeid(ETapiInvalAddress)},
    {-13817, typeid(ETapiInvalAddressID)},
    {-13818, typeid(ETapiInvalAddressMode)},
    {-13819, typeid(ETapiInvalAddressState)},
    {-13820, typeid(ETapiInvalAppHandle)},
    {-13821, typeid(ETapiInvalAppName)},
    {-13822, typeid(ETapiInvalBearerMode)},
    {-13823, typeid(ETapiInvalCallComplMode)},
    {-13824, typeid(ETapiInvalCallHandle)},
    {-13825, typeid(ETapiInvalCallParams)},
    {-13826, typeid(ETapiInvalCallPrivilege)},
    {-13827, typeid(ETapiInvalCallSelect)},
    {-13828, typeid(ETapiInvalCallState)},
    {-13829, typeid(ETapiInvalCallStatelist)},
    {-13830, typeid(ETapiInvalCard)},
    {-13831, typeid(ETapiInvalCompletionID)},
    {-13832, typeid(ETapiInvalConfCallHandle)},
    {-13833, typeid(ETapiInvalConsultCallHandle)},
    {-13834, typeid(ETapiInvalCountryCode)},
    {-13835, typeid(ETapiInvalDeviceClass)},
    {-13836, typeid(ETapiInvalDeviceHandle)},
    {-13837, typeid(ETapiInvalDialParams)},
    {-13838, typeid(ETapiInvalDigitList)},
    {-13839, typeid(ETapiInvalDigitMode)},
    {-13840, typeid(ETapiInvalDigits)},
    {-13841, typeid(ETapiInvalExtVersion)},
    {-13842, typeid(ETapiInvalGroupID)},
    {-13843, typeid(ETapiInvalLineHandle)},
    {-13844, typeid(ETapiInvalLineState)},
    {-13845, typeid(ETapiInvalLocation)},
    {-13846, typeid(ETapiInvalMediaList)},
    {-13847, typeid(ETapiInvalMediaMode)},
    {-13848, typeid(ETapiInvalMessageID)},
    {-13850, typeid(ETapiInvalParam)},
    {-13851, typeid(ETapiInvalParkID)},
    {-13852, typeid(ETapiInvalParkMode)},
    {-13853, typeid(ETapiInvalPointer)},
    {-13854, typeid(ETapiInvalPrivSelect)},
    {-13855, typeid(ETapiInvalRate)},
    {-13856, typeid(ETapiInvalRequestMode)},
    {-13857, typeid(ETapiInvalTerminalID)},
    {-13858, typeid(ETapiInvalTerminalMode)},
    {-13859, typeid(ETapiInvalTimeout)},
    {-13860, typeid(ETapiInvalTone)},
    {-13861, typeid(ETapiInvalToneList)},
    {-13862, typeid(ETapiInvalToneMode)},
    {-13863, typeid(ETapiInvalTransferMode)},
    {-13864, typeid(ETapiLineMapperFailed)},
    {-13865, typeid(ETapiNoConference)},
    {-13866, typeid(ETapiNoDevice)},
    {-13867, typeid(ETapiNoDriver)},
    {-13869, typeid(ETapiNoRequest)},
    {-13870, typeid(ETapiNotOwner)},
    {-13871, typeid(ETapiNotRegistered)},
    {-13872, typeid(ETapiOperationFailed)},
    {-13873, typeid(ETapiOperationUnavail)},
    {-13874, typeid(ETapiRateUnavail)},
    {-13875, typeid(ETapiResourceUnavail)},
    {-13876, typeid(ETapiRequestOverrun)},
    {-13877, typeid(ETapiStructureTooSmall)},
    {-13878, typeid(ETapiTargetNotFound)},
    {-13879, typeid(ETapiTargetSelf)},
    {-13880, typeid(ETapiUninitialized)},
    {-13881, typeid(ETapiUserUserInfoTooBig)},
    {-13882, typeid(ETapiReinit)},
    {-13883, typeid(ETapiAddressBlocked)},
    {-13884, typeid(ETapiBillingRejected)},
    {-13885, typeid(ETapiInvalFeature)},
    {-13886, typeid(ETapiNoMultipleInstance)},
    {-13928, typeid(ETapiBusy)},
    {-13929, typeid(ETapiNotSet)},
    {-13930, typeid(ETapiNoSelect)},
    {-13931, typeid(ETapiLoadFail)},
    {-13932, typeid(ETapiGetAddrFail)},
    {-13935, typeid(ETapiVoiceNotSupported)},
    {-13936, typeid(ETapiWaveFail)},
    {-13942, typeid(ETapiTranslateFail)},
    {-13980, typeid(ERasLoadFail)},
    {-6006, typeid(EProtocol)},
    {-6008, typeid(EProtocol)},
    {-6009, typeid(EProtocol)},
};

TEST(CheckResultCode, EveryMappedCodeRaisesItsClassWithTheCodeAndItsText) {
  for (const auto& c : kClassCases) {
    const Outcome o = Check(&kLoaded, c.Code);
    ASSERT_TRUE(o.raised) << c.Code;
    EXPECT_EQ(o.type, c.Type) << c.Code << " raised " << o.type.name();
    if (c.Type == typeid(EInOutError)) {
      EXPECT_EQ(o.error_code, -c.Code) << c.Code;
    } else {
      EXPECT_EQ(o.error_code, c.Code) << c.Code;
    }
    EXPECT_EQ(o.message, ErrorText(c.Code)) << c.Code;
    EXPECT_FALSE(o.message.empty()) << c.Code;
  }
}

TEST(CheckResultCode, MembersDeriveFromTheirFamilies) {
  const std::pair<int32_t, std::function<bool(const EDudException&)>> cases[] = {
      {ecBadArgument, [](const EDudException& e) { return dynamic_cast<const EGeneral*>(&e) != nullptr; }},
      {ecIniInternal2, [](const EDudException& e) { return dynamic_cast<const EGeneral*>(&e) != nullptr; }},
      {ecHardware, [](const EDudException& e) { return dynamic_cast<const EOpenComm*>(&e) != nullptr; }},
      {ecPutBlockFail, [](const EDudException& e) { return dynamic_cast<const ESerialIO*>(&e) != nullptr; }},
      {ecModemBusy, [](const EDudException& e) { return dynamic_cast<const EModem*>(&e) != nullptr; }},
      {ecTriggerTooLong, [](const EDudException& e) { return dynamic_cast<const ETrigger*>(&e) != nullptr; }},
      {ecFileRejected, [](const EDudException& e) { return dynamic_cast<const EProtocol*>(&e) != nullptr; }},
      {ecIniRead, [](const EDudException& e) { return dynamic_cast<const EINI*>(&e) != nullptr; }},
      {ecFaxBusy, [](const EDudException& e) { return dynamic_cast<const EFax*>(&e) != nullptr; }},
      {ecTapiNoMem, [](const EDudException& e) { return dynamic_cast<const ETapi*>(&e) != nullptr; }},
      {ecTapiTranslateFail, [](const EDudException& e) { return dynamic_cast<const ETapi*>(&e) != nullptr; }},
      {ecRasLoadFail, [](const EDudException& e) { return dynamic_cast<const ERas*>(&e) != nullptr; }},
  };
  for (const auto& [code, is_family] : cases) {
    try {
      CheckResultCode(nullptr, code);
      ADD_FAILURE() << code << " raised nothing";
    } catch (const EDudException& e) {
      EXPECT_TRUE(is_family(e)) << code;
    }
  }
}

TEST(CheckResultCode, HardwareCodeRaisesEHardware) {
  try {
    CheckResultCode(&kLoaded, -2005);
    FAIL() << "nothing raised";
  } catch (const EHardware& e) {
    EXPECT_EQ(e.ErrorCode(), -2005);
    EXPECT_STREQ(e.what(), "ie_Hardware - Specified comport in use");
    EXPECT_EQ(e.HelpContext(), 0);
  }
}

TEST(CheckResultCode, RuntimeCodesRaiseEInOutErrorWithThePositiveNumber) {
  const std::pair<int32_t, const char*> cases[] = {
      {-2, "File not found"},
      {-5, "File access denied"},
      {-6, "Invalid file handle"},
      {-101, "Disk is full"},
      {-160, "Device write error"},
      {-161, "Device read error"},
      {-162, "General failure"},
      // Windows numbers of the range without a record carry the system's text.
      {-87, "The parameter is incorrect. "},
      {-122, "The data area passed to a system call is too small. "},
      {-32, "The process cannot access the file because it is being used by another process. "},
      // Neither a record nor a system text: raised all the same, with no message.
      {-35, ""},
  };
  for (const auto& [code, text] : cases) {
    const Outcome o = Check(&kLoaded, code);
    ASSERT_TRUE(o.raised) << code;
    EXPECT_EQ(o.type, std::type_index(typeid(EInOutError))) << code;
    EXPECT_EQ(o.error_code, -code) << code;
    EXPECT_EQ(o.message, text) << code;
  }
}

TEST(CheckResultCode, EInOutErrorStaysOutsideTheTree) {
  try {
    CheckResultCode(nullptr, -5);
    FAIL() << "nothing raised";
  } catch (const EDudException&) {
    FAIL() << "EInOutError must not be an EDudException";
  } catch (const Exception& e) {
    ASSERT_NE(dynamic_cast<const EInOutError*>(&e), nullptr);
    EXPECT_EQ(static_cast<const EInOutError&>(e).ErrorCode(), 5);
    EXPECT_EQ(e.Message(), "File access denied");
  }
}

TEST(CheckResultCode, OutOfMemoryRaisesBadAlloc) {
  EXPECT_THROW(CheckResultCode(&kLoaded, ecOutOfMemory), std::bad_alloc);
  EXPECT_THROW(CheckResultCode(nullptr, -8), std::bad_alloc);
}

// Failing codes without a class of their own: "Rizi exception", ErrorCode 0.
TEST(CheckResultCode, UnmappedFailuresRaiseTheDefaultException) {
  const int32_t codes[] = {
      -1,     -163,   -1001,  -3002,  -4009,  -4015,  -4021,  -5501,  -5503,  -5506,  -6001,  -6005,
      -6007,  -6010,  -6016,  -7009,  -7500,  -7501,  -7502,  -8050,  -8051,  -8052,  -8054,  -8055,
      -8071,  -8101,  -8201,  -8301,  -8500,  -13804, -13849, -13933, -13934, -13937, -13941,
      -183,   -995,   -997,   -1167,  -1400,  -1460,  -9999,  -20000, -65536, INT32_MIN,
      -1010,  -2013,  -3011,  -5004,  -6017,  -7015,  -8501,  -13981,
  };
  for (int32_t code : codes) {
    const Outcome o = Check(&kLoaded, code);
    ASSERT_TRUE(o.raised) << code;
    EXPECT_EQ(o.type, std::type_index(typeid(EDudException))) << code;
    EXPECT_EQ(o.error_code, 0) << code;
    EXPECT_EQ(o.message, "Rizi exception") << code;
  }
}

// A Windows error number above 162 that equals one of the stack's codes is raised
// as that code.
TEST(CheckResultCode, WindowsNumberEqualToAStackCodeRaisesThatCode) {
  const Outcome o = Check(&kLoaded, -1004);  // also the system's "Invalid flags."
  ASSERT_TRUE(o.raised);
  EXPECT_EQ(o.type, std::type_index(typeid(EBufferTooBig)));
  EXPECT_EQ(o.error_code, -1004);
  EXPECT_EQ(o.message, "Terminal buffer greater than 65521");
}

TEST(CheckResultCode, SuccessAndStatusCodesAreReturned) {
  const int32_t codes[] = {0, 1, 87, 1004, 2005, 4201, 4843, 9001, 13933, 15001, 15742, 40000, INT32_MAX};
  for (int32_t code : codes) {
    const Outcome o = Check(&kLoaded, code);
    EXPECT_FALSE(o.raised) << code;
    EXPECT_EQ(o.returned, code);
    EXPECT_EQ(Check(nullptr, code).returned, code);
  }
}

TEST(CheckResultCode, LoadingOwnerGetsEveryCodeBack) {
  const FakeOwner loading(true);
  const int32_t codes[] = {-2001, -8, -5, -87, -1001, -2005, -13868, INT32_MIN, 0, 4201};
  for (int32_t code : codes) {
    const Outcome o = Check(&loading, code);
    EXPECT_FALSE(o.raised) << code;
    EXPECT_EQ(o.returned, code);
  }
}

TEST(CheckResultCode, NullOwnerIsNotLoading) {
  const Outcome o = Check(nullptr, -2001);
  ASSERT_TRUE(o.raised);
  EXPECT_EQ(o.type, std::type_index(typeid(EBadId)));
  EXPECT_EQ(o.error_code, -2001);
  EXPECT_EQ(o.message, "ie_BadId - Specified comport doesn't exist");
}

TEST(EDudException, CreateFromCodeKeepsTheCodeAndLooksUpItsMagnitude) {
  const std::pair<int32_t, const char*> cases[] = {
      {-2011, "The ComNumber property of the TDudComPort has not been set"},
      {2011, "The ComNumber property of the TDudComPort has not been set"},
      {-87, "The parameter is incorrect. "},
      {-13868, "No memory"},
      {-9999, ""},
      {INT32_MIN, "OK"},  // its low 16 bits are 0
  };
  for (const auto& [code, text] : cases) {
    const EDudException e = EDudException::CreateFromCode(code);
    EXPECT_EQ(e.ErrorCode(), code);
    EXPECT_EQ(e.Message(), text) << code;
  }
  const EBadId id = EBadId::CreateFromCode(ecBadId);
  EXPECT_EQ(typeid(id), typeid(EBadId));
  EXPECT_EQ(id.ErrorCode(), ecBadId);
}

TEST(EDudException, CreateFromTextHasErrorCodeZero) {
  const std::string long_text(1000, 'x');
  const std::pair<std::string, std::string> cases[] = {
      {"Dispatcher already started.", "Dispatcher already started."}, {"", ""}, {long_text, long_text}};
  for (const auto& [text, expected] : cases) {
    const EDudException e = EDudException::CreateFromText(text);
    EXPECT_EQ(e.ErrorCode(), 0);
    EXPECT_EQ(e.Message(), expected);
    EXPECT_EQ(std::string(e.what()), expected);
  }
  const ETapiBusy busy = ETapiBusy::CreateFromText("");
  EXPECT_EQ(busy.ErrorCode(), 0);
  EXPECT_EQ(busy.Message(), "");
}

TEST(Exception, CarriesMessageAndHelpContext) {
  const Exception e("Insufficient memory to allocate I/O buffer.", 42);
  EXPECT_EQ(e.Message(), "Insufficient memory to allocate I/O buffer.");
  EXPECT_STREQ(e.what(), "Insufficient memory to allocate I/O buffer.");
  EXPECT_EQ(e.HelpContext(), 42);
  const std::exception& base = e;
  EXPECT_STREQ(base.what(), "Insufficient memory to allocate I/O buffer.");
}

}  // namespace
}  // namespace dud
