// The settings-file functions over a file of fuzzed bytes with fuzzed section and
// key names: reading never overruns the caller's buffer and always ends the result
// as stated (one zero for a value, two for a list); a write of a key followed by a
// read gives the value back, and every other section and key reads as before.
#include <fuzzer/FuzzedDataProvider.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <string>
#include <utility>
#include <vector>

#include "fuzz/fuzz_support.h"
#include "platform/win32.h"

namespace {

using fuzz::Check;

const std::string& FilePath() { return fuzz::ScratchFile("settings.ini"); }

bool WriteFile(const std::string& Bytes) {
  std::FILE* F = std::fopen(FilePath().c_str(), "wb");
  if (F == nullptr) return false;
  const bool Ok = std::fwrite(Bytes.data(), 1, Bytes.size(), F) == Bytes.size();
  return std::fclose(F) == 0 && Ok;
}

// A zero-separated list as the list reads return it.
std::vector<std::string> ReadList(const char* Section) {
  std::vector<char> Buffer(1 << 16);
  const DWORD N =
      GetPrivateProfileStringA(Section, nullptr, "", Buffer.data(), static_cast<DWORD>(Buffer.size()), FilePath().c_str());
  Check(N + 2 <= Buffer.size(), "list read overran its buffer");
  std::vector<std::string> Out;
  std::string Item;
  for (DWORD I = 0; I < N; ++I) {
    if (Buffer[I] == '\0') {
      Out.push_back(Item);
      Item.clear();
    } else {
      Item += Buffer[I];
    }
  }
  return Out;
}

std::string ReadValue(const std::string& Section, const std::string& Key) {
  std::vector<char> Buffer(1 << 16);
  const DWORD N = GetPrivateProfileStringA(Section.c_str(), Key.c_str(), "\x01missing", Buffer.data(),
                                           static_cast<DWORD>(Buffer.size()), FilePath().c_str());
  return std::string(Buffer.data(), N);
}

// Every section's keys and their values, as the reads see them.
std::map<std::pair<std::string, std::string>, std::string> Snapshot() {
  std::map<std::pair<std::string, std::string>, std::string> All;
  for (const std::string& Section : ReadList(nullptr))
    for (const std::string& Key : ReadList(Section.c_str())) All[{Section, Key}] = ReadValue(Section, Key);
  return All;
}

bool IsBlank(char C) { return C == ' ' || C == '\t' || C == '\r' || C == '\n' || C == '\v' || C == '\f'; }

std::string Trim(const std::string& S) {
  size_t B = 0, E = S.size();
  while (B < E && IsBlank(S[B])) ++B;
  while (E > B && IsBlank(S[E - 1])) --E;
  return S.substr(B, E - B);
}

bool SameName(const std::string& A, const std::string& B) {
  if (A.size() != B.size()) return false;
  for (size_t I = 0; I < A.size(); ++I)
    if (std::tolower(static_cast<unsigned char>(A[I])) != std::tolower(static_cast<unsigned char>(B[I]))) return false;
  return true;
}

// Names that a settings file can hold: one line, no zero, not blank; a section
// name without "]", a key without "=" that does not read as a comment or a section.
bool Writable(const std::string& Name, bool IsKey) {
  const std::string T = Trim(Name);
  if (T.empty() || Name.find_first_of(std::string("\r\n\0", 3)) != std::string::npos) return false;
  if (IsKey) return T.find('=') == std::string::npos && T[0] != ';' && T[0] != '[';
  return T.find(']') == std::string::npos;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* Data, size_t Size) {
  FuzzedDataProvider In(Data, Size);
  const std::string Section = In.ConsumeRandomLengthString(40);
  const std::string Key = In.ConsumeRandomLengthString(40);
  const std::string Value = In.ConsumeRandomLengthString(40);
  const DWORD BufferSize = In.ConsumeIntegralInRange<DWORD>(1, 300);
  const std::string File = In.ConsumeRemainingBytesAsString();
  if (!WriteFile(File)) return 0;

  // Reads into a buffer with guard bytes behind it: nothing beyond nSize is touched.
  std::vector<char> Buffer(BufferSize + 16, '\x7f');
  DWORD N = GetPrivateProfileStringA(Section.c_str(), Key.c_str(), "dflt", Buffer.data(), BufferSize, FilePath().c_str());
  Check(N < BufferSize && Buffer[N] == '\0', "value read not ended by a zero within the buffer");
  for (size_t I = BufferSize; I < Buffer.size(); ++I) Check(Buffer[I] == '\x7f', "value read wrote past nSize");
  for (const char* S : {static_cast<const char*>(nullptr), Section.c_str()}) {
    std::fill(Buffer.begin(), Buffer.end(), '\x7f');
    N = GetPrivateProfileStringA(S, nullptr, "dflt", Buffer.data(), BufferSize, FilePath().c_str());
    // The list ends in two zeros: the last name's and one more (N counts the first of
    // them); a list cut to fit ends in two zeros after the cut, at N and N + 1.
    Check(N < BufferSize && Buffer[N] == '\0', "list read not ended by a zero within the buffer");
    if (BufferSize >= 2)
      Check((N > 0 && Buffer[N - 1] == '\0') || (N + 1 < BufferSize && Buffer[N + 1] == '\0'),
            "list not ended by two zeros");
    for (size_t I = BufferSize; I < Buffer.size(); ++I) Check(Buffer[I] == '\x7f', "list read wrote past nSize");
  }

  // Round trip, for names and a value a settings file can hold.
  if (!Writable(Section, false) || !Writable(Key, true) || Value.find_first_of(std::string("\r\n\0", 3)) != std::string::npos)
    return 0;
  const auto Before = Snapshot();
  Check(WritePrivateProfileStringA(Section.c_str(), Key.c_str(), Value.c_str(), FilePath().c_str()) == TRUE,
        "write failed");
  std::string Expected = Trim(Value);
  if (Expected.size() >= 2 && (Expected[0] == '"' || Expected[0] == '\'') && Expected.back() == Expected[0])
    Expected = Expected.substr(1, Expected.size() - 2);
  Check(ReadValue(Section, Key) == Expected, "the value written does not read back");
  auto After = Snapshot();
  // The written key is the only change: drop it (under whatever spelling the file
  // has, and as the names a list read returns, blanks and all, look it up) from
  // both views and compare the rest.
  auto Drop = [&](std::map<std::pair<std::string, std::string>, std::string>& M) {
    for (auto It = M.begin(); It != M.end();)
      It = SameName(Trim(It->first.first), Trim(Section)) && SameName(Trim(It->first.second), Trim(Key)) ? M.erase(It)
                                                                                                        : std::next(It);
  };
  auto BeforeRest = Before;
  Drop(BeforeRest);
  Drop(After);
  if (BeforeRest != After) {
    // Shows what changed before failing: the two views and the file as written.
    auto Show = [](const char* Title, const std::map<std::pair<std::string, std::string>, std::string>& M) {
      std::fprintf(stderr, "%s:\n", Title);
      for (const auto& [Name, V] : M)
        std::fprintf(stderr, "  [%s] %s = %s\n", Name.first.c_str(), Name.second.c_str(), V.c_str());
    };
    Show("before", BeforeRest);
    Show("after", After);
    std::fprintf(stderr, "section [%s] key [%s] value [%s]\n", Section.c_str(), Key.c_str(), Value.c_str());
    std::string Now;
    if (std::FILE* F = std::fopen(FilePath().c_str(), "rb")) {
      for (int C; (C = std::fgetc(F)) != EOF;) Now += static_cast<char>(C);
      std::fclose(F);
    }
    for (const std::string* Text : {&File, static_cast<const std::string*>(&Now)}) {
      std::fprintf(stderr, "file:");
      for (char C : *Text) std::fprintf(stderr, " %02x", static_cast<unsigned char>(C));
      std::fprintf(stderr, "\n");
    }
    Check(false, "a write changed another key");
  }
  return 0;
}
