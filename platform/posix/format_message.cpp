// FormatMessageA over a table of the system's own message texts, word for word as
// Windows gives them, each ending with CR LF as there.
#include <algorithm>
#include <cstring>
#include <iterator>

#include "platform/win32.h"

namespace {

struct SystemMessage {
  DWORD Id;
  const char* Text;
};

// Ascending by number, for the search below.
constexpr SystemMessage kSystemMessages[] = {
    {0, "The operation completed successfully.\r\n"},
    {1, "Incorrect function.\r\n"},
    {2, "The system cannot find the file specified.\r\n"},
    {3, "The system cannot find the path specified.\r\n"},
    {4, "The system cannot open the file.\r\n"},
    {5, "Access is denied.\r\n"},
    {6, "The handle is invalid.\r\n"},
    {7, "The storage control blocks were destroyed.\r\n"},
    {8, "Not enough memory resources are available to process this command.\r\n"},
    {9, "The storage control block address is invalid.\r\n"},
    {10, "The environment is incorrect.\r\n"},
    {11, "An attempt was made to load a program with an incorrect format.\r\n"},
    {12, "The access code is invalid.\r\n"},
    {13, "The data is invalid.\r\n"},
    {14, "Not enough memory resources are available to complete this operation.\r\n"},
    {15, "The system cannot find the drive specified.\r\n"},
    {16, "The directory cannot be removed.\r\n"},
    {17, "The system cannot move the file to a different disk drive.\r\n"},
    {18, "There are no more files.\r\n"},
    {19, "The media is write protected.\r\n"},
    {20, "The system cannot find the device specified.\r\n"},
    {21, "The device is not ready.\r\n"},
    {22, "The device does not recognize the command.\r\n"},
    {23, "Data error (cyclic redundancy check).\r\n"},
    {24, "The program issued a command but the command length is incorrect.\r\n"},
    {25, "The drive cannot locate a specific area or track on the disk.\r\n"},
    {26, "The specified disk or diskette cannot be accessed.\r\n"},
    {27, "The drive cannot find the sector requested.\r\n"},
    {28, "The printer is out of paper.\r\n"},
    {29, "The system cannot write to the specified device.\r\n"},
    {30, "The system cannot read from the specified device.\r\n"},
    {31, "A device attached to the system is not functioning.\r\n"},
    {32, "The process cannot access the file because it is being used by another process.\r\n"},
    {33, "The process cannot access the file because another process has locked a portion of the file.\r\n"},
    {36, "Too many files opened for sharing.\r\n"},
    {38, "Reached the end of the file.\r\n"},
    {39, "The disk is full.\r\n"},
    {50, "The request is not supported.\r\n"},
    {53, "The network path was not found.\r\n"},
    {55, "The specified network resource or device is no longer available.\r\n"},
    {80, "The file exists.\r\n"},
    {82, "The directory or file cannot be created.\r\n"},
    {85, "The local device name is already in use.\r\n"},
    {87, "The parameter is incorrect.\r\n"},
    {89, "The system cannot start another process at this time.\r\n"},
    {109, "The pipe has been ended.\r\n"},
    {110, "The system cannot open the device or file specified.\r\n"},
    {111, "The file name is too long.\r\n"},
    {112, "There is not enough space on the disk.\r\n"},
    {113, "No more internal file identifiers available.\r\n"},
    {114, "The target internal file identifier is incorrect.\r\n"},
    {117, "The IOCTL call made by the application program is not correct.\r\n"},
    {120, "This function is not supported on this system.\r\n"},
    {121, "The semaphore timeout period has expired.\r\n"},
    {122, "The data area passed to a system call is too small.\r\n"},
    {123, "The filename, directory name, or volume label syntax is incorrect.\r\n"},
    {126, "The specified module could not be found.\r\n"},
    {127, "The specified procedure could not be found.\r\n"},
    {145, "The directory is not empty.\r\n"},
    {161, "The specified path is invalid.\r\n"},
    {170, "The requested resource is in use.\r\n"},
    {183, "Cannot create a file when that file already exists.\r\n"},
    {206, "The filename or extension is too long.\r\n"},
    {231, "All pipe instances are busy.\r\n"},
    {232, "The pipe is being closed.\r\n"},
    {233, "No process is on the other end of the pipe.\r\n"},
    {234, "More data is available.\r\n"},
    {258, "The wait operation timed out.\r\n"},
    {259, "No more data is available.\r\n"},
    {267, "The directory name is invalid.\r\n"},
    {487, "Attempt to access invalid address.\r\n"},
    {995, "The I/O operation has been aborted because of either a thread exit or an application request.\r\n"},
    {996, "Overlapped I/O event is not in a signaled state.\r\n"},
    {997, "Overlapped I/O operation is in progress.\r\n"},
    {998, "Invalid access to memory location.\r\n"},
    {1001, "Recursion too deep; the stack overflowed.\r\n"},
    {1004, "Invalid flags.\r\n"},
    {1117, "The request could not be performed because of an I/O device error.\r\n"},
    {1167, "The device is not connected.\r\n"},
    {1168, "Element not found.\r\n"},
    {1223, "The operation was canceled by the user.\r\n"},
    {1400, "Invalid window handle.\r\n"},
    {1401, "Invalid menu handle.\r\n"},
    {1402, "Invalid cursor handle.\r\n"},
    {1407, "Cannot find window class.\r\n"},
    {1408, "Invalid window; belongs to other thread.\r\n"},
    {1410, "Class already exists.\r\n"},
    {1411, "Class does not exist.\r\n"},
    {1412, "Class still has open windows.\r\n"},
    {1413, "Invalid index.\r\n"},
    {1444, "Invalid thread identifier.\r\n"},
    {1460, "This operation returned because the timeout period expired.\r\n"},
};

constexpr bool Ascending() {
  for (std::size_t i = 1; i < std::size(kSystemMessages); ++i)
    if (kSystemMessages[i - 1].Id >= kSystemMessages[i].Id) return false;
  return true;
}
static_assert(Ascending(), "system messages must ascend by number");

// Windows' own error numbers for the failures of this function.
constexpr DWORD kMessageNotFound = 317;     // ERROR_MR_MID_NOT_FOUND
constexpr DWORD kLanguageNotFound = 15100;  // ERROR_MUI_FILE_NOT_FOUND

// The languages the table answers for: neutral, the user's and the system's
// default, and every English sublanguage.
bool LanguageAvailable(DWORD language) {
  if (language == 0 || language == 0x0400 || language == 0x0800) return true;
  return language <= 0xFFFF && (language & 0x03FF) == 0x09;
}

}  // namespace

