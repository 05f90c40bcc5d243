// The trace file and the dispatch log's rows, read back: a decoder reads the
// written text form by form ("A", "[0D]", "[13]") and the bytes it yields must be
// the recorded ones, in order, under the headers of their kinds; lines break only
// where the next form would pass column 78 and never split a form. Where a literal
// "[" makes the text ambiguous ("[0D]" could be four printable bytes) the decoder
// takes the reading that agrees with the recorded byte, if either does.
#include <fuzzer/FuzzedDataProvider.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <utility>
#include <vector>

#include "fuzz/fuzz_support.h"
#include "dispatch/dispatch_log.h"
#include "dispatch/trace.h"
#include "errors/messages.h"

namespace {

// No line of either file is longer.
constexpr size_t kMaxColumn = 78;

using fuzz::Check;

const std::string& TracePath() { return fuzz::ScratchFile("RIZI.TRC"); }

std::string ReadFile(const std::string& Path) {
  std::string Out;
  std::FILE* F = std::fopen(Path.c_str(), "rb");
  if (F == nullptr) return Out;
  char Buf[4096];
  size_t N;
  while ((N = std::fread(Buf, 1, sizeof Buf, F)) > 0) Out.append(Buf, N);
  std::fclose(F);
  return Out;
}

// Reads a text written in the byte forms of the diagnostic files.
class TFormReader {
 public:
  TFormReader(const std::string& Text, size_t Pos, bool InHex, bool AllHex)
      : Text(Text), Pos(Pos), InHex(InHex), AllHex(AllHex) {}

  bool Expect(const std::string& S) {
    if (Text.compare(Pos, S.size(), S) != 0) return false;
    Pos += S.size();
    return true;
  }

  // The next form; Width is its length in the text. Expected settles an ambiguous "[".
  bool Form(uint8_t Expected, uint8_t& Byte, size_t& Width) {
    if (Pos >= Text.size()) return false;
    uint8_t Bracket = 0;
    size_t BracketWidth = 0;
    const bool HasBracket = Text[Pos] == '[' && ParseBracket(Bracket, BracketWidth) && !Printable(Bracket);
    const bool LiteralFits = Printable(static_cast<uint8_t>(Text[Pos]));
    if (HasBracket && (Bracket == Expected || !LiteralFits || static_cast<uint8_t>(Text[Pos]) != Expected)) {
      Byte = Bracket;
      Width = BracketWidth;
    } else if (LiteralFits) {
      Byte = static_cast<uint8_t>(Text[Pos]);
      Width = 1;
    } else {
      return false;
    }
    Pos += Width;
    return true;
  }

  const std::string& Text;
  size_t Pos;

 private:
  // Written as itself: from the blank (from "!" with InHex) to "~", never with AllHex.
  bool Printable(uint8_t B) const { return !AllHex && B >= (InHex ? 0x21 : 0x20) && B <= 0x7E; }

  bool ParseBracket(uint8_t& Byte, size_t& Width) const {
    const size_t Close = Text.find(']', Pos + 1);
    if (Close == std::string::npos || Close - Pos - 1 > 3 || Close == Pos + 1) return false;
    const std::string Inner = Text.substr(Pos + 1, Close - Pos - 1);
    unsigned Value = 0;
    if (InHex || AllHex) {
      if (Inner.size() != 2) return false;
      for (char C : Inner) {
        const bool Digit = C >= '0' && C <= '9', Letter = C >= 'A' && C <= 'F';
        if (!Digit && !Letter) return false;
        Value = Value * 16 + static_cast<unsigned>(Digit ? C - '0' : C - 'A' + 10);
      }
    } else {
      if (Inner.size() > 1 && Inner[0] == '0') return false;  // no leading zeros
      for (char C : Inner) {
        if (C < '0' || C > '9') return false;
        Value = Value * 10 + static_cast<unsigned>(C - '0');
      }
      if (Value > 255) return false;
    }
    Byte = static_cast<uint8_t>(Value);
    Width = Inner.size() + 2;
    return true;
  }

