// What the trace file and the dispatch log report have in common: the printed
// forms of a byte, lines of at most 78 columns that never split a form, CR LF line
// ends, and a text file written through a 512-byte buffer.
//
// Threads: plain values; an object is used by one thread at a time.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>
#include <string_view>

namespace dud {

// The largest trace ring, in entries of two bytes.
constexpr uint32_t TraceMaxEntries = 4000000;
// The largest bound on the bytes copied into the dispatch log.
constexpr uint32_t LogMaxBytes = 16000000;

// A line of either file holds at most this many columns.
constexpr uint32_t MaxLineColumn = 78;
constexpr std::string_view LineEnd = "\r\n";

// Writes the printed form of Ch into Out (room for 5 characters) and returns its
// length, which is also its width in columns:
//   AllHex: [XX], two uppercase hex digits;
//   else a printable byte as itself (from 0x20, or from 0x21 with InHex, up to 0x7E);
//   else with InHex [XX]; else the decimal value in brackets, [7], [13], [200].
inline uint32_t ByteForm(uint8_t Ch, bool InHex, bool AllHex, char* Out) {
  static constexpr char Hex[] = "0123456789ABCDEF";
  if (!AllHex) {
    const uint8_t Floor = InHex ? 0x21 : 0x20;
    if (Ch >= Floor && Ch <= 0x7E) {
      Out[0] = static_cast<char>(Ch);
      return 1;
    }
  }
  Out[0] = '[';
  if (AllHex || InHex) {
    Out[1] = Hex[Ch >> 4];
    Out[2] = Hex[Ch & 0x0F];
    Out[3] = ']';
    return 4;
  }
  uint32_t n = 1;
  if (Ch >= 100) Out[n++] = static_cast<char>('0' + Ch / 100);
  if (Ch >= 10) Out[n++] = static_cast<char>('0' + Ch / 10 % 10);
  Out[n++] = static_cast<char>('0' + Ch % 10);
  Out[n++] = ']';
  return n;
}

// Lays printed forms out in lines of at most MaxLineColumn columns. Column counts
// what the current line holds; when a form would push it past the limit, the
// Continuation text (CR LF and any indent) starts a new line and the count becomes
// Restart plus the form's width. A form is never split across lines.
template <class TSink>
class TFormLine {
 public:
  TFormLine(TSink& Sink, uint32_t Column, uint32_t Restart, std::string_view Continuation)
      : Column(Column), Sink(Sink), Restart(Restart), Continuation(Continuation) {}

  void Put(const char* Form, uint32_t Width) {
    Column += Width;
    if (Column > MaxLineColumn) {
      Sink.Write(Continuation);
      Column = Width + Restart;
    }
    Sink.Write(std::string_view(Form, Width));
  }

  void PutByte(uint8_t Ch, bool InHex, bool AllHex) {
    char Form[5];
    Put(Form, ByteForm(Ch, InHex, AllHex, Form));
  }

  uint32_t Column;

 private:
  TSink& Sink;
  uint32_t Restart;
  std::string_view Continuation;
};

// A sink that collects text in a string.
struct TStringSink {
  std::string& Text;
  void Write(std::string_view s) { Text.append(s); }
};

// A diagnostic text file written in 8-bit bytes, exactly as given (line ends are
// the caller's CR LF), through a 512-byte buffer. After the first write error no
// further bytes reach the file, but the caller may go on writing: the error is
// kept and returned by Close.
//
// Threads: one thread at a time.
class TTextFileWriter {
 public:
  static constexpr size_t BufferSize = 512;

  TTextFileWriter() = default;
  ~TTextFileWriter();
  TTextFileWriter(const TTextFileWriter&) = delete;
  TTextFileWriter& operator=(const TTextFileWriter&) = delete;

  // Opens FileName: when Append is true and the file exists, the output goes after
  // its last byte; otherwise the file is created, or emptied if it exists.
  // Returns 0, or the system's error number for the failure negated (-3 when the
  // folder does not exist, -5 when access is denied).
  int32_t Open(const std::string& FileName, bool Append);

  void Write(std::string_view Text) {
    if (Text.size() <= BufferSize - Used) {
      Text.copy(Buffer + Used, Text.size());
      Used += Text.size();
    } else {
      WriteSlow(Text);
    }
  }

  // Flushes and closes the file. Returns 0, or the first error since Open, negated.
  int32_t Close();

  bool IsOpen() const { return File != nullptr; }

 private:
  void WriteSlow(std::string_view Text);
  void Flush();
  void Fail(int Errno);

  std::FILE* File = nullptr;
  char Buffer[BufferSize];
  size_t Used = 0;
  int32_t FirstError = 0;
};

// The Windows error number for a C library file error (errno), as the file
// functions of Windows report the same conditions.
uint32_t FileErrorNumber(int Errno);

}  // namespace dud
