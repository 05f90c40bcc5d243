// FormatMessageA over the table of system message texts.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "platform/win32.h"

namespace {

constexpr DWORD kFromSystem = FORMAT_MESSAGE_FROM_SYSTEM;

// The text for id with a roomy buffer; empty and the last error when there is none.
std::string SystemText(DWORD id, DWORD* error = nullptr) {
  char buffer[512];
  std::memset(buffer, '#', sizeof buffer);
  SetLastError(0);
  const DWORD n = FormatMessageA(kFromSystem, nullptr, id, 0, buffer, sizeof buffer, nullptr);
  if (error) *error = GetLastError();
  if (n == 0) return {};
  EXPECT_EQ(buffer[n], '\0') << id;
  EXPECT_EQ(std::strlen(buffer), n) << id;
  return std::string(buffer, n);
}

TEST(FormatMessage, ExactTextsOfTheNumbersTheStackProduces) {
  const std::pair<DWORD, const char*> cases[] = {
      {2, "The system cannot find the file specified.\r\n"},
      {3, "The system cannot find the path specified.\r\n"},
      {5, "Access is denied.\r\n"},
      {6, "The handle is invalid.\r\n"},
      {8, "Not enough memory resources are available to process this command.\r\n"},
      {87, "The parameter is incorrect.\r\n"},
      {112, "There is not enough space on the disk.\r\n"},
      {122, "The data area passed to a system call is too small.\r\n"},
      {995, "The I/O operation has been aborted because of either a thread exit or an application request.\r\n"},
      {997, "Overlapped I/O operation is in progress.\r\n"},
      {1167, "The device is not connected.\r\n"},
      {1460, "This operation returned because the timeout period expired.\r\n"},
  };
  for (const auto& [id, text] : cases) EXPECT_EQ(SystemText(id), text) << id;
}

TEST(FormatMessage, EveryNumberOfThePlatformLayerHasAOneSentenceText) {
  const DWORD ids[] = {ERROR_SUCCESS,           ERROR_INVALID_FUNCTION,     ERROR_FILE_NOT_FOUND,
                       ERROR_PATH_NOT_FOUND,    ERROR_TOO_MANY_OPEN_FILES,  ERROR_ACCESS_DENIED,
                       ERROR_INVALID_HANDLE,    ERROR_NOT_ENOUGH_MEMORY,    ERROR_OUTOFMEMORY,
                       ERROR_NOT_READY,         ERROR_BAD_COMMAND,          ERROR_WRITE_FAULT,
                       ERROR_READ_FAULT,        ERROR_GEN_FAILURE,          ERROR_SHARING_VIOLATION,
                       ERROR_HANDLE_EOF,        ERROR_NOT_SUPPORTED,        ERROR_INVALID_PARAMETER,
                       ERROR_BROKEN_PIPE,       ERROR_DISK_FULL,            ERROR_INSUFFICIENT_BUFFER,
                       ERROR_ALREADY_EXISTS,    ERROR_OPERATION_ABORTED,    ERROR_IO_INCOMPLETE,
                       ERROR_IO_PENDING,        ERROR_DEVICE_NOT_CONNECTED, ERROR_INVALID_WINDOW_HANDLE,
                       ERROR_CANNOT_FIND_WND_CLASS, ERROR_CLASS_ALREADY_EXISTS, ERROR_CLASS_DOES_NOT_EXIST,
                       ERROR_TIMEOUT,           14,                         1004};
  for (DWORD id : ids) {
    const std::string text = SystemText(id);
    ASSERT_GE(text.size(), 4u) << id;
    EXPECT_EQ(text.substr(text.size() - 2), "\r\n") << id;
    EXPECT_EQ(text.find("\r\n"), text.size() - 2) << "one line only: " << id;
    EXPECT_TRUE(text[0] >= 'A' && text[0] <= 'Z') << id;
    EXPECT_TRUE(text[text.size() - 3] == '.') << id;
    EXPECT_EQ(text.find('%'), std::string::npos) << "no inserts: " << id;
  }
}

TEST(FormatMessage, UnknownNumberFailsWith317) {
  const DWORD ids[] = {35, 163, 999, 1010, 2001, 4201, 15742, 65535, 0xFFFFFFFF};
  for (DWORD id : ids) {
    DWORD error = 0;
    EXPECT_EQ(SystemText(id, &error), "") << id;
    EXPECT_EQ(error, 317u) << id;
  }
}

TEST(FormatMessage, BufferMustHoldTextAndTerminatingZero) {
  const std::string text = "Access is denied.\r\n";
  const auto exact = static_cast<DWORD>(text.size() + 1);
  const DWORD sizes[] = {0, 1, exact - 1};
  for (DWORD size : sizes) {
    char buffer[64];
    std::memset(buffer, '#', sizeof buffer);
    SetLastError(0);
    EXPECT_EQ(FormatMessageA(kFromSystem, nullptr, 5, 0, buffer, size, nullptr), 0u) << size;
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER)) << size;
    EXPECT_EQ(buffer[0], '#') << "nothing written for size " << size;
  }
  char buffer[64];
  EXPECT_EQ(FormatMessageA(kFromSystem, nullptr, 5, 0, buffer, exact, nullptr), text.size());
  EXPECT_EQ(std::string(buffer), text);
}

TEST(FormatMessage, RefusesWhatItDoesNotOffer) {
  char buffer[256];
  const std::pair<DWORD, LPSTR> cases[] = {
      {0, buffer},
      {FORMAT_MESSAGE_FROM_STRING, buffer},
      {FORMAT_MESSAGE_FROM_HMODULE, buffer},
      {kFromSystem | FORMAT_MESSAGE_ALLOCATE_BUFFER, buffer},
      {kFromSystem | FORMAT_MESSAGE_FROM_HMODULE, buffer},
      {kFromSystem | 0xFF, buffer},  // line width control
      {kFromSystem, nullptr},
  };
  for (const auto& [flags, buf] : cases) {
    SetLastError(0);
    EXPECT_EQ(FormatMessageA(flags, nullptr, 5, 0, buf, sizeof buffer, nullptr), 0u) << flags;
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER)) << flags;
  }
  // Ignoring inserts is harmless: the texts have none.
  EXPECT_EQ(FormatMessageA(kFromSystem | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, 5, 0, buffer, sizeof buffer, nullptr),
            19u);
}

TEST(FormatMessage, AnswersForNeutralAndEnglishLanguagesOnly) {
  char buffer[256];
  const DWORD english[] = {0, 0x0400, 0x0800, 0x0409, 0x0809};
  for (DWORD lang : english)
    EXPECT_EQ(FormatMessageA(kFromSystem, nullptr, 87, lang, buffer, sizeof buffer, nullptr), 29u) << lang;
  const DWORD others[] = {0x0407, 0x040C, 0x10409};
  for (DWORD lang : others) {
    SetLastError(0);
    EXPECT_EQ(FormatMessageA(kFromSystem, nullptr, 87, lang, buffer, sizeof buffer, nullptr), 0u) << lang;
    EXPECT_NE(GetLastError(), 0u) << lang;
  }
}

}  // namespace