  bool InHex, AllHex;
};

void CheckTrace(FuzzedDataProvider& In, bool InHex, bool AllHex) {
  const uint32_t Capacity = In.ConsumeIntegralInRange<uint32_t>(1, 300);
  std::vector<std::pair<char, uint8_t>> Entries;
  while (In.remaining_bytes() >= 2) {
    const uint8_t K = In.ConsumeIntegral<uint8_t>();
    char Kind = K < 128 ? 'T' : K < 224 ? 'R' : static_cast<char>(K);
    if (K == 255 && In.remaining_bytes() >= 2) Kind = static_cast<char>(In.ConsumeIntegral<uint8_t>());  // any kind
    Entries.emplace_back(Kind, In.ConsumeIntegral<uint8_t>());
  }
  unlink(TracePath().c_str());
  dud::TDudTrace Trace;
  Check(Trace.InitTracing(Capacity) == 0, "InitTracing failed");
  for (const auto& [Kind, Byte] : Entries) Trace.AddTraceEntry(Kind, Byte);
  Check(Trace.DumpTracing(TracePath(), InHex, AllHex) == 0, "DumpTracing failed");
  Check(Trace.TracingOn && Trace.TraceIndex() == 0 && !Trace.TraceWrapped(), "the ring was not emptied and restarted");

  // The ring keeps the newest Capacity entries.
  const size_t Kept = std::min<size_t>(Entries.size(), Capacity);
  const std::vector<std::pair<char, uint8_t>> Expected(Entries.end() - static_cast<long>(Kept), Entries.end());
  const std::string Text = ReadFile(TracePath());
  if (Expected.empty()) {
    Check(access(TracePath().c_str(), F_OK) != 0, "a file was written for an empty ring");
    return;
  }
  TFormReader Reader(Text, 0, InHex, AllHex);
  char LastKind = 0;
  bool First = true;
  size_t Column = 0;
  for (const auto& [Kind, Byte] : Expected) {
    if (Kind != LastKind) {
      if (!First) Check(Reader.Expect("\r\n\r\n"), "no empty line before a header");
      const std::string Header = Kind == 'T'   ? "Transmit: "
                                 : Kind == 'R' ? "Receive: "
                                               : std::string("Special-") + Kind + ": ";
      Check(Reader.Expect(Header + "\r\n"), "header missing");
      LastKind = Kind;
      Column = 0;
    }
    First = false;
    // A line break stands exactly where the next form would not fit.
    const bool Break = Reader.Expect("\r\n");
    uint8_t Got = 0;
    size_t Width = 0;
    Check(Reader.Form(Byte, Got, Width), "no byte form where one belongs");
    Check(Got == Byte, "the form reads as another byte");
    Check(Break == (Column + Width > kMaxColumn), "a line break where none belongs, or none where one does");
    Column = Break ? Width : Column + Width;
    Check(Column <= kMaxColumn, "a line longer than 78 columns");
  }
  Check(Reader.Pos == Text.size(), "text after the last form");
}

void CheckLogRow(FuzzedDataProvider& In, bool InHex, bool AllHex) {
  const uint8_t Type = In.ConsumeIntegralInRange<uint8_t>(1, 20);
  const uint16_t SubType = In.ConsumeIntegralInRange<uint16_t>(0, 20);
  const uint32_t Data = In.ConsumeIntegral<uint32_t>();
  const uint32_t Stamp = In.ConsumeIntegral<uint32_t>();
  const std::string Bytes = In.ConsumeRemainingBytesAsString();
  const dud::TLogBuffer Entry(Type, SubType, Stamp, Data, Bytes.data(), static_cast<uint32_t>(Bytes.size()));
  const std::string Row = dud::FormatLogRow(Entry, InHex, AllHex);

  char Hex[12];
  std::snprintf(Hex, sizeof Hex, "%08X", Data);
  const std::string TypeName = dud::ErrorText(15001 + Type);
  const std::string SubName = SubType == 0 ? std::string() : dud::ErrorText(15100 + SubType);
  // Rows whose names fit their columns have their data at column 45.
  if (TypeName.size() > 8 || SubName.size() > 12 || dud::FormatLogTime(Stamp).size() > 8) return;
  Check(Row.size() >= 44 && Row.compare(34, 10, std::string(Hex) + "  ") == 0, "the Data column is not at 35");
  if (Bytes.empty() || SubType == 4 || (SubType == 15 && (Type == 5 || Type == 6))) return;

  const bool AsIs = AllHex && Type == 19;  // the user's bytes as they are
  TFormReader Reader(Row, 44, InHex, AllHex);
  const std::string Continuation = "\r\n" + std::string(44, ' ');
  size_t Column = 45;
  for (char C : Bytes) {
    const uint8_t Byte = static_cast<uint8_t>(C);
    bool Break;
    uint8_t Got = 0;
    size_t Width = 1;
    if (AsIs) {
      // A raw byte may itself be CR or LF: where the break stands follows from the count alone.
      Break = Column + 1 > kMaxColumn;
      if (Break) Check(Reader.Expect(Continuation), "no line break where one belongs");
      Check(Reader.Pos < Row.size(), "row ends early");
      Got = static_cast<uint8_t>(Row[Reader.Pos++]);
    } else {
      Break = Reader.Expect(Continuation);
      Check(Reader.Form(Byte, Got, Width), "no byte form where one belongs");
      Check(Break == (Column + Width > kMaxColumn), "a line break where none belongs, or none where one does");
    }
    Column = Break ? 45 + Width : Column + Width;
    Check(Got == Byte, "the form reads as another byte");
    Check(Column <= kMaxColumn, "a line longer than 78 columns");
  }
  Check(Reader.Pos == Row.size(), "text after the last form");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* Data, size_t Size) {
  FuzzedDataProvider In(Data, Size);
  const uint8_t Mode = In.ConsumeIntegral<uint8_t>();
  const bool InHex = (Mode & 1) != 0, AllHex = (Mode & 2) != 0;
  if ((Mode & 4) != 0)
    CheckLogRow(In, InHex, AllHex);
  else
    CheckTrace(In, InHex, AllHex);
  return 0;
}
