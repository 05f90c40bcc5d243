// The stack's error codes.
//
// Every operation below the port component returns one of these as a signed 32-bit
// code: 0 is success, a negative value a failure. A failing operating-system call is
// reported as its last-error number negated (-5 for access denied). Positive numbers
// of the message table are status texts of other families and are never raised.
#pragma once

#include <cstdint>

namespace dud {

// Success.
inline constexpr int32_t ecOK = 0;

// Runtime disk, file and device errors, raised as EInOutError (-8 as std::bad_alloc).
// The others of this family (-2 .. -162) are known by number only.
inline constexpr int32_t ecOutOfMemory = -8;
inline constexpr int32_t ecDeviceWrite = -160;
inline constexpr int32_t ecDeviceRead = -161;

// General errors of the stack.
inline constexpr int32_t ecBadHandle = -1001;
inline constexpr int32_t ecBadArgument = -1002;
inline constexpr int32_t ecGotQuitMsg = -1003;
inline constexpr int32_t ecBufferTooBig = -1004;
inline constexpr int32_t ecPortNotAssigned = -1005;
inline constexpr int32_t ecInternal = -1006;
inline constexpr int32_t ecModemNotAssigned = -1007;
inline constexpr int32_t ecPhonebookNotAssigned = -1008;
inline constexpr int32_t ecCannotUseWithWinSock = -1009;

// Opening a port.
inline constexpr int32_t ecBadId = -2001;
inline constexpr int32_t ecBaudRate = -2002;
inline constexpr int32_t ecByteSize = -2003;
inline constexpr int32_t ecDefault = -2004;
inline constexpr int32_t ecHardware = -2005;
inline constexpr int32_t ecMemory = -2006;
inline constexpr int32_t ecCommNotOpen = -2007;
inline constexpr int32_t ecAlreadyOpen = -2008;
inline constexpr int32_t ecNoHandles = -2009;
inline constexpr int32_t ecNoTimers = -2010;
inline constexpr int32_t ecNoPortSelected = -2011;
inline constexpr int32_t ecNotOpenedByTapi = -2012;

// Serial I/O.
inline constexpr int32_t ecNullApi = -3001;
inline constexpr int32_t ecNotSupported = -3002;
inline constexpr int32_t ecRegisterHandlerFailed = -3003;
inline constexpr int32_t ecPutBlockFail = -3004;
inline constexpr int32_t ecGetBlockFail = -3005;
inline constexpr int32_t ecOutputBufferTooSmall = -3006;
inline constexpr int32_t ecBufferIsEmpty = -3007;
inline constexpr int32_t ecTracingNotEnabled = -3008;
inline constexpr int32_t ecLoggingNotEnabled = -3009;
inline constexpr int32_t ecBaseAddressNotSet = -3010;

// Modem.
inline constexpr int32_t ecModemNotStarted = -4001;
inline constexpr int32_t ecModemBusy = -4002;
inline constexpr int32_t ecModemNotDialing = -4003;
inline constexpr int32_t ecNotDialing = -4004;
inline constexpr int32_t ecAlreadyDialing = -4005;
inline constexpr int32_t ecModemNotResponding = -4006;
inline constexpr int32_t ecModemRejectedCommand = -4007;
inline constexpr int32_t ecModemStatusMismatch = -4008;
inline constexpr int32_t ecDeviceNotSelected = -4009;
inline constexpr int32_t ecModemDetectedBusy = -4010;
inline constexpr int32_t ecModemNoDialtone = -4011;
inline constexpr int32_t ecModemNoCarrier = -4012;
inline constexpr int32_t ecModemNoAnswer = -4013;
inline constexpr int32_t ecModemDatabaseNotFound = -4014;
inline constexpr int32_t ecModemNotFound = -4015;
inline constexpr int32_t ecModemInitFailed = -4016;
inline constexpr int32_t ecModemResetFailed = -4017;
inline constexpr int32_t ecModemConfigFailed = -4018;
inline constexpr int32_t ecModemAlreadyStarted = -4019;
inline constexpr int32_t ecModemTimeout = -4020;
inline constexpr int32_t ecModemUnknownResponse = -4021;

// Triggers.
inline constexpr int32_t ecNoMoreTriggers = -5001;
inline constexpr int32_t ecTriggerTooLong = -5002;
inline constexpr int32_t ecBadTriggerHandle = -5003;

// Data packets.
inline constexpr int32_t ecPacketTooSmall = -5501;
inline constexpr int32_t ecPacketTooLong = -5502;
inline constexpr int32_t ecPacketNoEndCondition = -5503;
inline constexpr int32_t ecPacketNoStartCondition = -5504;
inline constexpr int32_t ecPacketTimeout = -5505;
inline constexpr int32_t ecPacketNotEnabled = -5506;

// File transfer protocols.
inline constexpr int32_t ecUnknownProtocol = -6001;
inline constexpr int32_t ecProtocolNotIdle = -6002;
inline constexpr int32_t ecProtocolTimeout = -6003;
inline constexpr int32_t ecTooManyErrors = -6004;
inline constexpr int32_t ecSequenceError = -6005;
inline constexpr int32_t ecCancelRequested = -6006;
inline constexpr int32_t ecBlockCheckError = -6007;
inline constexpr int32_t ecAbortNoCarrier = -6008;
inline constexpr int32_t ecFileRejected = -6009;
inline constexpr int32_t ecLongPacket = -6010;
inline constexpr int32_t ecDuplicateBlock = -6011;
inline constexpr int32_t ecNoFilesToSend = -6012;
inline constexpr int32_t ecFileAlreadyExists = -6013;
inline constexpr int32_t ecDirNotFound = -6014;
inline constexpr int32_t ecBadFileName = -6015;
inline constexpr int32_t ecProtocolInternal = -6016;

// INI database.
inline constexpr int32_t ecKeyTooLong = -7001;
inline constexpr int32_t ecDataTooLarge = -7002;
inline constexpr int32_t ecIniInternal1 = -7003;
inline constexpr int32_t ecIniWrite = -7004;
inline constexpr int32_t ecIniRead = -7005;
inline constexpr int32_t ecIniInternal2 = -7006;
inline constexpr int32_t ecRecordExists = -7007;
inline constexpr int32_t ecRecordNotFound = -7008;
inline constexpr int32_t ecBadKey = -7009;
inline constexpr int32_t ecDatabaseFull = -7010;
inline constexpr int32_t ecDatabaseEmpty = -7011;
inline constexpr int32_t ecIniInternal3 = -7012;
inline constexpr int32_t ecBadFieldList = -7013;
inline constexpr int32_t ecBadFieldForIndex = -7014;

// State machine and speech.
inline constexpr int32_t ecNoStateMachine = -7500;
inline constexpr int32_t ecSpeechNotAvailable = -7501;
inline constexpr int32_t ecSpeechFailed = -7502;

// Fax.
inline constexpr int32_t ecFaxBadFormat = -8001;
inline constexpr int32_t ecBadGraphicsFormat = -8002;
inline constexpr int32_t ecConvertAbort = -8003;
inline constexpr int32_t ecUnpackAbort = -8004;
inline constexpr int32_t ecCantMakeBitmap = -8005;
inline constexpr int32_t ecNoImageLoaded = -8050;
inline constexpr int32_t ecNoImageBlockMarked = -8051;
inline constexpr int32_t ecFontFileNotFound = -8052;
inline constexpr int32_t ecInvalidPageNumber = -8053;
inline constexpr int32_t ecBmpTooBig = -8054;
inline constexpr int32_t ecEnhFontTooBig = -8055;
inline constexpr int32_t ecFaxBadMachine = -8060;
inline constexpr int32_t ecFaxBadModemResult = -8061;
inline constexpr int32_t ecFaxTrainError = -8062;
inline constexpr int32_t ecFaxInitError = -8063;
inline constexpr int32_t ecFaxBusy = -8064;
inline constexpr int32_t ecFaxVoiceCall = -8065;
inline constexpr int32_t ecFaxDataCall = -8066;
inline constexpr int32_t ecFaxNoDialTone = -8067;
inline constexpr int32_t ecFaxNoCarrier = -8068;
inline constexpr int32_t ecFaxSessionError = -8069;
inline constexpr int32_t ecFaxPageError = -8070;
inline constexpr int32_t ecFaxGDIPrintError = -8071;
inline constexpr int32_t ecFaxMixedResolution = -8072;
inline constexpr int32_t ecFaxConverterInitFail = -8073;
inline constexpr int32_t ecNoAnswer = -8074;
inline constexpr int32_t ecAlreadyMonitored = -8075;
inline constexpr int32_t ecFaxMCFNoAnswer = -8076;

// Fax printer driver.
inline constexpr int32_t ecFaxPrinterNotFound = -8101;
inline constexpr int32_t ecFaxPrinterInitFail = -8102;
inline constexpr int32_t ecFaxPrinterJobFail = -8103;
inline constexpr int32_t ecFaxPrinterNoOutput = -8104;
inline constexpr int32_t ecFaxPrinterBadPage = -8105;

// SMS.
inline constexpr int32_t ecSmsNotSupported = -8201;
inline constexpr int32_t ecSmsMessageTooLong = -8202;
inline constexpr int32_t ecSmsBadNumber = -8203;
inline constexpr int32_t ecSmsSendFailed = -8204;
inline constexpr int32_t ecSmsNoServiceCenter = -8205;
inline constexpr int32_t ecSmsMemoryFull = -8206;
inline constexpr int32_t ecSmsInvalidIndex = -8207;
inline constexpr int32_t ecSmsBadFormat = -8208;

// Mobile phone.
inline constexpr int32_t ecPhoneNotResponding = -8301;
inline constexpr int32_t ecPhoneNoNetwork = -8302;
inline constexpr int32_t ecPhoneSimNotInserted = -8303;
inline constexpr int32_t ecPhoneSimPinRequired = -8304;
inline constexpr int32_t ecPhoneSimPukRequired = -8305;
inline constexpr int32_t ecPhoneSimFailure = -8306;
inline constexpr int32_t ecPhoneSimBusy = -8307;
inline constexpr int32_t ecPhoneWrongPassword = -8308;
inline constexpr int32_t ecPhoneOperationNotAllowed = -8309;
inline constexpr int32_t ecPhoneOperationNotSupported = -8310;
inline constexpr int32_t ecPhoneUnknownError = -8500;

// Telephony errors.
inline constexpr int32_t ecTapiAllocated = -13801;
inline constexpr int32_t ecTapiBadDeviceID = -13802;
inline constexpr int32_t ecTapiBearerModeUnavail = -13803;
inline constexpr int32_t ecTapiCallActive = -13804;
inline constexpr int32_t ecTapiCallUnavail = -13805;
inline constexpr int32_t ecTapiCompletionOverrun = -13806;
inline constexpr int32_t ecTapiConferenceFull = -13807;
inline constexpr int32_t ecTapiDialBilling = -13808;
inline constexpr int32_t ecTapiDialDialtone = -13809;
inline constexpr int32_t ecTapiDialPrompt = -13810;
inline constexpr int32_t ecTapiDialQuiet = -13811;
inline constexpr int32_t ecTapiIncompatibleApiVersion = -13812;
inline constexpr int32_t ecTapiIncompatibleExtVersion = -13813;
inline constexpr int32_t ecTapiIniFileCorrupt = -13814;
inline constexpr int32_t ecTapiInUse = -13815;
inline constexpr int32_t ecTapiInvalAddress = -13816;
inline constexpr int32_t ecTapiInvalAddressID = -13817;
inline constexpr int32_t ecTapiInvalAddressMode = -13818;
inline constexpr int32_t ecTapiInvalAddressState = -13819;
inline constexpr int32_t ecTapiInvalAppHandle = -13820;
inline constexpr int32_t ecTapiInvalAppName = -13821;
inline constexpr int32_t ecTapiInvalBearerMode = -13822;
inline constexpr int32_t ecTapiInvalCallComplMode = -13823;
inline constexpr int32_t ecTapiInvalCallHandle = -13824;
inline constexpr int32_t ecTapiInvalCallParams = -13825;
inline constexpr int32_t ecTapiInvalCallPrivilege = -13826;
inline constexpr int32_t ecTapiInvalCallSelect = -13827;
inline constexpr int32_t ecTapiInvalCallState = -13828;
inline constexpr int32_t ecTapiInvalCallStatelist = -13829;
inline constexpr int32_t ecTapiInvalCard = -13830;
inline constexpr int32_t ecTapiInvalCompletionID = -13831;
inline constexpr int32_t ecTapiInvalConfCallHandle = -13832;
inline constexpr int32_t ecTapiInvalConsultCallHandle = -13833;
inline constexpr int32_t ecTapiInvalCountryCode = -13834;
inline constexpr int32_t ecTapiInvalDeviceClass = -13835;
inline constexpr int32_t ecTapiInvalDeviceHandle = -13836;
inline constexpr int32_t ecTapiInvalDialParams = -13837;
inline constexpr int32_t ecTapiInvalDigitList = -13838;
inline constexpr int32_t ecTapiInvalDigitMode = -13839;
inline constexpr int32_t ecTapiInvalDigits = -13840;
inline constexpr int32_t ecTapiInvalExtVersion = -13841;
inline constexpr int32_t ecTapiInvalGroupID = -13842;
inline constexpr int32_t ecTapiInvalLineHandle = -13843;
inline constexpr int32_t ecTapiInvalLineState = -13844;
inline constexpr int32_t ecTapiInvalLocation = -13845;
inline constexpr int32_t ecTapiInvalMediaList = -13846;
inline constexpr int32_t ecTapiInvalMediaMode = -13847;
inline constexpr int32_t ecTapiInvalMessageID = -13848;
inline constexpr int32_t ecTapiInvalPhoneHandle = -13849;
inline constexpr int32_t ecTapiInvalParam = -13850;
inline constexpr int32_t ecTapiInvalParkID = -13851;
inline constexpr int32_t ecTapiInvalParkMode = -13852;
inline constexpr int32_t ecTapiInvalPointer = -13853;
inline constexpr int32_t ecTapiInvalPrivSelect = -13854;
inline constexpr int32_t ecTapiInvalRate = -13855;
inline constexpr int32_t ecTapiInvalRequestMode = -13856;
inline constexpr int32_t ecTapiInvalTerminalID = -13857;
inline constexpr int32_t ecTapiInvalTerminalMode = -13858;
inline constexpr int32_t ecTapiInvalTimeout = -13859;
inline constexpr int32_t ecTapiInvalTone = -13860;
inline constexpr int32_t ecTapiInvalToneList = -13861;
inline constexpr int32_t ecTapiInvalToneMode = -13862;
inline constexpr int32_t ecTapiInvalTransferMode = -13863;
inline constexpr int32_t ecTapiLineMapperFailed = -13864;
inline constexpr int32_t ecTapiNoConference = -13865;
inline constexpr int32_t ecTapiNoDevice = -13866;
inline constexpr int32_t ecTapiNoDriver = -13867;
inline constexpr int32_t ecTapiNoMem = -13868;
inline constexpr int32_t ecTapiNoRequest = -13869;
inline constexpr int32_t ecTapiNotOwner = -13870;
inline constexpr int32_t ecTapiNotRegistered = -13871;
inline constexpr int32_t ecTapiOperationFailed = -13872;
inline constexpr int32_t ecTapiOperationUnavail = -13873;
inline constexpr int32_t ecTapiRateUnavail = -13874;
inline constexpr int32_t ecTapiResourceUnavail = -13875;
inline constexpr int32_t ecTapiRequestOverrun = -13876;
inline constexpr int32_t ecTapiStructureTooSmall = -13877;
inline constexpr int32_t ecTapiTargetNotFound = -13878;
inline constexpr int32_t ecTapiTargetSelf = -13879;
inline constexpr int32_t ecTapiUninitialized = -13880;
inline constexpr int32_t ecTapiUserUserInfoTooBig = -13881;
inline constexpr int32_t ecTapiReinit = -13882;
inline constexpr int32_t ecTapiAddressBlocked = -13883;
inline constexpr int32_t ecTapiBillingRejected = -13884;
inline constexpr int32_t ecTapiInvalFeature = -13885;
inline constexpr int32_t ecTapiNoMultipleInstance = -13886;
inline constexpr int32_t ecTapiBusy = -13928;
inline constexpr int32_t ecTapiNotSet = -13929;
inline constexpr int32_t ecTapiNoSelect = -13930;
inline constexpr int32_t ecTapiLoadFail = -13931;
inline constexpr int32_t ecTapiGetAddrFail = -13932;
inline constexpr int32_t ecTapiCallFailed = -13934;
inline constexpr int32_t ecTapiVoiceNotSupported = -13935;
inline constexpr int32_t ecTapiWaveFail = -13936;
inline constexpr int32_t ecTapiCIDBlocked = -13937;
inline constexpr int32_t ecTapiCIDOutOfArea = -13938;
inline constexpr int32_t ecTapiWaveFormatNotSupported = -13939;
inline constexpr int32_t ecTapiWaveNotOpen = -13940;
inline constexpr int32_t ecTapiNoWaveDevice = -13941;
inline constexpr int32_t ecTapiTranslateFail = -13942;

// Remote access.
inline constexpr int32_t ecRasLoadFail = -13980;

// First numbers of the status-text families that share the message table. These
// are positive and never raised.
inline constexpr int32_t ecDialerStatusBase = 4101;
inline constexpr int32_t ecPhonebookStatusBase = 4201;
inline constexpr int32_t ecRasStatusBase = 4301;
inline constexpr int32_t ecPagingStatusBase = 4401;
inline constexpr int32_t ecProtocolStatusBase = 4501;
inline constexpr int32_t ecFaxStatusBase = 4801;
inline constexpr int32_t ecSocketStatusBase = 9001;
inline constexpr int32_t ecSocketErrorBase = 10000;  // plus the socket error number, 10004 .. 11004
inline constexpr int32_t ecTapiCallStateBase = 13501;
inline constexpr int32_t ecTapiLineStateBase = 13551;
inline constexpr int32_t ecTapiDisconnectBase = 13601;
inline constexpr int32_t ecTapiMediaModeBase = 13651;
inline constexpr int32_t ecTapiProgressBase = 13701;
inline constexpr int32_t ecTapiToneBase = 13901;

// Message numbers of the dispatch log's names.
inline constexpr int32_t msgDispatchTypeBase = 15001;     // + type code 0 .. 20
inline constexpr int32_t msgDispatchSubTypeBase = 15100;  // + subtype code 1 .. 256
inline constexpr int32_t msgLogHeading = 15501;           // column headings
inline constexpr int32_t msgLogHeadingRule = 15502;       // the dashes under them
inline constexpr int32_t msgModemStatusBitBase = 15601;   // + bit 0 .. 7
inline constexpr int32_t msgTelnetOptionBase = 15700;     // + option 0 .. 42

}  // namespace dud