DWORD WINAPI FormatMessageA(DWORD dwFlags, LPCVOID, DWORD dwMessageId, DWORD dwLanguageId, LPSTR lpBuffer,
                            DWORD nSize, void*) {
  // Only system texts into the caller's buffer; these texts take no inserts, so
  // FORMAT_MESSAGE_IGNORE_INSERTS changes nothing.
  if ((dwFlags & ~FORMAT_MESSAGE_IGNORE_INSERTS) != FORMAT_MESSAGE_FROM_SYSTEM || lpBuffer == nullptr) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return 0;
  }
  if (!LanguageAvailable(dwLanguageId)) {
    SetLastError(kLanguageNotFound);
    return 0;
  }
  const auto* end = std::end(kSystemMessages);
  const auto* it = std::lower_bound(std::begin(kSystemMessages), end, dwMessageId,
                                    [](const SystemMessage& m, DWORD id) { return m.Id < id; });
  if (it == end || it->Id != dwMessageId) {
    SetLastError(kMessageNotFound);
    return 0;
  }
  const std::size_t length = std::strlen(it->Text);
  if (length + 1 > nSize) {
    SetLastError(ERROR_INSUFFICIENT_BUFFER);
    return 0;
  }
  std::memcpy(lpBuffer, it->Text, length + 1);
  return static_cast<DWORD>(length);
}
