// The diagnostic text file shared by the trace and the dispatch log.
#include "dispatch/log_format.h"

#include <algorithm>
#include <cerrno>

#include "platform/dud_platform.h"
#include "platform/win32.h"

namespace dud {

uint32_t FileErrorNumber(int Errno) {
  // The writers create their files, so a missing name is a missing folder, as
  // Windows reports it when it creates a file.
  if (Errno == ENOENT) return ERROR_PATH_NOT_FOUND;
  return dud::platform::SystemErrorFromErrno(Errno);
}

TTextFileWriter::~TTextFileWriter() { Close(); }

int32_t TTextFileWriter::Open(const std::string& FileName, bool Append) {
  Close();
  FirstError = 0;
  Used = 0;
  // Binary mode: the callers write their own CR LF and 8-bit bytes unchanged.
  errno = 0;
  File = std::fopen(FileName.c_str(), Append ? "ab" : "wb");  // null on failure, errno set
  if (File == nullptr) {
    return -static_cast<int32_t>(FileErrorNumber(errno != 0 ? errno : EIO));
  }
  // Our own 512-byte buffer is the only one: each flush is one write to the file.
  std::setvbuf(File, nullptr, _IONBF, 0);
  return 0;
}

void TTextFileWriter::Fail(int Errno) {
  if (FirstError == 0) FirstError = -static_cast<int32_t>(FileErrorNumber(Errno != 0 ? Errno : EIO));
}

void TTextFileWriter::Flush() {
  if (Used == 0) return;
  if (File != nullptr && FirstError == 0) {
    errno = 0;
    if (std::fwrite(Buffer, 1, Used, File) != Used) Fail(errno);  // short count on failure
  }
  Used = 0;
}

void TTextFileWriter::WriteSlow(std::string_view Text) {
  while (!Text.empty()) {
    if (Used == BufferSize) Flush();
    const size_t n = std::min(Text.size(), BufferSize - Used);
    Text.copy(Buffer + Used, n);
    Used += n;
    Text.remove_prefix(n);
  }
}

int32_t TTextFileWriter::Close() {
  if (File == nullptr) return FirstError;
  Flush();
  errno = 0;
  if (std::fclose(File) != 0) Fail(errno);  // 0 on success
  File = nullptr;
  return FirstError;
}

}  // namespace dud
